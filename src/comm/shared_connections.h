// Shared connection table (network type 5 of the network dispatch): the link
// operations that the dispatch reaches on an entry of the table.
//
// Not built yet: the table holds no entry, so every operation answers as
// for an unknown id (-2).
#pragma once
#include <cstdint>

int WSharedWrite(int32_t id, const void* data, uint32_t length);
int WSharedRead(int32_t id, void* buffer, uint32_t capacity);
int WSharedPeek(int32_t id, void* buffer, uint32_t capacity);
int WSharedDisConnect(int32_t id);
int WSharedHardDisConnect(int32_t id);
