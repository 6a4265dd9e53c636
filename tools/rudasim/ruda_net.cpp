#include "rudasim/ruda_net.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace rudasim {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int kIdleWaitMs = 1000;

}  // namespace

bool ParseHostPort(const std::string& text, std::string* host, uint16_t* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size()) return false;
    const std::string digits = text.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5) return false;
    const long value = std::strtol(digits.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) return false;
    *host = colon == 0 ? "127.0.0.1" : text.substr(0, colon);
    *port = static_cast<uint16_t>(value);
    return true;
}

// What the block handler sees of the link: sends go out at once from the
// link's thread; delayed sends and timers wait in the thread's loop.
class RudaNetSim::Context : public linesim::LineContext {
public:
    explicit Context(RudaNetSim* sim) : sim_(sim), start_(NowMs()) {}
    void send(const std::string& bytes) override {
        if (sim_->link_ != nullptr && !sim_->link_->sendAll(bytes)) sim_->connected_ = false;
    }
    void sendLater(const std::string& bytes, int delayMs) override { later.push_back({NowMs() + delayMs, -1, bytes}); }
    void startTimer(int id, int delayMs) override {
        cancelTimer(id);
        later.push_back({NowMs() + delayMs, id, {}});
    }
    void cancelTimer(int id) override {
        later.erase(std::remove_if(later.begin(), later.end(), [id](const Due& d) { return d.timer == id; }),
                    later.end());
    }
    void hangUp() override {
        if (sim_->link_ != nullptr) sim_->link_->close();
        sim_->connected_ = false;
    }
    void finish(const std::string&) override {}
    int64_t nowMs() const override { return NowMs() - start_; }

    // Time to the next due item (at most the idle wait).
    int nextWaitMs() const {
        int64_t wait = kIdleWaitMs;
        for (const Due& d : later) wait = std::min<int64_t>(wait, std::max<int64_t>(0, d.atMs - NowMs()));
        return static_cast<int>(wait);
    }
    // Sends and fires what is due.
    void runDue(linesim::FrameHandler& handler) {
        const int64_t now = NowMs();
        std::vector<Due> due;
        for (auto it = later.begin(); it != later.end();) {
            if (it->atMs <= now) {
                due.push_back(*it);
                it = later.erase(it);
            } else {
                ++it;
            }
        }
        for (const Due& d : due) {
            if (d.timer < 0) send(d.bytes);
            else handler.onTimer(*this, d.timer);
        }
    }

private:
    struct Due {
        int64_t atMs;
        int timer;  // -1: a delayed send
        std::string bytes;
    };
    RudaNetSim* sim_;
    int64_t start_;

public:
    std::vector<Due> later;
};

RudaNetSim::RudaNetSim(RudaScenario scenario) : handler_(std::make_unique<RudaBlockHandler>(std::move(scenario))) {}

RudaNetSim::~RudaNetSim() { stop(); }

bool RudaNetSim::connect(const RudaNetOptions& options, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (link_ != nullptr) {
        *error = "already connected";
        return false;
    }
    if (options.tls) {
        netsim::TlsSettings settings;
        settings.caFile = options.caFile;
        settings.certificate = options.certificate;
        settings.key = options.key;
        tlsContext_ = std::make_unique<netsim::TlsContext>();
        if (!tlsContext_->makeClient(settings, error)) return false;
    }
    link_ = netsim::ConnectHost(options.host, options.port, options.connectTimeoutMs);
    if (link_ == nullptr) {
        *error = "cannot connect to " + options.host + ":" + std::to_string(options.port);
        return false;
    }
    if (options.tls) {
        // The name is checked only against a program whose CAs were given.
        const std::string name = options.caFile.empty() ? std::string()
                                                        : (options.serverName.empty() ? options.host : options.serverName);
        if (!link_->startTlsClient(tlsContext_->get(), name, options.connectTimeoutMs, error)) {
            link_.reset();
            return false;
        }
        tlsVersion_ = link_->tlsVersion();
    }
    connected_ = true;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void RudaNetSim::run() {
    Context context(this);
    handler_->onStart(context);
    while (!stop_ && connected_) {
        std::string in;
        const int n = link_->receive(&in, context.nextWaitMs(), &wake_);
        if (n < 0) {
            connected_ = false;
            break;
        }
        if (n > 0) handler_->onBytes(context, in);
        wake_ = false;
        std::string out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            out.swap(injected_);
        }
        if (!out.empty()) context.send(out);
        context.runDue(*handler_);
        notifyChanged();
    }
    notifyChanged();
}

// Waiters test their condition under the mutex: taking it here means none
// misses this change between its test and its wait.
void RudaNetSim::notifyChanged() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

void RudaNetSim::stop() {
    stop_ = true;
    wake_ = true;
    if (thread_.joinable()) thread_.join();
    if (link_ != nullptr) link_->close();
    link_.reset();
    connected_ = false;
    notifyChanged();
}

bool RudaNetSim::waitClosed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !connected_.load(); });
}

bool RudaNetSim::waitExchanges(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return handler_->exchanges().size() >= n; });
}

void RudaNetSim::pushEvent(const Bytes& answer) {
    const std::string now = handler_->pushEvent(answer);
    if (now.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    injected_ += now;
    wake_ = true;
}

}  // namespace rudasim
