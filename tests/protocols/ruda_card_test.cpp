// RUDA card reading on recorded answers: the card status and event requests
// by the record's mode and options, the application selection through the
// candidate table, the card-removal check, the abort, presence and cancel
// answers, the contactless start table over its status words, the online
// PIN and the prevalidation steps.
#include "protocols/ruda/ruda_card.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cardsim/emv_card.h"
#include "core/helpers.h"
#include "support/apdu_bytes.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;
using testsupport::Hex;
using testsupport::Text;
using testsupport::WithSw;

template <typename Builder>
Bytes Take(Builder builder) {
    unsigned char* apdu = nullptr;
    int length = 0;
    if (builder(&apdu, &length) != 1) return {};
    Bytes b(apdu, apdu + length);
    WFree(apdu);
    return b;
}

class RudaCard : public ::testing::Test {
protected:
    void SetUp() override {
        record = std::make_unique<CardReadRecord>();
        area = std::make_unique<TerminalResultArea>();
    }
    int Start(const Bytes& answer, int restart = 0) {
        return RUDA_DealStartCtlsAnswer(answer.data(), static_cast<int>(answer.size()), record.get(), area.get(),
                                        restart);
    }
    std::unique_ptr<CardReadRecord> record;
    std::unique_ptr<TerminalResultArea> area;
    testsupport::TraceCapture trace;
};

TEST_F(RudaCard, CardStatusRequestsFollowTheRecord) {
    struct Case {
        const char* name;
        uint8_t mode;
        int chip;
        uint8_t chipOptions;
        int iso;
        uint8_t isoOptions;
        int keyWord;
        uint8_t keyByte;
        Bytes apdu;
    } cases[] = {
        {"chip and stripe with options, key abort", 1, 1, 0x10, 1, 0x10, 1, 1, Hex("D0601F01")},
        {"stripe without its option", 1, 1, 0x10, 1, 0x00, 1, 1, Hex("D0600301")},
        {"nothing asked", 1, 0, 0x00, 0, 0x00, 0, 0, Hex("D060C100")},
        {"key abort word only", 1, 1, 0x00, 1, 0x00, 1, 0, Hex("D0600100")},
        {"removal detection", 2, 1, 0x10, 1, 0x10, 1, 1, Hex("D0600200")},
        {"contactless only", 4, 0, 0, 0, 0, 0, 0, Hex("D0610300")},
        {"contactless stop", 8, 0, 0, 0, 0, 0, 0, Hex("D0610000")},
        {"stop", 0, 0, 0, 0, 0, 0, 0, Hex("D0600000")},
    };
    for (const Case& c : cases) {
        *record = CardReadRecord{};
        record->mode = c.mode;
        record->chipRequested = c.chip;
        record->chipOptions = c.chipOptions;
        record->isoRequested = c.iso;
        record->isoOptions = c.isoOptions;
        record->keyAbortRequested = c.keyWord;
        record->keyAbortRequestedByte = c.keyByte;
        EXPECT_EQ(Take([&](unsigned char** a, int* n) { return RUDA_BuildCardStatusRequest(record.get(), false, a, n); }),
                  c.apdu)
            << c.name;
    }
    // The event request always starts the readers.
    record->mode = 2;
    record->chipRequested = 1;
    record->chipOptions = 0x10;
    record->isoRequested = 1;
    record->isoOptions = 0x10;
    record->keyAbortRequested = 1;
    record->keyAbortRequestedByte = 1;
    EXPECT_EQ(Take([&](unsigned char** a, int* n) { return RUDA_BuildCardStatusRequest(record.get(), true, a, n); }),
              Hex("D0601F01"));
    EXPECT_EQ(record->mode, 1);
    unsigned char* apdu = nullptr;
    int length = 0;
    EXPECT_EQ(RUDA_BuildCardStatusRequest(nullptr, true, &apdu, &length), -1);
}

TEST_F(RudaCard, OnlyTheFirstSelectAfterACardStatusCarriesTheAid) {
    // A chip card's status answer carries its ATR in 63.
    const Bytes status = WithSw(Element(0xE0, Concat({Element(0x48, {0x03, 0x00}), Element(0x63, Hex("3B6500002063CB6600"))})), 0x9000);
    record->mode = 1;
    record->chipRequested = 1;
    ASSERT_EQ(RUDA_DealRUDACARD_STATUSAnswer(status.data(), static_cast<int>(status.size()), record.get(), area.get(), 0), 0);
    EXPECT_EQ(record->technology, CARD_TECH_CHIP);
    EXPECT_STREQ(record->eventData, "3b6500002063cb6600");
    EXPECT_STREQ(area->peripheralCode, "2801");

    const auto select = [] { return Take([](unsigned char** a, int* n) { return RUDA_BuildSelectAidRequest(a, n); }); };
    EXPECT_EQ(select(), Hex("00A4040007A000000042101000"));
    const Bytes fci = WithSw(Element(0x6F, Concat({Element(0x84, Hex("A0000000421010")),
                                                   Element(0xA5, Concat({Element(0x50, Text("CB")), Element(0x87, {1})}))})),
                             0x9000);
    ASSERT_EQ(RUDA_DealSelectAnswer(fci.data(), static_cast<int>(fci.size()), area.get()), 0);
    EXPECT_EQ(area->candidateCount, 1);
    EXPECT_STREQ(area->candidates[0], "a0000000421010");
    EXPECT_STREQ(area->labels[0], "CB");
    EXPECT_EQ(select(), Hex("00A4040000"));

    const Bytes noA5 = WithSw(Element(0x6F, Element(0x84, Hex("A0000000421010"))), 0x9000);
    EXPECT_EQ(RUDA_DealSelectAnswer(noA5.data(), static_cast<int>(noA5.size()), area.get()), 32);
    const Bytes notFound = Hex("6A82");
    EXPECT_EQ(RUDA_DealSelectAnswer(notFound.data(), 2, area.get()), 0);
}

TEST_F(RudaCard, CardRemovalTurnsAnswersInto9F0D) {
    Bytes answer = WithSw(Concat({Element(0xE0, Element(0x48, {0x01})), Element(0xDF8301, Text("X"))}), 0x9000);
    int length = static_cast<int>(answer.size());
    EXPECT_EQ(RUDA_CheckCardRemoval(answer.data(), &length), 1);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + length), Hex("9F0D"));
    EXPECT_TRUE(trace.Contains("** INFO. ** [analyseDetectionRetraitCarte] Retrait carte detecte"));
    Bytes kept = WithSw(Element(0xE0, Element(0x48, {0x00})), 0x9000);
    length = static_cast<int>(kept.size());
    EXPECT_EQ(RUDA_CheckCardRemoval(kept.data(), &length), 0);
    EXPECT_EQ(length, static_cast<int>(kept.size()));
}

TEST_F(RudaCard, FixedRequestsAndTheirAnswers) {
    const auto fixed = [](int op, int n) {
        return Take([&](unsigned char** a, int* l) { return RUDA_BuildFixedRequest(op, n, a, l); });
    };
    EXPECT_EQ(fixed(14, 0), Hex("D0FF0000"));
    EXPECT_EQ(fixed(130, 0), Hex("C0010000"));
    EXPECT_EQ(fixed(132, 0), Hex("C0C00000"));
    EXPECT_EQ(fixed(159, 1), Hex("D05F0100"));
    EXPECT_EQ(fixed(180, 0), Hex("D0600200"));
    EXPECT_TRUE(fixed(15, 0).empty());

    const Bytes blocked = Hex("9F50");
    EXPECT_EQ(RUDA_DealAbortAnswer(blocked.data(), 2), 81);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Terminal bloque (cadenas)"));
    const Bytes ok = Hex("9000");
    EXPECT_EQ(RUDA_DealAbortAnswer(ok.data(), 2), 0);
    const Bytes busy = Hex("9FFF");
    EXPECT_EQ(RUDA_DealCancelCtlsAnswer(busy.data(), 2, record.get(), area.get()), 83);
    EXPECT_EQ(RUDA_DealCancelCtlsAnswer(ok.data(), 2, record.get(), area.get()), 64);
    const Bytes key = WithSw(Concat({Element(0xDFA205, {0x1B}), Element(0xDFDF30, {0xFB})}), 0x9000);
    EXPECT_EQ(RUDA_DealCancelCtlsAnswer(key.data(), static_cast<int>(key.size()), record.get(), area.get()), 2);

    int32_t inserted = -1;
    const Bytes present = WithSw(Element(0xE0, Element(0x48, {0x03})), 0x9000);
    EXPECT_EQ(RUDA_DealRUDA_CheckCardInserted_Answer(present.data(), static_cast<int>(present.size()), &inserted), 0);
    EXPECT_EQ(inserted, 1);
    EXPECT_EQ(RUDA_DealRUDA_CheckCardInserted_Answer(ok.data(), 2, &inserted), 0);
    EXPECT_EQ(inserted, 0);
    EXPECT_TRUE(trace.Contains("** INFO. ** RUDA_DealRUDA_CheckCardInserted_Answer No ATR"));
}

TEST_F(RudaCard, EventAnswers) {
    struct Case {
        const char* name;
        Bytes answer;
        int result;
        int technology;
        const char* eventData;
    } cases[] = {
        {"holder cancelled", Hex("9F41"), 1, -1, ""},
        {"no template", Hex("9000"), 32, -1, ""},
        {"key", WithSw(Element(0xE0, Element(0xDFA205, {0x0D})), 0x9000), 0, CARD_TECH_KEYBOARD, "V"},
        {"stripe", WithSw(Element(0xE0, Concat({Element(0x48, {0x00, 0x05}), Element(0x5F22, Text(";1234=5678?"))})), 0x9000),
         0, CARD_TECH_ISO2, "B1234D5678F"},
    };
    for (const Case& c : cases) {
        *record = CardReadRecord{};
        record->technology = -1;
        record->isoRequested = 1;
        record->chipOptions = 0x12;
        EXPECT_EQ(RUDA_DealEventAnswer(c.answer.data(), static_cast<int>(c.answer.size()), record.get()), c.result)
            << c.name;
        EXPECT_EQ(record->technology, c.technology) << c.name;
        EXPECT_STREQ(record->eventData, c.eventData) << c.name;
    }
    EXPECT_EQ(record->status, 0);
}

TEST_F(RudaCard, ContactlessStartOverItsStatusWords) {
    const Bytes pan = Element(0x5A, Hex("4970100012345678"));
    const Bytes track = Element(0x9F6B, Hex("4970100012345678D25122010F"));
    struct Case {
        const char* name;
        Bytes answer;
        int restart;
        int result;
        int status;
        const char* eventData;
    } cases[] = {
        {"status word alone", Hex("9000"), 0, 64, -1, ""},
        {"out of sequence", Hex("9F24"), 0, 16, -1, ""},
        {"no application, restart asked", WithSw(pan, 0x9F28), 1, 64, 4, ""},
        {"card to remove", Hex("9F36"), 0, 64, 7, ""},
        {"key exchange 9F51", Hex("9F51"), 0, 82, -1, ""},
        {"key exchange 9F53", Hex("9F53"), 0, 82, -1, ""},
        {"key exchange 9F54", Hex("9F54"), 0, 82, -1, ""},
        {"key exchange 9F55", Hex("9F55"), 0, 82, -1, ""},
        {"reader inactive", Hex("9F11"), 0, 8, -1, ""},
        {"syntax", Hex("9F21"), 0, 8, -1, ""},
        {"other", Hex("6F00"), 0, 1, -1, ""},
        {"terminal locked", Hex("9F50"), 0, 1, -1, ""},
        {"9F52", Hex("9F52"), 0, 1, -1, ""},
        {"read", WithSw(Element(0xE3, Concat({pan, Element(0xDF25, {0x00})})), 0x9000), 0, 0, 0, ""},
        {"expired card", WithSw(Element(0xE3, Concat({pan, Element(0xDFC037, {0x26, 0x01})})), 0x9000), 0, 0, 0, "EXPCARD"},
        {"card not genuine", WithSw(Element(0xE3, Concat({pan, Element(0xDFC037, {0x27, 0x90, 0x00})})), 0x9000), 0, 0, 0, "CNG"},
        {"collision", WithSw(Element(0xE3, Concat({pan, Element(0xDFC037, {0x42})})), 0x9000), 0, 0, 0, "COLL"},
        // The kernel words also on the accepted path and on the path without a track.
        {"accepted, card expired", WithSw(Element(0xE5, Concat({track, Element(0xDFC037, {0x26})})), 0x9F31), 0, 0, 0, "EXPCARD"},
        {"accepted, card not genuine", WithSw(Element(0xE5, Concat({track, Element(0xDFC037, {0x27, 0x90, 0x00})})), 0x9F31), 0,
         0, 0, "CNG"},
        {"no track, card not genuine",
         WithSw(Element(0xE5, Concat({Element(0x84, Hex("A0000000421010")), Element(0xDFC037, {0x27, 0x90, 0x00})})), 0x9F28), 0,
         64, 2, "CNG"},
        {"no track, collision forced", WithSw(Element(0xE5, Element(0xDFC037, {0x26})), 0x9F31), 0, 64, 2, "COLL"},
        {"mobile without fallback", WithSw(Element(0xE3, Concat({pan, Element(0xDF25, {0x01})})), 0x9000), 0, 64, 2, "NOFB"},
        {"collision without track", WithSw(Element(0xE3, Element(0xDFC037, {0x42})), 0x9F31), 0, 64, 2, "COLL"},
        {"removed too fast", WithSw(Element(0xE3, Element(0xDFC03B, {0x61})), 0x9F37), 0, 64, 5, ""},
        {"no application, a card number", WithSw(Element(0xE5, pan), 0x9F28), 0, 0, 0, ""},
        {"no application, nothing", WithSw(Element(0xDF61, {0x01}), 0x9F28), 0, 64, 4, ""},
    };
    for (const Case& c : cases) {
        *record = CardReadRecord{};
        *area = TerminalResultArea{};
        record->status = -1;
        EXPECT_EQ(Start(c.answer, c.restart), c.result) << c.name;
        EXPECT_EQ(record->status, c.status) << c.name;
        EXPECT_STREQ(record->eventData, c.eventData) << c.name;
        if (c.restart == 1) {
            EXPECT_EQ(record->ctlsData.length, 0) << c.name << ": nothing stored";
        }
    }
}

TEST_F(RudaCard, ContactlessAnswerIsStoredWithItsTrackImage) {
    const Bytes answer = WithSw(Element(0xE3, Concat({Element(0x5A, Hex("4970100012345678")),
                                                      Element(0x9F6B, Hex("4970100012345678D25122010F")),
                                                      Element(0x84, Hex("A0000000421010")), Element(0xDFDF30, {0x00})})),
                                0x9000);
    ASSERT_EQ(Start(answer), 0);
    EXPECT_EQ(record->technology, CARD_TECH_CONTACTLESS);
    EXPECT_EQ(record->ctlsData.outcome, 0xE3);
    EXPECT_EQ(record->ctlsData.length, static_cast<int>(answer.size()) - 4);
    EXPECT_STREQ(area->ctlsTrack2, "B4970100012345678D25122010F");
    EXPECT_STREQ(area->peripheralCode, "7001");
    EXPECT_EQ(area->candidateCount, 1);
    EXPECT_TRUE(trace.Contains("** INFO. ** TRS CTL OK"));

    // A template of 1025 bytes does not fit the record.
    const Bytes big = WithSw(Element(0xE3, Concat({Element(0x5A, Hex("4970100012345678")), Element(0x9F10, Bytes(1013, 1))})),
                             0x9000);
    EXPECT_EQ(Start(big), 1);
    EXPECT_TRUE(trace.Contains("Pas assez de place pour stocker la reponse de la carte"));
}

TEST_F(RudaCard, TheOneHardCodedCardIsRefusedWithoutFallback) {
    const Bytes answer = WithSw(
        Element(0xE3, Concat({Element(0xDF61, {0x99}), Element(0x84, Hex("A0000000041010")),
                              Element(0x5A, Hex("5071009999501905")), Element(0x9F07, Hex("AB00")),
                              Element(0x94, Hex("080101001001020118010400")), Element(0xDF25, {0x00})})),
        0x9000);
    EXPECT_EQ(Start(answer), 64);
    EXPECT_STREQ(record->eventData, "NOFB");
    EXPECT_TRUE(trace.Contains("<< WARN. >> Reponse Start CTLS TRS SW1-SW2 9000 mais KERNEL ID a 99"));
}

TEST_F(RudaCard, OnlinePinRequestAndAnswerMended) {
    auto pin = std::make_unique<RudaPinRecord>();
    pin->dfec05 = 1;
    pin->dfed0d = 12;
    pin->amount = 1000;
    pin->df24 = 978;
    pin->df1c = 3;
    std::strcpy(pin->pan, "4970100012345678");
    pin->dfa20e = 20;
    const Bytes request = Take([&](unsigned char** a, int* n) { return RUDA_BuildOnlinePinRequest(pin.get(), a, n); });
    EXPECT_EQ(request, Hex("DED60200 34 E032 DFEC050101 DFED0D020012 DF1706000000001000 DF24020978 DF1C0103 "
                           "5A084970100012345678 DFED040104 DFA20E020020"));
    EXPECT_EQ(pin->status, 0);

    const Bytes block = Hex("0123456789ABCDEF");
    const Bytes answer = WithSw(Concat({Element(0xDFED6C, block), Element(0xDFED03, {0x01, 0x02})}), 0x9000);
    EXPECT_EQ(RUDA_DealOnlinePinAnswer(answer.data(), static_cast<int>(answer.size()), pin.get()), 0);
    EXPECT_EQ(Bytes(pin->pinBlock, pin->pinBlock + pin->pinBlockLength), block);
    EXPECT_EQ(pin->dfed03Length, 2);
    EXPECT_EQ(pin->after, 255);
    for (const std::string& line : trace.lines()) EXPECT_EQ(line.find("0123456789"), std::string::npos) << line;

    // Longer than the record's area: refused, nothing copied.
    const Bytes longBlock = WithSw(Element(0xDFED6C, Bytes(kRudaPinBlockMax + 1, 0x11)), 0x9000);
    EXPECT_EQ(RUDA_DealOnlinePinAnswer(longBlock.data(), static_cast<int>(longBlock.size()), pin.get()), 32);
    EXPECT_EQ(pin->pinBlockLength, 0);
    const Bytes timeout = WithSw(Element(0xDFDF30, {0x02}), 0x9F41);
    EXPECT_EQ(RUDA_DealOnlinePinAnswer(timeout.data(), static_cast<int>(timeout.size()), pin.get()), 34);
}

TEST_F(RudaCard, PrevalidationStepsFillTheRecord) {
    auto pot = std::make_unique<POT>();
    pot->amount = PotNumber{1, 1000};
    pot->currencyCode = PotNumber{1, 978};
    std::strcpy(pot->transactionDate.text, "20261210");
    pot->transactionDate.length = 8;
    pot->transactionType = PotNumber{1, 0};
    const Bytes e0 = Element(0xE0, Hex("9F0206000000001000 5F2A020978 9A03261210 DFA20401 00 DFA2260101 9C0100"));
    EXPECT_EQ(Take([&](unsigned char** a, int* n) { return RUDA_BuildPrevalRequest(181, pot.get(), nullptr, nullptr, a, n); }),
              Concat({Hex("DED10000"), Bytes{static_cast<uint8_t>(e0.size())}, e0}));
    RudaCandidateEntry list[2] = {};
    EXPECT_EQ(Take([&](unsigned char** a, int* n) { return RUDA_BuildPrevalRequest(182, pot.get(), list, nullptr, a, n); }),
              Hex("DED2000002E000"));

    RudaCandidateRecord candidates[kRudal2CandidateMax] = {};
    const Bytes answer = WithSw(Element(0xE3, Concat({Element(0x9F06, Hex("A0000000421010")), Element(0x50, Text("CB")),
                                                      Element(0x5A, Hex("4970100012345678")), Element(0x9F27, {0x80})})),
                                0x9000);
    EXPECT_EQ(RUDA_DealPrevalAnswer(181, answer.data(), static_cast<int>(answer.size()), pot.get(), candidates,
                                    kRudal2CandidateMax),
              0);
    EXPECT_EQ(pot->authorisationMode.value, 64);
    EXPECT_EQ(candidates[0].found, 1);
    EXPECT_EQ(std::string(pot->pan.text), "4970100012345678");

    const Bytes pending = WithSw(Element(0xE6, {}), 0x9000);
    EXPECT_EQ(RUDA_DealPrevalAnswer(183, pending.data(), static_cast<int>(pending.size()), pot.get(), nullptr, 0), 64);
    const Bytes gone = WithSw(Element(0xE0, {}), 0x9000);
    EXPECT_EQ(RUDA_DealPrevalAnswer(184, gone.data(), static_cast<int>(gone.size()), pot.get(), nullptr, 0), 32);
    EXPECT_EQ(pot->services[0].state, 4);
    const Bytes cancelled = Hex("9F41");
    EXPECT_EQ(RUDA_DealPrevalAnswer(184, cancelled.data(), 2, pot.get(), nullptr, 0), 32);
    EXPECT_EQ(pot->services[8].state, 5);
    EXPECT_TRUE(trace.Contains("-- ERROR -- RUDA_DealRUDA_SecondContinueTransaction_Answer(): erreur grave (9f41)"));
    EXPECT_EQ(RUDA_DealPrevalAnswer(182, answer.data(), static_cast<int>(answer.size()), nullptr, nullptr, 0), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- [RUDA_DealRUDA_PrevalContinueTransaction_Answer] contexte incoherent"));
}

}  // namespace
