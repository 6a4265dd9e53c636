// The server exchange step, the POS poll step, the alert and time-out
// checks, the flash-information completion and the shutdown of the EFT
// context.
#include "station/server_exchange.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/comm_services.h"
#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/tag_dictionary.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/pos_link.h"

namespace {

constexpr const char kIndicatorPath[] = "WOUT/update.tmp";

int g_emptyPollCount = 0;
int g_socketWatchState = 0;

bool IsType(const char* type, const char* wanted) { return strcasecmp(type, wanted) == 0; }

struct TypeName {
    const char* type;
    const char* name;
};

constexpr TypeName kNames[] = {
    {"1200", "Serveur <-> Periph"},
    {"1410", "Serveur -> Client : Flash info"},
    {"1411", "Serveur -> Belona"},
    {"1210", "Serveur <-> IHM"},
    {"1400", "Serveur -> Client : Reponse requete transactionnelle"},
    {"1500", "Serveur -> Client : reponse requete de maintenance"},
    {"9998", "Serveur -> Client : Interdiction abandon caisse"},
    {"9999", "Serveur -> Client : Coupure socket"},
    {"1100", "Serveur -> Client : Transfert de fichier"},
};

// The eighth character of the body is '1' (the body may be short or null).
bool EighthIsOne(const char* body) {
    return body != nullptr && strnlen(body, 8) == 8 && body[7] == '1';
}

// The body as text: its bytes up to the first NUL, at most length bytes.
std::string BodyText(const uint8_t* body, uint32_t length) {
    const char* text = reinterpret_cast<const char*>(body);
    return std::string(text, strnlen(text, length));
}

// Context tags the server wants with every request, added before the end
// tag of the request bound to the tag writer and reader. false (traced)
// when one cannot be added.
bool AddContextTags(EFTCBox* c, TransactionRecord* r) {
    const auto add = [](const char* code, const char* value) { return TAG_Set(code, value) == 1; };
    if (Options.IlotLabel[0] != '\0' && !add("D7V", Options.IlotLabel)) {
        TraceLog(TRACE_ERROR, "[SERVER]", "Ajout du libelle d'ilot echoue (%s)", Options.IlotLabel);
        return false;
    }
    bool added = true;
    const int protocol = EPAP_GetProtocol(4);
    if (protocol == 16) {
        added = add("DA4", "RUDA");
        c->terminalRecord = TWEP_FindFunction(c->papBox, 4, 1);
        const ComResource* resource =
            c->terminalRecord != nullptr ? WCOM_GetResourceByNum(c->terminalRecord->port) : nullptr;
        if (added && resource != nullptr) {
            char type[16];
            std::snprintf(type, sizeof type, "%d", static_cast<int>(resource->type));
            added = add("DAH", type);
        }
    } else if (protocol == 2) {
        added = add("DA4", "DORAN");
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(Options.PosGuiOptions));
    added = added && add("D91", text);
    if (added && TAG_GetLength("GRAPH") < 0) {
        const KT_TEXT_WINDOW* printer = KTS_GetWindow(c->box, "F5");
        if (printer != nullptr && printer->graphic == '1') added = add("GRAPH", "1");
    }
    if (added) {
        if (const char* day = TAG_GetString("DAY", 1)) {
            Options.MaintainerTillRight = day[0] == '1' ? 1 : 0;
        } else {
            const char* cd = TAG_GetString("CD", 1);
            if (cd != nullptr && (strcasecmp(cd, "c2g") == 0 || strcasecmp(cd, "c1c") == 0 ||
                                  strcasecmp(cd, "c1") == 0 || strcasecmp(cd, "c2") == 0 || strcasecmp(cd, "c3") == 0))
                added = add("DAY", Options.MaintainerTillRight == 1 ? "1" : "0");
        }
    }
    if (added) {
        char number[16];
        std::snprintf(number, sizeof number, "%d", c->netResourceIndex);
        added = add("LTZ", number);
        std::snprintf(number, sizeof number, "%d", r->currentServer + 1);
        added = added && add("VWAY", number) && add("SNI", GetCurrentServerSni(c, r));
    }
    if (!added) {
        TraceLog(TRACE_ERROR, "[SERVER]", "Ajout des tags de contexte a la requete echoue");
        return false;
    }
    if (Options.IlotLabel[0] != '\0' && Options.AddPosNumber == 1 && std::atoi(r->station) <= 99) {
        while (TAG_Disable("PS") == 1) {
        }
        if (!add("PS", "1")) {
            TraceLog(TRACE_ERROR, "[SERVER]", "Forcage du numero de caisse a 1 echoue");
            return false;
        }
    }
    return true;
}

// Completes and sends the request of serverRequest: 1 sent (the buffer is
// cleared), -1 failure (the buffer holds the request as it was).
int SendServerRequest(EFTCBox* c, TransactionRecord* r, ANIBox* annex) {
    const std::string original(c->serverRequest, strnlen(c->serverRequest, sizeof c->serverRequest - 1));
    const auto fail = [&]() {
        std::memset(c->serverRequest, 0, sizeof c->serverRequest);
        std::memcpy(c->serverRequest, original.data(), original.size());
        return -1;
    };
    TAG_InitRead(c->serverRequest, sizeof c->serverRequest, 0);
    if (LoadTagMessage(c->serverRequest, sizeof c->serverRequest, 0) != 1 || !AddContextTags(c, r)) return fail();
    KTM_WPRO* mess = annex->box->mess;
    uint8_t* body = KTM_GetRequestMessage(mess);
    if (body == nullptr || KTS_AnnexPutRequest(annex, nullptr, nullptr, nullptr, c->applicationCode, nullptr) != 1) {
        TraceLog(TRACE_ERROR, "[SERVER]", "Preparation de l'emission d'un message echouee");
        return fail();
    }
    const uint32_t length = static_cast<uint32_t>(strnlen(c->serverRequest, sizeof c->serverRequest - 1));
    const int encoded = TWIP_ReseauPrintf(body, static_cast<uint32_t>(KTM_M_MAX), "%B", length, c->serverRequest);
    if (encoded < 0) {
        TraceLog(TRACE_ERROR, "[SERVER]", "Preparation de l'emission d'un message echouee");
        return fail();
    }
    mess->request->mLength = static_cast<uint32_t>(encoded);
    // A frame that did not leave whole is not a request sent.
    const int sent = KTX_SomeThingToSend(mess, 0);
    if (sent < 0 || static_cast<uint32_t>(sent) != mess->request->totalLength) {
        TraceLog(TRACE_ERROR, "[SERVER]", "Emission requete echouee: %s", c->serverRequest);
        return fail();
    }
    TraceLog(TRACE_INFO, "[SERVER]", "Requete emise: %s", c->serverRequest);
    logATAG(kLoggerEftagRequest, WLOG_DEBUG, c->serverRequest);
    if (c->debugLevel != 0) LogExchange(EXCHANGE_TO_SERVER, c->serverRequest, c->exchangeLogName, c->logSizeKb);
    std::memset(c->serverRequest, 0, sizeof c->serverRequest);
    return 1;
}

// Decodes a "%D" body into serverAnswer (always terminated); false (traced,
// serverAnswer empty) when the body is not a readable field.
bool DecodeAnswer(EFTCBox* c, const uint8_t* body, const char* type) {
    std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
    int length = -1;
    const int fields = TWIP_ReseauScanf(body, "%D", &length, c->serverAnswer,
                                        static_cast<unsigned>(sizeof c->serverAnswer - 1));
    if (fields != 1 || length < 0 || length >= static_cast<int>(sizeof c->serverAnswer)) {
        std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
        TraceLog(TRACE_ERROR, "[SERVER]", "Message recu illisible (%s)", type);
        return false;
    }
    c->serverAnswer[length] = '\0';
    if (c->debugLevel != 0) LogExchange(EXCHANGE_FROM_SERVER, c->serverAnswer, c->exchangeLogName, c->logSizeKb);
    return true;
}

int LostConnection() {
    TraceLog(TRACE_ERROR, "[SERVER]", "Connexion perdue");
    return -1;
}

}  // namespace

void LogServerMessageType(const char* type, const char* body) {
    char code[5] = "";
    if (type != nullptr) std::memcpy(code, type, strnlen(type, 4));
    if (std::strcmp(code, "9997") == 0) {
        TraceLog(TRACE_INFO, "[NET]", "Echo serveur recu");
        return;
    }
    if (std::strcmp(code, "9996") == 0) {
        TraceLog(TRACE_DEBUG, "[SERVER]", "%s",
                 EighthIsOne(body) ? "Serveur -> Client : Debut maintenance"
                                   : "Serveur -> Client : Fin maintenance");
        return;
    }
    if (std::strcmp(code, "9995") == 0) {
        TraceLog(TRACE_DEBUG, "[SERVER]", "%s",
                 EighthIsOne(body) ? "Serveur -> Client : Reboot lecteur demande"
                                   : "Serveur -> Client : Reboot lecteur fini");
        return;
    }
    for (const TypeName& n : kNames) {
        if (std::strcmp(code, n.type) == 0) {
            TraceLog(TRACE_DEBUG, "[SERVER]", "%s", n.name);
            return;
        }
    }
    TraceLog(TRACE_DEBUG, "[SERVER]", "Serveur ->    ?   : Message inconnu %s", code);
}

void SuperviseSockets(int, int*, int*) {}

int SetMaintenanceIndicator(int flag) {
    if (Options.WaitForPinpad != 1) return 0;
    std::FILE* existing = std::fopen(kIndicatorPath, "rb");
    if (flag != 0) {
        if (existing != nullptr) {
            std::fclose(existing);
        } else {
            std::FILE* file = std::fopen(kIndicatorPath, "a+b");
            if (file == nullptr || std::fputc('c', file) == EOF || std::fflush(file) != 0) {
                if (file != nullptr) std::fclose(file);
                TraceLog(TRACE_ERROR, "[MAINTENANCE]", "Echec indicateur de maintenance en cours");
                return 1;
            }
            std::fclose(file);
        }
        TraceLog(TRACE_INFO, "[MAINTENANCE]", "Indicateur de maintenance en cours cree");
        return 0;
    }
    if (existing != nullptr) {
        std::fclose(existing);
        std::remove(kIndicatorPath);
        TraceLog(TRACE_INFO, "[MAINTENANCE]", "Indicateur de maintenance en cours efface");
    } else {
        TraceLog(TRACE_INFO, "[MAINTENANCE]", "Indicateur de maintenance en cours absent lors de la demande d'effacement");
    }
    return 0;
}

void TOC_TakePosFlash(EFTCBox* c, const char* request) {
    if (c == nullptr || request == nullptr) return;
    if (c->serverRequest[0] == '\0' && c->connectionState == 1) {
        EFTOC_SetApplicationCode(c, "1410");
        std::memset(c->serverRequest, 0, sizeof c->serverRequest);
        std::memcpy(c->serverRequest, request, strnlen(request, sizeof c->serverRequest - 1));
        return;
    }
    // The buffer holds the transaction's own request (or no server is
    // there yet): the flash information must neither replace it nor give it
    // its message type.
    std::memset(c->pendingPosFlash, 0, sizeof c->pendingPosFlash);
    std::memcpy(c->pendingPosFlash, request, strnlen(request, sizeof c->pendingPosFlash - 1));
    TraceLog(TRACE_INFO, "[SERVER]", "Flash info de la caisse en attente de la connexion serveur");
}

int TOC_SendPendingPosFlash(EFTCBox* c) {
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr || c->pendingPosFlash[0] == '\0' || c->connectionState != 1) return 0;
    ANIBox* annex = c->serverBox;
    if (annex == nullptr || annex->box == nullptr || annex->box->mess == nullptr) return 0;
    const std::string keptRequest(c->serverRequest, strnlen(c->serverRequest, sizeof c->serverRequest - 1));
    char keptCode[sizeof c->applicationCode];
    std::memcpy(keptCode, c->applicationCode, sizeof keptCode);
    std::memset(c->serverRequest, 0, sizeof c->serverRequest);
    std::memcpy(c->serverRequest, c->pendingPosFlash, sizeof c->serverRequest);
    std::memset(c->pendingPosFlash, 0, sizeof c->pendingPosFlash);
    EFTOC_SetApplicationCode(c, "1410");
    KTS_SetAnnexTimeOut(annex, kServerStepTimeOutMs);
    const int sent = SendServerRequest(c, r, annex);
    std::memset(c->serverRequest, 0, sizeof c->serverRequest);
    std::memcpy(c->serverRequest, keptRequest.data(), keptRequest.size());
    EFTOC_SetApplicationCode(c, keptCode);
    return sent;
}

int TOC_GetEmptyPollCount() { return g_emptyPollCount; }
void TOC_SetEmptyPollCount(int count) { g_emptyPollCount = count; }

int TOC_ServerExchangeStep(EFTCBox* c) {
    if (c == nullptr) return -1;
    ANIBox* annex = c->serverBox;
    TransactionRecord* r = GetTransactionRecord();
    if (annex == nullptr || annex->box == nullptr || annex->box->mess == nullptr || r == nullptr) {
        TraceLog(TRACE_ERROR, "[SERVER]", "Acces ferme");
        return 0;
    }
    KTM_WPRO* mess = annex->box->mess;
    KTS_SetAnnexTimeOut(annex, kServerStepTimeOutMs);
    int result = 0;
    if (c->serverRequest[0] != '\0') {
        if (SendServerRequest(c, r, annex) < 0) return -1;
        result = 1;
    }

    const char* type = nullptr;
    const uint8_t* body = nullptr;
    uint32_t bodyLength = 0;
    const bool held = c->serverAnswer[0] != '\0';
    if (held) {
        type = KTM_GetRubrique(mess, 'A');
        body = KTM_GetAnswerMessage(mess);
        if (body == nullptr || type == nullptr) {
            TraceLog(TRACE_ERROR, "[SERVER]", "Message recu vide");
            return -1;
        }
        // A lost link is never taken for an answer.
        if (std::strcmp(type, "9999") == 0) return LostConnection();
        bodyLength = static_cast<uint32_t>(strnlen(c->serverAnswer, sizeof c->serverAnswer - 1));
    } else {
        type = KTX_SomeThingReceived(mess, 0);
        if (type == nullptr || std::strcmp(type, "9999") == 0) {
            if (c->silenceAllowed == 0) ++g_emptyPollCount;
            if (type != nullptr) {
                LogServerMessageType(type, nullptr);
                g_emptyPollCount = 0;
                return LostConnection();
            }
            if (g_emptyPollCount <= kEmptyPollLimit) return result;
            g_emptyPollCount = 0;
            return LostConnection();
        }
        g_emptyPollCount = 0;
        body = KTM_GetAnswerMessage(mess);
        if (body == nullptr) {
            TraceLog(TRACE_ERROR, "[SERVER]", "Message recu vide");
            return -1;
        }
        bodyLength = mess->answer->mLength;
    }

    r->serverMessageSeen = 1;
    ISAP_SetImmediateMode(1);
    LogServerMessageType(type, reinterpret_cast<const char*>(body));
    if (IsType(type, "1200")) {
        // A reset during the relay (80, 'P') ends the step; any other status
        // is the terminal's echo character for the socket supervision.
        const int status = EPAP_DealRelayMessage(annex->box);
        if (status == PV_PER_RESET) {
            result = 80;
        } else {
            SuperviseSockets(status, &g_socketWatchState, &result);
            if (status == 0 && g_socketWatchState == 1) g_socketWatchState = 0;
            result += 10;
        }
        if (r->resetRequired == 0) {
            r->resetRequired = 1;
            r->serverUsedTerminal = 1;
        }
    } else if (IsType(type, "1410")) {
        if (bodyLength > 0) {
            if (DecodeAnswer(c, body, type)) {
                std::memcpy(c->posAnswer, c->serverAnswer, sizeof c->posAnswer);
                std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
                TOC_CompleteFlashInfo();
            }
            result += 10;
        }
    } else if (IsType(type, "1210")) {
        ISAP_DealMessage(annex->box);
        result += 10;
    } else if (IsType(type, "1100")) {
        KTXCH_SetLocalRoot(c->mainPath);
        char report[256] = {};
        ISAP_DealTeleM(annex->box, report, sizeof report);
        TOC_ZonePrintf("P5", "%s", report);
        ISAP_SendScriptCommands();
        ISAP_ClearAll();
        result += 10;
    } else if (IsType(type, "1400") || IsType(type, "1500")) {
        const bool transaction = IsType(type, "1400");
        if (transaction) EFTOC_SetApplicationCode(c, "1400");
        if (bodyLength > 0) DecodeAnswer(c, body, type);
        result += transaction ? 20 : 30;
    } else if (IsType(type, "9998")) {
        c->abortInhibition = 1;
        const char* label = c->netResourceIndex >= 0 && c->netResourceIndex < kNetResourceCount
                                ? c->netResources[c->netResourceIndex].label
                                : "";
        if (bodyLength > 0 && strcasecmp(label, "PN40") == 0) {
            std::string text = BodyText(body, bodyLength) + "{F}";
            if (text.size() < KTM_M_MAX) {
                std::memcpy(mess->answer->M, text.c_str(), text.size() + 1);
                mess->answer->mLength = static_cast<uint32_t>(text.size());
            }
            if (c->debugLevel != 0) LogExchange(EXCHANGE_FROM_SERVER, text.c_str(), c->exchangeLogName, c->logSizeKb);
        }
    } else if (IsType(type, "9996") || IsType(type, "9995")) {
        const std::string text = BodyText(body, bodyLength);
        LogExchange(EXCHANGE_FROM_SERVER, text.c_str(), c->exchangeLogName, c->logSizeKb);
        const bool one = text.size() >= 8 && text[7] == '1';
        if (IsType(type, "9996")) {
            r->maintenanceInProgress = one ? 1 : 0;
            if (one) r->maintenanceNotified = 1;
            SetMaintenanceIndicator(one ? 1 : 0);
        } else {
            r->terminalRebootRequested = one ? 1 : 0;
        }
    }
    ISAP_SetImmediateMode(0);
    // A message taken from the answer buffer instead of the link is routed
    // once: unless it is the answer awaited (1400, 1500), the buffer is
    // emptied, so the next step reads the link again instead of routing the
    // same message for ever.
    if (held && !IsType(type, "1400") && !IsType(type, "1500"))
        std::memset(c->serverAnswer, 0, sizeof c->serverAnswer);
    return result;
}

void TOC_CompleteFlashInfo() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    if (TAG_InitRead(c->posAnswer, sizeof c->posAnswer, 0) != 1) return;
    // Values are taken through the tag work area, which holds any value the
    // message can carry; only their first characters reach the record.
    const char* d3g = TAG_GetString("D3G", 1);
    if (Options.DoAddCardInfoInFlash == 1 && d3g != nullptr && std::strcmp(d3g, "fgs") == 0) {
        const bool noTrack = TAG_GetLength("D2F") < 0;
        const bool noPan = TAG_GetLength("D1A") < 0;
        if ((noTrack || noPan) && LoadTagMessage(c->posAnswer, sizeof c->posAnswer, 0) == 1) {
            if (noTrack) TAG_Set("D2F", "B0000000000000000000D00000000000000000F");
            if (noPan) TAG_Set("D1A", "0000000000000000000");
        }
    }
    if (const char* d16 = TAG_GetString("D16", 1)) {
        if ((std::strcmp(d16, "A3") == 0 || std::strcmp(d16, "33") == 0) && r->resetRequired == 0) {
            r->resetRequired = 1;
            r->serverUsedTerminal = 1;
        }
        std::memset(r->flashD16, 0, sizeof r->flashD16);
        std::memcpy(r->flashD16, d16, strnlen(d16, sizeof r->flashD16 - 1));
    }
    if (TAG_GetLength("VWAY") < 0 && LoadTagMessage(c->posAnswer, sizeof c->posAnswer, 0) == 1) {
        char number[16];
        std::snprintf(number, sizeof number, "%d", r->currentServer + 1);
        TAG_Set("VWAY", number);
    }
    if (const char* d3e = TAG_GetString("D3E", 1)) {
        std::memset(r->flashD3E, 0, sizeof r->flashD3E);
        std::memcpy(r->flashD3E, d3e, strnlen(d3e, sizeof r->flashD3E - 1));
    }
}

int EFTOC_CheckAlert(EFTCBox* c) {
    if (c == nullptr || c->box == nullptr) return -1;
    const auto counts = [c](int level) { return level == 2 || level == 3 || (level == 1 && c->debugLevel >= 2); };
    ConsoBox* console = c->box->console;
    int level = c->alertLevel;
    if (console != nullptr && counts(console->alertLevel)) {
        level = console->alertLevel;
        TraceLog(TRACE_ERROR, "[TRV_71]", "Alerte: %s", console->alertText);
        // Read once: a kept alert would stop every following pass.
        console->alertLevel = 0;
        std::memset(console->alertText, 0, sizeof console->alertText);
    } else if (counts(level)) {
        TraceLog(TRACE_ERROR, "[TRV_71]", "Alerte: %s", c->alertMessage);
    }
    EFTOC_SetAlert(c, nullptr, 0);
    if (!counts(level)) return 1;
    WSleep(5000);
    if (level < 3) return 1;
    c->loopState = -1;
    return -1;
}

int ZelDiaPoll(EFTCBox* context) {
    if (context == nullptr) return -1;
    int result = 0;
    if (context->posAnswer[0] != '\0') {
        const int length = static_cast<int>(strnlen(context->posAnswer, sizeof context->posAnswer - 1));
        if (ZelDiaWrite(context->posAnswer, length, context->posLink, context->posEventFlag,
                        context->posTimeout) <= 0) {
            std::memset(context->posAnswer, 0, sizeof context->posAnswer);
            return -1;
        }
        result = 1;
        if (length == 1) TraceLog(TRACE_INFO, "[TRV_71]", "Acquittement requete: %s", context->posAnswer);
        if (context->debugLevel != 0)
            LogExchange(0, context->posAnswer, context->exchangeLogName, context->logSizeKb);
        std::memset(context->posAnswer, 0, sizeof context->posAnswer);
    }
    if (context->posRequest[0] == '\0') {
        const int read = ZelDiaRead(context->posRequest, sizeof context->posRequest, context->posLink, 10);
        if (read < 0) return -1;
        if (read > 0) {
            result += 10;
            if (context->debugLevel != 0)
                LogExchange(1, context->posRequest, context->exchangeLogName, context->logSizeKb);
        }
    }
    if (result == 0 && context->posCommand[0] != '\0') {
        std::memcpy(context->posRequest, context->posCommand, sizeof context->posRequest);
        context->posRequest[sizeof context->posRequest - 1] = '\0';
        std::memset(context->posCommand, 0, sizeof context->posCommand);
        if (context->debugLevel != 0)
            LogExchange(1, context->posRequest, context->exchangeLogName, context->logSizeKb);
        return 10;
    }
    return result;
}

int EFTOC_CheckTimeout(EFTCBox* context) {
    if (context == nullptr || EFTOC_TimerExpired(context) != 1) return 0;
    TraceLog(TRACE_ERROR, "[TRV_71]", "Delai alloue a l'application prinicpale expire");
    return 1;
}
