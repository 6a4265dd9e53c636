// Bytes of APDUs and BER-TLV elements for the protocol tests, on the helpers
// of the card simulator.
#pragma once
#include <string>
#include <utility>

#include "cardsim/emv_card.h"
#include "core/tlv.h"

namespace testsupport {

using cardsim::Bytes;

// Hexadecimal text (blanks allowed) to bytes; the text must be valid.
inline Bytes Hex(const std::string& text) { return cardsim::ParseHex(text).value(); }
// The characters of a text as bytes.
inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

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
