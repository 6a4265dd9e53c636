// Test peer for the console screen: runs one scenario in a fresh process and
// reports by its exit code (0 when every step gave what was expected).
//   video_probe first   a first write of an unchanged (all zero) image draws,
//                       the same write again does not
//   video_probe draw    draws two small rectangles on standard output
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/helpers.h"
#include "tool_help.h"

namespace {
const char kUsage[] =
    "usage: video_probe first | draw\n"
    "Runs one console-screen scenario; exit code 0 when every step gave what was expected.\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    if (argc != 2) return 64;
    if (std::strcmp(argv[1], "first") == 0) {
        std::vector<unsigned char> zeros(kWVideoColumns * kWVideoRows * 2, 0);
        if (WriteVideo(1, 1, kWVideoColumns, kWVideoRows, zeros.data()) != 0) return 1;
        if (WriteVideo(1, 1, kWVideoColumns, kWVideoRows, zeros.data()) != 1) return 2;
        if (WVideoWriteCount() != 1) return 3;
        return 0;
    }
    if (std::strcmp(argv[1], "draw") == 0) {
        // Column 3, rows 2-3: "OK" yellow on blue, then the Windows-1252
        // letters 0xE9 and 0x80; a control byte at the start of the last row.
        const unsigned char cells[] = {'O', 0x1E, 'K', 0x1E, 0xE9, 0x07, 0x80, 0x07};
        const unsigned char control[] = {0x01, 0x07};
        if (WriteVideo(3, 2, 4, 3, cells) != 0) return 2;
        if (WriteVideo(1, 25, 1, 25, control) != 0) return 3;
        return 0;  // the exit handlers put the terminal back
    }
    return 64;
}
