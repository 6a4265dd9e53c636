// TCP plumbing of the test peers: loopback listeners on ephemeral ports,
// connected links that send in pieces with pauses, close in order or with a
// reset, and a listener whose accept queue is full so that connections to
// it never complete. A link can run TLS (either side) under the same calls.
// The simulators' message handling sits above this and knows nothing of
// sockets.
#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace netsim {

// TLS settings of a peer (PEM files). A server needs its certificate and
// key; caFile is what it trusts for client certificates (a client: for the
// server's). requireClientCertificate refuses a client without one;
// resumption off refuses to resume sessions.
struct TlsSettings {
    std::string certificate;
    std::string key;
    std::string caFile;
    bool requireClientCertificate = false;
    bool resumption = true;
};

// An OpenSSL context made from settings; null context on failure (error says
// why).
class TlsContext {
public:
    TlsContext() = default;
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;
    bool makeServer(const TlsSettings& settings, std::string* error);
    bool makeClient(const TlsSettings& settings, std::string* error);
    SSL_CTX* get() const { return ctx_; }

private:
    SSL_CTX* ctx_ = nullptr;
};

class Link {
public:
    explicit Link(int fd) : fd_(fd) {}
    ~Link() { close(); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Sends every byte; false when the peer is gone.
    bool sendAll(const std::string& bytes);
    // Sends the bytes cut at the given offsets (ascending, inside the
    // bytes), pausing gapMs after each piece but the last.
    bool sendPieces(const std::string& bytes, const std::vector<size_t>& cuts, int gapMs);
    // Appends what arrives within timeoutMs (negative: no limit) to out: the
    // count, 0 on time-out, -1 when the peer closed or the link failed. A set
    // stop flag ends the wait early (0).
    int receive(std::string* out, int timeoutMs, const std::atomic<bool>* stop = nullptr);
    // Exactly n bytes within timeoutMs; false otherwise (what came is kept).
    bool receiveExactly(size_t n, std::string* out, int timeoutMs);
    // Reads and drops until the peer closes: true when it did within
    // timeoutMs (the bytes that came are appended to out when given).
    bool waitClosed(int timeoutMs, std::string* out = nullptr);
    // Orderly close: everything sent still arrives, then the end of stream.
    void close();
    // Abortive close: the peer sees a reset.
    void reset();

    // TLS over the link: the handshake as server (or client, checking the
    // server's name when given) within timeoutMs; false with the reason in
    // error. From then on every call above goes through TLS.
    bool startTlsServer(SSL_CTX* context, int timeoutMs, std::string* error);
    bool startTlsClient(SSL_CTX* context, const std::string& serverName, int timeoutMs, std::string* error,
                        SSL_SESSION* resume = nullptr);
    bool tls() const { return ssl_ != nullptr; }
    // After the handshake: whether a session was resumed, the protocol, the
    // peer certificate's subject ("" without one), and (client) a reference
    // of the session to resume later (the caller frees it).
    bool tlsResumed() const;
    std::string tlsVersion() const;
    std::string peerSubject() const;
    SSL_SESSION* tlsSession() const;

private:
    bool driveTls(bool server, int timeoutMs, std::string* error);
    int fd_;
    SSL* ssl_ = nullptr;
};

class Listener {
public:
    Listener() = default;
    ~Listener() { close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Listens on 127.0.0.1 (port 0: an ephemeral one). receiveBuffer > 0 sets
    // the receive buffer of every accepted link.
    bool open(uint16_t port = 0, int backlog = 16, int receiveBuffer = 0);
    uint16_t port() const { return port_; }
    // A client within timeoutMs (or null; a set stop flag ends the wait).
    std::unique_ptr<Link> accept(int timeoutMs, const std::atomic<bool>* stop = nullptr);
    void close();

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A link to 127.0.0.1:port, or null when it did not connect within timeoutMs.
std::unique_ptr<Link> ConnectLoopback(uint16_t port, int timeoutMs);
// A link to host (a name or an address) and port, trying each address the
// name has; null when none connected within timeoutMs.
std::unique_ptr<Link> ConnectHost(const std::string& host, uint16_t port, int timeoutMs);

// A listener that never accepts and whose accept queue is filled by links of
// its own: a further connection attempt stays unanswered until the caller's
// connect time-out.
class FullBacklogListener {
public:
    FullBacklogListener() = default;
    ~FullBacklogListener() { close(); }
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;

    bool open();
    uint16_t port() const { return listener_.port(); }
    void close();

private:
    Listener listener_;
    std::vector<int> fillers_;
};

// A port on which nothing listens (it was free a moment ago).
uint16_t UnusedLoopbackPort();

// A loopback port held bound without listening while the object lives:
// every connection to it is refused, and no other party can take it.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace netsim
