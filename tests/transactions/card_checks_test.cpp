// The card number checks on an open session: the private card ranges of the
// retailers' own programmes, the Luhn key with published test card numbers,
// and the ISO 2 track check with the card-number fields it fills.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "station/options.h"
#include "station/text_field.h"
#include "support/server_session.h"
#include "support/trace_capture.h"
#include "transactions/card_checks.h"

using testsupport::TraceCapture;

namespace {

class CardChecks : public testsupport::ServerSession {
protected:
    void SetUp() override { Open({}); }
    void SetCardNumber(const char* number) {
        ClearCardTrackFields();
        CopyField(record->cardNumber, number);
        record->cardNumberLength = static_cast<int32_t>(std::strlen(number));
    }
    void SetTrack(const std::string& track, int technology = 2) {
        std::memset(&record->cardReadRecord, 0, sizeof record->cardReadRecord);
        std::memcpy(record->cardReadRecord.eventData, track.data(),
                    std::min(track.size(), sizeof record->cardReadRecord.eventData - 1));
        record->cardReadRecord.eventLength = static_cast<int32_t>(track.size());
        record->cardReadRecord.technology = technology;
    }
};

}  // namespace

TEST_F(CardChecks, LuhnKeyOfPublishedTestCardNumbers) {
    // Test numbers the card schemes publish for integration work.
    for (const char* number : {"4111111111111111", "4012888888881881", "5555555555554444", "5105105105105100",
                               "378282246310005", "6011111111111117", "3530111333300000", "79927398713"}) {
        SCOPED_TRACE(number);
        SetCardNumber(number);
        EXPECT_EQ(CheckLuhn(), 0);
        // Any other last digit is refused with its trace.
        std::string wrong(number);
        const char key = wrong.back();
        for (char d = '0'; d <= '9'; ++d) {
            if (d == key) continue;
            wrong.back() = d;
            SetCardNumber(wrong.c_str());
            TraceCapture trace;
            EXPECT_EQ(CheckLuhn(), 1) << wrong;
            EXPECT_TRUE(trace.Contains("[LUHN]") && trace.Contains("Cle incorrecte"));
        }
    }
    SetCardNumber("");
    TraceCapture trace;
    EXPECT_EQ(CheckLuhn(), 1);
    EXPECT_TRUE(trace.Contains("Numero porteur inconnu"));
}

TEST_F(CardChecks, PrivateRangesByTradingName) {
    struct Case {
        const char* behaviour;
        int forceQy;
        const char* card;
        int expected;  // 0 private
    } cases[] = {
        {"QY", 0, "6012841234567890123", 0},
        {"qy-store", 0, "6012849999999999", 0},
        {"QY", 0, "B6012840000000000D4912101", 0},  // track with sentinel, cut at the separator
        {"QY", 0, "6012850000000000", 1},
        {"QY", 0, "60128", 1},    // its completions leave the row
        {"QY", 0, "601284", 0},   // every completion inside one row
        {"QY", 0, "9250002836512345", 1},  // between two rows
        {"", 1, "7004131111111111", 0},    // forced table
        {"", 0, "6012841234567890", 1},    // no table applies
        {"PERLAN", 0, "5032021234567890", 0},
        {"PERLAN", 0, "6012841234567890", 1},
        {"DUREMONT", 0, "3060051234567890", 0},
        {"DUREMONT", 0, "5032021234567890", 1},
        {"DUREMONT QY", 0, "3060051234567890", 1},  // QY wins
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.behaviour) + " " + c.card);
        CopyField(Options.TradingNameSpecificBehavior, c.behaviour);
        EXPECT_EQ(IsPrivateCard(c.card, c.forceQy), c.expected);
    }
    EXPECT_EQ(IsPrivateCard(nullptr, 1), 1);
}

TEST_F(CardChecks, Iso2TrackCases) {
    struct Case {
        const char* what;
        std::string track;
        int technology;
        int level;
        int bypass;
        int expected;
        const char* number;
        const char* expiry;
        const char* service;
        const char* trace;
    } cases[] = {
        {"sentinel, 16 digits, no final F", "B4111111111111111D3012101", 2, 3, 0, 1, "4111111111111111", "3012",
         "101", nullptr},
        {"discretionary data up to F", "4111111111111111D301210112345F999", 2, 3, 0, 1, "4111111111111111", "3012",
         "101", nullptr},
        {"keyboard entry without service code", "4111111111111111D3012", 0, 3, 0, 1, "4111111111111111", "3012", "",
         nullptr},
        {"stripe without service code", "4111111111111111D3012", 2, 3, 0, 0, nullptr, nullptr, nullptr,
         "Format incorrect"},
        {"no separator", "4111111111111111", 2, 3, 0, 0, nullptr, nullptr, nullptr, "Format incorrect"},
        {"wrong Luhn key", "4111111111111112D3012101", 2, 3, 0, 0, nullptr, nullptr, nullptr, "Cle incorrecte"},
        {"wrong key without the Luhn bit", "4111111111111112D3012101", 2, 2, 0, 1, "4111111111111112", "3012",
         "101", nullptr},
        {"month 13", "4111111111111111D3013101", 2, 2, 0, 0, nullptr, nullptr, nullptr,
         "Date d'expiration incorrecte"},
        {"month 13 without the date bit", "4111111111111111D3013101", 2, 1, 0, 1, "4111111111111111", "3013", "101",
         nullptr},
        {"bad character", "4111111111111111D30=2101", 2, 3, 0, 0, nullptr, nullptr, nullptr,
         "Caractere = incorrect en position 20"},
        {"41 characters", "4111111111111111D3012101" + std::string(17, '1'), 2, 3, 0, 0, nullptr, nullptr, nullptr,
         "Piste de longueur 41"},
        {"empty", "", 2, 3, 0, 0, nullptr, nullptr, nullptr, "Piste de longueur 0"},
        {"21-digit number", "411111111111111111111D3012101", 2, 3, 0, 0, nullptr, nullptr, nullptr,
         "Numero porteur de taille incorrecte"},
        {"41 characters of a private card", "6012840000000000D3012101" + std::string(17, '1'), 2, 3, 1, 1, nullptr,
         nullptr, nullptr, "Piste de longueur 41"},
        {"wrong key of a private card", "6012840000000001D3012101", 2, 3, 1, 1, nullptr, nullptr, nullptr,
         "Cle incorrecte"},
        {"private card without bypass", "6012840000000001D3012101", 2, 3, 0, 0, nullptr, nullptr, nullptr,
         "Cle incorrecte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Options.Iso2ControlLevel = static_cast<int8_t>(c.level);
        Options.ISO2ControlBypass = static_cast<uint8_t>(c.bypass);
        SetTrack(c.track, c.technology);
        TraceCapture trace;
        EXPECT_EQ(CheckIso2Track(), c.expected);
        if (c.number != nullptr) {
            EXPECT_STREQ(record->cardNumber, c.number);
            EXPECT_EQ(record->cardNumberLength, static_cast<int>(std::strlen(c.number)));
            EXPECT_STREQ(record->expiryDate, c.expiry);
            EXPECT_STREQ(record->serviceCode, c.service);
        }
        if (c.trace != nullptr) {
        EXPECT_TRUE(trace.Contains(c.trace)) << c.trace;
        }
        // The card number never reaches a trace line in clear.
        for (const std::string& line : trace.Snapshot()) {
            EXPECT_EQ(line.find("4111111111111111"), std::string::npos) << line;
            EXPECT_EQ(line.find("601284000000000"), std::string::npos) << line;
        }
    }
}

TEST_F(CardChecks, OverLongNumberOfAPrivateCardIsCutAtNineteenDigits) {
    Options.ISO2ControlBypass = 1;
    SetTrack("B6012840000000000123456D3012101");
    EXPECT_EQ(CheckIso2Track(), 1);
    EXPECT_STREQ(record->cardNumber, "6012840000000000123");
    EXPECT_EQ(record->cardNumberLength, 19);
    // The separator now follows the nineteenth digit, behind the sentinel.
    EXPECT_EQ(record->cardReadRecord.eventData[20], 'D');
    EXPECT_EQ(std::string(record->cardReadRecord.eventData, 20), "B6012840000000000123");
}
