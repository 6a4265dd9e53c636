// A cash-register test client: loads the client library as a cash-register
// application does (dlopen), opens an instance (which starts trv_71 in the
// client directory), sends the requests given on the command line, prints
// each acknowledgement and answer with its meaning, and closes the instance.
//
//   cash_register --lib build/lib/libznp_dll.so --client DIR [--pos N]
//                 [--log FILE] [--wait-ms MS] [--ack N] [--abort-after MS]
//                 [--flash-reply TEXT] [--busy-retry MS] REQUEST...
//
// A REQUEST is a comma-separated list of CODE=value entries, for example
// "SV=s12,CD=c25". Each request expects an acknowledgement: 1 (nothing to
// abort) for an abort (SV s3, CD c0), 0 for any other, or the code given by
// --ack before it. A request acknowledged with 0 expects an answer with a
// result code RS. The exit code is 0 when every step went as expected, 1
// when a step failed or the library could not be used, 2 for a bad command
// line.
//
// --abort-after MS (for the next request): when no answer came within MS
// ms, the client sends the abort (SV s3, CD c0), expects its '0' and then
// the answer of the aborted request with RS "33". A flash information of the
// program (an answer with SV "s11") is printed and answered with a flash
// information of the cash register (SV "s11", the flash's CD, D3G TEXT;
// "recu" unless --flash-reply gives another text), after which the client
// waits on for the answer of its request.
//
// --busy-retry MS (for the next request): while the program refuses the
// request for the moment (acknowledgement 5, e.g. while it waits for its
// terminal to connect), the client sends it again every 100 ms, for MS ms
// at most, as a cash register does.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tool_help.h"

namespace {

constexpr uint32_t kCapacity = 10241;

using OpenFn = int (*)(uint32_t*, uint32_t, uint32_t, uint32_t, uint32_t, const char*, uint32_t, uint32_t,
                       uint32_t, const char*, uint32_t, uint32_t, uint32_t, const char*, uint32_t, const char*,
                       uint32_t);
using CloseFn = int (*)(uint32_t, uint32_t);
using SendFn = int (*)(uint32_t, const char*, char*, const uint32_t*);
using WaitFn = int (*)(uint32_t, uint32_t);
using GetFn = int (*)(uint32_t, char*, char*, uint32_t*);
using WriteInitFn = int (*)(uint32_t, char*, uint32_t);
using SetFn = int (*)(uint32_t, const char*, const char*);

struct Library {
    void* handle = nullptr;
    OpenFn open = nullptr;
    CloseFn close = nullptr;
    SendFn send = nullptr;
    WaitFn wait = nullptr;
    GetFn get = nullptr;
    WriteInitFn writeInit = nullptr;
    SetFn set = nullptr;

    bool Load(const std::string& path) {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "cash_register: %s\n", dlerror());
            return false;
        }
        return Bind(open, "SZelApiOpen") && Bind(close, "SZelApiClose") && Bind(send, "SZelApiSendMessage") &&
               Bind(wait, "SZelApiWaitSynchro") && Bind(get, "SZelApiGetMessage") &&
               Bind(writeInit, "ATAG_WriteInitForInstance") && Bind(set, "ATAG_SetStringValForInstance");
    }
    template <typename F>
    bool Bind(F& fn, const char* name) {
        fn = reinterpret_cast<F>(dlsym(handle, name));
        if (fn == nullptr) std::fprintf(stderr, "cash_register: %s missing from the library\n", name);
        return fn != nullptr;
    }
    ~Library() {
        if (handle != nullptr) dlclose(handle);
    }
};

// "SV=s12,CD=c25" -> {{"SV","s12"},{"CD","c25"}}; false when an entry has no '='.
bool ParseRequest(const std::string& text, std::vector<std::pair<std::string, std::string>>* entries) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(start, comma - start);
        const size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) return false;
        entries->emplace_back(item.substr(0, eq), item.substr(eq + 1));
        start = comma + 1;
    }
    return !entries->empty();
}

// The value of a tag in a message ("{CODE}value"), empty when absent.
std::string TagValue(const std::string& message, const std::string& code) {
    const std::string key = "{" + code + "}";
    const size_t at = message.find(key);
    if (at == std::string::npos) return {};
    const size_t start = at + key.size();
    return message.substr(start, message.find('{', start) - start);
}

const char* AckMeaning(int ack, bool abort) {
    switch (ack) {
        case 0: return abort ? "abort carried out" : "taken, the answer follows";
        case 1: return abort ? "nothing to abort" : "program not running";
        case 3: return "unusable request";
        case 5: return "refused at this moment, or not acknowledged in time";
        case 6: return "abort refused";
        case 8: return "no memory in the program, or library error";
        default: return "unexpected acknowledgement";
    }
}

const char* ResultMeaning(const std::string& rs) {
    static const std::pair<const char*, const char*> kCodes[] = {
        {"00", "accepted"},
        {"01", "done: answered without a transaction, or accepted"},
        {"02", "accepted"},
        {"03", "accepted"},
        {"10", "nothing to upload"},
        {"11", "done in part, or cancelled"},
        {"20", "mute card"},
        {"21", "card reading refused by the terminal"},
        {"30", "time exceeded"},
        {"31", "network failure"},
        {"32", "terminal unreachable"},
        {"33", "aborted"},
        {"34", "terminal protocol failure"},
        {"35", "card removed"},
        {"36", "bad or unsupported request"},
        {"37", "server answer does not match the request"},
        {"38", "link with the cash register failed"},
        {"98", "till refused"},
        {"99", "other error"},
    };
    for (const auto& [code, text] : kCodes)
        if (rs == code) return text;
    return "unknown result code";
}

const char kUsage[] =
    "usage: cash_register --lib LIBRARY --client DIR [--pos N] [--log FILE] [--wait-ms MS] "
    "[--ack N] [--abort-after MS] [--flash-reply TEXT] [--busy-retry MS] REQUEST...\n"
    "  REQUEST: CODE=value[,CODE=value...], e.g. SV=s12,CD=c25\n"
    "  --ack N: the acknowledgement the next request expects\n"
    "  --abort-after MS: abort the next request when it has no answer after MS ms\n"
    "  --flash-reply TEXT: D3G of the reply to a flash information (default recu)\n"
    "  --busy-retry MS: send the next request again while it is refused for the moment (5)\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

struct Request {
    std::string text;
    int expectedAck = -1;  // -1: the default for the request
    int abortAfterMs = -1;  // -1: no timed abort
    int busyRetryMs = 0;    // how long a refusal for the moment (5) is retried
};

constexpr int kBusyAck = 5;
constexpr int kBusyPauseMs = 100;

// Builds a request from its entries with the library's tag writer; false
// when a tag was refused.
bool BuildRequest(Library& lib, uint32_t id, std::vector<char>& message,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
    bool built = lib.writeInit(id, message.data(), kCapacity) == 1;
    for (const auto& [code, val] : entries) built = built && lib.set(id, code.c_str(), val.c_str()) == 1;
    return built;
}

// Waits up to ms for the answer of the running request, answering the flash
// informations that come first. 0 and the answer in text, else the wait's
// result (or -1 when the answer could not be taken, -2 when a flash reply
// failed).
int WaitAnswer(Library& lib, uint32_t id, uint32_t ms, const std::string& flashReply, std::string* text) {
    std::vector<char> answer(kCapacity), reply(kCapacity);
    for (;;) {
        const int waited = lib.wait(id, ms);
        if (waited != 0) return waited;
        char service[8] = {};
        uint32_t room = kCapacity;
        if (lib.get(id, service, answer.data(), &room) != 0) return -1;
        *text = answer.data();
        if (TagValue(*text, "SV") != "s11") return 0;
        std::printf("  flash information: %s\n", text->c_str());
        const std::vector<std::pair<std::string, std::string>> entries = {
            {"SV", "s11"}, {"CD", TagValue(*text, "CD")}, {"D3G", flashReply}};
        if (!BuildRequest(lib, id, reply, entries)) return -2;
        const uint32_t capacity = kCapacity;
        const int ack = lib.send(id, "s11", reply.data(), &capacity);
        std::printf("  flash reply %s: acknowledgement %d\n", reply.data(), ack);
        if (ack != 0) return -2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    std::string library, client, logFile = "znp_dll.log";
    uint32_t pos = 1;
    uint32_t waitMs = 30000;
    int nextAck = -1;
    int nextAbortMs = -1;
    int nextBusyRetryMs = 0;
    std::string flashReply = "recu";
    std::vector<Request> requests;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--lib") {
            if (!value(&library)) return Usage();
        } else if (arg == "--client") {
            if (!value(&client)) return Usage();
        } else if (arg == "--log") {
            if (!value(&logFile)) return Usage();
        } else if (arg == "--pos") {
            if (!value(&v)) return Usage();
            pos = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
        } else if (arg == "--wait-ms") {
            if (!value(&v)) return Usage();
            waitMs = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
        } else if (arg == "--ack") {
            if (!value(&v) || v.size() != 1 || v[0] < '0' || v[0] > '9') return Usage();
            nextAck = v[0] - '0';
        } else if (arg == "--abort-after") {
            if (!value(&v)) return Usage();
            nextAbortMs = static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
            if (nextAbortMs < 0) return Usage();
        } else if (arg == "--busy-retry") {
            if (!value(&v)) return Usage();
            nextBusyRetryMs = static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
            if (nextBusyRetryMs < 0) return Usage();
        } else if (arg == "--flash-reply") {
            if (!value(&flashReply)) return Usage();
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage();
        } else {
            requests.push_back(Request{arg, nextAck, nextAbortMs, nextBusyRetryMs});
            nextAck = -1;
            nextAbortMs = -1;
            nextBusyRetryMs = 0;
        }
    }
    if (library.empty() || client.empty() || nextAck != -1 || nextAbortMs != -1 || nextBusyRetryMs != 0)
        return Usage();

    Library lib;
    if (!lib.Load(library)) return 1;
    uint32_t id = 0;
    int rc = lib.open(&id, 0, 0, 0, 1, logFile.c_str(), 4096, pos, 0, client.c_str(), 0, 0, 0, "", 0, "", 0);
    std::printf("open POS %u in %s: %s (%d, instance %u)\n", pos, client.c_str(), rc == 0 ? "done" : "failed", rc,
                id);
    if (rc != 0) return 1;

    int status = 0;
    std::vector<std::string> summary;
    std::vector<char> message(kCapacity);
    for (const Request& request : requests) {
        std::vector<std::pair<std::string, std::string>> entries;
        if (!ParseRequest(request.text, &entries)) {
            std::fprintf(stderr, "cash_register: bad request \"%s\"\n", request.text.c_str());
            status = 2;
            continue;
        }
        // A tag the library refuses (a separator in it, no room) leaves the
        // request unsent rather than sent without it.
        std::string sv, cd;
        for (const auto& [code, val] : entries) {
            if (code == "SV") sv = val;
            if (code == "CD") cd = val;
        }
        if (!BuildRequest(lib, id, message, entries)) {
            std::fprintf(stderr, "cash_register: request \"%s\" refused by the tag writer\n", request.text.c_str());
            status = 2;
            continue;
        }
        const bool abort = sv == "s3" && cd == "c0";
        const int expected = request.expectedAck >= 0 ? request.expectedAck : (abort ? 1 : 0);
        const std::string name =
            (abort ? std::string("abort while idle") : "request " + sv + "/" + (cd.empty() ? "-" : cd));
        uint32_t capacity = kCapacity;
        int ack = lib.send(id, sv.c_str(), message.data(), &capacity);
        const auto retryEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(request.busyRetryMs);
        while (ack == kBusyAck && std::chrono::steady_clock::now() < retryEnd) {
            std::printf("send %s\n  acknowledgement: 5 (refused at this moment): sent again\n", message.data());
            std::this_thread::sleep_for(std::chrono::milliseconds(kBusyPauseMs));
            if (!BuildRequest(lib, id, message, entries)) break;
            capacity = kCapacity;
            ack = lib.send(id, sv.c_str(), message.data(), &capacity);
        }
        // 1 is also the library's "program not running": a wait of 0 ms gives
        // 7 (nothing to take) while the program runs.
        const bool stopped = ack == 1 && lib.wait(id, 0) == 1;
        std::string line = name + ": " + AckMeaning(ack, abort) + " (" + std::to_string(ack) + ")";
        if (stopped) line = name + ": program not running (1)";
        std::printf("send %s\n  acknowledgement: %d (%s)\n", message.data(), ack,
                    stopped ? "program not running" : AckMeaning(ack, abort));
        bool ok = ack == expected && !stopped;
        if (ack != expected) line += ", expected " + std::to_string(expected);
        if (ack == 0 && ok) {
            std::string text;
            int waited = -3;
            bool aborted = false;
            if (request.abortAfterMs >= 0) {
                waited = WaitAnswer(lib, id, static_cast<uint32_t>(request.abortAfterMs), flashReply, &text);
                if (waited != 0 && waited != -1 && waited != -2) {
                    std::vector<char> abortMessage(kCapacity);
                    const std::vector<std::pair<std::string, std::string>> abortEntries = {{"SV", "s3"}, {"CD", "c0"}};
                    const uint32_t room = kCapacity;
                    const int abortAck = BuildRequest(lib, id, abortMessage, abortEntries)
                                             ? lib.send(id, "s3", abortMessage.data(), &room)
                                             : -1;
                    std::printf("  abort after %d ms: acknowledgement %d\n", request.abortAfterMs, abortAck);
                    line += "; abort after " + std::to_string(request.abortAfterMs) + " ms (" +
                            std::to_string(abortAck) + ")";
                    if (abortAck != 0) ok = false;
                    aborted = true;
                    waited = -3;
                }
            }
            if (waited == -3) waited = WaitAnswer(lib, id, waitMs, flashReply, &text);
            if (waited == -1 || waited == -2) {
                std::printf("  %s\n", waited == -1 ? "answer not taken" : "flash reply failed");
                line += waited == -1 ? "; answer not taken" : "; flash reply failed";
                ok = false;
            } else if (waited != 0) {
                std::printf("  no answer within %u ms: %d\n", waitMs, waited);
                line += "; no answer";
                ok = false;
            } else {
                const std::string rs = TagValue(text, "RS");
                std::printf("  answer: %s\n", text.c_str());
                if (rs.empty()) {
                    line += "; answer without RS";
                    ok = false;
                } else {
                    line += "; answer RS " + rs + ": " + ResultMeaning(rs);
                    if (aborted && rs != "33") {
                        line += ", expected 33";
                        ok = false;
                    }
                }
            }
        }
        if (!ok && status == 0) status = 1;
        summary.push_back((ok ? "  " : "  FAILED ") + line);
    }
    rc = lib.close(id, 0);
    std::printf("close: %s (%d)\n", rc == 0 ? "done" : "failed", rc);
    if (rc != 0 && status == 0) status = 1;
    std::printf("summary:\n");
    for (const std::string& line : summary) std::printf("%s\n", line.c_str());
    std::printf("  close: %s\n", rc == 0 ? "done" : "FAILED");
    return status;
}
