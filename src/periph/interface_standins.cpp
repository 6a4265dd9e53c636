// The interface operations that the console's windows and events run, at
// their least until the interface script engine builds them: a window of
// the POS GUI (resources 45 and 46) runs its display, key wait or entry with
// the cash register at once, as its selection does; no other window is
// shown by an interface resource.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "protocols/pv_status.h"

namespace {

constexpr int kExecutorFailed = 16;
constexpr int kFieldSize = 129;

// The last command of each kind: its window, status and result.
struct Last {
    const KT_TEXT_WINDOW* window = nullptr;
    int status = PV_PER_ACCES;
    unsigned char key = 255;
    char text[kFieldSize] = {};
};
Last g_display, g_touch, g_datum;

ConsoBox* Console() {
    KT_IPERIPH_API* box = SAP_GetBox();
    return box != nullptr ? box->console : nullptr;
}

// Milliseconds of the console's time-out (seconds).
int TimeoutMs(const ConsoBox* console) {
    if (console == nullptr) return 0;
    if (console->timeout < 0) return -1;
    return console->timeout > 2000000 ? 2000000000 : console->timeout * 1000;
}

}  // namespace

void SAP_ConsoleFreed(const ConsoBox* console) {
    KT_IPERIPH_API* box = SAP_GetBox();
    if (box != nullptr && console != nullptr && box->console == console) box->console = nullptr;
}

int ISAP_IsWindowBound(const KT_TEXT_WINDOW* window) {
    if (SAP_GetBox() == nullptr || Console() == nullptr || window == nullptr) return 1;
    return ISAP_PosGuiOf(window) != nullptr ? PV_ALL_FINE : PV_PER_UNKNOWN;
}

int ISAP_SetDisplayCommand(KT_TEXT_WINDOW* window) {
    g_display = Last{};
    g_display.window = window;
    const PosGuiExecutors* gui = ISAP_PosGuiOf(window);
    ConsoBox* console = Console();
    if (gui == nullptr || gui->display == nullptr || window->text == nullptr || console == nullptr)
        return g_display.status;
    // The lines that hold text go to the cash register, the first one
    // clearing its display.
    std::vector<std::string> lines;
    std::vector<int> rows;
    for (int i = 0; i < window->rows; ++i) {
        std::string line(TWI_GetLine(window, i), static_cast<size_t>(window->text->width));
        line.erase(line.find_last_not_of(' ') + 1);
        if (line.empty()) continue;
        lines.push_back(line);
        rows.push_back(i);
    }
    if (lines.empty()) {
        lines.emplace_back();
        rows.push_back(0);
    }
    g_display.status = PV_ALL_FINE;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (gui->display(console, window, lines[i].c_str(), window->rows, window->columns, rows[i], 0,
                         i == 0 ? 1 : 0, 0) < 0) {
            g_display.status = kExecutorFailed;
            break;
        }
    }
    return PV_ALL_FINE;
}

int ISAP_GetDisplayResult(KT_TEXT_WINDOW* window) {
    return window != nullptr && window == g_display.window ? g_display.status : PV_PER_ACCES;
}

int ISAP_SetTouchCommand(KT_TEXT_WINDOW* window, int wait, int flush) {
    g_touch = Last{};
    g_touch.window = window;
    const PosGuiExecutors* gui = ISAP_PosGuiOf(window);
    ConsoBox* console = Console();
    if (gui == nullptr || gui->key == nullptr || console == nullptr) return g_touch.status;
    char key = 'A';
    if (gui->key(wait ? TimeoutMs(console) : 0, flush, &key) < 1) {
        g_touch.status = PV_ALL_FINE;
        return PV_ALL_FINE;
    }
    g_touch.status = PV_ALL_FINE;
    g_touch.key = static_cast<unsigned char>(key);
    return PV_ALL_FINE;
}

int ISAP_GetTouchResult(KT_TEXT_WINDOW* window, unsigned char* key) {
    if (key != nullptr) *key = 255;
    if (window == nullptr || window != g_touch.window) return PV_PER_ACCES;
    if (key != nullptr) *key = g_touch.key;
    return g_touch.status;
}

int ISAP_SetDatumCommand(KT_TEXT_WINDOW* window, int row, int column, int width, const char* field,
                         const char* format) {
    g_datum = Last{};
    g_datum.window = window;
    const PosGuiExecutors* gui = ISAP_PosGuiOf(window);
    ConsoBox* console = Console();
    if (gui == nullptr || gui->entry == nullptr || console == nullptr || width < 0 || width >= kFieldSize)
        return g_datum.status;
    if (field != nullptr) std::snprintf(g_datum.text, sizeof g_datum.text, "%s", field);
    char key = 'A';
    g_datum.status = PV_ALL_FINE;
    if (gui->entry(console, window, TimeoutMs(console), row, column, width, g_datum.text, format, &key) < 0)
        return PV_ALL_FINE;
    g_datum.key = static_cast<unsigned char>(key);
    return PV_ALL_FINE;
}

int ISAP_GetDatumResult(KT_TEXT_WINDOW* window, unsigned char* key, char* text, int capacity) {
    if (key != nullptr) *key = 255;
    if (window == nullptr || window != g_datum.window) return PV_PER_ACCES;
    if (key != nullptr) *key = g_datum.key;
    if (g_datum.key == 255 || text == nullptr) return g_datum.status;
    const int length = static_cast<int>(std::strlen(g_datum.text));
    if (capacity >= 0 && length + 1 > capacity) return PV_PER_ACCES;
    std::memcpy(text, g_datum.text, static_cast<size_t>(length) + 1);
    return g_datum.status;
}

void TWIP_IncAnswerCount() {}
