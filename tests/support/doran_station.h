// A DORAN terminal of the script engine on a real serial line: a
// communication table, a pseudo-terminal whose far end is the DORAN
// terminal simulator (tools/doransim), the terminal box with the display
// (function 0) and the card reader (function 4) on that line, both of
// protocol 2. The links are opened at once and their byte waits widened, so
// that a loaded machine cannot make a test about something else fail on a
// time-out (tests of the time-outs set their own).
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "doransim/doran_terminal.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/doran/doran_module.h"
#include "protocols/xpro/xa_link.h"
#include "support/com_fixture.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"

namespace testsupport {

inline doransim::Scenario DoranScenario(const std::string& text) {
    std::string error;
    auto s = doransim::Scenario::Parse(text, &error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(doransim::Scenario{});
}

constexpr int kDoranDisplay = 0;
constexpr int kDoranReader = 4;

class DoranStation {
public:
    // config: more lines of the port's configuration ("[Vpsl:2028]" ...).
    explicit DoranStation(const std::string& scenario, bool open = true, const std::vector<std::string>& config = {})
        : terminal_(new doransim::XaLinkHandler(DoranScenario(scenario))),
          box(table.id, UniqueStation()),
          pty(std::unique_ptr<linesim::FrameHandler>(terminal_), config) {
        DRN_ResetWaitState();
        XA_ResetFactoryState();
        if (!pty.ready()) return;
        terminal_->setLineDescriptor(pty.sim.slaveDescriptor());
        WCOM_SetResourceConnType(pty.port, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE);
        added = box.add("EFT_DSP", pty.port, "DORAN") == 0 && box.add("EFT_CAM_1", pty.port, "DORAN") == 0;
        // The descriptor of a link opened before any command names a set.
        for (int f : {kDoranDisplay, kDoranReader})
            if (KT_PERES* r = resource(f)) r->dialServiceChar = PAP_OPERATION_SET;
        if (added && open) openLinks();
    }
    ~DoranStation() {
        XA_SetHooks(nullptr);
        PAP_FreePAPbox();
        TWEP_ResetPortState();
    }
    bool ready() const { return pty.ready() && added && (!opened_ || context() != nullptr); }

    // The links opened as the first script opens them, their byte waits
    // widened to about two seconds (t2 is multiplied by 6 after a data frame).
    void openLinks() {
        EPAP_OpenLinks();
        // The line opened with its parameters, as before a first message.
        PortVPSL(pty.port, nullptr);
        opened_ = true;
        if (KT_XPROT* ctx = context()) {
            for (int i : {0, 1, 3, 4, 5, 6}) ctx->timeouts[i] = 2000;
            ctx->timeouts[2] = 300;
        }
    }
    KT_XPROT* context() const {
        KT_PERES* r = TWEP_FindFunction(box.box, kDoranDisplay, 1);
        return r != nullptr ? r->linkContext : nullptr;
    }
    KT_PERES* resource(int function = kDoranReader) { return TWEP_FindFunction(box.box, function, 1); }

    // One operation: set and sent (the request dialogue), the terminal's
    // announcement waited for, then the answer read with the records given.
    template <typename... Args>
    int set(int function, int operation, Args... args) {
        EPAP_ClearAll();
        const int status = EPAP_SetCommand(function, operation, args...);
        if (status != 0) return status;
        return EPAP_SendScriptCommands();
    }
    // Waits for the terminal's 'A' (at most `tries` waits of a second).
    bool announced(int function = kDoranReader, int tries = 5) {
        for (int i = 0; i < tries; ++i) {
            char event = 0;
            if (EPAP_WaitEvent(function, 1000, &event) == 0 && event == 'A') return true;
        }
        return false;
    }
    template <typename... Args>
    int get(int function, int operation, Args... args) {
        return EPAP_GetResult(function, operation, args...);
    }
    template <typename... Args>
    int run(int function, int operation, Args... args) {
        const int sent = set(function, operation, args...);
        if (sent != 0) return 1000 + sent;
        if (!announced(function)) return -1000;
        return get(function, operation, args...);
    }

    doransim::XaLinkHandler& terminal() { return *terminal_; }
    linesim::LineSim& line() { return pty.sim; }

    ComTable table;

private:
    doransim::XaLinkHandler* terminal_;

public:
    TerminalBox box;
    PtyPort pty;
    bool added = false;

private:
    bool opened_ = false;
};

}  // namespace testsupport
