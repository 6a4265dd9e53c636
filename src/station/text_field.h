// Copy of a text into a fixed field: cut to the field, always terminated,
// the rest of the field cleared.
#pragma once
#include <cstddef>
#include <cstring>

inline void CopyText(char* field, size_t size, const char* text) {
    if (field == nullptr || size == 0) return;
    const size_t length = text != nullptr ? strnlen(text, size - 1) : 0;
    if (length > 0) std::memmove(field, text, length);
    std::memset(field + length, 0, size - length);
}

template <size_t N>
void CopyField(char (&field)[N], const char* text) {
    CopyText(field, N, text);
}
