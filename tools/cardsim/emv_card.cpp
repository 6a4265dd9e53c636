// EMV chip card simulator.
#include "cardsim/emv_card.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "core/sha1.h"
#include "netsim/acquirer.h"

namespace cardsim {

namespace {

const Bytes kOk = {0x90, 0x00};

Bytes Status(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }

Bytes WithStatus(Bytes data, uint16_t sw = 0x9000) {
    const Bytes s = Status(sw);
    data.insert(data.end(), s.begin(), s.end());
    return data;
}

Bytes Sha1(const Bytes& data) {
    Bytes digest(SHA1_DIGEST_SIZE);
    Sha1_Compute(data.data(), data.size(), digest.data(), nullptr);
    return digest;
}

bool ParseInt(const std::string& word, int base, long* value) {
    if (word.empty()) return false;
    char* end = nullptr;
    *value = std::strtol(word.c_str(), &end, base);
    return end != nullptr && *end == '\0';
}

}  // namespace

Bytes Element(unsigned tag, const Bytes& value) {
    Bytes out;
    if (tag > 0xFFFFFF) out.push_back(static_cast<uint8_t>(tag >> 24));
    if (tag > 0xFFFF) out.push_back(static_cast<uint8_t>(tag >> 16));
    if (tag > 0xFF) out.push_back(static_cast<uint8_t>(tag >> 8));
    out.push_back(static_cast<uint8_t>(tag));
    const size_t n = value.size();
    if (n >= 0x100) {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
    } else if (n >= 0x80) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::optional<Bytes> ParseHex(const std::string& text) {
    const std::optional<std::string> raw = netsim::HexToBytes(text);
    if (!raw) return std::nullopt;
    return Bytes(raw->begin(), raw->end());
}

std::string ToHex(const Bytes& bytes) {
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        text += two;
    }
    return text;
}

Bytes CardScenario::effectiveAfl() const {
    if (badAfl) return {0x08, 0x02, 0x01, 0x00};
    if (!afl.empty()) return afl;
    Bytes out;
    std::map<int, std::pair<int, int>> bySfi;
    for (const auto& [key, value] : records) {
        auto [it, added] = bySfi.emplace(key.first, std::make_pair(key.second, key.second));
        if (!added) {
            it->second.first = std::min(it->second.first, key.second);
            it->second.second = std::max(it->second.second, key.second);
        }
    }
    for (const auto& [sfi, range] : bySfi) {
        out.push_back(static_cast<uint8_t>(sfi << 3));
        out.push_back(static_cast<uint8_t>(range.first));
        out.push_back(static_cast<uint8_t>(range.second));
        out.push_back(0x00);
    }
    return out;
}

std::optional<CardScenario> CardScenario::Parse(const std::string& text, std::string* error) {
    CardScenario s;
    s.records.clear();
    const auto hexArg = [](const std::vector<std::string>& words, size_t from, Bytes* out) {
        std::string joined;
        for (size_t i = from; i < words.size(); ++i) joined += words[i];
        std::optional<Bytes> b = ParseHex(joined);
        if (!b) return false;
        *out = *b;
        return true;
    };
    const bool read = netsim::ReadScriptLines(
        text,
        [&](const std::string& line, const std::vector<std::string>& w) -> std::string {
            const std::string& key = w[0];
            long n = 0;
            long m = 0;
            if (key == "aid" || key == "pdol" || key == "bf0c" || key == "aip" || key == "afl" || key == "iad" ||
                key == "proximity" || key == "gpo-answer") {
                Bytes b;
                if (w.size() < 2 || !hexArg(w, 1, &b)) return "hexadecimal bytes expected after " + key;
                if (key == "aid") s.aid = b;
                if (key == "pdol") s.pdol = b;
                if (key == "bf0c") s.fciProprietary = b;
                if (key == "aip") s.aip = b;
                if (key == "afl") s.afl = b;
                if (key == "iad") s.issuerApplicationData = b;
                if (key == "proximity") s.proximity = b;
                if (key == "gpo-answer") {
                    s.rawGpo = true;
                    s.gpoAnswer = b;
                }
                return {};
            }
            if (key == "label") {
                const size_t at = line.find("label");
                std::string rest = line.substr(at + 5);
                rest.erase(0, rest.find_first_not_of(" \t"));
                rest.erase(rest.find_last_not_of(" \t\r") + 1);
                s.label = rest;
                return {};
            }
            if (key == "gpo" || key == "ac") {
                if (w.size() != 2 || (w[1] != "80" && w[1] != "77")) return key + " takes 80 or 77";
                (key == "gpo" ? s.gpoFormat : s.acFormat) = w[1] == "80" ? 0x80 : 0x77;
                return {};
            }
            if (key == "record") {
                Bytes b;
                if (w.size() < 4 || !ParseInt(w[1], 10, &n) || !ParseInt(w[2], 10, &m) || n < 1 || n > 30 ||
                    m < 1 || m > 255 || !hexArg(w, 3, &b))
                    return "record SFI NUMBER HEX expected";
                s.records[{static_cast<int>(n), static_cast<int>(m)}] = b;
                return {};
            }
            if (key == "atc" || key == "pin-try") {
                if (w.size() != 2 || !ParseInt(w[1], 10, &n) || n < 0 || n > 0xFFFF) return key + " takes a number";
                if (key == "atc") s.atc = static_cast<uint16_t>(n);
                else s.pinTryCounter = static_cast<int>(n);
                return {};
            }
            if (key == "pin") {
                if (w.size() != 2 || w[1].size() < 4 || w[1].size() > 12 ||
                    !std::all_of(w[1].begin(), w[1].end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
                    return "pin takes 4 to 12 digits";
                s.pin = w[1];
                return {};
            }
            if (key == "data") {
                Bytes b;
                if (w.size() < 3 || !ParseInt(w[1], 16, &n) || n < 0 || n > 0xFFFF || !hexArg(w, 2, &b))
                    return "data TAG HEX expected";
                s.data[static_cast<uint16_t>(n)] = b;
                return {};
            }
            if (key == "fault") {
                if (w.size() == 2 && w[1] == "two-a5") s.twoA5 = true;
                else if (w.size() == 2 && w[1] == "bad-afl") s.badAfl = true;
                else if (w.size() == 3 && w[1] == "repeat-tag" && ParseInt(w[2], 16, &n) && n > 0) s.repeatTag = static_cast<unsigned>(n);
                else if (w.size() >= 3 && w[1] == "bytes-after-70" && hexArg(w, 2, &s.bytesAfter70)) {}
                else return "unknown fault: " + line;
                return {};
            }
            return "unknown statement: " + key;
        },
        error);
    if (!read) return std::nullopt;
    return s;
}

Bytes EmvCard::respond(const Bytes& apdu) {
    Bytes out = answer(apdu);
    exchanges_.emplace_back(apdu, out);
    return out;
}

Bytes EmvCard::answer(const Bytes& apdu) {
    if (apdu.size() < 4) return Status(0x6700);
    const uint8_t cla = apdu[0];
    const uint8_t ins = apdu[1];
    Bytes data;
    if (apdu.size() > 5) {
        const size_t lc = apdu[4];
        if (apdu.size() < 5 + lc) return Status(0x6700);
        data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<long>(lc));
    }
    if (cla == 0x00 && ins == 0xA4) return select(data);
    if (cla == 0x80 && ins == 0xA8) return gpo();
    if (cla == 0x00 && ins == 0xB2) return readRecord(apdu[2], apdu[3] >> 3);
    if (cla == 0x80 && ins == 0xCA) return getData(static_cast<uint16_t>(apdu[2] << 8 | apdu[3]));
    if (cla == 0x80 && ins == 0xAE) return generateAc(apdu[2], data);
    if (cla == 0x00 && ins == 0x88) return internalAuthenticate(data);
    if (cla == 0x00 && ins == 0x20) return verify(data);
    return Status(0x6D00);
}

Bytes EmvCard::select(const Bytes& name) {
    if (name.empty() || name.size() > scenario_.aid.size() ||
        !std::equal(name.begin(), name.end(), scenario_.aid.begin())) {
        selected_ = false;
        return Status(0x6A82);
    }
    selected_ = true;
    processing_ = false;
    Bytes a5 = Element(0x50, Bytes(scenario_.label.begin(), scenario_.label.end()));
    if (!scenario_.pdol.empty()) a5 = Concat({a5, Element(0x9F38, scenario_.pdol)});
    if (!scenario_.fciProprietary.empty()) a5 = Concat({a5, Element(0xBF0C, scenario_.fciProprietary)});
    Bytes fci = Concat({Element(0x84, scenario_.aid), Element(0xA5, a5)});
    if (scenario_.twoA5) fci = Concat({fci, Element(0xA5, Element(0x87, {0x01}))});
    return WithStatus(Element(0x6F, fci));
}

Bytes EmvCard::gpo() {
    if (!selected_) return Status(0x6985);
    processing_ = true;
    if (scenario_.rawGpo) return scenario_.gpoAnswer;
    const Bytes afl = scenario_.effectiveAfl();
    if (scenario_.gpoFormat == 0x80) return WithStatus(Element(0x80, Concat({scenario_.aip, afl})));
    return WithStatus(Element(0x77, Concat({Element(0x82, scenario_.aip), Element(0x94, afl), scenario_.proximity})));
}

Bytes EmvCard::readRecord(int record, int sfi) {
    auto it = scenario_.records.find({sfi, record});
    if (it == scenario_.records.end()) return Status(0x6A83);
    Bytes content = it->second;
    if (scenario_.repeatTag != 0) content = Concat({content, Element(scenario_.repeatTag, {0x01})});
    return WithStatus(Concat({Element(0x70, content), scenario_.bytesAfter70}));
}

Bytes EmvCard::getData(uint16_t tag) {
    if (tag == 0x9F17)
        return WithStatus(Element(0x9F17, {static_cast<uint8_t>(scenario_.pinTryCounter)}));
    if (tag == 0x9F36)
        return WithStatus(Element(0x9F36, {static_cast<uint8_t>(scenario_.atc >> 8), static_cast<uint8_t>(scenario_.atc)}));
    auto it = scenario_.data.find(tag);
    if (it == scenario_.data.end()) return Status(0x6A88);
    return WithStatus(Element(tag, it->second));
}

Bytes EmvCard::generateAc(uint8_t p1, const Bytes& data) {
    if (!processing_) return Status(0x6985);
    lastAcData_ = data;
    const uint8_t cid = (p1 & 0xC0) == 0x80 ? 0x80 : (p1 & 0xC0) == 0x40 ? 0x40 : 0x00;
    ++scenario_.atc;
    const Bytes atc = {static_cast<uint8_t>(scenario_.atc >> 8), static_cast<uint8_t>(scenario_.atc)};
    Bytes digest = Sha1(data);
    const Bytes cryptogram(digest.begin(), digest.begin() + 8);
    if (scenario_.acFormat == 0x80)
        return WithStatus(Element(0x80, Concat({{cid}, atc, cryptogram, scenario_.issuerApplicationData})));
    return WithStatus(Element(0x77, Concat({Element(0x9F27, {cid}), Element(0x9F36, atc), Element(0x9F26, cryptogram),
                                            Element(0x9F10, scenario_.issuerApplicationData), scenario_.proximity})));
}

Bytes EmvCard::internalAuthenticate(const Bytes& data) {
    if (!selected_) return Status(0x6985);
    const Bytes signature = Sha1(data);
    if (scenario_.acFormat == 0x80) return WithStatus(Element(0x80, signature));
    return WithStatus(Element(0x77, Concat({Element(0x9F4B, signature), scenario_.proximity})));
}

Bytes EmvCard::verify(const Bytes& block) {
    if (scenario_.pinTryCounter <= 0) return Status(0x6983);
    if (block.size() != 8 || (block[0] >> 4) != 0x2) return Status(0x6A80);
    const int count = block[0] & 0x0F;
    std::string digits;
    for (int i = 0; i < count && 1 + i / 2 < 8; ++i) {
        const uint8_t b = block[1 + i / 2];
        digits += static_cast<char>('0' + (i % 2 == 0 ? b >> 4 : b & 0x0F));
    }
    if (digits == scenario_.pin) return kOk;
    --scenario_.pinTryCounter;
    return Status(static_cast<uint16_t>(0x63C0 | scenario_.pinTryCounter));
}

}  // namespace cardsim
