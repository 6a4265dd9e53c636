// Cheque operations of the cheque function (3) through the terminal script
// API, as the cheque path runs them, for the tests and benchmarks of the
// cheque devices on a line: the card-read record of one operation, an
// operation whose answer is read (the wait for the device's announcement
// between reads while none came), and one whose answer is not awaited.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "periph/terminal_box.h"
#include "protocols/card_records.h"
#include "protocols/module_contract.h"
#include "protocols/pv_status.h"

namespace testsupport {

constexpr int kChequeFunction = 3;

inline CardReadRecord ChequeRecord(uint8_t options, const std::string& text = "") {
    CardReadRecord r{};
    r.chequeRequested = 1;
    r.chequeOptions = options;
    std::snprintf(r.eventData, sizeof r.eventData, "%s", text.c_str());
    return r;
}

// The request sent and its answer read; while none came, the wait for the
// device's announcement ('A'), then the read again. The status of the last
// read; -1000 when the command was refused, -2000 less the wait's status
// when the wait failed.
inline int RunChequeOperation(CardReadRecord* r) {
    EPAP_ClearAll();
    if (EPAP_SetCommand(kChequeFunction, O_T_EVENT, r) != 0) return -1000;
    int status = EPAP_GetResult(kChequeFunction, O_T_EVENT, r);
    for (int tries = 0; tries < 50 && status == PV_NET_TIMEOUT; ++tries) {
        char event = 0;
        int waited = PV_NOT_YET;
        for (int i = 0; i < 50 && waited == PV_NOT_YET; ++i) waited = EPAP_WaitEvent(kChequeFunction, 200, &event);
        if (waited != 0 || event != 'A') return -2000 - waited;
        status = EPAP_GetResult(kChequeFunction, O_T_EVENT, r);
    }
    return status;
}

// The command set and the script sent: the set's status, else the send's.
inline int SendChequeOperation(CardReadRecord* r) {
    EPAP_ClearAll();
    const int set = EPAP_SetCommand(kChequeFunction, O_T_EVENT, r);
    return set != 0 ? set : EPAP_SendScriptCommands();
}

}  // namespace testsupport
