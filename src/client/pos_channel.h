// The library's side of one station's POS link: the shared block with its two
// mailboxes, the console program's process, and the program's message event.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/process.h"

namespace znpdll {

// Process-wide table of the mapped POS link blocks (99 slots).
class ShareMemTable {
public:
    static constexpr int kSlots = 99;
    // Opens (or creates with 40962 bytes) and maps the block of a POS number;
    // the view, or null.
    static char* Create(uint32_t posNumber, uint32_t instanceId);
    static void Release(char* view, uint32_t instanceId);
};

struct ReadResult {
    int status = 0;        // -1 error, 0 no message, 1 message
    bool stopped = false;  // no message: the wait was ended by its stop test
};

// Tested between the polls of a wait: true ends the wait at once (the
// program has ended, or the instance is being closed).
using StopTest = std::function<bool()>;

class DialogChannel {
public:
    // Side 0 (the library) reads the program's mailbox and writes its own.
    static std::unique_ptr<DialogChannel> Open(uint32_t posNumber, uint32_t instanceId, int side);
    // A channel on a block of at least 20482 bytes that the caller provides
    // and keeps (fuzzing, tests): nothing is cleared, mapped or released. A
    // block of blockSize bytes that holds the wake area is woken through it.
    static std::unique_ptr<DialogChannel> Attach(char* block, int side, size_t blockSize = 0);
    ~DialogChannel();
    void Close(uint32_t instanceId);

    // 1 written, 0 the previous message is still there, -1 refused.
    int Write(const char* text, uint32_t instanceId);
    // Takes (text area cleared, then status '0') or peeks (mailbox left
    // exactly as it was) the incoming message, waiting up to timeoutMs or
    // until `stop` says so. The wait sleeps on the mailbox's wake word: a
    // program that wakes this side is tested every 10 ms besides (the stop
    // test), one that does not every 2 ms. The copy never reads past the
    // mailbox's text area.
    ReadResult Read(bool take, std::string* text, uint32_t timeoutMs, uint32_t instanceId,
                    const StopTest& stop = {});
    // Marks the incoming message taken, its text area cleared first.
    void SetEmpty(uint32_t instanceId);
    // True when a complete message waits in the incoming mailbox.
    bool HasMessage() const;
    // True when the program declares that it wakes this side after each
    // change of a mailbox (its waits may then sleep longer between tests).
    bool PeerWakes() const;
    // Wakes whatever sleeps on the incoming mailbox in this process (a close
    // ending the calls in progress).
    void WakeReaders();

private:
    DialogChannel() = default;
    void MarkTaken();
    void BindWake(char* block, size_t blockSize, int side);

    char* view_ = nullptr;  // null for an attached block
    char* writeArea_ = nullptr;
    char* readArea_ = nullptr;
    poslink::WakeArea* wake_ = nullptr;
    plat::WakeWord* readWord_ = nullptr;
    plat::WakeWord* writeWord_ = nullptr;
    uint32_t* peerFlag_ = nullptr;
    uint32_t* ownFlag_ = nullptr;
};

// The console program started for an instance.
class ClientProcess {
public:
    void SetInstanceId(uint32_t id) { instanceId_ = id; }
    // Starts the program from its command line in the given directory.
    // program names the program file in the failure line of the log.
    bool Create(const char* commandLine, const char* directory, const char* program = "");
    // True unless the program is seen ended within waitMs.
    bool IsRunning(int64_t waitMs);
    // Ends the program: it gets graceMs to end on its own (after a stop
    // request), then it is killed; either way it is reaped.
    void Release(int64_t graceMs);
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // How the program ended (Kind::Unknown while it runs).
    plat::ExitStatus ExitStatus() const;

private:
    pid_t pid_ = 0;
    uint32_t instanceId_ = 0;
};

// The program's message event "TALVO" + POS number.
class ClientEvent {
public:
    enum class OpenResult { Opened, Missing, Refused, Stopped };
    enum class WaitResult { Signalled, TimedOut, Stopped };

    void SetInstanceId(uint32_t id) { instanceId_ = id; }
    // Opens the event once the program has made it: the tries sleep until a
    // name of the event appears (or `program` ends) and give up after
    // budgetMs (on the process clock). An event that exists but is refused
    // (another user's, or open to others) ends the tries at once, as does
    // `stop`. *usedMs, when given, receives the time spent.
    OpenResult Open(uint32_t posNumber, int64_t budgetMs = 10000, const StopTest& stop = {}, pid_t program = 0,
                    int64_t* usedMs = nullptr);
    // Waits for the program's ready event ("TRVOK" + POS number, signalled
    // once its session is open) for up to budgetMs, sleeping until it exists
    // as above. Ready when signalled; Stopped as soon as `stop` says so;
    // Missing when it never came within the budget.
    static OpenResult WaitReady(uint32_t posNumber, int64_t budgetMs, const StopTest& stop, pid_t program = 0,
                                uint32_t instanceId = 0);
    // Waits up to timeoutMs for the event, or until `ready` holds (a message
    // came without the event), testing `stop` and `ready` every sliceMs.
    WaitResult Wait(int64_t timeoutMs, const StopTest& stop = {}, const StopTest& ready = {}, int64_t sliceMs = 10);
    void Reset();
    void Release();
    bool isOpen() const { return event_ != nullptr; }

private:
    std::unique_ptr<plat::NamedEvent> event_;
    uint32_t instanceId_ = 0;
};

}  // namespace znpdll
