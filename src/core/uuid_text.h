// UUID texts as the program hands them around: a new version 4 UUID (36
// characters) in a buffer of its own.
#pragma once
#include <memory>

// A new UUID text, or an empty holder.
using UuidHolder = std::unique_ptr<char[]>;
UuidHolder CreateUuidString();
void FreeUuidString(UuidHolder& holder);
