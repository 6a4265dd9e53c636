// Calls a RUDA family decoder (code, answer, length, result arguments as a
// va_list) with the result arguments given after the answer.
#pragma once
#include <cstdarg>
#include <vector>

using RudaFamilyDecoder = int (*)(int, const unsigned char*, int, va_list);

inline int CallDecoder(RudaFamilyDecoder decoder, int code, const std::vector<unsigned char>* answer, ...) {
    va_list args;
    va_start(args, answer);
    const int r = decoder(code, answer->data(), static_cast<int>(answer->size()), args);
    va_end(args);
    return r;
}
