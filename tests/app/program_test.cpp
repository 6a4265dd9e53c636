// trv_71 as a black box: real processes, the POS link driven by the
// cash-register peer, events and the single-instance guard.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/named_event.h"
#include "platform/process.h"
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

// A running program serving the POS link of a fresh station, with a peer.
// Its payment server refuses every connection.
struct LinkedProgram {
    ConfigTree dir;
    int station = testsupport::UniqueStation();
    TrvProcess trv{dir, "trv_71_link_" + std::to_string(station)};
    PosPeer peer;
    netsim::RefusingPort server;

    explicit LinkedProgram(int forcedStation = -1) {
        if (forcedStation >= 0) station = forcedStation;
        EXPECT_TRUE(testsupport::WriteNetFile(dir.str(), testsupport::LoopbackResource(0, server.port())));
        trv.Start({Station(station), "-p" + dir.str()});
        EXPECT_TRUE(peer.Open(station));
    }
    ~LinkedProgram() {
        peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}", 2000);
        trv.Wait(5000);
    }
};

}  // namespace

TEST(Program, UsageIsPrintedAndStartUpGoesOn) {
    ConfigTree dir;
    TrvProcess trv(dir, "trv_71_usage");
    trv.Start({"-?", Station(testsupport::UniqueStation()), "-R{SS}R{PS}1{SV}s3{CD}c0{F}"});
    EXPECT_EQ(trv.Wait(), 1);
    EXPECT_EQ(trv.Out(),
              "\nSYNTAXE D'APPEL:\n\ttrv_71 [-istationid] [-llangue] [-ddebuglevel] [-ffiletrace] "
              "[-mmodulotrace] [-cclientnettype] [-rresourceid] [-pmainpath] [-eechomode] "
              "[-ggenearteevent]1");
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
    second.Start({"-?", Station(secondStation), "-p" + dir.str()}, "second");
    EXPECT_EQ(first.Wait(10000), 0);
    // The process-id block is private to the user.
    struct stat st {};
    ASSERT_EQ(stat("/dev/shm/##_trv_71_single", &st), 0);
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
        EXPECT_EQ(p.peer.Exchange(c.request), expected) << c.request;
    }
    // The transaction and the maintenance reached their states: their
    // handlers traced the request they were given.
    p.peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}");
    EXPECT_EQ(p.peer.Receive(5000).value_or(""), "0");
    EXPECT_EQ(p.trv.Wait(), 0);
    EXPECT_NE(p.trv.Err().find("[CARD]     >>>>> Transaction impossible: aucun lecteur configure (SV s0 CD c1)"),
              std::string::npos);
    EXPECT_NE(p.trv.Err().find("CONNEXION ECHOUE PRINCIPAL"), std::string::npos);
    EXPECT_NE(p.trv.Err().find("Arret client monetique demande"), std::string::npos);
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
