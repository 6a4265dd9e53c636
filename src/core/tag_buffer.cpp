// Tag-message buffer and the process-wide buffer behind the TAG_ functions.
//
// Every search runs over a bounded view of the bound text: the characters up to
// the first NUL or the capacity of its binding, whichever comes first, so a
// buffer without a terminator is never read past its end.
#include "core/tag_buffer.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

using std::string_view;
constexpr size_t kNotFound = string_view::npos;

string_view BoundedText(const char* buffer, uint32_t capacity) {
    return string_view(buffer, strnlen(buffer, capacity));
}

string_view WriteText(const ATAG_BUFFER* tags) {
    return BoundedText(tags->writeBuffer, tags->writeCapacity);
}

string_view ReadText(const ATAG_BUFFER* tags) {
    return BoundedText(tags->readBuffer, tags->readCapacity);
}

// A record must have been through ATAG_Init: with an empty separator every
// search would match at once and a walk would never move on.
bool Ready(const ATAG_BUFFER* tags) {
    return tags != nullptr && tags->openSeparator[0] != '\0' && tags->closeSeparator[0] != '\0' &&
           tags->endTag[0] != '\0';
}

// Room a write may use: the capacity of the later binding, never more than
// the writer's own (a reader bound afterwards with less room makes writes
// refuse sooner; a reader bound earlier never shrinks a later writer).
uint64_t WriteRoom(const ATAG_BUFFER* tags) {
    uint64_t room = tags->writeCapacity;
    if (tags->readBuffer != nullptr && tags->readBoundLast)
        room = std::min<uint64_t>(room, tags->readCapacity);
    return room;
}


uint32_t ClampCapacity(uint32_t capacity) {
    // Positions are signed 32-bit offsets.
    return std::min<uint32_t>(capacity, INT32_MAX);
}

// True when `separator` would be found in text + separator before the end of
// the text: inside it, or straddling the joint (a separator such as "<x<"
// behind a text ending in "<x").
bool RunsInto(string_view text, string_view separator) {
    if (text.find(separator) != kNotFound) return true;
    for (size_t k = 1; k < separator.size() && k <= text.size(); ++k) {
        if (text.substr(text.size() - k) == separator.substr(0, k) &&
            separator.substr(k) == separator.substr(0, separator.size() - k))
            return true;
    }
    return false;
}

// A code must hold no separator, and its end must not run into the close
// separator behind it (which would make the entry read back as another code).
bool CodeIsWritable(const ATAG_BUFFER* tags, string_view code) {
    return code.find(tags->openSeparator) == kNotFound && !RunsInto(code, tags->closeSeparator);
}

// A value runs to the next open separator: it must hold none, and its end must
// not form one together with the separator that follows it.
bool ValueIsWritable(const ATAG_BUFFER* tags, string_view value) {
    return !RunsInto(value, tags->openSeparator);
}

// A value holding the open separator would read back cut: refused, with a
// warning that names the code (the value may be card data).
bool ValueAccepted(const ATAG_BUFFER* tags, const char* function, const char* code, string_view value) {
    if (ValueIsWritable(tags, value)) return true;
    WSysError("<< WARN. >> %s() : valeur refusee pour le tag %s (separateur dans la valeur)", function, code);
    return false;
}

// Builds open + code + close, in the work area when it fits (it always does
// for real codes), otherwise in `spare`.
string_view BuildKey(ATAG_BUFFER* tags, const char* code, std::string& spare) {
    size_t openLength = strlen(tags->openSeparator);
    size_t codeLength = strlen(code);
    size_t closeLength = strlen(tags->closeSeparator);
    size_t length = openLength + codeLength + closeLength;
    if (length < sizeof tags->workArea) {
        char* key = tags->workArea;
        memcpy(key, tags->openSeparator, openLength);
        memcpy(key + openLength, code, codeLength);
        memcpy(key + openLength + codeLength, tags->closeSeparator, closeLength);
        key[length] = '\0';
        return string_view(key, length);
    }
    spare.assign(tags->openSeparator);
    spare += code;
    spare += tags->closeSeparator;
    return spare;
}

std::string MakeEntry(const ATAG_BUFFER* tags, string_view code, string_view value) {
    std::string entry(tags->openSeparator);
    entry += code;
    entry += tags->closeSeparator;
    entry += value;
    return entry;
}

// Writes the entry made of `parts` and the end tag at the write position when
// the whole text and its NUL fit. Returns the new write position (the end
// tag's offset) or -1.
int WriteEntry(ATAG_BUFFER* tags, std::initializer_list<string_view> parts, bool traceOverflow) {
    size_t entryLength = 0;
    for (string_view part : parts) entryLength += part.size();
    size_t endLength = strlen(tags->endTag);
    if (tags->writePosition < 0 ||
        uint64_t(tags->writePosition) + entryLength + endLength + 1 > WriteRoom(tags)) {
        if (traceOverflow) WSysError("ATAG_Set() : TAG OverFlow !");
        return -1;
    }
    // The text is cut at the write position; an earlier NUL cuts it sooner.
    size_t start = strnlen(tags->writeBuffer, size_t(tags->writePosition));
    char* out = tags->writeBuffer + start;
    for (string_view part : parts) {
        memcpy(out, part.data(), part.size());
        out += part.size();
    }
    memcpy(out, tags->endTag, endLength);
    out[endLength] = '\0';
    tags->writePosition = int32_t(start + entryLength);
    return tags->writePosition;
}

// Finds the value of `code` from the read position. On success the read
// position is on the key and [valueStart, valueEnd) is the value; the caller
// moves the position on. A key without any open separator behind its value
// leaves the position on the key and fails.
int LocateValue(ATAG_BUFFER* tags, const char* code, size_t& valueStart, size_t& valueEnd) {
    if (tags->readPosition < 0) return -1;
    if (uint64_t(tags->readPosition) + strlen(code) > tags->readCapacity) {
        WSysError("ATAG_Get() : TAG OverFlow !");
        return -1;
    }
    string_view text = ReadText(tags);
    std::string spare;
    string_view key = BuildKey(tags, code, spare);
    size_t found = text.find(key, size_t(tags->readPosition));
    if (found == kNotFound) return -1;
    tags->readPosition = int32_t(found);
    valueStart = found + key.size();
    valueEnd = text.find(tags->openSeparator, valueStart);
    if (valueEnd == kNotFound) return -1;
    return 1;
}

// The value search shared by ATAG_Get and ATAG_GetInOccurrence; a value that
// does not fit the output puts the read position back to `savedPosition`.
int CopyValue(ATAG_BUFFER* tags, const char* code, char* output, int outputSize,
              int32_t savedPosition) {
    size_t valueStart = 0;
    size_t valueEnd = 0;
    if (LocateValue(tags, code, valueStart, valueEnd) != 1) return -1;
    size_t length = valueEnd - valueStart;
    if (length + 1 > size_t(outputSize)) {
        output[0] = '\0';
        tags->readPosition = savedPosition;
        return -1;
    }
    memmove(output, tags->readBuffer + valueStart, length);
    output[length] = '\0';
    tags->readPosition = int32_t(valueEnd);
    return 1;
}

// Decimal number as "%d" reads it (leading blanks, a sign, digits), clamped to
// [low, high]; 0 when the text does not begin with a number.
long long ParseDecimal(const char* text, long long low, long long high) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return 0;
    unsigned long long magnitude = 0;
    const unsigned long long limit = (unsigned long long)LLONG_MAX + 1;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned digit = *p - '0';
        // Saturates at the limit, and keeps reading the digits.
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    if (negative) {
        if (magnitude >= (unsigned long long)(-(low + 1)) + 1) return low;
        return -(long long)magnitude;
    }
    if (magnitude >= (unsigned long long)high) return high;
    return (long long)magnitude;
}

// Replaces the first entry of `code` in the write buffer by one holding
// `value`, moved behind the other entries. The result is built aside and only
// copied in when it fits, so a refusal leaves the message untouched.
int RewriteEntry(ATAG_BUFFER* tags, const char* code, string_view value) {
    if (!CodeIsWritable(tags, code) || !ValueIsWritable(tags, value)) return -1;
    std::string text(WriteText(tags));
    std::string key = MakeEntry(tags, code, "");
    size_t found = text.find(key);
    if (found != kNotFound) {
        size_t next = text.find(tags->openSeparator, found + key.size());
        if (next == kNotFound) next = text.size();
        text.erase(found, next - found);
    }
    // Without end tag the message ends at its terminator.
    size_t end = text.find(tags->endTag);
    if (end == kNotFound) end = text.size();
    text.resize(end);
    text += key;
    text += value;
    size_t position = text.size();
    text += tags->endTag;
    if (uint64_t(text.size()) + 1 > WriteRoom(tags)) return -1;
    memcpy(tags->writeBuffer, text.data(), text.size());
    tags->writeBuffer[text.size()] = '\0';
    tags->writePosition = int32_t(position);
    return 1;
}

// Loaded with the standard separators, nothing bound.
ATAG_BUFFER g_processTags = {"{", "}", "{F}", {}, 0, 0, 0, nullptr, 0, nullptr, 0, 0, 0};

}  // namespace

ATAG_BUFFER* ATAG_Init(ATAG_BUFFER* tags) {
    if (tags == nullptr) return nullptr;
    memset(tags, 0, sizeof *tags);
    strcpy(tags->openSeparator, "{");
    strcpy(tags->closeSeparator, "}");
    strcpy(tags->endTag, "{F}");
    return tags;
}

int ATAG_SetSeparators(ATAG_BUFFER* tags, const char* open, const char* close, const char* endName) {
    if (tags == nullptr) return -1;
    // An empty separator would match everywhere, so it is refused like an
    // over-long one.
    auto usable = [](const char* s) {
        return s != nullptr && s[0] != '\0' && strlen(s) <= size_t(ATAG_SEPARATOR_MAX);
    };
    if (usable(open)) strcpy(tags->openSeparator, open);
    if (usable(close)) strcpy(tags->closeSeparator, close);
    if (endName != nullptr && open != nullptr && close != nullptr &&
        strlen(open) + strlen(close) + strlen(endName) <= size_t(ATAG_SEPARATOR_MAX) &&
        strlen(tags->openSeparator) + strlen(endName) + strlen(tags->closeSeparator) <=
            size_t(ATAG_SEPARATOR_MAX)) {
        std::string endTag(tags->openSeparator);
        endTag += endName;
        endTag += tags->closeSeparator;
        memcpy(tags->endTag, endTag.c_str(), endTag.size() + 1);
    }
    return 1;
}

int ATAG_InitWrite(ATAG_BUFFER* tags, char* buffer, uint32_t capacity, int clear) {
    if (tags == nullptr || buffer == nullptr) return -1;
    if (clear > 0) memset(buffer, 0, capacity);
    tags->writeBuffer = buffer;
    tags->writeCapacity = ClampCapacity(capacity);
    tags->writePosition = 0;
    tags->readBoundLast = 0;
    return 1;
}

int ATAG_InitRead(ATAG_BUFFER* tags, char* buffer, uint32_t capacity, int clear) {
    if (tags == nullptr || buffer == nullptr) return -1;
    if (clear > 0) memset(buffer, 0, capacity);
    tags->readBuffer = buffer;
    tags->readCapacity = ClampCapacity(capacity);
    tags->readPosition = 0;
    tags->readBoundLast = 1;
    return 1;
}

int ATAG_SeekEnd(ATAG_BUFFER* tags, int erase) {
    if (!Ready(tags) || tags->writeBuffer == nullptr) return -1;
    const string_view text = WriteText(tags);
    size_t end = text.find(tags->endTag);
    // A message without end tag ends at its terminator: the next entry goes
    // behind it instead of over its beginning.
    if (end == kNotFound) {
        tags->writePosition = int32_t(text.size());
        return tags->writePosition;
    }
    tags->writePosition = int32_t(end);
    if (erase != 0) memset(tags->writeBuffer + end, 0, strlen(tags->endTag));
    return tags->writePosition;
}

int ATAG_Set(ATAG_BUFFER* tags, const char* code, const char* value) {
    if (!Ready(tags) || tags->writeBuffer == nullptr || code == nullptr || value == nullptr)
        return -1;
    if (!CodeIsWritable(tags, code) || !ValueAccepted(tags, "ATAG_Set", code, value)) return -1;
    return WriteEntry(tags, {tags->openSeparator, code, tags->closeSeparator, value}, true);
}

int ATAG_Append(ATAG_BUFFER* tags, const char* text) {
    if (!Ready(tags) || tags->writeBuffer == nullptr || text == nullptr) return -1;
    return WriteEntry(tags, {text}, false) < 0 ? -1 : 1;
}

int ATAG_SetHex(ATAG_BUFFER* tags, const char* code, const void* bytes, int count) {
    if (!Ready(tags) || tags->writeBuffer == nullptr || code == nullptr || bytes == nullptr ||
        count < 0)
        return -1;
    // Cheap early refusal before building a value that cannot fit anyway.
    if (uint64_t(count) * 2 > WriteRoom(tags)) return -1;
    std::string hex(size_t(count) * 2, '\0');
    WBinToHex(hex.data(), bytes, count);
    if (!CodeIsWritable(tags, code) || !ValueIsWritable(tags, hex)) return -1;
    return WriteEntry(tags, {tags->openSeparator, code, tags->closeSeparator, hex}, false) < 0
               ? -1
               : 1;
}

int ATAG_Replace(ATAG_BUFFER* tags, const char* code, const char* value) {
    if (!Ready(tags) || tags->writeBuffer == nullptr || code == nullptr || value == nullptr)
        return -1;
    if (!ValueAccepted(tags, "ATAG_Replace", code, value)) return -1;
    return RewriteEntry(tags, code, value);
}

int ATAG_AppendValue(ATAG_BUFFER* tags, const char* code, const char* more) {
    if (!Ready(tags) || tags->writeBuffer == nullptr || code == nullptr || more == nullptr)
        return -1;
    // The old value comes from the message bound for reading (empty when absent).
    int32_t savedPosition = tags->readPosition;
    std::string joined;
    if (tags->readBuffer != nullptr) {
        tags->readPosition = 0;
        size_t valueStart = 0;
        size_t valueEnd = 0;
        if (LocateValue(tags, code, valueStart, valueEnd) == 1) {
            joined.assign(tags->readBuffer + valueStart, valueEnd - valueStart);
            tags->readPosition = int32_t(valueEnd);
        }
    }
    joined += more;
    if (!ValueAccepted(tags, "ATAG_AppendValue", code, joined)) {
        tags->readPosition = savedPosition;
        return -1;
    }
    int result = RewriteEntry(tags, code, joined);
    if (result != 1) tags->readPosition = savedPosition;
    return result;
}

int ATAG_Disable(ATAG_BUFFER* tags, const char* code) {
    if (!Ready(tags) || tags->writeBuffer == nullptr || code == nullptr || code[0] == '\0')
        return -1;
    std::string spare;
    string_view key = BuildKey(tags, code, spare);
    size_t found = WriteText(tags).find(key);
    if (found == kNotFound) return 0;
    tags->writeBuffer[found + strlen(tags->openSeparator)] = '!';
    return 1;
}

int ATAG_Remove(ATAG_BUFFER* tags, char* text, const char* code) {
    if (!Ready(tags) || text == nullptr || code == nullptr) return -1;
    string_view whole(text);
    std::string spare;
    string_view key = BuildKey(tags, code, spare);
    size_t found = whole.find(key);
    if (found == kNotFound) return 0;
    size_t next = whole.find(tags->openSeparator, found + key.size());
    if (next == kNotFound) next = whole.size();
    memmove(text + found, text + next, whole.size() - next + 1);
    return 1;
}

int ATAG_Count(ATAG_BUFFER* tags, const char* text, const char* code) {
    if (!Ready(tags) || text == nullptr || code == nullptr) return -1;
    string_view whole(text);
    std::string spare;
    string_view key = BuildKey(tags, code, spare);
    int count = 0;
    for (size_t at = whole.find(key); at != kNotFound; at = whole.find(key, at + key.size())) {
        if (count == INT_MAX) break;
        ++count;
    }
    return count;
}

int ATAG_Get(ATAG_BUFFER* tags, const char* code, char* output, int outputSize, int fromStart) {
    if (!Ready(tags) || tags->readBuffer == nullptr || code == nullptr || output == nullptr ||
        outputSize <= 0)
        return -1;
    int32_t savedPosition = tags->readPosition;
    if (fromStart > 0) tags->readPosition = 0;
    return CopyValue(tags, code, output, outputSize, savedPosition);
}

int ATAG_GetNext(ATAG_BUFFER* tags, char* codeOutput, int codeSize, char* valueOutput, int valueSize) {
    if (!Ready(tags) || tags->readBuffer == nullptr || codeOutput == nullptr ||
        valueOutput == nullptr || codeSize <= 0 || valueSize <= 0 || tags->readPosition < 0)
        return -1;
    string_view text = ReadText(tags);
    size_t open = text.find(tags->openSeparator, size_t(tags->readPosition));
    if (open == kNotFound) return 0;
    size_t codeStart = open + strlen(tags->openSeparator);
    size_t close = text.find(tags->closeSeparator, codeStart);
    if (close == kNotFound) return 0;
    size_t valueStart = close + strlen(tags->closeSeparator);
    size_t valueEnd = text.find(tags->openSeparator, valueStart);
    if (valueEnd == kNotFound) valueEnd = text.size();
    size_t codeLength = close - codeStart;
    size_t valueLength = valueEnd - valueStart;
    if (codeLength + 1 > size_t(codeSize) || valueLength + 1 > size_t(valueSize)) {
        codeOutput[0] = '\0';
        valueOutput[0] = '\0';
        return -1;
    }
    memmove(codeOutput, text.data() + codeStart, codeLength);
    codeOutput[codeLength] = '\0';
    memmove(valueOutput, text.data() + valueStart, valueLength);
    valueOutput[valueLength] = '\0';
    tags->readPosition = int32_t(valueEnd);
    return 1;
}

int ATAG_FindOccurrence(ATAG_BUFFER* tags, const char* groupCode, int first) {
    if (!Ready(tags) || tags->readBuffer == nullptr || groupCode == nullptr) return -1;
    int64_t start = first > 0 ? 0 : tags->nextOccurrenceStart;
    if (start < 0) return -1;
    if (uint64_t(start) + strlen(groupCode) > tags->readCapacity) {
        WSysError("ATAG_Get() : TAG OverFlow !");
        return -1;
    }
    string_view text = ReadText(tags);
    std::string spare;
    string_view key = BuildKey(tags, groupCode, spare);
    size_t found = text.find(key, size_t(start));
    if (found == kNotFound) return -1;
    size_t next = text.find(key, found + key.size());
    tags->currentOccurrenceStart = int32_t(found);
    tags->nextOccurrenceStart = next == kNotFound ? -1 : int32_t(next);
    return 1;
}

int ATAG_GetInOccurrence(ATAG_BUFFER* tags, const char* code, char* output, int outputSize,
                         int fromOccurrence) {
    if (!Ready(tags) || tags->readBuffer == nullptr || code == nullptr || output == nullptr ||
        outputSize <= 0)
        return -1;
    int32_t savedPosition = tags->readPosition;
    if (fromOccurrence > 0) tags->readPosition = tags->currentOccurrenceStart;
    if (CopyValue(tags, code, output, outputSize, savedPosition) != 1) return -1;
    if (tags->nextOccurrenceStart == -1 || tags->nextOccurrenceStart >= tags->readPosition)
        return 1;
    // Found only in a later occurrence: not an answer for this one.
    output[0] = '\0';
    return -1;
}

const char* ATAG_GetString(ATAG_BUFFER* tags, const char* code, int fromStart) {
    if (tags == nullptr) return nullptr;
    int result = ATAG_Get(tags, code, tags->workArea, ATAG_WORK_VALUE_SIZE, fromStart);
    tags->workArea[ATAG_WORK_AREA_SIZE - 1] = '\0';
    return result == 1 ? tags->workArea : nullptr;
}

int ATAG_GetInt(ATAG_BUFFER* tags, const char* code, int* output, int fromStart) {
    if (output == nullptr || ATAG_GetString(tags, code, fromStart) == nullptr) return -1;
    *output = int(ParseDecimal(tags->workArea, INT_MIN, INT_MAX));
    return 1;
}

int ATAG_GetLong(ATAG_BUFFER* tags, const char* code, int32_t* output, int fromStart) {
    if (output == nullptr || ATAG_GetString(tags, code, fromStart) == nullptr) return -1;
    *output = int32_t(ParseDecimal(tags->workArea, INT32_MIN, INT32_MAX));
    return 1;
}

int ATAG_GetLength(ATAG_BUFFER* tags, const char* code) {
    if (!Ready(tags) || tags->readBuffer == nullptr || code == nullptr) return -1;
    tags->readPosition = 0;
    size_t valueStart = 0;
    size_t valueEnd = 0;
    if (LocateValue(tags, code, valueStart, valueEnd) != 1) return -1;
    tags->readPosition = int32_t(valueEnd);
    return int(valueEnd - valueStart);
}

// Process-wide buffer.

ATAG_BUFFER* TAG_GetProcessBuffer() { return &g_processTags; }

int TAG_SetSeparators(const char* open, const char* close, const char* endName) {
    return ATAG_SetSeparators(&g_processTags, open, close, endName);
}
int TAG_InitWrite(char* buffer, uint32_t capacity, int clear) {
    return ATAG_InitWrite(&g_processTags, buffer, capacity, clear);
}
int TAG_InitRead(char* buffer, uint32_t capacity, int clear) {
    return ATAG_InitRead(&g_processTags, buffer, capacity, clear);
}
int TAG_SeekEnd(int erase) { return ATAG_SeekEnd(&g_processTags, erase); }
int TAG_Set(const char* code, const char* value) {
    return ATAG_Set(&g_processTags, code, value) > 0 ? 1 : -1;
}
int TAG_Put(const char* code, const char* value) { return ATAG_Set(&g_processTags, code, value); }
int TAG_SetInt(const char* code, int value) {
    char digits[16];
    snprintf(digits, sizeof digits, "%d", value);
    return TAG_Set(code, digits);
}
int TAG_SetLong(const char* code, int32_t value) {
    char digits[16];
    snprintf(digits, sizeof digits, "%d", value);
    return TAG_Set(code, digits);
}
int TAG_PutInt(const char* code, int value) {
    char digits[16];
    snprintf(digits, sizeof digits, "%d", value);
    return TAG_Put(code, digits);
}
int TAG_SetHex(const char* code, const void* bytes, int count) {
    return ATAG_SetHex(&g_processTags, code, bytes, count);
}
int TAG_Append(const char* text) { return ATAG_Append(&g_processTags, text); }
int TAG_AppendValue(const char* code, const char* more) {
    return ATAG_AppendValue(&g_processTags, code, more);
}
int TAG_Replace(const char* code, const char* value) {
    return ATAG_Replace(&g_processTags, code, value);
}
int TAG_Remove(char* text, const char* code) { return ATAG_Remove(&g_processTags, text, code); }
int TAG_Disable(const char* code) { return ATAG_Disable(&g_processTags, code); }
int TAG_Count(const char* text, const char* code) {
    return ATAG_Count(&g_processTags, text, code);
}
int TAG_Get(const char* code, char* output, int outputSize, int fromStart) {
    return ATAG_Get(&g_processTags, code, output, outputSize, fromStart);
}
int TAG_GetNext(char* codeOutput, int codeSize, char* valueOutput, int valueSize) {
    return ATAG_GetNext(&g_processTags, codeOutput, codeSize, valueOutput, valueSize);
}
int TAG_FindOccurrence(const char* groupCode, int first) {
    return ATAG_FindOccurrence(&g_processTags, groupCode, first);
}
int TAG_FindOccurrenceIfBound(const char* groupCode, int first) {
    if (g_processTags.readBuffer == nullptr || groupCode == nullptr) return 0;
    return ATAG_FindOccurrence(&g_processTags, groupCode, first);
}
int TAG_GetInOccurrence(const char* code, char* output, int outputSize, int fromOccurrence) {
    return ATAG_GetInOccurrence(&g_processTags, code, output, outputSize, fromOccurrence);
}
int TAG_GetInt(const char* code, int* output, int fromStart) {
    return ATAG_GetInt(&g_processTags, code, output, fromStart);
}
int TAG_GetLong(const char* code, int32_t* output, int fromStart) {
    return ATAG_GetLong(&g_processTags, code, output, fromStart);
}
int TAG_GetIntValue(const char* code, int fromStart) {
    int value = 0;
    return ATAG_GetInt(&g_processTags, code, &value, fromStart) == 1 ? value : -1;
}
int32_t TAG_GetLongValue(const char* code, int fromStart) {
    int32_t value = 0;
    return ATAG_GetLong(&g_processTags, code, &value, fromStart) == 1 ? value : -1;
}
const char* TAG_GetString(const char* code, int fromStart) {
    return ATAG_GetString(&g_processTags, code, fromStart);
}
int TAG_GetLength(const char* code) { return ATAG_GetLength(&g_processTags, code); }

int LoadTagMessage(char* buffer, int capacity, int flag) {
    if (buffer == nullptr || capacity <= 0) return -1;
    const int bound = TAG_InitWrite(buffer, static_cast<uint32_t>(capacity), flag > 0 ? 1 : 0);
    if (bound != 1) return bound;
    TAG_SeekEnd(0);
    if (flag > 0) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "%s_%s", kProgramVersion, kProgramBuildDate);
        TAG_Set("ZNP", stamp);
    }
    return bound;
}
