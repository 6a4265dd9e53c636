// Wake words: a counter in memory shared between processes that a writer
// bumps after each change it makes, and on which the other side sleeps
// (futex) instead of polling. A count of the sleepers lets a bump with
// nobody asleep go without a system call.
//
// The protocol of a waiter: take Snapshot(), look at what it waits for, and
// only when it is not there yet call Wait() with that snapshot. A change made
// (and bumped) after the snapshot ends the wait at once, so no wake-up is
// lost between the look and the sleep.
//
// The wake signal, whose handler InstallWakeSignal() installs, ends a wait on
// the word registered with SetSignalWakeWord(): the handler bumps that word,
// so the wait ends whether the signal comes during it or between the
// snapshot and the sleep.
#pragma once
#include <cstdint>

namespace plat {

struct WakeWord {
    uint32_t sequence;  // bumped after every change
    uint32_t sleepers;  // waiters between Snapshot() and the end of Wait()
};

// Registers the caller as a waiter and returns the sequence to wait on. Every
// Snapshot() is followed by exactly one Wait() or Cancel().
uint32_t Snapshot(WakeWord& word);
// Sleeps until the sequence differs from `seen`, a signal comes or timeoutMs
// (real milliseconds; 0 does not sleep, negative has no limit) passes; ends
// the waiter's registration. True when the sequence moved. On a replaced
// clock (tests) it sleeps timeoutMs on that clock instead.
bool Wait(WakeWord& word, uint32_t seen, int64_t timeoutMs);
// Ends the registration of a waiter that found what it waited for.
void Cancel(WakeWord& word);
// Bumps the sequence (after the change it announces has been made) and wakes
// every sleeper.
void Bump(WakeWord& word);
// Reads the sequence (tests, diagnostics).
uint32_t SequenceOf(const WakeWord& word);
uint32_t SleepersOf(const WakeWord& word);

// The signal used to end waits (a real-time signal), its handler installed
// and the signal unblocked in the calling thread; the number of the signal,
// or -1.
int InstallWakeSignal();
// The word the wake signal's handler bumps (null: none).
void SetSignalWakeWord(WakeWord* word);

}  // namespace plat
