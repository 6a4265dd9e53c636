// A remote interface exchange between two processes: this test is the host
// (its engine on a console with remote windows), tools/interface_peer the
// remote station, over a loopback TCP link of the message boxes, the peer's
// console on a pseudo-terminal. The peer tells each message it dealt with
// ("dealt <state> <status>") and writes the text of its windows after each.
//
// Rows that need the console's keyboard and renderer in the peer (keys typed
// on its pty, frame glyphs in its video block) run when the peer reports a
// keyboard ("ready keyboard=1") and are skipped otherwise.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "protocols/pv_status.h"
#include "support/interface_fixture.h"
#include "support/interface_link.h"

namespace {

using testsupport::AnswerStatus;
using testsupport::InterfacePeer;
using testsupport::Payload;
using testsupport::StoreCommand;

constexpr int kEventWaitMs = 10000;

struct Peer : ::testing::Test {
    virtual std::vector<std::string> Arguments() { return {}; }
    void SetUp() override { StartWith(Arguments()); }
    void StartWith(const std::vector<std::string>& arguments) {
        std::filesystem::create_directories(peer.dir().path() / "work" / "WOut");
        // The peer's POS GUI (45) has no cash register: its executors fail.
        std::vector<std::string> args = {"--work", peer.dir().file("work"), "--windows",
                                         "V5:41:23x78@1,1;F5:43:4x40;S5:44:4x40;P5:45:4x20"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        ASSERT_TRUE(peer.Start(args));
        const auto ready = peer.NextEvent(kEventWaitMs);
        ASSERT_TRUE(ready.has_value());
        ASSERT_EQ(ready->rfind("ready keyboard=", 0), 0u) << *ready;
        keyboard = ready->back() == '1';
        console = KTCONSOL_NewConso(2, 1, "HOST", peer.stream(), nullptr);
        ASSERT_NE(console, nullptr);
        KTCONSOL_SetTimeout(console, 0);
        ASSERT_EQ(SAP_NewSAPbox(peer.stream(), console, 2, 1, 0), 1);
        box = SAP_GetBox();
        // The host waits at most this long for each answer.
        KTX_SetTimeOutAndModes(peer.stream(), kEventWaitMs, 0, 0);
    }
    void TearDown() override {
        SAP_FreeSAPbox();
        KTCONSOL_FreeConso(console);
    }
    KT_TEXT_WINDOW* Window(const char* name, int resource, int rows, int columns) {
        KTCONSOL_AddFenetre(console, name, rows, columns);
        KTCONSOL_SetFenetreResource(console, name, resource);
        KT_TEXT_WINDOW* w = KTCONSOL_FindFenetre(console, name);
        return ISAP_OpenWindowResource(w) == 0 ? w : nullptr;
    }
    // The events of the next n messages.
    std::vector<std::string> Events(size_t n) {
        std::vector<std::string> out;
        while (out.size() < n) {
            const auto e = peer.NextEvent(kEventWaitMs);
            if (!e) break;
            out.push_back(*e);
            ++dealt;
        }
        return out;
    }
    // Line i of the peer's window of that full name after the last message
    // whose event was read.
    std::string PeerLine(const std::string& window, int i) {
        const std::string text = peer.Read(peer.textPath() + "." + std::to_string(dealt));
        size_t at = text.find("[" + window + "]\n");
        if (at == std::string::npos) return "(no window)";
        at = text.find('\n', at) + 1;
        for (int k = 0; k < i; ++k) at = text.find('\n', at) + 1;
        const size_t end = text.find('\n', at);
        return text.substr(at + 1, end - at - 2);
    }
    static std::string Padded(const std::string& text, size_t width) {
        return text + std::string(width - text.size(), ' ');
    }

    InterfacePeer peer;
    ConsoBox* console = nullptr;
    KT_IPERIPH_API* box = nullptr;
    bool keyboard = false;
    int dealt = 0;  // messages the peer told it dealt with
};

TEST_F(Peer, ALocalCommandRunsHereAndTheRemoteOneGoesAlone) {
    KT_TEXT_WINDOW* local = Window("L1", 41, 2, 10);
    KT_TEXT_WINDOW* remote = Window("R1", 61, 1, 20);
    ASSERT_TRUE(local && remote);
    TWI_WriteText(remote, "hello", 0);
    ASSERT_EQ(ISAP_SetTouchCommand(local, 0, 0), PV_ALL_FINE);
    ASSERT_EQ(ISAP_SetDisplayCommand(remote), PV_ALL_FINE);
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(box->SAP_Answers[0][0], TWIP_ANSWERED);
    EXPECT_EQ(Events(1), std::vector<std::string>{"dealt 3 0"});
    EXPECT_EQ(PeerLine("V5001001", 0), Padded("hello", 78));
    EXPECT_EQ(ISAP_GetDisplayResult(remote), PV_ALL_FINE);
    EXPECT_EQ(Events(1), std::vector<std::string>{"dealt 4 0"});
    EXPECT_EQ(AnswerStatus(box, 1), 0);
}

TEST_F(Peer, ThreeRemoteLinesRunOnceTheThirdArrives) {
    KT_TEXT_WINDOW* remote = Window("R3", 61, 3, 20);
    TWI_WriteText(remote, "one\ntwo\nthree", 0);
    ASSERT_EQ(ISAP_SetDisplayCommand(remote), PV_ALL_FINE);
    ASSERT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(Events(1), std::vector<std::string>{"dealt 1 0"});
    EXPECT_EQ(PeerLine("V5001001", 0), std::string(78, ' '));
    EXPECT_EQ(Events(1), std::vector<std::string>{"dealt 0 0"});
    EXPECT_EQ(PeerLine("V5001001", 0), std::string(78, ' '));
    EXPECT_EQ(Events(1), std::vector<std::string>{"dealt 2 0"});
    EXPECT_EQ(PeerLine("V5001001", 0), Padded("one", 78));
    EXPECT_EQ(PeerLine("V5001001", 2), Padded("three", 78));
    EXPECT_EQ(ISAP_GetScriptResults(), PV_ALL_FINE);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(AnswerStatus(box, i), 0) << i;
}

TEST_F(Peer, ASelectionClosesItsBatchAndTheLinesFollow) {
    KT_TEXT_WINDOW* menu = Window("M", 65, 2, 20);
    KT_TEXT_WINDOW* remote = Window("R3", 61, 2, 20);
    TWI_WriteText(remote, "after\nselection", 0);
    ASSERT_EQ(ISAP_SetSelecCommand(menu, 2, 3, 1, "T", "ab cd ", 0), PV_ALL_FINE);
    ASSERT_EQ(ISAP_SetDisplayCommand(remote), PV_ALL_FINE);
    ASSERT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    // The selection goes alone and runs at once; the lines follow as a
    // batch that the first message did not open.
    EXPECT_EQ(Events(3), (std::vector<std::string>{"dealt 3 0", "dealt 0 0", "dealt 2 0"}));
    EXPECT_EQ(PeerLine("V5001001", 1), Padded("selection", 78));
    unsigned char item = 0;
    EXPECT_EQ(ISAP_GetSelecResult(menu, &item), PV_ALL_FINE);
    EXPECT_EQ(item, 255);
    EXPECT_EQ(AnswerStatus(box, 0), PV_CMD_ACCES);
    EXPECT_EQ(ISAP_GetDisplayResult(remote), PV_ALL_FINE);
    EXPECT_EQ(AnswerStatus(box, 2), 0);
}

TEST_F(Peer, ATwentyThreeLineBatchFillsTheWholeWindow) {
    KT_TEXT_WINDOW* remote = Window("R23", 61, 23, 78);
    std::string text;
    for (int i = 0; i < 23; ++i) text += "line " + std::to_string(i) + (i < 22 ? "\n" : "");
    TWI_WriteText(remote, text.c_str(), 0);
    ASSERT_EQ(ISAP_SetDisplayCommand(remote), PV_ALL_FINE);
    ASSERT_EQ(ISAP_GetDisplayResult(remote), PV_ALL_FINE);
    const auto events = Events(24);
    ASSERT_EQ(events.size(), 24u);
    EXPECT_EQ(events[0], "dealt 1 0");
    for (int i = 1; i < 22; ++i) EXPECT_EQ(events[i], "dealt 0 0") << i;
    EXPECT_EQ(events[22], "dealt 2 0");
    EXPECT_EQ(events[23], "dealt 4 0");
    for (int i = 0; i < 23; ++i) EXPECT_EQ(PeerLine("V5001001", i), Padded("line " + std::to_string(i), 78));
    for (int i = 0; i < 23; ++i) EXPECT_EQ(AnswerStatus(box, i), 0) << i;
}

TEST_F(Peer, TheBatchShowsTheLargeFrameOnThePeersScreen) {
    if (!keyboard) GTEST_SKIP() << "needs the console (renderer and keyboard) in the peer";
    KT_TEXT_WINDOW* remote = Window("R23", 61, 23, 78);
    TWI_WriteText(remote, "top", 0);
    ASSERT_EQ(ISAP_SetDisplayCommand(remote), PV_ALL_FINE);
    ASSERT_EQ(ISAP_GetDisplayResult(remote), PV_ALL_FINE);
    ASSERT_EQ(Events(24).size(), 24u);
    // The large window's double frame around the whole screen.
    const std::string video = peer.Read(peer.dumpPath());
    ASSERT_GE(video.size(), 4000u);
    const auto cell = [&](int row, int column) { return static_cast<unsigned char>(video[(row * 80 + column) * 2]); };
    EXPECT_EQ(cell(0, 0), 0xC9);
    EXPECT_EQ(cell(0, 79), 0xBB);
    EXPECT_EQ(cell(24, 0), 0xC8);
    EXPECT_EQ(cell(24, 79), 0xBC);
    // The top border holds the title in its middle; the rest is the frame.
    EXPECT_EQ(cell(0, 10), 0xCD);
    EXPECT_EQ(cell(24, 40), 0xCD);
    EXPECT_EQ(cell(12, 0), 0xBA);
}

TEST_F(Peer, ACommandForAResourceThePeerNeverOpenedIsAnswered8) {
    KT_TEXT_WINDOW* remote = Window("R2", 62, 1, 20);
    unsigned char key = 0;
    ASSERT_EQ(ISAP_SetTouchCommand(remote, 0, 0), PV_ALL_FINE);
    EXPECT_EQ(ISAP_GetTouchResult(remote, &key), PV_ALL_FINE);
    EXPECT_EQ(key, 255);
    EXPECT_EQ(AnswerStatus(box, 0), PV_PER_UNKNOWN);
    EXPECT_EQ(Events(2), (std::vector<std::string>{"dealt 3 0", "dealt 4 0"}));
    EXPECT_NE(peer.Read(peer.logPath()).find("-- ERROR -- Ressource fonctionnelle 42 non-trouvee"), std::string::npos);
}

// A peer whose print command 2 records its arguments.
struct PeerPrinting : Peer {
    std::vector<std::string> Arguments() override {
        const std::string script = peer.dir().file("print2.sh");
        std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << peer.dir().file("print2.args") << "'\n";
        chmod(script.c_str(), 0700);
        return {"--print2", script + " %s"};
    }
};

TEST_F(PeerPrinting, TextGoesToThePeersSpoolFilesAndItsPrintCommand) {
    KT_TEXT_WINDOW* spool1 = Window("F", 63, 2, 40);
    KT_TEXT_WINDOW* spool2 = Window("S", 64, 2, 40);
    const auto text = [](int line, int mode, const char* t) {
        return Payload("%X%X%X%X%X%B", 2, 40, line, 0, mode, static_cast<unsigned>(std::strlen(t)), t);
    };
    KT_PIRES* r2 = TWIP_FindResourceByWindow(box, spool2);
    KT_PIRES* r1 = TWIP_FindResourceByWindow(box, spool1);
    ASSERT_TRUE(r1 && r2);
    StoreCommand(box, r2, TWIP_TEXT, text(0, 1, "first"));
    StoreCommand(box, r2, TWIP_TEXT, text(1, 2, "last"));
    StoreCommand(box, r1, TWIP_TEXT, text(0, 1, "other"));
    StoreCommand(box, r1, TWIP_TEXT, text(1, 2, "end"));
    EXPECT_EQ(ISAP_GetScriptResults(), PV_ALL_FINE);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(AnswerStatus(box, i), 0) << i;
    const std::string out = peer.dir().file("work") + "/WOut/";
    // No line end is set on the peer's windows: the texts follow each other.
    EXPECT_EQ(peer.Read(out + "S5001001.SPO"), "firstlast");
    EXPECT_EQ(peer.Read(out + "F5001001.SPO"), "otherend");
    // Print command 2 ran for 44 with the spool path; 43 has none.
    EXPECT_EQ(peer.Read(peer.dir().file("print2.args")), out + "S5001001.SPO\n");
}

TEST_F(Peer, ATouchWithoutWaitAnswersNoKeyAtOnce) {
    KT_TEXT_WINDOW* remote = Window("R1", 61, 1, 20);
    unsigned char key = 0;
    KTCONSOL_SetTimeout(console, 5);
    ASSERT_EQ(ISAP_SetTouchCommand(remote, 0, 1), PV_ALL_FINE);
    EXPECT_EQ(ISAP_GetTouchResult(remote, &key), PV_ALL_FINE);
    EXPECT_EQ(key, 255);
    EXPECT_EQ(AnswerStatus(box, 0), 0);
}

TEST_F(Peer, AKeyTypedAheadOnThePeersConsoleAnswersATouch) {
    if (!keyboard) GTEST_SKIP() << "needs the console's keyboard in the peer";
    KT_TEXT_WINDOW* remote = Window("R1", 61, 1, 20);
    unsigned char key = 0;
    KTCONSOL_SetTimeout(console, 5);
    ASSERT_TRUE(peer.Type("\r"));
    // Without flush the key typed before the wait is the one read.
    ASSERT_EQ(ISAP_SetTouchCommand(remote, 1, 0), PV_ALL_FINE);
    EXPECT_EQ(ISAP_GetTouchResult(remote, &key), PV_ALL_FINE);
    EXPECT_EQ(key, 131);
}

TEST_F(Peer, ThePeerEndsWhenTheLinkCloses) {
    EXPECT_EQ(peer.CloseLink(), 0);
}

}  // namespace
