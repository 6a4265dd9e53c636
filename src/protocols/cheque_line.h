// The line printed on a cheque by the cheque readers and printers
// (protocols 5 to 8): built from the text the caller puts in the card-read
// record's eventData, whose starred part (from the '*' before the last one
// to the last '*', stars included) is aligned on the line's right edge and
// whose beginning is written from the left edge.
#pragma once

// Longest text read from eventData.
constexpr int CHQ_TEXT_MAX = 100;

// Builds the print line of `width` characters (no terminator) into line.
// T is text up to its first NUL, at most 100 characters, of length L. The
// line is filled with spaces; with b the position of T's last '*' and a
// the position of the '*' before it (0 when T has only one), T[a..b] is
// written so that T[b] falls in the last column, and the first
// min(L, width) - (b - a + 1) characters of T (none when that is not
// positive) from the first column. A starred part wider than the line
// keeps its last `width` characters, the closing '*' in the last column,
// and nothing is written on the left.
// 1 built; 0 when T holds no '*' (nothing to print: the line is left as
// spaces); -1 for a missing text or line or a width below 1.
int CHQ_BuildPrintLine(const char* text, int width, char* line);
