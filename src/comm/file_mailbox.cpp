#include "comm/file_mailbox.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "core/trace.h"

namespace {

constexpr int kStateClosed = 0;
constexpr int kStateReady = 1;
constexpr int kStateAnnounced = 2;
constexpr int kAllowedOpenMode = 0x8100;
constexpr int kRetryMs = 1;

struct Entry {
    char path[WBAL_PATH_SIZE];
    int fd;
    pid_t owner;
};

using Table = std::array<Entry, WBAL_TABLE_SIZE>;

std::unique_ptr<Table> g_table;
int g_selected = -1;

void ClearEntry(Entry& e) {
    std::memset(e.path, 0, sizeof e.path);
    e.fd = -1;
    e.owner = 0;
}

bool EnsureTable() {
    if (g_table) return true;
    g_table.reset(new (std::nothrow) Table);
    if (!g_table) {
        std::fprintf(stderr, "\n InitMemoBAl : Place Memoire Insuffisante");
        WSysError("-- ERROR -- InitMemoBAL(): Memory allocation error");
        return false;
    }
    for (Entry& e : *g_table) ClearEntry(e);
    g_selected = -1;
    return true;
}

void ReleaseTable() {
    if (!g_table) return;
    for (Entry& e : *g_table)
        if (e.fd >= 0) close(e.fd);
    g_table.reset();
    g_selected = -1;
}

// "<BALDIR>/<name>"; empty when the path would not stay under 80 characters.
std::string MailboxPath(const char* name) {
    if (name == nullptr || *name == '\0') return {};
    const char* dir = std::getenv("BALDIR");
    if (dir == nullptr) dir = ".";
    if (std::strlen(dir) + std::strlen(name) + 2 >= static_cast<size_t>(WBAL_PATH_SIZE)) return {};
    return std::string(dir) + '/' + name;
}

int Index(int32_t handle) { return static_cast<int>(static_cast<uint32_t>(handle) & 0xFFFF); }
uint8_t ThirdByte(int32_t handle) { return static_cast<uint8_t>((static_cast<uint32_t>(handle) >> 16) & 0xFF); }
uint8_t FourthByte(int32_t handle) { return static_cast<uint8_t>((static_cast<uint32_t>(handle) >> 24) & 0xFF); }

int32_t MakeHandle(int index, uint8_t third, uint8_t fourth) {
    return static_cast<int32_t>(static_cast<uint32_t>(index) | (uint32_t{third} << 16) | (uint32_t{fourth} << 24));
}

// The entry of an open handle, selected; null when there is none.
Entry* SelectOpen(int32_t handle) {
    const int index = Index(handle);
    if (!g_table || index >= WBAL_TABLE_SIZE) return nullptr;
    Entry& e = (*g_table)[static_cast<size_t>(index)];
    if (e.fd < 0) return nullptr;
    g_selected = index;
    return &e;
}

// Exclusive lock on a whole file for one read-modify-write of a record.
class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd) {
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { flock(fd_, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

// Moves a whole record at an offset with pread or pwrite (retrying short
// transfers); false when the file ends or fails first.
template <typename Byte, typename Transfer>
bool WholeRecord(int fd, Byte* data, size_t size, off_t offset, Transfer transfer) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = transfer(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ReadAt(int fd, void* data, size_t size, off_t offset) {
    return WholeRecord(fd, static_cast<uint8_t*>(data), size, offset, pread);
}

bool WriteAt(int fd, const void* data, size_t size, off_t offset) {
    return WholeRecord(fd, static_cast<const uint8_t*>(data), size, offset, pwrite);
}

// Opens an existing file read-write, retrying while access is refused and
// the time-out has not run out; -1 otherwise.
int OpenRetrying(const std::string& path, int32_t timeoutMs) {
    const WTimeStamp start = WGetTimeStamp();
    for (;;) {
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) return fd;
        if ((errno != EACCES && errno != EINTR) || WIsTimeOut(start, timeoutMs)) return -1;
        WSleep(kRetryMs);
    }
}

struct ServiceRecord {
    uint8_t bytes[WBAL_SERVICE_RECORD_SIZE];
    uint8_t& state() { return bytes[0]; }
    char* name() { return reinterpret_cast<char*>(bytes + 1); }
};

// Copies at most max characters of a name (NUL-terminated within max + 1).
void CopyName(char* out, const char* in, size_t max) {
    size_t n = 0;
    while (n < max && in[n] != '\0') {
        out[n] = in[n];
        ++n;
    }
    out[n] = '\0';
}

// What a pass over the service record decided.
enum class Verdict { Again, Done, Failed };

// Reads the service record under the file's lock, lets decide change it,
// writes it back, and repeats every millisecond while decide says Again.
// True when it said Done; the service file is closed in every case.
template <typename Decide>
bool PollServiceRecord(int serviceFd, Decide decide) {
    Verdict verdict = Verdict::Failed;
    for (;;) {
        ServiceRecord record{};
        {
            FileLock lock(serviceFd);
            if (!ReadAt(serviceFd, record.bytes, sizeof record.bytes, 0)) break;
            verdict = decide(record);
            WriteAt(serviceFd, record.bytes, sizeof record.bytes, 0);
        }
        if (verdict != Verdict::Again) break;
        WSleep(kRetryMs);
    }
    close(serviceFd);
    return verdict == Verdict::Done;
}

int ReadMessage(int32_t handle, void* buffer, uint32_t capacity, bool peek) {
    Entry* e = SelectOpen(handle);
    if (e == nullptr) return -1;
    const int fd = e->fd;
    bool closed = false;
    {
        FileLock lock(fd);
        uint8_t header[WBAL_SLOT_HEADER_SIZE];
        if (!ReadAt(fd, header, sizeof header, 0)) return -1;
        if (header[0] == 1 && header[3] == FourthByte(handle)) {
            const uint32_t length = header[4] | (uint32_t{header[5]} << 8);
            const uint32_t count = length < capacity ? length : capacity;
            if (count != 0 && (buffer == nullptr || !ReadAt(fd, buffer, count, WBAL_SLOT_HEADER_SIZE))) return -1;
            if (peek) return static_cast<int>(count);
            if (count == length) {
                header[0] = 0;
                if (!WriteAt(fd, header, 1, 0)) return -1;
            } else {
                // The caller's buffer is smaller than the message: the rest
                // stays in the slot for the next read.
                const uint32_t rest = length - count;
                std::vector<uint8_t> slot(WBAL_SLOT_HEADER_SIZE + rest);
                if (!ReadAt(fd, slot.data() + WBAL_SLOT_HEADER_SIZE, rest, WBAL_SLOT_HEADER_SIZE + count)) return -1;
                std::memcpy(slot.data(), header, WBAL_SLOT_HEADER_SIZE);
                slot[4] = static_cast<uint8_t>(rest & 0xFF);
                slot[5] = static_cast<uint8_t>(rest >> 8);
                if (!WriteAt(fd, slot.data(), slot.size(), 0)) return -1;
            }
            return static_cast<int>(count);
        }
        closed = header[1] == 0;
    }
    if (closed) {
        WBalClose(handle);
        return -1;
    }
    WSleep(kRetryMs);
    return 0;
}

}  // namespace

int InitMemoBAL(const char* /*service*/, int index) {
    if (!EnsureTable()) return -1;
    if (index < 0 || index >= WBAL_TABLE_SIZE) return -1;
    g_selected = index;
    return index;
}

int SetMemoBAL(const char* path, int search) {
    if (path == nullptr || std::strlen(path) >= static_cast<size_t>(WBAL_PATH_SIZE) || !EnsureTable()) return -1;
    if (search) {
        int found = -1;
        for (int i = 1; i < WBAL_TABLE_SIZE && found < 0; ++i) {
            const Entry& e = (*g_table)[static_cast<size_t>(i)];
            if (e.path[0] == '\0' || (std::strcmp(e.path, path) == 0 && e.fd < 0)) found = i;
        }
        if (found < 0) {
            WSysError("-- ERROR -- SetMemoBAL(): No more space, size: %d", WBAL_TABLE_SIZE);
            return -1;
        }
        g_selected = found;
    }
    if (g_selected < 0) return -1;
    Entry& e = (*g_table)[static_cast<size_t>(g_selected)];
    std::memset(e.path, 0, sizeof e.path);
    std::snprintf(e.path, sizeof e.path, "%s", path);
    return g_selected;
}

int WBalMake(int32_t* handle, const char* service, int, int, int) {
    if (handle != nullptr) *handle = -1;
    const std::string path = MailboxPath(service);
    if (handle == nullptr || path.empty()) return -1;
    // One listening service per process: entry 0 must not hold one already.
    if (g_table && (*g_table)[0].fd >= 0) return -1;
    if (InitMemoBAL(service, 0) != 0 || SetMemoBAL(path.c_str(), 0) != 0) return -1;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    ServiceRecord record{};
    {
        FileLock lock(fd);
        if (ftruncate(fd, WBAL_SERVICE_RECORD_SIZE) != 0 || !ReadAt(fd, record.bytes, sizeof record.bytes, 0)) {
            close(fd);
            return -1;
        }
        record.state() = kStateReady;
        if (!WriteAt(fd, record.bytes, sizeof record.bytes, 0)) {
            close(fd);
            return -1;
        }
    }
    Entry& e = (*g_table)[0];
    e.fd = fd;
    e.owner = getpid();
    *handle = 0;
    return 0;
}

int WBalConnect(int32_t* handle, const char* service, int32_t timeoutMs, char* clientName, int32_t nameSize) {
    if (handle != nullptr) *handle = -1;
    const std::string servicePath = MailboxPath(service);
    if (handle == nullptr || clientName == nullptr || nameSize <= 0 || servicePath.empty()) return -1;
    const int serviceFd = OpenRetrying(servicePath, timeoutMs);
    if (serviceFd < 0) return -1;
    const WTimeStamp start = WGetTimeStamp();
    const bool announced = PollServiceRecord(serviceFd, [&](ServiceRecord& record) {
        if (record.state() == kStateAnnounced) {
            record.state() = kStateReady;
            const size_t max = nameSize < WBAL_CLIENT_NAME_MAX + 1 ? static_cast<size_t>(nameSize) - 1
                                                                   : static_cast<size_t>(WBAL_CLIENT_NAME_MAX);
            record.name()[WBAL_CLIENT_NAME_MAX] = '\0';
            CopyName(clientName, record.name(), max);
            return Verdict::Done;
        }
        return record.state() != kStateReady || WIsTimeOut(start, timeoutMs) ? Verdict::Failed : Verdict::Again;
    });
    if (!announced) return -1;

    const std::string mailboxPath = MailboxPath(clientName);
    if (mailboxPath.empty()) return -1;
    const int index = SetMemoBAL(mailboxPath.c_str(), 1);
    if (index < 0) return -1;
    Entry& e = (*g_table)[static_cast<size_t>(index)];
    const int fd = OpenRetrying(mailboxPath, timeoutMs);
    if (fd < 0) {
        ClearEntry(e);
        return -1;
    }
    e.fd = fd;
    e.owner = getpid();
    *handle = MakeHandle(index, 2, 1);
    return 0;
}

int WBalOpen(int32_t* handle, const char* service, int mode, int32_t timeoutMs) {
    if (handle != nullptr) *handle = -1;
    if (handle == nullptr || (mode & ~kAllowedOpenMode) != 0) return -1;
    const char* clientName = std::getenv("HOSTNAME");
    if (clientName == nullptr || *clientName == '\0') return -1;
    const std::string servicePath = MailboxPath(service);
    const std::string mailboxPath = MailboxPath(clientName);
    if (servicePath.empty() || mailboxPath.empty()) return -1;
    const int index = SetMemoBAL(mailboxPath.c_str(), 1);
    if (index < 0) return -1;
    Entry& e = (*g_table)[static_cast<size_t>(index)];
    const int fd = open(mailboxPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const uint8_t header[WBAL_SLOT_HEADER_SIZE] = {0, 1, 0, 0, 0, 0};
    if (fd < 0 || ftruncate(fd, WBAL_MAILBOX_SIZE) != 0 || !WriteAt(fd, header, sizeof header, 0)) {
        if (fd >= 0) close(fd);
        ClearEntry(e);
        return -1;
    }
    const int serviceFd = OpenRetrying(servicePath, timeoutMs);
    if (serviceFd < 0) {
        close(fd);
        ClearEntry(e);
        return -1;
    }
    const WTimeStamp start = WGetTimeStamp();
    const bool accepted = PollServiceRecord(serviceFd, [&](ServiceRecord& record) {
        if (record.state() == kStateReady) {
            std::memset(record.name(), 0, WBAL_CLIENT_NAME_MAX + 1);
            record.state() = kStateAnnounced;
            CopyName(record.name(), clientName, WBAL_CLIENT_NAME_MAX);
            return Verdict::Done;
        }
        return record.state() == kStateClosed || WIsTimeOut(start, timeoutMs) ? Verdict::Failed : Verdict::Again;
    });
    if (!accepted) {
        close(fd);
        ClearEntry(e);
        return -1;
    }
    e.fd = fd;
    e.owner = getpid();
    *handle = MakeHandle(index, 1, 2);
    return 0;
}

int WBalWrite(int32_t handle, const void* message, uint32_t length) {
    if (length > WBAL_MAX_MESSAGE) {
        WSysError("-- ERROR -- WBalWrite(): message trop long: %u, max.: %u", length, WBAL_MAX_MESSAGE);
        return -1;
    }
    if (message == nullptr && length != 0) return -1;
    Entry* e = SelectOpen(handle);
    if (e == nullptr) return -1;
    const int fd = e->fd;
    bool closed = false;
    {
        FileLock lock(fd);
        uint8_t header[WBAL_SLOT_HEADER_SIZE];
        if (!ReadAt(fd, header, sizeof header, 0)) return -1;
        if (header[1] == 0) {
            closed = true;
        } else if (header[0] != 1) {
            std::vector<uint8_t> slot(WBAL_SLOT_HEADER_SIZE + length);
            slot[0] = 1;
            slot[1] = header[1];
            slot[2] = FourthByte(handle);
            slot[3] = ThirdByte(handle);
            slot[4] = static_cast<uint8_t>(length & 0xFF);
            slot[5] = static_cast<uint8_t>(length >> 8);
            if (length != 0) std::memcpy(slot.data() + WBAL_SLOT_HEADER_SIZE, message, length);
            if (!WriteAt(fd, slot.data(), slot.size(), 0)) return -1;
            return static_cast<int>(length);
        }
    }
    if (closed) {
        WBalClose(handle);
        return -1;
    }
    WSleep(kRetryMs);
    return 0;
}

int WBalRead(int32_t handle, void* buffer, uint32_t capacity) { return ReadMessage(handle, buffer, capacity, false); }

int WBalPeek(int32_t handle, void* buffer, uint32_t capacity) { return ReadMessage(handle, buffer, capacity, true); }

int WBalDelete(int32_t handle) {
    Entry* e = SelectOpen(handle);
    if (e == nullptr) return -1;
    {
        FileLock lock(e->fd);
        uint8_t first[2] = {};
        if (Index(handle) == 0) {
            // Service: state 0 (closed).
            first[0] = kStateClosed;
            WriteAt(e->fd, first, 1, 0);
        } else if (ReadAt(e->fd, first, 2, 0)) {
            first[1] = 0;  // the link is no longer alive
            WriteAt(e->fd, first, 2, 0);
        }
    }
    close(e->fd);
    unlink(e->path);
    ClearEntry(*e);
    return 0;
}

int WBalClose(int32_t handle) {
    const int index = Index(handle);
    if (!g_table || index >= WBAL_TABLE_SIZE) return -1;
    Entry& e = (*g_table)[static_cast<size_t>(index)];
    if (e.fd >= 0) {
        close(e.fd);
        e.fd = -1;
    }
    if (index == 0) ReleaseTable();
    return 0;
}
