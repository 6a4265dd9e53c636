// Owner side of shared TLS client connections: a requester posts a request
// in an entry of the shared connection table; an owner thread, started by
// the request handler installed here, opens the TLS connection with the
// entry's parameters, answers through the entry's ConnState and then pumps
// the connection until it ends.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_certificates.h"
#include "comm/tls_internal.h"
#include "comm/tls_transport.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/net_socket.h"

namespace {

constexpr const char* kLogger = "ktn_ssl";
constexpr size_t kCipherDescriptionMax = 128;
constexpr unsigned kSessionIdMax = 32;

// Serialises the context set-up and the connection creation of concurrent
// owners.
std::mutex& ShareLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

const wssl::ClientTexts kOwnerTexts = {
    "-- ERROR -- WSSLImplOpenClientForShare(): client cert %s not found",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec SSL_CTX_use_certificate_file()",
    "-- ERROR -- WSSLImplOpenClientForShare(): error opening key %s",
    "<< WARN. >> WSSLImplOpenClientForShare(): length max for server key",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec RSAKEY_Action",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec SSL_CTX_use_PrivateKey_mem()",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec SSL_CTX_check_private_key()",
    "-- ERROR -- WSSLImplOpenClientForShare(): host cert %s ssl version %d",
    "-- ERROR -- WSSLImplOpenClientForShare(): host cert %s",
    "-- ERROR -- WSSLImplOpenServer(): echec WSSL_getCAPath() client",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec WSSL_CTX_check_ca_file() host new",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec WSSL_CTX_check_crt_file() host",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec WSSL_CTX_check_ca_file() host old",
    "-- ERROR -- WSSLImplOpenClientForShare(): echec SSL_CTX_load_verify_locations()",
};

// Failure of an owner: the requester gets ConnState -1, everything opened
// is closed and the owner lets go of the entry.
void WSSLExitThreadClientForShare(comInfos* e, bool lockHeld) {
    WSysError("@@ DEBUG @@ WSSLExitThreadClientForShare: SSL");
    if (lockHeld) ShareLock().unlock();
    WSharedLockEntry(e);
    e->ConnState = WSHARED_REQUEST_FAILED;
    WSharedUnlockEntry(e);
    const int fd = e->Socket.exchange(-1);
    if (fd >= 0) plat::SocketClose(fd);
    if (SSL* ssl = e->Ssl.exchange(nullptr)) SSL_free(ssl);
    if (e->SslCtx != nullptr) SSL_CTX_free(e->SslCtx);
    e->SslCtx = nullptr;
    e->Result = -1;
    ERR_clear_error();
    WSharedReleasePump(e);
}

void KTN_SSL_Client_Thread(comInfos* e) {
    WLOG(kLogger, WLOG_DEBUG, "KTN_SSL_Client_Thread: start: id: 0x%X, address: %p", static_cast<unsigned>(e->Id),
         static_cast<void*>(e));
    e->SslState = 1;
    wssl::Pump(e, "KTN_SSL_Client_Thread");
    if (SSL* ssl = e->Ssl.load()) WSSLSessionCachePut(e->HostName, e->Service, SSL_get1_session(ssl));
    WLOG(kLogger, WLOG_DEBUG, "KTN_SSL_Client_Thread: stop: id: 0x%X, address: %p", static_cast<unsigned>(e->Id),
         static_cast<void*>(e));
    wssl::WSSLCloseCOM_INFO(e, "KTN_SSL_Client_Thread");
}

// Request handler: one owner thread per request.
void StartOwner(int32_t id) {
    comInfos* e = WShared_GetOneCOM_INFOS(id);
    if (e == nullptr) return;
    if (!wssl::StartPumpThread(e, [](comInfos* entry) { WSSLImplOpenClientForShare(entry->Id); })) {
        WSysError("-- ERROR -- WSSLImplOpenClientForShare(): CreateThread() returned an error, resource: 0x%X",
                  static_cast<unsigned>(id));
        WSharedReleasePump(e);
    }
}

const bool g_ownerInstalled = (WSharedSetRequestHandler(StartOwner), true);

}  // namespace

void WSSLImplOpenClientForShare(int32_t handle) {
    comInfos* e =
        WSharedEntry(handle, "-- ERROR -- WSSLImplOpenClientForShare: WShared_GetOneCOM_INFOS(%u) returned NULL");
    if (e == nullptr) return;
    WLOG(kLogger, WLOG_DEBUG, "KTM_SomeThingNewOnShared: id: 0x%X, address: %p", static_cast<unsigned>(e->Id),
         static_cast<void*>(e));
    WSysError("@@ DEBUG @@ WSSLImplOpenClientForShare: SSL");
    e->Socket = -1;

    ShareLock().lock();
    SSL_CTX* context = wssl::NewContext();
    if (context == nullptr) {
        WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec SSL_CTX_new()");
        return WSSLExitThreadClientForShare(e, true);
    }
    e->SslCtx = context;
    if (WSSLApplyArguments(context, e->SslArguments) != 1 ||
        !wssl::SetUpClientContext(context, e->ClientCert, e->Service, e->HostName, e->HostCert, e->CheckCert,
                                  e->VersionSSL, kOwnerTexts))
        return WSSLExitThreadClientForShare(e, true);
    WSysError("** INFO. ** SSL start connection, handle: 0x%X", static_cast<unsigned>(e->Id));
    if (SSL_sock_init() != 0) {
        WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec SSL_sock_init()");
        return WSSLExitThreadClientForShare(e, true);
    }
    ShareLock().unlock();

    uint16_t port = 0;
    if (!wssl::ServicePort(e->Service, &port,
                           "-- ERROR -- WSSLImplOpenClientForShare(): echec transformation port : %s",
                           "-- ERROR -- WSSLImplOpenClientForShare(): echec recuperation port dans fichier services "
                           "%s"))
        return WSSLExitThreadClientForShare(e, false);
    uint32_t address = 0;
    if (!plat::ResolveHostIPv4(e->HostName, &address)) {
        WSysError("** INFO. ** WSSLImplOpenClientForShare(): echec recuperation ip à partir du nom d'hote : %s",
                  e->HostName);
        return WSSLExitThreadClientForShare(e, false);
    }
    WTCPConnectFailure failure = WTCPConnectFailure::None;
    int failedSocket = -1;
    const int fd = WTCPConnectSocket(address, port, e->ConnectTimeoutMs, &failure, &failedSocket);
    switch (failure) {
        case WTCPConnectFailure::None:
            break;
        case WTCPConnectFailure::Socket:
            WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec socket()");
            break;
        case WTCPConnectFailure::NonBlocking:
            WSysError("-- ERROR -- WSSLImplOpenClientForShare() echec ioctl()");
            break;
        case WTCPConnectFailure::Connect:
            WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec connect-2-()");
            break;
        case WTCPConnectFailure::Wait:
            WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec select(0x%X)",
                      static_cast<unsigned>(failedSocket));
            break;
        case WTCPConnectFailure::TimedOut:
            WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec select() == 0 ");
            break;
        case WTCPConnectFailure::Refused:
            WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec connect(0x%X)",
                      static_cast<unsigned>(failedSocket));
            break;
    }
    if (fd < 0) return WSSLExitThreadClientForShare(e, false);
    e->Socket = fd;
    plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true);

    ShareLock().lock();
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr) {
        WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec SSL_new()");
        return WSSLExitThreadClientForShare(e, true);
    }
    e->Ssl = ssl;
    SSL_set_fd(ssl, fd);
    char sessionHex[2 * kSessionIdMax + 1] = {};
    SSL_SESSION* session = nullptr;
    if (WSSLSessionCacheTake(e->HostName, e->Service, &session) == 1) {
        unsigned idLength = 0;
        const unsigned char* id = SSL_SESSION_get_id(session, &idLength);
        if (idLength > kSessionIdMax) idLength = kSessionIdMax;
        WBinToHex(sessionHex, id, static_cast<int32_t>(idLength));
        SSL_set_session(ssl, session);
        SSL_SESSION_free(session);
    }
    ShareLock().unlock();
    SSL_set_tlsext_host_name(ssl, e->HostName);
    if (!wssl::ExpectServerName(ssl, e->HostName)) {
        WSysError("-- ERROR -- WSSLImplOpenClientForShare(): Unable to check the server name: %s", e->HostName);
        return WSSLExitThreadClientForShare(e, false);
    }

    ERR_clear_error();
    int result = 0;
    int sslError = SSL_ERROR_NONE;
    if (wssl::DriveHandshake(ssl, false, fd, e, e->ConnectTimeoutMs, &result, &sslError) != wssl::Handshake::Done) {
        WSysError("-- ERROR -- WSSLImplOpenClientForShare(): SSL_connect()");
        OpenSSLHelper_logErrorStack();
        wssl::ReportRefusedCertificate(ssl, "WSSLImplOpenClientForShare", e->HostName);
        return WSSLExitThreadClientForShare(e, false);
    }
    char description[kCipherDescriptionMax + 1] = {};
    SSL_CIPHER_description(SSL_get_current_cipher(ssl), description, static_cast<int>(sizeof description));
    if (char* newline = std::strchr(description, '\n')) *newline = '\0';
    WSysError("@@ DEBUG @@ SSL desc.: %s", description);
    if (SSL_session_reused(ssl))
        WSysError("@@ DEBUG @@ SSL recon OK: id: 0x%X, session: %s", static_cast<unsigned>(e->Id), sessionHex);
    else
        WSysError("@@ DEBUG @@ SSL recon KO: id: 0x%X, session: %s", static_cast<unsigned>(e->Id), sessionHex);

    std::string subject, issuer;
    const int names = wssl::PeerCertificateNames(ssl, &subject, &issuer, nullptr);
    if (names == 0) {
        WSysError("-- ERROR -- The SSL server does not have certificate.");
        return WSSLExitThreadClientForShare(e, false);
    }
    if (names < 0) {
        WSysError("-- ERROR -- WSSLImplOpenClientForShare(): echec X509_NAME_oneline()");
        return WSSLExitThreadClientForShare(e, false);
    }
    WSysError("** INFO. ** Server certificate:");
    WSysError("** INFO. ** subject: %s", subject.c_str());
    WSysError("** INFO. ** issuer: %s", issuer.c_str());

    WSharedLockEntry(e);
    e->Type = COM_BY_SEV;
    e->ConnState = WSHARED_CONNECTED;
    WSharedUnlockEntry(e);
    KTN_SSL_Client_Thread(e);
}
