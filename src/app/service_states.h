// Maintenance (state 10) and terminal-service (state 50) states. Each pass
// serves the cash register first (transactions/pos_polling.h).
#pragma once

int RunMaintenanceState();
int RunTerminalServiceState();
