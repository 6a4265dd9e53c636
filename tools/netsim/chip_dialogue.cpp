#include "netsim/chip_dialogue.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "netsim/acquirer.h"

namespace netsim {

namespace {

// One BER-TLV element of a byte string: its tag, its value and where the
// next element starts; false at the end or on a broken element.
struct Element {
    unsigned tag = 0;
    std::string value;
    bool constructed = false;
};

bool NextElement(const std::string& bytes, size_t* at, Element* out) {
    size_t i = *at;
    while (i < bytes.size() && (static_cast<uint8_t>(bytes[i]) == 0x00 || static_cast<uint8_t>(bytes[i]) == 0xFF)) ++i;
    if (i >= bytes.size()) return false;
    const uint8_t first = static_cast<uint8_t>(bytes[i++]);
    unsigned tag = first;
    if ((first & 0x1F) == 0x1F) {
        do {
            if (i >= bytes.size()) return false;
            tag = (tag << 8) | static_cast<uint8_t>(bytes[i]);
        } while ((static_cast<uint8_t>(bytes[i++]) & 0x80) != 0);
    }
    if (i >= bytes.size()) return false;
    size_t length = static_cast<uint8_t>(bytes[i++]);
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 2 || i + count > bytes.size()) return false;
        length = 0;
        for (size_t k = 0; k < count; ++k) length = (length << 8) | static_cast<uint8_t>(bytes[i++]);
    }
    if (i + length > bytes.size()) return false;
    out->tag = tag;
    out->value = bytes.substr(i, length);
    out->constructed = (first & 0x20) != 0;
    *at = i + length;
    return true;
}

// The value of the first element of this tag, at any depth ("" when none).
std::string Find(const std::string& bytes, unsigned tag) {
    size_t at = 0;
    Element e;
    while (NextElement(bytes, &at, &e)) {
        if (e.tag == tag) return e.value;
        if (e.constructed) {
            const std::string inner = Find(e.value, tag);
            if (!inner.empty()) return inner;
        }
    }
    return {};
}

// The (tag, length) pairs of a data object list.
std::vector<std::pair<unsigned, size_t>> DolEntries(const std::string& dol) {
    std::vector<std::pair<unsigned, size_t>> entries;
    size_t i = 0;
    while (i < dol.size()) {
        const uint8_t first = static_cast<uint8_t>(dol[i++]);
        unsigned tag = first;
        if ((first & 0x1F) == 0x1F) {
            while (i < dol.size()) {
                const uint8_t b = static_cast<uint8_t>(dol[i++]);
                tag = (tag << 8) | b;
                if ((b & 0x80) == 0) break;
            }
        }
        if (i >= dol.size()) break;
        entries.emplace_back(tag, static_cast<uint8_t>(dol[i++]));
    }
    return entries;
}

// A decimal text as packed BCD of `length` bytes, right-aligned.
std::string Bcd(const std::string& digits, size_t length) {
    std::string text = digits;
    if (text.size() > length * 2) text = text.substr(text.size() - length * 2);
    text.insert(0, length * 2 - text.size(), '0');
    return HexToBytes(text).value_or(std::string(length, '\0'));
}

std::string Digits(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c >= '0' && c <= '9') out += c;
    return out;
}

// The data a DOL asks for: the amount, the currency, the country, the date
// and the unpredictable number; zeros for the rest.
std::string DolData(const std::string& dol, const std::string& tags) {
    std::string data;
    for (const auto& [tag, length] : DolEntries(dol)) {
        std::string value;
        switch (tag) {
            case 0x9F02: value = Bcd(Digits(TagValue(tags, "D10")), length); break;
            case 0x5F2A: value = Bcd(Digits(TagValue(tags, "D0")), length); break;
            case 0x9F1A: value = Bcd("250", length); break;
            case 0x9A: {
                const std::time_t now = std::time(nullptr);
                std::tm t{};
                localtime_r(&now, &t);
                char text[40];
                std::snprintf(text, sizeof text, "%02d%02d%02d", t.tm_year % 100, t.tm_mon + 1, t.tm_mday);
                value = Bcd(text, length);
                break;
            }
            case 0x9F37: value = HexToBytes("11223344").value_or(""); break;
            default: break;
        }
        value.resize(length, '\0');
        data += value;
    }
    return data;
}

// Bytes as upper-case hexadecimal without blanks.
std::string PlainHex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) {
        out += digits[static_cast<uint8_t>(c) >> 4];
        out += digits[static_cast<uint8_t>(c) & 0x0F];
    }
    return out;
}

std::string StatusWord(const std::string& answer) {
    return PlainHex(answer.size() >= 2 ? answer.substr(answer.size() - 2) : answer);
}

}  // namespace

ChipDialogue::ChipDialogue(const NetMessage& request, int port, const std::string& aidHex)
    : request_(request), tags_(DecodeFieldBody(request.M).value_or("")), port_(port) {
    const std::string candidate = TagValue(tags_, "MD838");
    aid_ = HexToBytes(candidate.empty() ? aidHex : candidate).value_or(*HexToBytes(aidHex));
}

std::string ChipDialogue::send(const std::string& apdu) {
    commands_.push_back(PlainHex(apdu));
    NetMessage command;
    command.K = request_.K;
    command.A = "1200";
    command.S = RelayDescriptor(port_, "1000", 11);
    command.M = apdu;
    NetMessage fetch = command;
    fetch.S = RelayDescriptor(port_, "1000", 0);
    fetch.M.clear();
    return EncodeFrame(command) + EncodeFrame(fetch);
}

std::string ChipDialogue::start() {
    step_ = Step::Select;
    return send(std::string("\x00\xA4\x04\x00", 4) + static_cast<char>(aid_.size()) + aid_ + std::string(1, '\0'));
}

void ChipDialogue::readRecordElements(const std::string& data) {
    if (const std::string pan = Find(data, 0x5A); !pan.empty()) {
        std::string digits = PlainHex(pan);
        while (!digits.empty() && (digits.back() == 'F' || digits.back() == 'f')) digits.pop_back();
        pan_ = digits;
    }
    if (const std::string track = Find(data, 0x57); !track.empty() && pan_.empty()) {
        const std::string hex = PlainHex(track);
        pan_ = hex.substr(0, hex.find_first_of("Dd"));
    }
    if (const std::string expiry = Find(data, 0x5F24); !expiry.empty()) expiry_ = PlainHex(expiry);
    if (const std::string cdol = Find(data, 0x8C); !cdol.empty()) cdol1_ = cdol;
}

std::string ChipDialogue::nextRecord() {
    if (records_.empty()) return generateAc();
    const auto [sfi, record] = records_.front();
    records_.erase(records_.begin());
    step_ = Step::Records;
    std::string apdu("\x00\xB2", 2);
    apdu += static_cast<char>(record);
    apdu += static_cast<char>((sfi << 3) | 4);
    apdu += '\0';
    return send(apdu);
}

std::string ChipDialogue::generateAc() {
    step_ = Step::GenerateAc;
    const std::string data = DolData(cdol1_, tags_);
    return send(std::string("\x80\xAE\x80\x00", 4) + static_cast<char>(data.size()) + data + std::string(1, '\0'));
}

std::string ChipDialogue::take(const NetMessage& reply) {
    if (step_ == Step::Done || reply.A != "1200" || reply.M.empty()) return {};  // an acknowledgement
    const std::string& answer = reply.M;
    const std::string sw = StatusWord(answer);
    const std::string data = answer.size() >= 2 ? answer.substr(0, answer.size() - 2) : std::string();
    if (sw != "9000") {
        failure_ = "command " + commands_.back() + " answered " + sw;
        step_ = Step::Done;
        return {};
    }
    switch (step_) {
        case Step::Select: {
            pdol_ = Find(data, 0x9F38);
            step_ = Step::Gpo;
            const std::string pdolData = DolData(pdol_, tags_);
            std::string apdu("\x80\xA8\x00\x00", 4);
            apdu += static_cast<char>(pdolData.size() + 2);
            apdu += '\x83';
            apdu += static_cast<char>(pdolData.size());
            apdu += pdolData;
            apdu += '\0';
            return send(apdu);
        }
        case Step::Gpo: {
            std::string afl;
            if (!data.empty() && static_cast<uint8_t>(data[0]) == 0x80 && data.size() >= 4)
                afl = data.substr(4);  // 80 L, AIP (2 bytes), AFL
            else
                afl = Find(data, 0x94);
            for (size_t i = 0; i + 4 <= afl.size(); i += 4) {
                const int sfi = static_cast<uint8_t>(afl[i]) >> 3;
                for (int r = static_cast<uint8_t>(afl[i + 1]); r <= static_cast<uint8_t>(afl[i + 2]) && r > 0; ++r)
                    records_.emplace_back(sfi, r);
            }
            return nextRecord();
        }
        case Step::Records:
            readRecordElements(data);
            return nextRecord();
        case Step::GenerateAc:
        case Step::Done:
            step_ = Step::Done;
            return {};
    }
    return {};
}

std::string ChipDialogue::maskedPan() const {
    if (pan_.size() < 11) return pan_.empty() ? std::string() : std::string(pan_.size(), '0');
    std::string masked = pan_;
    for (size_t i = 6; i + 4 < masked.size(); ++i) masked[i] = '0';
    return masked;
}

}  // namespace netsim
