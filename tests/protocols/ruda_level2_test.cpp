// RUDA EMV level 2 against the EMV card simulator: the requests of each
// step, the analysis of the card's answers into `POT`, the AFL walk and the
// read-records area of each card, the structure checks and the card's
// scripted faults.
#include "protocols/ruda/ruda_level2.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "cardsim/emv_card.h"
#include "support/apdu_bytes.h"
#include "core/helpers.h"
#include "protocols/doran/doran_emv.h"
#include "protocols/ruda/ruda_apdu.h"
#include "support/openssl_cli.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Element;

using testsupport::Hex;

cardsim::CardScenario Scenario(const std::string& text) {
    std::string error;
    auto s = cardsim::CardScenario::Parse(text, &error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(cardsim::CardScenario{});
}

class RudaLevel2 : public ::testing::Test {
protected:
    void SetUp() override {
        pot = std::make_unique<POT>();
        POT_StartTransaction(pot.get());
        testsupport::SetPotString(pot->selectedAid, "A0000000421010");
        pot->amount = PotNumber{1, 1000};
        pot->currencyCode = PotNumber{1, 978};
    }
    void TearDown() override { POT_StartTransaction(pot.get()); }

    // The request of the step, or empty when none is built.
    Bytes Request(int32_t step, const RudaStepArgument& arg = {}) {
        pot->services[0].mask = step;
        unsigned char* apdu = nullptr;
        int length = 0;
        if (RUDA_BuildEmvApdu(pot.get(), &arg, &apdu, &length) != 1) return {};
        Bytes b(apdu, apdu + length);
        WFree(apdu);
        return b;
    }
    // One exchange with the card: the result of operation 31's decoder.
    int Exchange(cardsim::EmvCard& card, int32_t step, const RudaStepArgument& arg = {},
                 RudaCallerBuffer* caller = nullptr) {
        const Bytes apdu = Request(step, arg);
        if (apdu.empty()) return -100;
        last = card.respond(apdu);
        return RUDA_DealEmvAnswer(pot.get(), last.data(), static_cast<int>(last.size()), &arg, caller);
    }
    int Analyse(int32_t step, const Bytes& answer, const RudaStepArgument& arg = {}, RudaCallerBuffer* caller = nullptr) {
        pot->services[0].mask = step;
        return RUDA_AnalyseResponse(pot.get(), answer.data(), static_cast<int>(answer.size()), &arg, caller);
    }
    int32_t State() const { return pot->services[0].state; }

    // SELECT, GPO and every record of the AFL; the state after each.
    void ReadCard(cardsim::EmvCard& card) {
        ASSERT_EQ(Exchange(card, RUDA_STEP_SELECT), 0);
        ASSERT_EQ(State(), RUDA_OUTCOME_DONE);
        ASSERT_EQ(Exchange(card, RUDA_STEP_GPO), 0);
        ASSERT_EQ(State(), RUDA_OUTCOME_DONE);
        const int records = RUDA_AflRecordCount(pot.get());
        ASSERT_GT(records, 0);
        for (int i = 0; i < records; ++i) {
            RudaStepArgument arg;
            ASSERT_TRUE(RUDA_AflRecord(pot.get(), i, &arg));
            ASSERT_EQ(Exchange(card, RUDA_STEP_READ_RECORD, arg), 0) << "record " << i;
            if (State() != RUDA_OUTCOME_DONE) return;
        }
    }

    std::unique_ptr<POT> pot;
    Bytes last;
};

TEST_F(RudaLevel2, DialogueWithTheCardFillsTheRecord) {
    cardsim::EmvCard card(Scenario(testsupport::CardScenarioFile("chip_card.scn")));
    ReadCard(card);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->aip), "5c00");
    EXPECT_EQ(testsupport::PotString(pot->afl), "0801010010010200");
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345670");
    EXPECT_EQ(testsupport::PotString(pot->expiryDate), "251231");
    EXPECT_EQ(testsupport::PotString(pot->track2Equivalent), "4970100012345670D2512201000000000F");
    EXPECT_EQ(testsupport::PotString(pot->cdol1), "9f02069f03069f1a0295055f2a029a039c019f3704");
    EXPECT_EQ(testsupport::PotString(pot->caKeyIndex), "05");
    EXPECT_EQ(pot->countryCode.value, 250);
    EXPECT_EQ(RUDA_RecordsFilled(), -1) << "the area goes after the last record";
    int size = 0;
    DRN_AuthentificationBuffer(&size);
    EXPECT_GT(size, 0) << "the records stay for offline authentication";

    // The PIN try counter.
    ASSERT_EQ(Exchange(card, RUDA_STEP_PIN_TRY_COUNTER), 0);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(pot->df81811a.flag, 1);
    EXPECT_EQ(pot->df81811a.value, 3);

    // First GENERATE AC with the hash of the transaction data at byte 4.
    const std::string hashInput = "0102030405060708090A";
    testsupport::SetPotString(pot->cdolData, std::string(66, '0'));  // 33 bytes of CDOL data
    testsupport::SetPotString(pot->hashInput, hashInput);
    pot->hashFlag = 1;
    pot->hashPosition = 4;
    pot->authorisationMode = PotNumber{1, 0x80};
    ASSERT_EQ(Exchange(card, RUDA_STEP_FIRST_AC), 0);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    const Bytes sent = card.lastGenerateAcData();
    ASSERT_EQ(sent.size(), 33u);
    const std::string digest = testsupport::OpensslSha1Hex(Hex(hashInput));
    ASSERT_EQ(digest.size(), 40u);
    EXPECT_EQ(Bytes(sent.begin() + 4, sent.begin() + 24), Hex(digest));
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), Bytes(4, 0));
    EXPECT_EQ(testsupport::PotString(pot->cryptogramInfo1), "80");
    EXPECT_EQ(pot->atc.value, 23);
    EXPECT_EQ(testsupport::PotString(pot->cryptogram1).size(), 16u);
    EXPECT_EQ(testsupport::PotString(pot->issuerApplicationData), "06010a03a00000");
    EXPECT_EQ(pot->busy, 0);
}

TEST_F(RudaLevel2, FormatTwoAnswersFillTheSameSlots) {
    std::string text = testsupport::CardScenarioFile("chip_card.scn");
    text += "gpo 77\nac 77\n";
    cardsim::EmvCard card(Scenario(text));
    ReadCard(card);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->aip), "5c00");
    EXPECT_EQ(testsupport::PotString(pot->afl), "0801010010010200");
    testsupport::SetPotString(pot->cdolData, "00000000");
    ASSERT_EQ(Exchange(card, RUDA_STEP_FIRST_AC), 0);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->cryptogramInfo1), "00");
    EXPECT_EQ(pot->atc.value, 23);
    EXPECT_EQ(testsupport::PotString(pot->issuerApplicationData), "06010a03a00000");
    ASSERT_EQ(Exchange(card, RUDA_STEP_INTERNAL_AUTH), 0);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(pot->df809000.length, 40) << "9F4B of 20 bytes";
}

TEST_F(RudaLevel2, ProcessingOptionsAnswers) {
    struct Case {
        const char* name;
        Bytes answer;
        int32_t state;
        const char* aip;
        const char* afl;
    } cases[] = {
        {"format 80", Hex("800A5C00080101001001030090 00"), RUDA_OUTCOME_DONE, "5c00", "0801010010010300"},
        {"format 77", Hex("770E 82025C00 9408 0801010010010300 9000"), RUDA_OUTCOME_DONE, "5c00", "0801010010010300"},
        {"AFL last record below the first", Hex("8006 5C00 08020100 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"AFL with SFI 0", Hex("8006 5C00 00010100 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"AFL offline count too high", Hex("8006 5C00 08010102 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"format 80 too short", Hex("8004 5C000801 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"format 80 not 4n+2", Hex("8007 5C00080101 0000 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"format 77 bytes after it", Hex("770E 82025C00 9408 0801010010010300 1234 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"format 77 padding after it", Hex("770E 82025C00 9408 0801010010010300 00FF 9000"), RUDA_OUTCOME_DONE, "5c00", "0801010010010300"},
        {"format 77 without AFL", Hex("7704 82025C00 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"format 77 AIP of 3 bytes", Hex("770F 82035C0000 9408 0801010010010300 9000"), RUDA_OUTCOME_MALFORMED, "", ""},
        {"other template", Hex("6F00 9000"), RUDA_OUTCOME_MISSING, "", ""},
        {"conditions not satisfied", Hex("6985"), RUDA_OUTCOME_SW_6985, "", ""},
        {"unknown instruction", Hex("6D00"), RUDA_OUTCOME_SW_REFUSED, "", ""},
    };
    for (const Case& c : cases) {
        pot->services[0].state = -1;
        EXPECT_EQ(Analyse(RUDA_STEP_GPO, c.answer), 1) << c.name;
        EXPECT_EQ(State(), c.state) << c.name;
        EXPECT_EQ(testsupport::PotString(pot->aip), c.aip) << c.name;
        EXPECT_EQ(testsupport::PotString(pot->afl), c.afl) << c.name;
    }
    // A second AIP element fails the service of AIP and AFL.
    pot->services[1].mask = POT_SERVICE_AIP_AFL;
    testsupport::TraceCapture trace;
    Analyse(RUDA_STEP_GPO, Hex("7712 82025C00 82025C00 9408 0801010010010300 9000"));
    EXPECT_EQ(pot->services[1].state, POT_STATE_INCONSISTENT);
    EXPECT_TRUE(trace.Contains("** INFO. ** Get Processing Options : Redondance Tag 82"));
}

TEST_F(RudaLevel2, ProcessingOptionsRequestCodesLongDataLengths) {
    testsupport::SetPotString(pot->pdolData, "");
    EXPECT_EQ(Request(RUDA_STEP_GPO), Hex("80A8000002830000"));
    testsupport::SetPotString(pot->pdolData, std::string(260, 'A'));  // 130 bytes
    const Bytes apdu = Request(RUDA_STEP_GPO);
    ASSERT_EQ(apdu.size(), 5u + 3 + 130 + 1);
    EXPECT_EQ(Bytes(apdu.begin(), apdu.begin() + 8), Hex("80A80000 85 838182"));
    testsupport::SetPotString(pot->pdolData, std::string(506, 'A'));  // 253 bytes: 83 81 FD does not fit 255
    EXPECT_TRUE(Request(RUDA_STEP_GPO).empty());
}

TEST_F(RudaLevel2, ScriptedCardFaults) {
    struct Case {
        const char* name;
        const char* fault;
        int32_t state;
    } cases[] = {
        {"two A5 in the FCI", "fault two-a5", RUDA_OUTCOME_MALFORMED},
        {"bad AFL", "fault bad-afl", RUDA_OUTCOME_MALFORMED},
        {"CA key index in every record", "fault repeat-tag 8F", RUDA_OUTCOME_INCONSISTENT},
        {"bytes after the record template", "fault bytes-after-70 1234", RUDA_OUTCOME_MALFORMED},
    };
    for (const Case& c : cases) {
        POT_StartTransaction(pot.get());
        testsupport::SetPotString(pot->selectedAid, "A0000000421010");
        cardsim::EmvCard card(Scenario(testsupport::CardScenarioFile("chip_card.scn") + c.fault + "\n"));
        int32_t state = RUDA_OUTCOME_DONE;
        for (int32_t step : {RUDA_STEP_SELECT, RUDA_STEP_GPO}) {
            ASSERT_EQ(Exchange(card, step), 0) << c.name;
            state = State();
            if (state != RUDA_OUTCOME_DONE) break;
        }
        for (int i = 0; state == RUDA_OUTCOME_DONE && i < RUDA_AflRecordCount(pot.get()); ++i) {
            RudaStepArgument arg;
            RUDA_AflRecord(pot.get(), i, &arg);
            ASSERT_EQ(Exchange(card, RUDA_STEP_READ_RECORD, arg), 0) << c.name;
            state = State();
        }
        EXPECT_EQ(state, c.state) << c.name;
        EXPECT_EQ(RUDA_RecordsFilled(), -1) << c.name << ": no area left behind";
    }
}

TEST_F(RudaLevel2, ReadRecordsAreaIsSizedPerCardMended) {
    // First card: 3 records, then a second card with one record.
    cardsim::EmvCard first(Scenario(testsupport::CardScenarioFile("chip_card.scn")));
    ASSERT_EQ(Exchange(first, RUDA_STEP_SELECT), 0);
    ASSERT_EQ(Exchange(first, RUDA_STEP_GPO), 0);
    RudaStepArgument arg;
    ASSERT_TRUE(RUDA_AflRecord(pot.get(), 0, &arg));
    ASSERT_EQ(Exchange(first, RUDA_STEP_READ_RECORD, arg), 0);
    EXPECT_EQ(RUDA_RecordsRoom(), 128 + 3 * 254);
    EXPECT_GT(RUDA_RecordsFilled(), 0);

    // A new transaction forgets the area of the card in hand.
    POT_StartTransaction(pot.get());
    EXPECT_EQ(RUDA_RecordsFilled(), -1);
    testsupport::SetPotString(pot->selectedAid, "A0000000421010");
    cardsim::EmvCard second(Scenario("record 1 1 5A 08 4970100012345670\n"));
    ASSERT_EQ(Exchange(second, RUDA_STEP_SELECT), 0);
    ASSERT_EQ(Exchange(second, RUDA_STEP_GPO), 0);
    EXPECT_EQ(testsupport::PotString(pot->afl), "08010100");
    ASSERT_TRUE(RUDA_AflRecord(pot.get(), 0, &arg));
    EXPECT_EQ(arg.recordFlag, RUDA_RECORD_LAST);
    EXPECT_EQ(arg.p1, 1);
    EXPECT_EQ(arg.p2, 0x0C);
    RudaAnswerHolder holder{};
    arg.holder = &holder;
    RUDA_AflRecord(pot.get(), 0, &arg);
    ASSERT_EQ(Exchange(second, RUDA_STEP_READ_RECORD, arg), 0);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345670");
    EXPECT_EQ(holder.length, static_cast<int>(last.size()));
    EXPECT_EQ(Bytes(holder.bytes, holder.bytes + holder.length), last);
}

TEST_F(RudaLevel2, CardRemovedWhileReadingLoadsTheRecordsReadSoFar) {
    cardsim::EmvCard card(Scenario(testsupport::CardScenarioFile("chip_card.scn")));
    ASSERT_EQ(Exchange(card, RUDA_STEP_SELECT), 0);
    ASSERT_EQ(Exchange(card, RUDA_STEP_GPO), 0);
    RudaStepArgument arg;
    RUDA_AflRecord(pot.get(), 1, &arg);  // SFI 2 record 1: the card number
    ASSERT_EQ(Exchange(card, RUDA_STEP_READ_RECORD, arg), 0);
    ASSERT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(pot->pan.length, 0) << "not loaded before the last record";
    EXPECT_EQ(Analyse(RUDA_STEP_READ_RECORD, Hex("9F23"), arg), 1);
    EXPECT_EQ(State(), RUDA_OUTCOME_CARD_GONE);
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345670");
    EXPECT_EQ(RUDA_RecordsFilled(), -1);
}

TEST_F(RudaLevel2, PinTryCounterAndGetData) {
    struct Case {
        const char* name;
        int32_t step;
        uint16_t tag;
        Bytes answer;
        int32_t state;
    } cases[] = {
        {"counter 0", RUDA_STEP_PIN_TRY_COUNTER, 0, Hex("9F1701009000"), RUDA_OUTCOME_PIN_BLOCKED},
        {"counter 2", RUDA_STEP_PIN_TRY_COUNTER, 0, Hex("9F1701029000"), RUDA_OUTCOME_DONE},
        {"no counter on the card", RUDA_STEP_PIN_TRY_COUNTER, 0, Hex("6A88"), RUDA_OUTCOME_DONE},
        {"counter of two bytes", RUDA_STEP_PIN_TRY_COUNTER, 0, Hex("9F170200029000"), RUDA_OUTCOME_MALFORMED},
        {"9F17 as a given tag", RUDA_STEP_GET_DATA, 0x9F17, Hex("9F1701009000"), RUDA_OUTCOME_PIN_BLOCKED},
        {"other tag refused", RUDA_STEP_GET_DATA, 0x9F4F, Hex("6A81"), RUDA_OUTCOME_SW_REFUSED},
        {"other tag other status", RUDA_STEP_GET_DATA, 0x9F4F, Hex("6283"), RUDA_OUTCOME_DONE},
        {"9F13", RUDA_STEP_GET_DATA, 0x9F13, Hex("9F130200119000"), RUDA_OUTCOME_DONE},
    };
    for (const Case& c : cases) {
        pot->services[0].state = -1;
        RudaStepArgument arg;
        arg.tag = c.tag;
        EXPECT_EQ(Analyse(c.step, c.answer, arg), 1) << c.name;
        EXPECT_EQ(State(), c.state) << c.name;
    }
    EXPECT_EQ(pot->tag9f13.value, 0x11);
}

TEST_F(RudaLevel2, RequestsOfTheOtherSteps) {
    RudaStepArgument arg;
    arg.tag = 0x9F36;
    EXPECT_EQ(Request(RUDA_STEP_GET_DATA, arg), Hex("80CA9F3600"));
    arg.p1 = 0x83;
    arg.p2 = 0x10;
    arg.expectedLength = 0x20;
    EXPECT_EQ(Request(RUDA_STEP_READ_BINARY, arg), Hex("00B0031020"));
    EXPECT_EQ(Request(RUDA_STEP_GET_RESPONSE, arg), Hex("00C0000020"));
    const Bytes aid = Hex("A000000042");
    arg.aid = aid.data();
    arg.aidLength = 5;
    arg.nextOccurrence = 1;
    EXPECT_EQ(Request(RUDA_STEP_SELECT_GIVEN, arg), Hex("00A4040205A00000004200"));
    testsupport::SetPotString(pot->issuerAuthenticationData, "0102030405060708");
    EXPECT_EQ(Request(RUDA_STEP_EXTERNAL_AUTH), Hex("00820000080102030405060708"));
    const Bytes given = Hex("00840000 00");
    arg.apdu = given.data();
    arg.apduLength = 5;
    EXPECT_EQ(Request(RUDA_STEP_CALLER_APDU, arg), Hex("0084000000"));
    EXPECT_TRUE(Request(1 << 30).empty()) << "a step without request";
}

TEST_F(RudaLevel2, AuthenticationDataGetTheirTrueLengthAndLongerIsRefusedMended) {
    struct Case {
        int bytes;
        bool built;
    } cases[] = {{127, true}, {128, true}, {200, true}, {255, true}, {256, false}};
    for (const Case& c : cases) {
        testsupport::SetPotString(pot->ddolData, std::string(static_cast<size_t>(2 * c.bytes), '1'));
        const Bytes apdu = Request(RUDA_STEP_INTERNAL_AUTH);
        EXPECT_EQ(!apdu.empty(), c.built) << c.bytes;
        if (!apdu.empty()) {
            EXPECT_EQ(apdu[4], c.bytes) << c.bytes;
            EXPECT_EQ(apdu.size(), static_cast<size_t>(6 + c.bytes)) << c.bytes;
        }
    }
}

TEST_F(RudaLevel2, HashMustFitTheCdolDataMended) {
    testsupport::SetPotString(pot->cdolData, std::string(40, '0'));  // 20 bytes
    testsupport::SetPotString(pot->hashInput, "");
    pot->hashFlag = 1;
    pot->hashPosition = 0;
    Bytes apdu = Request(RUDA_STEP_FIRST_AC);
    ASSERT_EQ(apdu.size(), 5u + 20 + 1);
    // The digest of nothing.
    EXPECT_EQ(cardsim::ToHex(Bytes(apdu.begin() + 5, apdu.begin() + 25)), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    pot->hashPosition = 1;
    EXPECT_TRUE(Request(RUDA_STEP_FIRST_AC).empty());
    pot->hashPosition = -1;
    EXPECT_TRUE(Request(RUDA_STEP_FIRST_AC).empty());
}

TEST_F(RudaLevel2, CallerApdusShorterThanAHeaderAreRefusedMended) {
    const Bytes shortApdu = Hex("00840000");
    RudaStepArgument arg;
    arg.apdu = shortApdu.data();
    arg.apduLength = 4;
    EXPECT_TRUE(Request(RUDA_STEP_CALLER_APDU, arg).empty());
    EXPECT_TRUE(Request(RUDA_STEP_CALLER_APDU_2, arg).empty());
    struct Case {
        Bytes answer;
        int32_t state;
    } cases[] = {{Hex("6283"), RUDA_OUTCOME_DONE}, {Hex("63C2"), RUDA_OUTCOME_DONE}, {Hex("9000"), RUDA_OUTCOME_DONE},
                 {Hex("6A82"), RUDA_OUTCOME_SW_REFUSED}};
    for (const Case& c : cases) {
        Analyse(RUDA_STEP_CALLER_APDU, c.answer);
        EXPECT_EQ(State(), c.state);
    }
}

TEST_F(RudaLevel2, SelectGivenNeedsRoomForTheWholeAnswer) {
    testsupport::TraceCapture trace;
    unsigned char buffer[10];
    std::memset(buffer, 0x55, sizeof buffer);
    int length = -1;
    RudaCallerBuffer caller{buffer, 10, &length, nullptr};
    const Bytes answer(20, 0x6F);
    pot->services[0].mask = RUDA_STEP_SELECT_GIVEN;
    EXPECT_EQ(RUDA_DealEmvAnswer(pot.get(), answer.data(), 20, nullptr, &caller), 32);
    EXPECT_EQ(pot->busy, 1) << "a failed analysis leaves busy";
    EXPECT_EQ(Bytes(buffer, buffer + 10), Bytes(10, 0));
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_AnalyseResponse: Not enougth place to store select response"));

    unsigned char room[32];
    RudaCallerBuffer enough{room, 32, &length, nullptr};
    EXPECT_EQ(RUDA_DealEmvAnswer(pot.get(), answer.data(), 20, nullptr, &enough), 0);
    EXPECT_EQ(length, 20);
    EXPECT_EQ(pot->busy, 0);
}

TEST_F(RudaLevel2, SelectByNameChecksTheFci) {
    struct Case {
        const char* name;
        Bytes answer;
        int32_t state;
    } cases[] = {
        {"good", Hex("6F0F 8407A0000000421010 A504 50024342 9000"), RUDA_OUTCOME_DONE},
        {"no A5", Hex("6F09 8407A0000000421010 9000"), RUDA_OUTCOME_MALFORMED},
        {"84 twice", Hex("6F14 8407A0000000421010 8407A0000000421010 A500 9000"), RUDA_OUTCOME_MALFORMED},
        {"label outside A5", Hex("6F0D 8407A0000000421010 A500 5000 9000"), RUDA_OUTCOME_MALFORMED},
        {"two labels", Hex("6F13 8407A0000000421010 A508 50024342 50024342 9000"), RUDA_OUTCOME_MALFORMED},
        {"element beside 6F", Hex("6F0B 8407A0000000421010 A500 8801 01 9000"), RUDA_OUTCOME_MALFORMED},
        {"A5 of padding only", Hex("6F0F 8407A0000000421010 A504 FFFFFFFF 9000"), RUDA_OUTCOME_DONE},
        {"not found", Hex("6A82"), RUDA_OUTCOME_SW_REFUSED},
    };
    for (const Case& c : cases) {
        unsigned char sw[2] = {};
        RudaCallerBuffer caller;
        caller.statusWord = sw;
        EXPECT_EQ(Analyse(RUDA_STEP_SELECT, c.answer, {}, &caller), 1) << c.name;
        EXPECT_EQ(State(), c.state) << c.name;
        EXPECT_EQ(sw[0] * 256 + sw[1], RUDA_GetSw(c.answer.data(), static_cast<int>(c.answer.size()))) << c.name;
    }
    // With BF0C in the FCI the PDOL is asked for and loaded.
    pot->pdol.length = 0;
    Analyse(RUDA_STEP_SELECT, Hex("6F18 8407A0000000421010 A50D 9F3803 9F6604 BF0C04 5F550146 9000"));
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->pdol), "9f6604");
}

TEST_F(RudaLevel2, TerminalElementsDecideBeforeTheStep) {
    Bytes cancel = Element(0xE0, Element(0xDFA205, {27}));
    cancel.insert(cancel.end(), {0x90, 0x00});
    EXPECT_EQ(Analyse(RUDA_STEP_GPO, cancel), -1);
    Bytes present = Element(0xE0, Element(0x48, {0x01}));
    present.insert(present.end(), {0x90, 0x00});
    EXPECT_EQ(Analyse(RUDA_STEP_GPO, present), 1);
    Bytes absent = Element(0xE0, Element(0x48, {0x02}));
    absent.insert(absent.end(), {0x90, 0x00});
    EXPECT_EQ(Analyse(RUDA_STEP_GPO, absent), -1);
}

TEST_F(RudaLevel2, PinVerificationRequestAndResults) {
    std::memcpy(pot->applicationLabel.bytes, "CB", 2);
    pot->applicationLabel.length = 2;
    testsupport::SetPotString(pot->tag9f2e, "000003");
    pot->currencyExponent = PotNumber{1, 2};
    RudaStepArgument arg;
    arg.pinEnciphered = 1;
    EXPECT_EQ(Request(RUDA_STEP_VERIFY_PIN, arg),
              Hex("DED70400 25 E023 9F0206000000001000 9F170103 50024342 5F2A020978 9F2E0103 DFA2150101 5F360102"));
    arg.pinEnciphered = 0;
    EXPECT_EQ(Request(RUDA_STEP_VERIFY_PIN, arg),
              Hex("DED70100 21 E01F 9F0206000000001000 9F170103 50024342 5F2A020978 DFA2150101 5F360102"));

    struct Case {
        Bytes answer;
        int32_t state;
    } cases[] = {{Hex("029000"), 0}, {Hex("019000"), 8}, {Hex("039000"), 22}, {Hex("069000"), 7},
                 {Hex("079000"), 5}, {Hex("089000"), 5}, {Hex("099000"), 6}, {Hex("0A9000"), 34},
                 {Hex("0B9000"), 2}, {Hex("9000"), 2},  {Hex("029F41"), 2}};
    for (const Case& c : cases) {
        Analyse(RUDA_STEP_VERIFY_PIN, c.answer);
        EXPECT_EQ(State(), c.state) << cardsim::ToHex(c.answer);
    }
}

TEST_F(RudaLevel2, ProductionIgnoresTheAutomatedPinVariableMended) {
    ::setenv("TALVO.RUDA.AUTOMATED_VERIFY_PIN", "1", 1);
    testsupport::SetPotString(pot->pan, "4970100012341234");
    const Bytes apdu = Request(RUDA_STEP_VERIFY_PIN);
    Analyse(RUDA_STEP_VERIFY_PIN, Hex("019000"));
    const int32_t state = State();
    ::unsetenv("TALVO.RUDA.AUTOMATED_VERIFY_PIN");
    ASSERT_FALSE(apdu.empty());
    EXPECT_EQ(apdu[0], 0xDE) << "never a VERIFY with a clear PIN block";
    EXPECT_EQ(state, 8) << "the terminal's result is still read";
}

TEST_F(RudaLevel2, ReadBinaryAndGetResponseCopyTheAnswer) {
    unsigned char buffer[8];
    int length = 0;
    RudaCallerBuffer caller{buffer, 8, &length, nullptr};
    EXPECT_EQ(Analyse(RUDA_STEP_READ_BINARY, Hex("0102039F0D"), {}, &caller), 1);
    EXPECT_EQ(State(), RUDA_OUTCOME_CARD_GONE) << "9F0D is the card gone";
    EXPECT_EQ(Analyse(RUDA_STEP_READ_BINARY, Hex("0102039F10"), {}, &caller), 1);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(Analyse(RUDA_STEP_GET_RESPONSE, Hex("6A82"), {}, &caller), 1);
    EXPECT_EQ(State(), RUDA_OUTCOME_SW_REFUSED);
    EXPECT_EQ(Analyse(RUDA_STEP_GET_RESPONSE, Bytes(9, 0x90), {}, &caller), -1);
}

}  // namespace
