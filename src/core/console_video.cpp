// The program's full-screen text console: an 80 x 25 image of character
// cells, drawn with ANSI escape sequences when standard output is a terminal
// and kept in memory only otherwise. A rectangle is drawn only when the image
// changed since the last drawing, and then only its cells that changed
// (the first drawing draws them all).
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/helpers.h"
#include "core/trace.h"
#include "platform/console_keyboard.h"

namespace {

constexpr int kCells = kWVideoColumns * kWVideoRows;

struct Video {
    std::mutex lock;
    bool opened = false;
    bool terminal = false;
    int output = STDOUT_FILENO;  // where the drawing goes
    bool firstWrite = true;
    uint64_t writes = 0;
    WVideoCell image[kCells];
    WVideoCell lastWritten[kCells];
};

Video& TheVideo() {
    static Video* video = new Video;
    return *video;
}

constexpr const char* kLeaveScreen = "\x1b[0m\x1b[?25h\x1b[?1049l";

bool WriteAll(const std::string& bytes, int fd = STDOUT_FILENO) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Back to the normal screen with a visible cursor when the program ends.
void RestoreTerminal() { WriteAll(kLeaveScreen); }

// Windows-1252 code points of the bytes 0x80-0x9F (0 where the code page has
// no character); 0xA0-0xFF are the Latin-1 code points.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Code page 437 code points of the bytes 0x80-0xFF (frame and fill glyphs).
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// A cell's byte as UTF-8: a glyph cell through code page 437, any other
// through Windows-1252; control bytes and bytes without a character are
// drawn as blanks.
void AppendCharacter(std::string& out, unsigned char c, bool glyph) {
    uint32_t cp = c;
    if (c < 0x20 || c == 0x7F) cp = ' ';
    else if (c >= 0x80 && glyph) cp = kCp437High[c - 0x80];
    else if (c >= 0x80 && c < 0xA0) cp = kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : ' ';
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// ANSI colour number of the 3 colour bits of an attribute (blue 1, green 2,
// red 4 in the attribute; red 1, green 2, blue 4 for ANSI).
int AnsiColour(int bits) { return ((bits & 4) ? 1 : 0) | (bits & 2) | ((bits & 1) ? 4 : 0); }

void AppendAttribute(std::string& out, uint16_t attribute) {
    int fg = attribute & 0x0F;
    int bg = (attribute >> 4) & 0x0F;
    out += "\x1b[0;";
    out += std::to_string((fg & 8 ? 90 : 30) + AnsiColour(fg & 7));
    out += ';';
    out += std::to_string((bg & 8 ? 100 : 40) + AnsiColour(bg & 7));
    out += 'm';
}

bool SameCell(const WVideoCell& a, const WVideoCell& b) {
    return a.character == b.character && a.attribute == b.attribute && a.glyph == b.glyph;
}

// Escape sequences that draw the rectangle (0-based, bounds included): every
// cell when all is set, else the cells that differ from what was drawn last
// (short gaps of unchanged cells are drawn again, cheaper than moving the
// cursor over them).
std::string Render(const WVideoCell* image, const WVideoCell* drawn, bool all, int left, int top, int right,
                   int bottom) {
    constexpr int kGap = 4;
    std::string out;
    out.reserve(static_cast<size_t>((right - left + 12) * (bottom - top + 1)) * 2);
    bool haveAttribute = false;
    uint16_t current = 0;
    for (int row = top; row <= bottom; ++row) {
        const WVideoCell* line = image + row * kWVideoColumns;
        const WVideoCell* before = drawn + row * kWVideoColumns;
        int cursor = -1;  // column of the cursor on this row, -1 unknown
        int col = left;
        while (col <= right) {
            if (!all && SameCell(line[col], before[col])) {
                ++col;
                continue;
            }
            // A run of changed cells, ended by kGap unchanged ones.
            int end = col;
            int last = col;
            while (end <= right) {
                if (all || !SameCell(line[end], before[end])) last = end;
                else if (end - last >= kGap) break;
                ++end;
            }
            if (cursor != col) out += "\x1b[" + std::to_string(row + 1) + ';' + std::to_string(col + 1) + 'H';
            for (int c = col; c <= last; ++c) {
                const WVideoCell& cell = line[c];
                if (!haveAttribute || cell.attribute != current) {
                    AppendAttribute(out, cell.attribute);
                    current = cell.attribute;
                    haveAttribute = true;
                }
                AppendCharacter(out, cell.character, cell.glyph != 0);
            }
            cursor = last + 1 < kWVideoColumns ? last + 1 : -1;
            col = last + 1;
        }
    }
    if (haveAttribute) out += "\x1b[0m";
    return out;
}

int OpenLocked(Video& v) {
    if (v.opened) return 0;
    bool terminal = isatty(STDOUT_FILENO) == 1;
    if (terminal) {
        // Alternate screen, cursor hidden, screen cleared.
        if (!WriteAll("\x1b[?1049h\x1b[?25l\x1b[2J")) {
            WSysError("-- ERROR -- [OpenVideo] CreateConsoleScreenBuffer has failed ; GetLastError()=%u",
                      static_cast<unsigned>(errno));
            return 1;
        }
        std::atexit(RestoreTerminal);
        plat::SetConsoleExitBytes(kLeaveScreen);
    }
    v.terminal = terminal;
    v.opened = true;
    return 0;
}

// 1-based coordinate to 0-based; 0 also names the first column or row.
inline int ZeroBased(int coordinate) { return coordinate == 0 ? 0 : coordinate - 1; }

}  // namespace

int OpenVideo() {
    Video& v = TheVideo();
    std::lock_guard<std::mutex> guard(v.lock);
    return OpenLocked(v);
}

int WriteVideo(int left, int top, int right, int bottom, const void* cells, const unsigned char* glyphs) {
    Video& v = TheVideo();
    std::lock_guard<std::mutex> guard(v.lock);
    if (OpenLocked(v) != 0) return 1;
    left = ZeroBased(left);
    top = ZeroBased(top);
    right = ZeroBased(right);
    bottom = ZeroBased(bottom);
    if (right < left || bottom < top || cells == nullptr) return 1;
    if (left < 0 || right >= kWVideoColumns || top < 0 || bottom >= kWVideoRows) return 1;

    const auto* in = static_cast<const unsigned char*>(cells);
    for (int row = top; row <= bottom; ++row) {
        for (int col = left; col <= right; ++col, in += 2) {
            WVideoCell& cell = v.image[row * kWVideoColumns + col];
            cell.character = in[0];
            cell.attribute = in[1];
            cell.glyph = glyphs != nullptr && *glyphs++ != 0 ? 1 : 0;
        }
    }
    if (!v.firstWrite) {
        bool same = true;
        for (int i = 0; i < kCells && same; ++i) same = SameCell(v.image[i], v.lastWritten[i]);
        if (same) return 1;
    }
    const bool all = v.firstWrite;
    v.firstWrite = false;
    if (v.terminal && !WriteAll(Render(v.image, v.lastWritten, all, left, top, right, bottom), v.output)) {
        std::memcpy(v.lastWritten, v.image, sizeof v.image);
        return 1;
    }
    std::memcpy(v.lastWritten, v.image, sizeof v.image);
    ++v.writes;
    return 0;
}

void WVideoSetOutput(int fd) {
    Video& v = TheVideo();
    std::lock_guard<std::mutex> guard(v.lock);
    if (fd >= 0) {
        v.output = fd;
        v.terminal = true;
        v.opened = true;
    } else {
        v.output = STDOUT_FILENO;
        v.terminal = false;
        v.opened = false;
    }
    v.firstWrite = true;  // what that output shows is not known: all is drawn
}

const WVideoCell* WVideoImage() { return TheVideo().image; }

uint64_t WVideoWriteCount() {
    Video& v = TheVideo();
    std::lock_guard<std::mutex> guard(v.lock);
    return v.writes;
}
