// Fuzz target of the analysis of EMV card answers: the first byte chooses
// the step (low four bits; with bit 6 the step moves on at each answer), the
// record flag, P2 and the GET DATA tag, the second the PDOL wish and a
// pending service; the rest is the card's answers, split on A5 5A, which go
// through the same card so that the read-records area sees several
// records. The record stays within its slots and no area outlives the card.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/trace.h"
#include "fuzz_check.h"
#include "pot_check.h"
#include "protocols/doran/doran_emv.h"
#include "protocols/ruda/ruda_level2.h"

namespace {

const int32_t kSteps[] = {RUDA_STEP_SELECT,       RUDA_STEP_GPO,          RUDA_STEP_READ_RECORD,
                          RUDA_STEP_PIN_TRY_COUNTER, RUDA_STEP_FIRST_AC,   RUDA_STEP_SECOND_AC,
                          RUDA_STEP_EXTERNAL_AUTH, RUDA_STEP_CALLER_APDU,  RUDA_STEP_INTERNAL_AUTH,
                          RUDA_STEP_GET_DATA,      RUDA_STEP_VERIFY_PIN,   RUDA_STEP_SELECT_GIVEN,
                          RUDA_STEP_READ_BINARY,   RUDA_STEP_GET_RESPONSE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static const bool quiet = WSysSetTraceHook(nullptr) == 1;  // the error lines would only slow it down
    (void)quiet;
    if (size < 2 || size > 20000) return 0;
    auto pot = std::make_unique<POT>();
    POT_StartTransaction(pot.get());
    const uint8_t choice = input[0];
    const uint8_t asked = input[1];
    pot->pdolWanted = asked & 0x01;
    pot->services[1].mask = POT_SERVICE_CARD_DATA | POT_SERVICE_FIRST_AC;
    if ((asked & 0x04) != 0) pot->services[1].state = POT_STATE_PENDING;

    std::vector<std::vector<unsigned char>> answers(1);
    for (size_t i = 2; i < size; ++i) {
        if (i + 1 < size && input[i] == 0xA5 && input[i + 1] == 0x5A) {
            answers.emplace_back();
            ++i;
            continue;
        }
        answers.back().push_back(input[i]);
    }
    unsigned char buffer[64];
    int length = 0;
    unsigned char sw[2];
    RudaCallerBuffer caller{buffer, sizeof buffer, &length, sw};
    for (size_t k = 0; k < answers.size() && k < 8; ++k) {
        const size_t step = (choice & 0x0F) + ((choice & 0x40) != 0 ? k : 0);
        pot->services[0].mask = kSteps[step % (sizeof kSteps / sizeof kSteps[0])];
        RudaStepArgument arg;
        arg.p1 = 1;
        arg.p2 = (choice & 0x80) != 0 ? 0x5C : 0x0C;
        arg.recordFlag = k + 1 == answers.size() ? RUDA_RECORD_LAST : ((choice >> 4) & 0x01);
        arg.tag = (choice & 0x08) != 0 ? 0x9F17 : 0x9F36;
        RudaAnswerHolder holder{};
        arg.holder = &holder;
        // An exact-size copy so that any read past the answer is caught.
        std::vector<unsigned char> answer(answers[k]);
        const int r = RUDA_AnalyseResponse(pot.get(), answer.data(), static_cast<int>(answer.size()), &arg, &caller);
        Check(r == 1 || r == -1, "analysis result");
        Check(length >= 0 && length <= static_cast<int>(sizeof buffer), "caller length");
        Check(holder.length >= 0 && holder.length <= kRudaAnswerHolderMax, "holder length");
        Check(RUDA_RecordsFilled() <= RUDA_RecordsRoom(), "records beyond their area");
        CheckPot(*pot);
    }
    POT_StartTransaction(pot.get());
    Check(RUDA_RecordsFilled() == -1, "area left after the transaction");
    return 0;
}
