// Maintenance (state 10) and terminal-service (state 50) states and the
// polling of the cash register during them.
//
// During a working state the cash register's flash information goes to the
// server, an abort ends the transaction (or is refused with '6' while aborts
// are inhibited), a close request ends the program, a request with CD "c1i"
// replaces the running transaction, and every other request is refused ('3'
// unusable, '5' wrong moment).
#pragma once
#include "transactions/wait_callback.h"

int RunMaintenanceState();
int RunTerminalServiceState();
// Alert check, one POS poll step with the request it brings, time check.
// 0 go on; -1 no context, alert stop or unexpected result (RS "99"); -2
// aborted; -4 time allotted ran out (RS "30"); -6 POS link failure (RS
// "38").
int PollPosDuringTransaction();
// The request read during a working state: -1 no context, 0 handled, -2
// aborted or replaced.
int DealPosDuringTransaction();
// An abort (abortCode 1) or stop (2) of the cash register that a wait saw
// and left to be carried out is served as the request itself would be: 0
// nothing kept, or the abort refused ('6') or forwarded (PN40); -2 aborted;
// a stop ends the program.
int ServeKeptAbort();
