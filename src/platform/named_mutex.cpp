// Named mutex over flock() of a lock file, with in-process ownership tracking.
#include "platform/named_mutex.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/name_release.h"
#include "platform/owned_object.h"

namespace plat {

// One per name and process: the descriptor whose flock is the mutex, and
// which thread of this process owns it.
struct NamedMutex::Entry {
    std::string name;
    int fd = -1;
    pid_t pid = 0;  // process that opened fd (a fork()ed child must not use it)
    int releaseSlot = -1;  // slot of the name in the signal-time release list
    std::mutex m;
    bool owned = false;
    pid_t ownerTid = 0;
    uint32_t recursion = 0;

    ~Entry();
};

namespace {

std::string LockFileName(std::string_view name) { return std::string(name) + ".mutex"; }
NamedObjectPath LockFileOf(std::string_view name) { return {NamedObjectPath::Kind::File, LockFileName(name)}; }

// Whole-file OFD lock (the users lock; independent of the flock that is the
// mutex itself): F_WRLCK exclusive, F_RDLCK shared.
int OfdLock(int fd, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool SameFile(int fd, const std::string& path) {
    struct stat a {}, b {};
    if (fstat(fd, &a) != 0 || lstat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

NamedMutex::Entry::~Entry() {
    if (fd < 0) return;
    if (pid == getpid()) UnregisterNamesForRelease(releaseSlot);
    // The last process with the name open removes its file. Closing drops
    // the flock; a pid left in the file (while others still have it open)
    // tells the next owner that this process never released it.
    if (pid == getpid() && OfdLock(fd, F_WRLCK, false) == 0) {
        const NamedObjectPath file = LockFileOf(name);
        if (SameFile(fd, file.Path())) file.Unlink();
    }
    close(fd);
}

namespace {

// The registry is never destroyed: handles held by objects with static
// storage (the program's single-instance guard) may close after this file's
// own statics would have been destroyed at exit.
struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<NamedMutex::Entry>> entries;
};
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}
pid_t g_registryPid = 0;

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool ThreadAlive(pid_t tid) {
    return syscall(SYS_tgkill, getpid(), tid, 0) == 0 || errno != ESRCH;
}

long ReadOwnerPid(int fd) {
    char buf[32] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    return std::strtol(buf, nullptr, 10);
}

void WriteOwnerPid(int fd, pid_t pid) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%d\n", static_cast<int>(pid));
    if (pwrite(fd, buf, static_cast<size_t>(n), 0) == n) {
        if (ftruncate(fd, n) != 0) {
            // Trailing bytes would only follow the pid's newline: harmless.
        }
    }
}

// Takes the file lock for the calling thread: entry mutex held.
MutexWait TakeLock(NamedMutex::Entry& e, bool abandonedByThread) {
    bool abandoned = ReadOwnerPid(e.fd) != 0 || abandonedByThread;
    WriteOwnerPid(e.fd, getpid());
    e.owned = true;
    e.ownerTid = CurrentTid();
    e.recursion = 1;
    return abandoned ? MutexWait::Abandoned : MutexWait::Acquired;
}

}  // namespace

bool NamedMutex::ValidName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxName && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos && name != "." && name != "..";
}

NamedMutex::~NamedMutex() { Close(); }

int NamedMutex::Open(std::string_view name) {
    Close();
    if (!ValidName(name)) return EINVAL;
    std::lock_guard<std::mutex> lock(TheRegistry().mutex);
    auto& entries = TheRegistry().entries;
    if (g_registryPid != getpid()) {
        // Entries inherited through fork() belong to the parent's lock.
        entries.clear();
        g_registryPid = getpid();
    }
    std::string key(name);
    auto it = entries.find(key);
    if (it != entries.end()) {
        if (auto e = it->second.lock()) {
            entry_ = e;
            name_ = key;
            existed_ = true;
            return 0;
        }
    }
    // Join the users of the name: exclusive when no other process has it
    // open, then shared.
    const NamedObjectPath file = LockFileOf(name);
    int fd = -1;
    bool existed = false;
    for (int attempt = 0;; ++attempt) {
        const OwnedFd opened = OpenOwnedObject(file, true);
        if (opened.fd < 0) return opened.error;
        fd = opened.fd;
        if (OfdLock(fd, F_WRLCK, false) == 0) {
            existed = false;
            OfdLock(fd, F_RDLCK, false);  // atomic downgrade
        } else if (errno == EAGAIN || errno == EACCES) {
            existed = true;
            if (OfdLock(fd, F_RDLCK, true) != 0) {
                const int err = errno;
                close(fd);
                return err;
            }
        } else {
            const int err = errno;
            close(fd);
            return err;
        }
        // The last user removed the file while we waited: start again.
        if (SameFile(fd, file.Path())) break;
        close(fd);
        if (attempt >= 1000) return EAGAIN;
    }
    auto e = std::make_shared<Entry>();
    e->name = key;
    e->fd = fd;
    e->pid = getpid();
    // Should a signal end the process, its handler gives the name up as the
    // last close would.
    e->releaseSlot = RegisterNamesForRelease(fd, file.Path(), file.Path());
    entries[key] = e;
    entry_ = e;
    name_ = key;
    existed_ = existed;
    return 0;
}

void NamedMutex::Close() {
    if (!entry_) return;
    std::lock_guard<std::mutex> lock(TheRegistry().mutex);
    auto& entries = TheRegistry().entries;
    std::weak_ptr<Entry> weak = entry_;
    entry_.reset();
    if (weak.expired()) {
        auto it = entries.find(name_);
        if (it != entries.end() && it->second.expired()) entries.erase(it);
    }
    name_.clear();
    existed_ = false;
}

MutexWait NamedMutex::Wait(int64_t timeoutMs) {
    if (!entry_ || entry_->pid != getpid()) return MutexWait::Failed;
    Entry& e = *entry_;
    const pid_t self = CurrentTid();
    const int64_t start = MonotonicMs();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(e.m);
            if (e.owned && e.ownerTid == self) {
                ++e.recursion;
                return MutexWait::Acquired;
            }
            if (e.owned && !ThreadAlive(e.ownerTid)) {
                // The owning thread of this process ended without releasing.
                return TakeLock(e, true);
            }
            if (!e.owned) {
                if (flock(e.fd, LOCK_EX | LOCK_NB) == 0) return TakeLock(e, false);
                if (errno != EWOULDBLOCK && errno != EINTR) return MutexWait::Failed;
            }
        }
        if (timeoutMs == 0) return MutexWait::TimedOut;
        if (timeoutMs > 0 && MonotonicMs() - start >= timeoutMs) return MutexWait::TimedOut;
        SleepMs(1);
    }
}

bool NamedMutex::Release() {
    if (!entry_ || entry_->pid != getpid()) return false;
    Entry& e = *entry_;
    std::lock_guard<std::mutex> lock(e.m);
    if (!e.owned || e.ownerTid != CurrentTid()) return false;
    if (--e.recursion == 0) {
        if (ftruncate(e.fd, 0) != 0) {
            // Keep going: the lock itself must be released.
        }
        flock(e.fd, LOCK_UN);
        e.owned = false;
        e.ownerTid = 0;
    }
    return true;
}

int NamedMutex::Unlink(std::string_view name) {
    if (!ValidName(name)) return EINVAL;
    return LockFileOf(name).Unlink();
}

}  // namespace plat
