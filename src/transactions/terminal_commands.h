// The terminal command layer: one operation per terminal command. Each adds
// its command to the terminal script, sends the script, reads the answer and
// clears the script, tracing a failing step under the command's category.
// Statuses are the PV_ codes of the script engine and are returned unchanged
// (a caller that reports a failed link as PV_PER_ACCES maps it itself).
// Terminal functions: 4 the card reader, 1 the printer, 0 the display.
#pragma once
#include <cstddef>
#include <cstdint>

// Terminal models named by the terminal information (`terminalModel`).
constexpr int kModelLR510 = 640;
constexpr int kModelLR531 = 671;

struct CardReadRecord;

// Card-status command 100 on the card reader with the card-read record
// (its mode selects the action). 0 (PV_NOT_YET and PV_CMD_NOTHING count as
// 0), else the status; the script stays after a success.
int TermCardStatus(CardReadRecord* record);
// Starts (mode 1, or 4 for a contactless-only reader with the key abort
// armed) or stops (mode 0, or 8) the watch of the card; nothing is sent and
// 0 returned for a contactless-only reader without the key abort. Off
// clears the script after a success.
int TermCardStatusOn(CardReadRecord* record);
int TermCardStatusOff(CardReadRecord* record);
// Abort command 14; with wait >= 1 a second answer is awaited briefly.
int TermAbort(int wait);
// Prints one line on the terminal printer (command 13, kind 1).
int TermPrintLine(const char* text, int length);
// Printer status command 15: the status of the read.
int TermGetPrintStatus(int value);
// Reset command 152: kind 0 soft, 1 hard, and the option byte. The serial
// number of the answer is kept in the transaction record.
int TermResetDevice(int kind, int option);

// The terminal's serial number in the transaction record: at most 36
// characters.
constexpr size_t kSerialNumberMax = 36;
// True when the record holds a serial number that is not made only of '0'.
bool TerminalSerialNumberKnown();
// Keeps a serial number the terminal gave (one shorter than 12 characters
// padded with '0' to 12); an empty one or one made only of '0' is ignored.
void KeepTerminalSerialNumber(const char* serial);
// Reads the terminal serial number into the transaction record: asked of
// the card reader, then the display, then the cheque reader (an answer made
// only of '0' counts as none); none gives 36 '0' characters. 0.
int GetTerminalSerialNumber();
// Powers the card reader on (1) or off (0): command 159.
int TermPowerCardReader(int on);
// Application selection command 101: set and send only (the answer is read by
// TermSelectAidResult, which clears the script).
int TermSelectAid();
int TermSelectAidResult();
// Opens the contactless reader (command 130) when contactless payments are
// allowed on a RUDA terminal; else 0 at once.
int TermOpenInitCtl();
// Starts a contactless transaction (command 131) and waits for its answer.
int TermStartContactless();
// Cancels the contactless transaction (command 132); clear: clear the
// script at the end.
int TermCancelContactless(int clear);
// Terminal identification (command 93) into the transaction record's
// terminalInfo. force: ask even when the identifier is known; ctlsRetry: ask
// once more when contactless payments are allowed. 0, or -1 on failure.
int TermGetInfo(int force, int ctlsRetry);
// Barcode command 178 with its three values: set and send only.
int TermBarcodeCommand(int a, int b, int c);
// Room of a barcode buffer: a barcode of 5000 bytes and its NUL.
constexpr int kTermBarcodeBufferSize = 5001;
// Reads the barcode answer into buffer (kTermBarcodeBufferSize bytes,
// cleared first); with wait 0 the read is short. The status (1 without a
// buffer); no clear.
int TermReadBarcode(char* buffer, int wait);
// Stops the barcode reader; clears the script in all cases.
int TermStopBarcodeReader();
// 0 when the option ActivateRemovalDetection is off, else the result of the
// card-status command in removal-detection mode.
int TermStartRemovalDetection();
// Looks whether a card is already in the reader: 1 none, 0 one is there.
int TermDetectCardPresent(CardReadRecord* record);
// The card-read answer of an operation (100 or 131) of the card reader:
// the status of the read (PV_NOT_YET '@' and PV_CMD_NOTHING 'a' included).
int TermGetCardResult(int command);
// Sets the context's transaction type from the request's CD; 1 when the
// type is set.
int SetTransactionTypeFromCommand();
// Terminal reset after a transaction: code "9001" soft, "9002" hard; wait
// is the abort's wait flag. 0, or 1 when the reset failed.
int TermReset(const char* code, int wait);
// Checks the terminal socket by sending one byte: 1 the link is up, 0 not.
int TermCheckSocket();
// After a failed terminal command (status in the record's terminal error):
// searches, reboots or purges the terminal link, and updates that status.
void RecoverTerminalCommunication();

// Waits for the terminal to connect to the program (server mode, TCP or
// TLS) when the option WaitForPinpad is set; reuse: keep the listening
// socket of a previous wait. 0 connected or not configured, 80 stopped by
// the cash register, -1 on any set-up, socket or TLS failure.
int RUDA_WaitFor103(int reuse);

// Card-reading bypass of the request's CD.
void CheckAciBypassCommand(const char* cd);
