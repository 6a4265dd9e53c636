// The library's side of one station's POS link: the shared block with its two
// mailboxes, the console program's process, and the program's message event.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/named_event.h"

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
    int status = 0;  // -1 error, 0 no message, 1 message
};

class DialogChannel {
public:
    // Side 0 (the library) reads the program's mailbox and writes its own.
    static std::unique_ptr<DialogChannel> Open(uint32_t posNumber, uint32_t instanceId, int side);
    ~DialogChannel();
    void Close(uint32_t instanceId);

    // 1 written, 0 the previous message is still there, -1 refused.
    int Write(const char* text, uint32_t instanceId);
    // Takes (status '0' afterwards) or peeks (mailbox left exactly as it was)
    // the incoming message, polling every 2 ms for up to timeoutMs. The copy
    // never reads past the mailbox's text area.
    ReadResult Read(bool take, std::string* text, uint32_t timeoutMs, uint32_t instanceId);
    // Marks the incoming message taken.
    void SetEmpty(uint32_t instanceId);
    // True when a complete message waits in the incoming mailbox.
    bool HasMessage() const;

private:
    DialogChannel() = default;

    char* view_ = nullptr;
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

private:
    pid_t pid_ = 0;
    uint32_t instanceId_ = 0;
};

// The program's message event "TALVO" + POS number.
class ClientEvent {
public:
    void SetInstanceId(uint32_t id) { instanceId_ = id; }
    // Up to `attempts` tries 10 ms apart (the program creates the event).
    bool Open(uint32_t posNumber, int attempts = 1000);
    bool Wait(int64_t timeoutMs);
    void Reset();
    void Release();
    bool isOpen() const { return event_ != nullptr; }

private:
    std::unique_ptr<plat::NamedEvent> event_;
    uint32_t instanceId_ = 0;
};

}  // namespace znpdll
