#include "platform/file_stamp.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

namespace plat {

namespace {

int64_t Nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

FileStamp FromStat(const struct stat& st) {
    FileStamp s;
    s.exists = true;
    s.device = static_cast<uint64_t>(st.st_dev);
    s.inode = static_cast<uint64_t>(st.st_ino);
    s.size = static_cast<int64_t>(st.st_size);
    s.modifiedNs = Nanoseconds(st.st_mtim);
    s.changedNs = Nanoseconds(st.st_ctim);
    return s;
}

}  // namespace

FileStamp StampOf(const char* path) {
    struct stat st {};
    if (path == nullptr || *path == '\0' || ::stat(path, &st) != 0) return {};
    return FromStat(st);
}

FileStamp StampOfDescriptor(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return {};
    return FromStat(st);
}

std::vector<std::pair<std::string, FileStamp>> StampsOfDirectory(const char* directory, const char* suffix) {
    std::vector<std::pair<std::string, FileStamp>> stamps;
    const std::string dir = directory != nullptr && *directory != '\0' ? directory : ".";
    stamps.emplace_back(".", StampOf(dir.c_str()));
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return stamps;
    const size_t suffixLength = suffix != nullptr ? std::strlen(suffix) : 0;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(d)) {
        const size_t length = std::strlen(entry->d_name);
        if (length < suffixLength || std::strcmp(entry->d_name + length - suffixLength, suffix ? suffix : "") != 0)
            continue;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir.back() == '/' ? dir : dir + "/";
    for (const std::string& name : names) stamps.emplace_back(name, StampOf((prefix + name).c_str()));
    return stamps;
}

}  // namespace plat
