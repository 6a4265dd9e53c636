#include "linesim/line_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/param_file.h"
#include "netsim/acquirer.h"

namespace linesim {

namespace {

int64_t SteadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Timer ids of a data handler inside the modem or the PAD.
constexpr int kDataTimerBase = 1000;

// The context a data handler sees: its timer ids moved out of the way of
// the handler that holds it.
class OffsetContext : public LineContext {
public:
    OffsetContext(LineContext& base, int offset) : base_(base), offset_(offset) {}
    void send(const std::string& bytes) override { base_.send(bytes); }
    void sendLater(const std::string& bytes, int delayMs) override { base_.sendLater(bytes, delayMs); }
    void startTimer(int id, int delayMs) override { base_.startTimer(id + offset_, delayMs); }
    void cancelTimer(int id) override { base_.cancelTimer(id + offset_); }
    void hangUp() override { base_.hangUp(); }
    void finish(const std::string& outcome) override { base_.finish(outcome); }
    int64_t nowMs() const override { return base_.nowMs(); }

private:
    LineContext& base_;
    int offset_;
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return s.substr(i);
}

}  // namespace

// ---------------------------------------------------------------------------
// Pseudo-terminal
// ---------------------------------------------------------------------------

PtyPair::~PtyPair() { close(); }

bool PtyPair::open() {
    close();
    char name[128] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) return false;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    slaveName_ = name;
    return true;
}

void PtyPair::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void PtyPair::close() {
    closeMaster();
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}

// ---------------------------------------------------------------------------
// Bytes and records
// ---------------------------------------------------------------------------

std::string Hex(const std::string& bytes) {
    std::string out;
    char piece[4];
    for (unsigned char c : bytes) {
        std::snprintf(piece, sizeof piece, "%02x", c);
        if (!out.empty()) out += ' ';
        out += piece;
    }
    return out;
}

BytesAndOptions SplitBytesAndOptions(const std::string& text, const std::vector<std::string>& flags) {
    BytesAndOptions out;
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty()) words.push_back(word);
    for (const std::string& w : words) {
        const bool flag = std::find(flags.begin(), flags.end(), w) != flags.end();
        if (w[0] != '"' && (flag || w.find('=') != std::string::npos)) {
            out.options.push_back(w);
        } else {
            if (!out.bytes.empty()) out.bytes += ' ';
            out.bytes += w;
        }
    }
    return out;
}

std::optional<std::string> ParseBytes(const std::string& text) {
    std::string out;
    size_t i = 0;
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                char d = text[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < text.size()) {
                    const char e = text[i++];
                    switch (e) {
                        case 'r': d = '\r'; break;
                        case 'n': d = '\n'; break;
                        case 't': d = '\t'; break;
                        case 'a': d = '\a'; break;
                        case '0': d = '\0'; break;
                        case 'x': {
                            if (i + 1 >= text.size() || hexValue(text[i]) < 0 || hexValue(text[i + 1]) < 0)
                                return std::nullopt;
                            d = static_cast<char>(hexValue(text[i]) * 16 + hexValue(text[i + 1]));
                            i += 2;
                            break;
                        }
                        default: d = e; break;
                    }
                }
                out.push_back(d);
            }
            if (!closed) return std::nullopt;
        } else {
            if (i + 1 >= text.size() || hexValue(text[i]) < 0 || hexValue(text[i + 1]) < 0) return std::nullopt;
            out.push_back(static_cast<char>(hexValue(text[i]) * 16 + hexValue(text[i + 1])));
            i += 2;
        }
    }
    return out;
}

std::string FormatRecords(const std::vector<Record>& records) {
    std::string out;
    char head[64];
    for (const Record& r : records) {
        const char* what = r.direction == 'i' ? "in " : r.direction == 'o' ? "out" : "hup";
        std::snprintf(head, sizeof head, "%12.3f ms %s ", static_cast<double>(r.us) / 1000.0, what);
        out += head + Hex(r.bytes) + "\n";
    }
    return out;
}

// ---------------------------------------------------------------------------
// Simulator
// ---------------------------------------------------------------------------

class LineSim::Context : public LineContext {
public:
    explicit Context(LineSim& sim) : sim_(sim) {}

    struct Timer {
        int64_t dueUs;
        int id;  // -1: a delayed send
        std::string bytes;
    };

    void send(const std::string& bytes) override { sim_.writeOut(bytes); }
    void sendLater(const std::string& bytes, int delayMs) override {
        timers.push_back({SteadyUs() + static_cast<int64_t>(std::max(delayMs, 0)) * 1000, -1, bytes});
    }
    void startTimer(int id, int delayMs) override {
        cancelTimer(id);
        timers.push_back({SteadyUs() + static_cast<int64_t>(std::max(delayMs, 0)) * 1000, id, {}});
    }
    void cancelTimer(int id) override {
        timers.erase(std::remove_if(timers.begin(), timers.end(), [id](const Timer& t) { return t.id == id; }),
                     timers.end());
    }
    void hangUp() override { sim_.hangUpLine(); }
    void finish(const std::string& outcome) override {
        std::lock_guard<std::mutex> guard(sim_.mutex_);
        if (!sim_.done_) {
            sim_.done_ = true;
            sim_.outcome_ = outcome;
        }
        sim_.changed_.notify_all();
    }
    int64_t nowMs() const override { return (SteadyUs() - sim_.startUs_) / 1000; }

    std::vector<Timer> timers;

private:
    LineSim& sim_;
};

LineSim::LineSim(std::unique_ptr<FrameHandler> handler) : handler_(std::move(handler)) {}

LineSim::~LineSim() { stop(); }

bool LineSim::start() {
    if (!pty_.open()) return false;
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    startUs_ = SteadyUs();
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void LineSim::stop() {
    stop_ = true;
    if (wake_[1] >= 0) (void)!write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    for (int& fd : wake_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    pty_.close();
}

void LineSim::inject(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        injected_ += bytes;
    }
    if (wake_[1] >= 0) (void)!write(wake_[1], "x", 1);
}

std::string LineSim::wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; })) return "not finished";
    return outcome_;
}

bool LineSim::finished() {
    std::lock_guard<std::mutex> guard(mutex_);
    return done_;
}

std::vector<Record> LineSim::records() {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
}

std::string LineSim::received() {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

bool LineSim::waitReceived(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return received_.size() >= n; });
}

bool LineSim::waitDelivered(int timeoutMs) {
    const int64_t end = SteadyUs() + static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        if (pty_.slave() < 0) return true;
        // A poll of the slave first moves what the master wrote into the
        // slave's input queue (the kernel hands it over asynchronously);
        // only then does the queue's count show what is still unread.
        pollfd p{pty_.slave(), POLLIN, 0};
        const int ready = poll(&p, 1, 0);
        int waiting = 0;
        if (ready < 0 || ioctl(pty_.slave(), FIONREAD, &waiting) != 0 || waiting == 0) return true;
        if (SteadyUs() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool LineSim::waitQueued(size_t n, int timeoutMs) {
    const int64_t end = SteadyUs() + static_cast<int64_t>(timeoutMs) * 1000;
    for (;;) {
        if (pty_.slave() < 0) return false;
        const int64_t left = end - SteadyUs();
        // Wakes when the queue holds a byte, then counts what it holds.
        pollfd p{pty_.slave(), POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max<int64_t>((left + 999) / 1000, 0)));
        int waiting = 0;
        if (ready > 0 && ioctl(pty_.slave(), FIONREAD, &waiting) == 0 && waiting >= static_cast<int>(n)) return true;
        if (SteadyUs() >= end) return false;
        // Part of the bytes is there: the rest follows at once.
        if (ready > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void LineSim::writeOut(const std::string& bytes) {
    if (bytes.empty()) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.push_back({SteadyUs() - startUs_, 'o', bytes});
    }
    size_t done = 0;
    while (done < bytes.size() && pty_.master() >= 0 && !stop_) {
        const ssize_t n = ::write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{pty_.master(), POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            break;
        }
    }
}

void LineSim::hangUpLine() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        records_.push_back({SteadyUs() - startUs_, 'h', {}});
    }
    pty_.closeMaster();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        hungUp_ = true;
    }
    changed_.notify_all();
}

bool LineSim::waitHungUp(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return hungUp_; });
}

void LineSim::run() {
    Context context(*this);
    handler_->onStart(context);
    char buffer[4096];
    while (!stop_) {
        int timeoutMs = 1000;
        const int64_t now = SteadyUs();
        for (const auto& t : context.timers)
            timeoutMs = static_cast<int>(std::min<int64_t>(timeoutMs, std::max<int64_t>(0, (t.dueUs - now + 999) / 1000)));
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {pty_.master(), POLLIN, 0}};
        const int count = pty_.master() >= 0 ? 2 : 1;
        const int r = poll(fds, static_cast<nfds_t>(count), timeoutMs);
        if (r < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            while (::read(wake_[0], buffer, sizeof buffer) > 0) {
            }
            std::string out;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                out.swap(injected_);
            }
            writeOut(out);
        }
        if (count == 2 && (fds[1].revents & POLLIN)) {
            const ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
            if (n > 0) {
                const std::string bytes(buffer, static_cast<size_t>(n));
                {
                    std::lock_guard<std::mutex> guard(mutex_);
                    records_.push_back({SteadyUs() - startUs_, 'i', bytes});
                    received_ += bytes;
                }
                changed_.notify_all();
                handler_->onBytes(context, bytes);
            }
        }
        // Timers that are due, earliest first (a handler may add more).
        for (;;) {
            auto due = std::min_element(context.timers.begin(), context.timers.end(),
                                        [](const Context::Timer& a, const Context::Timer& b) { return a.dueUs < b.dueUs; });
            if (due == context.timers.end() || due->dueUs > SteadyUs()) break;
            const Context::Timer timer = *due;
            context.timers.erase(due);
            if (timer.id < 0)
                writeOut(timer.bytes);
            else
                handler_->onTimer(context, timer.id);
        }
    }
}

// ---------------------------------------------------------------------------
// Scenario
// ---------------------------------------------------------------------------

std::optional<std::vector<ScenarioStep>> ParseScenario(const std::string& text, std::string* error) {
    std::vector<ScenarioStep> steps;
    int lineNumber = 0;
    std::istringstream lines(text);
    std::string raw;
    // Line numbers for the outcome: counted here, the words read by the
    // shared line reader.
    std::vector<int> numbers;
    while (std::getline(lines, raw)) {
        ++lineNumber;
        if (!netsim::SplitWords(raw.substr(0, raw.find('#'))).empty()) numbers.push_back(lineNumber);
    }
    size_t index = 0;
    const bool read = netsim::ReadScriptLines(
        text,
        [&](const std::string& line, const std::vector<std::string>& words) -> std::string {
            ScenarioStep step;
            step.line = index < numbers.size() ? numbers[index] : 0;
            ++index;
            const std::string& verb = words[0];
            std::string rest = line.substr(line.find(verb) + verb.size());
            // Options (name=value or a bare word) after the bytes.
            std::string bytesText;
            std::vector<std::string> options;
            {
                bool quoted = false;
                std::string word;
                std::vector<std::string> tokens;
                for (char c : rest) {
                    if (c == '"') quoted = !quoted;
                    if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
                        if (!word.empty()) tokens.push_back(word);
                        word.clear();
                    } else {
                        word.push_back(c);
                    }
                }
                if (!word.empty()) tokens.push_back(word);
                for (const std::string& t : tokens) {
                    if (t.find('=') != std::string::npos || t == "bytewise")
                        options.push_back(t);
                    else
                        bytesText += t + " ";
                }
            }
            auto number = [](const std::string& s, int* out) {
                char* end = nullptr;
                const long v = std::strtol(s.c_str(), &end, 10);
                if (s.empty() || end == nullptr || *end != '\0' || v < 0) return false;
                *out = static_cast<int>(v);
                return true;
            };
            for (const std::string& o : options) {
                const size_t eq = o.find('=');
                const std::string name = o.substr(0, eq);
                const std::string value = eq == std::string::npos ? "" : o.substr(eq + 1);
                bool ok = true;
                if (name == "timeout") ok = number(value, &step.ms);
                else if (name == "delay") ok = number(value, &step.delayMs);
                else if (name == "gap") ok = number(value, &step.gapMs);
                else if (name == "bytewise") step.bytewise = true;
                else if (name == "corrupt") {
                    const size_t colon = value.find(':');
                    ok = number(value.substr(0, colon), &step.corruptAt);
                    if (ok && colon != std::string::npos) {
                        auto mask = ParseBytes(value.substr(colon + 1));
                        ok = mask.has_value() && mask->size() == 1;
                        if (ok) step.corruptMask = static_cast<uint8_t>((*mask)[0]);
                    }
                } else ok = false;
                if (!ok) return "cannot read option '" + o + "'";
            }
            const std::string args = Trimmed(bytesText);
            if (verb == "expect" || verb == "send") {
                auto bytes = ParseBytes(args);
                if (!bytes || bytes->empty()) return "cannot read the bytes of '" + line + "'";
                step.kind = verb == "expect" ? ScenarioStep::Kind::Expect : ScenarioStep::Kind::Send;
                step.bytes = *bytes;
                if (step.corruptAt >= static_cast<int>(step.bytes.size())) return "corrupt= beyond the bytes";
            } else if (verb == "expect-any" || verb == "pause" || verb == "silence" || verb == "timeout") {
                int value = 0;
                if (!number(args, &value)) return "cannot read the number of '" + line + "'";
                if (verb == "expect-any") {
                    step.kind = ScenarioStep::Kind::ExpectAny;
                    step.count = static_cast<size_t>(value);
                } else {
                    step.kind = verb == "pause"     ? ScenarioStep::Kind::Pause
                                : verb == "silence" ? ScenarioStep::Kind::Silence
                                                    : ScenarioStep::Kind::Timeout;
                    step.ms = value;
                }
            } else if (verb == "hangup" && args.empty()) {
                step.kind = ScenarioStep::Kind::HangUp;
            } else {
                return "unknown step '" + line + "'";
            }
            steps.push_back(step);
            return {};
        },
        error);
    if (!read) return std::nullopt;
    return steps;
}

std::optional<std::vector<ScenarioStep>> ScenarioFromFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error != nullptr) *error = "cannot read " + path;
        return std::nullopt;
    }
    std::stringstream s;
    s << in.rdbuf();
    return ParseScenario(s.str(), error);
}

namespace {
constexpr int kExpectTimer = 1;
constexpr int kContinueTimer = 2;
constexpr int kSilenceTimer = 3;
}  // namespace

void ScenarioHandler::onStart(LineContext& line) { advance(line); }

void ScenarioHandler::fail(LineContext& line, const std::string& why) {
    over_ = true;
    waiting_ = false;
    line.cancelTimer(kExpectTimer);
    line.finish("line " + std::to_string(steps_[next_].line) + ": " + why);
}

void ScenarioHandler::advance(LineContext& line) {
    while (!over_ && next_ < steps_.size()) {
        const ScenarioStep& step = steps_[next_];
        switch (step.kind) {
            case ScenarioStep::Kind::Expect:
            case ScenarioStep::Kind::ExpectAny:
                waiting_ = true;
                line.startTimer(kExpectTimer, step.ms >= 0 ? step.ms : defaultTimeoutMs_);
                tryExpect(line);
                return;
            case ScenarioStep::Kind::Send: {
                std::string bytes = step.bytes;
                if (step.corruptAt >= 0) bytes[static_cast<size_t>(step.corruptAt)] ^= static_cast<char>(step.corruptMask);
                ++next_;
                if (step.delayMs == 0 && step.gapMs == 0 && !step.bytewise) {
                    line.send(bytes);
                    break;
                }
                // Bytewise sends each byte apart; a gap alone cuts in two.
                std::vector<std::string> pieces;
                if (step.bytewise)
                    for (char c : bytes) pieces.emplace_back(1, c);
                else if (step.gapMs > 0 && bytes.size() > 1)
                    pieces = {bytes.substr(0, bytes.size() / 2), bytes.substr(bytes.size() / 2)};
                else
                    pieces = {bytes};
                int at = step.delayMs;
                for (size_t i = 0; i < pieces.size(); ++i) {
                    line.sendLater(pieces[i], at);
                    if (i + 1 < pieces.size()) at += step.gapMs;
                }
                line.startTimer(kContinueTimer, at);
                return;
            }
            case ScenarioStep::Kind::Pause:
                ++next_;
                line.startTimer(kContinueTimer, step.ms);
                return;
            case ScenarioStep::Kind::Silence:
                ++next_;
                silent_ = true;
                line.startTimer(kSilenceTimer, step.ms);
                return;
            case ScenarioStep::Kind::HangUp:
                ++next_;
                line.hangUp();
                break;
            case ScenarioStep::Kind::Timeout:
                defaultTimeoutMs_ = step.ms;
                ++next_;
                break;
        }
    }
    if (!over_ && next_ >= steps_.size()) {
        over_ = true;
        line.finish("");
    }
}

bool ScenarioHandler::tryExpect(LineContext& line) {
    const ScenarioStep& step = steps_[next_];
    const size_t need = step.kind == ScenarioStep::Kind::Expect ? step.bytes.size() : step.count;
    if (step.kind == ScenarioStep::Kind::Expect) {
        const size_t have = std::min(pending_.size(), need);
        if (pending_.compare(0, have, step.bytes, 0, have) != 0) {
            fail(line, "expected " + Hex(step.bytes) + ", got " + Hex(pending_.substr(0, need)));
            return false;
        }
    }
    if (pending_.size() < need) return false;
    pending_.erase(0, need);
    waiting_ = false;
    line.cancelTimer(kExpectTimer);
    ++next_;
    advance(line);
    return true;
}

void ScenarioHandler::onBytes(LineContext& line, const std::string& bytes) {
    if (over_ || silent_) return;
    pending_ += bytes;
    if (waiting_) tryExpect(line);
}

void ScenarioHandler::onTimer(LineContext& line, int id) {
    if (over_) return;
    if (id == kExpectTimer && waiting_) {
        const ScenarioStep& step = steps_[next_];
        const int ms = step.ms >= 0 ? step.ms : defaultTimeoutMs_;
        const std::string wanted = step.kind == ScenarioStep::Kind::Expect ? Hex(step.bytes)
                                                                            : std::to_string(step.count) + " bytes";
        fail(line, "expected " + wanted + " within " + std::to_string(ms) + " ms, got " + Hex(pending_));
    } else if (id == kContinueTimer) {
        advance(line);
    } else if (id == kSilenceTimer) {
        silent_ = false;
        pending_.clear();
        advance(line);
    }
}

// ---------------------------------------------------------------------------
// Modem
// ---------------------------------------------------------------------------

namespace {
constexpr int kDialTimer = 10;
constexpr int kDropTimer = 11;
constexpr int kCallTimer = 20;
constexpr int kClearTimer = 21;
}  // namespace

ModemHandler::ModemHandler(ModemOptions options, std::unique_ptr<FrameHandler> data)
    : options_(std::move(options)), data_(std::move(data)), echo_(options_.echo) {}

void ModemHandler::reply(LineContext& line, const std::string& word) {
    const std::string text = "\r\n" + word + "\r\n";
    if (options_.replyDelayMs > 0)
        line.sendLater(text, options_.replyDelayMs);
    else
        line.send(text);
}

void ModemHandler::command(LineContext& line, const std::string& raw) {
    const std::string text = Upper(Trimmed(raw));
    {
        std::lock_guard<std::mutex> guard(mutex_);
        commands_.push_back(raw);
    }
    if (text.empty()) return;
    if (text.compare(0, 2, "AT") != 0) {
        reply(line, "ERROR");
        return;
    }
    const std::string body = text.substr(2);
    if (body.empty()) {
        reply(line, "OK");
        return;
    }
    if (body[0] == 'D') {
        std::string number = Trimmed(body.substr(1));
        if (!number.empty() && (number[0] == 'T' || number[0] == 'P')) number.erase(0, 1);
        auto it = options_.dialResults.find(number);
        dialResult_ = it != options_.dialResults.end() ? it->second : options_.defaultDial;
        line.startTimer(kDialTimer, options_.dialDelayMs);
        return;
    }
    if (body == "Z" || body == "&F") {
        echo_ = options_.echo;
    } else if (body == "E0" || body == "E1") {
        echo_ = body == "E1";
    } else if (body == "H" || body == "H0") {
        connected_ = false;
    } else if (std::string("SXVQMLI").find(body[0]) == std::string::npos) {
        reply(line, "ERROR");
        return;
    }
    reply(line, "OK");
}

std::vector<std::string> ModemHandler::commands() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return commands_;
}

void ModemHandler::onBytes(LineContext& line, const std::string& bytes) {
    if (connected_) {
        if (bytes.find_first_not_of('+') == std::string::npos) {
            escape_ += bytes;
            if (escape_ == "+++") {
                escape_.clear();
                connected_ = false;
                line.cancelTimer(kDropTimer);
                reply(line, "OK");
            }
            return;
        }
        escape_.clear();
        if (data_) {
            OffsetContext inner(line, kDataTimerBase);
            data_->onBytes(inner, bytes);
        }
        return;
    }
    std::string echo;
    for (char c : bytes) {
        if (echo_) echo.push_back(c);
        if (c == '\r') {
            if (!echo.empty()) line.send(echo);
            echo.clear();
            command(line, line_);
            line_.clear();
        } else if (c == '\b') {
            if (!line_.empty()) line_.pop_back();
        } else if (c != '\n') {
            line_.push_back(c);
        }
    }
    if (!echo.empty()) line.send(echo);
}

void ModemHandler::onTimer(LineContext& line, int id) {
    if (id >= kDataTimerBase) {
        if (data_ && connected_) {
            OffsetContext inner(line, kDataTimerBase);
            data_->onTimer(inner, id - kDataTimerBase);
        }
        return;
    }
    if (id == kDialTimer) {
        if (dialResult_ == "CONNECT") {
            reply(line, options_.connectText);
            connected_ = true;
            if (options_.dropAfterMs > 0) line.startTimer(kDropTimer, options_.dropAfterMs);
            if (data_) {
                OffsetContext inner(line, kDataTimerBase);
                data_->onStart(inner);
            }
        } else if (dialResult_ != "SILENT") {
            reply(line, dialResult_);
        }
    } else if (id == kDropTimer && connected_) {
        connected_ = false;
        reply(line, "NO CARRIER");
    }
}

// ---------------------------------------------------------------------------
// PAD
// ---------------------------------------------------------------------------

PadHandler::PadHandler(PadOptions options, std::unique_ptr<FrameHandler> data)
    : options_(std::move(options)), data_(std::move(data)) {}

std::vector<std::string> PadHandler::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

void PadHandler::takeLine(LineContext& line, const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back(text);
    }
    if (state_ == State::Password) {
        if (text == options_.password) {
            line.send("\r\n\a\t");
            state_ = State::Data;
            if (data_) {
                OffsetContext inner(line, kDataTimerBase);
                data_->onStart(inner);
            }
        }
        return;
    }
    if (text.compare(0, 3, "SET") == 0) {
        line.send("\r\n");
        return;
    }
    if (text.empty()) return;
    const std::string address = text.substr(0, text.find('D'));
    auto it = options_.callResults.find(address);
    callResult_ = it != options_.callResults.end() ? it->second : "COM";
    line.startTimer(kCallTimer, options_.callDelayMs);
}

void PadHandler::onBytes(LineContext& line, const std::string& bytes) {
    std::string seven;
    for (char c : bytes) seven.push_back(static_cast<char>(c & 0x7F));
    if (state_ == State::Data) {
        if (data_) {
            OffsetContext inner(line, kDataTimerBase);
            data_->onBytes(inner, seven);
        }
        return;
    }
    for (char c : seven) {
        if (c == '\r') {
            takeLine(line, line_);
            line_.clear();
            if (state_ == State::Data) return;
        } else if (c != '\n') {
            line_.push_back(c);
        }
    }
}

void PadHandler::onTimer(LineContext& line, int id) {
    if (id >= kDataTimerBase) {
        if (data_ && state_ == State::Data) {
            OffsetContext inner(line, kDataTimerBase);
            data_->onTimer(inner, id - kDataTimerBase);
        }
        return;
    }
    if (id == kCallTimer) {
        line.send("\r\n" + callResult_ + "\r\n");
        if (callResult_ != "COM") return;
        if (options_.clearAfterMs > 0) line.startTimer(kClearTimer, options_.clearAfterMs);
        if (!options_.password.empty()) {
            state_ = State::Password;
            return;
        }
        state_ = State::Data;
        if (data_) {
            OffsetContext inner(line, kDataTimerBase);
            data_->onStart(inner);
        }
    } else if (id == kClearTimer) {
        line.send("\r\nLIB 00\r\n");
        state_ = State::Command;
    }
}

// ---------------------------------------------------------------------------
// Configuration
// ---------------------------------------------------------------------------

std::string SetDriver(const std::string& configPath, const std::string& device) {
    KTDK_FILE* file = FILE_NewFile(configPath.c_str());
    if (file == nullptr) return "cannot use " + configPath;
    std::string why;
    if (FILE_OpenReadClose(file) < 0) why = "cannot read " + configPath;
    if (why.empty() && file->length > 0 && file->content[0] == '\0') FILE_SetFileContent(file, 0, "");
    // The old signature record goes before the key changes.
    if (why.empty() && file->length > 0 && FILE_GetRecordSignat(file) < 0) why = "bad signature record in " + configPath;
    if (why.empty() && FILE_ReplaceStringParam(file, "Driver", device.c_str()) < 0) why = "cannot set Driver";
    if (why.empty() && FILE_PutRecordSignat(file) != 1) why = "cannot sign " + configPath;
    if (why.empty() && FILE_OpenWriteClose(file) <= 0) why = "cannot write " + configPath;
    FILE_FreeFile(file);
    return why;
}

}  // namespace linesim

namespace linesim {

namespace {
volatile std::sig_atomic_t g_stopAsked = 0;
void OnStopSignal(int) { g_stopAsked = 1; }
}  // namespace

std::optional<std::string> ReadTextFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error != nullptr) *error = "cannot read " + path;
        return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool ParseCount(const std::string& text, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == nullptr || *end != '\0' || v < 0 || v > 0x7FFFFFFF) return false;
    *out = static_cast<int>(v);
    return true;
}

bool AnnounceSlave(const char* name, const std::string& slave, const std::string& driverConfig) {
    if (!driverConfig.empty()) {
        const std::string why = SetDriver(driverConfig, slave);
        if (!why.empty()) {
            std::fprintf(stderr, "%s: %s\n", name, why.c_str());
            return false;
        }
    }
    std::printf("%s slave %s\n", name, slave.c_str());
    std::fflush(stdout);
    return true;
}

void CatchStopSignals() {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

bool StopAsked() { return g_stopAsked != 0; }

}  // namespace linesim
