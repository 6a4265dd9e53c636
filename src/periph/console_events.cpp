#include "periph/console_events.h"

#include <cstdint>
#include <cstdio>

#include "core/helpers.h"
#include "core/trace.h"
#include "periph/console_dialogue.h"
#include "periph/console_keys.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "protocols/pv_status.h"

namespace {

TwaeEvent* g_event = nullptr;

// Where a wait on the window runs.
enum class Where { Keyboard, Interface, Nowhere };

Where WhereOf(const KT_TEXT_WINDOW* window) {
    switch (window->resource) {
        case 41: return ISAP_IsWindowBound(window) != 0 ? Where::Keyboard : Where::Interface;
        case 45:
        case 47:
        case 61:
        case 65:
        case 67: return Where::Interface;
        default: return Where::Nowhere;
    }
}

// Reads an interface result again while it is not there yet, for at most
// the console's time-out (seconds) plus 500 ms from the first read.
template <typename Read>
void ReadUntilThere(const ConsoBox* console, Read read) {
    const WTimeStamp start = WGetTimeStamp();
    const int64_t limit = static_cast<int64_t>(console->timeout) * 1000 + 500;
    const int32_t limitMs = limit > INT32_MAX ? INT32_MAX : static_cast<int32_t>(limit);
    while (read() == PV_NET_TIMEOUT && WIsTimeOut(start, limitMs) == 0) TWIP_IncAnswerCount();
}

// Fills the event record with a key: 1, or -1 (and the failure traced)
// when it cannot be made.
int Record(ConsoBox* console, unsigned char key, const char* failure) {
    if (g_event == nullptr) {
        g_event = static_cast<TwaeEvent*>(WAlloc(sizeof(TwaeEvent)));
        if (g_event == nullptr) {
            WSysError("%s", failure);
            return -1;
        }
    }
    std::snprintf(g_event->document, sizeof g_event->document, "%s", console->identifier);
    std::snprintf(g_event->element, sizeof g_event->element, "%s", console->currentWindow);
    std::snprintf(g_event->type, sizeof g_event->type, "%s", "COMMANDE");
    g_event->key = key;
    return 1;
}

bool CancelKey(unsigned char key) { return (key & 0xF0) == 0xD0; }

}  // namespace

int TWAE_Action(ConsoBox* console, const char* name, int timeout, int flush) {
    if (console == nullptr) return 0;
    console->timeout = timeout;
    unsigned char key = KTTD_KEY_NONE;
    KT_TEXT_WINDOW* window = KTCONSOL_FindFenetre(console, name);
    if (console->debug) WSysError("** INFO. ** TWAE_Action : Attente Event Client?");
    if (window != nullptr) {
        switch (WhereOf(window)) {
            case Where::Keyboard: KTTD_WaitKey(timeout > 0 ? console->timeout : 0, flush, &key); break;
            case Where::Interface:
                ISAP_SetTouchCommand(window, timeout > 0 ? 1 : 0, flush);
                ReadUntilThere(console, [&] { return ISAP_GetTouchResult(window, &key); });
                break;
            case Where::Nowhere: break;
        }
    }
    if (console->debug) WSysError("** INFO. ** TWAE_Action :  Message Action  =%d", key);
    if (key == KTTD_KEY_NONE) return 0;
    if (CancelKey(key)) return -1;
    if (Record(console, key, "-- ERROR -- TWAE_Action : : Echec Allocation Event..") != 1) return -1;
    if (console->debug)
        WSysError("** INFO. ** TWAE_Action Event  ->   Type=%s Id=%x Provenance -> DOC=%s ELT=%s ", g_event->type,
                  g_event->key, g_event->document, g_event->element);
    return 1;
}

int TWAE_Info(ConsoBox* console, const char* name, int row, int column, int width, char* field, int capacity,
              const char* format) {
    if (console == nullptr) return 0;
    unsigned char key = KTTD_KEY_NONE;
    KT_TEXT_WINDOW* window = KTCONSOL_FindFenetre(console, name);
    if (console->debug) WSysError("** INFO. ** TWAE_Info : Attente Info Client?");
    // The entry writes width characters and a NUL into the caller's field.
    const bool fits = field != nullptr && width >= 0 && width < capacity;
    if (window != nullptr && fits) {
        switch (WhereOf(window)) {
            case Where::Keyboard:
                KTTD_GetEntry(console, window, console->timeout, row, column, width, field, format, &key);
                break;
            case Where::Interface:
                ISAP_SetDatumCommand(window, row, column, width, field, format);
                ReadUntilThere(console, [&] { return ISAP_GetDatumResult(window, &key, field, capacity); });
                break;
            case Where::Nowhere: break;
        }
    }
    if (console->debug) WSysError("** INFO. ** TWAE_Info :  Message Action  =%d", key);
    if (key == KTTD_KEY_NONE) return 0;
    if (CancelKey(key)) return -1;
    if (Record(console, key, "-- ERROR -- TWAE_Info : Echec Allocation Event..") != 1) return -1;
    if (console->debug)
        WSysError("** INFO. ** TWAE_Info :  Event  ->   Type=%s Id=%x Provenance -> DOC=%s ELT=%s ", g_event->type,
                  g_event->key, g_event->document, g_event->element);
    return key == KTTD_KEY_ENTER || key == KTTD_KEY_TAB ? 2 : 1;
}

int TWAE_GetEventKey() { return g_event != nullptr ? g_event->key : 255; }
