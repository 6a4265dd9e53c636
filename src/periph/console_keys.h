// Keys of the PC console: the keystroke bytes of the keyboard decoded into
// keys (extended keys as 0x00 or 0xE0 and their scan code), their key
// codes, and the key wait of the local dialogues. Main thread only.
#pragma once

// Key codes of the local dialogues (any other keystroke byte is its own
// code; F1 to F10 are their scan codes 59 to 68).
enum KttdKey : unsigned char {
    KTTD_KEY_PAGE_DOWN = 129,  // '+', Page Down: ends an entry at once
    KTTD_KEY_PAGE_UP = 130,    // '-', Home, Page Up: ends an entry at once
    KTTD_KEY_ENTER = 131,      // validates; chooses in a list
    KTTD_KEY_TAB = 132,        // validates; an automatic entry's own end
    KTTD_KEY_F11 = 133,
    KTTD_KEY_DOWN = 134,       // End, Down arrow, F12
    KTTD_KEY_RIGHT = 135,
    KTTD_KEY_LEFT = 136,
    KTTD_KEY_BACKSPACE = 137,
    KTTD_KEY_DELETE = 138,
    KTTD_KEY_UP = 139,         // clears an entry field
    KTTD_KEY_INSERT = 140,
    KTTD_KEY_ESCAPE = 143,
    KTTD_KEY_NONE = 255,
};

// One entry of the escape table: a two-byte sequence, the key it gives and
// its extended flag.
struct KttdKeyEscape {
    unsigned char bytes[2];
    int length;
    unsigned char key;
    int extended;
};
constexpr int KTTD_ESCAPE_COUNT = 45;
// The table: 0x00 and 0xE0 followed by the scan codes of the arrows, End,
// Page Down, Home, Page Up, Insert, Delete, F1 to F10, F11 and F12, and
// 0x00 0x1C (13); each gives its scan code, extended.
const KttdKeyEscape* KTTD_EscapeTable();

// One keystroke: with flush, what was typed before is dropped first;
// without wait, no keystroke pending gives key 255 at once. An escape
// sequence gives its key and returns 1 (extended); anything else gives its
// last byte and 0. No keyboard: key 255, 0.
int KTTD_ReadKey(int flush, int wait, unsigned char* key);
// The key code of a keystroke (see KttdKey).
unsigned char KTTD_MapKey(unsigned char key, int extended);
// Waits for a key: seconds 0 looks once, negative waits without limit. 1
// with the key code, 0 (key 255) when none came in time, and at once when
// there is no keyboard. The wait sleeps until a key or its end.
int KTTD_WaitKey(int seconds, int flush, unsigned char* key);
