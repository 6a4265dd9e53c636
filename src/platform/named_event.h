// Named event shared between processes, with the behaviour of a Windows event:
// auto-reset unless asked otherwise. Set wakes one waiter (all of them for a
// manual-reset event), or stays set until a waiter comes; Reset clears it.
//
// The state lives in a small shared block "<name>.event" holding a robust
// process-shared mutex and a condition variable on CLOCK_MONOTONIC. The first
// live user of the block (see SharedMemory) initialises it, so a signal left
// by a crashed earlier run is never replayed.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/shared_memory.h"

namespace plat {

enum class EventWait { Signalled, TimedOut, Failed };

class NamedEvent {
public:
    static constexpr size_t kMaxName = SharedMemory::kMaxName - 6;

    NamedEvent() = default;
    ~NamedEvent();
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    // Opens the event, creating it (not set) when no process has it open.
    // The reset mode is decided by whoever creates it. 0 or an errno value.
    int Open(std::string_view name, bool manualReset = false);
    // Opens only an event that some live process has open.
    int OpenExisting(std::string_view name);
    void Close();
    bool isOpen() const { return state_ != nullptr; }
    bool manualReset() const;

    bool Set();
    bool Reset();
    // 0: test once, negative: no limit.
    EventWait Wait(int64_t timeoutMs);
    // Processes or threads blocked in Wait right now (diagnostics and tests).
    int waiters() const;

    static int Unlink(std::string_view name);

    struct State;

private:
    int OpenImpl(std::string_view name, bool manualReset, SharedMemory::Mode mode);

    SharedMemory block_;
    State* state_ = nullptr;
};

}  // namespace plat
