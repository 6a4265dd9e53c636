#include "rudasim/ruda_services.h"

#include <algorithm>
#include <cstdlib>

namespace rudasim {

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;

Bytes Sw(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

bool Starts(const Bytes& apdu, std::initializer_list<uint8_t> prefix) {
    return apdu.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), apdu.begin());
}

// The data of a short or extended APDU (after CLA INS P1 P2).
Bytes Data(const Bytes& apdu) {
    if (apdu.size() <= 5) return {};
    if (apdu[4] == 0x00 && apdu.size() >= 7) {
        const size_t n = static_cast<size_t>(apdu[5]) << 8 | apdu[6];
        return Bytes(apdu.begin() + 7, apdu.begin() + static_cast<long>(std::min(apdu.size(), 7 + n)));
    }
    const size_t n = apdu[4];
    return Bytes(apdu.begin() + 5, apdu.begin() + static_cast<long>(std::min(apdu.size(), 5 + n)));
}

// The value of the first element `wanted` at the top of the data or inside
// a constructed one.
bool Value(const Bytes& data, unsigned wanted, Bytes* out) {
    size_t i = 0;
    while (i < data.size()) {
        const bool constructed = (data[i] & 0x20) != 0;
        unsigned tag = data[i++];
        if ((tag & 0x1F) == 0x1F) {
            do {
                if (i >= data.size()) return false;
                tag = tag << 8 | data[i];
            } while ((data[i++] & 0x80) != 0);
        }
        if (i >= data.size()) return false;
        size_t n = data[i++];
        if (n & 0x80) {
            const size_t bytes = n & 0x7F;
            if (bytes == 0 || bytes > 2 || i + bytes > data.size()) return false;
            n = 0;
            for (size_t k = 0; k < bytes; ++k) n = n << 8 | data[i++];
        }
        if (i + n > data.size()) return false;
        const Bytes value(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n));
        if (tag == wanted) {
            *out = value;
            return true;
        }
        if (constructed && Value(value, wanted, out)) return true;
        i += n;
    }
    return false;
}

Bytes PrintAnswer(const RudaServicesScript& s) {
    if (s.printer == "paper-out") return Concat({Bytes{0x8C}, Sw(s.printerSw)});
    if (s.printer == "none") return Concat({Bytes{0x02}, Sw(s.printerSw)});
    if (s.printer == "jam") return Concat({Bytes{0x05}, Sw(s.printerSw)});
    return Sw(0x9000);
}

uint8_t PrinterState(const std::string& printer) {
    if (printer == "paper-out") return 0x04;
    if (printer == "jam") return 0x02;
    if (printer == "none") return 0x10;
    return 0x00;
}

Bytes HardwareUnit(const RudaInfoPreset& info, const std::string& model, const std::string& serial) {
    Bytes inner = Concat({Element(0x9F1E, Text(serial)), Element(0xDF0D, Text(model))});
    if (info.family == "QT") {
        inner = Concat({inner, Element(0xDF8109, Text("uMa")), Element(0xDF7F, Text("QT" + info.os))});
    } else {
        inner = Concat({inner, Element(0xDF8109, Text("M/RT")), Element(0xDF7F, Text("QX-kernel")),
                        Element(0xDF7F, Text(info.os))});
    }
    if (!info.tamper.empty()) inner = Concat({inner, Element(0xDF8101, Text(info.tamper))});
    if (!info.removal.empty()) inner = Concat({inner, Element(0xDF8102, Text(info.removal))});
    if (info.uptime >= 0) inner = Concat({inner, Element(0xDFEC1F, Be32(static_cast<uint32_t>(info.uptime)))});
    return Element(0xEE, inner);
}

Bytes InfoAnswer(const RudaInfoPreset& info, const std::string& serial) {
    if (info.status != 0x9000) return Sw(info.status);
    Bytes units;
    if (info.model == "TQ202AMBO") {
        units = Concat({HardwareUnit(info, "TQ202", serial), Element(0xEE, Element(0xDF0D, Text("Ambo")))});
    } else if (info.model.rfind("LR52", 0) == 0) {
        units = Concat({HardwareUnit(info, "LR510", serial), HardwareUnit(info, info.model, serial)});
    } else {
        units = HardwareUnit(info, info.model, serial);
    }
    const Bytes app = Element(0xEF, Concat({Element(0xDF0D, Text("RELEASE")), Element(0xDF7F, Text(info.app))}));
    return Concat({Element(0x9F1C, Text(info.id)), units, app, Sw(0x9000)});
}

Bytes CtlsAnswer(const RudaInfoPreset& info) {
    if (info.ctlsNone) return Sw(0x9F11);
    Bytes inner = Element(0xDFC022, Text(info.ctls.empty() ? "TQ-CTLS-1.0" : info.ctls));
    if (!info.kernels.empty()) inner = Concat({inner, Element(0xDFC028, Text(info.kernels))});
    return Concat({Element(0xE1, inner), Sw(0x9000)});
}

}  // namespace

bool ParseServiceStatement(RudaServicesScript& s, const std::vector<std::string>& w, std::string* error) {
    const std::string& key = w[0];
    const auto fail = [&](const std::string& why) {
        *error = why;
        return true;
    };
    if (key == "printer") {
        if (w.size() < 2 || (w[1] != "ok" && w[1] != "paper-out" && w[1] != "none" && w[1] != "jam"))
            return fail("printer ok|paper-out|none|jam [sw HEX] expected");
        s.printer = w[1];
        if (w.size() == 4 && w[2] == "sw") {
            auto sw = cardsim::ParseHex(w[3]);
            if (!sw || sw->size() != 2) return fail("printer: sw takes two bytes");
            s.printerSw = static_cast<uint16_t>((*sw)[0] << 8 | (*sw)[1]);
        } else if (w.size() != 2) {
            return fail("printer ok|paper-out|none|jam [sw HEX] expected");
        }
        return true;
    }
    if (key == "file") {
        if (w.size() != 3 && !(w.size() == 5 && w[3] == "content")) return fail("file NAME SIZE [content HEX] expected");
        Bytes content;
        if (w.size() == 5) {
            auto b = cardsim::ParseHex(w[4]);
            if (!b) return fail("file: content takes hexadecimal bytes");
            content = *b;
        }
        char* end = nullptr;
        const unsigned long size = std::strtoul(w[2].c_str(), &end, 10);
        if (end == nullptr || *end != '\0' || size > 1000000) return fail("file: SIZE in bytes expected");
        content.resize(size);
        s.files[w[1]] = content;
        return true;
    }
    if (key == "file-stream") {
        if (w.size() != 2 || w[1] != "refuse") return fail("file-stream refuse expected");
        s.streamRefuse = true;
        return true;
    }
    if (key == "file-version") {
        if (w.size() != 3) return fail("file-version NAME VERSION expected");
        s.fileVersions.emplace_back(w[1], w[2]);
        return true;
    }
    if (key == "keyslot") {
        auto ksn = w.size() == 3 ? cardsim::ParseHex(w[2]) : std::nullopt;
        if (!ksn || ksn->size() != 10) return fail("keyslot N KSN-HEX (10 bytes) expected");
        s.keySlots.emplace_back(static_cast<uint8_t>(std::atoi(w[1].c_str())), *ksn);
        return true;
    }
    if (key == "sred") {
        if (w.size() != 2 || (w[1] != "ok" && w[1] != "tampered" && w[1] != "refused"))
            return fail("sred ok|tampered|refused expected");
        s.sred = w[1];
        return true;
    }
    if (key == "info") {
        if (w.size() < 2) return fail("info MODEL [options] expected");
        RudaInfoPreset info;
        info.model = w[1];
        for (size_t i = 2; i < w.size(); i += 2) {
            if (i + 1 >= w.size()) return fail("info: " + w[i] + " takes a value");
            const std::string& option = w[i];
            const std::string& value = w[i + 1];
            if (option == "family" && (value == "QT" || value == "QX")) info.family = value;
            else if (option == "app") info.app = value;
            else if (option == "os") info.os = value;
            else if (option == "ctls" && value == "none") info.ctlsNone = true;
            else if (option == "ctls") info.ctls = value;
            else if (option == "kernels") info.kernels = value;
            else if (option == "uptime") info.uptime = std::atol(value.c_str());
            else if (option == "tamper") info.tamper = value;
            else if (option == "removal") info.removal = value;
            else if (option == "id") info.id = value;
            else if (option == "status") {
                auto sw = cardsim::ParseHex(value);
                if (!sw || sw->size() != 2) return fail("info: status takes two bytes");
                info.status = static_cast<uint16_t>((*sw)[0] << 8 | (*sw)[1]);
            } else {
                return fail("info: unknown option " + option);
            }
        }
        s.info = info;
        return true;
    }
    return false;
}

bool AnswerService(const RudaServicesScript& s, RudaServiceRecord& r, const std::string& serial, uint8_t nad,
                   const Bytes& apdu, Bytes* answer) {
    if (nad == 0x11 || apdu.size() < 4) return false;
    if (Starts(apdu, {0xD2, 0xA1})) {
        const Bytes text = Data(apdu);
        r.printed.insert(r.printed.end(), text.begin(), text.end());
        *answer = PrintAnswer(s);
        return true;
    }
    if (Starts(apdu, {0xD2, 0xA2})) {
        Bytes name;
        if (Value(Data(apdu), 0xDFA301, &name)) r.images.emplace_back(name.begin(), name.end());
        *answer = PrintAnswer(s);
        return true;
    }
    if (Starts(apdu, {0xD2, 0xA4})) {
        *answer = Concat({Element(0xE0, Element(0xDF31, {PrinterState(s.printer)})), Sw(0x9000)});
        return true;
    }
    if (Starts(apdu, {0x00, 0xA4})) {
        const Bytes name = Data(apdu);
        r.selected.assign(name.begin(), name.end());
        const auto known = r.files.find(r.selected);
        const auto scripted = s.files.find(r.selected);
        if (known == r.files.end() && scripted == s.files.end()) {
            *answer = Sw(0x9F13);
            return true;
        }
        const Bytes& content = known != r.files.end() ? known->second : scripted->second;
        *answer = Concat({Element(0x6F, Element(0x80, Be32(static_cast<uint32_t>(content.size())))), Sw(0x9000)});
        return true;
    }
    if (Starts(apdu, {0x00, 0xD6})) {
        const Bytes data = Data(apdu);
        if (data.empty() || r.selected.empty()) {
            *answer = Sw(0x6A82);
            return true;
        }
        Bytes& file = r.files[r.selected];
        if (file.empty() && s.files.count(r.selected) != 0) file = s.files.at(r.selected);
        const size_t offset = static_cast<size_t>(apdu[2] & 0x7F) << 16 | static_cast<size_t>(apdu[3]) << 8 | data[0];
        if (file.size() < offset + data.size() - 1) file.resize(offset + data.size() - 1);
        std::copy(data.begin() + 1, data.end(), file.begin() + static_cast<long>(offset));
        *answer = Sw(0x9000);
        return true;
    }
    if (Starts(apdu, {0x00, 0xA5})) {
        *answer = Sw(s.streamRefuse ? 0x6D00 : 0x9000);
        return true;
    }
    if (Starts(apdu, {0x00, 0xB1})) {
        Bytes size, offset;
        const Bytes data = Data(apdu);
        const auto known = r.files.find(r.selected);
        const auto scripted = s.files.find(r.selected);
        const Bytes* content = known != r.files.end()      ? &known->second
                               : scripted != s.files.end() ? &scripted->second
                                                           : nullptr;
        if (content == nullptr || !Value(data, 0xDFDE7C, &size) || !Value(data, 0xDFDE7D, &offset) ||
            size.size() != 4 || offset.size() != 4) {
            *answer = Sw(0x6A82);
            return true;
        }
        const size_t n = static_cast<size_t>(size[0]) << 24 | size[1] << 16 | size[2] << 8 | size[3];
        const size_t at = static_cast<size_t>(offset[0]) << 24 | offset[1] << 16 | offset[2] << 8 | offset[3];
        const size_t from = std::min(at, content->size());
        const size_t to = std::min(content->size(), from + n);
        *answer = Concat({Bytes(content->begin() + static_cast<long>(from), content->begin() + static_cast<long>(to)),
                          Sw(0x9000)});
        return true;
    }
    if (Starts(apdu, {0xD0, 0x05, 0x01})) {
        *answer = Concat({Element(0x6F, Concat({Element(0x80, Be32(4096)), Element(0x84, Text("logs.tgz"))})),
                          Sw(0x9000)});
        return true;
    }
    if (Starts(apdu, {0xD0, 0x00, 0x00, 0x01})) {
        *answer = InfoAnswer(s.info, serial);
        return true;
    }
    if (Starts(apdu, {0xC0, 0x00, 0xFF, 0x00})) {
        *answer = CtlsAnswer(s.info);
        return true;
    }
    if (Starts(apdu, {0xD0, 0x01, 0x00, 0x00})) {
        Bytes all;
        for (const auto& [name, version] : s.fileVersions)
            all = Concat({all, Element(0xED, Concat({Element(0xDF0D, Text(name)), Element(0xDF7F, Text(version))}))});
        *answer = Concat({all, Sw(0x9000)});
        return true;
    }
    if (Starts(apdu, {0xC4, 0x11, 0x00})) {
        Bytes inner;
        for (const auto& [slot, ksn] : s.keySlots)
            inner = Concat({inner, Element(0xDFEC46, {slot}), Element(0xDFDF11, ksn)});
        *answer = inner.empty() ? Sw(0x9000) : Concat({Element(0xE0, inner), Sw(0x9000)});
        return true;
    }
    if (Starts(apdu, {0xDD, 0x20, 0x07, 0x00})) {
        if (s.sred == "tampered") *answer = Sw(0x9F50);
        else if (s.sred == "refused") *answer = Sw(0x6F00);
        else
            *answer = Concat({Element(0xE0, Concat({Element(0xDFDB08, Be32(0)), Element(0xDFDB0E, Be32(0)),
                                                     Element(0xDFDB09, Bytes(32, 0))})),
                              Sw(0x9000)});
        return true;
    }
    return false;
}

}  // namespace rudasim
