// Tag-message buffer: builds and reads flat texts of tagged entries such as
// {SS}R{PS}001{SV}s0{CD}c1{F}. An ATAG_BUFFER writes into one caller-supplied
// buffer and reads another (or the same) one; it never allocates them.
//
// Results: 1 done, 0 nothing found, -1 bad argument, nothing bound, no room or
// not found (see each function).
#pragma once
#include <cstddef>
#include <cstdint>

// A message holds at most 10240 characters; its buffer adds the terminator.
constexpr int TAG_MESSAGE_MAX_CHARS = 10240;
constexpr int TAG_MESSAGE_BUFFER_SIZE = TAG_MESSAGE_MAX_CHARS + 1;
// Separators and the end tag are at most 8 characters each.
constexpr int ATAG_SEPARATOR_MAX = 8;
constexpr int ATAG_WORK_AREA_SIZE = 10240;
// Room given to the work-area getters (the last byte stays a terminator).
constexpr int ATAG_WORK_VALUE_SIZE = ATAG_WORK_AREA_SIZE - 1;

struct ATAG_BUFFER {
    char openSeparator[ATAG_SEPARATOR_MAX + 2];
    char closeSeparator[ATAG_SEPARATOR_MAX + 2];
    char endTag[ATAG_SEPARATOR_MAX + 2];
    // Search keys and the output of the text and number getters.
    char workArea[ATAG_WORK_AREA_SIZE];
    // Each binding keeps its own size; the later binding decides the room of
    // the writes: a reader bound after the writer limits them to the smaller
    // of the two, a writer bound after the reader has its own capacity.
    // Reads never look past readCapacity.
    uint32_t writeCapacity;
    uint32_t readCapacity;
    uint8_t readBoundLast;
    char* writeBuffer;
    int32_t writePosition;  // where the next entry goes (normally the end tag)
    char* readBuffer;
    int32_t readPosition;  // where the next search starts
    int32_t currentOccurrenceStart;
    int32_t nextOccurrenceStart;  // -1 when there is no further occurrence
};

// Standard separators "{", "}" and "{F}", nothing bound, work area cleared.
ATAG_BUFFER* ATAG_Init(ATAG_BUFFER* tags);
// Empty or over-long (more than 8 characters) separators keep the old ones; the
// end tag becomes open + endName + close only when the three fit in 8.
int ATAG_SetSeparators(ATAG_BUFFER* tags, const char* open, const char* close, const char* endName);
int ATAG_InitWrite(ATAG_BUFFER* tags, char* buffer, uint32_t capacity, int clear);
int ATAG_InitRead(ATAG_BUFFER* tags, char* buffer, uint32_t capacity, int clear);
// Puts the write position on the first end tag (erasing it when asked), or
// at the end of the text of a message without end tag.
int ATAG_SeekEnd(ATAG_BUFFER* tags, int erase);

// Setters refuse (-1, message unchanged) a code holding a separator, a value
// holding the open separator (ATAG_Set, ATAG_Replace and ATAG_AppendValue
// trace a warning naming the code, never the value), and any result that
// would not fit with its NUL.
int ATAG_Set(ATAG_BUFFER* tags, const char* code, const char* value);
int ATAG_Append(ATAG_BUFFER* tags, const char* text);
int ATAG_SetHex(ATAG_BUFFER* tags, const char* code, const void* bytes, int count);
int ATAG_Replace(ATAG_BUFFER* tags, const char* code, const char* value);
int ATAG_AppendValue(ATAG_BUFFER* tags, const char* code, const char* more);
int ATAG_Disable(ATAG_BUFFER* tags, const char* code);

// On any NUL-terminated text, with the separators of `tags`.
int ATAG_Remove(ATAG_BUFFER* tags, char* text, const char* code);
int ATAG_Count(ATAG_BUFFER* tags, const char* text, const char* code);

// Getters copy at most outputSize bytes (value and NUL). A value that does not
// fit is refused: -1, output emptied, read position as before the call.
int ATAG_Get(ATAG_BUFFER* tags, const char* code, char* output, int outputSize, int fromStart);
int ATAG_GetNext(ATAG_BUFFER* tags, char* codeOutput, int codeSize, char* valueOutput, int valueSize);
int ATAG_FindOccurrence(ATAG_BUFFER* tags, const char* groupCode, int first);
int ATAG_GetInOccurrence(ATAG_BUFFER* tags, const char* code, char* output, int outputSize,
                         int fromOccurrence);
const char* ATAG_GetString(ATAG_BUFFER* tags, const char* code, int fromStart);
// A value that is not a number stores 0; out-of-range numbers saturate.
int ATAG_GetInt(ATAG_BUFFER* tags, const char* code, int* output, int fromStart);
// "%ld" of the system: 32-bit.
int ATAG_GetLong(ATAG_BUFFER* tags, const char* code, int32_t* output, int fromStart);
int ATAG_GetLength(ATAG_BUFFER* tags, const char* code);

// The process-wide tag buffer behind the TAG_ functions (main thread only).
ATAG_BUFFER* TAG_GetProcessBuffer();

int TAG_SetSeparators(const char* open, const char* close, const char* endName);
int TAG_InitWrite(char* buffer, uint32_t capacity, int clear);
int TAG_InitRead(char* buffer, uint32_t capacity, int clear);
int TAG_SeekEnd(int erase);
int TAG_Set(const char* code, const char* value);
int TAG_Put(const char* code, const char* value);
int TAG_SetInt(const char* code, int value);
int TAG_SetLong(const char* code, int32_t value);
int TAG_PutInt(const char* code, int value);
int TAG_SetHex(const char* code, const void* bytes, int count);
int TAG_Append(const char* text);
int TAG_AppendValue(const char* code, const char* more);
int TAG_Replace(const char* code, const char* value);
int TAG_Remove(char* text, const char* code);
int TAG_Disable(const char* code);
int TAG_Count(const char* text, const char* code);
int TAG_Get(const char* code, char* output, int outputSize, int fromStart);
int TAG_GetNext(char* codeOutput, int codeSize, char* valueOutput, int valueSize);
int TAG_FindOccurrence(const char* groupCode, int first);
int TAG_FindOccurrenceIfBound(const char* groupCode, int first);
int TAG_GetInOccurrence(const char* code, char* output, int outputSize, int fromOccurrence);
int TAG_GetInt(const char* code, int* output, int fromStart);
int TAG_GetLong(const char* code, int32_t* output, int fromStart);
int TAG_GetIntValue(const char* code, int fromStart);
int32_t TAG_GetLongValue(const char* code, int fromStart);
const char* TAG_GetString(const char* code, int fromStart);
int TAG_GetLength(const char* code);

// Program version and build date of the version stamp (tag ZNP) that every
// message of the program starts with.
constexpr const char* kProgramVersion = "13.0.26.000000";
constexpr const char* kProgramBuildDate = "Nov 24 2023";

// Binds the process tag writer to the buffer (cleared when flag > 0), moves to
// the end tag, and with flag > 0 writes ZNP "<version>_<date>". The binding
// result (1, or -1 for a null buffer).
int LoadTagMessage(char* buffer, int capacity, int flag);
