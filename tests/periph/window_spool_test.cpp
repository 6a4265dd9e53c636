// The spool file of a text window written line after line, as the trace
// zone writes it (each write spools what the window showed, then shows the
// new line): kept open between spools and flushed after each, every line in
// the file in order, a file moved or removed from outside followed by a new
// one at its path, the size rotation, and a spool directory that is missing
// until it is made.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "periph/console_windows.h"
#include "support/storage_cert.h"
#include "support/temp_dir.h"

namespace {

class WindowSpool : public ::testing::Test {
protected:
    void SetUp() override { kept_ = TWI_GetSpoolMaxSize(); }
    void TearDown() override {
        TWI_FreeTextWindow(window_);
        TWI_SetSpoolMaxSize(kept_);
    }
    // A window of the trace zone's shape: three rows, whole-window spool,
    // "\r\n" line ends, trailing blanks removed.
    void Open(const std::string& path) {
        window_ = TWI_NewTextWindow(3, 1024, path.c_str(), "CA001000");
        ASSERT_NE(window_, nullptr);
        window_->spoolMode = 2;
        window_->lineMode = 2;
        window_->trim = 1;
    }
    void Write(const std::string& line) { ASSERT_EQ(TWI_WriteText(window_, line.c_str(), 1), 1); }
    static std::string Read(const std::string& path) { return testsupport::ReadWholeFile(path); }

    testsupport::TempDir dir_;
    KT_TEXT_WINDOW* window_ = nullptr;
    int kept_ = 0;
};

TEST_F(WindowSpool, EveryLineIsInTheFileAtOnceAndInOrder) {
    const std::string path = dir_.file("CA001000.SPO");
    Open(path);
    std::string expected = "\r\n";  // the window's blank first line
    for (int i = 1; i <= 5; ++i) {
        Write("ligne " + std::to_string(i));
        EXPECT_EQ(Read(path), expected) << "flushed when line " << i << " came";
        expected += "ligne " + std::to_string(i) + "\r\n";
    }
}

TEST_F(WindowSpool, AFileMovedOrRemovedFromOutsideIsFollowedByANewOne) {
    const std::string path = dir_.file("CA001000.SPO");
    Open(path);
    Write("un");
    Write("deux");
    ASSERT_EQ(std::rename(path.c_str(), dir_.file("moved.SPO").c_str()), 0);
    Write("trois");
    EXPECT_EQ(Read(dir_.file("moved.SPO")), "\r\nun\r\n");
    EXPECT_EQ(Read(path), "deux\r\n");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    Write("quatre");
    EXPECT_EQ(Read(path), "trois\r\n");
}

TEST_F(WindowSpool, AFileGrownPastItsSizeIsRotated) {
    TWI_SetSpoolMaxSize(1);
    const std::string path = dir_.file("CA001000.SPO");
    Open(path);
    const std::string line(700, 'x');
    Write(line);
    Write(line);
    Write("a");
    // 1404 bytes: the first kilobyte is not passed yet.
    EXPECT_EQ(Read(path), "\r\n" + line + "\r\n" + line + "\r\n");
    Write("b");  // 1404 / 1024 is 1: still not past the size
    Write("c");
    EXPECT_EQ(Read(path), "\r\n" + line + "\r\n" + line + "\r\na\r\nb\r\n");
    TWI_SetSpoolMaxSize(-1);  // any size is past it: the next spool rotates
    Write("d");
    EXPECT_EQ(Read(dir_.file("CA001000.SPB")), "\r\n" + line + "\r\n" + line + "\r\na\r\nb\r\n");
    EXPECT_EQ(Read(path), "c\r\n");
}

TEST_F(WindowSpool, ASpoolDirectoryMissingUntilItIsMade) {
    const std::string directory = dir_.file("WOut");
    const std::string path = directory + "/CA001000.SPO";
    Open(path);
    Write("un");
    Write("deux");  // "un" cannot be spooled: no directory
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    Write("trois");
    EXPECT_EQ(Read(path), "deux\r\n");
}

}  // namespace
