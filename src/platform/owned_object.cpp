// Exclusive creation and ownership checks of the files behind named objects.
#include "platform/owned_object.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr const char* kShmDir = "/dev/shm/";
constexpr int kCreateAttempts = 100;

}  // namespace

int NamedObjectPath::Open(int flags, unsigned mode) const {
    flags |= O_CLOEXEC | O_NOFOLLOW;
    if (kind == Kind::SharedMemory) return shm_open(("/" + name).c_str(), flags, static_cast<mode_t>(mode));
    return open(Path().c_str(), flags, static_cast<mode_t>(mode));
}

int NamedObjectPath::Unlink() const {
    const int rc = kind == Kind::SharedMemory ? shm_unlink(("/" + name).c_str()) : unlink(Path().c_str());
    return rc == 0 ? 0 : errno;
}

std::string NamedObjectPath::Path() const { return kShmDir + name; }

std::string NamedObjectDirectory() {
    std::string dir = kShmDir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool IsOwnedPrivate(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) == 0600;
}

OwnedFd OpenOwnedObject(const NamedObjectPath& object, bool create) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        int fd = object.Open(O_RDWR, 0);
        if (fd >= 0) {
            if (!IsOwnedPrivate(fd)) {
                close(fd);
                return {-1, OwnedFd::How::Refused, kForeignObjectErrno};
            }
            return {fd, OwnedFd::How::Opened, 0};
        }
        int err = errno;
        // Another user's file (not readable to us) or a planted link.
        if (err == EACCES || err == ELOOP || err == EPERM) return {-1, OwnedFd::How::Refused, kForeignObjectErrno};
        if (err != ENOENT) return {-1, OwnedFd::How::Failed, err};
        if (!create) return {-1, OwnedFd::How::Missing, ENOENT};
        fd = object.Open(O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            // The umask may have taken bits away: the mode is set exactly.
            if (fchmod(fd, 0600) != 0) {
                err = errno;
                close(fd);
                object.Unlink();
                return {-1, OwnedFd::How::Failed, err};
            }
            return {fd, OwnedFd::How::Created, 0};
        }
        err = errno;
        if (err == EEXIST) continue;  // created meanwhile: open it and check it
        if (err == EACCES || err == EPERM) return {-1, OwnedFd::How::Refused, kForeignObjectErrno};
        return {-1, OwnedFd::How::Failed, err};
    }
    return {-1, OwnedFd::How::Failed, EAGAIN};
}

}  // namespace plat
