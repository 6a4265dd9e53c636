// Tag-message buffer: building, reading, occurrences, separators, capacity
// limits and malformed input.
#include "core/tag_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/trace_capture.h"

namespace {

std::string Text(const char* buffer) { return std::string(buffer); }

// One ATAG_BUFFER over one 10241-byte message buffer.
class TagBufferTest : public ::testing::Test {
protected:
    void SetUp() override { ATAG_Init(&tags); }

    // Loads `text` into the message, binds it for writing (position on the end
    // tag) and for reading.
    void Load(const std::string& text, uint32_t capacity = TAG_MESSAGE_MAX_CHARS) {
        ASSERT_LT(text.size(), sizeof message);
        memset(message, 0, sizeof message);
        memcpy(message, text.data(), text.size());
        ASSERT_EQ(ATAG_InitWrite(&tags, message, capacity, 0), 1);
        ATAG_SeekEnd(&tags, 0);
        ASSERT_EQ(ATAG_InitRead(&tags, message, capacity, 0), 1);
    }

    std::string Get(const char* code, int fromStart = 1) {
        char value[256];
        if (ATAG_Get(&tags, code, value, sizeof value, fromStart) != 1) return "<absent>";
        return value;
    }

    ATAG_BUFFER tags;
    char message[TAG_MESSAGE_BUFFER_SIZE];
};

TEST_F(TagBufferTest, SetBuildsEntriesBehindEachOtherAndReturnsTheEndTagOffset) {
    memset(message, 'x', sizeof message);
    ASSERT_EQ(ATAG_InitWrite(&tags, message, TAG_MESSAGE_MAX_CHARS, 1), 1);
    EXPECT_EQ(message[TAG_MESSAGE_MAX_CHARS - 1], '\0');
    EXPECT_EQ(ATAG_Set(&tags, "SS", "R"), 5);
    EXPECT_EQ(Text(message), "{SS}R{F}");
    EXPECT_EQ(ATAG_Set(&tags, "PS", "001"), 12);
    EXPECT_EQ(Text(message), "{SS}R{PS}001{F}");
    // No duplicate check: the first one is found from the start.
    EXPECT_EQ(ATAG_Set(&tags, "SS", "A"), 17);
    ATAG_InitRead(&tags, message, TAG_MESSAGE_MAX_CHARS, 0);
    EXPECT_EQ(Get("SS"), "R");
    EXPECT_EQ(ATAG_Count(&tags, message, "SS"), 2);
}

TEST_F(TagBufferTest, GetLeavesTheReadPositionOnTheNextEntry) {
    Load("{SS}R{SV}s0{CD}c1{F}");
    EXPECT_EQ(Get("SV"), "s0");
    EXPECT_EQ(tags.readPosition, 11);
    EXPECT_EQ(message[tags.readPosition], '{');
    EXPECT_EQ(Get("SV", 0), "<absent>");
    EXPECT_EQ(Get("CD", 0), "c1");
    EXPECT_EQ(Get("SS", 0), "<absent>");
    EXPECT_EQ(Get("SS", 1), "R");
}

TEST_F(TagBufferTest, GetTable) {
    struct Case {
        const char* text;
        const char* code;
        const char* expected;  // "<absent>" when -1
    };
    const Case cases[] = {
        {"{SS}R{F}", "SS", "R"},
        {"{D1}{F}", "D1", ""},                 // empty value
        {"{A}1{B}2", "B", "<absent>"},         // last value, no end tag, no later "{"
        {"{A}1{B}2{", "B", "2"},               // any open separator ends it
        {"{D1A}x{F}", "D1", "<absent>"},       // {D1} never matches {D1A}
        {"{D1A}x{D1}y{F}", "D1", "y"},
        {"{A}1{F}", "B", "<absent>"},
        {"{A}1{F}", "", "<absent>"},
        {"{}empty code{F}", "", "empty code"},
        {"{F}{F}", "F", ""},                   // the end tag reads as an entry
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Load(c.text);
        EXPECT_EQ(Get(c.code), c.expected);
    }
}

TEST_F(TagBufferTest, GetNextWalksEveryEntryThenTheEndTag) {
    Load("{A}1{B}2{F}");
    std::vector<std::pair<std::string, std::string>> seen;
    char code[16];
    char value[16];
    int result;
    while ((result = ATAG_GetNext(&tags, code, sizeof code, value, sizeof value)) == 1)
        seen.emplace_back(code, value);
    EXPECT_EQ(result, 0);
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(seen, (std::vector<P>{P{"A", "1"}, P{"B", "2"}, P{"F", ""}}));
}

TEST_F(TagBufferTest, ReplaceMovesTheEntryToTheEndAndAppendValueGrowsIt) {
    Load("{A}1{B}2{F}");
    EXPECT_EQ(ATAG_Replace(&tags, "A", "9"), 1);
    EXPECT_EQ(Text(message), "{B}2{A}9{F}");
    EXPECT_EQ(tags.writePosition, 8);

    Load("{A}1{B}2{F}");
    EXPECT_EQ(ATAG_AppendValue(&tags, "A", "x"), 1);
    EXPECT_EQ(Text(message), "{B}2{A}1x{F}");

    // Absent code: both simply add the entry.
    Load("{B}2{F}");
    EXPECT_EQ(ATAG_Replace(&tags, "A", "9"), 1);
    EXPECT_EQ(ATAG_AppendValue(&tags, "C", "z"), 1);
    EXPECT_EQ(Text(message), "{B}2{A}9{C}z{F}");
}

TEST_F(TagBufferTest, AppendValueTakesTheOldValueFromTheReadMessage) {
    char request[64] = "{AM}100{SV}s0{F}";
    Load("{SS}A{AM}7{F}");
    ATAG_InitRead(&tags, request, sizeof request, 0);
    EXPECT_EQ(ATAG_AppendValue(&tags, "AM", "00"), 1);
    EXPECT_EQ(Text(message), "{SS}A{AM}10000{F}");
    EXPECT_EQ(Text(request), "{AM}100{SV}s0{F}");
}

TEST_F(TagBufferTest, DisableHidesTheFirstEntry) {
    Load("{A}1{F}");
    EXPECT_EQ(ATAG_Disable(&tags, "A"), 1);
    EXPECT_EQ(Text(message), "{!}1{F}");
    EXPECT_EQ(Get("A"), "<absent>");
    EXPECT_EQ(ATAG_Disable(&tags, "A"), 0);

    Load("{D1A}x{D1A}y{F}");
    EXPECT_EQ(ATAG_Disable(&tags, "D1A"), 1);
    EXPECT_EQ(Text(message), "{!1A}x{D1A}y{F}");
    EXPECT_EQ(Get("D1A"), "y");
}

TEST_F(TagBufferTest, SetHexWritesLowerCasePairs) {
    Load("{F}");
    const unsigned char bytes[] = {0x00, 0xAB, 0xFF, 0x10};
    EXPECT_EQ(ATAG_SetHex(&tags, "D", bytes, 2), 1);
    EXPECT_EQ(Text(message), "{D}00ab{F}");
    EXPECT_EQ(tags.writePosition, 7);
    EXPECT_EQ(ATAG_SetHex(&tags, "E", bytes + 2, 2), 1);
    EXPECT_EQ(ATAG_SetHex(&tags, "Z", bytes, 0), 1);
    EXPECT_EQ(Text(message), "{D}00ab{E}ff10{Z}{F}");
}

TEST_F(TagBufferTest, SeekEndFindsTheEndTag) {
    strcpy(message, "{A}1{F}");
    ATAG_InitWrite(&tags, message, sizeof message, 0);
    EXPECT_EQ(tags.writePosition, 0);
    EXPECT_EQ(ATAG_SeekEnd(&tags, 0), 4);
    EXPECT_EQ(ATAG_Set(&tags, "B", "2"), 8);
    EXPECT_EQ(Text(message), "{A}1{B}2{F}");

    EXPECT_EQ(ATAG_SeekEnd(&tags, 1), 8);
    EXPECT_EQ(Text(message), "{A}1{B}2");

    ATAG_BUFFER unbound;
    ATAG_Init(&unbound);
    EXPECT_EQ(ATAG_SeekEnd(&unbound, 0), -1);
}

// A message without end tag (the cash register's requests need none) ends at
// its terminator: the writer bound to it afresh adds behind it, and an entry
// rewritten moves behind the others, instead of writing over the message.
TEST_F(TagBufferTest, MessageWithoutEndTagIsWrittenBehind_Mended) {
    struct Case {
        const char* what;
        const char* initial;
        std::function<int(ATAG_BUFFER*)> op;
        int seekEnd;  // where SeekEnd puts the write position
        const char* expected;
    };
    const Case cases[] = {
        {"Set", "{A}1", [](ATAG_BUFFER* t) { return ATAG_Set(t, "B", "2"); }, 4, "{A}1{B}2{F}"},
        {"Set on an empty text", "", [](ATAG_BUFFER* t) { return ATAG_Set(t, "B", "2"); }, 0, "{B}2{F}"},
        {"Append", "{A}1", [](ATAG_BUFFER* t) { return ATAG_Append(t, "{X}7"); }, 4, "{A}1{X}7{F}"},
        {"Replace", "{A}1{B}2", [](ATAG_BUFFER* t) { return ATAG_Replace(t, "A", "9"); }, 8, "{B}2{A}9{F}"},
        {"AppendValue", "{A}1{B}2", [](ATAG_BUFFER* t) { return ATAG_AppendValue(t, "A", "x"); }, 8,
         "{B}2{A}1x{F}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        memset(message, 0, sizeof message);
        strcpy(message, c.initial);
        ATAG_Init(&tags);
        ASSERT_EQ(ATAG_InitWrite(&tags, message, TAG_MESSAGE_MAX_CHARS, 0), 1);
        ASSERT_EQ(ATAG_InitRead(&tags, message, TAG_MESSAGE_MAX_CHARS, 0), 1);
        EXPECT_EQ(ATAG_SeekEnd(&tags, 0), c.seekEnd);
        EXPECT_EQ(tags.writePosition, c.seekEnd);
        EXPECT_GT(c.op(&tags), 0);
        EXPECT_EQ(Text(message), c.expected);
    }
    // The same for a writer whose position was never sought.
    strcpy(message, "{A}1{B}2");
    ATAG_Init(&tags);
    ATAG_InitWrite(&tags, message, TAG_MESSAGE_MAX_CHARS, 0);
    ATAG_InitRead(&tags, message, TAG_MESSAGE_MAX_CHARS, 0);
    EXPECT_EQ(ATAG_Replace(&tags, "B", "3"), 1);
    EXPECT_EQ(Text(message), "{A}1{B}3{F}");
}

// Each setter at the exact capacity (text and NUL fill it) succeeds; one byte
// less and it refuses, leaving every byte as it was; only Set traces.
TEST_F(TagBufferTest, SettersFitExactlyAndRefuseOneByteMore) {
    const unsigned char hex[] = {0x00, 0xAB};
    struct Case {
        const char* name;
        const char* initial;
        std::function<int(ATAG_BUFFER*)> op;
        const char* expected;
        bool traces;
    };
    const Case cases[] = {
        {"Set", "", [](ATAG_BUFFER* t) { return ATAG_Set(t, "SS", "R"); }, "{SS}R{F}", true},
        {"Set behind", "{A}1{F}", [](ATAG_BUFFER* t) { return ATAG_Set(t, "B", "22"); },
         "{A}1{B}22{F}", true},
        {"Append", "", [](ATAG_BUFFER* t) { return ATAG_Append(t, "{X}12"); }, "{X}12{F}", false},
        {"SetHex", "", [&](ATAG_BUFFER* t) { return ATAG_SetHex(t, "D", hex, 2); }, "{D}00ab{F}",
         false},
        {"Replace", "{A}1{B}2{F}", [](ATAG_BUFFER* t) { return ATAG_Replace(t, "A", "99"); },
         "{B}2{A}99{F}", false},
        {"AppendValue", "{A}1{B}2{F}",
         [](ATAG_BUFFER* t) { return ATAG_AppendValue(t, "A", "xy"); }, "{B}2{A}1xy{F}", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t exact = strlen(c.expected) + 1;
        for (size_t capacity : {exact, exact - 1}) {
            // A buffer of exactly `capacity` bytes: any write past it is caught.
            std::vector<char> buffer(capacity, '\0');
            memcpy(buffer.data(), c.initial, strlen(c.initial));
            const std::vector<char> before = buffer;
            ATAG_Init(&tags);
            ATAG_InitWrite(&tags, buffer.data(), uint32_t(capacity), 0);
            ATAG_SeekEnd(&tags, 0);
            ATAG_InitRead(&tags, buffer.data(), uint32_t(capacity), 0);
            testing::internal::CaptureStderr();
            int result = c.op(&tags);
            std::string traced = testing::internal::GetCapturedStderr();
            if (capacity == exact) {
                EXPECT_GT(result, 0);
                EXPECT_EQ(std::string(buffer.data()), c.expected);
                EXPECT_EQ(traced.find("OverFlow"), std::string::npos);
            } else {
                EXPECT_EQ(result, -1);
                EXPECT_EQ(buffer, before);
                EXPECT_EQ(traced.find("ATAG_Set() : TAG OverFlow !") != std::string::npos,
                          c.traces)
                    << traced;
            }
        }
    }
}

// Replace and AppendValue used to remove the old entry before finding that the
// new one did not fit; now the message stays whole.
TEST_F(TagBufferTest, ReplaceAndAppendValueWithoutRoomKeepTheMessage) {
    const std::string initial = "{A}1{B}2{F}";
    for (int appendValue = 0; appendValue < 2; ++appendValue) {
        SCOPED_TRACE(appendValue);
        Load(initial, 16);
        std::vector<char> before(message, message + sizeof message);
        int result = appendValue ? ATAG_AppendValue(&tags, "A", "123456789")
                                 : ATAG_Replace(&tags, "A", "123456789");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(std::vector<char>(message, message + sizeof message), before);
        EXPECT_EQ(tags.writePosition, 8);
        // A write position off the end tag: the end tag is sought again.
        tags.writePosition = 14;
        result = appendValue ? ATAG_AppendValue(&tags, "A", "") : ATAG_Replace(&tags, "A", "1");
        EXPECT_EQ(result, 1);  // the end tag is sought again after removal
        EXPECT_EQ(Text(message), "{B}2{A}1{F}");
    }
}

TEST_F(TagBufferTest, SettersRefuseSeparatorsInCodesAndValues) {
    struct Case {
        const char* name;
        std::function<int(ATAG_BUFFER*)> op;
    };
    const Case cases[] = {
        {"Set value", [](ATAG_BUFFER* t) { return ATAG_Set(t, "A", "x{y"); }},
        {"Set value ending with {", [](ATAG_BUFFER* t) { return ATAG_Set(t, "A", "x{"); }},
        {"Set code with }", [](ATAG_BUFFER* t) { return ATAG_Set(t, "A}", "1"); }},
        {"Set code with {", [](ATAG_BUFFER* t) { return ATAG_Set(t, "{A", "1"); }},
        {"Replace value", [](ATAG_BUFFER* t) { return ATAG_Replace(t, "A", "{F}"); }},
        {"Replace code", [](ATAG_BUFFER* t) { return ATAG_Replace(t, "A}x", "1"); }},
        {"AppendValue more", [](ATAG_BUFFER* t) { return ATAG_AppendValue(t, "A", "{B}"); }},
        {"AppendValue code", [](ATAG_BUFFER* t) { return ATAG_AppendValue(t, "{", "2"); }},
        {"SetHex code", [](ATAG_BUFFER* t) { return ATAG_SetHex(t, "}", "\x01", 1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load("{A}1{F}");
        std::vector<char> before(message, message + sizeof message);
        EXPECT_EQ(c.op(&tags), -1);
        EXPECT_EQ(std::vector<char>(message, message + sizeof message), before);
    }
}

// A refused value is traced as a warning that names the code, never the
// value (which may be card data).
TEST_F(TagBufferTest, RefusedValueWarnsWithTheCodeOnly_Mended) {
    const struct {
        const char* function;
        std::function<int(ATAG_BUFFER*)> op;
    } cases[] = {
        {"ATAG_Set", [](ATAG_BUFFER* t) { return ATAG_Set(t, "D1A", "4970{1234"); }},
        {"ATAG_Replace", [](ATAG_BUFFER* t) { return ATAG_Replace(t, "D1A", "4970{1234"); }},
        {"ATAG_AppendValue", [](ATAG_BUFFER* t) { return ATAG_AppendValue(t, "D1A", "4970{1234"); }},
    };
    for (const auto& c : cases) {
        Load("{A}1{F}");
        testsupport::TraceCapture capture;
        EXPECT_EQ(c.op(&tags), -1) << c.function;
        ASSERT_EQ(capture.count(), 1u) << c.function;
        const std::string& line = capture.lines()[0];
        EXPECT_EQ(line.rfind("<< WARN. >> ", 0), 0u) << line;
        EXPECT_NE(line.find(c.function), std::string::npos) << line;
        EXPECT_NE(line.find("D1A"), std::string::npos) << line;
        EXPECT_EQ(line.find("4970"), std::string::npos) << line;
        EXPECT_EQ(line.find("1234"), std::string::npos) << line;
    }
}

// The later binding decides the room: a reader bound before the writer
// never shrinks it (a reader bound after it still does).
TEST_F(TagBufferTest, WriterBoundAfterASmallReaderHasItsOwnRoom_Mended) {
    char small[16] = "{X}1{F}";
    ATAG_Init(&tags);
    ATAG_InitRead(&tags, small, 10, 0);
    ATAG_InitWrite(&tags, message, TAG_MESSAGE_BUFFER_SIZE, 1);
    EXPECT_EQ(ATAG_Set(&tags, "CODE", "a value longer than the reader"), 36);
    EXPECT_EQ(Get("X"), "1");
    ATAG_InitRead(&tags, small, 10, 0);
    EXPECT_EQ(ATAG_Set(&tags, "B", "2"), -1);
}

TEST_F(TagBufferTest, OddSeparatorsRefuseValuesThatWouldEndEarly) {
    // With the open separator "a", hex digits can hold it.
    ATAG_SetSeparators(&tags, "a", "]", "Z");
    Load("aZ]");
    const unsigned char bytes[] = {0x0a};
    EXPECT_EQ(ATAG_SetHex(&tags, "X", bytes, 1), -1);
    EXPECT_EQ(ATAG_SetHex(&tags, "X", "\x01", 1), 1);
    EXPECT_EQ(Text(message), "aX]01aZ]");

    // Open separator "<x<": a value ending in "1<x" would read back as "1".
    ATAG_SetSeparators(&tags, "<x<", ">", "E");
    Load("<x<E>");
    EXPECT_EQ(ATAG_Set(&tags, "A", "1<x"), -1);
    EXPECT_EQ(ATAG_Set(&tags, "A", "y<x<z"), -1);
    EXPECT_EQ(ATAG_Set(&tags, "A", "x<"), 7);
    EXPECT_EQ(Get("A"), "x<");
    // Old value + more text forming the separator at the joint.
    EXPECT_EQ(ATAG_AppendValue(&tags, "A", "x"), -1);
    EXPECT_EQ(Text(message), "<x<A>x<<x<E>");

    // Close separator "}}": a code ending in "}" would read back shorter.
    ATAG_SetSeparators(&tags, "{", "}}", "F");
    Load("{F}}");
    EXPECT_EQ(ATAG_Set(&tags, "A}", "1"), -1);
    EXPECT_GT(ATAG_Set(&tags, "A", "1}"), 0);
    EXPECT_EQ(Get("A"), "1}");
}

TEST_F(TagBufferTest, ReaderCapacityLimitsTheWriterButNeverEnlargesIt) {
    char small[16] = "{X}1{F}";
    // A reader of 10 bytes: an entry the writer had room for is refused.
    Load("{F}");
    ATAG_InitRead(&tags, small, 10, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ATAG_Set(&tags, "CODE", "value"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ATAG_Set() : TAG OverFlow !"),
              std::string::npos);
    EXPECT_EQ(Text(message), "{F}");
    EXPECT_EQ(ATAG_Set(&tags, "A", "12"), 5);  // 8 characters + NUL fit in 10

    // A reader larger than the writer does not lend its room.
    std::vector<char> writer(9, '\0');
    ATAG_Init(&tags);
    ATAG_InitWrite(&tags, writer.data(), 9, 0);
    ATAG_InitRead(&tags, message, TAG_MESSAGE_BUFFER_SIZE, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ATAG_Set(&tags, "SS", "RR"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ATAG_Set(&tags, "SS", "R"), 5);
    EXPECT_EQ(std::string(writer.data()), "{SS}R{F}");
}

// Reads never go past the read capacity, even when no NUL lies within it.
TEST_F(TagBufferTest, ReadsStopAtTheReadCapacity) {
    const std::string text = "{A}1{B}2{C}3{D}4";
    // Exactly the first 12 characters, no terminator anywhere.
    std::vector<char> bytes(text.begin(), text.begin() + 12);
    ATAG_InitRead(&tags, bytes.data(), uint32_t(bytes.size()), 0);
    EXPECT_EQ(Get("B"), "2");
    EXPECT_EQ(Get("C"), "<absent>");  // its end lies beyond the capacity
    EXPECT_EQ(Get("D"), "<absent>");
    EXPECT_EQ(ATAG_GetLength(&tags, "A"), 1);
    EXPECT_EQ(ATAG_FindOccurrence(&tags, "D", 1), -1);
    ATAG_InitRead(&tags, bytes.data(), uint32_t(bytes.size()), 0);
    char code[8];
    char value[8];
    int entries = 0;
    while (ATAG_GetNext(&tags, code, sizeof code, value, sizeof value) == 1) ++entries;
    EXPECT_EQ(entries, 3);
    EXPECT_EQ(std::string(value), "3");

    // The same for the write binding: SeekEnd and Disable search its capacity
    // only (the text without terminator ends at the capacity).
    std::vector<char> written(text.begin(), text.begin() + 8);
    ATAG_InitWrite(&tags, written.data(), uint32_t(written.size()), 0);
    EXPECT_EQ(ATAG_SeekEnd(&tags, 0), 8);
    EXPECT_EQ(ATAG_Set(&tags, "Z", ""), -1);  // no room left
    EXPECT_EQ(ATAG_Disable(&tags, "C"), 0);
    EXPECT_EQ(ATAG_Disable(&tags, "B"), 1);
    EXPECT_EQ(std::string(written.begin(), written.end()), "{A}1{!}2");
}

TEST_F(TagBufferTest, GettersRefuseValuesLongerThanTheOutput) {
    Load("{SS}R{AM}12345{CD}c1{F}");
    ASSERT_EQ(Get("SS"), "R");
    const int32_t position = tags.readPosition;
    char output[8] = "junk";
    // "12345" needs 6 bytes.
    EXPECT_EQ(ATAG_Get(&tags, "AM", output, 5, 0), -1);
    EXPECT_STREQ(output, "");
    EXPECT_EQ(tags.readPosition, position);
    EXPECT_EQ(ATAG_Get(&tags, "AM", output, 6, 0), 1);
    EXPECT_STREQ(output, "12345");
    EXPECT_EQ(ATAG_Get(&tags, "CD", output, 0, 1), -1);
    EXPECT_EQ(ATAG_Get(&tags, "CD", output, -1, 1), -1);

    // Occurrence reads: the same limit.
    EXPECT_EQ(ATAG_FindOccurrence(&tags, "AM", 1), 1);
    strcpy(output, "junk");
    EXPECT_EQ(ATAG_GetInOccurrence(&tags, "AM", output, 5, 1), -1);
    EXPECT_STREQ(output, "");
    EXPECT_EQ(tags.readPosition, 14);  // back where it was before the call
    EXPECT_EQ(ATAG_GetInOccurrence(&tags, "AM", output, 6, 1), 1);
    EXPECT_STREQ(output, "12345");

    // GetNext: code and value both bounded; a refusal keeps the position.
    ATAG_InitRead(&tags, message, TAG_MESSAGE_MAX_CHARS, 0);
    char code[3];
    char value[6];
    EXPECT_EQ(ATAG_GetNext(&tags, code, sizeof code, value, sizeof value), 1);
    EXPECT_EQ(ATAG_GetNext(&tags, code, sizeof code, value, 5), -1);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(tags.readPosition, 5);
    EXPECT_EQ(ATAG_GetNext(&tags, code, 2, value, sizeof value), -1);
    EXPECT_EQ(ATAG_GetNext(&tags, code, sizeof code, value, sizeof value), 1);
    EXPECT_STREQ(value, "12345");

    // The work-area getter takes 10238 characters at most.
    std::string big(10300, 'v');
    std::string longText = "{V}" + big + "{F}";
    std::vector<char> longMessage(longText.begin(), longText.end());
    longMessage.push_back('\0');
    ATAG_InitRead(&tags, longMessage.data(), uint32_t(longMessage.size()), 0);
    EXPECT_EQ(ATAG_GetString(&tags, "V", 1), nullptr);
    EXPECT_EQ(ATAG_GetLength(&tags, "V"), 10300);
    std::vector<char> wide(10301);
    EXPECT_EQ(ATAG_Get(&tags, "V", wide.data(), int(wide.size()), 1), 1);
    EXPECT_EQ(std::string(wide.data()), big);
}

TEST_F(TagBufferTest, OccurrencesWalkThreeGroups) {
    Load("{NB}3{GR}1{M}10{GR}2{M}20{X}y{GR}3{M}30{F}");
    std::vector<std::string> amounts;
    std::vector<std::string> extras;
    char value[16];
    int result = ATAG_FindOccurrence(&tags, "GR", 1);
    while (result == 1) {
        ASSERT_EQ(ATAG_GetInOccurrence(&tags, "GR", value, sizeof value, 1), 1);
        ASSERT_EQ(ATAG_GetInOccurrence(&tags, "M", value, sizeof value, 0), 1);
        amounts.push_back(value);
        extras.push_back(ATAG_GetInOccurrence(&tags, "X", value, sizeof value, 1) == 1 ? value
                                                                                       : "-");
        result = ATAG_FindOccurrence(&tags, "GR", 0);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(amounts, (std::vector<std::string>{"10", "20", "30"}));
    // X lies only in the second occurrence; in the first it is refused.
    EXPECT_EQ(extras, (std::vector<std::string>{"-", "y", "-"}));
    EXPECT_EQ(tags.nextOccurrenceStart, -1);
    EXPECT_EQ(tags.currentOccurrenceStart, 29);
    EXPECT_EQ(ATAG_FindOccurrence(&tags, "GR", 1), 1);
    EXPECT_EQ(tags.currentOccurrenceStart, 5);
    EXPECT_EQ(tags.nextOccurrenceStart, 15);
    EXPECT_EQ(ATAG_FindOccurrence(&tags, "ZZ", 1), -1);
}

TEST_F(TagBufferTest, OtherSeparatorsChangeTheFormat) {
    ATAG_SetSeparators(&tags, "<", ">", "E");
    EXPECT_STREQ(tags.endTag, "<E>");
    Load("");
    EXPECT_EQ(ATAG_Set(&tags, "CODE", "value"), 11);
    EXPECT_EQ(Text(message), "<CODE>value<E>");
    EXPECT_EQ(Get("CODE"), "value");
    // Braces are plain characters now.
    EXPECT_GT(ATAG_Set(&tags, "B", "{x}"), 0);
    EXPECT_EQ(Get("B"), "{x}");
}

TEST_F(TagBufferTest, SetSeparatorsKeepsWhatDoesNotFit) {
    struct Case {
        const char* open;
        const char* close;
        const char* endName;
        const char* expectedOpen;
        const char* expectedClose;
        const char* expectedEnd;
    };
    const Case cases[] = {
        {"123456789", "}", "F", "{", "}", "{F}"},         // 9 characters: kept
        {"12345678", "}", "F", "12345678", "}", "{F}"},   // fits, end tag too long
        {"<", ">", "END", "<", ">", "<END>"},
        {"", "", "F", "{", "}", "{F}"},                   // empty: kept
        {"[", "]", nullptr, "[", "]", "{F}"},
        {"[[", "]]", "FFFFF", "[[", "]]", "{F}"},         // 2 + 2 + 5 = 9: end kept
        {"[[", "]]", "FFFF", "[[", "]]", "[[FFFF]]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expectedEnd);
        ATAG_Init(&tags);
        EXPECT_EQ(ATAG_SetSeparators(&tags, c.open, c.close, c.endName), 1);
        EXPECT_STREQ(tags.openSeparator, c.expectedOpen);
        EXPECT_STREQ(tags.closeSeparator, c.expectedClose);
        EXPECT_STREQ(tags.endTag, c.expectedEnd);
    }
}

// The functional tests read a payload keyed by the empty code behind "{SQRQ}"
// and then restore the standard separators.
TEST_F(TagBufferTest, SeparatorsChangedForAPayloadAndRestored) {
    Load("{SS}A{SV}s9{SQRQ}{AM}100{F}{SQRQ}{CD}c1{F}");
    EXPECT_EQ(ATAG_SetSeparators(&tags, "{SQRQ", "}", "F"), 1);
    EXPECT_STREQ(tags.endTag, "{SQRQF}");
    EXPECT_EQ(Get(""), "{AM}100{F}");
    EXPECT_EQ(ATAG_Count(&tags, message, ""), 2);
    EXPECT_EQ(ATAG_SetSeparators(&tags, "{", "}", "F"), 1);
    EXPECT_STREQ(tags.openSeparator, "{");
    EXPECT_STREQ(tags.endTag, "{F}");
    EXPECT_EQ(Get("SV"), "s9");
    EXPECT_EQ(Get("CD"), "c1");
    EXPECT_EQ(Get("AM"), "100");
}

TEST_F(TagBufferTest, RemoveAndCountOnAnyText) {
    struct Case {
        const char* text;
        const char* code;
        int result;
        const char* after;
    };
    const Case cases[] = {
        {"{A}1{B}2{F}", "A", 1, "{B}2{F}"},
        {"{A}1{B}2{F}", "B", 1, "{A}1{F}"},
        {"{A}1{B}2", "B", 1, "{A}1"},  // last entry: to the end of the text
        {"{A}1{A}2{F}", "A", 1, "{A}2{F}"},
        {"{AB}1{F}", "A", 0, "{AB}1{F}"},
        {"", "A", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char text[32];
        strcpy(text, c.text);
        EXPECT_EQ(ATAG_Remove(&tags, text, c.code), c.result);
        EXPECT_STREQ(text, c.after);
    }
    EXPECT_EQ(ATAG_Count(&tags, "{A}1{A}{A}{B}{F}", "A"), 3);
    EXPECT_EQ(ATAG_Count(&tags, "", "A"), 0);
    EXPECT_EQ(ATAG_Count(&tags, "{x}{x}}{x}", "x"), 3);
}

TEST_F(TagBufferTest, NumbersReadAsDecimalWithoutUndefinedResults) {
    struct Case {
        const char* value;
        int asInt;
        int32_t asLong;
    };
    const Case cases[] = {
        {"42", 42, 42},
        {"-7", -7, -7},
        {"+5", 5, 5},
        {"  12abc", 12, 12},
        {"007", 7, 7},
        {"abc", 0, 0},
        {"", 0, 0},
        {"-", 0, 0},
        // Both readers are 32-bit: out-of-range numbers saturate alike.
        {"2147483647", INT_MAX, INT32_MAX},
        {"2147483648", INT_MAX, INT32_MAX},
        {"-2147483649", INT_MIN, INT32_MIN},
        {"99999999999999999999999999", INT_MAX, INT32_MAX},
        {"-99999999999999999999999999", INT_MIN, INT32_MIN},
        {"\xff\xfe", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Load(std::string("{N}") + c.value + "{F}");
        int asInt = 123;
        int32_t asLong = 123;
        EXPECT_EQ(ATAG_GetInt(&tags, "N", &asInt, 1), 1);
        EXPECT_EQ(asInt, c.asInt);
        EXPECT_EQ(ATAG_GetLong(&tags, "N", &asLong, 1), 1);
        EXPECT_EQ(asLong, c.asLong);
    }
    Load("{N}1{F}");
    int untouched = 5;
    EXPECT_EQ(ATAG_GetInt(&tags, "M", &untouched, 1), -1);
    EXPECT_EQ(untouched, 5);
    EXPECT_EQ(ATAG_GetInt(&tags, "N", nullptr, 1), -1);
    EXPECT_EQ(ATAG_GetLong(&tags, "N", nullptr, 1), -1);
}

TEST_F(TagBufferTest, NullArgumentsAndUnboundBuffersGiveMinusOne) {
    char out[16];
    int number = 0;
    int32_t big = 0;
    EXPECT_EQ(ATAG_Set(&tags, "A", "1"), -1);
    EXPECT_EQ(ATAG_Append(&tags, "{A}1"), -1);
    EXPECT_EQ(ATAG_SetHex(&tags, "A", "x", 1), -1);
    EXPECT_EQ(ATAG_Replace(&tags, "A", "1"), -1);
    EXPECT_EQ(ATAG_AppendValue(&tags, "A", "1"), -1);
    EXPECT_EQ(ATAG_Disable(&tags, "A"), -1);
    EXPECT_EQ(ATAG_Get(&tags, "A", out, sizeof out, 1), -1);
    EXPECT_EQ(ATAG_GetNext(&tags, out, sizeof out, out, sizeof out), -1);
    EXPECT_EQ(ATAG_FindOccurrence(&tags, "A", 1), -1);
    EXPECT_EQ(ATAG_GetInOccurrence(&tags, "A", out, sizeof out, 1), -1);
    EXPECT_EQ(ATAG_GetString(&tags, "A", 1), nullptr);
    EXPECT_EQ(ATAG_GetInt(&tags, "A", &number, 1), -1);
    EXPECT_EQ(ATAG_GetLong(&tags, "A", &big, 1), -1);
    EXPECT_EQ(ATAG_GetLength(&tags, "A"), -1);
    EXPECT_EQ(ATAG_InitWrite(&tags, nullptr, 10, 1), -1);
    EXPECT_EQ(ATAG_InitRead(&tags, nullptr, 10, 1), -1);

    Load("{A}1{F}");
    std::vector<char> before(message, message + sizeof message);
    EXPECT_EQ(ATAG_Set(&tags, nullptr, "1"), -1);
    EXPECT_EQ(ATAG_Set(&tags, "A", nullptr), -1);
    EXPECT_EQ(ATAG_Append(&tags, nullptr), -1);
    EXPECT_EQ(ATAG_SetHex(&tags, "A", nullptr, 1), -1);
    EXPECT_EQ(ATAG_SetHex(&tags, "A", "x", -1), -1);
    EXPECT_EQ(ATAG_Replace(&tags, "A", nullptr), -1);
    EXPECT_EQ(ATAG_AppendValue(&tags, nullptr, "1"), -1);
    EXPECT_EQ(ATAG_Disable(&tags, nullptr), -1);
    EXPECT_EQ(ATAG_Disable(&tags, ""), -1);
    EXPECT_EQ(ATAG_Remove(&tags, nullptr, "A"), -1);
    EXPECT_EQ(ATAG_Remove(&tags, message, nullptr), -1);
    EXPECT_EQ(ATAG_Count(&tags, nullptr, "A"), -1);
    EXPECT_EQ(ATAG_Get(&tags, nullptr, out, sizeof out, 1), -1);
    EXPECT_EQ(ATAG_Get(&tags, "A", nullptr, sizeof out, 1), -1);
    EXPECT_EQ(ATAG_GetNext(&tags, nullptr, 4, out, sizeof out), -1);
    EXPECT_EQ(ATAG_FindOccurrence(&tags, nullptr, 1), -1);
    EXPECT_EQ(std::vector<char>(message, message + sizeof message), before);
    // A failed rebinding keeps the old one.
    EXPECT_EQ(ATAG_InitRead(&tags, nullptr, 10, 1), -1);
    EXPECT_EQ(Get("A"), "1");
}

// A record that never went through ATAG_Init (a zeroed block) has empty
// separators: it refuses everything instead of looping on empty matches.
TEST(TagBufferUninitialised, ZeroedRecordRefusesWork) {
    auto zeroed = std::make_unique<ATAG_BUFFER>();
    memset(zeroed.get(), 0, sizeof *zeroed);
    char text[16] = "{A}1{F}";
    char code[8];
    char value[8];
    ASSERT_EQ(ATAG_InitRead(zeroed.get(), text, sizeof text, 0), 1);
    ASSERT_EQ(ATAG_InitWrite(zeroed.get(), text, sizeof text, 0), 1);
    EXPECT_EQ(ATAG_GetNext(zeroed.get(), code, sizeof code, value, sizeof value), -1);
    EXPECT_EQ(ATAG_Get(zeroed.get(), "A", value, sizeof value, 1), -1);
    EXPECT_EQ(ATAG_FindOccurrence(zeroed.get(), "A", 1), -1);
    EXPECT_EQ(ATAG_Set(zeroed.get(), "B", "2"), -1);
    EXPECT_EQ(ATAG_Count(zeroed.get(), text, "A"), -1);
    EXPECT_STREQ(text, "{A}1{F}");
    EXPECT_EQ(ATAG_SetSeparators(zeroed.get(), "{", "}", "F"), 1);
    EXPECT_EQ(ATAG_Get(zeroed.get(), "A", value, sizeof value, 1), 1);
}

// Malformed input for every reader: each gives a definite result, never a read
// outside the bytes it was given (checked by the sanitizer build).
TEST_F(TagBufferTest, MalformedInputGivesClearResults) {
    struct Case {
        const char* name;
        std::string bytes;  // exactly the bound bytes (no terminator added)
        int getA;           // Get("A") into 16 bytes
        const char* valueA;
        int workA;    // GetString / GetInt of "A" (work area of 10239 bytes)
        int lengthA;  // GetLength("A")
        int entries;  // GetNext results of 1 ...
        int walkEnd;  // ... then this result
    };
    const std::string longCode(300, 'C');
    const std::string longValue(300, 'v');
    const std::string longerCode(400, 'C');
    const Case cases[] = {
        {"empty text", std::string(1, '\0'), -1, "", -1, -1, 0, 0},
        {"lone open", std::string("{\0", 2), -1, "", -1, -1, 0, 0},
        {"close then open", std::string("}{\0", 3), -1, "", -1, -1, 0, 0},
        {"open without close", std::string("{A\0", 3), -1, "", -1, -1, 0, 0},
        {"truncated entry", std::string("{A}1\0", 5), -1, "", -1, -1, 1, 0},
        {"missing end tag", std::string("{A}1{B}2\0", 9), 1, "1", 1, 1, 2, 0},
        {"truncated end tag", std::string("{A}1{F\0", 7), 1, "1", 1, 1, 1, 0},
        {"no terminator", std::string("{A}1{B}2"), 1, "1", 1, 1, 2, 0},
        {"binary value", std::string("{A}\xff\x01\x7f{F}\0", 10), 1, "\xff\x01\x7f", 1, 3, 2, 0},
        {"embedded NUL", std::string("{A}1\0{B}2{F}", 11), -1, "", -1, -1, 1, 0},
        {"only 0xFF", std::string(64, '\xff'), -1, "", -1, -1, 0, 0},
        {"braces only", std::string("{{{{}}}}{"), -1, "", -1, -1, 1, 0},
        // Codes and values longer than the outputs stop the walk with -1.
        {"over-long code", "{" + longCode + "}v{A}w{F}", 1, "w", 1, 1, 0, -1},
        {"over-long value", "{A}" + longValue + "{F}", -1, "", 1, 300, 0, -1},
        {"end tag first", std::string("{F}{A}1{F}"), 1, "1", 1, 1, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Heap copy of exactly these bytes.
        std::unique_ptr<char[]> bytes(new char[c.bytes.size()]);
        memcpy(bytes.get(), c.bytes.data(), c.bytes.size());
        const uint32_t capacity = uint32_t(c.bytes.size());
        ATAG_Init(&tags);
        ATAG_InitRead(&tags, bytes.get(), capacity, 0);

        char value[16] = "junk";
        int result = ATAG_Get(&tags, "A", value, sizeof value, 1);
        EXPECT_EQ(result, c.getA);
        if (result == 1) {
            EXPECT_STREQ(value, c.valueA);
        }

        char code[16];
        int entries = 0;
        ATAG_InitRead(&tags, bytes.get(), capacity, 0);
        while ((result = ATAG_GetNext(&tags, code, sizeof code, value, sizeof value)) == 1)
            ++entries;
        EXPECT_EQ(result, c.walkEnd);
        EXPECT_EQ(entries, c.entries);

        EXPECT_EQ(ATAG_GetString(&tags, "A", 1) != nullptr, c.workA == 1);
        int number = 7;
        EXPECT_EQ(ATAG_GetInt(&tags, "A", &number, 1), c.workA);
        EXPECT_EQ(ATAG_GetLength(&tags, "A"), c.lengthA);
        EXPECT_EQ(ATAG_FindOccurrence(&tags, "B", 1) == 1,
                  c.bytes.substr(0, strnlen(c.bytes.data(), capacity)).find("{B}") !=
                      std::string::npos);
        ATAG_GetInOccurrence(&tags, "A", value, sizeof value, 1);
        ATAG_FindOccurrence(&tags, "B", 0);
        // A code longer than the whole capacity: traced and refused.
        testing::internal::CaptureStderr();
        EXPECT_EQ(ATAG_Get(&tags, longerCode.c_str(), value, sizeof value, 1), -1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("ATAG_Get() : TAG OverFlow !"),
                  std::string::npos);
    }

    // Capacity 0: nothing is read at all.
    char one[1] = {'{'};
    ATAG_Init(&tags);
    ATAG_InitRead(&tags, one, 0, 0);
    char code[4];
    char value[4];
    testing::internal::CaptureStderr();
    EXPECT_EQ(ATAG_Get(&tags, "A", value, sizeof value, 1), -1);
    EXPECT_EQ(ATAG_FindOccurrence(&tags, "A", 1), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ATAG_Get() : TAG OverFlow !"),
              std::string::npos);
    EXPECT_EQ(ATAG_GetNext(&tags, code, sizeof code, value, sizeof value), 0);
    ATAG_InitWrite(&tags, one, 0, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ATAG_Set(&tags, "A", "1"), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ATAG_Append(&tags, ""), -1);
    EXPECT_EQ(one[0], '{');
}

// The process-wide buffer behind the TAG_ functions.
class ProcessTagsTest : public ::testing::Test {
protected:
    void SetUp() override { ATAG_Init(TAG_GetProcessBuffer()); }
    void TearDown() override { ATAG_Init(TAG_GetProcessBuffer()); }
    char request[TAG_MESSAGE_BUFFER_SIZE];
};

TEST_F(ProcessTagsTest, BuildsAndReadsARequest) {
    EXPECT_EQ(TAG_FindOccurrenceIfBound("GR", 1), 0);
    ASSERT_EQ(TAG_InitWrite(request, TAG_MESSAGE_MAX_CHARS, 1), 1);
    EXPECT_EQ(TAG_Set("SS", "R"), 1);
    EXPECT_EQ(TAG_Put("PS", "001"), 12);
    EXPECT_EQ(TAG_SetInt("AM", -250), 1);
    EXPECT_EQ(TAG_SetLong("TI", INT32_MIN), 1);
    EXPECT_EQ(TAG_PutInt("NB", 2), 40);
    const unsigned char key[] = {0xDE, 0xAD};
    EXPECT_EQ(TAG_SetHex("K", key, 2), 1);
    EXPECT_EQ(TAG_Append("{GR}1{GR}2"), 1);
    EXPECT_EQ(Text(request), "{SS}R{PS}001{AM}-250{TI}-2147483648{NB}2{K}dead{GR}1{GR}2{F}");
    EXPECT_EQ(TAG_Replace("SS", "A"), 1);
    EXPECT_EQ(TAG_InitRead(request, TAG_MESSAGE_MAX_CHARS, 0), 1);
    EXPECT_EQ(TAG_AppendValue("PS", "9"), 1);
    EXPECT_EQ(TAG_Disable("NB"), 1);

    char field[4];
    EXPECT_EQ(TAG_Get("PS", field, sizeof field, 1), -1);  // "0019" needs 5 bytes
    EXPECT_STREQ(field, "");
    char wide[8];
    EXPECT_EQ(TAG_Get("PS", wide, sizeof wide, 1), 1);
    EXPECT_STREQ(wide, "0019");
    EXPECT_EQ(TAG_GetIntValue("AM", 1), -250);
    EXPECT_EQ(TAG_GetLongValue("TI", 1), INT32_MIN);
    EXPECT_EQ(TAG_GetIntValue("NB", 1), -1);  // disabled
    int number = 0;
    int32_t big = 0;
    EXPECT_EQ(TAG_GetInt("AM", &number, 1), 1);
    EXPECT_EQ(number, -250);
    EXPECT_EQ(TAG_GetLong("AM", &big, 1), 1);
    EXPECT_EQ(TAG_GetInt("AM", nullptr, 1), -1);
    ASSERT_NE(TAG_GetString("K", 1), nullptr);
    EXPECT_STREQ(TAG_GetString("K", 1), "dead");
    EXPECT_EQ(TAG_GetString("ZZ", 1), nullptr);
    EXPECT_EQ(TAG_GetLength("SS"), 1);
    EXPECT_EQ(TAG_Count(request, "GR"), 2);

    EXPECT_EQ(TAG_FindOccurrenceIfBound("GR", 1), 1);
    EXPECT_EQ(TAG_FindOccurrenceIfBound(nullptr, 1), 0);
    EXPECT_EQ(TAG_GetInOccurrence("GR", field, sizeof field, 1), 1);
    EXPECT_STREQ(field, "1");
    EXPECT_EQ(TAG_FindOccurrence("GR", 0), 1);
    EXPECT_EQ(TAG_GetInOccurrence("GR", field, sizeof field, 1), 1);
    EXPECT_STREQ(field, "2");
    EXPECT_EQ(TAG_FindOccurrence("GR", 0), -1);

    TAG_InitRead(request, TAG_MESSAGE_MAX_CHARS, 0);
    char code[8];
    char value[16];
    EXPECT_EQ(TAG_GetNext(code, sizeof code, value, sizeof value), 1);
    EXPECT_STREQ(code, "AM");  // SS and PS moved behind the groups
    EXPECT_STREQ(value, "-250");

    char copy[TAG_MESSAGE_BUFFER_SIZE];
    strcpy(copy, request);
    EXPECT_EQ(TAG_Remove(copy, "K"), 1);
    EXPECT_EQ(TAG_Count(copy, "K"), 0);
    EXPECT_EQ(TAG_SeekEnd(0), int(strlen(request)) - 3);

    EXPECT_EQ(TAG_SetSeparators("<", ">", "E"), 1);
    EXPECT_STREQ(TAG_GetProcessBuffer()->endTag, "<E>");
    EXPECT_EQ(TAG_SetSeparators("{", "}", "F"), 1);
}

}  // namespace
