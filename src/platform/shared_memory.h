// Named shared-memory block shared between processes (POSIX shm + mmap).
//
// POSIX objects outlive their processes, so "the creator" of a block means its
// first live user: every opener holds a shared lock on a companion file
// "/dev/shm/<name>.users" for as long as it has the block mapped. An opener
// that can take that lock exclusively knows nobody else has the block open; it
// clears whatever a crashed earlier run left in it before anyone sees it. The
// last user to close removes the object, as a named mapping vanishes with its
// last handle.
//
// The block and its lock file are private to the user (see owned_object.h):
// created exclusively with mode 0600, and refused (ShmError::Foreign) when an
// existing one belongs to someone else or has another mode. The size of an
// existing object is checked before it is mapped, and a mapping whose object
// is later made shorter never crashes the process: the pages past the new end
// read as zeros from then on and truncated() tells so.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace plat {

enum class ShmError {
    None,
    BadName,     // empty, contains '/', or too long
    BadSize,     // size 0 for a block that has to be created, or too large
    NotFound,    // open-only and no live user holds the block
    OpenFailed,  // the object or its lock file could not be opened or sized
    MapFailed,   // mmap refused
    Foreign,     // the object or its lock file belongs to another user, or
                 // its mode is not 0600 (lastErrno() is kForeignObjectErrno)
};

class SharedMemory {
public:
    enum class Mode { OpenOrCreate, OpenOnly };
    // Called by the first live user, with the block already zeroed, before any
    // other process can map it: the place to initialise shared structures.
    using Initialiser = std::function<void(void* data, size_t size)>;

    // Longest accepted name (without the leading '/').
    static constexpr size_t kMaxName = 200;

    SharedMemory() = default;
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    SharedMemory(SharedMemory&& other) noexcept;
    SharedMemory& operator=(SharedMemory&& other) noexcept;

    // Opens (or creates) the block and maps max(size, current size) bytes; a
    // size larger than the current object grows it, never shrinks it. Size 0
    // maps the whole existing block (and fails when there is none).
    ShmError Open(std::string_view name, size_t size, Mode mode, Initialiser init = {});
    // Unmaps; the last live user also removes the object and its lock file.
    void Close();

    bool isOpen() const { return data_ != nullptr; }
    void* data() const { return data_; }
    size_t size() const { return size_; }
    // True when this opener was the first live user (and cleared the block).
    bool created() const { return created_; }
    // errno of the last failure of Open.
    int lastErrno() const { return errno_; }
    // True once the object was made shorter than this mapping: the pages past
    // its end were replaced by private zero pages instead of faulting.
    bool truncated() const;
    const std::string& name() const { return name_; }

    // Removes the named object and its lock file; 0 or an errno value.
    static int Unlink(std::string_view name);
    // True when the name can be used for a block.
    static bool ValidName(std::string_view name);

private:
    ShmError Fail(ShmError e, int err);

    std::string name_;
    void* data_ = nullptr;
    size_t size_ = 0;
    int lockFd_ = -1;
    pid_t ownerPid_ = 0;
    int guardSlot_ = -1;  // slot of the mapping in the truncation guard
    int releaseSlot_ = -1;  // slot of the names in the signal-time release list
    bool created_ = false;
    int errno_ = 0;
};

}  // namespace plat
