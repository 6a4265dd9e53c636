// Fuzz target of the echo of a DORAN terminal: the parser of the wait for
// events fed byte by byte, with reads that fail wherever the input says.
//
// Input: pairs of bytes: the first says whether the read failed (its low
// bit), the second is the byte read.
//
// Whatever comes: the parser ends with one of its steps, within the bytes
// it was given plus one more read; an event's letter is 'A', 'K' or 'D',
// its count within the 127 data bytes of the buffer, a 'D' event begins
// with ESC, and only an 'A' event announces.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "protocols/doran/doran_echo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    DrnEchoParser parser;
    size_t fed = 0;
    for (size_t i = 0; i + 1 < size && parser.step() == DrnEchoParser::Step::More; i += 2) {
        parser.feed((input[i] & 1) != 0 ? DrnEchoParser::kFailedRead : input[i + 1]);
        ++fed;
    }
    Check(fed <= 2 + 127 + 1 || parser.step() != DrnEchoParser::Step::More, "the parser took more than an echo");
    if (parser.step() == DrnEchoParser::Step::Event) {
        const char letter = parser.letter();
        Check(letter == 'A' || letter == 'K' || letter == 'D', "unknown event letter");
        const int count = parser.count();
        Check(count >= 0 && count <= 127, "count beyond the buffer");
        if (letter == 'D') Check(static_cast<unsigned char>(parser.bytes()[2]) == 0x1B, "display echo without ESC");
        Check(!parser.announces() || letter == 'A', "announcement of another letter");
        Check(!parser.passThrough() || letter == 'A', "pass-through of another letter");
    }
    return 0;
}
