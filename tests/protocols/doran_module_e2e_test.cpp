// The DORAN module end to end: each operation set and read through the
// terminal script engine, carried by the XA link over a real
// pseudo-terminal, answered by the DORAN terminal simulator. What the
// simulator decoded is the oracle of the requests; the records the oracle
// of the answers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "protocols/card_records.h"
#include "protocols/doran/doran_card_ops.h"
#include "protocols/doran/doran_module.h"
#include "protocols/module_contract.h"
#include "protocols/pot.h"
#include "protocols/pv_status.h"
#include "support/doran_station.h"
#include "support/trace_capture.h"

namespace {

using doransim::Bytes;
using testsupport::DoranStation;
using testsupport::kDoranDisplay;
using testsupport::kDoranReader;


// The last request the terminal decoded.
doransim::Message LastRequest(DoranStation& s) {
    const auto all = s.terminal().requests();
    return all.empty() ? doransim::Message{} : all.back().message;
}

std::string Tags(const doransim::Message& m) {
    std::string out;
    char t[12];
    for (uint32_t tag : m.tags) {
        std::snprintf(t, sizeof t, "%s%X", out.empty() ? "" : " ", tag);
        out += t;
    }
    return out;
}

}  // namespace

// A data entry on the terminal's keypad: the request carries the text area
// and asks for the entry; the answer's entry fills the result.
TEST(DoranModuleEndToEnd, DataEntryOnTheTerminal) {
    DoranStation s("dialogue 4 result=0 entry=0356313233\n");
    ASSERT_TRUE(s.ready());
    auto block = std::make_unique<TermDisplayBlock>();
    block->kind = 4;
    const char text[] = "00\0\0\033P\x01\x05";
    std::memcpy(block->text, text, sizeof text);
    block->textLength = sizeof text;
    ASSERT_EQ(s.run(kDoranDisplay, O_T_WDATA, block.get()), PV_ALL_FINE);

    const doransim::Message request = LastRequest(s);
    EXPECT_EQ(request.peripheral, 0x40u);
    EXPECT_EQ(request.command, 4u);
    EXPECT_EQ(doransim::Find(request.data, 0xDFF88300), Bytes(text, text + sizeof text));
    EXPECT_EQ(Tags(request), "DF828000 DFF08400");
    EXPECT_EQ(block->result, 0);
    EXPECT_EQ(block->resultField, 'V');
    EXPECT_EQ(block->resultLength, 3);
    EXPECT_EQ(std::string(block->resultData, 3), "123");
    EXPECT_EQ(block->busy, 0);
}

// Operation 30: the card data of DF808400 loads the card-data record.
TEST(DoranModuleEndToEnd, EmvDataLoadsTheCardRecord) {
    DoranStation s("emv 5A0849701000123456785F240325123157124970100012345678D251220100000000000F\n");
    ASSERT_TRUE(s.ready());
    auto pot = std::make_unique<POT>();
    POT_StartTransaction(pot.get());
    pot->peripheralFlag = 1;
    std::memcpy(pot->peripheral, "2801", 5);
    pot->services[0].mask = POT_SERVICE_CARD_DATA | POT_SERVICE_AIP_AFL;
    ASSERT_EQ(s.run(kDoranReader, O_T_EMV_DATA, pot.get()), PV_ALL_FINE);
    EXPECT_EQ(LastRequest(s).peripheral, 0x2801u);
    EXPECT_EQ(LastRequest(s).command, 4u);
    EXPECT_STREQ(pot->pan.text, "4970100012345678");
    EXPECT_STREQ(pot->expiryDate.text, "251231");
    EXPECT_STREQ(pot->track2Equivalent.text, "4970100012345678D251220100000000000F");
    EXPECT_EQ(pot->busy, 0);
    POT_StartTransaction(pot.get());
}

// A fetch before the terminal announced its answer is refused by the
// terminal (EOT): nothing is stored, the read says "not yet"; once the
// terminal announced, the same read gets the answer.
TEST(DoranModuleEndToEnd, FetchBeforeTheAnnouncementIsNotYet) {
    DoranStation s("echo A0 delay=300\nevent key 65\n");
    ASSERT_TRUE(s.ready());
    auto card = std::make_unique<CardReadRecord>();
    card->keyAbortRequested = 1;
    card->keyAbortRequestedByte = 1;
    card->timeoutTenths = 300;
    ASSERT_EQ(s.set(kDoranReader, O_T_EVENT, card.get()), PV_ALL_FINE);
    EXPECT_EQ(s.get(kDoranReader, O_T_EVENT, card.get()), PV_NOT_YET);
    EXPECT_EQ(card->answerValid, 0);
    ASSERT_TRUE(s.announced());
    ASSERT_EQ(s.get(kDoranReader, O_T_EVENT, card.get()), PV_ALL_FINE);
    EXPECT_EQ(card->technology, CARD_TECH_KEYBOARD);
    EXPECT_EQ(card->eventData[0], 65);
    ASSERT_TRUE(s.terminal().waitDialogues(3, 2000));
    const auto dialogues = s.terminal().dialogues();
    EXPECT_EQ(dialogues[0].kind, 'S');
    EXPECT_EQ(dialogues[1].kind, 'E');
    EXPECT_EQ(dialogues[2].kind, 'R');
}

// The event wait of each reader over the line: the request asks the readers
// of the record, the terminal answers with the event of one of them.
TEST(DoranModuleEndToEnd, EventOfEachReader) {
    struct Case {
        const char* event;
        int technology;
        int status;
        std::string data;
    };
    const Case cases[] = {
        {"event key 51\n", CARD_TECH_KEYBOARD, 0, "3"},
        {"event stripe track2 \";4970100012345678=2512?\" track1 \"%B4970^DUPONT^2512?\"\n", CARD_TECH_ISO2, 0,
         ";4970100012345678=2512?"},
        {"event chip 1 value=6000\n", CARD_TECH_CHIP, 0, ""},
        {"event ctls status=5\n", CARD_TECH_CONTACTLESS, 5, ""},
        {"event cheque \"A12 34 56/\"\n", CARD_TECH_CHEQUE, 0x4000, "A12 34 56/"},
        {"event timeout\n", -1, 1, ""},
    };
    for (const Case& c : cases) {
        DoranStation s(c.event);
        ASSERT_TRUE(s.ready());
        auto card = std::make_unique<CardReadRecord>();
        card->isoRequested = 1;
        card->chequeRequested = 1;
        card->keyAbortRequested = 1;
        card->chipRequested = 1;
        card->chipOptions = 0x01;
        card->ctlsData.length = 2;
        std::memcpy(card->ctlsData.bytes, "\x9F\x02", 2);
        card->timeoutTenths = 300;
        ASSERT_EQ(s.run(kDoranReader, O_T_EVENT, card.get()), PV_ALL_FINE) << c.event;
        const doransim::Message request = LastRequest(s);
        EXPECT_EQ(request.peripheral, 0xA1u);
        EXPECT_EQ(request.command, 0x20u);
        EXPECT_EQ(doransim::Find(request.data, 0xDF828200), Bytes({0x01, 0x2C}));
        EXPECT_EQ(card->status, c.status) << c.event;
        if (c.technology >= 0) {
            EXPECT_EQ(card->technology, c.technology) << c.event;
        }
        EXPECT_EQ(std::string(card->eventData, size_t(card->eventLength)), c.data) << c.event;
    }
}

// The application list, the terminal information in both modes, online
// PIN and the two terminal calls, over the line.
TEST(DoranModuleEndToEnd, OtherOperations) {
    DoranStation s(
        "applist BFA801 A0000000421010 label=\"CB\" priority=1 lang=\"fren\"\n"
        "applist BFA001 A0000000041010\n"
        "terminfo single 9F0004543230329F030430312E41\n"
        "terminfo list 2\n"
        "pin 0412AC89DEADBEEF\n"
        "call61 0102\n"
        "call62 0A0B0C\n");
    ASSERT_TRUE(s.ready());
    auto area = std::make_unique<TerminalResultArea>();
    ASSERT_EQ(s.run(kDoranReader, O_T_SELECT_AID, area.get()), PV_ALL_FINE);
    ASSERT_EQ(area->candidateCount, 2);
    EXPECT_STREQ(area->candidates[0], "a0000000041010");
    EXPECT_STREQ(area->candidates[1], "a0000000421010");
    EXPECT_STREQ(area->labels[1], "CB");
    EXPECT_EQ(std::string(area->languages[1].code, 2), "en");

    auto info = std::make_unique<DrnTerminalInfoRecord>();
    ASSERT_EQ(s.run(kDoranReader, O_T_INFO, info.get()), PV_ALL_FINE);
    EXPECT_STREQ(info->t9f00.text, "T202");
    EXPECT_EQ(info->t9f03, 10);  // "01.A"
    info = std::make_unique<DrnTerminalInfoRecord>();
    info->listMode = 1;
    info->t9f53.flag = 1;
    info->t9f53.value = 2;
    ASSERT_EQ(s.run(kDoranReader, O_T_INFO, info.get()), PV_ALL_FINE);
    EXPECT_EQ(info->lists[0].length, 10);
    EXPECT_STREQ(info->lists[1].entries[1], "P001");

    auto pin = std::make_unique<DrnOnlinePinRecord>();
    pin->peripheralFlag = 1;
    std::memcpy(pin->peripheral, "28A1", 5);
    ASSERT_EQ(s.run(kDoranReader, O_T_ONLINE_PIN, pin.get()), PV_ALL_FINE);
    EXPECT_EQ(pin->pinBlockLength, 8);
    EXPECT_EQ(LastRequest(s).peripheral, 0x28A1u);

    auto c61 = std::make_unique<DrnTerminalCall61Record>();
    c61->peripheralFlag = 1;
    ASSERT_EQ(s.run(kDoranReader, O_T_TERMINAL_CALL_61, c61.get()), PV_ALL_FINE);
    EXPECT_EQ(c61->df848900Length, 2);
    auto c62 = std::make_unique<DrnTerminalCall62Record>();
    c62->peripheralFlag = 1;
    ASSERT_EQ(s.run(kDoranReader, O_T_TERMINAL_CALL_62, c62.get()), PV_ALL_FINE);
    EXPECT_EQ(c62->df848c00Length, 3);
}
