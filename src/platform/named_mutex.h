// Named mutex shared between processes and threads, with the behaviour of a
// Windows mutex: recursive for the owning thread, a wait with a time-out, and
// an owner that died without releasing it leaves it "abandoned", which the
// next waiter acquires and is told about.
//
// Built on flock() of "/dev/shm/<name>.mutex": the kernel drops the lock when
// its holder dies. flock() locks belong to an open file, so a process keeps
// one descriptor per name, shared by all its handles of that name, and tracks
// the owning thread and recursion count itself. The owner writes its pid into
// the file and clears it on release: a pid found there by the next acquirer
// means the previous owner ended without releasing.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace plat {

enum class MutexWait {
    Acquired,
    Abandoned,  // acquired, but the previous owner died holding it
    TimedOut,
    Failed,     // handle not open
};

class NamedMutex {
public:
    static constexpr size_t kMaxName = 200;

    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens the mutex of that name, creating it (not owned) when needed.
    // 0 or an errno value.
    int Open(std::string_view name);
    // Closes this handle. A thread that still owns the mutex when the last
    // handle of the process closes leaves it abandoned.
    void Close();
    bool isOpen() const { return entry_ != nullptr; }
    const std::string& name() const { return name_; }

    // Waits up to timeoutMs (0: try once, negative: no limit). Polls every
    // millisecond on plat::MonotonicMs / plat::SleepMs.
    MutexWait Wait(int64_t timeoutMs);
    // Releases one level of ownership. False when the calling thread does not
    // own the mutex.
    bool Release();

    // Removes the lock file of that name; 0 or an errno value.
    static int Unlink(std::string_view name);
    static bool ValidName(std::string_view name);

    struct Entry;

private:
    std::shared_ptr<Entry> entry_;
    std::string name_;
};

}  // namespace plat
