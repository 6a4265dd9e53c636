// The DORAN command module without a line: the messages its builders make
// (the expected bytes written here with the test's own BER-TLV elements,
// openssl reading them back), and its decoders by tables of answers: the
// dialogue, the event of each source, the application list, online PIN,
// the terminal calls and the terminal information, with the answers that
// do not fit their records. The entry points read the terminal frame.
#include "protocols/doran/doran_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardsim/emv_card.h"
#include "periph/terminal_box.h"
#include "protocols/doran/doran_syntax.h"
#include "protocols/module_contract.h"
#include "protocols/pv_status.h"
#include "support/apdu_bytes.h"
#include "support/openssl_cli.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;
using testsupport::TraceCapture;

Bytes Two(uint32_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A DORAN message as the test builds it.
Bytes Message(uint32_t peripheral, uint32_t command, const Bytes& e2, const Bytes& tags = {}) {
    Bytes e1 = Element(0xC4, Two(command));
    if (!e2.empty()) e1 = Concat({e1, Element(0xE2, e2)});
    if (!tags.empty()) e1 = Concat({e1, Element(0x5C, tags)});
    return Element(0xE0, Concat({Element(0xC3, Two(peripheral)), Element(0xE1, e1)}));
}

Bytes Result(uint32_t v = 0) { return Element(0xDF828000, Two(v)); }

// The message a builder made (its length read once the builder ran), its
// parts released.
Bytes Built(const unsigned char* message, const int* length) {
    Bytes out = message != nullptr ? Bytes(message, message + *length) : Bytes{};
    DRN_FreeSyntax(1, 'w');
    return out;
}

bool OpensslReads(const Bytes& der) {
    const auto lines = testsupport::OpensslAsn1Parse(der);
    return !lines.empty() && lines.front().find("d=0") != std::string::npos;
}

template <typename Record, typename Fn>
int Deal(Fn fn, const Bytes& answer, Record* r) {
    return fn(answer.data(), static_cast<int>(answer.size()), r);
}

}  // namespace

// ---------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------

// Dialogue requests: the record's kind is the command, the text area goes
// whole, the tags asked by kind. A kind outside 0 to 5, or a text length
// outside the area, builds nothing.
TEST(DoranBuild, DialogueRequests_Mended) {
    auto b = std::make_unique<TermDisplayBlock>();
    const Bytes text = Text(std::string("00\0\0\033Hbonjour\0", 13));
    std::memcpy(b->text, text.data(), text.size());
    b->textLength = int(text.size());
    for (int kind = 0; kind <= 5; ++kind) {
        b->kind = kind;
        int length = 0;
        const Bytes built = Built(DRN_SetDialogue(&length, b.get()), &length);
        Bytes tags = Hex("DF828000");
        if (kind == 3) tags = Concat({tags, Hex("DF828208")});
        if (kind == 4) tags = Concat({tags, Hex("DFF08400")});
        EXPECT_EQ(built, Message(0x40, uint32_t(kind), Element(0xDFF88300, text), tags)) << kind;
        EXPECT_EQ(b->busy, 0);
    }
    int length = 0;
    b->kind = 4;
    EXPECT_TRUE(OpensslReads(Built(DRN_SetDialogue(&length, b.get()), &length)));
    for (int bad : {-1, 6, 175}) {
        b->kind = bad;
        EXPECT_EQ(DRN_SetDialogue(&length, b.get()), nullptr) << bad;
    }
    b->kind = 2;
    for (int badLength : {-1, kTermDisplayTextMax + 1}) {
        b->textLength = badLength;
        EXPECT_EQ(DRN_SetDialogue(&length, b.get()), nullptr) << badLength;
    }
    b->textLength = kTermDisplayTextMax;
    EXPECT_NE(Built(DRN_SetDialogue(&length, b.get()), &length), Bytes{});
}

// The event request: one sub-message per reader asked, in the order
// stripe, cheque, keypad, chip slots, contactless; a chip slot's options
// split into its command (AND 0x1B) and its DF818308 byte (AND 0xE4, with
// bit 0 for contactless data), stored back; 0x80 shortens the time-out
// (300 -> 268). The contactless data goes as the lower-case hexadecimal
// text of its bytes.
TEST(DoranBuild, EventRequestOfEveryReader) {
    auto r = std::make_unique<CardReadRecord>();
    r->isoRequested = 1;
    r->isoOptions = 0x03;
    r->chequeRequested = 1;
    r->chequeOptions = 0x01;
    r->keyAbortRequested = 1;
    r->keyAbortRequestedByte = 0x02;
    r->chipRequested = 2;
    r->chipOptions = 0x92;
    r->otherChipOptions[0] = 0x01;
    r->timeoutTenths = 300;
    r->ctlsData.length = 3;
    r->ctlsData.outcome = 0x01;
    std::memcpy(r->ctlsData.bytes, "\x9F\x02\x01", 3);
    int length = 0;
    const Bytes built = Built(DRN_SetEvent(&length, r.get()), &length);

    const Bytes subs = Concat({
        Message(0x21, 0x03, {}, Hex("DF828000 DFF08100 DF828800 DF828A00 DFF08900 DFF08B00")),
        Message(0x31, 0x01, {}, Hex("DF828000 DFF08100")),
        Message(0x11, 0x02, {}, Hex("DF828000 DF818100")),
        Message(0x51, 0x12, Element(0xDF818308, {0x81}), Hex("DF828000 DF828400 DF818402 DF858403")),
        Message(0x52, 0x01, Element(0xDF818308, {0x01}), Hex("DF828000")),
        Message(0x7001, 18, Element(0xDF808500, Text("9f0201")), Hex("DF828000 BF808100")),
    });
    const Bytes expected =
        Message(0xA1, 0x20, Concat({Element(0xDF828200, Two(268)), Element(0xDFF88300, subs)}), Hex("DF828000 DFF88304"));
    EXPECT_EQ(built, expected);
    EXPECT_TRUE(OpensslReads(built));
    EXPECT_EQ(r->chipOptions, 0x12);
    EXPECT_EQ(r->otherChipOptions[0], 0x01);
    EXPECT_EQ(r->timeoutTenths, 268);
    EXPECT_EQ(r->busy, 0);

    // Nothing asked: no E2.
    auto none = std::make_unique<CardReadRecord>();
    EXPECT_EQ(Built(DRN_SetEvent(&length, none.get()), &length), Message(0xA1, 0x20, {}, Hex("DF828000 DFF88304")));
}

// Five chip slots, each with its option byte in the record.
TEST(DoranBuild, FiveChipSlots_Mended) {
    auto r = std::make_unique<CardReadRecord>();
    r->chipRequested = 7;  // five at most
    r->chipOptions = 0x01;
    for (int i = 0; i < kCardChipSlots - 1; ++i) r->otherChipOptions[i] = uint8_t(0x02 + i);
    int length = 0;
    const Bytes built = Built(DRN_SetEvent(&length, r.get()), &length);
    const auto has = [&](uint8_t slot) {
        const Bytes c3 = {0xC3, 0x02, 0x00, slot};
        return std::search(built.begin(), built.end(), c3.begin(), c3.end()) != built.end();
    };
    for (uint8_t slot = 0x51; slot <= 0x55; ++slot) EXPECT_TRUE(has(slot)) << int(slot);
    EXPECT_FALSE(has(0x56));
    EXPECT_EQ(r->otherChipOptions[3], 0x05 & 0x1B);
}

// The other requests: application list, online PIN, terminal calls,
// terminal information in both modes.
TEST(DoranBuild, OtherRequests) {
    int length = 0;
    auto area = std::make_unique<TerminalResultArea>();
    EXPECT_EQ(Built(DRN_SetApplicationList(&length, area.get()), &length),
              Message(0xA1, 0x10, {}, Hex("DF828000 DFF88304")));

    auto pin = std::make_unique<DrnOnlinePinRecord>();
    EXPECT_EQ(DRN_SetOnlinePin(&length, pin.get()), nullptr);  // no peripheral
    pin->peripheralFlag = 1;
    std::memcpy(pin->peripheral, "28A1", 5);
    pin->df848102Length = 2;
    pin->df848102[0] = 0x01;
    pin->df848102[1] = 0x02;
    pin->df818112Flag = 1;
    pin->df818112 = 5;
    pin->df848200Length = 3;
    std::memcpy(pin->df848200, "ABC", 4);
    const Bytes pinRequest = Built(DRN_SetOnlinePin(&length, pin.get()), &length);
    EXPECT_EQ(pinRequest, Message(0x28A1, 4,
                                  Concat({Element(0xDF848102, {0x01, 0x02}), Element(0xDF818112, {0x05}),
                                          Element(0xDF848200, {0x0A, 0xBC})}),
                                  Hex("DF828000 DF848400")));
    EXPECT_TRUE(OpensslReads(pinRequest));

    auto call61 = std::make_unique<DrnTerminalCall61Record>();
    EXPECT_EQ(DRN_SetTerminalCall61(&length, call61.get()), nullptr);
    call61->peripheralFlag = 1;
    call61->df848700Length = 1;
    call61->df848700[0] = 0x77;
    call61->df848800 = 8;
    call61->df848a00 = 9;
    EXPECT_EQ(Built(DRN_SetTerminalCall61(&length, call61.get()), &length),
              Message(0xA1, 0x61,
                      Concat({Element(0xDF848700, {0x77}), Element(0xDF848800, {8}), Element(0xDF848A00, {9})}),
                      Hex("DF828000 DF848B00")));

    auto call62 = std::make_unique<DrnTerminalCall62Record>();
    call62->peripheralFlag = 1;
    EXPECT_EQ(Built(DRN_SetTerminalCall62(&length, call62.get()), &length),
              Message(0xA1, 0x62, {}, Hex("DF828000 DF848D00")));
    call62->df848c00Length = kDrnCall62DataMax + 1;
    EXPECT_EQ(DRN_SetTerminalCall62(&length, call62.get()), nullptr);

    auto info = std::make_unique<DrnTerminalInfoRecord>();
    EXPECT_EQ(Built(DRN_SetTerminalInfo(&length, info.get()), &length), Message(0xA1, 0x60, {}, Hex("DF828000 DFF88400")));
    info->listMode = 1;
    EXPECT_EQ(Built(DRN_SetTerminalInfo(&length, info.get()), &length), Message(0xA1, 0x60, {}, Hex("DF828000 DFF88404")));
}

// ---------------------------------------------------------------------------
// Decoders
// ---------------------------------------------------------------------------

// Dialogue answers: any 0x4n peripheral, the item, the entry's length, key
// and data; an entry that passes the result area or its own element
// refuses the answer.
TEST(DoranDeal, DialogueAnswers_Mended) {
    struct Case {
        const char* name;
        Bytes answer;
        int status;
        int field;
        int length;
        std::string data;
    };
    const Bytes fortyOne(41, 'd');
    const Case cases[] = {
        {"item", Message(0x4A, 3, Concat({Result(), Element(0xDF828208, {0x07})})), 0, 7, 0, ""},
        {"no item", Message(0x40, 2, Result()), 0, -1, 0, ""},
        {"entry", Message(0x40, 4, Concat({Result(), Element(0xDFF08400, Hex("0356313233"))})), 0, 'V', 3, "123"},
        {"empty entry", Message(0x40, 4, Concat({Result(), Element(0xDFF08400, Hex("004100"))})), 0, 255, 0, ""},
        {"short entry", Message(0x40, 4, Concat({Result(), Element(0xDFF08400, Hex("0141"))})), 0, 255, 0, ""},
        {"41 bytes", Message(0x40, 4, Concat({Result(), Element(0xDFF08400, Concat({{41, 'V'}, fortyOne}))})), 0,
         'V', 41, std::string(41, 'd')},
        {"42 bytes", Message(0x40, 4, Concat({Result(), Element(0xDFF08400, Concat({{42, 'V'}, fortyOne, {'e'}}))})),
         32, -1, 0, ""},
        {"beyond its element", Message(0x40, 4, Concat({Result(), Element(0xDFF08400, Hex("055631"))})), 32, -1, 0,
         ""},
        {"another peripheral", Message(0x50, 4, Result()), 32, 255, 0, ""},
        {"no result", Message(0x40, 4, Element(0xDF828208, {0x07})), 32, 255, 0, ""},
    };
    for (const Case& c : cases) {
        auto b = std::make_unique<TermDisplayBlock>();
        EXPECT_EQ(Deal(DRN_DealDialogue, c.answer, b.get()), c.status) << c.name;
        EXPECT_EQ(b->resultField, c.field) << c.name;
        EXPECT_EQ(b->resultLength, c.length) << c.name;
        EXPECT_EQ(std::string(b->resultData, size_t(b->resultLength)), c.data) << c.name;
        EXPECT_EQ(b->answerMark, -1) << c.name;
        EXPECT_EQ(b->busy, c.status == 0 ? 0 : 1) << c.name;
    }
}

namespace {

Bytes EventAnswer(const Bytes& source, uint32_t result = 0) {
    Bytes e2 = Result(result);
    if (!source.empty()) e2 = Concat({e2, Element(0xDFF88304, source)});
    return Message(0xA1, 0x20, e2);
}

Bytes Source(uint32_t peripheral, const Bytes& e2) { return Message(peripheral, 0, e2); }

}  // namespace

// Event answers by source.
TEST(DoranDeal, EventAnswersBySource) {
    struct Case {
        const char* name;
        Bytes answer;
        uint8_t chipOptions;
        int status;
        int recordStatus;
        int technology;
        int origin;
        std::string event;
        const char* trace;
    };
    const Case cases[] = {
        {"time-out", EventAnswer({}, 10), 0, 0, 1, 0, 0, "", nullptr},
        {"terminal error", EventAnswer({}, 3), 0, 32, 3, 0, 0, "", nullptr},
        {"key", EventAnswer(Source(0x11, Concat({Result(), Element(0xDF818100, {'A'})}))), 0, 0, 0, 0, 1, "A",
         nullptr},
        {"key refused", EventAnswer(Source(0x10, Concat({Result(1), Element(0xDF818100, {'A'})}))), 0, 0, 1, 0, 0, "",
         nullptr},
        {"key without its key", EventAnswer(Source(0x11, Result())), 0, 32, 3, 0, 1, "", nullptr},
        {"stripe", EventAnswer(Source(0x21, Concat({Result(), Element(0xDFF08100, Text(";4970=2512?"))}))), 0, 0, 0,
         2, 1, ";4970=2512?", nullptr},
        {"stripe unread", EventAnswer(Source(0x21, Result(5))), 0, 0, 3, 2, 1, "", nullptr},
        {"cheque line", EventAnswer(Source(0x31, Concat({Element(0xDF828000, Two(0x4000)), Element(0xDFF08100, Text("A12 34#56/"))}))),
         0, 0, 0x4000, 7, 1, "A12 34#56/", nullptr},
        {"cheque without its line", EventAnswer(Source(0x31, Element(0xDF828000, Two(0x4000)))), 0, 32, 3, 7, 1, "",
         nullptr},
        {"chip", EventAnswer(Source(0x51, Element(0xDF828000, Two(0x4000)))), 1, 0, 0, 4, 1, "", nullptr},
        {"chip without bit 0x40", EventAnswer(Source(0x52, Element(0xDF828000, Two(0x0000)))), 1, 0, 1, 4, 2, "",
         nullptr},
        {"chip, option 17", EventAnswer(Source(0x52, Element(0xDF828000, Two(0x0000)))), 17, 0, 0, 4, 2, "", nullptr},
        {"chip, bit 0x1000", EventAnswer(Source(0x51, Element(0xDF828000, Two(0x5000)))), 1, 0, 0, 5, 1, "", nullptr},
        {"chip error", EventAnswer(Source(0x53, Element(0xDF828000, Two(0x4001)))), 1, 0, 3, 4, 3, "", nullptr},
        {"slot 5", EventAnswer(Source(0x55, Element(0xDF828000, Two(0x4000)))), 1, 32, 3, 6, 5, "", nullptr},
        {"slot 6", EventAnswer(Source(0x56, Element(0xDF828000, Two(0x4000)))), 1, 32, 3, 0, 0, "",
         "-- ERROR -- XA_EVent(): Rang Peripherique Non Supporte"},
        {"keypad 2", EventAnswer(Source(0x12, Result())), 1, 32, 3, 0, 0, "",
         "-- ERROR -- XA_EVent(): Rang Peripherique Non Supporte"},
        {"unknown", EventAnswer(Source(0x61, Result())), 1, 32, 3, 0, 0, "",
         "<< WARN. >> XA_EVent(): Peripherique Inconnu"},
        {"contactless", EventAnswer(Source(0x7001, Element(0xDF828000, Two(5)))), 1, 0, 5, 10, 1, "", nullptr},
        {"no source", EventAnswer({}), 1, 32, 0, 0, 0, "", nullptr},
        {"another peripheral", Message(0xA2, 0x20, Result()), 1, 32, 0, 0, 0, "", nullptr},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        auto r = std::make_unique<CardReadRecord>();
        r->chipOptions = c.chipOptions;
        EXPECT_EQ(Deal(DRN_DealEvent, c.answer, r.get()), c.status) << c.name;
        EXPECT_EQ(r->status, c.recordStatus) << c.name;
        if (c.status == 0 && r->presentCount == 1) {
            EXPECT_EQ(r->technology, c.technology) << c.name;
            EXPECT_EQ(r->origin, c.origin) << c.name;
            EXPECT_EQ(r->dataValid, 1) << c.name;
        }
        EXPECT_EQ(std::string(r->eventData, size_t(r->eventLength)), c.event) << c.name;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        }
    }
    // Stripe tracks 1 and 3 when their status is 0.
    auto r = std::make_unique<CardReadRecord>();
    const Bytes stripe = Source(0x21, Concat({Result(), Element(0xDFF08100, Text("t2")), Element(0xDF828800, Two(0)),
                                              Element(0xDFF08900, Text("t1")), Element(0xDF828A00, Two(1)),
                                              Element(0xDFF08B00, Text("t3"))}));
    ASSERT_EQ(Deal(DRN_DealEvent, EventAnswer(stripe), r.get()), 0);
    EXPECT_EQ(std::string(r->track1Data, size_t(r->track1Length)), "t1");
    EXPECT_EQ(r->track3Length, 0);
}

// A detailed chip read (options 18): its 70-character event from a, the
// first 34 characters of s, b in two digits and the next 30; neither the
// event nor s reaches a trace.
TEST(DoranDeal, DetailedChipEventIsNeverTraced_Mended) {
    TraceCapture trace;
    const std::string s = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    auto r = std::make_unique<CardReadRecord>();
    r->chipOptions = 18;
    const Bytes source = Source(0x51, Concat({Element(0xDF828000, Two(0x6000)), Element(0xDF828400, Two(0x1234)),
                                              Element(0xDF818402, {7}), Element(0xDF858403, Hex(s))}));
    ASSERT_EQ(Deal(DRN_DealEvent, EventAnswer(source), r.get()), 0);
    EXPECT_EQ(r->status, 0);
    EXPECT_EQ(r->eventLength, 70);
    EXPECT_EQ(std::string(r->eventData, 70), "1234" + s.substr(0, 34) + "07" + s.substr(34, 30));
    for (const std::string& line : trace.Snapshot()) {
        EXPECT_EQ(line.find(s.substr(0, 16)), std::string::npos) << line;
        EXPECT_EQ(line.find("1234" + s.substr(0, 8)), std::string::npos) << line;
    }
    // Without bit 0x20 of its high byte the status is 2; a short s refuses.
    r = std::make_unique<CardReadRecord>();
    r->chipOptions = 18;
    const Bytes noBit = Source(0x51, Concat({Element(0xDF828000, Two(0x4000)), Element(0xDF828400, Two(1)),
                                             Element(0xDF818402, {7}), Element(0xDF858403, Hex(s))}));
    ASSERT_EQ(Deal(DRN_DealEvent, EventAnswer(noBit), r.get()), 0);
    EXPECT_EQ(r->status, 2);
    r = std::make_unique<CardReadRecord>();
    r->chipOptions = 18;
    const Bytes shortS = Source(0x51, Concat({Element(0xDF828000, Two(0x6000)), Element(0xDF828400, Two(1)),
                                              Element(0xDF818402, {7}), Element(0xDF858403, Hex("0123"))}));
    EXPECT_EQ(Deal(DRN_DealEvent, EventAnswer(shortS), r.get()), 32);
}

namespace {

Bytes ListAnswer(const Bytes& list) { return Message(0xA1, 0x10, Concat({Result(), Element(0xDFF88304, list)})); }

Bytes Candidate(const Bytes& elements) { return Element(0xE4, elements); }

}  // namespace

// The application list: containers in their order, each E4 a candidate;
// the languages of the first 5F2D only, no code twice (case ignored); a
// candidate without AID refuses the rest of its container.
TEST(DoranDeal, ApplicationList) {
    const Bytes list = Concat({
        Element(0xE3, Element(0x5F2D, Text("frFRde"))),
        Element(0xBFA801, Concat({Candidate(Concat({Element(0x84, Hex("A0000000421010")), Element(0x50, Text("CB")),
                                                    Element(0x87, {0x01}), Element(0x5F2D, Text("itit"))})),
                                  Candidate(Concat({Element(0x9F06, Hex("A0000000031010")), Element(0xEC, {1, 2}),
                                                    Element(0xEC, {3, 4})}))})),
        Element(0xBFA001, Candidate(Element(0x84, Hex("A000000004")))),
        Element(0xBFB001, Concat({Candidate(Element(0x50, Text("no AID"))), Candidate(Element(0x84, Hex("A1")))})),
    });
    auto a = std::make_unique<TerminalResultArea>();
    EXPECT_EQ(Deal(DRN_DealApplicationList, ListAnswer(list), a.get()), 1);  // the last container refused
    ASSERT_EQ(a->candidateCount, 3);
    EXPECT_EQ(a->kernelCount, 3);
    EXPECT_EQ(a->fciCount, 3);
    EXPECT_STREQ(a->candidates[0], "a000000004");
    EXPECT_STREQ(a->kernels[0], "2001");
    EXPECT_STREQ(a->candidates[1], "a0000000421010");
    EXPECT_STREQ(a->kernels[1], "2801");
    EXPECT_STREQ(a->labels[1], "CB");
    EXPECT_EQ(a->priorities[1], 1);
    EXPECT_STREQ(a->candidates[2], "a0000000031010");
    EXPECT_EQ(a->priorities[2], 15);  // none given
    EXPECT_EQ(a->perCandidate[2].supplementLength, 4);
    EXPECT_EQ(Bytes(a->perCandidate[2].supplement, a->perCandidate[2].supplement + 4), Bytes({1, 2, 3, 4}));
    EXPECT_STREQ(a->candidates[3], "");
    EXPECT_EQ(a->languages[0].length, 2);
    EXPECT_EQ(std::string(a->languages[0].code, 2), "fr");
    EXPECT_EQ(std::string(a->languages[1].code, 2), "de");
    EXPECT_EQ(a->languages[2].length, 0);

    // No list at all: nothing, done.
    a = std::make_unique<TerminalResultArea>();
    EXPECT_EQ(Deal(DRN_DealApplicationList, Message(0xA1, 0x10, Result()), a.get()), 0);
    EXPECT_EQ(a->candidateCount, 0);
    EXPECT_EQ(Deal(DRN_DealApplicationList, Message(0xA2, 0x10, Result()), a.get()), 32);
}

// Eleven candidates fill the ten places, no more; EC elements stop at the
// block's 512 bytes (the one that would pass it is left out).
TEST(DoranDeal, ApplicationListBoundedByItsArea_Mended) {
    Bytes many;
    for (int i = 0; i < 11; ++i) many = Concat({many, Candidate(Element(0x84, {0xA0, uint8_t(i)}))});
    auto a = std::make_unique<TerminalResultArea>();
    EXPECT_EQ(Deal(DRN_DealApplicationList, ListAnswer(Element(0xBFA001, many)), a.get()), 0);
    EXPECT_EQ(a->candidateCount, kResultCandidates);
    EXPECT_STREQ(a->candidates[9], "a009");

    const Bytes ec = Concat({Element(0x84, {0xA0}), Element(0xEC, Bytes(300, 1)), Element(0xEC, Bytes(300, 2)),
                             Element(0xEC, Bytes(10, 3))});
    a = std::make_unique<TerminalResultArea>();
    EXPECT_EQ(Deal(DRN_DealApplicationList, ListAnswer(Element(0xBFA001, Candidate(ec))), a.get()), 0);
    EXPECT_EQ(a->perCandidate[0].supplementLength, 300);
}

// Online PIN: the PIN block copied whole, one longer than its area refuses
// the answer; it never reaches a trace. Terminal calls: their answers into
// the record's area, or length 0 when too long.
TEST(DoranDeal, PinBlockAndTerminalCalls_Mended) {
    TraceCapture trace;
    auto pin = std::make_unique<DrnOnlinePinRecord>();
    const Bytes block = Hex("0412AC89DEADBEEF");
    EXPECT_EQ(Deal(DRN_DealOnlinePin, Message(0x28A1, 4, Concat({Result(), Element(0xDF848400, block)})), pin.get()), 0);
    EXPECT_EQ(Bytes(pin->pinBlock, pin->pinBlock + pin->pinBlockLength), block);
    EXPECT_EQ(Deal(DRN_DealOnlinePin, Message(0x28A1, 4, Concat({Result(), Element(0xDF848400, Bytes(65, 1))})),
                   pin.get()),
              32);
    EXPECT_EQ(Deal(DRN_DealOnlinePin, Message(0x28A1, 4, Element(0xDF848400, block)), pin.get()), 32);
    for (const std::string& line : trace.Snapshot()) {
        EXPECT_EQ(line.find("0412AC89"), std::string::npos) << line;
        EXPECT_EQ(line.find("0412ac89"), std::string::npos) << line;
    }

    auto c61 = std::make_unique<DrnTerminalCall61Record>();
    EXPECT_EQ(Deal(DRN_DealTerminalCall61, Message(0xA1, 0x61, Concat({Result(), Element(0xDF848B00, Bytes(26, 7))})),
                   c61.get()),
              0);
    EXPECT_EQ(c61->df848900Length, 26);
    EXPECT_EQ(Deal(DRN_DealTerminalCall61, Message(0xA1, 0x61, Concat({Result(), Element(0xDF848B00, Bytes(27, 7))})),
                   c61.get()),
              0);
    EXPECT_EQ(c61->df848900Length, 0);
    auto c62 = std::make_unique<DrnTerminalCall62Record>();
    EXPECT_EQ(Deal(DRN_DealTerminalCall62,
                   Message(0xA1, 0x62, Concat({Result(), Element(0xDF848D00, Bytes(kDrnCall62DataMax, 5))})), c62.get()),
              0);
    EXPECT_EQ(c62->df848c00Length, kDrnCall62DataMax);
}

namespace {

Bytes InfoAnswer(const Bytes& info, unsigned tag = 0xDFF88400) {
    return Message(0xA1, 0x60, Concat({Result(), Element(tag, info)}));
}

}  // namespace

// Terminal information, one description: the values by their encodings.
TEST(DoranDeal, TerminalInformation_Mended) {
    const Bytes info = Concat({
        Element(0x9F00, Concat({Text("TQ202"), {0xFF, 'x'}})),
        Element(0x9F01, Text("0042")),
        Element(0x9F03, Text("12.C")),
        Element(0x9F05, Text("12345")),
        Element(0x9F20, {0x01, 0x02}),
        Element(0x9F27, Text("AB")),
        Element(0x9F40, {0x01, 0x02}),
        Element(0x9F50, Text("first")),
        Element(0x9F50, Text("second")),
        Element(0x9F53, {0x00, 0x00, 0x00, 0x05}),
    });
    auto r = std::make_unique<DrnTerminalInfoRecord>();
    ASSERT_EQ(Deal(DRN_DealTerminalInfo, InfoAnswer(info), r.get()), 0);
    EXPECT_EQ(std::string(r->t9f00.text, size_t(r->t9f00.length)), "TQ202");
    EXPECT_EQ(r->t9f01, 42);
    EXPECT_EQ(r->t9f03Flag, 1);
    EXPECT_EQ(r->t9f03, 122);
    EXPECT_STREQ(r->t9f05, "000000012345");
    EXPECT_EQ(r->t9f20.value, 0x0102u);
    EXPECT_EQ(std::string(r->t9f27First.text), "AB");
    EXPECT_EQ(std::string(r->t9f27Second.text), "AB");
    EXPECT_EQ(r->t9f40.value, 0x0201u);  // little-endian
    EXPECT_EQ(std::string(reinterpret_cast<char*>(r->t9f50), size_t(r->t9f50Length)), "second");
    EXPECT_EQ(r->t9f53.value, 5u);
    EXPECT_EQ(r->fixedOne, 1);

    struct Case {
        const char* name;
        Bytes info;
        int status;
    };
    const Case cases[] = {
        {"9F03 of three bytes", Element(0x9F03, Text("12.")), 0},
        {"9F05 of fifteen characters", Element(0x9F05, Text("123456789012345")), 0},
        {"9F50 of 25 bytes", Element(0x9F50, Bytes(25, 'a')), 32},
        {"9F51 of 9 bytes", Element(0x9F51, Bytes(9, 'a')), 32},
        {"9F53 with bit 31", Element(0x9F53, {0x80, 0, 0, 0}), 32},
        {"empty", {}, 32},
    };
    for (const Case& c : cases) {
        r = std::make_unique<DrnTerminalInfoRecord>();
        EXPECT_EQ(Deal(DRN_DealTerminalInfo, InfoAnswer(c.info), r.get()), c.status) << c.name;
    }
    r = std::make_unique<DrnTerminalInfoRecord>();
    ASSERT_EQ(Deal(DRN_DealTerminalInfo, InfoAnswer(Element(0x9F03, Text("12."))), r.get()), 0);
    EXPECT_EQ(r->t9f03Flag, 0);
    ASSERT_EQ(Deal(DRN_DealTerminalInfo, InfoAnswer(Element(0x9F05, Text("123456789012345"))), r.get()), 0);
    EXPECT_STREQ(r->t9f05, "123456789012");
}

// Terminal information, list mode: entries up to the entry limit, each
// filling its place of the seven tables; fewer entries than the limit
// refuse the answer.
TEST(DoranDeal, TerminalInformationList_Mended) {
    const auto entry = [](int i) {
        return Element(0xE2, Concat({Element(0xDF828300, {0x12, uint8_t(0x30 + i)}),
                                     Element(0xDF858302, Text("P" + std::to_string(i)))}));
    };
    struct Case {
        int limit;
        int entries;
        int status;
        int tableLength;
    };
    for (const Case c : {Case{3, 3, 0, 15}, Case{3, 4, 0, 15}, Case{3, 2, 32, 10}, Case{3, 0, 32, 0},
                         Case{0, 2, 0, 0}, Case{12, 9, 0, 45}}) {
        auto r = std::make_unique<DrnTerminalInfoRecord>();
        r->listMode = 1;
        r->t9f53.flag = 1;
        r->t9f53.value = uint32_t(c.limit);
        Bytes entries;
        for (int i = 0; i < c.entries; ++i) entries = Concat({entries, entry(i)});
        const Bytes answer = c.entries == 0 ? Message(0xA1, 0x60, Result()) : InfoAnswer(entries, 0xDFF88404);
        EXPECT_EQ(Deal(DRN_DealTerminalInfo, answer, r.get()), c.status) << c.limit << " " << c.entries;
        EXPECT_EQ(r->lists[0].length, c.tableLength) << c.limit << " " << c.entries;
        EXPECT_EQ(r->lists[2].length, c.tableLength) << "absent elements count too";
        if (c.status == 0 && c.tableLength > 0) {
            EXPECT_STREQ(r->lists[0].entries[1], "1231");
            EXPECT_STREQ(r->lists[1].entries[1], "P1");
        }
    }
}

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

namespace {

struct Engine {
    Engine() : box(std::make_unique<KT_EPERIPH_API>()), resource(std::make_unique<KT_PERES>()) {}
    int set(int code, void* record) {
        resource->command = code;
        return Call(&DRN_SetCommand, box.get(), resource.get(), command, record);
    }
    int get(int code, const Bytes& frame, void* record) {
        resource->command = code;
        return Call(&DRN_GetOneResult, box.get(), resource.get(), reinterpret_cast<const char*>(frame.data()), record);
    }
    template <typename Fn, typename Buffer>
    static int Call(Fn fn, KT_EPERIPH_API* b, KT_PERES* r, Buffer buffer, ...) {
        va_list args;
        va_start(args, buffer);
        const int result = fn(b, r, buffer, args);
        va_end(args);
        return result;
    }
    std::unique_ptr<KT_EPERIPH_API> box;
    std::unique_ptr<KT_PERES> resource;
    char command[PAP_COMMAND_BUFFER] = {};
};

// A terminal frame: "%04X" of the payload length plus 5, NUL, payload,
// padded as a row's frame area is.
Bytes Frame(const Bytes& payload, int announced = -1) {
    char head[8];
    std::snprintf(head, sizeof head, "%04X", announced >= 0 ? announced : int(payload.size()) + 5);
    Bytes f(head, head + 4);
    f.push_back(0);
    f.insert(f.end(), payload.begin(), payload.end());
    f.resize(PAP_FRAME_MAX, 0);
    return f;
}

}  // namespace

// Set writes the frame of the request; an unknown code or a record missing
// builds nothing (-1); no box (-2). Get decodes by code (12 as 11), refuses
// frames whose payload is not 0 to 12700 bytes of the frame (1), and
// answers 2 to a code without a decoder.
TEST(DoranModule, EntryPoints_Mended) {
    auto e = std::make_unique<Engine>();
    auto area = std::make_unique<TerminalResultArea>();
    const int n = e->set(O_T_SELECT_AID, area.get());
    const Bytes request = Message(0xA1, 0x10, {}, Hex("DF828000 DFF88304"));
    ASSERT_EQ(n, int(request.size()) + 5);
    char head[8];
    std::snprintf(head, sizeof head, "%04x", n);
    EXPECT_EQ(std::string(e->command, 4), head);
    EXPECT_EQ(Bytes(e->command + 5, e->command + n), request);
    EXPECT_EQ(e->set(9, area.get()), -1);
    EXPECT_EQ(e->set(O_T_SELECT_AID, nullptr), -1);
    EXPECT_EQ(Engine::Call(&DRN_SetCommand, nullptr, e->resource.get(), e->command, area.get()), -2);

    const Bytes list = ListAnswer(Element(0xBFA001, Candidate(Element(0x84, Hex("A000000004")))));
    EXPECT_EQ(e->get(O_T_CANDIDATES, Frame(list), area.get()), 0);
    EXPECT_EQ(area->candidateCount, 1);
    // An answer announcing 5 bytes: an empty payload, which the decoder refuses.
    auto block = std::make_unique<TermDisplayBlock>();
    EXPECT_EQ(e->get(O_T_DISPLAY, Frame({}, 5), block.get()), 32);
    EXPECT_EQ(e->get(O_T_DISPLAY, Frame(list, 12701 + 5), block.get()), PV_CMD_INTERNAL);
    EXPECT_EQ(e->get(O_T_DISPLAY, Frame(list, 4), block.get()), PV_CMD_INTERNAL);
    EXPECT_EQ(e->get(O_T_PRINT, Frame(list), block.get()), PV_CMD_UNKNOWN);
    EXPECT_EQ(Engine::Call(&DRN_GetOneResult, e->box.get(), nullptr, "0005", block.get()), PV_CMD_INTERNAL);
}
