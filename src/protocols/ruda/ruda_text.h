// Text conversions of the RUDA screen requests: the bounded length of a
// text, Latin-1 to the terminal's UTF-8, display text with escape sequences
// to lines, the grid of a selection list and two-digit numbers. Pure
// functions: they read only the bytes they are given and never write past
// their output.
#pragma once
#include <string>

// Length of a NUL-terminated text, or 512 when no NUL comes within its
// first 512 bytes (0 for null).
int RUDA_BoundedLength(const char* text);

// Bytes below 80 (hex) are copied; the 18 accented letters of the terminal
// (à â ä æ é è ê ë ô ö ç ù û ü ï î £ µ) become their two UTF-8 bytes; any
// other byte from 80 up becomes '.'. The result is at most twice the input.
std::string RUDA_Latin1ToUtf8(const unsigned char* in, int length);

// Line buffer of a display: the text built so far, its character count, the
// flag of a positioned text and the limit of characters.
constexpr int kRudaLineBufferSize = 1024;
struct RudaLineBuffer {
    int flag = 0;
    int count = 0;
    int limit = kRudaLineBufferSize;
    char text[kRudaLineBufferSize + 1] = {};  // always NUL-terminated
};
void RUDA_LineBufferClear(RudaLineBuffer* buffer);
// Appends a display text (escape sequences ESC 10 x, ESC 15 a b c, ESC 17 x,
// ESC 1F, ESC F, ESC H, ESC P row column) to the buffer as lines.
void RUDA_DisplayTextToLines(RudaLineBuffer* buffer, const unsigned char* text, int length);
// The buffer's text up to its first NUL.
std::string RUDA_LineBufferText(const RudaLineBuffer& buffer);

// Lays a list text out in a grid of columns x (rows + 1) characters filled
// with spaces: ESC H is skipped, ESC P row column moves to (row - 1) x
// columns + (column - 1) modulo columns, bytes 20 to 7A are written at the
// position, which then advances; other bytes are skipped. Positions outside
// the grid are dropped. Empty for 0 or fewer columns or rows.
std::string RUDA_GridLayout(const unsigned char* text, int length, int columns, int rows);

// Two ASCII digits as a number (10 x d1 + d2); -1 when they are not digits.
int RUDA_TwoDigits(const char* two);
