// Text manager over ".wt" files.
#include "core/text_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

TEXT_REQUEST g_request{};

void ReleaseRequestResult() {
    WFree(g_request.result);
    g_request.result = nullptr;
}

bool SameNameIgnoringCase(const std::string& a, const char* b) {
    return WCompareString(a.c_str(), b, 1) == 1;
}

// dir + name; when no file has exactly that name, an entry of the directory
// whose name differs only in the case of its letters is taken instead.
std::string ResolvePath(const std::string& directory, const std::string& name) {
    const std::string exact = directory + name;
    if (access(exact.c_str(), F_OK) == 0) return exact;
    std::error_code ec;
    const std::filesystem::path where = directory.empty() ? "." : directory;
    for (std::filesystem::directory_iterator it(where, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string found = it->path().filename().string();
        if (SameNameIgnoringCase(found, name.c_str())) return directory + found;
    }
    return exact;
}

void CopyText(char* field, size_t size, const char* text) {
    snprintf(field, size, "%s", text ? text : "");
}

// Files read lately, by path, with what tells their version apart: a file
// whose inode, size and modification and change times are those of the copy
// is not read again (the options are re-read before each request).
struct CachedFile {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
    std::string content;
};
constexpr size_t kCachedFiles = 16;
std::mutex g_cacheLock;
std::map<std::string, CachedFile> g_cache;

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool SameVersion(const struct stat& st, const CachedFile& c) {
    return st.st_dev == c.device && st.st_ino == c.inode && st.st_size == c.size && SameTime(st.st_mtim, c.modified) &&
           SameTime(st.st_ctim, c.changed);
}

void ForgetCachedFile(const char* path) {
    std::lock_guard<std::mutex> guard(g_cacheLock);
    g_cache.erase(path);
}

// FILE_OpenReadClose, unless the file is unchanged since it was last read:
// its content then comes from the copy.
int ReadFileCached(KTDK_FILE* file) {
    struct stat st {};
    const bool known = ::stat(file->path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    if (known) {
        std::lock_guard<std::mutex> guard(g_cacheLock);
        const auto it = g_cache.find(file->path);
        if (it != g_cache.end() && SameVersion(st, it->second)) {
            const std::string& c = it->second.content;
            if (FILE_SetFileContent(file, static_cast<int32_t>(c.size()), c.data()) != 1) return -2;
            return file->length;
        }
    }
    // Identified before it is read: a change while it is read gives another
    // version next time, so the copy is read again then.
    const int read = FILE_OpenReadClose(file);
    if (!known || read <= 0 || read != st.st_size) {
        ForgetCachedFile(file->path);
        return read;
    }
    try {
        std::lock_guard<std::mutex> guard(g_cacheLock);
        if (g_cache.size() >= kCachedFiles && g_cache.find(file->path) == g_cache.end()) g_cache.erase(g_cache.begin());
        g_cache[file->path] =
            CachedFile{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, std::string(file->content, size_t(read))};
    } catch (const std::bad_alloc&) {
        ForgetCachedFile(file->path);
    }
    return read;
}

void DropFile(TEXT_MANAGER* manager) {
    FILE_FreeFile(manager->file);
    manager->file = nullptr;
}

// Releases a manager without touching the shared request.
void FreeManagerOnly(TEXT_MANAGER* manager) {
    if (manager == nullptr) return;
    DropFile(manager);
    delete manager;
}

// The system text of a key, read through a manager of its own so that the
// caller's current file, key map and status stay as they are; empty when
// absent.
std::string SystemTextApart(int country, const char* key) {
    std::string value;
    TEXT_MANAGER* reader = TEXT_NewTEXTManager();
    if (reader == nullptr) return value;
    reader->describing = true;
    reader->country = country;
    if (TEXT_SetDirectory(reader, TEXT_SYSTEM_DIRECTORY) == 1 &&
        TEXT_getValue(reader, TEXT_SYSTEM_FAMILY, key, &value) != 1)
        value.clear();
    FreeManagerOnly(reader);
    return value;
}

}  // namespace

TEXT_REQUEST* TEXT_GetSharedRequest() { return &g_request; }

std::string TEXT_FormatFileName(const char* family, int country) {
    char number[16];
    snprintf(number, sizeof number, country < 100 ? "%02d" : "%03d", country);
    return std::string(family ? family : "") + "_" + number + ".wt";
}

TEXT_MANAGER* TEXT_NewTEXTManager() {
    auto* manager = new (std::nothrow) TEXT_MANAGER{};
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_NewTEXTManager() : Echec Allocation structures (1)....");
        return nullptr;
    }
    return manager;
}

int TEXT_FreeTEXTManager(TEXT_MANAGER* manager) {
    ReleaseRequestResult();
    FreeManagerOnly(manager);
    return 0;
}

int TEXT_SetDirectory(TEXT_MANAGER* manager, const char* directory) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_SetDirectory(): Null pointer error");
        return -1;
    }
    std::string wanted = directory ? directory : "";
    for (char& c : wanted)
        if (c == '\\') c = '/';
    if (!wanted.empty() && wanted.back() != '/') wanted += '/';
    if (wanted.size() > size_t(TEXT_PATH_MAX)) {
        WSysError("-- ERROR -- TEXT_SetDirectory(): File path is too long, max. size: %d, path: %s",
                  TEXT_PATH_MAX, directory);
        return -1;
    }
    if (wanted == manager->directory) return 1;
    CopyText(manager->directory, sizeof manager->directory, wanted.c_str());
    DropFile(manager);
    return 1;
}

int TEXT_SetCountry(TEXT_MANAGER* manager, int country) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_SetCountry(): Null pointer error");
        return -1;
    }
    manager->country = country;
    return 1;
}

int TEXT_ParseFile(TEXT_MANAGER* manager, const char* content, int32_t length, const char* path) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_ParseFile(): Null pointer error");
        return -1;
    }
    if (content == nullptr || length <= 0) return 1;
    int line = 1, column = 0;
    int32_t i = 0;
    const auto syntaxError = [&]() {
        WSysError("<< WARN. >> TEXT_SetFile: Error: %s(%d:%d)", path ? path : "", line, column);
        return 0;
    };
    // Skips to the end of the line, its LF included.
    const auto skipLine = [&]() {
        while (i < length) {
            const char c = content[i++];
            ++column;
            if (c == '\n') {
                ++line;
                column = 0;
                return;
            }
        }
    };
    try {
        while (i < length) {
            const char c = content[i++];
            ++column;
            switch (c) {
                case '\t': case '\r': case ' ':
                    break;
                case '\n':
                    ++line;
                    column = 0;
                    break;
                case '!': case '#': case '(': case '-': case '/': case '<': case '>': case '_':
                    skipLine();
                    break;
                case '{':
                    for (;;) {
                        if (i >= length) return 1;
                        const char b = content[i++];
                        ++column;
                        if (b == '}') break;
                        if (b == '\n') return syntaxError();
                    }
                    break;
                case '[': {
                    const int32_t keyStart = i;
                    while (i < length && content[i] != ':') {
                        ++i;
                        ++column;
                    }
                    if (i >= length) return syntaxError();
                    std::string key(content + keyStart, size_t(i - keyStart));
                    ++i;
                    ++column;
                    std::string value;
                    while (i < length && content[i] != ']') {
                        if (content[i] != '\r') value += content[i];
                        ++i;
                        ++column;
                    }
                    if (i >= length) return syntaxError();
                    ++i;
                    ++column;
                    manager->keys.emplace(std::move(key), std::move(value));
                    skipLine();
                    break;
                }
                default:
                    return syntaxError();
            }
        }
    } catch (const std::bad_alloc&) {
        WSysError("-- ERROR -- TEXT_ParseFile(): Memory allocation error");
        return -1;
    }
    return 1;
}

int TEXT_SetFile(TEXT_MANAGER* manager, const char* family, int flags) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_SetFile(): Null pointer error");
        return -1;
    }
    if (family == nullptr || family[0] == '\0') {
        manager->fileName[0] = '\0';
        manager->status = TEXT_STATUS_ACCESS_DENIED;
        TEXT_SetTextError(manager);
        return -1;
    }
    const std::string name = TEXT_FormatFileName(family, manager->country);
    if (manager->file != nullptr && SameNameIgnoringCase(name, manager->fileName)) {
        FILE_GetRecordSignat(manager->file);
        return 1;
    }
    if (strlen(manager->directory) + name.size() > size_t(TEXT_PATH_MAX)) {
        WSysError("-- ERROR -- TEXT_SetFile(): File path is too long, max. size: %d, dir.: %s, "
                  "file: %s",
                  TEXT_PATH_MAX, manager->directory, name.c_str());
        return -1;
    }
    DropFile(manager);
    CopyText(manager->fileName, sizeof manager->fileName, name.c_str());
    const std::string path = ResolvePath(manager->directory, name);
    manager->file = FILE_NewFile(path.c_str());
    if (manager->file == nullptr) {
        manager->status = TEXT_STATUS_NO_FILE_OBJECT;
        TEXT_SetTextError(manager);
        return -1;
    }
    int read = ReadFileCached(manager->file);
    if (read == 0) {
        // Missing or empty: created holding only its signature record.
        TEXT_ReSetFileText(manager);
        read = manager->file ? FILE_OpenReadClose(manager->file) : -1;
    }
    if (read <= 0) {
        DropFile(manager);
        manager->status = TEXT_STATUS_READ_ERROR;
        TEXT_SetTextError(manager);
        return -1;
    }
    // Unscrambled before parsing: scrambled bytes are never read as entries.
    const int secure = FILE_GetRecordSecure(manager->file);
    if (flags & TEXT_FLAG_PARSE) {
        manager->keys.clear();
        if (secure >= 0 &&
            TEXT_ParseFile(manager, manager->file->content, manager->file->length,
                           manager->file->path) < 0)
            return -1;
    }
    if (!(flags & TEXT_FLAG_CHECK_RECORDS)) return 1;
    if (secure < 0) {
        manager->status = TEXT_STATUS_CORRUPTED;
        TEXT_SetTextError(manager);
    }
    const int signature = FILE_GetRecordSignat(manager->file);
    if (signature == 2)
        WSysError("<< WARN. >> TEXT_SetFile(): Signature does not match, file: %s",
                  manager->file->path);
    else if (signature == 0)
        WSysError("<< WARN. >> TEXT_SetFile(): No signature record, file: %s",
                  manager->file->path);
    return 1;
}

int TEXT_OpenFile(TEXT_MANAGER* manager, const char* family) {
    return TEXT_SetFile(manager, family, TEXT_FLAG_PARSE | TEXT_FLAG_CHECK_RECORDS);
}

int TEXT_getValue(TEXT_MANAGER* manager, const char* family, const char* key, std::string* out) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_getValue(): Null pointer error");
        return -1;
    }
    if (family == nullptr || family[0] == '\0') {
        WSysError("-- ERROR -- TEXT_getValue(): file NULL or empty");
        return -1;
    }
    if (key == nullptr || key[0] == '\0') {
        WSysError("-- ERROR -- TEXT_getValue(): key NULL or empty");
        return -1;
    }
    const std::string familyName(family);
    if (TEXT_SetFile(manager, familyName.c_str(), TEXT_FLAG_PARSE | TEXT_FLAG_CHECK_RECORDS) != 1) {
        WSysError("-- ERROR -- TEXT_getValue(): Unable to set current file: %s, country: %d",
                  familyName.c_str(), manager->country);
        return -1;
    }
    try {
        const std::string wanted(key);
        auto found = manager->keys.find(wanted);
        if (found == manager->keys.end() && manager->country != 0) {
            const int country = manager->country;
            manager->country = 0;
            const int opened = TEXT_OpenFile(manager, familyName.c_str());
            manager->country = country;
            if (opened != 1) {
                WSysError("-- ERROR -- TEXT_getValue(): Unable to set current file: %s, default "
                          "country",
                          familyName.c_str());
                return -1;
            }
            found = manager->keys.find(wanted);
        }
        if (found == manager->keys.end()) {
            manager->status = TEXT_STATUS_KEY_NOT_FOUND;
            TEXT_SetTextError(manager);
            return -1;
        }
        try {
            if (out) *out = found->second;
        } catch (const std::bad_alloc&) {
            WSysError("-- ERROR -- TEXT_getValue(): Memory allocation error while affecting value");
            return -1;
        }
    } catch (const std::bad_alloc&) {
        WSysError("-- ERROR -- TEXT_getValue(): Memory allocation error while looking for key");
        return -1;
    }
    return 1;
}

int TEXT_SetText(TEXT_MANAGER* manager, TEXT_REQUEST* request) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_SetText(): Null pointer error");
        return -1;
    }
    if (request == nullptr) return -1;
    std::string value;
    if (TEXT_getValue(manager, request->family.c_str(), request->key.c_str(), &value) != 1)
        return -1;
    auto* copy = static_cast<char*>(WAlloc(value.size()));
    if (copy == nullptr) return -1;
    memcpy(copy, value.data(), value.size());
    WFree(request->result);
    request->result = copy;
    return 1;
}

const char* TEXT_GetItemText(TEXT_MANAGER* manager, const char* key) {
    ReleaseRequestResult();
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_GetItemText(): Null pointer error");
        return "";
    }
    const std::string current = manager->fileName;
    g_request.family = current.substr(0, current.find('_'));
    g_request.key = key ? key : "";
    if (TEXT_SetText(manager, &g_request) != 1 || g_request.result == nullptr) return "";
    return g_request.result;
}

const char* TEXT_GetSystemText(TEXT_MANAGER* manager, const char* key) {
    ReleaseRequestResult();
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_GetSystemText(): Null pointer error");
        return "";
    }
    const std::string remembered = manager->directory;
    if (TEXT_SetDirectory(manager, TEXT_SYSTEM_DIRECTORY) != 1) {
        manager->status = TEXT_STATUS_ACCESS_DENIED;
        TEXT_SetTextError(manager);
        WSysError("<< WARN. >> TEXT_GetSystemText(): %s", manager->errorDescription);
        return "";
    }
    g_request.family = TEXT_SYSTEM_FAMILY;
    g_request.key = key ? key : "";
    const int found = TEXT_SetText(manager, &g_request);
    TEXT_SetDirectory(manager, remembered.c_str());
    if (found != 1 || g_request.result == nullptr) return "";
    return g_request.result;
}

int TEXT_ReSetItemText(TEXT_MANAGER* manager, const char* key, const char* value) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_ReSetItemText(): Null pointer error");
        return -1;
    }
    if (value == nullptr) {
        manager->status = TEXT_STATUS_NO_FILE_OBJECT;
        TEXT_SetTextError(manager);
        WSysError("<< WARN. >> TEXT_ReSetItemText(): Value is null, desc.: %s",
                  manager->errorDescription);
        return -1;
    }
    // Copies: the arguments may be results of this manager that the file
    // operations below overwrite.
    const std::string ownKey(key ? key : "");
    const std::string ownValue(value);
    if (key == nullptr ||
        FILE_ReplaceStringParam(manager->file, ownKey.c_str(), ownValue.c_str()) < 0) {
        manager->status = TEXT_STATUS_ITEM_NOT_WRITTEN;
        TEXT_SetTextError(manager);
        if (manager->file != nullptr)
            WSysError("<< WARN. >> TEXT_ReSetItemText(): FILE_ReplaceStringParam returned an "
                      "error, desc.: %s, file: %s",
                      manager->errorDescription, manager->file->path);
        else
            WSysError("<< WARN. >> TEXT_ReSetItemText(): FILE_ReplaceStringParam returned an "
                      "error, desc.: %s",
                      manager->errorDescription);
        return -1;
    }
    try {
        manager->keys[ownKey] = ownValue;
    } catch (const std::bad_alloc&) {
        WSysError("-- ERROR -- TEXT_ReSetItemText(): Memory allocation error");
        return -1;
    }
    return 1;
}

int TEXT_ReSetFileText(TEXT_MANAGER* manager) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_ReSetFileText(): Null pointer error");
        return -1;
    }
    if (manager->file == nullptr) {
        manager->status = TEXT_STATUS_ACCESS_DENIED;
        TEXT_SetTextError(manager);
        WSysError("<< WARN. >> TEXT_ReSetFileText(): Internal structure IOFile is null, desc.: %s",
                  manager->errorDescription);
        return -1;
    }
    if (FILE_PutRecordSignat(manager->file) != 1) {
        manager->status = TEXT_STATUS_CORRUPTED;
        TEXT_SetTextError(manager);
        WSysError("<< WARN. >> TEXT_ReSetFileText(): FILE_PutRecordSignat returned an error, "
                  "desc.: %s",
                  manager->errorDescription);
        return -1;
    }
    const int written = FILE_OpenWriteClose(manager->file);
    ForgetCachedFile(manager->file->path);
    if (written > 0) return 1;
    manager->status = TEXT_STATUS_WRITE_ERROR;
    TEXT_SetTextError(manager);
    WSysError("<< WARN. >> TEXT_ReSetFileText(): FILE_OpenWriteClose returned an error, desc.: %s",
              manager->errorDescription);
    return -1;
}

int TEXT_SetTextError(TEXT_MANAGER* manager) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_SetTextError(): Null pointer error");
        return -1;
    }
    const auto setWord = [manager](const char* word) {
        CopyText(manager->errorWord, sizeof manager->errorWord, word);
        WSysError("<< WARN. >> TEXT_SetTextError: Status: %s", manager->errorWord);
    };
    switch (manager->status) {
        case 0:
            manager->errorLevel = 0;
            manager->errorWord[0] = '\0';
            manager->errorDescription[0] = '\0';
            return 0;
        case TEXT_STATUS_NO_FILE_OBJECT:
            WSysError("<< WARN. >> TEXT_SetTextError: Status: %X", unsigned(manager->status));
            manager->errorLevel = 3;
            manager->status = TEXT_STATUS_CORRUPTED;
            CopyText(manager->errorWord, sizeof manager->errorWord, "_D_CORRUPTED FILE_");
            break;
        case TEXT_STATUS_KEY_NOT_FOUND:
            break;
        default:
            WSysError("<< WARN. >> Error not followed, file: %s%s, status: %X", manager->directory,
                      manager->fileName, unsigned(manager->status));
            if (manager->status == TEXT_STATUS_READ_ERROR) setWord("_D___READ ERROR___");
            if (manager->status == TEXT_STATUS_ACCESS_DENIED) setWord("_D_ACCES DENIED___");
            if (manager->status == TEXT_STATUS_CORRUPTED)
                WSysError("-- ERROR -- File is corrupted, file: %s", manager->fileName);
            break;
    }
    if (manager->errorLevel != 0 && !manager->describing) {
        // The system text comes from a reader of its own: no nesting, and
        // this manager's file, key map and status are not disturbed.
        manager->describing = true;
        const std::string fatal = SystemTextApart(manager->country, "T_FATAL");
        manager->describing = false;
        // Cut to the field when directory and file name are long.
        const std::string description = std::string(" File: ") + manager->directory +
                                        manager->fileName + ", Error: " + fatal + " " +
                                        manager->errorWord;
        CopyText(manager->errorDescription, sizeof manager->errorDescription,
                 description.c_str());
    }
    return manager->errorLevel;
}

KTDK_FILE* TEXT_GetFile(TEXT_MANAGER* manager) {
    if (manager == nullptr) {
        WSysError("-- ERROR -- TEXT_GetFile(): Null pointer error");
        return nullptr;
    }
    return manager->file;
}

const char* TEXT_GetFileName(TEXT_MANAGER* manager) {
    return manager ? manager->fileName : "";
}
