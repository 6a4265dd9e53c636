// Memory, string, conversion, file-search, socket and console helpers.
//
// Free functions over plain buffers. Process-wide state is limited to the
// private heap, one open file search and the console image. Every function
// that takes pointers returns its documented result for a null pointer and
// touches nothing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Memory and time
// ---------------------------------------------------------------------------

// Private heap: zeroed blocks of exactly the size asked; every allocation and
// release holds the process-wide heap lock. Null when the block cannot be had.
void* WInitAlloc(size_t size);
// Releases a block of the private heap; nothing for null. Always 0.
int WFreeAlloc(void* block);
// (size / 16 + 1) x 16 zeroed bytes: always a multiple of 16, always larger
// than asked (room for a terminator). Null when the size cannot be rounded
// without overflowing or the block cannot be had.
void* WAlloc(size_t size);
int WFree(void* block);
// Suspends the calling thread (or advances an installed test clock).
void WSleep(uint32_t milliseconds);

// A time stamp: whole seconds and milliseconds within the second (0-999), read
// from the monotonic millisecond clock (plat::MonotonicMs).
struct WTimeStamp {
    int32_t time = 0;
    uint16_t millitm = 0;
};

// Fills the stamp with the current monotonic time; nothing for null.
void WGetTimeStamp(WTimeStamp* stamp);
// Current monotonic time as a stamp.
WTimeStamp WGetTimeStamp();

// 1 when limitMs milliseconds have passed since start, else 0. A negative
// limit never expires, a limit of 0 always has; a clock that went back (start
// in the future) counts as expired.
int WIsTimeOut(const WTimeStamp& start, int32_t limitMs);
// Same; a null start counts as expired (1) unless the limit is negative.
int WIsTimeOut(const WTimeStamp* start, int32_t limitMs);

// ---------------------------------------------------------------------------
// Searches and comparisons (a buffer has an explicit length, a string ends at
// its NUL)
// ---------------------------------------------------------------------------

// Index of the first byte equal to c among the first length bytes; the length
// when there is none (also for null; a negative length counts as 0).
int32_t WFindChar(const void* buffer, int32_t length, char c);
// 1 when each of the first length bytes equals c (a length of 0 or less gives
// 1); 0 for a null buffer with a positive length.
int WIsFilledWith(const void* buffer, int32_t length, char c);
// First position of text where pattern matches, the wildcard character in the
// pattern matching any character; null when none (or a null argument). An
// empty pattern matches at position 0.
const char* WFindWildString(const char* text, const char* pattern, char wildcard);
char* WFindWildString(char* text, const char* pattern, char wildcard);
// Removes every c in place, moving the rest together and zeroing the freed
// tail; the new length. 0 for null or a length of 0, -1 for a negative length.
int32_t WRemoveChar(char* buffer, int32_t length, char c);
// Sets every character of the string to 0; nothing for null.
void WZeroString(char* text);
// 1 equal, 0 different (lengths differ), -1 when either is null. With fold,
// the letters a-z count as A-Z.
int WCompareString(const char* a, const char* b, int fold);
// 1 when the first count bytes are equal (bytes after a NUL compared too;
// the caller guarantees count readable bytes); a count of 0 or less gives 1;
// 0 otherwise or when either side is null.
int WCompareNString(const char* a, const char* b, int fold, int32_t count);
// Compares count bytes where the wildcard on either side matches anything;
// with fold both sides are lower-cased first. 1 equal, 0 different; a count
// of 0 or less gives 1; -1 for a null side or when a work copy cannot be had.
int WCompareWildString(const char* a, const char* b, int fold, int32_t count, char wildcard);
// Compares the buffers after removing the ignored character from both (and
// lower-casing both with fold). 1 when both lengths are 0 or the rest is
// equal, 0 when different, -1 for a null side with a positive length, a
// negative length, or when a work copy cannot be had.
int WCompareStringIgnoring(const char* a, const char* b, int fold, int32_t lengthA, int32_t lengthB,
                           char ignored);
// Removes trailing blanks (0x20 only); nothing for null or empty.
void WTrimRight(char* text);
// 1 when the string is not null, not empty and holds only 0-9.
int WIsDigitString(const char* text);

// Longest list WIsInRangeList reads; a longer list is refused (result 0) and
// traced, never cut (a cut list could turn a bound into another number).
constexpr size_t kWRangeListMax = 1022;
// 1 when number is one of the ';'-separated items of list: a single number
// or a range "low-high" (bounds included; a '-' after the item's first
// character makes a range, so "-5--2" runs from -5 to -2). Numbers are read as
// atoi does. Empty items are skipped. 0 otherwise, for null, or for a list
// longer than kWRangeListMax.
int WIsInRangeList(const char* list, int32_t number);

// ---------------------------------------------------------------------------
// Conversion and formatting
// ---------------------------------------------------------------------------

// Two lower-case hexadecimal digits per byte, high digit first; no NUL.
// Nothing for null or a count of 0 or less.
void WBinToHex(char* out, const void* in, int32_t count);
// Reads count pairs of characters, each as a hexadecimal number of at most two
// digits (either case), into count bytes. A pair without a leading
// hexadecimal digit gives 0; reading never goes past the text's NUL.
void WHexToBin(void* out, const char* in, int32_t count);
// Prints quotient and remainder of dividend / divisor (a divisor of 0 counts
// as 1) through a format with two int conversions; the characters written,
// -1 for null. The quotient of INT32_MIN / -1 saturates at INT32_MAX.
// The 4-argument form trusts the output to be large enough.
int WPrintQuotRem(char* out, const char* format, int32_t dividend, int32_t divisor);
int WPrintQuotRem(char* out, size_t outSize, const char* format, int32_t dividend, int32_t divisor);
// A value of at most 9999 as two BCD bytes (1234 gives 12 34), or at most
// 99999999 as four: 1, or -1 (nothing written) for a larger or negative
// value or a null output.
int IntToBCD2(int32_t value, unsigned char* out);
int LongToBCD4(int64_t value, unsigned char* out);
// Widest text WIntToString builds; larger widths are cut to this.
constexpr int32_t kWIntToStringMaxWidth = 63;
// Decimal form of value, padded on the left with fill to at least width
// characters (the fill goes before a minus sign; width 0 or less: no padding).
// Returns a per-thread static text, valid until the next call on that thread.
const char* WIntToString(int32_t value, int32_t width, char fill);
// Same into caller storage (cut to outSize - 1 characters); returns out, or
// null for a null out or an outSize of 0.
char* WIntToString(int32_t value, int32_t width, char fill, char* out, size_t outSize);
// Base64 (RFC 4648 standard alphabet, '=' padding, no line breaks). A null
// pointer or an empty sequence gives an empty text.
std::string WBase64Encode(const void* data, size_t length);
std::string WBase64Encode(std::string_view data);

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// Every '\' and '/' of the path becomes '/', in place; nothing for null.
void WSetPathSeparators(char* path);
// Size of the stream in bytes (seek to the end and back); -1 on failure or null.
int64_t WGetStreamSize(FILE* stream);

constexpr uint8_t WFIND_READONLY = 0x01;
constexpr uint8_t WFIND_HIDDEN = 0x02;
constexpr uint8_t WFIND_DIRECTORY = 0x10;

// One entry found by a file search.
struct WFindRecord {
    uint8_t attributes = 0;  // WFIND_READONLY | WFIND_HIDDEN | WFIND_DIRECTORY
    uint32_t size = 0;       // low 32 bits of the size in bytes
    char name[255] = {};     // at most 254 characters and a NUL (longer names cut)
};

// Closes the open search and starts one on pattern ("directory/name-pattern";
// '*' and '?' as on Windows, "*.*" matches every name, letters compared
// without case; "." and ".." are entries too). Fills the record with the
// first match: 0; 1 when nothing matches or an argument is null (a null
// argument leaves the open search alone).
int WFindFirst(const char* pattern, WFindRecord* record);
// Next match of the open search: 0; 1 when there are no more entries; -1 on
// any other failure (no open search, null record, directory read error).
int WFindNext(WFindRecord* record);
// Names (without the directory) of the entries of the directory that match
// the name pattern with the rules of WFindFirst, in name order; empty when
// none match or the directory cannot be read. It keeps no state, so any
// thread may call it, also while a search is open.
std::vector<std::string> WListFiles(const char* directory, const char* pattern);

// ---------------------------------------------------------------------------
// Sockets
// ---------------------------------------------------------------------------

// Prepares the process for sockets once (later calls return 0 at once): traces
// "** INFO. ** Initialize WinSock layer" and ignores SIGPIPE process-wide, so a
// write to a closed peer fails with EPIPE instead of ending the program. 0.
int sock_init();
// Same preparation at every call, without the trace. 0.
int SSL_sock_init();
// Closes a socket; the result of close(2).
int sock_close(int socket);

// ---------------------------------------------------------------------------
// Console: an 80 x 25 screen of character cells
// ---------------------------------------------------------------------------

constexpr int kWVideoColumns = 80;
constexpr int kWVideoRows = 25;

struct WVideoCell {
    unsigned char character = 0;
    uint16_t attribute = 0;  // low 4 bits foreground, next 4 bits background
    unsigned char glyph = 0;  // 1: the byte is a code page 437 glyph (frames, fill)
};

// Makes the program's screen ready once: on a terminal, switches to the
// alternate screen and hides the cursor (restored at exit). 0 when ready, 1
// on failure.
int OpenVideo();
// Writes a rectangle of cells (coordinates counted from 1, 0 taken as 1),
// given row by row as (character byte, attribute byte) pairs, into the screen
// image, then draws it unless the image is the same as the one last drawn
// (the first call always draws). glyphs, when given, holds one flag a cell
// of the rectangle, row by row: a cell flagged non-zero is drawn as the code
// page 437 glyph of its byte (frames and fill), the others as Windows-1252
// text. 0 when drawn; 1 when nothing was drawn (bad rectangle, null cells,
// unchanged image, or the terminal refused).
int WriteVideo(int left, int top, int right, int bottom, const void* cells,
               const unsigned char* glyphs = nullptr);
// Tests and benchmarks: the drawing goes to fd as to a terminal (the next
// drawing draws its whole rectangle); -1 goes back to standard output,
// drawn only when it is a terminal.
void WVideoSetOutput(int fd);

// For tests and diagnostics: the current screen image (kWVideoRows rows of
// kWVideoColumns cells, row after row), read-only.
const WVideoCell* WVideoImage();
// For tests and diagnostics: how many times WriteVideo has drawn the screen.
uint64_t WVideoWriteCount();
