// DORAN terminal simulator: the terminal end of the XA link.
#include <termios.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "doransim/doran_terminal.h"

namespace doransim {

namespace {

constexpr int kEotTimer = 1;
constexpr int kBelTimer = 2;
constexpr int kEchoTimer = 3;
const std::string kNoLabel = "________";

bool IsControl(uint8_t c) { return c == kEot || c == kEnq || c == kAck || c == kBel || c == kNak || c == kSyn; }

uint8_t Xor(uint8_t start, const std::string& bytes, size_t from, size_t to) {
    uint8_t x = start;
    for (size_t i = from; i < to; ++i) x ^= static_cast<uint8_t>(bytes[i]);
    return x;
}

// The end of a data frame that starts at 0 (DLE STX): the index of its check
// byte, 0 while it is not whole, std::string::npos for a frame that starts
// over (DLE STX inside it; *restart its index).
size_t DataEnd(const std::string& in, size_t* restart) {
    for (size_t i = 2; i + 1 < in.size(); ++i) {
        if (static_cast<uint8_t>(in[i]) != kDle) continue;
        const uint8_t next = static_cast<uint8_t>(in[i + 1]);
        if (next == kEtx || next == kEtb) return i + 2 < in.size() ? i + 2 : 0;
        if (next == kStx) {
            *restart = i;
            return std::string::npos;
        }
        ++i;
    }
    return 0;
}

std::vector<std::string> Fields(const std::string& frame) {
    std::vector<std::string> out;
    std::string field;
    for (size_t i = 1; i + 2 < frame.size(); ++i) {
        if (frame[i] == '\0') {
            out.push_back(field);
            field.clear();
        } else {
            field += frame[i];
        }
    }
    return out;
}

bool IsFactoryCommand(uint8_t c) { return c == 0xAF || c == 0xFD || c == 0xFF || c == 0xF1 || c == 0xF4 || c == 0xFC; }

}  // namespace

void XaLinkHandler::endDialogue(const Dialogue& d) {
    dialogues_.push_back(d);
    ended_.notify_all();
}

bool XaLinkHandler::waitDialogues(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return dialogues_.size() >= n; });
}

void XaLinkHandler::problem(const std::string& why) {
    if (current_.problem.empty()) current_.problem = why;
}

void XaLinkHandler::sendControl(linesim::LineContext& line, uint8_t control) {
    std::vector<std::string> fields = {std::to_string(current_.direction), std::to_string(current_.exchange),
                                       current_.name};
    if (control == kEot) {
        fields.push_back(current_.application);
        fields.push_back(kNoLabel);
        fields.push_back(kNoLabel);
        fields.push_back("100");
    } else if (control == kAck && terminal_.scenario().ackFlags) {
        fields.push_back(std::string(1, static_cast<char>(*terminal_.scenario().ackFlags)));
    }
    line.send(ControlFrame(control, fields));
}

void XaLinkHandler::onBytes(linesim::LineContext& line, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    in_ += bytes;
    take(line);
}

void XaLinkHandler::take(linesim::LineContext& line) {
    while (!in_.empty()) {
        const uint8_t c = static_cast<uint8_t>(in_[0]);
        if (c == kDle) {
            if (in_.size() < 2) return;
            if (static_cast<uint8_t>(in_[1]) != kStx) {
                in_.erase(0, 1);
                continue;
            }
            size_t restart = 0;
            const size_t end = DataEnd(in_, &restart);
            if (end == std::string::npos) {
                in_.erase(0, restart);
                continue;
            }
            if (end == 0) return;
            const std::string frame = in_.substr(0, end + 1);
            in_.erase(0, end + 1);
            if (frame.size() > 3 && static_cast<uint8_t>(frame[2]) == 0x02 && IsFactoryCommand(static_cast<uint8_t>(frame[3])))
                onFactory(line, frame);
            else
                onData(line, frame);
            continue;
        }
        if (c == kAck && expectBareAck_) {
            in_.erase(0, 1);
            onBareAck(line);
            continue;
        }
        if (IsControl(c)) {
            const size_t etx = in_.find(static_cast<char>(kEtx), 1);
            if (etx == std::string::npos || etx + 1 >= in_.size()) return;
            const std::string frame = in_.substr(0, etx + 2);
            in_.erase(0, etx + 2);
            onControl(line, frame);
            continue;
        }
        in_.erase(0, 1);  // noise
    }
}

void XaLinkHandler::onControl(linesim::LineContext& line, const std::string& frame) {
    const uint8_t control = static_cast<uint8_t>(frame[0]);
    if (Xor(0xFF, frame, 1, frame.size() - 1) != static_cast<uint8_t>(frame.back())) {
        problem("control frame with a wrong check byte");
        return;
    }
    const std::vector<std::string> f = Fields(frame);
    const Scenario& s = terminal_.scenario();
    switch (control) {
        case kEnq: {
            if (f.size() < 5) return problem("ENQ without its fields");
            // An ENQ in the middle of a dialogue ends it (the program gave up);
            // one after a NAK or silence is the same opening again.
            if (mode_ != Mode::Idle) {
                endDialogue(current_);
                current_ = Dialogue{};
                mode_ = Mode::Idle;
                expectBareAck_ = false;
            }
            if (current_.enqs == 0) enqNaksLeft_ = -1;
            ++current_.enqs;
            current_.direction = std::atoi(f[0].c_str());
            current_.exchange = std::atoi(f[1].c_str());
            current_.name = f[2];
            current_.application = f[3];
            current_.keyIndex = std::atoi(f[4].c_str());
            if (enqNaksLeft_ < 0) enqNaksLeft_ = s.enqNaks;
            if (enqNaksLeft_ > 0) {
                --enqNaksLeft_;
                sendControl(line, kNak);
                return;
            }
            if (s.enqSilence) return;
            if (s.enqData) {
                line.send(DataFrame(2, 0, static_cast<uint8_t>(current_.exchange), s.header, {0x00}, true));
                return;
            }
            flags_ = s.ackFlags.value_or(0x40);
            expected_ = 0;
            sequence_ = 0;
            body_.clear();
            sendControl(line, kAck);
            const bool receive = (current_.direction & 1) != 0;
            if (!receive && s.control.count(current_.application) != 0) {
                current_.kind = 'C';
                sendControl(line, kEot);
                mode_ = Mode::WaitEot;
            } else if (receive && (!answerReady_ || s.fetchEot)) {
                current_.kind = 'E';
                sendControl(line, kEot);
                mode_ = Mode::WaitEot;
            } else if (receive) {
                current_.kind = 'R';
                mode_ = Mode::Sending;
                sent_ = 0;
                answerFaultDone_ = false;
                sendAnswerFrame(line);
            } else {
                current_.kind = 'S';
                mode_ = Mode::Receiving;
                frameNaksLeft_ = s.frameNaks;
            }
            return;
        }
        case kEot:
            current_.programEot = true;
            // The program closes: a dialogue it closes as initiator is
            // answered; the EOT of its own close as responder is not.
            if (mode_ == Mode::Sending && lastWasFinal_) {
                sendControl(line, kEot);
                answerReady_ = false;
                answer_.clear();
            }
            if (mode_ != Mode::Idle) {
                mode_ = Mode::Idle;
                endDialogue(current_);
                current_ = Dialogue{};
                expectBareAck_ = false;
                if (announceOnClose_) {
                    announceOnClose_ = false;
                    announce(line);
                }
            }
            return;
        case kNak:
            ++current_.naks;
            if (mode_ == Mode::Sending && !lastFrame_.empty()) {
                // The frame again (a faulty first one is sent right this time).
                if (!answerFaultDone_) {
                    answerFaultDone_ = true;
                    sendAnswerFrame(line);
                } else {
                    line.send(lastFrame_);
                }
            }
            return;
        case kBel:
        case kSyn:
        case kAck: return;
        default: return;
    }
}

void XaLinkHandler::onData(linesim::LineContext& line, const std::string& frame) {
    ++current_.dataFrames;
    const Scenario& s = terminal_.scenario();
    if (mode_ != Mode::Receiving) return problem("data frame outside a dialogue that sends");
    if (Xor(0x00, frame, 2, frame.size() - 1) != static_cast<uint8_t>(frame.back())) {
        problem("data frame with a wrong check byte");
        sendControl(line, kNak);
        return;
    }
    // Side, sequence, exchange (each doubled when DLE), header, '*'.
    const std::string inner = frame.substr(2, frame.size() - 5);
    size_t i = 0;
    const auto take = [&](bool doubled) -> int {
        if (i >= inner.size()) return -1;
        const uint8_t b = static_cast<uint8_t>(inner[i++]);
        if (doubled && b == kDle) {
            if (i >= inner.size() || static_cast<uint8_t>(inner[i]) != kDle) return -1;
            ++i;
        }
        return b;
    };
    const int side = take(false), seq = take(true), exch = take(true), header = take(false), star = take(false);
    const bool last = static_cast<uint8_t>(frame[frame.size() - 2]) == kEtx;
    if (side != 1 || star != '*' || header < 0) {
        problem("data frame of another shape");
        sendControl(line, kNak);
        return;
    }
    if (seq != expected_ || exch != (current_.exchange & 0xFF)) {
        problem("data frame out of sequence or of another exchange");
        sendControl(line, kNak);
        return;
    }
    if (frameNaksLeft_ > 0) {
        --frameNaksLeft_;
        sendControl(line, kNak);
        return;
    }
    ++expected_;
    const Bytes piece = Unescape(inner.substr(i));
    body_.insert(body_.end(), piece.begin(), piece.end());
    if (!last) {
        if (s.frameSyn) {
            line.send(ControlFrame(kSyn, {std::to_string(current_.direction), std::to_string(current_.exchange),
                                          current_.name}));
            line.startTimer(kBelTimer, s.belDelayMs);
        } else if ((flags_ & 0x40) != 0 && !s.frameSilence) {
            line.send(std::string(1, static_cast<char>(kAck)));
        }
        return;
    }
    requestDone(line);
    if ((flags_ & 0x10) != 0) {
        line.send(std::string(1, static_cast<char>(kAck)));
        mode_ = Mode::Idle;
        endDialogue(current_);
        current_ = Dialogue{};
        announce(line);
        return;
    }
    mode_ = Mode::WaitEot;
    announceOnClose_ = true;
    if (s.frameSilence)
        line.startTimer(kEotTimer, s.eotDelayMs);
    else
        sendControl(line, kEot);
}

void XaLinkHandler::requestDone(linesim::LineContext&) {
    Request r;
    r.raw = body_;
    const auto decoded = Decode(body_);
    if (decoded) r.message = *decoded;
    requests_.push_back(r);
    answer_ = decoded ? terminal_.answer(*decoded) : Bytes{};
    answerReady_ = false;
}

void XaLinkHandler::announce(linesim::LineContext& line) {
    if (answer_.empty()) return;
    const Scenario& s = terminal_.scenario();
    if (s.echoDelayMs > 0) {
        line.startTimer(kEchoTimer, s.echoDelayMs);
        return;
    }
    answerReady_ = true;
    if (!s.echo.empty()) line.send(s.echo);
}

void XaLinkHandler::sendAnswerFrame(linesim::LineContext& line) {
    const Scenario& s = terminal_.scenario();
    const size_t left = answer_.size() - sent_;
    piece_ = left < s.split ? left : s.split;
    const Bytes piece(answer_.begin() + static_cast<long>(sent_), answer_.begin() + static_cast<long>(sent_ + piece_));
    lastWasFinal_ = sent_ + piece_ >= answer_.size();
    const uint8_t exchange = static_cast<uint8_t>(current_.exchange);
    lastFrame_ = DataFrame(2, sequence_, exchange, s.header, piece, lastWasFinal_);
    std::string out = lastFrame_;
    if (!answerFaultDone_ && !s.answerFault.empty()) {
        const std::string& fault = s.answerFault;
        if (fault == "repeat") {
            out = DataFrame(2, static_cast<uint8_t>(sequence_ - 1), exchange, s.header, piece, lastWasFinal_);
        } else if (fault == "behind2") {
            out = DataFrame(2, static_cast<uint8_t>(sequence_ - 2), exchange, s.header, piece, lastWasFinal_);
        } else if (fault == "wrong-check") {
            out.back() = static_cast<char>(out.back() ^ 0x01);
        } else if (fault == "restart") {
            // A frame begun, then begun again: the check starts over.
            out = lastFrame_.substr(0, 6) + lastFrame_;
            answerFaultDone_ = true;
        } else if (fault == "stray-dle") {
            out = lastFrame_.substr(0, 7) + std::string{static_cast<char>(kDle), 'X'} + lastFrame_.substr(7);
        }
    }
    line.send(out);
    if (!lastWasFinal_ && (flags_ & 0x40) != 0) expectBareAck_ = true;
    if (lastWasFinal_ && (flags_ & 0x10) != 0) expectBareAck_ = true;
}

void XaLinkHandler::onBareAck(linesim::LineContext& line) {
    expectBareAck_ = false;
    ++current_.bareAcks;
    if (mode_ != Mode::Sending) return;
    answerFaultDone_ = true;
    sent_ += piece_;
    sequence_ = static_cast<uint8_t>(sequence_ + 1);
    if (lastWasFinal_) {
        // Flag 0x10: the final frame acknowledged ends the dialogue.
        answerReady_ = false;
        answer_.clear();
        mode_ = Mode::Idle;
        endDialogue(current_);
        current_ = Dialogue{};
        return;
    }
    sendAnswerFrame(line);
}

void XaLinkHandler::onFactory(linesim::LineContext& line, const std::string& frame) {
    const Scenario& s = terminal_.scenario();
    FactoryRequest r;
    r.frame = Bytes(frame.begin(), frame.end());
    r.command = static_cast<uint8_t>(frame[3]);
    r.checkOk = Xor(0x12, frame, 2, frame.size() - 1) == static_cast<uint8_t>(frame.back());
    termios t{};
    if (lineFd_ >= 0 && tcgetattr(lineFd_, &t) == 0) r.speed = static_cast<unsigned>(cfgetospeed(&t));
    factory_.push_back(r);
    Dialogue d;
    d.kind = 'F';
    d.dataFrames = 1;
    endDialogue(d);
    if (s.factorySilence || !r.checkOk) return;
    // DLE STX 02, the command again, DLE SO, the status, [DLE SI, data], DLE ETX.
    std::string inner{static_cast<char>(0x02), static_cast<char>(r.command), 0x00, static_cast<char>(kDle),
                      static_cast<char>(kSo)};
    inner += Escape({static_cast<uint8_t>(s.factoryStatus)});
    if (!s.factoryData.empty()) {
        inner += static_cast<char>(kDle);
        inner += static_cast<char>(kSi);
        inner += Escape(s.factoryData);
    }
    inner += static_cast<char>(kDle);
    inner += static_cast<char>(kEtx);
    uint8_t check = 0x12;
    for (unsigned char c : inner) check ^= c;
    const std::string answer = std::string{static_cast<char>(kDle), static_cast<char>(kStx)} + inner + static_cast<char>(check);
    if (s.factoryDelayMs > 0)
        line.sendLater(answer, s.factoryDelayMs);
    else
        line.send(answer);
    if (s.factoryEcho) line.sendLater(std::string("A\0", 2), s.factoryDelayMs + 100);
}

void XaLinkHandler::onTimer(linesim::LineContext& line, int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == kEotTimer && mode_ == Mode::WaitEot) sendControl(line, kEot);
    if (id == kBelTimer)
        line.send(ControlFrame(kBel, {std::to_string(current_.direction), std::to_string(current_.exchange),
                                      current_.name}));
    if (id == kEchoTimer) {
        answerReady_ = true;
        const Scenario& s = terminal_.scenario();
        if (!s.echo.empty()) line.send(s.echo);
    }
}

std::vector<Dialogue> XaLinkHandler::dialogues() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dialogues_;
}

std::vector<Request> XaLinkHandler::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<FactoryRequest> XaLinkHandler::factoryRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return factory_;
}

void XaLinkHandler::pushEvent(const Message& source) {
    std::lock_guard<std::mutex> lock(mutex_);
    terminal_.pushEvent(source);
}

DoranSim::DoranSim(Scenario scenario)
    : handler_(new XaLinkHandler(std::move(scenario))), sim_(std::unique_ptr<linesim::FrameHandler>(handler_)) {}

bool DoranSim::start() {
    if (!sim_.start()) return false;
    handler_->setLineDescriptor(sim_.slaveDescriptor());
    return true;
}

bool DoranSim::waitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        // Every step of the terminal follows bytes the program wrote.
        const size_t have = sim_.received().size();
        sim_.waitReceived(have + 1, 20);
    }
}

bool DoranSim::waitRequests(size_t n, int timeoutMs) {
    return waitFor([&] { return handler_->requests().size() >= n; }, timeoutMs);
}

bool DoranSim::waitDialogues(size_t n, int timeoutMs) { return handler_->waitDialogues(n, timeoutMs); }

}  // namespace doransim
