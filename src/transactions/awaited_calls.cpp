#include "transactions/awaited_calls.h"

int IsCardRemovalDeactivated() { return 0; }
void PrintTicket() {}
