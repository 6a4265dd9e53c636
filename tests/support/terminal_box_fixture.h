// A terminal box for tests: made on entry (no console, key index 0), its
// resources added by name, freed with its links on exit.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"

namespace testsupport {

class TerminalBox {
public:
    explicit TerminalBox(int resourceId = 1, int station = 1) {
        PAP_FreePAPbox();
        created = PAP_NewPAPbox(resourceId, station, 0, nullptr);
        box = EPAP_GetBox();
        *PAP_Counters() = PapScriptCounters{};
    }
    ~TerminalBox() { PAP_FreePAPbox(); }
    TerminalBox(const TerminalBox&) = delete;
    TerminalBox& operator=(const TerminalBox&) = delete;

    // Adds a device; the box status (0 when added).
    int add(const char* device, int port, const char* protocol, int transport = PAP_TRANSPORT_SERIAL) {
        return EPAP_CreateFunctionProfile(device, port, transport, protocol);
    }
    KT_PERES* function(int number) { return TWEP_FindFunction(box, number, 1); }

    int created = 0;
    KT_EPERIPH_API* box = nullptr;
};

}  // namespace testsupport
