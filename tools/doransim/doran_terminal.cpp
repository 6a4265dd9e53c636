// DORAN terminal simulator: frames, messages, scenario and dispatcher.
#include "doransim/doran_terminal.h"

#include <fstream>
#include <sstream>

namespace doransim {

namespace {

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Tag bytes in their minimal form.
Bytes TagBytes(uint32_t tag) {
    Bytes out;
    for (int shift = 24; shift >= 0; shift -= 8)
        if ((tag >> shift) != 0 || shift == 0) out.push_back(static_cast<uint8_t>(tag >> shift));
    return out;
}

// One element at p (no filler): its tag, value range and end; false when
// it does not fit n.
bool ReadElement(const uint8_t* p, size_t n, uint32_t* tag, size_t* valueAt, size_t* length, bool* constructed) {
    size_t i = 0;
    if (n == 0) return false;
    *constructed = (p[0] & 0x20) != 0;
    uint32_t t = p[i++];
    if ((t & 0x1F) == 0x1F) {
        do {
            if (i >= n || i > 4) return false;
            t = t << 8 | p[i];
        } while ((p[i++] & 0x80) != 0);
    }
    if (i >= n) return false;
    size_t len = p[i++];
    if (len & 0x80) {
        const size_t bytes = len & 0x7F;
        if (bytes == 0 || bytes > 2 || i + bytes > n) return false;
        len = 0;
        for (size_t k = 0; k < bytes; ++k) len = len << 8 | p[i++];
    }
    if (i + len > n) return false;
    *tag = t;
    *valueAt = i;
    *length = len;
    return true;
}

bool FindIn(const uint8_t* p, size_t n, uint32_t wanted, Bytes* out) {
    size_t i = 0;
    while (i < n) {
        if (p[i] == 0x00 || p[i] == 0xFF) {
            ++i;
            continue;
        }
        uint32_t tag = 0;
        size_t at = 0, length = 0;
        bool constructed = false;
        if (!ReadElement(p + i, n - i, &tag, &at, &length, &constructed)) return false;
        if (tag == wanted) {
            out->assign(p + i + at, p + i + at + length);
            return true;
        }
        if (constructed && FindIn(p + i + at, length, wanted, out)) return true;
        i += at + length;
    }
    return false;
}

uint32_t BigEndian(const Bytes& b) {
    uint32_t v = 0;
    for (uint8_t x : b) v = v << 8 | x;
    return v;
}

// "key=value" words of a statement.
std::map<std::string, std::string> Options(std::istringstream& in) {
    std::map<std::string, std::string> out;
    std::string word;
    while (in >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos) {
            out[word] = "";
            continue;
        }
        std::string value = word.substr(eq + 1);
        if (!value.empty() && value[0] == '"') {
            while (value.size() < 2 || value.back() != '"') {
                std::string more;
                if (!(in >> more)) break;
                value += " " + more;
            }
            value = value.substr(1, value.size() >= 2 ? value.size() - 2 : 0);
        }
        out[word.substr(0, eq)] = value;
    }
    return out;
}

// A quoted text of the statement.
bool Quoted(std::istringstream& in, std::string* out) {
    std::string first;
    if (!(in >> first) || first.empty() || first[0] != '"') return false;
    std::string text = first;
    while (text.size() < 2 || text.back() != '"') {
        std::string more;
        if (!(in >> more)) return false;
        text += " " + more;
    }
    *out = text.substr(1, text.size() - 2);
    return true;
}

long Num(const std::string& text, int base = 0) { return std::strtol(text.c_str(), nullptr, base); }

}  // namespace

// ---------------------------------------------------------------------------
// Frames and messages
// ---------------------------------------------------------------------------

std::string ControlFrame(uint8_t control, const std::vector<std::string>& fields) {
    std::string body;
    for (const std::string& f : fields) {
        body += f;
        body += '\0';
    }
    body += static_cast<char>(kEtx);
    uint8_t check = 0xFF;
    for (unsigned char c : body) check ^= c;
    return std::string(1, static_cast<char>(control)) + body + static_cast<char>(check);
}

std::string Escape(const Bytes& body) {
    std::string out;
    for (uint8_t b : body) {
        out += static_cast<char>(b);
        if (b == kDle) out += static_cast<char>(kDle);
    }
    return out;
}

Bytes Unescape(const std::string& body) {
    Bytes out;
    for (size_t i = 0; i < body.size(); ++i) {
        out.push_back(static_cast<uint8_t>(body[i]));
        if (static_cast<uint8_t>(body[i]) == kDle && i + 1 < body.size() && static_cast<uint8_t>(body[i + 1]) == kDle)
            ++i;
    }
    return out;
}

std::string DataFrame(uint8_t side, uint8_t sequence, uint8_t exchange, uint8_t header, const Bytes& body, bool last,
                      uint8_t start) {
    std::string inner;
    inner += static_cast<char>(side);
    inner += Escape({sequence});
    inner += Escape({exchange});
    inner += static_cast<char>(header);
    inner += '*';
    inner += Escape(body);
    inner += static_cast<char>(kDle);
    inner += static_cast<char>(last ? kEtx : kEtb);
    uint8_t check = start;
    for (unsigned char c : inner) check ^= c;
    return std::string{static_cast<char>(kDle), static_cast<char>(kStx)} + inner + static_cast<char>(check);
}

Bytes Tlv(uint32_t tag, const Bytes& value) { return cardsim::Element(tag, value); }

Bytes Number(uint32_t tag, uint32_t value, int bytes) {
    Bytes v;
    for (int i = bytes - 1; i >= 0; --i) v.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return Tlv(tag, v);
}

Bytes Encode(const Message& m) {
    Bytes e1 = Number(0xC4, m.command);
    if (!m.data.empty()) {
        const Bytes e2 = Tlv(0xE2, m.data);
        e1.insert(e1.end(), e2.begin(), e2.end());
    }
    if (!m.tags.empty()) {
        Bytes list;
        for (uint32_t t : m.tags) {
            const Bytes tb = TagBytes(t);
            list.insert(list.end(), tb.begin(), tb.end());
        }
        const Bytes l = Tlv(0x5C, list);
        e1.insert(e1.end(), l.begin(), l.end());
    }
    return Tlv(0xE0, cardsim::Concat({Number(0xC3, m.peripheral), Tlv(0xE1, e1)}));
}

std::optional<Bytes> Find(const Bytes& data, uint32_t tag) {
    Bytes out;
    if (!FindIn(data.data(), data.size(), tag, &out)) return std::nullopt;
    return out;
}

std::vector<std::pair<uint32_t, Bytes>> Elements(const Bytes& data) {
    std::vector<std::pair<uint32_t, Bytes>> out;
    size_t i = 0;
    while (i < data.size()) {
        if (data[i] == 0x00 || data[i] == 0xFF) {
            ++i;
            continue;
        }
        uint32_t tag = 0;
        size_t at = 0, length = 0;
        bool constructed = false;
        if (!ReadElement(data.data() + i, data.size() - i, &tag, &at, &length, &constructed)) break;
        out.emplace_back(tag, Bytes(data.begin() + static_cast<long>(i + at), data.begin() + static_cast<long>(i + at + length)));
        i += at + length;
    }
    return out;
}

std::optional<Message> Decode(const Bytes& bytes) {
    const auto e0 = Find(bytes, 0xE0);
    if (!e0) return std::nullopt;
    Message m;
    const auto c3 = Find(*e0, 0xC3);
    const auto e1 = Find(*e0, 0xE1);
    if (!c3 || !e1) return std::nullopt;
    m.peripheral = BigEndian(*c3);
    // The command's own elements, at its top level.
    for (const auto& [tag, value] : Elements(*e1)) {
        if (tag == 0xC4) m.command = BigEndian(value);
        if (tag == 0xE2) m.data = value;
        if (tag == 0x5C) {
            size_t i = 0;
            while (i < value.size()) {
                uint32_t t = value[i++];
                if ((t & 0x1F) == 0x1F)
                    while (i < value.size()) {
                        t = t << 8 | value[i];
                        if ((value[i++] & 0x80) == 0) break;
                    }
                m.tags.push_back(t);
            }
        }
    }
    return m;
}

Message KeyEvent(uint8_t key) { return {0x11, 0, cardsim::Concat({Number(0xDF828000, 0), Tlv(0xDF818100, {key})}), {}}; }

Message StripeEvent(const std::string& track2, const std::string& track1, const std::string& track3) {
    Bytes data = cardsim::Concat({Number(0xDF828000, 0), Tlv(0xDFF08100, ToBytes(track2))});
    if (!track1.empty()) data = cardsim::Concat({data, Number(0xDF828800, 0), Tlv(0xDFF08900, ToBytes(track1))});
    if (!track3.empty()) data = cardsim::Concat({data, Number(0xDF828A00, 0), Tlv(0xDFF08B00, ToBytes(track3))});
    return {0x21, 0, data, {}};
}

Message ChequeEvent(const std::string& line, uint16_t status) {
    Bytes data = Number(0xDF828000, status);
    if (!line.empty()) data = cardsim::Concat({data, Tlv(0xDFF08100, ToBytes(line))});
    return {0x31, 0, data, {}};
}

Message ChipEvent(int slot, uint16_t value, int a, int b, const Bytes& s) {
    Bytes data = Number(0xDF828000, value);
    if (a >= 0) data = cardsim::Concat({data, Number(0xDF828400, static_cast<uint32_t>(a))});
    if (b >= 0) data = cardsim::Concat({data, Number(0xDF818402, static_cast<uint32_t>(b), 1)});
    if (!s.empty()) data = cardsim::Concat({data, Tlv(0xDF858403, s)});
    return {static_cast<uint32_t>(0x50 + slot), 0, data, {}};
}

Message ContactlessEvent(uint16_t status) { return {0x7001, 18, Number(0xDF828000, status), {}}; }

// ---------------------------------------------------------------------------
// Scenario
// ---------------------------------------------------------------------------

std::optional<Scenario> Scenario::Parse(const std::string& text, std::string* error) {
    Scenario s;
    std::istringstream lines(text);
    std::string raw;
    int number = 0;
    const auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = "line " + std::to_string(number) + ": " + why;
        return std::nullopt;
    };
    const auto hex = [](const std::string& t) { return cardsim::ParseHex(t); };
    while (std::getline(lines, raw)) {
        ++number;
        const size_t hash = raw.find('#');
        const std::string line = hash == std::string::npos ? raw : raw.substr(0, hash);
        std::istringstream in(line);
        std::string word;
        if (!(in >> word)) continue;
        if (word == "ack-flags") {
            std::string v;
            in >> v;
            s.ackFlags = static_cast<uint8_t>(Num(v, 16));
        } else if (word == "ack-plain") {
            s.ackFlags.reset();
        } else if (word == "header") {
            std::string v;
            in >> v;
            s.header = static_cast<uint8_t>(Num(v, 16));
        } else if (word == "split") {
            in >> s.split;
            if (s.split == 0) return fail("split 0");
        } else if (word == "echo") {
            std::string kind;
            in >> kind;
            if (kind == "A0") s.echo = std::string("A\0", 2);
            else if (kind == "AA") s.echo = "AA";
            else if (kind == "KA") s.echo = "KAx";
            else if (kind == "K1") s.echo = "K\x01x";
            else if (kind == "none") s.echo.clear();
            else if (kind == "D") {
                std::string t;
                if (!Quoted(in, &t)) return fail("echo D needs a quoted text");
                s.echo = std::string("D") + static_cast<char>(t.size() + 1) + '\x1B' + t;
            } else {
                return fail("unknown echo " + kind);
            }
            auto o = Options(in);
            if (o.count("silent") != 0) {
                s.echoSilent = true;
                if (!s.echo.empty()) s.echo.pop_back();
            }
            if (o.count("delay") != 0) s.echoDelayMs = static_cast<int>(Num(o["delay"]));
        } else if (word == "control") {
            s.control.clear();
            while (in >> word) s.control.insert(word);
        } else if (word == "fault") {
            std::string what, how;
            in >> what >> how;
            auto o = Options(in);
            const int count = o.count("count") != 0 ? static_cast<int>(Num(o["count"])) : 1;
            if (what == "enq" && how == "nak") s.enqNaks = count;
            else if (what == "enq" && how == "data") s.enqData = true;
            else if (what == "enq" && how == "silence") s.enqSilence = true;
            else if (what == "fetch" && how == "eot") s.fetchEot = true;
            else if (what == "frame" && how == "nak") s.frameNaks = count;
            else if (what == "frame" && how == "silence") {
                s.frameSilence = true;
                if (o.count("eot-delay") != 0) s.eotDelayMs = static_cast<int>(Num(o["eot-delay"]));
            } else if (what == "frame" && how == "syn") {
                s.frameSyn = true;
                if (o.count("bel-delay") != 0) s.belDelayMs = static_cast<int>(Num(o["bel-delay"]));
            } else if (what == "answer") {
                s.answerFault = how;
            } else {
                return fail("unknown fault " + what + " " + how);
            }
        } else if (word == "dialogue") {
            int kind = -1;
            in >> kind;
            auto o = Options(in);
            Dialogue d;
            d.result = static_cast<int>(Num(o["result"]));
            if (o.count("item") != 0) d.item = static_cast<int>(Num(o["item"]));
            if (o.count("entry") != 0) {
                auto e = hex(o["entry"]);
                if (!e) return fail("entry not hexadecimal");
                d.entry = *e;
            }
            s.dialogues[kind] = d;
        } else if (word == "event") {
            std::string kind;
            in >> kind;
            if (kind == "key") {
                std::string code;
                in >> code;
                s.events.push_back(KeyEvent(static_cast<uint8_t>(code.size() == 1 ? code[0] : Num(code))));
            } else if (kind == "stripe") {
                std::string t1, t2, t3, name;
                while (in >> name) {
                    std::string t;
                    if (!Quoted(in, &t)) return fail("stripe track needs a quoted text");
                    if (name == "track1") t1 = t;
                    if (name == "track2") t2 = t;
                    if (name == "track3") t3 = t;
                }
                s.events.push_back(StripeEvent(t2, t1, t3));
            } else if (kind == "cheque") {
                std::string l;
                if (!Quoted(in, &l)) return fail("cheque needs a quoted line");
                auto o = Options(in);
                s.events.push_back(
                    ChequeEvent(l, static_cast<uint16_t>(o.count("status") ? Num(o["status"], 16) : 0x4000)));
            } else if (kind == "chip") {
                int slot = 1;
                in >> slot;
                auto o = Options(in);
                Bytes sv;
                if (o.count("s") != 0) sv = Bytes(o["s"].begin(), o["s"].end());
                s.events.push_back(ChipEvent(slot, static_cast<uint16_t>(Num(o["value"], 16)),
                                             o.count("a") ? static_cast<int>(Num(o["a"])) : -1,
                                             o.count("b") ? static_cast<int>(Num(o["b"])) : -1, sv));
            } else if (kind == "ctls") {
                auto o = Options(in);
                s.events.push_back(ContactlessEvent(static_cast<uint16_t>(Num(o["status"]))));
            } else if (kind == "timeout") {
                s.events.push_back(Message{0, 0, {}, {}});
            } else if (kind == "raw") {
                std::string periph, data;
                in >> periph >> data;
                auto d = hex(data);
                if (!d) return fail("raw event not hexadecimal");
                s.events.push_back(Message{static_cast<uint32_t>(Num(periph, 16)), 0, *d, {}});
            } else {
                return fail("unknown event " + kind);
            }
        } else if (word == "applist") {
            std::string first;
            in >> first;
            if (first == "raw") {
                std::string data;
                in >> data;
                auto d = hex(data);
                if (!d) return fail("applist raw not hexadecimal");
                s.applistRaw = *d;
                continue;
            }
            std::string aid;
            in >> aid;
            auto a = hex(aid);
            if (!a) return fail("AID not hexadecimal");
            auto o = Options(in);
            Bytes e4 = Tlv(0x84, *a);
            if (o.count("label") != 0) e4 = cardsim::Concat({e4, Tlv(0x50, ToBytes(o["label"]))});
            if (o.count("priority") != 0)
                e4 = cardsim::Concat({e4, Number(0x87, static_cast<uint32_t>(Num(o["priority"])), 1)});
            if (o.count("lang") != 0) e4 = cardsim::Concat({e4, Tlv(0x5F2D, ToBytes(o["lang"]))});
            if (o.count("ec") != 0) {
                auto ec = hex(o["ec"]);
                if (!ec) return fail("ec not hexadecimal");
                e4 = cardsim::Concat({e4, Tlv(0xEC, *ec)});
            }
            s.candidates.emplace_back(static_cast<uint32_t>(Num(first, 16)), Tlv(0xE4, e4));
        } else if (word == "terminfo") {
            std::string mode, value;
            in >> mode >> value;
            if (mode == "single") {
                auto d = hex(value);
                if (!d) return fail("terminfo not hexadecimal");
                s.terminfoSingle = *d;
            } else {
                s.terminfoList = static_cast<int>(Num(value));
            }
        } else if (word == "emv" || word == "pin" || word == "call61" || word == "call62") {
            std::string data;
            in >> data;
            auto d = hex(data);
            if (!d) return fail(word + " not hexadecimal");
            (word == "emv" ? s.emv : word == "pin" ? s.pin : word == "call61" ? s.call61 : s.call62) = *d;
        } else if (word == "answer") {
            std::string periph, command, arrow, data;
            in >> periph >> command >> arrow >> data;
            auto d = hex(data);
            if (arrow != "=>" || !d) return fail("answer PERIPH CMD => HEX");
            s.answers[{static_cast<uint32_t>(Num(periph, 16)), static_cast<uint32_t>(Num(command, 16))}] = *d;
        } else if (word == "factory") {
            auto o = Options(in);
            s.factoryStatus = static_cast<int>(Num(o["status"], 16));
            if (o.count("data") != 0) {
                auto d = hex(o["data"]);
                if (!d) return fail("factory data not hexadecimal");
                s.factoryData = *d;
            }
            s.factorySilence = o.count("silence") != 0;
            s.factoryEcho = o.count("echo") != 0;
            if (o.count("delay") != 0) s.factoryDelayMs = static_cast<int>(Num(o["delay"]));
        } else {
            return fail("unknown statement " + word);
        }
    }
    return s;
}

std::optional<Scenario> Scenario::FromFile(const std::string& path, std::string* error) {
    std::ifstream f(path);
    if (!f) {
        if (error != nullptr) *error = "cannot read " + path;
        return std::nullopt;
    }
    std::stringstream text;
    text << f.rdbuf();
    return Parse(text.str(), error);
}

// ---------------------------------------------------------------------------
// Dispatcher
// ---------------------------------------------------------------------------

namespace {

Bytes AnswerMessage(uint32_t peripheral, uint32_t command, const Bytes& data) {
    return Encode(Message{peripheral, command, data, {}});
}

bool Asks(const Message& request, uint32_t tag) {
    for (uint32_t t : request.tags)
        if (t == tag) return true;
    return false;
}

}  // namespace

Bytes DoranTerminal::event(const Message& request) {
    // The sources the request asked for, from its sub-messages.
    std::set<uint32_t> asked;
    if (auto subs = Find(request.data, 0xDFF88300)) {
        const Bytes all = *subs;
        size_t i = 0;
        while (i < all.size()) {
            const auto sub = Decode(Bytes(all.begin() + static_cast<long>(i), all.end()));
            const auto elements = Elements(Bytes(all.begin() + static_cast<long>(i), all.end()));
            if (!sub || elements.empty()) break;
            asked.insert(sub->peripheral);
            i += Tlv(0xE0, elements.front().second).size();
        }
    }
    for (auto it = scenario_.events.begin(); it != scenario_.events.end(); ++it) {
        if (it->peripheral == 0) {  // a scripted time-out
            scenario_.events.erase(it);
            return AnswerMessage(0xA1, 0x20, Number(0xDF828000, 10));
        }
        const bool chip = (it->peripheral & 0xF0) == 0x50;
        bool wanted = asked.count(it->peripheral) != 0;
        for (uint32_t p : asked) wanted = wanted || (chip && (p & 0xF0) == 0x50);
        if (!wanted) continue;
        const Message source = *it;
        scenario_.events.erase(it);
        return AnswerMessage(0xA1, 0x20, cardsim::Concat({Number(0xDF828000, 0), Tlv(0xDFF88304, Encode(source))}));
    }
    return AnswerMessage(0xA1, 0x20, Number(0xDF828000, 10));
}

Bytes DoranTerminal::applicationList() {
    Bytes list = scenario_.applistRaw;
    if (list.empty()) {
        std::map<uint32_t, Bytes> containers;
        std::vector<uint32_t> order;
        for (const auto& [container, e4] : scenario_.candidates) {
            if (containers.count(container) == 0) order.push_back(container);
            containers[container] = cardsim::Concat({containers[container], e4});
        }
        for (uint32_t c : order) list = cardsim::Concat({list, Tlv(c, containers[c])});
    }
    Bytes data = Number(0xDF828000, 0);
    if (!list.empty()) data = cardsim::Concat({data, Tlv(0xDFF88304, list)});
    return AnswerMessage(0xA1, 0x10, data);
}

Bytes DoranTerminal::terminalInfo(const Message& request) {
    Bytes data = Number(0xDF828000, 0);
    if (Asks(request, 0xDFF88404)) {
        Bytes entries;
        for (int i = 0; i < scenario_.terminfoList; ++i) {
            char id[16];
            std::snprintf(id, sizeof id, "P%03d", i % 1000);
            entries = cardsim::Concat({entries, Tlv(0xE2, cardsim::Concat({Number(0xDF828300, 0x1000u + i),
                                                                           Tlv(0xDF858302, Bytes(id, id + 4))}))});
        }
        if (!entries.empty()) data = cardsim::Concat({data, Tlv(0xDFF88404, entries)});
    } else if (!scenario_.terminfoSingle.empty()) {
        data = cardsim::Concat({data, Tlv(0xDFF88400, scenario_.terminfoSingle)});
    }
    return AnswerMessage(0xA1, 0x60, data);
}

Bytes DoranTerminal::answer(const Message& request) {
    const uint32_t p = request.peripheral;
    const uint32_t c = request.command;
    if ((p & 0xF0) == 0x40 && p <= 0x4F) {
        const auto found = scenario_.dialogues.find(static_cast<int>(c));
        const Scenario::Dialogue d = found != scenario_.dialogues.end() ? found->second : Scenario::Dialogue{};
        Bytes data = Number(0xDF828000, static_cast<uint32_t>(d.result));
        if (d.item >= 0) data = cardsim::Concat({data, Number(0xDF828208, static_cast<uint32_t>(d.item))});
        if (!d.entry.empty()) data = cardsim::Concat({data, Tlv(0xDFF08400, d.entry)});
        return AnswerMessage(p, c, data);
    }
    const auto scripted = scenario_.answers.find({p, c});
    if (scripted != scenario_.answers.end()) return AnswerMessage(p, c, scripted->second);
    if (p == 0xA1 && c == 0x20) return event(request);
    if (p == 0xA1 && c == 0x10) return applicationList();
    if (p == 0xA1 && c == 0x60) return terminalInfo(request);
    if (p == 0xA1 && c == 0x61)
        return AnswerMessage(p, c, cardsim::Concat({Number(0xDF828000, 0), scenario_.call61.empty()
                                                                                ? Bytes{}
                                                                                : Tlv(0xDF848B00, scenario_.call61)}));
    if (p == 0xA1 && c == 0x62)
        return AnswerMessage(p, c, cardsim::Concat({Number(0xDF828000, 0), scenario_.call62.empty()
                                                                                ? Bytes{}
                                                                                : Tlv(0xDF848D00, scenario_.call62)}));
    if (c == 4 && Asks(request, 0xDF848400))
        return AnswerMessage(p, c, cardsim::Concat({Number(0xDF828000, 0), scenario_.pin.empty()
                                                                                ? Bytes{}
                                                                                : Tlv(0xDF848400, scenario_.pin)}));
    if (p == 0x2801 && c == 4) {
        // Operation 30: every service asked answered, each state 0.
        const Bytes asked = Find(request.data, 0xDF838218).value_or(Bytes{0, 0, 0, 0});
        Bytes data = cardsim::Concat({Number(0xDF828000, 0), Tlv(0xDF838102, asked),
                                      Tlv(0xDF85810A, Bytes(16, 0x00)), Number(0xDF828100, 0)});
        if (!scenario_.emv.empty()) data = cardsim::Concat({data, Tlv(0xDF808400, scenario_.emv)});
        return AnswerMessage(p, c, data);
    }
    return AnswerMessage(p, c, Number(0xDF828000, 0));
}

}  // namespace doransim
