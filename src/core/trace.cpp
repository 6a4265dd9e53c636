// Trace and log core.
#include "core/trace.h"

#include <cstdarg>

int WSysError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    return 0;
}
