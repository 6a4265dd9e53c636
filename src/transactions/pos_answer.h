// Answers to the cash register: the answer header, the one-character
// answer, the writer onto the POS link, the saved SV and CD of the request,
// the abort answer, and the end of a transaction.
#pragma once

// The tag writer with the version stamp (LoadTagMessage), which every
// answer starts with.
#include "core/tag_buffer.h"

// Clears the buffer and writes the stamp, SS "A", PS (the record's station),
// SV and CD. 1 when all were written, 0 otherwise.
int BuildPosAnswer(char* buffer, int size, const char* sv, const char* cd);
// Writes the single character '0' + code to the POS at once (no event).
int SendPosResult(int code);
// Writes a non-empty text to the POS; the buffer is cleared (size bytes) in
// every case. 1 when written, -1 otherwise.
int SendPosAnswer(char* text, int size, int signal, int timeoutSec);
// Keeps SV and CD of the request (10 bytes each); the length of SV, else that
// of CD. Both empty also clears the record's title id.
int SaveRequestServiceCommand(const char* sv, const char* cd);
void GetSavedRequestServiceCommand(char* sv, char* cd);
// Clears the echo screen of the terminal waits and sets its number of
// display lines (2, or the rows of window "E5" when the display terminal
// does not speak RUDA).
void ResetTransactionGlobals();
// Takes an int and does nothing.
void DoNothing(int);

// Builds and sends the abort answer (RS "33").
void BuildAbortAnswer();
// Aborts the running transaction (least behaviour: no terminal to reset).
int AbortTransaction(const char* resetCode, int mode);
// The abort without terminal reset: with mode 1 the acknowledgement '0' is
// written first; the answer and the records as AbortTransaction in mode 2.
// The purge of the terminal's echoes is not built (no terminal). 1.
int AbortTransactionWithEchoPurge(int mode);
// State 100: builds the final answer with the result code of the request and
// writes it; back to idle (103). Returns 1.
int EFT_FINISHStandard();

// Writes the card-read tags into the message being built: TC1 technology,
// TC2 origin, TC3 the event data (not for technology 5), and for a stripe
// read D6J and D6K (tracks 1 and 3) when present. 0 written; 1 not
// applicable (no card present or no valid data, an empty chip event) or a
// failed write. The card-event texts (MD906) are not kept by the card
// reading yet.
int AddCardDataTags();
// Adds MF with the terminal serial number to the message being built,
// reading it from the terminal when the record does not hold it. 0 written,
// 1 when it could not be written.
int AddSerialNumberTag();
