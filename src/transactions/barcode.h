// Idle behaviour: barcode reading on the terminal (main-loop state 150).
// Least behaviour for now: no terminal, so nothing is ever read.
#pragma once
// The barcode commands themselves (TermReadBarcode, TermStopBarcodeReader).
#include "transactions/terminal_commands.h"

int BarcodeStep();
