// The card-data rules both sides mask their logs with: which tag values are
// hidden and how, display digits, and card numbers found by the Luhn check
// wherever they stand.
#include "platform/card_data_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Masked(std::string text, size_t (*mask)(char*, size_t, char), char with = '-') {
    mask(text.data(), text.size(), with);
    return text;
}

TEST(CardDataRules, SensitiveTagValuesAreHiddenByTheirRule) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"{D1A}4970123456782{SV}s0", "{D1A}-------------{SV}s0"},
        {"{DATA_PAN}1234{DATA_ISO2}1234=99{F}", "{DATA_PAN}----{DATA_ISO2}-------{F}"},
        {"{CARD_VISCRYPT}123{DA8}98765{PRN_TEXT}TICKET{F}", "{CARD_VISCRYPT}---{DA8}-----{PRN_TEXT}------{F}"},
        {"{D3L}a{D3L1}bb{D3L2}ccc{D6J}d{TC3}e{CSGPO}f{CSRED}g{CSALL}h", "{D3L}-{D3L1}--{D3L2}---{D6J}-{TC3}-{CSGPO}-{CSRED}-{CSALL}-"},
        // Every occurrence, the last value running to the end of the text.
        {"{D3Y}12{RS}00{D3Y}345", "{D3Y}--{RS}00{D3Y}---"},
        // Display texts: digits masked like a card number; short ones stay.
        {"{ED}Carte 1{ED}Carte 4970 1234 5678 9012{F}", "{ED}Carte 1{ED}Carte 4970 12-- ---- 9012{F}"},
        {"{DISP_TEXT}0612345678", "{DISP_TEXT}0612345678"},
        {"{DISP_TEXT}06123456789", "{DISP_TEXT}061234-6789"},
        // Other codes, lower case, longer codes and broken braces stay.
        {"{d1a}4970{D1AX}1{XD1A}2{D1}3{ED", "{d1a}4970{D1AX}1{XD1A}2{D1}3{ED"},
        {"{{D1A}77}x{D1A", "{{D1A}----{D1A"},
        {"{}{D1A}", "{}{D1A}"},
    };
    for (const auto& c : cases) EXPECT_EQ(Masked(c.in, carddata::MaskSensitiveTagValues), c.out) << c.in;
    EXPECT_EQ(Masked("{D3Y}123", carddata::MaskSensitiveTagValues, '#'), "{D3Y}###");
    EXPECT_EQ(carddata::MaskSensitiveTagValues(nullptr, 10, '-'), 0u);
    // Only the given length is looked at.
    std::string text = "{D1A}1234";
    EXPECT_EQ(carddata::MaskSensitiveTagValues(text.data(), 7, '-'), 1u);
    EXPECT_EQ(text, "{D1A}--34");
}

TEST(CardDataRules, TableNamesEachCodeOnceWithItsRule) {
    for (const carddata::SensitiveTag& tag : carddata::SensitiveTags())
        EXPECT_EQ(carddata::FindSensitiveTag(tag.code), &tag) << tag.code;
    // The codes that carry card numbers, tracks, verification values, pivot
    // numbers, tickets, chip data and display texts.
    for (const char* code : {"D1A", "D2F", "D6J", "D3L", "D3L1", "D3L2", "D3Y", "TC3", "CSGPO", "CSRED",
                             "CSALL", "DATA_PAN", "DATA_ISO2", "CARD_VISCRYPT", "DA8", "PRN_TEXT", "ED",
                             "DISP_TEXT"})
        EXPECT_NE(carddata::FindSensitiveTag(code), nullptr) << code;
    EXPECT_EQ(carddata::FindSensitiveTag("D2F")->rule, carddata::TagRule::Track);
    EXPECT_EQ(carddata::FindSensitiveTag("DATA_PAN")->rule, carddata::TagRule::CardNumber);
    EXPECT_EQ(carddata::FindSensitiveTag("ED")->rule, carddata::TagRule::Display);
    EXPECT_EQ(carddata::FindSensitiveTag("d1a"), nullptr);
    EXPECT_EQ(carddata::FindSensitiveTag("SV"), nullptr);
}

TEST(CardDataRules, LuhnCheck) {
    for (const char* valid : {"4111111111111111", "5555555555554444", "378282246310005", "4222222222222",
                              "4970101234567890127", "0", "18"})
        EXPECT_TRUE(carddata::LuhnValid(valid, std::string(valid).size())) << valid;
    for (const char* invalid : {"4111111111111112", "4970101111111119", "12", "41111111111x1111", ""})
        EXPECT_FALSE(carddata::LuhnValid(invalid, std::string(invalid).size())) << invalid;
    EXPECT_FALSE(carddata::LuhnValid(nullptr, 3));
}

TEST(CardDataRules, DigitRunsThatAreCardNumbersAreMaskedWhereverTheyStand) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"{E6}4111111111111111{LTY}x", "{E6}411111------1111{LTY}x"},
        {"{d1a}5555555555554444", "{d1a}555555------4444"},
        {"amex 378282246310005.", "amex 378282-----0005."},
        {"13:4222222222222 19:4970101234567890127", "13:422222---2222 19:497010---------0127"},
        // Not card numbers: failed check, too short, too long, or part of a
        // longer run.
        {"4111111111111112 422222222222 49701012345678901270 x4111111111111111y",
         "4111111111111112 422222222222 49701012345678901270 x411111------1111y"},
        {"0000000000000000", "0000000000000000"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Masked(c.in, carddata::MaskCardNumberRuns), c.out) << c.in;
    EXPECT_EQ(Masked("4111111111111111", carddata::MaskCardNumberRuns, '#'), "411111######1111");
    std::string text = "4111111111111111";
    EXPECT_EQ(carddata::MaskCardNumberRuns(text.data(), 15, '-'), 0u);  // cut: 15 digits fail the check
    EXPECT_EQ(text, "4111111111111111");
}

TEST(CardDataRules, DisplayDigitsCountAcrossSeparators) {
    std::string value = "Code 497 012 345 678 2 merci";
    EXPECT_EQ(carddata::MaskDisplayDigits(value.data(), value.size(), '-'), 3u);
    EXPECT_EQ(value, "Code 497 012 --- 678 2 merci");
    value = "Tel 06 12 34 56 78";
    EXPECT_EQ(carddata::MaskDisplayDigits(value.data(), value.size(), '-'), 0u);
    EXPECT_EQ(value, "Tel 06 12 34 56 78");
}

}  // namespace

namespace {

TEST(CardDataRules, CopiesOfCardValuesAreMaskedOnceTheirTagsAreBlotted) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        // Card number (trailing "F" dropped) copied into an ordinary field,
        // not a Luhn number.
        {"{D1A}4970101111111119F{E6}x4970101111111119", "{D1A}-----------------{E6}x497010------1119"},
        // A track gives its card number, "B" and "F" dropped, "=" separator.
        {"{DATA_ISO2}B4970202222222225=2512101F{LTY}4970202222222225",
         "{DATA_ISO2}--------------------------{LTY}497020------2225"},
        {"{D2F}4970102222222228D2512{D7V}ilot 4970102222222228", "{D2F}---------------------{D7V}ilot 497010------2228"},
        // Short values change nothing elsewhere.
        {"{DATA_PAN}1{PS}1{RS}01", "{DATA_PAN}-{PS}1{RS}01"},
        // A Luhn number without any tag.
        {"vu 4111111111111111 hier", "vu 411111------1111 hier"},
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        carddata::MaskLogText(text.data(), text.size(), '-');
        EXPECT_EQ(text, c.out) << c.in;
    }
    carddata::CardValueCopies copies;
    std::string many;
    for (int i = 0; i < 12; ++i) many += "{D1A}49701000000000" + std::to_string(10 + i);
    copies.Collect(many.data(), many.size());
    EXPECT_EQ(copies.count(), carddata::CardValueCopies::kMaxValues);
    EXPECT_EQ(copies.value(0), "4970100000000010");
}

}  // namespace
