// The card operations of the RUDA module through the terminal script
// engine: each request is set with EPAP_SetCommand and taken from the
// script row the engine wrote, handed to the terminal's stand-in (recorded
// answers, or the EMV card simulator for the level-2 APDUs), and the answer
// is put in the answer row and read back through the engine into the
// caller's records.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "cardsim/emv_card.h"
#include "periph/terminal_exchange.h"
#include "protocols/card_records.h"
#include "protocols/module_contract.h"
#include "protocols/pot.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_card.h"
#include "protocols/ruda/ruda_level2.h"
#include "protocols/ruda/ruda_module.h"
#include "support/apdu_bytes.h"
#include "support/engine_rows.h"
#include "support/openssl_cli.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;
using testsupport::TerminalBox;
using testsupport::WithSw;

constexpr int kCardReader = 4;
constexpr int kNoRow = -1000;

cardsim::EmvCard Card(const std::string& extra = {}) {
    std::string error;
    auto scenario = cardsim::CardScenario::Parse(testsupport::CardScenarioFile("chip_card.scn") + extra, &error);
    EXPECT_TRUE(scenario.has_value()) << error;
    return cardsim::EmvCard(scenario.value_or(cardsim::CardScenario{}));
}

// A RUDA card reader (function 4) in a terminal box; the engine's rows
// carry the requests and answers.
class RudaModuleOps : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(t.add("EFT_CAM_1", 0, "RUDA"), 0);
        reader = t.function(kCardReader);
        ASSERT_NE(reader, nullptr);
        record = std::make_unique<CardReadRecord>();
        area = std::make_unique<TerminalResultArea>();
        pot = std::make_unique<POT>();
        POT_StartTransaction(pot.get());
    }
    void TearDown() override { POT_StartTransaction(pot.get()); }

    // Sets the operation through the engine: the status of EPAP_SetCommand;
    // the APDU of the row it wrote goes to `sent` (empty without a row).
    template <typename... Args>
    int Set(int operation, Args... args) {
        EPAP_ClearAll();
        sent.clear();
        const int status = EPAP_SetCommand(kCardReader, operation, args...);
        sent = testsupport::FirstRowRequest(t.box);
        return status;
    }

    // The terminal's answer to the request set last, read through the
    // engine with the result arguments given.
    template <typename... Args>
    int Answer(int operation, const Bytes& payload, Args... args) {
        if (!testsupport::PutRowAnswer(t.box, reader, payload)) return kNoRow;
        reader->command = operation;
        return testsupport::ReadRow(t.box, reader, args...);
    }


    // One exchange of operation 31 for the step, the card answering.
    int Emv(cardsim::EmvCard& card, int32_t step, const RudaStepArgument& arg = {}, RudaCallerBuffer* caller = nullptr) {
        pot->services[0].mask = step;
        if (Set(O_T_EMV_APDU, pot.get(), &arg) != 0 || sent.empty()) return kNoRow;
        return Answer(O_T_EMV_APDU, card.respond(sent), pot.get(), &arg, caller);
    }
    int32_t State() const { return pot->services[0].state; }

    TerminalBox t;
    KT_PERES* reader = nullptr;
    std::unique_ptr<CardReadRecord> record;
    std::unique_ptr<TerminalResultArea> area;
    std::unique_ptr<POT> pot;
    Bytes sent;
    testsupport::TraceCapture trace;
};


// ---------------------------------------------------------------------------
// Card reading, application selection and contactless control
// ---------------------------------------------------------------------------

TEST_F(RudaModuleOps, CardReadingRequestsReachTheirRows) {
    struct Reader {
        int chip;
        uint8_t chipOptions;
        int iso;
        uint8_t isoOptions;
        int keyWord;
        uint8_t keyByte;
        const char* apdu;
    } readers[] = {
        {1, 0x10, 1, 0x10, 1, 1, "D0601F01"},
        {1, 0x10, 1, 0x00, 1, 1, "D0600301"},
        {0, 0x00, 0, 0x00, 0, 0, "D060C100"},
    };
    for (const Reader& c : readers) {
        *record = CardReadRecord{};
        record->mode = 1;
        record->chipRequested = c.chip;
        record->chipOptions = c.chipOptions;
        record->isoRequested = c.iso;
        record->isoOptions = c.isoOptions;
        record->keyAbortRequested = c.keyWord;
        record->keyAbortRequestedByte = c.keyByte;
        EXPECT_EQ(Set(O_T_CARD_STATUT, record.get()), 0) << c.apdu;
        EXPECT_EQ(sent, Hex(c.apdu));
    }

    EXPECT_EQ(Set(O_T_OPEN_INIT_CTL), 0);
    EXPECT_EQ(sent, Hex("C0010000"));
    EXPECT_EQ(Set(O_T_CANCEL_CTL_TRS), 0);
    EXPECT_EQ(sent, Hex("C0C00000"));
    EXPECT_EQ(Set(O_T_POWERCARDREADER_ONOFF, 1), 0);
    EXPECT_EQ(sent, Hex("D05F0100"));
    EXPECT_EQ(Set(O_T_CARD_INSERTED), 0);
    EXPECT_EQ(sent, Hex("D0600200"));

    // Contactless start: the amount template with the country; the middle
    // value is not sent.
    CtlsTransactionData data{};
    data.amountPresent = 1;
    data.amount = 1000;
    data.currencyPresent = 1;
    data.currency = 978;
    data.typePresent = 1;
    EXPECT_EQ(Set(O_T_START_CTL_TRS, &data, 5000, 250), 0);
    const Bytes e0 = Element(0xE0, Hex("9F0206000000001000 5F2A020978 9C0100 9F1A020250"));
    EXPECT_EQ(sent, Concat({Hex("C0A00100"), Bytes{static_cast<uint8_t>(e0.size())}, e0}));
    EXPECT_EQ(Set(O_T_START_CTL_TRS, &data, -1, -1), 0);
    const Bytes noCountry = Element(0xE0, Hex("9F0206000000001000 5F2A020978 9C0100"));
    EXPECT_EQ(sent, Concat({Hex("C0A00100"), Bytes{static_cast<uint8_t>(noCountry.size())}, noCountry}));

    // Requests whose record is missing build no row, and the engine says so
    // by a status of 0 with nothing to send.
    EXPECT_EQ(Set(O_T_START_CTL_TRS, static_cast<CtlsTransactionData*>(nullptr), -1, -1), 0);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Set(O_T_ONLINE_PIN, static_cast<RudaPinRecord*>(nullptr)), 0);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Set(O_T_PREVAL_TRS, static_cast<POT*>(nullptr)), 0);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Set(O_T_EMV_APDU, static_cast<POT*>(nullptr), static_cast<RudaStepArgument*>(nullptr)), 0);
    EXPECT_TRUE(sent.empty());
}

TEST_F(RudaModuleOps, FirstSelectAfterACardStatusCarriesTheAid) {
    record->mode = 1;
    record->chipRequested = 1;
    ASSERT_EQ(Set(O_T_CARD_STATUT, record.get()), 0);
    const Bytes status = WithSw(Element(0xE0, Concat({Element(0x48, {0x03, 0x00}), Element(0x63, Hex("3B65000020"))})), 0x9000);
    ASSERT_EQ(Answer(O_T_CARD_STATUT, status, record.get(), area.get(), 0), 0);
    EXPECT_EQ(record->technology, CARD_TECH_CHIP);
    EXPECT_STREQ(area->peripheralCode, "2801");

    ASSERT_EQ(Set(O_T_SELECT_AID, area.get()), 0);
    EXPECT_EQ(sent, Hex("00A4040007A000000042101000"));
    const Bytes fci = WithSw(Element(0x6F, Concat({Element(0x84, Hex("A0000000421010")),
                                                   Element(0xA5, Concat({Element(0x50, testsupport::Text("CB")),
                                                                         Element(0x87, {1})}))})),
                             0x9000);
    EXPECT_EQ(Answer(O_T_SELECT_AID, fci, area.get()), 0);
    EXPECT_EQ(area->candidateCount, 1);
    EXPECT_STREQ(area->candidates[0], "a0000000421010");
    EXPECT_STREQ(area->labels[0], "CB");

    ASSERT_EQ(Set(O_T_SELECT_AID_CTL, area.get()), 0);
    EXPECT_EQ(sent, Hex("00A4040000"));
    EXPECT_EQ(Answer(O_T_SELECT_AID_CTL, Hex("6A82"), area.get()), 0);
    EXPECT_EQ(area->candidateCount, 1);
}

// Answers of the operations without records, and the card-removal check
// that every operation but 10, 100, 178 and 180 runs first.
TEST_F(RudaModuleOps, StatusWordAnswersAndTheRemovalCheck) {
    const Bytes removed = WithSw(Element(0xE0, Element(0x48, {0x01, 0x00})), 0x9000);
    struct Case {
        const char* name;
        int operation;
        Bytes answer;
        int status;
        const char* line;
    } cases[] = {
        {"abort done", O_T_ABORT, Hex("9000"), 0, nullptr},
        {"terminal locked", O_T_ABORT, Hex("9F50"), 81, "-- ERROR -- Terminal bloque (cadenas)"},
        {"abort after a removal", O_T_ABORT, removed, 1, "-- ERROR -- Reponse ABORT : SW1-SW2 : 9F0D"},
        {"reader opened", O_T_OPEN_INIT_CTL, Hex("9000"), 0, nullptr},
        {"reader not opened", O_T_OPEN_INIT_CTL, Hex("6F00"), 1, "-- ERROR -- Reponse OpenInit : SW1-SW2 : 6F00"},
        {"open after a removal", O_T_OPEN_INIT_CTL, removed, 1, "-- ERROR -- Reponse OpenInit : SW1-SW2 : 9F0D"},
        {"power switched", O_T_POWERCARDREADER_ONOFF, Hex("9000"), 0, nullptr},
        {"power refused", O_T_POWERCARDREADER_ONOFF, Hex("6F00"), 1,
         "-- ERROR -- Reponse Reset Device : cannot power ON/OFF card reader"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Set(c.operation, 0), 0) << c.name;
        EXPECT_EQ(Answer(c.operation, c.answer), c.status) << c.name;
        if (c.line != nullptr) {
            EXPECT_TRUE(trace.Contains(c.line)) << c.name;
        }
    }
    EXPECT_TRUE(trace.Contains("** INFO. ** [analyseDetectionRetraitCarte] Retrait carte detecte"));

    // The presence request reads element 48 itself: no removal check.
    int32_t inserted = -1;
    ASSERT_EQ(Set(O_T_CARD_INSERTED), 0);
    EXPECT_EQ(Answer(O_T_CARD_INSERTED, removed, &inserted), 0);
    EXPECT_EQ(inserted, 1);
    ASSERT_EQ(Set(O_T_CARD_INSERTED), 0);
    EXPECT_EQ(Answer(O_T_CARD_INSERTED, Hex("9000"), &inserted), 0);
    EXPECT_EQ(inserted, 0);

    // Contactless cancel: busy, and a removal on a selection.
    ASSERT_EQ(Set(O_T_CANCEL_CTL_TRS), 0);
    EXPECT_EQ(Answer(O_T_CANCEL_CTL_TRS, Hex("9FFF"), record.get(), area.get()), 83);
    ASSERT_EQ(Set(O_T_SELECT_AID, area.get()), 0);
    EXPECT_EQ(Answer(O_T_SELECT_AID, removed, area.get()), 0) << "9F0D: nothing selected";
    EXPECT_EQ(area->candidateCount, 0);
}

// Terminal reset: the request carries both numbers; the answer's serial
// number overwrites the caller's text up to that text's own length.
TEST_F(RudaModuleOps, ResetDeviceRequestsAndSerialNumber) {
    EXPECT_EQ(Set(O_T_RESET_DEVICE, 0, 33), 0);
    EXPECT_EQ(sent, Hex("D0000021"));
    EXPECT_EQ(Set(O_T_RESET_DEVICE, 1, 0x27), 0);
    EXPECT_EQ(sent, Hex("D0000127"));
    EXPECT_EQ(Set(O_T_SOFT_RESET, 2, 0), 0);
    EXPECT_EQ(sent, Hex("D00A020008E006DFED0D020700"));

    const Bytes serial12 = WithSw(Element(0xE0, Element(0x9F1E, testsupport::Text("123456789012345"))), 0x9000);
    const Bytes serial8 = WithSw(Element(0xE0, Element(0x9F1E, testsupport::Text("ABCDEFGH"))), 0x9000);
    struct Case {
        const char* name;
        Bytes answer;
        const char* before;  // the caller's text (nullptr: no buffer)
        int status;
        const char* after;
        const char* line;
    } cases[] = {
        {"twelve characters asked, fifteen given", serial12, "000000000000", 0, "123456789012", nullptr},
        {"twelve asked, eight given", serial8, "000000000000", 0, "ABCDEFGH", nullptr},
        {"no buffer", serial8, nullptr, 0, nullptr, nullptr},
        {"no serial number", Hex("9000"), "000000000000", 0, "000000000000",
         "-- ERROR -- Reponse Reset Device : serial number not present"},
        {"refused", Hex("6F00"), "000000000000", 1, "000000000000", "-- ERROR -- Reponse Reset Device : SW1-SW2 : 6F00"},
    };
    for (const Case& c : cases) {
        char text[32] = {};
        if (c.before != nullptr) std::snprintf(text, sizeof text, "%s", c.before);
        ASSERT_EQ(Set(O_T_RESET_DEVICE, 0, 0x2F), 0) << c.name;
        EXPECT_EQ(Answer(O_T_RESET_DEVICE, c.answer, c.before != nullptr ? text : nullptr), c.status) << c.name;
        if (c.after != nullptr) {
            EXPECT_STREQ(text, c.after) << c.name;
        }
        if (c.line != nullptr) {
            EXPECT_TRUE(trace.Contains(c.line)) << c.name;
        }
    }
}

// The contactless start answer read through the engine with the record,
// the area and the restart value; an unfinished answer is read again.
TEST_F(RudaModuleOps, ContactlessStartAnswers) {
    const Bytes pan = Element(0x5A, Hex("4970100012345678"));
    const auto kernel = [](const char* word) { return Element(0xDFC037, Hex(word)); };
    struct Case {
        const char* name;
        Bytes answer;
        int restart;
        int result;
        int status;
        const char* eventData;
        bool stored;
    } cases[] = {
        {"status word alone", Hex("9000"), 0, 64, -1, "", false},
        {"no application, restart asked", WithSw(Element(0xE5, pan), 0x9F28), 1, 64, 4, "", false},
        {"no application, no restart", WithSw(Element(0xE5, pan), 0x9F28), 0, 0, 0, "", true},
        {"card to remove", Hex("9F36"), 0, 64, 7, "", false},
        {"key exchange", Hex("9F55"), 0, 82, -1, "", false},
        {"read, card not genuine", WithSw(Element(0xE3, Concat({pan, kernel("279000")})), 0x9000), 0, 0, 0, "CNG", true},
        {"template of 1025 bytes", WithSw(Element(0xE3, Concat({pan, Element(0x9F10, Bytes(1013, 1))})), 0x9000), 0, 1, 0, "",
         false},
    };
    for (const Case& c : cases) {
        *record = CardReadRecord{};
        *area = TerminalResultArea{};
        record->status = -1;
        CtlsTransactionData data{};
        data.amountPresent = 1;
        data.amount = 100;
        ASSERT_EQ(Set(O_T_START_CTL_TRS, &data, -1, 250), 0) << c.name;
        EXPECT_EQ(Answer(O_T_START_CTL_TRS, c.answer, record.get(), area.get(), c.restart), c.result) << c.name;
        EXPECT_EQ(record->status, c.status) << c.name;
        EXPECT_STREQ(record->eventData, c.eventData) << c.name;
        EXPECT_EQ(record->ctlsData.length > 0, c.stored) << c.name;
        // An unfinished answer leaves its row to be read again.
        const bool rearmed = t.box->answers[0][0] == '1';
        EXPECT_EQ(rearmed, c.result == PV_NOT_YET) << c.name;
    }
    // The missing record is a missing result argument.
    CtlsTransactionData data{};
    data.amountPresent = 1;
    ASSERT_EQ(Set(O_T_START_CTL_TRS, &data, -1, -1), 0);
    EXPECT_EQ(Answer(O_T_START_CTL_TRS, Hex("9000"), static_cast<CardReadRecord*>(nullptr), area.get(), 0), -1);
}

TEST_F(RudaModuleOps, OnlinePinBlockReachesTheRecordAndNoTrace) {
    auto pin = std::make_unique<RudaPinRecord>();
    pin->amount = 1000;
    pin->df24 = 978;
    std::strcpy(pin->pan, "4970100012345678");
    ASSERT_EQ(Set(O_T_ONLINE_PIN, pin.get()), 0);
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), Hex("DED60200"));
    const Bytes block = Hex("8C4E21D3A7F0965B");
    EXPECT_EQ(Answer(O_T_ONLINE_PIN, WithSw(Element(0xDFED6C, block), 0x9000), pin.get()), 0);
    EXPECT_EQ(Bytes(pin->pinBlock, pin->pinBlock + pin->pinBlockLength), block);
    for (const std::string& line : trace.lines()) {
        EXPECT_EQ(line.find("8c4e21d3"), std::string::npos) << line;
        EXPECT_EQ(line.find("8C4E21D3"), std::string::npos) << line;
    }
}

// ---------------------------------------------------------------------------
// Prevalidated transaction steps
// ---------------------------------------------------------------------------

TEST_F(RudaModuleOps, PrevalidationStepsFillPotAndTheCandidates) {
    pot->amount = PotNumber{1, 1000};
    pot->currencyCode = PotNumber{1, 978};
    pot->transactionType = PotNumber{1, 0};
    testsupport::SetPotString(pot->transactionDate, "20261211");
    ASSERT_EQ(Set(O_T_PREVAL_TRS, pot.get()), 0);
    ASSERT_GE(sent.size(), 6u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), Hex("DED10000"));
    EXPECT_EQ(sent[5], 0xE0);

    auto candidates = std::make_unique<RudaCandidateRecord[]>(kRudal2CandidateMax);
    const auto read = [&](int operation, const Bytes& answer) {
        return operation == O_T_PREVAL_TRS || operation == O_T_PREVAL_CONTINUE
                   ? Answer(operation, answer, pot.get(), candidates.get())
                   : Answer(operation, answer, pot.get());
    };
    // Two applications: one record each, split on the parsed 9F06 elements
    // (the bytes 9F 06 inside 9F10 split nothing).
    const Bytes two = WithSw(Element(0xE3, Concat({Element(0x9F06, Hex("A0000000421010")), Element(0x50, testsupport::Text("CB")),
                                                   Element(0x9F10, Hex("9F0601")),
                                                   Element(0x9F06, Hex("A0000000041010")), Element(0x50, testsupport::Text("MC")),
                                                   Element(0x5A, Hex("4970100012345678FFFF"))})),
                             0x9000);
    EXPECT_EQ(read(O_T_PREVAL_TRS, two), 0);
    EXPECT_EQ(candidates[0].found, 1);
    EXPECT_EQ(candidates[1].found, 1);
    EXPECT_EQ(candidates[2].found, 0);
    EXPECT_EQ(Bytes(candidates[1].aid, candidates[1].aid + candidates[1].aidLength), Hex("A0000000041010"));
    EXPECT_EQ(Bytes(candidates[1].label, candidates[1].label + candidates[1].labelLength), testsupport::Text("MC"));
    EXPECT_EQ(pot->authorisationMode.flag, 1);
    EXPECT_EQ(pot->authorisationMode.value, 64);
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345678FFF") << "20 characters ending in F are cut to 19";

    // The continue request carries the candidate list.
    RudaCandidateEntry list[2] = {};
    list[0].aidLength = 14;
    std::strcpy(list[0].aid, "A0000000421010");
    ASSERT_EQ(Set(O_T_PREVAL_CONTINUE, pot.get(), list), 0);
    ASSERT_GE(sent.size(), 8u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 4), Hex("DED20000"));
    EXPECT_EQ(sent[5], 0xE0);
    EXPECT_EQ(Bytes(sent.begin() + 7, sent.begin() + 10), Hex("9F0607")) << "the candidate's identifier first";

    struct Case {
        const char* name;
        int operation;
        Bytes answer;
        int status;
        int service;
        int32_t state;
    } cases[] = {
        {"holder cancelled", O_T_PREVAL_CONTINUE, Hex("9F41"), 32, 8, 5},
        {"card gone", O_T_CONTINUE_TRS, WithSw(Element(0xE0, {}), 0x9000), 32, 0, RUDA_OUTCOME_CARD_GONE},
        {"not finished", O_T_CONTINUE_TRS, WithSw(Element(0xE6, {}), 0x9000), 64, 0, -1},
        {"declined offline", O_T_SECOND_CONTINUE, WithSw(Element(0xE5, Element(0x9F27, {0x00})), 0x9000), 0, 0, -1},
        {"unknown template", O_T_SECOND_CONTINUE, WithSw(Element(0xE9, {}), 0x9000), 32, 0, RUDA_OUTCOME_SW_REFUSED},
    };
    for (const Case& c : cases) {
        pot->services[0].state = -1;
        pot->services[8].state = -1;
        RudaContinueValues values{"0002", "00000000", "0000000000", "0000000000", ""};
        const int set = c.operation == O_T_CONTINUE_TRS   ? Set(c.operation, pot.get(), &values)
                        : c.operation == O_T_PREVAL_CONTINUE ? Set(c.operation, pot.get(), list)
                                                             : Set(c.operation, pot.get());
        ASSERT_EQ(set, 0) << c.name;
        EXPECT_FALSE(sent.empty()) << c.name;
        EXPECT_EQ(read(c.operation, c.answer), c.status) << c.name;
        EXPECT_EQ(pot->services[c.service].state, c.state) << c.name;
    }
    EXPECT_EQ(pot->authorisationMode.value, 0) << "E5";

    // 181 and 182 need the candidate records.
    ASSERT_EQ(Set(O_T_PREVAL_TRS, pot.get()), 0);
    EXPECT_EQ(Answer(O_T_PREVAL_TRS, two, pot.get(), static_cast<RudaCandidateRecord*>(nullptr)), 1);
}

// ---------------------------------------------------------------------------
// EMV level 2 through operation 31, the card simulator answering
// ---------------------------------------------------------------------------

TEST_F(RudaModuleOps, LevelTwoDialogueWithTheCard) {
    cardsim::EmvCard card = Card();
    testsupport::SetPotString(pot->selectedAid, "A0000000421010");
    unsigned char sw[2] = {};
    RudaCallerBuffer caller;
    caller.statusWord = sw;
    ASSERT_EQ(Emv(card, RUDA_STEP_SELECT, {}, &caller), 0);
    EXPECT_EQ(sent, Hex("00A4040007A000000042101000"));
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(Bytes(sw, sw + 2), Hex("9000"));

    // PDOL data of 128 bytes: 83 81 80.
    testsupport::SetPotString(pot->pdolData, std::string(256, '0'));
    ASSERT_EQ(Emv(card, RUDA_STEP_GPO), 0);
    ASSERT_GE(sent.size(), 8u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 8), Hex("80A80000 83 838180"));
    EXPECT_EQ(sent.size(), 5u + 3 + 128 + 1);
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->aip), "5c00");

    const int records = RUDA_AflRecordCount(pot.get());
    ASSERT_EQ(records, 3);
    for (int i = 0; i < records; ++i) {
        RudaStepArgument arg;
        ASSERT_TRUE(RUDA_AflRecord(pot.get(), i, &arg));
        RudaAnswerHolder holder{};
        arg.holder = &holder;
        ASSERT_EQ(Emv(card, RUDA_STEP_READ_RECORD, arg), 0) << i;
        EXPECT_EQ(sent[1], 0xB2);
        EXPECT_EQ(State(), RUDA_OUTCOME_DONE) << i;
        EXPECT_GT(holder.length, 2) << "the holder of record " << i << " keeps its answer";
    }
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345670");
    EXPECT_EQ(pot->countryCode.value, 250);
    EXPECT_EQ(RUDA_RecordsFilled(), -1);

    ASSERT_EQ(Emv(card, RUDA_STEP_PIN_TRY_COUNTER), 0);
    EXPECT_EQ(sent, Hex("80CA9F1700"));
    EXPECT_EQ(pot->df81811a.value, 3);

    const std::string hashInput = "00112233445566778899AABBCCDDEEFF";
    testsupport::SetPotString(pot->cdolData, std::string(58, '0'));  // 29 bytes
    testsupport::SetPotString(pot->hashInput, hashInput);
    pot->hashFlag = 1;
    pot->hashPosition = 9;
    pot->authorisationMode = PotNumber{1, 0x40};
    ASSERT_EQ(Emv(card, RUDA_STEP_FIRST_AC), 0);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 5), Hex("80AE40001D"));
    const Bytes data = card.lastGenerateAcData();
    ASSERT_EQ(data.size(), 29u);
    EXPECT_EQ(Bytes(data.begin() + 9, data.end()), Hex(testsupport::OpensslSha1Hex(Hex(hashInput))));
    EXPECT_EQ(State(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->cryptogramInfo1), "40");
    EXPECT_EQ(pot->atc.value, 23);
    EXPECT_EQ(pot->busy, 0);
}

TEST_F(RudaModuleOps, LevelTwoOutcomesOfScriptedCards) {
    struct Case {
        const char* name;
        std::string scenario;
        int32_t lastStep;
        int32_t state;
        const char* aip;
        const char* afl;
    } cases[] = {
        {"recorded GPO answer", "gpo-answer 800A5C000801010010010300 9000\n", RUDA_STEP_GPO, RUDA_OUTCOME_DONE, "5c00",
         "0801010010010300"},
        {"AFL entry 08 02 01 00", "fault bad-afl\n", RUDA_STEP_GPO, RUDA_OUTCOME_MALFORMED, "", ""},
        {"no PIN try left", "pin-try 0\n", RUDA_STEP_PIN_TRY_COUNTER, RUDA_OUTCOME_PIN_BLOCKED, "5c00", nullptr},
        {"a listed tag in two records", "fault repeat-tag 9F32\n", RUDA_STEP_READ_RECORD, RUDA_OUTCOME_INCONSISTENT, "5c00",
         nullptr},
    };
    for (const Case& c : cases) {
        POT_StartTransaction(pot.get());
        testsupport::SetPotString(pot->selectedAid, "A0000000421010");
        cardsim::EmvCard card = Card(c.scenario);
        ASSERT_EQ(Emv(card, RUDA_STEP_SELECT), 0) << c.name;
        ASSERT_EQ(Emv(card, RUDA_STEP_GPO), 0) << c.name;
        if (c.lastStep == RUDA_STEP_READ_RECORD) {
            for (int i = 0; State() == RUDA_OUTCOME_DONE && i < RUDA_AflRecordCount(pot.get()); ++i) {
                RudaStepArgument arg;
                RUDA_AflRecord(pot.get(), i, &arg);
                ASSERT_EQ(Emv(card, RUDA_STEP_READ_RECORD, arg), 0) << c.name;
            }
        } else if (c.lastStep == RUDA_STEP_PIN_TRY_COUNTER) {
            ASSERT_EQ(Emv(card, RUDA_STEP_PIN_TRY_COUNTER), 0) << c.name;
        }
        EXPECT_EQ(State(), c.state) << c.name;
        EXPECT_EQ(testsupport::PotString(pot->aip), c.aip) << c.name;
        if (c.afl != nullptr) {
            EXPECT_EQ(testsupport::PotString(pot->afl), c.afl) << c.name;
        }
        EXPECT_EQ(RUDA_RecordsFilled(), -1) << c.name;
    }
    EXPECT_TRUE(trace.Contains("** INFO. ** Read record : Redondance Tag 9f32 (In different records)"));
}

// What the terminal says before the card does: a removal turns the answer
// into 9F0D (the card is gone), the holder's cancel key fails the exchange.
TEST_F(RudaModuleOps, LevelTwoTerminalEvents) {
    testsupport::SetPotString(pot->selectedAid, "A0000000421010");
    pot->services[0].mask = RUDA_STEP_SELECT;
    RudaStepArgument arg;
    ASSERT_EQ(Set(O_T_EMV_APDU, pot.get(), &arg), 0);
    EXPECT_EQ(Answer(O_T_EMV_APDU, WithSw(Element(0xE0, Element(0x48, {0x01})), 0x9000), pot.get(), &arg,
                     static_cast<RudaCallerBuffer*>(nullptr)),
              0);
    EXPECT_EQ(State(), RUDA_OUTCOME_CARD_GONE);
    EXPECT_EQ(pot->busy, 0);

    ASSERT_EQ(Set(O_T_EMV_APDU, pot.get(), &arg), 0);
    EXPECT_EQ(Answer(O_T_EMV_APDU, WithSw(Element(0xE0, Element(0xDFA205, {27})), 0x9000), pot.get(), &arg,
                     static_cast<RudaCallerBuffer*>(nullptr)),
              PV_PROTO_ERROR);
    EXPECT_EQ(pot->busy, 1);

    ASSERT_EQ(Set(O_T_EMV_APDU, pot.get(), &arg), 0);
    EXPECT_EQ(Answer(O_T_EMV_APDU, Hex("9000"), static_cast<POT*>(nullptr), &arg, static_cast<RudaCallerBuffer*>(nullptr)),
              PV_PROTO_ERROR);
}

}  // namespace
