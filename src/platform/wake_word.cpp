// Wake words over futexes. The words live in memory shared between processes
// (MAP_SHARED), so the futex calls are the shared kind (no FUTEX_PRIVATE_FLAG),
// which the kernel keys by the object and offset: each process may map the
// block at its own address.
#include "platform/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <mutex>

#include "platform/clock.h"

namespace plat {
namespace {

std::atomic_ref<uint32_t> Sequence(WakeWord& word) { return std::atomic_ref<uint32_t>(word.sequence); }
std::atomic_ref<uint32_t> Sleepers(WakeWord& word) { return std::atomic_ref<uint32_t>(word.sleepers); }

long Futex(uint32_t* address, int op, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, address, op, value, timeout, nullptr, 0);
}

std::atomic<WakeWord*> g_signalWord{nullptr};
std::once_flag g_signalInstalled;
int g_wakeSignal = -1;

void OnWakeSignal(int) {
    const int saved = errno;
    // Lock-free atomics and the futex call are safe in a handler.
    if (WakeWord* word = g_signalWord.load(std::memory_order_acquire)) Bump(*word);
    errno = saved;
}

}  // namespace

uint32_t Snapshot(WakeWord& word) {
    Sleepers(word).fetch_add(1, std::memory_order_seq_cst);
    return Sequence(word).load(std::memory_order_seq_cst);
}

void Cancel(WakeWord& word) { Sleepers(word).fetch_sub(1, std::memory_order_seq_cst); }

bool Wait(WakeWord& word, uint32_t seen, int64_t timeoutMs) {
    if (ClockReplaced()) {
        if (timeoutMs > 0) SleepMs(timeoutMs);
    } else if (timeoutMs != 0 && Sequence(word).load(std::memory_order_acquire) == seen) {
        timespec limit{};
        if (timeoutMs > 0) {
            limit.tv_sec = static_cast<time_t>(timeoutMs / 1000);
            limit.tv_nsec = static_cast<long>((timeoutMs % 1000) * 1000000);
        }
        // Returns at once when the sequence already moved (EAGAIN); EINTR for
        // a signal, ETIMEDOUT at the limit: the caller looks again anyway.
        Futex(&word.sequence, FUTEX_WAIT, seen, timeoutMs > 0 ? &limit : nullptr);
    }
    Cancel(word);
    return Sequence(word).load(std::memory_order_acquire) != seen;
}

void Bump(WakeWord& word) {
    Sequence(word).fetch_add(1, std::memory_order_seq_cst);
    if (Sleepers(word).load(std::memory_order_seq_cst) != 0) Futex(&word.sequence, FUTEX_WAKE, INT_MAX, nullptr);
}

uint32_t SequenceOf(const WakeWord& word) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(word.sequence)).load(std::memory_order_acquire);
}

uint32_t SleepersOf(const WakeWord& word) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(word.sleepers)).load(std::memory_order_acquire);
}

int InstallWakeSignal() {
    std::call_once(g_signalInstalled, [] {
        const int sig = SIGRTMIN + 3;
        struct sigaction sa {};
        sa.sa_handler = OnWakeSignal;
        // Restarted calls are fine: a futex wait that is restarted sees the
        // bumped word and returns, and other calls see no EINTR.
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        if (sig <= SIGRTMAX && sigaction(sig, &sa, nullptr) == 0) {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, sig);
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            g_wakeSignal = sig;
        }
    });
    return g_wakeSignal;
}

void SetSignalWakeWord(WakeWord* word) { g_signalWord.store(word, std::memory_order_release); }

}  // namespace plat
