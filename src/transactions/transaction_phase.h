// Main-loop state 40: the card transaction, one step per pass of the main
// loop (0 start, 1 card insertion or reading, 2 wait for the terminal's
// echo, 3 authorisation, 10 end), and the steps of the card path.
#pragma once

#include <cstdint>

// The process-wide switch of the payment means (CardMode, main_loop.h):
// non-zero card, zero cheque. SecondPassState is Options.ActivateFIRAI read
// as a signed byte.
int8_t SecondPassState();

// One step of the transaction in progress. 1 when the POS poll asked to leave
// the transaction, else 0 (or the non-zero status of the paper check at the
// start).
int RunTransactionPhase();

// The paper check of a card payment's start: with "CheckPaperBeforeStartTrs"
// 1, "PosGuiOptions" 0x2000 or 0x4000 and a RUDA card reader, the printer
// status is asked (after the terminal information); an unknown status (2)
// prints a line of blanks and takes its result. A non-zero status shows the
// no-paper page, pauses 2 s and ends the request with the error answer
// (state 102): that status. 0 otherwise.
int CheckPaperBeforeStart();

// Card path steps.
void StartCardTransaction();   // step 0
void WaitCardInsertion();      // step 1
int CardTransactionStep();     // step 3
int EndCardTransaction();      // step 10; the result of EFT_FINISHStandard
// The same request again to the next server when the answer says RS "11"
// with DBW "0": 1 send again, 0 not.
int RetryOnOtherServer();

// Server forced by a file number (E7's first four characters): resource index
// (first digit), server number (second and third), D16 (fourth). 1 when the
// number is four digits, the resource below 999 is loaded and the server is
// 1 to 4; 0 otherwise (outputs cleared).
int ForceServerByFileNumber(const char* fileNumber, const char* unused, int* resourceIndex,
                            int* serverNumber, char* d16, int d16Size);

// Acknowledgement code and title of the CDs that start a card transaction:
// the payment group, the other group, or neither (code 3).
bool IsPaymentGroupCommand(const char* cd, const char* d4r);
bool IsOtherGroupCommand(const char* cd);
extern uint8_t PaymentGroupFlag;
extern uint8_t ConcurrentCheckCard;

// Echo-wait state of step 2 (tests look at it).
extern uint8_t EchoTimerArmed;
