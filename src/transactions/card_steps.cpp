// Card path of the transaction: start and insertion (steps 0 and 1),
// authorisation (step 3) and end (step 10).
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "offline/offline_services.h"
#include "periph/terminal_box.h"
#include "protocols/pv_status.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/program_hooks.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "transactions/awaited_calls.h"
#include "transactions/card_acquisition.h"
#include "transactions/maintenance.h"
#include "transactions/manual_entry.h"
#include "transactions/pos_answer.h"
#include "transactions/pos_polling.h"
#include "transactions/server_dialogue.h"
#include "transactions/terminal_commands.h"
#include "transactions/transaction_phase.h"
#include "transactions/wait_callback.h"

uint8_t PaymentGroupFlag = 0;
uint8_t ConcurrentCheckCard = 0;

namespace {

constexpr int kRudaProtocol = 16;
constexpr const char* kMessagePage = "talvo/xxdmess.html";

bool CdIs(const char* cd, const char* value) { return strcasecmp(cd, value) == 0; }

bool CdIn(const char* cd, std::initializer_list<const char*> values) {
    for (const char* v : values)
        if (CdIs(cd, v)) return true;
    return false;
}

void SetRs(TransactionRecord* r, const char* rs) { std::snprintf(r->resultCode, sizeof r->resultCode, "%s", rs); }

bool LabelIsTalvo(const EFTCBox* c) {
    if (c->netResourceIndex < 0 || c->netResourceIndex >= kNetResourceCount) return false;
    return strncasecmp(c->netResources[c->netResourceIndex].label, "TALVO", 5) == 0;
}

// Tag of a message bound for reading: true when present (value in out).
bool GetTagOf(char* message, const char* code, char* out, int size) {
    out[0] = '\0';
    if (TAG_InitRead(message, kPosBufferSize, 0) != 1) return false;
    return TAG_Get(code, out, size, 1) == 1;
}

const char* TitleKey(const char* cd) {
    if (CdIn(cd, {"c1", "c5", "c6", "c7", "c2f"})) return "ZNP_DSP_TITLE_DEBIT";
    if (CdIs(cd, "c2")) return "ZNP_DSP_TITLE_CREDIT";
    if (CdIn(cd, {"c3", "ch"})) return "ZNP_DSP_TITLE_CANCEL";
    if (CdIs(cd, "c2j")) return "ZNP_DSP_TITLE_LOYALTY";
    if (CdIn(cd, {"cn", "c3a", "c3b"})) return "ZNP_DSP_TITLE_CONTROL";
    if (CdIn(cd, {"c8", "c9"})) return "ZNP_DSP_TITLE_WRITE";
    if (CdIn(cd, {"c4", "ca", "cc"})) return "ZNP_DSP_TITLE_DUPLICATA";
    if (CdIn(cd, {"c11", "c12", "c13", "c14"})) return "ZNP_DSP_TITLE_SUMMARY";
    if (CdIn(cd, {"c15", "c16", "c17", "c18"})) return "ZNP_DSP_TITLE_DIARY";
    if (CdIn(cd, {"c2d", "cl", "cb", "ci", "cg"})) return "ZNP_DSP_TITLE_DATA_CAPTURE";
    if (CdIs(cd, "c2e")) return "ZNP_DSP_TITLE_UPDATE_PARAMETERS";
    return nullptr;
}

// The flash information "s11" of the card (RS "01", D16 "00_0000", D3G
// "wcr"), written at once.
void SendCardFlash(EFTCBox* c, TransactionRecord* r) {
    if (BuildPosAnswer(c->posAnswer, sizeof c->posAnswer, "s11", r->command) == 1 && TAG_Set("RS", "01") == 1 &&
        TAG_Set("D16", "00_0000") == 1 && TAG_Set("D3G", "wcr") == 1)
        ZelDiaPoll(c);
    else
        std::memset(c->posAnswer, 0, sizeof c->posAnswer);
}

void SetTitle(TransactionRecord* r, const char* key) {
    if (key != nullptr) CopyText(r->titleId, sizeof r->titleId, key);
}

void ResetCardTransaction(EFTCBox* c, TransactionRecord* r) {
    std::memset(r->resultCode, 0, sizeof r->resultCode);
    c->abortInCallback = 0;
    SaveRequestServiceCommand("", "");
    ResetTransactionGlobals();
    r->posAnswerState = 0;
    r->dataCaptureBits = 0;
    r->isoOnlyPrompt = 0;
    r->muteCardEnd = 0;
    r->echoTimedOut = 0;
    r->manualEntryActive = 0;
    std::memset(r->flashD16, 0, sizeof r->flashD16);
    std::memset(r->flashD3E, 0, sizeof r->flashD3E);
    r->proxyInhibited = 0;
    std::memset(c->sentServerRequest, 0, sizeof c->sentServerRequest);
    c->abortCode = 0;
    r->readerSet = 0;
    std::memset(r->cardIncident, 0, sizeof r->cardIncident);
    r->ticketCancel = 0;
    r->insertionRetries = 0;
    r->reconnecting = 0;
    r->clientMode = 0;
    r->ctlsRetryPending = 0;
    r->amountPresent = r->currencyPresent = 0;
    r->amount = r->currency = 0;
    r->cardDataFromRequest = 0;
    r->resetRequired = 0;
    ClearCardRecords();
    c->isoFallback = 0;
    c->isoReadFailures = 0;
    r->keepAliveSec = 600;
    r->echoTimeoutMs = Options.DetectionTimeout;
    if (Options.SpecialMenu != 0) Options.SpecialMenu = 3;
    std::memcpy(c->serverRequest, c->posRequest, sizeof c->serverRequest);
    std::memset(c->transactionRequest, 0, sizeof c->transactionRequest);
    std::memcpy(c->transactionRequest, c->posRequest, sizeof c->transactionRequest);
}

// The payment group: returns the acknowledgement code (0).
int StartPaymentGroup(EFTCBox* c, TransactionRecord* r, const char* cd) {
    PaymentGroupFlag = 1;
    char d16[16] = "", d3i[16] = "";
    const bool hasD16 = GetTagOf(c->transactionRequest, "D16", d16, sizeof d16);
    const bool hasD3I = GetTagOf(c->transactionRequest, "D3I", d3i, sizeof d3i);
    if (CdIs(cd, "c1") && hasD16 && hasD3I) {
        char key[96];
        std::snprintf(key, sizeof key, "ZNP_DSP_TITLE_SPECIFIC_%s_OPTION%s", d16, d3i);
        SetTitle(r, key);
    } else {
        SetTitle(r, TitleKey(cd));
    }
    r->processingMode = 3;
    if (LabelIsTalvo(c)) {
        PrepareCardReading();
        if (Options.IsoReadMode == 2) r->cardDataFromRequest = 1;
        const int state = c->authorisationMode;
        r->processingMode = state == 2 ? 2 : (state == 3 || state == 4) ? 3 : 1;
    }
    char value[32];
    int32_t amount = 0;
    int currency = 0;
    if (GetTagOf(c->transactionRequest, "D10", value, sizeof value) && TAG_GetLong("D10", &amount, 1) == 1 &&
        TAG_GetInt("D0", &currency, 1) == 1) {
        r->amountPresent = 1;
        r->currencyPresent = 1;
        r->amount = amount;
        r->currency = currency;
    }
    if (GetTagOf(c->transactionRequest, "D15", value, sizeof value) && std::strcmp(value, "9") == 0) {
        r->processingMode = 3;
        const bool special = hasD16 && (strncasecmp(d16, "A9", 2) == 0 || strncasecmp(d16, "B9", 2) == 0 ||
                                        strncasecmp(d16, "B2", 2) == 0 || strncasecmp(d16, "B4", 2) == 0);
        const char* key = "none";
        if (special) {
            if (CdIs(cd, "c1")) key = "ZNP_DSP_TITLE_DEBIT";
            else if (CdIs(cd, "c2")) key = "ZNP_DSP_TITLE_CREDIT";
            else if (CdIn(cd, {"c4", "ca"})) key = "ZNP_DSP_TITLE_DUPLICATA";
        }
        SetTitle(r, key);
    }
    return 0;
}

// The other group: returns the acknowledgement code (0, or 8 when a "c2g"
// rewrite failed), or -1 when the request became a maintenance request.
int StartOtherGroup(EFTCBox* c, TransactionRecord* r, const char* cd) {
    PaymentGroupFlag = 0;
    SetTitle(r, TitleKey(cd));
    char value[64];
    if (CdIn(cd, {"c8", "c9"})) {
        if (GetTagOf(c->transactionRequest, "D15", value, sizeof value) && std::strcmp(value, "9") == 0) {
            SetTitle(r, "none");
            std::memset(&r->cardReadRecord, 0, sizeof r->cardReadRecord);
            std::memset(&r->terminalResultArea, 0, sizeof r->terminalResultArea);
            PaymentGroupFlag = 1;
        }
        char d9h[8] = "", e7[32] = "";
        const bool hasD9H = GetTagOf(c->transactionRequest, "D9H", d9h, sizeof d9h);
        const bool hasE7 = GetTagOf(c->transactionRequest, "E7", e7, sizeof e7);
        if (LoadTagMessage(c->posRequest, sizeof c->posRequest, 0) == 1) TAG_SetInt("TT", c->ticketTag);
        if (hasD9H && hasE7 && (std::strcmp(d9h, "1") == 0 || std::strcmp(d9h, "2") == 0 || std::strcmp(d9h, "3") == 0) &&
            std::strlen(e7) == 12) {
            char number[5];
            std::memcpy(number, e7, 4);
            number[4] = '\0';
            int resource = 0, server = 0;
            char d16[4];
            if (ForceServerByFileNumber(number, d9h, &resource, &server, d16, sizeof d16) == 1) {
                r->currentServer = server - 1;
                if (server >= 1 && server <= 3) {
                    for (int s = 1; s <= 3; ++s) {
                        if (s == server) TOC_EnableServer(s - 1);
                        else TOC_DisableServer(s - 1);
                    }
                }
                c->netResourceIndex = resource;
                if (LoadTagMessage(c->posRequest, sizeof c->posRequest, 0) == 1) TAG_Set("D16", d16);
            } else {
                SetRs(r, "36");
            }
        }
    }
    c->dataCapture = 0;
    if (CdIn(cd, {"c4", "ca", "cc"})) {
        GetTagOf(c->transactionRequest, "D8Y", r->d8y, sizeof r->d8y);
    }
    if (CdIn(cd, {"c2d", "cl", "cb", "ci", "cg", "c2e"})) c->dataCapture = 1;
    if (CdIs(cd, "c2e") && LabelIsTalvo(c) && GetTagOf(c->transactionRequest, "D3P", value, sizeof value)) {
        bool address = false;
        for (const char* p = value; *p != '\0'; ++p)
            if (*p == '.' || !std::isdigit(static_cast<unsigned char>(*p))) address = true;
        if (address) {
            char d3q[64] = "";
            const bool hasD3Q = GetTagOf(c->transactionRequest, "D3Q", d3q, sizeof d3q);
            r->dataCaptureBits = 1;
            TAG_Remove(c->posRequest, "D3P");
            TAG_Remove(c->posRequest, "D3Q");
            if (LoadTagMessage(c->posRequest, sizeof c->posRequest, 0) == 1) {
                TAG_Set("HOB", value);
                if (hasD3Q) TAG_Set("SVB", d3q);
            }
            TraceLog(TRACE_INFO, "[CARD]", "Tag X25 remplace par tag IP car adresse IP ou DNS");
        }
    }
    SetRebootKindFromRequest();
    if (CdIs(cd, "c2g") && LabelIsTalvo(c) && Options.ConnectedMode != 1) {
        bool ok = LoadTagMessage(c->posRequest, sizeof c->posRequest, 0) == 1;
        if (ok) {
            TAG_Remove(c->posRequest, "SV");
            TAG_Remove(c->posRequest, "CD");
            ok = LoadTagMessage(c->posRequest, sizeof c->posRequest, 0) == 1 && TAG_Set("SV", "s2") == 1 &&
                 TAG_Set("CD", "c1c") == 1;
        }
        if (!ok) return 8;
        EFTOC_SetApplicationCode(c, "1500");
        CopyText(r->service, sizeof r->service, "s2");
        CopyText(r->command, sizeof r->command, "c1c");
        CopyText(r->replyService, sizeof r->replyService, "s0");
        CopyText(r->replyCommand, sizeof r->replyCommand, "c2g");
        c->loopState = 10;
        r->step = 0;
        return -1;
    }
    if (CdIs(cd, "c2h") && LabelIsTalvo(c)) {
        CopyText(r->command, sizeof r->command, "cj");
        CopyText(r->replyService, sizeof r->replyService, "s0");
        CopyText(r->replyCommand, sizeof r->replyCommand, "c2h");
    }
    r->processingMode = 3;
    std::memcpy(c->serverRequest, c->posRequest, sizeof c->serverRequest);
    return 0;
}

}  // namespace

bool IsPaymentGroupCommand(const char* cd, const char* d4r) {
    if (CdIn(cd, {"c1", "c2", "c3", "ch", "c5", "c6", "c7", "c2j", "c2k", "c2l", "c2m", "cn"})) return true;
    return CdIs(cd, "c2f") && d4r != nullptr && std::strcmp(d4r, "1") == 0;
}

bool IsOtherGroupCommand(const char* cd) {
    return CdIn(cd, {"c8",  "c9",  "c4",  "ca",  "c11", "c12", "c13", "c14", "cj",  "cl",  "c15", "c16", "c17",
                     "c18", "cc",  "c2d", "cb",  "c2e", "ci",  "cg",  "c2f", "c2g", "c2h", "c2u", "c2o", "c3a", "c3b"});
}

int ForceServerByFileNumber(const char* fileNumber, const char*, int* resourceIndex, int* serverNumber, char* d16,
                            int d16Size) {
    if (d16 != nullptr && d16Size > 0) std::memset(d16, 0, static_cast<size_t>(d16Size));
    if (resourceIndex != nullptr) *resourceIndex = 0;
    if (serverNumber != nullptr) *serverNumber = 0;
    if (fileNumber == nullptr || resourceIndex == nullptr || serverNumber == nullptr || d16 == nullptr || d16Size < 2)
        return 0;
    for (int i = 0; i < 4; ++i)
        if (!std::isdigit(static_cast<unsigned char>(fileNumber[i]))) return 0;
    const int resource = fileNumber[0] - '0';
    const int server = (fileNumber[1] - '0') * 10 + (fileNumber[2] - '0');
    EFTCBox* c = GetEftContext();
    TraceLog(TRACE_INFO, "[TRV_71]", "Ressource serveur imposee par numero de dossier numerique : no %d ress %d",
             resource, server);
    if (server < 1 || server > 4 || c == nullptr || TOC_IsNetResourceLoaded(c, resource) != 1) return 0;
    *resourceIndex = resource;
    *serverNumber = server;
    d16[0] = fileNumber[3];
    return 1;
}

void StartCardTransaction() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    ResetCardTransaction(c, r);
    int code = 3;
    char cd[8];
    CopyText(cd, sizeof cd, r->command);
    char d4r[8] = "";
    GetTagOf(c->transactionRequest, "D4R", d4r, sizeof d4r);
    if (IsPaymentGroupCommand(cd, d4r)) {
        code = StartPaymentGroup(c, r, cd);
    } else if (IsOtherGroupCommand(cd)) {
        code = StartOtherGroup(c, r, cd);
        if (code < 0) return;  // now a maintenance request, no acknowledgement
    }
    if (!CdIs(cd, "c1") && !CdIs(cd, "c3")) Options.IsConcurrentCheckCard = 0;
    if (Options.IsConcurrentCheckCard != 0) ConcurrentCheckCard = c->pinpadProtocolClass != 0 && LabelIsTalvo(c) ? 1 : 0;
    std::memset(c->posAnswer, 0, sizeof c->posAnswer);
    std::memset(c->posRequest, 0, sizeof c->posRequest);
    EFTOC_SetPosEventFlag(c, 0);
    c->posAnswer[0] = static_cast<char>('0' + code);
    r->posAnswerState = 1;
    if (code != 0) {
        c->loopState = 0;
        r->step = 0;
        return;
    }
    SaveRequestServiceCommand(r->service, r->command);
    if (SecondPassState() == 127 || c->runningRequestTest != nullptr) {
        r->step = 3;
        r->resetRequired = 1;
    } else {
        r->step = 1;
    }
    EPAP_MarkPortTrace(r->amount);
}

void WaitCardInsertion() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    bool echoWait = true;
    int result = 0;
    const bool rudaReader = EPAP_GetProtocol(4) == kRudaProtocol;
    if (EPAP_GetProtocol(4) == 17) r->step = 2;
    CardReadRecord& card = r->cardReadRecord;
    switch (r->processingMode) {
        case 1:
            if (Options.TouchMode == 1) {
                RunHiddenServiceMenu();
                Options.TouchMode = 2;
                if (c->abortCode == 1 || c->abortCode == 2) {
                    EPAP_SetWaitCallback(nullptr);
                    AbortTransaction("9001", 1);
                    EPAP_SetWaitCallback(WaitCallback);
                    return;
                }
                if (Options.SpecialMenu == 2) return;
            }
            if (Options.SpecialMenu != 0) Options.SpecialMenu = 1;
            result = WaitForCard();
            if (rudaReader && card.presentCount != 0) echoWait = false;
            if (r->insertionRetries != 0)
                TraceLog(TRACE_WARN, "[CARD]", "Insertion carte redemandee (Statut : %i)", result);
            if (r->flashLevel != 0 && result == 0 && r->readerSet == kReaderStripe && c->authorisationMode > 0)
                SendCardFlash(c, r);
            break;
        case 2:
            if (c->authorisationMode >= 2) {
                std::memset(&r->terminalResultArea, 0, sizeof r->terminalResultArea);
                result = StartCandidateListBuild();
                echoWait = !rudaReader;
            } else {
                HTML_DisplayMessage(kMessagePage, "ZNP_DSP_HOLDER_WAIT_FOR", "wait");
                echoWait = false;
            }
            ConnectServer(1);
            break;
        case 3:
            echoWait = false;
            if (CdIs(r->command, "c2g") && !LabelIsTalvo(c)) {
                TraceLog(TRACE_INFO, "[LOGIN]", "Debut de temporisation du LOGIN BELONA");
                WSleep(1000);
                TraceLog(TRACE_INFO, "[LOGIN]", "Fin de temporisation du LOGIN BELONA");
            }
            if (CdIn(r->command, {"c3a", "c3b"}) || Options.DirectServerConnection == 1) {
                RecoverTerminalCommunication();
                if (r->terminalInfoStatus != 0) {
                    result = r->terminalInfoStatus;
                } else {
                    r->resetRequired = 1;
                    c->authorisationMode = 2;
                }
            }
            break;
        case 4: {
            char d16[8];
            if (Options.ClsOnly == 0 && !CdIn(r->command, {"c5", "c6", "c7"}) &&
                GetTagOf(c->serverAnswer, "D16", d16, sizeof d16) && std::strcmp(d16, "53") == 0)
                card.technology = 10;
            if (Options.CardRemovalMode == 0 || r->resetRequired != 1 || c->authorisationMode == 0 ||
                c->authorisationMode == 3) {
                echoWait = false;
                break;
            }
            if ((SecondPassState() > 0 && (card.technology == 4 || card.technology == 5)) ||
                IsCardRemovalDeactivated() == 1) {
                echoWait = false;
            } else {
                if (Options.ActivateRemovalDetection != 0) {
                    TermCardStatusOff(&card);
                    EPAP_ClearAll();
                }
                if (card.technology == 10) {
                    c->authorisationMode = 0;
                    echoWait = false;
                } else {
                    result = StartCardRemovalWatch();
                }
            }
            if (rudaReader && card.presentCount == 0) echoWait = false;
            if (r->flashLevel != 0 && result == 0) {
                SendCardFlash(c, r);
                if (c->posRequest[0] != '\0') DealPosDuringTransaction();
            }
            if ((Options.Automatic & 2) != 0) {
                if (rudaReader) {
                    TermCardStatusOff(&card);
                    AbortTransaction("9001", 0);
                }
                r->resetRequired = 0;
                echoWait = false;
            }
            break;
        }
        default: result = PV_CMD_INTERNAL; break;
    }
    if (c->loopState != 40) return;
    r->step = 2;
    if (result != 0) {
        if (r->processingMode != 4) ReportTerminalResult(result);
        r->step = 10;
    } else if (!echoWait) {
        r->step = 3;
    }
}

int RetryOnOtherServer() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    char dbw[8], rs[8];
    if (!GetTagOf(c->serverAnswer, "DBW", dbw, sizeof dbw) || !GetTagOf(c->serverAnswer, "RS", rs, sizeof rs)) return 0;
    if (std::strcmp(rs, "11") == 0 && std::strcmp(dbw, "0") == 0 && c->netResourceIndex >= 0 &&
        c->netResourceIndex < kNetResourceCount) {
        const NetResource& resource = c->netResources[c->netResourceIndex];
        bool retry = false;
        if (r->serverEnabled[kServerPrincipal] != 0) {
            if (resource.servers[kServerSecours].service[0] != '\0') {
                r->serverEnabled[kServerPrincipal] = 0;
                retry = true;
            }
        } else if (r->serverEnabled[kServerSecours] != 0) {
            if (resource.servers[kServerTertiaire].service[0] != '\0') {
                r->serverEnabled[kServerSecours] = 0;
                if (Options.ThirdServerIlotLabel[0] != '\0')
                    CopyText(Options.IlotLabel, sizeof Options.IlotLabel, Options.ThirdServerIlotLabel);
                retry = true;
            }
        }
        if (retry) {
            std::memcpy(c->serverRequest, c->transactionRequest, sizeof c->serverRequest);
            std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
            return 1;
        }
    }
    r->serverEnabled[kServerPrincipal] = 1;
    r->serverEnabled[kServerSecours] = 1;
    return 0;
}

namespace {

// Summary ("cj" or the summary title): the stored offline transactions are
// sent first; "cj" answers from the counts.
bool SummaryStep(EFTCBox* c, TransactionRecord* r) {
    Options.ActivateFIRAI = 0;
    int uploadedNow = 0;
    int stored = 0, sent = 0, refused = 0;
    if (Options.OfflineModeWithSZEL == 1) {
        char keptSv[sizeof r->service];
        CopyText(keptSv, sizeof keptSv, r->service);
        CopyText(r->command, sizeof r->command, "rtl");
        CopyText(r->service, sizeof r->service, "s2");
        const int connected = ConnectServer(r->showConnectionWait);
        char rs[8] = "";
        if (connected == 0 && c->connectionState == 1) {
            if (BuildRtlRequest() == 0) {
                TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_OFF_SENDING");
                if (DealServer() >= 20) TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_OFF_ALL_SENT");
            }
            TOC_CloseServer(c);
            GetTagOf(c->serverAnswer, "RS", rs, sizeof rs);
        } else {
            TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_SYS_ERR_LAN_FAILURE");
            if (!GetTagOf(c->serverAnswer, "RS", rs, sizeof rs) || rs[0] == '\0') CopyText(rs, sizeof rs, "31");
        }
        if (TAG_InitWrite(c->serverAnswer, sizeof c->serverAnswer, 1) == 1) {
            TAG_Set("SV", r->replyService);
            TAG_Set("CD", r->replyCommand);
            TAG_Set("PS", r->station);
            TAG_Set("RS", rs);
        }
        CopyText(r->command, sizeof r->command, "cj");
        CopyText(r->service, sizeof r->service, keptSv);
        SetRs(r, rs);
    } else if (TOF_TrsFileGetState(c, &stored, &sent, &refused) > 0 && stored > 0 && stored > sent) {
        char* saved = new char[kPosBufferSize];
        std::memcpy(saved, c->serverRequest, kPosBufferSize);
        uploadedNow = Offline_UploadTransactions(0);
        std::memcpy(c->serverRequest, saved, kPosBufferSize);
        delete[] saved;
    }
    if (!CdIs(r->command, "cj")) {
        c->connectionState = 0;
        return false;
    }
    if (Options.OfflineModeWithSZEL != 1) {
        if (stored == 0 || stored == sent) SetRs(r, "10");
        else if (uploadedNow != 0 && uploadedNow == stored - sent) SetRs(r, "01");
        else SetRs(r, "11");
    }
    SpoolServerTicket();
    r->step = 10;
    return true;
}

// After an answer: the chained exchange stays armed only after a suitable
// approved debit.
void UpdateSecondPass(EFTCBox* c, TransactionRecord* r) {
    const int8_t state = SecondPassState();
    if (state == 127) {
        Options.ActivateFIRAI = 0xFF;
        return;
    }
    char rs[8];
    if ((state & 1) != 0 && state > 0 && GetTagOf(c->serverAnswer, "RS", rs, sizeof rs) && CdIs(r->command, "c1") &&
        (std::strcmp(rs, "00") == 0 || std::strcmp(rs, "01") == 0 || std::strcmp(rs, "02") == 0 ||
         std::strcmp(rs, "03") == 0)) {
        const int technology = r->cardReadRecord.technology;
        const uint8_t allowed = Options.FIRAIPaymentType;
        if (((technology == 4 || technology == 5) && (allowed & 1) == 0) || (technology == 2 && (allowed & 2) == 0) ||
            (technology == 10 && (allowed & 8) == 0))
            Options.ActivateFIRAI = 0;
        return;
    }
    Options.ActivateFIRAI = 0;
}

// Appends VWAY and SNI to the server answer.
void CompleteServerAnswer(EFTCBox* c, TransactionRecord* r) {
    if (LoadTagMessage(c->serverAnswer, sizeof c->serverAnswer, 0) != 1) return;
    TAG_SetInt("VWAY", r->currentServer + 1);
    TAG_Set("SNI", GetCurrentServerSni(c, r));
}

}  // namespace

int CardTransactionStep() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return PV_CMD_INTERNAL;
    int status = 0;
    bool goBack = false;
    CardReadRecord& card = r->cardReadRecord;
    const bool rudaReader = EPAP_GetProtocol(4) == kRudaProtocol;
    switch (r->processingMode) {
        case 1:
            if (Options.SpecialMenu != 0) Options.SpecialMenu = 3;
            goBack = true;
            status = ReadCardResult();
            if (std::strcmp(r->resultCode, "35") == 0 || std::strcmp(r->resultCode, "21") == 0 ||
                (std::strcmp(r->resultCode, "20") == 0 && Options.AskForRemovalIfISO2Deactivated == 0)) {
                c->abortInhibition = 1;
                goBack = false;
            }
            if (Options.AskCardInsertAfterReboot != 0 && status == PV_NOT_YET && r->insertionRetries < 2) {
                ++r->insertionRetries;
                TraceLog(TRACE_INFO, "[CARD]", "Demande d'une nouvelle insertion carte (Nombre de reessais : %u)",
                         r->insertionRetries);
                r->processingMode = 1;
                r->step = 1;
                return 0;
            }
            if (rudaReader && card.presentCount == 0 && card.eventLength == 0 && status == 0 &&
                (card.status == 5 || card.status == 7)) {
                r->processingMode = 1;
                r->step = 2;
                return 0;
            }
            if (rudaReader && card.technology == 0 && (card.eventData[0] == 'V' || card.eventData[0] == 'C')) {
                r->processingMode = 1;
                r->step = 2;
                card.technology = 0;
                card.presentCount = 0;
                std::memset(card.eventData, 0, sizeof card.eventData);
                card.eventLength = 0;
                return 0;
            }
            break;
        case 2:
            r->processingMode = 3;
            goBack = true;
            if (c->authorisationMode >= 2) {
                status = CheckCandidatePhase();
                if (std::strcmp(r->resultCode, "21") == 0) goBack = false;
            }
            break;
        case 3: {
            if (CdIs(r->command, "cj") || std::strcmp(r->titleId, "ZNP_DSP_TITLE_SUMMARY") == 0) {
                if (SummaryStep(c, r)) return 0;
            }
            if (Options.WaitForPinpad != 0 && r->terminalInfoStatus != 0) {
                TraceLog(TRACE_ERROR, "[CARD]", "Erreur lors du dialogue avec le lecteur en mode connecte serveur");
                r->step = 10;
                return 0;
            }
            // A lost link keeps this phase for one more pass only: this pass
            // takes the flag, and a new loss in its dialogue sets it again
            // (left set, a payment answered after a reconnection would be
            // sent again for ever).
            r->reconnecting = 0;
            if (c->connectionState == 0) status = ConnectServer(r->showConnectionWait);
            if (c->connectionState == 3) {
                c->connectionState = 0;
            } else if (c->connectionState != 1 || r->proxyInhibited != 0) {
                if (r->clientMode != 0) {
                    TOC_ClearServerFlags();
                    r->proxyInhibited = 1;
                    r->clientMode = 0;
                    r->processingMode = 1;
                    CopyText(r->titleId, sizeof r->titleId, "ZNP_DSP_USER_SEL_ENTRY_OFFLINE");
                    status = 0;
                } else {
                    TOC_DisplayById("P5", r->titleId, "ZNP_DSP_USER_SYS_ERR_LAN_FAILURE");
                    SetRs(r, "31");
                    status = 0;
                }
            } else {
                if (LabelIsTalvo(c) && PaymentGroupFlag != 0 && SecondPassState() == 127) {
                    status = BuildDirectModeRequest(0);
                } else {
                    status = BuildServerRequest();
                    if (status != 0)
                        TraceLog(TRACE_WARN, "[CARD]", "Erreur lors de la creation de la requete du serveur");
                }
                if (status == 0) {
                    const int dealt = DealServer();
                    if (dealt >= 20) {
                        UploadOfflineAfterExchange();
                        const int retry = RetryOnOtherServer();
                        if (retry != 0) return retry;
                        UpdateSecondPass(c, r);
                        char d15[8];
                        if (Options.DirectServerConnection == 1 && GetTagOf(c->serverAnswer, "D15", d15, sizeof d15) &&
                            std::strcmp(d15, "2") == 0) {
                            r->resetRequired = 1;
                            c->authorisationMode = 4;
                        }
                        SpoolServerTicket();
                        CompleteServerAnswer(c, r);
                    }
                }
            }
            if (r->reconnecting == 0 && r->processingMode != 1) r->processingMode = 4;
            goBack = true;
            break;
        }
        case 4:
            if (r->echoTimedOut == 0) {
                if (Options.CardRemovalMode == 0) break;
                if (r->resetRequired == 1 && c->authorisationMode != 0 &&
                    !((SecondPassState() > 0 && (card.technology == 4 || card.technology == 5)) ||
                      SecondPassState() == 127))
                    ReadCardResult();
            }
            if (Options.CardRemovalMode != 0 && (Options.Automatic & 2) == 0) PrintTicket();
            status = 0;
            break;
        default: status = PV_CMD_INTERNAL; break;
    }
    if (c->loopState != 40) return status;
    r->step = 10;
    if (status != 0) ReportTerminalResult(status);
    if (goBack) r->step = 1;
    return status;
}

int EndCardTransaction() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 1;
    const int8_t secondPass = SecondPassState();
    if (secondPass <= 0 || std::atoi(r->resultCode) > 9) {
        const CardReadRecord& card = r->cardReadRecord;
        const bool release = r->resetRequired == 1 || Options.ClsOnly == 1 || (Options.PosGuiOptions & 0x444) != 0 ||
                             (EPAP_GetProtocol(4) == kRudaProtocol && card.presentCount == 1 && card.technology == 0 &&
                              std::strcmp(r->resultCode, "32") != 0);
        if (release) {
            r->resetRequired = 1;
            EPAP_SetWaitCallback(nullptr);
            ResetPad(0);
            EPAP_SetWaitCallback(WaitCallback);
            r->resetRequired = 0;
        }
        c->abortCode = 3;
        TOC_CloseServer(c);
        if (release && ZelDiaPoll(c) > 0 && c->posRequest[0] != '\0') DealPosDuringTransaction();
    }
    if (c->serverAnswer[0] != '\0') {
        std::memcpy(c->posAnswer, c->serverAnswer, sizeof c->posAnswer);
        char rs[8];
        if (CdIs(r->command, "c2d") && GetTagOf(c->posAnswer, "RS", rs, sizeof rs) && std::strcmp(rs, "99") == 0) {
            TAG_Remove(c->posAnswer, "RS");
            if (LoadTagMessage(c->posAnswer, sizeof c->posAnswer, 0) == 1) TAG_Set("RS", "03");
        }
    }
    return EFT_FINISHStandard();
}
