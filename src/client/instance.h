// Client instances (one per opening of a POS number) and the process-wide
// table that hands out their ids.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "client/pos_channel.h"
#include "client/request_book.h"
#include "client/tag_codec.h"

namespace znpdll {

// The seventeen arguments of SZelApiOpen after the id pointer.
struct OpenArguments {
    uint32_t eventLevel = 0;
    uint32_t logSwitch = 0;
    const char* logFileName = nullptr;
    uint32_t logSizeKb = 0;
    uint32_t posNumber = 0;
    uint32_t languageCode = 0;
    const char* clientPath = nullptr;
    uint32_t echoLevel = 0;
    uint32_t uxTimeOut = 0;
    uint32_t offlineLevel = 0;
    const char* serverPath = nullptr;
    uint32_t encryptionLevel = 0;
    const char* backupPath = nullptr;
    uint32_t backupDelay = 0;
};

// Where the program of a client path lies and what it is called.
struct ProgramLocation {
    std::string directory;  // also the program's current directory
    std::string fileName;
    std::string extension;
    std::string path;       // directory + '/' + file name + extension
};
// A directory or the full path of a program file. In a directory the program
// is the till's own file "trv_71_<POS number on 3 digits>" when there is one
// (a POS number of 0 looks for none), else "trv_71": tills whose directories
// each hold a program file named after their POS number never share a
// program file name. False for an empty or over-long (more than 255
// characters) path.
bool LocateProgram(const char* clientPath, uint32_t posNumber, ProgramLocation* out);
// "trv_71_<POS number on 3 digits>": the name of a till's own program file.
std::string TillProgramName(uint32_t posNumber);

// Quotes one command-line argument so that the platform's command-line
// splitting gives it back unchanged.
std::string QuoteArgument(const std::string& text);

class ClientInstance {
public:
    static constexpr size_t kMaxField = 3;  // SV, PS and CD values
    // Messages of the program kept aside for the cash register while it does
    // not take them; beyond this the oldest is purged.
    static constexpr size_t kMaxKept = RequestBook::kMaxKept;

    explicit ClientInstance(uint32_t id);
    ~ClientInstance();

    int Open(const OpenArguments& args);
    int SendMessage(const char* service, char* message, const uint32_t* capacity);
    int WaitSynchro(uint32_t timeoutMs);
    int GetMessage(char* service, char* message, uint32_t* capacity);
    // Closing, in two parts. BeginClose ends the calls in progress (they
    // return 1), takes the busy flag (at most the busy time-out) and sends
    // the stop request when the program runs. FinishClose then lets the
    // program end within its grace time, kills it otherwise, reaps it, and
    // releases the event and the channel; the instance table is not held
    // meanwhile. A busy flag still not obtained leaves all of that to the
    // destructor, which runs when the last call holding the instance ends.
    void BeginClose();
    void FinishClose();

    uint32_t id() const { return id_; }
    uint32_t posNumber() const { return posNumber_.load(); }
    TagWriter& writer() { return writer_; }
    TagReader& reader() { return reader_; }
    pid_t programPid() const { return process_.pid(); }
    size_t heldCount();

    // Tunables (tests): how long a call waits for the busy flag, and how long
    // closing lets the program end on its own after the stop request.
    void SetBusyTimeoutMs(int64_t ms) { busyTimeoutMs_ = ms; }
    static void SetStopGraceMs(int64_t ms);

    // Busy flag, taken by each call for its whole run. Once the instance is
    // closing only the close itself can take it.
    bool TakeBusy(int64_t timeoutMs, bool forClose = false);
    void ReleaseBusy();

private:
    // The busy flag for the whole of one call; a flag not obtained is logged
    // ("Mutex non obtenu" under the call's module) after which the call
    // sleeps 10 ms before returning.
    struct BusyScope {
        BusyScope(ClientInstance& instance, const char* module);
        ~BusyScope();
        ClientInstance& self;
        bool taken;
    };

    int SendLocked(const char* service, char* message, uint32_t capacity, bool forClose = false);
    // What ends the waits of a call: the program's end, or a close (except
    // for the close's own stop request).
    StopTest StopFor(bool forClose);
    // Before a request is written: a message waiting in the mailbox is taken
    // aside or dropped, so that it is never taken for its acknowledgement.
    void ClearIncoming();

    std::mutex lock_;
    std::condition_variable busyCondition_;
    int32_t busy_ = 0;
    std::atomic<bool> closing_{false};
    bool closeTaken_ = false;  // BeginClose took the busy flag
    int64_t busyTimeoutMs_ = 10000;
    const uint32_t id_;
    TagWriter writer_;
    TagReader reader_;
    std::unique_ptr<DialogChannel> channel_;
    // The pending request, the requests given up on, and the messages taken
    // out of the mailbox and held for SZelApiGetMessage in their order of
    // arrival (guarded by lock_).
    RequestBook book_;
    std::atomic<uint32_t> posNumber_{0};
    uint32_t ackTimeoutS_ = 5;
    ClientProcess process_;
    ClientEvent event_;
};

class InstanceTable {
public:
    static constexpr size_t kMaxInstances = 99;
    static InstanceTable& Get();

    int Open(uint32_t* instanceId, const OpenArguments& args);
    int Close(uint32_t instanceId);
    // The instance of an id, null when none (or while it is being closed).
    // The returned reference keeps it alive through a concurrent close.
    std::shared_ptr<ClientInstance> Find(uint32_t instanceId);
    // The default instance; created for POS number 1 when none was ever set.
    // Null (and *found false) when the default was closed.
    std::shared_ptr<ClientInstance> Default();
    uint32_t PosNumberOf(uint32_t instanceId);
    size_t Count();

private:
    struct Entry {
        uint32_t id;
        uint32_t posNumber;
        std::shared_ptr<ClientInstance> instance;
        bool closing;
    };
    std::shared_ptr<ClientInstance> CreateLocked(uint32_t posNumber);
    void Remove(uint32_t instanceId);

    std::mutex tableMutex_;  // whole openings and closings
    std::mutex listMutex_;   // the list, briefly
    std::list<Entry> entries_;
    uint32_t defaultId_ = 0;
    bool defaultSet_ = false;
};

// POS number recorded by an opened instance (0 when none); used by the log.
uint32_t PosNumberOfInstance(uint32_t instanceId);

}  // namespace znpdll
