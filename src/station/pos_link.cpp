// POS link, program side: two mailboxes in the block "SHTPIPE<station>".
#include "station/pos_link.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "core/helpers.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/shared_memory.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/process_options.h"
#include "station/program_hooks.h"

namespace {

plat::SharedMemory g_block;
plat::NamedEvent g_posEvent;
int g_openHandles = 0;
PosLinkHandle g_pairs[2] = {};
poslink::WakeArea* g_wake = nullptr;

constexpr int kDefaultWriteWaitSec = 5;
constexpr int kPaymentWriteWaitSec = 20;
constexpr int kPollMs = 10;

std::atomic_ref<char> StatusOf(char* mailbox) { return std::atomic_ref<char>(*mailbox); }

char* TextOf(char* mailbox) { return mailbox + 1; }

void SetStatus(char* mailbox, char status) { StatusOf(mailbox).store(status, std::memory_order_release); }

char GetStatus(char* mailbox) { return StatusOf(mailbox).load(std::memory_order_acquire); }

// The wake word of a mailbox of the block, or null (no wake area).
plat::WakeWord* WordOf(const char* mailbox) {
    if (g_wake == nullptr || mailbox == nullptr) return nullptr;
    const char* base = static_cast<const char*>(g_block.data());
    if (mailbox == base + poslink::kToPosMailbox) return &g_wake->toPos;
    if (mailbox == base + poslink::kFromPosMailbox) return &g_wake->fromPos;
    return nullptr;
}

// Sets a final status ('1' written, '0' taken) and wakes the other side.
void Publish(char* mailbox, char status) {
    SetStatus(mailbox, status);
    if (plat::WakeWord* word = WordOf(mailbox)) plat::Bump(*word);
}

// One slice of a wait for the mailbox's status to satisfy `done`: sleeps until
// the other side changes the mailbox or the slice (the poll period of a side
// that does not wake us) is over.
template <typename Done>
void WaitSlice(char* mailbox, int64_t sliceMs, Done done) {
    plat::WakeWord* word = WordOf(mailbox);
    if (word == nullptr) {
        plat::SleepMs(sliceMs);
        return;
    }
    const uint32_t seen = plat::Snapshot(*word);
    if (done(GetStatus(mailbox))) {
        plat::Cancel(*word);
        return;
    }
    plat::Wait(*word, seen, sliceMs);
}

// Clears the whole text area (the writer is kept out by the status byte,
// which is still '1' or already back to '0').
void ClearText(char* mailbox) { std::memset(TextOf(mailbox), 0, poslink::kTextSize); }

int64_t NowSeconds() { return plat::MonotonicMs() / 1000; }

// Waits (10 ms polls) until the mailbox's message was taken or the wait in
// whole seconds has passed: the wait is minimum seconds, or the time-out when
// it is at least that long; a negative time-out does not wait. True when taken.
bool WaitTaken(char* mailbox, int minimumSec, int timeoutSec) {
    if (GetStatus(mailbox) != poslink::kStatusPresent) return true;
    if (timeoutSec < 0) return false;
    const int wait = timeoutSec >= minimumSec ? timeoutSec : minimumSec;
    const int64_t deadline = NowSeconds() + wait;
    const auto taken = [](char status) { return status != poslink::kStatusPresent; };
    while (GetStatus(mailbox) == poslink::kStatusPresent && NowSeconds() < deadline)
        WaitSlice(mailbox, kPollMs, taken);
    return GetStatus(mailbox) != poslink::kStatusPresent;
}

int ResultCodeOf(const char* text) {
    const char* rs = std::strstr(text, "{RS}");
    if (rs == nullptr) return 10;
    char digits[3] = {rs[4], rs[4] != '\0' ? rs[5] : '\0', '\0'};
    return std::atoi(digits);
}

bool CurrentLabelIs(const char* label) {
    const EFTCBox* context = GetEftContext();
    if (context == nullptr || context->netResourceIndex < 0 ||
        context->netResourceIndex >= kNetResourceCount)
        return false;
    return WCompareString(context->netResources[context->netResourceIndex].label, label, 1) == 1;
}

// The cash register no longer reads: the program stops in order.
[[noreturn]] void StopOnDeadPos() {
    const char* line = "!!!!! Application de vente inactive: Arret du client monetique !!!!!";
    TraceLog(TRACE_ERROR, "[POS]", "%s", line);
    const EFTCBox* context = GetEftContext();
    if (context != nullptr && context->debugLevel != 0)
        LogExchange(0, line, context->exchangeLogName, context->logSizeKb);
    StopProgramOnDeadPos();
}

void CountPaymentAnswer(char* mailbox, int timeoutSec) {
    EFTCBox* context = GetEftContext();
    if (!WaitTaken(mailbox, kPaymentWriteWaitSec, timeoutSec)) {
        if (context != nullptr && context->debugLevel != 0)
            LogExchange(0, "!!!!! Application de vente pas assez rapide !!!!!",
                        context->exchangeLogName, context->logSizeKb);
        return;
    }
    int count = std::atoi(Options.NumTrsMonCaisse);
    const TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr && record->countForPos == 1) {
        ++count;
        if (count >= 10000) count = 1;
    }
    if (count < 0 || count > 9999) count = 0;
    std::snprintf(Options.NumTrsMonCaisse, sizeof Options.NumTrsMonCaisse, "%04d", count);
    WriteOption("NumTrsMonCaisse", Options.NumTrsMonCaisse);
}

}  // namespace

char ZelDiaStatus(const char* mailbox) {
    return mailbox ? GetStatus(const_cast<char*>(mailbox)) : poslink::kStatusNever;
}

int ZelDiaCreateEvent(unsigned station) {
    if (g_posEvent.isOpen()) return 1;
    char name[32];
    std::snprintf(name, sizeof name, "%s%03u", poslink::kPosMessageEventPrefix, station);
    const int opened = g_posEvent.Open(name);
    if (opened == plat::kForeignObjectErrno)
        WSysError("-- ERROR -- ZelDiaCreateEvent: evenement %s refuse (autre proprietaire ou droits autres que 0600)",
                  name);
    if (opened != 0) return -1;
    g_posEvent.Reset();
    return 1;
}

PosLinkHandle* ZelDiaOpen(int station, int direction) {
    if (direction != 0 && direction != 1) return nullptr;
    if (!g_block.isOpen()) {
        const std::string name = poslink::BlockName(station);
        // The first live user clears both mailboxes: a message left by a run
        // that crashed must never be served as a new request.
        auto clear = [](void* data, size_t size) {
            if (size >= poslink::kUsedSize) {
                char* base = static_cast<char*>(data);
                base[poslink::kToPosMailbox] = poslink::kStatusNever;
                base[poslink::kFromPosMailbox] = poslink::kStatusNever;
            }
        };
        const plat::ShmError opened =
            g_block.Open(name, poslink::kProgramBlockSize, plat::SharedMemory::Mode::OpenOrCreate, clear);
        if (opened == plat::ShmError::Foreign) {
            // Another user's block (or not private): never read nor written.
            WSysError("-- ERROR -- ZelDiaOpen: bloc partage %s refuse (autre proprietaire ou droits autres que 0600)",
                      name.c_str());
            return nullptr;
        }
        if (opened != plat::ShmError::None) {
            WSysError("-- ERROR -- ZelDiaOpen: bloc partage %s non ouvert (%d)", name.c_str(), g_block.lastErrno());
            return nullptr;
        }
        if (g_block.size() < poslink::kUsedSize) {
            g_block.Close();
            return nullptr;
        }
        char* base = static_cast<char*>(g_block.data());
        char* toPos = base + poslink::kToPosMailbox;
        char* fromPos = base + poslink::kFromPosMailbox;
        g_pairs[0] = {toPos, fromPos};
        g_pairs[1] = {fromPos, toPos};
        TextOf(toPos)[poslink::kTextSize - 1] = '\0';
        TextOf(fromPos)[poslink::kTextSize - 1] = '\0';
        g_wake = poslink::WakeAreaOf(g_block.data(), g_block.size());
        if (g_wake != nullptr) std::atomic_ref<uint32_t>(g_wake->programBumps).store(1, std::memory_order_release);
    }
    PosLinkHandle* handle = new (std::nothrow) PosLinkHandle(g_pairs[direction]);
    if (handle == nullptr) {
        if (g_openHandles == 0) g_block.Close();
        return nullptr;
    }
    ++g_openHandles;
    return handle;
}

int ZelDiaClose(PosLinkHandle* handle) {
    if (handle == nullptr) return 0;
    delete handle;
    if (g_openHandles > 0 && --g_openHandles == 0) {
        g_pairs[0] = g_pairs[1] = PosLinkHandle{};
        if (g_wake != nullptr) std::atomic_ref<uint32_t>(g_wake->programBumps).store(0, std::memory_order_release);
        g_wake = nullptr;
        g_block.Close();
    }
    return 0;
}

int ZelDiaRead(char* buffer, int size, PosLinkHandle* handle, int waitMs) {
    if (handle == nullptr || handle->readMailbox == nullptr || buffer == nullptr || size < 0) return 0;
    char* mailbox = handle->readMailbox;
    const WTimeStamp start = WGetTimeStamp();
    if (waitMs != 10) {
        const auto present = [](char status) { return status == poslink::kStatusPresent; };
        while (GetStatus(mailbox) != poslink::kStatusPresent && !WIsTimeOut(start, waitMs))
            WaitSlice(mailbox, kPollMs, present);
    }
    if (GetStatus(mailbox) != poslink::kStatusPresent) return 0;
    const size_t room = size == 0 ? poslink::kTextSize : static_cast<size_t>(size);
    const size_t limit = room < poslink::kTextSize ? room : poslink::kTextSize;
    const size_t length = strnlen(TextOf(mailbox), limit - 1);
    std::memcpy(buffer, TextOf(mailbox), length);
    buffer[length] = '\0';
    // Card data of the request must not stay in the block once it is taken.
    ClearText(mailbox);
    Publish(mailbox, poslink::kStatusTaken);
    return size == 0 ? static_cast<int>(poslink::kTextSize) : size;
}

int ZelDiaPut(const char* text, PosLinkHandle* handle) {
    if (handle == nullptr || handle->readMailbox == nullptr || text == nullptr || *text == '\0') return 0;
    const size_t length = strnlen(text, poslink::kMaxMessageChars + 1);
    if (length > poslink::kMaxMessageChars) {
        TraceLog(TRACE_ERROR, "[POS]", "Message trop long pour la boite aux lettres (%zu)", length);
        return 0;
    }
    char* mailbox = handle->readMailbox;
    SetStatus(mailbox, poslink::kStatusWriting);
    std::memcpy(TextOf(mailbox), text, length);
    TextOf(mailbox)[length] = '\0';
    Publish(mailbox, poslink::kStatusPresent);
    return 1;
}

int ZelDiaWrite(const char* text, int length, PosLinkHandle* handle, int signal, int timeoutSec) {
    if (text == nullptr || length < 0) return -1;
    if (handle == nullptr || handle->writeMailbox == nullptr) {
        // One-shot mode: the answer goes to standard output and the run ends.
        if (length == 1 && text[0] == '0') return 1;
        std::fwrite(text, 1, strnlen(text, static_cast<size_t>(length)), stdout);
        std::fflush(stdout);
        WSysError("-- ERROR -- [ZelDiaWrite] null parameter => brutal exit TRV");
        EndProcess(1);
    }
    if (static_cast<size_t>(length) > poslink::kMaxMessageChars) {
        TraceLog(TRACE_ERROR, "[POS]", "Message trop long pour la boite aux lettres (%d)", length);
        return -1;
    }
    char* mailbox = handle->writeMailbox;
    if (!WaitTaken(mailbox, kDefaultWriteWaitSec, timeoutSec)) {
        if (Options.ExitOnDeathPOS == 1) StopOnDeadPos();
        const char* line = "!!!!! Application de vente inactive !!!!!";
        TraceLog(TRACE_ERROR, "[POS]", "%s", line);
        const EFTCBox* context = GetEftContext();
        if (context != nullptr && context->debugLevel != 0)
            LogExchange(0, line, context->exchangeLogName, context->logSizeKb);
        // The message still unread (an answer, maybe) stays for the cash
        // register to take; the new one is not written and the caller is told.
        TraceLog(TRACE_ERROR, "[POS]", "Message non transmis, le precedent n'a pas ete lu (%d caracteres)", length);
        return -1;
    }
    SetStatus(mailbox, poslink::kStatusWriting);
    std::memcpy(TextOf(mailbox), text, static_cast<size_t>(length));
    TextOf(mailbox)[length] = '\0';
    Publish(mailbox, poslink::kStatusPresent);
    if (signal != 0 && g_posEvent.isOpen()) g_posEvent.Set();

    std::string copy(text, strnlen(text, static_cast<size_t>(length)));
    const int resultCode = ResultCodeOf(copy.c_str());
    const bool counted =
        (Options.NumTrsMonCaisse[0] != '\0' && ZelDiaIsPaymentCommand(copy.c_str()) == 1 &&
         resultCode < 10 && copy.find("{SV}s11") == std::string::npos) ||
        (CurrentLabelIs("LUD") && copy.find("{SV}s0{") != std::string::npos &&
         copy.find("{RS}") != std::string::npos && copy.find("{CD}c2g") == std::string::npos);
    if (counted) {
        CountPaymentAnswer(mailbox, timeoutSec);
    } else if (copy.find("{RS}33{") != std::string::npos) {
        if (!WaitTaken(mailbox, kDefaultWriteWaitSec, timeoutSec)) {
            char expected = poslink::kStatusPresent;
            if (StatusOf(mailbox).compare_exchange_strong(expected, poslink::kStatusTaken,
                                                          std::memory_order_acq_rel)) {
                ClearText(mailbox);
                if (plat::WakeWord* word = WordOf(mailbox)) plat::Bump(*word);
                TraceLog(TRACE_WARN, "[POS]", "!!!!! Suppression reponse abandon non lue !!!!!");
            }
        }
    }
    return length;
}

int ZelDiaWaitRequest(PosLinkHandle* handle, int64_t maxMs, bool (*stop)()) {
    static plat::WakeWord local{};  // no block: only the signal or the time end the wait
    char* mailbox = handle != nullptr ? handle->readMailbox : nullptr;
    plat::WakeWord* word = WordOf(mailbox);
    if (word == nullptr) word = &local;
    // Armed before anything is looked at: a message, or the signal, that comes
    // after the look ends the sleep at once.
    plat::SetSignalWakeWord(word);
    const uint32_t seen = plat::Snapshot(*word);
    const auto present = [mailbox] { return mailbox != nullptr && GetStatus(mailbox) == poslink::kStatusPresent; };
    if (!present() && !(stop != nullptr && stop()))
        plat::Wait(*word, seen, maxMs);
    else
        plat::Cancel(*word);
    plat::SetSignalWakeWord(nullptr);
    return present() ? 1 : 0;
}

int ZelDiaPeerWakes(const PosLinkHandle* handle) {
    if (handle == nullptr || g_wake == nullptr || handle->readMailbox == nullptr) return 0;
    const char* base = static_cast<const char*>(g_block.data());
    const uint32_t& flag =
        handle->readMailbox == base + poslink::kFromPosMailbox ? g_wake->clientBumps : g_wake->programBumps;
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(flag)).load(std::memory_order_acquire) == 1 ? 1 : 0;
}

int ZelDiaIsPaymentCommand(const char* text) {
    if (text == nullptr) return 0;
    static const char* const kCommands[] = {"{CD}c1{", "{CD}c2{", "{CD}c3{", "{CD}c5{", "{CD}c6{",
                                            "{CD}c7{", "{CD}c8{", "{CD}c9{", "{CD}c10{"};
    for (const char* command : kCommands)
        if (std::strstr(text, command) != nullptr) return 1;
    return 0;
}
