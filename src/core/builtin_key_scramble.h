// The scrambling pass over the private key text of the built-in key pair,
// shared by the program (which undoes it at each use) and the build step
// that makes the key tables (which applies it). It is its own inverse:
// the first third reversed, the second third with its byte pairs swapped,
// the rest XORed with a running pattern.
#pragma once
#include <cstddef>

inline void BuiltinKeyScramble(unsigned char* text, size_t n) {
    const size_t a = n / 3, c = 2 * n / 3;
    for (size_t i = 0, j = a; i + 1 < j; ++i, --j) {
        const unsigned char t = text[i];
        text[i] = text[j - 1];
        text[j - 1] = t;
    }
    for (size_t i = a; i + 1 < c; i += 2) {
        const unsigned char t = text[i];
        text[i] = text[i + 1];
        text[i + 1] = t;
    }
    for (size_t i = c; i < n; ++i) text[i] ^= static_cast<unsigned char>(0x5A + 7 * (i - c));
}
