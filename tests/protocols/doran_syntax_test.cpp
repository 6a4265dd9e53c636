// DORAN message decoding on hand-built answers: parts, peripheral widths,
// missing and empty elements, truncated and padded input, DLE-doubled input.
#include "protocols/doran/doran_syntax.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocols/xpro/xpro_dle.h"
#include "support/trace_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;

// One element: tag bytes, BER length, value.
Bytes El(Bytes tag, const Bytes& value) {
    size_t n = value.size();
    if (n < 0x80) {
        tag.push_back(static_cast<unsigned char>(n));
    } else if (n < 0x100) {
        tag.push_back(0x81);
        tag.push_back(static_cast<unsigned char>(n));
    } else {
        tag.push_back(0x82);
        tag.push_back(static_cast<unsigned char>(n >> 8));
        tag.push_back(static_cast<unsigned char>(n));
    }
    tag.insert(tag.end(), value.begin(), value.end());
    return tag;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Bytes kResultDone = El({0xDF, 0x82, 0x80, 0x00}, {0x00});

// The card-reading answer: peripheral 28 01, command 00 04, E2 with the
// result and DF808400 holding track 2 equivalent data (57).
Bytes Track2Answer(const Bytes& track) {
    Bytes e2 = El({0xE2}, Cat({kResultDone, El({0xDF, 0x80, 0x84, 0x00}, El({0x57}, track))}));
    return El({0xE0}, Cat({El({0xC3}, {0x28, 0x01}), El({0xE1}, Cat({El({0xC4}, {0x00, 0x04}), e2}))}));
}

class DoranSyntax : public ::testing::Test {
protected:
    void TearDown() override { DRN_FreeSyntax(1, 'r'); }

    int Decaps(const Bytes& message) {
        peripheral = 0xFFFFFFFF;
        command = 12345;
        return DRN_DecapsSyntax(message.data(), static_cast<int>(message.size()), &peripheral,
                                &command);
    }

    uint32_t peripheral = 0;
    int command = 0;
};

TEST_F(DoranSyntax, DecodesTheTrack2AnswerBehindDleDoubling) {
    const Bytes track{0x49, 0x70, 0x10, 0x00, 0x12, 0x34, 0x56, 0x78, 0xD2, 0x51, 0x21, 0x01, 0x10, 0x1F};
    Bytes message = Track2Answer(track);
    Bytes wire(2 * message.size());
    wire.resize(static_cast<size_t>(
        XPRO_DoubleDLE(wire.data(), message.data(), static_cast<int>(message.size()))));
    ASSERT_GT(wire.size(), message.size());

    Bytes work(wire.size());
    work.resize(static_cast<size_t>(
        XPRO_UndoubleDLE(work.data(), wire.data(), static_cast<int>(wire.size()))));
    int e2 = Decaps(work);
    ASSERT_GT(e2, 0);
    EXPECT_EQ(peripheral, 0x2801u);
    EXPECT_EQ(command, 4);
    TlvNode* data = DRN_DataPart();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->lg, e2);
    // The parts point into the caller's buffer.
    EXPECT_GE(data->value, work.data());
    EXPECT_LE(data->value + data->lg, work.data() + work.size());

    uint32_t result = 99;
    int flag = 1;
    EXPECT_EQ(TLV_GetULong(data, DRN_TAG_RESULT, &result, &flag), 1);
    EXPECT_EQ(result, 0u);
    TlvNode* private84 = TLV_Find(data->value, data->lg, 0xDF808400, nullptr);
    ASSERT_NE(private84, nullptr);
    char hex[41];
    int length = sizeof hex;
    EXPECT_EQ(TLV_GetHex(private84, 0x57, hex, &length), 1);
    EXPECT_STREQ(hex, "4970100012345678d2512101101f");
    TLV_Free(private84, 'r');
}

TEST_F(DoranSyntax, PeripheralOfOneToFourBytesReadsAsItsBigEndianValue) {
    const Bytes widths[] = {{0x40}, {0x00, 0x40}, {0x00, 0x00, 0x40}, {0x00, 0x00, 0x00, 0x40}};
    for (const Bytes& c3 : widths) {
        Bytes m = El({0xE0}, Cat({El({0xC3}, c3), El({0xE1}, Cat({El({0xC4}, {0x01, 0x02}), El({0xE2}, kResultDone)}))}));
        EXPECT_EQ(Decaps(m), static_cast<int>(kResultDone.size()));
        EXPECT_EQ(peripheral, 0x40u);
        EXPECT_EQ(command, 0x0102);
    }
    Bytes wide = El({0xE0}, Cat({El({0xC3}, {0x70, 0x01}), El({0xE1}, Cat({El({0xC4}, {0x00, 0x21}), El({0xE2}, kResultDone)}))}));
    EXPECT_GT(Decaps(wide), 0);
    EXPECT_EQ(peripheral, 0x7001u);
}

TEST_F(DoranSyntax, MissingOrEmptyPartsAreRefused) {
    const Bytes c3 = El({0xC3}, {0x00, 0x40});
    const Bytes c4 = El({0xC4}, {0x00, 0x01});
    const Bytes e2 = El({0xE2}, kResultDone);
    struct Case {
        const char* name;
        Bytes message;
        const char* trace;  // expected trace text, or null
    };
    const Case cases[] = {
        {"no E0", Cat({c3, El({0xE1}, Cat({c4, e2}))}),
         "-- ERROR -- DRN_DecapsSyntax(): Message Incoherent : No Mess Tag !"},
        {"empty E0", {0xE0, 0x00}, "-- ERROR -- DRN_DecapsSyntax(): Message Incoherent : No Mess Tag !"},
        {"no C3", El({0xE0}, El({0xE1}, Cat({c4, e2}))),
         "-- ERROR -- DRN_DecapsSyntax(): Message Incoherent : Peripherique?"},
        {"C3 of 5 bytes", El({0xE0}, Cat({El({0xC3}, {1, 2, 3, 4, 5}), El({0xE1}, Cat({c4, e2}))})),
         "-- ERROR -- DRN_DecapsSyntax(): Message Incoherent : Peripherique?"},
        {"no E1", El({0xE0}, Cat({c3, c4, e2})), nullptr},
        {"empty E1", El({0xE0}, Cat({c3, Bytes{0xE1, 0x00}})), nullptr},
        {"no E2", El({0xE0}, Cat({c3, El({0xE1}, c4)})), nullptr},
        {"empty E2", El({0xE0}, Cat({c3, El({0xE1}, Cat({c4, Bytes{0xE2, 0x00}}))})), nullptr},
        {"E0 longer than the data", Cat({Bytes{0xE0, 0x7F}, c3}), "No Mess Tag"},
        {"indefinite length", Cat({Bytes{0xE0, 0x80}, c3, Bytes{0, 0}}), "No Mess Tag"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TraceCapture capture;
        EXPECT_EQ(Decaps(c.message), -1);
        EXPECT_EQ(DRN_DataPart(), nullptr);
        if (c.trace != nullptr) {
            EXPECT_TRUE(capture.Contains(c.trace));
        }
    }
    EXPECT_EQ(DRN_DecapsSyntax(nullptr, 10, &peripheral, &command), -1);
}

TEST_F(DoranSyntax, MissingCommandCodeIsTracedAndTheDataStillRead) {
    Bytes m = El({0xE0}, Cat({El({0xC3}, {0x21}), El({0xE1}, El({0xE2}, kResultDone))}));
    testsupport::TraceCapture capture;
    EXPECT_EQ(Decaps(m), static_cast<int>(kResultDone.size()));
    EXPECT_EQ(command, -1);
    EXPECT_EQ(peripheral, 0x21u);
    EXPECT_TRUE(capture.Contains("-- ERROR -- DRN_Answer(): Message Incoherent : Code Commande?"));
    EXPECT_NE(DRN_DataPart(), nullptr);
}

TEST_F(DoranSyntax, EveryTruncationIsRefusedAndFillerIsSkipped) {
    Bytes message = Track2Answer({0x49, 0x70, 0x12, 0x34, 0xD2, 0x51});
    testsupport::TraceCapture capture;
    for (size_t cut = 0; cut < message.size(); ++cut) {
        Bytes part(message.begin(), message.begin() + static_cast<long>(cut));
        EXPECT_EQ(Decaps(part), -1) << "cut at " << cut;
    }
    Bytes padded = Cat({Bytes{0x00, 0xFF, 0xFF, 0x00}, message, Bytes{0x00, 0x00}});
    EXPECT_GT(Decaps(padded), 0);
    EXPECT_EQ(command, 4);
}

TEST_F(DoranSyntax, LongDataUsesBothLongLengthForms) {
    for (size_t size : {200u, 300u}) {
        Bytes filler = El({0xDF, 0xE0, 0x81, 0x02}, Bytes(size, 0x5A));
        Bytes e2value = Cat({kResultDone, filler});
        Bytes m = El({0xE0}, Cat({El({0xC3}, {0x40}), El({0xE1}, Cat({El({0xC4}, {0x00, 0x05}), El({0xE2}, e2value)}))}));
        EXPECT_EQ(m[1], size + 20 < 256 ? 0x81 : 0x82);
        EXPECT_EQ(Decaps(m), static_cast<int>(e2value.size()));
        unsigned char bytes[400];
        int length = sizeof bytes;
        EXPECT_EQ(TLV_GetBytes(DRN_DataPart(), 0xDFE08102, bytes, &length), 1);
        EXPECT_EQ(length, static_cast<int>(size));
    }
}

TEST_F(DoranSyntax, FreeingInWriteModeNeverReleasesTheCallersBuffer) {
    Bytes message = Track2Answer({0x49, 0x70});
    ASSERT_GT(Decaps(message), 0);
    DRN_FreeSyntax(1, 'w');  // the parts point into `message`
    EXPECT_EQ(DRN_DataPart(), nullptr);
    ASSERT_GT(Decaps(message), 0);
    ASSERT_GT(Decaps(message), 0);  // the previous parts are released first
    DRN_FreeSyntax(0, 'r');
    EXPECT_EQ(DRN_DataPart(), nullptr);
}

}  // namespace
