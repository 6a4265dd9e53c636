// TraceLog: banner, centred category and message, written through the trace
// core so that the banner sets the level.
#include "core/trace_front.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/trace.h"

namespace {

int g_debugLevel = 1;
TraceZoneWriterFn g_zoneWriter = nullptr;
TraceZoneWriterFn g_standardHook = nullptr;

const char* Banner(int kind) {
    switch (kind) {
        case TRACE_ERROR: return "-- ERROR --";
        case TRACE_WARN: return "<< WARN. >>";
        case TRACE_DEBUG: return "@@ DEBUG @@";
        default: return "** INFO. **";
    }
}

}  // namespace

void TraceFrontSetDebugLevel(int level) { g_debugLevel = level; }

void TraceFrontSetZoneWriter(TraceZoneWriterFn writer, TraceZoneWriterFn standardHook) {
    g_zoneWriter = writer;
    g_standardHook = standardHook;
}

void TraceFrontWriteLine(const char* line) {
    if (line == nullptr) return;
    // The line is the format: double every '%' so it is written as it stands.
    std::string format;
    format.reserve(std::strlen(line) + 16);
    for (const char* p = line; *p != '\0'; ++p) {
        format.push_back(*p);
        if (*p == '%') format.push_back('%');
    }
    std::lock_guard<std::recursive_mutex> guard(WSysTraceLock());
    if (g_zoneWriter != nullptr) WSysSetTraceHook(g_zoneWriter);
    WSysError(format.c_str(), 0);  // NOLINT: the format holds no conversion
    if (g_zoneWriter != nullptr) WSysSetTraceHook(g_standardHook);
}

void TraceLog(int kind, const char* category, const char* format, ...) {
    if (g_debugLevel == 0 || format == nullptr) return;
    char field[16];
    std::memset(field, ' ', 15);
    field[15] = '\0';
    const char* cat = category ? category : "";
    const size_t length = strnlen(cat, 15);
    std::memcpy(field + (15 - length) / 2, cat, length);

    char message[WSYS_TRACE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    std::string line = std::string(Banner(kind)) + field + ">>>>> " + message;
    if (line.size() > WSYS_TRACE_BUFFER_SIZE) line.resize(WSYS_TRACE_BUFFER_SIZE);
    TraceFrontWriteLine(line.c_str());
}

void LogExchange(int, const char*, const char*, int) {}
