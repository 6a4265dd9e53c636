// The cash-register side of a station's POS link, as the client library plays
// it: maps the block "SHTPIPE<station>" (asking for the library's 40962
// bytes), writes requests into the program's incoming mailbox byte by byte
// and reads the program's messages. By default it plays a cash register that
// never wakes the program (the program then polls it); opened with `wakes`
// it declares itself in the block's wake area, wakes the program after each
// change of a mailbox and sleeps on the wake words itself. Used by tests, by
// the benchmarks and by tools/pos_peer.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "platform/wake_word.h"

namespace testsupport {

class PosPeer {
public:
    static std::string BlockName(int station) {
        return poslink::BlockName(station);
    }

    PosPeer() = default;
    ~PosPeer() { Close(); }
    PosPeer(const PosPeer&) = delete;
    PosPeer& operator=(const PosPeer&) = delete;

    bool Open(int station, bool wakes = false) {
        if (block_.Open(BlockName(station), poslink::kClientBlockSize, plat::SharedMemory::Mode::OpenOrCreate) !=
            plat::ShmError::None)
            return false;
        wake_ = wakes ? poslink::WakeAreaOf(block_.data(), block_.size()) : nullptr;
        if (wake_ != nullptr) std::atomic_ref<uint32_t>(wake_->clientBumps).store(1, std::memory_order_release);
        return true;
    }
    void Close() {
        if (wake_ != nullptr) std::atomic_ref<uint32_t>(wake_->clientBumps).store(0, std::memory_order_release);
        wake_ = nullptr;
        block_.Close();
    }
    poslink::WakeArea* wakeArea() const { return poslink::WakeAreaOf(block_.data(), block_.size()); }
    bool isOpen() const { return block_.isOpen(); }
    char* base() const { return static_cast<char*>(block_.data()); }
    char* toPos() const { return base() + poslink::kToPosMailbox; }
    char* fromPos() const { return base() + poslink::kFromPosMailbox; }

    static char Status(char* mailbox) {
        return std::atomic_ref<char>(*mailbox).load(std::memory_order_acquire);
    }
    static void SetStatus(char* mailbox, char value) {
        std::atomic_ref<char>(*mailbox).store(value, std::memory_order_release);
    }

    // Waits (up to timeoutMs) for the program to take the previous request,
    // then writes the text one byte at a time between '.' and '1'.
    bool Send(const std::string& text, int64_t timeoutMs = 5000) {
        if (text.size() > poslink::kMaxMessageChars) return false;
        const int64_t end = plat::MonotonicMs() + timeoutMs;
        const auto taken = [this] { return Status(fromPos()) != poslink::kStatusPresent; };
        while (!taken()) {
            if (plat::MonotonicMs() >= end) return false;
            Sleep(wake_ != nullptr ? &wake_->fromPos : nullptr, taken, 1, end - plat::MonotonicMs());
        }
        char* mailbox = fromPos();
        SetStatus(mailbox, poslink::kStatusWriting);
        for (size_t i = 0; i < text.size(); ++i)
            std::atomic_ref<char>(mailbox[1 + i]).store(text[i], std::memory_order_relaxed);
        mailbox[1 + text.size()] = '\0';
        SetStatus(mailbox, poslink::kStatusPresent);
        if (wake_ != nullptr) plat::Bump(wake_->fromPos);
        return true;
    }

    // The next message of the program, or nothing after timeoutMs. pollMs is
    // the sleep between looks (0: spin with yields).
    std::optional<std::string> Receive(int64_t timeoutMs, int pollMs = 1) {
        const int64_t end = plat::MonotonicMs() + timeoutMs;
        char* mailbox = toPos();
        const auto present = [mailbox] { return Status(mailbox) == poslink::kStatusPresent; };
        while (!present()) {
            if (plat::MonotonicMs() >= end) return std::nullopt;
            Sleep(wake_ != nullptr ? &wake_->toPos : nullptr, present, pollMs, end - plat::MonotonicMs());
        }
        std::string text(mailbox + 1, strnlen(mailbox + 1, poslink::kTextSize - 1));
        SetStatus(mailbox, poslink::kStatusTaken);
        if (wake_ != nullptr) plat::Bump(wake_->toPos);
        return text;
    }

    // Sends a request and collects the acknowledgement and, when it is "0",
    // the final answer.
    std::string Exchange(const std::string& request, int64_t timeoutMs = 10000) {
        if (!Send(request, timeoutMs)) return "<not taken>";
        std::optional<std::string> ack = Receive(timeoutMs);
        if (!ack) return "<no acknowledgement>";
        if (*ack != "0") return *ack;
        std::optional<std::string> answer = Receive(timeoutMs);
        return *ack + "|" + (answer ? *answer : std::string("<no answer>"));
    }

private:
    // One poll period: asleep on the wake word (while the program wakes this
    // side, up to what is left, else pollMs) or a plain sleep of pollMs.
    template <typename Done>
    void Sleep(plat::WakeWord* word, Done done, int pollMs, int64_t leftMs) {
        if (word == nullptr) {
            if (pollMs > 0) plat::SleepMs(pollMs);
            return;
        }
        const uint32_t seen = plat::Snapshot(*word);
        if (done()) {
            plat::Cancel(*word);
            return;
        }
        const bool programWakes =
            std::atomic_ref<uint32_t>(wake_->programBumps).load(std::memory_order_acquire) == 1;
        plat::Wait(*word, seen, programWakes ? std::max<int64_t>(leftMs, 1) : std::max(pollMs, 1));
    }

    plat::SharedMemory block_;
    poslink::WakeArea* wake_ = nullptr;
};

}  // namespace testsupport
