// Hands the trace front end what it reads from the program: the exchange-log
// streams and flags of the EFT context, the manual-entry flag of the
// transaction record (or the wait for a secret entry's answer) and the
// options of the context's box.
#pragma once

// Installs the binding; every value is looked up through the process-wide
// context at each use, so it stays right when the context changes or goes.
void TOC_BindTraceFront();

// True while the answer of a secret zone entry is awaited: the exchange log
// then masks the entry value (EL) of what the cash register sends. The POS
// dialogue of a zone entry sets it around its wait.
bool PosSecretEntryAwaited();
void SetPosSecretEntryAwaited(bool awaited);
