// Operations of the card path that later parts of the transactions build
// (card-removal exceptions of the tag rules, ticket printing). Each is here
// with the least behaviour until its own module replaces it.
#pragma once

// The terminal commands, restart, pad reset, result codes, request building
// and server dialogue the card path also calls.
#include "transactions/maintenance.h"
#include "transactions/server_dialogue.h"
#include "transactions/server_messages.h"
#include "transactions/server_request.h"
#include "transactions/terminal_commands.h"
#include "transactions/terminal_restart.h"

// 1 when the card removal is deactivated for the SV and CD (least
// behaviour: never, 0).
int IsCardRemovalDeactivated();
// Prints the tickets of the transaction (least behaviour: nothing).
void PrintTicket();
