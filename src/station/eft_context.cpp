// The EFT context, the transaction record and the process-wide switches.
#include "station/eft_context.h"
#include "station/text_field.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <type_traits>

#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "station/display_zones.h"
#include "station/options.h"
#include "station/periph_context.h"
#include "station/process_options.h"

int OfflineLevel = 0;
unsigned char CardMode = 1;

namespace {

EFTCBox* g_context = nullptr;
TransactionRecord g_record{};
TransactionRecord* g_recordPointer = nullptr;
LoopStartupState g_startup;
char g_directory[202];
char g_traceZone[24];

// The context timer measures a duration: on the monotonic clock (which tests
// replace), never moved by a change of the wall clock.
int32_t NowSeconds() { return static_cast<int32_t>(plat::MonotonicMs() / 1000); }

}  // namespace

EFTCBox* GetEftContext() { return g_context; }
void SetEftContext(EFTCBox* context) { g_context = context; }
TransactionRecord* GetTransactionRecord() { return g_recordPointer; }
TransactionRecord* OpenTransactionRecord() {
    g_recordPointer = &g_record;
    return g_recordPointer;
}
void SetChequeMode() { CardMode = 0; }
LoopStartupState& GetLoopStartupState() { return g_startup; }

void ClearCardTrackFields() {
    TransactionRecord* r = &g_record;
    OPENSSL_cleanse(r->cardNumber, sizeof r->cardNumber);
    OPENSSL_cleanse(r->expiryDate, sizeof r->expiryDate);
    OPENSSL_cleanse(r->serviceCode, sizeof r->serviceCode);
    OPENSSL_cleanse(r->trackRest, sizeof r->trackRest);
    r->cardNumberLength = r->expiryDateLength = r->serviceCodeLength = 0;
}

void ClearCardRecords() {
    TransactionRecord* r = &g_record;
    POT_StartTransaction(&r->pot);
    OPENSSL_cleanse(&r->cardReadRecord, sizeof r->cardReadRecord);
    OPENSSL_cleanse(&r->terminalResultArea, sizeof r->terminalResultArea);
    std::memset(&r->ctlsTransactionData, 0, sizeof r->ctlsTransactionData);
}

// The context is large (its network resources and message buffers, about
// 2 MB) and mostly unused: it comes zeroed from calloc, whose fresh pages the
// system gives zeroed, so a page is only touched (and made the till's own)
// once it is used.
static_assert(std::is_trivially_default_constructible_v<EFTCBox> && std::is_trivially_destructible_v<EFTCBox>,
              "EFTCBox is zeroed by calloc and freed by free");

EFTCBox* NewEftoc(int resourceId, int station) {
    void* block = std::calloc(1, sizeof(EFTCBox));
    EFTCBox* context = block != nullptr ? new (block) EFTCBox : nullptr;
    if (context == nullptr) {
        WSysError("-- ERROR -- %s:%d: NewEftoc  : Echec Allocation structure EFTCBox....", __FILE__,
                  __LINE__);
        return nullptr;
    }
    std::snprintf(context->name, sizeof context->name, "Station_%03d", station % 100000);
    context->resourceId = resourceId;
    context->station = station;
    context->processId = static_cast<int32_t>(getpid());
    context->timerDuration = 1000;
    CopyField(context->applicationCode, "1200");
    context->consoleResource = 41;
    context->debugLevel = 1;
    context->authorisationMode = -1;
    context->abortInhibition = 2;
    context->comContextId = resourceId;
    context->ticketTag = 3;
    ClearOptionValues();
    return context;
}

int EFTOC_SetMainPath(EFTCBox* context, const char* path) {
    if (context == nullptr) return -1;
    CopyField(context->mainPath, ".");
    if (path != nullptr) {
        if (std::strlen(path) >= sizeof context->mainPath) {
            TraceLog(TRACE_ERROR, "[TRV_71]", "Chemin principal trop long, ignore");
            return -1;
        }
        CopyField(context->mainPath, path);
    }
    return 1;
}

const char* EFTOC_GetDirectory(EFTCBox* context, const char* name) {
    if (context == nullptr || name == nullptr) return nullptr;
    std::memset(g_directory, 0, sizeof g_directory);
    std::snprintf(g_directory, sizeof g_directory, "%s%c%s", context->mainPath, '/', name);
    return g_directory;
}

const char* EFTOC_GetDirectory(EFTCBox* context, const char* name, char* out, size_t size) {
    if (out == nullptr || size == 0) return nullptr;
    out[0] = '\0';
    if (context == nullptr || name == nullptr || context->mainPath[0] == '\0') return nullptr;
    const int n = std::snprintf(out, size, "%s%c%s", context->mainPath, '/', name);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return nullptr;
    }
    return out;
}

int EFTOC_SetApplicationCode(EFTCBox* context, const char* code) {
    if (context == nullptr) return -1;
    CopyField(context->applicationCode, code);
    return 1;
}

int EFTOC_SetCurrentZone(EFTCBox* context, const char* name) {
    if (context == nullptr) return -1;
    CopyField(context->currentZone, name);
    return 1;
}

int EFTOC_SetTraceZone(const char* name) {
    if (name != nullptr) CopyField(g_traceZone, name);
    return 1;
}

const char* EFTOC_GetTraceZone() { return g_traceZone; }

int EFTOC_SetLanguages(EFTCBox* context, int posLanguage, int terminalLanguage) {
    if (context == nullptr) return -1;
    if (posLanguage >= 0) context->posLanguage = posLanguage;
    if (terminalLanguage >= 0) context->terminalLanguage = terminalLanguage;
    return 1;
}

int EFTOC_SetEchoMode(EFTCBox* context) {
    if (context == nullptr) return -1;
    context->echoMode = g_processOptions.echoMode | 2;
    EPAP_SetEchoMode(context->echoMode);
    return 1;
}

int EFTOC_SetPosEventFlag(EFTCBox* context, int flag) {
    if (context == nullptr) return -1;
    if (flag >= 0) context->posEventFlag = flag;
    return 1;
}

int EFTOC_SetOfflineLevel(EFTCBox* context, int level) {
    if (context == nullptr) return -1;
    if (level >= 0) OfflineLevel = level;
    return 1;
}

int EFTOC_StartTimer(EFTCBox* context, int seconds) {
    if (context == nullptr) return -1;
    context->timerStart = NowSeconds();
    context->timerDuration = seconds;
    return 1;
}

int EFTOC_TimerExpired(EFTCBox* context) {
    if (context == nullptr) return -1;
    const int64_t elapsed = static_cast<int64_t>(NowSeconds()) - context->timerStart;
    return elapsed < 0 || elapsed >= context->timerDuration ? 1 : 0;
}

int EFTOC_SetDebugLevel(EFTCBox* context, int level) {
    if (context == nullptr) return -1;
    context->debugLevel = level;
    TraceFrontSetDebugLevel(level);
    if (context->box != nullptr) KTS_SetDebug(context->box, level);
    return 1;
}

int EFTOC_SetExchangeLog(EFTCBox* context, int sizeKb, const char* name) {
    if (context == nullptr) return -1;
    if (sizeKb >= 0) context->logSizeKb = sizeKb;
    if (name != nullptr && std::strcmp(name, ".") != 0) {
        if (std::strlen(name) >= sizeof context->exchangeLogName) {
            TraceLog(TRACE_ERROR, "[TRV_71]", "Nom du journal des echanges trop long, ignore");
            return -1;
        }
        CopyField(context->exchangeLogName, name);
    }
    return 1;
}

int EFTOC_GetPadSetupFlag() { return g_context ? g_context->padSetupDone : 0; }

int EFTOC_CloseExchangeLogs() {
    if (g_context == nullptr) return -1;
    if (g_context->posLogFile != nullptr) std::fclose(g_context->posLogFile);
    if (g_context->serverLogFile != nullptr) std::fclose(g_context->serverLogFile);
    g_context->posLogFile = nullptr;
    g_context->serverLogFile = nullptr;
    return 1;
}

void EFTOC_RestartPrinterSpool() {
    const char* zone = TOC_GetZoneOfFunction("FIL_PRN", nullptr);
    if (zone != nullptr && g_context != nullptr) KTS_RestartWindowSpool(g_context->box, zone);
}

int EFTOC_SetAlert(EFTCBox* context, const char* source, int level) {
    if (context == nullptr) return -1;
    static const char* const kAlertKeys[] = {"A_WARN", "A_BUG", "A_FATAL"};
    if (level >= 1 && level <= 3) {
        const char* text = KTS_GetSystemText(context->box, kAlertKeys[level - 1]);
        if (text != nullptr && *text != '\0') {
            context->alertLevel = level;
            CopyField(context->alertSource, source);
            std::snprintf(context->alertMessage, sizeof context->alertMessage,
                          "[Application()=%s Poste =%d:\n**%s**-:%s]", context->applicationCode,
                          context->station, text, context->alertSource);
        }
    } else {
        context->alertLevel = 0;
        std::memset(context->alertSource, 0, sizeof context->alertSource);
        std::memset(context->alertMessage, 0, sizeof context->alertMessage);
    }
    return context->alertLevel;
}

int EFTOC_Close(EFTCBox* context) {
    if (context == nullptr) return 0;
    if (context->box != nullptr) {
        KTS_ResetTransport(context->box);
        KTS_MainInstance().freeClone(context->box, 0);
        context->box = nullptr;
    }
    if (context == g_context) EFTOC_CloseExchangeLogs();
    if (TOC_GetTextZoneContext() == context) TOC_ClearTextZoneContext();
    std::free(context);
    return 1;
}
