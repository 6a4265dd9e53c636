#include "netsim/acquirer.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "netsim/chip_dialogue.h"

namespace netsim {

namespace {

constexpr int kTlsHandshakeMs = 5000;

bool ToInt(const std::string& text, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < 0) return false;
    *out = v;
    return true;
}

std::string Describe(const NetMessage& m) {
    std::ostringstream s;
    s << "K=" << m.K << " S=" << m.S.substr(0, 100) << " U=" << m.U << " A=" << m.A << " M=" << m.M.size() << " bytes";
    if (auto tags = DecodeFieldBody(m.M)) s << " " << tags->substr(0, 200);
    // Relayed terminal bodies may hold card data: only their size is shown.
    else if (!m.M.empty() && m.M.size() <= 16 && m.A != "1200") s << " \"" << m.M << "\"";
    return s.str();
}

bool SleepUnlessStopped(int ms, const std::atomic<bool>& stop) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (stop.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
            continue;
        }
        if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        word += c;
        inWord = true;
    }
    if (inWord) words.push_back(word);
    return words;
}

std::optional<AnswerPlan> ParsePlanLine(const std::string& line, std::string* error) {
    const std::vector<std::string> words = SplitWords(line);
    AnswerPlan plan;
    if (words.empty()) {
        *error = "empty line";
        return std::nullopt;
    }
    const std::string& verb = words[0];
    if (verb == "silent" || verb == "close" || verb == "reset") {
        plan.kind = verb == "silent" ? AnswerPlan::Kind::Silent
                    : verb == "close" ? AnswerPlan::Kind::Close
                                      : AnswerPlan::Kind::Reset;
        if (words.size() > 1) {
            *error = "'" + verb + "' takes nothing more";
            return std::nullopt;
        }
        return plan;
    }
    if (verb == "raw") {
        plan.kind = AnswerPlan::Kind::Raw;
        std::string hex;
        for (size_t i = 1; i < words.size(); ++i) {
            // then=close or then=reset after the bytes.
            if (words[i] == "then=close" || words[i] == "then=reset") {
                plan.after = words[i] == "then=close" ? AnswerPlan::After::Close : AnswerPlan::After::Reset;
                continue;
            }
            hex += words[i];
        }
        auto bytes = HexToBytes(hex);
        if (!bytes || bytes->empty()) {
            *error = "raw needs hexadecimal bytes";
            return std::nullopt;
        }
        plan.raw = *bytes;
        return plan;
    }
    const bool relay = verb == "relay" || verb == "fetch";
    if (verb != "answer" && !relay) {
        *error = "unknown verb '" + verb + "'";
        return std::nullopt;
    }
    if (relay) {
        plan.kind = AnswerPlan::Kind::Relay;
        plan.type = "1200";
        plan.relayCommand = verb == "relay";
        plan.relayFetch = verb == "fetch";
        plan.body = "";
    }
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        const size_t eq = w.find('=');
        if (eq == std::string::npos) {
            if (relay && w == "fetch") {
                plan.relayFetch = true;
            } else if (w == "echo" && !relay) {
                plan.echo = true;
            } else if (w == "reply") {
                plan.reply = true;
            } else if (w == "chip" && !relay) {
                plan.chipPort = 0;
            } else if (w == "card" && !relay) {
                plan.cardTags = true;
            } else if (w == "bytewise") {
                plan.bytewise = true;
            } else if (i == 1 && !relay) {
                plan.type = w;
            } else {
                *error = "unknown option '" + w + "'";
                return std::nullopt;
            }
            continue;
        }
        const std::string key = w.substr(0, eq);
        const std::string value = w.substr(eq + 1);
        long n = 0;
        if (relay && key == "port" && ToInt(value, &n)) {
            plan.relayPort = static_cast<int>(n);
        } else if (!relay && key == "chip" && ToInt(value, &n)) {
            plan.chipPort = static_cast<int>(n);
        } else if (relay && key == "app" && !value.empty()) {
            plan.relayApplication = value;
        } else if (key == "key") {
            plan.key = value;
        } else if (key == "S") {
            plan.S = value;
        } else if (key == "U") {
            plan.U = value;
        } else if (key == "body") {
            plan.body = value;
        } else if (key == "tags") {
            plan.body = EncodeFieldBody(value);
        } else if (key == "rs" && !value.empty()) {
            plan.rs = value;
        } else if (key == "bodyhex") {
            auto bytes = HexToBytes(value);
            if (!bytes) {
                *error = "bodyhex is not hexadecimal";
                return std::nullopt;
            }
            plan.body = *bytes;
        } else if (key == "delay" && ToInt(value, &n)) {
            plan.delayMs = static_cast<int>(n);
        } else if (key == "gap" && ToInt(value, &n)) {
            plan.gapMs = static_cast<int>(n);
        } else if (key == "copies" && ToInt(value, &n) && n >= 1) {
            plan.copies = static_cast<int>(n);
        } else if (key == "split") {
            std::stringstream list(value);
            std::string item;
            while (std::getline(list, item, ',')) {
                if (!ToInt(item, &n)) {
                    *error = "split wants offsets: " + value;
                    return std::nullopt;
                }
                plan.cuts.push_back(static_cast<size_t>(n));
            }
        } else if (key == "long" && value.size() >= 3 && value[1] == ':' && ToInt(value.substr(2), &n) &&
                   std::string("KSUAM").find(value[0]) != std::string::npos) {
            plan.longRubrique = value[0];
            plan.longLength = static_cast<size_t>(n);
        } else if (key == "truncate" && ToInt(value, &n) && n >= 1) {
            plan.truncate = static_cast<size_t>(n);
        } else if (key == "then" && (value == "close" || value == "reset")) {
            plan.after = value == "close" ? AnswerPlan::After::Close : AnswerPlan::After::Reset;
        } else if (std::string why; ParseServerAnswerOption(key, value, &plan.server, &why)) {
        } else if (!why.empty()) {
            *error = why;
            return std::nullopt;
        } else {
            *error = "bad option '" + w + "'";
            return std::nullopt;
        }
    }
    return plan;
}

bool ReadScriptLines(const std::string& text,
                     const std::function<std::string(const std::string& line, const std::vector<std::string>& words)>& take,
                     std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == '#' && !quoted) {
                line.erase(i);
                break;
            }
        }
        const std::vector<std::string> words = SplitWords(line);
        if (words.empty()) continue;
        const std::string why = take(line, words);
        if (!why.empty()) {
            if (error != nullptr) *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

std::optional<AcquirerScenario> AcquirerScenario::Parse(const std::string& text, std::string* error) {
    AcquirerScenario scenario;
    const bool read = ReadScriptLines(
        text,
        [&](const std::string& line, const std::vector<std::string>& words) -> std::string {
            const bool isDefault = words[0] == "default";
            const bool isEcho = words[0] == "echo";
            const std::string planText = isDefault ? line.substr(line.find("default") + 7)
                                         : isEcho  ? line.substr(line.find("echo") + 4)
                                                   : line;
            std::string why;
            auto plan = ParsePlanLine(planText, &why);
            if (!plan) return why;
            if (isDefault)
                scenario.fallback = *plan;
            else if (isEcho)
                scenario.echo = *plan;
            else
                scenario.plans.push_back(*plan);
            return {};
        },
        error);
    if (!read) return std::nullopt;
    return scenario;
}

std::optional<AcquirerScenario> AcquirerScenario::FromFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return std::nullopt;
    }
    std::stringstream s;
    s << in.rdbuf();
    return Parse(s.str(), error);
}

AnswerPlan AcquirerScenario::DefaultEcho() {
    AnswerPlan plan;
    plan.type = "9997";
    plan.body = "ECHO";
    return plan;
}

std::string RelayDescriptor(int port, const std::string& application, int mesStat) {
    char text[128];
    std::snprintf(text, sizeof text, "XPRO/2/001/%s/0000000000000000/%d/0/00000000/00000000/010/%02d/",
                  application.c_str(), port, mesStat);
    return text;
}

Reply BuildReply(const AnswerPlan& plan, const NetMessage& request, const std::string& maskedPan,
                 const std::string& expiry) {
    Reply reply;
    reply.delayMs = plan.delayMs;
    reply.after = plan.after;
    switch (plan.kind) {
        case AnswerPlan::Kind::Silent:
            return reply;
        case AnswerPlan::Kind::Close:
            reply.after = AnswerPlan::After::Close;
            return reply;
        case AnswerPlan::Kind::Reset:
            reply.after = AnswerPlan::After::Reset;
            return reply;
        case AnswerPlan::Kind::Raw:
            reply.send = true;
            reply.bytes = plan.raw;
            return reply;
        case AnswerPlan::Kind::Relay: {
            NetMessage message;
            message.K = plan.key ? *plan.key : request.K;
            message.A = plan.type;
            if (plan.relayCommand) {
                message.S = plan.S.empty() ? RelayDescriptor(plan.relayPort, plan.relayApplication, 11) : plan.S;
                message.M = plan.body.value_or("");
                reply.bytes += EncodeFrame(message);
            }
            if (plan.relayFetch) {
                message.S = plan.S.empty() ? RelayDescriptor(plan.relayPort, plan.relayApplication, 0) : plan.S;
                message.M.clear();
                reply.bytes += EncodeFrame(message);
            }
            reply.send = !reply.bytes.empty();
            return reply;
        }
        case AnswerPlan::Kind::Answer:
            break;
    }
    NetMessage answer;
    answer.K = plan.key ? *plan.key : request.K;
    answer.S = plan.S;
    answer.U = plan.U;
    answer.A = plan.type.empty() ? request.A : plan.type;
    answer.M = plan.echo ? request.M : plan.body ? *plan.body : std::string("OK");
    if (plan.reply)
        answer.M = EncodeFieldBody(
            BuildServerAnswerTags(plan, DecodeFieldBody(request.M).value_or(""), maskedPan, expiry));
    if (plan.longRubrique != 0) {
        const std::string filler(plan.longLength, 'x');
        switch (plan.longRubrique) {
            case 'K': answer.K = filler; break;
            case 'S': answer.S = filler; break;
            case 'U': answer.U = filler; break;
            case 'A': answer.A = filler; break;
            default: answer.M = filler; break;
        }
    }
    const std::string frame = EncodeFrame(answer);
    reply.send = true;
    reply.bytes = BuildUnsolicitedFrames(plan, request);
    for (int i = 0; i < plan.copies; ++i) reply.bytes += frame;
    reply.gapMs = plan.gapMs;
    // A truncated answer: only its first bytes go.
    if (plan.truncate > 0 && plan.truncate < reply.bytes.size()) reply.bytes.resize(plan.truncate);
    if (plan.bytewise) {
        for (size_t i = 1; i < reply.bytes.size(); ++i) reply.cuts.push_back(i);
    } else {
        reply.cuts = plan.cuts;
    }
    return reply;
}

// ---- Payment-server answers (1400/1500 replies) ----

bool ParseServerAnswerOption(const std::string& key, const std::string& value, ServerAnswerPlan* plan,
                             std::string* error) {
    static const std::pair<const char*, const char*> kTagKeys[] = {
        {"dbw", "DBW"}, {"d3l", "D3L"}, {"d16", "D16"}, {"d1a", "D1A"}, {"d60", "D60"}};
    for (const auto& [name, code] : kTagKeys) {
        if (key == name) {
            plan->tags.emplace_back(code, value);
            return true;
        }
    }
    if (key == "d3lhex") {
        // The ticket as bytes (CR LF, ESC markers...), two hexadecimal digits each.
        std::string bytes;
        for (size_t i = 0; i < value.size(); i += 2) {
            const std::string pair = value.substr(i, 2);
            if (pair.size() != 2 || !std::isxdigit(static_cast<unsigned char>(pair[0])) ||
                !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
                *error = "d3lhex wants pairs of hexadecimal digits: " + value;
                return false;
            }
            bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
        }
        plan->tags.emplace_back("D3L", bytes);
        return true;
    }
    if (key == "uuid") {
        if (value != "echo" && value != "drop" && value != "change" && value != "twice") {
            *error = "uuid wants echo, drop, change or twice: " + value;
            return false;
        }
        plan->uuid = value;
        return true;
    }
    if (key == "omit") {
        std::stringstream list(value);
        std::string code;
        while (std::getline(list, code, ',')) {
            if (code != "SS" && code != "SV" && code != "CD" && code != "RS" && code != "PS") {
                *error = "omit takes SS, PS, SV, CD, RS: " + code;
                return false;
            }
            plan->omit.push_back(code);
        }
        return true;
    }
    if (key == "longtag") {
        const size_t colon = value.find(':');
        long n = 0;
        if (colon == std::string::npos || colon == 0 || !ToInt(value.substr(colon + 1), &n)) {
            *error = "longtag wants CODE:N: " + value;
            return false;
        }
        plan->longTags.emplace_back(value.substr(0, colon), static_cast<size_t>(n));
        return true;
    }
    if (key == "extra") {
        plan->extra = value;
        return true;
    }
    if (key == "before") {
        const size_t colon = value.find(':');
        const std::string type = value.substr(0, colon);
        if (type.size() != 4 || type.find_first_not_of("0123456789") != std::string::npos) {
            *error = "before wants a four-digit type: " + value;
            return false;
        }
        plan->before.emplace_back(type, colon == std::string::npos ? std::string() : value.substr(colon + 1));
        return true;
    }
    return false;
}

std::string BuildServerAnswerTags(const AnswerPlan& plan, const std::string& requestTags, const std::string& maskedPan,
                                  const std::string& expiry) {
    const ServerAnswerPlan& s = plan.server;
    auto omitted = [&](const char* code) {
        for (const std::string& o : s.omit)
            if (o == code) return true;
        return false;
    };
    std::string tags;
    const std::pair<const char*, std::string> head[] = {{"SS", "A"},
                                                        {"PS", TagValue(requestTags, "PS")},
                                                        {"SV", TagValue(requestTags, "SV")},
                                                        {"CD", TagValue(requestTags, "CD")},
                                                        {"RS", plan.rs}};
    for (const auto& [code, value] : head)
        if (!omitted(code)) tags += std::string("{") + code + "}" + value;
    for (const auto& [code, value] : s.tags) tags += "{" + code + "}" + value;
    if (plan.cardTags) {
        if (!maskedPan.empty()) tags += "{D1A}" + maskedPan;
        if (expiry.size() >= 4) tags += "{D18}" + expiry.substr(0, 4);
        tags += "{D15}2";
    }
    for (const auto& [code, length] : s.longTags) tags += "{" + code + "}" + std::string(length, '9');
    const std::string uuid = TagValue(requestTags, "UUID");
    // Another transaction's UUID: the request's with its last hex digit turned.
    std::string other = uuid.empty() ? "00000000-0000-0000-0000-000000000000" : uuid;
    other.back() = other.back() == '0' ? '1' : '0';
    if (!uuid.empty() && s.uuid == "echo") tags += "{UUID}" + uuid;
    if (s.uuid == "change") tags += "{UUID}" + other;
    if (s.uuid == "twice") tags += "{UUID}" + uuid + "{UUID}" + other;
    return tags + s.extra + "{F}";
}

std::string BuildUnsolicitedFrames(const AnswerPlan& plan, const NetMessage& request) {
    std::string bytes;
    for (const auto& [type, tags] : plan.server.before) {
        NetMessage m;
        m.K = plan.key ? *plan.key : request.K;
        m.A = type;
        m.M = tags.empty() ? std::string("OK") : EncodeFieldBody(tags);
        bytes += EncodeFrame(m);
    }
    return bytes;
}

AcquirerSim::AcquirerSim(AcquirerScenario scenario) : scenario_(std::move(scenario)) {}

AcquirerSim::~AcquirerSim() { stop(); }

bool AcquirerSim::setTls(const TlsSettings& settings, std::string* error) {
    useTls_ = tls_.makeServer(settings, error);
    return useTls_;
}

std::string AcquirerSim::lastClientSubject() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastClientSubject_;
}

bool AcquirerSim::start(uint16_t port) {
    if (!listener_.open(port)) return false;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void AcquirerSim::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    listener_.close();
}

std::vector<NetMessage> AcquirerSim::requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
}

bool AcquirerSim::waitForRequests(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

std::vector<NetMessage> AcquirerSim::greetings() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return greetings_;
}

bool AcquirerSim::waitForGreetings(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return greetings_.size() >= n; });
}

int AcquirerSim::closings() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return closings_;
}

bool AcquirerSim::waitForClosings(int n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closings_ >= n; });
}

bool AcquirerSim::waitForLinksEnded(int n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return linksEnded_ >= n; });
}

void AcquirerSim::log(const std::string& line) const {
    if (logger_) logger_(line);
}

AnswerPlan AcquirerSim::nextPlan() {
    if (nextPlan_ < scenario_.plans.size()) return scenario_.plans[nextPlan_++];
    return scenario_.fallback;
}

void AcquirerSim::run() {
    while (!stop_.load()) {
        std::unique_ptr<Link> link = listener_.accept(-1, &stop_);
        if (!link) continue;
        ++connections_;
        log("link " + std::to_string(connections_.load()) + " accepted");
        if (useTls_ && !startTls(*link)) {
            std::lock_guard<std::mutex> guard(mutex_);
            ++linksEnded_;
            changed_.notify_all();
            continue;
        }
        serve(*link);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ++linksEnded_;
        }
        changed_.notify_all();
        log("link ended");
    }
}

bool AcquirerSim::startTls(Link& link) {
    std::string error;
    if (!link.startTlsServer(tls_.get(), kTlsHandshakeMs, &error)) {
        ++tlsFailures_;
        log("TLS handshake failed: " + error);
        return false;
    }
    ++tlsHandshakes_;
    const bool resumed = link.tlsResumed();
    if (resumed) ++tlsResumed_;
    const std::string subject = link.peerSubject();
    {
        std::lock_guard<std::mutex> guard(mutex_);
        lastClientSubject_ = subject;
    }
    log("TLS " + link.tlsVersion() + (resumed ? ", session resumed" : ", new session") +
        (subject.empty() ? std::string() : ", client " + subject));
    return true;
}

namespace {

// The command of a relayed APDU in words (its header only: the data may be
// the card's).
std::string CommandName(const std::string& hex) {
    const std::string head = hex.substr(0, 4);
    if (head == "00A4") return "SELECT";
    if (head == "80A8") return "GET PROCESSING OPTIONS";
    if (head == "00B2") return "READ RECORD";
    if (head == "80AE") return "GENERATE AC";
    return "command";
}

}  // namespace

void AcquirerSim::serve(Link& link) {
    FrameAssembler assembler;
    // A chip dialogue in progress on this link, the payment request it
    // answers and the plan of that answer.
    std::unique_ptr<ChipDialogue> dialogue;
    NetMessage dialogueRequest;
    AnswerPlan dialoguePlan;
    // Sends a reply; false when the link is over.
    const auto sendReply = [&](const Reply& reply) {
        if (reply.delayMs > 0 && !SleepUnlessStopped(reply.delayMs, stop_)) return false;
        if (reply.send) {
            log("answer " + std::to_string(reply.bytes.size()) + " bytes in " + std::to_string(reply.cuts.size() + 1) +
                " piece(s)");
            if (!link.sendPieces(reply.bytes, reply.cuts, reply.gapMs)) return false;
        }
        if (reply.after == AnswerPlan::After::Close) {
            log("closing the link");
            link.close();
            return false;
        }
        if (reply.after == AnswerPlan::After::Reset) {
            log("resetting the link");
            link.reset();
            return false;
        }
        return true;
    };
    const auto relayed = [&](const std::string& bytes) {
        const std::string& apdu = dialogue->commands().back();
        log("chip dialogue: " + CommandName(apdu) + " " + apdu.substr(0, 8) + " relayed to the terminal of port " +
            std::to_string(dialoguePlan.chipPort));
        return link.sendPieces(bytes, {}, 0);
    };
    while (!stop_.load() && link.isOpen()) {
        std::string bytes;
        const int r = link.receive(&bytes, -1, &stop_);
        if (r < 0) return;
        assembler.feed(bytes.data(), bytes.size());
        for (;;) {
            if (assembler.takeClosingMessage()) {
                {
                    std::lock_guard<std::mutex> guard(mutex_);
                    ++closings_;
                }
                changed_.notify_all();
                log("closing message");
                continue;
            }
            auto frame = assembler.next();
            if (!frame) break;
            auto request = DecodeFrame(*frame);
            if (!request) {
                log("undecodable frame: " + BytesToHex(frame->substr(0, 64)));
                link.reset();
                return;
            }
            const bool greeting = request->M == "BONJOUR" || request->M == "ECHO_ASKED";
            {
                std::lock_guard<std::mutex> guard(mutex_);
                (greeting ? greetings_ : requests_).push_back(*request);
            }
            changed_.notify_all();
            log((greeting ? "greeting " : "request ") + Describe(*request));
            if (request->M == "BONJOUR") continue;
            // The replies of the terminal relay belong to the dialogue.
            if (dialogue != nullptr && request->A == "1200") {
                const std::string next = dialogue->take(*request);
                if (!next.empty()) {
                    if (!relayed(next)) return;
                } else if (dialogue->done()) {
                    log("chip dialogue: " + (dialogue->failure().empty()
                                                 ? std::to_string(dialogue->commands().size()) +
                                                       " commands answered by the card"
                                                 : "ended early, " + dialogue->failure()));
                    const Reply reply = BuildReply(dialoguePlan, dialogueRequest, dialogue->maskedPan(), dialogue->expiry());
                    dialogue.reset();
                    if (!sendReply(reply)) return;
                }
                continue;
            }
            const AnswerPlan plan = greeting ? scenario_.echo : nextPlan();
            if (!greeting && plan.kind == AnswerPlan::Kind::Answer && plan.chipPort >= 0) {
                dialogue = std::make_unique<ChipDialogue>(*request, plan.chipPort);
                dialogueRequest = *request;
                dialoguePlan = plan;
                if (!relayed(dialogue->start())) return;
                continue;
            }
            if (!sendReply(BuildReply(plan, *request))) return;
        }
        if (assembler.broken()) {
            log("unreadable header: resetting the link");
            link.reset();
            return;
        }
    }
}

}  // namespace netsim
