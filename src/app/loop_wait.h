// The main loop's wait between two passes: instead of a fixed sleep, the loop
// sleeps until the next pass has something to do (a message of the cash
// register, a due timer of the idle pass, the end of the host) and does not
// sleep at all between states that follow each other at once, nor after a
// working pass that moved the transaction on to its next step.
#pragma once
#include <cstdint>

struct EFTCBox;
struct TransactionRecord;

// Longest sleep of the idle state when nothing else is due: the safety net of
// the host watch (its end also wakes the loop at once) and of anything timed
// that the idle pass does not announce.
constexpr int64_t kIdleHeartbeatMs = 1000;
// The sleep of a pass in the working states and the poll period of a cash
// register that does not wake the program.
constexpr int64_t kPassSleepMs = 1;

// Where a pass found the loop: its state, and the transaction's step and
// processing mode. A working pass that left them elsewhere moved the work
// on, and the next pass has something to do at once.
struct PassMark {
    int state = 0;
    int step = 0;
    int processingMode = 0;
    bool operator==(const PassMark&) const = default;
};
PassMark MarkOfPass(const EFTCBox* context, const TransactionRecord* record);

// How long the loop may sleep after a pass: 0 not at all (the next state runs
// at once, or the working pass that started at `before` moved the work on),
// kPassSleepMs between passes that poll, up to kIdleHeartbeatMs in the idle
// state when the cash register wakes the program. Without `before` every
// working pass counts as one that waits.
int64_t NextPassDelayMs(const EFTCBox* context, const TransactionRecord* record, const PassMark* before = nullptr);

// Sleeps for at most NextPassDelayMs(), ending early when a message of the
// cash register comes or the host ends.
void WaitForNextPass(const PassMark& before);
