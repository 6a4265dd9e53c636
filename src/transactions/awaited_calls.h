// Operations of the card path that other parts of the transactions build
// (result codes and request building, ticket printing, tag rules). Each is
// here with the least behaviour until its own module replaces it.
#pragma once

// The terminal commands, restart and pad reset the card path also calls.
#include "transactions/maintenance.h"
#include "transactions/terminal_commands.h"
#include "transactions/terminal_restart.h"

// Sets the RS of the transaction for a failing terminal status (least
// behaviour: "32" for an unreachable terminal, 18 or 33, else "99"; an RS
// already set is kept) and shows no message.
void ReportTerminalResult(int status);
// Builds the server request of the card transaction into the server request
// buffer: 0 ready, 1 failed. Least behaviour: the POS request copied there at
// the start is sent as it is (0).
int BuildServerRequest();
// The direct-mode request (least behaviour: not built, 1).
int BuildDirectModeRequest(int flag);
// The return-to-line request (least behaviour: not built, -1).
int BuildRtlRequest();
// Offline upload after an online exchange (least behaviour: nothing).
void UploadOfflineAfterExchange();
// 1 when the card removal is deactivated for the SV and CD (least
// behaviour: never, 0).
int IsCardRemovalDeactivated();
// Prints the tickets of the transaction (least behaviour: nothing).
void PrintTicket();
