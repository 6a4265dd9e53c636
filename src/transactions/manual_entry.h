// Manual card and cheque entry of the hidden service menu, the cheque
// ejection and the message pages of the terminal (HTML display helpers).
//
// Least behaviour for now: no terminal is driven; an entry is abandoned (1),
// no cheque is ejected and no page is shown (-1, or 1 for a page of text).
#pragma once

// Card number then expiry (MMYY) on zone "P5": 0 entered, else abandoned.
int EnterCardManually();
// Cheque number, bank code and account on zone "P5": 0 entered, else
// abandoned.
int EnterChequeManually();
void EjectCheque();
// Shows a message page ("talvo/xxdmess.html") with a text id and a type
// ("error", "wait"): 0 shown, else a failure.
int HTML_DisplayMessage(const char* page, const char* textId, const char* type);
// Shows a message page with a type and a text as it is: 0 shown, 1 not.
int HTML_ShowMessagePage(const char* page, const char* type, const char* text);
