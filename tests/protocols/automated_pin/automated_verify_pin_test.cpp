// The test build of the EMV level-2 layer (compiled with
// ZNP_AUTOMATED_VERIFY_PIN): with "TALVO.RUDA.AUTOMATED_VERIFY_PIN" at 1 the
// PIN step sends VERIFY with a plaintext PIN block made from the card
// number, and a 9000 answer counts as done. The program's own build never
// has this path (see ruda_level2_test).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "cardsim/emv_card.h"
#include "core/helpers.h"
#include "protocols/ruda/ruda_level2.h"
#include "support/apdu_bytes.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using testsupport::Hex;

TEST(AutomatedVerifyPin, TestBuildSendsTheClearBlockOnlyWhenAsked) {
    testsupport::TraceCapture trace;
    auto pot = std::make_unique<POT>();
    std::strcpy(pot->pan.text, "4970100012341234");
    pot->pan.length = 16;
    pot->amount = PotNumber{1, 1000};
    pot->services[0].mask = RUDA_STEP_VERIFY_PIN;

    unsigned char* apdu = nullptr;
    int length = 0;
    ::setenv("TALVO.RUDA.AUTOMATED_VERIFY_PIN", "1", 1);
    ASSERT_EQ(RUDA_BuildEmvApdu(pot.get(), nullptr, &apdu, &length), 1);
    const Bytes sent(apdu, apdu + length);
    WFree(apdu);
    EXPECT_EQ(sent, Hex("0020008008 24 1234 FFFFFFFFFF"));
    EXPECT_TRUE(trace.Contains("<< WARN. >> Automated verify PIN enabled, for test only"));

    // The card simulator takes the block; its 9000 counts as done.
    cardsim::CardScenario scenario;
    scenario.pin = "1234";
    cardsim::EmvCard card(scenario);
    const Bytes answer = card.respond(sent);
    EXPECT_EQ(answer, Hex("9000"));
    EXPECT_EQ(RUDA_AnalyseResponse(pot.get(), answer.data(), static_cast<int>(answer.size()), nullptr, nullptr), 1);
    EXPECT_EQ(pot->services[0].state, RUDA_OUTCOME_DONE);

    ::unsetenv("TALVO.RUDA.AUTOMATED_VERIFY_PIN");
    ASSERT_EQ(RUDA_BuildEmvApdu(pot.get(), nullptr, &apdu, &length), 1);
    EXPECT_EQ(apdu[0], 0xDE) << "without the variable, the terminal's PIN request";
    WFree(apdu);
}

}  // namespace
