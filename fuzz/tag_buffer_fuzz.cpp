// Fuzz target of the tag-message buffer.
//
// Reading: the input itself, bound with exactly its size (no terminator added),
// is walked with GetNext, looked up with Get, occurrences, Count and Remove.
// Writing: codes and values cut from the input are set into a small buffer with
// Set, Replace, AppendValue, SetHex and Append, checking after each call that
// the text stays terminated within its capacity, that a refusal leaves every
// byte as it was, and that a value set reads back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/tag_buffer.h"
#include "fuzz_check.h"
#include "fuzz_cursor.h"

namespace {


struct Separators {
    const char* open;
    const char* close;
    const char* endName;
};

// Chosen by the first byte; '{' (0x7B) picks the standard ones.
const Separators kSeparators[] = {
    {"<", ">", "E"}, {"<x<", ">", "E"},  {"{SQRQ", "}", "F"}, {"{", "}", "F"},
    {"a", "]", "Z"}, {"{", "}}", "F"}, {"{", "}", ""},      {"{", "}", "F"},
};

ATAG_BUFFER g_tags;
ATAG_BUFFER g_reader;

void ExerciseReading(const uint8_t* data, size_t size, const Separators& separators) {
    std::vector<char> bytes(data, data + size);
    const uint32_t capacity = uint32_t(size);
    ATAG_Init(&g_tags);
    ATAG_SetSeparators(&g_tags, separators.open, separators.close, separators.endName);
    ATAG_InitRead(&g_tags, bytes.data(), capacity, 0);

    // Walk every entry; the position only moves forward and stays within the text.
    std::vector<std::string> codes;
    char code[64];
    char value[256];
    int32_t last = -1;
    int result;
    while ((result = ATAG_GetNext(&g_tags, code, sizeof code, value, sizeof value)) == 1) {
        Check(g_tags.readPosition > last, "GetNext moves forward");
        Check(uint32_t(g_tags.readPosition) <= capacity, "GetNext within capacity");
        Check(strlen(code) < sizeof code && strlen(value) < sizeof value, "GetNext outputs");
        last = g_tags.readPosition;
        if (codes.size() < 16) codes.push_back(code);
    }
    Check(result == 0 || result == -1, "GetNext result");

    std::string text(bytes.data(), strnlen(bytes.data(), capacity));
    for (const std::string& c : codes) {
        char small[8];
        int got = ATAG_Get(&g_tags, c.c_str(), small, sizeof small, 1);
        Check(got == 1 || got == -1, "Get result");
        if (got == 1) Check(strlen(small) < sizeof small, "Get within output");
        ATAG_Get(&g_tags, c.c_str(), value, sizeof value, 0);
        ATAG_GetString(&g_tags, c.c_str(), 0);
        int number = 0;
        ATAG_GetInt(&g_tags, c.c_str(), &number, 1);
        int32_t big = 0;
        ATAG_GetLong(&g_tags, c.c_str(), &big, 1);
        int length = ATAG_GetLength(&g_tags, c.c_str());
        Check(length < int(size) + 1, "GetLength");

        int count = ATAG_Count(&g_tags, text.c_str(), c.c_str());
        Check(count >= 0, "Count");
        std::string copy = text;
        int removed = ATAG_Remove(&g_tags, copy.data(), c.c_str());
        Check(removed == (count > 0 ? 1 : 0), "Remove finds what Count counts");
        if (removed == 1) Check(strlen(copy.c_str()) < text.size(), "Remove shortens");
    }

    // Occurrences of the first code: each next start lies further on.
    if (!codes.empty()) {
        const char* group = codes.front().c_str();
        int steps = 0;
        for (int found = ATAG_FindOccurrence(&g_tags, group, 1); found == 1 && steps < 1000;
             found = ATAG_FindOccurrence(&g_tags, group, 0), ++steps) {
            Check(g_tags.nextOccurrenceStart == -1 ||
                      g_tags.nextOccurrenceStart > g_tags.currentOccurrenceStart,
                  "occurrences move forward");
            for (size_t i = 0; i < codes.size(); ++i)
                ATAG_GetInOccurrence(&g_tags, codes[i].c_str(), value, sizeof value, i == 0);
        }
        Check(steps < 1000, "occurrence walk ends");
    }
}

void ExerciseWriting(Cursor& in, const Separators& separators) {
    const uint32_t capacity = 16 + in.byte() % 240;
    std::vector<char> buffer(capacity, 'x');
    ATAG_Init(&g_tags);
    ATAG_SetSeparators(&g_tags, separators.open, separators.close, separators.endName);
    ATAG_Init(&g_reader);
    ATAG_SetSeparators(&g_reader, separators.open, separators.close, separators.endName);
    ATAG_InitWrite(&g_tags, buffer.data(), capacity, 1);
    ATAG_InitRead(&g_tags, buffer.data(), capacity, 0);
    const std::string open = g_tags.openSeparator;
    const std::string close = g_tags.closeSeparator;
    const std::string endTag = g_tags.endTag;

    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        const std::string code = in.text(6);
        const std::string value = in.text(24);
        const std::vector<char> before = buffer;
        const int32_t position = g_tags.writePosition;
        std::string oldValue;
        {
            char old[256];
            ATAG_InitRead(&g_reader, buffer.data(), capacity, 0);
            if (ATAG_Get(&g_reader, code.c_str(), old, sizeof old, 1) == 1) oldValue = old;
        }
        std::string expectedValue = value;
        int result = -1;
        switch (op % 6) {
            case 0:
            case 1:
                result = ATAG_Set(&g_tags, code.c_str(), value.c_str());
                break;
            case 2:
                result = ATAG_Replace(&g_tags, code.c_str(), value.c_str());
                break;
            case 3:
                result = ATAG_AppendValue(&g_tags, code.c_str(), value.c_str());
                expectedValue = oldValue + value;
                break;
            case 4: {
                result = ATAG_SetHex(&g_tags, code.c_str(), value.data(), int(value.size()));
                static const char digits[] = "0123456789abcdef";
                expectedValue.clear();
                for (unsigned char c : value) {
                    expectedValue += digits[c >> 4];
                    expectedValue += digits[c & 15];
                }
                break;
            }
            case 5:
                result = ATAG_Append(&g_tags, value.c_str());
                break;
        }

        Check(memchr(buffer.data(), '\0', capacity) != nullptr, "text terminated within capacity");
        if (result < 0) {
            Check(buffer == before, "refusal leaves the message unchanged");
            Check(g_tags.writePosition == position, "refusal keeps the write position");
            continue;
        }
        // The write position sits on the end tag behind what was added.
        const size_t length = strnlen(buffer.data(), capacity);
        Check(size_t(g_tags.writePosition) + endTag.size() == length, "end tag last");
        Check(memcmp(buffer.data() + g_tags.writePosition, endTag.data(), endTag.size()) == 0,
              "end tag at the write position");
        if (op % 6 == 5) continue;
        const std::string entry = open + code + close + expectedValue;
        Check(size_t(g_tags.writePosition) >= entry.size() &&
                  memcmp(buffer.data() + g_tags.writePosition - entry.size(), entry.data(),
                         entry.size()) == 0,
              "entry written in full");
        // The value reads back from the entry's start.
        ATAG_InitRead(&g_reader, buffer.data(), capacity, 0);
        g_reader.readPosition = int32_t(g_tags.writePosition - entry.size());
        std::vector<char> readBack(capacity);
        Check(ATAG_Get(&g_reader, code.c_str(), readBack.data(), int(capacity), 0) == 1,
              "value found again");
        Check(expectedValue == readBack.data(), "value reads back");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Separators& separators = kSeparators[data[0] % (sizeof kSeparators / sizeof kSeparators[0])];
    ExerciseReading(data, size, separators);
    Cursor in(data + 1, size - 1);
    ExerciseWriting(in, separators);
    return 0;
}
