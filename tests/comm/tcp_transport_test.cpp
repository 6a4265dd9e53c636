// TCP transport over loopback: services, station identification, accept,
// bounded reads, writes and connects, orderly and abortive closes, and the
// close registered for process exit.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../platform/fork_child.h"
#include "comm/network_dispatch.h"
#include "comm/tcp_transport.h"
#include "netsim/scripted_peer.h"
#include "netsim/tcp_link.h"
#include "platform/clock.h"
#include "support/net_contexts.h"
#include "support/rushing_clock.h"
#include "support/trace_capture.h"

namespace {

using testsupport::TraceCapture;

using testsupport::RushingClock;

// Listening socket of the transport on a free port (the port in *port).
int OpenServer(int* port, int8_t reuse = 1) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const uint16_t p = netsim::UnusedLoopbackPort();
        const int s = WTCPOpenServer(std::to_string(p).c_str(), 5, reuse, "");
        if (s >= 0) {
            *port = p;
            return s;
        }
    }
    return -1;
}

class Tcp : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv("C_LOCAL");
        WTCPSetConnectTimeOut(3, 0);
    }
};

TEST_F(Tcp, ConnectTimeOutKeepsItsLastValidSetting) {
    WTCPSetConnectTimeOut(1, 500000);
    EXPECT_EQ(WTCPGetConnectTimeOutMs(), 1500);
    WTCPSetConnectTimeOut(-1, 0);
    WTCPSetConnectTimeOut(2, -5);
    EXPECT_EQ(WTCPGetConnectTimeOutMs(), 1500);
    WTCPSetConnectTimeOut(0, 0);
    EXPECT_EQ(WTCPGetConnectTimeOutMs(), 0);
}

TEST_F(Tcp, ServicesThatGiveNoPort) {
    struct Case {
        const char* service;
        const char* message;
    };
    const Case cases[] = {
        {"0", "-- ERROR -- WTCPOpenServer(): echec transformation port : 0"},
        {"0abc", "-- ERROR -- WTCPOpenServer(): echec transformation port : 0abc"},
        {"70000", "-- ERROR -- WTCPOpenServer(): echec transformation port : 70000"},
        {"no-such-service-znp", "-- ERROR -- WTCPOpenServer(): echec recuperation port dans fichier services"},
    };
    for (const auto& c : cases) {
        TraceCapture trace;
        EXPECT_EQ(WTCPOpenServer(c.service, 5, 1, ""), -1) << c.service;
        EXPECT_TRUE(trace.Contains(c.message)) << c.service;
    }
    TraceCapture trace;
    EXPECT_EQ(WTCPOpenClient("127.0.0.1", "0"), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WTCPOpenClient(): echec transformation port : 0"));
    EXPECT_EQ(WTCPOpenClient("127.0.0.1", "no-such-service-znp"), -1);
    EXPECT_TRUE(trace.Contains("echec recuperation port dans fichier services no-such-service-znp"));
    EXPECT_EQ(WTCPOpenClient("", "8000"), -1);
    EXPECT_TRUE(trace.Contains("** INFO. ** WTCPOpenClient(): echec recuperation hostname dans fichier hosts : "));
}

TEST_F(Tcp, ServiceWithTrailingLettersListensOnItsNumber) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const uint16_t p = netsim::UnusedLoopbackPort();
        const int s = WTCPOpenServer((std::to_string(p) + "abc").c_str(), 5, 1, "");
        if (s < 0) continue;
        auto link = netsim::ConnectLoopback(p, 2000);
        EXPECT_NE(link, nullptr);
        EXPECT_EQ(WTCPClose(s), 0);
        return;
    }
    FAIL() << "no port could be opened";
}

TEST_F(Tcp, StationOfAPeerFromItsNames) {
    struct Case {
        const char* name;
        std::vector<std::string> aliases;
        const char* local;
        int station;
    };
    const Case cases[] = {
        {"caisse7", {}, nullptr, 7},
        {"Caisse8", {}, nullptr, 8},
        {"c12.shop.example", {}, nullptr, 12},
        {"C3", {}, nullptr, 3},
        {"Poste3", {}, nullptr, 3},
        {"poste11", {}, nullptr, 11},
        {"p4", {}, nullptr, 4},
        {"S2", {}, nullptr, 2},
        {"station8", {}, nullptr, 8},
        {"pos7", {}, nullptr, -1},
        {"kiosk", {"c14"}, nullptr, 14},
        {"kiosk", {"tablet", "caisse9"}, nullptr, 9},
        {"kiosk", {"p4"}, nullptr, -1},  // aliases are read with c and caisse only
        {"kiosk", {}, "c5", 5},
        {nullptr, {}, "c5", 5},
        {"caisse7", {}, "c5", 7},  // a name that matches wins over C_LOCAL
        {"kiosk", {}, "x5", -1},
        {nullptr, {}, nullptr, -1},
    };
    for (const auto& c : cases) {
        if (c.local != nullptr)
            setenv("C_LOCAL", c.local, 1);
        else
            unsetenv("C_LOCAL");
        EXPECT_EQ(WTCPIdentifyStation(c.name, c.aliases), c.station) << (c.name ? c.name : "(no name)");
    }
}

TEST_F(Tcp, AcceptNamesTheStationOrRefusesAnUnknownTill) {
    int port = 0;
    const int server = OpenServer(&port);
    ASSERT_GE(server, 0);
    int station = -9;
    {
        // Nobody waits: -1 at once and nothing reported.
        TraceCapture trace;
        EXPECT_EQ(WTCPConnect(server, &station), -1);
        EXPECT_EQ(trace.count(), 0u);
    }
    // The loopback peer is "localhost": no till name, so C_LOCAL decides.
    setenv("C_LOCAL", "c5", 1);
    auto known = netsim::ConnectLoopback(static_cast<uint16_t>(port), 2000);
    ASSERT_NE(known, nullptr);
    int accepted = -1;
    TraceCapture trace;
    for (int i = 0; i < 200 && accepted < 0; ++i) accepted = WTCPConnect(server, &station);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(station, 5);
    EXPECT_TRUE(trace.Contains("** INFO. ** WTCPConnect(): 127.0.0.1"));
    EXPECT_EQ(WTCPDisConnect(accepted), 0);

    unsetenv("C_LOCAL");
    auto unknown = netsim::ConnectLoopback(static_cast<uint16_t>(port), 2000);
    ASSERT_NE(unknown, nullptr);
    int refused = -1;
    for (int i = 0; i < 200 && !trace.Contains("caisse inconnue"); ++i) refused = WTCPConnect(server, &station);
    EXPECT_EQ(refused, -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WTCPConnect(): caisse inconnue"));
    // The refused till sees its link closed.
    EXPECT_TRUE(unknown->waitClosed(2000));
    EXPECT_EQ(WTCPConnect(-1, &station), -1);
    EXPECT_EQ(WTCPClose(server), 0);
    EXPECT_EQ(WTCPClose(-1), -1);
}

TEST_F(Tcp, ReadPeekAndTheirBoundedWaits) {
    auto steps = netsim::ParsePeerScript("send \"abc\"\nexpect \"xyz\"\nclose\n", nullptr);
    ASSERT_TRUE(steps);
    netsim::ScriptedPeer peer;
    ASSERT_TRUE(peer.start(*steps));
    const int s = WTCPOpenClient("127.0.0.1", std::to_string(peer.port()).c_str());
    ASSERT_GE(s, 0);
    char buffer[8] = {};
    int peeked = 0;
    for (int i = 0; i < 50 && peeked == 0; ++i) peeked = WTCPPeek(s, buffer, sizeof buffer);
    EXPECT_EQ(peeked, 3);
    EXPECT_EQ(WTCPRead(s, buffer, 2), 2);  // at most the capacity
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_EQ(WTCPRead(s, buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], 'c');
    EXPECT_EQ(WTCPWrite(s, "xyz", 3), 3);
    EXPECT_EQ(peer.wait(5000), "");
    int r = 0;
    for (int i = 0; i < 50 && r == 0; ++i) r = WTCPRead(s, buffer, sizeof buffer);
    EXPECT_EQ(r, -2);  // the peer closed
    EXPECT_EQ(WTCPPeek(s, buffer, sizeof buffer), -2);
    EXPECT_EQ(WTCPDisConnect(s), 0);

    TraceCapture trace;
    EXPECT_EQ(WTCPRead(-1, buffer, 1), -2);
    EXPECT_EQ(WTCPPeek(-1, buffer, 1), -1);
    EXPECT_EQ(WTCPWrite(-1, "x", 1), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WTCPRead: invalid socket"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- WTCPPeek: invalid socket"));
    EXPECT_TRUE(trace.Contains("-- ERROR -- WTCPWrite: invalid socket"));
    EXPECT_EQ(WTCPDisConnect(-1), -1);
    EXPECT_EQ(WTCPHardDisConnect(-1), -1);
    EXPECT_EQ(WTCPSetNonBlocking(-1, 1), -1);
}

TEST_F(Tcp, SilentPeerGivesNothingWithinAReadWait) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open());
    const int s = WTCPOpenClient("127.0.0.1", std::to_string(listener.port()).c_str());
    ASSERT_GE(s, 0);
    char b[4];
    EXPECT_EQ(WTCPRead(s, b, sizeof b), 0);
    EXPECT_EQ(WTCPPeek(s, b, sizeof b), 0);
    EXPECT_EQ(WTCPDisConnect(s), 0);
}

TEST_F(Tcp, WriteToAPeerThatNeverReadsGivesUpAfterTenSeconds) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open(0, 4, 4096));
    const int s = WTCPOpenClient("127.0.0.1", std::to_string(listener.port()).c_str());
    ASSERT_GE(s, 0);
    auto accepted = listener.accept(2000);
    ASSERT_NE(accepted, nullptr);
    RushingClock clock;
    plat::ScopedClock scoped(&clock);
    std::vector<char> chunk(65536, 'f');
    TraceCapture trace;
    int r = 1;
    int writes = 0;
    while (r > 0 && writes < 10000) {
        r = WTCPWrite(s, chunk.data(), static_cast<uint32_t>(chunk.size()));
        ++writes;
    }
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WTCPWrite():pas de connexion"));
    EXPECT_EQ(WTCPHardDisConnect(s), 0);
}

TEST_F(Tcp, ConnectToAFullQueueEndsAtTheConnectTimeOutQuietly) {
    netsim::FullBacklogListener full;
    ASSERT_TRUE(full.open());
    WTCPSetConnectTimeOut(0, 200000);
    TraceCapture trace;
    EXPECT_EQ(WTCPOpenClient("127.0.0.1", std::to_string(full.port()).c_str()), -1);
    for (const auto& line : trace.lines()) EXPECT_EQ(line.find("ERROR"), std::string::npos) << line;
}

TEST_F(Tcp, ConnectToAClosedPortFails) {
    TraceCapture trace;
    EXPECT_EQ(WTCPOpenClient("127.0.0.1", std::to_string(netsim::UnusedLoopbackPort()).c_str()), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WTCPOpenClient(): echec connect"));
}

// Sends to a peer that reads nothing until the program has closed, so that
// part of what was sent is still queued at the close; then closes (hard or
// orderly) and returns what was sent and what the peer got before the end.
struct CloseOutcome {
    std::string sent;
    std::string received;
    bool ended = false;
};

CloseOutcome SendThenClose(bool hard) {
    CloseOutcome out;
    netsim::Listener listener;
    if (!listener.open(0, 4, 4096)) return out;
    const int s = WTCPOpenClient("127.0.0.1", std::to_string(listener.port()).c_str());
    if (s < 0) return out;
    auto peer = listener.accept(2000);
    if (!peer) return out;
    {
        RushingClock clock;  // a full queue gives up at once
        plat::ScopedClock scoped(&clock);
        std::vector<char> chunk(16384);
        for (int i = 0; i < 400; ++i) {
            for (size_t j = 0; j < chunk.size(); ++j) chunk[j] = static_cast<char>('a' + (out.sent.size() + j) % 26);
            const int n = WTCPWrite(s, chunk.data(), static_cast<uint32_t>(chunk.size()));
            if (n <= 0) break;
            out.sent.append(chunk.data(), static_cast<size_t>(n));
        }
    }
    if (hard)
        WTCPHardDisConnect(s);
    else
        WTCPDisConnect(s);
    out.ended = peer->waitClosed(10000, &out.received);
    return out;
}

TEST_F(Tcp, OrderlyCloseDeliversEverythingSent_Mended) {
    const CloseOutcome out = SendThenClose(false);
    ASSERT_GT(out.sent.size(), 16384u);
    EXPECT_TRUE(out.ended);
    EXPECT_EQ(out.received.size(), out.sent.size());
    EXPECT_TRUE(out.received == out.sent);
}

TEST_F(Tcp, HardDisconnectDropsWhatIsStillQueued) {
    const CloseOutcome out = SendThenClose(true);
    ASSERT_GT(out.sent.size(), 16384u);
    EXPECT_TRUE(out.ended);
    EXPECT_LT(out.received.size(), out.sent.size());
    EXPECT_TRUE(out.sent.compare(0, out.received.size(), out.received) == 0);
}

TEST_F(Tcp, ListeningServiceIsClosedOnceAtExit_Mended) {
    // A child process opens three listening services on a TCP context and
    // ends normally; its trace lines come back through a pipe.
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    testsupport::ForkedChild child([&](testsupport::Channel&) {
        close(lines[0]);
        static int out = lines[1];
        WSysSetTraceHook([](const char* text) -> int {
            const std::string line = std::string(text) + "\n";
            return static_cast<int>(write(out, line.data(), line.size()));
        });
        WSysSetLoggerLevel("ktnet", WLOG_DEBUG);
        int port = 0;
        if (testsupport::OpenListeningContext(WNET_TYPE_TCP, &port) < 0) return 3;
        for (int i = 0; i < 2; ++i)
            if (OpenServer(&port) < 0) return 4;
        std::exit(0);
    });
    ASSERT_TRUE(child.started());
    close(lines[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(lines[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(lines[0]);
    EXPECT_EQ(child.wait(), 0);
    size_t closes = 0;
    for (size_t at = text.find("WNetClose: type: 2"); at != std::string::npos; at = text.find("WNetClose: type: 2", at + 1))
        ++closes;
    EXPECT_EQ(closes, 1u) << text;
}

}  // namespace
