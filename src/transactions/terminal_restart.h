// Restart of the payment terminal after an abort, its reboot on request
// (login, logoff, maintenance, pad service), and the reboot kind of a
// request.
#pragma once

// Reboot kinds of the transaction record and their control codes.
constexpr int kRebootNone = 0;
constexpr int kRebootSoft = 1;  // "9001"
constexpr int kRebootHard = 2;  // "9002"
constexpr int kRebootRuda = 3;  // "9003"
// Hard reboots that came back too fast are sent again at most this often;
// failed attempts after the first such retry count too.
constexpr int kHardRebootRetriesMax = 15;

// Restarts the terminal with a reset code when it was engaged (or the POS
// dialogues run on it); mode 1 or 2 expect it to come back. 0 done or not
// needed, 18 when the request or the restart failed, or the RUDA reset's
// result.
int RestartTerminal(const char* code, int mode);
// Reboots the terminal with the record's reboot kind: 0 when it answers its
// information request afterwards, else the failing status.
int RebootTerminal();
// The reboot kind from the request's TM16 or the option
// LoginLogoffRebootLevel: 1 when TM16 was present and not 0, else 0.
int SetRebootKindFromRequest();
// Reads terminal events of a function in 200 ms slices until an 'A' comes
// (true), limitMs has passed, or, with stopOnFailure, a slice ends without
// an event.
bool WaitTerminalAnswerEvent(int function, int limitMs, bool stopOnFailure);
