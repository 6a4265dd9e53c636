// The parameter block of the display, selection and entry operations on the
// terminal screen (the dialogue record): written by the dialogue functions,
// set as a terminal command on the display, decoded back by the module of
// the terminal's protocol. One process-wide block, cleared before each use.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int kTermDisplayTextMax = 292;
constexpr int kTermDisplayResultMax = 41;

// Kinds of the block.
constexpr int32_t TERM_DISPLAY_OPEN = 1;
constexpr int32_t TERM_DISPLAY_TEXT = 2;
constexpr int32_t TERM_DISPLAY_SELECT = 3;
constexpr int32_t TERM_DISPLAY_ENTRY = 4;
constexpr int32_t TERM_DISPLAY_CONTINUOUS = 5;
constexpr int32_t TERM_DISPLAY_ENTRY_EXT = 9;      // RUDA: entry with message identifiers
constexpr int32_t TERM_DISPLAY_ONLINE_PIN = 70;
constexpr int32_t TERM_DISPLAY_NUMERIC = 164;      // RUDA: numeric entry only
constexpr int32_t TERM_DISPLAY_KEY_WAIT = 175;
constexpr int32_t TERM_DISPLAY_SECRET_ENTRY = 177;

struct TermDisplayBlock {
    int32_t kind;
    int32_t busy;    // 1 while the module builds or decodes
    int32_t result;  // the operation's result (DORAN: DF828000), 255 until decoded
    int32_t textLength;  // bytes of the text area used, NULs included
    char text[kTermDisplayTextMax];  // NUL-terminated fields
    int32_t answerMark;  // -1 once a DORAN answer is being decoded
    int32_t resultField;  // the key or the chosen item; 255 when absent
    int32_t resultLength;
    char resultData[kTermDisplayResultMax];
    uint8_t keyWaitFlag;
    uint8_t selectionOption;
    int32_t secretEntryLength;
    uint8_t entryMode;
    uint8_t entryFlags[2];
};

// Field n (0-based) of the text area: the bytes up to its NUL, never past
// the area; empty when the area holds fewer fields.
std::string_view TermDisplay_Field(const TermDisplayBlock& block, int n);
// Writes the fields in order, each with its NUL, and sets the text length;
// false (area and length untouched) when they do not fit the area.
bool TermDisplay_SetFields(TermDisplayBlock* block, const std::vector<std::string>& fields);
