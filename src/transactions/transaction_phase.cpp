#include "transactions/transaction_phase.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "comm/message_box.h"
#include "core/card_masking.h"
#include "core/helpers.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "protocols/pv_status.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_box.h"
#include "station/text_field.h"
#include "transactions/card_acquisition.h"
#include "transactions/manual_entry.h"
#include "transactions/pos_answer.h"
#include "transactions/pos_polling.h"
#include "transactions/server_messages.h"
#include "transactions/terminal_commands.h"
#include "transactions/wait_callback.h"

uint8_t EchoTimerArmed = 1;

namespace {

WTimeStamp g_echoStart{};
// A socket-cut message ("9999") that was waiting on the server connection at
// the start of the transaction.
bool g_pendingCut = false;

constexpr int kRudaProtocol = 16;

void SetResult(TransactionRecord* r, const char* rs) {
    std::snprintf(r->resultCode, sizeof r->resultCode, "%s", rs);
}

// Reads the messages already received on the server connection, dropping
// them, until none is left or one is a socket cut.
bool SocketCutPending(EFTCBox* c) {
    if (Options.ConnectedMode != 1) return false;
    ANIBox* annex = c->serverBox;
    if (annex == nullptr || annex->box == nullptr || annex->box->mess == nullptr) return false;
    KTS_SetAnnexTimeOut(annex, 1);
    for (int dropped = 0; dropped < 1000; ++dropped) {
        const char* type = KTX_SomeThingReceived(annex->box->mess, 0);
        if (type == nullptr) return false;
        if (std::strcmp(type, "9999") == 0) {
            TraceLog(TRACE_WARN, "[SERVER]", "Coupure de la connexion serveur en attente");
            return true;
        }
    }
    return false;
}

int StartStep(EFTCBox* c) {
    ISAP_ClearAll();
    EPAP_ClearAll();
    std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
    std::memset(c->serverRequest, 0, sizeof c->serverRequest);
    std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    RegisterLogMasking(nullptr, nullptr, 1);
    g_pendingCut = SocketCutPending(c);
    if (CardMode == 0) {
        // The cheque path is not built: the request is taken and ends with
        // the reader unreachable.
        TransactionRecord* r = GetTransactionRecord();
        ResetTransactionGlobals();
        SaveRequestServiceCommand(r->service, r->command);
        c->abortInCallback = 0;
        SendPosResult(0);
        r->posAnswerState = 1;
        TraceLog(TRACE_WARN, "[CHEQUE]", "Transaction cheque impossible: aucun lecteur configure (SV %s CD %s)",
                 r->service, r->command);
        SetResult(r, "32");
        c->loopState = 100;
        return 0;
    }
    StartCardTransaction();
    // A start that already ended the request (an answer or maintenance
    // ahead) does not ask the printer.
    if (c->loopState != 40) return 0;
    return CheckPaperBeforeStart();
}

}  // namespace

int CheckPaperBeforeStart() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    if (Options.CheckPaperBeforeStartTrs != 1 || (Options.PosGuiOptions & 0x6000) == 0 ||
        EPAP_GetProtocol(4) != kRudaProtocol)
        return 0;
    TermGetInfo(0, 0);
    const char version = r->terminalInfo.parts[0].applicationVersion[0];
    int status = TermGetPrintStatus(version >= '6' ? 1 : 0);
    if (status == 2) {
        // Status unknown: a line of blanks tells whether the paper is there.
        const KT_TEXT_WINDOW* e6 = KTS_GetWindow(c->box, "E6");
        const std::string blanks(static_cast<size_t>(1 + (e6 != nullptr ? e6->columns : 0) + 25), ' ');
        status = TermPrintLine(blanks.c_str(), static_cast<int>(blanks.size()));
    }
    if (status == 0) return 0;
    HTML_DisplayMessage("talvo/xxdmess.html", "ZNP_DSP_HOLDER_APP_ERR_PRINT_NO_PAPER", "error");
    WSleep(2000);
    c->loopState = 102;
    return status;
}

namespace {

// Step 2: one event wait of the terminal's echo.
void EchoWaitStep(EFTCBox* c, TransactionRecord* r) {
    if (EchoTimerArmed == 1) WGetTimeStamp(&g_echoStart);
    EchoTimerArmed = 0;
    char event[130] = {};
    const int function = c->terminalFunction != 0 ? c->terminalFunction : 4;
    const int status = WaitTerminalEvent(function, 200, event);
    bool answered = false;
    if (status == 0) {
        if (event[0] == 'A') {
            TraceLog(TRACE_INFO, "[CARD]", "Reponse provenant du peripherique");
            answered = true;
        } else if (event[0] == 'K') {
            WGetTimeStamp(&g_echoStart);
        }
        if (EPAP_GetProtocol(4) != kRudaProtocol)
            TraceLog(TRACE_WARN, "[CARD]", "Autre Echo lecteur recu : %c", event[0] != '\0' ? event[0] : ' ');
    }
    if (status == PV_PER_RESET || c->abortCode == 3) {
        if (Options.SpecialMenu == 2) return;
        // The acknowledgement went out and no final answer yet: the cash
        // register still gets one, "33" after an abort, else "32".
        if (r->posAnswerState == 1) {
            // The acknowledgement still waiting for a poll goes first.
            if (c->posAnswer[0] != '\0')
                SendPosAnswer(c->posAnswer, sizeof c->posAnswer, 0, c->posTimeout);
            SetResult(r, c->abortCode == 3 ? "33" : "32");
            TraceLog(TRACE_WARN, "[CARD]", "Transaction abandonnee pendant l'attente d'echo (RS %s)",
                     r->resultCode);
            if (c->abortCode == 3) {
                BuildAbortAnswer();
                c->loopState = 0;
            } else {
                c->loopState = 100;
            }
        } else {
            c->loopState = 0;
        }
        r->step = 0;
        EchoTimerArmed = 1;
        return;
    }
    if (status == PV_NET_FAILED) {
        // The terminal's line is gone: nothing can come any more. The wait
        // ends at once as a terminal failure (after the authorisation, in the
        // card removal, the payment's result stays).
        TraceLog(TRACE_ERROR, "[CARD]", "Liaison avec le lecteur perdue pendant l'attente d'echo");
        if (r->processingMode != 4) ReportTerminalResult(PV_PER_ACCES);
        r->step = 10;
        EchoTimerArmed = 1;
        return;
    }
    if (!answered) {
        if (!WIsTimeOut(g_echoStart, r->echoTimeoutMs)) return;
        r->echoTimedOut = 1;
    }
    r->step = 3;
    EchoTimerArmed = 1;
}

}  // namespace

int8_t SecondPassState() { return static_cast<int8_t>(Options.ActivateFIRAI); }

int RunTransactionPhase() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;
    if (SecondPassState() != -1) {
        if (PollPosDuringTransaction() < 0) {
            if (c->abortCode != 3) c->loopState = 100;
            return 1;
        }
        // The poll may have ended the transaction (abort answered).
        if (c->loopState != 40) return 1;
    }
    switch (r->step) {
        case 0: return StartStep(c);
        case 1:
            if (g_pendingCut) {
                g_pendingCut = false;
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_SYS_ERR_LAN_FAILURE");
                SetResult(r, "31");
                c->loopState = 100;
                return 0;
            }
            EchoTimerArmed = 1;
            WaitCardInsertion();
            return 0;
        case 2: EchoWaitStep(c, r); return 0;
        case 3: CardTransactionStep(); return 0;
        case 10: EndCardTransaction(); return 0;
        default:
            TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_SYS_ERR_UNKNOWN");
            SetResult(r, "99");
            c->loopState = 100;
            return 0;
    }
}
