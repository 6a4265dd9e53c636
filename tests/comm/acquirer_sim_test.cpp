// The acquirer simulator's own reading of scenarios and the replies it
// builds, on bytes alone (its behaviour on a link is exercised by the
// message-box tests).
#include <string>

#include <gtest/gtest.h>

#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "netsim/scripted_peer.h"

namespace {

TEST(AcquirerScenario, LinesAndTheirErrors) {
    std::string error;
    auto s = netsim::AcquirerScenario::Parse(
        "# comment\n"
        "answer 1400 S=\"two words\" split=3,9 gap=5 # trailing comment\n"
        "silent\n"
        "\n"
        "raw 30 30 30 35 00\n"
        "default answer 9999 key=2\n",
        &error);
    ASSERT_TRUE(s) << error;
    ASSERT_EQ(s->plans.size(), 3u);
    EXPECT_EQ(s->plans[0].type, "1400");
    EXPECT_EQ(s->plans[0].S, "two words");
    EXPECT_EQ(s->plans[0].cuts, (std::vector<size_t>{3, 9}));
    EXPECT_EQ(s->plans[0].gapMs, 5);
    EXPECT_EQ(s->plans[1].kind, netsim::AnswerPlan::Kind::Silent);
    EXPECT_EQ(s->plans[2].raw, std::string("0005\0", 5));
    EXPECT_EQ(s->fallback.type, "9999");
    EXPECT_EQ(s->fallback.key, std::optional<std::string>("2"));

    struct Bad {
        const char* text;
        const char* error;
    };
    const Bad bad[] = {
        {"answer 1400\nshout\n", "line 2: unknown verb 'shout'"},
        {"answer 1400 delay=soon\n", "line 1: bad option 'delay=soon'"},
        {"answer 1400 long=Q:5\n", "line 1: bad option 'long=Q:5'"},
        {"raw 3G\n", "line 1: raw needs hexadecimal bytes"},
        {"silent now\n", "line 1: 'silent' takes nothing more"},
    };
    for (const auto& b : bad) {
        std::string why;
        EXPECT_FALSE(netsim::AcquirerScenario::Parse(b.text, &why)) << b.text;
        EXPECT_EQ(why, b.error) << b.text;
    }
}

TEST(AcquirerScenario, RepliesToARequest) {
    netsim::NetMessage request;
    request.K = "4";
    request.A = "1500";
    request.M = "question";
    std::string error;
    const auto plan = [&](const char* line) {
        auto p = netsim::ParsePlanLine(line, &error);
        EXPECT_TRUE(p) << error;
        return *p;
    };
    // The answer takes the request's key and type unless told otherwise.
    netsim::Reply r = netsim::BuildReply(plan("answer"), request);
    auto decoded = netsim::DecodeFrame(r.bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->K, "4");
    EXPECT_EQ(decoded->A, "1500");
    EXPECT_EQ(decoded->M, "OK");

    r = netsim::BuildReply(plan("answer 1410 echo copies=3 bytewise"), request);
    const std::string one = netsim::EncodeFrame({"4", "", "", "1410", "question"});
    EXPECT_EQ(r.bytes, one + one + one);
    EXPECT_EQ(r.cuts.size(), r.bytes.size() - 1);

    r = netsim::BuildReply(plan("answer 1400 long=U:40"), request);
    decoded = netsim::DecodeFrame(r.bytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->U, std::string(40, 'x'));

    for (const char* line : {"close", "reset", "silent"}) {
        r = netsim::BuildReply(plan(line), request);
        EXPECT_FALSE(r.send) << line;
    }
    EXPECT_EQ(netsim::BuildReply(plan("close"), request).after, netsim::AnswerPlan::After::Close);
    EXPECT_EQ(netsim::BuildReply(plan("reset"), request).after, netsim::AnswerPlan::After::Reset);
    EXPECT_EQ(netsim::BuildReply(plan("answer then=close"), request).after, netsim::AnswerPlan::After::Close);
}

TEST(AcquirerScenario, FramesAreCutOutOfAnyStream) {
    const std::string a = netsim::EncodeFrame({"", "", "", "1200", ""});
    const std::string b = netsim::EncodeFrame({"1", "s", "", "1400", std::string("\0body", 5)});
    const std::string stream = a + b;
    for (size_t piece : {size_t{1}, size_t{3}, stream.size()}) {
        netsim::FrameAssembler assembler;
        std::vector<std::string> frames;
        for (size_t i = 0; i < stream.size(); i += piece) {
            assembler.feed(stream.data() + i, std::min(piece, stream.size() - i));
            while (auto f = assembler.next()) frames.push_back(*f);
        }
        ASSERT_EQ(frames.size(), 2u) << piece;
        EXPECT_EQ(frames[0], a);
        EXPECT_EQ(netsim::DecodeFrame(frames[1])->M, std::string("\0body", 5));
    }
    netsim::FrameAssembler broken;
    broken.feed("GET / HTTP", 10);
    EXPECT_FALSE(broken.next());
    EXPECT_TRUE(broken.broken());
}

TEST(AcquirerScenario, TagAnswersInTheProgramsFieldEncoding) {
    const std::string body = netsim::EncodeFieldBody("{SS}A{F}");
    EXPECT_EQ(body, std::string("000F\0" "8\0{SS}A{F}", 15));
    EXPECT_EQ(netsim::DecodeFieldBody(body), std::optional<std::string>("{SS}A{F}"));
    for (const std::string& bad : {std::string("OK"), std::string("0009\0" "9\0abc", 11),
                                   std::string("000F\0" "8\0{SS}A{F}", 14), std::string("0008\0" "x\0ab", 10)})
        EXPECT_FALSE(netsim::DecodeFieldBody(bad)) << netsim::BytesToHex(bad);
    EXPECT_EQ(netsim::TagValue("{SS}R{PS}3{SV}s2{F}", "PS"), "3");
    EXPECT_EQ(netsim::TagValue("{SS}R{F}", "PS"), "");

    netsim::NetMessage request;
    request.A = "1500";
    request.M = netsim::EncodeFieldBody("{SS}R{PS}3{SV}s2{CD}c19{D91}0000{F}");
    std::string error;
    auto reply = netsim::ParsePlanLine("answer reply rs=10", &error);
    ASSERT_TRUE(reply) << error;
    auto answer = netsim::DecodeFrame(netsim::BuildReply(*reply, request).bytes);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->A, "1500");
    EXPECT_EQ(netsim::DecodeFieldBody(answer->M), std::optional<std::string>("{SS}A{PS}3{SV}s2{CD}c19{RS}10{F}"));
    auto tags = netsim::ParsePlanLine("answer 1410 tags=\"{SS}A{D16}A3{F}\"", &error);
    ASSERT_TRUE(tags) << error;
    answer = netsim::DecodeFrame(netsim::BuildReply(*tags, request).bytes);
    ASSERT_TRUE(answer);
    EXPECT_EQ(netsim::DecodeFieldBody(answer->M), std::optional<std::string>("{SS}A{D16}A3{F}"));

    // A ticket given as bytes: line ends and a cut marker reach the answer.
    auto ticket = netsim::ParsePlanLine("answer 1400 reply rs=00 d3lhex=41420D0A1B69", &error);
    ASSERT_TRUE(ticket) << error;
    answer = netsim::DecodeFrame(netsim::BuildReply(*ticket, request).bytes);
    ASSERT_TRUE(answer);
    EXPECT_EQ(netsim::TagValue(*netsim::DecodeFieldBody(answer->M), "D3L"), "AB\r\n\x1bi");
    for (const char* bad : {"answer 1400 reply d3lhex=414", "answer 1400 reply d3lhex=4G"})
        EXPECT_FALSE(netsim::ParsePlanLine(bad, &error)) << bad;

    // The echo of a greeting: 9997 unless the scenario says otherwise.
    auto scenario = netsim::AcquirerScenario::Parse("answer 1400\n", &error);
    ASSERT_TRUE(scenario);
    EXPECT_EQ(scenario->echo.type, "9997");
    scenario = netsim::AcquirerScenario::Parse("echo silent\nanswer 1400\n", &error);
    ASSERT_TRUE(scenario) << error;
    EXPECT_EQ(scenario->echo.kind, netsim::AnswerPlan::Kind::Silent);
    EXPECT_EQ(scenario->plans.size(), 1u);
}

TEST(AcquirerScenario, ClosingMessageBetweenFrames) {
    const std::string frame = netsim::EncodeFrame({"", "", "", "1500", "BONJOUR"});
    const std::string stream = frame + netsim::kClosingMessage;
    for (size_t piece : {size_t{1}, size_t{4}, stream.size()}) {
        netsim::FrameAssembler assembler;
        int frames = 0, closings = 0;
        for (size_t i = 0; i < stream.size(); i += piece) {
            assembler.feed(stream.data() + i, std::min(piece, stream.size() - i));
            for (;;) {
                if (assembler.takeClosingMessage()) {
                    ++closings;
                    continue;
                }
                if (!assembler.next()) break;
                ++frames;
            }
        }
        EXPECT_EQ(frames, 1) << piece;
        EXPECT_EQ(closings, 1) << piece;
        EXPECT_FALSE(assembler.broken()) << piece;
        EXPECT_EQ(assembler.pendingBytes(), 0u) << piece;
    }
}

TEST(PeerScript, StepsAndErrors) {
    std::string error;
    auto steps = netsim::ParsePeerScript("send 30 31\nexpect \"a # b\"\nexpect-count 4\npause 5\nwait-close\n", &error);
    ASSERT_TRUE(steps) << error;
    ASSERT_EQ(steps->size(), 5u);
    EXPECT_EQ((*steps)[0].bytes, "01");
    EXPECT_EQ((*steps)[1].bytes, "a # b");
    EXPECT_EQ((*steps)[2].count, 4u);
    EXPECT_FALSE(netsim::ParsePeerScript("send\n", &error));
    EXPECT_EQ(error, "line 1: cannot read 'send'");
    EXPECT_FALSE(netsim::ParsePeerScript("close now\n", &error));
}

}  // namespace

// A relay line sends a "1200" command for the terminal of a port (MesStat
// 11, the body) and, with fetch, the empty fetch of its answers (MesStat
// 00) in the same write; a fetch line sends the fetch alone.
TEST(AcquirerScenario, RelayCommandAndFetch) {
    netsim::NetMessage request;
    request.K = "2";
    request.A = "1400";
    std::string error;
    auto relay = netsim::ParsePlanLine("relay port=0 bodyhex=00A40400 fetch", &error);
    ASSERT_TRUE(relay) << error;
    const netsim::Reply reply = netsim::BuildReply(*relay, request);
    ASSERT_TRUE(reply.send);
    netsim::FrameAssembler frames;
    frames.feed(reply.bytes.data(), reply.bytes.size());
    auto command = frames.next();
    auto fetch = frames.next();
    ASSERT_TRUE(command && fetch);
    EXPECT_FALSE(frames.next());
    const auto c = netsim::DecodeFrame(*command);
    const auto f = netsim::DecodeFrame(*fetch);
    ASSERT_TRUE(c && f);
    EXPECT_EQ(c->A, "1200");
    EXPECT_EQ(c->K, "2");
    EXPECT_EQ(c->S, "XPRO/2/001/1000/0000000000000000/0/0/00000000/00000000/010/11/");
    EXPECT_EQ(c->M, std::string("\x00\xA4\x04\x00", 4));
    EXPECT_EQ(f->S, "XPRO/2/001/1000/0000000000000000/0/0/00000000/00000000/010/00/");
    EXPECT_EQ(f->M, "");

    auto alone = netsim::ParsePlanLine("fetch port=3 app=9001", &error);
    ASSERT_TRUE(alone) << error;
    const auto only = netsim::DecodeFrame(netsim::BuildReply(*alone, request).bytes);
    ASSERT_TRUE(only);
    EXPECT_EQ(only->S, netsim::RelayDescriptor(3, "9001", 0));
    auto own = netsim::ParsePlanLine("relay S=XPRO body=x", &error);
    ASSERT_TRUE(own) << error;
    EXPECT_EQ(netsim::DecodeFrame(netsim::BuildReply(*own, request).bytes)->S, "XPRO");
    EXPECT_FALSE(netsim::ParsePlanLine("relay 1400", &error));
    EXPECT_FALSE(netsim::ParsePlanLine("relay echo", &error));
}
