// The doubles that the layers above the terminal are tested with: the
// recording fake behind the script API's seam, and the fake application
// core's wait callback in a real event wait.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "periph/terminal_box.h"
#include "support/epap_fake.h"
#include "support/fake_app_core.h"
#include "support/terminal_box_fixture.h"

namespace {

struct Record {
    int value;
    char text[8];
};

}  // namespace

TEST(EpapFake, StandsForTheTerminalWhileInstalled) {
    testsupport::TerminalBox real;
    ASSERT_EQ(real.add("EFT_CAM_1", 0, "RUDA"), 0);
    {
        testsupport::EpapFake fake;
        fake.copiers[100] = [](va_list args) {
            const Record* r = va_arg(args, const Record*);
            return std::to_string(r->value) + ":" + r->text;
        };
        fake.writers[100] = [](va_list args) {
            Record* r = va_arg(args, Record*);
            r->value = 42;
        };
        fake.script("get", {PV_NOT_YET, 0});
        fake.script("send", {PV_NET_FAILED});
        fake.events.push_back({0, 'A'});
        fake.protocols[4] = 2;

        Record sent{7, "abc"};
        EXPECT_EQ(EPAP_ClearAll(), 0);
        EXPECT_EQ(EPAP_SetCommand(4, 100, &sent), 0);
        sent.value = 8;  // a copy was taken at the call
        EXPECT_EQ(EPAP_SendScriptCommands(), PV_NET_FAILED);
        Record got{};
        EXPECT_EQ(EPAP_GetResult(4, 100, &got), PV_NOT_YET);
        EXPECT_EQ(got.value, 0);  // nothing written with a status other than 0
        EXPECT_EQ(EPAP_GetResultEx(4, 100, 5000, 50, &got), 0);
        EXPECT_EQ(got.value, 42);
        char event = 0;
        EXPECT_EQ(EPAP_WaitEvent(4, 200, &event), 0);
        EXPECT_EQ(event, 'A');
        EXPECT_EQ(EPAP_WaitEvent(4, 200, &event), PV_NOT_YET);
        EXPECT_EQ(EPAP_GetProtocol(4), 2);
        EXPECT_EQ(EPAP_GetProtocol(0), -1);

        char headers[PAP_ROWS * PAP_ROW_HEADER];
        std::memset(headers, 0, sizeof headers);
        std::memcpy(headers, "1_000_0064_001_0000", PAP_ROW_HEADER);
        EXPECT_EQ(EPAP_SetAnswerRowHeaders(headers), 1);
        char back[sizeof headers];
        EXPECT_EQ(EPAP_GetAnswerRowHeaders(back), 1);
        EXPECT_EQ(std::memcmp(back, headers, sizeof headers), 0);

        const auto sets = fake.callsOf("set");
        ASSERT_EQ(sets.size(), 1u);
        EXPECT_EQ(sets[0].function, 4);
        EXPECT_EQ(sets[0].command, 100);
        EXPECT_EQ(sets[0].args, "7:abc");
        EXPECT_EQ(fake.callsOf("getEx")[0].timeoutMs, 5000);
        EXPECT_EQ(fake.calls.front().op, "clear");
        // The box was never touched.
        EXPECT_EQ(real.box->commands[0][0], '\0');
        EXPECT_EQ(real.box->sequence, 0);
    }
    // Gone: the box answers again.
    EXPECT_EQ(EPAP_GetSeam(), nullptr);
    EXPECT_EQ(EPAP_GetProtocol(4), 16);
}

TEST(FakeAppCore, ArmedWaitCallbackStopsARealWait) {
    auto& core = testsupport::FakeAppCore::Get();
    core.reset();
    testsupport::TerminalBox t;
    ASSERT_EQ(t.add("EFT_CAM_1", 0, "RUDA", PAP_TRANSPORT_NETWORK), 0);
    ASSERT_EQ(EPAP_SetWaitCallback(testsupport::FakeAppCore::WaitCallback), 0);
    char event = 0;
    EXPECT_EQ(EPAP_WaitEvent(24, 10, &event), 0);  // not armed: the network answers at once
    EXPECT_EQ(event, 'A');
    core.armStop(1);
    EXPECT_EQ(EPAP_WaitEvent(24, 10, &event), 0);
    EXPECT_EQ(EPAP_WaitEvent(24, 10, &event), PV_PER_RESET);
    EXPECT_EQ(core.waitCalls, 3);
    core.disarm();
    EXPECT_EQ(EPAP_WaitEvent(24, 10, &event), 0);

    core.keys.push_back('V');
    char key = 0;
    EXPECT_EQ(core.PosWaitKey(1000, 1, &key), 'V');
    EXPECT_EQ(core.PosWaitKey(1000, 0, &key), 255);
    core.posResults.push_back(-1);
    EXPECT_EQ(core.PosDisplayText("PAIEMENT", 1, 16, 0, 1, 0), -1);
    ASSERT_EQ(core.posCalls.size(), 3u);
    EXPECT_EQ(core.posCalls[2], "display 1 16 0 1 0 PAIEMENT");
    core.reset();
}
