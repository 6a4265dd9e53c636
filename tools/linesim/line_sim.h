// Byte-level line simulator: the far end of a serial line, on the master side
// of a pseudo-terminal whose slave the program opens as its serial device.
//
// LineSim runs one FrameHandler in its own thread: the handler gets the bytes
// the program writes, answers through a LineContext (bytes now or after a
// delay, timers, hang-up) and says when its scenario is over. Every byte each
// way is recorded with a monotonic time stamp. Handlers: ScenarioHandler
// (expect, send, delays, silence, corruption, from a scenario file),
// ModemHandler (AT commands), PadHandler (X.28 PAD calls); later terminal
// simulators are handlers of their own.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace linesim {

// A pseudo-terminal pair. The slave is kept open here as well (raw), so that
// the program may open and close it at will without the line hanging up.
class PtyPair {
public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool open();
    int master() const { return master_; }
    // Our own descriptor of the slave (tests read its settings back).
    int slave() const { return slave_; }
    const std::string& slaveName() const { return slaveName_; }
    // Hangs the line up: the program's reads and writes fail from then on.
    void closeMaster();
    void close();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

// One recorded piece of the line: 'i' bytes the program wrote (into the
// simulator), 'o' bytes the simulator sent to the program, 'h' the hang-up.
struct Record {
    int64_t us = 0;  // microseconds since the simulator started (monotonic)
    char direction = 'i';
    std::string bytes;
};
// "    12.345 ms in  41 54 5a 0d" per record.
std::string FormatRecords(const std::vector<Record>& records);

class LineContext {
public:
    virtual ~LineContext() = default;
    virtual void send(const std::string& bytes) = 0;
    virtual void sendLater(const std::string& bytes, int delayMs) = 0;
    virtual void startTimer(int id, int delayMs) = 0;
    virtual void cancelTimer(int id) = 0;
    virtual void hangUp() = 0;
    // The scenario is over: "" when it went as written, else what went wrong.
    virtual void finish(const std::string& outcome) = 0;
    virtual int64_t nowMs() const = 0;
};

// What sits at the far end of the line.
class FrameHandler {
public:
    virtual ~FrameHandler() = default;
    virtual void onStart(LineContext& line) {}
    virtual void onBytes(LineContext& line, const std::string& bytes) = 0;
    virtual void onTimer(LineContext& line, int id) {}
};

// Runs a handler on a fresh pseudo-terminal pair.
class LineSim {
public:
    explicit LineSim(std::unique_ptr<FrameHandler> handler);
    ~LineSim();
    LineSim(const LineSim&) = delete;
    LineSim& operator=(const LineSim&) = delete;

    bool start();
    void stop();
    const std::string& slaveName() const { return pty_.slaveName(); }
    int slaveDescriptor() const { return pty_.slave(); }
    // Sends bytes from outside the handler (any thread).
    void inject(const std::string& bytes);
    // The handler's outcome once it finished ("" all went as written);
    // "not finished" after timeoutMs.
    std::string wait(int timeoutMs);
    bool finished();
    std::vector<Record> records();
    // Every byte the program wrote so far.
    std::string received();
    // True once the program wrote at least n bytes (false after timeoutMs).
    bool waitReceived(size_t n, int timeoutMs);
    // True once the program has read every byte sent to it (false after
    // timeoutMs): a hang-up or the end of the simulator would drop them.
    bool waitDelivered(int timeoutMs);
    // True once at least n bytes sent to the program wait unread in its
    // input queue (false after timeoutMs): what inject sent is there to read.
    bool waitQueued(size_t n, int timeoutMs);
    // True once the line was hung up (false after timeoutMs).
    bool waitHungUp(int timeoutMs);

private:
    class Context;
    void run();
    void writeOut(const std::string& bytes);
    void hangUpLine();

    PtyPair pty_;
    std::unique_ptr<FrameHandler> handler_;
    std::thread thread_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Record> records_;
    std::string received_;
    std::string injected_;
    bool done_ = false;
    bool hungUp_ = false;
    std::string outcome_;
    int64_t startUs_ = 0;
};

// Bytes of a script text: "quoted text" (with \r \n \t \0 \\ \xHH) and
// hexadecimal bytes ("41 0d", "410D"), in any order; nothing when invalid.
std::optional<std::string> ParseBytes(const std::string& text);
std::string Hex(const std::string& bytes);
// The words of a statement's text, double quotes kept (a quoted text is one
// word): those holding '=' and those listed in flags are its options, the
// others, joined by blanks, its bytes text (for ParseBytes).
struct BytesAndOptions {
    std::string bytes;
    std::vector<std::string> options;
};
BytesAndOptions SplitBytesAndOptions(const std::string& text, const std::vector<std::string>& flags);

// --- Scenario ---------------------------------------------------------------
//
// One step per line ('#' starts a comment):
//   expect BYTES [timeout=MS]   the next bytes from the program are these
//   expect-any N [timeout=MS]   the next N bytes, whatever they are
//   send BYTES [delay=MS] [gap=MS] [bytewise] [corrupt=I[:MASK]]
//   pause MS                    wait (bytes that come are kept for the next expect)
//   silence MS                  drop whatever comes for MS, answer nothing
//   hangup                      hang the line up
//   timeout MS                  default time of the following expects (5000)
struct ScenarioStep {
    enum class Kind { Expect, ExpectAny, Send, Pause, Silence, HangUp, Timeout };
    Kind kind = Kind::Send;
    std::string bytes;
    size_t count = 0;
    int ms = -1;     // expect time (-1: the default), pause, silence, timeout
    int delayMs = 0; // send: before the first byte
    int gapMs = 0;   // send: between pieces
    bool bytewise = false;
    int corruptAt = -1;  // send: index of the byte to corrupt
    uint8_t corruptMask = 0x01;
    int line = 0;
};
std::optional<std::vector<ScenarioStep>> ParseScenario(const std::string& text, std::string* error);
std::optional<std::vector<ScenarioStep>> ScenarioFromFile(const std::string& path, std::string* error);

class ScenarioHandler : public FrameHandler {
public:
    explicit ScenarioHandler(std::vector<ScenarioStep> steps) : steps_(std::move(steps)) {}
    void onStart(LineContext& line) override;
    void onBytes(LineContext& line, const std::string& bytes) override;
    void onTimer(LineContext& line, int id) override;

private:
    void advance(LineContext& line);
    bool tryExpect(LineContext& line);
    void fail(LineContext& line, const std::string& why);

    std::vector<ScenarioStep> steps_;
    size_t next_ = 0;
    std::string pending_;
    int defaultTimeoutMs_ = 5000;
    bool waiting_ = false;   // an expect waits for bytes
    bool silent_ = false;    // bytes are dropped
    bool over_ = false;
};

// --- Modem --------------------------------------------------------------------
//
// Hayes commands ended by CR, echoed unless ATE0; verbose results between
// CR LF: AT, ATZ, AT&F, ATE0/1, ATH, ATS.., ATX.., ATV1, ATQ0, ATM.., ATL..
// answer OK; ATD<number> answers after the dial delay with the connect text
// or the result set for that number ("NO CARRIER", "BUSY", "NO DIALTONE",
// "NO ANSWER", "ERROR", or "SILENT" for nothing); anything else ERROR.
// Connected, the bytes go to the data handler (nothing when none); "+++"
// goes back to commands (OK); dropAfterMs > 0 drops the carrier ("NO
// CARRIER") that long after the connection.
struct ModemOptions {
    bool echo = true;
    std::string connectText = "CONNECT 9600";
    std::map<std::string, std::string> dialResults;
    std::string defaultDial = "CONNECT";
    int dialDelayMs = 50;
    int replyDelayMs = 0;
    int dropAfterMs = 0;
};

class ModemHandler : public FrameHandler {
public:
    explicit ModemHandler(ModemOptions options, std::unique_ptr<FrameHandler> data = nullptr);
    void onBytes(LineContext& line, const std::string& bytes) override;
    void onTimer(LineContext& line, int id) override;
    bool connected() const { return connected_; }
    // The commands received, in order (without their CR); from any thread.
    std::vector<std::string> commands() const;

private:
    void command(LineContext& line, const std::string& text);
    void reply(LineContext& line, const std::string& word);

    ModemOptions options_;
    std::unique_ptr<FrameHandler> data_;
    bool echo_;
    bool connected_ = false;
    std::string line_;
    std::string escape_;
    std::string dialResult_;
    mutable std::mutex mutex_;
    std::vector<std::string> commands_;
};

// --- PAD ----------------------------------------------------------------------
//
// X.28 PAD as the program calls it: a "SET..." line answers CR LF; a call
// line "<address>[D<data>]" answers after the call delay with "COM" (or the
// result set for that address, e.g. "LIB 00"); with a password set, the
// next line must be it (answer CR LF BEL TAB; a wrong one gets no answer).
// Then the bytes go to the data handler. Bit 7 of what comes is dropped
// (7-bit line). clearAfterMs > 0 clears the call ("LIB 00") that long after
// it was set up.
struct PadOptions {
    std::string password;
    std::map<std::string, std::string> callResults;
    int callDelayMs = 50;
    int clearAfterMs = 0;
};

class PadHandler : public FrameHandler {
public:
    explicit PadHandler(PadOptions options, std::unique_ptr<FrameHandler> data = nullptr);
    void onBytes(LineContext& line, const std::string& bytes) override;
    void onTimer(LineContext& line, int id) override;
    // The lines received, in order (without their CR); from any thread.
    std::vector<std::string> lines() const;

private:
    enum class State { Command, Password, Data };
    void takeLine(LineContext& line, const std::string& text);

    PadOptions options_;
    std::unique_ptr<FrameHandler> data_;
    State state_ = State::Command;
    std::string line_;
    std::string callResult_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Echoes every byte back (a loop-back plug).
class EchoHandler : public FrameHandler {
public:
    void onBytes(LineContext& line, const std::string& bytes) override { line.send(bytes); }
};

// Writes the device into the "Driver" key of a resource configuration file
// and signs the file again (a missing file is created). Empty, or why not.
std::string SetDriver(const std::string& configPath, const std::string& device);

// --- Helpers of the simulators' scenario files and programs -----------------

// The whole text of a file; nothing, with why in error, when it cannot be
// read.
std::optional<std::string> ReadTextFile(const std::string& path, std::string* error);
// A decimal count (0 or more) that is the whole text; false otherwise.
bool ParseCount(const std::string& text, int* out);
// For a simulator program on its pseudo-terminal: writes the slave into the
// "Driver" of driverConfig when one is given, then prints "<name> slave
// <device>". False, with the reason on stderr, when the configuration
// cannot be written.
bool AnnounceSlave(const char* name, const std::string& slave, const std::string& driverConfig);
// SIGINT and SIGTERM ask the program to stop: StopAsked() turns true.
void CatchStopSignals();
bool StopAsked();
// A simulator program's scenario (a type with Parse(text, error) and
// FromFile(path, error)): read from the file, or the empty one without a
// path; nothing, with the reason on stderr, when it does not read.
template <typename Scenario>
std::optional<Scenario> LoadScenario(const char* name, const std::string& path) {
    std::string error;
    std::optional<Scenario> scenario = path.empty() ? Scenario::Parse("", &error) : Scenario::FromFile(path, &error);
    if (!scenario) std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return scenario;
}

}  // namespace linesim
