// RUDA terminal simulator: the terminal end of the RUDA block link, as a
// handler of the line simulator (on a pseudo-terminal), with the APDU
// dispatcher apart from the transport.
//
// Transport (RudaBlockHandler): takes the program's blocks (NAD, PCB, LEN,
// data, LRC), checks each LRC (a wrong one is answered 9F01), joins chained
// blocks, deciphers a request whose first block has PCB bit 1 with the
// stream key (its 4-byte sequence number taken off), hands the APDU to the
// dispatcher and sends the answer back as chained blocks on the request's
// NAD. On request an answer goes with an FF 7C prefix, a wrong LRC, endless
// chaining, after a block of a length above 254, not at all (silence), or
// ciphered (the sequence number added).
//
// Dispatcher (RudaTerminal): scripted answers by APDU prefix, card-status
// and contactless-start requests answered by the scripted card events, and
// the other card APDUs (NAD 11) passed to the EMV card simulator (cardsim).
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cardsim/emv_card.h"
#include "linesim/line_sim.h"
#include "rudasim/ruda_screens.h"
#include "rudasim/ruda_services.h"

namespace rudasim {

using Bytes = cardsim::Bytes;

// What happens to an answer on its way back.
struct AnswerFaults {
    bool ff7c = false;      // FF 7C 02 AA BB in front of the first block's data
    bool wrongLrc = false;  // the first block's LRC is off by one bit
    bool endless = false;   // blocks with PCB bit 0 that never end
    bool silence = false;   // no answer at all
    bool cipher = false;    // ciphered with the stream key (PCB bit 1)
    bool longBlock = false; // a block whose length byte is 255 (255 bytes, PCB bit 0) first
};

struct AnswerRule {
    Bytes prefix;  // the APDU begins with these bytes
    Bytes answer;  // data and status word
    AnswerFaults faults;
    bool once = false;
};

// Scenario file, one statement per line, '#' starts a comment:
//   key HEX                 24-byte stream key (ciphered requests, answers)
//   card FILE               card_sim scenario behind the card APDUs (path
//                           relative to the scenario file)
//   answer PREFIX => HEX [ff7c] [wrong-lrc] [endless] [silence] [cipher] [long-block] [once]
//   default HEX             answer of an APDU nothing else takes (9000)
//   event chip AID...       card inserted and read: E0 { 48 = 03 00, 9F06 per AID }
//   event mute [atr HEX]    chip card inserted that does not answer: E0 { 48 =
//                           01 00, 63 = what the reader got at reset (3B 00) };
//                           it stays in the reader, mute, until a removal
//   event stripe [track1 "T"] [track2 "T"] [track3 "T"]
//                           card swiped: E0 { 48 = 00 05, 5F21/5F22/5F23 }
//   event removal [when-asked]
//                           once the events above it are taken, the next other
//                           answer is E0 { 48 = 01 00 } 9000; with when-asked
//                           the card stays (card APDUs reach it) until the
//                           next card-status request, which sees it go
//   serial TEXT | none      9F1E of the reset answers (none: 90 00 alone)
//   event ctls SW [HEX]     contactless start answer: the elements, then SW
//   event key CODE          key pressed: E0 { DFA205 = CODE }
//   event raw HEX           the whole answer as given
//   printer, file, file-stream, file-version, info, keyslot, sred
//                           the printer, files, terminal information, key
//                           slots and SRED status (ruda_services.h)
// Card-status requests (D0 60, D0 61) and contactless starts (C0 A0) take the
// next event; with none queued they wait for one (RudaSim::pushEvent).
struct RudaScenario {
    Bytes key;
    std::optional<cardsim::CardScenario> card;
    std::vector<AnswerRule> rules;
    Bytes defaultAnswer = {0x90, 0x00};
    std::string serial = "RUDASIM00001";  // 9F1E of the reset answers (D0 00, D0 0A); "" none
    std::deque<Bytes> events;
    // Card removals, each by the number of events taken before it comes.
    std::vector<size_t> removals;
    // For each removal: true when only a card-status request sees it.
    std::vector<bool> removalsWhenAsked;
    // The screen and keypad (ruda_screens.h).
    ScreenScenario screen;
    // Printer, files, terminal information, key slots, SRED (ruda_services.h).
    RudaServicesScript services;

    static std::optional<RudaScenario> Parse(const std::string& text, const std::string& baseDir,
                                             std::string* error);
    static std::optional<RudaScenario> FromFile(const std::string& path, std::string* error);
};

// Event answers (data and 9000) as the scenario statements make them. A
// chip event carries the card's answer to reset (63), which the program
// needs to take the card as read.
extern const Bytes kDefaultAtr;
Bytes ChipEvent(const std::vector<Bytes>& aids, const Bytes& atr = kDefaultAtr);
// A chip card that stays mute (48 = 01 00), with what the reader got at
// reset.
extern const Bytes kMuteAtr;
Bytes MuteEvent(const Bytes& atr = kMuteAtr);
Bytes StripeEvent(const std::string& track1, const std::string& track2, const std::string& track3);
Bytes CtlsEvent(uint16_t sw, const Bytes& elements);

// One request as the terminal got it.
struct Exchange {
    uint8_t nad = 0;
    uint8_t pcb = 0;             // of the first block
    std::vector<Bytes> blocks;   // raw, as received
    bool lrcOk = true;
    bool ciphered = false;
    Bytes apdu;                  // deciphered, without its sequence number
    uint32_t sequence = 0;       // of a ciphered request
    Bytes answer;                // what the dispatcher answered (before faults)
    // When the request's last block came, and when its answer went (or, for
    // an answer that waited for an event, when the event was pushed).
    std::chrono::steady_clock::time_point received{}, answered{};
};

class RudaTerminal {
public:
    explicit RudaTerminal(RudaScenario scenario);

    struct Answer {
        Bytes payload;
        AnswerFaults faults;
        bool wait = false;  // a contactless start with no event queued
        Bytes before;       // an answer sent first (the end of a card watch)
        Bytes after;        // an answer sent right after (a card removed at once)
        int afterDelayMs = 0;  // the answer after goes this much later
    };
    Answer dispatch(uint8_t nad, const Bytes& apdu);
    // Queues a card event, or returns it as the answer of the card watch
    // that runs (true).
    bool pushEvent(const Bytes& answer, uint8_t* nad);
    bool takeEvent(Bytes* answer);
    const RudaScenario& scenario() const { return scenario_; }
    cardsim::EmvCard* card() { return card_.get(); }
    const ScreenRecord& screens() const { return screens_; }
    const RudaServiceRecord& serviceRecord() const { return serviceRecord_; }

private:
    Bytes cardState() const;
    void noteEvent(const Bytes& answer);

    RudaScenario scenario_;
    std::unique_ptr<cardsim::EmvCard> card_;
    size_t eventsTaken_ = 0;
    // A card-status request armed the readers and was answered with the
    // card's state: its next card event goes out unasked on this NAD.
    bool watching_ = false;
    uint8_t watchNad_ = 0;
    bool cardIn_ = false;
    bool mute_ = false;  // the card in the reader does not answer
    Bytes atr_;
    ScreenRecord screens_;
    RudaServiceRecord serviceRecord_;
};

// Triple DES CBC, zero IV, PKCS#7, with the 24-byte key: nullopt on failure.
std::optional<Bytes> Encipher(const Bytes& key, const Bytes& plain);
std::optional<Bytes> Decipher(const Bytes& key, const Bytes& cipher);
// The blocks of a message (data of 254 at most each).
std::string Blocks(uint8_t nad, const Bytes& message, bool ciphered);

class RudaBlockHandler : public linesim::FrameHandler {
public:
    explicit RudaBlockHandler(RudaScenario scenario) : terminal_(std::move(scenario)) {}
    void onBytes(linesim::LineContext& line, const std::string& bytes) override;
    void onTimer(linesim::LineContext& line, int id) override;

    // From any thread.
    std::vector<Exchange> exchanges();
    ScreenRecord screens();
    RudaServiceRecord serviceRecord();
    // Queues an event: the blocks to send at once when a request waited for
    // it (empty when it stays queued).
    std::string pushEvent(const Bytes& answer);

private:
    void request(linesim::LineContext& line);
    void answer(linesim::LineContext& line, uint8_t nad, const RudaTerminal::Answer& a);

    std::mutex mutex_;
    RudaTerminal terminal_;
    std::string pending_;
    std::vector<Bytes> blocks_;
    Bytes message_;
    bool lrcOk_ = true;
    bool waiting_ = false;  // an event request waits
    uint8_t waitingNad_ = 0;
    std::vector<Exchange> exchanges_;
};

// The simulator on its own pseudo-terminal.
class RudaSim {
public:
    explicit RudaSim(RudaScenario scenario);
    bool start() { return sim_.start(); }
    const std::string& slaveName() const { return sim_.slaveName(); }
    linesim::LineSim& line() { return sim_; }
    std::vector<Exchange> exchanges() { return handler_->exchanges(); }
    // What the program showed and asked on the screen.
    ScreenRecord screens() { return handler_->screens(); }
    // What the terminal printed and kept (printer, files).
    RudaServiceRecord serviceRecord() { return handler_->serviceRecord(); }
    // The program has sent n requests (false after timeoutMs).
    bool waitExchanges(size_t n, int timeoutMs);
    void pushEvent(const Bytes& answer);

private:
    RudaBlockHandler* handler_;
    linesim::LineSim sim_;
};

}  // namespace rudasim
