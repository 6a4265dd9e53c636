#include "comm/port_api.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"

namespace {

constexpr const char* kLogger = "ktcom.virtual";
constexpr int kPurgeChunk = 256;
constexpr int kSettleMs = 10;

unsigned char g_tx[PORT_TX_BUFFER_SIZE];
int g_txLength = 0;
int g_txCapacity = 0;
int g_padState = 0;

int64_t NowSeconds() { return plat::MonotonicMs() / 1000; }

void Exit(const char* text) { WLOG(kLogger, WLOG_DEBUG, "%s", text); }

// Queue block of the port: true with its counts when the query worked.
bool Queues(int port, WComQueueBlock* block) {
    return WComReadIOCtl2(port, WCOM_IOCTL_QUEUES, block, sizeof *block) >= static_cast<int>(sizeof *block);
}

// Why a write failed: 'E' emission error (no carrier check, no status, or
// the carrier is there), 'P' the carrier is gone. The exit lines name the
// caller's four exits in this order: no check, no status, carrier present,
// carrier lost.
int ClassifyWriteFailure(int port, const char* const exits[4]) {
    if (PortGetCarrierCheck(port) == 0) {
        Exit(exits[0]);
        return PORT_EMISSION;
    }
    WComModemStatusBlock status{};
    if (WComReadIOCtl2(port, WCOM_IOCTL_MODEM_STATUS, &status, sizeof status) < 2) {
        Exit(exits[1]);
        return PORT_EMISSION;
    }
    if (status.status & 0x80) {
        Exit(exits[2]);
        return PORT_EMISSION;
    }
    Exit(exits[3]);
    return PORT_CARRIER;
}

// Writes the whole transmit buffer: a channel that takes part of it is
// given the rest, until all went or a write takes nothing (a failure). The
// buffer is emptied in every case.
bool WriteWholeBuffer(int port) {
    int sent = 0;
    while (sent < g_txLength) {
        const int n = WComWrite2(port, g_tx + sent, g_txLength - sent);
        if (n <= 0 || n > g_txLength - sent) break;
        sent += n;
    }
    const bool whole = sent == g_txLength;
    if (!whole) WSysError("-- ERROR -- Port %d: emission interrompue apres %d octets sur %d", port, sent, g_txLength);
    g_txLength = 0;
    return whole;
}

int SendBuffer(int port) {
    const int length = g_txLength;
    const bool whole = WriteWholeBuffer(port);
    PortTxDelay(port, length);
    if (whole) {
        Exit("< PortTxCar (1)");
        return PORT_DONE;
    }
    static const char* const kExits[4] = {"< PortTxCar (5)", "< PortTxCar (2)", "< PortTxCar (3)", "< PortTxCar (4)"};
    return ClassifyWriteFailure(port, kExits);
}

void Marker(int status) {
    const unsigned char zero = 0;
    WComTrace(WCOM_TRACE_RECEPTION, status, &zero, 1);
}

// Reads the waiting bytes in chunks, each byte through the PAD detector:
// true when it fired (the 'F' marker is written).
bool DrainWaiting(int port, int waiting, bool* drained) {
    unsigned char buffer[kPurgeChunk];
    while (waiting > 0) {
        const int chunk = std::min(waiting, kPurgeChunk);
        Marker('P');
        const int n = WComRead2(port, buffer, chunk);
        *drained = true;
        for (int i = 0; i < n; ++i) {
            if (SeqLibPad(buffer[i]) == 1) {
                Marker('F');
                return true;
            }
        }
        if (n <= 0) break;
        waiting -= n;
    }
    return false;
}

// One poll of a purge: drains what waits (true when the PAD clear sequence
// was seen) and, once a chunk was drained in this purge, marks a poll whose
// bytes went in whole chunks, or that found none, with 'F'.
bool PollAndDrain(int port, bool* ok, int* found, bool* drained) {
    WComQueueBlock block{};
    *ok = Queues(port, &block);
    *found = *ok ? block.inputWaiting : 0;
    if (*ok && DrainWaiting(port, *found, drained)) return true;
    if (*drained && *found % kPurgeChunk == 0) Marker('F');
    return false;
}

// Waits up to ms for input; when the link cannot be waited on, sleeps.
void WaitForInput(int port, int ms) {
    if (ms <= 0) return;
    if (WComWaitInput2(port, ms) < 0) WSleep(static_cast<uint32_t>(ms));
}

}  // namespace

int PortOpen(int port) {
    WLOG(kLogger, WLOG_DEBUG, "> PortOpen %d", port);
    const int r = WComOpen2(port);
    Exit("< PortOpen");
    return r;
}

int PortClose(int port) {
    WLOG(kLogger, WLOG_DEBUG, "> PortClose %d", port);
    const int r = WComClose2(port);
    Exit("< PortClose");
    return r;
}

int GetVPSL(int port, char* text) {
    WLOG(kLogger, WLOG_DEBUG, "> GetVPSL %d", port);
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr || text == nullptr) {
        Exit("< GetVPSL (1)");
        return PORT_EMISSION;
    }
    text[0] = static_cast<char>('0' + r->vpslSpeed);
    text[1] = static_cast<char>('0' + r->vpslParity);
    text[2] = static_cast<char>('0' + r->vpslStop);
    text[3] = static_cast<char>('0' + r->vpslLength);
    text[4] = '\0';
    Exit("< GetVPSL (2)");
    return PORT_DONE;
}

int InitVPSL(int port, const char* text) {
    WLOG(kLogger, WLOG_DEBUG, "> InitVPSL %d", port);
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr) {
        Exit("< InitVPSL (1)");
        return PORT_EMISSION;
    }
    if (text == nullptr || *text == '\0') {
        Exit("< InitVPSL (2)");
        return PORT_DONE;
    }
    int32_t* const fields[4] = {&r->vpslSpeed, &r->vpslParity, &r->vpslStop, &r->vpslLength};
    int digits[4] = {};
    const bool fourCharacters = std::strlen(text) >= 4;
    for (int i = 0; i < 4 && fourCharacters; ++i) digits[i] = text[i] == '?' ? *fields[i] : text[i] - '0';
    // Checked before anything is stored: a wrong text changes nothing.
    const bool valid = fourCharacters && digits[0] >= 1 && digits[0] <= 9 && digits[1] >= 0 && digits[1] <= 3 &&
                       (digits[2] == 1 || digits[2] == 2) && (digits[3] == 7 || digits[3] == 8);
    if (!valid) {
        WSysError("-- ERROR -- InitVPSL(): port: %d, wrong VPSL parameter: %s", port, text);
        Exit("< InitVPSL (3)");
        return -1;
    }
    for (int i = 0; i < 4; ++i) *fields[i] = digits[i];
    Exit("< InitVPSL (4)");
    return PORT_DONE;
}

int PortVPSL(int port, const char* text) {
    WLOG(kLogger, WLOG_DEBUG, "> PortVPSL %d", port);
    if (WCOM_GetResourceByNum(port) == nullptr) {
        Exit("< PortVPSL (1)");
        return PORT_EMISSION;
    }
    const int opened = WComOpen2(port);
    if (opened < 0) {
        WSysError("-- ERROR -- PortVPSL(): port: %d, WComOpen2 returned an error: %d", port, opened);
        Exit("< PortVPSL (2)");
        return -1;
    }
    const int init = InitVPSL(port, text);
    if (init < 0) {
        WSysError("-- ERROR -- PortVPSL():  port: %d, InitVPSL returned an error: %d", port, init);
        Exit("< PortVPSL (3)");
        return -1;
    }
    ComResource* r = WCOM_GetResourceByNum(port);
    WComLineBlock line{};
    line.parity = static_cast<uint8_t>(r->vpslParity == 3 ? 2 : r->vpslParity);
    line.stopBits = r->vpslStop == 2 ? 2 : 0;
    line.dataBits = r->vpslLength == 7 ? 2 : 3;
    line.speedIndex = static_cast<uint8_t>(r->vpslSpeed + 3);
    const int written = WComWriteIOCtl2(port, WCOM_IOCTL_LINE, &line, sizeof line);
    if (written < 4) {
        std::fprintf(stderr, "\nPortVPSL: port %d erreur WComWriteIOCtl2 num %d ", port, written);
        Exit("< PortVPSL (4)");
        return -1;
    }
    PortRaiseDTR(port);
    Exit("< PortVPSL (5)");
    return PORT_DONE;
}

int PortRxCar(int port, unsigned char* buffer, int timeMs) {
    // The time asked is an upper bound: the line is watched for what is left
    // of it and a byte is read once one waits, so the channel's own read time
    // (110 ms by default, once per try) never adds to it.
    const int64_t end = plat::MonotonicMs() + std::max(timeMs, 0);
    for (;;) {
        buffer[0] = 0;
        const int64_t left = std::max<int64_t>(end - plat::MonotonicMs(), 0);
        // Input waiting, a hung-up line or a channel that cannot be watched:
        // the read tells which.
        if (WComWaitInput2(port, static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF))) != 0) {
            const int n = WComRead2(port, buffer, 1);
            if (n == 1) return PORT_DONE;
            if (n < 0) return PORT_CARRIER;
        }
        if (plat::MonotonicMs() >= end) return PORT_TIMEOUT;
    }
}

int PortRxBlock(int port, unsigned char* buffer, int room, int timeMs, int* got) {
    *got = 0;
    if (room <= 0) return PORT_DONE;
    const int64_t end = plat::MonotonicMs() + std::max(timeMs, 0);
    for (;;) {
        const int64_t left = std::max<int64_t>(end - plat::MonotonicMs(), 0);
        if (WComWaitInput2(port, static_cast<int>(std::min<int64_t>(left, 0x7FFFFFFF))) != 0) {
            // What the line holds, up to the room: the read then takes it at
            // once. A channel that cannot tell reads one byte.
            WComQueueBlock block{};
            const int queued = Queues(port, &block) ? block.inputWaiting : 0;
            const int n = WComRead2(port, buffer, queued > 0 ? std::min(queued, room) : 1);
            if (n > 0) {
                *got = n;
                return PORT_DONE;
            }
            if (n < 0) return PORT_CARRIER;
        }
        if (plat::MonotonicMs() >= end) return PORT_TIMEOUT;
    }
}

int PortTxCar(int port, unsigned char byte, int mode) {
    WLOG(kLogger, WLOG_DEBUG, "> PortTxCar %d", port);
    switch (mode) {
        case PORT_TX_NEW:
            g_txCapacity = PortGetTxSize(port);
            g_tx[0] = byte;
            g_txLength = 1;
            Exit("< PortTxCar (1)");
            return PORT_DONE;
        case PORT_TX_NEW_SEND:
            g_txCapacity = PortGetTxSize(port);
            g_tx[0] = byte;
            g_txLength = 1;
            return SendBuffer(port);
        case PORT_TX_APPEND:
        case PORT_TX_APPEND_SEND:
            g_tx[g_txLength++] = byte;
            // A transmit size of 0 (or none) sets no limit: the buffer goes
            // when it is full or when the caller sends it.
            if (mode == PORT_TX_APPEND_SEND || g_txLength >= PORT_TX_BUFFER_SIZE ||
                (g_txCapacity > 0 && g_txLength >= g_txCapacity))
                return SendBuffer(port);
            Exit("< PortTxCar (1)");
            return PORT_DONE;
        default:
            Exit("< PortTxCar (1)");
            return PORT_DONE;
    }
}

int PortFlush(int port, int send) {
    WLOG(kLogger, WLOG_DEBUG, "> PortFlush %d", port);
    g_txCapacity = PortGetTxSize(port);
    if (send == 0) {
        g_txLength = 0;
        return PORT_DONE;
    }
    if (WriteWholeBuffer(port)) return PORT_DONE;
    static const char* const kExits[4] = {"< PortFlush (4)", "< PortFlush (1)", "< PortFlush (2)", "< PortFlush (3)"};
    return ClassifyWriteFailure(port, kExits);
}

int PortRxTrame(int port, void* buffer, int size) {
    WLOG(kLogger, WLOG_DEBUG, "> PortRxTrame %d", port);
    const int n = WComRead2(port, buffer, size);
    Exit("< PortRxTrame");
    return n;
}

int PortQueueStatus(int port, int* output, int* input) {
    if (output != nullptr) *output = 0;
    if (input != nullptr) *input = 0;
    WComQueueBlock block{};
    if (!Queues(port, &block)) return -1;
    if (output != nullptr) *output = block.outputWaiting;
    if (input != nullptr) *input = block.inputWaiting;
    return 0;
}

int PortWaitTxEmpty(int port, int seconds) {
    const int64_t end = NowSeconds() + seconds;
    for (;;) {
        WComQueueBlock block{};
        if (!Queues(port, &block) || block.outputWaiting == 0) return 0;
        WSleep(2);
        if (NowSeconds() >= end) return block.outputWaiting;
    }
}

int PortPurgeRx(int port, int seconds) {
    const int64_t end = NowSeconds() + seconds;
    bool drained = false;
    for (;;) {
        bool ok = false;
        int found = 0;
        if (PollAndDrain(port, &ok, &found, &drained)) return 1;
        if (found > 0) WaitForInput(port, kSettleMs);
        if (!ok || found == 0 || NowSeconds() >= end) return 0;
    }
}

int PortDrainRx(int port, int seconds) {
    const int64_t endMs = plat::MonotonicMs() + static_cast<int64_t>(seconds) * 1000;
    bool drained = false;
    for (;;) {
        bool ok = false;
        int found = 0;
        if (PollAndDrain(port, &ok, &found, &drained)) return 1;
        const int64_t left = endMs - plat::MonotonicMs();
        if (left <= 0) return 0;
        WaitForInput(port, static_cast<int>(found > 0 ? std::min<int64_t>(left, kSettleMs) : left));
    }
}

int PortWaitMute(int port, int intervalMs, int seconds) {
    const int64_t end = NowSeconds() + seconds;
    unsigned char buffer[kPurgeChunk];
    for (;;) {
        WaitForInput(port, intervalMs);
        WComQueueBlock block{};
        const bool ok = Queues(port, &block);
        const int count = ok ? block.inputWaiting : 0;
        // Dropped in pieces of the buffer's size, however many are waiting.
        int left = count;
        do {
            const int n = WComRead2(port, buffer, std::min(left, kPurgeChunk));
            if (n <= 0) break;
            left -= n;
        } while (left > 0);
        if (!ok || count == 0 || NowSeconds() >= end) return 0;
    }
}

int PortRaiseDTR(int port) {
    WComModemLinesBlock lines{};
    if (WComReadIOCtl2(port, WCOM_IOCTL_MODEM_LINES, &lines, sizeof lines) < 0) return PORT_TIMEOUT;
    if (lines.dtr == 0) {
        lines.dtr = 1;
        if (WComWriteIOCtl2(port, WCOM_IOCTL_MODEM_LINES, &lines, sizeof lines) < 0) return PORT_TIMEOUT;
    }
    return PORT_DONE;
}

int PortSetFlowControl(int port, int mode) {
    WComControlBlock control{};
    if (WComReadIOCtl2(port, WCOM_IOCTL_CONTROL, &control, sizeof control) < 0) return PORT_TIMEOUT;
    switch (mode) {
        case PORT_FLOW_NONE: control.ctsOutFlow = 0; control.dsrOutFlow = 0; control.rtsControl = 1; break;
        case PORT_FLOW_CTS: control.ctsOutFlow = 1; control.dsrOutFlow = 0; control.rtsControl = 1; break;
        case PORT_FLOW_RTS_TOGGLE: control.ctsOutFlow = 0; control.dsrOutFlow = 0; control.rtsControl = 3; break;
        case PORT_FLOW_RTS_CTS_DSR: control.ctsOutFlow = 1; control.dsrOutFlow = 1; control.rtsControl = 2; break;
        default: return PORT_TIMEOUT;
    }
    control.dtrControl = 1;
    control.stored = 0;
    control.dsrSensitivity = 0;
    control.writeTimeout = 10;
    control.readTimeout = 10;
    if (WComWriteIOCtl2(port, WCOM_IOCTL_CONTROL, &control, sizeof control) < 0) return PORT_TIMEOUT;
    return PORT_DONE;
}

int SeqLibPad(unsigned char byte) {
    ComResource* r = WCOM_CurrentResource();
    if (r == nullptr || r->padClearDetection <= 0) return 0;
    const unsigned char c = byte & 0x7F;
    if (c == '\r') {
        g_padState = 1;
        return 0;
    }
    int result = 0;
    switch (g_padState) {
        case 0: g_padState = 0; break;
        case 1: g_padState = c == '\n' ? 2 : 0; break;
        case 2: case 3: case 4: case 5: case 6:
            if (c == 0 && g_padState <= 5) g_padState = g_padState + 1;
            else if (c == 'E') g_padState = 7;
            else if (c == 'L') g_padState = 11;
            else g_padState = 0;
            break;
        case 7: g_padState = c == 'R' ? 8 : 0; break;
        case 8: g_padState = c == 'R' ? 9 : 0; break;
        case 9: g_padState = c == 'O' ? 10 : 0; break;
        case 10: result = c == 'R' ? 1 : 0; g_padState = 0; break;
        case 11: g_padState = c == 'I' ? 12 : 0; break;
        case 12: result = c == 'B' ? 1 : 0; g_padState = 0; break;
        default:
            WSysError("-- ERROR -- SeqLibPad(): Wrong character event for current state, current state: %d, "
                      "current character (hex): %X",
                      g_padState, c);
            g_padState = 0;
            break;
    }
    return result;
}

void SeqLibPadReset() { g_padState = 0; }

ComResource* PortSetCarrierCheck(int port, int value) {
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r != nullptr) r->carrierCheck = value;
    return r;
}

int PortGetCarrierCheck(int port) {
    ComResource* r = WCOM_GetResourceByNum(port);
    return r != nullptr ? r->carrierCheck : -1;
}

int PortGetTxSize(int port) {
    ComResource* r = WCOM_GetResourceByNum(port);
    return r != nullptr ? r->txSize : -1;
}

int PortTxDelay(int port, int count) {
    ComResource* r = WCOM_GetResourceByNum(port);
    if (r == nullptr || count == 0 || r->txDelay == 0) return 0;
    const int x = r->txDelay / 100;
    const int y = r->txDelay % 100;
    int perBytes;
    switch (r->vpslSpeed) {
        case 1: perBytes = 8 * count * x; break;
        case 2: perBytes = 4 * count * x; break;
        case 3: perBytes = 2 * count * x; break;
        case 4: perBytes = count * x; break;
        case 5: perBytes = (count / 2) * x; break;
        default: perBytes = (count / 4) * x; break;
    }
    WSleep(static_cast<uint32_t>(10 * y + perBytes));
    return 1;
}

int PortTxPending() { return g_txLength; }
