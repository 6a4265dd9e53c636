// Lock-free table of the named objects a process has open, for their
// release from a signal handler.
#include "platform/name_release.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace plat {
namespace {

constexpr int kSlots = 256;
constexpr size_t kPathRoom = 256;

enum SlotState : int { kFree = 0, kFilling = 1, kReady = 2 };

struct Slot {
    std::atomic<int> state{kFree};
    int fd = -1;
    pid_t pid = 0;
    char lockPath[kPathRoom] = {};
    char remove[2][kPathRoom] = {};
};

Slot g_slots[kSlots];

static_assert(std::atomic<int>::is_always_lock_free, "slot states must be usable from a signal handler");

bool Fits(const std::string& path) { return path.size() < kPathRoom && path.find('\0') == std::string::npos; }

void CopyPath(char (&room)[kPathRoom], const std::string& path) {
    std::memcpy(room, path.data(), path.size());
    room[path.size()] = '\0';
}

// True when the descriptor still names the file at path (the file was not
// removed and made anew by another process meanwhile).
bool SameFile(int fd, const char* path) {
    struct stat a {}, b {};
    if (fstat(fd, &a) != 0 || lstat(path, &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The exclusive form of the users lock: taken only when no other process
// holds the shared one.
bool AloneWith(int fd) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    for (;;) {
        if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

int RegisterNamesForRelease(int lockFd, const std::string& lockPath, const std::string& removePath,
                            const std::string& secondRemovePath) {
    if (lockFd < 0 || !Fits(lockPath) || !Fits(removePath) || !Fits(secondRemovePath)) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (!g_slots[i].state.compare_exchange_strong(expected, kFilling, std::memory_order_acquire)) continue;
        Slot& slot = g_slots[i];
        slot.fd = lockFd;
        slot.pid = getpid();
        CopyPath(slot.lockPath, lockPath);
        CopyPath(slot.remove[0], removePath);
        CopyPath(slot.remove[1], secondRemovePath);
        slot.state.store(kReady, std::memory_order_release);
        return i;
    }
    return -1;
}

void UnregisterNamesForRelease(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    g_slots[slot].state.store(kFree, std::memory_order_release);
}

void ReleaseRegisteredNames() {
    const pid_t self = getpid();
    for (Slot& slot : g_slots) {
        if (slot.state.load(std::memory_order_acquire) != kReady || slot.pid != self) continue;
        if (!SameFile(slot.fd, slot.lockPath) || !AloneWith(slot.fd)) continue;
        for (const char* path : slot.remove)
            if (path[0] != '\0') unlink(path);
    }
}

}  // namespace plat
