// EMV chip card simulator: command APDU in, response APDU out, nothing
// else. Drives SELECT (FCI), GET PROCESSING OPTIONS (formats 80 and 77),
// READ RECORD per AFL, GET DATA, GENERATE AC, INTERNAL AUTHENTICATE and
// VERIFY (plaintext PIN), with scripted faults. The transport that carries
// the APDUs (a terminal simulator, a test) is the caller's.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cardsim {

using Bytes = std::vector<uint8_t>;

struct CardScenario {
    Bytes aid = {0xA0, 0x00, 0x00, 0x00, 0x42, 0x10, 0x10};
    std::string label = "CB";
    Bytes pdol;           // 9F38 of the FCI (none when empty)
    Bytes fciProprietary;  // value of BF0C (none when empty)
    int gpoFormat = 0x80;  // 0x80 or 0x77
    Bytes aip = {0x5C, 0x00};
    Bytes afl;  // from the records when empty
    // Value of the 70 template of each record, by (SFI, record number).
    std::map<std::pair<int, int>, Bytes> records;
    int acFormat = 0x80;  // 0x80 or 0x77
    uint16_t atc = 1;
    Bytes issuerApplicationData = {0x06, 0x01, 0x0A, 0x03, 0xA0, 0x00, 0x00};
    int pinTryCounter = 3;
    std::string pin = "1234";
    std::map<uint16_t, Bytes> data;  // GET DATA answers by tag
    Bytes proximity;                 // elements added to the 77 answers (9F24 ...)
    // Scripted faults.
    bool twoA5 = false;
    bool badAfl = false;          // AFL entry 08 02 01 00
    unsigned repeatTag = 0;       // this element in every record
    Bytes bytesAfter70;           // appended after each record template
    bool rawGpo = false;          // gpoAnswer below replaces the GPO answer
    Bytes gpoAnswer;

    // The AFL as sent: the scripted one, or one entry per SFI of the records.
    Bytes effectiveAfl() const;

    // Scenario file: one statement per line, '#' starts a comment.
    static std::optional<CardScenario> Parse(const std::string& text, std::string* error);
};

class EmvCard {
public:
    explicit EmvCard(CardScenario scenario) : scenario_(std::move(scenario)) {}

    // The response APDU (data and status word) to one command APDU.
    Bytes respond(const Bytes& apdu);

    const std::vector<std::pair<Bytes, Bytes>>& exchanges() const { return exchanges_; }
    // Data field of the last GENERATE AC.
    const Bytes& lastGenerateAcData() const { return lastAcData_; }
    int pinTriesLeft() const { return scenario_.pinTryCounter; }

private:
    Bytes answer(const Bytes& apdu);
    Bytes select(const Bytes& data);
    Bytes gpo();
    Bytes readRecord(int record, int sfi);
    Bytes getData(uint16_t tag);
    Bytes generateAc(uint8_t p1, const Bytes& data);
    Bytes internalAuthenticate(const Bytes& data);
    Bytes verify(const Bytes& data);

    CardScenario scenario_;
    bool selected_ = false;
    bool processing_ = false;
    Bytes lastAcData_;
    std::vector<std::pair<Bytes, Bytes>> exchanges_;
};

// One element (tag, BER length, value).
Bytes Element(unsigned tag, const Bytes& value);
Bytes Concat(std::initializer_list<Bytes> parts);
// "00 A4 04 00" or "00A40400", any case; nullopt when not hexadecimal.
std::optional<Bytes> ParseHex(const std::string& text);
std::string ToHex(const Bytes& bytes);

}  // namespace cardsim
