// Search of the payment terminal when it does not answer on its link: on
// the other serial ports and at other line speeds.
// Least behaviour for now: the search is not built, nothing is found.
#pragma once

// > 0 the terminal was found, 0 not found, -1 without the terminal resource.
int FindTerminalComPort();
// 1 found, 0 off or not found, -1 without resource or parameter.
int FindTerminalSpeed();
