// Acquirer (payment-server) simulator for message boxes: accepts the
// program's link on a loopback port, reads NET frames and answers each
// request as its scenario says: with a chosen message type ("1400", "1200",
// "1410", "1500", "9995" ... "9999"), after a delay, cut into pieces or
// merged with further frames, with over-long rubriques, or not at all
// (silence, close, reset).
//
// Scenario text, one line per request in arrival order ('#' starts a
// comment); when the lines run out the "default" line (or an answer of the
// request's own type) is used:
//   answer [TYPE] [options]   answer (TYPE empty: the request's own A)
//   silent                    read the request, answer nothing
//   close                     read the request, close the link
//   reset                     read the request, abort the link (reset)
//   raw HEX... [then=close|reset]  send these bytes as the answer
//   relay [options]           send a "1200" command for a terminal (see below)
//   fetch [options]           send the empty "1200" fetch of its answers
//   default <one of the above>
//   echo <one of the above>   how to answer a greeting that asks for an echo
//                             (default: answer 9997 body=ECHO)
// Greetings (a body of "BONJOUR" or "ECHO_ASKED", the program's first
// message on a link) and the closing message ("0000" and NUL outside any
// frame) use no line: "BONJOUR" gets no answer, "ECHO_ASKED" the echo line.
// Options of answer: key=K (default: the request's K) S=... U=...
// body=TEXT | bodyhex=HEX | echo (the request's body; default body "OK") |
// tags=TEXT (the text in the program's field encoding) | reply (the answer
// tag message to the request's tag message, SS "A" with its PS, SV and CD,
// in the field encoding) with rs=NN (its RS, default 01),
// delay=MS, split=N,N,... (cut offsets), bytewise, gap=MS (pause between
// pieces, 20 by default), copies=N (N frames in one write), long=R:N
// (rubrique R of N characters; R one of K S U A M), truncate=N (only the
// first N bytes of the answer go), then=close|reset.
// Values with blanks go between double quotes.
// Options of relay and fetch: port=N (the terminal's port, 0), app=CODE
// (the descriptor's Application, "1000"), body=TEXT | bodyhex=HEX (the
// command), fetch (relay: the fetch right after the command), key=K, S=...
// (a descriptor of its own), delay=MS. The program's replies come as
// requests of type "1200" (A, S with the terminal's descriptor, body).
//
// The message handling (scenario, BuildReply) knows nothing of sockets; the
// AcquirerSim runs it over a Listener in a thread of its own, in clear or
// over TLS (server certificate, optional client certificates, session
// resumption on or off).
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "netsim/net_frame.h"
#include "netsim/tcp_link.h"

namespace netsim {

// What a payment server puts in the answer tag message of a "reply": tags
// beside SS/PS/SV/CD/RS, the request's UUID echoed, dropped, changed or sent
// twice, header tags left out, over-long values, and unsolicited messages
// sent before the answer.
struct ServerAnswerPlan {
    std::vector<std::pair<std::string, std::string>> tags;  // dbw=, d3l=, d16=, d1a=, d60= (in order)
    std::string uuid = "echo";                               // echo | drop | change | twice
    std::vector<std::string> omit;                           // omit=SS,SV,CD,RS
    std::vector<std::pair<std::string, size_t>> longTags;    // longtag=CODE:N
    std::string extra;                                       // extra=TAGS (raw, before {F})
    // before=TYPE or before=TYPE:TAGS: unsolicited messages ahead of the answer.
    std::vector<std::pair<std::string, std::string>> before;
};

struct AnswerPlan {
    enum class Kind { Answer, Silent, Close, Reset, Raw, Relay };
    Kind kind = Kind::Answer;
    std::string type;                // A; empty: the request's own
    std::optional<std::string> key;  // K; default: the request's
    std::string S, U;
    std::optional<std::string> body;  // default "OK"
    bool echo = false;
    bool reply = false;
    std::string rs = "01";
    ServerAnswerPlan server;
    int delayMs = 0;
    std::vector<size_t> cuts;
    bool bytewise = false;
    int gapMs = 20;
    int copies = 1;
    char longRubrique = 0;
    size_t longLength = 0;
    size_t truncate = 0;  // only the first N bytes of the answer go (0: all)
    enum class After { Keep, Close, Reset };
    After after = After::Keep;
    std::string raw;
    // Relay (type "1200"): a command for the terminal resource of a port
    // (its descriptor with MesStat 11 and the body), and/or the empty fetch
    // of its answers (MesStat 00); S, when given, replaces the descriptor.
    bool relayCommand = false;
    bool relayFetch = false;
    int relayPort = 0;
    std::string relayApplication = "1000";
    // answer ... chip[=PORT]: the chip dialogue through the terminal relay
    // of that port (0) before the answer (netsim/chip_dialogue.h); card:
    // the answer of a reply gets the card data the dialogue read (D1A
    // masked, D18 expiry, D15 "2" chip).
    int chipPort = -1;
    bool cardTags = false;
};

// The descriptor of a relay message for the terminal resource of a port.
std::string RelayDescriptor(int port, const std::string& application, int mesStat);

struct AcquirerScenario {
    std::vector<AnswerPlan> plans;
    AnswerPlan fallback;  // answer of the request's own type
    AnswerPlan echo = DefaultEcho();  // answer to a greeting "ECHO_ASKED"

    static AnswerPlan DefaultEcho();

    // nullopt with the line and the reason in error.
    static std::optional<AcquirerScenario> Parse(const std::string& text, std::string* error);
    static std::optional<AcquirerScenario> FromFile(const std::string& path, std::string* error);
};

std::optional<AnswerPlan> ParsePlanLine(const std::string& line, std::string* error);
// Takes one option of the payment-server answers (dbw= d3l= d3lhex= d16= d1a= d60=
// uuid= omit= longtag= extra= before=); false when the key is not one of them
// or its value is wrong (error set for the latter).
bool ParseServerAnswerOption(const std::string& key, const std::string& value, ServerAnswerPlan* plan,
                             std::string* error);
// The answer tag message of a "reply" to the request's tag message; with
// the plan's card tags, those of the card (masked number, expiry).
std::string BuildServerAnswerTags(const AnswerPlan& plan, const std::string& requestTags,
                                  const std::string& maskedPan = "", const std::string& expiry = "");
// The frames of the unsolicited messages to send before the answer.
std::string BuildUnsolicitedFrames(const AnswerPlan& plan, const NetMessage& request);

// What to put on the link for one request.
struct Reply {
    bool send = false;
    std::string bytes;
    std::vector<size_t> cuts;
    int gapMs = 0;
    int delayMs = 0;
    AnswerPlan::After after = AnswerPlan::After::Keep;
};

// Close and reset plans send nothing and end the link. The card data a
// chip dialogue read goes into a reply with the plan's card tags.
Reply BuildReply(const AnswerPlan& plan, const NetMessage& request, const std::string& maskedPan = "",
                 const std::string& expiry = "");

class AcquirerSim {
public:
    explicit AcquirerSim(AcquirerScenario scenario = {});
    ~AcquirerSim();
    AcquirerSim(const AcquirerSim&) = delete;
    AcquirerSim& operator=(const AcquirerSim&) = delete;

    // Every link runs TLS with these settings (call before start): false
    // with the reason when they cannot be used.
    bool setTls(const TlsSettings& settings, std::string* error);
    // Listens on 127.0.0.1:port (0: ephemeral) and serves links one after
    // the other in a thread.
    bool start(uint16_t port = 0);
    void stop();
    uint16_t port() const { return listener_.port(); }

    // Every request read so far, in order.
    std::vector<NetMessage> requests() const;
    // True once n requests were read (false after timeoutMs).
    bool waitForRequests(size_t n, int timeoutMs) const;
    // Greetings read so far (their A and body), in order.
    std::vector<NetMessage> greetings() const;
    bool waitForGreetings(size_t n, int timeoutMs) const;
    // Closing messages read so far.
    int closings() const;
    bool waitForClosings(int n, int timeoutMs) const;
    // Links accepted so far.
    int connections() const { return connections_.load(); }
    // True once the current link ended (closed by either side) and at least
    // n links were served.
    bool waitForLinksEnded(int n, int timeoutMs) const;
    // TLS links: handshakes done, of which sessions resumed, handshakes that
    // failed, and the subject of the last client certificate ("" none).
    int tlsHandshakes() const { return tlsHandshakes_.load(); }
    int tlsResumed() const { return tlsResumed_.load(); }
    int tlsFailures() const { return tlsFailures_.load(); }
    std::string lastClientSubject() const;
    // One line per event (link, request, answer), for a person watching.
    void setLogger(std::function<void(const std::string&)> logger) { logger_ = std::move(logger); }

private:
    void run();
    void serve(Link& link);
    bool startTls(Link& link);
    AnswerPlan nextPlan();
    void log(const std::string& line) const;

    AcquirerScenario scenario_;
    size_t nextPlan_ = 0;
    TlsContext tls_;
    bool useTls_ = false;
    std::atomic<int> tlsHandshakes_{0};
    std::atomic<int> tlsResumed_{0};
    std::atomic<int> tlsFailures_{0};
    std::string lastClientSubject_;
    Listener listener_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<NetMessage> requests_;
    std::vector<NetMessage> greetings_;
    int closings_ = 0;
    int linksEnded_ = 0;
    std::function<void(const std::string&)> logger_;
};

// Splits a line into words; double quotes group (and are removed).
std::vector<std::string> SplitWords(const std::string& line);

// Reads a scenario or script line by line: each line, its comment cut ('#'
// outside double quotes), that holds a word goes to take(line, words), which
// answers why it refuses the line (empty: taken). True when every line was
// taken; otherwise false with "line N: <why>" in error.
bool ReadScriptLines(const std::string& text,
                     const std::function<std::string(const std::string& line, const std::vector<std::string>& words)>& take,
                     std::string* error);

}  // namespace netsim
