// TLS transport: the two transport objects and their forwarders, the
// client context set-up, the non-blocking handshake, and SSLImpl's client
// connections (direct entries, used by the calling thread).
#include "comm/tls_transport.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "comm/shared_connections.h"
#include "comm/tcp_transport.h"
#include "comm/tls_certificates.h"
#include "comm/tls_internal.h"
#include "core/crypto.h"
#include "core/directories.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/file_stamp.h"
#include "platform/net_socket.h"

const char* const WSSL_CIPHER_LIST =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES128-GCM-SHA256:@STRENGTH";

namespace {

constexpr const char* kLogger = "ktn_ssl";
constexpr int64_t kDirectReadWaitMs = 100;
constexpr int64_t kDirectPeekWaitMs = 10;
constexpr int64_t kWriteWaitMs = 10000;
constexpr int kShutdownRetryMs = 200;
// Longest real wait of one slice of a wait measured on the process clock.
constexpr int64_t kWaitSliceMs = 50;

// ---------------------------------------------------------------------------
// The two transport objects
// ---------------------------------------------------------------------------

class SSLImpl final : public SSLInterface {
public:
    int32_t OpenServerEx(const char* s, int b, int8_t r, const char* a) override {
        return WSSLImplOpenServerEx(s, b, r, a);
    }
    int32_t OpenServer(const char* s, int b) override { return WSSLImplOpenServer(s, b); }
    int32_t Connect(int32_t l, int32_t* st) override { return WSSLImplConnect(l, st); }
    int Close(int32_t v) override { return WSSLImplClose(v); }
    int32_t OpenClient(const char* h, const char* s, int32_t t, const char* hc, const char* cc, int32_t ck, int32_t v,
                       const char* u) override {
        return WSSLImplOpenClient(h, s, t, hc, cc, ck, v, u);
    }
    int32_t OpenClientEx(const char* h, const char* s, int32_t t, const char* hc, const char* cc, int32_t ck, int32_t v,
                         const char* u, const char* a, const WSSLArgumentMap* m) override {
        return WSSLImplOpenClientEx(h, s, t, hc, cc, ck, v, u, a, m);
    }
    void OpenClientForShare(int32_t h) override { WSSLImplOpenClientForShare(h); }
    int32_t PingServer(const char* h, const char* s, int32_t t, const char* hc, const char* cc, int32_t ck, int32_t v,
                       const char* u) override {
        return WSSLImplPingServer(h, s, t, hc, cc, ck, v, u);
    }
    int Write(int32_t h, const void* d, uint32_t n) override { return WSSLImplWrite(h, d, n); }
    int Read(int32_t h, void* b, uint32_t n) override { return WSSLImplRead(h, b, n); }
    int Peek(int32_t h, void* b, uint32_t n) override { return WSSLImplPeek(h, b, n); }
    int DisConnect(int32_t h) override { return WSSLImplDisConnect(h); }
    int HardDisConnect(int32_t h) override { return WSSLImplHardDisConnect(h); }
};

class SSLShared final : public SSLInterface {
public:
    int32_t OpenServerEx(const char* s, int b, int8_t r, const char* a) override {
        return WSSLSharedOpenServerEx(s, b, r, a);
    }
    int32_t OpenServer(const char* s, int b) override { return WSSLSharedOpenServer(s, b); }
    int32_t Connect(int32_t l, int32_t* st) override { return WSSLSharedConnect(l, st); }
    int Close(int32_t v) override { return WSSLSharedClose(v); }
    int32_t OpenClient(const char* h, const char* s, int32_t t, const char* hc, const char* cc, int32_t ck, int32_t v,
                       const char* u) override {
        return WSSLSharedOpenClient(h, s, t, hc, cc, ck, v, u);
    }
    int32_t OpenClientEx(const char* h, const char* s, int32_t t, const char* hc, const char* cc, int32_t ck, int32_t v,
                         const char* u, const char* a, const WSSLArgumentMap* m) override {
        return WSSLSharedOpenClientEx(h, s, t, hc, cc, ck, v, u, a, m);
    }
    void OpenClientForShare(int32_t h) override { WSSLSharedOpenClientForShare(h); }
    int32_t PingServer(const char* h, const char* s, int32_t t, const char* hc, const char* cc, int32_t ck, int32_t v,
                       const char* u) override {
        return WSSLSharedPingServer(h, s, t, hc, cc, ck, v, u);
    }
    int Write(int32_t h, const void* d, uint32_t n) override { return WSSLSharedWrite(h, d, n); }
    int Read(int32_t h, void* b, uint32_t n) override { return WSSLSharedRead(h, b, n); }
    int Peek(int32_t h, void* b, uint32_t n) override { return WSSLSharedPeek(h, b, n); }
    int DisConnect(int32_t h) override { return WSSLSharedDisConnect(h); }
    int HardDisConnect(int32_t h) override { return WSSLSharedHardDisConnect(h); }
};

SSLImpl g_impl;
SSLShared g_shared;
std::atomic<SSLInterface*> g_current{&g_shared};

// The messages of the direct client open.
const wssl::ClientTexts kDirectTexts = {
    "-- ERROR -- WSSLImplOpenClientEx(): Client certificate not found, file: %s",
    "-- ERROR -- WSSLImplOpenClient(): SSL_CTX_use_certificate_file() returned an error, file: %s",
    "-- ERROR -- WSSLImplOpenClient(): Failed to open private key, file: %s",
    "<< WARN. >> WSSLImplOpenClient(): Private key too long, max. size: %d",
    "-- ERROR -- WSSLImplOpenClient(): RSAKEY_Action() returned an error",
    "-- ERROR -- WSSLImplOpenClient(): SSL_CTX_use_PrivateKey_mem() returned an error",
    "-- ERROR -- WSSLImplOpenClient(): SSL_CTX_check_private_key() returned an error",
    "-- ERROR -- WSSLImplOpenClient(): host cert.: %s ssl version: %d",
    "-- ERROR -- WSSLImplOpenClient(): host cert.: %s",
    "-- ERROR -- WSSLImplOpenClient(): echec WSSL_getCAPath() client",
    "-- ERROR -- WSSLImplOpenClient(): echec WSSL_CTX_check_ca_file() host new",
    "-- ERROR -- WSSLImplOpenClient(): echec WSSL_CTX_check_crt_file() host",
    "-- ERROR -- WSSLImplOpenClient(): echec WSSL_CTX_check_ca_file() host old",
    "-- ERROR -- WSSLImplOpenClient(): echec SSL_CTX_load_verify_locations()",
};

bool Present(const std::string& path) { return !path.empty() && WGetFileSize(path.c_str()) >= 1; }

// A configured path with Windows separators made usable here.
std::string LocalPath(const char* path) {
    std::string p(path != nullptr ? path : "");
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

void CopyText(char* field, const char* text) {
    std::memset(field, 0, WSHARED_TEXT_SIZE);
    if (text != nullptr) std::snprintf(field, WSHARED_TEXT_SIZE, "%s", text);
}

// Shuts the sending side down, once more after 200 ms when that fails.
void ShutdownSending(int fd, const char* failed, const char* failedAgain) {
    if (plat::SocketShutdown(fd, plat::ShutdownSide::Send) == 0) return;
    WSysError(failed, fd);
    WSleep(kShutdownRetryMs);
    if (plat::SocketShutdown(fd, plat::ShutdownSide::Send) != 0) WSysError("%s", failedAgain);
}

// Caches the session of a client connection and ends its TLS connection.
void EndClientSsl(comInfos* e, const char* shutdownFailed) {
    SSL* ssl = e->Ssl.exchange(nullptr);
    if (ssl == nullptr) return;
    WSSLSessionCachePut(e->HostName, e->Service, SSL_get1_session(ssl));
    const int r = SSL_shutdown(ssl);
    if (r < 0) {
        const int err = SSL_get_error(ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) WSysError("%s", shutdownFailed);
    }
    ERR_clear_error();
    SSL_free(ssl);
}

void FreeContext(comInfos* e) {
    if (e->SslCtx != nullptr) SSL_CTX_free(e->SslCtx);
    e->SslCtx = nullptr;
}

// The client contexts of the direct opens, one per server configuration
// (host, service, certificates, check and version values, SSL arguments):
// a context is set up (certificate checks, key, verification store) at the
// first open of its configuration and taken again by the next ones as long
// as the files it was built from are unchanged (the client certificate, the
// host certificate, the CA directory and its "*.0" files); a file written,
// replaced, added or removed builds it again, checks and messages included.
// Each connection holds its own reference, so a context dropped from the
// cache lives until its last connection ends.
struct ClientConfiguration {
    std::string host, service, hostCert, clientCert, sslArguments;
    int32_t checkCert = 0, versionSSL = 0;
    bool operator==(const ClientConfiguration&) const = default;
};

using FileStamps = std::vector<std::pair<std::string, plat::FileStamp>>;

// The files a client context is built from, with their stamps, taken before
// it is built: a change made during the build shows at the next open.
FileStamps StampsOfConfiguration(const ClientConfiguration& k) {
    FileStamps stamps;
    std::string path = LocalPath(k.clientCert.c_str());
    if (!path.empty()) stamps.emplace_back(path, plat::StampOf(path.c_str()));
    path = LocalPath(k.hostCert.c_str());
    stamps.emplace_back(path, plat::StampOf(path.c_str()));
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        const std::string directory = path.substr(0, slash + 1);
        for (auto& [name, stamp] : plat::StampsOfDirectory(directory.c_str(), ".0"))
            stamps.emplace_back(name == "." ? directory : directory + name, stamp);
    }
    return stamps;
}

bool Unchanged(const FileStamps& stamps) {
    for (const auto& [path, stamp] : stamps)
        if (!(plat::StampOf(path.c_str()) == stamp)) return false;
    return true;
}

class ClientContexts {
public:
    // A new reference of the context of this configuration when its files
    // are unchanged; null when it must be built (a stale one is dropped).
    SSL_CTX* Take(const ClientConfiguration& configuration) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (!(it->configuration == configuration)) continue;
            if (!Unchanged(it->stamps)) {
                SSL_CTX_free(it->context);
                kept_.erase(it);
                return nullptr;
            }
            it->lastUse = ++uses_;
            SSL_CTX_up_ref(it->context);
            return it->context;
        }
        return nullptr;
    }
    // Keeps a reference of a context just built from files of these stamps;
    // the least used one goes when the cache is full.
    void Keep(const ClientConfiguration& configuration, SSL_CTX* context, FileStamps stamps) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->configuration == configuration) {
                SSL_CTX_free(it->context);
                kept_.erase(it);
                break;
            }
        }
        if (kept_.size() >= kMaxContexts) {
            auto oldest = kept_.begin();
            for (auto it = kept_.begin(); it != kept_.end(); ++it)
                if (it->lastUse < oldest->lastUse) oldest = it;
            SSL_CTX_free(oldest->context);
            kept_.erase(oldest);
        }
        SSL_CTX_up_ref(context);
        kept_.push_back({configuration, context, std::move(stamps), ++uses_});
    }

private:
    static constexpr size_t kMaxContexts = 16;
    struct Kept {
        ClientConfiguration configuration;
        SSL_CTX* context;
        FileStamps stamps;
        uint64_t lastUse;
    };
    std::mutex lock_;
    std::vector<Kept> kept_;
    uint64_t uses_ = 0;
};

// Never destroyed: a connection may end after the main code.
ClientContexts& TheClientContexts() {
    static ClientContexts* contexts = new ClientContexts;
    return *contexts;
}

// Failure of an open once the socket exists.
int32_t FailOpen(SSL* ssl, int fd, SSL_CTX* context) {
    if (ssl != nullptr) SSL_free(ssl);
    if (fd >= 0) plat::SocketClose(fd);
    if (context != nullptr) SSL_CTX_free(context);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Objects and forwarders
// ---------------------------------------------------------------------------

SSLInterface& WSSLImplInterface() { return g_impl; }
SSLInterface& WSSLSharedInterface() { return g_shared; }
SSLInterface& WSSLCurrentInterface() { return *g_current.load(); }

void WSSLSetInterface(int flag) {
    g_current = flag == 0 ? static_cast<SSLInterface*>(&g_impl) : static_cast<SSLInterface*>(&g_shared);
}

int32_t OpenServerEx(const char* service, int backlog, int8_t reuse, const char* sslArguments) {
    return WSSLCurrentInterface().OpenServerEx(service, backlog, reuse, sslArguments);
}
int32_t Connect(int32_t listenHandle, int32_t* station) {
    return WSSLCurrentInterface().Connect(listenHandle, station);
}
int32_t OpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                     const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                     const char* sslArguments, const WSSLArgumentMap& sslArgumentMap) {
    return WSSLCurrentInterface().OpenClientEx(host, service, sslType, hostCert, clientCert, checkCert, versionSSL,
                                               unused, sslArguments, &sslArgumentMap);
}
int Write(int32_t handle, const void* data, uint32_t length) {
    return WSSLCurrentInterface().Write(handle, data, length);
}
int Read(int32_t handle, void* buffer, uint32_t capacity) {
    return WSSLCurrentInterface().Read(handle, buffer, capacity);
}
int Peek(int32_t handle, void* buffer, uint32_t capacity) {
    return WSSLCurrentInterface().Peek(handle, buffer, capacity);
}
int DisConnect(int32_t handle) { return WSSLCurrentInterface().DisConnect(handle); }
int HardDisConnect(int32_t handle) { return WSSLCurrentInterface().HardDisConnect(handle); }

const char* WSSLErrorName(int code) {
    static const char* const kNames[] = {
        "SSL_ERROR_NONE - The TLS/SSL I/O operation completed",
        "SSL_ERROR_SSL - A failure in the SSL library occurred, usually a protocol error",
        "SSL_ERROR_WANT_READ - The operation did not complete; the same TLS/SSL I/O function should be called again "
        "later",
        "SSL_ERROR_WANT_WRITE - The operation did not complete; the same TLS/SSL I/O function should be called again "
        "later",
        "SSL_ERROR_WANT_X509_LOOKUP - The operation did not complete because an application callback set by "
        "SSL_CTX_set_client_cert_cb() has asked to be called again",
        "SSL_ERROR_SYSCALL - Some I/O error occurred",
        "SSL_ERROR_ZERO_RETURN - The TLS/SSL connection has been closed",
        "SSL_ERROR_WANT_CONNECT - The operation did not complete; the same TLS/SSL I/O function should be called "
        "again later. The underlying BIO was not connected yet to the peer.",
        "SSL_ERROR_WANT_ACCEPT - The operation did not complete; the same TLS/SSL I/O function should be called again "
        "later. The underlying BIO was not connected yet to the peer.",
    };
    if (code < 0 || code >= static_cast<int>(sizeof kNames / sizeof kNames[0])) return "Undocumented error";
    return kNames[code];
}

int WSSLApplyArguments(SSL_CTX* context, const char* sslArguments) {
    if (context == nullptr || sslArguments == nullptr || *sslArguments == '\0') return 1;
    uint64_t options = SSL_OP_NO_SSLv2;
    std::vector<std::string> words;
    const std::string text(sslArguments);
    size_t from = 0;
    while (from <= text.size()) {
        size_t to = text.find(' ', from);
        if (to == std::string::npos) to = text.size();
        words.push_back(text.substr(from, to - from));
        from = to + 1;
    }
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "-no_ssl3") {
            options |= SSL_OP_NO_SSLv3;
        } else if (word == "-no_tls1") {
            options |= SSL_OP_NO_TLSv1;
        } else if (word == "-no_tls1_1") {
            options |= SSL_OP_NO_TLSv1_1;
        } else if (word == "-no_tls1_2") {
            // Written when TLS 1.2 was the highest version: with TLS 1.2 as
            // the lowest one it would leave TLS 1.3 alone.
            WSysError("<< WARN. >> WSSLApplyArguments(): -no_tls1_2 ignore, TLS 1.2 est la version minimale");
        } else if (word == "-tls1_3") {
            SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
        } else if (word == "-cipher") {
            const std::string list = i + 1 < words.size() ? words[++i] : "";
            if (list.empty() || SSL_CTX_set_cipher_list(context, list.c_str()) != 1) {
                WSysError("-- ERROR -- WSSLApplyArguments(): liste de suites refusee: %s", list.c_str());
                OpenSSLHelper_logErrorStack();
                return 0;
            }
        }
    }
    SSL_CTX_set_options(context, options);
    return 1;
}

// ---------------------------------------------------------------------------
// Pieces shared with the server and the owner side
// ---------------------------------------------------------------------------

namespace wssl {

SSL_CTX* NewContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_method());
    if (context == nullptr) return nullptr;
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // TLS 1.0 and 1.1 are never offered nor taken, whatever the library's
    // configuration allows.
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(context, WSSL_CIPHER_LIST) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

bool SetUpClientContext(SSL_CTX* context, const char* clientCert, const char* service, const char* host,
                        const char* hostCert, int32_t checkCert, int32_t versionSSL, const ClientTexts& texts) {
    if (clientCert != nullptr && *clientCert != '\0') {
        const std::string cert = LocalPath(clientCert);
        if (!Present(cert)) {
            WSysError(texts.certNotFound, clientCert);
            return false;
        }
        if (SSL_CTX_use_certificate_file(context, cert.c_str(), SSL_FILETYPE_PEM) < 1) {
            WSysError(texts.useCertFailed, clientCert);
            OpenSSLHelper_logErrorStack();
            return false;
        }
        unsigned char key[WSSL_KEY_MAX];
        int32_t keyLength = 0;
        const char* s = service != nullptr ? service : "";
        const char* h = host != nullptr ? host : "";
        if (WSSLKeyCacheFind(clientCert, s, h, key, &keyLength) != 1) {
            const std::string keyFile = cert + ".key";
            std::FILE* f = std::fopen(keyFile.c_str(), "rb");
            if (f == nullptr) {
                WSysError(texts.keyOpenFailed, keyFile.c_str());
                return false;
            }
            size_t n = std::fread(key, 1, sizeof key, f);
            std::fclose(f);
            if (n == sizeof key) WSysError(texts.keyTooLong, static_cast<int>(sizeof key));
            if (RSAKEY_Action(key, &n, RSAKEY_PRIVATE_DECRYPT, sizeof key) < 1) {
                OPENSSL_cleanse(key, sizeof key);
                WSysError("%s", texts.rsaFailed);
                return false;
            }
            keyLength = static_cast<int32_t>(n);
            WSSLKeyCacheAdd(clientCert, s, h, key, keyLength);
        }
        const int loaded = SSL_CTX_use_PrivateKey_mem(context, key, keyLength);
        OPENSSL_cleanse(key, sizeof key);
        if (loaded < 1) {
            WSysError("%s", texts.keyLoadFailed);
            OpenSSLHelper_logErrorStack();
            return false;
        }
        if (SSL_CTX_check_private_key(context) == 0) {
            WSysError("%s", texts.keyCheckFailed);
            OpenSSLHelper_logErrorStack();
            return false;
        }
    }

    const std::string H = LocalPath(hostCert);
    bool usable = false;
    if (versionSSL == 1) {
        if (H.empty()) {
            WSysError(texts.hostCertVersion1, H.c_str(), 1);
            return false;
        }
        usable = Present(H);
    } else if (!Present(H)) {
        WSysError(texts.hostCertMissing, H.c_str());
        return false;
    }
    char directory[WSSL_CAPATH_SIZE] = {};
    if (WSSL_getCAPath(H.c_str(), directory, sizeof directory) != 1) {
        WSysError("%s", texts.caPathFailed);
        return false;
    }
    const char* caFile = nullptr;
    if (checkCert == 1 && versionSSL == 1) {
        if (WSSL_CTX_check_ca_file(context, nullptr, directory) == 0) {
            WSysError("%s", texts.caNewFailed);
            return false;
        }
        if (usable && WSSL_CTX_check_crt_file(context, H.c_str(), directory) == 0) {
            WSysError("%s", texts.crtFailed);
            return false;
        }
        caFile = usable ? H.c_str() : nullptr;
    } else if (checkCert == 1) {
        if (WSSL_CTX_check_ca_file(context, H.c_str(), nullptr) == 0) {
            WSysError("%s", texts.caOldFailed);
            return false;
        }
        caFile = versionSSL == 0 ? H.c_str() : nullptr;
    } else {
        caFile = versionSSL == 0 || usable ? H.c_str() : nullptr;
    }
    if (SSL_CTX_load_verify_locations(context, caFile, directory) != 1) {
        WSysError("%s", texts.verifyLocationsFailed);
        OpenSSLHelper_logErrorStack();
        return false;
    }
    ERR_clear_error();
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, nullptr);
    SSL_CTX_set_verify_depth(context, 4);
    return true;
}

bool ExpectServerName(SSL* ssl, const char* name) {
    if (name == nullptr || *name == '\0') return true;
    uint32_t address = 0;
    const bool dotted = std::strspn(name, "0123456789.") == std::strlen(name) && plat::ResolveHostIPv4(name, &address);
    if (dotted) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1;
    return SSL_set1_host(ssl, name) == 1;
}

void ReportRefusedCertificate(SSL* ssl, const char* who, const char* host) {
    const long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK) return;
    WNetSetConnectFailure("certificat refuse: %s", X509_verify_cert_error_string(result));
    WSysError("-- ERROR -- %s(): certificat refuse: %s, host: %s", who, X509_verify_cert_error_string(result),
              host != nullptr ? host : "");
}

int PeerCertificateNames(SSL* ssl, std::string* subject, std::string* issuer, const char** which) {
    X509* cert = SSL_get1_peer_certificate(ssl);
    if (cert == nullptr) return 0;
    int result = 1;
    for (int i = 0; i < 2 && result == 1; ++i) {
        X509_NAME* name = i == 0 ? X509_get_subject_name(cert) : X509_get_issuer_name(cert);
        char* text = X509_NAME_oneline(name, nullptr, 0);
        if (text == nullptr) {
            if (which != nullptr) *which = i == 0 ? "subject" : "issuer";
            result = -1;
            break;
        }
        std::string* out = i == 0 ? subject : issuer;
        if (out != nullptr) *out = text;
        OPENSSL_free(text);
    }
    X509_free(cert);
    return result;
}

Handshake DriveHandshake(SSL* ssl, bool accept, int fd, comInfos* entry, int64_t timeoutMs, int* result,
                         int* sslError) {
    const int64_t start = plat::MonotonicMs();
    const int wakeFd = entry != nullptr ? entry->WakeFd : -1;
    for (;;) {
        if (entry != nullptr && entry->Stop == 1) return Handshake::Stopped;
        const int r = accept ? SSL_accept(ssl) : SSL_connect(ssl);
        *result = r;
        if (r == 1) return Handshake::Done;
        const int err = SSL_get_error(ssl, r);
        *sslError = err;
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return Handshake::Failed;
        const int64_t left = timeoutMs - (plat::MonotonicMs() - start);
        if (left <= 0) return Handshake::TimedOut;
        bool woken = false;
        const plat::WaitStatus s =
            plat::SocketWaitOrWake(fd, err == SSL_ERROR_WANT_WRITE, wakeFd,
                                   static_cast<int>(left < kWaitSliceMs ? left : kWaitSliceMs), &woken);
        if (woken) plat::WakeDrain(wakeFd);  // the pump sends what waits once the handshake is done
        if (s == plat::WaitStatus::Failed) return Handshake::Failed;
    }
}

WriteOutcome WriteAll(SSL* ssl, int fd, const void* data, uint32_t length, int64_t limitMs, comInfos* entry) {
    WriteOutcome w;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const int64_t start = plat::MonotonicMs();
    const int wakeFd = entry != nullptr ? entry->WakeFd : -1;
    while (w.done < length) {
        if (entry != nullptr && entry->ReleaseRequested == 2) {
            w.end = WriteOutcome::End::Abandoned;
            return w;
        }
        const int r = SSL_write(ssl, bytes + w.done, static_cast<int>(length - w.done));
        if (r > 0) {
            w.done += static_cast<uint32_t>(r);
            continue;
        }
        w.lastResult = r;
        const int err = SSL_get_error(ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            w.end = WriteOutcome::End::Failed;
            return w;
        }
        const int64_t left = limitMs - (plat::MonotonicMs() - start);
        if (left <= 0) {
            w.end = WriteOutcome::End::TimedOut;
            return w;
        }
        bool woken = false;
        const plat::WaitStatus s =
            plat::SocketWaitOrWake(fd, err == SSL_ERROR_WANT_WRITE, wakeFd,
                                   static_cast<int>(left < kWaitSliceMs ? left : kWaitSliceMs), &woken);
        if (woken) plat::WakeDrain(wakeFd);
        if (s == plat::WaitStatus::Failed) {
            w.end = WriteOutcome::End::WaitFailed;
            return w;
        }
    }
    return w;
}

bool ServicePort(const char* service, uint16_t* port, const char* badNumber, const char* unknownName) {
    switch (WTCPServicePort(service, port)) {
        case WTCPPortResult::Ok:
            return true;
        case WTCPPortResult::BadNumber:
            WSysError(badNumber, service != nullptr ? service : "(null)");
            return false;
        case WTCPPortResult::UnknownName:
            WSysError(unknownName, service);
            return false;
    }
    return false;
}

}  // namespace wssl

// ---------------------------------------------------------------------------
// SSLImpl: client connections
// ---------------------------------------------------------------------------

int32_t WSSLImplOpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                             const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* /*unused*/,
                             const char* sslArguments, const WSSLArgumentMap* sslArgumentMap) {
    const auto text = [](const char* t) { return std::string(t != nullptr ? t : ""); };
    const ClientConfiguration configuration{text(host),       text(service),      text(hostCert), text(clientCert),
                                            text(sslArguments), checkCert, versionSSL};
    SSL_CTX* context = TheClientContexts().Take(configuration);
    if (context == nullptr) {
        FileStamps stamps = StampsOfConfiguration(configuration);
        context = wssl::NewContext();
        if (context == nullptr) {
            WSysError("-- ERROR -- WSSLImplOpenClientEx(): SSL_CTX_new() returned an error");
            return -1;
        }
        if (WSSLApplyArguments(context, sslArguments) != 1) {
            WNetSetConnectFailure("arguments TLS refuses: %.120s", sslArguments != nullptr ? sslArguments : "");
            return FailOpen(nullptr, -1, context);
        }
        if (!wssl::SetUpClientContext(context, clientCert, service, host, hostCert, checkCert, versionSSL,
                                      kDirectTexts)) {
            WNetSetConnectFailure("certificats du client TLS inutilisables (lignes precedentes de la trace)");
            return FailOpen(nullptr, -1, context);
        }
        TheClientContexts().Keep(configuration, context, std::move(stamps));
    }
    WSysError("@@ DEBUG @@ WSSLImplOpenClient: SSL start connection ");

    if (SSL_sock_init() != 0) {
        WSysError("-- ERROR -- WSSLImplOpenClient(): echec SSL_sock_init()");
        return FailOpen(nullptr, -1, context);
    }
    uint16_t port = 0;
    if (!wssl::ServicePort(service, &port, "-- ERROR -- WSSLImplOpenClient(): echec transformation port : %s",
                           "-- ERROR -- WSSLImplOpenClient(): echec recuperation port dans fichier services %s")) {
        WNetSetConnectFailure("port \"%.80s\" invalide ou inconnu", service != nullptr ? service : "");
        return FailOpen(nullptr, -1, context);
    }
    uint32_t address = 0;
    if (!plat::ResolveHostIPv4(host, &address)) {
        WSysError("** INFO. ** WSSLImplOpenClient(): echec recuperation hostname dans fichier hosts : %s",
                  host != nullptr ? host : "(null)");
        WNetSetConnectFailure("hote \"%.80s\" inconnu", host != nullptr ? host : "");
        return FailOpen(nullptr, -1, context);
    }
    const int64_t timeoutMs = WTCPGetConnectTimeOutMs();
    WTCPConnectFailure failure = WTCPConnectFailure::None;
    int failedSocket = -1;
    const int fd = WTCPConnectSocket(address, port, timeoutMs, &failure, &failedSocket);
    switch (failure) {
        case WTCPConnectFailure::None:
            break;
        case WTCPConnectFailure::Socket:
            WSysError("-- ERROR -- WSSLImplOpenClient(): echec socket()");
            break;
        case WTCPConnectFailure::NonBlocking:
            WSysError("-- ERROR -- WSSLImplOpenClient() echec ioctl()");
            break;
        case WTCPConnectFailure::Connect:
            WSysError("-- ERROR -- WSSLImplOpenClient(): echec connect-2-()");
            break;
        case WTCPConnectFailure::Wait:
            WSysError("-- ERROR -- WSSLImplOpenClient(): echec select(0x%X)", static_cast<unsigned>(failedSocket));
            break;
        case WTCPConnectFailure::TimedOut:
            WSysError("-- ERROR -- WSSLImplOpenClient(): echec select() == 0");
            break;
        case WTCPConnectFailure::Refused:
            WSysError("-- ERROR -- WSSLImplOpenClient(): echec connect()");
            break;
    }
    if (fd < 0) return FailOpen(nullptr, -1, context);
    if (plat::SocketSetFlag(fd, plat::SocketFlag::NoDelay, true) != 0)
        WSysError("-- ERROR -- Echec setsockopt TCP_NODELAY");

    SSL* ssl = SSL_new(context);
    if (ssl == nullptr) {
        WSysError("-- ERROR -- WSSLImplOpenClient(): echec SSL_new()");
        return FailOpen(nullptr, fd, context);
    }
    SSL_set_fd(ssl, fd);
    SSL_SESSION* session = nullptr;
    if (WSSLSessionCacheTake(host, service, &session) == 1) {
        SSL_set_session(ssl, session);
        SSL_SESSION_free(session);
    }
    std::string serverName = host != nullptr ? host : "";
    if (sslArgumentMap != nullptr) {
        const auto it = sslArgumentMap->find("ServerNameIndicator");
        if (it != sslArgumentMap->end() && !it->second.empty()) serverName = it->second;
    }
    WSysError("@@ DEBUG @@ WSSLImplOpenClientEx(): Setup Server Name Indicator with value: %s", serverName.c_str());
    if (SSL_set_tlsext_host_name(ssl, serverName.c_str()) != 1) {
        WSysError("-- ERROR -- WSSLImplOpenClientEx(): Unable to set TLS servername extension.");
        return FailOpen(ssl, fd, context);
    }
    if (!wssl::ExpectServerName(ssl, serverName.c_str())) {
        WSysError("-- ERROR -- WSSLImplOpenClientEx(): Unable to check the server name: %s", serverName.c_str());
        return FailOpen(ssl, fd, context);
    }

    ERR_clear_error();
    int result = 0;
    int sslError = SSL_ERROR_NONE;
    const wssl::Handshake h = wssl::DriveHandshake(ssl, false, fd, nullptr, timeoutMs, &result, &sslError);
    if (h != wssl::Handshake::Done) {
        if (h == wssl::Handshake::TimedOut)
            WSysError("-- ERROR -- WSSLImplOpenClient(): SSL_connect() sans reponse en %d ms",
                      static_cast<int>(timeoutMs));
        // The certificate's reason, when it was the certificate, replaces this.
        if (h == wssl::Handshake::TimedOut)
            WNetSetConnectFailure("negociation TLS sans reponse en %d ms", static_cast<int>(timeoutMs));
        else
            WNetSetConnectFailure("negociation TLS echouee (%s)", WSSLErrorName(sslError));
        WSysError("-- ERROR -- WSSLImplOpenClient(): SSL_connect():%d", result);
        WSysError("-- ERROR -- WSSLImplOpenClient(): SSL_get_error():%d = \"%s\"", sslError, WSSLErrorName(sslError));
        OpenSSLHelper_logErrorStack();
        wssl::ReportRefusedCertificate(ssl, "WSSLImplOpenClient", serverName.c_str());
        return FailOpen(ssl, fd, context);
    }
    WLOG(kLogger, WLOG_DEBUG, "WSSLImplOpenClientEx: %s, %s, session reused: %d", SSL_get_version(ssl),
         SSL_get_cipher_name(ssl), SSL_session_reused(ssl));
    std::string subject, issuer;
    const int names = wssl::PeerCertificateNames(ssl, &subject, &issuer, nullptr);
    if (names == 0) {
        WSysError("-- ERROR -- The SSL server does not have certificate.");
        WNetSetConnectFailure("le serveur ne presente pas de certificat");
        return FailOpen(ssl, fd, context);
    }
    if (names < 0) {
        WSysError("-- ERROR -- WSSLImplOpenClient(): echec X509_NAME_oneline()");
        return FailOpen(ssl, fd, context);
    }

    comInfos* e = WShared_GetOneFreeCOM_INFOS();
    if (e == nullptr) {
        WSysError("-- ERROR -- WSSLImplOpenClient(): echec WShared_GetOneFreeCOM_INFOS()");
        return FailOpen(ssl, fd, context);
    }
    e->Ssl = ssl;
    e->SslCtx = context;
    e->Socket = fd;
    e->SslType = sslType;
    CopyText(e->HostName, host);
    CopyText(e->Service, service);
    e->ConnectTimeoutMs = static_cast<int32_t>(timeoutMs);
    if (hostCert != nullptr) CopyText(e->HostCert, hostCert);
    if (clientCert != nullptr) CopyText(e->ClientCert, clientCert);
    e->CheckCert = checkCert;
    e->VersionSSL = versionSSL;
    CopyText(e->SslArguments, sslArguments);
    return e->Id;
}

int32_t WSSLImplOpenClient(const char* host, const char* service, int32_t sslType, const char* hostCert,
                           const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused) {
    return WSSLImplOpenClientEx(host, service, sslType, hostCert, clientCert, checkCert, versionSSL, unused, "",
                                nullptr);
}

int32_t WSSLImplPingServer(const char* host, const char* service, int32_t sslType, const char* hostCert,
                           const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused) {
    const int32_t handle =
        WSSLImplOpenClient(host, service, sslType, hostCert, clientCert, checkCert, versionSSL, unused);
    if (handle == -1) return -1;
    // The whole connection goes: TLS connection, context, socket and entry.
    WSSLImplDisConnect(handle);
    return 2;
}

int WSSLImplWrite(int32_t handle, const void* data, uint32_t length) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLImplWrite: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    if (e->Type == COM_BY_SEV) return wssl::WSSLShareWrite(handle, data, length);
    SSL* ssl = e->Ssl;
    const int fd = e->Socket;
    if (fd == -1 || ssl == nullptr) {
        WSysError("-- ERROR -- WSSLImplWrite: invalid TCP socket");
        return -1;
    }
    const wssl::WriteOutcome w = wssl::WriteAll(ssl, fd, data, length, kWriteWaitMs, nullptr);
    switch (w.end) {
        case wssl::WriteOutcome::End::Complete:
        case wssl::WriteOutcome::End::Abandoned:
            break;
        case wssl::WriteOutcome::End::Failed:
            OpenSSLHelper_logErrorStack();
            return w.done > 0 ? static_cast<int>(w.done) : (w.lastResult < 0 ? w.lastResult : -1);
        case wssl::WriteOutcome::End::WaitFailed:
            WSysError("-- ERROR -- WSSLImplWrite(): erreur select()");
            return w.done > 0 ? static_cast<int>(w.done) : -1;
        case wssl::WriteOutcome::End::TimedOut:
            if (w.done == 0) {
                WSysError("-- ERROR -- WSSLImplWrite():pas de connexion");
                return 0;
            }
            break;
    }
    return static_cast<int>(w.done);
}

namespace {

// Direct read or peek: waits for the socket, then for a whole record, at
// most waitMs of real time.
int DirectReceive(comInfos* e, void* buffer, uint32_t capacity, bool peek) {
    SSL* ssl = e->Ssl;
    const int fd = e->Socket;
    const int64_t waitMs = peek ? kDirectPeekWaitMs : kDirectReadWaitMs;
    const int64_t deadline = plat::RealMonotonicMs() + waitMs;
    if (SSL_pending(ssl) <= 0) {
        const plat::WaitStatus s = plat::SocketWaitReadable(fd, static_cast<int>(waitMs));
        if (s == plat::WaitStatus::Failed) {
            WSysError(peek ? "** INFO. ** WSSLImplPeek(): erreur select()"
                           : "-- ERROR -- WSSLImplRead(): erreur select()");
            return -2;
        }
        if (s == plat::WaitStatus::TimedOut) return 0;
    }
    for (;;) {
        const int n = static_cast<int>(capacity > INT32_MAX ? INT32_MAX : capacity);
        const int r = peek ? SSL_peek(ssl, buffer, n) : SSL_read(ssl, buffer, n);
        if (r > 0) return r;
        const int err = SSL_get_error(ssl, r);
        if (err == SSL_ERROR_ZERO_RETURN) {
            WSysError(peek ? "-- ERROR -- ** WSSLImplPeek(): recv()==0"
                           : "-- ERROR -- WSSLImplRead(): Erreur recv() == 0");
            return -2;
        }
        const bool wouldBlock = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE;
        if (wouldBlock) {
            // A record that came in part: its rest is waited for within the
            // same bound.
            const int64_t left = deadline - plat::RealMonotonicMs();
            if (left > 0) {
                const plat::WaitStatus s = err == SSL_ERROR_WANT_WRITE
                                               ? plat::SocketWaitWritable(fd, static_cast<int>(left))
                                               : plat::SocketWaitReadable(fd, static_cast<int>(left));
                if (s == plat::WaitStatus::Ready) continue;
            }
        }
        if (!peek) WSysError("-- ERROR -- WSSLImplRead(): Erreur SSL_read() NO_MORE_UINT");
        if (wouldBlock) return 0;
        OpenSSLHelper_logErrorStack();
        WSysError(peek ? "-- ERROR -- ** WSSLImplPeek(): echec recv()" : "-- ERROR -- WSSLImplRead(): echec recv()");
        return -2;
    }
}

}  // namespace

int WSSLImplRead(int32_t handle, void* buffer, uint32_t capacity) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLImplRead: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -2;
    // A pumped connection hands over what it received before its socket
    // went, then reads as ended.
    if (e->Type == COM_BY_SEV) return wssl::WSSLShareRead(handle, buffer, capacity);
    if (e->Socket == -1 || e->Ssl.load() == nullptr) {
        WSysError("<< WARN. >> WSSLImplRead: invalid TCP socket");
        return -2;
    }
    return DirectReceive(e, buffer, capacity, false);
}

int WSSLImplPeek(int32_t handle, void* buffer, uint32_t capacity) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLImplPeek: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    if (e->Type == COM_BY_SEV) return wssl::WSSLSharePeek(handle, buffer, capacity);
    SSL* ssl = e->Ssl;
    if (ssl == nullptr || e->Socket == -1) return -2;
    // Bytes already deciphered: their number, nothing copied.
    const int pending = SSL_pending(ssl);
    if (pending > 0) return pending;
    return DirectReceive(e, buffer, capacity, true);
}

int WSSLImplWaitReadable(int32_t handle, int timeoutMs) {
    comInfos* e =
        WSharedEntry(handle, "-- ERROR -- WSSLImplWaitReadable: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr || e->Type == COM_BY_SEV) return -1;
    SSL* ssl = e->Ssl;
    if (ssl == nullptr || e->Socket == -1) return -1;
    if (SSL_pending(ssl) > 0) return 1;
    return WTCPWaitReadable(e->Socket, timeoutMs);
}

int WSSLImplDisConnect(int32_t handle) {
    comInfos* e = WSharedEntry(handle, "-- ERROR -- WSSLImplDisConnect : WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    if (e->Type == COM_BY_SEV) return wssl::WSSLShareDisConnect(handle);
    if (e->State != WSHARED_TAKEN) {
        WSysError("-- ERROR -- WSSLImplDisConnect : entry 0x%X is not in use", static_cast<unsigned>(handle));
        return -1;
    }
    if (e->Type != COM_LISTEN_SOCKET) {
        EndClientSsl(e, "** INFO. ** WSSLImplDisConnect Failed to shutdown the SSL socket");
        const int fd = e->Socket;
        if (fd >= 0)
            ShutdownSending(fd, "** INFO. ** WSSLImplDisConnect Failed to shutdown the socket 0x%X",
                            "** INFO. ** WSSLImplDisConnect Re Failed");
    }
    int result = -1;
    const int fd = e->Socket.exchange(-1);
    if (fd >= 0) result = plat::SocketClose(fd);
    FreeContext(e);
    WSharedLockEntry(e);
    e->Stop = 1;
    WSharedUnlockEntry(e);
    WSharedReleaseUser(e);
    return result;
}

int WSSLImplHardDisConnect(int32_t handle) {
    if (handle == -1) return -1;
    comInfos* e =
        WSharedEntry(handle, "-- ERROR -- WSSLImplHardDisConnect : WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -1;
    if (e->Type == COM_BY_SEV) {
        // The pump owns the socket and the TLS connection: it is stopped
        // (a pending handshake too) and closes them itself.
        WSharedReleaseUser(e, true);
        return -2;
    }
    if (e->State != WSHARED_TAKEN) {
        WSysError("-- ERROR -- WSSLImplHardDisConnect : entry 0x%X is not in use", static_cast<unsigned>(handle));
        return -1;
    }
    if (e->Socket >= 0) plat::SocketSetLinger(e->Socket, true, 0);
    EndClientSsl(e, "** INFO. ** WSSLImplHardDisConnect Failed to shutdown the SSL socket");
    FreeContext(e);
    int result = 0;
    WSharedLockEntry(e);
    e->Stop = 1;
    const int fd = e->Socket.exchange(-1);
    if (fd >= 0) {
        plat::SocketShutdown(fd, plat::ShutdownSide::Send);
        result = plat::SocketClose(fd);
    }
    WSharedUnlockEntry(e);
    WSharedReleaseUser(e);
    return result;
}

int WSSLImplClose(int32_t handle) {
    comInfos* e = WShared_GetOneCOM_INFOS(handle);
    if (e == nullptr) return -1;
    const int fd = e->Socket;
    if (fd >= 0 && e->Type != COM_BY_SEV && plat::SocketShutdown(fd, plat::ShutdownSide::Both) == 0) return 0;
    WSysError("** INFO. ** WSSLImplClose(): shutdown() returned an error, socket: 0x%X", static_cast<unsigned>(fd));
    WSSLImplDisConnect(handle);
    return -1;
}
