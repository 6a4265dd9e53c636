#include "rudasim/ruda_terminal.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "netsim/acquirer.h"

namespace rudasim {

namespace {

constexpr int kBlockMax = 254;
constexpr int kEndlessBlocks = 64;  // past any receive room
constexpr uint8_t kMore = 0x01, kCiphered = 0x02;

Bytes Status(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

uint8_t Lrc(const std::string& bytes) {
    uint8_t lrc = 0;
    for (unsigned char c : bytes) lrc ^= c;
    return lrc;
}

bool IsReadersOff(const Bytes& apdu) {
    return apdu.size() >= 4 && apdu[0] == 0xD0 && (apdu[1] == 0x60 || apdu[1] == 0x61) && apdu[2] == 0 &&
           apdu[3] == 0;
}

// Finds an element (depth first through constructed ones) in BER-TLV data.
bool FindElement(const uint8_t* p, size_t n, unsigned wanted, Bytes* out) {
    size_t i = 0;
    while (i < n) {
        if (p[i] == 0x00 || p[i] == 0xFF) {  // filler
            ++i;
            continue;
        }
        const bool constructed = (p[i] & 0x20) != 0;
        unsigned tag = p[i++];
        if ((tag & 0x1F) == 0x1F) {
            do {
                if (i >= n) return false;
                tag = tag << 8 | p[i];
            } while ((p[i++] & 0x80) != 0);
        }
        if (i >= n) return false;
        size_t length = p[i++];
        if (length & 0x80) {
            const size_t bytes = length & 0x7F;
            if (bytes == 0 || bytes > 2 || i + bytes > n) return false;
            length = 0;
            for (size_t k = 0; k < bytes; ++k) length = length << 8 | p[i++];
        }
        if (i + length > n) return false;
        if (tag == wanted) {
            out->assign(p + i, p + i + length);
            return true;
        }
        if (constructed && FindElement(p + i, length, wanted, out)) return true;
        i += length;
    }
    return false;
}

bool StartsWith(const Bytes& apdu, const Bytes& prefix) {
    return apdu.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), apdu.begin());
}

// Card-status requests and contactless starts wait for a card event; a
// card-status request that arms nothing (D0 60 00 00, D0 61 00 00: the
// readers switched off) is answered at once.
bool IsEventRequest(const Bytes& apdu) {
    if (IsReadersOff(apdu)) return false;
    return apdu.size() >= 2 && ((apdu[0] == 0xD0 && (apdu[1] == 0x60 || apdu[1] == 0x61)) ||
                                (apdu[0] == 0xC0 && apdu[1] == 0xA0));
}

std::optional<Bytes> HexWords(const std::vector<std::string>& w, size_t from, size_t to) {
    std::string joined;
    for (size_t i = from; i < to && i < w.size(); ++i) joined += w[i];
    return cardsim::ParseHex(joined);
}

std::optional<Bytes> Crypt(const Bytes& key, const Bytes& in, bool encrypt) {
    if (key.size() != 24) return std::nullopt;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr) return std::nullopt;
    const unsigned char iv[8] = {};
    Bytes out(in.size() + 16);
    int n = 0, tail = 0;
    const bool ok = EVP_CipherInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key.data(), iv, encrypt ? 1 : 0) == 1 &&
                    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
                    EVP_CipherFinal_ex(ctx, out.data() + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return std::nullopt;
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

}  // namespace

std::optional<Bytes> Encipher(const Bytes& key, const Bytes& plain) { return Crypt(key, plain, true); }
std::optional<Bytes> Decipher(const Bytes& key, const Bytes& cipher) { return Crypt(key, cipher, false); }

std::string Blocks(uint8_t nad, const Bytes& message, bool ciphered) {
    std::string out;
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(kBlockMax, message.size() - at);
        const bool more = at + n < message.size();
        std::string block;
        block += static_cast<char>(nad);
        block += static_cast<char>((more ? kMore : 0) | (at == 0 && ciphered ? kCiphered : 0));
        block += static_cast<char>(n);
        block.append(message.begin() + static_cast<long>(at), message.begin() + static_cast<long>(at + n));
        block += static_cast<char>(Lrc(block));
        out += block;
        at += n;
    } while (at < message.size());
    return out;
}

const Bytes kDefaultAtr = {0x3B, 0x65, 0x00, 0x00, 0x20, 0x63, 0xCB, 0x6A, 0x00};

Bytes ChipEvent(const std::vector<Bytes>& aids, const Bytes& atr) {
    Bytes inner = cardsim::Element(0x48, {0x03, 0x00});
    for (const Bytes& aid : aids) {
        const Bytes e = cardsim::Element(0x9F06, aid);
        inner.insert(inner.end(), e.begin(), e.end());
    }
    if (!atr.empty()) {
        const Bytes e = cardsim::Element(0x63, atr);
        inner.insert(inner.end(), e.begin(), e.end());
    }
    return cardsim::Concat({cardsim::Element(0xE0, inner), Status(0x9000)});
}

const Bytes kMuteAtr = {0x3B, 0x00};

Bytes MuteEvent(const Bytes& atr) {
    const Bytes inner = cardsim::Concat({cardsim::Element(0x48, {0x01, 0x00}), cardsim::Element(0x63, atr)});
    return cardsim::Concat({cardsim::Element(0xE0, inner), Status(0x9000)});
}

Bytes StripeEvent(const std::string& track1, const std::string& track2, const std::string& track3) {
    Bytes inner = cardsim::Element(0x48, {0x00, 0x05});
    const std::pair<unsigned, const std::string*> tracks[] = {{0x5F21, &track1}, {0x5F22, &track2}, {0x5F23, &track3}};
    for (const auto& [tag, text] : tracks) {
        if (text->empty()) continue;
        const Bytes e = cardsim::Element(tag, ToBytes(*text));
        inner.insert(inner.end(), e.begin(), e.end());
    }
    return cardsim::Concat({cardsim::Element(0xE0, inner), Status(0x9000)});
}

Bytes CtlsEvent(uint16_t sw, const Bytes& elements) { return cardsim::Concat({elements, Status(sw)}); }

// ---------------------------------------------------------------------------
// Scenario
// ---------------------------------------------------------------------------

std::optional<RudaScenario> RudaScenario::Parse(const std::string& text, const std::string& baseDir,
                                                std::string* error) {
    RudaScenario s;
    const bool read = netsim::ReadScriptLines(
        text,
        [&](const std::string&, const std::vector<std::string>& w) -> std::string {
            const std::string& key = w[0];
            if (key == "key") {
                auto b = HexWords(w, 1, w.size());
                if (!b || b->size() != 24) return "key takes 24 hexadecimal bytes";
                s.key = *b;
                return {};
            }
            if (key == "card") {
                if (w.size() != 2) return "card FILE expected";
                const std::string path = w[1][0] == '/' || baseDir.empty() ? w[1] : baseDir + "/" + w[1];
                std::ifstream in(path);
                if (!in) return "cannot read " + path;
                std::ostringstream all;
                all << in.rdbuf();
                std::string why;
                auto card = cardsim::CardScenario::Parse(all.str(), &why);
                if (!card) return path + ": " + why;
                s.card = *card;
                return {};
            }
            if (key == "serial") {
                if (w.size() != 2 || w[1].empty()) return "serial TEXT or serial none expected";
                // "none": a terminal whose reset answers carry no serial number.
                s.serial = w[1] == "none" ? "" : w[1];
                return {};
            }
            if (key == "default") {
                auto b = HexWords(w, 1, w.size());
                if (!b || b->size() < 2) return "default takes an answer of 2 bytes or more";
                s.defaultAnswer = *b;
                return {};
            }
            if (key == "answer") {
                const auto arrow = std::find(w.begin(), w.end(), "=>");
                if (arrow == w.end()) return "answer PREFIX => HEX expected";
                const size_t at = static_cast<size_t>(arrow - w.begin());
                AnswerRule rule;
                auto prefix = HexWords(w, 1, at);
                if (!prefix || prefix->empty()) return "answer: hexadecimal prefix expected";
                rule.prefix = *prefix;
                size_t end = at + 1;
                // The options end the answer ("ff7c" also reads as hexadecimal).
                const auto option = [](const std::string& word) {
                    return word == "ff7c" || word == "wrong-lrc" || word == "endless" || word == "silence" ||
                           word == "cipher" || word == "long-block" || word == "once";
                };
                while (end < w.size() && !option(w[end])) ++end;
                auto answer = HexWords(w, at + 1, end);
                if (!answer) return "answer: hexadecimal answer expected";
                rule.answer = *answer;
                for (size_t i = end; i < w.size(); ++i) {
                    if (w[i] == "ff7c") rule.faults.ff7c = true;
                    else if (w[i] == "wrong-lrc") rule.faults.wrongLrc = true;
                    else if (w[i] == "endless") rule.faults.endless = true;
                    else if (w[i] == "silence") rule.faults.silence = true;
                    else if (w[i] == "cipher") rule.faults.cipher = true;
                    else if (w[i] == "long-block") rule.faults.longBlock = true;
                    else if (w[i] == "once") rule.once = true;
                    else return "answer: unknown option " + w[i];
                }
                s.rules.push_back(rule);
                return {};
            }
            if (key == "event") {
                if (w.size() < 2) return "event KIND expected";
                const std::string& kind = w[1];
                if (kind == "chip") {
                    std::vector<Bytes> aids;
                    Bytes atr = kDefaultAtr;
                    for (size_t i = 2; i < w.size(); ++i) {
                        if (w[i] == "atr") {
                            auto a = i + 1 < w.size() ? cardsim::ParseHex(w[i + 1]) : std::nullopt;
                            if (!a) return "event chip: atr HEX expected";
                            atr = *a;
                            ++i;
                            continue;
                        }
                        auto aid = cardsim::ParseHex(w[i]);
                        if (!aid || aid->empty()) return "event chip: AID expected, got " + w[i];
                        aids.push_back(*aid);
                    }
                    s.events.push_back(ChipEvent(aids, atr));
                } else if (kind == "mute") {
                    Bytes atr = kMuteAtr;
                    if (w.size() != 2) {
                        auto a = w.size() == 4 && w[2] == "atr" ? cardsim::ParseHex(w[3]) : std::nullopt;
                        if (!a || a->empty()) return "event mute: [atr HEX] expected";
                        atr = *a;
                    }
                    s.events.push_back(MuteEvent(atr));
                } else if (kind == "stripe") {
                    std::string t[3];
                    for (size_t i = 2; i + 1 < w.size() + 1; i += 2) {
                        if (i + 1 >= w.size()) return "event stripe: trackN TEXT pairs expected";
                        if (w[i] == "track1") t[0] = w[i + 1];
                        else if (w[i] == "track2") t[1] = w[i + 1];
                        else if (w[i] == "track3") t[2] = w[i + 1];
                        else return "event stripe: unknown " + w[i];
                    }
                    s.events.push_back(StripeEvent(t[0], t[1], t[2]));
                } else if (kind == "removal") {
                    if (w.size() > 3 || (w.size() == 3 && w[2] != "when-asked"))
                        return "event removal takes nothing or when-asked";
                    s.removals.push_back(s.events.size());
                    s.removalsWhenAsked.push_back(w.size() == 3);
                } else if (kind == "ctls") {
                    auto sw = w.size() >= 3 ? cardsim::ParseHex(w[2]) : std::nullopt;
                    if (!sw || sw->size() != 2) return "event ctls SW [HEX] expected";
                    auto elements = HexWords(w, 3, w.size());
                    if (!elements) return "event ctls: hexadecimal elements expected";
                    s.events.push_back(CtlsEvent(static_cast<uint16_t>((*sw)[0] << 8 | (*sw)[1]), *elements));
                } else if (kind == "key") {
                    auto code = w.size() == 3 ? cardsim::ParseHex(w[2]) : std::nullopt;
                    if (!code || code->empty()) return "event key CODE expected";
                    s.events.push_back(
                        cardsim::Concat({cardsim::Element(0xE0, cardsim::Element(0xDFA205, *code)), Status(0x9000)}));
                } else if (kind == "raw") {
                    auto b = HexWords(w, 2, w.size());
                    if (!b || b->size() < 2) return "event raw: an answer of 2 bytes or more expected";
                    s.events.push_back(*b);
                } else {
                    return "unknown event: " + kind;
                }
                return {};
            }
            std::string screenError;
            if (s.screen.parse(w, &screenError)) return screenError;
            std::string why;
            if (ParseServiceStatement(s.services, w, &why)) return why;
            return "unknown statement: " + key;
        },
        error);
    if (!read) return std::nullopt;
    return s;
}

std::optional<RudaScenario> RudaScenario::FromFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error != nullptr) *error = "cannot read " + path;
        return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    const size_t slash = path.rfind('/');
    return Parse(all.str(), slash == std::string::npos ? "" : path.substr(0, slash), error);
}

// ---------------------------------------------------------------------------
// Dispatcher
// ---------------------------------------------------------------------------

RudaTerminal::RudaTerminal(RudaScenario scenario) : scenario_(std::move(scenario)) {
    if (scenario_.card) card_ = std::make_unique<cardsim::EmvCard>(*scenario_.card);
}

bool RudaTerminal::takeEvent(Bytes* answer) {
    if (scenario_.events.empty()) return false;
    *answer = scenario_.events.front();
    scenario_.events.pop_front();
    ++eventsTaken_;
    noteEvent(*answer);
    return true;
}

// A chip card inserted stays in the reader (with its answer to reset), read
// or mute, until a removal.
void RudaTerminal::noteEvent(const Bytes& answer) {
    Bytes e0, status, atr;
    if (answer.size() < 2 || !FindElement(answer.data(), answer.size() - 2, 0xE0, &e0)) return;
    if (!FindElement(e0.data(), e0.size(), 0x48, &status) || status.empty()) return;
    const bool mute = status[0] == 0x01 && (status.size() < 2 || status[1] == 0x00);
    if ((status[0] & 0x03) == 0x03 || mute) {
        cardIn_ = true;
        mute_ = mute;
        atr_.clear();
        if (FindElement(e0.data(), e0.size(), 0x63, &atr)) atr_ = atr;
    } else if (status[0] == 0x00 && (status.size() < 2 || status[1] == 0x00)) {
        cardIn_ = false;
    }
}

// What a card-status request learns at once: the chip card in the reader
// (48 = 03 00 with its answer to reset; 01 00 when it is mute), or no card
// (48 = 00 00).
Bytes RudaTerminal::cardState() const {
    const uint8_t state = !cardIn_ ? 0x00 : mute_ ? 0x01 : 0x03;
    Bytes inner = cardsim::Element(0x48, {state, 0x00});
    if (cardIn_ && !atr_.empty()) {
        const Bytes e = cardsim::Element(0x63, atr_);
        inner.insert(inner.end(), e.begin(), e.end());
    }
    return cardsim::Concat({cardsim::Element(0xE0, inner), Status(0x9000)});
}

bool RudaTerminal::pushEvent(const Bytes& answer, uint8_t* nad) {
    if (!watching_) {
        scenario_.events.push_back(answer);
        return false;
    }
    watching_ = false;
    ++eventsTaken_;
    noteEvent(answer);
    *nad = watchNad_;
    return true;
}

RudaTerminal::Answer RudaTerminal::dispatch(uint8_t nad, const Bytes& apdu) {
    Answer a;
    for (auto it = scenario_.rules.begin(); it != scenario_.rules.end(); ++it) {
        if (!StartsWith(apdu, it->prefix)) continue;
        a.payload = it->answer;
        a.faults = it->faults;
        if (it->once) scenario_.rules.erase(it);
        return a;
    }
    if (AnswerService(scenario_.services, serviceRecord_, scenario_.serial, nad, apdu, &a.payload)) return a;
    // Readers off and the abort end the card watch; the abort first answers
    // the watch (9F 41, the merchant's abort), then itself.
    if (IsReadersOff(apdu)) {
        watching_ = false;
        a.payload = scenario_.defaultAnswer;
        return a;
    }
    if (StartsWith(apdu, {0xD0, 0xFF})) {
        if (watching_) a.before = Status(0x9F41);
        watching_ = false;
    }
    if (apdu == Bytes{0xD0, 0x61, 0x03, 0x00}) {
        // A key wait: the next event queued, else 90 00 and the watch runs
        // until a key is pushed.
        if (takeEvent(&a.payload)) return a;
        a.payload = Status(0x9000);
        watching_ = true;
        watchNad_ = nad;
        return a;
    }
    const bool removalDue = !scenario_.removals.empty() && scenario_.removals.front() <= eventsTaken_;
    if (IsEventRequest(apdu) && apdu[0] != 0xD0) {
        // A contactless start: the next event, or a wait for one.
        a.wait = !takeEvent(&a.payload);
        return a;
    }
    if (IsEventRequest(apdu)) {
        // A card-status request: a queued event, else the card's state at
        // once and the watch runs until the next card event (a removal due
        // goes right after the state when the card is in, and so does the
        // notice of a mute card that stays in).
        if (!removalDue && takeEvent(&a.payload)) return a;
        a.payload = cardState();
        if (removalDue) {
            scenario_.removals.erase(scenario_.removals.begin());
            if (!scenario_.removalsWhenAsked.empty())
                scenario_.removalsWhenAsked.erase(scenario_.removalsWhenAsked.begin());
            if (cardIn_) {
                cardIn_ = false;
                a.after = cardsim::Concat({cardsim::Element(0xE0, cardsim::Element(0x48, {0x00, 0x00})), Status(0x9000)});
                return a;
            }
        }
        if (cardIn_ && mute_) {
            // The terminal tries the mute card again and tells it at once:
            // the notice is the watch's event.
            a.after = MuteEvent(atr_);
            return a;
        }
        watching_ = true;
        watchNad_ = nad;
        return a;
    }
    if (StartsWith(apdu, {0xD0, 0x00}) || StartsWith(apdu, {0xD0, 0x0A})) {
        // A reset answers with the terminal's serial number (none: 90 00 alone).
        const Bytes serial(scenario_.serial.begin(), scenario_.serial.end());
        a.payload = serial.empty() ? Status(0x9000)
                                   : cardsim::Concat({cardsim::Element(0xE0, cardsim::Element(0x9F1E, serial)),
                                                      Status(0x9000)});
        return a;
    }
    ScreenAnswer screen;
    if (AnswerScreen(scenario_.screen, screens_, apdu, &screen)) {
        a.payload = screen.payload;
        a.after = screen.after;
        a.afterDelayMs = screen.afterDelayMs;
        return a;
    }
    const bool whenAsked = !scenario_.removalsWhenAsked.empty() && scenario_.removalsWhenAsked.front();
    if (removalDue && !whenAsked) {
        // Any other request is told of the removal (48 = 01 00).
        scenario_.removals.erase(scenario_.removals.begin());
        if (!scenario_.removalsWhenAsked.empty())
            scenario_.removalsWhenAsked.erase(scenario_.removalsWhenAsked.begin());
        cardIn_ = false;
        a.payload = cardsim::Concat({cardsim::Element(0xE0, cardsim::Element(0x48, {0x01, 0x00})), Status(0x9000)});
        return a;
    }
    if (nad == 0x11 && card_ != nullptr) {
        a.payload = card_->respond(apdu);
        return a;
    }
    a.payload = scenario_.defaultAnswer;
    return a;
}

// ---------------------------------------------------------------------------
// Transport
// ---------------------------------------------------------------------------

void RudaBlockHandler::onBytes(linesim::LineContext& line, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += bytes;
    for (;;) {
        if (pending_.size() < 3) return;
        const size_t whole = 4 + static_cast<unsigned char>(pending_[2]);
        if (pending_.size() < whole) return;
        const std::string block = pending_.substr(0, whole);
        pending_.erase(0, whole);
        if (Lrc(block.substr(0, whole - 1)) != static_cast<unsigned char>(block[whole - 1])) lrcOk_ = false;
        blocks_.push_back(ToBytes(block));
        message_.insert(message_.end(), block.begin() + 3, block.end() - 1);
        if ((static_cast<unsigned char>(block[1]) & kMore) == 0) request(line);
    }
}

void RudaBlockHandler::request(linesim::LineContext& line) {
    Exchange e;
    e.received = std::chrono::steady_clock::now();
    e.blocks = std::move(blocks_);
    blocks_.clear();
    e.nad = e.blocks.front()[0];
    e.pcb = e.blocks.front()[1];
    e.lrcOk = lrcOk_;
    e.apdu = std::move(message_);
    message_.clear();
    lrcOk_ = true;
    RudaTerminal::Answer a;
    if (!e.lrcOk) {
        a.payload = Status(0x9F01);
    } else if ((e.pcb & kCiphered) != 0) {
        e.ciphered = true;
        const auto plain = Decipher(terminal_.scenario().key, e.apdu);
        if (!plain || plain->size() < 4) {
            a.payload = Status(0x9F53);
        } else {
            const size_t n = plain->size() - 4;
            e.sequence = static_cast<uint32_t>((*plain)[n]) << 24 | static_cast<uint32_t>((*plain)[n + 1]) << 16 |
                         static_cast<uint32_t>((*plain)[n + 2]) << 8 | (*plain)[n + 3];
            e.apdu.assign(plain->begin(), plain->begin() + static_cast<long>(n));
            a = terminal_.dispatch(e.nad, e.apdu);
        }
    } else {
        a = terminal_.dispatch(e.nad, e.apdu);
    }
    e.answer = a.payload;
    exchanges_.push_back(e);
    if (a.wait) {
        waiting_ = true;
        waitingNad_ = e.nad;
        return;
    }
    answer(line, e.nad, a);
    exchanges_.back().answered = std::chrono::steady_clock::now();
}

void RudaBlockHandler::answer(linesim::LineContext& line, uint8_t nad, const RudaTerminal::Answer& a) {
    if (a.faults.silence) return;
    if (!a.before.empty()) line.send(Blocks(nad, a.before, false));
    Bytes message = a.payload;
    bool ciphered = false;
    if (a.faults.cipher) {
        Bytes plain = message;
        const uint32_t seq = static_cast<uint32_t>(line.nowMs());
        for (int shift : {24, 16, 8, 0}) plain.push_back(static_cast<uint8_t>(seq >> shift));
        auto cipher = Encipher(terminal_.scenario().key, plain);
        if (cipher) {
            message = *cipher;
            ciphered = true;
        }
    }
    if (a.faults.ff7c) message.insert(message.begin(), {0xFF, 0x7C, 0x02, 0xAA, 0xBB});
    if (a.faults.endless) {
        Bytes chunk(kBlockMax, 0x5A);
        std::string out;
        for (int i = 0; i < kEndlessBlocks; ++i) {
            std::string block = Blocks(nad, chunk, false);
            block[1] = static_cast<char>(kMore);
            block.back() = static_cast<char>(Lrc(block.substr(0, block.size() - 1)));
            out += block;
        }
        line.send(out);
        return;
    }
    std::string out = Blocks(nad, message, ciphered);
    if (a.faults.wrongLrc) {
        const size_t first = 4 + static_cast<unsigned char>(out[2]);
        out[first - 1] = static_cast<char>(out[first - 1] ^ 0x01);
    }
    if (a.faults.longBlock) {
        // NAD, PCB (more follow), LEN 255, 255 bytes, LRC: a block no RUDA
        // block can be.
        std::string block{static_cast<char>(nad), static_cast<char>(kMore), static_cast<char>(0xFF)};
        block.append(255, static_cast<char>(0x5A));
        block += static_cast<char>(Lrc(block));
        out = block + out;
    }
    line.send(out);
    if (!a.after.empty() && a.afterDelayMs > 0)
        line.sendLater(Blocks(nad, a.after, false), a.afterDelayMs);
    else if (!a.after.empty())
        line.send(Blocks(nad, a.after, false));
}

void RudaBlockHandler::onTimer(linesim::LineContext&, int) {}

std::vector<Exchange> RudaBlockHandler::exchanges() {
    std::lock_guard<std::mutex> lock(mutex_);
    return exchanges_;
}

ScreenRecord RudaBlockHandler::screens() {
    std::lock_guard<std::mutex> lock(mutex_);
    return terminal_.screens();
}

RudaServiceRecord RudaBlockHandler::serviceRecord() {
    std::lock_guard<std::mutex> lock(mutex_);
    return terminal_.serviceRecord();
}

std::string RudaBlockHandler::pushEvent(const Bytes& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!waiting_) {
        uint8_t nad = 0;
        if (!terminal_.pushEvent(answer, &nad)) return {};
        Exchange e;
        e.nad = nad;
        e.answer = answer;  // an answer the terminal sent unasked
        e.received = e.answered = std::chrono::steady_clock::now();
        exchanges_.push_back(e);
        return Blocks(nad, answer, false);
    }
    waiting_ = false;
    if (!exchanges_.empty()) {
        exchanges_.back().answer = answer;
        exchanges_.back().answered = std::chrono::steady_clock::now();
    }
    return Blocks(waitingNad_, answer, false);
}

RudaSim::RudaSim(RudaScenario scenario)
    : handler_(new RudaBlockHandler(std::move(scenario))),
      sim_(std::unique_ptr<linesim::FrameHandler>(handler_)) {}

void RudaSim::pushEvent(const Bytes& answer) {
    const std::string now = handler_->pushEvent(answer);
    if (!now.empty()) sim_.inject(now);
}

bool RudaSim::waitExchanges(size_t n, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (handler_->exchanges().size() >= n) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        // Every request arrives as bytes the program wrote: wait for more.
        const size_t have = sim_.received().size();
        sim_.waitReceived(have + 1, 20);
    }
}

}  // namespace rudasim
