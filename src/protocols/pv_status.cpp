#include "protocols/pv_status.h"

namespace {

struct StatusEntry {
    int value;
    const char* name;
    const char* label;
    int severity;
};

constexpr const char* kInternal = "PERI INTERNAL ERROR";

constexpr StatusEntry kStatuses[] = {
    {PV_ALL_FINE, "PV_ALL_FINE", "--------Ok---------", 0},
    {PV_CMD_INTERNAL, "PV_CMD_INTERNAL", kInternal, 2},
    {PV_CMD_UNKNOWN, "PV_CMD_UNKNOWN", "_COMMAND  REFUSED__", 1},
    {PV_APP_UNKNOWN, "PV_APP_UNKNOWN", "_APPLI.   REFUSED__", 3},
    {PV_PER_UNKNOWN, "PV_PER_UNKNOWN", "_PERIPH.  REFUSED__", 1},
    {PV_CMD_ACCES, "PV_CMD_ACCES", "_COMMAND  NO ACCES_", 3},
    {PV_APP_ACCES, "PV_APP_ACCES", "_APPLI.   NO ACCES_", 3},
    {PV_PER_ACCES, "PV_PER_ACCES", "_PERIPH.  NO ACCES_", 3},
    {PV_PROTO_ERROR, "PV_PROTO_ERROR", "_TRANS PROTO ERROR_", 3},
    {PV_NET_FAILED, "PV_NET_FAILED", "_PERI BROKEN PIPE__", 3},
    {PV_NET_TIMEOUT, "PV_NET_TIMEOUT", "_PERI NET TIMEOUT__", 3},
    {PV_NOT_YET, "PV_NOT_YET", "_ANSWER NOT READY__", 1},
    {PV_PER_RESET, "PV_PER_RESET", kInternal, 2},
    {PV_PER_BLOCKED, "PV_PER_BLOCKED", kInternal, 2},
    {PV_PER_ENCKEY, "PV_PER_ENCKEY", kInternal, 2},
    {PV_PER_BUSY, "PV_PER_BUSY", kInternal, 2},
    {PV_CTL_ERROR, "PV_CTL_ERROR", kInternal, 2},
    {PV_CMD_NOTHING, "PV_CMD_NOTHING", kInternal, 2},
    {PV_CMD_VERIF_NF, "PV_CMD_VERIF_NF", kInternal, 2},
    {PV_CMD_MUTE_CARD, "PV_CMD_MUTE_CARD", kInternal, 2},
};

const StatusEntry* Find(int value) {
    for (const StatusEntry& e : kStatuses)
        if (e.value == value) return &e;
    return nullptr;
}

}  // namespace

const char* PvStatusName(int value) {
    const StatusEntry* e = Find(value);
    return e != nullptr ? e->name : "";
}

const char* PvStatusLabel(int value, int* severity) {
    const StatusEntry* e = Find(value);
    if (severity != nullptr) *severity = e != nullptr ? e->severity : 2;
    return e != nullptr ? e->label : kInternal;
}
