// Files behind the named objects (shared blocks, their users lock files,
// named mutexes), kept private to the user who runs the program.
//
// Object names are predictable and /dev/shm is writable by every local user,
// so an object found under a name may have been put there by someone else.
// The side that creates an object creates it exclusively (O_EXCL) with mode
// 0600; the side that opens an existing one takes it only when it is a
// regular file of the same user with mode 0600. Symbolic links are never
// followed.
#pragma once
#include <cerrno>
#include <string>

namespace plat {

// The errno value that tells a refused object apart: it exists but belongs to
// another user, has another mode than 0600 or is no regular file.
constexpr int kForeignObjectErrno = EPERM;

// A name in /dev/shm: either a POSIX shared-memory object (shm_open) or a
// plain file such as a lock file.
struct NamedObjectPath {
    enum class Kind { SharedMemory, File };
    Kind kind;
    std::string name;  // without directory or leading '/'

    int Open(int flags, unsigned mode) const;
    int Unlink() const;  // 0 or errno
    std::string Path() const;  // full path under /dev/shm
};

// The directory that holds the named objects ("/dev/shm", no trailing '/').
std::string NamedObjectDirectory();

struct OwnedFd {
    enum class How { Opened, Created, Missing, Refused, Failed };
    int fd = -1;
    How how = How::Failed;
    int error = 0;  // errno of a failure; kForeignObjectErrno for Refused
};

// Opens the object read-write. An existing object is checked (Refused when
// it is not ours, 0600 and regular); a missing one is created exclusively
// with mode 0600 when create is set (Missing otherwise). A failed fchmod of a
// new object is a failure and removes it again.
OwnedFd OpenOwnedObject(const NamedObjectPath& object, bool create);

// True when the open file is a regular file of this user with mode 0600.
bool IsOwnedPrivate(int fd);

}  // namespace plat
