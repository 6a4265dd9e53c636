// Polling of the cash register during the terminal waits: the wait callback
// that the terminal layers call with the echo they just read, the poll of
// the cash register and of the pad keys, the mirror of the terminal's
// display and keep-alive to the cash register (option -e), and the opening
// of the program's hidden service menu (key 'C' on the pad).
#pragma once

// Size of the echo text of a terminal wait.
constexpr int kTerminalEchoSize = 130;
// Display lines of the echo screen, and the bytes of one line (escape, 'P',
// two position bytes, at most 20 characters, and the terminator).
constexpr int kEchoScreenLines = 10;
constexpr int kEchoLineSize = 25;

// Called by the terminal waits with the 130-byte echo text (or null). Puts
// 'S' into its first byte to give up the wait.
void WaitCallback(char* text);
// 0 nothing to do; 1 a request that is not served here; -2 abort (cash
// register or server); -3 close the program; -4 a hidden-menu choice
// replaced the transaction; -5 abort by the pad key 'A'; -6 abort of the
// cash register without terminal reset.
int PollDuringWait();

// Echo screen: cleared at session opening; at each transaction start with
// the number of display lines of the terminal.
void EchoScreenClear();
void EchoScreenReset(int displayLines);
int EchoScreenDisplayLines();

// The terminal's event wait (EPAP_WaitEvent) as the echo wait and the card
// watch of the POS dialogues call it: 0 an event came (its letter first in
// event), else the wait's status. Tests put a scripted terminal in its place
// until a terminal simulator drives the real one; null puts it back.
using TerminalEventWaitFn = int (*)(int function, int waitMs, char* event);
void SetTerminalEventWait(TerminalEventWaitFn wait);
int WaitTerminalEvent(int function, int waitMs, char* event);
