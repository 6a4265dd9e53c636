// DORAN terminal simulator: the terminal end (side 2) of the XA link, as a
// handler of the line simulator (on a pseudo-terminal), with the DORAN
// message dispatcher apart from the link. Its frame codec is written here on
// its own, so that it can stand as the oracle of the program's.
//
// Link (XaLinkHandler): answers the program's ENQ with ACK (with the flags
// field the scenario gives, or none), checks every frame it gets (check
// byte, side 1, sequence, exchange), acknowledges data frames as the flags
// ask (a bare ACK after ETB frames with 0x40, after the final frame with
// 0x10), closes with EOT after the program's final frame (no 0x10), and
// answers the program's EOT. An ENQ whose direction value is odd asks for
// the terminal's answer: the answer ready is sent in frames of at most
// `split` bytes; with none ready the terminal refuses (ACK then EOT). An
// ENQ whose Application is a control code (4018, 9001 ...) is acknowledged
// and closed at once. Once a request dialogue closed, the answer is
// announced with the echo bytes ('A' 0 by default). Frames of application
// "1030" (DLE STX 02 and a factory command) get the factory answer, and
// the line speed the program set at that moment is recorded (tcgetattr).
// Faults on request: NAKs, silence, a data frame for ENQ, SYN then BEL, a
// frame repeated (one behind) or two behind, a wrong check byte, a frame
// started over (DLE STX inside it), a stray DLE pair, a refusal (EOT).
//
// Dispatcher (DoranTerminal): the answer message of each request, by
// peripheral and command: dialogue (0x40), event (0xA1 0x20, from the queue
// of scripted events, each for a source the request asked), application
// list (0xA1 0x10), terminal information (0xA1 0x60, both modes), EMV data
// (0x2801 4, operation 30), online PIN, terminal calls 61 and 62, and
// scripted answers for anything else.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cardsim/emv_card.h"
#include "linesim/line_sim.h"

namespace doransim {

using Bytes = cardsim::Bytes;

// ---------------------------------------------------------------------------
// XA frames and DORAN messages
// ---------------------------------------------------------------------------

constexpr uint8_t kStx = 0x02, kEtx = 0x03, kEot = 0x04, kEnq = 0x05, kAck = 0x06, kBel = 0x07, kSo = 0x0E,
                  kSi = 0x0F, kDle = 0x10, kNak = 0x15, kSyn = 0x16, kEtb = 0x17;

// Control frame: the character, the fields each ended by NUL, ETX, XOR from
// 0xFF of the fields through ETX.
std::string ControlFrame(uint8_t control, const std::vector<std::string>& fields);
// Data frame of a raw body (DLE doubled here): DLE STX, side, sequence,
// exchange (each doubled when DLE), header, '*', body, DLE ETX or ETB, XOR
// from `start` of every byte after DLE STX.
std::string DataFrame(uint8_t side, uint8_t sequence, uint8_t exchange, uint8_t header, const Bytes& body, bool last,
                      uint8_t start = 0x00);
std::string Escape(const Bytes& body);
Bytes Unescape(const std::string& body);

// A DORAN message: E0 { C3 peripheral, E1 { C4 command, E2 data, 5C tags } }.
struct Message {
    uint32_t peripheral = 0;
    uint32_t command = 0;
    Bytes data;                  // the value of E2 (no E2 when empty)
    std::vector<uint32_t> tags;  // 5C (none when empty)
};
Bytes Encode(const Message& m);
std::optional<Message> Decode(const Bytes& bytes);
// The value of the first element of a tag, depth first through constructed
// elements (E2, E3, E4, BFxxxx ...).
std::optional<Bytes> Find(const Bytes& data, uint32_t tag);
// Every top-level element of the data, in order: (tag, value).
std::vector<std::pair<uint32_t, Bytes>> Elements(const Bytes& data);
Bytes Tlv(uint32_t tag, const Bytes& value);
Bytes Number(uint32_t tag, uint32_t value, int bytes = 2);

// ---------------------------------------------------------------------------
// Scenario
// ---------------------------------------------------------------------------

// One statement per line, '#' starts a comment:
//   ack-flags HEX | ack-plain    the flags field of the ACK (replaces the
//                                program's flags), or none (clears 0x10)
//   header HEX                   header byte of the terminal's data frames ('P')
//   split N                      most body bytes per data frame of an answer
//   echo A0 | AA | KA [silent] | K1 | D "TEXT" | none [delay=MS]
//   control CODE...              Applications acknowledged and closed at once
//   fault enq nak [count=N] | enq data | enq silence
//   fault fetch eot              every fetch is refused (ACK, EOT)
//   fault frame nak [count=N] | frame silence [eot-delay=MS] | frame syn [bel-delay=MS]
//   fault answer repeat | answer behind2 | answer wrong-check | answer restart | answer stray-dle
//   dialogue KIND result=N [item=N] [entry=HEX]
//   event key CODE | stripe track2 "T" [track1 "T"] [track3 "T"] | cheque "LINE" [status=HEX]
//   event chip SLOT value=HEX [a=N b=N s=HEX] | ctls status=N | timeout | raw PERIPH HEX
//   applist CONTAINER AID [label="L"] [priority=N] [lang="fren"] [ec=HEX] | applist raw HEX
//   terminfo single HEX | terminfo list N
//   emv HEX                      DF808400 of operation 30 (test card data only)
//   pin HEX | call61 HEX | call62 HEX
//   answer PERIPH CMD => HEX     the E2 content of an answer to anything else
//   factory status=HEX [data=HEX] [silence] [echo] [delay=MS]
struct Scenario {
    std::optional<uint8_t> ackFlags = uint8_t{0x40};
    uint8_t header = 'P';
    size_t split = 8000;
    std::string echo = std::string("A\0", 2);
    bool echoSilent = false;  // 'K' 'A' whose data byte never comes
    int echoDelayMs = 0;
    std::set<std::string> control = {"4018", "9001", "9002", "9003", "1217", "4217"};
    int enqNaks = 0;
    bool enqData = false;
    bool enqSilence = false;
    bool fetchEot = false;
    int frameNaks = 0;
    bool frameSilence = false;
    int eotDelayMs = 100;
    bool frameSyn = false;
    int belDelayMs = 50;
    std::string answerFault;  // repeat, behind2, wrong-check, restart, stray-dle
    struct Dialogue {
        int result = 0;
        int item = -1;
        Bytes entry;
    };
    std::map<int, Dialogue> dialogues;
    std::deque<Message> events;  // each the source's message (0x7001 or 0x1n ...)
    int eventTimeouts = 0;       // events answered with result 10 first
    std::vector<std::pair<uint32_t, Bytes>> candidates;  // (container, its E4 elements)
    Bytes applistRaw;
    Bytes terminfoSingle;
    int terminfoList = -1;
    Bytes emv;
    Bytes pin;
    Bytes call61;
    Bytes call62;
    std::map<std::pair<uint32_t, uint32_t>, Bytes> answers;
    int factoryStatus = 0;
    Bytes factoryData;
    bool factorySilence = false;
    bool factoryEcho = false;
    int factoryDelayMs = 0;  // the reader answers this late (after its speed change)

    static std::optional<Scenario> Parse(const std::string& text, std::string* error);
    static std::optional<Scenario> FromFile(const std::string& path, std::string* error);
};

// Source messages of the scripted events.
Message KeyEvent(uint8_t key);
Message StripeEvent(const std::string& track2, const std::string& track1 = "", const std::string& track3 = "");
Message ChequeEvent(const std::string& line, uint16_t status = 0x4000);
Message ChipEvent(int slot, uint16_t value, int a = -1, int b = -1, const Bytes& s = {});
Message ContactlessEvent(uint16_t status);

// ---------------------------------------------------------------------------
// Dispatcher
// ---------------------------------------------------------------------------

class DoranTerminal {
public:
    explicit DoranTerminal(Scenario scenario) : scenario_(std::move(scenario)) {}
    // The answer message of a request.
    Bytes answer(const Message& request);
    void pushEvent(const Message& source) { scenario_.events.push_back(source); }
    const Scenario& scenario() const { return scenario_; }

private:
    Bytes event(const Message& request);
    Bytes applicationList();
    Bytes terminalInfo(const Message& request);
    Scenario scenario_;
};

// ---------------------------------------------------------------------------
// Link
// ---------------------------------------------------------------------------

// One dialogue as the terminal saw it.
struct Dialogue {
    int direction = 0;
    int exchange = 0;
    std::string name;
    std::string application;
    int keyIndex = 0;
    // 'S' the program sent a message, 'R' it received one, 'C' a control
    // code, 'E' a refused fetch, 'F' a factory exchange, '?' not opened.
    char kind = '?';
    int enqs = 0;          // ENQ frames of the opening
    int dataFrames = 0;    // data frames of the program
    int naks = 0;          // NAKs of the program
    int bareAcks = 0;      // bare ACKs of the program
    bool programEot = false;  // the program sent EOT
    std::string problem;   // a frame the terminal refused, and why
};

// One request as the terminal decoded it.
struct Request {
    Message message;
    Bytes raw;
};

// One factory request.
struct FactoryRequest {
    Bytes frame;        // as received
    uint8_t command = 0;
    bool checkOk = false;
    unsigned speed = 0;  // the output speed of the line then (termios)
};

class XaLinkHandler : public linesim::FrameHandler {
public:
    explicit XaLinkHandler(Scenario scenario) : terminal_(std::move(scenario)) {}
    void onBytes(linesim::LineContext& line, const std::string& bytes) override;
    void onTimer(linesim::LineContext& line, int id) override;
    // The line's own descriptor, for the speed of factory requests.
    void setLineDescriptor(int fd) { lineFd_ = fd; }

    // From any thread.
    std::vector<Dialogue> dialogues();
    std::vector<Request> requests();
    std::vector<FactoryRequest> factoryRequests();
    void pushEvent(const Message& source);
    // True once n dialogues ended (false after timeoutMs).
    bool waitDialogues(size_t n, int timeoutMs);

private:
    void take(linesim::LineContext& line);
    void onControl(linesim::LineContext& line, const std::string& frame);
    void onData(linesim::LineContext& line, const std::string& frame);
    void onFactory(linesim::LineContext& line, const std::string& frame);
    void onBareAck(linesim::LineContext& line);
    void sendControl(linesim::LineContext& line, uint8_t control);
    void sendAnswerFrame(linesim::LineContext& line);
    void requestDone(linesim::LineContext& line);
    void announce(linesim::LineContext& line);
    void problem(const std::string& why);
    void endDialogue(const Dialogue& d);

    enum class Mode { Idle, Receiving, Sending, WaitEot };

    std::mutex mutex_;
    std::condition_variable ended_;
    DoranTerminal terminal_;
    int lineFd_ = -1;
    std::string in_;
    Mode mode_ = Mode::Idle;
    Dialogue current_;
    std::vector<Dialogue> dialogues_;
    std::vector<Request> requests_;
    std::vector<FactoryRequest> factory_;
    // The dialogue in hand.
    uint8_t flags_ = 0x40;
    uint8_t expected_ = 0;  // the program's next sequence number
    uint8_t sequence_ = 0;  // the terminal's
    Bytes body_;
    bool expectBareAck_ = false;
    bool announceOnClose_ = false;
    // The answer of the last request, and how far it was sent.
    Bytes answer_;
    bool answerReady_ = false;
    size_t sent_ = 0;
    size_t piece_ = 0;
    std::string lastFrame_;
    bool lastWasFinal_ = false;
    bool answerFaultDone_ = false;
    int enqNaksLeft_ = -1;
    int frameNaksLeft_ = -1;
};

// The simulator on its own pseudo-terminal.
class DoranSim {
public:
    explicit DoranSim(Scenario scenario);
    bool start();
    const std::string& slaveName() const { return sim_.slaveName(); }
    int slaveDescriptor() const { return sim_.slaveDescriptor(); }
    linesim::LineSim& line() { return sim_; }
    std::vector<Dialogue> dialogues() { return handler_->dialogues(); }
    std::vector<Request> requests() { return handler_->requests(); }
    std::vector<FactoryRequest> factoryRequests() { return handler_->factoryRequests(); }
    // n requests decoded, n dialogues ended (false after timeoutMs).
    bool waitRequests(size_t n, int timeoutMs);
    bool waitDialogues(size_t n, int timeoutMs);
    void pushEvent(const Message& source) { handler_->pushEvent(source); }

private:
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    XaLinkHandler* handler_;
    linesim::LineSim sim_;
};

}  // namespace doransim
