// The hidden service menu of "P5": manual entries, the offline upload and
// the maintenances asked by hand.
#include "app/hidden_menu.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "offline/offline_services.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_box.h"
#include "station/text_field.h"
#include "transactions/manual_entry.h"
#include "transactions/server_dialogue.h"

namespace {

constexpr int kMenuWaitMs = 600000;

bool Eq(const char* a, const char* b) { return a != nullptr && strcasecmp(a, b) == 0; }

struct MenuEntry {
    const char* textId;
    int code;
};

constexpr int kLeaveMenu = 99;

bool OfflineTransactionsWaiting(EFTCBox* c) {
    int stored = 0, sent = 0, refused = 0;
    return TOF_TrsFileGetState(c, &stored, &sent, &refused) > 0 && stored > 0 && stored > sent;
}

int BuildMenu(EFTCBox* c, TransactionRecord* r, MenuEntry (&entries)[6]) {
    int count = 0;
    entries[count++] = {Options.TouchMode == 1 ? "ZNP_DSP_USER_SEL_ENTRY_AUTO" : "ZNP_DSP_USER_SEL_ENTRY_CANCEL",
                        kLeaveMenu};
    const bool both = c->readerSlots[2] != 0;
    if ((Options.ManualMode & 1) != 0 && (Eq(r->service, "s0") || Eq(r->service, "s7") || both))
        entries[count++] = {"ZNP_DSP_USER_SEL_ENTRY_MANUAL_CARD", 1};
    if ((Options.ManualMode & 2) != 0 && (Eq(r->service, "s1") || Eq(r->service, "s7") || both))
        entries[count++] = {"ZNP_DSP_USER_SEL_ENTRY_MANUAL_CHECK", 2};
    if (OfflineLevel != 0 && OfflineTransactionsWaiting(c)) entries[count++] = {"ZNP_DSP_USER_SEL_ENTRY_OFFLINE", 3};
    if ((Options.TelechMode & 1) != 0) entries[count++] = {"ZNP_DSP_USER_SEL_ENTRY_FACTORY", 4};
    if ((Options.TelechMode & 2) != 0) entries[count++] = {"ZNP_DSP_USER_SEL_ENTRY_NORMAL", 5};
    if ((Options.TelechMode & 4) != 0) entries[count++] = {"ZNP_DSP_USER_SEL_ENTRY_LOGO", 6};
    return count;
}

const char* ConfirmationOf(int code) {
    switch (code) {
        case 1:
        case 2: return "ZNP_DSP_USER_SEL_CONFIRM_MANUAL";
        case 3: return "ZNP_DSP_USER_SEL_CONFIRM_OFFLINE";
        case 4: return "ZNP_DSP_USER_SEL_CONFIRM_FACTORY";
        case 5: return "ZNP_DSP_USER_SEL_CONFIRM_NORMAL";
        default: return "ZNP_DSP_USER_SEL_CONFIRM_LOGO";
    }
}

// The maintenance asked from the menu replaces the running request.
void StartMaintenance(EFTCBox* c, TransactionRecord* r, int code) {
    static const char* const kTraces[] = {"Maintenance forcee choisie", "Maintenance normale choisie",
                                          "Chargement du logo choisi"};
    TraceLog(TRACE_INFO, "[MENU]", "%s", kTraces[code - 4]);
    const char* cd = code == 6 ? "c1d" : "c1c";
    CopyField(r->service, "s2");
    CopyField(r->command, cd);
    LoadTagMessage(c->posRequest, sizeof c->posRequest, 1);
    TAG_Set("SS", "R");
    TAG_Set("PS", r->station);
    TAG_Set("SV", "s2");
    TAG_Set("CD", cd);
    if (code == 4) {
        TAG_Set("D3C", "1");
        TAG_Set("D2R", "8");
    } else {
        TAG_Set("D49", code == 5 ? "0" : "1");
    }
    EFTOC_StartTimer(c, 7200);
    EFTOC_SetApplicationCode(c, "1500");
    r->step = 0;
    c->loopState = 10;
    Options.SpecialMenu = 2;
}

void StartManualEntry(EFTCBox* c, TransactionRecord* r, int code) {
    if (code == 2) {
        SetChequeMode();
        // No cheque reader is driven yet: there is no cheque to eject.
        CopyField(r->service, "s1");
        if (LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) == 1) TAG_Replace("SV", "s1");
    }
    TraceLog(TRACE_INFO, "[MENU]", "Saisie manuelle choisie");
    Options.SpecialMenu = 2;
    int entered = 1;
    if (Eq(r->service, "s1"))
        entered = EnterChequeManually();
    else if (Eq(r->service, "s0") || Eq(r->service, "s7"))
        entered = EnterCardManually();
    if (entered != 0) {
        r->step = 10;
        CopyField(r->resultCode, "33");
    }
}

}  // namespace

void HiddenServiceMenu() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    Options.SpecialMenu = 3;
    KT_TEXT_WINDOW* p5 = KTS_GetWindow(c->box, "P5");
    if (p5 == nullptr) {
        TOC_ZonePrintf("P5", "CONTEXTE INCOHERENT");
        return;
    }
    for (;;) {
        ISAP_ClearAll();
        MenuEntry entries[6];
        const int count = BuildMenu(c, r, entries);
        const int stride = std::max(p5->columns, 2);
        // The items and an empty format text after them.
        char* items = static_cast<char*>(WAlloc(static_cast<size_t>(count) * stride + 1));
        if (items == nullptr) {
            TOC_ZonePrintf("P5", "CONTEXTE INCOHERENT");
            return;
        }
        for (int i = 0; i < count; ++i) {
            char text[256] = {};
            const char* shown = TOC_GetPosmTexts(entries[i].textId, text, nullptr, nullptr, sizeof text) == 1
                                    ? text
                                    : entries[i].textId;
            std::snprintf(items + static_cast<size_t>(i) * stride, static_cast<size_t>(stride), "%.*s", stride - 1,
                          shown);
        }
        const int choice = count >= 2 ? TOC_ZoneWaitSelection("P5", kMenuWaitMs, count, stride, 0, "", items) : 1;
        WFree(items);
        ISAP_ClearAll();
        if (c->abortCode != 0) return;
        TraceLog(TRACE_INFO, "[MENU]", "Saisie : %x", static_cast<unsigned>(choice));
        if (choice == 255 || choice < 1 || choice > count) {
            TraceLog(TRACE_INFO, "[MENU]", "Abandon de la saisie");
            return;
        }
        const int code = entries[choice - 1].code;
        if (code == kLeaveMenu) return;
        TOC_DisplayById("P5", nullptr, ConfirmationOf(code));
        const int key = TOC_ZoneWaitKey("P5", kMenuWaitMs, 0);
        ISAP_ClearAll();
        if (c->abortCode != 0) return;
        if (key != 'V') continue;
        if (code == 1 || code == 2) {
            StartManualEntry(c, r, code);
        } else if (code == 3) {
            TraceLog(TRACE_INFO, "[MENU]", "Remontee des transactions degradees choisie");
            Offline_UploadTransactions(0);
            SpoolServerTicket();
            c->loopState = 40;
            r->step = 10;
            Options.SpecialMenu = 2;
            CopyField(r->resultCode, "33");
        } else {
            StartMaintenance(c, r, code);
        }
        return;
    }
}
