// Script API of the terminal box: clear, set, send, read (once or until a
// time-out), wait for an event, and the link settings.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "comm/com_channel.h"
#include "comm/port_api.h"
#include "core/dates.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/xpro/xpro_context.h"

namespace {

constexpr const char* kLogger = "ktapi.peripheral.epap";
constexpr int kAnnouncedFirst = 181;
constexpr int kAnnouncedLast = 184;
constexpr int kEventWaitMs = 200;
constexpr int kMarkerSize = 29;

int g_echoMode = 0;
EpapSeam* g_seam = nullptr;

// Start of a set or a read: application code "1000", the last operation,
// status 0; the function's resource becomes the current one. Null with
// PV_PER_ACCES when the function has none.
KT_PERES* BeginOperation(KT_EPERIPH_API* box, int function, int operation) {
    std::snprintf(box->applicationCode, sizeof box->applicationCode, "%s", "1000");
    box->lastOperation = operation;
    TWEP_SetStatus(box, PV_ALL_FINE);
    KT_PERES* r = TWEP_FindFunction(box, function, 1);
    if (r == nullptr) {
        TWEP_SetStatus(box, PV_PER_ACCES);
        return nullptr;
    }
    PAP_SetCurrentResource(r);
    return r;
}

}  // namespace

EpapSeam* EPAP_SetSeam(EpapSeam* seam) {
    EpapSeam* previous = g_seam;
    g_seam = seam;
    return previous;
}

EpapSeam* EPAP_GetSeam() { return g_seam; }

int EPAP_ClearAll() {
    if (g_seam != nullptr) return g_seam->clearAll();
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "EPAP_ClearAll");
    TWEP_SetStatus(box, PV_ALL_FINE);
    std::snprintf(box->netApplication, sizeof box->netApplication, "%s", "1200");
    TWEP_ClearScript(box, 'C');
    return TWEP_ClearScript(box, 'A') == 1 ? 0 : 1;
}

int EPAP_SetCommand(int function, int command, ...) {
    if (g_seam != nullptr) {
        va_list args;
        va_start(args, command);
        const int status = g_seam->setCommand(function, command, args);
        va_end(args);
        return status;
    }
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "EPAP_SetCommand: function: %d, command: %d", function, command);
    KT_PERES* r = BeginOperation(box, function, PAP_OPERATION_SET);
    if (r == nullptr) return -1;
    WLOG(kLogger, WLOG_DEBUG, "REACTIVATION DE LA FONCTION");
    if (function < 20) TWEP_SwitchToPort(box, r->port);
    TWEP_SetResourceDialInfo(box, r);
    TWEP_SetResourceStatus(box, r);
    r->answerAnnounced = 0;
    r->command = command;
    va_list args;
    va_start(args, command);
    TWEP_SetOneCommand(box, r, args);
    va_end(args);
    TWEP_UpdateStatus(box, r);
    WLOG(kLogger, WLOG_DEBUG, "EPAP_SetCommand: return: %d", box->status);
    return box->status;
}

int EPAP_SendScriptCommands() {
    if (g_seam != nullptr) return g_seam->sendScript();
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return 1;
    TWEP_SetStatus(box, PV_ALL_FINE);
    if (TWEP_IsAllScriptSent(box) == 1) {
        WLOG(kLogger, WLOG_DEBUG, "EPAP_SendScriptCommands: TWEP_IsAllScriptSent, return: %d (%s)", 0,
             PvStatusName(0));
        return 0;
    }
    WLOG(kLogger, WLOG_DEBUG, " Execution Script");
    // A link that cannot open fails its own rows when they are sent.
    TWEP_OpenTransports(box);
    TWEP_LockPorts(box);
    TWEP_SendScriptCommands(box);
    TWEP_UpdateStatus(box, nullptr);
    WLOG(kLogger, WLOG_DEBUG, "EPAP_SendScriptCommands: return: %d (%s)", box->status, PvStatusName(box->status));
    return box->status;
}

int EPAP_GetScriptResults() {
    if (g_seam != nullptr) return g_seam->getScriptResults();
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return 1;
    TWEP_SetStatus(box, PV_ALL_FINE);
    const int sent = EPAP_SendScriptCommands();
    if (sent != 0) return sent;
    if (TWEP_IsAllScriptReceived(box) == 1) {
        WLOG(kLogger, WLOG_DEBUG, "EPAP_GetScriptResults: TWEP_IsAllScriptReceived, return: %d", 0);
        return 0;
    }
    TWEP_GetScriptAnswers(box);
    TWEP_UpdateStatus(box, nullptr);
    WLOG(kLogger, WLOG_DEBUG, "EPAP_GetScriptResults: return: %d (%s)", box->status, PvStatusName(box->status));
    return box->status;
}

int EPAP_GetResultVaList(int function, int command, va_list args) {
    if (g_seam != nullptr) return g_seam->getResult(function, command, args);
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return 1;
    WLOG(kLogger, WLOG_DEBUG, "EPAP_GetResultVaList: function: %d, command: %d", function, command);
    KT_PERES* r = BeginOperation(box, function, PAP_OPERATION_READ);
    if (r == nullptr) return PV_PER_ACCES;
    const int received = EPAP_GetScriptResults();
    r->command = command;
    r->answerAnnounced = 0;
    if (received == 0) {
        TWEP_GetOneResult(box, r, args);
    } else {
        box->status = received;
    }
    TWEP_UpdateStatus(box, r);
    WLOG(kLogger, WLOG_DEBUG, "EPAP_GetResult: return: %d (%s)", box->status, PvStatusName(box->status));
    return box->status;
}

int EPAP_GetResult(int function, int command, ...) {
    va_list args;
    va_start(args, command);
    const int status = EPAP_GetResultVaList(function, command, args);
    va_end(args);
    return status;
}

int EPAP_GetResultEx(int function, int command, int timeoutMs, int pollMs, ...) {
    if (g_seam != nullptr) {
        va_list args;
        va_start(args, pollMs);
        const int status = g_seam->getResultEx(function, command, timeoutMs, pollMs, args);
        va_end(args);
        return status;
    }
    const WTimeStamp start = WGetTimeStamp();
    WLOG(kLogger, WLOG_DEBUG, "EPAP_GetResultEx: function: %d, command: %d", function, command);
    const bool announcedCommand = function < 20 && command >= kAnnouncedFirst && command <= kAnnouncedLast;
    bool announced = !announcedCommand;
    int result = 0;
    va_list args;
    va_start(args, pollMs);
    do {
        bool read = announced;
        if (announcedCommand) {
            char event = 0;
            const int wait = EPAP_WaitEvent(function, kEventWaitMs, &event);
            if (wait == 0 && event == 'A') {
                announced = true;
            } else if (wait != 0 && (wait == PV_PER_RESET || event == 'S')) {
                WLOG(kLogger, WLOG_DEBUG, "EPAP_GetResultEx: *PV_PER_RESET, return: %d (%s)", PV_NET_TIMEOUT,
                     PvStatusName(PV_NET_TIMEOUT));
                va_end(args);
                return PV_NET_TIMEOUT;
            } else {
                result = PV_NOT_YET;
                // A wait that could not wait (no port to look at) does not
                // turn the loop into a busy one.
                if (!announced && wait != PV_NOT_YET) WSleep(static_cast<uint32_t>(pollMs > 0 ? pollMs : 0));
            }
            read = announced;
        }
        if (read) {
            va_list pass;
            va_copy(pass, args);
            result = EPAP_GetResultVaList(function, command, pass);
            va_end(pass);
            if (result == PV_NOT_YET || result == PV_NET_TIMEOUT) {
                WSleep(static_cast<uint32_t>(pollMs > 0 ? pollMs : 0));
                WLOG(kLogger, WLOG_DEBUG, "EPAP_GetResultEx: timeout: %d (%s)", result, PvStatusName(result));
            }
        }
    } while ((result == PV_NOT_YET || result == PV_NET_TIMEOUT) && !WIsTimeOut(start, timeoutMs));
    va_end(args);
    WLOG(kLogger, WLOG_DEBUG, "EPAP_GetResultEx: return: %d (%s)", result, PvStatusName(result));
    return result;
}

int EPAP_WaitEvent(int function, int timeoutMs, char* event) {
    if (g_seam != nullptr) return g_seam->waitEvent(function, timeoutMs, event);
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (event != nullptr) *event = 0;
    if (box == nullptr) return -1;
    TWEP_SetStatus(box, PV_ALL_FINE);
    KT_PERES* r = TWEP_FindFunction(box, function, 1);
    if (r == nullptr) {
        TWEP_SetStatus(box, PV_PER_ACCES);
        return PV_PER_ACCES;
    }
    PAP_SetCurrentResource(r);
    const PapCommandModule* module = TWEP_GetModule(r->protocol);
    if (module == nullptr || module->waitEvent == nullptr) return 0;
    // The module writes into a buffer of the engine's own (the protocol-11
    // wait writes two bytes, 02 00); the caller gets its first character.
    char out[2] = {};
    const int result = module->waitEvent(box, r, timeoutMs, out);
    if (event != nullptr) *event = out[0];
    return result;
}

int EPAP_SetWaitCallback(EPAP_WaitCallbackFn callback) {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return -1;
    box->waitCallback = callback;
    return 0;
}

EPAP_WaitCallbackFn EPAP_GetWaitCallback() {
    KT_EPERIPH_API* box = EPAP_GetBox();
    return box != nullptr ? box->waitCallback : nullptr;
}

void EPAP_SetEchoMode(int mode) { g_echoMode = mode; }
int EPAP_GetEchoMode() { return g_echoMode; }

void EPAP_OpenLinks() {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return;
    TWEP_OpenTransports(box);
    TWEP_LockPorts(box);
}

int EPAP_RebindLink(int functionA, int functionB) {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return 1;
    KT_PERES* a = TWEP_FindFunction(box, functionA, 1);
    KT_PERES* b = TWEP_FindFunction(box, functionB, 1);
    if (a == nullptr || b == nullptr || b->link == nullptr) return PV_PER_ACCES;
    if (TWEP_SelectTRANS(a) < 0) return PV_PER_ACCES;
    TWEP_BindTRANS(b);
    return 0;
}

int EPAP_SetLinkTimeouts(int function, int t0, int t1, int t2, int t3, int t4, int t5, int t6) {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return 1;
    KT_PERES* r = TWEP_FindFunction(box, function, 1);
    if (r == nullptr) {
        TWEP_SetStatus(box, PV_PER_ACCES);
        return -1;
    }
    if (r->protocol != 16) return 2;
    if (r->link == nullptr || r->linkContext == nullptr) return 0;
    return XPRO_SetTimeOuts(r->link, t0, t1, t2, t3, t4, t5, t6);
}

int EPAP_PurgeLink(int function, int seconds) {
    KT_EPERIPH_API* box = EPAP_GetBox();
    if (box == nullptr) return -1;
    KT_PERES* r = TWEP_FindFunction(box, function, 1);
    if (r == nullptr) {
        TWEP_SetStatus(box, PV_PER_ACCES);
        return -1;
    }
    if (r->protocol == 16) PortDrainRx(r->port, seconds);
    return 0;
}

int EPAP_MarkPortTrace(int number) {
    unsigned char marker[kMarkerSize] = {};
    char date[9] = {}, time[7] = {};
    WGetLocalDateTime(date, time);
    std::memcpy(marker, date, 8);
    std::memcpy(marker + 9, time, 6);
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%d", number);
    std::memcpy(marker + 16, text, static_cast<size_t>(n));
    return WComTrace(1, '*', marker, kMarkerSize);
}
