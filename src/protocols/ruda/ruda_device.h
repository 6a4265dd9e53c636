// RUDA device control: resetting the terminal and reading its serial number.
#pragma once

// Operation 152 (first, second: D0 00 first second) and 102 (D0 0A first
// second with E0 { DFED0D = 07 00 }). 1 built (*apdu allocated with WAlloc),
// 0 not built.
int RUDA_BuildResetDeviceRequest(int operation, int first, int second, unsigned char** apdu, int* length);

// The answer of 152 or 102. A status word other than 9000 gives 1. With a
// serial-number buffer, the terminal's serial number 9F1E is copied over the
// buffer's current text, at most as many characters as that text has, and
// the text ends after the copy. 0 otherwise.
int RUDA_DealResetDeviceAnswer(int operation, const unsigned char* answer, int length, char* serial);
