// File search with full paths, file deletion and size, directory check and
// directory emptying or removal.
#include "core/directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

// Process-wide search state: the directory of the search started by
// WFindFirstFile (empty when the search was restarted by someone else), the
// last entry found and the last full path returned.
char g_searchDir[WSEARCH_DIRECTORY_MAX + 1];
char g_fullPath[WSEARCH_PATH_MAX + 1];
char g_deletePath[WDELETE_PATH_MAX + 1];
WFindRecord g_record;

// Writes "first/second" (or second alone when first is null) into an area of
// max characters plus the NUL. False, with the area untouched, when it does
// not fit.
bool JoinPath(char* area, size_t max, const char* first, const char* second) {
    const size_t a = first != nullptr ? std::strlen(first) : 0;
    const size_t b = std::strlen(second);
    const size_t total = first != nullptr ? a + 1 + b : b;
    if (total > max) return false;
    if (first != nullptr) {
        std::memcpy(area, first, a);
        area[a] = '/';
        std::memcpy(area + a + 1, second, b + 1);
    } else {
        std::memcpy(area, second, b + 1);
    }
    return true;
}

// The path without its trailing '/' ("/" stays "/"), so that a symbolic link
// given as "link/" is looked at as the link itself.
std::string WithoutTrailingSlash(const char* path) {
    std::string p(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// Full path of the current record, or of the next one that fits; null at
// the end of the search.
char* CurrentOrNextPath() {
    for (;;) {
        if (JoinPath(g_fullPath, WSEARCH_PATH_MAX, g_searchDir, g_record.name)) return g_fullPath;
        if (WFindNext(&g_record) != 0) return nullptr;
    }
}

// Starts a search that holds no directory open, and forgets the search
// directory so that WFindNextFile ends at once.
void ReleaseSearch() {
    WFindFirst("/", &g_record);
    g_searchDir[0] = '\0';
}

}  // namespace

char* WFindFirstFile(const char* directory, const char* pattern) {
    if (directory == nullptr || *directory == '\0' || pattern == nullptr) return nullptr;
    if (std::strlen(directory) > static_cast<size_t>(WSEARCH_DIRECTORY_MAX)) return nullptr;
    char search[WSEARCH_PATH_MAX + 1];
    if (!JoinPath(search, WSEARCH_PATH_MAX, directory, pattern)) return nullptr;
    std::memcpy(g_searchDir, directory, std::strlen(directory) + 1);
    if (WFindFirst(search, &g_record) != 0) return nullptr;
    return CurrentOrNextPath();
}

char* WFindNextFile() {
    if (g_searchDir[0] == '\0') return nullptr;
    if (WFindNext(&g_record) != 0) return nullptr;
    return CurrentOrNextPath();
}

int WDeleteFile(const char* directory, const char* name) {
    if (name == nullptr) return -1;
    if (!JoinPath(g_deletePath, WDELETE_PATH_MAX, directory, name)) return -1;
    return unlink(g_deletePath) == 0 ? 1 : -1;
}

long long WGetFileSize(const char* path) {
    if (path == nullptr) return -1;
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

namespace {

// True when the search finds an entry named exactly as the last part of the
// path. The search compares names without case; the file system does not, so
// only the exact name proves that the path itself exists.
bool SearchFinds(const char* path) {
    g_searchDir[0] = '\0';
    const char* slash = std::strrchr(path, '/');
    const char* last = slash != nullptr && slash[1] != '\0' ? slash + 1 : path;
    if (WFindFirst(path, &g_record) != 0) return false;
    do {
        if (std::strcmp(g_record.name, last) == 0) return true;
    } while (WFindNext(&g_record) == 0);
    return false;
}

}  // namespace

int WCheckDirectory(const char* path, int create) {
    if (path == nullptr) return -1;
    const std::string exact = WithoutTrailingSlash(path);
    if (exact.size() > static_cast<size_t>(WSEARCH_PATH_MAX)) return -1;
    if (exact == "/") return 1;
    if (SearchFinds(exact.c_str())) return 1;
    if (create == 0) return -2;
    // The creation is not checked by itself: the search after it decides.
    mkdir(exact.c_str(), 0755);
    return SearchFinds(exact.c_str()) ? 2 : -2;
}

int WSysRemoveDirectoryEx(const char* directory, int remove, int messages) {
    if (directory == nullptr) return 0;
    if (std::strlen(directory) > static_cast<size_t>(WSEARCH_DIRECTORY_MAX)) {
        if (messages) WSysError("-- ERROR -- WSysRemoveDirectoryEx() : unable to supress %s", directory);
        return 0;
    }
    const std::string self = WithoutTrailingSlash(directory);
    struct stat st {};
    const bool isLink = lstat(self.c_str(), &st) == 0 && S_ISLNK(st.st_mode);

    // Delete every entry that is not a directory. A directory given as a
    // symbolic link is not emptied: its target belongs to someone else.
    if (!isLink) {
        for (char* path = WFindFirstFile(directory, "*.*"); path != nullptr; path = WFindNextFile()) {
            struct stat entry {};
            if (lstat(path, &entry) == 0) {
                // Links (to directories too) are deleted as links, never followed.
                if (S_ISDIR(entry.st_mode)) continue;
            } else if (g_record.attributes & WFIND_DIRECTORY) {
                continue;
            }
            WDeleteFile(nullptr, path);
        }
    }
    ReleaseSearch();
    if (remove == 0) return 1;

    if (rmdir(self.c_str()) == 0) return 1;
    if (messages) WSysError("<< WARN. >> WSysRemoveDirectoryEx() : %s is not a directory", directory);
    if (WDeleteFile(nullptr, self.c_str()) == 1) return 1;
    if (messages) WSysError("-- ERROR -- WSysRemoveDirectoryEx() : unable to supress %s", directory);
    return 0;
}

int WSysRemoveDirectory(const char* directory, int remove) {
    WSysRemoveDirectoryEx(directory, remove, 1);
    return 1;
}
