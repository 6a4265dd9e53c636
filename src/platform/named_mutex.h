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
//
// Like a Windows named mutex, the name exists while some process has it open:
// each process that has it open also holds a shared open-file-description
// lock (fcntl, independent of flock) on the file. Open tells whether another
// live process had it open already (existed()); the last process to close it
// removes the file. A file left by a killed process is taken over by the next
// opener and removed at its close. The file is private to the user: created
// exclusively with mode 0600, refused (kForeignObjectErrno) when an existing
// one belongs to another user or has another mode.
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
    // 0 or an errno value; kForeignObjectErrno (EPERM) for a lock file of
    // another user or of another mode than 0600.
    int Open(std::string_view name);
    // True when the name was already open, in another live process or
    // through another handle of this one, when this handle opened it.
    bool existed() const { return existed_; }
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
    bool existed_ = false;
};

}  // namespace plat
