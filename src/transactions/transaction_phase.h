// Main-loop state 40: the card or cheque transaction.
// Least behaviour for now: no terminal is configured, so the transaction
// takes the request (acknowledgement "0") and ends with result "32".
#pragma once

int RunTransactionPhase();
