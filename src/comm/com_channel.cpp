#include "comm/com_channel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "comm/com_resources.h"
#include "comm/ip_channels.h"
#include "core/card_masking.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/trace.h"
#include "platform/private_file.h"
#include "platform/serial_device.h"

const int WCOM_SPEEDS[WCOM_SPEED_COUNT] = {110, 150, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

int WComInterface::WaitInput(int, int timeoutMs) {
    if (timeoutMs > 0) WSleep(static_cast<uint32_t>(timeoutMs));
    return 0;
}

namespace {

constexpr const char* kLogger = "ktcom.serial";
// Read and write total constants before a line-control block is written.
constexpr int kDefaultConstantMs = 110;

// One open serial line: the device and the settings the system keeps for it
// (the time-outs and the handshake choices termios has no place for).
struct SerialHandle {
    std::unique_ptr<plat::SerialDevice> device;
    int readConstantMs = kDefaultConstantMs;
    int writeConstantMs = kDefaultConstantMs;
    uint8_t dsrSensitivity = 0;
    uint8_t dsrOutFlow = 0;
    uint8_t ctsOutFlow = 0;
    uint8_t dtrControl = 1;
    uint8_t rtsControl = 1;
};

std::map<int, SerialHandle> g_serials;
int g_nextSerialHandle = 1;

// One set for all serial lines of the process.
uint8_t g_lastDtr = 1;
uint8_t g_lastRts = 1;
uint8_t g_storedByte11 = 1;

SerialHandle* FindSerial(int handle) {
    auto it = g_serials.find(handle);
    return it == g_serials.end() ? nullptr : &it->second;
}

int SpeedIndexOf(int baud) {
    for (int i = 0; i < WCOM_SPEED_COUNT; ++i)
        if (WCOM_SPEEDS[i] == baud) return i;
    return -1;
}

// Applies the handshake choices of a line-control block to the device. What
// the device refuses (a pseudo-terminal has no modem lines) is traced only.
void ApplyHandshake(SerialHandle& s) {
    if (!s.device->setHardwareFlow(s.ctsOutFlow == 1 || s.rtsControl == 2))
        WLOG(kLogger, WLOG_DEBUG, "serial line: hardware flow control refused by the device");
    if (s.dtrControl <= 1 || s.rtsControl <= 1) {
        const bool dtr = s.dtrControl != 0;
        const bool rts = s.rtsControl != 0;
        if (!s.device->setModemLines(dtr, rts))
            WLOG(kLogger, WLOG_DEBUG, "serial line: no modem lines to set (DTR %d, RTS %d)", dtr, rts);
    }
}


WComSerial g_serial;
WComIpClient g_ipClient;
WComIpServer g_ipServer;
WComClientReuseWNetContext g_reuse;
WComInterface* g_current = nullptr;

int g_traceMaxKb = WCOM_TRACE_DEFAULT_MAX_KB;

// The trace path with the extension "LOB" in place of its own.
std::string RotatedName(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return path.substr(0, dot) + ".LOB";
    return path + ".LOB";
}

}  // namespace

// ---------------------------------------------------------------------------
// Serial channel
// ---------------------------------------------------------------------------

int WComSerial::Open(int* handle, KTDK_FILE* config) {
    if (handle == nullptr) return -1;
    *handle = -1;
    if (config == nullptr) return -1;
    const char* value = FILE_GetStringParam(config, "Driver");
    if (value == nullptr || *value == '\0') {
        WSysError("-- ERROR -- Ligne serie sans \"Driver\" dans %.200s", config->path);
        return -1;
    }
    const std::string path = plat::SerialDevicePath(value);
    int error = 0;
    std::unique_ptr<plat::SerialDevice> device = plat::OpenSerialDevice(path, &error);
    if (device == nullptr) {
        // The operator's first clue: which device, and what the system said.
        WSysError("-- ERROR -- Ouverture de la ligne serie %.200s impossible: %s (errno %d)", path.c_str(),
                  std::strerror(error), error);
        return -1;
    }
    const int id = g_nextSerialHandle++;
    if (g_nextSerialHandle <= 0) g_nextSerialHandle = 1;
    g_serials[id].device = std::move(device);
    *handle = id;
    return 0;
}

int WComSerial::Close(int handle) { return g_serials.erase(handle) == 1 ? 1 : 0; }

int WComSerial::Read(int handle, void* buffer, int size) {
    SerialHandle* s = FindSerial(handle);
    if (s == nullptr || buffer == nullptr || size < 0) return -1;
    if (size == 0) return 0;
    return s->device->read(buffer, size, s->readConstantMs + size);
}

int WComSerial::Write(int handle, const void* bytes, int length) { return WComSerialWrite(handle, bytes, length); }

int WComSerial::Connect(int*) { return 0; }

int WComSerial::WaitInput(int handle, int timeoutMs) {
    SerialHandle* s = FindSerial(handle);
    if (s == nullptr) return -1;
    return s->device->waitReadable(timeoutMs);
}

int WComSerialWrite(int handle, const void* bytes, int length) {
    SerialHandle* s = FindSerial(handle);
    if (s == nullptr || bytes == nullptr || length < 0) return -1;
    const auto* in = static_cast<const unsigned char*>(bytes);
    int written = 0;
    int attemptsLeft = WCOM_SERIAL_WRITE_ATTEMPTS;
    int calls = 0;
    int lastResult = 1;
    int lastCount = 0;
    int lastError = 0;
    while (written < length && attemptsLeft > 0) {
        --attemptsLeft;
        ++calls;
        errno = 0;
        const int rest = length - written;
        const int n = s->device->write(in + written, rest, s->writeConstantMs + rest);
        lastError = errno;
        lastResult = n >= 0 ? 1 : 0;
        lastCount = n > 0 ? n : 0;
        written += lastCount;
    }
    if (written < length) {
        WSysError("-- ERROR -- [WComSerialWrite] %d %d %d %d", lastError, lastResult, lastCount, attemptsLeft);
        return -1;
    }
    if (calls > 1) WSysError("@@ DEBUG @@ [WComSerialWrite] %d %d %d %d", lastError, lastResult, lastCount, attemptsLeft);
    return length;
}

int WComSerial::ReadIOCtl(int handle, int code, void* block, int size) {
    SerialHandle* s = FindSerial(handle);
    if (s == nullptr || block == nullptr) return -1;
    switch (code) {
        case WCOM_IOCTL_LINE: {
            if (size < 4) return -1;
            plat::SerialLine line;
            if (!s->device->getLine(&line)) return -1;
            auto* b = static_cast<WComLineBlock*>(block);
            // Odd and even parity are told apart.
            b->parity = static_cast<uint8_t>(line.parity == 1 || line.parity == 2 ? line.parity : 0);
            b->stopBits = line.stopBits == 2 ? 2 : 0;
            if (line.dataBits >= 5 && line.dataBits <= 8) b->dataBits = static_cast<uint8_t>(line.dataBits - 5);
            const int index = SpeedIndexOf(line.baud);
            if (index >= 0) b->speedIndex = static_cast<uint8_t>(index);
            return 4;
        }
        case WCOM_IOCTL_CONTROL: {
            if (size < 16) return -1;
            auto* b = static_cast<WComControlBlock*>(block);
            b->writeTimeout = s->writeConstantMs / 10 - 1;
            b->readTimeout = s->readConstantMs / 10 - 1;
            b->dsrSensitivity = s->dsrSensitivity;
            b->dsrOutFlow = s->dsrOutFlow;
            b->ctsOutFlow = s->ctsOutFlow;
            b->stored = g_storedByte11;
            b->dtrControl = s->dtrControl <= 1 ? s->dtrControl : 2;
            b->rtsControl = s->rtsControl;
            return 16;
        }
        case WCOM_IOCTL_MODEM_LINES: {
            if (size < 2) return -1;
            auto* b = static_cast<WComModemLinesBlock*>(block);
            b->dtr = g_lastDtr;
            b->rts = g_lastRts;
            return 2;
        }
        case WCOM_IOCTL_MODEM_STATUS: {
            if (size < 2) return -1;
            unsigned status = 0;
            if (!s->device->getModemStatus(&status)) {
                WLOG(kLogger, WLOG_DEBUG, "serial line: no modem status from the device");
                return -1;
            }
            bool errors = false;
            if (!s->device->takeLineErrors(&errors)) errors = false;
            auto* b = static_cast<WComModemStatusBlock*>(block);
            b->status = static_cast<uint8_t>(status & 0xF0);
            b->errors = errors ? 14 : 0;
            return 2;
        }
        case WCOM_IOCTL_QUEUES: {
            if (size < 24) return -1;
            int inSize = 0, outSize = 0, inCount = 0, outCount = 0;
            if (!s->device->queueSizes(&inSize, &outSize) || !s->device->queueCounts(&inCount, &outCount))
                return -1;
            auto* b = static_cast<WComQueueBlock*>(block);
            std::memset(b, 0, sizeof *b);
            b->inputWaiting = inCount;
            b->inputSize = inSize;
            b->outputWaiting = outCount;
            b->outputSize = outSize;
            return 24;
        }
        default: return -1;
    }
}

int WComSerial::WriteIOCtl(int handle, int code, void* block, int size) {
    SerialHandle* s = FindSerial(handle);
    if (s == nullptr || block == nullptr) return -1;
    switch (code) {
        case WCOM_IOCTL_LINE: {
            if (size < 4) return -1;
            const auto* b = static_cast<const WComLineBlock*>(block);
            plat::SerialLine line;
            if (!s->device->getLine(&line)) return -1;
            line.parity = b->parity == 1 || b->parity == 2 ? b->parity : 0;
            line.stopBits = b->stopBits != 0 ? 2 : 1;
            if (b->dataBits <= 3) line.dataBits = 5 + b->dataBits;
            line.baud = b->speedIndex < WCOM_SPEED_COUNT ? WCOM_SPEEDS[b->speedIndex] : 0;
            // A line the device refuses is a failure, never reported as set.
            if (!s->device->setLine(line)) {
                WLOG(kLogger, WLOG_DEBUG, "serial line: settings refused by the device");
                return -1;
            }
            return 4;
        }
        case WCOM_IOCTL_CONTROL: {
            if (size < 16) return -1;
            const auto* b = static_cast<const WComControlBlock*>(block);
            s->readConstantMs = b->readTimeout >= 0 ? (b->readTimeout + 1) * 10 : 0;
            s->writeConstantMs = b->writeTimeout >= 0 ? (b->writeTimeout + 1) * 10 : 0;
            s->dsrSensitivity = b->dsrSensitivity == 1;
            s->dsrOutFlow = b->dsrOutFlow == 1;
            s->ctsOutFlow = b->ctsOutFlow == 1;
            s->dtrControl = b->dtrControl <= 1 ? b->dtrControl : 2;
            s->rtsControl = b->rtsControl <= 3 ? b->rtsControl : 1;
            g_storedByte11 = b->stored;
            ApplyHandshake(*s);
            return 16;
        }
        case WCOM_IOCTL_MODEM_LINES: {
            if (size < 2) return -1;
            const auto* b = static_cast<const WComModemLinesBlock*>(block);
            if (!s->device->setModemLines(b->dtr != 0, b->rts != 0))
                WLOG(kLogger, WLOG_DEBUG, "serial line: no modem lines to set (DTR %d, RTS %d)", b->dtr != 0,
                     b->rts != 0);
            g_lastDtr = b->dtr;
            g_lastRts = b->rts;
            return 2;
        }
        case WCOM_IOCTL_QUEUES: {
            if (size < 24) return -1;
            const auto* b = static_cast<const WComQueueBlock*>(block);
            return s->device->setQueueSizes(b->inputSize, b->outputSize) ? 0 : -1;
        }
        default: return -1;
    }
}

// ---------------------------------------------------------------------------
// Switch
// ---------------------------------------------------------------------------

namespace {
// Channels the tests put in place of the objects, by type.
constexpr int kChannelTypes = 8;
WComInterface* g_replaced[kChannelTypes] = {};
}  // namespace

void WComSetChannelOfType(int type, WComInterface* channel) {
    if (type >= 0 && type < kChannelTypes) g_replaced[type] = channel;
}

WComInterface* WComChannelOfType(int type) {
    if (type >= 0 && type < kChannelTypes && g_replaced[type] != nullptr) return g_replaced[type];
    switch (type) {
        case WCOM_TYPE_SERIAL: return &g_serial;
        case WCOM_TYPE_IP_CLIENT: return &g_ipClient;
        case WCOM_TYPE_IP_SERVER: return &g_ipServer;
        case WCOM_TYPE_CONNECTED: return &g_reuse;
        default: return nullptr;
    }
}

int WComSwitch(int number) {
    g_current = nullptr;
    ComResource* r = WCOM_GetResourceByNum(number);
    if (r == nullptr) return -1;
    g_current = WComChannelOfType(r->type);
    return g_current != nullptr ? 1 : -1;
}

WComInterface* WComCurrentChannel() { return g_current; }

// ---------------------------------------------------------------------------
// Communication trace
// ---------------------------------------------------------------------------

void WComTraceSetMaxSize(int sizeKb) {
    if (sizeKb != 0) g_traceMaxKb = sizeKb;
}

int WComTraceGetMaxSize() { return g_traceMaxKb; }

int WComTrace(int direction, int status, const void* bytes, int count) {
    ComResource* r = WCOM_CurrentResource();
    if (r == nullptr) return -1;
    if (r->traceMode == WCOM_TRACE_NONE) return 1;
    return WComTraceRecord(direction, status, bytes, count);
}

namespace {

// Records of a resource not written yet: those of the exchange in progress.
struct PendingTrace {
    std::vector<unsigned char> records;  // 3 bytes each
    bool data = false;                   // a data record is held
    bool received = false;               // a received data record is held
};

std::map<const ComResource*, PendingTrace> g_pending;
std::map<const ComResource*, WComTraceMasker> g_maskers;

// Records an exchange may hold before they are written all the same.
constexpr size_t kPendingRecordsMax = 65536;

// Writes records to the resource's trace file, rotating it first when they
// would bring it to the size limit. False when no file is open.
bool WriteRecords(ComResource* r, const unsigned char* records, size_t count) {
    if (r->traceStream == nullptr && r->traceFile[0] != '\0') r->traceStream = plat::OpenPrivateFile(r->traceFile, true);
    if (r->traceStream != nullptr) {
        const int64_t size = WGetStreamSize(r->traceStream);
        if (size < 0) {
            std::fclose(r->traceStream);
            r->traceStream = plat::OpenPrivateFile(r->traceFile, true);
        } else if ((size + static_cast<int64_t>(count) + 2) / 1024 >= g_traceMaxKb) {
            std::fclose(r->traceStream);
            r->traceStream = nullptr;
            const std::string rotated = RotatedName(r->traceFile);
            std::remove(rotated.c_str());
            std::rename(r->traceFile, rotated.c_str());
            r->traceStream = plat::OpenPrivateFile(r->traceFile, true);
        }
    }
    if (r->traceStream == nullptr) return false;
    if (count > 0) std::fwrite(records, 3, count, r->traceStream);
    std::fflush(r->traceStream);
    return true;
}

// Masks the card data of the held exchange (the link's own masker first,
// then the rules for any bytes, over what was sent and what was received)
// and writes its records.
void FlushPending(ComResource* r) {
    auto it = g_pending.find(r);
    if (it == g_pending.end() || it->second.records.empty()) return;
    PendingTrace& p = it->second;
    std::vector<unsigned char> sent, received;
    for (size_t i = 0; i < p.records.size(); i += 3)
        if (p.records[i + 1] == 0) (p.records[i] == WCOM_TRACE_EMISSION ? sent : received).push_back(p.records[i + 2]);
    auto masker = g_maskers.find(r);
    const bool known = masker != g_maskers.end() && masker->second != nullptr &&
                       masker->second(sent.data(), sent.size(), received.data(), received.size());
    WSysMaskBytes(sent.data(), sent.size(), known);
    WSysMaskBytes(received.data(), received.size(), known);
    size_t s = 0, g = 0;
    for (size_t i = 0; i < p.records.size(); i += 3)
        if (p.records[i + 1] == 0) p.records[i + 2] = p.records[i] == WCOM_TRACE_EMISSION ? sent[s++] : received[g++];
    WriteRecords(r, p.records.data(), p.records.size() / 3);
    OPENSSL_cleanse(p.records.data(), p.records.size());
    OPENSSL_cleanse(sent.data(), sent.size());
    OPENSSL_cleanse(received.data(), received.size());
    g_pending.erase(it);
}

bool IsLinkMarker(int status) { return status == 'O' || status == 'C' || status == 'K'; }

}  // namespace

int WComTraceRecord(int direction, int status, const void* bytes, int count) {
    if (status == 'S') return 1;
    ComResource* r = WCOM_CurrentResource();
    if (r == nullptr) return -1;
    if (r->traceStream == nullptr && r->traceFile[0] != '\0') r->traceStream = plat::OpenPrivateFile(r->traceFile, true);
    if (r->traceStream == nullptr) {
        FlushPending(r);  // nothing can be written: the held records go too
        g_pending.erase(r);
        return -1;
    }
    PendingTrace& p = g_pending[r];
    const bool data = status == 0;
    // Something sent after something received: the exchange held is over.
    if (data && direction == WCOM_TRACE_EMISSION && p.received) {
        FlushPending(r);
        return WComTraceRecord(direction, status, bytes, count);
    }
    const auto* in = static_cast<const unsigned char*>(bytes);
    for (int i = 0; i < count; ++i) {
        p.records.push_back(static_cast<unsigned char>(direction));
        p.records.push_back(static_cast<unsigned char>(status));
        p.records.push_back(in != nullptr ? in[i] : static_cast<unsigned char>(0));
    }
    p.data = p.data || (data && count > 0);
    p.received = p.received || (data && count > 0 && direction == WCOM_TRACE_RECEPTION);
    // Markers with no data held, the link's opening and closing, and an
    // exchange that grew too long are written at once.
    if (!p.data || IsLinkMarker(status) || p.records.size() / 3 >= kPendingRecordsMax) FlushPending(r);
    return 1;
}

void WComTraceSetMasker(int number, WComTraceMasker masker) {
    // The resource is looked up without becoming the current one.
    ComCtx* context = WCOM_GetContext();
    if (context == nullptr || number < 0 || number >= context->count) return;
    ComResource* r = WCOM_Entries(context) + number;
    if (masker == nullptr)
        g_maskers.erase(r);
    else
        g_maskers[r] = masker;
}

void WComTraceCloseResource(ComResource* r) {
    if (r == nullptr) return;
    FlushPending(r);
    if (r->traceStream != nullptr) {
        std::fclose(r->traceStream);
        r->traceStream = nullptr;
    }
}

void WComTraceForgetResource(ComResource* r) {
    WComTraceCloseResource(r);
    g_maskers.erase(r);
}

void WComTraceClose() { WComTraceCloseResource(WCOM_CurrentResource()); }

void WComTraceCloseAll() {
    ComCtx* context = WCOM_GetContext();
    ComResource* entries = WCOM_Entries(context);
    for (int i = 0; context != nullptr && i < context->count; ++i) WComTraceCloseResource(entries + i);
}
