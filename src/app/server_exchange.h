// The routines every wait of the program calls once per pass: the POS poll
// step, the context time-out check, and the shutdown of the EFT context.
#pragma once

struct EFTCBox;

// Writes the answer waiting in posAnswer, then reads at most one request into
// posRequest, or takes the one-shot request. -1 failure; 0 nothing; 1 answer
// written; 10 request taken; 11 both.
int ZelDiaPoll(EFTCBox* context);
// 1 when the context timer has expired, else 0.
int EFTOC_CheckTimeout(EFTCBox* context);
// Closes the POS link and the terminal ports, writes the closing lines and
// closes the context. 1.
int EFTOC_Shutdown(EFTCBox* context);
