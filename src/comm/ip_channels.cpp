// IP channels over the network dispatch.
#include "comm/ip_channels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/trace.h"

namespace {

constexpr unsigned char CR = '\r', LF = '\n', NUL = 0, FF = 0xFF;
constexpr int kPeekSize = 256;
constexpr uint32_t kAcceptSettleMs = 200;

// Emulated control values, one set for all IP resources of the process.
struct Emulation {
    WComLineBlock line{0, 1, 8, 4};
    WComControlBlock control{200, 200, 0, 0, 0, 0, 0, 0, {0, 0}};
    WComModemLinesBlock lines{0, 0};
    bool hangUp = false;
};
Emulation g_emulation;

// Hosts and services of an IP resource's configuration.
struct IpKeys {
    std::string host1, host2, service1, service2;
};

std::string Value(KTDK_FILE* config, const char* key) {
    const char* v = FILE_GetStringParam(config, key);
    return v != nullptr ? std::string(v) : std::string();
}

int Decimal(const std::string& text) { return static_cast<int>(std::strtol(text.c_str(), nullptr, 10)); }

// A present, non-empty text that fits its field, or false (an over-long one
// is refused with an error line rather than cut: a cut host or service
// would reach another peer).
bool TakeText(KTDK_FILE* config, const char* key, std::string* into) {
    std::string value = Value(config, key);
    if (value.empty()) return true;
    if (value.size() > static_cast<size_t>(WCOM_IP_TEXT_MAX)) {
        WSysError("-- ERROR -- WComIp: valeur de %s trop longue (%d caracteres, %d au plus)", key,
                  static_cast<int>(value.size()), WCOM_IP_TEXT_MAX);
        return false;
    }
    *into = value;
    return true;
}

// Reads the keys of the resource's configuration into keys and the resource.
bool ReadKeys(KTDK_FILE* config, ComResource* r, IpKeys* keys) {
    std::string host1, host2, service1, service2;
    if (!TakeText(config, "Host1", &host1) || !TakeText(config, "Host2", &host2) ||
        !TakeText(config, "Service1", &service1) || !TakeText(config, "Service2", &service2))
        return false;
    keys->host1 = keys->host2 = host1;
    if (!host2.empty()) keys->host2 = host2;
    keys->service1 = keys->service2 = service1;
    if (!service2.empty()) keys->service2 = service2;
    r->reseauType = WNET_TYPE_TCP;
    const std::string type = Value(config, "ReseauType");
    if (!type.empty()) r->reseauType = Decimal(type);
    r->padDoubleFF = Decimal(Value(config, "PadDoubleFF"));
    r->padFiltreCR = Decimal(Value(config, "PadFiltreCR"));
    return true;
}

// The current resource with the keys of its configuration read, or null.
ComResource* ReadCurrent(KTDK_FILE* config, IpKeys* keys) {
    ComResource* r = WCOM_CurrentResource();
    if (r == nullptr || config == nullptr || !ReadKeys(config, r, keys)) return nullptr;
    return r;
}

// A free network context becomes the resource's.
bool TakeFreeContext(ComResource* r) {
    const int n = WNetGetFreeContext();
    if (n < 0) return false;
    r->netContext = n;
    return true;
}

// A certificate name with this platform's path separators, to a setter.
void SetCertificate(KTDK_FILE* config, const char* key, int (*setter)(const char*)) {
    std::string name = Value(config, key);
    if (name.empty()) return;
    WSetPathSeparators(name.data());
    setter(name.c_str());
}

void SetTlsSettings(KTDK_FILE* config, int netContext) {
    SetCertificate(config, "ClientCert", WNetSetClientCert);
    SetCertificate(config, "HostCert", WNetSetHostCert);
    const std::string sslType = Value(config, "SSLType");
    WNetSetSSLType(Decimal(sslType.empty() ? "1" : sslType));
    const int checkCert = FILE_GetIntParam(config, "CheckCert");
    WNetSetCheckCert(checkCert < 0 ? 0 : checkCert);
    const int versionSSL = FILE_GetIntParam(config, "VersionSSL");
    WNetSetVersionSSL(versionSSL < 0 ? 0 : versionSSL);
    const std::string arguments = Value(config, "SSLArguments");
    if (!arguments.empty()) WNetSetSSLArguments(WNetGetContext(netContext), arguments.c_str());
}

void SetUpContext(ComResource* r, const IpKeys& keys, KTDK_FILE* config) {
    WNetSelectContext(r->netContext);
    WNetSetServices(keys.service1.c_str(), keys.service2.c_str());
    WNetSetHosts(keys.host1.c_str(), keys.host2.c_str());
    WNetSetTypReseau(r->reseauType);
    if (r->reseauType == WNET_TYPE_TLS) SetTlsSettings(config, r->netContext);
    r->padFFOwed = 0;
    r->padCROwed = 0;
}

// Connects the handle (unless it is already connected) to service and host
// 1, then 2 when they differ: 0, or -2 with the context freed.
int ConnectClient(ComResource* r, const IpKeys& keys, KTDK_FILE* config, int* handle) {
    SetUpContext(r, keys, config);
    if (*handle >= 0) return 0;
    if (WNetOpenClient(handle, 1, 1) == 0) return 0;
    if (keys.host2 == keys.host1 && keys.service2 == keys.service1) {
        WNetFreeContext(r->netContext);
        return -2;
    }
    if (WNetOpenClient(handle, 2, 2) == 0) return 0;
    WNetFreeContext(r->netContext);
    return -2;
}

// The current resource with its network context made current, or null.
ComResource* Selected() {
    ComResource* r = WCOM_CurrentResource();
    if (r == nullptr || WNetSelectContext(r->netContext) < 0) return nullptr;
    return r;
}

// Drops from the bytes read the doubled 0xFF and the NUL after a CR, also
// when the pair was cut between two reads: the count left.
int FilterInput(ComResource* r, unsigned char* bytes, int n) {
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned char b = bytes[i];
        if (r->padFFOwed != 0) {
            r->padFFOwed = 0;
            if (b == FF) continue;
        }
        if (r->padCROwed != 0) {
            r->padCROwed = 0;
            if (b == NUL) continue;
        }
        bytes[kept++] = b;
        if (r->padDoubleFF != 0 && b == FF) r->padFFOwed = 1;
        if (r->padFiltreCR != 0 && b == CR) r->padCROwed = 1;
    }
    return kept;
}

// 7-bit data carry their parity in bit 7 (1 odd, 2 even; none for another
// value); 8-bit data go as they are.
unsigned char WithParity(const ComResource* r, unsigned char b) {
    const unsigned char data = b & 0x7F;
    int ones = 0;
    for (unsigned char v = data; v != 0; v = static_cast<unsigned char>(v >> 1)) ones += v & 1;
    const bool odd = (ones & 1) != 0;
    if ((r->vpslParity == 1 && !odd) || (r->vpslParity == 2 && odd)) return data | 0x80;
    return data;
}

bool EndsWith(const std::vector<unsigned char>& out, std::initializer_list<unsigned char> tail) {
    if (out.size() < tail.size()) return false;
    return std::equal(tail.begin(), tail.end(), out.end() - static_cast<std::ptrdiff_t>(tail.size()));
}

// One pass of the output: every byte copied, and written a second time
// when doubled(byte, bytes already written by this pass) says so.
template <typename Rule>
std::vector<unsigned char> Pass(const std::vector<unsigned char>& in, Rule doubled) {
    std::vector<unsigned char> out;
    out.reserve(in.size() + in.size() / 8 + 1);
    for (unsigned char b : in) {
        const bool twice = doubled(b, out);
        out.push_back(b);
        if (twice) out.push_back(b);
    }
    return out;
}

// The bytes as they go on the link: parity, then the PAD rules.
std::vector<unsigned char> OutputOf(const ComResource* r, const unsigned char* bytes, int length) {
    std::vector<unsigned char> out(bytes, bytes + length);
    if (r->vpslLength <= 7)
        for (unsigned char& b : out) b = WithParity(r, b);
    const bool doubleFF = r->padDoubleFF != 0;
    const int filter = r->padFiltreCR;
    if (doubleFF) out = Pass(out, [](unsigned char b, const auto&) { return b == FF; });
    if (filter & 1) out = Pass(out, [](unsigned char b, const auto& o) { return b == NUL && EndsWith(o, {CR}); });
    const auto afterCrFF = [doubleFF](const std::vector<unsigned char>& o) {
        return doubleFF ? EndsWith(o, {CR, FF, FF}) : EndsWith(o, {CR, FF});
    };
    if (filter & 2) out = Pass(out, [&](unsigned char b, const auto& o) { return b == LF && afterCrFF(o); });
    if (filter & 4) out = Pass(out, [](unsigned char b, const auto& o) { return b == LF && EndsWith(o, {CR}); });
    if (filter & 2) out = Pass(out, [&](unsigned char b, const auto& o) { return b == NUL && afterCrFF(o); });
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Opens and closes
// ---------------------------------------------------------------------------

int WComIpClient::Open(int* handle, KTDK_FILE* config) {
    if (handle == nullptr) return -2;
    *handle = -1;
    IpKeys keys;
    ComResource* r = ReadCurrent(config, &keys);
    if (r == nullptr || !TakeFreeContext(r)) return -2;
    return ConnectClient(r, keys, config, handle);
}

// No ping before the connection: its outcome was never used, and the
// connection that follows is itself a bounded attempt.
int WComClientReuseWNetContext::Open(int* handle, KTDK_FILE* config) {
    if (handle == nullptr) return -2;
    IpKeys keys;
    ComResource* r = ReadCurrent(config, &keys);
    if (r == nullptr) return -2;
    // The resource keeps its context number while that context is free; one
    // that another user has taken since is left to it.
    const WNetContext* kept = WNetGetContext(r->netContext);
    if ((r->netContext == 0 || kept == nullptr || kept->type != WNET_TYPE_FREE) && !TakeFreeContext(r)) return -2;
    return ConnectClient(r, keys, config, handle);
}

int WComIpServer::Open(int* handle, KTDK_FILE* config) {
    if (handle == nullptr) return -2;
    *handle = -1;
    IpKeys keys;
    ComResource* r = ReadCurrent(config, &keys);
    if (r == nullptr || !TakeFreeContext(r)) return -2;
    SetUpContext(r, keys, config);
    if (WNetOpenServer(1, 2) == 0 || WNetOpenServer(2, 2) == 0) {
        *handle = 0;
        return 0;
    }
    WNetFreeContext(r->netContext);
    return -2;
}

int WComIpClient::Close(int handle) {
    ComResource* r = Selected();
    if (r == nullptr) return -1;
    const int result = WNetDisConnect(handle);
    WNetFreeContext(r->netContext);
    return result;
}

int WComIpServer::Close(int handle) {
    ComResource* r = WCOM_CurrentResource();
    if (r == nullptr) return -1;
    int result = WNetSelectContext(r->netContext);
    if (result < 0) return -1;
    if (handle > 0) result = WNetDisConnect(handle);
    WNetClose(0);
    WNetFreeContext(r->netContext);
    return result;
}

int WComIpClient::Connect(int*) { return 0; }

int WComIpServer::Connect(int* handle) {
    if (handle == nullptr || Selected() == nullptr) return -1;
    int32_t station = -1;
    const int result = WNetConnect(handle, &station);
    if (result < 0) {
        *handle = 0;
    } else {
        WSleep(kAcceptSettleMs);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Reads and writes
// ---------------------------------------------------------------------------

int WComIpClient::Read(int handle, void* buffer, int size) {
    ComResource* r = Selected();
    if (r == nullptr || buffer == nullptr || size < 0) return -1;
    if (size == 0) return 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const bool filtering = r->padDoubleFF != 0 || r->padFiltreCR != 0;
    int n = WNetRead(handle, bytes, static_cast<uint32_t>(size));
    if (n > 0 && filtering) {
        n = FilterInput(r, bytes, n);
        // All that came was the second half of a pair: what follows it.
        if (n == 0) {
            n = WNetRead(handle, bytes, static_cast<uint32_t>(size));
            if (n > 0) n = FilterInput(r, bytes, n);
        }
    }
    if (n <= 0) return n;
    if (r->vpslParity != 0 && r->vpslLength != 8)
        for (int i = 0; i < n; ++i) bytes[i] &= 0x7F;
    return n;
}

// The caller's bytes are never changed: parity and doubling are applied to
// a copy. The whole output is sent, each transport write bounded by the
// transport's own wait; an output that stops part-way is a failure.
int WComIpClient::Write(int handle, const void* bytes, int length) {
    ComResource* r = Selected();
    if (r == nullptr || bytes == nullptr || length < 0) return -1;
    std::vector<unsigned char> out;
    try {
        out = OutputOf(r, static_cast<const unsigned char*>(bytes), length);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    size_t sent = 0;
    while (sent < out.size()) {
        const int n = WNetWrite(handle, out.data() + sent, static_cast<uint32_t>(out.size() - sent));
        if (n <= 0) {
            if (sent == 0) return n;
            WSysError("-- ERROR -- WComIp: ecriture interrompue apres %u octets sur %u (%d)",
                      static_cast<unsigned>(sent), static_cast<unsigned>(out.size()), n);
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    return length;
}

int WComIpClient::WaitInput(int handle, int timeoutMs) {
    if (handle < 0 || Selected() == nullptr) return -1;
    return WNetWaitInput(handle, timeoutMs);
}

// ---------------------------------------------------------------------------
// Control codes
// ---------------------------------------------------------------------------

int WComIpClient::ReadIOCtl(int handle, int code, void* block, int size) {
    if (handle < 0 || block == nullptr || Selected() == nullptr) return -1;
    switch (code) {
        case WCOM_IOCTL_LINE:
            if (size < 4) return -1;
            std::memcpy(block, &g_emulation.line, 4);
            return 4;
        case WCOM_IOCTL_CONTROL:
            if (size < 16) return -1;
            std::memcpy(block, &g_emulation.control, 16);
            return 16;
        case WCOM_IOCTL_MODEM_LINES:
            if (size < 2) return -1;
            std::memcpy(block, &g_emulation.lines, 2);
            return 2;
        case WCOM_IOCTL_MODEM_STATUS: {
            if (size < 2) return -1;
            // The carrier is always there: a failed write is an emission error.
            const WComModemStatusBlock status{0x80, 0};
            std::memcpy(block, &status, 2);
            return 2;
        }
        case WCOM_IOCTL_QUEUES: {
            if (size < 24) return -1;
            unsigned char peeked[kPeekSize];
            const int n = WNetPeek(handle, peeked, sizeof peeked);
            if (n < 0) return -1;
            WComQueueBlock queues{};
            queues.inputWaiting = n;
            std::memcpy(block, &queues, 24);
            return 24;
        }
        default: return -1;
    }
}

int WComIpClient::WriteIOCtl(int handle, int code, void* block, int size) {
    if (handle < 0 || block == nullptr || Selected() == nullptr) return -1;
    switch (code) {
        case WCOM_IOCTL_LINE:
            if (size < 4) return -1;
            std::memcpy(&g_emulation.line, block, 4);
            return 4;
        case WCOM_IOCTL_CONTROL: {
            if (size < 16) return -1;
            const auto* b = static_cast<const WComControlBlock*>(block);
            WComControlBlock& c = g_emulation.control;
            c.writeTimeout = b->writeTimeout;
            c.readTimeout = b->readTimeout;
            c.dsrSensitivity = b->dsrSensitivity;
            c.dsrOutFlow = b->dsrOutFlow;
            c.ctsOutFlow = b->ctsOutFlow;
            c.stored = b->stored;
            c.dtrControl = b->dtrControl;
            c.rtsControl = b->rtsControl;
            return 16;
        }
        case WCOM_IOCTL_MODEM_LINES:
            if (size < 2) return -1;
            std::memcpy(&g_emulation.lines, block, 2);
            // Lowering DTR hangs the link up (the resource layer closes it).
            if (g_emulation.lines.dtr == 0) g_emulation.hangUp = true;
            return 2;
        default: return -1;
    }
}

// ---------------------------------------------------------------------------
// Server without an accepted client (handle 0)
// ---------------------------------------------------------------------------

int WComIpServer::Read(int handle, void* buffer, int size) {
    return handle > 0 ? WComIpClient::Read(handle, buffer, size) : -1;
}

int WComIpServer::Write(int handle, const void* bytes, int length) {
    return handle > 0 ? WComIpClient::Write(handle, bytes, length) : -1;
}

int WComIpServer::ReadIOCtl(int handle, int code, void* block, int size) {
    if (handle == 0 && code == WCOM_IOCTL_QUEUES) return -1;
    return WComIpClient::ReadIOCtl(handle, code, block, size);
}

int WComIpServer::WaitInput(int handle, int timeoutMs) {
    return handle > 0 ? WComIpClient::WaitInput(handle, timeoutMs) : -1;
}

int WComIpTakeHangUp() {
    const bool raised = g_emulation.hangUp;
    g_emulation.hangUp = false;
    return raised ? 1 : 0;
}
