#include "chequesim/cheque_reader.h"

#include <algorithm>
#include <chrono>

#include "netsim/acquirer.h"

namespace chequesim {

namespace {

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15;
constexpr int kAnswerTimer = 1;
constexpr int kEnqTimer = 2;
constexpr int kEnqTries = 4;

char XorOf(const std::string& bytes) {
    char x = 0;
    for (char c : bytes) x = static_cast<char>(x ^ c);
    return x;
}

std::optional<ChequeKind> KindWord(const std::string& w) {
    if (w == "read") return ChequeKind::Read;
    if (w == "print") return ChequeKind::Print;
    if (w == "give-back") return ChequeKind::GiveBack;
    return std::nullopt;
}

// What follows "=>" on a line, unquoted when quoted.
std::string AfterArrow(const std::string& line) {
    const size_t at = line.find("=>");
    std::string rest = at == std::string::npos ? std::string() : line.substr(at + 2);
    rest.erase(0, rest.find_first_not_of(" \t"));
    rest.erase(rest.find_last_not_of(" \t\r") + 1);
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') rest = rest.substr(1, rest.size() - 2);
    return rest;
}

}  // namespace

const std::string kChequeDefaultLine = "D0012345D000123456789F987654321012B";

const char* ChequeKindName(ChequeKind kind) {
    switch (kind) {
        case ChequeKind::Read: return "cheque read";
        case ChequeKind::Print: return "cheque print";
        case ChequeKind::GiveBack: return "give back";
        case ChequeKind::None: return "unknown request";
    }
    return "?";
}

std::string ChequeDeviceLine(int protocol, const std::string& hostLine) {
    std::string out;
    std::string line = hostLine;
    // Protocol 8's reader leaves out the leading 'D' of a 35-character line.
    if (protocol == 8 && line.size() == 35 && line[0] == 'D') line.erase(0, 1);
    for (char c : line) {
        switch (protocol) {
            case 6: {
                const std::string from = "BCDEF", to = ":;<=>";
                const size_t at = from.find(c);
                out += at == std::string::npos ? c : to[at];
                break;
            }
            case 7: {
                const std::string from = "?BCDEF", to = ":;<=>?";
                const size_t at = from.find(c);
                out += at == std::string::npos ? c : to[at];
                break;
            }
            default: out += c == 'B' ? 'A' : c == 'D' ? 'C' : c == 'F' ? 'E' : c; break;
        }
    }
    return out;
}

std::optional<ChequeScenario> ChequeScenario::Parse(const std::string& text, std::string* error) {
    ChequeScenario s;
    const bool read = netsim::ReadScriptLines(
        text, [&](const std::string& line, const std::vector<std::string>& w) -> std::string {
            auto count = [&](int* out) { return w.size() == 2 && linesim::ParseCount(w[1], out); };
            if (w[0] == "line") {
                if (w.size() != 2) return "line TEXT expected";
                std::string t = w[1];
                if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
                s.lines.push_back(t);
                return {};
            }
            if (w[0] == "no-line" && w.size() == 1) return s.noLine = true, std::string();
            if (w[0] == "error" && w.size() == 1) return s.error = true, std::string();
            if (w[0] == "busy" && w.size() == 1) return s.busy = true, std::string();
            if (w[0] == "wrong-check" && w.size() == 1) return s.wrongCheck = true, std::string();
            if (w[0] == "answer") {
                const auto kind = w.size() >= 3 ? KindWord(w[1]) : std::nullopt;
                if (!kind || w[2] != "=>") return "answer read|print|give-back => TEXT expected";
                s.answers[*kind] = AfterArrow(line);
                return {};
            }
            if (w[0] == "silence") {
                const auto kind = w.size() == 2 ? KindWord(w[1]) : std::nullopt;
                if (!kind) return "silence read|print|give-back expected";
                s.silent.push_back(*kind);
                return {};
            }
            if (w[0] == "delay") return count(&s.delayMs) ? std::string() : "delay MS expected";
            if (w[0] == "nak-enq") return count(&s.nakEnq) ? std::string() : "nak-enq N expected";
            if (w[0] == "nak-data") return count(&s.nakData) ? std::string() : "nak-data N expected";
            if (w[0] == "enq-retry") return count(&s.enqRetryMs) ? std::string() : "enq-retry MS expected";
            return "unknown statement '" + w[0] + "'";
        },
        error);
    if (!read) return std::nullopt;
    return s;
}

std::optional<ChequeScenario> ChequeScenario::FromFile(const std::string& path, std::string* error) {
    const std::optional<std::string> text = linesim::ReadTextFile(path, error);
    if (!text) return std::nullopt;
    return Parse(*text, error);
}

ChequeReaderHandler::ChequeReaderHandler(int protocol, ChequeScenario scenario)
    : protocol_(protocol), scenario_(std::move(scenario)) {}

ChequeKind ChequeReaderHandler::kindOf(const std::string& m) const {
    switch (protocol_) {
        case 6:
            if (m == "100") return ChequeKind::Read;
            if (m.size() == 88 && m.rfind("010e0000", 0) == 0) return ChequeKind::Print;
            if (m == "000") return ChequeKind::GiveBack;
            break;
        case 7:
            if (m == "910") return ChequeKind::Read;
            if (m.size() == 84 && m.rfind("w080", 0) == 0) return ChequeKind::Print;
            if (m == "8") return ChequeKind::GiveBack;
            break;
        default:
            if (m == "42" || m == "42?") return ChequeKind::Read;
            if ((m.size() == 72 && m.rfind("9e", 0) == 0) || (m.size() == 73 && m.rfind("19e", 0) == 0))
                return ChequeKind::Print;
            if (m == "4") return ChequeKind::GiveBack;
            break;
    }
    return ChequeKind::None;
}

std::string ChequeReaderHandler::answerFor(ChequeKind kind) {
    if (std::find(scenario_.silent.begin(), scenario_.silent.end(), kind) != scenario_.silent.end()) return {};
    const auto given = scenario_.answers.find(kind);
    if (given != scenario_.answers.end()) return given->second;
    const char* error = protocol_ == 6 ? "14020" : protocol_ == 7 ? "1" : "x1";
    if (kind == ChequeKind::None) return {};
    if (scenario_.error) return error;
    switch (kind) {
        case ChequeKind::Read: {
            ++reads_;
            if (scenario_.noLine) return protocol_ == 8 ? "x00" : error;
            const std::string host = scenario_.lines.empty() ? kChequeDefaultLine
                                     : static_cast<size_t>(reads_) <= scenario_.lines.size()
                                         ? scenario_.lines[static_cast<size_t>(reads_) - 1]
                                         : scenario_.lines.back();
            const std::string device = ChequeDeviceLine(protocol_, host);
            char n[8];
            std::snprintf(n, sizeof n, "%02zu", std::min<size_t>(device.size(), 99));
            if (protocol_ == 6) return "14010" + std::string(n) + device + " ";
            if (protocol_ == 7) return "9" + std::string(n) + device;
            return "x01" + std::string(11, '0') + device;
        }
        case ChequeKind::Print: return protocol_ == 6 ? "01010" : protocol_ == 7 ? "A0" : "x0";
        case ChequeKind::GiveBack: return protocol_ == 6 ? "04010" : protocol_ == 7 ? std::string() : "x0";
        case ChequeKind::None: break;
    }
    return {};
}

void ChequeReaderHandler::onBytes(linesim::LineContext& line, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (char c : bytes) onByte(line, static_cast<unsigned char>(c));
    changed_.notify_all();
}

void ChequeReaderHandler::onByte(linesim::LineContext& line, unsigned char c) {
    switch (state_) {
        case State::Idle:
        case State::HostEot:
            if (c == ENQ) {
                if (hostEnqs_++ < scenario_.nakEnq) {
                    line.send(std::string(1, NAK));
                    return;
                }
                line.cancelTimer(kAnswerTimer);
                line.send(std::string(1, ACK));
                state_ = State::HostFrame;
                frame_.clear();
                inFrame_ = checkNext_ = false;
                return;
            }
            if (c == EOT && state_ == State::HostEot) {
                state_ = State::Idle;
                if (!pending_.empty()) {
                    answer_ = pending_;
                    pending_.clear();
                    line.startTimer(kAnswerTimer, scenario_.delayMs);
                }
            }
            return;  // stray ACKs and EOTs of the host
        case State::HostFrame:
            if (checkNext_) {
                checkNext_ = false;
                inFrame_ = false;
                frame_ += static_cast<char>(c);
                frameDone(line);
                return;
            }
            if (!inFrame_) {
                if (c == STX) {
                    inFrame_ = true;
                    frame_.assign(1, STX);
                } else if (c == EOT) {
                    state_ = State::Idle;  // the host gave up its turn
                }
                return;
            }
            frame_ += static_cast<char>(c);
            if (c == ETX) checkNext_ = true;
            return;
        case State::DeviceEnq:
            if (c == ACK) {
                line.cancelTimer(kEnqTimer);
                state_ = State::DeviceFrame;
                const bool wrong = scenario_.wrongCheck && !wrongCheckSent_;
                wrongCheckSent_ = wrongCheckSent_ || wrong;
                sendAnswerFrame(line, wrong);
            } else if (c == ENQ) {
                // Both sides want the line: the host goes first.
                line.cancelTimer(kEnqTimer);
                pending_ = answer_;
                state_ = State::Idle;
                onByte(line, c);
            }
            return;
        case State::DeviceFrame:
            if (c == ACK) {
                line.send(std::string(1, EOT));
                state_ = State::Idle;
                ++delivered_;
                answer_.clear();
            } else if (c == NAK) {
                ++naks_;
                sendAnswerFrame(line, false);
            } else if (c == EOT) {
                state_ = State::Idle;  // the host gave up the turn
            }
            return;
    }
}

void ChequeReaderHandler::frameDone(linesim::LineContext& line) {
    // frame_: STX message ETX check
    const std::string body = frame_.substr(1, frame_.size() - 2);  // message and ETX
    const char check = frame_.back();
    if (XorOf(body) != check) {
        ++badFrames_;
        line.send(std::string(1, NAK));
        frame_.clear();
        return;
    }
    if (dataFrames_++ < scenario_.nakData) {
        line.send(std::string(1, NAK));
        frame_.clear();
        return;
    }
    line.send(std::string(1, ACK));
    ChequeRequest r;
    r.message = body.substr(0, body.size() - 1);
    r.kind = kindOf(r.message);
    if (r.kind == ChequeKind::Print) {
        const size_t head = protocol_ == 6 ? 8 : protocol_ == 7 ? 4 : r.message.size() - 70;
        r.printLine = r.message.substr(head);
    }
    if (scenario_.busy && !busySent_ && r.kind != ChequeKind::None && protocol_ == 8) {
        // The busy reader answers its first request so, the later ones as
        // usual.
        busySent_ = true;
        r.answer = " ";
    } else {
        r.answer = answerFor(r.kind);
    }
    pending_ = r.answer;
    requests_.push_back(r);
    state_ = State::HostEot;
}

void ChequeReaderHandler::startAnswer(linesim::LineContext& line, const std::string& answer) {
    answer_ = answer;
    enqSent_ = 1;
    state_ = State::DeviceEnq;
    line.send(std::string(1, ENQ));
    line.startTimer(kEnqTimer, scenario_.enqRetryMs);
}

void ChequeReaderHandler::sendAnswerFrame(linesim::LineContext& line, bool wrongCheck) {
    std::string frame(1, STX);
    frame += answer_;
    frame += ETX;
    char check = XorOf(answer_ + ETX);
    if (wrongCheck) check = static_cast<char>(check ^ 0x01);
    frame += check;
    line.send(frame);
}

void ChequeReaderHandler::onTimer(linesim::LineContext& line, int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id == kAnswerTimer && state_ == State::Idle && !answer_.empty()) {
        startAnswer(line, answer_);
    } else if (id == kEnqTimer && state_ == State::DeviceEnq) {
        if (enqSent_ >= kEnqTries) {
            // The host never took the answer: the reader gives up.
            line.send(std::string(1, EOT));
            state_ = State::Idle;
            answer_.clear();
        } else {
            ++enqSent_;
            line.send(std::string(1, ENQ));
            line.startTimer(kEnqTimer, scenario_.enqRetryMs);
        }
    }
    changed_.notify_all();
}

std::vector<ChequeRequest> ChequeReaderHandler::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool ChequeReaderHandler::waitRequests(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

size_t ChequeReaderHandler::answersDelivered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

bool ChequeReaderHandler::waitAnswersDelivered(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return delivered_ >= n; });
}

int ChequeReaderHandler::badFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return badFrames_;
}

int ChequeReaderHandler::naksReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    return naks_;
}

ChequeReaderSim::ChequeReaderSim(int protocol, ChequeScenario scenario)
    : handler_(new ChequeReaderHandler(protocol, std::move(scenario))),
      sim_(std::unique_ptr<linesim::FrameHandler>(handler_)) {}

}  // namespace chequesim
