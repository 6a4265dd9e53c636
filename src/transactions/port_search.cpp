#include "transactions/port_search.h"

int FindTerminalComPort() { return 0; }

int FindTerminalSpeed() { return 0; }
