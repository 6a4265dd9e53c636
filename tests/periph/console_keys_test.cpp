// Keys of the PC console: keystroke bytes to key codes through the escape
// table and the mapping, and the key wait (time-outs in seconds, flush, no
// keyboard, one sleep to the end).
#include "periph/console_keys.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/console_keyboard.h"
#include "support/scripted_keys.h"
#include "support/trace_capture.h"

namespace {

using testsupport::ScriptedKeys;

TEST(ConsoleKeys, EscapeTableHoldsBothLeadsOfEveryScanCode) {
    const KttdKeyEscape* table = KTTD_EscapeTable();
    const unsigned char scans[] = {0x48, 0x50, 0x4D, 0x4B, 0x4F, 0x51, 0x47, 0x49, 0x52, 0x53, 0x3B, 0x3C,
                                   0x3D, 0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x85, 0x86};
    int found = 0;
    for (unsigned char lead : {0x00, 0xE0}) {
        for (unsigned char scan : scans) {
            for (int i = 0; i < KTTD_ESCAPE_COUNT; ++i) {
                if (table[i].bytes[0] == lead && table[i].bytes[1] == scan) {
                    EXPECT_EQ(table[i].key, scan);
                    EXPECT_EQ(table[i].extended, 1);
                    EXPECT_EQ(table[i].length, 2);
                    ++found;
                }
            }
        }
    }
    EXPECT_EQ(found, 44);
    const KttdKeyEscape& enter = table[KTTD_ESCAPE_COUNT - 1];
    EXPECT_EQ(enter.bytes[0], 0x00);
    EXPECT_EQ(enter.bytes[1], 0x1C);
    EXPECT_EQ(enter.key, 13);
}

TEST(ConsoleKeys, MapTable) {
    struct Case {
        unsigned char key;
        int extended;
        unsigned char code;
    } cases[] = {
        {71, 1, 130}, {73, 1, 130}, {72, 1, 139}, {75, 1, 136}, {77, 1, 135}, {79, 1, 134},
        {80, 1, 134}, {81, 1, 129}, {82, 1, 140}, {83, 1, 138}, {59, 1, 59},  {68, 1, 68},
        {0x85, 1, 133}, {0x86, 1, 134}, {13, 1, 13}, {8, 0, 137},  {9, 0, 132},  {13, 0, 131},
        {27, 0, 143}, {'+', 0, 129}, {'-', 0, 130}, {'a', 0, 'a'}, {72, 0, 72},  {0xE9, 0, 0xE9},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KTTD_MapKey(c.key, c.extended), c.code) << int(c.key) << " extended " << c.extended;
}

// Keystroke bytes as the keyboard gives them (raw console pairs and
// terminal sequences) to the key code of a wait.
TEST(ConsoleKeys, KeystrokeToKeyCodeTable) {
    using S = std::string;
    const S nul(1, '\0');
    struct Case {
        const char* what;
        S bytes;
        unsigned char code;
    } cases[] = {
        {"E0 48 up", "\xE0\x48", 139},
        {"00 3B F1", nul + "\x3B", 59},
        {"ESC alone", "\x1B", 143},
        {"E0 alone", "\xE0", 224},
        {"00 1C", nul + "\x1C", 13},
        {"E0 47 home", "\xE0\x47", 130},
        {"E0 49 page up", "\xE0\x49", 130},
        {"E0 51 page down", "\xE0\x51", 129},
        {"E0 4F end", "\xE0\x4F", 134},
        {"E0 50 down", "\xE0\x50", 134},
        {"E0 4D right", "\xE0\x4D", 135},
        {"E0 4B left", "\xE0\x4B", 136},
        {"E0 52 insert", "\xE0\x52", 140},
        {"E0 53 delete", "\xE0\x53", 138},
        {"00 85 F11", nul + "\x85", 133},
        {"00 86 F12", nul + "\x86", 134},
        {"00 44 F10", nul + "\x44", 68},
        {"00 and a byte outside the table: that byte", nul + "x", 'x'},
        {"terminal up", "\x1b[A", 139},
        {"terminal F12", "\x1b[24~", 134},
        {"terminal backspace", "\x7F", 137},
        {"backspace", "\x08", 137},
        {"tab", "\t", 132},
        {"enter", "\r", 131},
        {"plus", "+", 129},
        {"minus", "-", 130},
        {"letter", "V", 'V'},
        {"UTF-8 e acute", "\xC3\xA9", 0xE9},
    };
    for (const Case& c : cases) {
        ScriptedKeys keys;
        keys.typeNow(c.bytes);
        unsigned char code = 0;
        EXPECT_EQ(KTTD_WaitKey(5, 0, &code), 1) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
        unsigned char none = 0;
        EXPECT_EQ(KTTD_ReadKey(0, 0, &none), 0) << c.what;
        EXPECT_EQ(none, KTTD_KEY_NONE) << c.what << ": nothing left";
    }
}

TEST(ConsoleKeys, ReadKeyGivesTheExtendedFlag) {
    ScriptedKeys keys;
    keys.typeNow("\xE0\x48" "A");
    unsigned char key = 0;
    EXPECT_EQ(KTTD_ReadKey(0, 1, &key), 1);
    EXPECT_EQ(key, 0x48);
    EXPECT_EQ(KTTD_ReadKey(0, 1, &key), 0);
    EXPECT_EQ(key, 'A');
    EXPECT_EQ(KTTD_ReadKey(0, 0, &key), 0);  // no wait, nothing pending
    EXPECT_EQ(key, KTTD_KEY_NONE);
}

TEST(ConsoleKeys, TimeOutZeroLooksOnce) {
    ScriptedKeys keys;
    keys.queue("x");  // would be typed at a sleep: there is none
    unsigned char key = 0;
    EXPECT_EQ(KTTD_WaitKey(0, 1, &key), 0);
    EXPECT_EQ(key, KTTD_KEY_NONE);
    EXPECT_EQ(keys.waits(), 0);
}

TEST(ConsoleKeys, NegativeTimeOutWaitsForTheKey) {
    ScriptedKeys keys;
    keys.queue("\xE0\x4B");
    unsigned char key = 0;
    EXPECT_EQ(KTTD_WaitKey(-1, 1, &key), 1);
    EXPECT_EQ(key, 136);
    EXPECT_EQ(keys.waits(), 1);
}

TEST(ConsoleKeys, FlushDropsKeysTypedBeforeTheWait) {
    ScriptedKeys keys;
    keys.typeNow("ab");
    keys.queue("c");
    unsigned char key = 0;
    EXPECT_EQ(KTTD_WaitKey(5, 1, &key), 1);
    EXPECT_EQ(key, 'c');
    keys.typeNow("d");
    EXPECT_EQ(KTTD_WaitKey(5, 0, &key), 1);  // without flush the typed key counts
    EXPECT_EQ(key, 'd');
}

TEST(ConsoleKeys, TenMinutesWithoutAKeyUnderTheManualClock) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    ScriptedKeys keys;
    const int64_t start = clock.nowMs();
    unsigned char key = 0;
    EXPECT_EQ(KTTD_WaitKey(600, 1, &key), 0);
    EXPECT_EQ(key, KTTD_KEY_NONE);
    EXPECT_GE(clock.nowMs() - start, 600000);
    EXPECT_EQ(keys.waits(), 1);
}

// Without a keyboard a wait ends at once, whatever its time-out, and says so
// once.
TEST(ConsoleKeys, NoKeyboardEndsEveryWaitAtOnce) {
    plat::ManualClock clock;
    plat::ScopedClock scoped(&clock);
    plat::SetKeyInput(-1);
    testsupport::TraceCapture trace;
    const int64_t start = clock.nowMs();
    unsigned char key = 0;
    EXPECT_EQ(KTTD_WaitKey(600, 1, &key), 0);
    EXPECT_EQ(KTTD_WaitKey(-1, 1, &key), 0);
    EXPECT_EQ(key, KTTD_KEY_NONE);
    EXPECT_EQ(clock.nowMs(), start);
    int said = 0;
    for (const std::string& line : trace.Snapshot()) said += line.find("Aucun clavier") != std::string::npos;
    EXPECT_LE(said, 1);
}

// A key wait sleeps once until its end: it does not wake up every
// millisecond to look.
TEST(ConsoleKeys, IdleKeyWaitSleepsToItsEnd_Mended) {
    ScriptedKeys keys;
    const uint64_t before = plat::KeyWaitWakeups();
    unsigned char key = 0;
    EXPECT_EQ(KTTD_WaitKey(1, 1, &key), 0);
    EXPECT_EQ(plat::KeyWaitWakeups(), before);
    EXPECT_EQ(keys.waits(), 1);
}

}  // namespace
