#include "rudasim/ruda_screens.h"

#include <algorithm>
#include <cstdlib>

namespace rudasim {

namespace {

const Bytes kOk = {0x90, 0x00};
const Bytes kCancelled = {0x9F, 0x43};

bool Begins(const Bytes& apdu, std::initializer_list<uint8_t> head) {
    if (apdu.size() < head.size()) return false;
    size_t i = 0;
    for (uint8_t b : head)
        if (apdu[i++] != b) return false;
    return true;
}

// The data of a command APDU: short (Lc) or extended (00 Lhi Llo) form,
// cut to what came.
Bytes CommandData(const Bytes& apdu) {
    if (apdu.size() <= 5) return {};
    size_t at = 5, n = apdu[4];
    if (apdu[4] == 0 && apdu.size() >= 7) {
        at = 7;
        n = static_cast<size_t>(apdu[5]) << 8 | apdu[6];
    }
    if (at > apdu.size()) return {};
    n = std::min(n, apdu.size() - at);
    return Bytes(apdu.begin() + static_cast<long>(at), apdu.begin() + static_cast<long>(at + n));
}

// The elements of a BER-TLV sequence, in order (tag, value); stops at the
// first malformed one.
std::vector<std::pair<unsigned, Bytes>> Elements(const Bytes& data) {
    std::vector<std::pair<unsigned, Bytes>> out;
    size_t i = 0;
    while (i < data.size()) {
        unsigned tag = data[i++];
        if ((tag & 0x1F) == 0x1F) {
            while (i < data.size()) {
                const uint8_t b = data[i++];
                tag = tag << 8 | b;
                if ((b & 0x80) == 0) break;
            }
        }
        if (i >= data.size()) break;
        size_t n = data[i++];
        if (n == 0x81 || n == 0x82) {
            const size_t bytes = n - 0x80;
            if (i + bytes > data.size()) break;
            n = 0;
            for (size_t k = 0; k < bytes; ++k) n = n << 8 | data[i++];
        }
        if (i + n > data.size()) break;
        out.emplace_back(tag, Bytes(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n)));
        i += n;
    }
    return out;
}

// The elements inside the request's E0 template (or the data itself).
std::vector<std::pair<unsigned, Bytes>> Content(const Bytes& apdu) {
    auto top = Elements(CommandData(apdu));
    if (top.size() == 1 && top[0].first == 0xE0) return Elements(top[0].second);
    return top;
}

std::string Value(const std::vector<std::pair<unsigned, Bytes>>& elements, unsigned tag) {
    for (const auto& [t, v] : elements)
        if (t == tag) return std::string(v.begin(), v.end());
    return {};
}

Bytes Template(unsigned tag, const std::string& text) {
    return cardsim::Concat({cardsim::Element(0xE0, cardsim::Element(tag, Bytes(text.begin(), text.end()))), kOk});
}

Bytes TakeText(std::deque<std::optional<std::string>>& queue, unsigned tag) {
    if (queue.empty()) return kCancelled;
    const std::optional<std::string> next = queue.front();
    queue.pop_front();
    return next ? Template(tag, *next) : kCancelled;
}

std::optional<Bytes> Hex(const std::vector<std::string>& w, size_t from, size_t to) {
    std::string joined;
    for (size_t i = from; i < to && i < w.size(); ++i) joined += w[i];
    return cardsim::ParseHex(joined);
}

}  // namespace

bool ScreenScenario::parse(const std::vector<std::string>& w, std::string* error) {
    const std::string& key = w[0];
    auto fail = [&](const std::string& why) {
        *error = why;
        return true;
    };
    if (key == "page") {
        if (w.size() < 3) return fail("page NAME => HEX [delay MS] | page NAME cancel [delay MS] expected");
        PageRule rule;
        rule.name = w[1];
        size_t end = w.size();
        if (end >= 2 && w[end - 2] == "delay") {
            rule.delayMs = std::atoi(w[end - 1].c_str());
            end -= 2;
        }
        if (w[2] == "cancel" && end == 3) {
            rule.final = kCancelled;
        } else if (w[2] == "=>") {
            auto b = Hex(w, 3, end);
            if (!b || b->size() < 2) return fail("page: an answer of 2 bytes or more expected");
            rule.final = *b;
        } else {
            return fail("page NAME => HEX | page NAME cancel expected");
        }
        pages.push_back(rule);
        return true;
    }
    if (key == "select") {
        if (w.size() != 2) return fail("select ITEM | select cancel expected");
        if (w[1] == "cancel") {
            selections.push_back(std::nullopt);
            return true;
        }
        const int item = std::atoi(w[1].c_str());
        if (item < 0 || item > 255) return fail("select: an item from 0 to 255 expected");
        selections.push_back(static_cast<uint8_t>(item));
        return true;
    }
    if (key == "entry" || key == "secret") {
        if (w.size() != 2) return fail(key + " TEXT | " + key + " cancel expected");
        auto& queue = key == "entry" ? entries : secrets;
        queue.push_back(w[1] == "cancel" ? std::nullopt : std::optional<std::string>(w[1]));
        return true;
    }
    if (key == "display-status") {
        auto sw = w.size() == 2 ? cardsim::ParseHex(w[1]) : std::nullopt;
        if (!sw || sw->size() != 2) return fail("display-status SW expected");
        displayStatus = *sw;
        return true;
    }
    if (key == "qr") {
        if (w.size() == 1) {
            qrStatus = kOk;
            return true;
        }
        auto sw = w.size() == 3 && w[1] == "sw" ? cardsim::ParseHex(w[2]) : std::nullopt;
        if (!sw || sw->size() != 2) return fail("qr [sw HEX] expected");
        qrStatus = *sw;
        return true;
    }
    if (key == "barcode") {
        if (w.size() != 2 || w[1].empty()) return fail("barcode TEXT expected");
        barcodes.push_back(w[1]);
        return true;
    }
    if (key == "languages") {
        if (w.size() < 2) return fail("languages CODE... expected");
        languages.assign(w.begin() + 1, w.end());
        return true;
    }
    if (key == "language-refuse") {
        languageRefuse = true;
        return true;
    }
    return false;
}

bool AnswerScreen(ScreenScenario& s, ScreenRecord& record, const Bytes& apdu, ScreenAnswer* a) {
    if (Begins(apdu, {0xD0, 0xB1})) {
        ++record.barcodeRequests;
        // A read (P1 1 or 2) gives the next barcode; open and close 90 00.
        const bool read = apdu.size() >= 3 && (apdu[2] == 1 || apdu[2] == 2);
        if (read && !s.barcodes.empty()) {
            a->payload = Template(0xDFA310, s.barcodes.front());
            s.barcodes.pop_front();
        } else {
            a->payload = kOk;
        }
        return true;
    }
    if (apdu.size() < 4 || apdu[0] != 0xD2) return false;
    switch (apdu[1]) {
        case 0x01: {
            if (apdu[2] == 0x00) {
                const Bytes text = CommandData(apdu);
                record.texts.emplace_back(text.begin(), text.end());
            } else {
                record.screenIds.push_back(apdu[2]);
            }
            a->payload = s.displayStatus.value_or(kOk);
            return true;
        }
        case 0x10:
            record.bitmaps.push_back(Value(Content(apdu), 0xDFA301));
            a->payload = s.displayStatus.value_or(kOk);
            return true;
        case 0x03:
            ++record.selections;
            if (s.selections.empty() || !s.selections.front()) {
                a->payload = kCancelled;
            } else {
                a->payload = cardsim::Concat(
                    {cardsim::Element(0xE0, cardsim::Element(0xDFA202, {*s.selections.front()})), kOk});
            }
            if (!s.selections.empty()) s.selections.pop_front();
            return true;
        case 0x04:
            ++record.entries;
            a->payload = TakeText(s.entries, 0xDFA208);
            return true;
        case 0xF1:
            ++record.entries;
            a->payload = TakeText(s.entries, 0xDF8301);
            return true;
        case 0xF3:
            ++record.entries;
            a->payload = TakeText(s.secrets, 0xDF8301);
            return true;
        case 0xC0:
            record.qrCodes.push_back(Value(Content(apdu), 0xDFA310));
            a->payload = s.qrStatus;
            return true;
        case 0xD0:
            if (apdu[3] == 0x01) {
                record.languagesChosen.push_back(Value(Content(apdu), 0xDFA222));
                a->payload = s.languageRefuse ? Bytes{0x9F, 0x21} : kOk;
            } else {
                Bytes list;
                for (const std::string& code : s.languages)
                    list = cardsim::Concat({list, cardsim::Element(0xDFA222, Bytes(code.begin(), code.end()))});
                a->payload = cardsim::Concat({cardsim::Element(0xE0, list), kOk});
            }
            return true;
        case 0xE0: {
            const auto content = Content(apdu);
            std::vector<std::pair<std::string, std::string>> params;
            std::string name;
            for (const auto& [tag, value] : content) {
                if (tag == 0xDFAA02) name.assign(value.begin(), value.end());
                if (tag == 0xDFAA03) params.emplace_back(name, std::string(value.begin(), value.end()));
            }
            const std::string page = Value(content, 0xDFAA01);
            record.pages.emplace_back(page, params);
            // The page is shown (90 00), then the holder's answer comes.
            a->payload = kOk;
            a->after = cardsim::Concat({cardsim::Element(0xE0, cardsim::Element(0xDFAA05, {0x00})), kOk});
            for (const PageRule& rule : s.pages) {
                if (rule.name != page) continue;
                a->after = rule.final;
                a->afterDelayMs = rule.delayMs;
                break;
            }
            return true;
        }
        default: return false;
    }
}

}  // namespace rudasim
