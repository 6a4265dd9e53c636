// Named shared-memory block: shm_open + mmap, with a users lock file that tells
// the first live user apart so that it alone clears stale content.
//
// The users lock is an open-file-description lock (F_OFD_SETLK) rather than
// flock: it is released by the kernel when its holder dies, like flock, but a
// write lock can be turned into a read lock atomically, so no other opener can
// slip in between the first user's initialisation and its downgrade.
//
// Truncation guard: touching a page of a mapping past the end of its object
// raises SIGBUS. Every mapping is registered in a fixed table that a SIGBUS
// handler reads without locks; a fault inside a registered mapping replaces
// the pages from the faulting one to the end of the mapping with private zero
// pages and lets the access go on. Faults elsewhere go to the handler that was
// installed before ours (or end the process as SIGBUS does by default).
#include "platform/shared_memory.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/name_release.h"
#include "platform/owned_object.h"

namespace plat {
namespace {

NamedObjectPath ObjectOf(std::string_view name) {
    return {NamedObjectPath::Kind::SharedMemory, std::string(name)};
}
NamedObjectPath UsersOf(std::string_view name) {
    return {NamedObjectPath::Kind::File, std::string(name) + ".users"};
}

// Whole-file OFD lock: F_WRLCK exclusive, F_RDLCK shared, F_UNLCK release.
int OfdLock(int fd, short type, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int FlockRetry(int fd, int op) {
    for (;;) {
        if (flock(fd, op) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

// True when fd still refers to the file that path names (it was not removed
// and recreated by a closing last user while we were waiting for the lock).
bool SameFile(int fd, const std::string& path) {
    struct stat a {}, b {};
    if (fstat(fd, &a) != 0 || lstat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---- Truncation guard ----

constexpr int kGuardSlots = 4096;

struct GuardSlot {
    std::atomic<uintptr_t> start{0};
    std::atomic<size_t> length{0};
    std::atomic<int> hits{0};
};

GuardSlot g_guard[kGuardSlots];
struct sigaction g_previousSigbus {};
std::once_flag g_guardInstalled;
uintptr_t g_pageMask = 0;

void ChainSigbus(int sig, siginfo_t* info, void* context) {
    const struct sigaction& prev = g_previousSigbus;
    if ((prev.sa_flags & SA_SIGINFO) != 0) {
        if (prev.sa_sigaction != nullptr) prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler == SIG_DFL || prev.sa_handler == SIG_IGN) {
        // The default action: the pending signal ends the process once this
        // handler returns (a fault would only repeat under SIG_IGN).
        signal(SIGBUS, SIG_DFL);
        raise(SIGBUS);
        return;
    }
    prev.sa_handler(sig);
}

void OnSigbus(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardSlot& slot : g_guard) {
        const uintptr_t start = slot.start.load(std::memory_order_acquire);
        if (start == 0 || address < start) continue;
        const size_t length = slot.length.load(std::memory_order_acquire);
        if (address - start >= length) continue;
        const uintptr_t page = address & g_pageMask;
        void* p = mmap(reinterpret_cast<void*>(page), start + length - page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (p != MAP_FAILED) {
            slot.hits.fetch_add(1, std::memory_order_relaxed);
            errno = savedErrno;
            return;
        }
        break;
    }
    errno = savedErrno;
    ChainSigbus(sig, info, context);
}

void InstallGuard() {
    g_pageMask = ~static_cast<uintptr_t>(sysconf(_SC_PAGESIZE) - 1);
    struct sigaction sa {};
    sa.sa_sigaction = OnSigbus;
    sa.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &g_previousSigbus);
}

// Registers a mapping; its slot, or -1 when the table is full (the mapping
// is then unguarded).
int GuardMapping(void* data, size_t size) {
    std::call_once(g_guardInstalled, InstallGuard);
    const size_t length = (size + ~g_pageMask) & g_pageMask;
    for (int i = 0; i < kGuardSlots; ++i) {
        uintptr_t expected = 0;
        // Claim with a marker the handler cannot match, then publish.
        if (g_guard[i].start.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            g_guard[i].hits.store(0, std::memory_order_relaxed);
            g_guard[i].length.store(length, std::memory_order_release);
            g_guard[i].start.store(reinterpret_cast<uintptr_t>(data), std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void UnguardMapping(int slot) {
    if (slot < 0) return;
    g_guard[slot].length.store(0, std::memory_order_release);
    g_guard[slot].start.store(0, std::memory_order_release);
}

}  // namespace

bool SharedMemory::ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxName) return false;
    if (name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

SharedMemory::~SharedMemory() { Close(); }

SharedMemory::SharedMemory(SharedMemory&& other) noexcept { *this = std::move(other); }

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
    if (this != &other) {
        Close();
        name_ = std::move(other.name_);
        data_ = other.data_;
        size_ = other.size_;
        lockFd_ = other.lockFd_;
        ownerPid_ = other.ownerPid_;
        guardSlot_ = other.guardSlot_;
        releaseSlot_ = other.releaseSlot_;
        created_ = other.created_;
        errno_ = other.errno_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.lockFd_ = -1;
        other.guardSlot_ = -1;
        other.releaseSlot_ = -1;
        other.created_ = false;
    }
    return *this;
}

ShmError SharedMemory::Fail(ShmError e, int err) {
    if (lockFd_ >= 0) close(lockFd_);
    lockFd_ = -1;
    data_ = nullptr;
    size_ = 0;
    created_ = false;
    errno_ = err;
    return e;
}

namespace {

ShmError ErrorOf(const OwnedFd& f) {
    switch (f.how) {
        case OwnedFd::How::Missing: return ShmError::NotFound;
        case OwnedFd::How::Refused: return ShmError::Foreign;
        default: return ShmError::OpenFailed;
    }
}

}  // namespace

ShmError SharedMemory::Open(std::string_view name, size_t size, Mode mode, Initialiser init) {
    Close();
    errno_ = 0;
    if (!ValidName(name)) return Fail(ShmError::BadName, EINVAL);
    if (size > static_cast<size_t>(std::numeric_limits<off_t>::max())) return Fail(ShmError::BadSize, EFBIG);
    name_ = std::string(name);
    const NamedObjectPath object = ObjectOf(name);
    const NamedObjectPath users = UsersOf(name);
    const std::string usersPath = users.Path();

    // Join the users of the block: exclusive when nobody else has it open.
    bool first = false;
    for (int attempt = 0;; ++attempt) {
        const OwnedFd lock = OpenOwnedObject(users, mode == Mode::OpenOrCreate);
        if (lock.fd < 0) return Fail(ErrorOf(lock), lock.error);
        lockFd_ = lock.fd;
        if (OfdLock(lockFd_, F_WRLCK, false) == 0) {
            first = true;
        } else if (errno == EAGAIN || errno == EACCES) {
            first = false;
            if (OfdLock(lockFd_, F_RDLCK, true) != 0) return Fail(ShmError::OpenFailed, errno);
        } else {
            return Fail(ShmError::OpenFailed, errno);
        }
        if (SameFile(lockFd_, usersPath)) break;
        // The last user removed the block while we waited: start again.
        close(lockFd_);
        lockFd_ = -1;
        if (attempt >= 1000) return Fail(ShmError::OpenFailed, EAGAIN);
    }

    int fd = -1;
    size_t mapSize = 0;
    if (first) {
        // Nobody has the block mapped: whatever it holds was left by a dead
        // run. Open-only treats it as absent; otherwise its content is made
        // anew. An object of another user is never used nor removed.
        const OwnedFd stale = OpenOwnedObject(object, mode == Mode::OpenOrCreate && size != 0);
        if (stale.how == OwnedFd::How::Refused || stale.how == OwnedFd::How::Failed) {
            users.Unlink();
            return Fail(ErrorOf(stale), stale.error);
        }
        if (mode == Mode::OpenOnly || size == 0) {
            if (stale.fd >= 0) {
                close(stale.fd);
                object.Unlink();
            }
            users.Unlink();
            return Fail(mode == Mode::OpenOnly ? ShmError::NotFound : ShmError::BadSize,
                        mode == Mode::OpenOnly ? ENOENT : EINVAL);
        }
        fd = stale.fd;
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            int err = errno;
            close(fd);
            object.Unlink();
            users.Unlink();
            return Fail(ShmError::OpenFailed, err);
        }
        mapSize = size;
    } else {
        const OwnedFd existing = OpenOwnedObject(object, false);
        if (existing.fd < 0) return Fail(ErrorOf(existing), existing.error);
        fd = existing.fd;
        // Growing is serialised between openers so that two of them asking for
        // different sizes can never shrink the block under each other.
        if (FlockRetry(fd, LOCK_EX) != 0) {
            int err = errno;
            close(fd);
            return Fail(ShmError::OpenFailed, err);
        }
        struct stat st {};
        int err = 0;
        if (fstat(fd, &st) != 0) {
            err = errno;
        } else if (static_cast<size_t>(st.st_size) < size) {
            if (ftruncate(fd, static_cast<off_t>(size)) != 0) err = errno;
            else st.st_size = static_cast<off_t>(size);
        }
        FlockRetry(fd, LOCK_UN);
        if (err != 0) {
            close(fd);
            return Fail(ShmError::OpenFailed, err);
        }
        mapSize = static_cast<size_t>(st.st_size);
        if (mapSize == 0) {
            close(fd);
            return Fail(ShmError::BadSize, EINVAL);
        }
    }

    // The object must hold every byte that is mapped.
    struct stat st {};
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < mapSize) {
        int err = errno != 0 ? errno : EINVAL;
        close(fd);
        if (first) {
            object.Unlink();
            users.Unlink();
        }
        return Fail(ShmError::BadSize, err);
    }
    void* p = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int mapErr = errno;
    close(fd);
    if (p == MAP_FAILED) {
        if (first) {
            object.Unlink();
            users.Unlink();
        }
        return Fail(ShmError::MapFailed, mapErr);
    }
    data_ = p;
    size_ = mapSize;
    created_ = first;
    ownerPid_ = getpid();
    guardSlot_ = GuardMapping(data_, size_);
    // Should a signal end the process, its handler gives the names up as
    // Close would.
    releaseSlot_ = RegisterNamesForRelease(lockFd_, usersPath, object.Path(), usersPath);
    if (first) {
        if (init) init(data_, size_);
        // Atomic downgrade: from here on other openers may join.
        OfdLock(lockFd_, F_RDLCK, false);
    }
    return ShmError::None;
}

bool SharedMemory::truncated() const {
    return guardSlot_ >= 0 && g_guard[guardSlot_].hits.load(std::memory_order_relaxed) > 0;
}

void SharedMemory::Close() {
    // A copy inherited through fork() shares the parent's lock and mapping
    // slot: only the process that opened the block may act on them.
    const bool owner = ownerPid_ == getpid();
    if (owner) UnregisterNamesForRelease(releaseSlot_);
    releaseSlot_ = -1;
    if (owner) UnguardMapping(guardSlot_);
    guardSlot_ = -1;
    if (data_ != nullptr) munmap(data_, size_);
    if (lockFd_ >= 0) {
        if (owner && OfdLock(lockFd_, F_WRLCK, false) == 0) {
            ObjectOf(name_).Unlink();
            UsersOf(name_).Unlink();
        }
        close(lockFd_);
    }
    data_ = nullptr;
    size_ = 0;
    lockFd_ = -1;
    created_ = false;
}

int SharedMemory::Unlink(std::string_view name) {
    if (!ValidName(name)) return EINVAL;
    int rc = ObjectOf(name).Unlink();
    int rc2 = UsersOf(name).Unlink();
    return rc == 0 || rc2 == 0 ? 0 : rc;
}

}  // namespace plat
