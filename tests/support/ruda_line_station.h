// A RUDA function of the script engine on a pseudo-terminal whose far end
// is the RUDA terminal simulator: the terminal box, the line and the
// simulator's block handler, removed with the object.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/com_resources.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "rudasim/ruda_terminal.h"
#include "support/com_fixture.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"

namespace testsupport {

class RudaLineStation {
public:
    RudaLineStation(const std::string& scenario, const char* device)
        : terminal_(new rudasim::RudaBlockHandler(Parse(scenario))),
          box(table.id, UniqueStation()),
          pty(std::unique_ptr<linesim::FrameHandler>(terminal_)) {
        if (!pty.ready()) return;
        WCOM_SetResourceConnType(pty.port, WCOM_MEDIA_DIRECT + WCOM_ADAPTER_PHONE);
        added = box.add(device, pty.port, "RUDA");
    }
    virtual ~RudaLineStation() {
        PAP_FreePAPbox();
        TWEP_ResetPortState();
    }
    bool ready() const { return pty.ready() && added == 0; }
    // Every request as the terminal got it.
    std::vector<rudasim::Exchange> exchanges() { return terminal_->exchanges(); }
    rudasim::RudaBlockHandler& terminal() { return *terminal_; }

    ComTable table;

private:
    static rudasim::RudaScenario Parse(const std::string& text) {
        std::string error;
        auto s = rudasim::RudaScenario::Parse(text, "", &error);
        EXPECT_TRUE(s.has_value()) << error;
        return s.value_or(rudasim::RudaScenario{});
    }
    rudasim::RudaBlockHandler* terminal_;

public:
    TerminalBox box;
    PtyPort pty;
    int added = -1;
};

}  // namespace testsupport
