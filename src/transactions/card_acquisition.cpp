#include "transactions/card_acquisition.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/port_api.h"
#include "core/dates.h"
#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "protocols/module_contract.h"
#include "protocols/pv_status.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/text_field.h"
#include "transactions/awaited_calls.h"
#include "transactions/card_checks.h"
#include "transactions/maintenance.h"
#include "transactions/manual_entry.h"
#include "transactions/pos_answer.h"
#include "transactions/pos_polling.h"
#include "transactions/terminal_commands.h"
#include "transactions/wait_callback.h"

namespace {

constexpr int kRudaProtocol = 16;
constexpr const char* kMessagePage = "talvo/xxdmess.html";

void SetResultCode(TransactionRecord* r, const char* rs) {
    std::snprintf(r->resultCode, sizeof r->resultCode, "%s", rs);
}

bool CardReaderIsRuda() { return EPAP_GetProtocol(4) == kRudaProtocol; }

// Reads a tag of the POS request (bound for reading) into out: true when
// present.
bool RequestTag(EFTCBox* c, const char* code, char* out, int size) {
    out[0] = '\0';
    if (TAG_InitRead(c->transactionRequest, sizeof c->transactionRequest, 0) != 1) return false;
    return TAG_Get(code, out, size, 1) == 1;
}

void FillKeyboardRead(TransactionRecord* r, const char* data, int technology) {
    CardReadRecord& card = r->cardReadRecord;
    card.technology = technology;
    card.origin = 0;
    CopyText(card.eventData, sizeof card.eventData, data);
    card.eventLength = static_cast<int32_t>(std::strlen(card.eventData));
    card.presentCount = 1;
    card.dataValid = 1;
}

// The terminal's line is opened again for its next answer (a no-op when it
// is open).
void ReopenTerminalPort(EFTCBox* c) {
    if (c->terminalRecord != nullptr) PortOpen(c->terminalRecord->port);
}

void ClearAnswer(CardReadRecord& card) {
    card.technology = 0;
    card.presentCount = 0;
    std::memset(card.eventData, 0, sizeof card.eventData);
    card.eventLength = 0;
}

bool CommandIs(const TransactionRecord* r, const char* cd) { return strcasecmp(r->command, cd) == 0; }

// The flash information of a card read ("s11", RS "01", D16 "00_0000", D3G
// "dlq") when the request asked for it, sent by one POS poll. false when
// the poll failed: the transaction ends (state 100) unless it was aborted.
bool SendReadFlash(EFTCBox* c, TransactionRecord* r, const char* line) {
    if (r->flashLevel == 0) return true;
    if (BuildPosAnswer(c->posAnswer, sizeof c->posAnswer, "s11", r->command) != 1 || TAG_Set("RS", "01") != 1 ||
        TAG_Set("D16", "00_0000") != 1 || TAG_Set("D3G", "dlq") != 1) {
        std::memset(c->posAnswer, 0, sizeof c->posAnswer);
        return true;
    }
    TraceLog(TRACE_INFO, "[CARD]", "%s", line);
    if (PollPosDuringTransaction() >= 0) return true;
    if (c->abortCode != 3) c->loopState = 100;
    return false;
}

// The mute-card messages on the console and the terminal.
void ShowMuteCard(const char* type) {
    TOC_DisplayById("P5", "ZNP_DSP_TITLE_ERROR", "ZNP_DSP_USER_APP_ERR_MUTE_CARD");
    HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_APP_ERR_MUTE_CARD", type);
}

// The chip failed (or is unknown): the magnetic stripe is asked next, or
// the transaction ends by the mute-card options.
int ChipFailure(EFTCBox* c, TransactionRecord* r) {
    EPAP_ClearAll();
    CopyText(r->cardIncident, sizeof r->cardIncident, "1");
    c->authorisationMode = 1;
    TermGetInfo(0, 0);
    c->isoFallback = Options.IsoReadMode == 0 && r->terminalModel == kModelLR510 ? 0 : 1;
    if (r->cardDataFromRequest == 1) {
        if (Options.ActivateMuteCardRemovalEnd != 1) ShowMuteCard("wait");
        SetResultCode(r, "20");
        return 0;
    }
    if (Options.IsoReadMode != 0) {
        TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_ISO_TRACK");
        HTML_DisplayMessage(kMessagePage,
                            EPAP_GetProtocol(0) == kRudaProtocol ? "ZNP_DSP_HOLDER_WAIT_FOR_ISO_TRACK"
                                                                 : "ZNP_DSP_HOLDER_WAIT_FOR_ISO_ONLY",
                            "wait");
        r->readerSet = kReaderStripe;
        return 0;
    }
    switch (Options.ActivateMuteCardRemovalEnd) {
        case 1: SetResultCode(r, "20"); return 0;
        case 2: r->muteCardEnd = 1; return PV_CMD_MUTE_CARD;
        default:
            ShowMuteCard("error");
            if (Options.Iso2MaximalTries == 0) Options.Iso2MaximalTries = 1;
            r->readerSet = kReaderStripe;
            return 0;
    }
}

// A contactless outcome of a RUDA reader that is not a card read (answer
// 64 with a card of technology 10). true when it is dealt with here (the
// read ends with 0), false when the answer is to be judged.
bool ContactlessOutcome(EFTCBox* c, TransactionRecord* r) {
    CardReadRecord& card = r->cardReadRecord;
    switch (card.status) {
        case 2: {
            const std::string word(card.eventData, strnlen(card.eventData, sizeof card.eventData));
            if (word == "CNG") {
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_CTLS_ERR_UNKNOW_CARD", "error");
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_CTLS_ERR_UNKNOW_CARD");
                WSleep(2000);
            }
            if (word != "NOFB" && !CommandIs(r, "c3") && !CommandIs(r, "c2")) r->processingMode = 1;
            TermCardStatusOff(&card);
            if (word == "COLL") {
                TermCancelContactless(1);
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_CTLS_ERR_COLLISION", "wait");
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_CTLS_ERR_COLLISION");
                WSleep(2000);
            } else {
                // Refused: no contactless for the rest of the transaction.
                Options.ClsMaximalAmount = 0;
                const char* text = CommandIs(r, "c3")   ? "ANNULATION SANS CONTACT REFUSEE"
                                   : CommandIs(r, "c2") ? "CREDIT SANS CONTACT REFUSE"
                                                        : "PAIEMENT SANS CONTACT REFUSE";
                HTML_ShowMessagePage(kMessagePage, "error", text);
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_HOLDER_CTLS_ERR_PSCR");
                WSleep(1000);
                if (Options.ClsOnly == 1) r->processingMode = 4;
                if (r->processingMode != 1) SetResultCode(r, "11");
            }
            ClearAnswer(card);
            return true;
        }
        case 4:
            EPAP_ClearAll();
            WSleep(1000);
            HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_CTLS_TRY_AGAIN", "wait");
            TOC_DisplayById("P5", r->titleId,
                            Options.ClsOnly == 0 ? "ZNP_DSP_USER_WAIT_FOR_CARD_IN" : "ZNP_DSP_USER_WAIT_FOR_CARD_PRES");
            r->processingMode = 1;
            ClearAnswer(card);
            TermCardStatusOn(&card);
            return true;
        case 5:
        case 7:
            TOC_DisplayById("P5", r->titleId,
                            card.status == 5 ? "ZNP_DSP_USER_APP_CTL_ENTER_PIN" : "ZNP_DSP_USER_WAIT_FOR");
            r->processingMode = 1;
            ClearAnswer(card);
            ReopenTerminalPort(c);
            r->ctlsRetryPending = 1;
            return true;
        default: return false;
    }
}

}  // namespace

int IsProxyModeActive() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    if (Options.DirectServerConnection != 1 || r->proxyInhibited != 0) return 0;
    char d15[8];
    if (!RequestTag(c, "D15", d15, sizeof d15)) return 1;
    return std::strcmp(d15, "0") != 0 && std::strcmp(d15, "9") != 0 ? 1 : 0;
}

void PrepareCardReading() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    r->readerSet = kReaderBoth;
    r->cardDataFromRequest = 0;
    if (IsProxyModeActive() == 1) {
        TraceLog(TRACE_INFO, "[CARD]", "Application service activee / Mode proxy : Connexion directe au serveur");
        FillKeyboardRead(r, "9999999999999999D3012", 0);
        CopyText(r->titleId, sizeof r->titleId, "ZNP_DSP_USER_WAIT_FOR");
        r->resetRequired = 0;
        c->authorisationMode = 3;
        r->cardDataFromRequest = 1;
        r->clientMode = 1;
        return;
    }
    char d15[8], value[kCardEventDataMax + 1], d2d[8];
    const bool hasD15 = RequestTag(c, "D15", d15, sizeof d15);
    const bool hasD2D = RequestTag(c, "D2D", d2d, sizeof d2d);
    if (hasD15 && (std::strcmp(d15, "1") == 0 || std::strcmp(d15, "0") == 0) &&
        RequestTag(c, "D2F", value, sizeof value)) {
        const bool stripe = std::strcmp(d15, "1") == 0;
        FillKeyboardRead(r, value, stripe ? 2 : 0);
        r->resetRequired = stripe ? 1 : 0;
        if (hasD2D && std::strcmp(d2d, "0") == 0) r->resetRequired = 0;
        c->authorisationMode = 3;
        r->cardDataFromRequest = 1;
        return;
    }
    if (Options.ACI_ActivateCardReadingBypass != 0 && (!hasD15 || std::strcmp(d15, "7") != 0)) {
        FillKeyboardRead(r, "3F6500002063CB6600", 4);
        r->resetRequired = 1;
        c->authorisationMode = 4;
        return;
    }
    if (hasD15 && std::strcmp(d15, "9") == 0 &&
        (RequestTag(c, "D92", value, sizeof value) || RequestTag(c, "D6R", value, sizeof value))) {
        FillKeyboardRead(r, value, 9);
        r->resetRequired = 0;
        c->authorisationMode = 3;
        r->cardDataFromRequest = 1;
        return;
    }
    if (!hasD2D) return;
    if (std::strcmp(d2d, "1") == 0 || std::strcmp(d2d, "9") == 0) {
        r->readerSet = kReaderChip;
        r->cardDataFromRequest = 1;
        if (d2d[0] == '1') Options.ClsMaximalAmount = 0;
    } else if (std::strcmp(d2d, "2") == 0) {
        r->readerSet = kReaderStripe;
        Options.ClsMaximalAmount = 0;
        char pnf[8];
        if (std::strcmp(r->titleId, "ZNP_DSP_TITLE_CONTROL") == 0 || RequestTag(c, "PNF", pnf, sizeof pnf))
            r->isoOnlyPrompt = 1;
    } else if (std::strcmp(d2d, "8") == 0) {
        Options.ClsOnly = 1;
        r->readerSet = kReaderChip;
    }
}

bool ContactlessAllowedByAmount() {
    const TransactionRecord* r = GetTransactionRecord();
    return r != nullptr && r->amountPresent != 0 && r->amount < Options.ClsMaximalAmount;
}

int WaitForCard() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    if ((r->readerSet & kReaderBoth) == 0) return PV_CMD_INTERNAL;
    // No card reader configured: the terminal is unreachable.
    if (EPAP_GetProtocol(4) < 0) {
        TraceLog(TRACE_ERROR, "[CARD]", "Aucun lecteur de carte configure");
        return PV_PER_ACCES;
    }
    CardReadRecord& card = r->cardReadRecord;
    std::memset(&card, 0, sizeof card);
    std::memset(&r->terminalResultArea, 0, sizeof r->terminalResultArea);
    r->ctlsStartResult = 0;
    if (r->terminalInfoStatus != 0) RecoverTerminalCommunication();
    if (r->terminalInfoStatus != 0) {
        TraceLog(TRACE_ERROR, "[CARD]", "Lecteur toujours inaccessible");
        return r->terminalInfoStatus;
    }
    const bool ruda = CardReaderIsRuda();
    const bool chipPart = (r->readerSet & kReaderChip) != 0 || (Options.IsoReadMode == 1 && c->authorisationMode <= 0);
    const bool ctlsByAmount = ContactlessAllowedByAmount();
    const bool euroOk = Options.DoCTLSEuroOnly != 1 || r->currency == 978;
    if (chipPart) {
        const bool ctlsPossible = (Options.IsoReadMode != 1 || ruda) && ctlsByAmount;
        if (ctlsPossible)
            TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_CARD_PRES");
        else if (Options.ClsOnly != 1)
            TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_CARD_IN");
    }
    int status = 0;
    const bool displayRuda = EPAP_GetProtocol(0) == kRudaProtocol;
    if (!((Options.Automatic & 0x9) != 0 && !displayRuda) && chipPart) {
        const bool showPage = displayRuda ? (!ctlsByAmount || !euroOk) && Options.ClsOnly != 1 : Options.ClsOnly != 1;
        if (showPage) status = HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN", "wait");
        if (status < 0) status = 0;  // no page to show is no failure of the read
    }
    if (r->isoOnlyPrompt == 1) {
        TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_ISO_ONLY");
        HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_WAIT_FOR_ISO_ONLY", "wait");
    }
    if ((r->readerSet & kReaderStripe) != 0 && (Options.IsoReadMode == 0 || c->authorisationMode > 0)) {
        card.isoRequested = 1;
        card.isoOptions = 0x10;
    }
    if (chipPart) {
        card.chipRequested = 1;
        uint8_t options = 0x12;
        if ((Options.Beep & 1) != 0) options |= 0x80;
        if ((Options.Automatic & 1) != 0) options |= 0x40;
        if ((Options.Automatic & 8) != 0) options |= 0x04;
        if ((Options.Automatic & 4) != 0) options |= 0x20;
        card.chipOptions = options;
        if (ctlsByAmount) {
            WGetLocalDateTime(r->transactionDate, r->transactionTime);
            AdvanceTransactionNumber();
        }
    }
    if (Options.AbortOnPinPad == 1) {
        card.keyAbortRequested = 1;
        card.keyAbortRequestedByte = 1;
    }
    card.timeoutEnabled = 1;
    card.timeoutTenths = Options.DetectionTimeout / 100;
    if (ruda) {
        c->terminalFunction = 4;
        if (ctlsByAmount && euroOk && (r->readerSet & kReaderChip) != 0) {
            TraceLog(TRACE_INFO, "[RUDA]", "Activation CTLS");
            int ctls = TermStartContactless();
            if (ctls == PV_CMD_ACCES) {
                TraceLog(TRACE_ERROR, "[CARD]", "On redemarre le sans contact");
                TermOpenInitCtl();
                WSleep(2000);
                ctls = TermStartContactless();
            }
            r->ctlsStartResult = ctls;
            if (ctls != 0) {
                if (ctls == PV_PER_UNKNOWN && Options.ClsOnly != 1) {
                    TraceLog(TRACE_INFO, "[CARD]", "Sans contact non initialise(%d)", ctls);
                } else {
                    TraceLog(TRACE_ERROR, "[CARD]", "Demarrage de la trs sans contact echoue(%d)", ctls);
                    if (Options.ClsOnly == 1) {
                        HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HTML_ERR_CTLS_DENIED", "error");
                        TOC_DisplayById("P5", r->titleId, "ZNP_DSP_HOLDER_CTLS_ERR_PSCR");
                        r->processingMode = 4;
                        WSleep(1000);
                        return ctls;
                    }
                }
                status = HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_WAIT_FOR_CARD_IN", "wait");
                if (status < 0) status = 0;
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_CARD_IN");
            }
        }
        if (status != PV_NET_FAILED) {
            if (Options.ClsOnly == 0)
                TraceLog(TRACE_INFO, "[CARD]", "Activation lecture carte");
            else if (card.keyAbortRequested == 1)
                TraceLog(TRACE_INFO, "[CARD]", "Activation reporting touche du clavier en CTLS Only");
            // A lost terminal link is reported like any failed arming below
            // (terminal unreachable), not as a network failure of the servers.
            status = TermCardStatusOn(&card);
            if (status == 0 && card.presentCount != 0) {
                TraceLog(TRACE_INFO, "[CARD]", "Carte deja presente dans le lecteur");
                EPAP_ClearAll();
                status = TermCardStatusOff(&card);
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_WAIT_FOR", "wait");
            }
        }
    }
    if (status != 0) {
        if (status == PV_NET_FAILED) status = PV_PER_ACCES;
        TraceLog(TRACE_ERROR, "[CARD]", "Emission des scripts de lecture carte echouee (%d)", status);
        EPAP_ClearAll();
        return status;
    }
    if (ruda) r->echoTimeoutMs = card.timeoutTenths * 100;
    r->resetRequired = 1;
    return 0;
}

int StartCandidateListBuild() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    std::memset(&r->terminalResultArea, 0, sizeof r->terminalResultArea);
    c->terminalFunction = 4;
    int status = EPAP_SetCommand(4, static_cast<int>(O_T_SELECT_AID), &r->terminalResultArea);
    if (status != 0) {
        TraceLog(TRACE_ERROR, "[CARD]",
                 "Mise en place du script de construction de la liste de candidats de la carte echouee (%d)", status);
        EPAP_ClearAll();
        return status == PV_NET_FAILED ? PV_PER_ACCES : status;
    }
    status = EPAP_SendScriptCommands();
    if (status != 0) {
        if (status == PV_NET_FAILED) status = PV_PER_ACCES;
        TraceLog(TRACE_ERROR, "[CARD]", "Emission du script de construction de la liste de candidats echouee (%d)",
                 status);
        EPAP_ClearAll();
        return status;
    }
    TraceLog(TRACE_INFO, "[CARD]", "Script d'activation de construction de la liste de candidats de la carte emis");
    r->echoTimeoutMs = 32500;
    return 0;
}

int CheckCandidatePhase() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    if (r->terminalResultArea.candidateCount != 0 || CardReaderIsRuda()) {
        r->processingMode = 3;
        c->authorisationMode = 4;
    }
    return 0;
}

int EvaluateChipResult() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    CardReadRecord& card = r->cardReadRecord;
    r->readerSet = 0;
    const int chipStatus = card.chipOptions;
    if (card.chipRequested == 0 || card.answerValid == 0 || chipStatus < 16 || chipStatus > 19) return 1;
    if (chipStatus == 17 || chipStatus == 19) {
        c->authorisationMode = card.status != 0 ? 1 : 0;
        return 0;
    }
    if (card.status == 1) {
        c->authorisationMode = 0;
        return 0;
    }
    if (card.status == 0) {
        c->authorisationMode = 2;
        if (!SendReadFlash(c, r, "Envoi Flash info insertion carte")) return 0;
        const bool ruda = CardReaderIsRuda();
        if ((Options.Automatic & 4) == 0) {
            if (ruda && Options.SelectByClient != 1) c->authorisationMode = 4;
            return 0;
        }
        if (r->terminalResultArea.candidateCount != 0 || (ruda && Options.SelectByClient != 1)) {
            c->authorisationMode = 4;
            return 0;
        }
        if (ruda) return 0;  // the cash register selects the application
        // Nothing on the card that the terminal can select: unknown card.
        TOC_DisplayById("P5", "ZNP_DSP_TITLE_ERROR", "ZNP_DSP_USER_APP_ERR_UNKNOWN_CARD");
        HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_APP_ERR_UNKNOWN_CARD", "error");
        if (r->cardDataFromRequest == 1) {
            SetResultCode(r, "21");
            c->authorisationMode = 1;
            return 0;
        }
        r->readerSet = kReaderStripe;
        c->isoFallback = 1;
    }
    return ChipFailure(c, r);
}

int EvaluateIso2Result() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    CardReadRecord& card = r->cardReadRecord;
    r->readerSet = 0;
    if (card.isoRequested == 0 || card.answerValid == 0) return 1;
    c->authorisationMode = 0;
    if (card.status == 0 && card.p2peLength == 0 && CheckIso2Track() == 0) {
        SetResultCode(r, "11");
        TOC_DisplayById("P5", "ZNP_DSP_TITLE_ERROR", "ZNP_DSP_USER_U_CARD_ERR_INVALID");
        HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_U_CARD_ERR_INVALID", "error");
        WSleep(1500);
        return 0;
    }
    if (card.status == 0) {
        r->cardIncident[0] = '\0';
        c->authorisationMode = 2;
        return 0;
    }
    TOC_DisplayById("P5", "ZNP_DSP_TITLE_ERROR", "ZNP_DSP_USER_APP_ISO_TRACK_NOT_READ");
    if (card.status == 1) return 0;
    if (Options.Iso2MaximalTries != 0) {
        ++c->isoReadFailures;
        if (c->isoReadFailures >= Options.Iso2MaximalTries) {
            SetResultCode(r, std::strcmp(r->cardIncident, "1") == 0 ? "20" : "11");
            return 0;
        }
    }
    r->readerSet = kReaderStripe;
    CopyText(r->cardIncident, sizeof r->cardIncident, "2");
    return 0;
}

int EvaluateContactlessResult() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    CardReadRecord& card = r->cardReadRecord;
    r->readerSet = 0;
    TraceLog(TRACE_INFO, "[CARD]", Options.ClsVersion > 1 ? "CONTACTLESS STATUS ON (%02x/%02d)" : "CONTACTLESS STATUS OFF (%02x/%02d)",
             card.statusFlags, card.status);
    bool refuse = strcasecmp(r->command, "c1") != 0 || ((card.statusFlags & 0x0c) == 0x0c && card.status != 0);
    const int status = card.status & 0xFF;
    if (status == 0) {
        c->ctlsIsoFailures = 0;
        c->authorisationMode = 2;
        if (!SendReadFlash(c, r, "Envoi Flash info tap carte")) return 0;
        if (!CardReaderIsRuda()) {
            std::memset(&r->terminalResultArea, 0, sizeof r->terminalResultArea);
            const int got = EPAP_GetResult(4, 12, &r->terminalResultArea);
            EPAP_ClearAll();
            if (got != 0) {
                TraceLog(TRACE_ERROR, "[CARD]", "Chargement de la liste de candidats KO (%d)", got);
                return got;
            }
            if (r->amount != 0 && r->terminalResultArea.perCandidate[0].gpoLength == 0) {
                TraceLog(TRACE_ERROR, "[CARD]", "Reception message Sans contact a tort. Redemarrage lecteur");
                AbortTransaction("9001", 0);
                r->resetRequired = 1;
            }
            TraceLog(TRACE_INFO, "[CARD]", "Liste de candidats chargee (%u candidat(s))",
                     static_cast<unsigned>(r->terminalResultArea.candidateCount));
        }
        if (r->terminalResultArea.candidateCount != 0) {
            c->authorisationMode = 4;
            return 0;
        }
    } else {
        r->readerSet = kReaderBoth;
        switch (status) {
            case 25:
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_APP_CTL_ENTER_PIN");
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_APP_CTL_ENTER_PIN", "wait");
                if (Options.ClsAffDelai > 5000) Options.ClsAffDelai = 3000;
                if (Options.ClsAffDelai > 0) WSleep(static_cast<uint32_t>(Options.ClsAffDelai));
                refuse = false;
                break;
            case 26:
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_APP_CTL_FORBIDDEN");
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_APP_CTL_FORBIDDEN", "error");
                Options.ClsMaximalAmount = 0;
                WSleep(2500);
                break;
            case 8:
            case 28:
                TOC_DisplayById("P5", "ZNP_DSP_TITLE_ERROR",
                                status == 8 ? "ZNP_DSP_USER_APP_ERR_UNKNOWN_CARD_SC"
                                            : "ZNP_DSP_USER_APP_ERR_CARDBLOCKED_CARD_SC");
                HTML_DisplayMessage(kMessagePage,
                                    status == 8 ? "ZNP_DSP_HOLDER_APP_ERR_UNKNOWN_CARD_SC"
                                                : "ZNP_DSP_HOLDER_APP_ERR_CARDBLOCKED_SC",
                                    "error");
                Options.ClsMaximalAmount = 0;
                WSleep(2500);
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_APP_ERR_READ_CHIP");
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_APP_ERR_READ_CHIP", "wait");
                WSleep(2500);
                break;
            case 27:
                if (c->ctlsIsoFailures < 5) ++c->ctlsIsoFailures;
                TOC_DisplayById("P5", "ZNP_DSP_TITLE_ERROR", "ZNP_DSP_USER_APP_ISO_TRACK_NOT_READ");
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_APP_ISO_TRACK_NOT_READ", "error");
                WSleep(2500);
                break;
            default:
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_APP_ERR_READ_CHIP");
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_APP_ERR_READ_CHIP", "wait");
                Options.ClsMaximalAmount = 0;
                WSleep(2500);
                break;
        }
    }
    EPAP_ClearAll();
    if (refuse && status != 0) {
        r->readerSet = 0;
        SetResultCode(r, "11");
        return 65535;
    }
    return 0;
}

int ReadCardResult() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    CardReadRecord& card = r->cardReadRecord;
    const int phase = r->processingMode;
    r->processingMode = 4;
    c->authorisationMode = -1;
    int status = 0;
    if (CardReaderIsRuda()) {
        card.chipOptions &= 0x1b;
        if ((phase == 1 && card.presentCount == 0) || (phase == 4 && card.presentCount != 0)) {
            const int operation = Options.ClsOnly == 1 && card.keyAbortRequested == 0 ? static_cast<int>(O_T_START_CTL_TRS)
                                                                                     : static_cast<int>(O_T_CARD_STATUT);
            status = TermGetCardResult(operation);
            if (status == 0 && Options.PreventHolderCancelCTLS != 0 && card.presentCount != 0 &&
                card.technology == CARD_TECH_KEYBOARD && card.eventData[0] == 'A') {
                // The holder's cancel ends the contactless transaction only
                // when the terminal lets it go; the script in progress is
                // kept around the cancel.
                WSysError("** INFO. ** Verification abandon CTLS autorisé");
                EPAP_SaveCurrentMailBoxState();
                EPAP_ClearAll();
                status = TermCancelContactless(0);
                EPAP_RestoreCurrentMailBoxState();
                if (status == 'S' || status == PV_NET_TIMEOUT) {
                    WSysError("** INFO. ** Abandon interdit, on attend la reponse finale");
                    r->processingMode = 1;
                    ReopenTerminalPort(c);
                    return 0;
                }
            }
        }
        if (status == 0) {
            if ((card.chipOptions & 0x13) == 0x13 && phase == 4) {
                TraceLog(TRACE_INFO, "[RUDA]", "Carte retiree");
                EPAP_ClearAll();
                status = TermCardStatusOff(&card);
            } else if (card.presentCount == 0) {
                ReopenTerminalPort(c);
                return 0;
            } else {
                switch (card.technology) {
                    case CARD_TECH_KEYBOARD:
                        // A validation or correction key waits for more.
                        if (card.eventData[0] == 'V' || card.eventData[0] == 'C') return 0;
                        break;
                    case CARD_TECH_ISO1:
                    case CARD_TECH_ISO3: return PV_CMD_INTERNAL;
                    case CARD_TECH_ISO2:
                    case CARD_TECH_CHIP:
                    case 10:
                        // The card is read: the readers go off.
                        EPAP_ClearAll();
                        status = TermCardStatusOff(&card);
                        HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_WAIT_FOR", "wait");
                        break;
                    default: ReopenTerminalPort(c); return 0;
                }
            }
        } else if (status == PV_NET_FAILED || status == PV_NET_TIMEOUT) {
            card.status = 1;
            card.answerValid = 1;
            card.errorSource = 10;
        } else if (status == PV_NOT_YET && card.presentCount == 0) {
            if (r->readerSet == kReaderStripe) {
                r->processingMode = 1;
                ClearAnswer(card);
                return 0;
            }
            TraceLog(TRACE_ERROR, "[RUDA]", "ERREUR lors de la lecture piste");
            card.technology = 2;
            card.presentCount = 1;
            card.status = 2;
            card.answerValid = 1;
            EPAP_ClearAll();
            TermCardStatusOff(&card);
        } else if (status == PV_NOT_YET && card.technology == 10) {
            if (ContactlessOutcome(c, r)) return 0;
        } else if (status == PV_CMD_NOTHING) {
            TraceLog(TRACE_WARN, "[RUDA]", "Etat carte incorrect : On renvoie la commande d'état");
            r->processingMode = 1;
            ClearAnswer(card);
            EPAP_ClearAll();
            return 0;
        }
    }
    const bool ctlsDataHeld = card.ctlsData.length != 0;
    if (r->ctlsRetryPending != 0 && ctlsDataHeld) {
        // The contactless read waiting for its retry goes to the server
        // when the retry ends without a new card.
        bool retryEnds = false;
        if (status == PV_NET_FAILED || status == PV_NET_TIMEOUT) {
            r->nonCompletionReason = 'W';
            retryEnds = true;
        } else if (card.technology == CARD_TECH_KEYBOARD && card.eventData[0] == 'A') {
            r->nonCompletionReason = 7;
            std::memset(card.eventData, 0, sizeof card.eventData);
            card.eventLength = 0;
            retryEnds = true;
        }
        if (retryEnds) {
            card.technology = 10;
            card.presentCount = 1;
            card.dataValid = 1;
            card.origin = 1;
            card.status = 0;
            card.answerValid = 1;
            card.errorSource = 0;
            r->ctlsRetryPending = 0;
            EPAP_ClearAll();
            TermCardStatusOff(&card);
            TermCancelContactless(1);
            HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_WAIT_FOR", "wait");
        }
    }
    if (card.errorSource != 0) {
        EPAP_ClearAll();
        if (card.errorSource != 10) return PV_CMD_INTERNAL;
        if (ctlsDataHeld && CommandIs(r, "c1")) {
            // The contactless reader lost its network during a debit: the
            // reader is reset and the card read again without contactless.
            if (r->resetRequired == 1) {
                EPAP_SetWaitCallback(nullptr);
                AbortTransaction("9001", 0);
                EPAP_SetWaitCallback(WaitCallback);
                r->resetRequired = 0;
            }
            c->abortCode = 3;
            EPAP_ClearAll();
            r->processingMode = 1;
            r->readerSet = kReaderBoth;
            Options.ClsMaximalAmount = r->amount - 1;
            return 0;
        }
        c->authorisationMode = 0;
        SetResultCode(r, "30");
        return 0;
    }
    if (card.presentCount == 0) {
        EPAP_ClearAll();
        return PV_PROTO_ERROR;
    }
    if (Options.ClsMaximalAmount > 0 && r->ctlsStartResult == 0 && card.technology != 10) {
        TermCancelContactless(1);
        r->ctlsStartResult = PV_CTL_ERROR;
    }
    switch (card.technology) {
        case 0:
            EPAP_ClearAll();
            r->processingMode = 1;
            if (card.eventData[0] == 'A') SetResultCode(r, "35");
            return 0;
        case 2: {
            EPAP_ClearAll();
            const int result = EvaluateIso2Result();
            if (result != 0) return result;
            if (r->resultCode[0] != '\0') return 0;
            r->processingMode = r->readerSet == kReaderStripe ? 1 : 2;
            return 0;
        }
        case 4:
        case 5: {
            const int result = EvaluateChipResult();
            if (result != 0) {
                EPAP_ClearAll();
                return result;
            }
            if (r->readerSet == kReaderStripe) {
                r->processingMode = 1;
                return 0;
            }
            EPAP_ClearAll();
            if (r->resultCode[0] == '\0') SetResultCode(r, "99");
            if (c->authorisationMode > 1) {
                r->resultCode[0] = '\0';
                r->processingMode = c->authorisationMode == 4 ? 3 : 2;
            }
            if (Options.ActivateRemovalDetection != 0) {
                // The card's removal is watched from now on.
                card.chipRequested = 1;
                card.chipOptions = 18;
                card.isoRequested = 0;
                card.keyAbortRequested = 0;
                card.keyAbortRequestedByte = 0;
                TermCardStatusOn(&card);
                EPAP_ClearAll();
                EPAP_SetSelectCardWatch(1);
            }
            return 0;
        }
        case 10: {
            const int result = EvaluateContactlessResult();
            if (result != 0) return result;
            r->processingMode = r->readerSet != 0 ? 1 : 3;
            return 0;
        }
        default: EPAP_ClearAll(); return PV_CMD_INTERNAL;
    }
}

int StartCardRemovalWatch() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    CardReadRecord& card = r->cardReadRecord;
    std::memset(&card, 0, sizeof card);
    card.chipRequested = 1;
    uint8_t options = 0x13;
    if ((Options.Beep & 2) != 0) options |= 0x80;
    if ((Options.Automatic & 1) != 0) options |= 0x40;
    if ((Options.Automatic & 8) != 0) options |= 0x04;
    if ((Options.Automatic & 2) != 0) options |= 0x20;
    card.chipOptions = options;
    card.timeoutEnabled = 1;
    card.timeoutTenths = Options.RemovalTimeout / 100;
    if (r->resetRequired == 1 && strcasecmp(r->command, "c4") != 0)
        HTML_DisplayMessage(kMessagePage, r->muteCardEnd ? "ZNP_DSP_HOLDER_APP_ERR_MUTE_CARD" : "ZNP_DSP_HOLDER_WAIT_FOR_CARD_OUT",
                            r->muteCardEnd ? "error" : "wait");
    c->terminalFunction = 4;
    TraceLog(TRACE_INFO, "[CARD]", "Activation retrait carte");
    int status = 0;
    if (CardReaderIsRuda()) {
        if (Options.ClsOnly != 0) {
            c->authorisationMode = 0;
            card.presentCount = 0;
        } else {
            status = TermCardStatusOn(&card);
            if (status == 0 && card.presentCount == 0) {
                TraceLog(TRACE_INFO, "[CARD]", "Carte deja retiree avant echo");
                EPAP_ClearAll();
                TermCardStatusOff(&card);
                c->authorisationMode = 0;
            }
        }
        r->echoTimeoutMs = card.timeoutTenths * 100;
    }
    if (c->authorisationMode != 0) TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_WAIT_FOR_CARD_OUT");
    return status;
}
