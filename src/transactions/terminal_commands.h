// Terminal commands the application core calls outside a transaction.
// Least behaviour for now: no terminal is configured.
#pragma once

// 0 at once when the option WaitForPinpad is 0; otherwise waits for the
// terminal to connect in server mode (negative: failed; with no terminal
// configured it always fails).
int RUDA_WaitFor103(int flag);
int TermOpenInitCtl();
// Shows the holder wait screen of a text id on the terminal; 0 when shown,
// else a PV_ status (no terminal is driven yet: PV_PER_ACCES).
int TermShowHolderWait(const char* textId);
// 0 when done, -1 on failure.
int TermGetInfo(int flag, int mode);
int TermPowerCardReader(int on);
// Card-reading bypass of the request's CD.
void CheckAciBypassCommand(const char* cd);

struct CardReadRecord;
// Card-status command (100) on the terminal with a card reading record whose
// mode selects the action (2 = start card-removal detection): the script
// result (no terminal is driven yet: PV_PER_ACCES).
int TermCardStatus(CardReadRecord* record);
// Card-status command 100 that starts (mode 1) or stops (mode 0) the watch of
// the card; Off clears the terminal script after a success. The script
// result (no terminal is driven yet: PV_PER_ACCES).
int TermCardStatusOn(CardReadRecord* record);
int TermCardStatusOff(CardReadRecord* record);
// The card-reading result of terminal function 4 for a command: the
// terminal's answer character ('@' or 'a' when the card was removed, 0 when
// nothing special). No terminal is driven yet: 0.
char TermGetCardResult(int command);
// Closes the communication trace of the resource that serves a terminal
// function (the RUDA protocol keeps its own). The log buffer of the
// terminal resource is not built yet.
void ResetPeripheralComLog(int function);
