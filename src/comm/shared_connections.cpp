// Shared connection table: the table object, its guard, the entry lock, the
// network-type-5 link operations, the requester's side of shared client
// connections and the SSLShared transport functions.
#include "comm/shared_connections.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "comm/tcp_transport.h"
#include "core/helpers.h"
#include "core/shared_blocks.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/net_socket.h"

namespace {

constexpr const char* kTableLogger = "wshared";
constexpr const char* kLogger = "ktn_shared";
constexpr const char* kSslLogger = "sharedssl";
constexpr int64_t kReadWaitMs = 100;
// Longest real sleep of a wait measured on the process clock: the clock
// decides when the wait is over, a notification ends each sleep early.
constexpr int64_t kWaitSliceMs = 20;

struct WSharedHeader {
    int32_t Size;
    int32_t Reserved;
    int32_t NextFree;
};

// One critical section and its condition variable.
class LegacyGuardV1 : public WShared::GuardStrategy {
public:
    void init(int /*tableId*/) override { initialized_ = 1; }
    void lock() override { mutex_.lock(); }
    void unlock() override { mutex_.unlock(); }
    void wait(int64_t ms) override {
        std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
        changed_.wait_for(held, std::chrono::milliseconds(ms < 0 ? 0 : ms));
        held.release();
    }
    void notifyAll() override { changed_.notify_all(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int32_t initialized_ = 0;
};

// Holds the guard for a scope (nothing without a guard).
class GuardHold {
public:
    explicit GuardHold(WShared::GuardStrategy* guard) : guard_(guard) {
        if (guard_ != nullptr) guard_->lock();
    }
    ~GuardHold() {
        if (guard_ != nullptr) guard_->unlock();
    }
    GuardHold(const GuardHold&) = delete;
    GuardHold& operator=(const GuardHold&) = delete;
    void wait(int64_t ms) {
        if (guard_ != nullptr) guard_->wait(ms);
    }
    void notify() {
        if (guard_ != nullptr) guard_->notifyAll();
    }

private:
    WShared::GuardStrategy* guard_;
};

WShared::GuardStrategy* Guard() { return WSharedTable().guard(); }

void CopyText(char* field, const char* text) {
    std::memset(field, 0, WSHARED_TEXT_SIZE);
    if (text != nullptr) std::snprintf(field, WSHARED_TEXT_SIZE, "%s", text);
}

// Every field of a taken entry but Id, State and WakeFd goes back to zero.
// Of the two buffers, only what the entry's last use wrote is cleared: the
// rest was never written (the table comes zeroed), so a connection that
// never used them touches none of their pages.
void WSharedResetEntry(comInfos* e) {
    e->ThreadHandle = 0;
    e->ThreadId = 0;
    e->Type = COM_DIRECT;
    e->ReleaseRequested = 0;
    e->Lock = 0;
    e->Result = 0;
    e->Stop = 0;
    e->SslState = 0;
    e->ConnState = 0;
    e->Socket = 0;
    e->PumpActive = 0;
    e->Ssl = nullptr;
    e->InLength = 0;
    e->InRead = 0;
    e->OutLength = 0;
    std::memset(e->InBuffer, 0, static_cast<size_t>(std::clamp(e->InUsed, 0, WSHARED_BUFFER_SIZE)));
    std::memset(e->OutBuffer, 0, static_cast<size_t>(std::clamp(e->OutUsed, 0, WSHARED_BUFFER_SIZE)));
    e->InUsed = 0;
    e->OutUsed = 0;
    e->SslType = 0;
    std::memset(e->HostName, 0, sizeof e->HostName);
    std::memset(e->Service, 0, sizeof e->Service);
    e->ConnectTimeoutMs = 0;
    std::memset(e->HostCert, 0, sizeof e->HostCert);
    std::memset(e->ClientCert, 0, sizeof e->ClientCert);
    e->SslCtx = nullptr;
    e->CheckCert = 0;
    e->VersionSSL = 0;
    std::memset(e->SslArguments, 0, sizeof e->SslArguments);
    if (e->WakeFd < 0)
        e->WakeFd = plat::WakeCreate();
    else
        plat::WakeDrain(e->WakeFd);
}

int32_t ConnectTimeOutMs() { return static_cast<int32_t>(WTCPGetConnectTimeOutMs()); }

}  // namespace

// ---------------------------------------------------------------------------
// Table
// ---------------------------------------------------------------------------

WShared::WShared() : guard_(new (std::nothrow) LegacyGuardV1) {}

WShared::~WShared() {
    if (entries_ != nullptr) {
        for (int i = 1; i < size_; ++i) plat::WakeClose(entries_[i].WakeFd);
        WFreeShareMemHeap(entries_);
    }
    delete guard_;
}

void WShared::onTake(comInfos* /*entry*/) {}

WShared& WSharedTable() {
    // Never destroyed: pump threads may still use the table while the
    // process ends.
    static WShared* table = new WShared;
    return *table;
}

void WShared::initialize(int tableId, int size) {
    if (guard_ != nullptr) guard_->init(tableId);
    GuardHold hold(guard_);
    if (entries_ != nullptr) return;  // the first successful call decides the table
    char name[64];
    std::snprintf(name, sizeof name, "COM_SHARED_MEMORY_%03d", tableId);
    if (size < 0) {
        WLOG(kTableLogger, WLOG_ERROR, "initialize: failed to initialize: name: %s", name);
        return;
    }
    if (size == 0) {
        // Nothing made this table before: it gets the program's size now,
        // so that whoever attaches first still finds its entries.
        size = WSHARED_DEFAULT_SLOTS;
        WLOG(kTableLogger, WLOG_DEBUG, "initialize: no table to attach to, made with %d slots: name: %s", size, name);
    }
    void* block = WOpenShareMemHeap(name, static_cast<size_t>(size) * sizeof(comInfos));
    if (block == nullptr) {
        WLOG(kTableLogger, WLOG_ERROR, "initialize: failed to initialize: name: %s", name);
        return;
    }
    auto* header = new (block) WSharedHeader{size, 0, 0};
    auto* entries = static_cast<comInfos*>(block);
    // The block comes zeroed: each entry is set up without writing its
    // buffers, whose pages stay untouched until a connection uses them; its
    // wake descriptor is made when it is first taken.
    for (int i = 1; i < size; ++i) {
        comInfos* e = new (&entries[i]) comInfos;
        e->Id = i;
        e->State = WSHARED_FREE;
        e->Type = COM_NEVER_TAKEN;
        e->Socket = 0;
        e->WakeFd = -1;
    }
    header_ = header;
    entries_ = entries;
    size_ = size;
    WLOG(kTableLogger, WLOG_DEBUG, "initialize: name: %s, size: %d", name, size);
}

comInfos* WShared::getOneCom(int32_t id) {
    if (id < 1 || id >= size_) {
        WSysError("-- ERROR -- WShared_GetOneCOM_INFOS : Index 0x%X out of bounds [1...%d] !",
                  static_cast<unsigned>(id), size_ - 1);
        return nullptr;
    }
    comInfos* e = &entries_[id];
    WLOG(kTableLogger, WLOG_TRACE, "getOneCom: id: 0x%X, address: %p", static_cast<unsigned>(id),
         static_cast<void*>(e));
    return e;
}

comInfos* WShared::getOneFreeComImpl() {
    if (size_ < 2) return nullptr;
    auto* header = static_cast<WSharedHeader*>(header_);
    const int n = size_ - 1;
    const int start = header->NextFree;
    for (int i = 0; i < n; ++i) {
        comInfos* e = &entries_[((start + i) % n) + 1];
        if (e->State != WSHARED_FREE) continue;
        onTake(e);
        e->State = WSHARED_TAKEN;
        WSharedResetEntry(e);
        header->NextFree = (start + i + 1) % n;
        WLOG(kTableLogger, WLOG_DEBUG, "getOneFreeComImpl: id: 0x%X, address: %p, offset: %d",
             static_cast<unsigned>(e->Id), static_cast<void*>(e), header->NextFree);
        return e;
    }
    return nullptr;
}

comInfos* WShared::getOneFreeCom() {
    comInfos* e = nullptr;
    {
        GuardHold hold(guard_);
        e = getOneFreeComImpl();
    }
    if (e == nullptr) WSysError("-- ERROR -- WShared::getOneFreeCom(): No free space in array, max. size: %d", size_);
    WLOG(kTableLogger, WLOG_DEBUG, "getOneFreeCom: address: %p", static_cast<void*>(e));
    return e;
}

void WShared_Initialize(int tableId, int slots) { WSharedTable().initialize(tableId, slots); }

comInfos* WShared_GetOneCOM_INFOS(int32_t id) { return WSharedTable().getOneCom(id); }

comInfos* WSharedEntry(int32_t id, const char* noEntryMessage) {
    comInfos* e = WSharedTable().getOneCom(id);
    if (e == nullptr) WSysError(noEntryMessage, static_cast<unsigned>(id));
    return e;
}

comInfos* WShared_GetOneFreeCOM_INFOS() { return WSharedTable().getOneFreeCom(); }

int WSharedFreeCount() {
    WShared& table = WSharedTable();
    int free = 0;
    for (int id = 1; id < table.size(); ++id)
        if (table.entry(id)->State == WSHARED_FREE) ++free;
    return free;
}

// ---------------------------------------------------------------------------
// Entry lock and state
// ---------------------------------------------------------------------------

void WSharedLockEntry(comInfos* entry) {
    if (entry == nullptr) return;
    GuardHold hold(Guard());
    while (entry->Lock != 0) hold.wait(kWaitSliceMs);
    entry->Lock = 1;
}

bool WSharedTryLockEntry(comInfos* entry, int32_t limitMs) {
    if (entry == nullptr) return false;
    const WTimeStamp start = WGetTimeStamp();
    GuardHold hold(Guard());
    while (entry->Lock != 0) {
        if (WIsTimeOut(start, limitMs)) return false;
        hold.wait(kWaitSliceMs);
    }
    entry->Lock = 1;
    return true;
}

void WSharedUnlockEntry(comInfos* entry) {
    if (entry == nullptr) return;
    GuardHold hold(Guard());
    entry->Lock = 0;
    hold.notify();
}

void WSharedSetState(comInfos* entry, int32_t value) {
    if (entry == nullptr) return;
    GuardHold hold(Guard());
    entry->State = value;
    hold.notify();
}

void WSharedWake(comInfos* entry) {
    if (entry == nullptr) return;
    {
        GuardHold hold(Guard());
        hold.notify();
    }
    plat::WakeSignal(entry->WakeFd);
}

void WSharedStop(comInfos* entry) {
    if (entry == nullptr) return;
    entry->Stop = 1;
    WSharedWake(entry);
}

void WSharedWaitLocked(comInfos* entry, int64_t realMs) {
    if (entry == nullptr) return;
    GuardHold hold(Guard());
    entry->Lock = 0;
    hold.notify();
    hold.wait(realMs);
    while (entry->Lock != 0) hold.wait(kWaitSliceMs);
    entry->Lock = 1;
}

void WSharedReleaseUser(comInfos* entry, bool abortive) {
    if (entry == nullptr) return;
    {
        GuardHold hold(Guard());
        entry->Stop = 1;
        entry->ReleaseRequested = abortive ? 2 : 1;
        if (entry->PumpActive == 0) entry->State = WSHARED_FREE;
        hold.notify();
    }
    plat::WakeSignal(entry->WakeFd);
}

void WSharedReleasePump(comInfos* entry) {
    if (entry == nullptr) return;
    GuardHold hold(Guard());
    entry->PumpActive = 0;
    entry->State = entry->ReleaseRequested != 0 ? WSHARED_FREE : WSHARED_CLOSED;
    hold.notify();
}

void WSharedAttachPump(comInfos* entry) {
    if (entry == nullptr) return;
    GuardHold hold(Guard());
    entry->PumpActive = 1;
}

bool WSharedLockEntryBefore(comInfos* entry, int64_t deadlineRealMs) {
    if (entry == nullptr) return false;
    GuardHold hold(Guard());
    while (entry->Lock != 0) {
        const int64_t left = deadlineRealMs - plat::RealMonotonicMs();
        if (left <= 0) return false;
        hold.wait(left);
    }
    entry->Lock = 1;
    return true;
}

WSharedInput WSharedTakeInputLocked(comInfos* e, void* buffer, uint32_t capacity, int64_t deadlineRealMs, bool consume,
                                    uint32_t* count) {
    for (;;) {
        if (e->InLength != e->InRead) {
            const uint32_t waiting = static_cast<uint32_t>(e->InLength - e->InRead);
            const uint32_t n = capacity < waiting ? capacity : waiting;
            if (buffer != nullptr && n > 0) std::memcpy(buffer, e->InBuffer + e->InRead, n);
            if (consume) {
                e->InRead += static_cast<int32_t>(n);
                if (e->InRead == e->InLength) e->InLength = e->InRead = 0;
            }
            if (count != nullptr) *count = n;
            return WSharedInput::Data;
        }
        if (e->Stop == 1) return WSharedInput::Stopped;
        const int64_t left = deadlineRealMs - plat::RealMonotonicMs();
        if (left <= 0) return WSharedInput::Empty;
        WSharedWaitLocked(e, left);
    }
}

int WSharedAppendOutputLocked(comInfos* e, const void* data, uint32_t length) {
    if (static_cast<uint64_t>(e->OutLength) + length > static_cast<uint64_t>(WSHARED_BUFFER_SIZE)) return 0;
    if (length > 0) std::memcpy(e->OutBuffer + e->OutLength, data, length);
    e->OutLength += static_cast<int32_t>(length);
    e->OutUsed = std::max(e->OutUsed, e->OutLength);
    return static_cast<int>(length);
}

bool WSharedAppendInputLocked(comInfos* e, const void* data, uint32_t length) {
    // Only unread bytes count against the buffer.
    if (e->InRead > 0) {
        std::memmove(e->InBuffer, e->InBuffer + e->InRead, static_cast<size_t>(e->InLength - e->InRead));
        e->InLength -= e->InRead;
        e->InRead = 0;
    }
    if (static_cast<uint64_t>(e->InLength) + length > static_cast<uint64_t>(WSHARED_BUFFER_SIZE)) return false;
    std::memcpy(e->InBuffer + e->InLength, data, length);
    e->InLength += static_cast<int32_t>(length);
    e->InUsed = std::max(e->InUsed, e->InLength);
    return true;
}

// ---------------------------------------------------------------------------
// Network type 5: the reader's and writer's side of a pumped entry
// ---------------------------------------------------------------------------

int WSharedWrite(int32_t id, const void* data, uint32_t length) {
    comInfos* e = WSharedEntry(id, "-- ERROR -- WSharedWrite: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -2;
    WLOG(kLogger, WLOG_DEBUG, "WSharedWrite: id: 0x%X, address: %p, length: %d", static_cast<unsigned>(id),
         static_cast<void*>(e), static_cast<int>(length));
    if (e->Type != COM_BY_SEV || e->Stop == 1) return -2;
    if (!WSharedTryLockEntry(e, ConnectTimeOutMs())) {
        WSharedLockEntry(e);
        e->Stop = 1;
        WSharedUnlockEntry(e);
        WSharedWake(e);
        WSysError("-- ERROR -- WSharedWrite(): Timeout while asking for a lock (polling shared memory), resource: 0x%X",
                  static_cast<unsigned>(id));
        return -2;
    }
    const int32_t current = e->OutLength;
    const int taken = WSharedAppendOutputLocked(e, data, length);
    WSharedUnlockEntry(e);
    if (taken == 0 && length > 0) {
        WSysError(
            "<< WARN. >> [WSharedWrite] Too many data : max msg len=%d, current data size=%u, incoming "
            "additional data=%u, resource: 0x%X",
            WSHARED_BUFFER_SIZE, static_cast<unsigned>(current), length, static_cast<unsigned>(id));
        return 0;
    }
    plat::WakeSignal(e->WakeFd);
    return taken;
}

int WSharedRead(int32_t id, void* buffer, uint32_t capacity) {
    comInfos* e = WSharedEntry(id, "-- ERROR -- WSharedRead: WShared_GetOneCOM_INFOS(%u) returned NULL");
    if (e == nullptr) return -2;
    WLOG(kLogger, WLOG_DEBUG, "WSharedRead: id: 0x%X, address: %p", static_cast<unsigned>(id), static_cast<void*>(e));
    if (e->Type != COM_BY_SEV) {
        WSysError(
            "-- ERROR -- WSharedRead(): Function should not have been called with COM_BY_SEV mode not set, "
            "resource: 0x%X",
            static_cast<unsigned>(id));
        return -2;
    }
    const int64_t deadline = plat::RealMonotonicMs() + kReadWaitMs;
    if (!WSharedLockEntryBefore(e, deadline)) return e->Result;
    uint32_t n = 0;
    const WSharedInput got = WSharedTakeInputLocked(e, buffer, capacity, deadline, true, &n);
    WSharedUnlockEntry(e);
    if (got == WSharedInput::Data) return static_cast<int>(n);
    if (got == WSharedInput::Stopped) {
        WSysError("-- ERROR -- WSharedRead(): Stop flag has been set (polling shared memory), resource: 0x%X",
                  static_cast<unsigned>(id));
        return -2;
    }
    return e->Result;
}

int WSharedPeek(int32_t id, void* buffer, uint32_t capacity) {
    comInfos* e = WSharedEntry(id, "-- ERROR -- WSharedPeek: WShared_GetOneCOM_INFOS(%u) returned NULL");
    if (e == nullptr) return -2;
    WLOG(kLogger, WLOG_DEBUG, "WSharedPeek: id: 0x%X, address: %p", static_cast<unsigned>(id), static_cast<void*>(e));
    if (!WSharedTryLockEntry(e, ConnectTimeOutMs())) {
        WSharedStop(e);
        WSysError("-- ERROR -- WSharedPeek(): Timeout while asking for a lock (polling shared memory), resource: 0x%X",
                  static_cast<unsigned>(id));
        return -2;
    }
    if (e->Type != COM_BY_SEV) {
        WSharedUnlockEntry(e);
        WSysError(
            "-- ERROR -- WSharedPeek(): Function should not have been called with COM_BY_SEV mode not set, "
            "resource: 0x%X",
            static_cast<unsigned>(id));
        return -2;
    }
    uint32_t n = 0;
    const WSharedInput got = WSharedTakeInputLocked(e, buffer, capacity, 0, false, &n);
    WSharedUnlockEntry(e);
    if (got == WSharedInput::Data) return static_cast<int>(n);
    if (got == WSharedInput::Stopped) {
        WSysError("-- ERROR -- WSharedPeek(): Stop flag has been set (polling shared memory), resource: 0x%X",
                  static_cast<unsigned>(id));
        return -2;
    }
    return 0;
}

int WSharedDisConnect(int32_t id) {
    comInfos* e = WSharedEntry(id, "-- ERROR -- WSharedDisConnect: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -2;
    WLOG(kLogger, WLOG_DEBUG, "WSharedDisConnect: id: 0x%X, address: %p", static_cast<unsigned>(id),
         static_cast<void*>(e));
    WSharedLockEntry(e);
    e->Stop = 1;
    WSharedUnlockEntry(e);
    if (e->Type == COM_BY_SEV) {
        WSharedReleaseUser(e);
        return 1;
    }
    WSharedWake(e);
    WSysError(
        "-- ERROR -- WSharedDisConnect(): Function should not have been called with COM_BY_SEV mode not set, "
        "resource: 0x%X",
        static_cast<unsigned>(id));
    return -2;
}

int WSharedHardDisConnect(int32_t id) {
    comInfos* e = WSharedEntry(id, "-- ERROR -- WSharedHardDisConnect: WShared_GetOneCOM_INFOS(0x%X) returned NULL");
    if (e == nullptr) return -2;
    WLOG(kLogger, WLOG_DEBUG, "WSharedHardDisConnect: id: 0x%X, address: %p", static_cast<unsigned>(id),
         static_cast<void*>(e));
    WSharedLockEntry(e);
    if (e->Type == COM_BY_SEV) {
        e->Stop = 1;
        WSharedUnlockEntry(e);
        WSharedReleaseUser(e, true);
        return 1;
    }
    WSharedUnlockEntry(e);
    WSysError(
        "-- ERROR -- WSharedHardDisConnect(): Function should not have been called with COM_BY_SEV mode not "
        "set, resource: 0x%X",
        static_cast<unsigned>(id));
    return -2;
}

// ---------------------------------------------------------------------------
// Shared client connections: the requester's side
// ---------------------------------------------------------------------------

namespace {
std::atomic<WSharedRequestHandler> g_requestHandler{nullptr};
}  // namespace

WSharedRequestHandler WSharedSetRequestHandler(WSharedRequestHandler handler) {
    return g_requestHandler.exchange(handler);
}

int32_t WSharedOpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                            const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* /*unused*/,
                            const char* sslArguments, int32_t /*unusedValue*/) {
    comInfos* e = WShared_GetOneFreeCOM_INFOS();
    if (e == nullptr) {
        WSysError("-- ERROR -- WSharedOpenClientEx(): WShared_GetOneFreeCOM_INFOS2() returned a null pointer");
        return -1;
    }
    WSharedLockEntry(e);
    WLOG(kLogger, WLOG_DEBUG, "WSharedOpenClientEx: address: %p, id: 0x%X", static_cast<void*>(e),
         static_cast<unsigned>(e->Id));
    e->Ssl = nullptr;
    e->SslType = sslType;
    CopyText(e->HostName, host);
    CopyText(e->Service, service);
    e->ConnectTimeoutMs = ConnectTimeOutMs();
    CopyText(e->HostCert, hostCert);
    CopyText(e->ClientCert, clientCert);
    e->CheckCert = checkCert;
    e->VersionSSL = versionSSL;
    CopyText(e->SslArguments, sslArguments);
    e->Type = COM_BY_SEV;
    e->ConnState = WSHARED_REQUESTED;
    WSharedUnlockEntry(e);

    if (WSharedRequestHandler handler = g_requestHandler.load()) {
        WSharedAttachPump(e);
        handler(e->Id);
    }

    const WTimeStamp start = WGetTimeStamp();
    WSharedLockEntry(e);
    for (;;) {
        const int32_t state = e->ConnState;
        if (state == WSHARED_CONNECTED) {
            WSharedUnlockEntry(e);
            return e->Id;
        }
        if (state == WSHARED_REQUEST_FAILED) {
            e->Result = -1;
            WSharedUnlockEntry(e);
            WSharedReleaseUser(e);
            return -1;
        }
        if (WIsTimeOut(start, e->ConnectTimeoutMs)) {
            e->Stop = 1;
            WSharedUnlockEntry(e);
            WSysError(
                "-- ERROR -- WSharedOpenClientEx(): Timeout during connection establishment (polling shared "
                "memory), resource: 0x%X",
                static_cast<unsigned>(e->Id));
            WSharedReleaseUser(e);
            return -1;
        }
        WSharedWaitLocked(e, kWaitSliceMs);
    }
}

// ---------------------------------------------------------------------------
// SSLShared
// ---------------------------------------------------------------------------

int32_t WSSLSharedOpenServerEx(const char*, int, int8_t, const char*) {
    WSysError("-- ERROR -- WSSLSharedOpenServerEx(): Not implemented");
    return -1;
}

int32_t WSSLSharedOpenServer(const char*, int) {
    WSysError("-- ERROR -- WSSLSharedOpenServer(): Not implemented");
    return -1;
}

int32_t WSSLSharedConnect(int32_t, int32_t* station) {
    if (station != nullptr) *station = -1;
    WSysError("-- ERROR -- WSSLSharedConnect(): Not implemented");
    return -1;
}

int WSSLSharedClose(int32_t) {
    WSysError("-- ERROR -- WSSLSharedClose(): Not implemented");
    return -1;
}

void WSSLSharedOpenClientForShare(int32_t) { WSysError("-- ERROR -- WSSLSharedOpenClientForShare(): Not implemented"); }

int32_t WSSLSharedPingServer(const char*, const char*, int32_t, const char*, const char*, int32_t, int32_t,
                             const char*) {
    WSysError("-- ERROR -- WSSLSharedPingServer(): Not implemented");
    return -1;
}

int32_t WSSLSharedOpenClient(const char* host, const char* service, int32_t sslType, const char* hostCert,
                             const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused) {
    WLOG(kSslLogger, WLOG_DEBUG, "WSSLSharedOpenClient: hostname: %s, service: %s, type: %d, ", host ? host : "",
         service ? service : "", sslType);
    const int32_t handle =
        WSharedOpenClientEx(host, service, sslType, hostCert, clientCert, checkCert, versionSSL, unused, "", 0);
    WLOG(kSslLogger, WLOG_DEBUG, "WSSLSharedOpenClient: handle: 0x%X", static_cast<unsigned>(handle));
    return handle;
}

int32_t WSSLSharedOpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                               const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                               const char* sslArguments, const std::map<std::string, std::string>* /*map*/) {
    WLOG(kSslLogger, WLOG_DEBUG, "WSSLSharedOpenClientEx: hostname: %s, service: %s, type: %d, ", host ? host : "",
         service ? service : "", sslType);
    const int32_t handle = WSharedOpenClientEx(host, service, sslType, hostCert, clientCert, checkCert, versionSSL,
                                               unused, sslArguments, 0);
    WLOG(kSslLogger, WLOG_DEBUG, "WSSLSharedOpenClientEx: handle: 0x%X", static_cast<unsigned>(handle));
    return handle;
}

namespace {

// The shape of the five SSLShared link functions: the entry, its type, the
// WShared operation and the two trace lines.
template <typename Operation>
int SharedLinkCall(int32_t handle, const char* noEntry, const char* wrongType, const char* name, const char* retFormat,
                   Operation operation) {
    comInfos* e = WSharedEntry(handle, noEntry);
    if (e == nullptr) return -2;
    WLOG(kSslLogger, WLOG_DEBUG, "%s: handle: 0x%X", name, static_cast<unsigned>(handle));
    if (e->Type != COM_BY_SEV) {
        WSysError(wrongType, static_cast<unsigned>(handle));
        return -2;
    }
    const int result = operation();
    WLOG(kSslLogger, WLOG_DEBUG, retFormat, name, result);
    return result;
}

}  // namespace

int WSSLSharedWrite(int32_t handle, const void* data, uint32_t length) {
    WLOG(kSslLogger, WLOG_DEBUG, "WSSLSharedWrite: handle: 0x%X, length: %u", static_cast<unsigned>(handle), length);
    return SharedLinkCall(handle, "-- ERROR -- WSSLSharedWrite: WShared_GetOneCOM_INFOS(%u) returned NULL",
                          "-- ERROR -- WSSLSharedWrite(): Function should not have been called with COM_BY_SEV mode "
                          "not set, resource: %u",
                          "WSSLSharedWrite", "%s: ret: %u", [&] { return WSharedWrite(handle, data, length); });
}

int WSSLSharedRead(int32_t handle, void* buffer, uint32_t capacity) {
    return SharedLinkCall(
        handle, "-- ERROR -- WSSLSharedRead: WShared_GetOneCOM_INFOS(%u) returned NULL",
        "-- ERROR -- WSSLSharedRead(): Function should not have been called with COM_BY_SEV mode not set, resource: %u",
        "WSSLSharedRead", "%s: ret: %u", [&] { return WSharedRead(handle, buffer, capacity); });
}

int WSSLSharedPeek(int32_t handle, void* buffer, uint32_t capacity) {
    return SharedLinkCall(
        handle, "-- ERROR -- WSSLSharedPeek: WShared_GetOneCOM_INFOS(%u) returned NULL",
        "-- ERROR -- WSSLSharedPeek(): Function should not have been called with COM_BY_SEV mode not set, resource: %u",
        "WSSLSharedPeek", "%s: ret: %u", [&] { return WSharedPeek(handle, buffer, capacity); });
}

int WSSLSharedDisConnect(int32_t handle) {
    return SharedLinkCall(handle, "-- ERROR -- WSSLSharedDisConnect: WShared_GetOneCOM_INFOS(%u) returned NULL",
                          "-- ERROR -- WSSLSharedDisConnect(): Function should not have been called with COM_BY_SEV "
                          "mode not set, resource: 0x%X",
                          "WSSLSharedDisConnect", "%s: ret: %d", [&] { return WSharedDisConnect(handle); });
}

int WSSLSharedHardDisConnect(int32_t handle) {
    return SharedLinkCall(handle, "-- ERROR -- WSSLSharedHardDisConnect: WShared_GetOneCOM_INFOS(0x%X) returned NULL",
                          "-- ERROR -- WSSLSharedHardDisConnect(): Function should not have been called with "
                          "COM_BY_SEV mode not set, resource: 0x%X",
                          "WSSLSharedHardDisConnect", "%s: ret: %d", [&] { return WSharedHardDisConnect(handle); });
}
