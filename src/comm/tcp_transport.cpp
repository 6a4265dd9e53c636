// TCP transport over the platform's socket calls.
#include "comm/tcp_transport.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/net_socket.h"

namespace {

int32_t g_connectSeconds = 3;
int32_t g_connectMicroseconds = 0;

constexpr int kAcceptWaitMs = 5;
constexpr int kReadWaitMs = 100;
constexpr int kPeekWaitMs = 10;
constexpr int kWriteWaitMs = 10000;
constexpr int kShutdownRetryMs = 200;
constexpr int kAcceptedLingerSeconds = 10;
// Longest real wait of one slice of a long wait: the process clock decides
// when the whole wait is over.
constexpr int kWaitSliceMs = 50;

void CloseListeningAtExit() {
    if (WNetGetCurrentContext() != nullptr) WNetClose(0);
}

// The listening service is closed at process exit; registered once.
void RegisterExitClose() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(CloseListeningAtExit); });
}

// "<prefix>%d": the number when the name starts with the prefix followed by
// a number (as sscanf reads it).
bool MatchNumbered(const char* name, const char* format, int* number) {
    return std::sscanf(name, format, number) == 1;
}

}  // namespace

plat::WaitStatus WTCPWaitSocket(int fd, bool forWrite, int64_t limitMs) {
    // Slices of real waiting; the process clock decides when the whole wait
    // is over, so tests can run long waits in simulated time.
    const int64_t start = plat::MonotonicMs();
    for (;;) {
        const int64_t left = limitMs - (plat::MonotonicMs() - start);
        const int slice = static_cast<int>(left <= 0 ? 0 : left < kWaitSliceMs ? left : kWaitSliceMs);
        const plat::WaitStatus s =
            forWrite ? plat::SocketWaitWritable(fd, slice) : plat::SocketWaitReadable(fd, slice);
        if (s != plat::WaitStatus::TimedOut || left <= 0) return s;
    }
}

WTCPPortResult WTCPServicePort(const char* service, uint16_t* port) {
    if (service == nullptr) return WTCPPortResult::BadNumber;
    if (*service >= '0' && *service <= '9') {
        const long value = std::strtol(service, nullptr, 10);
        if (value <= 0 || value > 65535) return WTCPPortResult::BadNumber;
        *port = static_cast<uint16_t>(value);
        return WTCPPortResult::Ok;
    }
    return plat::LookupServicePort(service, "tcp", port) ? WTCPPortResult::Ok : WTCPPortResult::UnknownName;
}

namespace {
thread_local char t_connectFailure[256];
}  // namespace

void WNetClearConnectFailure() { t_connectFailure[0] = '\0'; }

void WNetSetConnectFailure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(t_connectFailure, sizeof t_connectFailure, format, args);
    va_end(args);
}

const char* WNetLastConnectFailure() { return t_connectFailure; }

int WTCPConnectSocket(uint32_t address, uint16_t port, int64_t timeoutMs, WTCPConnectFailure* failure,
                      int* failedSocket) {
    WTCPConnectFailure ignored = WTCPConnectFailure::None;
    WTCPConnectFailure& why = failure != nullptr ? *failure : ignored;
    why = WTCPConnectFailure::None;
    const int fd = plat::SocketCreateTcp();
    if (fd < 0) {
        WNetSetConnectFailure("socket(): %s", std::strerror(errno));
        why = WTCPConnectFailure::Socket;
        return -1;
    }
    if (plat::SocketSetNonBlocking(fd, true) != 0) {
        WNetSetConnectFailure("socket non bloquant: %s", std::strerror(errno));
        why = WTCPConnectFailure::NonBlocking;
    } else if (plat::SocketConnect(fd, address, port) == 0) {
        return fd;
    } else if (!plat::SocketWouldBlock(errno)) {
        WNetSetConnectFailure("%s", std::strerror(errno));
        why = WTCPConnectFailure::Connect;
    } else {
        const plat::WaitStatus s = WTCPWaitSocket(fd, true, timeoutMs);
        if (s == plat::WaitStatus::Failed) {
            WNetSetConnectFailure("attente de la connexion impossible: %s", std::strerror(errno));
            why = WTCPConnectFailure::Wait;
        } else if (s == plat::WaitStatus::TimedOut) {
            WNetSetConnectFailure("pas de reponse en %lld ms", static_cast<long long>(timeoutMs));
            why = WTCPConnectFailure::TimedOut;
        } else {
            const int err = plat::SocketConnectError(fd);
            if (err == 0 || err == EISCONN) return fd;
            WNetSetConnectFailure("%s", std::strerror(err));
            why = WTCPConnectFailure::Refused;
        }
    }
    if (failedSocket != nullptr) *failedSocket = fd;
    plat::SocketClose(fd);
    return -1;
}

int WTCPPeerStation(uint32_t peerAddress) {
    std::string name;
    std::vector<std::string> aliases;
    const bool named = plat::ReverseLookupIPv4(peerAddress, &name, &aliases);
    return WTCPIdentifyStation(named ? name.c_str() : nullptr, aliases);
}

void WTCPSetConnectTimeOut(int32_t seconds, int32_t microseconds) {
    if (seconds < 0 || microseconds < 0) return;
    g_connectSeconds = seconds;
    g_connectMicroseconds = microseconds;
}

int64_t WTCPGetConnectTimeOutMs() {
    return static_cast<int64_t>(g_connectSeconds) * 1000 + g_connectMicroseconds / 1000;
}

int WTCPIdentifyStation(const char* hostName, const std::vector<std::string>& aliases) {
    int station = -1;
    if (hostName != nullptr) {
        static const char* const kNamePatterns[] = {"c%d", "C%d", "caisse%d", "Caisse%d", "p%d", "P%d",
                                                    "poste%d", "Poste%d", "s%d", "S%d", "station%d"};
        for (const char* pattern : kNamePatterns)
            if (MatchNumbered(hostName, pattern, &station)) return station;
        for (const std::string& alias : aliases) {
            if (MatchNumbered(alias.c_str(), "c%d", &station)) return station;
            if (MatchNumbered(alias.c_str(), "caisse%d", &station)) return station;
        }
    }
    station = -1;
    if (const char* local = std::getenv("C_LOCAL")) {
        int number = -1;
        if (MatchNumbered(local, "c%d", &number)) station = number;
    }
    return station;
}

int WTCPOpenServer(const char* service, int backlog, int8_t reuse, const char* /*sslArguments*/) {
    if (sock_init() != 0) {
        WSysError("-- ERROR -- WTCPOpenServer(): echec sock_init()");
        return -1;
    }
    RegisterExitClose();
    const int fd = plat::SocketCreateTcp();
    if (fd < 0) {
        WSysError("-- ERROR -- WTCPOpenServer(): echec socket()");
        return -1;
    }
    uint16_t port = 0;
    switch (WTCPServicePort(service, &port)) {
        case WTCPPortResult::Ok:
            break;
        case WTCPPortResult::BadNumber:
            WSysError("-- ERROR -- WTCPOpenServer(): echec transformation port : %s", service ? service : "(null)");
            plat::SocketClose(fd);
            return -1;
        case WTCPPortResult::UnknownName:
            WSysError("-- ERROR -- WTCPOpenServer(): echec recuperation port dans fichier services");
            plat::SocketClose(fd);
            return -1;
    }
    if (reuse > 0 && plat::SocketSetFlag(fd, plat::SocketFlag::ReuseAddress, true) != 0)
        WSysError("-- ERROR -- WTCPOpenServer(): echec setsockopt()1");
    if (plat::SocketBindAny(fd, port) != 0) {
        WSysError("-- ERROR -- WTCPOpenServer(): echec bind(%d)", fd);
        plat::SocketClose(fd);
        return -1;
    }
    if (plat::SocketSetFlag(fd, plat::SocketFlag::KeepAlive, false) != 0)
        WSysError("-- ERROR -- WTCPOpenServer(): echec setsockopt()2");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError("-- ERROR -- WTCPOpenServer(): echec setsockopt()3");
    if (plat::SocketListen(fd, backlog) != 0) {
        WSysError("-- ERROR -- WTCPOpenServer(): echec listen(%d)", fd);
        plat::SocketClose(fd);
        return -1;
    }
    return fd;
}

int WTCPConnect(int listenSocket, int* station) {
    if (listenSocket == -1) {
        WSysError("-- ERROR -- WTCPConnect(): invalid server socket");
        return -1;
    }
    const plat::WaitStatus ready = plat::SocketWaitReadable(listenSocket, kAcceptWaitMs);
    if (ready == plat::WaitStatus::Failed) {
        WSysError("-- ERROR -- WTCPConnect(): echec select().");
        return -1;
    }
    if (ready == plat::WaitStatus::TimedOut) return -1;
    uint32_t peer = 0;
    const int fd = plat::SocketAccept(listenSocket, &peer);
    if (fd < 0) {
        if (!plat::SocketWouldBlock(errno)) WSysError("-- ERROR -- WTCPConnect(): erreur accept()");
        return -1;
    }
    if (plat::SocketSetLinger(fd, true, kAcceptedLingerSeconds) != 0)
        WSysError("-- ERROR -- WTCPConnect(): echec setsockopt()");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::KeepAlive, false) != 0)
        WSysError("-- ERROR -- WTCPConnect(): echec setsockopt()");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError("-- ERROR -- WTCPConnect(): echec setsockopt()");

    const int number = WTCPPeerStation(peer);
    WSysError("** INFO. ** WTCPConnect(): %s", plat::IPv4Text(peer).c_str());
    if (station != nullptr) *station = number;
    if (number >= 0) return fd;
    WSysError("-- ERROR -- WTCPConnect(): caisse inconnue");
    plat::SocketClose(fd);
    return -1;
}

int WTCPClose(int socket) {
    if (socket == -1) return -1;
    if (plat::SocketShutdown(socket, plat::ShutdownSide::Both) != 0)
        WSysError("** INFO. ** WTCPClose(): echec shutdown ");
    return plat::SocketClose(socket);
}

int WTCPOpenClient(const char* host, const char* service) {
    if (sock_init() != 0) {
        WSysError("-- ERROR -- WTCPOpenClient(): echec sock_init()");
        return -1;
    }
    uint16_t port = 0;
    switch (WTCPServicePort(service, &port)) {
        case WTCPPortResult::Ok:
            break;
        case WTCPPortResult::BadNumber:
            WSysError("-- ERROR -- WTCPOpenClient(): echec transformation port : %s", service ? service : "(null)");
            WNetSetConnectFailure("port \"%.80s\" invalide", service ? service : "");
            return -1;
        case WTCPPortResult::UnknownName:
            WSysError("-- ERROR -- WTCPOpenClient(): echec recuperation port dans fichier services %s", service);
            WNetSetConnectFailure("service \"%.80s\" inconnu", service);
            return -1;
    }
    uint32_t address = 0;
    if (!plat::ResolveHostIPv4(host, &address)) {
        WSysError("** INFO. ** WTCPOpenClient(): echec recuperation hostname dans fichier hosts : %s",
                  host ? host : "(null)");
        WNetSetConnectFailure("hote \"%.80s\" inconnu", host ? host : "");
        return -1;
    }
    WTCPConnectFailure failure = WTCPConnectFailure::None;
    int failedSocket = -1;
    const int fd = WTCPConnectSocket(address, port, WTCPGetConnectTimeOutMs(), &failure, &failedSocket);
    switch (failure) {
        case WTCPConnectFailure::None:
        case WTCPConnectFailure::TimedOut:  // no message
            break;
        case WTCPConnectFailure::Socket:
            WSysError("-- ERROR -- WTCPOpenClient(): echec socket()");
            break;
        case WTCPConnectFailure::NonBlocking:
            WSysError("-- ERROR -- WTCPOpenClient() echec ioctl()");
            break;
        case WTCPConnectFailure::Connect:
            WSysError("-- ERROR -- WTCPOpenClient(): echec connect-2-()");
            break;
        case WTCPConnectFailure::Wait:
            WSysError("-- ERROR -- WTCPOpenClient(): echec select()");
            break;
        case WTCPConnectFailure::Refused:
            WSysError("-- ERROR -- WTCPOpenClient(): echec connect(%d)", failedSocket);
            break;
    }
    if (fd < 0) return -1;
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError("<< WARN. >> WTCPOpenClient(): echec TCP_NODELAY");
    // No zero linger here: an orderly close must still deliver the last
    // message; only WTCPHardDisConnect drops unsent data.
    return fd;
}

int WTCPWrite(int socket, const void* data, uint32_t length) {
    if (socket == -1) {
        WSysError("-- ERROR -- WTCPWrite: invalid socket");
        return -1;
    }
    // A socket with room takes the bytes at once; only a full one is waited for.
    ssize_t n = plat::SocketSend(socket, data, length);
    if (n < 0 && plat::SocketWouldBlock(errno)) {
        const plat::WaitStatus s = WTCPWaitSocket(socket, true, kWriteWaitMs);
        if (s == plat::WaitStatus::Failed) {
            WSysError("-- ERROR -- WTCPWrite(): erreur select()");
            return -1;
        }
        if (s == plat::WaitStatus::TimedOut) {
            WSysError("-- ERROR -- WTCPWrite():pas de connexion");
            return 0;
        }
        n = plat::SocketSend(socket, data, length);
    }
    if (n >= 0) return static_cast<int>(n);
    if (plat::SocketWouldBlock(errno)) return 0;
    WSysError("-- ERROR -- WTCPWrite(): echec send()");
    return -1;
}

namespace {

// Receives what is there, waiting at most waitMs for something to come:
// the count, 0 nothing came, -2 the peer closed or the link failed, -3 the
// wait itself failed.
int ReceiveWaiting(int socket, void* buffer, uint32_t capacity, bool peek, int waitMs, int* error) {
    ssize_t n = plat::SocketReceive(socket, buffer, capacity, peek);
    if (n < 0 && plat::SocketWouldBlock(errno)) {
        const plat::WaitStatus s = plat::SocketWaitReadable(socket, waitMs);
        if (s == plat::WaitStatus::Failed) return -3;
        if (s == plat::WaitStatus::TimedOut) return 0;
        n = plat::SocketReceive(socket, buffer, capacity, peek);
    }
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return -2;
    *error = errno;
    return plat::SocketWouldBlock(errno) ? 0 : -2;
}

}  // namespace

int WTCPRead(int socket, void* buffer, uint32_t capacity) {
    if (socket == -1) {
        WSysError("-- ERROR -- WTCPRead: invalid socket");
        return -2;
    }
    int error = 0;
    const int r = ReceiveWaiting(socket, buffer, capacity, false, kReadWaitMs, &error);
    if (r == -3) {
        WSysError("-- ERROR -- WTCPRead(): erreur select()");
        return -2;
    }
    if (r == -2 && error != 0) WSysError("-- ERROR -- WTCPRead(): echec recv()");
    return r;
}

int WTCPPeek(int socket, void* buffer, uint32_t capacity) {
    if (socket == -1) {
        WSysError("-- ERROR -- WTCPPeek: invalid socket");
        return -1;
    }
    int error = 0;
    const int r = ReceiveWaiting(socket, buffer, capacity, true, kPeekWaitMs, &error);
    if (r == -3) {
        WSysError("** INFO. ** WTCPPeek(): erreur select()");
        return -2;
    }
    return r;
}

int WTCPWaitReadable(int socket, int timeoutMs) {
    if (socket == -1) return -1;
    switch (WTCPWaitSocket(socket, false, timeoutMs < 0 ? 0 : timeoutMs)) {
        case plat::WaitStatus::Ready: return 1;
        case plat::WaitStatus::TimedOut: return 0;
        case plat::WaitStatus::Failed: break;
    }
    return -1;
}

int WTCPDisConnect(int socket) {
    if (socket == -1) return -1;
    if (plat::SocketShutdown(socket, plat::ShutdownSide::Send) != 0) {
        WSysError("** INFO. ** WTCPDisConnect Failed to shutdown the socket %d", socket);
        WSleep(kShutdownRetryMs);
        if (plat::SocketShutdown(socket, plat::ShutdownSide::Send) != 0)
            WSysError("** INFO. ** WTCPDisConnect Re Failed");
    }
    return plat::SocketClose(socket);
}

int WTCPHardDisConnect(int socket) {
    if (socket == -1) return -1;
    plat::SocketSetLinger(socket, true, 0);
    plat::SocketShutdown(socket, plat::ShutdownSide::Send);
    return plat::SocketClose(socket);
}

int WTCPSetNonBlocking(int socket, int mode) {
    if (socket == -1) return -1;
    return plat::SocketSetNonBlocking(socket, mode != 0);
}
