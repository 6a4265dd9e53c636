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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "platform/wake_word.h"
#include "support/station_lock.h"
#include "support/temp_dir.h"
#include "client/instance.h"
#include "znp_dll.h"

namespace clienttest {

class ProgramSide {
public:
    // With `wakes` it plays a program that declares in the block's wake area
    // that it wakes the library after each change of a mailbox, and does;
    // otherwise a program that never does (the library then polls it).
    explicit ProgramSide(uint32_t pos, bool wakes = false) {
        ok_ = block_.Open(poslink::BlockName(pos), poslink::kProgramBlockSize,
                          plat::SharedMemory::Mode::OpenOrCreate) == plat::ShmError::None;
        wake_ = ok_ && wakes ? poslink::WakeAreaOf(block_.data(), block_.size()) : nullptr;
        if (wake_ != nullptr) std::atomic_ref<uint32_t>(wake_->programBumps).store(1);
        char name[32];
        std::snprintf(name, sizeof name, "%s%03u", poslink::kPosMessageEventPrefix, pos);
        event_.Open(name);
        // Held too, so that the ready event of a stub killed by a test is
        // removed with this object.
        std::snprintf(name, sizeof name, "%s%03u", poslink::kClientReadyEventPrefix, pos);
        ready_.Open(name);
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
        if (wake_ != nullptr) plat::Bump(wake_->fromPos);
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
        if (wake_ != nullptr) plat::Bump(wake_->toPos);
        if (signal && event_.isOpen()) event_.Set();
        return true;
    }

    std::string ToPosText() const { return std::string(toPos() + 1, strnlen(toPos() + 1, poslink::kTextSize)); }
    // Threads or processes blocked on the program's message event right now.
    int EventWaiters() const { return event_.isOpen() ? event_.waiters() : -1; }
    // The wake area of the block (whether this side wakes or not).
    poslink::WakeArea* wakeArea() const { return poslink::WakeAreaOf(block_.data(), block_.size()); }
    ~ProgramSide() {
        if (wake_ != nullptr) std::atomic_ref<uint32_t>(wake_->programBumps).store(0);
    }

private:
    plat::SharedMemory block_;
    poslink::WakeArea* wake_ = nullptr;
    plat::NamedEvent event_;
    plat::NamedEvent ready_;
    bool ok_ = false;
};

// Waits until `done` holds, testing every millisecond, for at most
// timeoutMs; the last result of `done`.
inline bool PollUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    for (int waited = 0; !done(); ++waited) {
        if (waited >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

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

// One opened instance on the stub, with the program side, for a POS number
// no other process uses (the station's block and event are machine-wide).
class StubInstance {
public:
    explicit StubInstance(const testsupport::TempDir& dir, uint32_t ux = 5, bool programWakes = false)
        : pos_(testsupport::UniquePosNumber()) {
        result_ = OpenOnStub(pos_, &id_, dir.str(), ux);
        side_ = std::make_unique<ProgramSide>(pos_, programWakes);
    }
    ~StubInstance() {
        if (id_ != 0) SZelApiClose(id_, 0);
    }
    int result() const { return result_; }
    uint32_t pos() const { return pos_; }
    uint32_t id() const { return id_; }
    ProgramSide& side() { return *side_; }
    std::shared_ptr<znpdll::ClientInstance> instance() { return znpdll::InstanceTable::Get().Find(id_); }
    int Close() {
        int r = SZelApiClose(id_, 0);
        id_ = 0;
        return r;
    }

private:
    uint32_t pos_;
    uint32_t id_ = 0;
    int result_ = -1;
    std::unique_ptr<ProgramSide> side_;
};

}  // namespace clienttest
