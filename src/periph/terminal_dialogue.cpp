// Dialogue on the payment terminal's own screen and keypad (display
// function 0): texts shown line by line, entries and key waits, selections
// in a list. Each writes the process-wide dialogue record, sets it as a
// terminal command, sends the script and waits for the terminal's answer
// event; the protocol module decodes the record. Entered values are never
// traced.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/text_manager.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/entry_format.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "protocols/card_records.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_display.h"

namespace {

constexpr int kDisplay = 0;
constexpr int kRudaProtocol = 16;
constexpr int kOpenCommand = 1;
constexpr int kTextCommand = 2;
constexpr int kSelectCommand = 3;
constexpr int kEntryCommand = 4;
constexpr int kCardStatusCommand = 100;
constexpr int kEventWaitMs = 200;
constexpr int kShowWaitMs = 7500;
constexpr int kAnswerMarginMs = 2500;
constexpr int kWatchReadMs = 1000;
constexpr int kWatchPollMs = 250;
constexpr int kLargestTimeField = 999;
constexpr int kLargestTwoDigits = 99;
constexpr int kPromptRoom = 15;
constexpr int kValueMax = kTermDisplayResultMax - 1;
constexpr const char* kDefaultPinpadText = "<C>:SUITE <V>:OK";
const std::string kEsc = "\033";

TermDisplayBlock g_block;      // the dialogue record
std::string g_screen;          // the lines accumulated for the next screen
bool g_screenStarted = false;
std::string g_lastText;        // the last non-blank line shown
bool g_hasLastText = false;

bool IsRuda() { return EPAP_GetProtocol(kDisplay) == kRudaProtocol; }

std::string Number(const char* format, int value) {
    char out[16];
    std::snprintf(out, sizeof out, format, value);
    return out;
}

// A three-digit time field: hundredths of the time-out, never more than
// three digits.
std::string TimeField(int value) { return Number("%03d", std::clamp(value, 0, kLargestTimeField)); }

std::string TwoDigits(int value) { return Number("%02d", std::clamp(value, 0, kLargestTwoDigits)); }

void OpenBlock(bool hasTitle) {
    g_block.kind = TERM_DISPLAY_OPEN;
    g_block.textLength = 6;
    std::memset(g_block.text, 0, sizeof g_block.text);
    g_block.text[1] = static_cast<char>(hasTitle ? 2 : 0);
    g_block.text[2] = 17;
    g_block.text[5] = static_cast<char>(EPAP_GetEchoMode());
}

enum class Wait { Answered, TimedOut, Aborted };

// The terminal's answer event within the limit: 'A' answered; an abort (80
// or 'S') stops at once; 'K' (a key typed) starts the time again when
// restartOnKey.
Wait WaitAnswer(int64_t limitMs, bool restartOnKey) {
    int64_t start = plat::MonotonicMs();
    while (plat::MonotonicMs() - start < limitMs) {
        char event = 0;
        const int waited = EPAP_WaitEvent(kDisplay, kEventWaitMs, &event);
        if (waited == PV_PER_RESET || event == 'S') return Wait::Aborted;
        if (waited == 0 && event == 'A') return Wait::Answered;
        if (restartOnKey && event == 'K') start = plat::MonotonicMs();
    }
    return Wait::TimedOut;
}

// A format word followed by its value ("MIN04", "ENTRYM1F", "DICO12,34").
const char* After(const char* format, const char* word) {
    const char* at = std::strstr(format, word);
    return at != nullptr ? at + std::strlen(word) : nullptr;
}

void CardWatch(int function, uint8_t mode) {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr || box->selectCardWatch == 0) return;
    CardReadRecord record{};
    record.mode = mode;
    record.chipRequested = 1;
    record.chipOptions = 0x11;
    TerminalResultArea area{};
    if (EPAP_SetCommand(function, kCardStatusCommand, &record) == 0 && EPAP_SendScriptCommands() == 0)
        EPAP_GetResultEx(function, kCardStatusCommand, kWatchReadMs, kWatchPollMs, &record, &area, 0);
    EPAP_ClearAll();
}

}  // namespace

// ---------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------

const char* TDSP_GetLastText() { return g_hasLastText ? g_lastText.c_str() : nullptr; }

int TDSP_ShowText(ConsoBox*, KT_TEXT_WINDOW*, const char* text, int lines, int width, int lineIndex, int,
                  int clear) {
    if (lines < 1) {
        g_screen.clear();
        g_screenStarted = false;
        return 1;
    }
    if (text == nullptr) return -1;
    std::string line(text);
    if (width >= 0 && line.size() > static_cast<size_t>(width)) line.resize(static_cast<size_t>(width));
    if (line.find_first_not_of(' ') != std::string::npos) {
        g_lastText = line;
        g_hasLastText = true;
    }
    if (!g_screenStarted) {
        g_screen.clear();
        g_screenStarted = true;
    }
    if (clear != 0) g_screen = kEsc + "H";
    g_screen += kEsc + "P" + static_cast<char>(lineIndex + 1) + '\x01' + line;
    int status = 0;
    if (lineIndex + 1 == lines) {
        std::memset(&g_block, 0, sizeof g_block);
        g_block.kind = TERM_DISPLAY_TEXT;
        // The screen text fits the record beside its four other fields.
        const size_t room = kTermDisplayTextMax - (3 + 1 + 1 + 1 + 1);
        if (g_screen.size() > room) {
            WSysError("<< WARN. >> TDSP_ShowText : ecran de %d octets coupe a %d", static_cast<int>(g_screen.size()),
                      static_cast<int>(room));
            g_screen.resize(room);
        }
        TermDisplay_SetFields(&g_block, {"00", "", g_screen, "", ""});
        g_screen.clear();
        g_screenStarted = false;
        status = EPAP_SetCommand(kDisplay, kTextCommand, &g_block);
        if (status == 0 && ISAP_GetImmediateMode() == 1) {
            status = EPAP_SendScriptCommands();
            if (status == 0) {
                const Wait w = WaitAnswer(kShowWaitMs, false);
                if (w == Wait::Aborted) {
                    EPAP_ClearAll();
                    return -1;
                }
                if (w == Wait::Answered) status = EPAP_GetResult(kDisplay, kTextCommand, &g_block);
            }
        }
    }
    EPAP_ClearAll();
    return status == 0 ? 1 : -1;
}

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

int TDSP_GetEntry(ConsoBox*, int, int timeoutMs, int row, int column, int length, char* value, const char* format,
                  char* key) {
    if (value == nullptr || format == nullptr || key == nullptr) return -1;
    *key = static_cast<char>(255);
    length = std::clamp(length, 0, kLargestTwoDigits);
    const bool ruda = IsRuda();
    KttdEntryFormat words;
    KTTD_ParseEntryFormat(&words, format);
    const bool secret = std::strstr(format, "SECRET") != nullptr;

    std::memset(&g_block, 0, sizeof g_block);
    std::string screen;
    if (const char* dico = After(format, "DICO")) {
        unsigned first = 0, second = 0;
        if (std::sscanf(dico, "%02x,%02x", &first, &second) == 2)
            screen += kEsc + '\x18' + static_cast<char>(first) + static_cast<char>(second);
    }
    if (value[0] != '\0') {
        const size_t room = static_cast<size_t>(std::max(0, kPromptRoom - length));
        screen += kEsc + "P" + static_cast<char>(row) + static_cast<char>(length + 2) +
                  std::string(value, strnlen(value, room));
    }
    screen += kEsc + "P" + static_cast<char>(row) + static_cast<char>(column);
    // Minimum length: OBL, then MIN and two digits, then TOT; the last found
    // wins.
    int minimum = words.mandatory != 0 ? 1 : 0;
    if (const char* min = After(format, "MIN"); min != nullptr && std::isdigit(static_cast<unsigned char>(min[0])) &&
                                                 std::isdigit(static_cast<unsigned char>(min[1])))
        minimum = (min[0] - '0') * 10 + (min[1] - '0');
    if (words.total != 0) minimum = length;
    const char formatChar = std::strstr(format, "3DECI") != nullptr   ? 'W'
                            : std::strstr(format, "2DECI") != nullptr ? 'V'
                                                                      : '0';
    if (const char* flags = After(format, "ENTRYM"))
        g_block.entryFlags[0] = static_cast<uint8_t>(std::strtoul(flags, nullptr, 16));
    const std::string time = TimeField(timeoutMs / 100);
    if (!TermDisplay_SetFields(&g_block, {"00", "", screen, "", "", std::string(1, formatChar), "1",
                                          secret ? "*" : "0", TwoDigits(minimum), TwoDigits(length), time, time,
                                          ""})) {
        WSysError("-- ERROR -- TDSP_GetEntry : saisie trop longue pour le bloc d'affichage");
        EPAP_ClearAll();
        return -1;
    }
    g_block.kind = TERM_DISPLAY_ENTRY;
    if (ruda && length == 0) {
        g_block.kind = TERM_DISPLAY_KEY_WAIT;
        g_block.keyWaitFlag = 1;
    } else if (ruda && secret) {
        g_block.kind = TERM_DISPLAY_SECRET_ENTRY;
        g_block.secretEntryLength = length;
    }
    int status = EPAP_SetCommand(kDisplay, kEntryCommand, &g_block);
    if (status == 0) status = EPAP_SendScriptCommands();
    if (status != 0) {
        EPAP_ClearAll();
        return -1;
    }
    // A key wait is read at once: the key may be there already.
    bool answered = false;
    if (g_block.kind == TERM_DISPLAY_KEY_WAIT) answered = EPAP_GetResult(kDisplay, kEntryCommand, &g_block) == 0;
    if (!answered) {
        const Wait w = WaitAnswer(static_cast<int64_t>(std::max(timeoutMs, 0)) + kAnswerMarginMs, true);
        if (w == Wait::Aborted) return -1;
        if (w == Wait::Answered) status = EPAP_GetResult(kDisplay, kEntryCommand, &g_block);
    }
    EPAP_ClearAll();
    const int32_t answer = g_block.resultField;
    if (ruda && length == 0) {
        // The terminal stops watching its keys.
        g_block.kind = TERM_DISPLAY_KEY_WAIT;
        g_block.keyWaitFlag = 0;
        if (EPAP_SetCommand(kDisplay, kEntryCommand, &g_block) == 0 && EPAP_SendScriptCommands() == 0)
            EPAP_GetResult(kDisplay, kEntryCommand, &g_block);
        EPAP_ClearAll();
    } else if (length > 0) {
        std::memset(value, ' ', static_cast<size_t>(length));
        value[length] = '\0';
    }
    if (status != 0) return -1;
    if (answer >= '0' && answer <= '9') {
        if (length == 0) *key = static_cast<char>(answer);
    } else if (answer == 'A' || answer == 'C' || answer == 'F' || answer == 'V') {
        *key = static_cast<char>(answer);
        if (answer == 'V' && length > 0) {
            const int n = std::clamp(std::min({g_block.resultLength, kValueMax, length}), 0, kValueMax);
            std::memcpy(value, g_block.resultData, static_cast<size_t>(n));
            value[n] = '\0';
        }
    }
    std::memset(g_block.resultData, 0, sizeof g_block.resultData);
    return 1;
}

int TDSP_WaitKey(int timeoutMs, int, char* key) {
    char none[1] = "";
    return TDSP_GetEntry(nullptr, 0, timeoutMs, 2, 1, 0, none, "TOT", key);
}

// ---------------------------------------------------------------------------
// Selections
// ---------------------------------------------------------------------------

void TDSP_CardWatchOn(int function) { CardWatch(function, 1); }
void TDSP_CardWatchOff(int function) { CardWatch(function, 0); }

int TDSP_SelectItemEx(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int, int, int count, int stride,
                      int defaultItem, const char* title, const char* items, int option, unsigned char* result,
                      int extra) {
    if (result != nullptr) *result = 255;
    const auto fail = [] {
        EPAP_ClearAll();
        TDSP_CardWatchOff(kDisplay);
        return -1;
    };
    TDSP_CardWatchOn(kDisplay);
    EPAP_ClearAll();
    const bool hasTitle = title != nullptr && title[0] != '\0';
    std::memset(&g_block, 0, sizeof g_block);
    g_block.selectionOption = static_cast<uint8_t>(option);
    OpenBlock(hasTitle);
    if (EPAP_SetCommand(kDisplay, kOpenCommand, &g_block) != 0) return fail();

    int width = 16;
    char column = 2;
    if (IsRuda()) {
        width = window != nullptr && window->columns > 0 ? window->columns : 16;
        column = 1;
    }
    int cut = std::min(width, stride);
    if (window != nullptr && window->columns > 0) cut = std::min(cut, static_cast<int>(window->columns));
    cut = std::max(cut, 0);
    const char* pinpad = nullptr;
    if (console != nullptr && console->textManager != nullptr)
        pinpad = TEXT_GetItemText(console->textManager, "MESS_PINPAD");
    std::string list = kEsc + "H" + kEsc + "P\x01\x01" + (pinpad != nullptr && pinpad[0] != '\0' ? pinpad : kDefaultPinpadText);
    count = std::clamp(count, 0, kLargestTwoDigits);
    for (int i = 0; i < count && items != nullptr; ++i) {
        const char* item = items + static_cast<size_t>(i) * static_cast<size_t>(std::max(stride, 0));
        list += kEsc + "P" + static_cast<char>(i + 2) + column + std::string(item, strnlen(item, static_cast<size_t>(cut)));
    }
    char layout[24];
    std::snprintf(layout, sizeof layout, "%02d%02d%02d%02dCF", 1, std::clamp(defaultItem + 1, 0, kLargestTwoDigits),
                  std::clamp(width, 0, kLargestTwoDigits), count);
    const std::string time = TimeField(timeout / 100 + 1);
    g_block.kind = TERM_DISPLAY_SELECT;
    if (!TermDisplay_SetFields(&g_block, {"00", hasTitle ? title : "", list, "", "", layout, time, time})) {
        WSysError("-- ERROR -- TDSP_SelectItem : %d choix trop longs pour le bloc d'affichage", count);
        return fail();
    }
    if (EPAP_SetCommand(kDisplay, kSelectCommand, &g_block) != 0 || EPAP_SendScriptCommands() != 0) return fail();
    const Wait w = WaitAnswer(10 * static_cast<int64_t>(std::max(timeout, 0)) + kAnswerMarginMs, false);
    if (w == Wait::Aborted) {
        TDSP_CardWatchOff(kDisplay);
        return -1;
    }
    int status = 0;
    if (w == Wait::Answered) status = EPAP_GetResult(kDisplay, kSelectCommand, &g_block, extra);
    EPAP_ClearAll();
    if (result != nullptr) *result = status == 0 ? static_cast<unsigned char>(g_block.resultField) : 255;
    TDSP_CardWatchOff(kDisplay);
    return status == 0 ? 1 : -1;
}

int TDSP_SelectItem(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int ignored1, int ignored2, int count,
                    int stride, int defaultItem, const char* title, const char* items, int option,
                    unsigned char* result) {
    return TDSP_SelectItemEx(console, window, timeout, ignored1, ignored2, count, stride, defaultItem, title, items,
                             option, result, 0);
}

int TDSP_SelectItemBasic(ConsoBox* console, KT_TEXT_WINDOW* window, int timeout, int ignored1, int ignored2,
                         int count, int stride, int defaultItem, const char* title, const char* items,
                         unsigned char* result) {
    return TDSP_SelectItemEx(console, window, timeout, ignored1, ignored2, count, stride, defaultItem, title, items, 0,
                             result, 0);
}
