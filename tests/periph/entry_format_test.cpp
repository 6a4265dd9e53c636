// Entry-format rules: the format words, the characters a field takes, when
// a field may be validated, deletion and insertion.
#include <gtest/gtest.h>

#include <string>

#include "periph/entry_format.h"

namespace {

KttdEntryFormat Parse(const char* text) {
    KttdEntryFormat format{};
    KTTD_ParseEntryFormat(&format, text);
    return format;
}

}  // namespace

TEST(EntryFormat, WordsAnywhereInTheText) {
    const KttdEntryFormat all = Parse("xxOBL-NUM TOTBOOL,AUTO 3DECI");
    EXPECT_EQ(all.mandatory, 1);
    EXPECT_EQ(all.numeric, 1);
    EXPECT_EQ(all.total, 1);
    EXPECT_EQ(all.boolean, 1);
    EXPECT_EQ(all.automatic, 1);
    EXPECT_EQ(all.decimals, 1);
    EXPECT_EQ(Parse("2DECI").decimals, 1);
    const KttdEntryFormat none = Parse(nullptr);
    EXPECT_EQ(none.mandatory + none.numeric + none.total + none.boolean + none.automatic + none.decimals, 0);
    EXPECT_EQ(Parse("obl num").mandatory, 0);  // words are upper case
}

TEST(EntryFormat, CharactersAFieldTakes) {
    struct Case {
        const char* format;
        char typed;
        int valid;
        char stored;
    } cases[] = {
        {"NUM", '5', 1, '5'},        {"NUM", 'A', 0, 'A'},         {"NUM", '.', 0, '.'},
        {"NUM", ',', 0, '.'},        {"NUM 2DECI", ',', 1, '.'},  {"NUM 3DECI", '.', 1, '.'},
        {"", 'A', 1, 'A'},           {"", ',', 1, ','},           {"OBL", '.', 1, '.'},
    };
    for (const Case& c : cases) {
        const KttdEntryFormat format = Parse(c.format);
        char typed = c.typed;
        EXPECT_EQ(KTTD_IsEntryCharValid(&format, &typed), c.valid) << c.format << " " << c.typed;
        EXPECT_EQ(typed, c.stored) << c.format << " " << c.typed;
    }
}

TEST(EntryFormat, WhenAFieldMayBeValidated) {
    struct Case {
        const char* format;
        const char* field;
        int complete;
    } cases[] = {
        {"", "____", 1},    {"OBL", "____", 0}, {"", "12__", 1},   {"TOT", "12__", 0},
        {"TOT", "1234", 1}, {"OBL TOT", "1___", 0}, {"OBL", "1___", 1},
    };
    for (const Case& c : cases) {
        const KttdEntryFormat format = Parse(c.format);
        EXPECT_EQ(KTTD_IsEntryComplete(&format, c.field, 4), c.complete) << c.format << " " << c.field;
    }
}

TEST(EntryFormat, DeleteAndInsert) {
    char field[] = "1234";
    KTTD_DeleteEntryChar(field, 1, 4);
    EXPECT_STREQ(field, "134_");
    KTTD_InsertEntryChar(field, 0, 4, 1, '9');
    EXPECT_STREQ(field, "9134");  // the last character is lost
    KTTD_InsertEntryChar(field, 3, 4, 0, '7');
    EXPECT_STREQ(field, "9137");
    KTTD_InsertEntryChar(field, 4, 4, 1, '8');  // at the width: nothing
    KTTD_DeleteEntryChar(field, 4, 4);
    EXPECT_STREQ(field, "9137");
    KTTD_DeleteEntryChar(field, 3, 4);
    EXPECT_STREQ(field, "913_");
}
