// Terminal service calls on a DORAN terminal (the simulator on a
// pseudo-terminal): a control code goes as one empty message whose
// descriptor carries it as the Application, and the acknowledgement's
// MesStat comes back; the wait for a rebooting terminal is not for DORAN.
#include <gtest/gtest.h>

#include <string>

#include "periph/terminal_box.h"
#include "support/doran_station.h"

namespace {

using testsupport::DoranStation;
using testsupport::kDoranDisplay;

}  // namespace

TEST(DoranControls, ControlCodeIsAnEmptyMessageWithItsApplication) {
    DoranStation s("");
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(EPAP_SendControl(kDoranDisplay, "4018"), 0);
    ASSERT_TRUE(s.terminal().waitDialogues(1, 2000));
    const auto dialogues = s.terminal().dialogues();
    ASSERT_EQ(dialogues.size(), 1u);
    EXPECT_EQ(dialogues[0].kind, 'C');
    EXPECT_EQ(dialogues[0].application, "4018");
    EXPECT_EQ(dialogues[0].direction, 0);  // a control's mode
    EXPECT_EQ(dialogues[0].enqs, 1);
    EXPECT_EQ(dialogues[0].dataFrames, 0);
    EXPECT_TRUE(dialogues[0].programEot);
    // No data frame went: no DLE STX on the line.
    EXPECT_EQ(s.line().received().find("\x10\x02"), std::string::npos);
    EXPECT_TRUE(s.terminal().requests().empty());
    // The resource keeps the code and the MesStat of the acknowledgement.
    KT_PERES* display = s.resource(kDoranDisplay);
    EXPECT_STREQ(display->application, "4018");
    EXPECT_EQ(display->mesStat, 0);
}

TEST(DoranControls, NoRebootWaitForDoran) {
    DoranStation s("");
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(EPAP_WaitReboot(kDoranDisplay, 1, "9002", 5), -1);
    EXPECT_EQ(s.line().received(), "");
    EXPECT_EQ(EPAP_SendControl(7, "4018"), -1);  // no such function
}
