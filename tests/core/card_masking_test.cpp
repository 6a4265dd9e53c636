// Card-data masking: mask rules, registration, the passes the trace core runs
// before its hook sees a line, and protected card values.
#include "core/card_masking.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "core/crypto.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

constexpr const char* kPan = "4970123456781235";
constexpr const char* kPanMasked = "497012------1235";
constexpr const char* kTrack = "4970123456781235D25121011234567";
constexpr const char* kTrackMasked = "497012------1235D2512101EEEEEEE";

// Applies a text mask function to a copy of the text.
template <typename F>
std::pair<int, std::string> Apply(const std::string& text, F f) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s", text.c_str());
    int r = f(buf);
    return {r, buf};
}

TEST(MaskRules, PanMiddle) {
    struct Case {
        std::string in;
        char mask;
        int r;
        std::string out;
    };
    const Case cases[] = {
        {"1234567890123456", 0, 1, "123456------3456"},
        {"1234567890123456", '*', 1, "123456******3456"},
        {"1234567890", 0, 1, "1234567890"},
        {"123456789", 0, 0, "123456789"},
        {"", 0, 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Apply(c.in, [&](char* t) { return MaskPanMiddle(t, c.mask); }),
                  std::make_pair(c.r, c.out))
            << c.in;
    EXPECT_EQ(MaskPanMiddle(nullptr, 0), 0);
}

TEST(MaskRules, PanEndsAndAllButLastFour) {
    EXPECT_EQ(Apply("4970123456781235", [](char* t) { return MaskPanEnds(t, 0); }),
              std::make_pair(1, std::string("------345678123-")));
    EXPECT_EQ(Apply("4970123456781235 1225", [](char* t) { return MaskPanEnds(t, '#'); }),
              std::make_pair(1, std::string("######345678123# 1225")));
    EXPECT_EQ(Apply(" 234567", [](char* t) { return MaskPanEnds(t, 0); }),
              std::make_pair(1, std::string("------7")));  // no character before a leading blank
    EXPECT_EQ(Apply("123456", [](char* t) { return MaskPanEnds(t, 0); }),
              std::make_pair(0, std::string("123456")));
    EXPECT_EQ(MaskPanEnds(nullptr, 0), 0);

    EXPECT_EQ(Apply("1234567890", [](char* t) { return MaskAllButLastFour(t, 10, 0); }),
              std::make_pair(1, std::string("------7890")));
    EXPECT_EQ(Apply("1234567890", [](char* t) { return MaskAllButLastFour(t, 6, '*'); }),
              std::make_pair(1, std::string("**34567890")));
    EXPECT_EQ(Apply("1234", [](char* t) { return MaskAllButLastFour(t, 4, 0); }),
              std::make_pair(1, std::string("1234")));
    EXPECT_EQ(Apply("123", [](char* t) { return MaskAllButLastFour(t, 3, 0); }),
              std::make_pair(0, std::string("123")));
    EXPECT_EQ(MaskAllButLastFour(nullptr, 10, 0), 0);
    // An empty buffer is left alone whatever the length says.
    char empty[16] = {};
    std::memset(empty + 1, 'x', sizeof empty - 2);
    EXPECT_EQ(MaskAllButLastFour(empty, 12, 0), 0);
    EXPECT_EQ(std::string(empty + 1), std::string(sizeof empty - 2, 'x'));
    EXPECT_EQ(empty[0], '\0');
}

TEST(MaskRules, TrackDiscretionaryAndTrack2) {
    EXPECT_EQ(Apply("25121011234567", [](char* t) { return MaskTrackDiscretionary(t, 0); }),
              std::make_pair(1, std::string("2512101EEEEEEE")));
    EXPECT_EQ(Apply("25121011234567", [](char* t) { return MaskTrackDiscretionary(t, 1); }),
              std::make_pair(1, std::string("EEEEEEEEEEEEEE")));
    EXPECT_EQ(Apply("2512101123F999", [](char* t) { return MaskTrackDiscretionary(t, 0); }),
              std::make_pair(1, std::string("2512101EEEF999")));
    EXPECT_EQ(Apply("251210", [](char* t) { return MaskTrackDiscretionary(t, 1); }),
              std::make_pair(-1, std::string("251210")));
    EXPECT_EQ(MaskTrackDiscretionary(nullptr, 0), -1);

    struct Case {
        std::string in;
        int r;
        std::string out;
    };
    const Case cases[] = {
        {kTrack, 1, kTrackMasked},
        {"4970123456781235=25121011234567", 1, "497012------1235=2512101EEEEEEE"},
        {"B4970123456781235D25121011234567", 1, "B497012------1235D2512101EEEEEEE"},
        {"4970123456781235D251210", -1, "497012------1235D251210"},  // short data: card masked
        {"49701234567812352512101", -1, "49701234567812352512101"},  // no separator
        {"", 0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Apply(c.in, [](char* t) { return MaskTrack2(t, 0, 0); }), std::make_pair(c.r, c.out))
            << c.in;
    EXPECT_EQ(MaskTrack2(nullptr, 0, 0), 0);
}

// ---------------------------------------------------------------------------
// Table, registration and the trace passes
// ---------------------------------------------------------------------------

class MaskTable : public ::testing::Test {
protected:
    void SetUp() override { WSysSetMasks(nullptr, 1); }
    void TearDown() override { WSysSetMasks(nullptr, 1); }

    // What the hook receives for one WSysError line.
    std::string Traced(const std::string& message) {
        testsupport::TraceCapture capture;
        WSysError("** INFO. ** %s", message.c_str());
        return capture.lines().empty() ? std::string("<none>") : capture.lines().back();
    }
};

TEST_F(MaskTable, RegisteredCardNumberAndTrackAreMaskedBeforeTheHookSeesTheLine) {
    EXPECT_EQ(Traced(std::string("pan ") + kPan), std::string("** INFO. ** pan ") + kPan);
    EXPECT_EQ(RegisterLogMasking(kPan, nullptr, 0), 0);
    EXPECT_EQ(Traced(std::string("pan ") + kPan + " again " + kPan),
              std::string("** INFO. ** pan ") + kPanMasked + " again " + kPanMasked);

    RegisterLogMasking(nullptr, "B4970123456781235D25121011234567F", 0);
    EXPECT_EQ(Traced(std::string("t2 ") + kTrack + "|" + kTrack),
              std::string("** INFO. ** t2 ") + kTrackMasked + "|" + kTrackMasked);

    // Named loggers go through the same passes.
    testsupport::TraceCapture capture;
    WLOG("cardtest", WLOG_ERROR, "card=%s", kPan);
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_EQ(capture.lines().back().find(kPan), std::string::npos);
    EXPECT_NE(capture.lines().back().find(kPanMasked), std::string::npos);
}

TEST_F(MaskTable, AllZeroCardNumberIsNotRegisteredAndResetForgetsTheValues) {
    RegisterLogMasking("0000000000000000", nullptr, 0);
    EXPECT_EQ(Traced("0000000000000000"), "** INFO. ** 0000000000000000");
    RegisterLogMasking(kPan, kTrack, 0);
    EXPECT_EQ(Traced(kPan), std::string("** INFO. ** ") + kPanMasked);
    RegisterLogMasking(nullptr, nullptr, 1);
    // A track in text stays masked: by its form, not by its registration.
    EXPECT_EQ(Traced(std::string(kPan) + " " + kTrack),
              std::string("** INFO. ** ") + kPan + " 497012------1235D--------------");
}

// Masking by tag does not wait for a first registration, and a reset puts
// the standard list back instead of switching it off.
TEST_F(MaskTable, TagListIsInForceFromTheStartAndAfterEveryReset_Mended) {
    EXPECT_EQ(Traced("{D1A}1234{SV}s0"), "** INFO. ** {D1A}----{SV}s0");
    char text[64] = "{D3Y}123{SV}s0";
    EXPECT_EQ(WSysMaskTags(text), 1);
    EXPECT_STREQ(text, "{D3Y}---{SV}s0");
    RegisterLogMasking(nullptr, nullptr, 1);
    EXPECT_EQ(Traced("{CSALL}9F02{SV}s0"), "** INFO. ** {CSALL}----{SV}s0");
    WSysSetMasks(nullptr, 1);
    EXPECT_EQ(Traced("{D2F}1234=99{SV}s0"), "** INFO. ** {D2F}-------{SV}s0");
    // A list set by a registration is replaced by the standard one at reset.
    auto request = std::make_unique<WSysMaskRequest>();
    std::memset(request.get(), 0, sizeof *request);
    std::snprintf(request->tagList, sizeof request->tagList, "{XX}");
    request->tagListPresent = 1;
    WSysSetMasks(request.get(), 0);
    EXPECT_EQ(Traced("{XX}1{D1A}2"), "** INFO. ** {XX}-{D1A}2");
    WSysSetMasks(nullptr, 1);
    EXPECT_EQ(Traced("{XX}1{D1A}2"), "** INFO. ** {XX}1{D1A}-");
}

// Every code the card-data rules name is in the standard list, the list is
// not cut, and each value is hidden the way the exchange log hides it.
TEST_F(MaskTable, TagListCoversEverySensitiveCode_Mended) {
    const std::string list = WSysStandardMaskTagList();
    EXPECT_LT(list.size(), kWSysMaskTagListSize);
    for (const char* code : {"D1A", "D2F", "D6J", "D3L", "D3L1", "D3L2", "D3Y", "TC3", "CSGPO", "CSRED", "CSALL",
                             "DATA_PAN", "DATA_ISO2", "CARD_VISCRYPT", "DA8", "PRN_TEXT"}) {
        EXPECT_NE(list.find(std::string("{") + code + "}"), std::string::npos) << code;
        std::string message = std::string("{SV}s0{") + code + "}secret 123{RS}00{" + code + "}x";
        std::string expected = std::string("** INFO. ** {SV}s0{") + code + "}----------{RS}00{" + code + "}-";
        EXPECT_EQ(Traced(message), expected) << code;
    }
    // Display texts keep their words and all but the middle of a card number.
    for (const char* code : {"ED", "DISP_TEXT"}) {
        EXPECT_NE(list.find(std::string("{") + code + "}"), std::string::npos) << code;
        EXPECT_EQ(Traced(std::string("{") + code + "}Carte 4970 1234 5678 1235{") + code + "}Carte 1",
                  std::string("** INFO. ** {") + code + "}Carte 4970 12-- ---- 1235{" + code + "}Carte 1");
    }
    EXPECT_EQ(Traced("{D3LX}keep{D1}keep"), "** INFO. ** {D3LX}keep{D1}keep");
    EXPECT_EQ(WSysMaskTags(nullptr), -1);
}

TEST_F(MaskTable, MaskAfterBlotsEveryOccurrenceUpToTheNextBrace) {
    char text[] = "{A}12{B}34{A}5678";
    EXPECT_EQ(WSysMaskAfter(text, "{A}"), 1);
    EXPECT_STREQ(text, "{A}--{B}34{A}----");
    EXPECT_EQ(WSysMaskAfter(text, ""), -1);
    EXPECT_EQ(WSysMaskAfter(text, nullptr), -1);
    EXPECT_EQ(WSysMaskAfter(nullptr, "{A}"), -1);
}

TEST_F(MaskTable, LaterRegistrationsNeverUnmaskEarlierValues) {
    RegisterLogMasking(kPan, nullptr, 0);
    // Digits gathered from a display text registered as a card number.
    RegisterLogMasking("06123456789", nullptr, 0);
    std::string line = Traced(std::string("card ") + kPan + " tel 06123456789");
    EXPECT_EQ(line, std::string("** INFO. ** card ") + kPanMasked + " tel 061234-6789");

    // A short value that is part of the card number must not break up its mask.
    RegisterLogMasking("3456", nullptr, 0);
    line = Traced(std::string("card ") + kPan);
    EXPECT_EQ(line, std::string("** INFO. ** card ") + kPanMasked);

}

TEST_F(MaskTable, FullSlotKeepsTheNewestCardAndDisplayDigitsNeverPushItOut) {
    // Card values: the oldest go first, the newest always stays.
    for (int i = 0; i < 2 * kWSysMaskValuesPerSlot; ++i)
        RegisterLogMasking(("55551" + std::to_string(1000000 + i)).c_str(), nullptr, 0);
    RegisterLogMasking(kPan, nullptr, 0);
    std::string line = Traced(std::string("card ") + kPan);
    EXPECT_EQ(line.find(kPan), std::string::npos) << line;
    const std::string recent = "55551" + std::to_string(1000000 + 2 * kWSysMaskValuesPerSlot - 1);
    line = Traced("card " + recent);
    EXPECT_EQ(line.find(recent), std::string::npos) << line;

    // A flood of display digits never pushes the newest card value out, and
    // the latest display digits are masked too.
    for (int i = 0; i < 3 * kWSysMaskValuesPerSlot; ++i)
        RegisterLogMaskingDisplay(std::to_string(70000000000LL + i).c_str());
    line = Traced(std::string("card ") + kPan);
    EXPECT_EQ(line.find(kPan), std::string::npos) << line;
    const std::string lastDisplay = std::to_string(70000000000LL + 3 * kWSysMaskValuesPerSlot - 1);
    line = Traced("code " + lastDisplay);
    EXPECT_EQ(line.find(lastDisplay), std::string::npos) << line;

    // Registering a card value again makes it the newest.
    for (int i = 0; i < kWSysMaskValuesPerSlot; ++i)
        RegisterLogMaskingDisplay(std::to_string(80000000000LL + i).c_str());
    line = Traced(std::string("card ") + kPan);
    EXPECT_EQ(line.find(kPan), std::string::npos) << line;
}

TEST_F(MaskTable, SetMasksRefusesLongValuesAndReplacementsThatWouldNotHide) {
    auto request = std::make_unique<WSysMaskRequest>();
    std::memset(request.get(), 0, sizeof *request);
    std::string longValue(100, '7');
    std::snprintf(request->cardNumberClear, sizeof request->cardNumberClear, "%s", longValue.c_str());
    request->cardNumberPresent = 1;
    std::snprintf(request->track2Clear, sizeof request->track2Clear, "SECRET");
    std::snprintf(request->track2Replacement, sizeof request->track2Replacement, "XY");  // wrong length
    request->track2Present = 1;
    EXPECT_EQ(WSysSetMasks(request.get(), 0), 0);
    EXPECT_EQ(Traced(longValue + " SECRET"), "** INFO. ** " + longValue + " ------");

    std::snprintf(request->track2Clear, sizeof request->track2Clear, "OTHER1");
    std::snprintf(request->track2Replacement, sizeof request->track2Replacement, "OTHER1");  // itself
    EXPECT_EQ(WSysSetMasks(request.get(), 0), 0);
    std::snprintf(request->track2Clear, sizeof request->track2Clear, "OTHER2");
    std::snprintf(request->track2Replacement, sizeof request->track2Replacement, "o****2");
    EXPECT_EQ(WSysSetMasks(request.get(), 0), 0);
    EXPECT_EQ(Traced("OTHER1 OTHER2 SECRET"), "** INFO. ** ------ o****2 ------");

}

// A digit string that its card-number mask would leave as it is (10
// characters or fewer) is not registered: it changes nothing in later lines,
// whether it came as a card number, a track or display digits. A track
// without separator is masked like a card number.
TEST_F(MaskTable, ShortDigitStringsChangeNothing_Mended) {
    RegisterLogMasking("1", nullptr, 0);
    RegisterLogMasking("123456789", "1D2", 0);
    RegisterLogMasking(nullptr, "B0123456789F", 0);
    RegisterLogMaskingDisplay("1");
    RegisterLogMaskingDisplay("0612345678");
    const std::string line = "{PS}1{RS}01 x123456789x 1D2 0123456789 0612345678 a1b2";
    EXPECT_EQ(Traced(line), "** INFO. ** " + line);
    RegisterLogMasking(nullptr, "4970123456781235", 0);
    EXPECT_EQ(Traced("4970123456781235"), std::string("** INFO. ** ") + kPanMasked);
}

// A track registers the card number it holds, so the number alone is masked
// in later lines too.
TEST_F(MaskTable, TrackRegistersItsCardNumber_Mended) {
    for (const char* track : {"B4970123456781235D25121011234567F", "4970123456781235=2512"}) {
        WSysSetMasks(nullptr, 1);
        RegisterLogMasking(nullptr, track, 0);
        EXPECT_EQ(Traced(std::string("pan ") + kPan), std::string("** INFO. ** pan ") + kPanMasked) << track;
    }
}

TEST_F(MaskTable, MaskValuesLooksOnlyAtTheGivenSize) {
    char text[64] = "no values";
    EXPECT_EQ(WSysMaskValues(text, sizeof text), 0);
    EXPECT_EQ(WSysMaskValues(nullptr, 10), -1);
    RegisterLogMasking(kPan, nullptr, 0);
    std::snprintf(text, sizeof text, "%s|%s", kPan, kPan);
    EXPECT_EQ(WSysMaskValues(text, 20), 1);  // the second occurrence lies beyond the size
    EXPECT_EQ(std::string(text), std::string(kPanMasked) + "|" + kPan);
}

TEST_F(MaskTable, RegistrationWaitsForTheTraceLock) {
    std::unique_lock<std::recursive_mutex> held(WSysTraceLock());
    auto registration = std::async(std::launch::async, [] { return RegisterLogMasking(kPan, nullptr, 0); });
    EXPECT_EQ(registration.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    held.unlock();
    EXPECT_EQ(registration.get(), 0);
    EXPECT_EQ(Traced(kPan), std::string("** INFO. ** ") + kPanMasked);
}

// Every line traced while card data is registered is written to a log file;
// the file never holds a clear value.
WSysLogFile* g_file = nullptr;
int FileHook(const char* text) {
    g_file->log(text);
    return 0;
}

TEST_F(MaskTable, TraceFileNeverHoldsRegisteredClearValues) {
    testsupport::TempDir dir;
    WSysLogFile file(dir.file("trace.log").c_str(), 1 << 20);
    g_file = &file;
    WSysTraceHook previous = WSysGetTraceHook();
    WSysSetTraceHook(FileHook);

    const char* cvv = "739";
    RegisterLogMasking(nullptr, nullptr, 1);
    RegisterLogMasking(kPan, "B4970123456781235D25121011234567F", 0);
    WSysError("** INFO. ** carte %s lue", kPan);
    WSysError("-- ERROR -- piste %s", kTrack);
    WLOG("client.eftag.response", WLOG_ERROR, "{SS}A{D1A}%s{D2F}%s{TC3}%s{CSALL}%s{F}", kPan, kTrack, cvv, cvv);
    WLOG("detectCrossTransaction.request", WLOG_FATAL, "{SV}s0{D6J}%s=1225{D3Y}%s{F}", kPan, cvv);
    WLOG_HEX("cardtest", WLOG_FATAL, kPan, std::strlen(kPan), kPan);
    WSysSetTraceHook(previous);
    file.close();
    g_file = nullptr;

    std::ifstream in(dir.file("trace.log"), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string written = all.str();
    EXPECT_NE(written.find("carte"), std::string::npos);
    for (const std::string& secret : {std::string(kPan), std::string(kTrack), std::string("{TC3}739"),
                                      std::string("{CSALL}739"), std::string("{D3Y}739"), std::string("456781")})
        EXPECT_EQ(written.find(secret), std::string::npos) << secret << "\n" << written;
}

// ---------------------------------------------------------------------------
// Card data in bytes
// ---------------------------------------------------------------------------

// Hexadecimal text (blanks allowed) to bytes; "'text'" stands for its
// characters.
std::string Bytes(const std::string& spec) {
    std::string out;
    for (size_t i = 0; i < spec.size();) {
        if (spec[i] == ' ') {
            ++i;
        } else if (spec[i] == '\'') {
            const size_t end = spec.find('\'', i + 1);
            out += spec.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            out.push_back(static_cast<char>(std::stoi(spec.substr(i, 2), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

std::string Masked(std::string bytes) {
    WSysMaskBytes(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
    return bytes;
}

// A card number the Luhn check refuses, as the test cards of the simulators
// carry: only the structure of what holds it can hide it.
constexpr const char* kOddPan = "4970100012345678";

TEST_F(MaskTable, BytesLoseTheirCardDataWhereverItStands_Mended) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    } cases[] = {
        {"read record: track 2 equivalent and holder name",
         Bytes("70 20 57 11 4970100012345678D2512201000000000F 5F20 0A 'TEST/CARD' 20 9000"),
         Bytes("70 20 57 11") + std::string(17, '-') + Bytes("5F20 0A") + std::string(10, '-') + Bytes("9000")},
        {"card number and expiry in a template",
         Bytes("E3 10 5A 08 4970100012345678 5F24 03 251231 9000"),
         Bytes("E3 10 5A 08") + std::string(8, '-') + Bytes("5F24 03") + std::string(3, '-') + Bytes("9000")},
        {"contactless track 2 data",
         Bytes("9F6B 13 4970100012345678D25122010000000000000F"),
         Bytes("9F6B 13") + std::string(19, '-')},
        {"stripe event: tracks in text",
         Bytes("E0 2B 48 02 0005 5F22 24 ';4970100012345678=25122010000000000?'"),
         Bytes("E0 2B 48 02 0005 5F22 24") + std::string(36, '-')},
        {"a track 2 in text without its element",
         "card ;4970100012345678=25122010000000000? read",
         "card ;497010------5678=-----------------? read"},
        {"a track 1 in text without its element",
         "%B4970100012345678^TEST/CARD^2512201?",
         "%B497010------5678^---------^-------?"},
        {"a packed card number that passes the Luhn check, no element",
         Bytes("C1 4970401111111116 C2"), Bytes("C1") + std::string(8, '-') + Bytes("C2")},
        {"a packed track without its element",
         Bytes("AA 4970100012345678D2512201000F BB"), Bytes("AA") + std::string(14, '-') + Bytes("BB")},
        {"a card number in text passing the Luhn check",
         "pan 4970303333333330 ok", "pan 497030------3330 ok"},
        {"a tag message", "{SS}R{D1A}" + std::string(kOddPan) + "{D3Y}739{F}",
         "{SS}R{D1A}----------------{D3Y}---{F}"},
        {"a PIN block of a terminal answer",
         Bytes("E0 0C DFED6C 08 0123456789ABCDEF"), Bytes("E0 0C DFED6C 08") + std::string(8, '-')},
        // What carries no card data stays.
        {"a SELECT", Bytes("00A4040007A000000042101000"), Bytes("00A4040007A000000042101000")},
        // Capital letters and digits read as decimal nibbles: text is no
        // packed number.
        {"a serial number in text", Bytes("9F1E 0C 'RUDASIM00001' 9000"), Bytes("9F1E 0C 'RUDASIM00001' 9000")},
        {"amounts and dates", Bytes("9F02 06 000000001000 9A 03 251231 9F1A 02 0250"),
         Bytes("9F02 06 000000001000 9A 03 251231 9F1A 02 0250")},
        {"a card number element whose value is no card number", Bytes("5A 02 ABCD"), Bytes("5A 02 ABCD")},
        {"empty", "", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Masked(c.in), c.out) << c.name;
    EXPECT_EQ(WSysMaskBytes(nullptr, 4), 0u);
}

TEST_F(MaskTable, RegisteredCardValuesAreMaskedInTheirPackedForm_Mended) {
    const std::string line = Bytes("C1 4970100012345678 C2");
    EXPECT_EQ(Masked(line), line);  // not known, not a Luhn number, no element
    for (const char* track : {static_cast<const char*>(nullptr), "B4970100012345678D25F"}) {
        WSysSetMasks(nullptr, 1);
        RegisterLogMasking(track == nullptr ? kOddPan : nullptr, track, 0);
        std::string bytes = line;
        EXPECT_EQ(WSysMaskBytes(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()), 8u);
        EXPECT_EQ(bytes, Bytes("C1") + std::string(8, '-') + Bytes("C2"));
    }
}

// A track in text is masked by its form, registered or not, whatever its
// card number's check digit; shorter digit runs and other separators stay.
TEST_F(MaskTable, TracksInTraceLinesAreMaskedByTheirForm_Mended) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"piste ;4970100012345678=25122010000000000?", "piste ;497010------5678=-----------------?"},
        {"{E6}B4970100012345678D2512201F", "{E6}B497010------5678D-------F"},
        {"%B4970100012345678^TEST/CARD^2512201?", "%B497010------5678^---------^-------?"},
        {"ref 497010001234=2512 ok", "ref 497010--1234=---- ok"},
        {"ref 497010001234=251 ok", "ref 497010001234=251 ok"},  // no expiry behind it
        {"ref 4970100012=25122 ok", "ref 4970100012=25122 ok"},  // 10 digits: no card number
        {"montant 123456789012345 le 2025-12-31", "montant 123456789012345 le 2025-12-31"},
    };
    for (const Case& c : cases) EXPECT_EQ(Traced(c.in), std::string("** INFO. ** ") + c.out) << c.in;
}

TEST(CardElements, StructureMasksEveryCardValueWhateverItLooksLike) {
    struct Case {
        const char* name;
        std::string in;
        bool structure;
        std::string out;
    } cases[] = {
        {"nested templates, filler between",
         Bytes("E0 0E E3 06 5A 04 01020304 00 FF 48 02 0300"), true,
         Bytes("E0 0E E3 06 5A 04") + std::string(4, '-') + Bytes("00 FF 48 02 0300")},
        {"long form lengths", Bytes("70 81 06 5F20 82 0001 'X'"), true, Bytes("70 81 06 5F20 82 0001") + "-"},
        {"a template whose content is no structure is looked into",
         Bytes("63 0B 3B 5A 08 4970100012345678"), true, Bytes("63 0B 3B 5A 08") + std::string(8, '-')},
        {"not a structure", Bytes("5A 09 4970100012345678"), false, Bytes("5A 09 4970100012345678")},
        {"a tag cut short", Bytes("5F"), false, Bytes("5F")},
    };
    for (const Case& c : cases) {
        std::string bytes = c.in;
        EXPECT_EQ(WSysMaskCardElements(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()), c.structure)
            << c.name;
        EXPECT_EQ(bytes, c.out) << c.name;
    }
    EXPECT_FALSE(WSysMaskCardElements(nullptr, 0));
}

// What the holder keys in on the terminal (a secret entry, an entered
// value) is masked like card data in every terminal exchange traced.
TEST(CardElements, SecretAndEnteredValuesKeyedInAreMasked_Mended) {
    std::string bytes = Bytes("E0 0D DF8301 03 313233 DFA208 02 3435");
    EXPECT_TRUE(WSysMaskCardElements(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()));
    EXPECT_EQ(bytes, Bytes("E0 0D DF8301 03") + std::string(3, '-') + Bytes("DFA208 02") + std::string(2, '-'));
}

// A hexadecimal dump shows the bytes' card data masked: a packed card number
// in hexadecimal reads as the number itself.
TEST_F(MaskTable, HexDumpsShowNoCardNumber_Mended) {
    testsupport::TraceCapture capture;
    const std::string record = Bytes("70 15 5A 08 4970100012345678 5F24 03 251231 9F07 02 FF00");
    WLOG_HEX("cardtest", WLOG_FATAL, record.data(), record.size(), "READ RECORD");
    ASSERT_FALSE(capture.lines().empty());
    const std::string line = capture.lines().back();
    std::string dashes;
    for (int i = 0; i < 8; ++i) dashes += "2d";
    EXPECT_NE(line.find("READ RECORD [70155a08" + dashes + "5f2403" + dashes.substr(0, 6) + "9f0702ff00]"),
              std::string::npos)
        << line;
    EXPECT_EQ(line.find(kOddPan), std::string::npos) << line;
}

// ---------------------------------------------------------------------------
// Protected values
// ---------------------------------------------------------------------------

TEST(ProtectedValue, ProtectsWithRandomFillersAndRecovers) {
    char value[kProtectedClearSize] = "4970123456781235";
    char first[kProtectedValueSize], second[kProtectedValueSize];
    ASSERT_EQ(ProtectCardValue(1, value, first), 1);
    ASSERT_EQ(ProtectCardValue(1, value, second), 1);
    EXPECT_EQ(std::strlen(first), 64u);
    EXPECT_NE(std::string(first), std::string(second));
    for (const char* text : {first, second}) {
        char back[kProtectedClearSize] = {};
        ASSERT_EQ(ProtectCardValue(0, back, const_cast<char*>(text)), 1);
        EXPECT_STREQ(back, "4970123456781235");
    }
    char longValue[] = "49701234567812355678901";  // 23 characters: kept as its first 20
    ASSERT_EQ(ProtectCardValue(1, longValue, first), 1);
    char back[kProtectedClearSize] = {};
    ASSERT_EQ(ProtectCardValue(0, back, first), 1);
    EXPECT_STREQ(back, "49701234567812355678");
}

TEST(ProtectedValue, PlainBlockLayoutUnderTheBuiltInKey) {
    char value[] = "1234567";
    char text[kProtectedValueSize];
    ASSERT_EQ(ProtectCardValue(1, value, text), 1);
    unsigned char cipher[32], plain[33] = {};
    WHexToBin(cipher, text, 32);
    ASSERT_EQ(WAesDecrypt(cipher, plain, 32), 1);
    std::string p(reinterpret_cast<char*>(plain), 32);
    EXPECT_EQ(p.substr(0, 5), "12345");
    EXPECT_EQ(p.substr(8, 5), "67   ");
    EXPECT_EQ(p.substr(16, 5), "     ");
    EXPECT_EQ(p.substr(24, 5), "     ");
    for (int g = 0; g < 4; ++g)
        for (int i = 5; i < 8; ++i) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(p[8 * g + i]))) << p;
    EXPECT_EQ(std::strspn(text, "0123456789abcdef"), 64u);
}

TEST(ProtectedValue, BadTextsAreRefused) {
    char back[kProtectedClearSize] = "untouched";
    std::string shortText(63, 'a');
    std::string nonHex(64, 'a');
    nonHex[10] = 'g';
    EXPECT_EQ(ProtectCardValue(0, back, shortText.data()), -1);
    EXPECT_EQ(ProtectCardValue(0, back, nonHex.data()), -1);
    EXPECT_EQ(UnprotectStoredValue(back, nonHex.c_str()), -1);
    EXPECT_STREQ(back, "untouched");
    EXPECT_EQ(ProtectCardValue(1, nullptr, back), -1);
    EXPECT_EQ(UnprotectStoredValue(nullptr, shortText.c_str()), -1);
}

TEST(ProtectedValue, StoredValuesUseTheSecondKey) {
    // "49701234567890" in four groups of five, each followed by three digits.
    const char plain[] = "49701111234562227890 333     444";
    unsigned char stored[32], viaMain[32];
    ASSERT_EQ(EncryptStoredValue(reinterpret_cast<const unsigned char*>(plain), stored, 32), 1);
    ASSERT_EQ(WAesEncrypt(reinterpret_cast<const unsigned char*>(plain), viaMain, 32), 1);
    EXPECT_NE(std::memcmp(stored, viaMain, 32), 0);
    char text[kProtectedValueSize];
    WBinToHex(text, stored, 32);
    text[64] = '\0';
    char back[kProtectedClearSize] = {};
    ASSERT_EQ(UnprotectStoredValue(back, text), 1);
    EXPECT_STREQ(back, "49701234567890");
    // Under the other key the same text reads as something else.
    ASSERT_EQ(ProtectCardValue(0, back, text), 1);
    EXPECT_STRNE(back, "49701234567890");

    // CBC with a zero IV: the first block deciphers alone to the same bytes.
    unsigned char one[16], two[32];
    ASSERT_EQ(DecryptStoredValue(stored, one, 16), 1);
    ASSERT_EQ(DecryptStoredValue(stored, two, 32), 1);
    EXPECT_EQ(std::memcmp(one, two, 16), 0);
    EXPECT_EQ(std::memcmp(two, plain, 32), 0);
    // In place.
    ASSERT_EQ(DecryptStoredValue(stored, stored, 32), 1);
    EXPECT_EQ(std::memcmp(stored, plain, 32), 0);

    unsigned char out[48];
    std::memset(out, 0xEE, sizeof out);
    for (size_t bad : {0u, 15u, 17u, 33u}) EXPECT_EQ(DecryptStoredValue(stored, out, bad), -1) << bad;
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(DecryptStoredValue(nullptr, out, 16), -1);
}

}  // namespace
