// Main loop of the console program: one pass per state, the idle pass with
// the scheduled maintenance, the request dispatcher, the error answer and the
// shutdown.
#pragma once

struct EFTCBox;

// Runs the pass of the current state once.
void RunLoopPass();
// State 0.
void RunIdlePass();
// Reads and dispatches at most one request: -1 no context, -6 POS link
// failure, -3 communication reload failure, 0 nothing done or answered, 1
// handed to a working state.
int DealPosRequest();
// State 102: answers '5'; always 1.
int SendErrorAnswer();
// Closes the POS link and the terminal ports, writes the closing lines and
// closes the context. 1.
int EFTOC_Shutdown(EFTCBox* context);
// Shuts the EFT context down and clears the process pointer; always 1.
int ShutdownClient();
