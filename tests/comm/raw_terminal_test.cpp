// The terminal of the raw test link in the line simulator: its frames, its
// rules file, and a script's answers held until the script's last message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "linesim/line_sim.h"
#include "linesim/raw_terminal.h"

namespace {

// Reads what the simulator sent to the slave within the time.
std::string ReadSome(int fd, size_t wanted, int timeoutMs) {
    std::string out;
    while (out.size() < wanted) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace

TEST(RawTerminal, FramesBothWays) {
    const std::string frame = linesim::RawFrame(11, "ab");
    EXPECT_EQ(frame, std::string("\x02\x0b\x00\x02" "ab\x08", 7));
    int status = 0;
    std::string payload;
    bool ok = false;
    EXPECT_EQ(linesim::ParseRawFrame(frame, &status, &payload, &ok), 7);
    EXPECT_EQ(status, 11);
    EXPECT_EQ(payload, "ab");
    EXPECT_TRUE(ok);
    EXPECT_EQ(linesim::ParseRawFrame(frame.substr(0, 6), &status, &payload, &ok), 0);
    EXPECT_EQ(linesim::ParseRawFrame("x", &status, &payload, &ok), -1);
    EXPECT_EQ(linesim::ParseRawFrame(std::string("\x02\x02\xff\xff", 4), &status, &payload, &ok), -1);
    std::string bad = frame;
    bad.back() = 0;
    EXPECT_EQ(linesim::ParseRawFrame(bad, &status, &payload, &ok), 7);
    EXPECT_FALSE(ok);
    EXPECT_EQ(linesim::RawFrame(-1, "").substr(1, 1), "\xff");
}

TEST(RawTerminal, RulesFile) {
    std::string error;
    auto rules = linesim::ParseRawRules(
        "# a script\nanswer \"one\" | status=1 01 02 | \"two\"\necho delay=20\nsilence\nhangup\n", &error);
    ASSERT_TRUE(rules.has_value()) << error;
    ASSERT_EQ(rules->size(), 4u);
    ASSERT_EQ((*rules)[0].answers.size(), 3u);
    EXPECT_EQ((*rules)[0].answers[1].first, 1);
    EXPECT_EQ((*rules)[0].answers[1].second, std::string("\x01\x02", 2));
    EXPECT_EQ((*rules)[0].answers[2].first, 2);
    EXPECT_EQ((*rules)[1].delayMs, 20);
    EXPECT_EQ((*rules)[3].kind, linesim::RawRule::Kind::HangUp);
    const char* bad[] = {"reply 01", "answer zz", "answer status=x 01", "silence 01", "echo colour=3",
                         "answer \"open"};
    for (const char* text : bad) {
        error.clear();
        EXPECT_FALSE(linesim::ParseRawRules(text, &error).has_value()) << text;
        EXPECT_NE(error.find("line 1"), std::string::npos) << text;
    }
}

// The answers of a script go out once its last message came, in order; a
// damaged request gets none.
TEST(RawTerminal, AnswersTheScriptAfterItsLastMessage) {
    std::vector<linesim::RawRule> rules(1);
    rules[0].kind = linesim::RawRule::Kind::Answer;
    rules[0].answers = {{1, "first"}, {2, "second"}};
    auto handler = std::make_unique<linesim::RawTerminalHandler>(rules);
    linesim::RawTerminalHandler* terminal = handler.get();
    linesim::LineSim sim(std::move(handler));
    ASSERT_TRUE(sim.start());
    const int fd = open(sim.slaveName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const std::string first = linesim::RawFrame(10, "a");
    ASSERT_EQ(write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    ASSERT_TRUE(terminal->waitRequests(1, 5000));
    EXPECT_EQ(ReadSome(fd, 1, 100), "");  // held: the script goes on
    std::string damaged = linesim::RawFrame(11, "x");
    damaged.back() ^= 0x01;
    const std::string last = linesim::RawFrame(11, "b");
    ASSERT_EQ(write(fd, damaged.data(), damaged.size()), static_cast<ssize_t>(damaged.size()));
    ASSERT_EQ(write(fd, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    const std::string expected =
        linesim::RawFrame(1, "first") + linesim::RawFrame(2, "second") + linesim::RawFrame(2, "b");
    EXPECT_EQ(ReadSome(fd, expected.size(), 5000), expected);
    const auto requests = terminal->requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[1].lrcOk);
    EXPECT_EQ(requests[2].status, 11);
    close(fd);
}
