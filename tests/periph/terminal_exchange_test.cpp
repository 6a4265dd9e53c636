// Host exchange of the terminal script engine over real serial lines: one
// message per command row with its message state, answers stored in row
// order, the protocol refused without link callbacks, port switching between
// devices that share a driver, the reload of a failed port, a port another
// process holds, a port that cannot open, a link lost during the receive,
// and network resources over the box's stream.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "comm/com_resources.h"
#include "linesim/line_sim.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "platform/clock.h"
#include "platform/fork_child.h"
#include "support/memory_client_box.h"
#include "support/signed_file.h"
#include "support/terminal_line.h"
#include "support/trace_capture.h"

namespace {

using linesim::RawRule;
using testsupport::Answer;
using testsupport::RuleOf;
using testsupport::TerminalLines;
using testsupport::TraceCapture;

std::string Statuses(const std::vector<linesim::RawRequest>& requests) {
    std::string out;
    for (const auto& r : requests) out += std::to_string(r.status) + " ";
    return out;
}

int Set(int function, int command, const std::string& payload) {
    return EPAP_SetCommand(function, command, payload.c_str(), static_cast<int>(payload.size()));
}

int Get(int function, int command, std::string* out) { return EPAP_GetResult(function, command, out); }

}  // namespace

// Three commands for the display and the card reader on one line go out as
// three messages of one link (10, 10 with the first message's rubriques
// left as they were, 11); their answers come back in row order and are
// stored as "%4.4X", NUL, payload.
TEST(TerminalExchange, ThreeCommandsOfOneLinkAndTheirAnswers) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_TRUE(line.pty->ready());
    ASSERT_EQ(t.add("EFT_DSP", line), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    ASSERT_EQ(EPAP_ClearAll(), 0);
    ASSERT_EQ(Set(0, 2, "one"), 0);
    ASSERT_EQ(Set(4, 100, "two"), 0);
    ASSERT_EQ(Set(0, 3, "three"), 0);
    ASSERT_EQ(EPAP_SendScriptCommands(), 0);
    ASSERT_TRUE(line.terminal->waitRequests(3, 5000));
    const auto requests = line.terminal->requests();
    EXPECT_EQ(Statuses(requests), "10 10 11 ");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].payload, "two");
    EXPECT_EQ(t.box.box->commands[2][0], PAP_ROW_SENT);

    std::string out;
    EXPECT_EQ(Get(4, 100, &out), 0);
    EXPECT_EQ(out, "two");
    EXPECT_EQ(std::string(t.box.box->answers[1] + PAP_FRAME_OFFSET, 8), std::string("0008\0two", 8));
    EXPECT_EQ(t.box.box->answers[1][0], PAP_ROW_READ);
    EXPECT_EQ(Get(0, 3, &out), 0);
    EXPECT_EQ(out, "three");
    EXPECT_EQ(Get(0, 2, &out), 0);
    EXPECT_EQ(out, "one");
    // Read again: the row is kept until the next clear.
    EXPECT_EQ(Get(0, 2, &out), 0);
    // A command that was never set has no row.
    EXPECT_EQ(Get(0, 5, &out), PV_CMD_INTERNAL);

    // A script of one command is one message with 11; reading before any
    // send sends it first.
    ASSERT_EQ(EPAP_ClearAll(), 0);
    ASSERT_EQ(Set(4, 100, "alone"), 0);
    EXPECT_EQ(Get(4, 100, &out), 0);
    EXPECT_EQ(out, "alone");
    ASSERT_TRUE(line.terminal->waitRequests(4, 5000));
    EXPECT_EQ(Statuses(line.terminal->requests()), "10 10 11 11 ");
}

// The answers that a terminal gives as one series (1: more follow) are all
// received in one pass, and a status the terminal gives comes through the
// stub's decoder.
TEST(TerminalExchange, AnswersThatFollowEachOther) {
    TerminalLines t;
    RawRule first = Answer("PV=64");
    first.answers.front().first = 1;
    first.answers.emplace_back(2, "b");
    auto& line = t.addLine({first, RuleOf(RawRule::Kind::Silence)});
    ASSERT_EQ(t.add("EFT_DSP", line), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    EPAP_ClearAll();
    ASSERT_EQ(Set(0, 2, "x"), 0);
    ASSERT_EQ(Set(4, 10, "y"), 0);
    std::string out;
    EXPECT_EQ(Get(0, 2, &out), PV_NOT_YET);
    EXPECT_EQ(out, "PV=64");
    EXPECT_EQ(Get(4, 10, &out), 0);
    EXPECT_EQ(out, "b");
}

TEST(TerminalExchange, ProtocolWithoutLinkIsRefused) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_EQ(t.box.add("EFT_CAM_1", line.port(), "QUENT"), 0);
    EXPECT_EQ(EPAP_GetProtocol(4), 12);
    TraceCapture trace;
    EPAP_ClearAll();
    EXPECT_EQ(Set(4, 10, "x"), PV_CMD_INTERNAL);  // no module builds it
    EXPECT_EQ(t.box.box->kernelStatus, 8);
    EXPECT_EQ(t.box.box->commands[0][0], '\0');
    EPAP_OpenLinks();
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_SelectTRANS() : Desole [12]: Type de Materiel INCONNU !"));
    EXPECT_EQ(t.box.function(4)->link, nullptr);
    char event = 'x';
    EXPECT_EQ(EPAP_WaitEvent(4, 10, &event), 0);
    EXPECT_EQ(event, '\0');
    EXPECT_TRUE(line.terminal->requests().empty());
}

// Ports whose configurations name the same "Driver" are never open
// together: the first command on the second closes the first one's link and
// stops its resources. Different drivers keep both links.
TEST(TerminalExchange, PortsSharingADriver) {
    for (const bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "same driver" : "different drivers");
        TerminalLines t;
        auto& a = t.addLine();
        auto& b = t.addLine();
        if (shared) {
            // Port b is the same device as port a.
            ASSERT_EQ(testsupport::SetPortDriver(b.port(), a.pty->sim.slaveName()), "");
        }
        ASSERT_EQ(t.add("EFT_DSP", a), 0);
        ASSERT_EQ(t.add("EFT_CAM_1", b), 0);
        EPAP_ClearAll();
        ASSERT_EQ(Set(0, 2, "on a"), 0);
        std::string out;
        ASSERT_EQ(Get(0, 2, &out), 0);
        KT_PERES* display = t.box.function(0);
        KT_PERES* card = t.box.function(4);
        ASSERT_NE(display->link, nullptr);
        EXPECT_EQ(card->inUse, 0);  // the first command stopped the other ports

        EPAP_ClearAll();
        ASSERT_EQ(Set(4, 100, "on b"), 0);
        EXPECT_EQ(card->inUse, 1);
        EXPECT_EQ(display->inUse, shared ? 0 : 1);
        EXPECT_EQ(display->link == nullptr, shared);
        ASSERT_EQ(Get(4, 100, &out), 0);
        EXPECT_EQ(out, "on b");
        EXPECT_EQ(TWEP_LastUsedPort(), b.port());
        // The stopped function is still found, and a command for it switches
        // back.
        EPAP_ClearAll();
        ASSERT_EQ(Set(0, 2, "back"), 0);
        EXPECT_EQ(display->inUse, 1);
        EXPECT_EQ(card->inUse, shared ? 0 : 1);
        ASSERT_EQ(Get(0, 2, &out), 0);
        EXPECT_EQ(out, "back");
    }
}

// A send that fails is retried once after the port is reloaded; when the
// line is gone both fail and the script reports a broken link.
TEST(TerminalExchange, FailedSendIsRetriedOnceAfterAReload) {
    TerminalLines t;
    auto& line = t.addLine({RuleOf(RawRule::Kind::HangUp)});
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    EPAP_ClearAll();
    ASSERT_EQ(Set(4, 100, "first"), 0);
    ASSERT_EQ(EPAP_SendScriptCommands(), 0);
    ASSERT_TRUE(line.pty->sim.waitHungUp(5000));

    EPAP_ClearAll();
    ASSERT_EQ(Set(4, 100, "second"), 0);
    TraceCapture trace;
    EXPECT_EQ(EPAP_SendScriptCommands(), PV_NET_FAILED);
    EXPECT_TRUE(trace.Contains("** INFO. ** TWEP_HostMesSend : Rechargement Port Serie"));
    EXPECT_TRUE(trace.Contains("** INFO. ** TWEP_HostMesSend : echec apres rechargement Port Serie"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_SendScriptCommands"));
    EXPECT_STREQ(t.box.function(4)->appStat, "21");
    EXPECT_EQ(t.box.box->commands[0][0], PAP_ROW_SENT);  // taken for sending, left as it was
}

// A port whose lock another process holds fails the send after the lock's
// bounded wait; the caller is never kept longer.
TEST(TerminalExchange, PortLockedByAnotherProcessFailsAfterABoundedWait) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    const int id = t.table.id;
    const int port = line.port();
    testsupport::ForkedChild child([id, port](testsupport::Channel& ch) {
        if (WCOM_CreateContext(id, 2, 0, 0, 0, 1) != 1) return 1;
        for (int i = 0; i <= port; ++i)
            if (WCOM_CreateResource(1, "", "", "") != i) return 2;
        if (WCOM_LockResource(port) <= 0) return 3;
        ch.send('l');
        ch.receive(60000);
        return 0;
    });
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.receive(), 'l');
    EPAP_ClearAll();
    ASSERT_EQ(Set(4, 100, "x"), 0);
    {
        plat::ManualClock clock;
        plat::ScopedClock scoped(&clock);
        TraceCapture trace;
        const int64_t start = clock.nowMs();
        EXPECT_EQ(EPAP_SendScriptCommands(), PV_NET_FAILED);
        EXPECT_GE(clock.nowMs() - start, WCOM_LOCK_WAIT_MS);
        EXPECT_LT(clock.nowMs() - start, 2 * WCOM_LOCK_WAIT_MS);
        EXPECT_TRUE(trace.Contains("occupee"));
        EXPECT_TRUE(trace.Contains("-- ERROR -- TWEP_XLocalStart() Echec Ouverture Transport"));
    }
    child.send('q');
    EXPECT_FALSE(line.terminal->waitRequests(1, 100));
}

// A port that cannot open leaves only its own rows to fail: the links of the
// other ports are opened and their rows sent.
TEST(TerminalExchange, PortThatCannotOpenFailsOnlyItsRows_Mended) {
    TerminalLines t;
    auto& broken = t.addLine();
    auto& good = t.addLine();
    // No connection script for a dialled line: the link cannot start.
    WCOM_SetResourceConnType(broken.port(), 0);
    ASSERT_EQ(t.add("EFT_DSP", broken), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", good), 0);
    EPAP_ClearAll();
    ASSERT_EQ(Set(0, 2, "lost"), 0);
    ASSERT_EQ(Set(4, 100, "kept"), 0);
    TraceCapture trace;
    EXPECT_EQ(EPAP_SendScriptCommands(), PV_NET_FAILED);
    EXPECT_TRUE(trace.Contains("Contexte Incoherent - Niveau 3"));
    EXPECT_EQ(t.box.function(0)->link, nullptr);
    ASSERT_NE(t.box.function(4)->link, nullptr);
    ASSERT_TRUE(good.terminal->waitRequests(1, 5000));
    EXPECT_EQ(good.terminal->requests()[0].payload, "kept");
    EXPECT_EQ(t.box.box->commands[0][0], PAP_ROW_SET);
    EXPECT_EQ(t.box.box->commands[1][0], PAP_ROW_SENT);
}

// A link lost while its answers are awaited fails the rows it still owes:
// they take no later answer and reading them reports the broken link at once.
TEST(TerminalExchange, RowsOfALostLinkFail_Mended) {
    TerminalLines t;
    auto& line = t.addLine({Answer("a"), RuleOf(RawRule::Kind::HangUp)});
    ASSERT_EQ(t.add("EFT_DSP", line), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    EPAP_ClearAll();
    ASSERT_EQ(Set(0, 2, "x"), 0);
    ASSERT_EQ(Set(4, 100, "y"), 0);
    ASSERT_EQ(EPAP_SendScriptCommands(), 0);
    ASSERT_TRUE(line.pty->sim.waitHungUp(5000));
    std::string out;
    EXPECT_EQ(Get(0, 2, &out), PV_NET_FAILED);
    EXPECT_EQ(t.box.box->answers[0][0], PAP_ROW_FAILED);
    EXPECT_EQ(t.box.box->answers[1][0], PAP_ROW_FAILED);
    EXPECT_EQ(Get(4, 100, &out), PV_NET_FAILED);
    // A late answer finds no row.
    KT_PERES* card = t.box.function(4);
    EXPECT_EQ(TWEP_SetAnswerScriptMes(t.box.box, card, 6, std::string("0006\0z", 6).data()), -1);
}

// A terminal that stays silent: the receive ends with a time-out and the row
// stays expected, so that a later read takes the answer.
TEST(TerminalExchange, SilentTerminalTimesOutAndTheRowWaits) {
    TerminalLines t;
    auto& line = t.addLine({RuleOf(RawRule::Kind::Silence)});
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    EPAP_ClearAll();
    ASSERT_EQ(Set(4, 100, "x"), 0);
    std::string out;
    EXPECT_EQ(Get(4, 100, &out), PV_NET_TIMEOUT);
    EXPECT_EQ(t.box.box->answers[0][0], PAP_ROW_SET);
    line.pty->sim.inject(linesim::RawFrame(2, "late"));
    EXPECT_EQ(Get(4, 100, &out), 0);
    EXPECT_EQ(out, "late");
}

// Network resources use the box's stream: the script's last message is
// acknowledged by the other side, and answers are asked for.
TEST(TerminalExchange, NetworkResourcesOverTheBoxStream) {
    const std::string descriptor = "XPRO/2/001/1000/0000000000000000/0/0/________/________/010/02/";
    testsupport::MemoryClientBox stream([&](const netsim::NetMessage& request) {
        netsim::NetMessage answer;
        answer.A = "1200";
        answer.S = descriptor;
        if (request.M.empty()) answer.M = "net answer";  // a request for answers
        return std::vector<netsim::NetMessage>{answer};
    });
    TerminalLines t;
    t.box.box->stream = stream.box();
    ASSERT_EQ(t.box.add("EFT_CAM_1", 0, testsupport::kStubProtocolName, PAP_TRANSPORT_NETWORK), 0);
    EPAP_ClearAll();
    ASSERT_EQ(Set(24, 100, "over the net"), 0);
    std::string out;
    EXPECT_EQ(Get(24, 100, &out), 0);
    EXPECT_EQ(out, "net answer");
    const auto requests = stream.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].M, "over the net");
    EXPECT_EQ(requests[0].A, "1200");
    EXPECT_NE(requests[0].S.find("/011/"), std::string::npos);  // the last message
    EXPECT_NE(requests[1].S.find("/000/"), std::string::npos);  // a request for answers
    EXPECT_EQ(t.box.function(24)->link, stream.box());

    // A lost stream fails the script.
    EPAP_ClearAll();
    ASSERT_EQ(Set(24, 100, "again"), 0);
    stream.breakLink();
    EXPECT_EQ(EPAP_SendScriptCommands(), PV_NET_FAILED);
}

// The link of a line opens on the line's first resource; when the first
// command is for another function of the line, that resource still has no
// dial information of its own and takes the box's, so its address is whole
// and the link opens.
TEST(TerminalExchange, LinkOpensWhenTheFirstCommandIsForAnotherFunctionOfTheLine_Mended) {
    TerminalLines t;
    auto& line = t.addLine();
    ASSERT_TRUE(line.pty->ready());
    ASSERT_EQ(t.add("EFT_DSP", line), 0);
    ASSERT_EQ(t.add("EFT_CAM_1", line), 0);
    ASSERT_EQ(EPAP_ClearAll(), 0);
    ASSERT_EQ(Set(4, 100, "card first"), 0);
    ASSERT_EQ(EPAP_SendScriptCommands(), 0);
    std::string out;
    ASSERT_EQ(Get(4, 100, &out), 0);
    EXPECT_EQ(out, "card first");
    KT_PERES* display = t.box.function(0);
    ASSERT_NE(display->link, nullptr);
    EXPECT_EQ(std::string(display->xproAddress).rfind("XPRO/2/", 0), 0u) << display->xproAddress;
}
