// The trace line of a program stopped by a signal (a newer start of the same
// program file, or the operator): written from the signal handler itself,
// with async-signal-safe calls only, into the program's trace file (or onto
// its standard error when it has none yet), before the handler gives up the
// program's named objects and ends it with exit code 0.
#pragma once
#include <cstdint>

struct EFTCBox;

// Installs the line as the notice of the SIGTERM handler. guardPid is the
// process id recorded in the single-instance block (the newest start of this
// program file), read when the signal comes: a sender that holds it is a
// newer instance; null when there is none.
void ArmStopNotice(const int32_t* guardPid);
// From the session on, the line goes into the trace file of the context's
// trace zone, and not at all with debug level 0.
void StopNoticeUseSession(const EFTCBox* context);
// Keeps the local time offset of the line's stamp up to date (looks at most
// once a minute); called from the main loop.
void StopNoticeRefreshClock();
