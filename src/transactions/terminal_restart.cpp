#include "transactions/terminal_restart.h"

#include <strings.h>

#include <cstring>

#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "transactions/terminal_commands.h"
#include "transactions/wait_callback.h"

namespace {

constexpr int kReader = 4;
constexpr int kRudaProtocol = 16;
constexpr int kEventSliceMs = 200;
constexpr int kPurgeMs = 3000;
constexpr int kRestartSends = 4;
constexpr int kSoftRestartMs = 12500;
constexpr int kHardRestartMs = 122500;
constexpr int kRebootIntervalSeconds = 10;
constexpr int kRebootLimitSeconds = 3600;
constexpr int64_t kRealHardRebootMs = 20000;

// Start of the current hard reboot.
int64_t g_hardRebootTimer = 0;

bool Is(const char* value, const char* wanted) { return value != nullptr && strcasecmp(value, wanted) == 0; }

}  // namespace

bool WaitTerminalAnswerEvent(int function, int limitMs, bool stopOnFailure) {
    const int64_t start = plat::MonotonicMs();
    while (plat::MonotonicMs() - start < limitMs) {
        char event[kTerminalEchoSize] = {};
        const int status = WaitTerminalEvent(function, kEventSliceMs, event);
        if (status == 0 && event[0] == 'A') return true;
        // A slice that ends without an event (not yet, or an error) ends the
        // purge: nothing more is on its way.
        if (stopOnFailure && status != 0) return false;
    }
    return false;
}

int RestartTerminal(const char* code, int mode) {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return 0;
    if (r->resetRequired != 1 && (Options.PosGuiOptions & (0x44 | 0x400)) == 0) return 0;
    int result = 0;
    if (EPAP_GetProtocol(kReader) == kRudaProtocol) {
        result = TermReset(code, mode);
    } else {
        TraceLog(TRACE_INFO, "[TRV_71]", "Purge des echos avant redemarrage lecteur");
        c->terminalFunction = kReader;
        WaitTerminalAnswerEvent(kReader, kPurgeMs, true);
        bool sent = false;
        for (int i = 0; i < kRestartSends && !sent; ++i) {
            TraceLog(TRACE_INFO, "[TRV_71]", "Demande de redemarrage lecteur");
            sent = EPAP_SendControl(kReader, code) >= 0;
        }
        if (!sent) {
            EPAP_ClearAll();
            TraceLog(TRACE_ERROR, "[TRV_71]", "Demande redemarrage lecteur echoue");
            result = PV_PER_ACCES;
        } else {
            TraceLog(TRACE_INFO, "[TRV_71]", "Redemarrage lecteur en cours");
            r->echoTimeoutMs = code != nullptr && std::strcmp(code, "9002") == 0 ? kHardRestartMs : kSoftRestartMs;
            const bool back = WaitTerminalAnswerEvent(kReader, r->echoTimeoutMs, false);
            if (back) TraceLog(TRACE_INFO, "[TRV_71]", "Lecteur redemarre");
            EPAP_ClearAll();
            if ((mode == 1 || mode == 2) && !back) {
                TraceLog(TRACE_ERROR, "[TRV_71]", "Redemarrage lecteur echoue");
                result = PV_PER_ACCES;
            }
        }
    }
    r->resetRequired = 0;
    return result;
}

int RebootTerminal() {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr) return -1;
    const char* code = "9001";
    if (r->rebootKind == kRebootHard) {
        code = "9002";
        TraceLog(TRACE_INFO, "[REBOOT]", "Hard Reboot");
        g_hardRebootTimer = plat::MonotonicMs();
    } else if (r->rebootKind == kRebootRuda) {
        code = "9003";
        TraceLog(TRACE_INFO, "[REBOOT]", "RUDA Reboot");
    } else {
        TraceLog(TRACE_INFO, "[REBOOT]", "Soft Reset");
    }
    int retries = 0;
    bool retrying = false;
    for (;;) {
        EPAP_SetWaitCallback(WaitCallback);
        const int waited = EPAP_WaitReboot(kReader, kRebootIntervalSeconds, code, kRebootLimitSeconds);
        EPAP_SetWaitCallback(nullptr);
        const int status = waited == 1 ? TermGetInfo(1, 0) : waited;
        if (status != 0) {
            TraceLog(TRACE_ERROR, "[REBOOT]", "Reboot failed");
            // A failed attempt during the retries of a too fast hard reboot
            // is one of those retries: the count stays bounded.
            if (retrying && retries < kHardRebootRetriesMax) {
                ++retries;
                continue;
            }
            return status;
        }
        TraceLog(TRACE_INFO, "[REBOOT]", "Terminal has rebooted successfully");
        const int64_t now = plat::MonotonicMs();
        if (now - g_hardRebootTimer >= kRealHardRebootMs || r->rebootKind != kRebootHard ||
            retries >= kHardRebootRetriesMax)
            return 0;
        g_hardRebootTimer = now;
        TraceLog(TRACE_INFO, "[REBOOT]", "New reboot try #%d because of hard reboot not really performed", retries);
        ++retries;
        retrying = true;
    }
}

int SetRebootKindFromRequest() {
    TransactionRecord* r = GetTransactionRecord();
    if (r == nullptr) return 0;
    const int level = Options.LoginLogoffRebootLevel;
    int kind = 0;
    if (TAG_GetInt("TM16", &kind, 1) == 1 && kind != 0) {
        r->rebootKind = kind;
        if ((Is(r->command, "c2h") && (level == 8 || level == 9)) || (Is(r->command, "c2g") && (level == 7 || level == 9)))
            r->rebootKind = kRebootNone;
        return 1;
    }
    r->rebootKind = level >= 1 && level <= 6 && (Is(r->command, "c2h") || Is(r->command, "c2g")) ? level : kRebootNone;
    return 0;
}
