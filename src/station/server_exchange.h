// The server exchange step (send the pending server request with its context
// tags, take at most one message back and route it by its type, trace its
// name, supervise the terminal sockets of a relay, keep the maintenance
// indicator file) and the routines every wait of the program calls once per
// pass: the POS poll step, the alert and time-out checks and the completion
// of a flash information.
#pragma once

struct EFTCBox;

// Messages without content in a row after which the link counts as lost.
constexpr int kEmptyPollLimit = 750;
// Receive time-out of one step, in milliseconds.
constexpr int kServerStepTimeOutMs = 200;

// One exchange: -1 failure (the link is lost, or the request could not be
// completed or sent: it is then left as it was); otherwise the sum of 1
// (request sent), +10 (relay, flash information, interface message, file
// transfer), +20 (transaction answer, in serverAnswer), +30 (maintenance
// answer, in serverAnswer), or 80 (terminal reset during a relay).
int TOC_ServerExchangeStep(EFTCBox* context);
// A flash information (SV "s11") of the cash register for the server: it
// takes the server request buffer with the type "1410" when that buffer is
// free and the server connected; otherwise it waits apart (the buffer holds
// the transaction's request) for the next exchange.
void TOC_TakePosFlash(EFTCBox* context, const char* request);
// Sends the flash information that waits apart, when the server is
// connected: 1 sent, 0 nothing to send, -1 failure (it is dropped). The
// server request buffer and the message type are left as they were.
int TOC_SendPendingPosFlash(EFTCBox* context);
// Consecutive polls without a message (tests preset it).
int TOC_GetEmptyPollCount();
void TOC_SetEmptyPollCount(int count);

// Writes the answer waiting in posAnswer, then reads at most one request into
// posRequest, or takes the one-shot request. -1 failure; 0 nothing; 1 answer
// written; 10 request taken; 11 both.
int ZelDiaPoll(EFTCBox* context);
// -1 no context or box, or a fatal alert (after 5 s; the main loop ends);
// 1 otherwise (a bug, or a warning at debug level 2 or more, waits 5 s).
int EFTOC_CheckAlert(EFTCBox* context);
// 1 when the context timer has expired, else 0.
int EFTOC_CheckTimeout(EFTCBox* context);
// Completes the flash information just copied into posAnswer: card fields
// of a "fgs" flash when asked, reset flag and D16, VWAY, D3E.
void TOC_CompleteFlashInfo();

// Traces the name of a four-character server message type; the body (or
// null) tells begin from end for 9996 and 9995 by its eighth character.
void LogServerMessageType(const char* type, const char* body);
// Supervision of the terminal sockets on the status character of a relayed
// terminal answer; adds 10 to the result when it cuts a socket. No terminal
// socket exists yet: nothing is done.
void SuperviseSockets(int status, int* watchState, int* result);
// With the option WaitForPinpad 1, creates (1) or deletes (0) the file
// "WOUT/update.tmp" of the current directory; 0, or 1 when the creation
// failed. Otherwise nothing, 0.
int SetMaintenanceIndicator(int flag);
