// The program's full-screen text console: an 80 x 25 image of character
// cells, drawn with ANSI escape sequences when standard output is a terminal
// and kept in memory only otherwise. A rectangle is drawn only when the image
// changed since the last drawing.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

constexpr int kCells = kWVideoColumns * kWVideoRows;

struct Video {
    std::mutex lock;
    bool opened = false;
    bool terminal = false;
    bool firstWrite = true;
    uint64_t writes = 0;
    WVideoCell image[kCells];
    WVideoCell lastWritten[kCells];
};

Video& TheVideo() {
    static Video* video = new Video;
    return *video;
}

bool WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Back to the normal screen with a visible cursor when the program ends.
void RestoreTerminal() { WriteAll("\x1b[0m\x1b[?25h\x1b[?1049l"); }

// Windows-1252 code points of the bytes 0x80-0x9F (0 where the code page has
// no character); 0xA0-0xFF are the Latin-1 code points.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendCharacter(std::string& out, unsigned char c) {
    uint32_t cp = c;
    if (c < 0x20 || c == 0x7F) cp = ' ';
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

// Escape sequences that draw the rectangle (0-based, bounds included).
std::string Render(const WVideoCell* image, int left, int top, int right, int bottom) {
    std::string out;
    out.reserve(static_cast<size_t>((right - left + 12) * (bottom - top + 1)) * 2);
    bool haveAttribute = false;
    uint16_t current = 0;
    for (int row = top; row <= bottom; ++row) {
        out += "\x1b[" + std::to_string(row + 1) + ';' + std::to_string(left + 1) + 'H';
        for (int col = left; col <= right; ++col) {
            const WVideoCell& cell = image[row * kWVideoColumns + col];
            if (!haveAttribute || cell.attribute != current) {
                AppendAttribute(out, cell.attribute);
                current = cell.attribute;
                haveAttribute = true;
            }
            AppendCharacter(out, cell.character);
        }
    }
    out += "\x1b[0m";
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

int WriteVideo(int left, int top, int right, int bottom, const void* cells) {
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
        }
    }
    if (!v.firstWrite) {
        bool same = true;
        for (int i = 0; i < kCells && same; ++i)
            same = v.image[i].character == v.lastWritten[i].character &&
                   v.image[i].attribute == v.lastWritten[i].attribute;
        if (same) return 1;
    }
    v.firstWrite = false;
    std::memcpy(v.lastWritten, v.image, sizeof v.image);
    if (v.terminal && !WriteAll(Render(v.image, left, top, right, bottom))) return 1;
    ++v.writes;
    return 0;
}

const WVideoCell* WVideoImage() { return TheVideo().image; }

uint64_t WVideoWriteCount() {
    Video& v = TheVideo();
    std::lock_guard<std::mutex> guard(v.lock);
    return v.writes;
}
