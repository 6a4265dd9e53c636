// Maintenance (state 10) and terminal-service (state 50) states, the
// polling of the cash register during them, the maintenance indicator file
// and the terminal wait callback.
//
// The maintenance state runs its steps; the server exchange of a
// maintenance is built (see transactions/maintenance.h). Least behaviour for
// the rest: no terminal is configured, so the terminal-service state takes
// the request (acknowledgement "0") and ends it with result "32"; during a
// working state the cash register's flash information goes to the server
// and every other request is refused ('3' unusable, '5' wrong moment).
#pragma once

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
// With the option WaitForPinpad 1, creates (1) or deletes (0) the file
// "WOUT/update.tmp" of the current directory; 0, or 1 when the creation
// failed. Otherwise nothing, 0.
int SetMaintenanceIndicator(int flag);
// The wait callback the terminal layers call with the 130-byte echo text.
void WaitCallback(char* echo);
