// Named event shared between processes, with the behaviour of a Windows event:
// auto-reset unless asked otherwise. Set wakes one waiter (all of them for a
// manual-reset event), or stays set until a waiter comes; Reset clears it.
//
// The state lives in a small shared block "<name>.event" holding a robust
// process-shared mutex and a condition variable on CLOCK_MONOTONIC. The first
// live user of the block (see SharedMemory) initialises it, so a signal left
// by a crashed earlier run is never replayed. The block is private to the
// user: an existing one of another user (or not of mode 0600) is refused with
// kForeignObjectErrno. The state mutex is taken with a time limit: a process
// that holds it never keeps a caller past its time-out.
#pragma once
#include <pthread.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/owned_object.h"
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

    // Longest wait for the state mutex of Set, Reset and waiters().
    static constexpr int64_t kDefaultLockMs = 1000;

    // Opens the event, creating it (not set) when no process has it open.
    // The reset mode is decided by whoever creates it. 0 or an errno value:
    // kForeignObjectErrno (EPERM) when the event exists but belongs to
    // another user or has another mode than 0600.
    int Open(std::string_view name, bool manualReset = false);
    // Opens only an event that some live process has open (same errors).
    int OpenExisting(std::string_view name);
    void Close();
    bool isOpen() const { return state_ != nullptr; }
    bool manualReset() const;

    // False when the event is not open or its state mutex was not obtained
    // within lockTimeoutMs.
    bool Set(int64_t lockTimeoutMs = kDefaultLockMs);
    bool Reset(int64_t lockTimeoutMs = kDefaultLockMs);
    // 0: test once, negative: no limit. The time-out bounds the wait for the
    // state mutex as well: a mutex held by another process past it gives
    // TimedOut.
    EventWait Wait(int64_t timeoutMs);
    // Processes or threads blocked in Wait right now (diagnostics and tests);
    // -1 when not open or the state mutex was not obtained.
    int waiters() const;

    static int Unlink(std::string_view name);

    // The state in the block "<name>.event".
    struct State {
        uint32_t magic;
        uint32_t manual;
        int32_t signalled;
        int32_t waiters;
        pthread_mutex_t mutex;
        pthread_cond_t cond;
    };

private:
    int OpenImpl(std::string_view name, bool manualReset, SharedMemory::Mode mode);

    SharedMemory block_;
    State* state_ = nullptr;
};

}  // namespace plat
