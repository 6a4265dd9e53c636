// Wait callback of the terminal waits, the poll of the cash register during
// them and the echo screen.
#include "transactions/wait_callback.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/pos_link.h"
#include "station/process_options.h"
#include "station/program_hooks.h"
#include "station/server_box.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "transactions/pos_answer.h"
#include "transactions/pos_polling.h"

namespace {

constexpr char kEscape = 0x1B;

// The terminal's display as the terminal echoed it, and as it was last sent
// to the cash register.
struct EchoScreen {
    char lines[kEchoScreenLines][kEchoLineSize];
    char lastSent[kEchoScreenLines][kEchoLineSize];
    int received;      // lines received since the last send
    int displayLines;  // lines of the terminal's display
};
EchoScreen g_screen{{}, {}, 0, 2};

TerminalEventWaitFn g_eventWait = nullptr;

bool Eq(const char* a, const char* b) { return a != nullptr && strcasecmp(a, b) == 0; }

bool Exact(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }

bool ScreenChanged() { return std::memcmp(g_screen.lines, g_screen.lastSent, sizeof g_screen.lines) != 0; }

// The text of a line (from its fifth byte) holds something other than
// blanks.
bool LineHasText(const char* line) {
    const size_t length = strnlen(line, kEchoLineSize);
    for (size_t i = 4; i < length; ++i)
        if (line[i] != ' ') return true;
    return false;
}

bool AnyLineHasText() {
    for (const auto& line : g_screen.lines)
        if (LineHasText(line)) return true;
    return false;
}

// The cash register's answer buffer is not used by the relay: the message is
// built in posRequest and written at once. 1 written, -1 otherwise.
int SendEcho(EFTCBox* c, bool lines, bool keepAlive, char keepAliveCharacter) {
    bool tagged = false;
    if (BuildPosAnswer(c->posRequest, sizeof c->posRequest, "s5", "c27") == 1) {
        bool ok = true;
        if (lines) {
            std::string d34 = "\x1BH";
            for (const auto& line : g_screen.lines) {
                if (!LineHasText(line)) continue;
                const std::string piece(line, strnlen(line, kEchoLineSize));
                if (d34.size() + piece.size() > 250) break;
                d34 += piece;
            }
            ok = TAG_Set("D34", d34.c_str()) == 1;
            std::memcpy(g_screen.lastSent, g_screen.lines, sizeof g_screen.lines);
            g_screen.received = 0;
            std::memset(g_screen.lines, 0, sizeof g_screen.lines);
        }
        if (ok && keepAlive) {
            const char value[2] = {keepAliveCharacter, '\0'};
            ok = TAG_Set("D33", value) == 1;
        }
        tagged = ok && (lines || keepAlive);
    }
    int result = -1;
    if (tagged) {
        const int length = static_cast<int>(strnlen(c->posRequest, sizeof c->posRequest - 1));
        if (ZelDiaWrite(c->posRequest, length, c->posLink, c->posEventFlag, c->posTimeout) > 0) {
            if (c->debugLevel != 0) LogExchange(EXCHANGE_TO_POS, c->posRequest, c->exchangeLogName, c->logSizeKb);
            result = 1;
        }
    }
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    return result;
}

int Refuse(EFTCBox* c) {
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    return -1;
}

// A display command echoed by the terminal ('D', length, escape ...).
int DealDisplayEcho(EFTCBox* c, const unsigned char* text) {
    const int length = text[1];
    if (length < 2 || text[2] != kEscape) return -1;
    if (text[3] == 'H') {
        if (g_screen.received > 0 && ScreenChanged()) return SendEcho(c, AnyLineHasText(), false, 0);
        return Refuse(c);
    }
    if (text[3] != 'P' || length < 5) return -1;
    // Only the lines that the terminal's display has: another line number
    // would land outside the echo screen.
    const int line = text[4];
    const int lines = std::min(g_screen.displayLines, kEchoScreenLines);
    if (line < 1 || line > lines) {
        TraceLog(TRACE_WARN, "[ECHO]", "Ligne d'affichage %d hors de l'ecran du lecteur (%d lignes)", line, lines);
        return Refuse(c);
    }
    char* slot = g_screen.lines[line - 1];
    const int copied = std::min(length, kEchoLineSize - 1);
    std::memcpy(slot, text + 2, static_cast<size_t>(copied));
    slot[copied] = '\0';
    ++g_screen.received;
    if (line == lines && ScreenChanged()) return SendEcho(c, AnyLineHasText(), false, 0);
    return Refuse(c);
}

// A change of the terminal's state ('P', 'P', '0' or '1') goes to the cash
// register as a flash information. The echo is read within its 130 bytes:
// the terminal does not always end it.
int DealStateEcho(EFTCBox* c, TransactionRecord* r, const char* text) {
    const int state = text[2] - '0';
    if (state == r->lastFlashState) return -1;
    r->lastFlashState = state;
    const std::string echo(text, strnlen(text, kTerminalEchoSize));
    if (BuildPosAnswer(c->posAnswer, sizeof c->posAnswer, "s11", r->command) == 1 && TAG_Set("RS", "01") == 1 &&
        TAG_Set("D16", "00_0000") == 1 && TAG_Set("D3G", echo.c_str()) == 1) {
        ZelDiaPoll(c);
    } else {
        std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    }
    return 1;
}

void StopWait(char* text) {
    if (text != nullptr) text[0] = 'S';
}

// Aborts the transaction the cash register or the pad asked to abort.
void CarryOutAbort(EFTCBox* c, int poll) {
    TOC_CloseServer(c);
    EPAP_SetWaitCallback(nullptr);
    if (poll == -2) {
        if (Options.ActivateFIRAI == 0x7F) {
            SendPosResult(6);
            TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_SYS_ERR_ABORT");
            c->abortCode = 3;
        } else {
            AbortTransaction("9001", 1);
        }
    } else if (poll == -5) {
        AbortTransaction("9001", 2);
    } else {
        AbortTransactionWithEchoPurge(1);
    }
    EPAP_SetWaitCallback(WaitCallback);
}

// The waiting screen of the transaction on "P5", after the menu.
void ShowWaitingScreen(TransactionRecord* r) {
    if (Options.IsConcurrentCheckCard != 0) {
        TOC_DisplayById("P5", nullptr, "ZNP_DSP_USER_WAIT_FOR_CONCURRENT");
    } else if (Exact(r->service, "s0")) {
        TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_CARD_IN");
    } else if (Exact(r->service, "s1")) {
        TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_CHECK_READING");
    }
}

}  // namespace

void EchoScreenClear() {
    std::memset(g_screen.lines, 0, sizeof g_screen.lines);
    std::memset(g_screen.lastSent, 0, sizeof g_screen.lastSent);
    g_screen.received = 0;
}

void EchoScreenReset(int displayLines) {
    EchoScreenClear();
    g_screen.displayLines = displayLines > 0 ? displayLines : 2;
}

int EchoScreenDisplayLines() { return g_screen.displayLines; }

void SetTerminalEventWait(TerminalEventWaitFn wait) { g_eventWait = wait; }

int WaitTerminalEvent(int function, int waitMs, char* event) {
    return g_eventWait != nullptr ? g_eventWait(function, waitMs, event) : EPAP_WaitEvent(function, waitMs, event);
}

int PollDuringWait() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    if (Options.TouchMode == 0 && KTS_GetWindow(c->box, "P5") != nullptr && Options.SpecialMenu == 1) {
        const int key = TOC_ZoneWaitKey("P5", 100, 0);
        ISAP_ClearAll();
        if (key == 'C') {
            TraceLog(TRACE_INFO, "[ECHO]", "Entree dans le menu cache");
            RunHiddenServiceMenu();
            if (c->abortCode == 1 || c->abortCode == 2) return -2;
            if (Options.SpecialMenu == 2) return -4;
            ShowWaitingScreen(r);
            return 0;
        }
        if (c->abortCode == 1 || c->abortCode == 2 || key == 'A') {
            Options.SpecialMenu = 3;
            return c->abortCode == 1 ? -2 : c->abortCode == 2 ? -3 : -5;
        }
        return 0;
    }
    if (Eq(r->command, "c1i")) return 0;
    if (ZelDiaRead(c->posRequest, sizeof c->posRequest, c->posLink, 10) <= 0 || c->posRequest[0] == '\0') return 0;
    if (c->debugLevel != 0) LogExchange(EXCHANGE_FROM_POS, c->posRequest, c->exchangeLogName, c->logSizeKb);
    TraceLog(TRACE_INFO, "[ECHO]", "Requete a traiter lors d'un traitement en cours: %s", c->posRequest);
    TAG_InitRead(c->posRequest, sizeof c->posRequest, 0);
    const bool request = Exact(TAG_GetString("SS", 1), "R");
    const std::string sv = TAG_GetString("SV", 1) != nullptr ? TAG_GetString("SV", 1) : "";
    const std::string cd = TAG_GetString("CD", 1) != nullptr ? TAG_GetString("CD", 1) : "";
    if (request && sv == "s3" && cd == "c0") {
        if (Exact(TAG_GetString("D9C", 1), "1")) return -6;
        TraceLog(TRACE_INFO, "[POS]", "Abandon demande");
        return -2;
    }
    if (request && sv == "s3" && cd == "c99") {
        TraceLog(TRACE_INFO, "[POS]", "Fermeture du client demande");
        return -3;
    }
    if (Eq(sv.c_str(), "s11")) {
        TraceLog(TRACE_INFO, "[POS]", "Flash info recu");
        TOC_TakePosFlash(c, c->posRequest);
        SendPosResult(0);
        return 0;
    }
    return 1;
}

void WaitCallback(char* text) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    const int poll = PollDuringWait();
    switch (poll) {
        case -4: StopWait(text); return;
        case -3: CloseClient(nullptr, false);
        case -2:
        case -5:
        case -6:
            if (c->abortInhibition == 1) {
                SendPosResult(6);
                break;
            }
            CarryOutAbort(c, poll);
            if (poll == -2) c->abortInCallback = 1;
            StopWait(text);
            return;
        case 1: SendPosResult(5); break;
        default: break;
    }

    c->posEventFlag = g_processOptions.generateEvents;
    const unsigned char empty[kTerminalEchoSize] = {};
    const unsigned char* echo = text != nullptr ? reinterpret_cast<const unsigned char*>(text) : empty;
    if (echo[0] == 'D') {
        if ((g_processOptions.echoMode & 1) == 0) return;
        DealDisplayEcho(c, echo);
        return;
    }
    if (echo[0] == 'P') {
        if (echo[1] == 'P' && (echo[2] == '0' || echo[2] == '1')) DealStateEcho(c, r, text);
        return;
    }
    bool lines = false;
    if (g_screen.received > 0 && ScreenChanged()) lines = AnyLineHasText();
    bool keepAlive = false;
    if (echo[0] == 'K' && (g_processOptions.echoMode & 2) != 0) {
        keepAlive = true;
        r->echoTimeoutMs = r->keepAliveSec * 1000 + 2500;
    }
    if (lines || keepAlive) {
        SendEcho(c, lines, keepAlive, static_cast<char>(echo[2]));
        return;
    }
    std::memset(c->posRequest, 0, sizeof c->posRequest);
}
