// RUDA answer extractors on recorded answer elements: card status, keys,
// tracks and track-2 images, candidates and their tables, mandatory data,
// result codes in words, and the bounds of every copy into a fixed field.
#include "protocols/ruda/ruda_extract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "cardsim/emv_card.h"
#include "support/apdu_bytes.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_terminal_info.h"
#include "support/trace_capture.h"

namespace {

using cardsim::Bytes;
using cardsim::Concat;
using cardsim::Element;

using testsupport::Hex;
using testsupport::Text;

using Template = testsupport::ElementsNode;

class RudaExtract : public ::testing::Test {
protected:
    void SetUp() override {
        record = std::make_unique<CardReadRecord>();
        area = std::make_unique<TerminalResultArea>();
    }
    std::unique_ptr<CardReadRecord> record;
    std::unique_ptr<TerminalResultArea> area;
    testsupport::TraceCapture trace;
};

TEST_F(RudaExtract, TrackTwoImages) {
    struct Case {
        const char* name;
        Bytes element;
        int (*extract)(TlvNode*, TerminalResultArea*);
        const char* image;
    } cases[] = {
        {"contactless track 2", Element(0x5F22, Text(";1234=5678?")), RUDA_GetCtlsTrack2, "B1234D5678F"},
        {"track 2 equivalent", Element(0x9F6B, Hex("1234D5678F")), RUDA_GetTrack2Equivalent, "B1234D5678F"},
        {"chip track 2 without filler", Element(0x57, Hex("4970100012345678D25121")), RUDA_GetChipTrack2,
         "B4970100012345678D25121F"},
    };
    for (const Case& c : cases) {
        *area = TerminalResultArea{};
        Template t(c.element);
        ASSERT_EQ(c.extract(&t.node, area.get()), 0) << c.name;
        EXPECT_STREQ(area->ctlsTrack2, c.image) << c.name;
        EXPECT_EQ(area->ctlsTrack2Length, static_cast<int>(std::strlen(c.image))) << c.name;
    }
    Template none(Element(0x5A, Hex("4970")));
    EXPECT_EQ(RUDA_GetTrack2Equivalent(&none.node, area.get()), 1);
}

TEST_F(RudaExtract, CardStatusDecisions) {
    struct Case {
        const char* name;
        Bytes status;
        int chip, iso;
        uint8_t options;
        int result;
        int technology;
        int cardStatus;
        const char* message;
    } cases[] = {
        {"chip inserted and read", {0x03, 0x00}, 1, 0, 0x12, 0, CARD_TECH_CHIP, 0, "** INFO. ** Carte a puce inseree et lue"},
        {"stripe read on track 2", {0x00, 0x05}, 0, 1, 0x12, 0, CARD_TECH_ISO2, 0, "** INFO. ** ISO2 lue"},
        {"track bit without the read bit", {0x00, 0x04}, 0, 1, 0x12, 64, -1, -1, nullptr},
        {"stripe badly read", {0x00, 0x01}, 0, 1, 0x12, 0, CARD_TECH_ISO2, 2, "** INFO. ** Carte a piste mal lue"},
        {"mute chip", {0x01, 0x00}, 1, 0, 0x12, 0, CARD_TECH_CHIP, 2, "** INFO. ** Carte muette"},
        {"nothing", {0x00, 0x00}, 1, 1, 0x12, 97, -1, -1, nullptr},
        {"chip-only options, chip seen", {0x10, 0x00}, 1, 0, 0x08, 0, -1, -1, nullptr},
        {"chip-only options, nothing", {0x02, 0x00}, 1, 0, 0x08, 64, -1, -1, nullptr},
    };
    for (const Case& c : cases) {
        *record = CardReadRecord{};
        record->technology = -1;
        record->status = -1;
        record->chipRequested = c.chip;
        record->isoRequested = c.iso;
        record->chipOptions = c.options;
        RUDA_AdvanceCandidateIndex();
        trace.lines().clear();
        Template t(Element(0xE0, Element(0x48, c.status)));
        EXPECT_EQ(RUDA_DecodeCardStatus(&t.node, record.get()), c.result) << c.name;
        EXPECT_EQ(record->technology, c.technology) << c.name;
        EXPECT_EQ(record->status, c.cardStatus) << c.name;
        if (c.message != nullptr) {
            EXPECT_TRUE(trace.Contains(c.message)) << c.name;
            EXPECT_EQ(record->presentCount, 1) << c.name;
            EXPECT_EQ(record->answerValid, 1) << c.name;
        }
        EXPECT_EQ(RUDA_CandidateIndex(), 0) << c.name << ": the card status resets the candidate index";
    }
    Template none(Element(0xE0, Element(0x5A, {0x01})));
    EXPECT_EQ(RUDA_DecodeCardStatus(&none.node, record.get()), 1);
}

TEST_F(RudaExtract, KeyCodes) {
    struct Case {
        Bytes element;
        int result;
        char letter;
        const char* message;
    } cases[] = {
        {Element(0xDFA205, {0x0D}), 1, 'V', "** INFO. ** Touche V appuyee"},
        {Element(0xDFA205, {0x00, 0x1B}), 1, 'A', "** INFO. ** Touche X appuyee"},
        {Element(0xDFA205, {0x05}), 1, '\0', "** INFO. ** Touche non prise en compte appuyee"},
        {Element(0x48, {0x05}), 0, '\0', nullptr},
    };
    for (const Case& c : cases) {
        Template t(c.element);
        char letter = 'z';
        EXPECT_EQ(RUDA_GetKeyCode(&t.node, &letter), c.result);
        EXPECT_EQ(letter, c.letter);
        if (c.message != nullptr) {
            EXPECT_TRUE(trace.Contains(c.message)) << c.message;
        }
    }
}

TEST_F(RudaExtract, ContactlessResultCodesInWords) {
    struct Case {
        uint8_t code;
        const char* message;
    } cases[] = {{0xFB, "** INFO. ** TRS CTL Aborded"},
                 {0x90, "-- ERROR -- TRS CTL Result code : 90"},
                 {0x00, "** INFO. ** TRS CTL OK"}};
    for (const Case& c : cases) {
        Template t(Element(0xDFDF30, {c.code, 0x00}));
        EXPECT_EQ(RUDA_LogCtlsResult(&t.node, record.get()), 0);
        EXPECT_TRUE(trace.Contains(c.message)) << c.message;
    }
    EXPECT_EQ(record->errorSource, 0);
    Template timeout(Element(0xDFDF30, {0x02}));
    RUDA_LogCtlsResult(&timeout.node, record.get());
    EXPECT_EQ(record->errorSource, 10);
    EXPECT_EQ(record->status, 1);
}

TEST_F(RudaExtract, MandatoryDataStopsAtTheFirstMissing) {
    Template t(Concat({Element(0x48, {0x03}), Element(0x9F36, {0x00, 0x01})}));
    EXPECT_EQ(RUDA_CheckMandatoryData(&t.node), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Missing mandatory data : AFL 94"));
    EXPECT_FALSE(trace.Contains("PAN"));
    EXPECT_FALSE(trace.Contains("ATC"));

    Template all(Concat({Element(0x5A, {0x49}), Element(0x94, Hex("08010100")), Element(0x9F36, {0x00, 0x01}),
                         Element(0x82, {0x5C, 0x00}), Element(0x9F10, {0x06}), Element(0x9F26, Bytes(8, 1)),
                         Element(0x9F27, {0x80}), Element(0x5F24, Hex("261231"))}));
    trace.lines().clear();
    EXPECT_EQ(RUDA_CheckMandatoryData(&all.node), 0);
    EXPECT_TRUE(trace.Contains("<< WARN. >> Missing mandatory data : PAN 48 looking into 5A"));
}

TEST_F(RudaExtract, CandidatesAndTheirTablesStopAtTenMended) {
    Template fci(Concat({Element(0x84, Hex("A0000000421010")), Element(0x50, Text("CB")),
                         Element(0x9F38, Hex("9F6604")), Element(0x87, {0x01}), Element(0x5F2D, Text("frenit")),
                         Element(0xBF0C, Hex("5F550246 52"))}));
    for (int i = 0; i < 12; ++i) {
        RUDA_AddCandidateFrom84(&fci.node, area.get());
        RUDA_AddCandidateLabel(&fci.node, area.get());
        RUDA_AddPdol(&fci.node, area.get());
        RUDA_AddPriorityIndicator(&fci.node, area.get());
        RUDA_AddCodeTableIndex(&fci.node, area.get());
        RUDA_AddFciDiscretionary(&fci.node, area.get());
    }
    EXPECT_EQ(area->candidateCount, 10);
    EXPECT_EQ(area->labelCount, 10);
    EXPECT_EQ(area->pdolCount, 10);
    EXPECT_EQ(area->priorityCount, 10);
    EXPECT_EQ(area->codeTableCount, 10);
    EXPECT_EQ(area->fciCount, 10);
    EXPECT_STREQ(area->candidates[9], "a0000000421010");
    EXPECT_STREQ(area->labels[0], "CB");
    EXPECT_STREQ(area->pdols[0], "9f6604");
    EXPECT_EQ(area->priorities[0], 1);
    EXPECT_EQ(area->codeTables[0], 1) << "absent 9F11 reads 1";
    EXPECT_STREQ(area->fciDiscretionary[0], "5f55024652");

    ASSERT_EQ(RUDA_GetLanguagePreference(&fci.node, area.get()), 0);
    EXPECT_EQ(std::string(area->languages[0].code, 2), "fr");
    EXPECT_EQ(std::string(area->languages[2].code, 2), "it");
    EXPECT_EQ(area->languages[3].length, 0);
}

TEST_F(RudaExtract, LongValuesAreCutToTheirFieldsMended) {
    const std::string track1(150, '1');
    Template t(Concat({Element(0x5F21, Text(track1)), Element(0x63, Bytes(80, 0xAB)),
                       Element(0x5F23, Text(std::string(110, '3')))}));
    ASSERT_EQ(RUDA_GetTrack1(&t.node, record.get()), 0);
    EXPECT_EQ(record->track1Length, 100);
    EXPECT_EQ(std::string(record->track1Data), std::string(100, '1'));
    EXPECT_TRUE(trace.Contains("<< WARN. >> [RUDA] Piste 1 : 150 caracteres, coupe a 100"));
    ASSERT_EQ(RUDA_GetTag63(&t.node, record.get()), 0);
    EXPECT_EQ(record->eventLength, 100);
    EXPECT_EQ(record->eventData[100], '\0');
    ASSERT_EQ(RUDA_GetTrack3(&t.node, record.get()), 0);
    EXPECT_EQ(record->track3Length, 110);

    // A track 1 beyond the room of its getter is not read at all.
    Template tooLong(Element(0x5F21, Text(std::string(201, '1'))));
    EXPECT_EQ(RUDA_GetTrack1(&tooLong.node, record.get()), 1);

    // DFA310 is copied only into the room the caller gives.
    Template big(Element(0xDFA310, Bytes(300, 0x77)));
    unsigned char out[300] = {};
    int length = -1;
    EXPECT_EQ(RUDA_GetDFA310(&big.node, out, 100, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(RUDA_GetDFA310(&big.node, out, 300, &length), 0);
    EXPECT_EQ(length, 300);
}

TEST_F(RudaExtract, FF7FIsStoredWholeOrNotAtAllMended) {
    const Bytes inner = Concat({Element(0xDFDF10, Bytes(40, 1)), Element(0xDFDF11, Bytes(10, 2))});
    Template t(Element(0xFF7F, inner));
    ASSERT_EQ(RUDA_GetFF7F(&t.node, area.get()), 0);
    EXPECT_EQ(Bytes(area->ff7f, area->ff7f + area->ff7fLength), Element(0xFF7F, inner));

    Template big(Element(0xFF7F, Element(0xDFDF10, Bytes(300, 1))));
    EXPECT_EQ(RUDA_GetFF7F(&big.node, area.get()), 1);
    EXPECT_EQ(area->ff7fLength, 0);
}

TEST_F(RudaExtract, PrintAndPinResults) {
    const unsigned char two = 2;
    const unsigned char one = 1;
    EXPECT_EQ(RUDA_PrintStatusResult(&two, 1), 34);
    EXPECT_EQ(RUDA_PrintStatusResult(&one, 1), 32);
    EXPECT_EQ(RUDA_PrintStatusResult(nullptr, 0), 1);
    EXPECT_EQ(RUDA_LogPrintResult(&one, 1, false), 0);
    EXPECT_TRUE(trace.Contains("** INFO. ** Printing in progress"));
    EXPECT_EQ(RUDA_LogPrintResult(&one, 1, true), 1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Print : Paper jam or head open"));
    const unsigned char blocked = 90;
    EXPECT_EQ(RUDA_LogPinResult(&blocked, 1), 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- CODE SECU PIN Blocked"));
}

TEST_F(RudaExtract, SingleValues) {
    Template t(Concat({Element(0x80, {0x00, 0x01, 0x02}), Element(0xDF61, {0x99}), Element(0x5A, Hex("4970100012345678")),
                       Element(0xDFC034, Hex("69850011")), Element(0xDF8301, Text("LIBELLE"))}));
    uint32_t n = 0;
    EXPECT_EQ(RUDA_GetTag80(&t.node, &n), 0);
    EXPECT_EQ(n, 0x102u);
    EXPECT_EQ(RUDA_GetDF61(&t.node, &n), 0);
    EXPECT_EQ(n, 0x99u);
    EXPECT_EQ(RUDA_GetDFC036(&t.node, &n), 1);
    Template empty(Element(0x48, {0x01}));
    EXPECT_EQ(RUDA_GetTag80(&empty.node, &n), 32);
    char pan[33];
    EXPECT_EQ(RUDA_Get5A(&t.node, pan, 32), 0);
    EXPECT_STREQ(pan, "4970100012345678");
    EXPECT_EQ(RUDA_Get5A(&t.node, pan, 10), 1) << "no room";
    unsigned char debug[2];
    EXPECT_EQ(RUDA_GetCtlsDebugData(&t.node, debug, 0, 2), 0);
    EXPECT_EQ(debug[0], 0x69);
    EXPECT_EQ(RUDA_GetCtlsDebugData(&t.node, debug, 3, 2), 1);
    char label[22];
    int length = 0;
    EXPECT_EQ(RUDA_GetDF8301(&t.node, &length, label), 0);
    EXPECT_STREQ(label, "LIBELLE");
    EXPECT_EQ(RUDA_Has5A(&t.node), 0);
    EXPECT_EQ(RUDA_HasDF25(&t.node), 1);
}

// ---- Terminal identification into the information area ----

class RudaIdentify : public ::testing::Test {
protected:
    void SetUp() override { info = std::make_unique<TerminalInfoArea>(); }
    TerminalPartInfo& part() { return info->parts[info->currentPart]; }
    std::unique_ptr<TerminalInfoArea> info;
    testsupport::TraceCapture trace;
};

TEST_F(RudaIdentify, SerialModelAndStates) {
    Template serial(Element(0x9F1E, Text("1234")));
    EXPECT_EQ(RUDA_GetSerialNumber(&serial.node, info.get()), 0);
    EXPECT_STREQ(part().serial, "123400000000");
    EXPECT_EQ(part().serialLength, 12);
    Template longSerial(Element(0x9F1E, Text("1234567890123")));
    EXPECT_EQ(RUDA_GetSerialNumber(&longSerial.node, info.get()), 1);

    struct Case {
        const char* value;
        const char* model;
        int twoReaders;
    } models[] = {{"LR521\n", "LR521", 1}, {"TQ202", "TQ202", 0}, {"Ambo 2", "Ambo 2", 1},
                  {"A model name of more than twenty", "A model name of more", 0}};
    int readings = 0;
    for (const Case& c : models) {
        Template t(Element(0xDF0D, Text(c.value)));
        EXPECT_EQ(RUDA_GetModelOrVersion(&t.node, info.get(), 1), 0) << c.value;
        EXPECT_STREQ(info->modelName, c.model);
        EXPECT_EQ(info->twoReaders, c.twoReaders) << c.value;
        EXPECT_EQ(info->modelReadings, ++readings);
    }
    EXPECT_EQ(info->modelMarkers[1], 1);
    EXPECT_EQ(info->modelMarkers[0], 0);
    // Without the model flag: the version column of the next package entry.
    Template version(Element(0xDF0D, Text("RELEASE")));
    EXPECT_EQ(RUDA_GetModelOrVersion(&version.node, info.get(), 0), 0);
    EXPECT_STREQ(part().packageTables[1][0], "RELE");

    Template type(Element(0xDF8109, Text("M/RT 5")));
    char family[3] = "QT";
    EXPECT_EQ(RUDA_GetOsType(&type.node, family), 0);
    EXPECT_STREQ(family, "QX");

    Template uptime(Element(0xDFEC1F, Hex("00 00 0E 8D")));
    EXPECT_EQ(RUDA_GetUptime(&uptime.node, info.get()), 0);
    EXPECT_EQ(info->secondsSincePowerUp, 3725);
    EXPECT_TRUE(trace.Contains("** INFO. ** Temps depuis reboot : 1h 2m 5s"));
    EXPECT_EQ(RUDA_GetUptime(&type.node, info.get()), 1);
    EXPECT_EQ(info->secondsSincePowerUp, 0);

    // A part number outside the five parts writes nothing.
    info->currentPart = 5;
    EXPECT_EQ(RUDA_GetSerialNumber(&serial.node, info.get()), 1);
    info->currentPart = -1;
    EXPECT_EQ(RUDA_GetModelOrVersion(&version.node, info.get(), 1), 1);
}

TEST_F(RudaIdentify, StateTextsCutToTheirField_Mended) {
    Template t(Concat({Element(0xDF8101, Text("a tamper text of thirty chars!")), Element(0xDF8102, Text("open"))}));
    EXPECT_EQ(RUDA_GetTamperStatus(&t.node, info.get()), 0);
    EXPECT_EQ(RUDA_GetRemovalStatus(&t.node, info.get()), 0);
    EXPECT_STREQ(part().tamperState, "a tamper");
    EXPECT_EQ(part().tamperFlag, 1);
    EXPECT_STREQ(part().removalState, "open");
    EXPECT_EQ(part().removalFlag, 1);
    EXPECT_TRUE(trace.Contains("** INFO. ** Statut de la violabilite : a tamper text of thirty chars!"));
    EXPECT_TRUE(trace.Contains("** INFO. ** Statut du demontage : open"));
}

TEST_F(RudaIdentify, VersionsAndPackages) {
    Template app(Element(0xDF7F, Text("v1.2")));
    EXPECT_EQ(RUDA_GetOsVersion(&app.node, info.get(), "TQ202", nullptr, 0), 0);
    EXPECT_STREQ(part().applicationVersion, "v1.2");
    EXPECT_STREQ(part().packageTables[0][0], "2801");
    EXPECT_EQ(std::string(part().packageTables[1][0]), RUDA_VersionCrcText("V1.2", true));
    EXPECT_EQ(part().packagesPresent, 1);
    // A version of 21 characters or more is not the application version.
    Template longApp(Element(0xDF7F, Text(std::string(21, '9'))));
    EXPECT_EQ(RUDA_GetOsVersion(&longApp.node, info.get(), "TQ202", nullptr, 0), 0);
    EXPECT_STREQ(part().applicationVersion, "v1.2");

    struct Case {
        const char* value;
        const char* model;
        const char* family;
        const char* kept;
    } cases[] = {
        {"QT-os-12345678", "TQ202", "QT", "5678"},
        {"os-12345678901", "TQ202", "QX", "45678901"},
        {"os-9", "TQ202", "QX", "0000OS-9"},
        {"01234567LR520-OS-VERSION-ABCDEF", "LR520", "QX", "LR520-OS-VERSION-A"},
    };
    for (const Case& c : cases) {
        char family[3] = "";
        Template t(Element(0xDF7F, Text(c.value)));
        EXPECT_EQ(RUDA_GetOsVersion(&t.node, info.get(), c.model, family, 1), 0) << c.value;
        EXPECT_STREQ(family, c.family) << c.value;
        const std::string crc = RUDA_VersionCrcText(c.kept, false).substr(0, 4);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&part().osEntry[1]), crc.size()), crc) << c.value;
    }
    char family[3] = "";
    Template refused(Element(0xDF7F, Text("release-")));
    EXPECT_EQ(RUDA_GetOsVersion(&refused.node, info.get(), "TQ202", family, 1), 1);
    EXPECT_EQ(part().status, 1);
    EXPECT_EQ(part().failureMark, 255);

    Template ctls(Concat({Element(0xDFC022, Text("TQ-CTLS-01.02-03")), Element(0xDFC028, Text(std::string(30, 'k') + " - " + std::string(30, 'K')))}));
    EXPECT_EQ(RUDA_GetCtlsVersion(&ctls.node, info.get()), 0);
    const int entry = part().packageCount - 1;
    EXPECT_STREQ(part().packageTables[0][entry], "7001");
    EXPECT_EQ(std::string(part().packageTables[1][entry]), RUDA_VersionCrcText("010203", false).substr(0, 4));
    EXPECT_EQ(RUDA_GetCtlsKernels(&ctls.node, info.get()), 0);
    EXPECT_EQ(std::string(part().contactlessKernels), std::string(30, 'k') + std::string(12, 'K'));
    EXPECT_TRUE(trace.Contains("@@ DEBUG @@ CTLS orrin k modifie " + std::string(30, 'k') + std::string(30, 'K')));
}

}  // namespace
