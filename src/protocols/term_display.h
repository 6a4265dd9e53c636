// The dialogue record of the terminal screen: what a display, selection,
// entry or key wait asks of the terminal, and what the terminal answered.
// The terminal-screen dialogue writes it, the protocol module builds its
// request from it and writes the answer back into it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int kTermDisplayText = 292;  // text area: NUL-terminated fields
constexpr int kTermResultData = 41;    // entered value and its NUL

// Kinds of dialogue.
constexpr int32_t TERM_KIND_OPEN = 1;
constexpr int32_t TERM_KIND_TEXT = 2;
constexpr int32_t TERM_KIND_SELECT = 3;
constexpr int32_t TERM_KIND_ENTRY = 4;
constexpr int32_t TERM_KIND_CONTINUOUS = 5;
constexpr int32_t TERM_KIND_ENTRY_EXT = 9;
constexpr int32_t TERM_KIND_ONLINE_PIN = 70;
constexpr int32_t TERM_KIND_NUMERIC = 164;
constexpr int32_t TERM_KIND_KEY_WAIT = 175;
constexpr int32_t TERM_KIND_SECRET = 177;

struct TermDisplayBlock {
    int32_t kind;
    int32_t words[2];
    int32_t textLength;  // bytes of the text area used, NULs included
    char text[kTermDisplayText];
    int32_t result;  // 'A' cancel, 'C' correction, 'V' validated, a key, an item, 255 error
    int32_t resultLength;
    char resultData[kTermResultData];
    uint8_t keyWaitFlag;      // kind 175: 1 starts the key wait, 0 ends it
    uint8_t selectionOption;  // selection: 4 while the correction key may leave the list
    int32_t secretParameter;  // kind 177: P2 of the secret entry when below 256
    uint8_t entryMode;
    uint8_t entryFlags[2];
};

// Field n (0-based) of the text area: the bytes up to its NUL, never past
// the area; empty when the area holds fewer fields.
std::string_view TermDisplay_Field(const TermDisplayBlock& block, int n);
// Writes the fields in order, each with its NUL, and sets the text length;
// false (area and length untouched) when they do not fit the area.
bool TermDisplay_SetFields(TermDisplayBlock* block, const std::vector<std::string>& fields);
