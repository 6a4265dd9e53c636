#include "client/pos_channel.h"


#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "client/dll_log.h"
#include "platform/clock.h"
#include "platform/name_watch.h"
#include "platform/pos_mailbox.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/wake_word.h"

namespace znpdll {
namespace {

struct Slot {
    plat::SharedMemory block;
    char* view = nullptr;
};

std::mutex g_slotsMutex;
Slot g_slots[ShareMemTable::kSlots];

char LoadStatus(const char* mailbox) {
    return std::atomic_ref<char>(*const_cast<char*>(mailbox)).load(std::memory_order_acquire);
}

void StoreStatus(char* mailbox, char value) {
    std::atomic_ref<char>(*mailbox).store(value, std::memory_order_release);
}

uint32_t LoadFlag(const uint32_t* flag) {
    return flag == nullptr ? 0 : std::atomic_ref<uint32_t>(*const_cast<uint32_t*>(flag)).load(std::memory_order_acquire);
}

void StoreFlag(uint32_t* flag, uint32_t value) {
    if (flag != nullptr) std::atomic_ref<uint32_t>(*flag).store(value, std::memory_order_release);
}

// Poll periods of the waits: a program that wakes this side is still looked
// at every 10 ms (the stop test: its end, a close); one that does not, every
// 2 ms as before.
constexpr int64_t kWokenSliceMs = 10;
constexpr int64_t kPolledSliceMs = 2;

// The text of a mailbox, bounded to its text area.
std::string_view MailboxText(const char* mailbox) {
    const char* text = mailbox + 1;
    return std::string_view(text, strnlen(text, poslink::kTextSize));
}

}  // namespace

char* ShareMemTable::Create(uint32_t posNumber, uint32_t instanceId) {
    DllLogger& log = DllLogger::Get();
    std::lock_guard<std::mutex> guard(g_slotsMutex);
    Slot* slot = nullptr;
    for (Slot& s : g_slots) {
        if (s.view == nullptr) {
            slot = &s;
            break;
        }
    }
    if (slot == nullptr) {
        log.Log(instanceId, "-- ERROR -- |UTIMEM| Tableau de gestion plein");
        return nullptr;
    }
    const std::string name = poslink::BlockName(posNumber);
    plat::ShmError err = slot->block.Open(name, poslink::kClientBlockSize, plat::SharedMemory::Mode::OpenOrCreate);
    const int error = slot->block.lastErrno();
    if (err == plat::ShmError::MapFailed) {
        log.Log(instanceId, "-- ERROR -- |UTIMEM| Partage de la memoire echoue");
    } else if (err != plat::ShmError::None || slot->block.size() < poslink::kUsedSize) {
        slot->block.Close();
        log.Log(instanceId, "-- ERROR -- |UTIMEM| Obtention du mapping memoire echouee");
    }
    if (err != plat::ShmError::None || !slot->block.isOpen()) {
        // Which object, and why (a block of another user, or open to others,
        // is refused).
        log.Logf(instanceId, "-- ERROR -- |UTIMEM| Memoire partagee %s refusee (%s)", name.c_str(),
                 error != 0 ? std::strerror(error) : "taille");
        return nullptr;
    }
    slot->view = static_cast<char*>(slot->block.data());
    log.Logf(instanceId, "** INFO ** |UTIMEM| Creee (%p / %p / %p)", static_cast<void*>(slot),
             static_cast<void*>(&slot->block), static_cast<void*>(slot->view));
    return slot->view;
}

void ShareMemTable::Release(char* view, uint32_t instanceId) {
    DllLogger& log = DllLogger::Get();
    std::lock_guard<std::mutex> guard(g_slotsMutex);
    for (Slot& s : g_slots) {
        if (view != nullptr && s.view == view) {
            log.Logf(instanceId, "** INFO ** |UTIMEM| Liberee (%p / %p / %p)", static_cast<void*>(&s),
                     static_cast<void*>(&s.block), static_cast<void*>(view));
            s.block.Close();
            s.view = nullptr;
            return;
        }
    }
    log.Logf(instanceId, ">> WARNING << |UTIMEM| Aucun element lie a la memoire (%p)", static_cast<void*>(view));
}

std::unique_ptr<DialogChannel> DialogChannel::Open(uint32_t posNumber, uint32_t instanceId, int side) {
    std::unique_ptr<DialogChannel> channel(new (std::nothrow) DialogChannel());
    if (!channel) {
        DllLogger::Get().Logf(instanceId, "!! FATAL !! |DIAOPN| Contexte incoherent (%p)", nullptr);
        return nullptr;
    }
    char* view = ShareMemTable::Create(posNumber, instanceId);
    if (view == nullptr) return nullptr;
    // Whatever an earlier run left in the mailboxes is never replayed.
    char* toPos = view + poslink::kToPosMailbox;
    char* fromPos = view + poslink::kFromPosMailbox;
    StoreStatus(toPos, poslink::kStatusNever);
    StoreStatus(fromPos, poslink::kStatusNever);
    std::memset(toPos + 1, 0, poslink::kTextSize);
    std::memset(fromPos + 1, 0, poslink::kTextSize);
    channel->view_ = view;
    channel->readArea_ = side == 0 ? toPos : fromPos;
    channel->writeArea_ = side == 0 ? fromPos : toPos;
    // The block is mapped with at least the library's 40962 bytes.
    channel->BindWake(view, poslink::kClientBlockSize, side);
    StoreFlag(channel->ownFlag_, 1);
    // Both mailboxes changed: whoever waits on them looks again.
    if (channel->wake_ != nullptr) {
        plat::Bump(channel->wake_->toPos);
        plat::Bump(channel->wake_->fromPos);
    }
    DllLogger::Get().Logf(instanceId, "** INFO ** |DIAOPN| %p", static_cast<void*>(channel.get()));
    return channel;
}

std::unique_ptr<DialogChannel> DialogChannel::Attach(char* block, int side, size_t blockSize) {
    std::unique_ptr<DialogChannel> channel(new DialogChannel());
    channel->readArea_ = block + (side == 0 ? poslink::kToPosMailbox : poslink::kFromPosMailbox);
    channel->writeArea_ = block + (side == 0 ? poslink::kFromPosMailbox : poslink::kToPosMailbox);
    channel->BindWake(block, blockSize, side);
    return channel;
}

void DialogChannel::BindWake(char* block, size_t blockSize, int side) {
    wake_ = poslink::WakeAreaOf(block, blockSize);
    if (wake_ == nullptr) return;
    readWord_ = side == 0 ? &wake_->toPos : &wake_->fromPos;
    writeWord_ = side == 0 ? &wake_->fromPos : &wake_->toPos;
    peerFlag_ = side == 0 ? &wake_->programBumps : &wake_->clientBumps;
    ownFlag_ = side == 0 ? &wake_->clientBumps : &wake_->programBumps;
}

bool DialogChannel::PeerWakes() const { return LoadFlag(peerFlag_) == 1; }

void DialogChannel::WakeReaders() {
    if (readWord_ != nullptr) plat::Bump(*readWord_);
}

DialogChannel::~DialogChannel() {
    if (view_ != nullptr) {
        StoreFlag(ownFlag_, 0);
        ShareMemTable::Release(view_, 0);
    }
}

void DialogChannel::Close(uint32_t instanceId) {
    StoreFlag(ownFlag_, 0);
    if (view_ != nullptr) ShareMemTable::Release(view_, instanceId);
    view_ = nullptr;
    readArea_ = writeArea_ = nullptr;
    wake_ = nullptr;
    readWord_ = writeWord_ = nullptr;
    peerFlag_ = ownFlag_ = nullptr;
    DllLogger::Get().Logf(instanceId, "** INFO ** |DIACLO| %p", static_cast<void*>(this));
}

bool DialogChannel::HasMessage() const {
    return readArea_ != nullptr && LoadStatus(readArea_) == poslink::kStatusPresent;
}

int DialogChannel::Write(const char* text, uint32_t instanceId) {
    DllLogger& log = DllLogger::Get();
    const size_t length = text == nullptr ? 0 : strnlen(text, poslink::kMailboxSize);
    if (writeArea_ == nullptr || length == 0) {
        log.Logf(instanceId, "-- ERROR -- |DIAWRI| Emission inacceptable (%p) / [%zu]", static_cast<const void*>(text),
                 length);
        return -1;
    }
    if (length + 2 >= poslink::kMailboxSize) {
        log.Logf(instanceId, "-- ERROR -- |DIAWRI| Emission inacceptable, message trop gros (%p) / [%zu]",
                 static_cast<const void*>(text), length);
        return -1;
    }
    if (LoadStatus(writeArea_) == poslink::kStatusPresent) {
        if (log.IsVerbose()) {
            std::string shown(1, poslink::kStatusPresent);
            shown += MailboxText(writeArea_);
            log.Logf(instanceId, ">> WARNING << |DIAWRI| Memoire partagee pleine: %s", shown.c_str());
        }
        return 0;
    }
    StoreStatus(writeArea_, poslink::kStatusWriting);
    std::memcpy(writeArea_ + 1, text, length);
    // The terminator and zeros over whatever a longer earlier message left
    // behind it: nothing of an earlier request stays in the block.
    std::memset(writeArea_ + 1 + length, 0, poslink::kTextSize - length);
    StoreStatus(writeArea_, poslink::kStatusPresent);
    if (writeWord_ != nullptr) plat::Bump(*writeWord_);
    if (log.IsVerbose()) {
        std::string shown(1, poslink::kStatusPresent);
        shown.append(text, length);
        log.Logf(instanceId, "** INFO ** |DIAWRI| Emis: %s", shown.c_str());
    }
    return 1;
}

ReadResult DialogChannel::Read(bool take, std::string* text, uint32_t timeoutMs, uint32_t instanceId,
                               const StopTest& stop) {
    DllLogger& log = DllLogger::Get();
    ReadResult result;
    if (readArea_ == nullptr || text == nullptr) {
        result.status = -1;
        return result;
    }
    const int64_t start = plat::MonotonicMs();
    const auto arrived = [this] { return LoadStatus(readArea_) == poslink::kStatusPresent; };
    bool present = arrived();
    while (!present && plat::MonotonicMs() - start < static_cast<int64_t>(timeoutMs)) {
        if (stop && stop()) {
            // A message written just before the end still counts.
            present = arrived();
            result.stopped = !present;
            break;
        }
        if (readWord_ == nullptr) {
            plat::SleepMs(kPolledSliceMs);
        } else {
            // Armed before the look: a message written after it ends the sleep.
            const uint32_t seen = plat::Snapshot(*readWord_);
            if (arrived()) {
                plat::Cancel(*readWord_);
            } else {
                const int64_t left = static_cast<int64_t>(timeoutMs) - (plat::MonotonicMs() - start);
                const int64_t slice = PeerWakes() ? std::clamp<int64_t>(left, 1, kWokenSliceMs) : kPolledSliceMs;
                plat::Wait(*readWord_, seen, slice);
            }
        }
        present = arrived();
    }
    if (!present) {
        log.Log(instanceId, ">> WARNING << |DIAREA| Memoire partagee vide");
        return result;
    }
    try {
        text->assign(MailboxText(readArea_));
    } catch (const std::bad_alloc&) {
        log.Log(instanceId, "++ ERROR ++ |DIAREA| Out of memory");
        result.status = -1;
        return result;
    }
    if (take) MarkTaken();
    log.Logf(instanceId, "** INFO ** |DIAREA| Recu: %s", text->c_str());
    result.status = 1;
    return result;
}

void DialogChannel::MarkTaken() {
    // The program writes only once the status leaves '1': the text is
    // cleared while it is still ours, so that no card data of a message
    // already taken stays in the block.
    std::memset(readArea_ + 1, 0, poslink::kTextSize);
    StoreStatus(readArea_, poslink::kStatusTaken);
    if (readWord_ != nullptr) plat::Bump(*readWord_);
}

void DialogChannel::SetEmpty(uint32_t instanceId) {
    if (readArea_ == nullptr) return;
    MarkTaken();
    DllLogger::Get().Log(instanceId, "** INFO ** |DIASET| Positionne");
}

bool ClientProcess::Create(const char* commandLine, const char* directory, const char* program) {
    DllLogger& log = DllLogger::Get();
    if (commandLine == nullptr || directory == nullptr) {
        log.Logf(instanceId_, "!! FATAL !! |UTIPSS| Creation impossible (%p / %p)",
                 static_cast<const void*>(commandLine), static_cast<const void*>(directory));
        return false;
    }
    plat::StartResult started = plat::StartProcess(commandLine, directory, {}, /*detachStdio=*/true);
    if (!started.ok()) {
        // Which file, in which directory, and what the system said.
        log.Logf(instanceId_, "-- ERROR -- |UTIPSS| Creation echouee (%s dans %s): %s", program != nullptr ? program : "",
                 directory, started.error != 0 ? std::strerror(started.error) : "aucun processus");
        return false;
    }
    pid_ = started.pid;
    log.Logf(instanceId_, "** INFO ** |UTIPSS| Cree (%ld / %ld)", static_cast<long>(pid_), static_cast<long>(pid_));
    return true;
}

bool ClientProcess::IsRunning(int64_t waitMs) {
    if (pid_ <= 0) return false;
    return !plat::WaitForExit(pid_, waitMs);
}

plat::ExitStatus ClientProcess::ExitStatus() const { return plat::GetExitCode(pid_); }

void ClientProcess::Release(int64_t graceMs) {
    if (pid_ <= 0) return;
    DllLogger::Get().Logf(instanceId_, "** INFO ** |UTIPSS| Libere (%ld / %ld)", static_cast<long>(pid_),
                          static_cast<long>(pid_));
    // A process cannot be given an exit code from outside: a program that did
    // not end within its grace time is killed. It is our child and is not
    // reaped yet, so the pid cannot name another process; waiting for it
    // reaps it and leaves no zombie.
    if (!plat::WaitForExit(pid_, graceMs)) {
        plat::KillChildProcess(pid_);
        plat::WaitForExit(pid_, -1);
    }
    pid_ = 0;
}

namespace {

// Opens the event of a name once it exists: a watch of the named objects,
// armed before each look, sleeps until a name of it appears or the program
// ends. Budget on the process clock.
ClientEvent::OpenResult OpenWhenMade(plat::NamedEvent& event, const std::string& name, int64_t budgetMs,
                                     const StopTest& stop, pid_t program, int64_t* usedMs, uint32_t instanceId) {
    const int64_t start = plat::MonotonicMs();
    const auto used = [&] {
        if (usedMs != nullptr) *usedMs = plat::MonotonicMs() - start;
    };
    plat::NameWatch watch;
    watch.Start(name, program);
    for (;;) {
        const int error = event.OpenExisting(name);
        if (error == 0) {
            used();
            return ClientEvent::OpenResult::Opened;
        }
        if (error == EACCES || error == EPERM) {
            // There, but not ours alone: never used.
            DllLogger::Get().Logf(instanceId, "-- ERROR -- |UTIEVT| Evenement %s refuse (%s)", name.c_str(),
                                  std::strerror(error));
            used();
            return ClientEvent::OpenResult::Refused;
        }
        if (stop && stop()) {
            used();
            return ClientEvent::OpenResult::Stopped;
        }
        const int64_t left = budgetMs - (plat::MonotonicMs() - start);
        if (left <= 0) {
            used();
            return ClientEvent::OpenResult::Missing;
        }
        watch.Wait(left);
    }
}

}  // namespace

ClientEvent::OpenResult ClientEvent::Open(uint32_t posNumber, int64_t budgetMs, const StopTest& stop, pid_t program,
                                          int64_t* usedMs) {
    DllLogger& log = DllLogger::Get();
    const std::string name = StringFormat("%s%03u", poslink::kPosMessageEventPrefix, posNumber);
    auto event = std::make_unique<plat::NamedEvent>();
    const OpenResult result = OpenWhenMade(*event, name, budgetMs, stop, program, usedMs, instanceId_);
    if (result == OpenResult::Opened) {
        event_ = std::move(event);
        log.Logf(instanceId_, "** INFO ** |UTIEVT| Cree (%p)", static_cast<void*>(event_.get()));
    } else if (result == OpenResult::Missing) {
        log.Log(instanceId_, ">> WARNING << |UTIEVT| Creation echouee");
    }
    return result;
}

namespace {

// Waits on an event for up to timeoutMs. The event cannot tell that the
// program died, nor that a message came without it: the wait is cut into
// slices with the stop test and the `ready` test between them.
ClientEvent::WaitResult WaitSliced(plat::NamedEvent& event, int64_t timeoutMs, const StopTest& stop,
                                   const StopTest& ready = {}, int64_t sliceMs = 10) {
    const int64_t deadline = plat::RealMonotonicMs() + timeoutMs;
    for (;;) {
        const int64_t left = deadline - plat::RealMonotonicMs();
        const plat::EventWait w = event.Wait(left <= 0 ? 0 : std::min(left, sliceMs));
        if (w == plat::EventWait::Signalled) return ClientEvent::WaitResult::Signalled;
        if (ready && ready()) return ClientEvent::WaitResult::Signalled;
        if (w == plat::EventWait::Failed || left <= sliceMs) return ClientEvent::WaitResult::TimedOut;
        if (stop && stop()) return ClientEvent::WaitResult::Stopped;
    }
}

}  // namespace

ClientEvent::WaitResult ClientEvent::Wait(int64_t timeoutMs, const StopTest& stop, const StopTest& ready,
                                          int64_t sliceMs) {
    if (!event_) return WaitResult::TimedOut;
    return WaitSliced(*event_, timeoutMs, stop, ready, sliceMs);
}

ClientEvent::OpenResult ClientEvent::WaitReady(uint32_t posNumber, int64_t budgetMs, const StopTest& stop,
                                               pid_t program, uint32_t instanceId) {
    const std::string name = StringFormat("%s%03u", poslink::kClientReadyEventPrefix, posNumber);
    plat::NamedEvent ready;
    int64_t used = 0;
    const OpenResult opened = OpenWhenMade(ready, name, budgetMs, stop, program, &used, instanceId);
    if (opened != OpenResult::Opened) return opened == OpenResult::Refused ? OpenResult::Missing : opened;
    const int64_t left = budgetMs - used;
    switch (WaitSliced(ready, std::max<int64_t>(left, 0), stop)) {
        case WaitResult::Signalled:
            return OpenResult::Opened;
        case WaitResult::Stopped:
            return OpenResult::Stopped;
        default:
            return OpenResult::Missing;
    }
}

void ClientEvent::Reset() {
    if (!event_) return;
    DllLogger::Get().Logf(instanceId_, "** INFO ** |UTIEVT| Remis a zero (%p)", static_cast<void*>(event_.get()));
    event_->Reset();
}

void ClientEvent::Release() {
    if (!event_) return;
    DllLogger::Get().Logf(instanceId_, "** INFO ** |UTIEVT| Libere (%p)", static_cast<void*>(event_.get()));
    event_.reset();
}

}  // namespace znpdll
