// TLS listening services and accepted clients: the listening context and
// socket of each service, the accept, the pump thread of every accepted
// client, and the main thread's side of pumped entries.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_certificates.h"
#include "comm/tls_internal.h"
#include "comm/tls_transport.h"
#include "core/crypto.h"
#include "core/directories.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/net_socket.h"

const char* const WSSL_SERVER_CERT_DIRECTORY = "./W00_0000/WCERT";

namespace {

constexpr const char* kLogger = "ktn_ssl";
constexpr uint32_t kPumpReadSize = 1024;
constexpr int kThreadReadWaitMs = 50;
constexpr int64_t kThreadWriteWaitMs = 10000;
constexpr int kShutdownRetryMs = 200;
constexpr int kAcceptWaitMs = 5;
constexpr int kAcceptedLingerSeconds = 10;
constexpr long kSessionTimeoutSeconds = 36000;
constexpr int64_t kExitWaitMs = 2000;

// Running pump threads. Never destroyed: the last threads may end while the
// process does.
struct PumpThreads {
    std::mutex lock;
    std::condition_variable ended;
    int running = 0;
    uint64_t started = 0;
};

PumpThreads& Pumps() {
    static PumpThreads* pumps = new PumpThreads;
    return *pumps;
}

// At process exit: listening sockets are closed, pump threads are asked to
// stop and given a little time to end.
void CloseAtExit() {
    WShared& table = WSharedTable();
    for (int id = 1; id < table.size(); ++id) {
        comInfos* e = table.entry(id);
        if (e->State == WSHARED_FREE) continue;
        if (e->Type == COM_LISTEN_SOCKET) {
            const int fd = e->Socket.exchange(-1);
            if (fd >= 0) {
                plat::SocketShutdown(fd, plat::ShutdownSide::Send);
                plat::SocketClose(fd);
            }
        } else if (e->Type == COM_BY_SEV && e->PumpActive == 1) {
            WSharedStop(e);
        }
    }
    WSSLWaitPumpThreads(static_cast<int>(kExitWaitMs));
}

void RegisterCloseAtExit() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(CloseAtExit); });
}

std::string ServerFile(const char* name) { return std::string(WSSL_SERVER_CERT_DIRECTORY) + "/" + name; }

// Reads at most WSSL_KEY_MAX bytes of the key file and deciphers them with
// the built-in private key: the key's length, or -1 after the message.
int ReadServerKey(const std::string& path, unsigned char* key) {
    if (WGetFileSize(path.c_str()) < 1) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): Private key file not found: file: %s", path.c_str());
        return -1;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): Error while opening server key file: %s", path.c_str());
        return -1;
    }
    size_t n = std::fread(key, 1, WSSL_KEY_MAX, f);
    std::fclose(f);
    if (n == WSSL_KEY_MAX)
        WSysError("<< WARN. >> WSSLImplOpenServer(): Key file too big, max. size: %d", static_cast<int>(WSSL_KEY_MAX));
    if (RSAKEY_Action(key, &n, RSAKEY_PRIVATE_DECRYPT, WSSL_KEY_MAX) <= 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): RSAKEY_Action() returned an error");
        return -1;
    }
    return static_cast<int>(n);
}

// The key, certificate and client-authentication settings of a listening
// context: true, or false after the message.
bool SetUpServerContext(SSL_CTX* context) {
    unsigned char key[WSSL_KEY_MAX];
    const int keyLength = ReadServerKey(ServerFile("server.key"), key);
    if (keyLength < 0) {
        OPENSSL_cleanse(key, sizeof key);
        return false;
    }
    const int loaded = SSL_CTX_use_PrivateKey_mem(context, key, keyLength);
    OPENSSL_cleanse(key, sizeof key);
    if (loaded <= 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): SSL_CTX_use_PrivateKey_mem() returned an error");
        OpenSSLHelper_logErrorStack();
        return false;
    }
    const std::string certificate = ServerFile("server.crt");
    if (WGetFileSize(certificate.c_str()) < 1) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): Server certificate not found: file: %s", certificate.c_str());
        return false;
    }
    // The file may hold the intermediate CAs after the certificate: they are
    // sent with it.
    if (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) <= 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): SSL_CTX_use_certificate_file() returned an error");
        OpenSSLHelper_logErrorStack();
        return false;
    }
    if (SSL_CTX_check_private_key(context) == 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): SSL_CTX_check_private_key() returned an error");
        OpenSSLHelper_logErrorStack();
        return false;
    }
    const std::string clients = ServerFile("client.crt");
    const bool clientsPresent = WGetFileSize(clients.c_str()) >= 1;
    if (clientsPresent && WSSL_CTX_check_crt_file(context, clients.c_str(), WSSL_SERVER_CERT_DIRECTORY) == 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): WSSL_CTX_check_crt_file() returned an error, file: %s, dir: %s",
                  clients.c_str(), WSSL_SERVER_CERT_DIRECTORY);
        return false;
    }
    const int ca = WSSL_CTX_check_ca_file(context, nullptr, WSSL_SERVER_CERT_DIRECTORY);
    if (ca == -1) {
        WSysError("** INFO. ** WSSLImplOpenServer(): Mutual authentication deactivated");
    } else if (ca == 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): WSSL_CTX_check_ca_file() returned 0, incorrect CA kernel files");
        return false;
    } else if (ca != 1) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): WSSL_CTX_check_ca_file() returned an unknown error");
        return false;
    } else {
        if (SSL_CTX_load_verify_locations(context, clientsPresent ? clients.c_str() : nullptr,
                                          WSSL_SERVER_CERT_DIRECTORY) != 1) {
            if (clientsPresent)
                WSysError(
                    "-- ERROR -- WSSLImplOpenServer(): WSSL_CTX_check_ca_file() returned 1, "
                    "SSL_CTX_load_verify_locations() returned an error, file: %s, dir.: %s",
                    clients.c_str(), WSSL_SERVER_CERT_DIRECTORY);
            else
                WSysError(
                    "-- ERROR -- WSSLImplOpenServer(): WWSSL_CTX_check_ca_file() returned 1, "
                    "SSL_CTX_load_verify_locations() returned an error, file: NULL, dir.: %s",
                    WSSL_SERVER_CERT_DIRECTORY);
            OpenSSLHelper_logErrorStack();
            return false;
        }
        // Mutual authentication announced: a client without a certificate
        // is refused.
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                           nullptr);
        SSL_CTX_set_verify_depth(context, 4);
        WSysError("** INFO. ** WSSLImplOpenServer(): Mutual authentication activated");
    }
    ERR_clear_error();
    return true;
}

// Session-id context of a listening service: "SZEL_V52_SSL_<service>" with
// its terminator, cut to what the library accepts.
void SetSessionIdContext(SSL_CTX* context, const char* service) {
    char text[128];
    std::snprintf(text, sizeof text, "SZEL_V52_SSL_%s", service != nullptr ? service : "");
    size_t length = std::strlen(text) + 1;
    if (length > SSL_MAX_SID_CTX_LENGTH) length = SSL_MAX_SID_CTX_LENGTH;
    SSL_CTX_set_session_id_context(context, reinterpret_cast<const unsigned char*>(text),
                                   static_cast<unsigned>(length));
}

// Body of the pump thread of an accepted client.
void KTN_SSL_Thread(comInfos* e) {
    WLOG(kLogger, WLOG_DEBUG, "KTN_SSL_Thread: start: id: 0x%X, address: %p", static_cast<unsigned>(e->Id),
         static_cast<void*>(e));
    e->SslState = 1;
    SSL* ssl = SSL_new(e->SslCtx);
    if (ssl == nullptr) {
        WSysError("-- ERROR -- KTN_SSL_Thread(): SSL_new() returned an error");
        e->Stop = 1;
        wssl::WSSLCloseCOM_INFO(e, "KTN_SSL_Thread");
        return;
    }
    const int fd = e->Socket;
    SSL_set_fd(ssl, fd);
    SSL_set_accept_state(ssl);
    e->Ssl = ssl;
    ERR_clear_error();
    int result = 0;
    int sslError = SSL_ERROR_NONE;
    const wssl::Handshake h = wssl::DriveHandshake(ssl, true, fd, e, e->ConnectTimeoutMs, &result, &sslError);
    if (h != wssl::Handshake::Done) {
        if (h == wssl::Handshake::Stopped) {
            WLOG(kLogger, WLOG_DEBUG, "KTN_SSL_Thread: stopped during the handshake: id: 0x%X",
                 static_cast<unsigned>(e->Id));
        } else {
            if (h == wssl::Handshake::TimedOut)
                WSysError("-- ERROR -- KTN_SSL_Thread(): SSL_accept() sans reponse en %d ms, resource: 0x%X",
                          static_cast<int>(e->ConnectTimeoutMs), static_cast<unsigned>(e->Id));
            WSysError(
                "-- ERROR -- KTN_SSL_Thread(): SSL_accept() returned an error: %d, SSL_get_error(): %d = "
                "\"%s\", resource: 0x%X",
                result, sslError, WSSLErrorName(sslError), static_cast<unsigned>(e->Id));
            OpenSSLHelper_logErrorStack();
            wssl::ReportRefusedCertificate(ssl, "KTN_SSL_Thread", "");
        }
        e->Stop = 1;
        wssl::WSSLCloseCOM_INFO(e, "KTN_SSL_Thread");
        return;
    }
    e->SslState = 2;
    std::string subject, issuer;
    const char* which = nullptr;
    const int names = wssl::PeerCertificateNames(ssl, &subject, &issuer, &which);
    if (names < 0) {
        WSysError(
            "-- ERROR -- KTN_SSL_Thread(): X509_NAME_oneline(X509_get_%s_name()) returned an error, resource: "
            "0x%X, cert.: %s",
            which, static_cast<unsigned>(e->Id), subject.c_str());
        e->Stop = 1;
        wssl::WSSLCloseCOM_INFO(e, "KTN_SSL_Thread");
        return;
    }
    if (names > 0)
        WLOG(kLogger, WLOG_DEBUG, "KTN_SSL_Thread: client certificate: id: 0x%X, subject: %s, issuer: %s",
             static_cast<unsigned>(e->Id), subject.c_str(), issuer.c_str());
    wssl::Pump(e, "KTN_SSL_Thread");
    WLOG(kLogger, WLOG_DEBUG, "KTN_SSL_Thread: stop: id: 0x%X, address: %p", static_cast<unsigned>(e->Id),
         static_cast<void*>(e));
    wssl::WSSLCloseCOM_INFO(e, "KTN_SSL_Thread");
}

// Sends everything queued in OutBuffer: false when the connection failed.
bool SendQueued(comInfos* e, std::vector<unsigned char>& out, const char* name) {
    WSharedLockEntry(e);
    const int32_t n = e->OutLength;
    if (n > WSHARED_BUFFER_SIZE) {
        WSharedUnlockEntry(e);
        WSysError(
            "-- ERROR -- %s(): No more space to store outgoing bytes, drop bytes, stop connection... id: 0x%X, "
            "socket: 0x%X",
            name, static_cast<unsigned>(e->Id), static_cast<unsigned>(e->Socket.load()));
        return false;
    }
    if (n > 0) {
        std::memcpy(out.data(), e->OutBuffer, static_cast<size_t>(n));
        e->OutLength = 0;
    }
    WSharedUnlockEntry(e);
    return n == 0 || wssl::WSSLThreadWrite(e->Id, out.data(), static_cast<uint32_t>(n)) >= 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Listening service and accept
// ---------------------------------------------------------------------------

int32_t WSSLImplOpenServerEx(const char* service, int backlog, int8_t reuse, const char* sslArguments) {
    const int init = SSL_sock_init();
    if (init != 0) {
        WSysError("-- ERROR -- WSSLImplOpenServerEx(): SSL_sock_init() returned an error: %d", init);
        return -1;
    }
    WSysError("@@ DEBUG @@ WSSLImplOpenServerEx: arguments: %s", sslArguments != nullptr ? sslArguments : "");
    SSL_CTX* context = wssl::NewContext();
    if (context == nullptr) {
        WSysError("-- ERROR -- WSSLImplOpenServerEx(): echec SSL_CTX_new()");
        return -1;
    }
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_BOTH);
    SSL_CTX_set_timeout(context, kSessionTimeoutSeconds);
    SetSessionIdContext(context, service);
    SSL_CTX_set_options(context, SSL_OP_ALL);
    if (WSSLApplyArguments(context, sslArguments) != 1 || !SetUpServerContext(context)) {
        SSL_CTX_free(context);
        return -1;
    }

    const int fd = plat::SocketCreateTcp();
    if (fd < 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): socket() returned an error: %d", errno);
        SSL_CTX_free(context);
        return -1;
    }
    RegisterCloseAtExit();
    uint16_t port = 0;
    if (!wssl::ServicePort(service, &port, "-- ERROR -- WSSLImplOpenServer(): htons() returned an error, value: %s",
                           "-- ERROR -- WSSLImplOpenServer(): getservbyname() returned an error, value: %s")) {
        plat::SocketClose(fd);
        SSL_CTX_free(context);
        return -1;
    }
    if (reuse > 0 && plat::SocketSetFlag(fd, plat::SocketFlag::ReuseAddress, true) != 0)
        WSysError(
            "-- ERROR -- WSSLImplOpenServer(): setsockopt() returned an error while trying to set SO_REUSEADDR "
            "value");
    if (plat::SocketBindAny(fd, port) != 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(): bind(%d) returned an error", fd);
        plat::SocketClose(fd);
        SSL_CTX_free(context);
        return -1;
    }
    if (plat::SocketSetFlag(fd, plat::SocketFlag::KeepAlive, false) != 0)
        WSysError(
            "-- ERROR -- WSSLImplOpenServer(): setsockopt() returned an error while trying to set SO_KEEPALIVE "
            "value");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError(
            "-- ERROR -- WSSLImplOpenServer(): setsockopt() returned an error while trying to set TCP_NODELAY "
            "value");
    if (plat::SocketListen(fd, backlog) != 0) {
        WSysError("-- ERROR -- WSSLImplOpenServer(0x%X): listen() returned an error", static_cast<unsigned>(fd));
        plat::SocketClose(fd);
        SSL_CTX_free(context);
        return -1;
    }
    comInfos* e = WShared_GetOneFreeCOM_INFOS();
    if (e == nullptr) {
        WSysError(
            "-- ERROR -- WSSLImplOpenServer(): No free space, WShared_GetOneFreeCOM_INFOS() returned a null "
            "pointer");
        plat::SocketClose(fd);
        SSL_CTX_free(context);
        return -1;
    }
    // The listening entry owns its context; each accepted client holds a
    // reference of its own, so the context outlives every pump using it.
    e->SslCtx = context;
    e->Socket = fd;
    e->Type = COM_LISTEN_SOCKET;
    return e->Id;
}

int32_t WSSLImplOpenServer(const char* service, int backlog) { return WSSLImplOpenServerEx(service, backlog, 1, ""); }

int32_t WSSLImplConnect(int32_t listenHandle, int32_t* station) {
    comInfos* listening =
        WSharedEntry(listenHandle, "-- ERROR -- WSSLImplConnect : WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (listening == nullptr) return -1;
    if (listening->Type != COM_LISTEN_SOCKET) {
        WSysError(
            "-- ERROR -- WSSLImplConnect(): Function should not have been called with COM_LISTEN_SOCKET mode "
            "not set, resource: 0x%X, address: %p",
            static_cast<unsigned>(listenHandle), static_cast<void*>(listening));
        return -1;
    }
    const int listenFd = listening->Socket;
    if (listenFd == -1) {
        WSysError("-- ERROR -- WSSLImplConnect: invalid server / listener socket");
        return -1;
    }
    const plat::WaitStatus ready = plat::SocketWaitReadable(listenFd, kAcceptWaitMs);
    if (ready == plat::WaitStatus::Failed) {
        WSysError("-- ERROR -- WSSLImplConnect(): select() returned an error");
        return -1;
    }
    if (ready == plat::WaitStatus::TimedOut) return -1;
    uint32_t peer = 0;
    const int fd = plat::SocketAccept(listenFd, &peer);
    if (fd < 0) {
        if (!plat::SocketWouldBlock(errno)) WSysError("-- ERROR -- WSSLImplConnect(): accept() returned an error");
        return -1;
    }
    if (plat::SocketSetLinger(fd, true, kAcceptedLingerSeconds) != 0)
        WSysError("-- ERROR -- WSSLImplConnect(): setsockopt() returned an error while trying to set SO_LINGER value");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::KeepAlive, false) != 0)
        WSysError(
            "-- ERROR -- WSSLImplConnect(): setsockopt() returned an error while trying to set SO_KEEPALIVE "
            "value");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError(
            "-- ERROR -- WSSLImplConnect(): setsockopt() returned an error while trying to set TCP_NODELAY "
            "value");
    const int number = WTCPPeerStation(peer);
    if (station != nullptr) *station = number;
    WSysError("** INFO. ** WSSLImplConnect(): IP: %s", plat::IPv4Text(peer).c_str());
    if (number < 0) {
        WSysError("-- ERROR -- WSSLImplConnect(): POS unknown");
        plat::SocketClose(fd);
        return -1;
    }
    comInfos* e = WShared_GetOneFreeCOM_INFOS();
    if (e == nullptr) {
        WSysError(
            "-- ERROR -- WSSLImplConnect(): No free space, WShared_GetOneFreeCOM_INFOS() returned a null pointer");
        plat::SocketClose(fd);
        return -1;
    }
    // The pump never blocks on the socket: its waits are bounded and it
    // also wakes for what the main thread queues or asks.
    plat::SocketSetNonBlocking(fd, true);
    SSL_CTX_up_ref(listening->SslCtx);
    e->SslCtx = listening->SslCtx;
    e->Socket = fd;
    e->ConnectTimeoutMs = static_cast<int32_t>(WTCPGetConnectTimeOutMs());
    e->Type = COM_BY_SEV;
    WSharedAttachPump(e);
    if (!wssl::StartPumpThread(e, KTN_SSL_Thread)) {
        WSysError("-- ERROR -- WSSLImplConnect(): CreateThread() returned an error");
        e->Socket = -1;
        plat::SocketClose(fd);
        SSL_CTX_free(e->SslCtx);
        e->SslCtx = nullptr;
        WSharedReleaseUser(e);
        WSharedReleasePump(e);
        return -1;
    }
    return e->Id;
}

// ---------------------------------------------------------------------------
// Pump threads
// ---------------------------------------------------------------------------

int WSSLPumpThreadCount() {
    PumpThreads& p = Pumps();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.running;
}

bool WSSLWaitPumpThreads(int timeoutMs) {
    PumpThreads& p = Pumps();
    std::unique_lock<std::mutex> lock(p.lock);
    return p.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                            [&] { return p.running == 0; });
}

namespace wssl {

bool StartPumpThread(comInfos* entry, void (*body)(comInfos*)) {
    RegisterCloseAtExit();
    PumpThreads& p = Pumps();
    {
        std::lock_guard<std::mutex> guard(p.lock);
        ++p.running;
        entry->ThreadHandle = entry->ThreadId = ++p.started;
    }
    try {
        std::thread([entry, body] {
            body(entry);
            PumpThreads& pumps = Pumps();
            std::lock_guard<std::mutex> guard(pumps.lock);
            --pumps.running;
            pumps.ended.notify_all();
        }).detach();
    } catch (const std::exception&) {
        std::lock_guard<std::mutex> guard(p.lock);
        --p.running;
        p.ended.notify_all();
        return false;
    }
    return true;
}

void Pump(comInfos* e, const char* name) {
    unsigned char in[kPumpReadSize];
    std::vector<unsigned char> out(WSHARED_BUFFER_SIZE);
    while (e->Stop != 1) {
        if (!SendQueued(e, out, name)) {
            WSharedStop(e);
            break;
        }
        const int r = WSSLThreadRead(e->Id, in, sizeof in);
        if (r > 0) {
            WSharedLockEntry(e);
            const bool kept = WSharedAppendInputLocked(e, in, static_cast<uint32_t>(r));
            WSharedUnlockEntry(e);
            if (!kept) {
                WSysError(
                    "-- ERROR -- %s(): No more space to store incoming bytes, drop bytes, stop connection... "
                    "id: 0x%X, socket: 0x%X",
                    name, static_cast<unsigned>(e->Id), static_cast<unsigned>(e->Socket.load()));
                WSharedStop(e);
                break;
            }
        } else if (r == -2) {
            WSharedStop(e);
        }
    }
    // An orderly disconnect still delivers what was queued before it.
    if (e->ReleaseRequested == 1) SendQueued(e, out, name);
}

int WSSLThreadRead(int32_t handle, void* buffer, uint32_t capacity) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLThreadRead: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    SSL* ssl = e->Ssl;
    if (ssl == nullptr) {
        WSysError("-- ERROR -- WSSLThreadRead(): erreur MyCurrentSSL");
        return -2;
    }
    if (SSL_pending(ssl) <= 0) {
        bool woken = false;
        const plat::WaitStatus s = plat::SocketWaitOrWake(e->Socket, false, e->WakeFd, kThreadReadWaitMs, &woken);
        if (woken) plat::WakeDrain(e->WakeFd);
        if (s == plat::WaitStatus::Failed) {
            WSysError("-- ERROR -- WSSLThreadRead(): erreur select()");
            return -2;
        }
        if (s == plat::WaitStatus::TimedOut) return 0;
    }
    const int r = SSL_read(ssl, buffer, static_cast<int>(capacity));
    if (r > 0) return r;
    const int err = SSL_get_error(ssl, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
    ERR_clear_error();
    return -2;
}

int WSSLThreadWrite(int32_t handle, const void* data, uint32_t length) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLThreadWrite: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    SSL* ssl = e->Ssl;
    const int fd = e->Socket;
    if (fd == -1 || ssl == nullptr) {
        WSysError("-- ERROR -- WSSLThreadWrite: invalid TCP socket");
        return -1;
    }
    const WriteOutcome w = WriteAll(ssl, fd, data, length, kThreadWriteWaitMs, e);
    switch (w.end) {
        case WriteOutcome::End::Complete:
            return static_cast<int>(w.done);
        case WriteOutcome::End::TimedOut:
            WSysError("-- ERROR -- WSSLWrite():pas de connexion");
            return 0;
        case WriteOutcome::End::WaitFailed:
            WSysError("-- ERROR -- WSSLWrite(): erreur select()");
            return -1;
        case WriteOutcome::End::Failed:
        case WriteOutcome::End::Abandoned:
            break;
    }
    ERR_clear_error();
    return w.lastResult < 0 ? w.lastResult : -1;
}

void WSSLCloseCOM_INFO(comInfos* e, const char* name) {
    if (SSL* ssl = e->Ssl.exchange(nullptr)) {
        const int r = SSL_shutdown(ssl);
        if (r < 0) {
            const int err = SSL_get_error(ssl, r);
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                WSysError("** INFO. ** WSSLCloseCOM_INFO (%s): SSL_shutdown returned an error, resource: 0x%X", name,
                          static_cast<unsigned>(e->Id));
        }
        SSL_free(ssl);
    }
    if (e->SslCtx != nullptr) SSL_CTX_free(e->SslCtx);
    e->SslCtx = nullptr;
    const int fd = e->Socket;
    if (fd >= 0) {
        if (e->ReleaseRequested == 2) plat::SocketSetLinger(fd, true, 0);
        if (plat::SocketShutdown(fd, plat::ShutdownSide::Both) != 0 && errno != ENOTCONN) {
            WSysError("** INFO. ** WSSLCloseCOM_INFO (%s): Failed to shutdown the socket: socket: 0x%X, resource: 0x%X",
                      name, static_cast<unsigned>(fd), static_cast<unsigned>(e->Id));
            WSleep(kShutdownRetryMs);
            if (plat::SocketShutdown(fd, plat::ShutdownSide::Both) != 0)
                WSysError(
                    "** INFO. ** WSSLCloseCOM_INFO (%s): Failed to shutdown the socket, second attempt: socket: "
                    "0x%X, resource: 0x%X",
                    name, static_cast<unsigned>(fd), static_cast<unsigned>(e->Id));
        }
        WSharedLockEntry(e);
        e->Socket = -1;
        WSharedUnlockEntry(e);
        plat::SocketClose(fd);
    }
    e->Result = -1;
    ERR_clear_error();
    WSharedReleasePump(e);
}

// ---------------------------------------------------------------------------
// Main thread's side of pumped entries
// ---------------------------------------------------------------------------

int WSSLShareWrite(int32_t handle, const void* data, uint32_t length) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLShareWrite: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -2;
    if (e->Socket == -1) {
        WSysError("-- ERROR -- WSSLShareWrite: invalid socket");
        return -2;
    }
    if (e->Type != COM_BY_SEV || e->Stop == 1) return -2;
    WSharedLockEntry(e);
    const int taken = WSharedAppendOutputLocked(e, data, length);
    WSharedUnlockEntry(e);
    if (taken > 0) WSharedWake(e);
    return taken;
}

int WSSLShareRead(int32_t handle, void* buffer, uint32_t capacity) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLShareRead: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -2;
    if (e->Type != COM_BY_SEV) {
        WSysError("-- ERROR -- WSSLShareRead(): com_Ptr->Type!= COM_BY_SEV ");
        return -2;
    }
    const int64_t deadline = plat::RealMonotonicMs() + 100;
    if (!WSharedLockEntryBefore(e, deadline)) return e->Result;
    uint32_t n = 0;
    const WSharedInput got = WSharedTakeInputLocked(e, buffer, capacity, deadline, true, &n);
    WSharedUnlockEntry(e);
    if (got == WSharedInput::Data) return static_cast<int>(n);
    if (got == WSharedInput::Stopped) {
        WLOG(kLogger, WLOG_TRACE, "WSSLShareRead(): com_Ptr->Stop==1");
        return -2;
    }
    return e->Result;
}

int WSSLSharePeek(int32_t handle, void* buffer, uint32_t capacity) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLSharePeek: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    if (e->Type != COM_BY_SEV) {
        WSysError("-- ERROR -- WSSLSharePeek(): com_Ptr->Type!= COM_BY_SEV ");
        return -2;
    }
    WSharedLockEntry(e);
    uint32_t n = 0;
    const WSharedInput got = WSharedTakeInputLocked(e, buffer, capacity, 0, false, &n);
    WSharedUnlockEntry(e);
    if (got == WSharedInput::Data) return static_cast<int>(n);
    if (got == WSharedInput::Stopped) {
        WSysError("-- ERROR -- WSSLSharePeek(): com_Ptr->Stop==1");
        return -2;
    }
    return 0;
}

int WSSLShareDisConnect(int32_t handle) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLShareDisConnect : WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    if (e->Type != COM_BY_SEV) {
        WSharedStop(e);
        WSysError("-- ERROR -- WSSLShareDisConnect(): com_Ptr->Type!= COM_BY_SEV ");
        return -2;
    }
    WSharedReleaseUser(e);
    return 1;
}

}  // namespace wssl
