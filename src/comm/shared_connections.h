// Shared connection table: every TLS connection of the program is an entry
// of one process-wide table. An entry holds the connection's socket and TLS
// objects, its parameters, and two 25000-byte buffers through which the
// thread that owns the network side (a pump) and the code that reads and
// writes exchange bytes. Entry ids are the handles callers hold.
//
// Threads: the buffers and their counters are touched only while holding
// the entry's lock word; the lock word is tested and set under the table's
// one guard, and a waiter for it sleeps on the guard's condition variable
// (it never holds the guard across a wait or any I/O). Words that both sides
// read without the lock word (Stop, State, SslState, ReleaseRequested ...)
// are atomics. An entry goes back to free once both sides have let go of it:
// the user side by a disconnect, the pump side when its thread ends.
//
// The network dispatch reaches the entries as network type 5 (WShared*
// link operations); SSLShared hands client connections to an owner thread
// through them.
#pragma once
#include <openssl/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

constexpr int32_t WSHARED_BUFFER_SIZE = 25000;
constexpr size_t WSHARED_TEXT_SIZE = 256;  // 255 characters and a terminator
// Slots of the table the program makes (the header slot and nine entries);
// also the size of a table that a first attach has to make.
constexpr int WSHARED_DEFAULT_SLOTS = 10;

// Entry types.
constexpr int32_t COM_DIRECT = 0;         // a client connection used by its caller
constexpr int32_t COM_BY_SEV = 1;         // a pump thread owns the network side
constexpr int32_t COM_NEVER_TAKEN = 2;    // never taken since the table was made
constexpr int32_t COM_LISTEN_SOCKET = 3;  // a listening socket
// Entry states.
constexpr int32_t WSHARED_FREE = -1;
constexpr int32_t WSHARED_CLOSED = 0;  // the pump ended; the user side still holds it
constexpr int32_t WSHARED_TAKEN = 1;
// Connection requests (ConnState).
constexpr int32_t WSHARED_REQUESTED = 1;
constexpr int32_t WSHARED_CONNECTED = 3;
constexpr int32_t WSHARED_REQUEST_FAILED = -1;

struct comInfos {
    uint64_t ThreadHandle;                   // pump thread of the entry (its number), 0 none
    uint64_t ThreadId;                       // same, for the traces
    int32_t Id;                              // the slot's index: the handle callers hold
    std::atomic<int32_t> Type;               // COM_DIRECT, COM_BY_SEV, COM_NEVER_TAKEN, COM_LISTEN_SOCKET
    std::atomic<int32_t> State;              // WSHARED_FREE, WSHARED_TAKEN, WSHARED_CLOSED
    std::atomic<int32_t> ReleaseRequested;   // the user side has let go: 1 in order, 2 abortively
    int32_t Lock;                            // entry lock word (under the guard only)
    std::atomic<int32_t> Result;             // 0, or -1 once the connection was closed or failed
    std::atomic<int32_t> Stop;               // 1 asks the connection to end
    std::atomic<int32_t> SslState;           // 1 pump thread started, 2 handshake done
    std::atomic<int32_t> ConnState;          // connection request: 1, 3 or -1
    std::atomic<int32_t> Socket;             // -1 none
    std::atomic<int32_t> PumpActive;         // 1 while a pump or owner thread holds the entry
    std::atomic<SSL*> Ssl;                   // TLS connection
    int32_t InLength;                        // bytes held in InBuffer (under the lock word)
    int32_t InRead;                          // bytes of InBuffer already read
    int32_t OutLength;                       // bytes held in OutBuffer
    int32_t InUsed;                          // bytes of InBuffer written since the entry was taken
    int32_t OutUsed;                         // bytes of OutBuffer written since the entry was taken
    uint8_t InBuffer[WSHARED_BUFFER_SIZE];   // received from the network, waiting for the reader
    uint8_t OutBuffer[WSHARED_BUFFER_SIZE];  // written by callers, waiting to be sent
    int32_t SslType;
    char HostName[WSHARED_TEXT_SIZE];
    char Service[WSHARED_TEXT_SIZE];
    int32_t ConnectTimeoutMs;  // connect (and handshake) time-out of the connection
    char HostCert[WSHARED_TEXT_SIZE];
    char ClientCert[WSHARED_TEXT_SIZE];
    SSL_CTX* SslCtx;  // one reference of the TLS context, owned by the entry
    int32_t CheckCert;
    int32_t VersionSSL;
    char SslArguments[WSHARED_TEXT_SIZE];
    int WakeFd;  // wakes the pump when there is something to send or to stop (made at the entry's first
                 // take, lives with the table)
};

// The process-wide table object.
class WShared {
public:
    // Guard of the table: one lock for every test and change of a lock word
    // and of an entry's state, with a condition variable on which waiters
    // for any of them sleep.
    class GuardStrategy {
    public:
        virtual ~GuardStrategy() = default;
        virtual void init(int tableId) = 0;
        virtual void lock() = 0;
        virtual void unlock() = 0;
        // With the guard held: releases it, sleeps until notified or for at
        // most ms milliseconds of real time, takes it again.
        virtual void wait(int64_t ms) = 0;
        virtual void notifyAll() = 0;
    };

    WShared();
    virtual ~WShared();
    WShared(const WShared&) = delete;
    WShared& operator=(const WShared&) = delete;

    // Called while an entry is taken (nothing here).
    virtual void onTake(comInfos* entry);

    void initialize(int tableId, int size);
    comInfos* getOneCom(int32_t id);
    comInfos* getOneFreeCom();
    int size() const { return size_; }
    // Slot id (1 to size - 1) without checks or trace.
    comInfos* entry(int32_t id) { return &entries_[id]; }
    GuardStrategy* guard() { return guard_; }

private:
    comInfos* getOneFreeComImpl();

    void* header_ = nullptr;
    comInfos* entries_ = nullptr;
    int size_ = 0;
    GuardStrategy* guard_;
};

// The one table of the process.
WShared& WSharedTable();

// Makes the table "COM_SHARED_MEMORY_<id>" with that many slots (0: attach).
// The first call decides the table; an attach that finds none makes it with
// WSHARED_DEFAULT_SLOTS slots, so the table has its slots before anyone
// attaches.
void WShared_Initialize(int tableId, int slots);
// Entry of an id (1 to size - 1), or null with an error line.
comInfos* WShared_GetOneCOM_INFOS(int32_t id);
// Same, the caller's message (one conversion: the id) also reported.
comInfos* WSharedEntry(int32_t id, const char* noEntryMessage);
// A free entry, taken and cleared for the caller (State taken, Type direct,
// Socket 0), or null with an error line when none is free.
comInfos* WShared_GetOneFreeCOM_INFOS();
// Number of free entries (for checks and tests).
int WSharedFreeCount();

// Entry lock word. Lock waits without limit; TryLock gives false when the
// word could not be had within limitMs (on the process clock).
void WSharedLockEntry(comInfos* entry);
bool WSharedTryLockEntry(comInfos* entry, int32_t limitMs);
void WSharedUnlockEntry(comInfos* entry);
void WSharedSetState(comInfos* entry, int32_t value);
// Sets Stop and wakes whoever waits on the entry (its pump included).
void WSharedStop(comInfos* entry);
// Wakes the pump of the entry and the waiters of the table.
void WSharedWake(comInfos* entry);
// With the lock word held: waits (lock word released) until the entry
// changes or realMs milliseconds pass, then holds the lock word again.
void WSharedWaitLocked(comInfos* entry, int64_t realMs);
// The two sides letting go of an entry: the user side (a disconnect: Stop
// and ReleaseRequested set; an abortive one drops what is not sent yet) and
// the pump side (its thread ending: State closed). The entry is free again
// once both have.
void WSharedReleaseUser(comInfos* entry, bool abortive = false);
void WSharedReleasePump(comInfos* entry);
// Marks the entry as held by a pump or owner thread about to start.
void WSharedAttachPump(comInfos* entry);

// Buffer work of the two sides, for the transports over the table.
// Takes the lock word before the deadline (real monotonic milliseconds).
bool WSharedLockEntryBefore(comInfos* entry, int64_t deadlineRealMs);
// With the lock word held: copies (and with consume takes) the bytes
// waiting in InBuffer, waiting for some until the deadline (real monotonic
// milliseconds; a past one does not wait). Data: *count bytes; Stopped:
// none and Stop set; Empty: none before the deadline.
enum class WSharedInput { Data, Stopped, Empty };
WSharedInput WSharedTakeInputLocked(comInfos* entry, void* buffer, uint32_t capacity, int64_t deadlineRealMs,
                                    bool consume, uint32_t* count);
// With the lock word held: appends the bytes to OutBuffer when they fit
// (the length), else 0 and nothing queued.
int WSharedAppendOutputLocked(comInfos* entry, const void* data, uint32_t length);
// Pump side, with the lock word held: appends received bytes to InBuffer
// after moving the unread ones to its front; false when they do not fit.
bool WSharedAppendInputLocked(comInfos* entry, const void* data, uint32_t length);

// Reader's and writer's side of a pumped entry (network type 5).
// Write: the length; 0 when it does not fit into OutBuffer (nothing queued);
// -2 no entry, not pumped, stopped, or the lock word not had within the
// connect time-out (the connection is then stopped).
int WSharedWrite(int32_t id, const void* data, uint32_t length);
// Read: the count; within 100 ms without data the entry's Result (0 while
// the connection lives, -1 once it ended); -2 no entry, not pumped, stopped.
int WSharedRead(int32_t id, void* buffer, uint32_t capacity);
// Peek: the count (nothing consumed); 0 none; -2 as above.
int WSharedPeek(int32_t id, void* buffer, uint32_t capacity);
// Asks the connection to end and lets go of the entry: 1; -2 for an entry
// that is not pumped (Stop is set all the same).
int WSharedDisConnect(int32_t id);
int WSharedHardDisConnect(int32_t id);
// Requester's side of a shared client connection: posts the request in a
// free entry, hands it to the request handler, and waits for the owner's
// answer within the connect time-out: the entry id, or -1.
int32_t WSharedOpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                            const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                            const char* sslArguments, int32_t unusedValue);
// What serves posted requests (the TLS transport installs its owner); null:
// nothing serves them and requests time out.
using WSharedRequestHandler = void (*)(int32_t id);
WSharedRequestHandler WSharedSetRequestHandler(WSharedRequestHandler handler);

// SSLShared: the transport object that hands client connections to an owner
// through the table.
int32_t WSSLSharedOpenServerEx(const char* service, int backlog, int8_t reuse, const char* sslArguments);
int32_t WSSLSharedOpenServer(const char* service, int backlog);
int32_t WSSLSharedConnect(int32_t listenHandle, int32_t* station);
int WSSLSharedClose(int32_t value);
int32_t WSSLSharedOpenClient(const char* host, const char* service, int32_t sslType, const char* hostCert,
                             const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused);
int32_t WSSLSharedOpenClientEx(const char* host, const char* service, int32_t sslType, const char* hostCert,
                               const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused,
                               const char* sslArguments, const std::map<std::string, std::string>* sslArgumentMap);
void WSSLSharedOpenClientForShare(int32_t handle);
int32_t WSSLSharedPingServer(const char* host, const char* service, int32_t sslType, const char* hostCert,
                             const char* clientCert, int32_t checkCert, int32_t versionSSL, const char* unused);
int WSSLSharedWrite(int32_t handle, const void* data, uint32_t length);
int WSSLSharedRead(int32_t handle, void* buffer, uint32_t capacity);
int WSSLSharedPeek(int32_t handle, void* buffer, uint32_t capacity);
int WSSLSharedDisConnect(int32_t handle);
int WSSLSharedHardDisConnect(int32_t handle);
