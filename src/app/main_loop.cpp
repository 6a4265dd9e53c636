// Main loop passes and the idle request dispatcher.
#include "app/main_loop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

#include "app/service_states.h"
#include "app/startup.h"
#include "comm/comm_services.h"
#include "core/card_masking.h"
#include "core/dates.h"
#include "core/shared_blocks.h"
#include "core/tag_buffer.h"
#include "core/tag_dictionary.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "offline/offline_services.h"
#include "periph/console_windows.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/periph_context.h"
#include "station/pos_link.h"
#include "station/server_exchange.h"
#include "station/text_field.h"
#include "transactions/barcode.h"
#include "transactions/pos_answer.h"
#include "transactions/pos_polling.h"
#include "transactions/terminal_commands.h"
#include "transactions/transaction_phase.h"
#include "transactions/wait_callback.h"

namespace {

bool Eq(const char* a, const char* b) { return WCompareString(a, b, 1) == 1; }

bool OneOf(const char* value, std::initializer_list<const char*> list) {
    for (const char* item : list)
        if (Eq(value, item)) return true;
    return false;
}

const char* CurrentLabel(const EFTCBox* c) {
    if (c->netResourceIndex < 0 || c->netResourceIndex >= kNetResourceCount) return "";
    return c->netResources[c->netResourceIndex].label;
}

// Reads a tag of the bound request into a field. 1 found, 0 absent, -1 a value
// too long for the field (traced and refused).
int GetBounded(const char* code, char* out, int size) {
    out[0] = '\0';
    const int found = TAG_Get(code, out, size, 1);
    if (found == 1) return 1;
    if (found < 0 && TAG_GetLength(code) >= 0) {
        TraceLog(TRACE_WARN, "[TRV_71]", "Valeur du tag %s trop longue (%d caracteres max), ignoree",
                 code, size - 1);
        return -1;
    }
    return 0;
}

void SetResult(TransactionRecord* r, const char* code) { CopyField(r->resultCode, code); }

// Answers '0' now and ends the request with a result code (state 100).
int AnswerWithResult(EFTCBox* c, TransactionRecord* r, const char* code) {
    SetResult(r, code);
    c->loopState = 100;
    SendPosResult(0);
    return 0;
}

int Refuse(EFTCBox* c) {
    c->loopState = 102;
    return 0;
}

int AbortWithoutTransaction(EFTCBox* c) {
    EPAP_SetWaitCallback(nullptr);
    TOC_CloseServer(c);
    TraceLog(TRACE_INFO, "[POS]", "Abandon demande sans traitement de requete");
    AbortTransaction("9001", 1);
    EPAP_SetWaitCallback(WaitCallback);
    return 0;
}

int PaymentFamily(EFTCBox* c, TransactionRecord* r, const char* sv, const char* cd, bool pn40,
                  bool* fallThrough) {
    EFTOC_SetApplicationCode(c, "1400");
    r->step = 0;
    if (Eq(cd, "cj")) {
        int stored = 0, sent = 0, refused = 0;
        const int state = TOF_TrsFileGetState(c, &stored, &sent, &refused);
        if (state <= 0 || stored <= 0 || stored <= sent) return AnswerWithResult(c, r, "01");
    }
    if (Eq(sv, "s0") || (Eq(sv, "s4") && pn40)) {
        CardMode = 1;
    } else if (Eq(sv, "s1")) {
        CardMode = 0;
        if (OneOf(cd, {"c13", "c14", "c11", "c12"})) return Refuse(c);
    }
    char value[16];
    const bool hasAmount = GetBounded("D10", value, sizeof value) != 0;
    if (OneOf(cd, {"c13", "c14", "c11", "c12", "c17", "c18", "c15", "c16", "c4", "ca", "c8", "c9",
                   "cl", "cc", "c2d", "cb", "c2e", "ci", "cg", "c2g", "c2h", "cj", "c2u"})) {
        if (Eq(cd, "c4")) c->abortInhibition = 1;
        if (Options.MandatoryAmount == 1 && !hasAmount && OneOf(cd, {"c8", "c9"}))
            return AnswerWithResult(c, r, "36");
        r->processingMode = 3;
        c->loopState = 40;
        if (GetBounded("D15", value, sizeof value) == 1 && std::strcmp(value, "9") == 0)
            r->showConnectionWait = 0;
        return 1;
    }
    if (OneOf(cd, {"c1", "c2", "c3", "ch", "c5", "c6", "c7", "c2f", "c2j", "c2k", "c2l", "c2m",
                   "c2o", "c2p", "c2q", "c2r", "c30", "c2v", "c2w", "c2x", "cn"}) ||
        (Eq(sv, "s4") && pn40)) {
        if (Options.MandatoryAmount == 1 && !hasAmount) return AnswerWithResult(c, r, "36");
        int detection = 0;
        if (TAG_GetInt("DID", &detection, 1) == 1) Options.DetectionTimeout = detection;
        r->processingMode =
            GetBounded("ECM", value, sizeof value) == 1 && std::strcmp(value, "1") == 0 ? 3 : 1;
        if (GetBounded("D15", value, sizeof value) == 1 && std::strcmp(value, "9") == 0) {
            r->processingMode = 3;
            r->showConnectionWait = 0;
        }
        if (GetBounded("D16", value, sizeof value) == 1 && std::strcmp(value, "A2") == 0) {
            if ((Options.ActivateFIRAI & 2) != 0) {
                r->step = 0;
                Options.ActivateFIRAI = 0x7F;
                r->resetRequired = 1;
                c->authorisationMode = 3;
            } else {
                Options.ActivateFIRAI = 0;
                return AnswerWithResult(c, r, "99");
            }
        }
        c->loopState = 40;
        return 1;
    }
    *fallThrough = true;
    return 0;
}

// Server hosts and services of the first "TALVO" resource from HO1-3, SV1-3.
void TakeServerInfo(EFTCBox* c) {
    TraceLog(TRACE_DEBUG, "[TRV_71]", "Recuperation des infos des serveurs");
    for (int i = 0; i < kNetResourceCount; ++i) {
        const NetResource& res = c->netResources[i];
        if (res.label[0] != '\0' && !Eq(res.label, "TALVO")) continue;
        static const char* const kHosts[] = {"HO1", "HO2", "HO3"};
        static const char* const kServices[] = {"SV1", "SV2", "SV3"};
        for (int s = 0; s < 3; ++s) {
            char host[81], service[81];
            const bool hasHost = GetBounded(kHosts[s], host, sizeof host) == 1;
            const bool hasService = GetBounded(kServices[s], service, sizeof service) == 1;
            TOC_RedirectServer(c, i, s, hasHost ? host : nullptr, hasService ? service : nullptr);
        }
        return;
    }
}

// Whether a text holds card data (a card number, a track, a card value seen
// before): the masks of the terminal line's trace would change it.
bool HoldsCardData(const char* text) {
    std::vector<unsigned char> copy(text, text + std::strlen(text));
    const bool found = WSysMaskBytes(copy.data(), copy.size()) > 0;
    OPENSSL_cleanse(copy.data(), copy.size());
    return found;
}

void TakeIslandLabel(EFTCBox* c, TransactionRecord* r) {
    char label[sizeof Options.IlotLabel];
    const int found = GetBounded("D7V", label, sizeof label);
    // A label is stored in the options file and goes to every server: one
    // that holds card data is refused, and the request goes on without it.
    if (found == 1 && HoldsCardData(label)) {
        OPENSSL_cleanse(label, sizeof label);
        TraceLog(TRACE_WARN, "[TRV_71]", "Valeur du tag D7V refusee (donnees carte), libelle d'ilot inchange");
        while (TAG_Remove(c->posRequest, "D7V") == 1) {
        }
        return;
    }
    if (found == 1) {
        const int station = std::atoi(r->station);
        if (Options.AddPosNumber == 1 && station <= 99 && std::strlen(label) < 58) {
            const size_t length = std::strlen(label);
            std::snprintf(label + length, sizeof label - length, "K%*.*u", 2, 2,
                          static_cast<unsigned>(station));
        }
        if (Options.IlotLabel[0] == '\0' || std::strcmp(Options.IlotLabel, label) != 0) {
            CopyField(Options.IlotLabel, label);
            WriteOption("IlotLabel", Options.IlotLabel);
        }
    }
    if (Options.IlotLabel[0] != '\0') TAG_Remove(c->posRequest, "D7V");
}

// The resource named by LTY or by the island label; false when it was looked
// for and not found.
bool TakeServerResource(EFTCBox* c) {
    char key[64];
    int index = -2;
    if (GetBounded("LTY", key, sizeof key) == 1) {
        index = TOC_getResourceIndexToUse(c, key, 1);
    } else {
        const int offset = Options.ServerIdentifierOffset;
        const int size = Options.ServerIdentifierSize;
        if (offset >= 1 && size >= 1 && size < 60 &&
            std::strlen(Options.IlotLabel) >= static_cast<size_t>(offset) + size - 1) {
            std::snprintf(key, sizeof key, "_%*.*s", size, size, Options.IlotLabel + offset - 1);
            index = TOC_getResourceIndexToUse(c, key, 1);
        }
    }
    if (index == -2) return true;
    if (index < 0) {
        TraceLog(TRACE_WARN, "[TRV_71]", "Ressource serveur inconnue");
        c->netResourceIndex = 0;
        return false;
    }
    c->netResourceIndex = index;
    return true;
}

void TakeVway(TransactionRecord* r) {
    // Room for any value a request can hold: an empty or odd occurrence is
    // passed over, never the end of the walk.
    std::vector<char> value(TAG_MESSAGE_BUFFER_SIZE);
    bool any = false;
    int found = TAG_Get("VWAY", value.data(), static_cast<int>(value.size()), 1);
    while (found == 1) {
        any = true;
        if (value[0] != '\0') TOC_EnableServer(std::atoi(value.data()) - 1);
        found = TAG_Get("VWAY", value.data(), static_cast<int>(value.size()), 0);
    }
    if (!any) {
        r->currentServer = 0;
        TOC_EnableAllServers();
    }
    WSysError("@@ DEBUG @@ VWAY #1=%d #2=%d #3=%d #D=%d current=%d", r->serverEnabled[0],
              r->serverEnabled[1], r->serverEnabled[2], r->serverEnabled[3], r->currentServer);
}

// Automatic maintenance: the program writes itself a maintenance request.
void BuildMaintenanceRequest(EFTCBox* c, TransactionRecord* r) {
    CopyField(r->service, "s2");
    LoadTagMessage(c->posRequest, sizeof c->posRequest, 1);
    TAG_Set("SS", "R");
    TAG_Set("PS", r->station);
    TAG_Set("SV", "s2");
    const int bits = Options.UploadNeeded;
    const char* cd = "c19";
    if ((bits & 1) != 0) {
        cd = "c1c";
        TAG_Set("CD", cd);
        TAG_Set("D3C", "1");
        TAG_Set("D2R", "8");
    } else if ((bits & 6) != 0) {
        cd = "c1c";
        TAG_Set("CD", cd);
        if ((bits & 4) != 0) TAG_Set("D49", "1");
    } else {
        TAG_Set("CD", cd);
    }
    CopyField(r->command, cd);
    EFTOC_StartTimer(c, 7200);
    EFTOC_SetApplicationCode(c, "1500");
}

}  // namespace

int EFTOC_Shutdown(EFTCBox* context) {
    if (context == nullptr) return 1;
    const TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && record->barcodeActive >= 1) TermStopBarcodeReader();
    ZelDiaClose(context->posLink);
    context->posLink = nullptr;
    TWEP_CloseSerialPorts(context->papBox);
    if (context->debugLevel != 0) {
        const std::string hashes = std::string(80, '#') + "\n";
        LogExchange(0, hashes.c_str(), context->exchangeLogName, context->logSizeKb);
        TraceFrontWriteLine("** INFO. ** ##########################################\n");
    }
    EFTOC_Close(context);
    return 1;
}

int ShutdownClient() {
    EFTCBox* context = GetEftContext();
    if (context != nullptr) EFTOC_Shutdown(context);
    SetEftContext(nullptr);
    return 1;
}

int SendErrorAnswer() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    SendPosResult(5);
    if (Options.WaitForPinpad == 0 && c != nullptr) TWEP_CloseSerialPorts(c->papBox);
    if (r != nullptr) {
        r->step = 0;
        std::memset(r->resultCode, 0, sizeof r->resultCode);
        r->cardFlowMarker = 0;
    }
    if (c != nullptr) c->loopState = 103;
    return 1;
}

int DealPosRequest() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return -1;

    const int poll = ZelDiaPoll(c);
    c->posEventFlag = g_processOptions.generateEvents;
    if (poll < 0) {
        SetResult(r, "38");
        return -6;
    }
    if (poll < 10 || c->posRequest[0] == '\0') return 0;

    // Prepare.
    EFTOC_RestartPrinterSpool();
    TOC_LoadOptions();
    std::memset(r->e6, 0, sizeof r->e6);
    std::memset(r->e7, 0, sizeof r->e7);
    // A new request starts a new transaction: the card of the previous one
    // is forgotten, so the next card is captured.
    ClearCardTrackFields();
    ClearCardRecords();
    std::memset(r->replyService, 0, sizeof r->replyService);
    std::memset(r->replyCommand, 0, sizeof r->replyCommand);
    std::memset(r->terminalLanguageCode, 0, sizeof r->terminalLanguageCode);
    std::memset(c->sentServerRequest, 0, sizeof c->sentServerRequest);
    std::memset(c->pendingPosFlash, 0, sizeof c->pendingPosFlash);
    r->answerReceived = r->reconnecting = 0;
    TOC_ClearServerFlags();
    r->maintenanceInProgress = r->maintenanceNotified = r->terminalRebootRequested = 0;
    r->serverMessageSeen = 0;
    r->echoTimedOut = 0;
    r->showConnectionWait = 1;
    r->terminalInfoStatus = 0;
    c->abortInhibition = 0;
    SetMaintenanceIndicator(0);
    c->authorisationMode = -1;

    if (r->barcodeActive >= 1) {
        char barcode[kTermBarcodeBufferSize];
        int status;
        do {
            status = TermReadBarcode(barcode, 0);
        } while (status == PV_NOT_YET || status == PV_NET_TIMEOUT);
        EPAP_ClearAll();
        TermStopBarcodeReader();
        r->barcodeActive = 1;
    }

    TAG_InitRead(c->posRequest, TAG_MESSAGE_MAX_CHARS, 0);
    char ss[8] = "", sv[8] = "", cd[8] = "";
    const int hasSs = GetBounded("SS", ss, sizeof ss);
    const int hasSv = GetBounded("SV", sv, sizeof sv);
    const int hasCd = GetBounded("CD", cd, sizeof cd);

    c->silenceAllowed = 0;
    if (c->connectionState == 1 && !(Eq(sv, "s4") && Eq(CurrentLabel(c), "PN40"))) TOC_CloseServer(c);
    c->netResourceIndex = Options.NetResourceIndexToUse;
    if (!TOC_IsNetResourceLoaded(c, c->netResourceIndex)) TOC_LoadNetResource(c, c->netResourceIndex);

    TraceLog(TRACE_INFO, "[TRV_71]", "Requete a traiter: %s", c->posRequest);
    logATAG(kLoggerEftagRequest, WLOG_DEBUG, c->posRequest);

    // A usable request: SS "R", an SV and a CD (each within its field).
    if (hasSs != 1 || std::strcmp(ss, "R") != 0 || hasSv != 1 || hasCd != 1 ||
        std::strlen(sv) >= sizeof r->service || std::strlen(cd) >= sizeof r->command)
        return Refuse(c);

    if (std::strncmp(sv, "s3", 2) == 0 && std::strncmp(cd, "c0", 2) == 0) {
        SendPosResult(1);
        return 0;
    }

    const bool notStopOrCapture = std::strncmp(sv, "s3", 2) != 0 && !OneOf(cd, {"c2d", "c2e", "c12"});
    if (notStopOrCapture) {
        c->terminalRecord = TWEP_FindFunction(c->papBox, 4, 1);
        if (c->terminalRecord != nullptr && Options.WaitForPinpad == 0 && r->barcodeActive < 1) {
            const ComResource* resource = WCOM_GetResourceByNum(c->terminalRecord->port);
            if (resource != nullptr && resource->type == WCOM_TYPE_CONNECTED)
                WComOpen2(c->terminalRecord->port);
        }
    }

    int number = 0;
    if (TAG_GetInt("D12", &number, 1) == 1) {
        EFTOC_SetLanguages(c, g_processOptions.language, number);
        if (Eq(CurrentLabel(c), "LUD")) EFTOC_SetLanguages(c, number, number);
    }
    CheckAciBypassCommand(cd);
    c->transactionType = 3;
    if (TAG_GetInt("TT", &number, 1) == 1) c->transactionType = number;
    // TT also says what becomes of the ticket (1 print and return, 2 return
    // only, 3 print only).
    c->ticketTag = c->transactionType >= 1 && c->transactionType <= 3 ? c->transactionType : 3;

    TakeServerInfo(c);
    GetBounded("E6", r->e6, sizeof r->e6);
    GetBounded("E7", r->e7, sizeof r->e7);
    GetBounded("PS", r->requestStation, sizeof r->requestStation);

    if (!Eq(sv, "s3") && Options.PhysicalFileNameSearchCalculation != 0) {
        TraceLog(TRACE_DEBUG, "[TRV_71]",
                 "Recuperation des infos de connexion au lecteur en fonction du numero de poste");
        if (WCompareNString(r->requestStation, Options.LastPOSNumberUsed, 1, 5) != 1) {
            TraceLog(TRACE_INFO, "[TRV_71]",
                     "Changement de fichier de communication (Dernier utilise : %s, courant : %s)",
                     Options.LastPOSNumberUsed, r->requestStation);
            CopyField(Options.LastPOSNumberUsed, r->requestStation);
            WriteOption("LastPOSNumberUsed", Options.LastPOSNumberUsed);
            KTS_SetCountry(c->box, 0);
            KTS_SetDirectory(c->box, EFTOC_GetDirectory(c, "WCFG"));
            if (KTS_SetFile(c->box, "com") < 0 || TOC_LoadComResources(c, 1) < 0) return -3;
        }
    }

    if (EPAP_GetProtocol(4) == 16 && notStopOrCapture && Options.ACI_ActivateCardReadingBypass == 0) {
        char country[8];
        std::snprintf(country, sizeof country, "%03d", c->terminalLanguage % 1000);
        if (WGetLanguageCode(country, r->terminalLanguageCode) == 1) {
            TraceLog(TRACE_DEBUG, "[TRV_71]", "Recuperation des infos des logiciels du lecteur");
            r->terminalInfoStatus = TermGetInfo(0, 0);
            if (r->terminalInfoStatus == 0)
                r->terminalInfoStatus =
                    Eq(sv, "s1") ? 33 : EPAP_SelectLanguage(4, r->terminalLanguageCode, 2000);
            if (r->terminalInfoStatus == 0 && Options.ShutdownTerminalWhenTransactionCompleted != 0)
                TermPowerCardReader(1);
        }
    }

    TakeVway(r);
    char value[sizeof Options.IlotLabel];
    if (GetBounded("D91", value, sizeof value) == 1)
        Options.PosGuiOptions = static_cast<int>(std::strtol(value, nullptr, 16));
    TakeIslandLabel(c, r);
    const bool serverKnown = TakeServerResource(c);
    r->flashLevel = 0;
    TAG_GetInt("D3H", &r->flashLevel, 1);
    if (TAG_GetInt("DBV", &number, 1) == 1) Options.PosTicketMode = number;
    if (GetBounded("DAC", value, sizeof value) != 0) Options.DoAddCardInfoInFlash |= 1;

    CopyField(r->service, sv);
    CopyField(r->command, cd);
    EFTOC_StartTimer(c, 7200);

    if (!Eq(cd, "c99")) {
        const int station = std::atoi(r->station);
        if (station == 0 ||
            (Options.RangePOSForbidden != nullptr && WIsInRangeList(Options.RangePOSForbidden, station) == 1)) {
            TraceLog(TRACE_WARN, "[CARD]", "POS Forbidden");
            return AnswerWithResult(c, r, "98");
        }
    }
    if (!serverKnown) {
        TraceLog(TRACE_WARN, "[CARD]",
                 "EFTAG LTY ou parametres ServerIdentifierSize et ServerIdentifierOffset incorrects");
        return AnswerWithResult(c, r, "36");
    }
    if (c->netResourceIndex != Options.NetResourceIndexToUse) {
        Options.NetResourceIndexToUse = c->netResourceIndex;
        char text[16];
        std::snprintf(text, sizeof text, "%d", c->netResourceIndex);
        WriteOption("NetResourceIndexToUse", text);
        if (!TOC_IsNetResourceLoaded(c, c->netResourceIndex)) TOC_LoadNetResource(c, c->netResourceIndex);
    }
    if (Eq(cd, "c2g") && WCompareNString(CurrentLabel(c), "LUD", 1, 3) == 1) {
        TAG_Remove(c->posRequest, "SV");
        TAG_Remove(c->posRequest, "CD");
        if (LoadTagMessage(c->posRequest, sizeof c->posRequest, 0) == 1 && TAG_SeekEnd(0) >= 0 &&
            TAG_Set("SV", "s2") == 1 && TAG_Set("CD", "c1c") == 1) {
            EFTOC_SetApplicationCode(c, "1500");
            CopyField(r->service, "s2");
            CopyField(r->command, "c1c");
            CopyField(r->replyService, "s0");
            CopyField(r->replyCommand, "c2g");
        }
        CopyField(sv, r->service);
        CopyField(cd, r->command);
    }

    // Dispatch.
    const bool pn40 = Eq(CurrentLabel(c), "PN40");
    if (Eq(sv, "s2") || Eq(sv, "s10")) {
        EFTOC_SetApplicationCode(c, Eq(sv, "s2") ? "1500" : "1400");
        r->step = 0;
        c->loopState = 10;
        return 1;
    }
    const int protocol = EPAP_GetProtocol(4);
    if ((protocol == 3 || protocol == 17) && Eq(sv, "s0") && OneOf(cd, {"c1", "c3"})) {
        EFTOC_SetApplicationCode(c, "1400");
        SaveRequestServiceCommand("", "");
        r->step = 0;
        c->loopState = 40;
        return 1;
    }
    if (Eq(sv, "s0") || Eq(sv, "s1") || (Eq(sv, "s4") && pn40)) {
        bool fallThrough = false;
        const int result = PaymentFamily(c, r, sv, cd, pn40, &fallThrough);
        if (!fallThrough) return result;
    }
    if (Eq(sv, "s3") && Eq(cd, "c99")) CloseClient("Arret client monetique demande", true);
    if (Eq(sv, "s3") && Eq(cd, "c0")) return AbortWithoutTransaction(c);
    if (Eq(sv, "s4") && !pn40) {
        EFTOC_SetApplicationCode(c, "1400");
        r->step = 0;
        if (OneOf(cd, {"c15", "c18", "c1j", "c1h", "c1i", "c43", "c50", "mgs"})) {
            c->loopState = 50;
            return 1;
        }
    }
    if (Eq(sv, "s7")) {
        EFTOC_SetApplicationCode(c, "1400");
        r->step = 0;
        if (Eq(cd, "c24")) {
            c->loopState = 50;
            return 1;
        }
    }
    if (Eq(sv, "s12")) {
        SetResult(r, "01");
        c->loopState = 100;
        if (OneOf(cd, {"c25", "c26", "c27"})) {
            SendPosResult(0);
            DoNothing(0);
            return 1;
        }
    }
    if (Eq(sv, "s14") && OneOf(cd, {"c3a", "c3b"})) {
        EFTOC_SetApplicationCode(c, "1400");
        r->resetRequired = 1;
        r->showConnectionWait = 0;
        c->loopState = 40;
        r->step = 0;
        CardMode = 1;
        r->processingMode = 3;
        if (EPAP_GetProtocol(0) == 2) {
            EPAP_DisplayMessageAndReset(0, "", -1, -1, "", 0);
            EPAP_SendScriptCommands();
            EPAP_ClearAll();
        }
        return 1;
    }
    if (Eq(sv, "sqa")) {
        EFTOC_SetApplicationCode(c, "1400");
        c->loopState = 200;
        return 1;
    }
    return Refuse(c);
}

void RunIdlePass() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    LoopStartupState& startup = GetLoopStartupState();

    if (Options.UploadTime[0] != '\0') {
        char today[9] = "", now[7] = "";
        WGetLocalDateTime(today, now);
        if (Options.UploadDate[0] == '\0') CopyField(Options.UploadDate, today);
        if (std::strcmp(today, Options.UploadDate) >= 0 && std::strcmp(now, Options.UploadTime) >= 0) {
            char next[9] = "";
            if (WAddDays(Options.UploadDate, "01", next) >= 0) {
                next[8] = '\0';
                CopyField(Options.UploadDate, next);
            }
            WriteOption("UploadDate", Options.UploadDate);
            Options.UploadNeeded = 2;
            r->step = 0;
            c->loopState = 10;
            r->posAnswerState = 2;
            if (startup.p5Window != nullptr) ISAP_ResetWindowResource(startup.p5Window);
            return;
        }
    }
    if (Options.UploadNeeded != 0) {
        if (startup.p5Window != nullptr) ISAP_SetWindowResource(startup.p5Window, startup.p5Resource);
        if (Options.ExitAfterUpload != 0) {
            ShutdownClient();
            EndProcess(-1);
        }
    }
    Options.UploadNeeded = 0;
    r->posAnswerState = 0;
    if (c->abortInhibition != 1) c->abortInhibition = 2;

    // A request that no state took (a functional test that does not exist,
    // a failed reload of the communication file) would keep the poll from
    // ever reading again: it is dropped now.
    if (c->posRequest[0] != '\0') {
        TraceLog(TRACE_WARN, "[TRV_71]", "Requete non traitee abandonnee: %s", c->posRequest);
        std::memset(c->posRequest, 0, sizeof c->posRequest);
    }

    if (DealPosRequest() != 0) return;
    if (c->loopState != 0) return;
    if (r->barcodeActive >= 1 &&
        (Options.TimeBeforeIdleBehaviour <= 0 || WIsTimeOut(startup.idleStamp, Options.TimeBeforeIdleBehaviour)))
        c->loopState = 150;
}

void RunLoopPass() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    switch (c->loopState) {
        case 0: RunIdlePass(); break;
        case 10:
            if (Options.UploadNeeded != 0 && r->step == 0) BuildMaintenanceRequest(c, r);
            RunMaintenanceState();
            break;
        case 40: RunTransactionPhase(); break;
        case 50: RunTerminalServiceState(); break;
        case 100: EFT_FINISHStandard(); break;
        case 102: SendErrorAnswer(); break;
        case 103: c->loopState = 0; break;
        case 150:
            BarcodeStep();
            c->loopState = 0;
            break;
        case 200: runFunctionalTests(); break;
        default: break;
    }
}
