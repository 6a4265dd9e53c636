#include "periph/console_keys.h"

#include "core/trace.h"
#include "platform/clock.h"
#include "platform/console_keyboard.h"

namespace {

constexpr unsigned char kScanCodes[22] = {0x48, 0x50, 0x4D, 0x4B, 0x4F, 0x51, 0x47, 0x49, 0x52, 0x53, 0x3B,
                                          0x3C, 0x3D, 0x3E, 0x3F, 0x40, 0x41, 0x42, 0x43, 0x44, 0x85, 0x86};

struct EscapeTable {
    KttdKeyEscape entries[KTTD_ESCAPE_COUNT];
    EscapeTable() {
        int n = 0;
        for (unsigned char lead : {0x00, 0xE0})
            for (unsigned char scan : kScanCodes) entries[n++] = {{lead, scan}, 2, scan, 1};
        entries[n] = {{0x00, 0x1C}, 2, 13, 1};
    }
};

const EscapeTable& Table() {
    static const EscapeTable table;
    return table;
}

bool g_noKeyboardTraced = false;

void TraceNoKeyboard() {
    if (g_noKeyboardTraced) return;
    g_noKeyboardTraced = true;
    WSysError("<< WARN. >> KTTD_ReadKey : Aucun clavier, les attentes de touche finissent sans touche");
}

// One keystroke within waitMs (negative: no limit) for its first byte: true
// with the key and its extended flag, false when none came (or there is no
// keyboard: *noKeyboard).
bool ReadKeystroke(int flush, int64_t waitMs, unsigned char* key, int* extended, bool* noKeyboard) {
    *noKeyboard = false;
    if (flush) plat::KeyFlush();
    const int first = plat::KeyRead(waitMs);
    if (first < 0) {
        if (first == -2) {
            *noKeyboard = true;
            TraceNoKeyboard();
        }
        return false;
    }
    *key = static_cast<unsigned char>(first);
    *extended = 0;
    // Match states of the table after the first byte: entries at position
    // 1 can still match.
    bool candidate = false;
    for (const KttdKeyEscape& e : Table().entries) candidate = candidate || e.bytes[0] == first;
    if (!candidate) return true;
    // After 0x00 the next byte is always awaited; after 0xE0 only when one
    // is pending (a lone 0xE0 is its own key).
    int next;
    if (first == 0x00) next = plat::KeyRead(-1);
    else next = plat::KeyPending() ? plat::KeyRead(0) : -1;
    if (next < 0) return true;
    *key = static_cast<unsigned char>(next);
    for (const KttdKeyEscape& e : Table().entries) {
        if (e.bytes[0] == first && e.bytes[1] == next) {
            *key = e.key;
            *extended = e.extended;
            break;
        }
    }
    return true;
}

}  // namespace

const KttdKeyEscape* KTTD_EscapeTable() { return Table().entries; }

int KTTD_ReadKey(int flush, int wait, unsigned char* key) {
    unsigned char k = KTTD_KEY_NONE;
    int extended = 0;
    bool noKeyboard = false;
    if (!ReadKeystroke(flush, wait ? -1 : 0, &k, &extended, &noKeyboard)) {
        k = KTTD_KEY_NONE;
        extended = 0;
    }
    if (key != nullptr) *key = k;
    return extended;
}

unsigned char KTTD_MapKey(unsigned char key, int extended) {
    if (extended) {
        switch (key) {
            case 71:
            case 73: return KTTD_KEY_PAGE_UP;
            case 72: return KTTD_KEY_UP;
            case 75: return KTTD_KEY_LEFT;
            case 77: return KTTD_KEY_RIGHT;
            case 79:
            case 80: return KTTD_KEY_DOWN;
            case 81: return KTTD_KEY_PAGE_DOWN;
            case 82: return KTTD_KEY_INSERT;
            case 83: return KTTD_KEY_DELETE;
            default: return key;
        }
    }
    switch (key) {
        case 8: return KTTD_KEY_BACKSPACE;
        case 9: return KTTD_KEY_TAB;
        case 13: return KTTD_KEY_ENTER;
        case 27: return KTTD_KEY_ESCAPE;
        case '+': return KTTD_KEY_PAGE_DOWN;
        case '-': return KTTD_KEY_PAGE_UP;
        default: return key;
    }
}

int KTTD_WaitKey(int seconds, int flush, unsigned char* key) {
    if (key != nullptr) *key = KTTD_KEY_NONE;
    const int64_t start = plat::MonotonicMs();
    unsigned char k = KTTD_KEY_NONE;
    int extended = 0;
    bool noKeyboard = false;
    bool got = ReadKeystroke(flush, seconds < 0 ? -1 : 0, &k, &extended, &noKeyboard);
    if (!got && seconds > 0 && !noKeyboard) {
        // One sleep until a key or the end of the wait (the clock going back
        // ends it too).
        const int64_t end = start + static_cast<int64_t>(seconds) * 1000;
        for (;;) {
            const int64_t now = plat::MonotonicMs();
            if (now < start || now >= end) break;
            got = ReadKeystroke(0, end - now, &k, &extended, &noKeyboard);
            if (got || noKeyboard) break;
        }
    }
    if (!got) return 0;
    if (key != nullptr) *key = KTTD_MapKey(k, extended);
    return 1;
}
