// The cash-register side of a station's POS link, as the client library plays
// it: maps the block "SHTPIPE<station>" (asking for the library's 40962
// bytes), writes requests into the program's incoming mailbox byte by byte
// and reads the program's messages. Used by tests and by tools/pos_peer.
#pragma once
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"

namespace testsupport {

class PosPeer {
public:
    static std::string BlockName(int station) {
        return poslink::BlockName(station);
    }

    bool Open(int station) {
        return block_.Open(BlockName(station), poslink::kClientBlockSize,
                           plat::SharedMemory::Mode::OpenOrCreate) == plat::ShmError::None;
    }
    void Close() { block_.Close(); }
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
        while (Status(fromPos()) == poslink::kStatusPresent) {
            if (plat::MonotonicMs() >= end) return false;
            plat::SleepMs(1);
        }
        char* mailbox = fromPos();
        SetStatus(mailbox, poslink::kStatusWriting);
        for (size_t i = 0; i < text.size(); ++i)
            std::atomic_ref<char>(mailbox[1 + i]).store(text[i], std::memory_order_relaxed);
        mailbox[1 + text.size()] = '\0';
        SetStatus(mailbox, poslink::kStatusPresent);
        return true;
    }

    // The next message of the program, or nothing after timeoutMs. pollMs is
    // the sleep between looks (0: spin with yields).
    std::optional<std::string> Receive(int64_t timeoutMs, int pollMs = 1) {
        const int64_t end = plat::MonotonicMs() + timeoutMs;
        char* mailbox = toPos();
        while (Status(mailbox) != poslink::kStatusPresent) {
            if (plat::MonotonicMs() >= end) return std::nullopt;
            if (pollMs > 0) plat::SleepMs(pollMs);
        }
        std::string text(mailbox + 1, strnlen(mailbox + 1, poslink::kTextSize - 1));
        SetStatus(mailbox, poslink::kStatusTaken);
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
    plat::SharedMemory block_;
};

}  // namespace testsupport
