// Bytes of APDUs and BER-TLV elements for the protocol tests, on the helpers
// of the card simulator; the card simulator's scenario files; the text slots
// of `POT`.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "cardsim/emv_card.h"
#include "core/tlv.h"
#include "protocols/pot.h"

namespace testsupport {

using cardsim::Bytes;

// Hexadecimal text (blanks allowed) to bytes; the text must be valid.
inline Bytes Hex(const std::string& text) { return cardsim::ParseHex(text).value(); }
// The characters of a text as bytes.
inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// An answer: the data, then the status word.
inline Bytes WithSw(Bytes data, uint16_t sw) {
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw));
    return data;
}

// A short command APDU: its header (hexadecimal text), Lc and the data.
inline Bytes ShortApdu(const std::string& header, const Bytes& data) {
    Bytes out = Hex(header);
    out.push_back(static_cast<uint8_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// The text of a scenario file of tools/cardsim/scenarios.
inline std::string CardScenarioFile(const std::string& name) {
    std::ifstream in(std::string(ZNP_SOURCE_DIR) + "/tools/cardsim/scenarios/" + name);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The text of a `POT` text slot (empty when absent or asked).
template <int N>
std::string PotString(const PotText<N>& t) {
    return t.length > 0 && t.length <= N ? std::string(t.text, static_cast<size_t>(t.length)) : std::string();
}

template <int N>
void SetPotString(PotText<N>& t, const std::string& text) {
    std::memset(t.text, 0, sizeof t.text);
    std::memcpy(t.text, text.data(), text.size() < sizeof t.text ? text.size() : sizeof t.text - 1);
    t.length = static_cast<int32_t>(text.size());
}

// A node over a sequence of elements, as the extractors take an answer's
// template.
struct ElementsNode {
    explicit ElementsNode(Bytes b) : bytes(std::move(b)) {
        node.value = bytes.data();
        node.lg = static_cast<int>(bytes.size());
    }
    Bytes bytes;
    TlvNode node;
};

}  // namespace testsupport
