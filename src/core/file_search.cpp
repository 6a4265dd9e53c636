// Path separators, stream size and the process-wide file search with the
// Windows wildcard rules.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "core/helpers.h"

namespace {

inline char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// '*' any run of characters, '?' any one character, letters without case.
bool GlobMatch(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' || (*pattern && Fold(*pattern) == Fold(*name))) {
            ++pattern;
            ++name;
        } else if (starPattern) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

// Windows rules: as GlobMatch, and a final ".*" may also match nothing, so
// "*.*" matches every name and "name.*" matches "name" itself.
bool WildMatch(const std::string& pattern, const char* name) {
    if (GlobMatch(pattern.c_str(), name)) return true;
    size_t n = pattern.size();
    if (n >= 2 && pattern[n - 2] == '.' && pattern[n - 1] == '*')
        return GlobMatch(pattern.substr(0, n - 2).c_str(), name);
    return false;
}

// The one open search of the process.
struct Search {
    std::mutex lock;
    DIR* dir = nullptr;
    std::string directory;
    std::string pattern;
};

Search& TheSearch() {
    static Search* search = new Search;
    return *search;
}

void CloseSearch(Search& s) {
    if (s.dir != nullptr) closedir(s.dir);
    s.dir = nullptr;
}

// Next matching entry into the record: 0; 1 at the end; -1 on a read error.
int NextMatch(Search& s, WFindRecord* record) {
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(s.dir);
        if (entry == nullptr) return errno == 0 ? 1 : -1;
        if (!WildMatch(s.pattern, entry->d_name)) continue;
        struct stat st;
        std::string path = s.directory + "/" + entry->d_name;
        if (lstat(path.c_str(), &st) != 0) continue;  // vanished since it was listed
        uint8_t attributes = 0;
        if (S_ISDIR(st.st_mode)) attributes |= WFIND_DIRECTORY;
        if ((st.st_mode & S_IWUSR) == 0) attributes |= WFIND_READONLY;
        if (entry->d_name[0] == '.' && std::strcmp(entry->d_name, ".") != 0 &&
            std::strcmp(entry->d_name, "..") != 0)
            attributes |= WFIND_HIDDEN;
        record->attributes = attributes;
        record->size = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) & 0xFFFFFFFFu);
        size_t len = strnlen(entry->d_name, sizeof record->name - 1);
        std::memcpy(record->name, entry->d_name, len);
        std::memset(record->name + len, 0, sizeof record->name - len);
        return 0;
    }
}

}  // namespace

void WSetPathSeparators(char* path) {
    if (path == nullptr) return;
    for (; *path; ++path)
        if (*path == '\\') *path = '/';
}

int64_t WGetStreamSize(FILE* stream) {
    if (stream == nullptr) return -1;
    off_t position = ftello(stream);
    if (position < 0) return -1;
    if (fseeko(stream, 0, SEEK_END) != 0) return -1;
    off_t size = ftello(stream);
    if (fseeko(stream, position, SEEK_SET) != 0) return -1;
    return size < 0 ? -1 : static_cast<int64_t>(size);
}

int WFindFirst(const char* pattern, WFindRecord* record) {
    if (pattern == nullptr || record == nullptr) return 1;
    Search& s = TheSearch();
    std::lock_guard<std::mutex> guard(s.lock);
    CloseSearch(s);
    std::string text(pattern);
    size_t cut = text.find_last_of("/\\");
    // No separator: the current directory; a separator first: the root.
    std::string directory(cut == std::string::npos ? "." : cut == 0 ? "/" : text.substr(0, cut));
    s.directory.swap(directory);
    s.pattern = cut == std::string::npos ? text : text.substr(cut + 1);
    if (s.pattern.empty()) return 1;
    s.dir = opendir(s.directory.c_str());
    if (s.dir == nullptr) return 1;
    if (NextMatch(s, record) == 0) return 0;
    CloseSearch(s);  // nothing matched: no search stays open
    return 1;
}

int WFindNext(WFindRecord* record) {
    if (record == nullptr) return -1;
    Search& s = TheSearch();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.dir == nullptr) return -1;
    return NextMatch(s, record);
}

std::vector<std::string> WListFiles(const char* directory, const char* pattern) {
    std::vector<std::string> names;
    if (directory == nullptr || pattern == nullptr || *pattern == '\0') return names;
    DIR* dir = opendir(*directory == '\0' ? "." : directory);
    if (dir == nullptr) return names;
    const std::string wanted(pattern);
    while (struct dirent* entry = readdir(dir))
        if (WildMatch(wanted, entry->d_name)) names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}
