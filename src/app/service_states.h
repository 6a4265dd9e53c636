// Maintenance (state 10) and terminal-service (state 50) states, the
// maintenance indicator file and the terminal wait callback.
//
// Least behaviour for now: no terminal is configured, so both states take the
// request (acknowledgement "0") and end it with result "32" (terminal
// unreachable).
#pragma once

int RunMaintenanceState();
int RunTerminalServiceState();
// Creates (1) or deletes (0) the maintenance-in-progress file.
int SetMaintenanceIndicator(int flag);
// The wait callback the terminal layers call with the 130-byte echo text.
void WaitCallback(char* echo);
