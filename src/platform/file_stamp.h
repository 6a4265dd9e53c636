// The version of a file as the system sees it: its identity (device, inode),
// size and modification and change times. Two equal stamps taken at two
// moments mean the file was neither replaced nor written in between, so what
// was built from it can be kept.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace plat {

struct FileStamp {
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of a path (symbolic links followed); exists false when it
// cannot be looked at.
FileStamp StampOf(const char* path);
// The stamp of an open file.
FileStamp StampOfDescriptor(int fd);

// The stamps of a directory's entries whose names end with suffix, sorted by
// name, after the stamp of the directory itself (first, under the name "."):
// an entry added, removed or renamed changes the directory's stamp, an entry
// written changes its own.
std::vector<std::pair<std::string, FileStamp>> StampsOfDirectory(const char* directory, const char* suffix);

}  // namespace plat
