// The chip dialogue a payment server drives through the program's terminal
// relay before it answers a card payment, as an acquirer's host does for a
// terminal that only carries APDUs: SELECT of the application, GET
// PROCESSING OPTIONS with the data its PDOL asks for, READ RECORD of every
// record its AFL names, GENERATE AC (an ARQC) with the data of its CDOL1
// (amount from D10, currency from D0, the other elements zeros but the
// country 250, the date and an unpredictable number). Each command goes to
// the terminal of a port as a relay message (1200, MesStat 11) with its
// fetch (MesStat 00); the program's replies (the terminal's acknowledgement
// without body, then the card's answer) come back here one by one.
//
// It works on bytes alone (no socket): AcquirerSim feeds it the replies of
// the link and sends what it returns.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "netsim/net_frame.h"

namespace netsim {

class ChipDialogue {
public:
    // request: the payment request (its tag message gives D10, D0 and the
    // AID MD838 when the program sent one); port: the terminal's port; key:
    // rubrique K of the relay messages.
    ChipDialogue(const NetMessage& request, int port, const std::string& aidHex = "A0000000421010");

    // The frames of the first command and its fetch.
    std::string start();
    // One reply of the program (a "1200" message): nothing for an
    // acknowledgement, the frames of the next command for a card answer,
    // and nothing once the dialogue is over (done()).
    std::string take(const NetMessage& reply);
    bool done() const { return step_ == Step::Done; }
    // Why it ended early ("" when every step answered 90 00).
    const std::string& failure() const { return failure_; }

    // The command APDUs sent, in hexadecimal, in order.
    const std::vector<std::string>& commands() const { return commands_; }
    // What the records gave: card number (digits), expiry (YYMMDD).
    const std::string& pan() const { return pan_; }
    const std::string& expiry() const { return expiry_; }
    // The card number as the answer to the cash register shows it: its first
    // six and last four digits, zeros between ("" without a number).
    std::string maskedPan() const;

private:
    enum class Step { Select, Gpo, Records, GenerateAc, Done };
    std::string send(const std::string& apdu);
    std::string nextRecord();
    std::string generateAc();
    void readRecordElements(const std::string& data);

    NetMessage request_;
    std::string tags_;
    int port_;
    std::string aid_;
    Step step_ = Step::Select;
    std::vector<std::pair<int, int>> records_;  // (SFI, record) still to read
    std::string pdol_, cdol1_, pan_, expiry_, failure_;
    std::vector<std::string> commands_;
};

}  // namespace netsim
