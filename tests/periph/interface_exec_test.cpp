// The remote exchange of the interface engine over an in-memory "1210"
// stream (frames encoded and decoded by netsim, apart from the program's
// codec): the host's messages and its answer collection against scripted
// answers, the client's handling of a remote host's messages with the
// console, spool files with their print commands and the POS GUI as
// executors, and the decoders on cut payloads.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "comm/length_prefixed.h"
#include "protocols/pv_status.h"
#include "protocols/terminal_display.h"
#include "support/epap_fake.h"
#include "support/interface_fixture.h"
#include "support/memory_client_box.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using netsim::NetMessage;
using testsupport::AnswerStatus;
using testsupport::MemoryClientBox;
using testsupport::Payload;
using testsupport::PosGuiRecorder;
using testsupport::StoreCommand;
using testsupport::TempDir;
using testsupport::TraceCapture;

// A script row as it travels: header with the number and type, then the
// payload over the header's last four digits.
std::string WireBody(int number, int type, const std::string& payload) {
    char header[16];
    std::snprintf(header, sizeof header, "1_%03d_%04x_", number, static_cast<unsigned>(type));
    return header + payload;
}

std::string Address(int mesStat, const char* status = "00000000") {
    char text[40];
    std::snprintf(text, sizeof text, "XSAP/%s/%03d/", status, mesStat);
    return text;
}

NetMessage Message(const std::string& s, const std::string& m, const std::string& a = "1210") {
    NetMessage message;
    message.A = a;
    message.S = s;
    message.M = m;
    return message;
}

// The message state of a request's address.
int MesStatOf(const NetMessage& m) {
    char status[9];
    int mesStat = -1;
    return TWIP_ParseXSAPText(m.S.c_str(), status, &mesStat) == 1 ? mesStat : -1;
}

// ---------------------------------------------------------------------------
// Host side
// ---------------------------------------------------------------------------

// A host whose box streams to a scripted remote station: its answers to the
// answer request are the test's.
struct Host : testsupport::InterfaceConsole {
    KTX_WSERV* Stream() override { return link.box(); }
    void SetUp() override {
        InterfaceConsole::SetUp();
        local = Window("L1", 41, 2, 10);
        remote = Window("R1", 61, 3, 10);
        ASSERT_NE(local, nullptr);
        ASSERT_NE(remote, nullptr);
        KTX_SetTimeOutAndModes(link.box(), 0, 0, 0);
    }
    std::vector<NetMessage> answers;
    MemoryClientBox link{[this](const NetMessage& request) {
        return request.M.empty() && MesStatOf(request) == SAP_MES_ASK ? answers : std::vector<NetMessage>{};
    }};
    KT_TEXT_WINDOW* local = nullptr;
    KT_TEXT_WINDOW* remote = nullptr;
};

TEST_F(Host, ALocalCommandRunsAndTheRemoteOneGoesOutAlone) {
    ASSERT_EQ(ISAP_SetTouchCommand(local, 0, 1), PV_ALL_FINE);
    ASSERT_EQ(ISAP_SetTouchCommand(remote, 0, 1), PV_ALL_FINE);
    const std::string payload(box->SAP_Commands[1] + 11, 9);
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(box->SAP_Answers[0][0], TWIP_ANSWERED);
    EXPECT_EQ(box->SAP_Commands[1][0], TWIP_SENT);
    const auto requests = link.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].A, "1210");
    EXPECT_EQ(requests[0].S, "XSAP/00000000/003/");
    // 61 is 41 for the remote station; the payload follows the header.
    EXPECT_EQ(requests[0].M, WireBody(41, TWIP_TOUCH, payload));
    EXPECT_EQ(requests[0].M.size(), payload.size() + 11);
}

TEST_F(Host, RemoteBatchesAreMarkedFirstMiddleAndLast) {
    struct Case {
        std::function<void(KT_TEXT_WINDOW*)> set;
        std::vector<int> mesStats;
    };
    const Case cases[] = {
        {[](KT_TEXT_WINDOW* w) { ISAP_SetDisplayCommand(w); }, {1, 0, 2}},
        {[](KT_TEXT_WINDOW* w) {
             for (int i = 0; i < 3; ++i) ISAP_SetTouchCommand(w, 0, 0);
         },
         {1, 0, 2}},
        // A SELEC closes its batch; the DISPLAY lines follow as the next.
        {[](KT_TEXT_WINDOW* w) {
             ISAP_SetSelecCommand(w, 2, 3, 1, "T", "ab cd ", 0);
             ISAP_SetDisplayCommand(w);
         },
         {3, 0, 0, 2}},
    };
    size_t seen = 0;
    for (const Case& c : cases) {
        ISAP_ClearAll();
        c.set(remote);
        EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
        const auto requests = link.requests();
        ASSERT_EQ(requests.size(), seen + c.mesStats.size());
        for (size_t i = 0; i < c.mesStats.size(); ++i) EXPECT_EQ(MesStatOf(requests[seen + i]), c.mesStats[i]) << i;
        seen = requests.size();
    }
}

struct AnswerCase {
    const char* name;
    std::vector<NetMessage> answers;
    int status;
    int key;
    const char* trace;
};

// Each case: one TOUCH to the remote resource, its answers as given, the
// result read.
void RunAnswerCases(Host& host, const std::vector<AnswerCase>& cases) {
    KT_IPERIPH_API* box = host.box;
    for (const AnswerCase& c : cases) {
        ISAP_ClearAll();
        host.answers = c.answers;
        ASSERT_EQ(ISAP_SetTouchCommand(host.remote, 0, 0), PV_ALL_FINE);
        unsigned char got = 0;
        TraceCapture trace;
        EXPECT_EQ(ISAP_GetTouchResult(host.remote, &got), c.status) << c.name;
        EXPECT_EQ(got, c.key) << c.name;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        }
        // The answer request went out once, empty, with state 4.
        const NetMessage last = host.link.requests().back();
        EXPECT_TRUE(last.M.empty()) << c.name;
        EXPECT_EQ(last.S, "XSAP/00000000/004/") << c.name;
        if (c.status == 26) {
            EXPECT_STREQ(box->statusText, "KRN_FUN:3d->:PERI INTERNAL ERROR");
        }
        std::memcpy(TWIP_FindResourceByWindow(box, host.remote)->status, "00000000", 9);
    }
}

TEST_F(Host, AnswersAreCollectedOrTheExchangeFails) {
    Window("R2", 62, 1, 10);
    const std::string key = Payload("%X%X", 0, 'V');
    const std::vector<AnswerCase> cases = {
        {"fine", {Message(Address(3), WireBody(41, TWIP_TOUCH, key))}, 0, 'V', nullptr},
        {"silent", {}, PV_NET_TIMEOUT, 255, nullptr},
        {"state 5", {Message(Address(5), WireBody(41, TWIP_TOUCH, key))}, PV_NET_FAILED, 255, nullptr},
        {"other resource",
         {Message(Address(3), WireBody(42, TWIP_TOUCH, key))},
         PV_PROTO_ERROR,
         255,
         "** INFO. ** TWIP_ServerDealOneAnswer : Fonction d'origine : 61, Fonction recue : 62"},
        {"unknown resource",
         {Message(Address(3), WireBody(43, TWIP_TOUCH, key))},
         PV_PROTO_ERROR,
         255,
         "Aucune fonction recue ou fonction non trouvee"},
        {"remote number",
         {Message(Address(3), WireBody(61, TWIP_TOUCH, key))},
         PV_PROTO_ERROR,
         255,
         "-- ERROR -- TWIP_ServerDealOneAnswer : Contexte Incoherent - Niveau 7"},
        {"no address", {Message("", WireBody(41, TWIP_TOUCH, key))}, PV_CMD_INTERNAL, 255, "Niveau 5"},
        {"address without slash", {Message("XSAP", WireBody(41, TWIP_TOUCH, key))}, PV_PROTO_ERROR, 255, "Niveau 6"},
        {"other application", {Message(Address(3), WireBody(41, TWIP_TOUCH, key), "1200")}, PV_NET_TIMEOUT, 255,
         nullptr},
        {"remote status", {Message(Address(3, "0000001a"), WireBody(41, TWIP_TOUCH, key))}, 26, 'V', nullptr},
    };
    RunAnswerCases(*this, cases);
}

TEST_F(Host, AnswersWithABadAddressOrPastTheirBodyAreRefused_Mended) {
    const std::string key = Payload("%X%X", 0, 'V');
    const std::vector<AnswerCase> cases = {
        {"short status", {Message("XSAP/0000001/003/", WireBody(41, TWIP_TOUCH, key))}, PV_PROTO_ERROR, 255,
         "Niveau 6"},
        {"non-hexadecimal status", {Message("XSAP/0000001z/003/", WireBody(41, TWIP_TOUCH, key))}, PV_PROTO_ERROR,
         255, "Niveau 6"},
        {"payload past the body",
         {Message(Address(3), WireBody(41, TWIP_TOUCH, "0040") + std::string(1, '\0'))},
         PV_PROTO_ERROR,
         255,
         "Niveau 9"},
        {"payload over a row",
         {Message(Address(3), WireBody(41, TWIP_TOUCH, Payload("%X%X%B", 0, 'V', 130u, std::string(130, 'z').c_str())))},
         PV_PROTO_ERROR,
         255,
         "Niveau 9"},
    };
    RunAnswerCases(*this, cases);
}

TEST_F(Host, AnswersOfABatchAreStoredInTheirRows) {
    answers = {Message(Address(1), WireBody(41, TWIP_TOUCH, Payload("%X%X", 0, 'a'))),
               Message(Address(2), WireBody(41, TWIP_TOUCH, Payload("%X%X", 0, 'b')))};
    ISAP_SetTouchCommand(remote, 0, 0);
    ISAP_SetTouchCommand(remote, 0, 0);
    EXPECT_EQ(ISAP_GetScriptResults(), PV_ALL_FINE);
    EXPECT_EQ(box->SAP_Answers[0][0], TWIP_ANSWERED);
    EXPECT_EQ(box->SAP_Answers[1][0], TWIP_ANSWERED);
    EXPECT_EQ(box->SAP_Commands[0][0], TWIP_ANSWERED);
    KT_PIRES* r = ResourceOf(remote);
    r->command = TWIP_TOUCH;
    TWIP_GetOneResult(box, r);
    EXPECT_EQ(r->result, 'b');
    // Everything is in: no second request.
    const size_t sent = link.requests().size();
    EXPECT_EQ(ISAP_GetScriptResults(), PV_ALL_FINE);
    EXPECT_EQ(link.requests().size(), sent);
}

TEST_F(Host, ALostLinkFailsTheSendAndTheRowIsAnswered16) {
    link.breakLink();
    ISAP_SetTouchCommand(remote, 0, 0);
    TraceCapture trace;
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_NET_FAILED);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWIP_ServerSendOneCommand : Echec Niveau Transport...."));
    EXPECT_EQ(AnswerStatus(box, 0), PV_CMD_ACCES);
}

TEST_F(Host, ALostLinkDuringTheCollectionGives33) {
    ISAP_SetTouchCommand(remote, 0, 0);
    ASSERT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    link.breakLink();
    unsigned char key = 0;
    EXPECT_EQ(ISAP_GetTouchResult(remote, &key), PV_NET_FAILED);
    EXPECT_EQ(key, 255);
}

TEST_F(Host, ATouchFollowedByDisplayRowsReadsItsKey_Mended) {
    answers = {Message(Address(1), WireBody(41, TWIP_TOUCH, Payload("%X%X", 0, 'K')))};
    for (int i = 0; i < 3; ++i)
        answers.push_back(Message(Address(i == 2 ? 2 : 0), WireBody(41, TWIP_DISPLAY, Payload("%X", 0))));
    ASSERT_EQ(ISAP_SetTouchCommand(remote, 0, 0), PV_ALL_FINE);
    ASSERT_EQ(ISAP_SetDisplayCommand(remote), PV_ALL_FINE);
    unsigned char key = 0;
    EXPECT_EQ(ISAP_GetTouchResult(remote, &key), PV_ALL_FINE);
    EXPECT_EQ(key, 'K');
}

TEST_F(Host, NetworkResourcesFollowANewStreamOfTheBox_Mended) {
    ISAP_SetTouchCommand(remote, 0, 0);
    ASSERT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    ASSERT_EQ(link.requests().size(), 1u);
    MemoryClientBox other;
    box->stream = other.box();
    ISAP_ClearAll();
    ISAP_SetTouchCommand(remote, 0, 0);
    EXPECT_EQ(ISAP_SendScriptCommands(), PV_ALL_FINE);
    EXPECT_EQ(link.requests().size(), 1u);
    EXPECT_EQ(other.requests().size(), 1u);
    box->stream = link.box();
}

TEST_F(Host, LocalNumbersAreNeverSent) {
    KT_PIRES* r = ResourceOf(local);
    r->Tube = link.box();
    int mesStat = -1;
    TraceCapture trace;
    EXPECT_EQ(TWIP_ServerSendOneCommand(box, r, "0005", 5, 1, 1, &mesStat), PV_CMD_INTERNAL);
    EXPECT_TRUE(trace.Contains("-- ERROR -- TWIP_ServerSendOneCommand : Contexte Incoherent - Niveau 1"));
    EXPECT_TRUE(link.requests().empty());
}

TEST_F(Host, TheCollectionEndsOnARowThatNoStreamServes_Mended) {
    // A local row taken but never answered (its executor gave up): the
    // collection answers it 1 instead of offering it again and again.
    StoreCommand(box, ResourceOf(local), TWIP_TOUCH, Payload("%L%X", 0L, 0));
    ASSERT_NE(TWIP_GetCommandScriptMes(box, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(ISAP_GetScriptResults(), PV_ALL_FINE);
    EXPECT_EQ(AnswerStatus(box, 0), PV_CMD_INTERNAL);
    EXPECT_TRUE(link.requests().empty());
}

// ---------------------------------------------------------------------------
// Client side
// ---------------------------------------------------------------------------

// A station taking a remote host's commands on its console ("V5" 41), its
// spool windows ("F5" 43, "S5" 44) and its POS GUI ("P5" 45).
struct Client : testsupport::InterfaceConsole {
    KTX_WSERV* Stream() override { return own.box(); }
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "WOut");
        KTCONSOL_SetWorkDirectory(dir.str().c_str(), "");
        InterfaceConsole::SetUp();
        PosGuiRecorder::Get().Install();
        screen = Window("V5", 41, 3, 20);
        printer = Window("F5", 43, 2, 40);
        second = Window("S5", 44, 2, 40);
        pos = Window("P5", 45, 4, 20);
        ASSERT_TRUE(screen && printer && second && pos);
        printer->lineMode = 2;
        second->lineMode = 1;
    }
    // One message from the host, received and dealt with as the server
    // exchange step does.
    int Deliver(const NetMessage& m) {
        incoming.push(m);
        if (KTX_SomeThingReceived(incoming.box()->mess, 0) == nullptr) return -100;
        return ISAP_DealMessage(incoming.box());
    }
    int Ask() { return Deliver(Message(Address(SAP_MES_ASK), "")); }
    std::string Line(KT_TEXT_WINDOW* w, int i) { return std::string(TWI_GetLine(w, i), 20); }
    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempDir dir;
    MemoryClientBox own;
    MemoryClientBox incoming;
    KT_TEXT_WINDOW *screen = nullptr, *printer = nullptr, *second = nullptr, *pos = nullptr;
};

std::string DisplayLine(int line, const std::string& text, bool attribute = true) {
    return attribute ? Payload("%X%X%X%X%X%D%C", 3, 20, line, 0, line == 0 ? 1 : 0, static_cast<unsigned>(text.size()),
                               text.c_str(), 7)
                     : Payload("%X%X%X%X%X%D", 3, 20, line, 0, line == 0 ? 1 : 0, static_cast<unsigned>(text.size()),
                               text.c_str());
}

std::string Text(int line, int mode, const std::string& text) {
    return Payload("%X%X%X%X%X%B", 2, 40, line, 0, mode, static_cast<unsigned>(text.size()), text.c_str());
}

TEST_F(Client, ABatchRunsAfterItsLastMessageAndIsAnsweredOnRequest) {
    const std::string blank(20, ' ');
    EXPECT_EQ(Deliver(Message(Address(1), WireBody(41, TWIP_DISPLAY, DisplayLine(0, "first")))), PV_ALL_FINE);
    EXPECT_EQ(Deliver(Message(Address(0), WireBody(41, TWIP_DISPLAY, DisplayLine(1, "second")))), PV_ALL_FINE);
    EXPECT_EQ(Line(screen, 0), blank);
    EXPECT_EQ(Deliver(Message(Address(2), WireBody(41, TWIP_DISPLAY, DisplayLine(2, "third", false)))),
              PV_ALL_FINE);
    EXPECT_EQ(Line(screen, 0), "first" + std::string(15, ' '));
    EXPECT_EQ(Line(screen, 1), "second" + std::string(14, ' '));
    // The six-field form (no attribute byte) runs too.
    EXPECT_EQ(Line(screen, 2), "third" + std::string(15, ' '));
    EXPECT_TRUE(incoming.requests().empty());
    EXPECT_EQ(Ask(), PV_ALL_FINE);
    const auto answers = incoming.requests();
    ASSERT_EQ(answers.size(), 3u);
    const std::string fine = Payload("%X", 0);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(answers[i].A, "1210");
        const int states[] = {1, 0, 2};
        EXPECT_EQ(MesStatOf(answers[i]), states[i]);
        EXPECT_EQ(answers[i].M, WireBody(41, TWIP_DISPLAY, fine));
    }
    // The answers went through the message's stream, not the box's own.
    EXPECT_TRUE(own.requests().empty());
    EXPECT_EQ(box->stream, own.box());
    EXPECT_EQ(TWIP_MessageSlot(box)->Tube, nullptr);
}

TEST_F(Client, RefusedMessagesStoreNothing) {
    const std::string line = WireBody(41, TWIP_DISPLAY, DisplayLine(0, "x"));
    struct Case {
        const char* name;
        NetMessage message;
        int status;
        const char* trace;
    };
    const std::vector<Case> cases = {
        {"terminal relay", Message(Address(3), line, "1200"), PV_PROTO_ERROR, nullptr},
        {"no application", Message(Address(3), line, ""), PV_NET_FAILED, nullptr},
        {"no address", Message("", line), PV_CMD_INTERNAL, "TWIP_ClientDealOneCommand : Contexte Incoherent - Niveau 5"},
        {"no slash", Message("XSAP", line), PV_PROTO_ERROR, "Niveau 6"},
        {"not an address", Message("XPRO/00000000/003/", line), PV_PROTO_ERROR, "Niveau 6"},
        {"remote number", Message(Address(3), WireBody(61, TWIP_DISPLAY, DisplayLine(0, "x"))), PV_PROTO_ERROR,
         "TWIP_ClientDealOneCommand : Contexte Incoherent - Niveau 7"},
        {"short body", Message(Address(3), "1_041"), PV_PROTO_ERROR, "Niveau 7"},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        EXPECT_EQ(Deliver(c.message), c.status) << c.name;
        if (c.trace != nullptr) {
            EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        }
        EXPECT_EQ(TWIP_IsAllScriptSent(box), 1) << c.name;
        EXPECT_EQ(box->SAP_Commands[0][0], TWIP_FREE) << c.name;
        EXPECT_EQ(Line(screen, 0), std::string(20, ' ')) << c.name;
    }
    EXPECT_TRUE(incoming.requests().empty());
}

TEST_F(Client, MessagesBeyondTheirBodyARowOrAnAddressAreRefused_Mended) {
    struct Case {
        const char* name;
        NetMessage message;
        const char* trace;
    };
    const std::vector<Case> cases = {
        {"long status", Message("XSAP/000000000/003/", WireBody(41, TWIP_DISPLAY, DisplayLine(0, "x"))),
         "Niveau 6"},
        {"payload past the message", Message(Address(3), WireBody(41, TWIP_DISPLAY, "0040") + std::string(8, '\0')),
         "payload past the message"},
        {"payload over a row",
         Message(Address(3), WireBody(41, TWIP_DISPLAY, Payload("%X%X%X%X%X%D%C", 3, 20, 0, 0, 1, 120u,
                                                                    std::string(120, 'y').c_str(), 7))),
         "Payload too long"},
    };
    for (const Case& c : cases) {
        TraceCapture trace;
        EXPECT_EQ(Deliver(c.message), PV_PROTO_ERROR) << c.name;
        EXPECT_TRUE(trace.Contains(c.trace)) << c.name;
        EXPECT_EQ(box->SAP_Commands[0][0], TWIP_FREE) << c.name;
        EXPECT_EQ(Line(screen, 0), std::string(20, ' ')) << c.name;
    }
    EXPECT_TRUE(incoming.requests().empty());
}

TEST_F(Client, TheBoxKeepsItsOwnStreamAfterAMessage_Mended) {
    EXPECT_EQ(Deliver(Message(Address(3), WireBody(41, TWIP_TOUCH, Payload("%L%X", 0L, 0)))), PV_ALL_FINE);
    EXPECT_EQ(Ask(), PV_ALL_FINE);
    EXPECT_EQ(incoming.requests().size(), 1u);
    EXPECT_EQ(box->stream, own.box());
    EXPECT_EQ(TWIP_MessageSlot(box)->Tube, nullptr);
    // A refused message gives it back too.
    EXPECT_EQ(Deliver(Message(Address(3), "1_061", "1210")), PV_PROTO_ERROR);
    EXPECT_EQ(box->stream, own.box());
}

TEST_F(Client, ACommandForANeverOpenedResourceIsAnswered8) {
    TraceCapture trace;
    EXPECT_EQ(Deliver(Message(Address(3), WireBody(42, TWIP_TOUCH, Payload("%L%X", 0L, 0)))), PV_ALL_FINE);
    EXPECT_TRUE(trace.Contains("-- ERROR -- Ressource fonctionnelle 42 non-trouvee"));
    EXPECT_EQ(Ask(), PV_ALL_FINE);
    ASSERT_EQ(incoming.requests().size(), 1u);
    EXPECT_EQ(incoming.requests()[0].M, WireBody(42, TWIP_TOUCH, Payload("%X", PV_PER_UNKNOWN)));
    EXPECT_EQ(MesStatOf(incoming.requests()[0]), 3);
}

TEST_F(Client, FieldsBeyondTheExecutorsBuffersFailTheCommand_Mended) {
    auto& gui = PosGuiRecorder::Get();
    const std::string format(60, 'F');
    const std::string title(90, 'T');
    struct Case {
        const char* name;
        int type;
        std::string payload;
        int status;
    };
    const Case cases[] = {
        {"format of 60", TWIP_DATUM, Payload("%L%X%X%B%B", 5L, 1, 1, 4u, "1234", 60u, format.c_str()), 16},
        {"format of 49", TWIP_DATUM, Payload("%L%X%X%B%B", 5L, 1, 1, 4u, "1234", 49u, format.c_str()), 0},
        {"title of 90", TWIP_SELEC,
         Payload("%L%X%X%X%X%X%B%B%C", 5L, 4, 20, 1, 4, 1, 90u, title.c_str(), 4u, "item", 0), 16},
        {"items short of count x width", TWIP_SELEC,
         Payload("%L%X%X%X%X%X%B%B%C", 5L, 4, 20, 9, 10, 1, 1u, "T", 4u, "item", 0), 16},
    };
    for (const Case& c : cases) {
        gui.calls.clear();
        ASSERT_EQ(Deliver(Message(Address(3), WireBody(45, c.type, c.payload))), PV_ALL_FINE) << c.name;
        EXPECT_EQ(AnswerStatus(box, 0), c.status) << c.name;
        // A refused command never reaches the executor.
        EXPECT_EQ(gui.calls.size(), c.status == 0 ? 1u : 0u) << c.name;
    }
}

TEST_F(Client, TerminalScreenSelectionCountsInHundredths_Mended) {
    // The selection on the terminal's screen takes its time-out in
    // hundredths of a second: 3 s is 300, shown as "004" on the terminal.
    KT_TEXT_WINDOW* terminal = Window("T5", 48, 4, 16);
    ASSERT_NE(terminal, nullptr);
    testsupport::EpapFake fake;
    fake.protocols[0] = 2;
    fake.events.push_back({0, 'A'});
    fake.copiers[3] = [](va_list args) {
        return std::string(TermDisplay_Field(*va_arg(args, const TermDisplayBlock*), 6));
    };
    fake.writers[3] = [](va_list args) { va_arg(args, TermDisplayBlock*)->resultField = 1; };
    ASSERT_EQ(Deliver(Message(Address(3), WireBody(48, TWIP_SELEC, Payload("%L%X%X%X%X%X%B%B%C", 3L, 4, 16, 1, 4, 1,
                                                                            1u, "T", 4u, "item", 0)))),
              PV_ALL_FINE);
    std::vector<std::string> times;
    for (const auto& c : fake.callsOf("set"))
        if (c.command == 3) times.push_back(c.args);
    EXPECT_EQ(times, (std::vector<std::string>{"004"}));
}

TEST_F(Client, PosGuiCommandsRunAndTheEnteredTextIsNotKept_Mended) {
    auto& gui = PosGuiRecorder::Get();
    gui.entered = "4242";
    ASSERT_EQ(Deliver(Message(Address(3), WireBody(45, TWIP_DATUM, Payload("%L%X%X%B%B", 7L, 2, 3, 4u, "____", 3u,
                                                                            "NUM")))),
              PV_ALL_FINE);
    ASSERT_EQ(gui.calls.size(), 1u);
    EXPECT_EQ(gui.calls[0].timeoutMs, 7000);
    EXPECT_EQ(gui.calls[0].text, "____");
    EXPECT_EQ(Ask(), PV_ALL_FINE);
    ASSERT_EQ(incoming.requests().size(), 1u);
    EXPECT_EQ(incoming.requests()[0].M, WireBody(45, TWIP_DATUM, Payload("%X%X%B", 0, 'V', 4u, "4242")));
    // Once sent, the entered text is in no table nor body.
    const std::string table(reinterpret_cast<const char*>(box->SAP_Answers), sizeof box->SAP_Answers);
    EXPECT_EQ(table.find("4242"), std::string::npos);
    const std::string body(reinterpret_cast<const char*>(incoming.box()->mess->request->M), 200);
    EXPECT_EQ(body.find("4242"), std::string::npos);
}

// A print command that records its arguments, one a line.
std::string Recorder(const TempDir& dir, const std::string& name) {
    const std::string script = dir.file(name + ".sh");
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << dir.file(name + ".args")
                          << "'\n";
    chmod(script.c_str(), 0700);
    return script + " %s";
}

TEST_F(Client, TextGoesToTheSpoolFilesAndTheirPrintCommands) {
    std::snprintf(console->printCommand2, sizeof console->printCommand2, "%s", Recorder(dir, "print2").c_str());
    const std::string hostile = "'; touch HACKED; '";
    // Resource 44 (64 on the host): a new file, then appended, printed last.
    ASSERT_EQ(Deliver(Message(Address(1), WireBody(44, TWIP_TEXT, Text(0, 1, "first  ")))), PV_ALL_FINE);
    ASSERT_EQ(Deliver(Message(Address(0), WireBody(44, TWIP_TEXT, Text(1, 0, hostile)))), PV_ALL_FINE);
    ASSERT_EQ(Deliver(Message(Address(2), WireBody(44, TWIP_TEXT, Text(2, 2, "last")))), PV_ALL_FINE);
    EXPECT_EQ(Read(second->spoolPath), "first  \n" + hostile + "\nlast\n");
    EXPECT_EQ(Read(dir.file("print2.args")), std::string(second->spoolPath) + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("HACKED")));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "WOut" / "HACKED"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(AnswerStatus(box, i), 0);
    // Resource 43 without print command 1: spooled, nothing run.
    ASSERT_EQ(Deliver(Message(Address(1), WireBody(43, TWIP_TEXT, Text(0, 1, "a")))), PV_ALL_FINE);
    ASSERT_EQ(Deliver(Message(Address(2), WireBody(43, TWIP_TEXT, Text(1, 2, "b")))), PV_ALL_FINE);
    EXPECT_EQ(Read(printer->spoolPath), "a\r\nb\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("print1.args")));
    // With print command 1 it runs once the last output is written.
    std::snprintf(console->printCommand1, sizeof console->printCommand1, "%s", Recorder(dir, "print1").c_str());
    ASSERT_EQ(Deliver(Message(Address(3), WireBody(43, TWIP_TEXT, Text(0, 2, "c")))), PV_ALL_FINE);
    EXPECT_EQ(Read(printer->spoolPath), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(Read(dir.file("print1.args")), std::string(printer->spoolPath) + "\n");
    // A new first output on 44 starts its file again.
    ASSERT_EQ(Deliver(Message(Address(3), WireBody(44, TWIP_TEXT, Text(0, 1, "again")))), PV_ALL_FINE);
    EXPECT_EQ(Read(second->spoolPath), "again\n");
}

TEST_F(Client, AMiddleOutputWithoutFirstOpensTheSpoolFile_Mended) {
    ASSERT_EQ(Deliver(Message(Address(3), WireBody(43, TWIP_TEXT, Text(0, 0, "alone")))), PV_ALL_FINE);
    EXPECT_EQ(AnswerStatus(box, 0), 0);
    TWI_CloseSpool(printer);
    EXPECT_EQ(Read(printer->spoolPath), "alone\r\n");
}

// ---------------------------------------------------------------------------
// Decoders
// ---------------------------------------------------------------------------

TEST(Decoders, CutPayloadsDecodeToNothing) {
    struct Case {
        int type;
        std::string payload;
        bool withoutLastByte;  // the form without the trailing byte decodes
    };
    const Case cases[] = {
        {TWIP_DISPLAY, DisplayLine(1, "hello"), true},
        {TWIP_TEXT, Text(0, 1, "hello"), false},
        {TWIP_TOUCH, Payload("%L%X", 30L, 1), false},
        {TWIP_DATUM, Payload("%L%X%X%B%B", 30L, 1, 2, 4u, "12__", 3u, "NUM"), false},
        {TWIP_SELEC, Payload("%L%X%X%X%X%X%B%B%C", 30L, 4, 20, 2, 3, 1, 1u, "T", 6u, "ab cd ", 1), true},
    };
    for (const Case& c : cases) {
        TwipCommand out{};
        ASSERT_EQ(TWIP_DecodeCommand(c.type, c.payload.data(), c.payload.size(), &out), 0) << c.type;
        for (size_t n = 0; n < c.payload.size(); ++n) {
            // Cut short of its own total: nothing decodes.
            EXPECT_EQ(TWIP_DecodeCommand(c.type, c.payload.data(), n, &out), 1) << c.type << " " << n;
            // Cut with a total that says so: only the form without the
            // trailing byte may still decode.
            if (n < KTN_HEADER_SIZE) continue;
            std::string cut = c.payload.substr(0, n);
            KTN_WriteHeader(reinterpret_cast<uint8_t*>(cut.data()), static_cast<uint32_t>(n));
            const int expected = c.withoutLastByte && n == c.payload.size() - 1 ? 0 : 1;
            EXPECT_EQ(TWIP_DecodeCommand(c.type, cut.data(), cut.size(), &out), expected) << c.type << " " << n;
            if (expected == 0) {
                EXPECT_EQ(out.trailing, -1);
            }
        }
    }
    TwipCommand out{};
    EXPECT_EQ(TWIP_DecodeCommand(7, Payload("%X", 1).data(), 7, &out), PV_CMD_UNKNOWN);
}

TEST(Decoders, AnswersDecodeByTypeAndRefuseCuts) {
    struct Case {
        int type;
        std::string payload;
        int fields;
        int status;
        int key;
        std::string text;
    };
    const Case cases[] = {
        {TWIP_DISPLAY, Payload("%X", 0), 1, 0, 255, ""},
        {TWIP_TOUCH, Payload("%X%X", 0, 0x83), 2, 0, 0x83, ""},
        {TWIP_TOUCH, Payload("%X%X", 16, 255), 1, 16, 255, ""},
        {TWIP_SELEC, Payload("%X%X", 0, 0x1FF), 2, 0, 255, ""},
        {TWIP_DATUM, Payload("%X%X%B", 0, 0x83, 4u, "1234"), 3, 0, 0x83, "1234"},
        {TWIP_DATUM, Payload("%X%X%B", 0, 0x83, 81u, std::string(81, '9').c_str()), 3, 0, 0x83, ""},
    };
    for (const Case& c : cases) {
        TwipAnswer a{};
        EXPECT_EQ(TWIP_DecodeAnswer(c.type, c.payload.data(), c.payload.size(), &a), c.fields) << c.payload;
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.key, c.key);
        EXPECT_EQ(std::string(a.text), c.text);
        for (size_t n = 0; n < c.payload.size(); ++n)
            EXPECT_EQ(TWIP_DecodeAnswer(c.type, c.payload.data(), n, &a), -1) << c.type << " " << n;
    }
}

}  // namespace
