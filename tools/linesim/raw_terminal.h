// A terminal at the far end of the raw test link: the link of the stub
// command module that the terminal script engine's tests plug in until the
// real terminal protocols come (tests/support/stub_module.h).
//
// Raw frame, both ways: STX (02), a status byte (signed: the message state
// of the request, or of the answer: 2 final, 1 more answers follow), the
// payload length on two bytes (big-endian), the payload, then an LRC (the
// exclusive or of every byte before it).
//
// The handler records every request frame with its time stamp and answers
// by rules, one rule per request in order (an echo of the payload with
// status 2 once the rules run out). The answers of a script are held until
// its last message (status 11) or a request for answers (status 0), as a
// terminal answers a script once it has all of it.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "linesim/line_sim.h"

namespace linesim {

constexpr unsigned char kRawStx = 0x02;
constexpr int kRawHeader = 4;
constexpr int kRawPayloadMax = 12700;

// The bytes of a raw frame.
std::string RawFrame(int status, const std::string& payload);
// One frame at the start of bytes: the bytes it takes (0 while incomplete),
// with its status, payload and whether its LRC is right; -1 when the first
// byte is not STX or the length is over 12700 (the byte is not a frame).
int ParseRawFrame(const std::string& bytes, int* status, std::string* payload, bool* lrcOk);

struct RawRule {
    enum class Kind { Answer, Echo, Silence, HangUp };
    Kind kind = Kind::Echo;
    std::vector<std::pair<int, std::string>> answers;  // status and payload of each answer frame
    int delayMs = 0;                                    // before the first answer
};

// One rule per line ('#' starts a comment):
//   answer [status=N] [delay=MS] BYTES [| [status=N] BYTES]...
//   echo [delay=MS]      the payload back with status 2
//   silence              no answer to this request
//   hangup               hang the line up as this request comes
// BYTES as in scenarios ("text", hexadecimal bytes).
std::optional<std::vector<RawRule>> ParseRawRules(const std::string& text, std::string* error);

struct RawRequest {
    int64_t ms = 0;  // when it came (monotonic)
    int status = 0;
    std::string payload;
    bool lrcOk = true;
};

class RawTerminalHandler : public FrameHandler {
public:
    explicit RawTerminalHandler(std::vector<RawRule> rules = {}) : rules_(std::move(rules)) {}
    void onBytes(LineContext& line, const std::string& bytes) override;
    // Rules added while the line runs (any thread).
    void addRule(RawRule rule);
    // The requests so far (any thread).
    std::vector<RawRequest> requests() const;
    // True once n requests have come (false after timeoutMs).
    bool waitRequests(size_t n, int timeoutMs) const;

private:
    void answerScript(LineContext& line);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RawRule> rules_;
    size_t nextRule_ = 0;
    std::string pending_;
    std::vector<std::pair<RawRule, std::string>> script_;  // rule and request payload
    std::vector<RawRequest> requests_;
};

}  // namespace linesim
