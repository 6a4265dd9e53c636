// Link context and XPRO descriptor: the context a descriptor opens, the
// request mapping and the answer descriptor of an exchange, the accessors
// and their edge values, the reading rules of the descriptor fields and the
// step labels.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "protocols/xpro/xpro_context.h"

namespace {

constexpr const char* kOpen = "xpro/2/005/1000/0000000000000000/1/0/00000000/00000000/010/011/";

struct ContextDeleter {
    void operator()(KT_XPROT* ctx) const { XA_LinkClose(ctx); }
};
using Context = std::unique_ptr<KT_XPROT, ContextDeleter>;

// A message block with its two halves and a link context, without a port.
struct Block {
    Block() {
        std::memset(&block, 0, sizeof block);
        block.request = &halves[0];
        block.answer = &halves[1];
    }
    KTM_WPRO block;
    KTM_HALF halves[2] = {};
};

}  // namespace

// The context a descriptor opens, then one good exchange mapped from the same
// descriptor: the answer descriptor carries the terminal side's block, the
// key index of field 6, and the exchange status.
TEST(XproContext, OpenedFromADescriptorAndWrittenBackAfterAnExchange) {
    Context ctx(static_cast<KT_XPROT*>(XAS_LinkOpen(kOpen)));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->mode, 2);
    EXPECT_EQ(ctx->party[0].exchangeNumber, 5);
    EXPECT_STREQ(ctx->application, "1000");
    EXPECT_STREQ(ctx->linkName, "0000000000000000");
    EXPECT_EQ(ctx->port, 1);
    EXPECT_STREQ(ctx->party[0].kerStat, "00000000");
    EXPECT_STREQ(ctx->party[0].appStat, "00000000");
    EXPECT_EQ(ctx->party[0].accStat, 10);
    EXPECT_EQ(ctx->status, 0);
    EXPECT_EQ(ctx->phase, XPRO_PHASE_IDLE);
    EXPECT_STREQ(ctx->netApplication, "1210");
    const int32_t creation[7] = {50, 2000, 10, 80, 50, 800, 600};
    EXPECT_EQ(0, std::memcmp(ctx->timeouts, creation, sizeof creation));

    Block b;
    b.block.TransBox = ctx.get();
    std::snprintf(b.halves[0].S, sizeof b.halves[0].S, "%s", kOpen);
    std::snprintf(b.halves[0].A, sizeof b.halves[0].A, "%s", "1200");
    std::memcpy(b.halves[0].M, "\x00\xA4\x04\x00", 4);
    b.halves[0].mLength = 4;
    ASSERT_EQ(XAS_LinkRequest(&b.block), 4);
    EXPECT_EQ(0, std::memcmp(b.block.frame, "\x00\xA4\x04\x00", 4));
    EXPECT_EQ(ctx->status, 11);
    EXPECT_STREQ(ctx->netApplication, "1200");
    EXPECT_EQ(ctx->port, 1);  // the port stays the one opened

    // The link's exchange: labels reset, status 2, three bytes received.
    XPRO_ClearStepLabels(ctx.get());
    XPRO_SetStatus(ctx.get(), 2);
    std::memcpy(b.block.frame, "\x90\x00\x01", 3);
    b.halves[1].totalLength = 3;
    ASSERT_EQ(XAS_LinkStatus(&b.block), 3);
    EXPECT_STREQ(b.halves[1].S, "XPRO/2/000/1000/0000000000000000/001/000/________/________/100/02/");
    EXPECT_STREQ(b.halves[1].A, "1200");
    EXPECT_EQ(b.halves[1].mLength, 3u);
    EXPECT_EQ(0, std::memcmp(b.halves[1].M, "\x90\x00\x01", 3));

    // A failed exchange says so in its status field.
    XPRO_SetStatus(ctx.get(), -1);
    ASSERT_EQ(XAS_LinkStatus(&b.block), 3);
    EXPECT_NE(std::string(b.halves[1].S).find("/100/-1/"), std::string::npos);
}

TEST(XproContext, AccessorsAndTheirEdgeValues) {
    Context ctx(XPRO_NewXProt(3, "12", "ABCDEFGHIJKLMNOPQRSTU", 4));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(std::string(ctx->application, 5), std::string("12\0\0\0", 5));
    EXPECT_STREQ(ctx->linkName, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(XPRO_SetExchangeNumber(ctx.get(), 300), 1);
    EXPECT_EQ(XPRO_GetExchangeNumber(ctx.get()), 44);
    XPRO_SetExchangeNumber(ctx.get(), -1);
    EXPECT_EQ(XPRO_GetExchangeNumber(ctx.get()), -1);
    EXPECT_EQ(XPRO_SetAppStat(ctx.get(), "123456789"), -1);
    EXPECT_STREQ(ctx->party[0].appStat, "");
    EXPECT_EQ(XPRO_SetKerStat(ctx.get(), "12345678"), 1);
    EXPECT_STREQ(ctx->party[0].kerStat, "12345678");
    EXPECT_EQ(XPRO_SetDirection(ctx.get(), 2), 1);
    EXPECT_EQ(ctx->party[0].direction, 4);
    XPRO_SetSide(ctx.get(), 2);
    XPRO_SetAccStat(ctx.get(), 7);
    EXPECT_EQ(ctx->party[1].accStat, 7);
    for (int i = 0; i < 257; ++i) XPRO_NextSequence(ctx.get());
    EXPECT_EQ(ctx->sequence2, 1);
    EXPECT_EQ(ctx->sequence1, 0);
    XPRO_SetSide(ctx.get(), 3);
    EXPECT_EQ(XPRO_SetAccStat(ctx.get(), 1), -1);
    EXPECT_EQ(XPRO_NextSequence(ctx.get()), nullptr);
    EXPECT_EQ(XPRO_SetStep(ctx.get(), 'd'), 0);
    EXPECT_EQ(ctx->frameKind, 'd');

    // Without a context every accessor refuses and nothing happens.
    EXPECT_EQ(XPRO_SetStatus(nullptr, 1), -1);
    EXPECT_EQ(XPRO_GetStatus(nullptr), -1);
    EXPECT_EQ(XPRO_SetStep(nullptr, 'd'), -1);
    EXPECT_EQ(XPRO_NextSequence(nullptr), nullptr);
    EXPECT_EQ(XPRO_SetLinkName(nullptr, "x"), -1);
    EXPECT_EQ(XPRO_SetTimeOuts(nullptr, 1, 1, 1, 1, 1, 1, 1), -1);
}

// Link name and application code are taken up to the text's end: a short
// text leaves the rest of the field NUL, never the bytes behind the text.
TEST(XproContext, NamesAreCopiedUpToTheirEnd_Mended) {
    Context ctx(XPRO_NewXProt(0, nullptr, nullptr, 0));
    ASSERT_NE(ctx, nullptr);
    const char storage[] = "AB\0ZZZZZZZZZZZZZZZZZZZZ";
    XPRO_SetLinkName(ctx.get(), storage);
    XPRO_SetApplication(ctx.get(), storage);
    EXPECT_EQ(std::string(ctx->linkName, 17), std::string("AB") + std::string(15, '\0'));
    EXPECT_EQ(std::string(ctx->application, 5), std::string("AB\0\0\0", 5));
}

TEST(XproContext, TimeOutsOfAMessageBoxLink) {
    Context ctx(XPRO_NewXProt(0, nullptr, nullptr, 0));
    KTM_WPRO mess{};
    mess.TransBox = ctx.get();
    KTX_WSERV box{};
    box.mess = &mess;
    EXPECT_EQ(XPRO_SetTimeOuts(&box, -2, -1, 5, -2, -1, -1, 0), 1);
    const int32_t expected[7] = {300, 2000, 5, 80, 50, 800, 0};
    EXPECT_EQ(0, std::memcmp(ctx->timeouts, expected, sizeof expected));
    mess.TransBox = nullptr;
    EXPECT_EQ(XPRO_SetTimeOuts(&box, 1, 1, 1, 1, 1, 1, 1), -1);
}

// The reading rules of the descriptor: the prefix in any case, fields cut at
// 80 characters without '/', and no reading past the text.
TEST(XproDescriptor, FieldsAndTheirReadingRules) {
    const std::string long80(80, 'x');
    struct Case {
        const char* what;
        std::string text;
        int whole;
        int field;          // field checked
        std::string value;  // its value
    };
    const Case cases[] = {
        {"lower-case prefix", kOpen, 1, 9, "011"},
        {"field without '/' in 80 characters", "XPRO/" + long80 + "yy/2/3/4/5/6/7/8/9/10/", 1, 0, long80},
        {"the next field starts 81 characters on", "XPRO/" + long80 + "y2/3/4/5/6/7/8/9/10/11/", 1, 1, "2"},
        {"prefix other than XPRO", "XPRQ/2/005/1000/0/1/0/a/b/010/011/", 0, 0, ""},
        {"longer prefix", "XPROX/2/005/1000/0/1/0/a/b/010/011/", 0, 0, ""},
        {"nine fields", "XPRO/2/005/1000/0/1/0/a/b/010/", 0, 0, ""},
        {"tenth field not closed", "XPRO/2/005/1000/0/1/0/a/b/010/011", 0, 0, ""},
        {"empty", "", 0, 0, ""},
        {"no separator", "XPRO", 0, 0, ""},
    };
    for (const Case& c : cases) {
        XPRO_FIELDS f;
        EXPECT_EQ(XPRO_SplitDescriptor(c.text.c_str(), &f), c.whole) << c.what;
        if (c.whole == 1) {
            EXPECT_EQ(std::string(f.field[c.field]), c.value) << c.what;
        }
    }
    EXPECT_EQ(XPRO_SplitDescriptor(nullptr, nullptr), 0);
}

// A descriptor that is not whole opens no link, and a request mapped from
// one leaves the context as it was.
TEST(XproDescriptor, TruncatedDescriptorsAreRefused_Mended) {
    EXPECT_EQ(XAS_LinkOpen("XPRO/2/005/1000/0000000000000000/1/0/"), nullptr);
    EXPECT_EQ(XAS_LinkOpen("ABCD/2/005/1000/0000000000000000/1/0/00000000/00000000/010/011/"), nullptr);
    EXPECT_EQ(XAS_LinkOpen(nullptr), nullptr);
    Context ctx(static_cast<KT_XPROT*>(XAS_LinkOpen(kOpen)));
    Block b;
    b.block.TransBox = ctx.get();
    std::snprintf(b.halves[0].S, sizeof b.halves[0].S, "%s", "XPRO/7/009/2222/");
    std::snprintf(b.halves[0].A, sizeof b.halves[0].A, "%s", "9999");
    b.halves[0].mLength = 1;
    EXPECT_EQ(XAS_LinkRequest(&b.block), -1);
    EXPECT_EQ(ctx->mode, 2);
    EXPECT_STREQ(ctx->application, "1000");
    EXPECT_STREQ(ctx->netApplication, "1210");
}

// A request body over the terminal payload is refused before anything is
// copied into the send area or the context.
TEST(XproDescriptor, OverlongRequestBodyIsRefusedBeforeCopying_Mended) {
    Context ctx(static_cast<KT_XPROT*>(XAS_LinkOpen(kOpen)));
    Block b;
    b.block.TransBox = ctx.get();
    std::snprintf(b.halves[0].S, sizeof b.halves[0].S, "%s", "XPRO/7/009/2222/0000000000000000/1/0/00000000/00000000/010/010/");
    b.halves[0].mLength = XPRO_PAYLOAD_MAX + 1;
    b.block.frame[0] = 0x5A;
    EXPECT_EQ(XAS_LinkRequest(&b.block), -1);
    EXPECT_EQ(b.block.frame[0], 0x5A);
    EXPECT_EQ(ctx->mode, 2);
    b.halves[0].mLength = XPRO_PAYLOAD_MAX;
    EXPECT_EQ(XAS_LinkRequest(&b.block), XPRO_PAYLOAD_MAX);
    EXPECT_EQ(ctx->mode, 7);
    // An answer over the payload delivers nothing, not even old rubriques.
    std::snprintf(b.halves[1].S, sizeof b.halves[1].S, "%s", "XPRO/old/");
    b.halves[1].totalLength = XPRO_PAYLOAD_MAX + 1;
    EXPECT_EQ(XAS_LinkStatus(&b.block), -1);
    EXPECT_STREQ(b.halves[1].S, "");
    EXPECT_STREQ(b.halves[1].A, "");
}

TEST(XproSteps, LabelsOfTheStepLetters) {
    Context ctx(static_cast<KT_XPROT*>(XAS_LinkOpen(kOpen)));
    struct Case {
        int letter;
        int result;
        const char* kerStat;
        const char* appStat;
        const char* text;
    };
    const Case cases[] = {
        {'T', 1, "_X_TIME_", "00000000", "[P21_Transport():_X_TIME_:-Step=84-App=1000]"},
        {'S', 1, "00000000", "_X_SYNT_", "[P21_Transport():_X_SYNT_:-Step=83-App=1000]"},
        {'X', 1, "_X_CORR_", "00000000", "[P21_Transport():_X_CORR_:-Step=88-App=1000]"},
        {'L', 0, "00000000", "00000000", ""},
        {0, 0, "00000000", "00000000", ""},
    };
    for (const Case& c : cases) {
        XPRO_SetKerStat(ctx.get(), "00000000");
        XPRO_SetAppStat(ctx.get(), "00000000");
        std::snprintf(ctx->stepText, sizeof ctx->stepText, "%s", "old text");
        ctx->stepLetter = c.letter;
        EXPECT_EQ(P21_Transport(ctx.get()), c.result) << c.letter;
        EXPECT_STREQ(ctx->party[0].kerStat, c.kerStat) << c.letter;
        EXPECT_STREQ(ctx->party[0].appStat, c.appStat) << c.letter;
        EXPECT_STREQ(ctx->stepText, c.text) << c.letter;
    }
    ctx->stepLetter = 'B';
    EXPECT_EQ(RUDA_Transport(ctx.get()), 1);
    EXPECT_STREQ(ctx->stepText, "[RUDA_Transport():_X_SOFT_:-Step=66-App=1000]");
    ctx->side = 2;
    ctx->stepLetter = 'P';
    EXPECT_EQ(XA_SetStepName(ctx.get()), 1);
    EXPECT_STREQ(ctx->party[1].kerStat, "_X_DCD__");
    EXPECT_STREQ(ctx->stepText, "[XA_Transport():_X_DCD__:-Step=80-App=1000]");
    EXPECT_EQ(XAS_SetStepName(nullptr), -1);
}
