// Memory, string, conversion, file-search, socket and console helpers.
#pragma once
#include <cstddef>
#include <cstdint>

// Private heap: zeroed blocks.
void* WInitAlloc(size_t size);
int WFreeAlloc(void* block);
// (size / 16 + 1) x 16 zeroed bytes: always a multiple of 16, always larger than asked.
void* WAlloc(size_t size);
int WFree(void* block);
void WSleep(uint32_t milliseconds);
