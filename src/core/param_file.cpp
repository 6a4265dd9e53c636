// Parameter files: in-memory file object, search, parameter lines, signature
// and secure records, scrambling, atomic rewrite.
#include "core/param_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

char g_result[FILE_RESULT_AREA_SIZE];

const char* PathOf(const KTDK_FILE* file) { return file->path; }

// Length of the content read as text: up to its first NUL, at most length.
int32_t TextLength(const KTDK_FILE* file) {
    if (file->content == nullptr || file->length <= 0) return 0;
    return int32_t(strnlen(file->content, size_t(file->length)));
}

// Position of needle in content[from, end), or -1. An empty needle is found
// at from.
int32_t FindBytes(const char* content, int32_t from, int32_t end, const char* needle) {
    const size_t n = strlen(needle);
    if (from < 0 || from > end) return -1;
    if (n == 0) return from;
    const void* hit = memmem(content + from, size_t(end - from), needle, n);
    return hit ? int32_t(static_cast<const char*>(hit) - content) : -1;
}

// New zeroed content block of size bytes and a NUL; null when it cannot be had.
char* NewBlock(int32_t size) {
    if (size < 0 || size > INT32_MAX - 64) return nullptr;
    return static_cast<char*>(WAlloc(size_t(size)));
}

void SetSeparators(KTDK_FILE* file, const std::string& start, const std::string& end) {
    // Callers only pass pairs that fit (keys are checked first).
    snprintf(file->startSeparator, sizeof file->startSeparator, "%s", start.c_str());
    snprintf(file->endSeparator, sizeof file->endSeparator, "%s", end.c_str());
}

std::string SignatureStart() { return std::string("{") + FILE_SIGNATURE_MARKER + ":"; }
std::string SecureStart() { return std::string("\r\n{") + FILE_SECURE_MARKER + ":"; }
const char kRecordEnd[] = "}\r\n";

// Both signature values over the first count bytes.
void ComputeSignature(const char* data, int32_t count, uint8_t* x, uint8_t* s) {
    uint8_t xv = 0xFF, sv = 0;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t d = uint8_t(data[i]);
        xv ^= uint8_t(d + uint8_t(i));
        sv = uint8_t(sv + d + uint8_t(i) + uint8_t(i >> 8));
    }
    *x = xv;
    *s = sv;
}

bool ValidKey(const char* key, const char* operation, const KTDK_FILE* file) {
    if (key == nullptr) return false;
    if (strlen(key) > size_t(FILE_KEY_MAX)) {
        WSysError("-- ERROR -- %s(): Key too long, max. size: %d, file: %s", operation,
                  FILE_KEY_MAX, PathOf(file));
        return false;
    }
    return true;
}

// Shared search of FILE_GetMessage and FILE_GetNextMessage.
char* NextMessage(KTDK_FILE* file, bool fromStart) {
    const char* name = fromStart ? "FILE_GetMessage" : "FILE_GetNextMessage";
    if (file == nullptr) {
        WSysError("-- ERROR -- %s(): Null pointer error", name);
        return nullptr;
    }
    if (file->content == nullptr || file->length <= 0 || file->content[0] == '\0') {
        if (fromStart)
            WSysError("** INFO. ** FILE_GetMessage(): Null or empty file: %s", PathOf(file));
        else
            WSysError("** INFO. ** FILE_GetNextMessage(): Null or empty content for file:%s",
                      PathOf(file));
        return nullptr;
    }
    if (fromStart) file->cursor = 0;
    if (file->cursor < 0) file->cursor = 0;
    const int32_t end = TextLength(file);
    if (file->cursor >= file->length || file->cursor >= end) return nullptr;

    int32_t begin = file->cursor;
    if (file->startSeparator[0] != '\0') {
        const int32_t at = FindBytes(file->content, file->cursor, end, file->startSeparator);
        if (at < 0) return nullptr;
        begin = at + int32_t(strlen(file->startSeparator));
        file->cursor = begin;
    }
    int32_t stop = end;
    const int32_t endLength = int32_t(strlen(file->endSeparator));
    bool endFound = false;
    if (endLength > 0) {
        const int32_t at = FindBytes(file->content, begin, end, file->endSeparator);
        if (at >= 0) {
            stop = at;
            endFound = true;
        }
    }
    const int32_t size = stop - begin;
    if (size >= FILE_RESULT_AREA_SIZE) {
        if (fromStart)
            WSysError("-- ERROR -- FILE_GetMessage(): Temporary buffer too small for file: %s",
                      PathOf(file));
        else
            WSysError("-- ERROR -- FILE_GetNextMessage(): Temporary buffer too small for file: "
                      "%s, max. size: %d",
                      PathOf(file), FILE_RESULT_AREA_SIZE - 1);
        return nullptr;
    }
    memmove(g_result, file->content + begin, size_t(size));
    g_result[size] = '\0';
    file->cursor = endFound ? stop + endLength : file->length + endLength;
    return g_result;
}

// Finds the record opened by `start` (last occurrence in all length bytes).
// Returns its first position, or -1; *stop gets the last byte of its end, or
// -1 when the end does not follow.
int32_t FindLastRecord(const KTDK_FILE* file, const std::string& start, int32_t* stop) {
    *stop = -1;
    int32_t found = -1;
    for (int32_t from = 0;;) {
        const int32_t at = FindBytes(file->content, from, file->length, start.c_str());
        if (at < 0) break;
        found = at;
        from = at + 1;
    }
    if (found < 0) return -1;
    const int32_t end =
        FindBytes(file->content, found + int32_t(start.size()), file->length, kRecordEnd);
    if (end >= 0) *stop = end + int32_t(strlen(kRecordEnd)) - 1;
    return found;
}

// The scrambling keys are not stored as such: each byte is rebuilt from a
// constant of this routine and a generated mask.
void BuildScrambleKeys(std::vector<ScrambleKey>& table) {
    static const uint8_t kMixed[SCRAMBLE_KEY_COUNT][SCRAMBLE_KEY_SIZE] = {
        {0x24, 0x27, 0x2E, 0x58, 0x49, 0xD1}, {0xB9, 0xBF, 0x98, 0x1A, 0x37, 0x88},
        {0xEE, 0x86, 0xE8, 0xA3, 0xF9, 0x85}, {0x50, 0xBF, 0x4D, 0x46, 0x02, 0xAF},
        {0xF7, 0xF1, 0x71, 0x30, 0x4D, 0x7F}, {0xD9, 0x1D, 0x72, 0x06, 0x71, 0x90},
    };
    table.clear();
    table.reserve(SCRAMBLE_KEY_COUNT);
    uint32_t state = 0x5A17C3E1u;
    for (int k = 0; k < SCRAMBLE_KEY_COUNT; ++k) {
        ScrambleKey key{};
        for (int j = 0; j < SCRAMBLE_KEY_SIZE; ++j) {
            state = state * 0x343FDu + 0x269EC3u;
            key[size_t(j)] = uint8_t(kMixed[k][j] ^ uint8_t(state >> 16));
        }
        table.push_back(key);
    }
}

std::vector<ScrambleKey>& KeyTable() {
    static std::vector<ScrambleKey> table = [] {
        std::vector<ScrambleKey> t;
        BuildScrambleKeys(t);
        return t;
    }();
    return table;
}

// Built at process start.
[[maybe_unused]] const bool g_keysBuilt = !KeyTable().empty();

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void FsyncDirectory(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    if (fsync(fd) != 0)
        WSysError("<< WARN. >> FILE_OpenWriteClose(): Failed to sync directory: %s",
                  directory.c_str());
    close(fd);
}

// The file a rewrite replaces: a symbolic link is followed to its target
// (relative targets from the link's directory), so the link stays a link.
// A chain of more than 40 links is left as it is.
std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        char target[PATH_MAX];
        const ssize_t n = readlink(current.c_str(), target, sizeof target - 1);
        if (n <= 0) return current;
        std::string next(target, size_t(n));
        if (next[0] != '/') next = DirectoryOf(current) + "/" + next;
        current = next;
    }
    return path;
}

// Temporary files of this file ("." + name + "." + six characters) that no
// writer holds any more: a writer keeps a lock on its temporary file until
// the rename, and the lock goes with a killed writer.
void RemoveStaleTemporaries(const std::string& directory, const std::string& base) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return;
    const std::string prefix = "." + base + ".";
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string full = directory + "/" + name;
        const int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(full.c_str());
        close(fd);
    }
    closedir(dir);
}

void ReportOpenFailure(const char* path, int number) {
    char text[256];
    if (number != 0 && FILE_GetErrnoMessage(number, sizeof text, text) == 1 && text[0] != '\0')
        WSysError("<< WARN. >> FILE_OpenWriteClose(): Failed for file <%s>. System message : %s",
                  path, text);
    else
        WSysError("<< WARN. >> FILE_OpenWriteClose(): Failed for file <%s>.", path);
}

// Writes all bytes to fd; the count written.
int64_t WriteAll(int fd, const char* data, int32_t count) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd, data + done, size_t(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

// Rewrites a writable file in place (its directory refuses new files): the
// content, then the length, then fsync. The length written, or -1 with
// errno set.
int64_t RewriteInPlace(const std::string& path, const char* content, int32_t length) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int64_t written = WriteAll(fd, content, length);
    const bool ok = written == length && ftruncate(fd, length) == 0 && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok ? written : -1;
}

}  // namespace

char* FILE_ResultArea() { return g_result; }

const std::vector<ScrambleKey>& ScrambleKeyTable() { return KeyTable(); }

KTDK_FILE* FILE_NewFile(const char* path) {
    if (path == nullptr) return nullptr;
    if (strlen(path) > size_t(FILE_PATH_MAX)) {
        WSysError("-- ERROR -- FILE_NewFile : Path too long, max. size: %d", FILE_PATH_MAX);
        return nullptr;
    }
    auto* file = static_cast<KTDK_FILE*>(WAlloc(sizeof(KTDK_FILE)));
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_NewFile : Echec Allocation structures....");
        return nullptr;
    }
    snprintf(file->path, sizeof file->path, "%s", path);
    WSetPathSeparators(file->path);
    return file;
}

int FILE_FreeFile(KTDK_FILE* file) {
    if (file == nullptr) return 1;
    WFree(file->content);
    WFree(file);
    return 1;
}

int FILE_OpenReadClose(KTDK_FILE* file) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_OpenReadClose(): Null pointer error");
        return -1;
    }
    int fd = open(file->path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int number = errno;
        if (number != ENOENT && number != ENOTDIR) {
            // Present but unreadable: never taken for missing (it would be
            // recreated empty over the real one).
            WSysError("-- ERROR -- FILE_OpenReadClose(): Failed to open file: %s, errno: %d",
                      file->path, number);
            return -1;
        }
        char* block = NewBlock(FILE_MISSING_CONTENT_SIZE);
        if (block == nullptr) {
            WSysError("-- ERROR -- FILE_OpenReadClose : Echec Allocation Memoire Contenu : %s",
                      file->path);
            return -1;
        }
        WFree(file->content);
        file->content = block;
        file->length = FILE_MISSING_CONTENT_SIZE;
        return 0;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        WSysError("-- ERROR -- FILE_OpenReadClose(): Not a regular file: %s", file->path);
        close(fd);
        return -1;
    }
    if (st.st_size > INT32_MAX - 64) {
        WSysError("-- ERROR -- FILE_OpenReadClose(): File too big: %s", file->path);
        close(fd);
        return -2;
    }
    const int32_t size = int32_t(st.st_size);
    char* block = nullptr;
    if (file->content != nullptr && file->length == size) {
        block = file->content;
        memset(block, 0, size_t(size) + 1);
    } else {
        block = NewBlock(size);
        if (block == nullptr) {
            WSysError("-- ERROR -- FILE_OpenReadClose : Echec Allocation Memoire Contenu : %s",
                      file->path);
            close(fd);
            return -2;
        }
        WFree(file->content);
        file->content = block;
    }
    int32_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, block + done, size_t(size - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            WSysError("-- ERROR -- FILE_OpenReadClose(): Read error in file: %s", file->path);
            close(fd);
            file->length = done;
            block[done] = '\0';
            return -2;
        }
        if (n == 0) break;
        done += int32_t(n);
    }
    close(fd);
    block[done] = '\0';
    file->length = done;
    return done;
}

int FILE_OpenWriteClose(KTDK_FILE* file) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_OpenWriteClose(): Null pointer error");
        return -1;
    }
    // A link is rewritten at its target, in the target's directory.
    const std::string path = ResolveLinks(file->path);
    const std::string directory = DirectoryOf(path);
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const int32_t length = file->content ? file->length : 0;
    RemoveStaleTemporaries(directory, base);
    for (int attempt = 1; attempt <= FILE_WRITE_ATTEMPTS; ++attempt) {
        FILE_ClearErrno();
        std::string temp = directory + "/." + base + ".XXXXXX";
        int fd = mkostemp(temp.data(), O_CLOEXEC);  // mode 0600
        int number = 0;
        if (fd >= 0) {
            // Held until the rename: a later writer knows the file is in use.
            flock(fd, LOCK_EX);
            // The new file keeps what was set up on the old one: its mode,
            // and its owner where the process may set it.
            struct stat old {};
            if (stat(path.c_str(), &old) == 0) {
                fchmod(fd, old.st_mode & 07777);
                if (old.st_uid != geteuid() || old.st_gid != getegid())
                    (void)!fchown(fd, old.st_uid, old.st_gid);
            }
            const int64_t written = WriteAll(fd, file->content, length);
            if (written != length || fsync(fd) != 0) {
                WSysError("-- ERROR -- FILE_OpenWriteClose(): Failed to write content in file: "
                          "%s, content size: %d, fwrite returned: %d",
                          path.c_str(), length, int(written));
                unlink(temp.c_str());
                close(fd);
                return -2;
            }
            if (rename(temp.c_str(), path.c_str()) != 0) {
                number = FILE_GetErrno();
                unlink(temp.c_str());
                close(fd);
            } else if (close(fd) != 0) {
                number = FILE_GetErrno();
            } else {
                FsyncDirectory(directory);
                return length;
            }
        } else {
            number = FILE_GetErrno();
            // A directory that refuses new files: a writable file is
            // rewritten in place instead.
            if ((number == EACCES || number == EPERM) && access(path.c_str(), W_OK) == 0) {
                if (RewriteInPlace(path, file->content, length) == length) return length;
                number = FILE_GetErrno();
            }
        }
        ReportOpenFailure(path.c_str(), number);
        if (!FILE_IsRetryableErrno(number)) break;
        if (attempt < FILE_WRITE_ATTEMPTS) WSleep(FILE_WRITE_RETRY_MS);
    }
    WSysError("-- ERROR -- FILE_OpenWriteClose(): Failed to open file: %s", path.c_str());
    return -1;
}

int FILE_SetFileContent(KTDK_FILE* file, int32_t count, const void* bytes) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_SetFileContent(): Null pointer error");
        return -1;
    }
    if (count < 0) return -1;
    WFree(file->content);
    file->content = nullptr;
    file->length = 0;
    char* block = NewBlock(count);
    if (block == nullptr) {
        WSysError("-- ERROR -- FILE_SetFileContent(): Memory allocation error");
        return -2;
    }
    if (bytes != nullptr && count > 0) memcpy(block, bytes, size_t(count));
    file->content = block;
    file->length = count;
    file->cursor = 0;
    return 1;
}

int FILE_Rewind(KTDK_FILE* file, int clear) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_Rewind(): Null pointer error");
        return -1;
    }
    file->cursor = 0;
    if (clear == 1) {
        if (file->content != nullptr) memset(file->content, 0, size_t(file->length) + 1);
        file->length = 0;
    }
    return 1;
}

int FILE_PutBloc(KTDK_FILE* file, const void* bytes, int32_t count, int32_t offset) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_PutBloc(): Null pointer error");
        return -1;
    }
    if (count < 0 || offset < 0 || offset > INT32_MAX - 64 - count) return -1;
    const int32_t end = offset + count;
    if (file->content == nullptr || end > file->length) {
        if (FILE_MoveFileContent(file, end > file->length ? end : file->length, 0, file->length) ==
            nullptr) {
            WSysError("-- ERROR -- FILE_PutBloc(): FILE_MoveFileContent returned an error");
            return -1;
        }
    }
    if (count > 0) {
        if (bytes != nullptr)
            memmove(file->content + offset, bytes, size_t(count));
        else
            memset(file->content + offset, 0, size_t(count));
    }
    return 1;
}

char* FILE_GetBloc(KTDK_FILE* file, int32_t offset) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_GetBloc(): Null pointer error");
        return nullptr;
    }
    if (file->content == nullptr || offset < 0 || offset >= file->length) return nullptr;
    return file->content + offset;
}

char* FILE_MoveFileContent(KTDK_FILE* file, int32_t newSize, int32_t from, int32_t to) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_MoveFileContent(): Null pointer error");
        return nullptr;
    }
    if (newSize < 0) return nullptr;
    char* block = NewBlock(newSize);
    if (block == nullptr) {
        WSysError("-- ERROR -- FILE_MoveFileContent(): Echec Allocation Memoire Contenu");
        return nullptr;
    }
    if (file->content != nullptr) {
        if (from < 0) from = 0;
        if (to > file->length) to = file->length;
        int32_t count = to - from;
        if (count > newSize) count = newSize;
        if (count > 0) memcpy(block, file->content + from, size_t(count));
    }
    WFree(file->content);
    file->content = block;
    file->length = newSize;
    return block;
}

char* FILE_InsertInFileContent(KTDK_FILE* file, const void* bytes, int32_t position,
                               int32_t count) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_InsertInFileContent(): Null pointer error");
        return nullptr;
    }
    if (file->content != nullptr && file->length == FILE_MISSING_CONTENT_SIZE &&
        WIsFilledWith(file->content, FILE_MISSING_CONTENT_SIZE, '\0')) {
        file->length = 0;
        position = 0;
    }
    const int32_t length = file->content ? file->length : 0;
    if (count < 0 || position < 0 || position > length || count > INT32_MAX - 64 - length)
        return nullptr;
    char* block = NewBlock(length + count);
    if (block == nullptr) {
        WSysError("-- ERROR -- FILE_InsertInFileContent : Echec Allocation Memoire Contenu");
        return nullptr;
    }
    if (position > 0) memcpy(block, file->content, size_t(position));
    if (count > 0) {
        if (bytes != nullptr) memcpy(block + position, bytes, size_t(count));
    }
    if (length > position) memcpy(block + position + count, file->content + position,
                                  size_t(length - position));
    WFree(file->content);
    file->content = block;
    file->length = length + count;
    return block;
}

char* FILE_RemoveFromFileContent(KTDK_FILE* file, int32_t start, int32_t stop) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_RemoveFromFileContent(): Null pointer error");
        return nullptr;
    }
    if (file->content == nullptr || start < 0 || start >= stop || stop >= file->length) {
        WSysError("-- ERROR -- FILE_RemoveFromFileContent(): Inconsistent position:  start: %d , "
                  "stop: %d, file size: %d, file name: %s",
                  start, stop, file->length, file->path);
        return nullptr;
    }
    const int32_t newLength = file->length - (stop - start + 1);
    char* block = NewBlock(newLength);
    if (block == nullptr) {
        WSysError("-- ERROR -- FILE_RemoveFromFileContent(): Echec Allocation Memoire Contenu");
        return nullptr;
    }
    memcpy(block, file->content, size_t(start));
    memcpy(block + start, file->content + stop + 1, size_t(file->length - stop - 1));
    WFree(file->content);
    file->content = block;
    file->length = newLength;
    if (file->cursor > newLength) file->cursor = newLength;
    return block;
}

int FILE_SetSemantique(KTDK_FILE* file, const char* startSeparator, const char* endSeparator) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_SetSemantique(): Null pointer error");
        return -1;
    }
    const char* start = startSeparator ? startSeparator : "";
    const char* end = endSeparator ? endSeparator : "";
    if (strlen(start) > size_t(FILE_SEPARATOR_MAX)) {
        WSysError("-- ERROR -- FILE_SetSemantique(): 'Start' separator too big, max. size: %d",
                  FILE_SEPARATOR_MAX);
        return -2;
    }
    if (strlen(end) > size_t(FILE_SEPARATOR_MAX)) {
        WSysError("-- ERROR -- FILE_SetSemantique(): 'End' separator too big, max. size: %d",
                  FILE_SEPARATOR_MAX);
        return -2;
    }
    SetSeparators(file, start, end);
    return 1;
}

char* FILE_GetLocaliseMessage(KTDK_FILE* file, int32_t* start, int32_t* stop) {
    if (start) *start = -1;
    if (stop) *stop = -1;
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_GetLocaliseMessage(): Null pointer error");
        return nullptr;
    }
    if (file->content == nullptr || file->length <= 0 || file->content[0] == '\0') {
        WSysError("** INFO. ** FILE_GetLocaliseMessage(): File content buffer empty or not "
                  "existing, file: %s",
                  file->path);
        return nullptr;
    }
    const int32_t end = TextLength(file);
    int32_t first = 0;
    if (file->startSeparator[0] != '\0') {
        first = FindBytes(file->content, 0, end, file->startSeparator);
        if (first < 0) return nullptr;
    }
    if (start) *start = first;
    const int32_t after = first + int32_t(strlen(file->startSeparator));
    if (file->endSeparator[0] != '\0') {
        const int32_t at = FindBytes(file->content, after, end, file->endSeparator);
        if (at >= 0 && stop) *stop = at + int32_t(strlen(file->endSeparator)) - 1;
    }
    return file->content + first;
}

char* FILE_GetMessage(KTDK_FILE* file) { return NextMessage(file, true); }
char* FILE_GetNextMessage(KTDK_FILE* file) { return NextMessage(file, false); }

char* FILE_GetStringParam(KTDK_FILE* file, const char* key) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_GetStringParam(): Null pointer error");
        return nullptr;
    }
    if (file->content == nullptr || file->length <= 0 || file->content[0] == '\0') {
        if (key)
            WSysError("** INFO. ** FILE_GetStringParam(): Content empty or null for file: %s and "
                      "label %s",
                      file->path, key);
        else
            WSysError("** INFO. ** FILE_GetStringParam(): Content empty or null for file: %s",
                      file->path);
        return nullptr;
    }
    if (!ValidKey(key, "FILE_GetStringParam", file)) return nullptr;
    SetSeparators(file, std::string("[") + key + ":", "]\r\n");
    return FILE_GetMessage(file);
}

char* FILE_GetNextStringParam(KTDK_FILE* file, const char* key) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_GetNextStringParam(): Null pointer error");
        return nullptr;
    }
    if (file->content == nullptr || file->length <= 0 || file->content[0] == '\0') {
        WSysError("** INFO. ** FILE_GetNextStringParam(): File content empty or null, file: %s",
                  file->path);
        return nullptr;
    }
    if (!ValidKey(key, "FILE_GetNextStringParam", file)) return nullptr;
    SetSeparators(file, std::string("[") + key + ":", "]\r\n");
    return FILE_GetNextMessage(file);
}

int32_t FILE_GetIntParam(KTDK_FILE* file, const char* key) {
    const char* value = FILE_GetStringParam(file, key);
    if (value == nullptr) return -1;
    int64_t number = 0;
    for (const char* p = value; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > INT32_MAX) return INT32_MAX;
    }
    return int32_t(number);
}

int32_t FILE_ReplaceStringParam(KTDK_FILE* file, const char* key, const char* value) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_ReplaceStringParam(): Null pointer error");
        return -1;
    }
    if (key == nullptr || value == nullptr) {
        WSysError("** INFO. ** FILE_ReplaceStringParam(): One of parameters is null , file: %s",
                  file->path);
        return -2;
    }
    if (file->content == nullptr) {
        WSysError("** INFO. ** FILE_ReplaceStringParam(): File content is null, file: %s",
                  file->path);
        return -2;
    }
    if (!ValidKey(key, "FILE_ReplaceStringParam", file)) return -2;
    // Copies first: the arguments may point into the result area or the
    // content, both of which change below.
    const std::string ownKey(key);
    const std::string ownValue(value);
    const std::string line = "[" + ownKey + ":" + ownValue + "]\r\n";
    if (ownValue.find("]\r\n") != std::string::npos ||
        line.size() >= size_t(FILE_RESULT_AREA_SIZE)) {
        WSysError("-- ERROR -- FILE_ReplaceStringParam(): Value refused for key %s, file: %s",
                  ownKey.c_str(), file->path);
        return -2;
    }
    SetSeparators(file, "[" + ownKey + ":", "]\r\n");
    int32_t start = -1, stop = -1;
    int32_t position = file->length;
    if (FILE_GetLocaliseMessage(file, &start, &stop) != nullptr && start >= 0) {
        // A last line without its CR LF runs to the end of the content.
        if (stop < 0) stop = file->length - 1;
        if (stop > start) {
            if (FILE_RemoveFromFileContent(file, start, stop) == nullptr) return -2;
            position = start;
        }
    }
    if (!ownValue.empty()) {
        if (FILE_InsertInFileContent(file, line.data(), position, int32_t(line.size())) == nullptr)
            return -2;
    }
    return file->length;
}

char* FILE_GetSignat(KTDK_FILE* file, int32_t count) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_GetSignat(): Null pointer error");
        return nullptr;
    }
    if (file->content == nullptr) {
        WSysError("** INFO. ** FILE_GetSignat(): File content is null, file: %s", file->path);
        return nullptr;
    }
    if (count < 0) count = file->length;
    if (count > file->length) return nullptr;
    uint8_t x = 0, s = 0;
    ComputeSignature(file->content, count, &x, &s);
    const int n = snprintf(g_result, sizeof g_result, "%02x%02x", x, s);
    snprintf(g_result + n + 1, sizeof g_result - size_t(n) - 1, "%x%x", x, s);
    return g_result;
}

int FILE_PutRecordSignat2(KTDK_FILE* file, char* out, int32_t outSize) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_PutRecordSignat2(): Null pointer error");
        return -1;
    }
    if (file->content == nullptr) {
        WSysError("** INFO. ** FILE_PutRecordSignat2(): File content is null, file: %s",
                  file->path);
        return -1;
    }
    file->length = TextLength(file);
    SetSeparators(file, SignatureStart(), kRecordEnd);
    const char* signature = FILE_GetSignat(file, -1);
    if (signature == nullptr) return -1;
    const std::string text(signature);
    if (out != nullptr && outSize > 0 && int32_t(text.size()) < outSize)
        memcpy(out, text.c_str(), text.size() + 1);
    const std::string record = SignatureStart() + text + kRecordEnd;
    if (FILE_InsertInFileContent(file, record.data(), file->length, int32_t(record.size())) ==
        nullptr)
        return -2;
    file->cursor = 0;
    return 1;
}

int FILE_PutRecordSignat(KTDK_FILE* file) { return FILE_PutRecordSignat2(file, nullptr, 0); }

int FILE_GetRecordSignat2(KTDK_FILE* file, char* out, int32_t outSize) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_GetRecordSignat2(): Null pointer error");
        return -1;
    }
    if (file->content == nullptr) {
        WSysError("** INFO. ** FILE_GetRecordSignat2(): File content is null, file: %s",
                  file->path);
        return -1;
    }
    if (file->length == 0) {
        WSysError("<< WARN. >> FILE_GetRecordSignat2(): File content is empty, file: %s",
                  file->path);
        return 0;
    }
    const std::string start = SignatureStart();
    SetSeparators(file, start, kRecordEnd);
    file->length = TextLength(file);
    const int32_t first = FindBytes(file->content, 0, file->length, start.c_str());
    if (first < 0) return 0;
    const int32_t valueStart = first + int32_t(start.size());
    const int32_t end = FindBytes(file->content, valueStart, file->length, kRecordEnd);
    if (end < 0) {
        WSysError("-- ERROR -- FILE_GetRecordSignat2(): Signature not found in file: %s, maybe a "
                  "missing end of line?",
                  file->path);
        return -2;
    }
    // A stored text longer than its field can match nothing.
    const bool storedFits = end - valueStart <= FILE_SIGNATURE_TEXT_MAX;
    const std::string stored(file->content + valueStart,
                             size_t(storedFits ? end - valueStart : 0));
    if (FILE_RemoveFromFileContent(file, first, end + int32_t(strlen(kRecordEnd)) - 1) == nullptr)
        return -2;
    file->cursor = 0;
    const char* padded = FILE_GetSignat(file, -1);
    if (padded == nullptr) return -2;
    const std::string computed(padded);
    const std::string unpadded(padded + computed.size() + 1);
    if (out != nullptr && outSize > 0 && int32_t(computed.size()) < outSize)
        memcpy(out, computed.c_str(), computed.size() + 1);
    return storedFits && (stored == computed || stored == unpadded) ? 1 : 2;
}

int FILE_GetRecordSignat(KTDK_FILE* file) { return FILE_GetRecordSignat2(file, nullptr, 0); }

int FILE_PutRecordSecure(KTDK_FILE* file, int mode) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_PutRecordSecure(): Null pointer error");
        return -1;
    }
    if (mode != 2) return 0;
    if (file->content == nullptr) {
        WSysError("** INFO. ** FILE_PutRecordSecure(): File content is null, file: %s",
                  file->path);
        return -1;
    }
    file->length = TextLength(file);
    SetSeparators(file, SecureStart(), kRecordEnd);
    const int key = FILE_GetSecureKeyIndex();
    const int scrambled = FILE_ScrambleBuffer(file->content, file->length, key, 0);
    if (scrambled < 0) return scrambled;
    char number[8];
    snprintf(number, sizeof number, "%02d", key);
    const std::string record = SecureStart() + number + kRecordEnd;
    if (FILE_InsertInFileContent(file, record.data(), file->length, int32_t(record.size())) ==
        nullptr)
        return -2;
    file->cursor = 0;
    return 1;
}

int FILE_GetRecordSecure(KTDK_FILE* file) {
    if (file == nullptr) {
        WSysError("-- ERROR -- FILE_GetRecordSecure(): Null pointer error");
        return -1;
    }
    if (file->content == nullptr) {
        WSysError("** INFO. ** FILE_GetRecordSecure(): File content is null, file: %s",
                  file->path);
        return -1;
    }
    if (file->length == 0) {
        WSysError("<< WARN. >> FILE_GetRecordSecure(): File empty, file: %s", file->path);
        return 0;
    }
    const std::string start = SecureStart();
    SetSeparators(file, start, kRecordEnd);
    // Searched over every byte: scrambled content may hold zero bytes.
    int32_t stop = -1;
    const int32_t first = FindLastRecord(file, start, &stop);
    if (first < 0) return 0;
    if (stop < 0) {
        WSysError("-- ERROR -- FILE_GetRecordSecure(): Secure record without its end, file: %s",
                  file->path);
        return -2;
    }
    const int32_t numberStart = first + int32_t(start.size());
    const int32_t numberLength = stop - int32_t(strlen(kRecordEnd)) + 1 - numberStart;
    // The key number: decimal digits only ("00" and any other spelling of 0
    // mean "not scrambled").
    int key = -1;
    if (numberLength >= 1 && numberLength <= 8) {
        key = 0;
        for (int32_t i = 0; i < numberLength; ++i) {
            const char c = file->content[numberStart + i];
            if (c < '0' || c > '9') {
                key = -1;
                break;
            }
            key = key * 10 + (c - '0');
        }
    }
    // Not scrambled: the record stays and the content reads as it is.
    if (key == 0) return 0;
    if (key < 1 || key > SCRAMBLE_KEY_COUNT) {
        WSysError("-- ERROR -- FILE_GetRecordSecure(): Unknown key number: %.*s, file: %s",
                  numberLength > 0 && numberLength < 16 ? int(numberLength) : 0,
                  file->content + numberStart, file->path);
        return -2;
    }
    if (FILE_RemoveFromFileContent(file, first, stop) == nullptr) return -2;
    file->cursor = 0;
    return FILE_ScrambleBuffer(file->content, file->length, key, 0);
}

int FILE_GetSecureKeyIndexForHour(int hour) {
    int k = ((hour % SCRAMBLE_KEY_COUNT) + SCRAMBLE_KEY_COUNT) % SCRAMBLE_KEY_COUNT;
    return k == 0 ? 1 : k;
}

int FILE_GetSecureKeyIndex() {
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) return 1;
    return FILE_GetSecureKeyIndexForHour(local.tm_hour);
}

int FILE_ScrambleBuffer(void* bytes, int32_t count, int keyNumber, int32_t keyOffset) {
    const auto& table = KeyTable();
    if (keyNumber < 1 || keyNumber > int(table.size())) return 0;
    if (count < 0 || (bytes == nullptr && count > 0)) return -1;
    const ScrambleKey key = table[size_t(keyNumber - 1)];
    int p = ((keyOffset % SCRAMBLE_KEY_SIZE) + SCRAMBLE_KEY_SIZE) % SCRAMBLE_KEY_SIZE;
    auto* data = static_cast<uint8_t*>(bytes);
    for (int32_t i = 0; i < count; ++i) {
        data[i] ^= key[size_t(p)];
        p = (p + 1) % SCRAMBLE_KEY_SIZE;
    }
    return 1;
}

void FILE_ClearErrno() { errno = 0; }
int FILE_GetErrno() { return errno; }

int FILE_IsRetryableErrno(int number) {
    // Conditions that a retry cannot cure; sharing and busy conditions
    // (EACCES, EBUSY, EINTR ...) are retried.
    switch (number) {
        case ENOENT: case ESRCH: case ENXIO: case E2BIG: case ENOEXEC: case ECHILD:
        case EAGAIN: case ENOMEM: case EFAULT: case EEXIST: case EXDEV: case ENODEV:
        case ENOTDIR: case EISDIR: case EINVAL: case ENFILE: case EMFILE: case ENOTTY:
        case EFBIG: case ENOSPC: case ESPIPE: case EROFS: case EMLINK: case EPIPE:
        case EDOM: case ERANGE: case ENAMETOOLONG: case ENOLCK: case ENOSYS:
        case ENOTEMPTY: case EILSEQ:
            return 0;
        default:
            return 1;
    }
}

int FILE_GetErrnoMessage(int number, int32_t size, char* buffer) {
    if (number == 0 || buffer == nullptr || size < 3) return 0;
    const char* text = nullptr;
    switch (number) {
        case EPERM: text = "Operation not permitted"; break;
        case ENOENT: text = "No such file or directory"; break;
        case EBADF:
            text = "Bad file number : file is not open, or a write attempt is made on a file "
                   "open with read-only access";
            break;
        case EACCES:
            text = "Permission denied : read-only file open for writing, or locking / sharing "
                   "violation";
            break;
        case ENOTDIR: text = "This is not a directory"; break;
        case EISDIR: text = "This is a directory, not a file"; break;
        default: break;
    }
    char system[256];
    if (text == nullptr) {
        // GNU strerror_r may return a static text instead of filling ours.
        text = strerror_r(number, system, sizeof system);
        if (text == nullptr) text = "";
    }
    snprintf(buffer, size_t(size), "%s", text);
    return 1;
}
