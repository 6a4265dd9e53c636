// Hands the trace front end what it reads from the program: the exchange-log
// streams and flags of the EFT context, the manual-entry flag of the
// transaction record and the options of the context's box.
#pragma once

// Installs the binding; every value is looked up through the process-wide
// context at each use, so it stays right when the context changes or goes.
void TOC_BindTraceFront();
