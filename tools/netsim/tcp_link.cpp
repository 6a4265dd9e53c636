#include "netsim/tcp_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <thread>

namespace netsim {

namespace {

constexpr int kSliceMs = 20;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for events in slices, so that a stop flag is seen: 1 ready, 0 time-out
// or stopped, -1 failure.
int WaitFor(int fd, short events, int timeoutMs, const std::atomic<bool>* stop) {
    const int64_t end = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
        if (stop != nullptr && stop->load()) return 0;
        int slice = kSliceMs;
        if (end >= 0) {
            const int64_t left = end - NowMs();
            if (left <= 0) return 0;
            if (left < slice) slice = static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, slice);
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

bool Link::sendAll(const std::string& bytes) {
    if (ssl_ != nullptr) {
        size_t done = 0;
        while (done < bytes.size()) {
            const int r = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
            if (r > 0) {
                done += static_cast<size_t>(r);
                continue;
            }
            const int err = SSL_get_error(ssl_, r);
            if ((err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) ||
                WaitFor(fd_, err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, 10000, nullptr) != 1) {
                ERR_clear_error();
                return false;
            }
        }
        return true;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Link::sendPieces(const std::string& bytes, const std::vector<size_t>& cuts, int gapMs) {
    size_t from = 0;
    for (size_t cut : cuts) {
        if (cut <= from || cut >= bytes.size()) continue;
        if (!sendAll(bytes.substr(from, cut - from))) return false;
        if (gapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        from = cut;
    }
    return sendAll(bytes.substr(from));
}

namespace {

// Reads what comes (at most capacity bytes) within timeoutMs (negative: no
// limit): the count, 0 on time-out or stop, -1 when the peer closed or the
// link failed.
int ReadSome(int fd, SSL* ssl, char* buffer, size_t capacity, int timeoutMs, const std::atomic<bool>* stop) {
    const int64_t end = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    auto left = [&] { return end < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, end - NowMs())); };
    if (ssl == nullptr) {
        const int w = WaitFor(fd, POLLIN, timeoutMs, stop);
        if (w <= 0) return w;
        ssize_t n;
        do {
            n = recv(fd, buffer, capacity, 0);
        } while (n < 0 && errno == EINTR);
        return n <= 0 ? -1 : static_cast<int>(n);
    }
    for (;;) {
        const int r = SSL_read(ssl, buffer, static_cast<int>(capacity));
        if (r > 0) return r;
        const int err = SSL_get_error(ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            return -1;
        }
        const int remaining = left();
        if (remaining == 0) return 0;
        const int w = WaitFor(fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, remaining, stop);
        if (w <= 0) return w;
    }
}

}  // namespace

int Link::receive(std::string* out, int timeoutMs, const std::atomic<bool>* stop) {
    if (fd_ < 0) return -1;
    char buffer[65536];
    const int n = ReadSome(fd_, ssl_, buffer, sizeof buffer, timeoutMs, stop);
    if (n > 0) out->append(buffer, static_cast<size_t>(n));
    return n;
}

bool Link::receiveExactly(size_t n, std::string* out, int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    std::string got;
    while (got.size() < n && fd_ >= 0) {
        const int64_t left = end - NowMs();
        if (left <= 0) break;
        char buffer[4096];
        const size_t want = std::min(sizeof buffer, n - got.size());
        const int r = ReadSome(fd_, ssl_, buffer, want, static_cast<int>(left), nullptr);
        if (r <= 0) break;
        got.append(buffer, static_cast<size_t>(r));
    }
    out->append(got);
    return got.size() == n;
}

bool Link::waitClosed(int timeoutMs, std::string* out) {
    const int64_t end = NowMs() + timeoutMs;
    for (;;) {
        const int64_t left = end - NowMs();
        if (left <= 0) return false;
        std::string got;
        const int r = receive(&got, static_cast<int>(left));
        if (out != nullptr) out->append(got);
        if (r < 0) return true;
    }
}

void Link::close() {
    if (fd_ < 0) return;
    if (ssl_ != nullptr) {
        SSL_shutdown(ssl_);  // close-notify, not waiting for the peer's
        ERR_clear_error();
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    shutdown(fd_, SHUT_WR);
    ::close(fd_);
    fd_ = -1;
}

void Link::reset() {
    if (fd_ < 0) return;
    if (ssl_ != nullptr) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
}

bool Link::startTlsServer(SSL_CTX* context, int timeoutMs, std::string* error) {
    if (fd_ < 0 || context == nullptr || ssl_ != nullptr) return false;
    ssl_ = SSL_new(context);
    if (ssl_ == nullptr) return false;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(ssl_, fd_);
    SSL_set_accept_state(ssl_);
    return driveTls(true, timeoutMs, error);
}

bool Link::startTlsClient(SSL_CTX* context, const std::string& serverName, int timeoutMs, std::string* error,
                          SSL_SESSION* resume) {
    if (fd_ < 0 || context == nullptr || ssl_ != nullptr) return false;
    ssl_ = SSL_new(context);
    if (ssl_ == nullptr) return false;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(ssl_, fd_);
    if (!serverName.empty()) {
        SSL_set_tlsext_host_name(ssl_, serverName.c_str());
        SSL_set1_host(ssl_, serverName.c_str());
    }
    if (resume != nullptr) SSL_set_session(ssl_, resume);
    SSL_set_connect_state(ssl_);
    return driveTls(false, timeoutMs, error);
}

bool Link::driveTls(bool server, int timeoutMs, std::string* error) {
    const int64_t end = NowMs() + timeoutMs;
    for (;;) {
        const int r = SSL_do_handshake(ssl_);
        if (r == 1) return true;
        const int err = SSL_get_error(ssl_, r);
        const int64_t left = end - NowMs();
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && left > 0) {
            if (WaitFor(fd_, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, static_cast<int>(left), nullptr) >= 0)
                continue;
        }
        if (error != nullptr) {
            char text[256] = "no answer in time";
            if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
            *error = text;
            const long verify = SSL_get_verify_result(ssl_);
            if (verify != X509_V_OK) *error += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
            (void)server;
        }
        ERR_clear_error();
        SSL_free(ssl_);
        ssl_ = nullptr;
        return false;
    }
}

bool Link::tlsResumed() const { return ssl_ != nullptr && SSL_session_reused(ssl_) == 1; }

std::string Link::tlsVersion() const { return ssl_ != nullptr ? SSL_get_version(ssl_) : ""; }

std::string Link::peerSubject() const {
    if (ssl_ == nullptr) return "";
    X509* cert = SSL_get1_peer_certificate(ssl_);
    if (cert == nullptr) return "";
    char text[256] = "";
    X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
    X509_free(cert);
    return text;
}

SSL_SESSION* Link::tlsSession() const { return ssl_ != nullptr ? SSL_get1_session(ssl_) : nullptr; }

TlsContext::~TlsContext() {
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

namespace {

bool Fail(SSL_CTX** ctx, std::string* error, const std::string& what) {
    if (error != nullptr) {
        char text[256] = "";
        if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof text);
        *error = what + (text[0] ? std::string(": ") + text : std::string());
    }
    ERR_clear_error();
    SSL_CTX_free(*ctx);
    *ctx = nullptr;
    return false;
}

bool LoadOwnCertificate(SSL_CTX** ctx, const TlsSettings& settings, std::string* error) {
    if (settings.certificate.empty()) return true;
    if (SSL_CTX_use_certificate_chain_file(*ctx, settings.certificate.c_str()) != 1)
        return Fail(ctx, error, "cannot read the certificate " + settings.certificate);
    const std::string& key = settings.key.empty() ? settings.certificate : settings.key;
    if (SSL_CTX_use_PrivateKey_file(*ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(*ctx) != 1)
        return Fail(ctx, error, "cannot use the key " + key);
    return true;
}

}  // namespace

bool TlsContext::makeServer(const TlsSettings& settings, std::string* error) {
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr) return Fail(&ctx_, error, "no TLS context");
    if (settings.certificate.empty()) return Fail(&ctx_, error, "a TLS server needs a certificate");
    if (!LoadOwnCertificate(&ctx_, settings, error)) return false;
    static const unsigned char kContext[] = "netsim";
    SSL_CTX_set_session_id_context(ctx_, kContext, sizeof kContext - 1);
    if (!settings.caFile.empty()) {
        if (SSL_CTX_load_verify_locations(ctx_, settings.caFile.c_str(), nullptr) != 1)
            return Fail(&ctx_, error, "cannot read the CA file " + settings.caFile);
        SSL_CTX_set_client_CA_list(ctx_, SSL_load_client_CA_file(settings.caFile.c_str()));
        SSL_CTX_set_verify(ctx_,
                           SSL_VERIFY_PEER | (settings.requireClientCertificate ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                           nullptr);
    } else if (settings.requireClientCertificate) {
        return Fail(&ctx_, error, "asking for client certificates needs a CA file");
    }
    if (!settings.resumption) {
        SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(ctx_, 0);
    }
    return true;
}

bool TlsContext::makeClient(const TlsSettings& settings, std::string* error) {
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr) return Fail(&ctx_, error, "no TLS context");
    if (!LoadOwnCertificate(&ctx_, settings, error)) return false;
    if (!settings.caFile.empty()) {
        if (SSL_CTX_load_verify_locations(ctx_, settings.caFile.c_str(), nullptr) != 1)
            return Fail(&ctx_, error, "cannot read the CA file " + settings.caFile);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    }
    return true;
}

bool Listener::open(uint16_t port, int backlog, int receiveBuffer) {
    close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a = Loopback(port);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, backlog) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close();
        return false;
    }
    port_ = ntohs(a.sin_port);
    return true;
}

std::unique_ptr<Link> Listener::accept(int timeoutMs, const std::atomic<bool>* stop) {
    if (fd_ < 0 || WaitFor(fd_, POLLIN, timeoutMs, stop) != 1) return nullptr;
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::make_unique<Link>(fd);
}

void Listener::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace {

// A non-blocking connection to the address bounded by timeoutMs, then a
// blocking link without Nagle's delay; null when it did not connect.
std::unique_ptr<Link> ConnectAddress(const sockaddr* address, socklen_t length, int timeoutMs) {
    const int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    if (connect(fd, address, length) != 0) {
        int err = 0;
        socklen_t len = sizeof err;
        if (errno != EINPROGRESS || WaitFor(fd, POLLOUT, timeoutMs, nullptr) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return nullptr;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::make_unique<Link>(fd);
}

}  // namespace

std::unique_ptr<Link> ConnectLoopback(uint16_t port, int timeoutMs) {
    sockaddr_in a = Loopback(port);
    return ConnectAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a, timeoutMs);
}

std::unique_ptr<Link> ConnectHost(const std::string& host, uint16_t port, int timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return nullptr;
    std::unique_ptr<Link> link;
    for (addrinfo* a = found; a != nullptr && link == nullptr; a = a->ai_next)
        link = ConnectAddress(a->ai_addr, a->ai_addrlen, timeoutMs);
    freeaddrinfo(found);
    return link;
}

bool FullBacklogListener::open() {
    close();
    if (!listener_.open(0, 0)) return false;
    // Fill the accept queue until a connection no longer completes.
    for (int i = 0; i < 64; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return false;
        sockaddr_in a = Loopback(listener_.port());
        fillers_.push_back(fd);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) continue;
        if (errno != EINPROGRESS) return false;
        if (WaitFor(fd, POLLOUT, 100, nullptr) == 0) return true;  // this one hangs: the queue is full
    }
    return false;
}

void FullBacklogListener::close() {
    for (int fd : fillers_) ::close(fd);
    fillers_.clear();
    listener_.close();
}

uint16_t UnusedLoopbackPort() {
    Listener l;
    if (!l.open(0, 1)) return 0;
    const uint16_t port = l.port();
    l.close();
    return port;
}

RefusingPort::RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(a.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace netsim
