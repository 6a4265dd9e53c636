// A cash-register test client: loads the client library as a cash-register
// application does (dlopen), opens an instance (which starts trv_71 in the
// client directory), sends the requests given on the command line, prints
// each acknowledgement and answer, and closes the instance.
//
//   cash_register --lib build/lib/libznp_dll.so --client DIR [--pos N]
//                 [--log FILE] [--wait-ms MS] REQUEST...
//
// A REQUEST is a comma-separated list of CODE=value entries, for example
// "SV=s12,CD=c25". The exit code is 0 when every step went through, 1 when
// the library could not be used, 2 for a bad command line.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

int Usage() {
    std::fprintf(stderr,
                 "usage: cash_register --lib LIBRARY --client DIR [--pos N] [--log FILE] [--wait-ms MS] "
                 "REQUEST...\n  REQUEST: CODE=value[,CODE=value...], e.g. SV=s12,CD=c25\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string library, client, logFile = "znp_dll.log";
    uint32_t pos = 1;
    uint32_t waitMs = 30000;
    std::vector<std::string> requests;
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
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage();
        } else {
            requests.push_back(arg);
        }
    }
    if (library.empty() || client.empty()) return Usage();

    Library lib;
    if (!lib.Load(library)) return 1;
    uint32_t id = 0;
    int rc = lib.open(&id, 0, 0, 0, 1, logFile.c_str(), 4096, pos, 0, client.c_str(), 0, 0, 0, "", 0, "", 0);
    std::printf("open POS %u in %s: %d (instance %u)\n", pos, client.c_str(), rc, id);
    if (rc != 0) return 1;

    int status = 0;
    std::vector<char> message(kCapacity), answer(kCapacity);
    for (const std::string& request : requests) {
        std::vector<std::pair<std::string, std::string>> entries;
        if (!ParseRequest(request, &entries)) {
            std::fprintf(stderr, "cash_register: bad request \"%s\"\n", request.c_str());
            status = 2;
            continue;
        }
        // A tag the library refuses (a separator in it, no room) leaves the
        // request unsent rather than sent without it.
        std::string service;
        bool built = lib.writeInit(id, message.data(), kCapacity) == 1;
        for (const auto& [code, val] : entries) {
            if (code == "SV") service = val;
            built = built && lib.set(id, code.c_str(), val.c_str()) == 1;
        }
        if (!built) {
            std::fprintf(stderr, "cash_register: request \"%s\" refused by the tag writer\n", request.c_str());
            status = 2;
            continue;
        }
        const uint32_t capacity = kCapacity;
        const int ack = lib.send(id, service.c_str(), message.data(), &capacity);
        std::printf("send %s\n  acknowledgement: %d\n", message.data(), ack);
        if (ack != 0) continue;
        int waited = lib.wait(id, waitMs);
        if (waited != 0) {
            std::printf("  no answer: %d\n", waited);
            status = 1;
            continue;
        }
        char sv[8] = {};
        uint32_t room = kCapacity;
        const int got = lib.get(id, sv, answer.data(), &room);
        if (got == 0)
            std::printf("  answer: %s\n", answer.data());
        else
            std::printf("  answer not taken: %d\n", got);
        if (got != 0) status = 1;
    }
    rc = lib.close(id, 0);
    std::printf("close: %d\n", rc);
    return status;
}
