// Named shared-memory block: shm_open + mmap, with a users lock file that tells
// the first live user apart so that it alone clears stale content.
//
// The users lock is an open-file-description lock (F_OFD_SETLK) rather than
// flock: it is released by the kernel when its holder dies, like flock, but a
// write lock can be turned into a read lock atomically, so no other opener can
// slip in between the first user's initialisation and its downgrade.
#include "platform/shared_memory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {
namespace {

constexpr const char* kShmDir = "/dev/shm/";

std::string ObjectName(std::string_view name) { return "/" + std::string(name); }
std::string LockPath(std::string_view name) { return kShmDir + std::string(name) + ".users"; }

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
    if (fstat(fd, &a) != 0 || stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
        created_ = other.created_;
        errno_ = other.errno_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.lockFd_ = -1;
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

ShmError SharedMemory::Open(std::string_view name, size_t size, Mode mode, Initialiser init) {
    Close();
    errno_ = 0;
    if (!ValidName(name)) return Fail(ShmError::BadName, EINVAL);
    if (size > static_cast<size_t>(std::numeric_limits<off_t>::max())) return Fail(ShmError::BadSize, EFBIG);
    name_ = std::string(name);
    const std::string object = ObjectName(name);
    const std::string lockPath = LockPath(name);

    // Join the users of the block: exclusive when nobody else has it open.
    bool first = false;
    for (int attempt = 0;; ++attempt) {
        int flags = O_RDWR | O_CLOEXEC | (mode == Mode::OpenOrCreate ? O_CREAT : 0);
        lockFd_ = open(lockPath.c_str(), flags, 0600);
        if (lockFd_ < 0) {
            int err = errno;
            return Fail(err == ENOENT ? ShmError::NotFound : ShmError::OpenFailed, err);
        }
        if (OfdLock(lockFd_, F_WRLCK, false) == 0) {
            first = true;
        } else if (errno == EAGAIN || errno == EACCES) {
            first = false;
            if (OfdLock(lockFd_, F_RDLCK, true) != 0) return Fail(ShmError::OpenFailed, errno);
        } else {
            return Fail(ShmError::OpenFailed, errno);
        }
        if (SameFile(lockFd_, lockPath)) break;
        // The last user removed the block while we waited: start again.
        close(lockFd_);
        lockFd_ = -1;
        if (attempt >= 1000) return Fail(ShmError::OpenFailed, EAGAIN);
    }

    int fd = -1;
    size_t mapSize = 0;
    if (first) {
        // Nobody has the block mapped: whatever it holds was left by a dead
        // run. Open-only treats it as absent; otherwise recreate its content.
        if (mode == Mode::OpenOnly || size == 0) {
            shm_unlink(object.c_str());
            unlink(lockPath.c_str());
            return Fail(mode == Mode::OpenOnly ? ShmError::NotFound : ShmError::BadSize,
                        mode == Mode::OpenOnly ? ENOENT : EINVAL);
        }
        fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return Fail(ShmError::OpenFailed, errno);
        fchmod(fd, 0600);
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            int err = errno;
            close(fd);
            shm_unlink(object.c_str());
            return Fail(ShmError::OpenFailed, err);
        }
        mapSize = size;
    } else {
        fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            int err = errno;
            return Fail(err == ENOENT ? ShmError::NotFound : ShmError::OpenFailed, err);
        }
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

    void* p = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int mapErr = errno;
    close(fd);
    if (p == MAP_FAILED) {
        if (first) {
            shm_unlink(object.c_str());
            unlink(lockPath.c_str());
        }
        return Fail(ShmError::MapFailed, mapErr);
    }
    data_ = p;
    size_ = mapSize;
    created_ = first;
    ownerPid_ = getpid();
    if (first) {
        if (init) init(data_, size_);
        // Atomic downgrade: from here on other openers may join.
        OfdLock(lockFd_, F_RDLCK, false);
    }
    return ShmError::None;
}

void SharedMemory::Close() {
    if (data_ != nullptr) munmap(data_, size_);
    if (lockFd_ >= 0) {
        // A copy inherited through fork() shares the parent's lock: only the
        // process that opened the block may decide it was the last user.
        if (ownerPid_ == getpid() && OfdLock(lockFd_, F_WRLCK, false) == 0) {
            shm_unlink(ObjectName(name_).c_str());
            unlink(LockPath(name_).c_str());
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
    int rc = shm_unlink(ObjectName(name).c_str()) == 0 ? 0 : errno;
    int rc2 = unlink(LockPath(name).c_str()) == 0 ? 0 : errno;
    return rc == 0 || rc2 == 0 ? 0 : rc;
}

}  // namespace plat
