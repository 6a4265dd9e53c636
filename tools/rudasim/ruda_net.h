// RUDA terminal simulator on a network link: the terminal connects to the
// program that waits for it in server mode (TCP, or TLS with an optional
// client certificate) and speaks the same RUDA blocks on the socket as on a
// serial line. The block handler and the dispatcher are those of the serial
// simulator (RudaBlockHandler, RudaTerminal); only the transport differs.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netsim/tcp_link.h"
#include "rudasim/ruda_terminal.h"

namespace rudasim {

struct RudaNetOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    bool tls = false;
    // TLS: the CAs that vouch for the program's certificate (PEM; empty: no
    // check of the program), the name checked against it (empty: host), and
    // the terminal's own certificate and key (empty: none offered).
    std::string caFile;
    std::string serverName;
    std::string certificate;
    std::string key;
    int connectTimeoutMs = 5000;
};

// "HOST:PORT" (the host may be empty: 127.0.0.1); false when malformed.
bool ParseHostPort(const std::string& text, std::string* host, uint16_t* port);

class RudaNetSim {
public:
    explicit RudaNetSim(RudaScenario scenario);
    ~RudaNetSim();
    RudaNetSim(const RudaNetSim&) = delete;
    RudaNetSim& operator=(const RudaNetSim&) = delete;

    // Connects (and runs the TLS handshake when asked), then answers the
    // program in a thread of its own. False with the reason in error.
    bool connect(const RudaNetOptions& options, std::string* error);
    // Closes the link (the program sees the terminal go).
    void stop();
    // True while the program keeps the link open.
    bool connected() const { return connected_.load(); }
    // True once the program closed the link (false after timeoutMs).
    bool waitClosed(int timeoutMs);
    std::vector<Exchange> exchanges() { return handler_->exchanges(); }
    ScreenRecord screens() { return handler_->screens(); }
    // The program has sent n requests (false after timeoutMs).
    bool waitExchanges(size_t n, int timeoutMs);
    // Queues a card event, or sends it at once to a request or card watch
    // that waits for one.
    void pushEvent(const Bytes& answer);
    // After a TLS handshake: the protocol ("TLSv1.3").
    std::string tlsVersion() const { return tlsVersion_; }

private:
    class Context;
    void run();
    void notifyChanged();

    std::unique_ptr<RudaBlockHandler> handler_;
    std::unique_ptr<netsim::TlsContext> tlsContext_;
    std::unique_ptr<netsim::Link> link_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> wake_{false};
    std::atomic<bool> connected_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string injected_;  // bytes to send, from other threads
    std::string tlsVersion_;
};

}  // namespace rudasim
