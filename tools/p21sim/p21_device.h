// P21 device simulator: the terminal end of the P21 link (protocol 11), as a
// handler of the line simulator on a pseudo-terminal.
//
// Takes the program's frames (STX, the message with DLE stuffing, ETX, the
// XOR check byte), unstuffs them, checks the XOR (a wrong one is answered
// NAK, or nothing with "bad-check silence"), and answers each good frame
// with a P21 frame chosen by the message's command ("DEV", "EFT", "DAR",
// "SYS", "END", "ACK", "TLV"): by default the command, FF, the message's
// identifier (its bytes 4 to 9) and "00". An ENQ is answered ACK, an EOT is
// passed over. Scripted answers may come late, with a wrong check byte,
// after a stray byte, or not at all; pushEvent sends a frame unasked.
#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "linesim/line_sim.h"

namespace p21sim {

struct AnswerRule {
    std::string command;  // the message's first three bytes, "*" any, "" the empty message
    std::string answer;   // the message answered (stuffed and framed on the way out)
    int delayMs = -1;     // -1: the scenario's delay
    bool wrongCheck = false;
    bool silence = false;
    std::string noise;  // bytes sent before the frame
    bool once = false;
};

// Scenario file, one statement per line, '#' starts a comment:
//   answer CMD => BYTES [delay=MS] [wrong-check] [noise=BYTES] [once]
//   answer CMD => silence [once]
//                        CMD: three characters, "*" any message, "empty"
//                        the empty message; BYTES as line_sim reads them
//                        ("quoted text" and hexadecimal)
//   delay MS             time before every answer (default 5)
//   bad-check nak|silence  what a frame with a wrong check byte gets (nak)
// A message no rule takes gets the default answer; the empty message gets
// none.
struct P21Scenario {
    std::vector<AnswerRule> rules;
    int delayMs = 5;
    bool nakBadCheck = true;

    static std::optional<P21Scenario> Parse(const std::string& text, std::string* error);
    static std::optional<P21Scenario> FromFile(const std::string& path, std::string* error);
};

// The frame of a message: STX, the stuffed message, ETX, the check byte
// (one bit off with wrongCheck).
std::string Frame(const std::string& message, bool wrongCheck = false);
// The default answer of a message: its command, FF, its identifier (bytes 4
// to 9, as many as it has) and "00"; none for the empty message.
std::string DefaultAnswer(const std::string& message);

// One frame as the device got it.
struct Exchange {
    std::string raw;      // STX to check byte, as received
    std::string message;  // unstuffed
    bool checkOk = true;
    std::string command;  // the message's first three bytes
    std::string answer;   // the message answered ("" none)
};

class P21Handler : public linesim::FrameHandler {
public:
    explicit P21Handler(P21Scenario scenario) : scenario_(std::move(scenario)) {}
    void onBytes(linesim::LineContext& line, const std::string& bytes) override;

    // From any thread.
    std::vector<Exchange> exchanges();
    // The program has sent n frames (false after timeoutMs).
    bool waitExchanges(size_t n, int timeoutMs);
    // Bytes received outside frames (control bytes and noise).
    std::string outside();

private:
    enum class State { Idle, Message, Escape, Check };
    void take(linesim::LineContext& line, unsigned char c);
    void frameDone(linesim::LineContext& line, unsigned char check);

    std::mutex mutex_;
    std::condition_variable changed_;
    P21Scenario scenario_;
    State state_ = State::Idle;
    std::string raw_;
    std::string message_;
    std::string outside_;
    std::vector<Exchange> exchanges_;
};

// The simulator on its own pseudo-terminal.
class P21Sim {
public:
    explicit P21Sim(P21Scenario scenario);
    bool start() { return sim_.start(); }
    const std::string& slaveName() const { return sim_.slaveName(); }
    linesim::LineSim& line() { return sim_; }
    std::vector<Exchange> exchanges() { return handler_->exchanges(); }
    // The program has sent n frames (false after timeoutMs).
    bool waitExchanges(size_t n, int timeoutMs) { return handler_->waitExchanges(n, timeoutMs); }
    // Sends a message framed, unasked (a late answer, an event).
    void pushEvent(const std::string& message) { sim_.inject(Frame(message)); }

private:
    P21Handler* handler_;
    linesim::LineSim sim_;
};

}  // namespace p21sim
