// Pad services driven by the cash register (terminal-service state 50, SV
// "s4" and the others), the sale steps of the "s7" service and of "PN40"
// servers: the step handlers of state 50.
//
// Least behaviour for now: no terminal is driven, so each handler takes the
// request (acknowledgement "0" when none was given yet) and ends it with
// result "32" (terminal unreachable): state 100, step 0.
#pragma once

// Step 0: start of the service.
int PadServiceStart();
// Step 1: continuous entry or the terminal request of the service.
int PadContinuousEntry();
// Step 3: end of the request on the terminal.
int PadServiceEnd();
// Step 10: final answer, back to idle.
int PadServiceAnswer();

// The same steps of the "s7" sale and of a "PN40" server.
int S7_SaleInit();
int S7_ReadIsoTrack();
int S7_ReadIsoTrackAnswer();
int S7_SaleAnswer();
int PN40_SaleStep1();
int PN40_SaleStep3();
