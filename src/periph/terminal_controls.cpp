// Terminal services built on the script API: application control codes
// (reset and reboot kinds), the wait for a rebooting terminal, the serial
// number, and the predefined screens. RUDA terminals take them all; DORAN
// terminals take the control codes (an empty message whose descriptor
// carries the code) and the serial number; other protocols refuse (-1).
#include <cstring>

#include "core/trace.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "platform/clock.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_info.h"

namespace {

constexpr int kDoranProtocol = 2;
constexpr int kRudaProtocol = 16;
constexpr int kRereadPollMs = 30;
constexpr int kScreenReadMs = 7000;
// Functions below 20 are on serial ports, those from 20 on the network.
constexpr int kFirstNetworkFunction = 20;
constexpr int kAbortedStatus = 101;
// The serial number: twelve characters, read by a reset command whose second
// byte asks for it, within one second polled every 250 ms.
constexpr size_t kSerialDigits = 12;
constexpr int kSerialResetOption = 33;
constexpr int kSerialReadMs = 1000;
constexpr int kSerialPollMs = 250;

// The RUDA command and its two byte arguments of a control code.
struct ControlCommand {
    int command;
    int first;
    int second;
};

ControlCommand CommandOfCode(const char* code) {
    const auto is = [code](const char* c) { return code != nullptr && std::strcmp(code, c) == 0; };
    if (is("9002")) return {152, 1, 0};
    if (is("9004")) return {152, 1, 2};
    if (is("9003")) return {152, 2, 0};
    if (is("9005")) return {102, 0, 0};
    return {152, 0, 0};
}

// A DORAN terminal takes the code as the Application of one empty message,
// first and last of its script: the MesStat of its acknowledgement, or -1.
// The time-out is not used: the link's own waits bound the exchange.
int SendDoranControl(KT_EPERIPH_API* box, int function, const char* code) {
    TWEP_SetStatus(box, PV_ALL_FINE);
    KT_PERES* r = TWEP_FindFunction(box, function, 1);
    if (r == nullptr) {
        TWEP_SetStatus(box, PV_PER_ACCES);
        return -1;
    }
    PAP_SetCurrentResource(r);
    TWEP_UpdateStatus(box, r);
    if (r->transportKind == PAP_TRANSPORT_SERIAL) TWEP_SwitchToPort(box, r->port);
    EPAP_SetApplication(code, PAP_OPERATION_CONTROL);
    TWEP_SetResourceDialInfo(box, r);
    TWEP_SetResourceStatus(box, r);
    if (TWEP_OpenTransports(box) < 0) return -1;
    TWEP_LockPorts(box);
    return TWEP_HostMesSend(box, r, nullptr, 0, 1, 1);
}

}  // namespace

int EPAP_SendControlEx(int function, const char* code, int timeoutMs) {
    if (EPAP_GetBox() == nullptr && EPAP_GetSeam() == nullptr) return -1;
    TWEP_SetStatus(EPAP_GetBox(), PV_ALL_FINE);
    const int protocol = EPAP_GetProtocol(function);
    if (protocol == kDoranProtocol && EPAP_GetBox() != nullptr) return SendDoranControl(EPAP_GetBox(), function, code);
    if (protocol != kRudaProtocol) return -1;
    const ControlCommand c = CommandOfCode(code);
    int status = EPAP_SetCommand(function, c.command, c.first, c.second);
    if (status != 0) return status;
    status = EPAP_SendScriptCommands();
    if (status != 0) return status;
    const int64_t sent = plat::MonotonicMs();
    for (;;) {
        // The reset's answer may carry the serial number: no place is given
        // for it here, so the decoder is told so.
        status = EPAP_GetResult(function, c.command, static_cast<char*>(nullptr));
        if (status == 0 || plat::MonotonicMs() - sent >= timeoutMs) return status;
        // A long wait (a reboot code waits 40 s) stops when the cash
        // register asks to.
        if (PAP_WaitCallbackStops(EPAP_GetBox()) == 1) return PV_PER_RESET;
        plat::SleepMs(kRereadPollMs);
    }
}

int EPAP_SendControl(int function, const char* code) { return EPAP_SendControlEx(function, code, 0); }

int EPAP_GetSerialNumber(int function, char* out) {
    if (out == nullptr) return -1;
    std::memset(out, '0', kSerialDigits);
    out[kSerialDigits] = '\0';
    const int protocol = EPAP_GetProtocol(function);
    if (protocol < 0 || (EPAP_GetBox() == nullptr && EPAP_GetSeam() == nullptr)) return -1;
    if (protocol == kRudaProtocol) {
        const auto failed = [](const char* step, int status) {
            WSysError("-- ERROR -- [EPAP_GetSerialNumber] %s failed (returned %d)", step, status);
            EPAP_ClearAll();
            return -1;
        };
        int status = EPAP_SetCommand(function, 152, 0, kSerialResetOption);
        if (status != 0) return failed("EPAP_SetCommand", status);
        status = EPAP_SendScriptCommands();
        if (status != 0) return failed("EPAP_SendScriptCommands", status);
        status = EPAP_GetResultEx(function, 152, kSerialReadMs, kSerialPollMs, out);
        if (status != 0) return failed("EPAP_GetResultEx", status);
        if (out[0] == '\0') WSysError("-- ERROR -- [EPAP_GetSerialNumber] Empty serial number");
        const size_t length = std::strlen(out);
        if (length < kSerialDigits) std::memset(out + length, '0', kSerialDigits - length);
        out[kSerialDigits] = '\0';
        WSysError("** INFO. ** Serial num : %s", out);
        EPAP_ClearAll();
        return 1;
    }
    // Other terminals: the resource's DialService text up to its first byte
    // 255.
    const KT_PERES* resource = EPAP_CurrentResource();
    if (resource == nullptr) return 1;
    const char* text = resource->dialServiceText;
    size_t length = 0;
    while (length < sizeof resource->dialServiceText && text[length] != '\0' &&
           static_cast<unsigned char>(text[length]) != 0xFF)
        ++length;
    if (length >= kSerialDigits)
        std::memcpy(out, text, kSerialDigits);
    else
        std::memcpy(out + kSerialDigits - length, text, length);
    return 1;
}

int EPAP_WaitReboot(int function, int intervalSeconds, const char* code, int limitSeconds) {
    const int protocol = EPAP_GetProtocol(function);
    if (protocol < 0) return -2;
    if (protocol != kRudaProtocol) {
        if (protocol != kDoranProtocol) TWEP_UpdateStatus(EPAP_GetBox(), EPAP_CurrentResource());
        return -1;
    }
    EPAP_SendControl(function, code);
    const int64_t start = plat::MonotonicMs();
    const int64_t limitMs = static_cast<int64_t>(limitSeconds) * 1000;
    int64_t disconnected = -1;
    int status = 0;
    bool probeFailed = false;
    for (;;) {
        WSysError("** INFO. ** Wait for %d sec.", intervalSeconds);
        plat::SleepMs(static_cast<int64_t>(intervalSeconds) * 1000);
        EPAP_ClearAll();
        TerminalPartInfo part{};
        if (EPAP_SetCommand(function, 90, &part) != 0) {
            // No probe could be made: the terminal was never seen again.
            probeFailed = true;
            break;
        }
        status = EPAP_SendScriptCommands();
        if (function < kFirstNetworkFunction) {
            char event[8] = {};
            if (EPAP_WaitEvent(function, 10, event) == PV_PER_RESET) {
                WSysError("** INFO. ** Abandon demande lors du reboot");
                status = kAbortedStatus;
            } else {
                status = EPAP_GetResult(function, 90, &part);
            }
        } else if (status == 0 || status == PV_NOT_YET) {
            status = EPAP_GetResult(function, 90, &part);
        }
        WSysError("** INFO. ** Status %d .", status);
        const int64_t now = plat::MonotonicMs();
        if (status == PV_NET_FAILED) {
            if (disconnected < 0) disconnected = now;
            if (now - disconnected >= limitMs) {
                WSysError("-- ERROR -- Reboot : Terminal deconnecte depuis plus de %ld secondes",
                          static_cast<long>(limitSeconds));
                break;
            }
        } else {
            disconnected = -1;
            if (status == 0) break;
        }
        if (now - start >= limitMs || status == 1 || status == kAbortedStatus) break;
    }
    EPAP_ClearAll();
    ISAP_ClearAll();
    TWEP_UpdateStatus(EPAP_GetBox(), EPAP_CurrentResource());
    if (probeFailed) return -1;
    return status == 0 || status == 1 ? 1 : -1;
}

int EPAP_DisplayScreenId(int function, int screen) {
    const int protocol = EPAP_GetProtocol(function);
    if (protocol < 0) return -2;
    if (protocol != kRudaProtocol) return -1;
    int status = EPAP_SetCommand(function, 160, screen);
    if (status == 0) status = EPAP_SendScriptCommands();
    if (status == 0) status = EPAP_GetResultEx(function, 160, kScreenReadMs, kRereadPollMs);
    EPAP_ClearAll();
    TWEP_UpdateStatus(EPAP_GetBox(), EPAP_CurrentResource());
    return status;
}
