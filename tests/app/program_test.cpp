// trv_71 as a black box: real processes, the POS link driven by the
// cash-register peer, events and the single-instance guard.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fork_child.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/wake_word.h"
#include "support/other_user.h"
#include "support/pos_peer.h"
#include "netsim/tcp_link.h"
#include "support/config_tree.h"
#include "support/net_config.h"
#include "support/temp_dir.h"
#include "support/trv_process.h"

using testsupport::PosPeer;
using testsupport::ConfigTree;
using testsupport::TrvProcess;

namespace {

std::string Station(int s) { return "-i" + std::to_string(s); }

const char* const kStop = "{SS}R{PS}1{SV}s3{CD}c99{F}";
const char* const kAbort = "{SS}R{PS}1{SV}s3{CD}c0{F}";

// Entries of /dev/shm that belong to a station (its POS link block and its
// events) or to a program file name. Other names that merely hold the
// station's digits (another test's program named after its pid) are not.
std::vector<std::string> ShmEntriesOf(int station, const std::string& program) {
    char padded[16];
    std::snprintf(padded, sizeof padded, "%03d", station);
    const std::string stationNames[] = {PosPeer::BlockName(station), std::string("TALVO") + padded,
                                        std::string("TRVOK") + padded};
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
        const std::string name = entry.path().filename().string();
        bool ours = name.find(program) != std::string::npos;
        for (const std::string& prefix : stationNames)
            ours = ours || name == prefix || name.starts_with(prefix + ".");
        if (ours) found.push_back(name);
    }
    return found;
}

// Waits (at most timeoutMs) for a child of ours to end: its exit code, 128 +
// the signal, or -2 when it still runs.
int WaitChild(pid_t pid, int64_t timeoutMs) {
    const int64_t end = plat::MonotonicMs() + timeoutMs;
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || plat::MonotonicMs() >= end) return -2;
        usleep(2000);
    }
}

// Waits (at most timeoutMs) until a file holds a text.
bool FileGetsText(const std::string& path, const std::string& text, int64_t timeoutMs = 10000) {
    const int64_t end = plat::MonotonicMs() + timeoutMs;
    while (testsupport::ReadFileText(path).find(text) == std::string::npos) {
        if (plat::MonotonicMs() >= end) return false;
        usleep(2000);
    }
    return true;
}

// A running program serving the POS link of a fresh station, with a peer.
// Its payment server refuses every connection.
struct LinkedProgram {
    ConfigTree dir;
    int station = testsupport::UniqueStation();
    TrvProcess trv{dir, "trv_71_link_" + std::to_string(station)};
    PosPeer peer;
    netsim::RefusingPort server;

    explicit LinkedProgram(int forcedStation = -1, bool peerWakes = false) {
        if (forcedStation >= 0) station = forcedStation;
        EXPECT_TRUE(testsupport::WriteNetFile(dir.str(), testsupport::LoopbackResource(0, server.port())));
        // The cash register's block first, as the library makes it.
        EXPECT_TRUE(peer.Open(station, peerWakes));
        trv.Start({Station(station), "-p" + dir.str()});
    }
    ~LinkedProgram() {
        peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}", 2000);
        trv.Wait(5000);
    }
};

}  // namespace

// A request for the usage prints every option and ends at once: a till of
// the same program file that runs goes on serving its link, and no named
// object of the station asked for appears (the usage used to start a till
// after it, ending the running one).
TEST(Program, HelpPrintsTheWholeUsageAndStartsNothing_Mended) {
    ConfigTree dir;
    TrvProcess running(dir, "trv_71_usage");
    const int runningStation = testsupport::UniqueStation();
    running.Start({Station(runningStation), "-p" + dir.str()}, "running");
    PosPeer peer;
    ASSERT_TRUE(peer.Open(runningStation));
    ASSERT_EQ(peer.Exchange(kAbort), "1");
    for (const char* help : {"-?", "-h", "--help"}) {
        TrvProcess asker(dir, "trv_71_usage");  // the same program file
        const int station = testsupport::UniqueStation();
        asker.Start({Station(station), "-g1", help, "-R{SS}R{PS}1{SV}s3{CD}c0{F}"}, "help");
        EXPECT_EQ(asker.Wait(), 0) << help;
        const std::string out = asker.Out();
        EXPECT_EQ(out.rfind("\nSYNTAXE D'APPEL:\n\ttrv_71 [-istationid]", 0), 0u) << out;
        EXPECT_NE(out.find("[-ggenerateevent]"), std::string::npos) << out;
        EXPECT_EQ(out.find("genearte"), std::string::npos) << out;
        for (const char* option : {"-i<n>", "-r<n>", "-l<n>", "-d<n>", "-f<name>", "-m<KB>", "-c<n>", "-p<path>",
                                   "-e<n>", "-g<n>", "-o<n>", "-t<s>", "-R<request>", "-?, -h, --help"})
            EXPECT_NE(out.find(std::string("\n  ") + option + " "), std::string::npos) << help << ": " << option;
        // No answer of the one-shot request: nothing was served.
        EXPECT_EQ(out.find("{SV}s3"), std::string::npos) << out;
        EXPECT_TRUE(ShmEntriesOf(station, "/").empty()) << help;  // "/": no program name
        EXPECT_EQ(peer.Exchange(kAbort), "1") << "the running till after " << help;
    }
    peer.Send(kStop);
    EXPECT_EQ(running.Wait(10000), 0);
}

TEST(Program, OneShotRequestsAnswerOnStandardOutput) {
    struct Case {
        const char* request;
        const char* answer;
    } cases[] = {
        {"{SS}R{PS}1{SV}s3{CD}c0{F}", "1"},
        {"{SV}s3{CD}c0{F}", "5"},
        {"{SS}R{SV}s99{CD}c1{F}", "5"},
        {"{SS}R{SV}s12{CD}c99{F}", "5"},
    };
    ConfigTree dir;
    TrvProcess trv(dir, "trv_71_oneshot");
    for (const Case& c : cases) {
        trv.Start({Station(testsupport::UniqueStation()), std::string("-R") + c.request});
        EXPECT_EQ(trv.Wait(), 1) << c.request;
        EXPECT_EQ(trv.Out(), c.answer) << c.request;
    }
}

TEST(Program, OverLongArgumentEndsAtOnceWithZero) {
    ConfigTree dir;
    TrvProcess trv(dir, "trv_71_long");
    trv.Start({"-R" + std::string(10240, 'x')});
    EXPECT_EQ(trv.Wait(), 0);
    EXPECT_EQ(trv.Out(), "");
}

TEST(Program, SecondStartEndsTheFirstWithExitCodeZero) {
    ConfigTree dir;
    TrvProcess first(dir, "trv_71_single");
    TrvProcess second(dir, "trv_71_single");
    const int station = testsupport::UniqueStation();
    const int secondStation = testsupport::UniqueStation();
    first.Start({Station(station), "-p" + dir.str()}, "first");
    PosPeer peer;
    ASSERT_TRUE(peer.Open(station));
    // The first program serves its link before the second starts.
    ASSERT_EQ(peer.Exchange("{SS}R{PS}1{SV}s3{CD}c0{F}"), "1");
    second.Start({Station(secondStation), "-p" + dir.str()}, "second");
    EXPECT_EQ(first.Wait(10000), 0);
    // The process-id block is private to the user.
    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm/##_" + second.name()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    PosPeer peer2;
    ASSERT_TRUE(peer2.Open(secondStation));
    EXPECT_EQ(peer2.Exchange("{SS}R{PS}1{SV}s3{CD}c0{F}"), "1");
    peer2.Send("{SS}R{PS}1{SV}s3{CD}c99{F}");
    EXPECT_EQ(second.Wait(10000), 0);
}

TEST(Program, StartUpEventsWithAndWithoutSessionLine) {
    for (const char* debug : {"-d1", "-d0"}) {
        ConfigTree dir;
        const int station = testsupport::UniqueStation();
        TrvProcess trv(dir, "trv_71_events");
        plat::NamedEvent ready;
        char name[32];
        std::snprintf(name, sizeof name, "TRVOK%03d", station);
        ASSERT_EQ(ready.Open(name), 0);
        trv.Start({Station(station), "-g1", debug, "-p" + dir.str()});
        EXPECT_EQ(ready.Wait(10000), plat::EventWait::Signalled) << debug;
        EXPECT_EQ(ready.Wait(300), plat::EventWait::TimedOut) << "signalled once " << debug;
        plat::NamedEvent message;
        std::snprintf(name, sizeof name, "TALVO%03u", static_cast<unsigned>(station));
        EXPECT_EQ(message.OpenExisting(name), 0) << debug;
        PosPeer peer;
        ASSERT_TRUE(peer.Open(station));
        // The acknowledgement is written without the event, the final answer
        // with it.
        ASSERT_TRUE(peer.Send("{SS}R{PS}1{SV}s12{CD}c25{F}"));
        EXPECT_EQ(peer.Receive(10000).value_or(""), "0");
        EXPECT_EQ(message.Wait(10000), plat::EventWait::Signalled);
        EXPECT_NE(peer.Receive(2000).value_or("").find("{RS}01{F}"), std::string::npos);
        EXPECT_EQ(message.Wait(0), plat::EventWait::TimedOut);
        peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}");
        EXPECT_EQ(trv.Wait(), 0);
        const bool sessionLine = trv.Err().find("OUVERTURE DE SESSION Version 13.0.26.000000") != std::string::npos;
        EXPECT_EQ(sessionLine, std::string(debug) == "-d1");
    }
}

TEST(Program, RequestsThroughThePosLink) {
    struct Case {
        const char* request;
        const char* expected;  // acknowledgement, then "|" and the final answer
    } cases[] = {
        {"{SS}R{PS}1{SV}s3{CD}c0{F}", "1"},
        {"{PS}1{SV}s0{CD}c1{F}", "5"},
        {"{SS}R{PS}1{CD}c1{F}", "5"},
        {"{SS}R{PS}1{SV}s0{F}", "5"},
        {"{SS}A{PS}1{SV}s0{CD}c1{F}", "5"},
        {"{SS}R{PS}1{SV}s77{CD}c1{F}", "5"},
        {"{SS}R{PS}1{SV}s1{CD}c12{F}", "5"},
        {"{SS}R{PS}1{SV}s12{CD}c99{F}", "5"},
        {"{SS}R{PS}1{SV}s12{CD}c25{F}", "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}@{SV}s12{CD}c25{RS}01{F}"},
        {"{SS}R{PS}1{SV}s0{CD}c1{D10}100{F}", "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}@{SV}s0{CD}c1{RS}32{F}"},
        // The maintenance reaches no server: result 31.
        {"{SS}R{PS}1{SV}S2{CD}c19{F}", "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}@{SV}S2{CD}c19{RS}31{F}"},
        {"{SS}R{PS}1{SV}s4{CD}c43{F}", "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}@{SV}s4{CD}c43{RS}32{F}"},
        {"{SS}R{PS}1{SV}s0{CD}c1{LTY}NOWHERE{F}", "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}@{SV}s0{CD}c1{RS}36{F}"},
        {"{SS}R{PS}1{SV}s0{CD}c1{D16}A2{F}", "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}@{SV}s0{CD}c1{RS}99{F}"},
        {"{SS}R{PS}1{SV}s0{CD}cj{F}", "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}@{SV}s0{CD}cj{RS}01{F}"},
    };
    LinkedProgram p;
    for (const Case& c : cases) {
        std::string expected = c.expected;
        const size_t at = expected.find('@');
        if (at != std::string::npos) expected.replace(at, 1, std::to_string(p.station));
        // A card request without a terminal ends after the terminal-failure
        // message's pause (4 s): the bound leaves room for a loaded machine.
        EXPECT_EQ(p.peer.Exchange(c.request, 30000), expected) << c.request;
    }
    // The transaction and the maintenance reached their states: their
    // handlers traced the request they were given.
    p.peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}");
    EXPECT_EQ(p.peer.Receive(5000).value_or(""), "0");
    EXPECT_EQ(p.trv.Wait(), 0);
    EXPECT_NE(p.trv.Err().find("[CARD]     >>>>> Emission des scripts de lecture carte echouee (18)"),
              std::string::npos)
        << p.trv.Err();
    EXPECT_NE(p.trv.Err().find("CONNEXION ECHOUE PRINCIPAL"), std::string::npos);
    EXPECT_NE(p.trv.Err().find("Arret client monetique demande"), std::string::npos);
}

// The program wakes a cash register that declares it wakes the program, and
// sleeps until that one writes; a cash register that never wakes it is
// polled and gets the same answers, in the same order.
TEST(Program, CashRegistersThatWakeTheProgramOrNeverDoAreServedAlike) {
    for (const bool wakes : {true, false}) {
        SCOPED_TRACE(wakes ? "waking cash register" : "cash register that never wakes the program");
        LinkedProgram p(-1, wakes);
        poslink::WakeArea* area = p.peer.wakeArea();
        ASSERT_NE(area, nullptr);
        // Opened: the program declares that it wakes its cash register.
        const int64_t end = plat::MonotonicMs() + 10000;
        while (std::atomic_ref<uint32_t>(area->programBumps).load() != 1 && plat::MonotonicMs() < end) usleep(1000);
        ASSERT_EQ(std::atomic_ref<uint32_t>(area->programBumps).load(), 1u);
        if (wakes) {
            // Idle, it sleeps on the word of its incoming mailbox.
            while (plat::SleepersOf(area->fromPos) == 0 && plat::MonotonicMs() < end) usleep(1000);
            EXPECT_EQ(plat::SleepersOf(area->fromPos), 1u);
        }
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(p.peer.Exchange(kAbort), "1");
            EXPECT_EQ(p.peer.Exchange("{SS}R{PS}1{SV}s12{CD}c25{F}"),
                      "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}" + std::to_string(p.station) +
                          "{SV}s12{CD}c25{RS}01{F}");
            EXPECT_EQ(p.peer.Exchange("{SS}R{PS}1{SV}s77{CD}c1{F}"), "5");
        }
    }
}

TEST(Program, StationZeroIsRefusedWithResult98) {
    ConfigTree dir;
    TrvProcess trv(dir, "trv_71_station0");
    trv.Start({"-i", "-p" + dir.str()});  // -i alone: station 0
    PosPeer peer;
    ASSERT_TRUE(peer.Open(0));
    EXPECT_EQ(peer.Exchange("{SS}R{PS}0{SV}s0{CD}c1{F}"),
              "0|{ZNP}13.0.26.000000_Nov 24 2023{SS}A{PS}0{SV}s0{CD}c1{RS}98{F}");
    peer.Send("{SS}R{PS}0{SV}s3{CD}c99{F}");
    EXPECT_EQ(peer.Receive(5000).value_or(""), "0");
    EXPECT_EQ(trv.Wait(), 0);
}

TEST(Program, StaleRequestOfACrashedRunIsNeverServed) {
    ConfigTree dir;
    const int station = testsupport::UniqueStation();
    // A run that crashed left a stop request in the program's mailbox.
    const pid_t crashed = fork();
    if (crashed == 0) {
        PosPeer stale;
        if (!stale.Open(station)) _exit(1);
        stale.Send("{SS}R{PS}1{SV}s3{CD}c99{F}");
        _exit(0);  // no clean-up: the block outlives the process
    }
    int status = 0;
    waitpid(crashed, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);

    TrvProcess trv(dir, "trv_71_stale");
    trv.Start({Station(station), "-p" + dir.str()});
    // Let the program map the block first: it is then its first live user.
    const std::string mapsPath = "/proc/" + std::to_string(trv.pid()) + "/maps";
    const std::string blockName = PosPeer::BlockName(station);
    bool mapped = false;
    for (int i = 0; i < 5000 && !mapped; ++i) {
        std::ifstream maps(mapsPath);
        std::string line;
        while (std::getline(maps, line))
            if (line.find("/" + blockName) != std::string::npos) mapped = true;
        if (!mapped) usleep(1000);
    }
    ASSERT_TRUE(mapped);
    PosPeer peer;
    ASSERT_TRUE(peer.Open(station));
    // The program answers this request only (it was not stopped by the stale one).
    EXPECT_EQ(peer.Exchange("{SS}R{PS}1{SV}s3{CD}c0{F}"), "1");
    EXPECT_EQ(trv.Wait(200), -2);
    peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}");
    EXPECT_EQ(trv.Wait(), 0);
}

TEST(Program, NormalEndRemovesEveryNamedObjectOfTheProgram_Mended) {
    ConfigTree dir;
    const int station = testsupport::UniqueStation();
    TrvProcess trv(dir, "trv_71_clean");
    trv.Start({Station(station), "-g1", "-p" + dir.str()});
    {
        PosPeer peer;
        ASSERT_TRUE(peer.Open(station));
        ASSERT_EQ(peer.Exchange(kAbort), "1");
        EXPECT_FALSE(ShmEntriesOf(station, trv.name()).empty());
        ASSERT_TRUE(peer.Send(kStop));
        EXPECT_EQ(peer.Receive(5000).value_or(""), "0");
        EXPECT_EQ(trv.Wait(), 0);
    }
    // Single-instance objects, events and (once the cash register has gone
    // too) the POS link block.
    EXPECT_EQ(ShmEntriesOf(station, trv.name()), std::vector<std::string>{});
}

TEST(Program, StartOfAProgramFileOfTheSameNameEndsTheRunningOneWhateverItsDirectory_Mended) {
    // Three starts of one file name from two directories: each start ends
    // the program that runs, so one program alone runs at the end.
    ConfigTree dirA, dirB;
    TrvProcess first(dirA, "trv_71_guard");
    TrvProcess other(dirB, "trv_71_guard");
    TrvProcess third(dirA, "trv_71_guard");
    const int stations[3] = {testsupport::UniqueStation(), testsupport::UniqueStation(),
                             testsupport::UniqueStation()};
    TrvProcess* programs[3] = {&first, &other, &third};
    const std::string dirs[3] = {dirA.str(), dirB.str(), dirA.str()};
    // The cash registers keep their blocks open while the later starts end
    // the programs.
    PosPeer peers[3];
    for (int i = 0; i < 3; ++i) {
        programs[i]->Start({Station(stations[i]), "-p" + dirs[i]}, "run" + std::to_string(i));
        ASSERT_TRUE(peers[i].Open(stations[i]));
        ASSERT_EQ(peers[i].Exchange(kAbort), "1") << i;
        if (i > 0) {
            EXPECT_EQ(programs[i - 1]->Wait(10000), 0) << "start " << i << " ends the running program";
        }
    }
    ASSERT_TRUE(peers[2].Send(kStop));
    EXPECT_EQ(third.Wait(), 0);
}

TEST(Program, RecordedProcessOfAnotherProgramIsNeverEnded) {
    // The guard's name is open and its block records the pid of a process
    // that runs another program (as a pid of an ended program given to
    // another process would).
    ConfigTree dir;
    TrvProcess trv(dir, "trv_71_reused");
    testsupport::ForkedChild unrelated([](testsupport::Channel& ch) { return ch.receive(60000) == 'q' ? 0 : 1; });
    ASSERT_TRUE(unrelated.started());
    plat::NamedMutex name;
    ASSERT_EQ(name.Open("$$_" + trv.name()), 0);
    plat::SharedMemory pidBlock;
    ASSERT_EQ(pidBlock.Open("##_" + trv.name(), sizeof(int32_t), plat::SharedMemory::Mode::OpenOrCreate),
              plat::ShmError::None);
    *static_cast<int32_t*>(pidBlock.data()) = unrelated.pid();
    const int station = testsupport::UniqueStation();
    trv.Start({Station(station), "-p" + dir.str()});
    PosPeer peer;
    ASSERT_TRUE(peer.Open(station));
    ASSERT_EQ(peer.Exchange(kAbort), "1");
    EXPECT_EQ(*static_cast<int32_t*>(pidBlock.data()), trv.pid());
    unrelated.send('q');
    EXPECT_EQ(unrelated.wait(), 0);  // not ended by a signal
    ASSERT_TRUE(peer.Send(kStop));
    EXPECT_EQ(trv.Wait(), 0);
}

TEST(Program, ProgramWhoseHostEndedEndsByItselfAndRemovesItsObjects_Mended) {
    // The host starts the program and is then killed. This process adopts
    // the orphan (child subreaper) so that it can see how it ended. The
    // program either polls its cash register or sleeps until it is woken:
    // the host's end ends it in both cases.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (const bool asleep : {false, true}) {
    SCOPED_TRACE(asleep ? "asleep" : "polling");
    ConfigTree dir;
    const int station = testsupport::UniqueStation();
    TrvProcess trv(dir, "trv_71_orphan");  // makes the program file
    const std::string err = dir.file("orphan.err");
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t host = fork();
    ASSERT_GE(host, 0);
    if (host == 0) {
        close(report[0]);
        const pid_t program = fork();
        if (program == 0) {
            close(report[1]);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int n = open("/dev/null", O_WRONLY);
            dup2(n, 1);
            dup2(e, 2);
            if (chdir(dir.str().c_str()) != 0) _exit(126);
            const std::string i = Station(station), p = "-p" + dir.str();
            execl(trv.program().c_str(), trv.program().c_str(), i.c_str(), "-g1", p.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (write(report[1], &program, sizeof program) != sizeof program) _exit(1);
        for (;;) pause();
    }
    close(report[1]);
    pid_t program = -1;
    ASSERT_EQ(read(report[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
    close(report[0]);
    PosPeer peer;
    ASSERT_TRUE(peer.Open(station, asleep));
    EXPECT_EQ(peer.Exchange(kAbort), "1");
    if (!asleep) peer.Close();
    ASSERT_EQ(kill(host, SIGKILL), 0);
    ASSERT_EQ(waitpid(host, nullptr, 0), host);
    const int code = WaitChild(program, 10000);
    if (code == -2) {
        kill(program, SIGKILL);
        waitpid(program, nullptr, 0);
    }
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(FileGetsText(err, "terminee: arret du client monetique", 0));
    peer.Close();
    EXPECT_EQ(ShmEntriesOf(station, trv.name()), std::vector<std::string>{});
    }
}

// SIGTERM (the operator's, or a newer start's) ends the program at once with
// exit code 0: its trace says who sent it, and its named objects go with it
// (the POS link block once the cash register has closed it too).
TEST(Program, SigtermLeavesNoNamedObjectAndATraceLine_Mended) {
    struct Case {
        const char* what;
        bool traceFile;      // a WOut directory: the trace goes to its file
        bool peerStaysOpen;  // the cash register keeps the block open
    } cases[] = {
        {"trace file, cash register gone first", true, false},
        {"standard error, cash register still there", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConfigTree dir;
        if (c.traceFile) std::filesystem::create_directory(dir.file("WOut"));
        const int station = testsupport::UniqueStation();
        // Whatever a failing run leaves of the station and the program goes
        // once the program is gone.
        struct Leftovers {
            int station;
            std::string program;
            ~Leftovers() {
                for (const std::string& entry : ShmEntriesOf(station, program)) unlink(("/dev/shm/" + entry).c_str());
            }
        } leftovers{station, "trv_71_sigterm_" + std::to_string(getpid())};
        TrvProcess trv(dir, "trv_71_sigterm");
        trv.Start({Station(station), "-r" + std::to_string(station), "-g1", "-p" + dir.str()});
        PosPeer peer;
        ASSERT_TRUE(peer.Open(station));
        ASSERT_EQ(peer.Exchange(kAbort), "1");  // ready: the events and the guard exist
        EXPECT_FALSE(ShmEntriesOf(station, trv.name()).empty());
        if (!c.peerStaysOpen) peer.Close();
        ASSERT_EQ(kill(trv.pid(), SIGTERM), 0);
        EXPECT_EQ(trv.Wait(10000), 0);
        if (c.peerStaysOpen) {
            EXPECT_EQ(ShmEntriesOf(station, trv.name()),
                      (std::vector<std::string>{PosPeer::BlockName(station), PosPeer::BlockName(station) + ".users"}));
            peer.Close();
        }
        EXPECT_EQ(ShmEntriesOf(station, trv.name()), std::vector<std::string>{});
        char trace[32];
        std::snprintf(trace, sizeof trace, "WOut/CA%03d000.SPO", station);
        const std::string text = testsupport::ReadFileText(c.traceFile ? dir.file(trace) : dir.file("run.err"));
        EXPECT_NE(text.find("** INFO. **   [TRV_71]    >>>>> Signal d'arret recu (processus " +
                            std::to_string(getpid()) + "): arret du client monetique"),
                  std::string::npos)
            << text;
    }
}

TEST(Program, PosLinkObjectsOfAnotherUserAreNeverUsed_Mended) {
    const std::string why = testsupport::OtherUserUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    struct Case {
        const char* what;
        std::vector<std::string> planted;  // files the other user puts there first
        const char* events;
        const char* traceLine;
        int exitCode;  // -2: runs on without a POS link
    };
    const int station = testsupport::UniqueStation();
    const std::string block = PosPeer::BlockName(station);
    char event[32];
    std::snprintf(event, sizeof event, "TALVO%03d.event", station);
    const Case cases[] = {
        {"block", {block, block + ".users"}, "-g0", "refuse (autre proprietaire", -2},
        {"block alone", {block}, "-g0", "refuse (autre proprietaire", -2},
        {"event", {event, std::string(event) + ".users"}, "-g1", "refuse (autre proprietaire", 255},
    };
    for (const Case& c : cases) {
        // The other user's block holds a stop request for the program, open
        // to everyone.
        ASSERT_EQ(testsupport::RunAsOtherUser([&] {
                      for (const auto& f : c.planted) {
                          const int fd = open(("/dev/shm/" + f).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
                          if (fd < 0 || fchmod(fd, 0666) != 0 || ftruncate(fd, 40962) != 0) return 1;
                          char request[64] = "1";
                          std::strcpy(request + 1, kStop);
                          if (pwrite(fd, request, sizeof request, poslink::kFromPosMailbox) != sizeof request) return 2;
                          close(fd);
                      }
                      return 0;
                  }),
                  0)
            << c.what;
        ConfigTree dir;
        TrvProcess trv(dir, "trv_71_foreign");
        trv.Start({Station(station), c.events, "-p" + dir.str()});
        if (c.exitCode == -2) {
            EXPECT_TRUE(FileGetsText(dir.file("run.err"), c.traceLine)) << c.what;
            EXPECT_EQ(trv.Wait(100), -2) << c.what;  // the planted stop request was not served
        } else {
            EXPECT_EQ(trv.Wait(), c.exitCode) << c.what;
            EXPECT_NE(trv.Err().find(c.traceLine), std::string::npos) << c.what;
        }
        // Nothing was read from or written into the planted files.
        for (const auto& f : c.planted) {
            std::ifstream in("/dev/shm/" + f, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ASSERT_EQ(bytes.size(), 40962u) << f;
            EXPECT_EQ(bytes[poslink::kToPosMailbox], 0) << c.what << " " << f;
            EXPECT_EQ(bytes[poslink::kFromPosMailbox], '1') << c.what << " " << f;
            EXPECT_EQ(bytes.substr(poslink::kFromPosMailbox + 1, std::strlen(kStop)), kStop) << c.what << " " << f;
        }
        if (c.exitCode == -2) {
            kill(trv.pid(), SIGTERM);
            EXPECT_EQ(trv.Wait(), 0);
        }
        for (const auto& f : c.planted) unlink(("/dev/shm/" + f).c_str());
    }
}
