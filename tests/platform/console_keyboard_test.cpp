// The console's keyboard: terminal keystroke bytes to the console's key
// bytes, and the key input read with poll (a pipe stands for the terminal;
// the raw mode of a real terminal is tested on a pseudo-terminal with the
// console test program, tests/periph/console_pty_test.cpp).
#include "platform/console_keyboard.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace {

std::string Translate(const std::string& in, bool expire = true) {
    plat::KeyTranslator t;
    std::string out;
    for (unsigned char c : in) t.feed(c, out);
    if (expire) t.expire(out);
    return out;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    return out;
}

TEST(KeyTranslator, TerminalSequencesTable) {
    using S = std::string;
    const S e0 = "\xE0", nul(1, '\0');
    struct Case {
        const char* what;
        S in;
        S out;
    } cases[] = {
        {"up", "\x1b[A", e0 + "\x48"},
        {"down", "\x1b[B", e0 + "\x50"},
        {"right", "\x1b[C", e0 + "\x4D"},
        {"left", "\x1b[D", e0 + "\x4B"},
        {"up, application mode", "\x1bOA", e0 + "\x48"},
        {"home ESC O H", "\x1bOH", e0 + "\x47"},
        {"home ESC [ H", "\x1b[H", e0 + "\x47"},
        {"home ESC [ 1 ~", "\x1b[1~", e0 + "\x47"},
        {"home ESC [ 7 ~", "\x1b[7~", e0 + "\x47"},
        {"end ESC [ F", "\x1b[F", e0 + "\x4F"},
        {"end ESC [ 4 ~", "\x1b[4~", e0 + "\x4F"},
        {"insert", "\x1b[2~", e0 + "\x52"},
        {"delete", "\x1b[3~", e0 + "\x53"},
        {"page up", "\x1b[5~", e0 + "\x49"},
        {"page down", "\x1b[6~", e0 + "\x51"},
        {"F1 ESC O P", "\x1bOP", nul + "\x3B"},
        {"F4 ESC O S", "\x1bOS", nul + "\x3E"},
        {"F1 ESC [ 11 ~", "\x1b[11~", nul + "\x3B"},
        {"F4 ESC [ 14 ~", "\x1b[14~", nul + "\x3E"},
        {"F5", "\x1b[15~", nul + "\x3F"},
        {"F6", "\x1b[17~", nul + "\x40"},
        {"F10", "\x1b[21~", nul + "\x44"},
        {"F11", "\x1b[23~", nul + "\x85"},
        {"F12", "\x1b[24~", nul + "\x86"},
        {"F1 of the Linux console", "\x1b[[A", nul + "\x3B"},
        {"F5 of the Linux console", "\x1b[[E", nul + "\x3F"},
        {"Ctrl+Up: the modifier is ignored", "\x1b[1;5A", e0 + "\x48"},
        {"Shift+Delete", "\x1b[3;2~", e0 + "\x53"},
        {"F1 with a modifier", "\x1b[1;2P", nul + "\x3B"},
        {"backspace 0x7F", "\x7F", "\x08"},
        {"lone ESC after the pause", "\x1b", "\x1b"},
        {"ESC and a letter", "\x1bx", "\x1bx"},
        {"two ESC", "\x1b\x1b", "\x1b\x1b"},
        {"ESC [ cut by the pause", "\x1b[", "\x1b["},
        {"unknown tilde key dropped", "\x1b[99~", ""},
        {"bracketed paste mark dropped", "\x1b[200~", ""},
        {"device answer dropped", "\x1b[?1;2c", ""},
        {"overlong sequence dropped whole", "\x1b[" + S(40, '1') + "~x", "x"},
        {"sequence broken by a control byte", "\x1b[1\x03", "\x03"},
        {"UTF-8 e acute", "\xC3\xA9", "\xE9"},
        {"UTF-8 euro", "\xE2\x82\xAC", "\x80"},
        {"UTF-8 letter outside Windows-1252 dropped", "\xE2\x94\x80", ""},
        {"UTF-8 C1 control dropped", "\xC2\x81", ""},
        {"raw E0 48 kept", "\xE0\x48", e0 + "\x48"},
        {"raw 00 3B kept", nul + "\x3B", nul + "\x3B"},
        {"raw E0 85 kept", "\xE0\x85", e0 + "\x85"},
        {"lone E0 after the pause", "\xE0", e0},
        {"Latin-1 e acute then a letter", "\xE9" "A", "\xE9" "A"},
        {"lone continuation byte", "\x80", "\x80"},
        {"byte FF", "\xFF", "\xFF"},
        {"Enter and Tab", "\r\t", "\r\t"},
        {"keys after a sequence", "\x1b[Aab", e0 + "\x48" + "ab"},
    };
    for (const Case& c : cases) EXPECT_EQ(Hex(Translate(c.in)), Hex(c.out)) << c.what;
}

TEST(KeyTranslator, HoldsAnIncompleteSequenceUntilItsPause) {
    plat::KeyTranslator t;
    std::string out;
    t.feed(0x1B, out);
    t.feed('[', out);
    EXPECT_TRUE(t.holding());
    EXPECT_TRUE(out.empty());
    t.feed('A', out);
    EXPECT_FALSE(t.holding());
    EXPECT_EQ(Hex(out), "E0 48 ");
    t.feed(0xC3, out);
    EXPECT_TRUE(t.holding());
    t.reset();
    EXPECT_FALSE(t.holding());
}

// A pipe as the key input; everything put back at the end.
class KeyInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        plat::SetKeyInput(fds[0]);
    }
    void TearDown() override {
        plat::SetKeyWaitHook(nullptr, nullptr);
        plat::SetKeyInput(-1);
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    void Type(const std::string& bytes) { ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    int fds[2] = {-1, -1};
};

TEST_F(KeyInput, ReadsTranslatedBytesInOrder) {
    EXPECT_FALSE(plat::KeyPending());
    EXPECT_EQ(plat::KeyRead(0), -1);
    Type("a\x1b[B\x7F");
    EXPECT_TRUE(plat::KeyPending());
    EXPECT_EQ(plat::KeyRead(0), 'a');
    EXPECT_EQ(plat::KeyRead(0), 0xE0);
    EXPECT_EQ(plat::KeyRead(0), 0x50);
    EXPECT_EQ(plat::KeyRead(0), 0x08);
    EXPECT_EQ(plat::KeyRead(0), -1);
}

TEST_F(KeyInput, LoneEscapeComesAfterItsPause) {
    Type("\x1b");
    // Within the pause it is not a key yet; a wait gets it once the pause
    // is over.
    EXPECT_EQ(plat::KeyRead(-1), 0x1B);
    EXPECT_FALSE(plat::KeyPending());
}

TEST_F(KeyInput, FlushDropsTypedKeysAndAHalfSequence) {
    Type("xyz\x1b[");
    plat::KeyFlush();
    EXPECT_FALSE(plat::KeyPending());
    Type("A");  // the end of the dropped sequence is a plain key now
    EXPECT_EQ(plat::KeyRead(0), 'A');
}

TEST_F(KeyInput, EndOfInputMeansNoKeyboard) {
    Type("q");
    close(fds[1]);
    fds[1] = -1;
    EXPECT_EQ(plat::KeyRead(-1), 'q');  // what was typed still comes
    EXPECT_EQ(plat::KeyRead(-1), -2);   // then no keyboard, at once
    EXPECT_FALSE(plat::KeyboardPresent());
}

TEST_F(KeyInput, NoInputIsNoKeyboard) {
    plat::SetKeyInput(-1);
    EXPECT_FALSE(plat::KeyboardPresent());
    EXPECT_EQ(plat::KeyRead(-1), -2);
    EXPECT_FALSE(plat::KeyPending());
}

// The hook runs when a wait is about to sleep: a key typed then ends the
// wait without a second sleep.
TEST_F(KeyInput, WaitHookTypesTheKeyTheWaitGets) {
    struct Ctx {
        int fd;
        int calls;
    } ctx{fds[1], 0};
    plat::SetKeyWaitHook(
        [](void* p) {
            auto* c = static_cast<Ctx*>(p);
            ++c->calls;
            ssize_t n = write(c->fd, "k", 1);
            (void)n;
        },
        &ctx);
    const uint64_t before = plat::KeyWaitWakeups();
    EXPECT_EQ(plat::KeyRead(-1), 'k');
    EXPECT_EQ(ctx.calls, 1);
    EXPECT_EQ(plat::KeyWaitWakeups(), before);
}

// An idle wait sleeps once, to its end: no wake-up in between.
TEST_F(KeyInput, IdleWaitDoesNotWakeUpBeforeItsEnd_Mended) {
    const uint64_t before = plat::KeyWaitWakeups();
    EXPECT_EQ(plat::KeyRead(120), -1);
    EXPECT_EQ(plat::KeyWaitWakeups(), before);
}

// A wait of ten minutes under the manual clock ends without a key.
TEST_F(KeyInput, LongWaitUnderTheManualClock) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    const int64_t start = clock.nowMs();
    EXPECT_EQ(plat::KeyRead(600000), -1);
    EXPECT_GE(clock.nowMs() - start, 600000);
}

}  // namespace
