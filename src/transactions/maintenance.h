// Step handlers of the maintenance state (main-loop state 10): options
// update, maintenance exchange with the server, software upload, end of the
// maintenance.
//
// What concerns the server is built: the request goes to the server of the
// current resource, its answer comes back to the cash register, the
// automatic maintenance's UploadNeeded follows the server's result; the
// options read (c42) and update (c43) answer without the server. Least
// behaviour where a terminal is concerned: no terminal is driven, so the
// terminal maintenance group ("c1c", "c4a", "c1d", "c1e", "c1f") and a
// reboot end with result "32" (terminal unreachable), and no terminal
// information, serial number or reboot tag is added to the request.
#pragma once

// Step 0: title, copy of the POS request into the server request,
// acknowledgement "0"; "c42"/"c43" read or update the options and go to step
// 10, the others to step 1. 0.
int UpdateTerminalOptions();
// Step 1: connects the server (step 3), or ends with "31" (no server) or
// "32" (terminal unreachable) at step 10. 0, or the terminal error.
int MaintenanceWithForcedReboot();
// Step 3: the server exchange (result "01" on an answer), then the close of
// the connection; step 10. 0.
int UploadTerminalSoftware();
// Step 10: the server's answer goes to the cash register, then the end of
// the transaction. The result of EFT_FINISHStandard, or 0 after an abort
// answer.
int EndMaintenance();
// Pad reset at the end of a card transaction or service: ejects a cheque,
// resets an engaged terminal ("9001") and clears the transaction; the loop
// goes back to idle. mode: 0 in every call.
void ResetPad(int mode);
