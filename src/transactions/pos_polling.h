// The cash register served while a transaction works (a working state of
// the main loop, or a wait of the payment logic): its flash information goes
// to the server, an abort ends the transaction (or is refused with '6' while
// aborts are inhibited), a close request ends the program, a request with CD
// "c1i" replaces the running transaction, and every other request is refused
// ('3' unusable, '5' wrong moment).
#pragma once

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
// The close asked by the cash register: no terminal wait callback any more,
// "ConnectedMode" 0 and the server connection closed (with its closing
// message), the transaction aborted (terminal reset "9001") unless it was
// already, the terminal's serial ports closed when asked and "WaitForPinpad"
// is 0, the trace line (none for null), the acknowledgement '0', then the
// end of the run through the program (EndProgram): its shutdown, exit code
// 0.
[[noreturn]] void CloseClient(const char* traceLine, bool closePorts);
