// Peripheral status codes of the script engines (terminal and interface):
// what every script operation returns and what the boxes keep as the status
// of their last operation, with the label and severity of each.
#pragma once

constexpr int PV_ALL_FINE = 0;
constexpr int PV_CMD_INTERNAL = 1;
constexpr int PV_CMD_UNKNOWN = 2;
constexpr int PV_APP_UNKNOWN = 4;
constexpr int PV_PER_UNKNOWN = 8;
constexpr int PV_CMD_ACCES = 16;
constexpr int PV_APP_ACCES = 17;
constexpr int PV_PER_ACCES = 18;
constexpr int PV_PROTO_ERROR = 32;
constexpr int PV_NET_FAILED = 33;
constexpr int PV_NET_TIMEOUT = 34;
constexpr int PV_NOT_YET = 64;
constexpr int PV_PER_RESET = 80;
constexpr int PV_PER_BLOCKED = 81;
constexpr int PV_PER_ENCKEY = 82;
constexpr int PV_PER_BUSY = 83;
constexpr int PV_CTL_ERROR = 96;
constexpr int PV_CMD_NOTHING = 97;
constexpr int PV_CMD_VERIF_NF = 98;
constexpr int PV_CMD_MUTE_CARD = 99;

// The identifier of a status ("PV_NOT_YET" ...), or "" for a value that has
// none.
const char* PvStatusName(int value);
// The 19-character label of a status in the status text ("PERI INTERNAL
// ERROR" for any value not in the table) and its severity (0 to 3).
const char* PvStatusLabel(int value, int* severity);
