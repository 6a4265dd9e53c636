// The library's side of one station's POS link: the shared block with its two
// mailboxes, the console program's process, and the program's message event.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/named_event.h"
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
    // and keeps (fuzzing, tests): nothing is cleared, mapped or released.
    static std::unique_ptr<DialogChannel> Attach(char* block, int side);
    ~DialogChannel();
    void Close(uint32_t instanceId);

    // 1 written, 0 the previous message is still there, -1 refused.
    int Write(const char* text, uint32_t instanceId);
    // Takes (text area cleared, then status '0') or peeks (mailbox left
    // exactly as it was) the incoming message, polling every 2 ms for up to
    // timeoutMs or until `stop` says so. The copy never reads past the
    // mailbox's text area.
    ReadResult Read(bool take, std::string* text, uint32_t timeoutMs, uint32_t instanceId,
                    const StopTest& stop = {});
    // Marks the incoming message taken, its text area cleared first.
    void SetEmpty(uint32_t instanceId);
    // True when a complete message waits in the incoming mailbox.
    bool HasMessage() const;

private:
    DialogChannel() = default;
    void MarkTaken();

    char* view_ = nullptr;  // null for an attached block
    char* writeArea_ = nullptr;
    char* readArea_ = nullptr;
};

// The console program started for an instance.
class ClientProcess {
public:
    void SetInstanceId(uint32_t id) { instanceId_ = id; }
    // Starts the program from its command line in the given directory.
    bool Create(const char* commandLine, const char* directory);
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
    // Up to `attempts` tries 10 ms apart (the program creates the event);
    // an event that exists but is refused (another user's, or open to
    // others) ends the tries at once, as does `stop`.
    OpenResult Open(uint32_t posNumber, int attempts = 1000, const StopTest& stop = {}, int* triesUsed = nullptr);
    // Waits for the program's ready event ("TRVOK" + POS number, signalled
    // once its session is open) for up to budgetMs, trying to open it every
    // 10 ms until it exists. Ready when signalled; Stopped as soon as `stop`
    // says so; Missing when it never came within the budget.
    static OpenResult WaitReady(uint32_t posNumber, int64_t budgetMs, const StopTest& stop);
    // Waits up to timeoutMs, testing `stop` every 10 ms.
    WaitResult Wait(int64_t timeoutMs, const StopTest& stop = {});
    void Reset();
    void Release();
    bool isOpen() const { return event_ != nullptr; }

private:
    std::unique_ptr<plat::NamedEvent> event_;
    uint32_t instanceId_ = 0;
};

}  // namespace znpdll
