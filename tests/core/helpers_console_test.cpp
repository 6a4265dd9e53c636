// The 80 x 25 console image: rectangles, refusals, skipped unchanged writes
// and the drawing on a real terminal.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/helpers.h"
#include "support/screen_reader.h"
#include "support/temp_dir.h"

namespace {

// Cells of a rectangle of the given size, all different from any earlier
// call's (so the image always changes).
std::vector<unsigned char> Cells(int columns, int rows, unsigned char attribute = 0x07) {
    static unsigned seed = 0;
    ++seed;
    std::vector<unsigned char> cells;
    for (int i = 0; i < columns * rows; ++i) {
        cells.push_back(static_cast<unsigned char>('A' + (seed + static_cast<unsigned>(i)) % 26));
        cells.push_back(attribute);
    }
    return cells;
}

// Cell of the image at 1-based column and row.
const WVideoCell& At(int column, int row) { return WVideoImage()[(row - 1) * kWVideoColumns + (column - 1)]; }

TEST(HelpersConsole, WriteVideoTable) {
    ASSERT_EQ(OpenVideo(), 0);
    struct Case {
        const char* what;
        int left, top, right, bottom;
        int expected;
    };
    const Case cases[] = {
        {"full screen", 1, 1, 80, 25, 0},
        {"0 names the first column and row", 0, 0, 3, 2, 0},
        {"one cell at the last corner", 80, 25, 80, 25, 0},
        {"middle rectangle", 10, 5, 20, 7, 0},
        {"right column 81", 1, 1, 81, 25, 1},
        {"bottom row 26", 1, 1, 80, 26, 1},
        {"negative left", -1, 1, 5, 1, 1},
        {"right before left", 10, 1, 9, 1, 1},
        {"bottom above top", 1, 10, 5, 9, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int l = c.left == 0 ? 1 : c.left, t = c.top == 0 ? 1 : c.top;
        int columns = c.right - l + 1, rows = c.bottom - t + 1;
        std::vector<unsigned char> cells = Cells(columns > 0 ? columns : 1, rows > 0 ? rows : 1, 0x1F);
        std::vector<WVideoCell> before(WVideoImage(), WVideoImage() + kWVideoColumns * kWVideoRows);
        uint64_t writes = WVideoWriteCount();

        EXPECT_EQ(WriteVideo(c.left, c.top, c.right, c.bottom, cells.data()), c.expected);
        const WVideoCell* image = WVideoImage();
        if (c.expected == 0) {
            EXPECT_EQ(WVideoWriteCount(), writes + 1);
            // Every cell of the rectangle holds its given character and
            // attribute; every cell outside is unchanged.
            for (int row = 1; row <= kWVideoRows; ++row) {
                for (int col = 1; col <= kWVideoColumns; ++col) {
                    const WVideoCell& cell = image[(row - 1) * kWVideoColumns + col - 1];
                    bool inside = col >= l && col <= c.right && row >= t && row <= c.bottom;
                    if (inside) {
                        size_t k = static_cast<size_t>(((row - t) * columns + (col - l)) * 2);
                        ASSERT_EQ(cell.character, cells[k]) << col << "," << row;
                        ASSERT_EQ(cell.attribute, cells[k + 1]) << col << "," << row;
                    } else {
                        const WVideoCell& old = before[static_cast<size_t>((row - 1) * kWVideoColumns + col - 1)];
                        ASSERT_EQ(cell.character, old.character) << col << "," << row;
                        ASSERT_EQ(cell.attribute, old.attribute) << col << "," << row;
                    }
                }
            }
        } else {
            EXPECT_EQ(WVideoWriteCount(), writes);
            for (int i = 0; i < kWVideoColumns * kWVideoRows; ++i) {
                ASSERT_EQ(image[i].character, before[static_cast<size_t>(i)].character) << i;
                ASSERT_EQ(image[i].attribute, before[static_cast<size_t>(i)].attribute) << i;
            }
        }
    }
    EXPECT_EQ(WriteVideo(1, 1, 2, 2, nullptr), 1);
}

TEST(HelpersConsole, SameCellsTwiceAreWrittenOnce) {
    std::vector<unsigned char> cells = Cells(5, 2);
    uint64_t writes = WVideoWriteCount();
    EXPECT_EQ(WriteVideo(30, 10, 34, 11, cells.data()), 0);
    EXPECT_EQ(WriteVideo(30, 10, 34, 11, cells.data()), 1);
    EXPECT_EQ(WVideoWriteCount(), writes + 1);
    // A change of one attribute alone is a change.
    cells[1] = 0x4E;
    EXPECT_EQ(WriteVideo(30, 10, 34, 11, cells.data()), 0);
    EXPECT_EQ(At(30, 10).attribute, 0x4E);
    EXPECT_EQ(WVideoWriteCount(), writes + 2);
    // The same cells written elsewhere change the image there.
    EXPECT_EQ(WriteVideo(40, 10, 44, 11, cells.data()), 0);
}

// Runs the console test peer with standard output on fd (or /dev/null when
// fd is -1); its exit code, or -1 when it could not run.
int RunProbe(const char* mode, int fd) {
    std::string program = testsupport::BinPath("video_probe");
    pid_t pid = fork();
    if (pid == 0) {
        int out = fd >= 0 ? fd : open("/dev/null", O_WRONLY);
        if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(126);
        execl(program.c_str(), program.c_str(), mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (fd >= 0) close(fd);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(HelpersConsole, FirstWriteAlwaysDraws) {
    // A fresh process: its image is all zero cells, so writing zero cells
    // changes nothing, yet the first write draws.
    EXPECT_EQ(RunProbe("first", -1), 0);
}

TEST(HelpersConsole, DrawsOnATerminalWithEscapeSequences) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    // The drawing is small enough for the terminal's buffer, so the peer
    // never blocks before it ends.
    int code = RunProbe("draw", slave);
    std::string out;
    for (;;) {
        struct pollfd p {master, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) break;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(master);
    ASSERT_EQ(code, 0);

    EXPECT_NE(out.find("\x1b[?1049h"), std::string::npos);  // own screen
    EXPECT_NE(out.find("\x1b[?25l"), std::string::npos);    // cursor hidden
    EXPECT_NE(out.find("\x1b[2;3H\x1b[0;93;44mOK"), std::string::npos);
    EXPECT_NE(out.find("\x1b[3;3H\x1b[0;37;40m\xc3\xa9\xe2\x82\xac"), std::string::npos);
    EXPECT_NE(out.find("\x1b[25;1H\x1b[0;37;40m "), std::string::npos);  // control byte drawn as a blank
    EXPECT_NE(out.find("\x1b[?1049l"), std::string::npos);  // normal screen back at exit
}

// The drawing goes to a pipe that the screen reader reads.
class DrawnScreen : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        WVideoSetOutput(fds[1]);
    }
    void TearDown() override {
        WVideoSetOutput(-1);
        for (int fd : fds) close(fd);
    }
    // Feeds what was drawn since the last call; its byte count.
    size_t Drain() {
        size_t total = 0;
        char buf[8192];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) {
            reader.feed(std::string(buf, static_cast<size_t>(n)));
            total += static_cast<size_t>(n);
        }
        return total;
    }
    int fds[2] = {-1, -1};
    testsupport::ScreenReader reader;
};

// Frame and fill bytes flagged as glyphs are drawn through code page 437;
// the same bytes unflagged are Windows-1252 text (0xC9 is a corner as a
// glyph, 'É' as text). The oracle is iconv.
TEST_F(DrawnScreen, GlyphCellsThroughCodePage437AndTextThroughWindows1252) {
    const unsigned char glyphBytes[] = {0xB1, 0xC4, 0xB3, 0xDA, 0xBF, 0xD9, 0xC0, 0xCD, 0xBA,
                                        0xC9, 0xBB, 0xBC, 0xC8, 0xDB, 0xDC, 0xB0, 0xB2};
    std::vector<unsigned char> cells(kWVideoColumns * kWVideoRows * 2);
    std::vector<unsigned char> glyphs(kWVideoColumns * kWVideoRows, 0);
    for (size_t i = 0; i < glyphs.size(); ++i) {
        cells[i * 2] = static_cast<unsigned char>(0x20 + i % 224);  // every byte from 0x20 up, as text
        cells[i * 2 + 1] = static_cast<unsigned char>(i % 256);
    }
    for (size_t i = 0; i < sizeof glyphBytes; ++i) {
        cells[i * 2] = glyphBytes[i];  // row 0: glyphs
        glyphs[i] = 1;
        cells[(kWVideoColumns + i) * 2] = glyphBytes[i];  // row 1: the same bytes as text
    }
    ASSERT_EQ(WriteVideo(1, 1, kWVideoColumns, kWVideoRows, cells.data(), glyphs.data()), 0);
    Drain();
    EXPECT_EQ(reader.mismatch(cells.data(), glyphs.data()), "");
    EXPECT_EQ(reader.utf8Errors(), 0);
    EXPECT_EQ(reader.overflows(), 0);
    EXPECT_EQ(reader.at(0, 9).codePoint, 0x2554u);  // ╔
    EXPECT_EQ(reader.at(1, 9).codePoint, 0x00C9u);  // É
    for (int col = 0; col < kWVideoColumns; ++col) EXPECT_EQ(WVideoImage()[col].glyph, glyphs[static_cast<size_t>(col)]);
}

// After the first drawing only the cells that changed are drawn again.
TEST_F(DrawnScreen, RepaintDrawsOnlyChangedCells) {
    std::vector<unsigned char> cells(kWVideoColumns * kWVideoRows * 2);
    for (size_t i = 0; i < cells.size(); i += 2) {
        cells[i] = static_cast<unsigned char>('a' + (i / 2) % 26);
        cells[i + 1] = 0x1F;
    }
    ASSERT_EQ(WriteVideo(1, 1, kWVideoColumns, kWVideoRows, cells.data()), 0);
    const size_t full = Drain();
    EXPECT_GE(full, static_cast<size_t>(kWVideoColumns * kWVideoRows));
    // Three cells on two rows change, one of them only by its attribute.
    cells[(5 * kWVideoColumns + 10) * 2] = 'X';
    cells[(5 * kWVideoColumns + 12) * 2] = 'Y';
    cells[(20 * kWVideoColumns + 79) * 2 + 1] = 0x4E;
    ASSERT_EQ(WriteVideo(1, 1, kWVideoColumns, kWVideoRows, cells.data()), 0);
    const size_t repaint = Drain();
    EXPECT_LT(repaint, 80u) << "a repaint of three cells drew " << repaint << " bytes";
    EXPECT_EQ(reader.mismatch(cells.data(), nullptr), "");
    EXPECT_EQ(reader.attribute(20, 79), 0x4E);
}

}  // namespace
