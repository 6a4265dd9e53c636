// The cheque readers of protocols 6, 7 and 8 on the simple-frame link, as a
// handler of the line simulator on a pseudo-terminal.
//
// The host's turn: ENQ, answered ACK; the frame STX message ETX check,
// whose XOR check byte is verified (ACK, or NAK for a wrong one); EOT ends
// the turn. The request is recognised by protocol:
//   6  "100" read, "010e0000" + 80-character line print, "000" give back
//   7  "910" read, "w080" + 80-character line print, "8" give back
//   8  "42" or "42?" read, "9e" or "19e" + 70-character line print, "4"
//      give back
// and answered after a delay in the device's own turn: ENQ (again while no
// ACK comes, four times at most), the answer frame, the host's ACK (its NAK
// gets the frame again), EOT. Answers, with the CMC7 line in the device's
// alphabet (the host form "D0012345D000123456789F987654321012B" by default):
//   6  read "14010" "35" line " " (the line from offset 7, ':' ';' '<' '='
//      '>' for B to F); print "01010"; give back "04010"; error "14020"
//   7  read "9" "35" line (':' for '?', ';' '<' '=' '>' '?' for B to F);
//      print "A0"; give back: none; error "1"
//   8  read "x01" + 11 fillers + the line without its leading 'D' (A, C, E
//      for B, D, F); print and give back "x0"; busy " "; no line "x00";
//      error "x1"
#pragma once
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "linesim/line_sim.h"

namespace chequesim {

// The line every reader reads by default, in the host's form.
extern const std::string kChequeDefaultLine;

enum class ChequeKind { None, Read, Print, GiveBack };
const char* ChequeKindName(ChequeKind kind);

// The line in the alphabet of a protocol's device (as its read answer
// carries it), and back.
std::string ChequeDeviceLine(int protocol, const std::string& hostLine);

// Scenario file, one statement per line, '#' starts a comment:
//   line TEXT             the line of the reads, host form (several lines
//                         answer the reads in turn, the last one all later
//                         reads)
//   no-line               the reads find no line (8: "x00"; 6, 7: error)
//   error                 every request answered with the device's error
//   busy                  protocol 8: the first request is answered " "
//                         (busy), the later ones as usual
//   answer KIND => TEXT   the answer to read | print | give-back, as given
//   silence KIND          no answer to that kind
//   delay MS              time from the host's EOT to the device's ENQ (20)
//   nak-enq N             the host's first N ENQs answered NAK
//   nak-data N            the host's first N good frames answered NAK
//   wrong-check           the first answer frame goes with a wrong check
//                         byte (the host's NAK gets it again)
//   enq-retry MS          time before the device's ENQ goes again (300)
struct ChequeScenario {
    std::vector<std::string> lines;
    bool noLine = false;
    bool error = false;
    bool busy = false;
    std::map<ChequeKind, std::string> answers;
    std::vector<ChequeKind> silent;
    int delayMs = 20;
    int nakEnq = 0;
    int nakData = 0;
    bool wrongCheck = false;
    int enqRetryMs = 300;

    static std::optional<ChequeScenario> Parse(const std::string& text, std::string* error);
    static std::optional<ChequeScenario> FromFile(const std::string& path, std::string* error);
};

// One request of the host as the reader took it.
struct ChequeRequest {
    ChequeKind kind = ChequeKind::None;
    std::string message;  // between STX and ETX
    std::string answer;   // what the reader answered ("" none)
    // The line printed on the cheque (print requests).
    std::string printLine;
};

class ChequeReaderHandler : public linesim::FrameHandler {
public:
    ChequeReaderHandler(int protocol, ChequeScenario scenario);
    void onBytes(linesim::LineContext& line, const std::string& bytes) override;
    void onTimer(linesim::LineContext& line, int id) override;

    // From any thread.
    std::vector<ChequeRequest> requests();
    // The n-th request has come (false after timeoutMs).
    bool waitRequests(size_t n, int timeoutMs);
    // Answers whose frame the host acknowledged and whose turn the reader
    // closed with EOT.
    size_t answersDelivered();
    bool waitAnswersDelivered(size_t n, int timeoutMs);
    // Frames of the host NAKed for a wrong check byte, NAKs of the host.
    int badFrames();
    int naksReceived();

private:
    enum class State { Idle, HostFrame, HostEot, DeviceEnq, DeviceFrame };
    void onByte(linesim::LineContext& line, unsigned char c);
    void frameDone(linesim::LineContext& line);
    void startAnswer(linesim::LineContext& line, const std::string& answer);
    void sendAnswerFrame(linesim::LineContext& line, bool wrongCheck);
    std::string answerFor(ChequeKind kind);
    ChequeKind kindOf(const std::string& message) const;

    std::mutex mutex_;
    std::condition_variable changed_;
    int protocol_;
    ChequeScenario scenario_;
    State state_ = State::Idle;
    std::string frame_;
    bool inFrame_ = false;
    bool checkNext_ = false;
    std::vector<ChequeRequest> requests_;
    std::string pending_;  // the answer of the request whose turn is ending
    std::string answer_;   // the answer in its turn
    int enqSent_ = 0;
    int hostEnqs_ = 0;
    int dataFrames_ = 0;
    int reads_ = 0;
    bool wrongCheckSent_ = false;
    bool busySent_ = false;
    size_t delivered_ = 0;
    int badFrames_ = 0;
    int naks_ = 0;
};

// A reader on its own pseudo-terminal.
class ChequeReaderSim {
public:
    ChequeReaderSim(int protocol, ChequeScenario scenario);
    bool start() { return sim_.start(); }
    const std::string& slaveName() const { return sim_.slaveName(); }
    linesim::LineSim& line() { return sim_; }
    ChequeReaderHandler& reader() { return *handler_; }

private:
    ChequeReaderHandler* handler_;
    linesim::LineSim sim_;
};

}  // namespace chequesim
