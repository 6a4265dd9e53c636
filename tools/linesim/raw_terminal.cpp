// Terminal of the raw test link.
#include "linesim/raw_terminal.h"

#include <chrono>
#include <cstdlib>

#include "netsim/acquirer.h"

namespace linesim {

namespace {

// Pieces of a rule line outside double quotes: split at '|', then at blanks.
std::vector<std::vector<std::string>> Parts(const std::string& rest) {
    std::vector<std::vector<std::string>> parts(1);
    std::string word;
    bool quoted = false;
    auto flush = [&] {
        if (!word.empty()) parts.back().push_back(word);
        word.clear();
    };
    for (char c : rest) {
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '|') {
            flush();
            parts.emplace_back();
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            flush();
        } else {
            word.push_back(c);
        }
    }
    flush();
    return parts;
}

bool Number(const std::string& text, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == nullptr || *end != '\0') return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

std::string RawFrame(int status, const std::string& payload) {
    std::string frame;
    frame.push_back(static_cast<char>(kRawStx));
    frame.push_back(static_cast<char>(status));
    frame.push_back(static_cast<char>((payload.size() >> 8) & 0xFF));
    frame.push_back(static_cast<char>(payload.size() & 0xFF));
    frame += payload;
    unsigned char lrc = 0;
    for (unsigned char c : frame) lrc ^= c;
    frame.push_back(static_cast<char>(lrc));
    return frame;
}

int ParseRawFrame(const std::string& bytes, int* status, std::string* payload, bool* lrcOk) {
    if (bytes.empty()) return 0;
    if (static_cast<unsigned char>(bytes[0]) != kRawStx) return -1;
    if (bytes.size() < static_cast<size_t>(kRawHeader)) return 0;
    const size_t length = static_cast<size_t>(static_cast<unsigned char>(bytes[2])) << 8 |
                          static_cast<unsigned char>(bytes[3]);
    if (length > static_cast<size_t>(kRawPayloadMax)) return -1;
    const size_t total = kRawHeader + length + 1;
    if (bytes.size() < total) return 0;
    unsigned char lrc = 0;
    for (size_t i = 0; i + 1 < total; ++i) lrc ^= static_cast<unsigned char>(bytes[i]);
    if (status != nullptr) *status = static_cast<signed char>(bytes[1]);
    if (payload != nullptr) *payload = bytes.substr(kRawHeader, length);
    if (lrcOk != nullptr) *lrcOk = lrc == static_cast<unsigned char>(bytes[total - 1]);
    return static_cast<int>(total);
}

std::optional<std::vector<RawRule>> ParseRawRules(const std::string& text, std::string* error) {
    std::vector<RawRule> rules;
    const bool read = netsim::ReadScriptLines(
        text,
        [&](const std::string& line, const std::vector<std::string>& words) -> std::string {
            const std::string& verb = words[0];
            RawRule rule;
            if (verb == "echo") {
                rule.kind = RawRule::Kind::Echo;
            } else if (verb == "silence") {
                rule.kind = RawRule::Kind::Silence;
            } else if (verb == "hangup") {
                rule.kind = RawRule::Kind::HangUp;
            } else if (verb != "answer") {
                return "unknown step " + verb;
            } else {
                rule.kind = RawRule::Kind::Answer;
            }
            const std::string rest = line.substr(line.find(verb) + verb.size());
            for (const std::vector<std::string>& part : Parts(rest)) {
                int status = 2;
                std::string bytesText;
                for (const std::string& token : part) {
                    const size_t eq = token.find('=');
                    if (eq == std::string::npos) {
                        bytesText += token + " ";
                        continue;
                    }
                    int value = 0;
                    if (!Number(token.substr(eq + 1), &value)) return "bad value in " + token;
                    const std::string name = token.substr(0, eq);
                    if (name == "status") status = value;
                    else if (name == "delay") rule.delayMs = value;
                    else return "unknown option " + name;
                }
                if (rule.kind != RawRule::Kind::Answer) {
                    if (!bytesText.empty()) return verb + " takes no bytes";
                    continue;
                }
                const std::optional<std::string> bytes = ParseBytes(bytesText);
                if (!bytes) return "bad bytes";
                if (bytes->size() > static_cast<size_t>(kRawPayloadMax)) return "payload over 12700 bytes";
                rule.answers.emplace_back(status, *bytes);
            }
            rules.push_back(std::move(rule));
            return "";
        },
        error);
    if (!read) return std::nullopt;
    return rules;
}

void RawTerminalHandler::addRule(RawRule rule) {
    std::lock_guard<std::mutex> g(mutex_);
    rules_.push_back(std::move(rule));
}

std::vector<RawRequest> RawTerminalHandler::requests() const {
    std::lock_guard<std::mutex> g(mutex_);
    return requests_;
}

bool RawTerminalHandler::waitRequests(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

void RawTerminalHandler::answerScript(LineContext& line) {
    int delay = 0;
    for (const auto& [rule, payload] : script_) {
        delay += rule.delayMs;
        switch (rule.kind) {
            case RawRule::Kind::Echo:
                line.sendLater(RawFrame(2, payload), delay);
                break;
            case RawRule::Kind::Answer:
                for (const auto& [status, bytes] : rule.answers) line.sendLater(RawFrame(status, bytes), delay);
                break;
            case RawRule::Kind::Silence:
            case RawRule::Kind::HangUp:
                break;
        }
    }
    script_.clear();
}

void RawTerminalHandler::onBytes(LineContext& line, const std::string& bytes) {
    pending_ += bytes;
    for (;;) {
        int status = 0;
        std::string payload;
        bool lrcOk = true;
        const int taken = ParseRawFrame(pending_, &status, &payload, &lrcOk);
        if (taken == 0) return;
        if (taken < 0) {
            pending_.erase(0, 1);  // not a frame start
            continue;
        }
        pending_.erase(0, static_cast<size_t>(taken));
        RawRule rule;
        {
            std::lock_guard<std::mutex> g(mutex_);
            requests_.push_back({line.nowMs(), status, payload, lrcOk});
            if (nextRule_ < rules_.size()) rule = rules_[nextRule_++];
        }
        changed_.notify_all();
        if (!lrcOk) continue;  // a damaged request is not answered
        if (rule.kind == RawRule::Kind::HangUp) {
            script_.clear();
            line.hangUp();
            return;
        }
        script_.emplace_back(rule, payload);
        // The first message of a script (10) waits for the rest of it.
        if (status != 10) answerScript(line);
    }
}

}  // namespace linesim
