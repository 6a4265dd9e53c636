// The parameter block of the display, selection and entry operations on the
// terminal screen (the dialogue record): written by the dialogue functions,
// set as a terminal command on the display, decoded back by the module of
// the terminal's protocol. One process-wide block, cleared before each use.
#pragma once
#include <cstdint>

constexpr int kTermDisplayTextMax = 292;
constexpr int kTermDisplayResultMax = 41;

// Kinds of the block.
constexpr int32_t TERM_DISPLAY_OPEN = 1;
constexpr int32_t TERM_DISPLAY_TEXT = 2;
constexpr int32_t TERM_DISPLAY_SELECT = 3;
constexpr int32_t TERM_DISPLAY_ENTRY = 4;
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
