// Card acquisition of a card transaction: the card-read request prepared from
// the cash register's request, the readers armed on the terminal, the
// terminal's card-read answer read and judged, the candidate-list request and
// the card-removal watch after the transaction.
#pragma once

// 1 when the transaction runs in application-service (proxy) mode: the
// terminal reads no card and the server is reached directly.
int IsProxyModeActive();
// Step 0: sets readerSet and, when the request supplies the card, the
// card-read answer.
void PrepareCardReading();
// 1 when contactless may be started for this amount (amount given and below
// ClsMaximalAmount).
bool ContactlessAllowedByAmount();
// Step 1: arms the readers. 0 armed; 1 no reader allowed; the terminal
// status otherwise (33 reported as 18).
int WaitForCard();
// Asks the terminal for the card's candidate list: 0, or the failing status.
int StartCandidateListBuild();
// Read phase 2: to the server with the EMV dialogue. 0.
int CheckCandidatePhase();
// Read phases 1 and 4: reads and judges the card-read answer. 0 go on (the
// decision is in the reading phase, the card-read state and the RS); 1, 32,
// 99, 65535 or a reader status on failure.
int ReadCardResult();
int EvaluateChipResult();
int EvaluateIso2Result();
int EvaluateContactlessResult();
// After the transaction: watch the card's removal. The card-status result.
int StartCardRemovalWatch();
