#include "p21sim/p21_device.h"

#include <chrono>

#include "netsim/acquirer.h"

namespace p21sim {

namespace {

constexpr char STX = 0x02, ETX = 0x03, ENQ = 0x05, ACK = 0x06, DLE = 0x10, NAK = 0x15;

std::string Answer(const std::string& line, const std::string& right, AnswerRule* rule) {
    const linesim::BytesAndOptions split = linesim::SplitBytesAndOptions(right, {"wrong-check", "silence", "once"});
    for (const std::string& o : split.options) {
        const size_t eq = o.find('=');
        const std::string name = o.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : o.substr(eq + 1);
        if (name == "wrong-check") rule->wrongCheck = true;
        else if (name == "silence") rule->silence = true;
        else if (name == "once") rule->once = true;
        else if (name == "delay") {
            if (!linesim::ParseCount(value, &rule->delayMs)) return "cannot read delay= of '" + line + "'";
        } else if (name == "noise") {
            auto noise = linesim::ParseBytes(value);
            if (!noise || noise->empty()) return "cannot read noise= of '" + line + "'";
            rule->noise = *noise;
        } else {
            return "unknown option '" + o + "'";
        }
    }
    if (rule->silence) {
        if (!split.bytes.empty()) return "an answer of silence takes no bytes";
        return {};
    }
    auto bytes = linesim::ParseBytes(split.bytes);
    if (!bytes) return "cannot read the answer of '" + line + "'";
    rule->answer = *bytes;
    return {};
}

}  // namespace

std::optional<P21Scenario> P21Scenario::Parse(const std::string& text, std::string* error) {
    P21Scenario s;
    const bool read = netsim::ReadScriptLines(
        text, [&](const std::string& line, const std::vector<std::string>& w) -> std::string {
            if (w[0] == "delay") {
                if (w.size() != 2 || !linesim::ParseCount(w[1], &s.delayMs)) return "delay MS expected";
                return {};
            }
            if (w[0] == "bad-check") {
                if (w.size() != 2 || (w[1] != "nak" && w[1] != "silence")) return "bad-check nak|silence expected";
                s.nakBadCheck = w[1] == "nak";
                return {};
            }
            if (w[0] == "answer") {
                const size_t arrow = line.find("=>");
                if (arrow == std::string::npos || w.size() < 3) return "answer CMD => BYTES expected";
                AnswerRule rule;
                rule.command = w[1] == "empty" ? "" : w[1];
                if (rule.command.size() != 3 && rule.command != "*" && !rule.command.empty())
                    return "a command has three characters";
                const std::string why = Answer(line, line.substr(arrow + 2), &rule);
                if (!why.empty()) return why;
                s.rules.push_back(rule);
                return {};
            }
            return "unknown statement '" + w[0] + "'";
        },
        error);
    if (!read) return std::nullopt;
    return s;
}

std::optional<P21Scenario> P21Scenario::FromFile(const std::string& path, std::string* error) {
    const std::optional<std::string> text = linesim::ReadTextFile(path, error);
    if (!text) return std::nullopt;
    return Parse(*text, error);
}

std::string Frame(const std::string& message, bool wrongCheck) {
    std::string out(1, STX);
    unsigned char check = 0;
    for (char c : message) {
        if (c == DLE || c == ETX) out += DLE;
        out += c;
        check ^= static_cast<unsigned char>(c);
    }
    out += ETX;
    out += static_cast<char>(wrongCheck ? check ^ 0x01 : check);
    return out;
}

std::string DefaultAnswer(const std::string& message) {
    if (message.empty()) return {};
    std::string out = message.substr(0, 3);
    out += static_cast<char>(0xFF);
    if (message.size() > 4) out += message.substr(4, 6);
    out += "00";
    return out;
}

void P21Handler::onBytes(linesim::LineContext& line, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (char c : bytes) take(line, static_cast<unsigned char>(c));
}

void P21Handler::take(linesim::LineContext& line, unsigned char c) {
    switch (state_) {
        case State::Idle:
            if (c == STX) {
                raw_.assign(1, STX);
                message_.clear();
                state_ = State::Message;
                return;
            }
            outside_ += static_cast<char>(c);
            if (c == ENQ) line.send(std::string(1, ACK));
            return;
        case State::Message:
            raw_ += static_cast<char>(c);
            if (c == DLE) state_ = State::Escape;
            else if (c == ETX) state_ = State::Check;
            else message_ += static_cast<char>(c);
            return;
        case State::Escape:
            raw_ += static_cast<char>(c);
            message_ += static_cast<char>(c);
            state_ = State::Message;
            return;
        case State::Check:
            raw_ += static_cast<char>(c);
            state_ = State::Idle;
            frameDone(line, c);
            return;
    }
}

void P21Handler::frameDone(linesim::LineContext& line, unsigned char check) {
    Exchange e;
    e.raw = raw_;
    e.message = message_;
    unsigned char x = 0;
    for (char c : message_) x ^= static_cast<unsigned char>(c);
    e.checkOk = x == check;
    e.command = message_.substr(0, 3);
    if (!e.checkOk) {
        if (scenario_.nakBadCheck) line.send(std::string(1, NAK));
        exchanges_.push_back(e);
        changed_.notify_all();
        return;
    }
    AnswerRule rule;
    rule.answer = DefaultAnswer(message_);
    rule.silence = message_.empty();
    for (auto it = scenario_.rules.begin(); it != scenario_.rules.end(); ++it) {
        const bool empty = it->command.empty() && message_.empty();
        if (empty || it->command == "*" || (!it->command.empty() && it->command == e.command)) {
            rule = *it;
            if (it->once) scenario_.rules.erase(it);
            break;
        }
    }
    if (!rule.silence) {
        e.answer = rule.answer;
        const std::string out = rule.noise + Frame(rule.answer, rule.wrongCheck);
        const int delay = rule.delayMs >= 0 ? rule.delayMs : scenario_.delayMs;
        if (delay > 0) line.sendLater(out, delay);
        else line.send(out);
    }
    exchanges_.push_back(e);
    changed_.notify_all();
}

std::vector<Exchange> P21Handler::exchanges() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exchanges_;
}

std::string P21Handler::outside() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outside_;
}

P21Sim::P21Sim(P21Scenario scenario)
    : handler_(new P21Handler(std::move(scenario))), sim_(std::unique_ptr<linesim::FrameHandler>(handler_)) {}

bool P21Handler::waitExchanges(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return exchanges_.size() >= n; });
}

}  // namespace p21sim
