#include "comm/network_dispatch.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "comm/file_mailbox.h"
#include "comm/memory_service.h"
#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_transport.h"
#include "core/helpers.h"
#include "core/trace.h"

namespace {

constexpr const char* kLogger = "ktnet";
constexpr int kDefaultBacklog = 10;
// Values the dispatch hands to the local transports.
constexpr int kWBalMakeMode = 0x8500;
constexpr int kWBalBufferSize = 1024;
constexpr int kWBalConnectTimeoutMs = 50;
constexpr int kWBalOpenMode = 0x8100;
constexpr int kWBalOpenTimeoutMs = 1000;
constexpr int kShnetConnectTimeoutMs = 200;
constexpr int kShnetOpenTimeoutMs = 10000;

void ResetContext(WNetContext& c) {
    c.type = WNET_TYPE_FREE;
    c.listenHandle = -1;
    std::memset(c.service1, 0, sizeof c.service1);
    std::memset(c.service2, 0, sizeof c.service2);
    std::memset(c.host1, 0, sizeof c.host1);
    std::memset(c.host2, 0, sizeof c.host2);
    c.sslType = -1;
    std::memset(c.hostCert, 0, sizeof c.hostCert);
    std::memset(c.clientCert, 0, sizeof c.clientCert);
    c.checkCert = -1;
    c.versionSSL = -1;
    c.reuseAddress = 1;
    std::memset(c.sslArguments, 0, sizeof c.sslArguments);
    c.sslArgumentMap.clear();
}

struct ContextTable {
    std::array<WNetContext, WNET_CONTEXT_COUNT> contexts;
    ContextTable() {
        for (auto& c : contexts) ResetContext(c);
    }
};

ContextTable& Table() {
    static ContextTable table;
    return table;
}

WNetContext* g_current = nullptr;
int g_currentNumber = -1;

void MakeCurrent(int n) {
    g_current = &Table().contexts[static_cast<size_t>(n)];
    g_currentNumber = n;
}

// Copies a text into a field, cut to the field's size less one.
void CopyCut(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text != nullptr) std::snprintf(field, size, "%s", text);
}

const char* Service(const WNetContext& c, int which) { return which == 1 ? c.service1 : c.service2; }
const char* Host(const WNetContext& c, int which) { return which == 1 ? c.host1 : c.host2; }

// Station number of a mailbox client from its name ("c%d", then "caisse%d").
bool MailboxStation(const char* name, int32_t* station) {
    int number = 0;
    if (std::sscanf(name, "c%d", &number) == 1 || std::sscanf(name, "caisse%d", &number) == 1) {
        if (station != nullptr) *station = number;
        return true;
    }
    return false;
}

}  // namespace

int WNetGetFreeContext() {
    for (int n = 0; n < WNET_CONTEXT_COUNT; ++n) {
        MakeCurrent(n);
        if (g_current->type == WNET_TYPE_FREE) {
            g_current->reuseAddress = 1;
            return n;
        }
    }
    return -1;
}

int WNetSelectContext(int n) {
    if (n < 0 || n >= WNET_CONTEXT_COUNT) return -1;
    // Contexts are told apart by their number: two contexts that happen to
    // hold the same settings are still two links.
    if (n == g_currentNumber) return n;
    MakeCurrent(n);
    return g_current->type == WNET_TYPE_FREE ? -1 : n;
}

int WNetIsCurrentContext(int n) {
    if (g_current == nullptr || n < 0 || n >= WNET_CONTEXT_COUNT) return -1;
    return n == g_currentNumber ? n : -1;
}

int WNetFreeContext(int n) {
    if (n < 0 || n >= WNET_CONTEXT_COUNT) return -1;
    // Everything goes back to the start-up values, so that the next user
    // never inherits a host, a certificate or a server name of this one.
    ResetContext(Table().contexts[static_cast<size_t>(n)]);
    return 0;
}

WNetContext* WNetGetContext(int n) {
    if (n < 0 || n >= WNET_CONTEXT_COUNT) return nullptr;
    return &Table().contexts[static_cast<size_t>(n)];
}

WNetContext* WNetGetCurrentContext() { return g_current; }

int WNetSetTypReseau(int type) {
    WLOG(kLogger, WLOG_DEBUG, "WNetSetTypReseau: type: %d", type);
    if (g_current == nullptr) return -1;
    switch (type) {
        case WNET_TYPE_TCP:
            if (sock_init() != 0) {
                WSysError("-- ERROR -- WNetSetTyp(): echec sock_init()");
                return -1;
            }
            break;
        case WNET_TYPE_TLS:
            if (SSL_sock_init() != 0) {
                WSysError("-- ERROR -- WNetSetTyp(): echec SSL_sock_init()");
                return -1;
            }
            break;
        case WNET_TYPE_NONE:
        case WNET_TYPE_SHNET:
        case WNET_TYPE_WBAL:
        case WNET_TYPE_SHARED:
            break;
        default:
            g_current->type = WNET_TYPE_NONE;
            WSysError("-- ERROR -- WNetSetTyp: Type RESEAU INCORRECT");
            return 0;
    }
    g_current->type = type;
    return 0;
}

int WNetSetServices(const char* first, const char* second) {
    if (g_current == nullptr) return 0;
    CopyCut(g_current->service1, sizeof g_current->service1, first);
    CopyCut(g_current->service2, sizeof g_current->service2, second);
    return 0;
}

int WNetSetHosts(const char* first, const char* second) {
    if (g_current == nullptr) return 0;
    CopyCut(g_current->host1, sizeof g_current->host1, first);
    CopyCut(g_current->host2, sizeof g_current->host2, second);
    return 0;
}

namespace {

int SetCertificateName(char* field, size_t size, const char* name, const char* what) {
    if (g_current == nullptr || name == nullptr) return 0;
    if (std::strlen(name) >= size) {
        WSysError("-- ERROR -- %s(): nom de certificat trop long: %.64s...", what, name);
        return 0;
    }
    CopyCut(field, size, name);
    return 1;
}

}  // namespace

int WNetSetClientCert(const char* name) {
    return g_current ? SetCertificateName(g_current->clientCert, sizeof g_current->clientCert, name, "WNetSetClientCert")
                     : 0;
}

int WNetSetHostCert(const char* name) {
    return g_current ? SetCertificateName(g_current->hostCert, sizeof g_current->hostCert, name, "WNetSetHostCert") : 0;
}

int WNetSetSSLType(int32_t value) {
    if (g_current == nullptr) return 0;
    g_current->sslType = value;
    return 1;
}

int WNetSetCheckCert(int32_t value) {
    if (g_current == nullptr) return 0;
    g_current->checkCert = value;
    return 1;
}

int WNetSetVersionSSL(int32_t value) {
    if (g_current == nullptr) return 0;
    g_current->versionSSL = value;
    return 1;
}

void WNetSetReuseAddress(WNetContext* context, int8_t value) {
    if (context != nullptr) context->reuseAddress = value;
}

void WNetSetSSLArguments(WNetContext* context, const char* text) {
    if (context == nullptr) return;
    CopyCut(context->sslArguments, sizeof context->sslArguments, text);
}

void WNetSetSSLArgument(WNetContext* context, const char* name, const char* value) {
    if (context == nullptr || name == nullptr || value == nullptr) return;
    context->sslArgumentMap[name] = value;
}

int WNetOpenServer(int whichService, int backlog) {
    if (g_current == nullptr || g_current->type == WNET_TYPE_FREE) {
        WSysError("-- ERROR -- WNetOpenServer(): echec Contexte incoherent()");
        return -1;
    }
    WNetContext& c = *g_current;
    if (backlog == 0) backlog = kDefaultBacklog;
    const char* service = Service(c, whichService);
    WLOG(kLogger, WLOG_DEBUG, "WNetOpenServer: type: %d, port: %s, max. conn.: %d", c.type, service, backlog);
    int result = -1;
    int status = 1;
    switch (c.type) {
        case WNET_TYPE_NONE:
            result = 0;
            status = 0;
            break;
        case WNET_TYPE_SHNET:
            status = SHNET_OpenServer(&c.listenHandle, service, backlog);
            result = status == 0 ? 0 : -1;
            break;
        case WNET_TYPE_TCP:
            status = WTCPOpenServer(service, backlog, c.reuseAddress, c.sslArguments);
            if (status != -1) c.listenHandle = status;
            result = status == -1 ? -1 : 0;
            break;
        case WNET_TYPE_WBAL:
            status = WBalMake(&c.listenHandle, service, backlog | kWBalMakeMode, kWBalBufferSize, kWBalBufferSize);
            if (status != 0) {
                WSysError("-- ERROR -- WNetOpenServer(): echec WBalMake()");
                return -1;
            }
            result = 0;
            break;
        case WNET_TYPE_TLS:
            status = OpenServerEx(service, backlog, c.reuseAddress, c.sslArguments);
            if (status != -1) c.listenHandle = status;
            result = status == -1 ? -1 : 0;
            break;
        default:
            result = -1;
            break;
    }
    WLOG(kLogger, WLOG_DEBUG, "WNetOpenServer: return: %d, type: %d, status: %d", result, c.type, status);
    return result;
}

int WNetConnect(int32_t* handle, int32_t* station) {
    if (handle != nullptr) *handle = -1;
    if (g_current == nullptr || handle == nullptr) return -1;
    WNetContext& c = *g_current;
    WLOG(kLogger, WLOG_DEBUG, "WNetConnect: type: %d", c.type);
    int result = -1;
    switch (c.type) {
        case WNET_TYPE_NONE:
            return -1;
        case WNET_TYPE_SHNET:
            result = SHNET_Connect(handle, kShnetConnectTimeoutMs, station) > 0 ? 0 : -1;
            break;
        case WNET_TYPE_TCP:
            *handle = WTCPConnect(c.listenHandle, station);
            result = *handle == -1 ? -1 : 0;
            break;
        case WNET_TYPE_WBAL:
            WBalConnect(handle, c.service1, kWBalConnectTimeoutMs, c.host1, static_cast<int32_t>(sizeof c.host1));
            if (*handle > 0) {
                if (MailboxStation(c.host1, station)) {
                    result = 0;
                } else {
                    WSysError("-- ERROR -- WNetConnect(): Station Inconnue");
                    WBalDelete(*handle);
                    WBalClose(*handle);
                    *handle = -1;
                    result = -1;
                }
            } else {
                *handle = -1;
            }
            break;
        case WNET_TYPE_TLS:
            *handle = Connect(c.listenHandle, station);
            result = *handle == -1 ? -1 : 0;
            break;
        default:
            result = -1;
            break;
    }
    WLOG(kLogger, WLOG_DEBUG, "WNetConnect: return: %d", result);
    return result;
}

int WNetClose(int /*unused*/) {
    if (g_current == nullptr) return 0;
    WNetContext& c = *g_current;
    WLOG(kLogger, WLOG_DEBUG, "WNetClose: type: %d", c.type);
    int result = 0;
    switch (c.type) {
        case WNET_TYPE_SHNET:
            result = SHNET_Close(c.listenHandle);
            break;
        case WNET_TYPE_TCP:
            result = WTCPClose(c.listenHandle);
            break;
        case WNET_TYPE_WBAL:
            result = WBalDelete(c.listenHandle);
            if (WBalClose(c.listenHandle) != 0) result = -1;
            break;
        case WNET_TYPE_TLS:
            result = DisConnect(c.listenHandle);
            break;
        case WNET_TYPE_SHARED:
            WSharedDisConnect(c.listenHandle);
            result = 0;
            break;
        default:
            result = 0;
            break;
    }
    // The handle is gone: a second close (the one at exit) must not close
    // whatever descriptor took its number since.
    if (c.type != WNET_TYPE_NONE && c.type != WNET_TYPE_FREE) c.listenHandle = -1;
    WLOG(kLogger, WLOG_DEBUG, "WNetClose: return: %d", result);
    return result;
}

int WNetOpenClient(int32_t* handle, int whichService, int whichHost) {
    if (handle != nullptr) *handle = -1;
    if (g_current == nullptr || g_current->type == WNET_TYPE_FREE || handle == nullptr) {
        WSysError("-- ERROR -- WNetOpenClient(): echec Contexte incoherent()");
        return -1;
    }
    WNetContext& c = *g_current;
    const char* service = Service(c, whichService);
    const char* host = Host(c, whichHost);
    WLOG(kLogger, WLOG_DEBUG, "WNetOpenClient: type: %d, port: %s, address: %s", c.type, service, host);
    int result = -1;
    switch (c.type) {
        case WNET_TYPE_NONE:
            result = 0;
            break;
        case WNET_TYPE_SHNET:
            result = SHNET_OpenClient(handle, service, kShnetOpenTimeoutMs) == 0 ? 0 : -1;
            break;
        case WNET_TYPE_TCP:
            *handle = WTCPOpenClient(host, service);
            result = *handle == -1 ? -1 : 0;
            break;
        case WNET_TYPE_WBAL:
            if (WBalOpen(handle, service, kWBalOpenMode, kWBalOpenTimeoutMs) != 0) {
                WSysError("-- ERROR -- WNetOpenClient() echec WBalOpen()");
                return -1;
            }
            result = 0;
            break;
        case WNET_TYPE_TLS:
            *handle = OpenClientEx(host, service, c.sslType, c.hostCert, c.clientCert, c.checkCert, c.versionSSL,
                                   nullptr, c.sslArguments, c.sslArgumentMap);
            result = *handle == -1 ? -1 : 0;
            break;
        default:
            result = -1;
            break;
    }
    WLOG(kLogger, WLOG_DEBUG, "WNetOpenClient: return: %d", result);
    return result;
}

int WNetWrite(int32_t handle, const void* data, uint32_t length) {
    if (g_current == nullptr) return -1;
    const int type = g_current->type;
    WLOG(kLogger, WLOG_DEBUG, "WNetWrite: type: %d, handle: 0x%X, length: %u", type, static_cast<unsigned>(handle),
         length);
    int result = -1;
    switch (type) {
        case WNET_TYPE_NONE:
            result = 0;
            break;
        case WNET_TYPE_SHNET:
            result = SHNET_Write(handle, data, length);
            break;
        case WNET_TYPE_TCP:
            result = WTCPWrite(handle, data, length);
            break;
        case WNET_TYPE_WBAL:
            result = WBalWrite(handle, data, length);
            if (result == 0) result = -1;
            break;
        case WNET_TYPE_TLS:
            result = Write(handle, data, length);
            break;
        case WNET_TYPE_SHARED:
            result = WSharedWrite(handle, data, length);
            break;
        default:
            result = -1;
            break;
    }
    WLOG(kLogger, WLOG_DEBUG, "WNetWrite: return: %d", result);
    return result;
}

namespace {

int ReadOrPeek(const char* name, int32_t handle, void* buffer, uint32_t capacity, bool peek) {
    if (g_current == nullptr) return -1;
    const int type = g_current->type;
    WLOG(kLogger, WLOG_DEBUG, "%s: type: %d, handle: 0x%X, length: %u", name, type, static_cast<unsigned>(handle),
         capacity);
    int result = -1;
    switch (type) {
        case WNET_TYPE_NONE:
            // Nothing is ever there on a context without network.
            result = 0;
            break;
        case WNET_TYPE_SHNET:
            result = SHNET_Read(handle, buffer, capacity, peek ? 1 : 0);
            break;
        case WNET_TYPE_TCP:
            result = peek ? WTCPPeek(handle, buffer, capacity) : WTCPRead(handle, buffer, capacity);
            break;
        case WNET_TYPE_WBAL:
            if (peek) {
                result = WBalPeek(handle, buffer, capacity);
                if (result == 0) result = -1;
            } else {
                result = WBalRead(handle, buffer, capacity);
            }
            break;
        case WNET_TYPE_TLS:
            result = peek ? Peek(handle, buffer, capacity) : Read(handle, buffer, capacity);
            break;
        case WNET_TYPE_SHARED:
            result = peek ? WSharedPeek(handle, buffer, capacity) : WSharedRead(handle, buffer, capacity);
            break;
        default:
            result = -1;
            break;
    }
    WLOG(kLogger, WLOG_DEBUG, "%s: return: %d", name, result);
    return result;
}

int Disconnect(const char* name, int32_t handle, bool hard) {
    if (g_current == nullptr) return -1;
    const int type = g_current->type;
    WLOG(kLogger, WLOG_DEBUG, "%s: type: %d, handle: 0x%X", name, type, static_cast<unsigned>(handle));
    if (handle == -1 && type >= WNET_TYPE_TCP && type <= WNET_TYPE_SHARED) {
        WLOG(kLogger, WLOG_DEBUG, "%s: return: %d", name, -1);
        return -1;
    }
    int result = 0;
    switch (type) {
        case WNET_TYPE_SHNET:
            result = SHNET_Close(handle);
            break;
        case WNET_TYPE_TCP:
            result = hard ? WTCPHardDisConnect(handle) : WTCPDisConnect(handle);
            break;
        case WNET_TYPE_WBAL:
            result = WBalDelete(handle);
            if (WBalClose(handle) != 0) result = -1;
            break;
        case WNET_TYPE_TLS:
            result = hard ? HardDisConnect(handle) : DisConnect(handle);
            break;
        case WNET_TYPE_SHARED:
            result = hard ? WSharedHardDisConnect(handle) : WSharedDisConnect(handle);
            break;
        default:
            result = 0;
            break;
    }
    WLOG(kLogger, WLOG_DEBUG, "%s: return: %d", name, result);
    return result;
}

}  // namespace

int WNetRead(int32_t handle, void* buffer, uint32_t capacity) {
    return ReadOrPeek("WNetRead", handle, buffer, capacity, false);
}

int WNetPeek(int32_t handle, void* buffer, uint32_t capacity) {
    return ReadOrPeek("WNetPeek", handle, buffer, capacity, true);
}

int WNetDisConnect(int32_t handle) { return Disconnect("WNetDisConnect", handle, false); }

int WHardNetDisConnect(int32_t handle) { return Disconnect("WHardNetDisConnect", handle, true); }

int WNetWaitInput(int32_t handle, int timeoutMs) {
    if (g_current == nullptr) return -1;
    switch (g_current->type) {
        case WNET_TYPE_TCP: return WTCPWaitReadable(handle, timeoutMs);
        // A terminal connected to the program in server mode (direct entry).
        case WNET_TYPE_TLS: return WSSLImplWaitReadable(handle, timeoutMs);
        default: return -1;
    }
}
