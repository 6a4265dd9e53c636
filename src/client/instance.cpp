#include "client/instance.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <string>
#include <new>
#include <vector>

#include "client/dll_log.h"
#include "platform/clock.h"
#include "platform/pos_mailbox.h"
#include "znp_dll.h"

namespace znpdll {
namespace {

constexpr const char* kProgramName = "trv_71";
constexpr size_t kMaxClientPath = 255;
constexpr size_t kMessageBufferSize = poslink::kMailboxSize;  // 10241

std::atomic<int64_t> g_stopGraceMs{3000};

DllLogger& Log() { return DllLogger::Get(); }

// Why a program that ended before it was ready did so, as far as its end
// tells: 255 is a session that could not open (its trace names the file).
std::string StartFailureReason(const plat::ExitStatus& status, const std::string& directory, uint32_t posNumber) {
    if (status.kind == plat::ExitStatus::Kind::Signaled) return StringFormat(" (%s)", strsignal(status.code));
    if (status.kind == plat::ExitStatus::Kind::Exited && status.code == 255)
        return StringFormat(" - ouverture de session impossible: configuration absente ou illisible dans %s "
                            "(la trace %s/WOut/CA%03u000.SPO nomme le fichier; sans WOut, lancer le programme "
                            "a la main: docs/operations.md)",
                            directory.c_str(), directory.c_str(), posNumber);
    return {};
}

}  // namespace

std::string TillProgramName(uint32_t posNumber) { return StringFormat("%s_%03u", kProgramName, posNumber); }

bool LocateProgram(const char* clientPath, uint32_t posNumber, ProgramLocation* out) {
    if (clientPath == nullptr || out == nullptr) return false;
    std::string path(clientPath);
    if (path.empty() || path.size() > kMaxClientPath) return false;
    struct stat st {};
    const bool isDirectory = path.back() == '/' || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    if (isDirectory) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        out->directory = path;
        out->fileName = kProgramName;
        out->extension.clear();
        // The till's own program file, when the directory holds one.
        if (posNumber != 0) {
            const std::string own = TillProgramName(posNumber);
            struct stat program {};
            if (stat(((path == "/" ? "" : path) + "/" + own).c_str(), &program) == 0 && S_ISREG(program.st_mode))
                out->fileName = own;
        }
    } else {
        size_t slash = path.rfind('/');
        out->directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
        size_t dot = file.rfind('.');
        if (dot == std::string::npos || dot == 0) {
            out->fileName = file;
            out->extension.clear();
        } else {
            out->fileName = file.substr(0, dot);
            out->extension = file.substr(dot);
        }
    }
    out->path = out->directory == "/" ? "/" : out->directory + "/";
    out->path += out->fileName + out->extension;
    return true;
}

std::string QuoteArgument(const std::string& text) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

void ClientInstance::SetStopGraceMs(int64_t ms) { g_stopGraceMs = ms; }

ClientInstance::ClientInstance(uint32_t id) : id_(id) {
    book_.SetInstanceId(id);
    writer_.SetInstanceId(id);
    reader_.SetInstanceId(id);
    process_.SetInstanceId(id);
    event_.SetInstanceId(id);
}

ClientInstance::~ClientInstance() {
    // Left here by a close that could not take the busy flag: nothing uses
    // the instance any more.
    process_.Release(0);
    event_.Release();
    if (channel_) channel_->Close(id_);
}

bool ClientInstance::TakeBusy(int64_t timeoutMs, bool forClose) {
    std::unique_lock<std::mutex> guard(lock_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!busyCondition_.wait_until(guard, deadline, [&] { return busy_ == 0 || (!forClose && closing_); }))
        return false;
    // A call gives up once the instance is closing, even when the flag is free.
    if (busy_ != 0 || (!forClose && closing_)) return false;
    busy_ = -1;
    return true;
}

StopTest ClientInstance::StopFor(bool forClose) {
    return [this, forClose] { return (!forClose && closing_.load()) || !process_.IsRunning(0); };
}

void ClientInstance::ReleaseBusy() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        busy_ = 0;
    }
    busyCondition_.notify_one();
}

ClientInstance::BusyScope::BusyScope(ClientInstance& instance, const char* module) : self(instance) {
    taken = self.TakeBusy(self.busyTimeoutMs_);
    if (!taken) {
        Log().Logf(self.id_, "-- ERROR -- |%s| Mutex non obtenu", module);
        plat::SleepMs(10);
    }
}

ClientInstance::BusyScope::~BusyScope() {
    if (taken) self.ReleaseBusy();
}

size_t ClientInstance::heldCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return book_.heldCount();
}

void ClientInstance::ClearIncoming() {
    if (!channel_->HasMessage()) return;
    std::string text;
    if (channel_->Read(true, &text, 0, id_).status != 1 || text.empty()) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (text[0] != '{') {
        book_.DropStaleAcknowledgement(text, "DLLSND");
    } else if (book_.TakeAside(std::move(text), "DLLSND") == RequestBook::Kind::Other) {
        event_.Reset();
    }
}

int ClientInstance::Open(const OpenArguments& a) {
    DllLogger& log = Log();
    const char* logFileName = a.logFileName ? a.logFileName : "";
    const char* clientPath = a.clientPath ? a.clientPath : "";
    ProgramLocation where;
    const bool located = LocateProgram(a.clientPath, a.posNumber, &where);
    posNumber_ = a.posNumber;

    log.Log(id_, "_SZelApiOpen_");
    log.Logf(id_, "##### ZNP_DLL x86 Version %s ##################################################", ZNP_DLL_VERSION);
    log.Logf(id_, "instance         : %p", static_cast<void*>(this));
    log.Logf(id_, "event level      : %u", a.eventLevel);
    log.Logf(id_, "log Level        : %u", 2u);
    log.Logf(id_, "log file name    : %s", logFileName);
    log.Logf(id_, "log size         : %u", a.logSizeKb);
    log.Logf(id_, "pos identifier   : %u", a.posNumber);
    log.Logf(id_, "shared mem. id   : %u", a.posNumber);
    log.Logf(id_, "language code    : %u", a.languageCode);
    log.Logf(id_, "client path      : %s", clientPath);
    log.Logf(id_, "client file name : %s", where.fileName.c_str());
    log.Logf(id_, "client file ext. : %s", where.extension.c_str());
    log.Logf(id_, "echo level       : %u", a.echoLevel);
    log.Logf(id_, "ux_TimeOut       : %u", a.uxTimeOut);
    log.Logf(id_, "offline level    : %u", a.offlineLevel);
    log.Logf(id_, "server path      : %s", a.serverPath ? a.serverPath : "");
    log.Logf(id_, "encryption level : %u", a.encryptionLevel);
    log.Logf(id_, "backup path      : %s", a.backupPath ? a.backupPath : "");
    log.Logf(id_, "backup delay     : %u", a.backupDelay);
    log.Log(id_, std::string(80, '#'));

    channel_ = DialogChannel::Open(a.posNumber, id_, 0);
    if (!channel_) return 8;

    if (!located) {
        log.Logf(id_, "!! FATAL !! |UTIPSS| Creation impossible (%p / %p): chemin client %s", static_cast<const void*>(a.clientPath),
                 static_cast<const void*>(a.clientPath),
                 a.clientPath == nullptr ? "absent" : *a.clientPath == '\0' ? "vide" : "trop long");
        channel_->Close(id_);
        channel_.reset();
        return 1;
    }
    const std::string options =
        StringFormat("-i%u -r%u -l%u -d%u -f", a.posNumber, a.posNumber, a.languageCode, 2u) +
        QuoteArgument(logFileName) +
        StringFormat(" -m%u -g%u -e%u -o%u -t%u", a.logSizeKb, 1u, a.echoLevel, a.offlineLevel, a.uxTimeOut);
    const std::string commandLine = QuoteArgument(where.path) + " " + options;
    if (!process_.Create(commandLine.c_str(), where.directory.c_str(), where.path.c_str())) {
        channel_->Close(id_);
        channel_.reset();
        return 1;
    }
    ackTimeoutS_ = a.uxTimeOut != 0 ? a.uxTimeOut : 5;
    log.Log(id_, "_SZelApiOpen_");
    // The tries end as soon as the program has ended: it will never create
    // its event (a bad directory, not our program). Then, within what is
    // left of the same ten seconds, the program's ready event tells that its
    // session is open, or its end that it could not open one (no
    // configuration).
    const StopTest ended = [this] { return !process_.IsRunning(0); };
    constexpr int64_t kEventBudgetMs = 10000;
    int64_t used = 0;
    ClientEvent::OpenResult opened = event_.Open(a.posNumber, kEventBudgetMs, ended, process_.pid(), &used);
    if (opened == ClientEvent::OpenResult::Opened &&
        ClientEvent::WaitReady(a.posNumber, kEventBudgetMs - used, ended, process_.pid(), id_) ==
            ClientEvent::OpenResult::Stopped)
        opened = ClientEvent::OpenResult::Stopped;
    if (opened == ClientEvent::OpenResult::Stopped || opened == ClientEvent::OpenResult::Refused) {
        if (opened == ClientEvent::OpenResult::Stopped) {
            const plat::ExitStatus status = process_.ExitStatus();
            log.Logf(id_, "-- ERROR -- |DLLOPN| Process client arrete au demarrage (%s): %s %d%s", where.path.c_str(),
                     status.kind == plat::ExitStatus::Kind::Signaled ? "signal" : "code de sortie", status.code,
                     StartFailureReason(status, where.directory, a.posNumber).c_str());
        }
        process_.Release(0);
        channel_->Close(id_);
        channel_.reset();
        return opened == ClientEvent::OpenResult::Stopped ? 1 : 8;
    }
    log.Log(id_, "################################ CLIENT DEMARRE ################################");
    return 0;
}

int ClientInstance::SendMessage(const char* service, char* message, const uint32_t* capacity) {
    DllLogger& log = Log();
    if (service == nullptr || message == nullptr || capacity == nullptr) {
        log.Logf(id_, "-- ERROR -- |DLLSND| Emission inacceptable - Adresses (%p / %p / %p)",
                 static_cast<const void*>(service), static_cast<void*>(message), static_cast<const void*>(capacity));
        return 3;
    }
    const size_t messageLength = strnlen(message, *capacity);
    if (log.IsVerbose()) {
        std::string shown(message, messageLength);
        log.Logf(id_, "** INFO ** |DLLSND| [%s / %p / %s]", service, static_cast<void*>(message), shown.c_str());
    }
    if (*service == '\0' || messageLength == 0 || *capacity == 0) {
        log.Logf(id_, "-- ERROR -- |DLLSND| Emission inacceptable - Longueurs de chaine [%zu / %zu / %u]",
                 strlen(service), messageLength, *capacity);
        return 3;
    }
    if (log.IsVerbose()) {
        std::string shown(message, messageLength);
        log.Logf(id_, "** INFO ** |DLLSND| A emettre: %s", shown.c_str());
    }
    BusyScope busy(*this, "DLLSND");
    if (!busy.taken) return 5;
    return SendLocked(service, message, *capacity);
}

int ClientInstance::SendLocked(const char* service, char* message, uint32_t capacity, bool forClose) {
    DllLogger& log = Log();
    // The probes look without waiting: an ended program is seen all the same.
    if (!channel_ || !process_.IsRunning(0)) {
        log.Log(id_, "-- ERROR -- |DLLSND| Process client arrete");
        return 1;
    }
    // SV, PS and CD of the request, each at most three characters.
    TagReader request;
    request.SetInstanceId(id_);
    std::string_view sv, ps, cd;
    if (request.ReadInit(message, capacity) != 1 || request.FindValue("SV", 1, &sv) != 1) return 3;
    // A request without PS is the usual case (the library adds it).
    const bool hasPs = request.FindValue("PS", 1, &ps, /*optional=*/true) == 1;
    if (request.FindValue("CD", 1, &cd) != 1) {
        log.Log(id_, ">> WARNING << |DLLSND| Code commande absent");
        cd = {};
    }
    for (auto [code, value] : {std::pair{"SV", sv}, std::pair{"PS", ps}, std::pair{"CD", cd}}) {
        if (value.size() > kMaxField) {
            log.Logf(id_, "-- ERROR -- |DLLSND| Emission inacceptable - Valeur trop longue {%s} [%zu]", code,
                     value.size());
            return 3;
        }
    }
    ClearIncoming();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (std::strcmp(service, "s3") == 0 && book_.HoldsAnswer()) {
            log.Log(id_, ">> WARNING << |DLLSND| Abandon inacceptable");
            return 0;
        }
    }
    const std::string command(cd);
    TagWriter writer;
    writer.SetInstanceId(id_);
    if (writer.WriteInit(message, capacity, false) != 1 || writer.SetStringVal("SS", "R") != 1) return 8;
    if (!hasPs && writer.SetStringVal("PS", StringFormat("%u", posNumber_.load()).c_str()) != 1) return 8;

    const int written = channel_->Write(message, id_);
    if (written < 0) return 8;
    if (written == 0) return 5;
    {
        std::lock_guard<std::mutex> guard(lock_);
        book_.Sent();
    }

    // One deadline from the send: messages arriving meanwhile never restart it.
    const int64_t deadline = plat::MonotonicMs() + static_cast<int64_t>(ackTimeoutS_) * 1000;
    const StopTest stop = StopFor(forClose);
    std::string ack;
    for (;;) {
        std::string text;
        const int64_t left = std::max<int64_t>(0, deadline - plat::MonotonicMs());
        ReadResult read = channel_->Read(true, &text, static_cast<uint32_t>(std::min<int64_t>(left, UINT32_MAX)), id_,
                                         stop);
        if (read.status < 0) {
            log.Log(id_, "-- ERROR -- |DLLSND| Lecture en erreur (acquittement)");
            return 8;
        }
        if (read.status == 0 && read.stopped) {
            log.Log(id_, "-- ERROR -- |DLLSND| Process client arrete");
            return 1;
        }
        if (read.status == 0) {
            log.Log(id_, "-- ERROR -- |DLLSND| Message non acquitte");
            // Its acknowledgement, and maybe its answer, may still come.
            std::lock_guard<std::mutex> guard(lock_);
            book_.AcknowledgementTimedOut(service, command);
            return 5;
        }
        if (text.empty()) continue;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (text[0] == '{') {
                // Not an acknowledgement: the pending request's answer, a
                // late answer (dropped) or a message for the cash register.
                if (book_.TakeAside(std::move(text), "DLLSND") == RequestBook::Kind::Other) event_.Reset();
                continue;
            }
            if (book_.OwesAcknowledgement()) {
                // The acknowledgement of a request given up on earlier.
                book_.DropStaleAcknowledgement(text, "DLLSND");
                continue;
            }
        }
        if (text.size() != 1 || text[0] < '0' || text[0] > '9') {
            log.Logf(id_, "-- ERROR -- |DLLSND| Acquittement inacceptable: %s", text.c_str());
            return 8;
        }
        ack = text;
        break;
    }
    int code = ack[0] - '0';
    {
        std::lock_guard<std::mutex> guard(lock_);
        book_.Acknowledged(service, command, code);
        if (std::strcmp(service, "s3") == 0 && code == 6) code = 0;
    }
    log.Logf(id_, "** INFO ** |DLLSND| Acquittee: %u", static_cast<unsigned>(code));
    return code;
}

int ClientInstance::WaitSynchro(uint32_t timeoutMs) {
    DllLogger& log = Log();
    BusyScope busy(*this, "DLLWAI");
    if (!busy.taken) return 7;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (book_.HoldsAny()) {
            log.Logf(id_, "** INFO **  |DLLWAI| Destockage: %s", book_.Front().c_str());
            return 0;
        }
    }
    if (!channel_ || !process_.IsRunning(0)) {
        log.Log(id_, "-- ERROR -- |DLLWAI| Process client arrete");
        return 1;
    }
    const StopTest stop = StopFor(false);
    const int64_t deadline = plat::RealMonotonicMs() + timeoutMs;
    auto left = [&] {
        return static_cast<uint32_t>(std::clamp<int64_t>(deadline - plat::RealMonotonicMs(), 0, timeoutMs));
    };
    for (;;) {
        // A message already waiting needs no signal (its signal may have been
        // consumed by an earlier wait). The program's end, or a close, ends
        // the wait at once.
        if (event_.isOpen() && !channel_->HasMessage()) {
            // A message that comes without the event (a program that does not
            // set it) ends the wait too, within the poll period.
            const ClientEvent::WaitResult w = event_.Wait(
                left(), stop, [this] { return channel_->HasMessage(); }, channel_->PeerWakes() ? 10 : 2);
            if (w == ClientEvent::WaitResult::Stopped && !channel_->HasMessage()) {
                log.Log(id_, "-- ERROR -- |DLLWAI| Process client arrete");
                return 1;
            }
            if (w == ClientEvent::WaitResult::TimedOut) {
                log.Logf(id_, "** INFO **  |DLLWAI| Aucun message recu (Delai = %ld)", static_cast<long>(timeoutMs));
                return 7;
            }
        }
        std::string text;
        ReadResult read = channel_->Read(false, &text, left(), id_, stop);
        if (read.status < 0) {
            log.Log(id_, "-- ERROR -- |DLLWAI| Lecture en erreur");
            return 8;
        }
        if (read.status == 0 && read.stopped) {
            log.Log(id_, "-- ERROR -- |DLLWAI| Process client arrete");
            return 1;
        }
        if (read.status == 0) {
            log.Logf(id_, "** INFO **  |DLLWAI| Aucun message recu (Delai = %ld)", static_cast<long>(timeoutMs));
            return 7;
        }
        std::lock_guard<std::mutex> guard(lock_);
        switch (book_.Sort(text)) {
            case RequestBook::Kind::Other:
                // Stays in the mailbox (the peek left it untouched).
                return 0;
            case RequestBook::Kind::Answer:
                book_.TakeAside(std::move(text), "DLLWAI");
                channel_->SetEmpty(id_);
                return 0;
            case RequestBook::Kind::Late:
                book_.DropLate(text, "DLLWAI");
                break;
            case RequestBook::Kind::Bare:
                book_.DropStaleAcknowledgement(text, "DLLWAI");
                break;
            case RequestBook::Kind::Empty:
                break;
        }
        // Dropped: wait on for what is left of the time-out.
        channel_->SetEmpty(id_);
    }
}

int ClientInstance::GetMessage(char* service, char* message, uint32_t* capacity) {
    DllLogger& log = Log();
    if (service == nullptr || message == nullptr || capacity == nullptr) {
        log.Logf(id_, "-- ERROR -- |DLLGET| Reception inacceptable (%p / %p / %p)", static_cast<void*>(service),
                 static_cast<void*>(message), static_cast<void*>(capacity));
        return 2;
    }
    BusyScope busy(*this, "DLLGET");
    if (!busy.taken) return 5;

    std::string text;
    bool fromHeld = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (book_.HoldsAny()) {
            text = book_.Front();
            fromHeld = true;
        }
    }
    if (!fromHeld) {
        if (!channel_ || !process_.IsRunning(0)) {
            log.Log(id_, "-- ERROR -- |DLLGET| Process client arrete");
            return 1;
        }
        ReadResult read = channel_->Read(false, &text, 1, id_);
        if (read.status < 0) {
            log.Log(id_, "-- ERROR -- |DLLGET| Lecture en erreur");
            return 8;
        }
        bool dropped = false;
        if (read.status == 1) {
            // Late answers and acknowledgements are no messages for the cash
            // register.
            std::lock_guard<std::mutex> guard(lock_);
            const RequestBook::Kind kind = book_.Sort(text);
            dropped = kind == RequestBook::Kind::Late || kind == RequestBook::Kind::Bare ||
                      kind == RequestBook::Kind::Empty;
            if (kind == RequestBook::Kind::Late) book_.DropLate(text, "DLLGET");
            if (kind == RequestBook::Kind::Bare) book_.DropStaleAcknowledgement(text, "DLLGET");
            if (dropped) channel_->SetEmpty(id_);
        }
        if (read.status == 0 || dropped) {
            log.Log(id_, "** INFO **  |DLLGET| Aucun message recu");
            return 7;
        }
    }
    // The terminator counts: the message and its NUL must fit the capacity.
    if (text.size() >= *capacity) {
        log.Logf(id_, "-- ERROR -- |DLLGET| Zone de reception trop petite (%zu / %u)", text.size(), *capacity);
        return 2;  // the message stays where it was
    }
    std::string sv, cd;
    book_.FieldsOf(text, &sv, &cd);  // reads only the instance id, set once
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (fromHeld)
            book_.PopFront();
        else
            book_.HandedOver(text);
    }
    std::memcpy(service, sv.data(), sv.size());
    service[sv.size()] = '\0';
    std::memcpy(message, text.data(), text.size());
    message[text.size()] = '\0';
    *capacity = static_cast<uint32_t>(text.size());
    // A held message was already taken out of the mailbox: marking the
    // mailbox empty again would lose a message written since.
    if (!fromHeld) channel_->SetEmpty(id_);
    return 0;
}

void ClientInstance::BeginClose() {
    DllLogger& log = Log();
    {
        // Calls in progress see this at their next test and return; calls
        // waiting for the busy flag give up.
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
    }
    busyCondition_.notify_all();
    // A call asleep on the mailbox looks at once.
    if (channel_) channel_->WakeReaders();
    closeTaken_ = TakeBusy(busyTimeoutMs_, true);
    if (!closeTaken_) {
        log.Log(id_, "-- ERROR -- |DLLCLO| Mutex non obtenu");
        return;
    }
    if (process_.started() && process_.IsRunning(0)) {
        // Nobody will take what is held any more; the stop request is sent in
        // every case so that the program ends cleanly.
        {
            std::lock_guard<std::mutex> guard(lock_);
            book_.ClearHeld();
        }
        std::vector<char> stop(kMessageBufferSize, '\0');
        TagWriter writer;
        writer.SetInstanceId(id_);
        if (writer.WriteInit(stop.data(), static_cast<uint32_t>(stop.size()), true) == 1 &&
            writer.SetStringVal("SV", "s3") == 1 && writer.SetStringVal("CD", "c99") == 1)
            SendLocked("s3", stop.data(), static_cast<uint32_t>(stop.size()), true);
        log.Log(id_, "_SZelApiClose_");
    }
}

void ClientInstance::FinishClose() {
    if (!closeTaken_) return;
    process_.Release(g_stopGraceMs.load());
    // Once the program has ended: this side is then the last user of the
    // event and the block, and removes them.
    event_.Release();
    if (channel_) {
        channel_->Close(id_);
        channel_.reset();
    }
    ReleaseBusy();
    Log().Log(id_, "################################ CLIENT ARRETE  ################################");
}

InstanceTable& InstanceTable::Get() {
    // Never destroyed: instances still open at exit must not be torn down
    // after the log they write to.
    static InstanceTable* table = new InstanceTable();
    return *table;
}

std::shared_ptr<ClientInstance> InstanceTable::CreateLocked(uint32_t posNumber) {
    uint32_t id = 1;
    for (;; ++id) {
        bool used = false;
        for (const Entry& e : entries_) used = used || e.id == id;
        if (!used) break;
    }
    std::shared_ptr<ClientInstance> instance;
    try {
        instance = std::make_shared<ClientInstance>(id);
        entries_.push_back(Entry{id, posNumber, instance, false});
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return instance;
}

void InstanceTable::Remove(uint32_t instanceId) {
    std::shared_ptr<ClientInstance> keep;  // destroyed outside the list lock
    std::lock_guard<std::mutex> guard(listMutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->id == instanceId) {
            keep = std::move(it->instance);
            entries_.erase(it);
            break;
        }
    }
}

int InstanceTable::Open(uint32_t* instanceId, const OpenArguments& args) {
    DllLogger& log = Log();
    log.SetEnabled(args.logSwitch);
    if (args.logSizeKb > 2048) log.SetMaxSizeKb(static_cast<int32_t>(args.logSizeKb));
    log.SetDirectory(LogDirectoryOf(args.logFileName));

    std::lock_guard<std::mutex> table(tableMutex_);
    if (Count() >= kMaxInstances) {
        log.Logf(0, "-- ERROR -- |DLLOPN| Nombre maximal d'instance (%u) atteint", static_cast<unsigned>(kMaxInstances));
        return 8;
    }
    if (args.posNumber < 1 || args.posNumber > 999) {
        log.Logf(0, "-- ERROR -- |DLLOPN| Numero de caisse (%u) inacceptable", args.posNumber);
        return 8;
    }
    if (instanceId == nullptr) {
        log.Log(0, "!! FATAL !! |DLLOPN| Adresse de l'identifiant d'instance inconnue");
        return 1;
    }
    *instanceId = 0;
    std::shared_ptr<ClientInstance> instance;
    {
        std::lock_guard<std::mutex> guard(listMutex_);
        instance = CreateLocked(args.posNumber);
    }
    if (!instance) {
        log.Log(0, "newInstance error");
        return 8;
    }
    // The instance's address in upper-case hexadecimal (the whole of it).
    log.Logf(0, "newInstance %" PRIXPTR, reinterpret_cast<uintptr_t>(instance.get()));
    const int result = instance->Open(args);
    if (result != 0) {
        // A failed opening leaves nothing behind in the table.
        Remove(instance->id());
        return result;
    }
    {
        std::lock_guard<std::mutex> guard(listMutex_);
        defaultId_ = instance->id();
        defaultSet_ = true;
    }
    *instanceId = instance->id();
    return 0;
}

int InstanceTable::Close(uint32_t instanceId) {
    DllLogger& log = Log();
    log.Log(0, "_SZelApiClose_");
    std::shared_ptr<ClientInstance> instance;
    {
        std::lock_guard<std::mutex> guard(listMutex_);
        for (Entry& e : entries_) {
            if (e.id == instanceId && !e.closing) {
                instance = e.instance;
                e.closing = true;  // no new look-up finds it from now on
                break;
            }
        }
    }
    if (!instance) {
        log.Logf(0, "-- ERROR -- |DLLCLO| Numero d'instance (%u) inacceptable", instanceId);
        return 8;
    }
    log.Logf(instanceId, "Instance a arreter: %X", instanceId);
    log.Log(instanceId, "_SZelApiClose_");
    {
        // The stop request goes out under the table mutex, so that no opening
        // of the same POS number clears the mailboxes or starts a program in
        // between; the wait for the program to end does not hold it.
        std::lock_guard<std::mutex> table(tableMutex_);
        instance->BeginClose();
    }
    instance->FinishClose();
    Remove(instanceId);
    return 0;
}

std::shared_ptr<ClientInstance> InstanceTable::Find(uint32_t instanceId) {
    std::lock_guard<std::mutex> guard(listMutex_);
    for (const Entry& e : entries_)
        if (e.id == instanceId && !e.closing) return e.instance;
    return nullptr;
}

std::shared_ptr<ClientInstance> InstanceTable::Default() {
    std::lock_guard<std::mutex> guard(listMutex_);
    if (!defaultSet_) {
        if (entries_.size() >= kMaxInstances) return nullptr;
        std::shared_ptr<ClientInstance> instance = CreateLocked(1);
        if (!instance) return nullptr;
        defaultId_ = instance->id();
        defaultSet_ = true;
        return instance;
    }
    for (const Entry& e : entries_)
        if (e.id == defaultId_ && !e.closing) return e.instance;
    return nullptr;
}

uint32_t InstanceTable::PosNumberOf(uint32_t instanceId) {
    if (instanceId == 0) return 0;
    std::lock_guard<std::mutex> guard(listMutex_);
    for (const Entry& e : entries_)
        if (e.id == instanceId) return e.instance ? e.instance->posNumber() : 0;
    return 0;
}

size_t InstanceTable::Count() {
    std::lock_guard<std::mutex> guard(listMutex_);
    return entries_.size();
}

uint32_t PosNumberOfInstance(uint32_t instanceId) { return InstanceTable::Get().PosNumberOf(instanceId); }

}  // namespace znpdll
