// The console program's side of a POS link, played by a test: the station's
// shared block (through the same layout constants as the program) and its
// message event, plus an opening of the client library on the pos_stub
// helper, which stands in for the program's process. POS numbers come from
// testsupport::UniquePosNumber(): the blocks and events are machine-wide.
#pragma once
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"
#include "znp_dll.h"

namespace clienttest {

class ProgramSide {
public:
    explicit ProgramSide(uint32_t pos) {
        ok_ = block_.Open(poslink::BlockName(pos), poslink::kProgramBlockSize,
                          plat::SharedMemory::Mode::OpenOrCreate) == plat::ShmError::None;
        char name[32];
        std::snprintf(name, sizeof name, "%s%03u", poslink::kPosMessageEventPrefix, pos);
        event_.Open(name);
    }
    bool ok() const { return ok_; }

    char* toPos() const { return static_cast<char*>(block_.data()) + poslink::kToPosMailbox; }
    char* fromPos() const { return static_cast<char*>(block_.data()) + poslink::kFromPosMailbox; }
    static char Status(char* mailbox) { return std::atomic_ref<char>(*mailbox).load(std::memory_order_acquire); }
    static void SetStatus(char* mailbox, char v) {
        std::atomic_ref<char>(*mailbox).store(v, std::memory_order_release);
    }

    // Takes the library's next message, waiting up to timeoutMs (real time).
    bool TakeRequest(std::string* text, int timeoutMs = 5000) {
        for (int waited = 0; Status(fromPos()) != poslink::kStatusPresent; waited += 1) {
            if (waited >= timeoutMs) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        text->assign(fromPos() + 1, strnlen(fromPos() + 1, poslink::kTextSize));
        SetStatus(fromPos(), poslink::kStatusTaken);
        return true;
    }

    // Writes a message for the library, as the program's writer does: waits
    // for the previous one to be taken, then '.', text, '1', event.
    bool Write(const std::string& text, bool signal = true, int timeoutMs = 5000) {
        for (int waited = 0; Status(toPos()) == poslink::kStatusPresent; waited += 1) {
            if (waited >= timeoutMs) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        SetStatus(toPos(), poslink::kStatusWriting);
        std::memcpy(toPos() + 1, text.c_str(), text.size() + 1);
        SetStatus(toPos(), poslink::kStatusPresent);
        if (signal && event_.isOpen()) event_.Set();
        return true;
    }

    std::string ToPosText() const { return std::string(toPos() + 1, strnlen(toPos() + 1, poslink::kTextSize)); }

private:
    plat::SharedMemory block_;
    plat::NamedEvent event_;
    bool ok_ = false;
};

// Plays the program in a thread: every request taken is answered with the
// messages the script returns for it.
class Responder {
public:
    using Script = std::function<std::vector<std::string>(const std::string& request)>;
    Responder(ProgramSide& side, Script script) : side_(side), script_(std::move(script)) {
        thread_ = std::thread([this] {
            std::string request;
            while (!stop_) {
                if (!side_.TakeRequest(&request, 20)) continue;
                requests_.fetch_add(1);
                for (const std::string& m : script_(request)) side_.Write(m);
            }
        });
    }
    ~Responder() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int requests() const { return requests_.load(); }

private:
    ProgramSide& side_;
    Script script_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// Opens the client library on the pos_stub helper for one POS number.
inline int OpenOnStub(uint32_t pos, uint32_t* id, const std::string& logDir, uint32_t uxTimeOut = 5,
                      const std::string& clientPath = testsupport::BinPath("pos_stub")) {
    const std::string logName = logDir + "/ECHANGES.LOG";
    return SZelApiOpen(id, 0, 0, 0, 1, logName.c_str(), 0, pos, 0, clientPath.c_str(), 0, uxTimeOut, 0, "", 0, "",
                       0);
}

}  // namespace clienttest
