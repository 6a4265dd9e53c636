// Idle behaviour: barcode reading on the terminal (main-loop state 150).
// Least behaviour for now: no terminal, so nothing is ever read.
#pragma once

int BarcodeStep();
// Status of the read (64 and 34: nothing yet).
int TermReadBarcode(char* buffer, int flag);
int TermStopBarcodeReader();
