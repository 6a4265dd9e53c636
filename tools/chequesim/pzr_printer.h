// Cheque devices for the small terminal protocols, as handlers of the line
// simulator on a pseudo-terminal. Here the protocol-5 printer with a cheque
// station: it records every byte the program writes and answers a cheque
// read (1C 61 30 01) with the CMC7 line it "read", after a pause, whole or in
// two pieces; prints on the cheque, give-backs, ticket bytes, feeds and cuts
// get no answer, as on the device.
#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "linesim/line_sim.h"

namespace chequesim {

// The printer's read answer by default: its status byte 'A' (bit 0 set,
// bit 5 clear: a line was read), then the line in the printer's alphabet,
// which reads "D0012345D000123456789F987654321012B" on the host.
extern const std::string kPzrDefaultLine;
// The host form of a line in the printer's alphabet (spaces dropped, '#'
// 'C', '/' 'B', '=' 'D', '>' 'E', '^' 'F').
std::string PzrHostForm(const std::string& printerLine);

// Scenario file, one statement per line, '#' starts a comment:
//   line BYTES          the answer to the next read, status byte first
//                       (several lines answer the reads in turn, the last
//                       one all later reads); BYTES as line_sim reads them
//   no-line             the answer "@" (bit 0 clear: no line read)
//   pause MS            time from the read to the answer (30)
//   split N [gap=MS]    the answer in two pieces, N bytes then the rest
//                       MS later (3)
//   silence             reads get no answer
struct PzrScenario {
    std::vector<std::string> lines;
    int pauseMs = 30;
    size_t splitAt = 0;
    int gapMs = 3;
    bool silence = false;

    static std::optional<PzrScenario> Parse(const std::string& text, std::string* error);
    static std::optional<PzrScenario> FromFile(const std::string& path, std::string* error);
};

// The program's bytes cut into printer commands: the cheque read, the
// cheque print (99 bytes: header, 60-character line, trailer), the
// give-back, the feed and cut; the bytes between them are ticket text.
struct PzrCommand {
    enum class Kind { Read, ChequePrint, GiveBack, FeedAndCut, Text };
    Kind kind = Kind::Text;
    std::string bytes;
    // The 60 characters printed on the cheque (ChequePrint).
    std::string chequeLine() const { return bytes.size() == 99 ? bytes.substr(29, 60) : std::string(); }
};
std::vector<PzrCommand> SplitPzrCommands(const std::string& stream);
const char* PzrKindName(PzrCommand::Kind kind);

class PzrPrinterHandler : public linesim::FrameHandler {
public:
    explicit PzrPrinterHandler(PzrScenario scenario) : scenario_(std::move(scenario)) {}
    void onBytes(linesim::LineContext& line, const std::string& bytes) override;

    // From any thread.
    std::string received();
    std::vector<PzrCommand> commands() { return SplitPzrCommands(received()); }
    // Reads answered so far (their lines, as sent).
    std::vector<std::string> answers();
    // The program has written at least n bytes (false after timeoutMs).
    bool waitBytes(size_t n, int timeoutMs);

private:
    void answerRead(linesim::LineContext& line);

    std::mutex mutex_;
    std::condition_variable changed_;
    PzrScenario scenario_;
    std::string stream_;
    size_t scanned_ = 0;  // reads looked for up to here
    size_t reads_ = 0;
    std::vector<std::string> answers_;
};

// The printer on its own pseudo-terminal.
class PzrSim {
public:
    explicit PzrSim(PzrScenario scenario);
    bool start() { return sim_.start(); }
    const std::string& slaveName() const { return sim_.slaveName(); }
    linesim::LineSim& line() { return sim_; }
    PzrPrinterHandler& printer() { return *handler_; }

private:
    PzrPrinterHandler* handler_;
    linesim::LineSim sim_;
};

}  // namespace chequesim
