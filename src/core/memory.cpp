// Private heap: zeroed blocks rounded up to multiples of 16 bytes.
#include <cstdlib>
#include <mutex>

#include "core/helpers.h"
#include "platform/clock.h"

void* WInitAlloc(size_t size) {
    return std::calloc(1, size == 0 ? 1 : size);
}

int WFreeAlloc(void* block) {
    std::free(block);
    return 0;
}

void* WAlloc(size_t size) { return WInitAlloc((size / 16 + 1) * 16); }

int WFree(void* block) { return WFreeAlloc(block); }

void WSleep(uint32_t milliseconds) { plat::SleepMs(milliseconds); }
