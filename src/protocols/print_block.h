// Print command block: what a caller hands a print operation (13) of the
// terminal script engine, for the printers whose module prints raw bytes.
#pragma once
#include <cstdint>

constexpr int32_t PRINT_KIND_TEXT = 1;   // the bytes are printed as they stand
constexpr int32_t PRINT_KIND_CUT = 2;    // a cut line: feed and cut the paper
constexpr int32_t PRINT_KIND_IMAGE = 3;  // an image, by its file name

struct PrintCommandBlock {
    int32_t kind;
    int32_t length;
    const unsigned char* bytes;
    int32_t busy;  // 1 while the request is built, 0 once it is
    int32_t done;  // cleared with busy by the answer
};
