// Server mode of the card reader: the terminal connects to the program over
// TCP or TLS, and the accepted link becomes the link of the reader's
// communication resource.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/eft_context.h"
#include "app/options.h"
#include "app/wait_callback.h"
#include "comm/com_resources.h"
#include "comm/network_dispatch.h"
#include "comm/shared_connections.h"
#include "comm/tls_certificates.h"
#include "core/crypto.h"
#include "core/directories.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "platform/net_socket.h"
#include "platform/process.h"
#include "transactions/terminal_commands.h"

namespace {

constexpr int kReader = 4;
constexpr int kTcp = 2;
constexpr int kTls = 4;
constexpr int kDefaultAcceptTimeoutMs = 5000;
constexpr int kAcceptWaitMs = 5;
constexpr int kBacklog = 10;
constexpr int kShutdownRetryMs = 200;
constexpr long kSessionTimeoutSeconds = 36000;
constexpr int kVerifyDepth = 4;
constexpr const char* kCertDirectory = "./WCERT";
// The terminal-server suites: forward-secret and plain RSA AES suites of
// TLS 1.2. Triple-DES suites (Sweet32) and DSS suites (no DSA keys are
// issued for terminals) are left out.
constexpr const char* kServerCiphers =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:"
    "DHE-RSA-AES256-SHA:AES256-SHA:DHE-RSA-AES128-SHA:AES128-SHA:@STRENGTH";

struct ServerSettings {
    std::string service;
    int reseauType = 0;
    int acceptTimeoutMs = kDefaultAcceptTimeoutMs;
};

std::string CertFile(const char* name) { return std::string(kCertDirectory) + "/" + name; }

// After the message of a failed step (its banner sets the trace level):
// the library's errors, false.
bool Fail(int) {
    OpenSSLHelper_logErrorStack();
    return false;
}

// Key, certificate and client authentication of the context.
bool SetUpContext(SSL_CTX* context) {
    const std::string keyFile = CertFile("server.key");
    if (WGetFileSize(keyFile.c_str()) < 1) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] No server key"));
    std::FILE* f = std::fopen(keyFile.c_str(), "rb");
    if (f == nullptr) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Error opening server key file"));
    unsigned char key[WSSL_KEY_MAX];
    size_t length = std::fread(key, 1, sizeof key, f);
    std::fclose(f);
    if (length == sizeof key) WSysError("<< WARN. >> [RUDA_WaitFor103] Length max for server key");
    if (RSAKEY_Action(key, &length, RSAKEY_PRIVATE_DECRYPT, sizeof key) <= 0) {
        OPENSSL_cleanse(key, sizeof key);
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec RSAKEY_Action()"));
    }
    const int loaded = SSL_CTX_use_PrivateKey_mem(context, key, static_cast<int>(length));
    OPENSSL_cleanse(key, sizeof key);
    if (loaded <= 0) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_use_PrivateKey_mem()"));
    const std::string certificate = CertFile("server.crt");
    if (WGetFileSize(certificate.c_str()) < 1) return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] No server certificate"));
    if (SSL_CTX_use_certificate_file(context, certificate.c_str(), SSL_FILETYPE_PEM) <= 0)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_use_certificate_file()"));
    if (SSL_CTX_check_private_key(context) != 1)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_check_private_key()"));
    const std::string clients = CertFile("client.crt");
    const bool clientsPresent = WGetFileSize(clients.c_str()) >= 1;
    if (clientsPresent && WSSL_CTX_check_crt_file(context, clients.c_str(), kCertDirectory) == 0)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec WSSL_CTX_check_crt_file() client"));
    const int ca = WSSL_CTX_check_ca_file(context, nullptr, kCertDirectory);
    if (ca == -1) {
        WSysError("** INFO. ** [RUDA_WaitFor103] Double authentification Client Desactive");
    } else if (ca == 0) {
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec WSSL_CTX_check_ca_file() CA noyau invalide"));
    } else if (ca != 1) {
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] WSSL_CTX_check_ca_file()"));
    } else {
        if (SSL_CTX_load_verify_locations(context, clientsPresent ? clients.c_str() : nullptr, kCertDirectory) != 1)
            return Fail(clientsPresent
                            ? WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_load_verify_locations() CA + chaine")
                            : WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_load_verify_locations() CA"));
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        SSL_CTX_set_verify_depth(context, kVerifyDepth);
        WSysError("** INFO. ** [RUDA_WaitFor103] Double authentification Client Active");
    }
    if (SSL_CTX_set_cipher_list(context, kServerCiphers) != 1)
        return Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_set_cipher_list()"));
    ERR_clear_error();
    return true;
}

// The TLS context of the terminal server, or null after the message.
SSL_CTX* NewServerContext(const std::string& service) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        Fail(WSysError("-- ERROR -- [RUDA_WaitFor103] Echec SSL_CTX_new()"));
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_dh_auto(context, 1);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_BOTH);
    SSL_CTX_set_timeout(context, kSessionTimeoutSeconds);
    // "CLIENT_SSL_" and the service with its terminator, within what the
    // library takes.
    char sid[64];
    std::snprintf(sid, sizeof sid, "CLIENT_SSL_%s", service.c_str());
    size_t sidLength = std::strlen(sid) + 1;
    if (sidLength > SSL_MAX_SID_CTX_LENGTH) sidLength = SSL_MAX_SID_CTX_LENGTH;
    SSL_CTX_set_session_id_context(context, reinterpret_cast<const unsigned char*>(sid),
                                   static_cast<unsigned>(sidLength));
    SSL_CTX_set_options(context, SSL_OP_ALL);
    if (!SetUpContext(context)) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

bool ReadSettings(int port, ServerSettings* settings) {
    KTDK_FILE* file = WCOM_GetPhysicalConfig(port);
    if (file == nullptr) return false;
    // Each value is taken before the next read (they share one buffer).
    const char* service = FILE_GetStringParam(file, "Service1");
    settings->service = service != nullptr ? service : "";
    const char* type = FILE_GetStringParam(file, "ReseauType");
    settings->reseauType = type != nullptr ? std::atoi(type) : 0;
    const char* timeout = FILE_GetStringParam(file, "SSLAcceptTimeout");
    if (timeout != nullptr && *timeout != '\0') settings->acceptTimeoutMs = std::atoi(timeout);
    FILE_FreeFile(file);
    return true;
}

// Handshake time-out in whole seconds, never below one second: a time-out of
// 0 would mean no time-out at all.
int HandshakeTimeoutMs(int acceptTimeoutMs) {
    const int seconds = acceptTimeoutMs / 1000;
    return (seconds < 1 ? 1 : seconds) * 1000;
}

void ShutdownSocket(int fd) {
    if (plat::SocketShutdown(fd, plat::ShutdownSide::Both) == 0) return;
    WSysError("** INFO. ** [RUDA_WaitFor103] Failed to shutdown the socket %d", fd);
    plat::SleepMs(kShutdownRetryMs);
    if (plat::SocketShutdown(fd, plat::ShutdownSide::Both) != 0) WSysError("** INFO. ** [RUDA_WaitFor103] Re Failed");
}

// The listening socket on the service's port, or -1 after the message.
int Listen(const std::string& service) {
    const int fd = plat::SocketCreateTcp();
    if (fd < 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec socket()");
        return -1;
    }
    uint16_t port = 0;
    if (!service.empty() && service[0] >= '0' && service[0] <= '9') {
        const long value = std::strtol(service.c_str(), nullptr, 10);
        if (value <= 0 || value > 65535) {
            WSysError("-- ERROR -- [RUDA_WaitFor103] Echec transformation port : %s", service.c_str());
            plat::SocketClose(fd);
            return -1;
        }
        port = static_cast<uint16_t>(value);
    }
    if (plat::SocketSetFlag(fd, plat::SocketFlag::ReuseAddress, true) != 0)
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec setsockopt()1");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::KeepAlive, false) != 0)
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec setsockopt()2");
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec setsockopt()3");
    if (plat::SocketBindAny(fd, port) != 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec bind(Error = %d)", errno);
        plat::SocketClose(fd);
        return -1;
    }
    if (plat::SocketListen(fd, kBacklog) != 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Echec listen()");
        plat::SocketClose(fd);
        return -1;
    }
    return fd;
}

// One TLS client: its shared-table entry with the session, or -1 after the
// message (the client is closed; the caller keeps listening).
int HandshakeClient(SSL_CTX* context, int fd, int acceptTimeoutMs) {
    comInfos* e = WShared_GetOneFreeCOM_INFOS();
    if (e == nullptr) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Erreur WShared_GetOneFreeCOM_INFOS()");
        plat::SocketClose(fd);
        return -1;
    }
    e->Type = COM_DIRECT;
    e->SslType = 3;
    e->Socket = fd;
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] Erreur SSL_new()");
        e->Socket = -1;
        plat::SocketClose(fd);
        WSharedReleaseUser(e);
        return -1;
    }
    SSL_set_fd(ssl, fd);
    SSL_set_accept_state(ssl);
    e->Ssl = ssl;
    const int timeoutMs = HandshakeTimeoutMs(acceptTimeoutMs);
    if (plat::SocketSetSendTimeout(fd, timeoutMs) != 0) WSysError("-- ERROR -- Echec setsockopt SO_SNDTIMEO.");
    if (plat::SocketSetReceiveTimeout(fd, timeoutMs) != 0) WSysError("-- ERROR --  Echec setsockopt SO_RCVTIMEO.");
    const int accepted = SSL_accept(ssl);
    if (accepted != 1) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] SSL_accept: %d:%d", accepted, SSL_get_error(ssl, accepted));
        OpenSSLHelper_logErrorStack();
        SSL_shutdown(ssl);
        e->Ssl = nullptr;
        SSL_free(ssl);
        ShutdownSocket(fd);
        e->Socket = -1;
        plat::SocketClose(fd);
        WSharedReleaseUser(e);
        return -1;
    }
    plat::SocketSetSendTimeout(fd, 0);
    plat::SocketSetReceiveTimeout(fd, 0);
    return e->Id;
}

}  // namespace

int RUDA_WaitFor103(int reuse) {
    if (Options.WaitForPinpad == 0) return 0;
    TraceLog(TRACE_INFO, "[RUDA]", "Attente connexion terminal client");
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    KT_PERES* resource = TWEP_FindFunction(EPAP_GetBox(), kReader, 1);
    if (c == nullptr || r == nullptr || resource == nullptr) return -1;
    c->terminalRecord = resource;
    ComResource* com = WCOM_GetResourceByNum(resource->port);
    if (com == nullptr) return -1;
    com->netContext = WNetGetFreeContext();
    WNetSelectContext(com->netContext);
    ServerSettings settings;
    if (!ReadSettings(resource->port, &settings)) return -1;
    if (SSL_sock_init() != 0) {
        WSysError("-- ERROR -- [RUDA_WaitFor103] sock_init(): echec WSAStartup() %04x", errno);
        return -1;
    }
    EPAP_SetWaitCallback(WaitCallback);
    if (settings.reseauType != kTcp && settings.reseauType != kTls) return -1;
    r->terminalServerWait = 1;

    SSL_CTX* context = nullptr;
    if (settings.reseauType == kTls) {
        context = NewServerContext(settings.service);
        if (context == nullptr) return -1;
    }
    int listenFd = reuse != 0 && r->terminalServerSocket > 0 ? r->terminalServerSocket : Listen(settings.service);
    if (listenFd < 0) {
        SSL_CTX_free(context);
        return -1;
    }
    r->terminalServerSocket = listenFd;
    const auto stopListening = [&]() {
        plat::SocketClose(listenFd);
        r->terminalServerSocket = 0;
        SSL_CTX_free(context);
    };
    for (;;) {
        const plat::WaitStatus ready = plat::SocketWaitReadable(listenFd, kAcceptWaitMs);
        if (ready == plat::WaitStatus::Failed) {
            WSysError("-- ERROR -- [RUDA_WaitFor103] Echec select().");
            stopListening();
            return -1;
        }
        if (ready == plat::WaitStatus::Ready) {
            uint32_t peer = 0;
            const int fd = plat::SocketAccept(listenFd, &peer);
            if (fd < 0) {
                if (!plat::SocketWouldBlock(errno)) {
                    WSysError("-- ERROR -- [RUDA_WaitFor103] Erreur accept()");
                    stopListening();
                    return -1;
                }
            } else if (context == nullptr) {
                com->handle = fd;
                break;
            } else {
                const int id = HandshakeClient(context, fd, settings.acceptTimeoutMs);
                if (id >= 0) {
                    com->handle = id;
                    break;
                }
                // A client that failed its handshake is dropped; the
                // terminal may still come.
            }
        }
        EPAP_WaitCallbackFn callback = EPAP_GetWaitCallback();
        if (callback != nullptr) {
            char echo[kTerminalEchoSize] = {};
            callback(echo);
            if (echo[0] == 'S') {
                stopListening();
                return PV_PER_RESET;
            }
        }
    }
    // The accepted session holds its own reference of the context.
    SSL_CTX_free(context);
    com->ownerPid = static_cast<int32_t>(plat::CurrentPid());
    com->reseauType = settings.reseauType;
    WNetSetTypReseau(settings.reseauType);
    r->terminalServerWait = 0;
    return 0;
}
