// Parameter files: a whole text file held in memory (KTDK_FILE), read and
// written whole, searched for text between two separators, parameter lines
// "[key:value]\r\n", the signature record that closes a file with a 16-bit
// checksum of its content, and the secure record of a file scrambled with one
// of the six built-in keys.
//
// Every text result (a message, a parameter value, a signature) is returned
// as the address of one process-wide result area of FILE_RESULT_AREA_SIZE
// bytes, valid until the next call of any FILE_ function. Main thread only.
//
// Writing replaces the file atomically: a temporary file in the same
// directory (mode 0600), fsync, rename over the old file, fsync of the
// directory. A killed writer leaves the old or the new file, never a part.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int FILE_PATH_MAX = 500;          // characters of a path
constexpr int FILE_SEPARATOR_MAX = 80;      // characters of a separator
constexpr int FILE_KEY_MAX = 78;            // characters of a parameter key
constexpr int FILE_RESULT_AREA_SIZE = 8192; // one result and its NUL
constexpr int FILE_SIGNATURE_TEXT_MAX = 79; // stored signature text
constexpr int FILE_WRITE_ATTEMPTS = 20;
constexpr int FILE_WRITE_RETRY_MS = 500;
constexpr int FILE_MISSING_CONTENT_SIZE = 10;  // zero bytes standing for "empty"

// Markers of the two records.
inline constexpr const char FILE_SIGNATURE_MARKER[] = "(C)Talvo_Technologies__File_System";
inline constexpr const char FILE_SECURE_MARKER[] = "(C)Talvo_Technologies__Secure_System";

struct KTDK_FILE {
    char path[FILE_PATH_MAX + 1];
    char* content;   // length bytes and a NUL behind them; null until first filled
    int32_t length;  // content bytes, the NUL not counted
    int32_t cursor;  // where the next "next" search starts
    char startSeparator[FILE_SEPARATOR_MAX + 1];
    char endSeparator[FILE_SEPARATOR_MAX + 1];
};

// Object and content
KTDK_FILE* FILE_NewFile(const char* path);  // null for a null or over-long path
int FILE_FreeFile(KTDK_FILE* file);
int FILE_OpenReadClose(KTDK_FILE* file);
int FILE_OpenWriteClose(KTDK_FILE* file);
int FILE_SetFileContent(KTDK_FILE* file, int32_t count, const void* bytes);
int FILE_Rewind(KTDK_FILE* file, int clear);
int FILE_PutBloc(KTDK_FILE* file, const void* bytes, int32_t count, int32_t offset);
char* FILE_GetBloc(KTDK_FILE* file, int32_t offset);
char* FILE_MoveFileContent(KTDK_FILE* file, int32_t newSize, int32_t from, int32_t to);
char* FILE_InsertInFileContent(KTDK_FILE* file, const void* bytes, int32_t position, int32_t count);
char* FILE_RemoveFromFileContent(KTDK_FILE* file, int32_t start, int32_t stop);

// Searching between separators
int FILE_SetSemantique(KTDK_FILE* file, const char* startSeparator, const char* endSeparator);
char* FILE_GetLocaliseMessage(KTDK_FILE* file, int32_t* start, int32_t* stop);
char* FILE_GetMessage(KTDK_FILE* file);
char* FILE_GetNextMessage(KTDK_FILE* file);

// Parameter lines
char* FILE_GetStringParam(KTDK_FILE* file, const char* key);
char* FILE_GetNextStringParam(KTDK_FILE* file, const char* key);
int32_t FILE_GetIntParam(KTDK_FILE* file, const char* key);
// Key and value may point anywhere, the result area and the content included.
// A value holding "]\r\n" or a line longer than the result area is refused.
int32_t FILE_ReplaceStringParam(KTDK_FILE* file, const char* key, const char* value);

// Signature record
char* FILE_GetSignat(KTDK_FILE* file, int32_t count);
int FILE_GetRecordSignat2(KTDK_FILE* file, char* out, int32_t outSize);
int FILE_GetRecordSignat(KTDK_FILE* file);
int FILE_PutRecordSignat2(KTDK_FILE* file, char* out, int32_t outSize);
int FILE_PutRecordSignat(KTDK_FILE* file);

// Secure record. A record whose key number is not 1 to 6 is refused (-2) and
// the content left as it is: scrambled bytes are never taken for text.
int FILE_GetRecordSecure(KTDK_FILE* file);
int FILE_PutRecordSecure(KTDK_FILE* file, int mode);
int FILE_GetSecureKeyIndex();
// The key number chosen at a given hour of the day (0-23).
int FILE_GetSecureKeyIndexForHour(int hour);
int FILE_ScrambleBuffer(void* bytes, int32_t count, int keyNumber, int32_t keyOffset);

// The six scrambling keys, numbered 1 to 6 (index 0 to 5), built at start-up.
constexpr int SCRAMBLE_KEY_COUNT = 6;
constexpr int SCRAMBLE_KEY_SIZE = 6;
using ScrambleKey = std::array<uint8_t, SCRAMBLE_KEY_SIZE>;
const std::vector<ScrambleKey>& ScrambleKeyTable();

// Errors of the C runtime
void FILE_ClearErrno();
int FILE_GetErrno();
int FILE_IsRetryableErrno(int number);
int FILE_GetErrnoMessage(int number, int32_t size, char* buffer);

// The process-wide result area (for tests and for callers that copy out).
char* FILE_ResultArea();
