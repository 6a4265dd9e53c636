// The card operations of the RUDA module end to end: set and read through
// the terminal script engine, carried by the RUDA block link over a real
// pseudo-terminal, answered by the RUDA terminal simulator (scripted card
// events, the EMV card simulator behind the card APDUs). What the simulator
// recorded is the oracle of the bytes on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/card_records.h"
#include "protocols/module_contract.h"
#include "protocols/pot.h"
#include "protocols/ruda/ruda_card.h"
#include "protocols/ruda/ruda_level2.h"
#include "protocols/ruda/ruda_link.h"
#include "rudasim/ruda_terminal.h"
#include "support/apdu_bytes.h"
#include "support/com_fixture.h"
#include "support/ruda_line_station.h"
#include "support/openssl_cli.h"
#include "support/station_lock.h"
#include "support/terminal_box_fixture.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;

constexpr int kCardReader = 4;
const std::string kCard = "card " ZNP_SOURCE_DIR "/tools/cardsim/scenarios/chip_card.scn\n";
const std::string kTrack2 = ";4970100012345670=25122010000000000?";
// A chip card read, with its answer to reset (63), as the terminal reports it.
const std::string kChipWithAtr = "E0154802030063053B650000209F0607A00000004210109000";

// A RUDA card reader (function 4) of the script engine on a
// pseudo-terminal whose far end is the terminal simulator.
class RudaStation : public testsupport::RudaLineStation {
public:
    explicit RudaStation(const std::string& scenario) : RudaLineStation(scenario, "EFT_CAM_1") {
        record = std::make_unique<CardReadRecord>();
        area = std::make_unique<TerminalResultArea>();
        pot = std::make_unique<POT>();
        POT_StartTransaction(pot.get());
    }
    ~RudaStation() override { POT_StartTransaction(pot.get()); }

    // One operation: set through the engine, then its answer read back
    // through the engine (which sends the row over the line first) with the
    // result arguments given. -1000 when the set failed.
    template <typename... SetArgs>
    int set(int operation, SetArgs... args) {
        EPAP_ClearAll();
        return EPAP_SetCommand(kCardReader, operation, args...);
    }
    template <typename... GetArgs>
    int get(int operation, GetArgs... args) {
        return EPAP_GetResult(kCardReader, operation, args...);
    }
    // The last request as the terminal got it.
    rudasim::Exchange last() {
        const auto all = exchanges();
        return all.empty() ? rudasim::Exchange{} : all.back();
    }
    void push(const Bytes& event) { EXPECT_TRUE(terminal().pushEvent(event).empty()); }

    // One exchange of operation 31 for the step.
    int emv(int32_t step, const RudaStepArgument& arg = {}, RudaCallerBuffer* caller = nullptr) {
        pot->services[0].mask = step;
        if (set(O_T_EMV_APDU, pot.get(), &arg) != 0) return -1000;
        return get(O_T_EMV_APDU, pot.get(), &arg, caller);
    }

    std::unique_ptr<CardReadRecord> record;
    std::unique_ptr<TerminalResultArea> area;
    std::unique_ptr<POT> pot;
};

void AskCard(CardReadRecord* r, int chip, uint8_t chipOptions, int iso, uint8_t isoOptions, int key) {
    *r = CardReadRecord{};
    r->mode = 1;
    r->chipRequested = chip;
    r->chipOptions = chipOptions;
    r->isoRequested = iso;
    r->isoOptions = isoOptions;
    r->keyAbortRequested = key;
    r->keyAbortRequestedByte = static_cast<uint8_t>(key);
}

}  // namespace

// The card-status request of each reading the caller asks for goes on the
// line as the terminal expects it, and the scripted card event that answers
// it fills the card record.
TEST(RudaModuleEndToEnd, CardStatusAnsweredByScriptedEvents) {
    RudaStation s(kCard);
    ASSERT_TRUE(s.ready());
    const Bytes chipWithAtr = Hex(kChipWithAtr);
    struct Case {
        const char* name;
        int chip;
        uint8_t chipOptions;
        int iso;
        uint8_t isoOptions;
        int key;
        const char* apdu;
        Bytes event;
        int status;
        int32_t technology;
        const char* eventData;
    } cases[] = {
        {"chip, stripe and key asked; chip read", 1, 0x10, 1, 0x10, 1, "D0601F01", chipWithAtr, 0, CARD_TECH_CHIP,
         "3b65000020"},
        {"stripe without options; card swiped", 1, 0x10, 1, 0x00, 1, "D0600301", rudasim::StripeEvent("", kTrack2, ""),
         0, CARD_TECH_ISO2, "B4970100012345670D25122010000000000F"},
        {"nothing asked: the chip card is not taken", 0, 0x00, 0, 0x00, 0, "D060C100",
         rudasim::ChipEvent({Hex("A0000000421010")}), 64, CARD_TECH_KEYBOARD, ""},
    };
    for (const Case& c : cases) {
        AskCard(s.record.get(), c.chip, c.chipOptions, c.iso, c.isoOptions, c.key);
        *s.area = TerminalResultArea{};
        s.push(c.event);
        ASSERT_EQ(s.set(O_T_CARD_STATUT, s.record.get()), 0) << c.name;
        EXPECT_EQ(s.get(O_T_CARD_STATUT, s.record.get(), s.area.get(), 0), c.status) << c.name;
        const rudasim::Exchange e = s.last();
        EXPECT_EQ(e.apdu, Hex(c.apdu)) << c.name;
        EXPECT_EQ(e.nad, RUDA_NAD_COMMAND) << c.name;
        EXPECT_TRUE(e.lrcOk) << c.name;
        EXPECT_EQ(e.answer, c.event) << c.name;
        EXPECT_EQ(s.record->technology, c.technology) << c.name;
        EXPECT_STREQ(s.record->eventData, c.eventData) << c.name;
    }
}

// The stripe event's tracks reach the record; the chip event's candidates
// are the identifiers the first SELECT carries, the next SELECT asks for the
// next application.
TEST(RudaModuleEndToEnd, StripeTracksAndTheSelectsAfterACardStatus) {
    RudaStation s(kCard + "event stripe track1 \"%B4970100012345670^TEST/CARD^2512201?\" track2 \"" + kTrack2 +
                  "\"\nevent raw " + kChipWithAtr + "\n");
    ASSERT_TRUE(s.ready());
    AskCard(s.record.get(), 1, 0x10, 1, 0x10, 0);
    ASSERT_EQ(s.set(O_T_CARD_STATUT, s.record.get()), 0);
    EXPECT_EQ(s.get(O_T_CARD_STATUT, s.record.get(), s.area.get(), 0), 0);
    EXPECT_EQ(s.record->technology, CARD_TECH_ISO2);
    EXPECT_STREQ(s.record->eventData, "B4970100012345670D25122010000000000F");
    EXPECT_STREQ(s.record->track1Data, "%B4970100012345670^TEST/CARD^2512201F");

    AskCard(s.record.get(), 1, 0x10, 1, 0x10, 0);
    *s.area = TerminalResultArea{};
    ASSERT_EQ(s.set(O_T_CARD_STATUT, s.record.get()), 0);
    EXPECT_EQ(s.get(O_T_CARD_STATUT, s.record.get(), s.area.get(), 0), 0);
    EXPECT_EQ(s.record->technology, CARD_TECH_CHIP);

    ASSERT_EQ(s.set(O_T_SELECT_AID, s.area.get()), 0);
    EXPECT_EQ(s.get(O_T_SELECT_AID, s.area.get()), 0);
    EXPECT_EQ(s.last().apdu, Hex("00A4040007A000000042101000"));
    EXPECT_EQ(s.last().nad, RUDA_NAD_CARD);
    ASSERT_GE(s.last().answer.size(), 2u);
    EXPECT_EQ(s.last().answer[0], 0x6F) << "the card's FCI";
    EXPECT_EQ(s.area->candidateCount, 1);
    EXPECT_STREQ(s.area->candidates[0], "a0000000421010");

    ASSERT_EQ(s.set(O_T_SELECT_AID, s.area.get()), 0);
    s.get(O_T_SELECT_AID, s.area.get());
    EXPECT_EQ(s.last().apdu, Hex("00A4040000"));
    EXPECT_EQ(s.last().nad, RUDA_NAD_CARD);
}

// A card removed after its reading: the next operation's answer tells it
// (the abort fails on 9F0D), the one after reaches the terminal again.
TEST(RudaModuleEndToEnd, RemovalAfterTheCardWasRead) {
    RudaStation s(kCard + "event raw " + kChipWithAtr + "\nevent removal\n");
    ASSERT_TRUE(s.ready());
    testsupport::TraceCapture trace;
    AskCard(s.record.get(), 1, 0x10, 0, 0, 0);
    ASSERT_EQ(s.set(O_T_CARD_STATUT, s.record.get()), 0);
    EXPECT_EQ(s.get(O_T_CARD_STATUT, s.record.get(), s.area.get(), 0), 0);
    EXPECT_EQ(s.record->technology, CARD_TECH_CHIP);

    ASSERT_EQ(s.set(O_T_ABORT), 0);
    EXPECT_EQ(s.get(O_T_ABORT), 1);
    EXPECT_EQ(s.last().apdu, Hex("D0FF0000"));
    EXPECT_EQ(s.last().answer, Hex("E004480201009000"));
    EXPECT_TRUE(trace.Contains("** INFO. ** [analyseDetectionRetraitCarte] Retrait carte detecte"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- Reponse ABORT : SW1-SW2 : 9F0D"));

    ASSERT_EQ(s.set(O_T_ABORT), 0);
    EXPECT_EQ(s.get(O_T_ABORT), 0);
    EXPECT_EQ(s.last().answer, Hex("9000"));
}

// A contactless start over each outcome the terminal scripts: the status of
// the read, the record's status and its kernel word.
TEST(RudaModuleEndToEnd, ContactlessStartOverEachOutcome) {
    RudaStation s("");
    ASSERT_TRUE(s.ready());
    const Bytes pan = Element(0x5A, Hex("4970100012345670"));
    const auto kernel = [](const char* word) { return Element(0xDFC037, Hex(word)); };
    struct Case {
        const char* name;
        uint16_t sw;
        Bytes elements;
        int restart;
        int result;
        int32_t status;
        const char* eventData;
        bool stored;
    } cases[] = {
        {"status word alone", 0x9000, {}, 0, 64, -1, "", false},
        {"card to present again", 0x9F24, {}, 0, 16, -1, "", false},
        {"no application, restart asked", 0x9F28, Element(0xE5, pan), 1, 64, 4, "", false},
        {"card to remove", 0x9F36, {}, 0, 64, 7, "", false},
        {"key problem 9F51", 0x9F51, {}, 0, 82, -1, "", false},
        {"key problem 9F53", 0x9F53, {}, 0, 82, -1, "", false},
        {"key problem 9F54", 0x9F54, {}, 0, 82, -1, "", false},
        {"key problem 9F55", 0x9F55, {}, 0, 82, -1, "", false},
        {"refused 9F50", 0x9F50, {}, 0, 1, -1, "", false},
        {"refused 9F52", 0x9F52, {}, 0, 1, -1, "", false},
        {"read, card expired", 0x9000, Element(0xE3, Concat({pan, kernel("26")})), 0, 0, 0, "EXPCARD", true},
        {"read, card not genuine", 0x9000, Element(0xE3, Concat({pan, kernel("279000")})), 0, 0, 0, "CNG", true},
        {"read, collision", 0x9000, Element(0xE3, Concat({pan, kernel("42")})), 0, 0, 0, "COLL", true},
        {"other reading, no fallback", 0x9F33, Element(0xE3, Concat({pan, Element(0xDF25, {0x01})})), 0, 64, 2, "NOFB", true},
        {"template of 1025 bytes", 0x9000, Element(0xE3, Concat({pan, Element(0x9F10, Bytes(1013, 1))})), 0, 1, 0,
         "", false},
    };
    for (const Case& c : cases) {
        *s.record = CardReadRecord{};
        *s.area = TerminalResultArea{};
        s.record->status = -1;
        CtlsTransactionData data{};
        data.amountPresent = 1;
        data.amount = 1000;
        data.currencyPresent = 1;
        data.currency = 978;
        data.typePresent = 1;
        s.push(rudasim::CtlsEvent(c.sw, c.elements));
        ASSERT_EQ(s.set(O_T_START_CTL_TRS, &data, 5000, 250), 0) << c.name;
        EXPECT_EQ(s.get(O_T_START_CTL_TRS, s.record.get(), s.area.get(), c.restart), c.result) << c.name;
        const Bytes e0 = Element(0xE0, Hex("9F0206000000001000 5F2A020978 9C0100 9F1A020250"));
        EXPECT_EQ(s.last().apdu, Concat({Hex("C0A00100"), Bytes{static_cast<uint8_t>(e0.size())}, e0})) << c.name;
        EXPECT_EQ(s.record->status, c.status) << c.name;
        EXPECT_STREQ(s.record->eventData, c.eventData) << c.name;
        EXPECT_EQ(s.record->ctlsData.length > 0, c.stored) << c.name;
    }
}

// The level-2 dialogue of operation 31 with the card simulator behind the
// terminal: SELECT, GPO, READ RECORD per AFL, GET DATA and GENERATE AC fill
// POT; the hash the GENERATE AC carried is the SHA-1 of its input.
TEST(RudaModuleEndToEnd, LevelTwoDialogueFillsPot) {
    RudaStation s(kCard);
    ASSERT_TRUE(s.ready());
    POT* pot = s.pot.get();
    const auto state = [&] { return pot->services[0].state; };
    testsupport::SetPotString(pot->selectedAid, "A0000000421010");
    unsigned char sw[2] = {};
    RudaCallerBuffer caller;
    caller.statusWord = sw;
    ASSERT_EQ(s.emv(RUDA_STEP_SELECT, {}, &caller), 0);
    EXPECT_EQ(s.last().apdu, Hex("00A4040007A000000042101000"));
    EXPECT_EQ(s.last().nad, RUDA_NAD_CARD);
    EXPECT_EQ(state(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(Bytes(sw, sw + 2), Hex("9000"));

    // PDOL data of 128 bytes: 83 81 80.
    testsupport::SetPotString(pot->pdolData, std::string(256, '0'));
    ASSERT_EQ(s.emv(RUDA_STEP_GPO), 0);
    const Bytes gpo = s.last().apdu;
    ASSERT_EQ(gpo.size(), 5u + 3 + 128 + 1);
    EXPECT_EQ(Bytes(gpo.begin(), gpo.begin() + 8), Hex("80A80000 83 838180"));
    EXPECT_EQ(state(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->aip), "5c00");

    const int records = RUDA_AflRecordCount(pot);
    ASSERT_EQ(records, 3);
    for (int i = 0; i < records; ++i) {
        RudaStepArgument arg;
        ASSERT_TRUE(RUDA_AflRecord(pot, i, &arg));
        RudaAnswerHolder holder{};
        arg.holder = &holder;
        ASSERT_EQ(s.emv(RUDA_STEP_READ_RECORD, arg), 0) << i;
        const Bytes read = s.last().apdu;
        ASSERT_GE(read.size(), 4u);
        EXPECT_EQ(Bytes(read.begin(), read.begin() + 2), Hex("00B2")) << i;
        EXPECT_EQ(state(), RUDA_OUTCOME_DONE) << i;
        EXPECT_EQ(Bytes(holder.bytes, holder.bytes + holder.length), s.last().answer) << "record " << i;
    }
    EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345670");
    EXPECT_EQ(pot->countryCode.value, 250);

    ASSERT_EQ(s.emv(RUDA_STEP_PIN_TRY_COUNTER), 0);
    EXPECT_EQ(s.last().apdu, Hex("80CA9F1700"));
    EXPECT_EQ(pot->df81811a.value, 3);

    const std::string hashInput = "00112233445566778899AABBCCDDEEFF";
    testsupport::SetPotString(pot->cdolData, std::string(58, '0'));  // 29 bytes
    testsupport::SetPotString(pot->hashInput, hashInput);
    pot->hashFlag = 1;
    pot->hashPosition = 9;
    pot->authorisationMode = PotNumber{1, 0x40};
    ASSERT_EQ(s.emv(RUDA_STEP_FIRST_AC), 0);
    const Bytes ac = s.last().apdu;
    ASSERT_EQ(ac.size(), 5u + 29 + 1);
    EXPECT_EQ(Bytes(ac.begin(), ac.begin() + 5), Hex("80AE40001D"));
    EXPECT_EQ(Bytes(ac.begin() + 5 + 9, ac.begin() + 5 + 29), Hex(testsupport::OpensslSha1Hex(Hex(hashInput))));
    EXPECT_EQ(state(), RUDA_OUTCOME_DONE);
    EXPECT_EQ(testsupport::PotString(pot->cryptogramInfo1), "40");
    EXPECT_EQ(pot->atc.value, 23);
    EXPECT_EQ(pot->busy, 0);

    // Each step was one request on the card's NAD, every block's LRC right.
    const auto all = s.exchanges();
    EXPECT_EQ(all.size(), 7u);
    for (const rudasim::Exchange& e : all) {
        EXPECT_TRUE(e.lrcOk) << cardsim::ToHex(e.apdu);
        EXPECT_EQ(e.nad, RUDA_NAD_CARD) << cardsim::ToHex(e.apdu);
    }
}

// The line's communication trace, in either of its modes, holds every byte
// that went on the line but none of the card data: a swiped card's tracks,
// the chip's records (card number, track 2 equivalent, expiry, holder name)
// and a contactless answer of two blocks whose card number lies across them.
// What is no card data stays readable.
TEST(RudaModuleEndToEnd, CommunicationTraceHoldsNoCardData_Mended) {
    const Bytes pan = Hex("4970100012345670");
    const Bytes track = Hex("4970100012345670D2512201000000000F");
    const Bytes secrets[] = {
        testsupport::Text("4970100012345670"), testsupport::Text("TEST/CARD"), testsupport::Text("2512201"),
        pan, Bytes(track.begin() + 8, track.end()), Hex("251231"),
        // Either half of the packed card number.
        Hex("49701000"), Hex("12345678"),
    };
    for (const uint8_t mode : {WCOM_TRACE_WANALY, WCOM_TRACE_SQLITE}) {
        SCOPED_TRACE(static_cast<int>(mode));
        RudaStation s(kCard + "event stripe track1 \"%B4970100012345670^TEST/CARD^2512201?\" track2 \"" + kTrack2 +
                      "\"\n");
        ASSERT_TRUE(s.ready());
        ASSERT_EQ(WCOM_SetResourceTraceMode(s.pty.port, mode), 1);

        // A swiped card.
        AskCard(s.record.get(), 1, 0x10, 1, 0x10, 0);
        ASSERT_EQ(s.set(O_T_CARD_STATUT, s.record.get()), 0);
        EXPECT_EQ(s.get(O_T_CARD_STATUT, s.record.get(), s.area.get(), 0), 0);
        EXPECT_STREQ(s.record->track1Data, "%B4970100012345670^TEST/CARD^2512201F");

        // The chip card's records.
        POT* pot = s.pot.get();
        testsupport::SetPotString(pot->selectedAid, "A0000000421010");
        ASSERT_EQ(s.emv(RUDA_STEP_SELECT), 0);
        ASSERT_EQ(s.emv(RUDA_STEP_GPO), 0);
        const int records = RUDA_AflRecordCount(pot);
        ASSERT_EQ(records, 3);
        for (int i = 0; i < records; ++i) {
            RudaStepArgument arg;
            ASSERT_TRUE(RUDA_AflRecord(pot, i, &arg));
            ASSERT_EQ(s.emv(RUDA_STEP_READ_RECORD, arg), 0) << i;
        }
        EXPECT_EQ(testsupport::PotString(pot->pan), "4970100012345670");

        // A contactless card whose card number lies across the end of the
        // answer's first block (254 bytes).
        const Bytes elements = Element(
            0xE3, Concat({Element(0x9F10, Bytes(240, 0x11)), Element(0x5A, pan), Element(0x57, track),
                          Element(0x9F6B, track), Element(0x5F24, Hex("251231"))}));
        const Bytes panElement = Element(0x5A, pan);
        const auto at = std::search(elements.begin(), elements.end(), panElement.begin(), panElement.end());
        ASSERT_LT(at - elements.begin() + 2, 254);
        ASSERT_GT(at - elements.begin() + 10, 254);
        s.push(rudasim::CtlsEvent(0x9000, elements));
        CtlsTransactionData data{};
        data.amountPresent = 1;
        data.amount = 1000;
        ASSERT_EQ(s.set(O_T_START_CTL_TRS, &data, 5000, 250), 0);
        s.get(O_T_START_CTL_TRS, s.record.get(), s.area.get(), 0);
        EXPECT_EQ(s.last().answer, rudasim::CtlsEvent(0x9000, elements));

        WComTraceCloseAll();
        Bytes sent, received;
        for (const testsupport::TraceRecord& r : testsupport::ReadTraceRecords(s.pty.trace))
            if (r.status == 0) (r.direction == 1 ? sent : received).push_back(static_cast<uint8_t>(r.byte));
        // Every byte that went is there, one record each.
        size_t sentBytes = 0;
        for (const rudasim::Exchange& e : s.exchanges())
            for (const Bytes& block : e.blocks) sentBytes += block.size();
        EXPECT_EQ(sent.size(), sentBytes);
        ASSERT_GT(received.size(), elements.size());
        const auto holds = [](const Bytes& all, const Bytes& part) {
            return std::search(all.begin(), all.end(), part.begin(), part.end()) != all.end();
        };
        // The information bytes of the blocks, joined: a value cut by a
        // block's end is whole again.
        const auto joined = [](const Bytes& stream) {
            Bytes out;
            for (size_t i = 0; i + 3 <= stream.size() && i + 4 + stream[i + 2] <= stream.size();
                 i += 4 + stream[i + 2])
                out.insert(out.end(), stream.begin() + static_cast<long>(i) + 3,
                           stream.begin() + static_cast<long>(i) + 3 + stream[i + 2]);
            return out;
        };
        ASSERT_TRUE(holds(joined(received), Hex("9F1081F0")));
        for (const Bytes& secret : secrets) {
            for (const Bytes& bytes : {sent, received, joined(sent), joined(received)})
                EXPECT_FALSE(holds(bytes, secret)) << cardsim::ToHex(secret);
        }
        // The requests, the elements' tags and lengths, the status words and
        // the data that is no card data stay.
        EXPECT_TRUE(holds(sent, Hex("00B2010C")));
        EXPECT_TRUE(holds(sent, Hex("C0A00100")));
        EXPECT_TRUE(holds(received, Hex("5F2403")));
        EXPECT_TRUE(holds(received, Hex("9F1081F0 1111111111")));
        EXPECT_TRUE(holds(received, Hex("A0000000421010")));
        EXPECT_TRUE(holds(received, Hex("9000")));
    }
}
