// IP channels over loopback TCP: the bytes that go on the link (0xFF
// doubling, CR rules, parity of 7-bit data), the bytes delivered from it
// (undoubling and the CR filter, also across reads, per resource), the
// client, server and reusing opens with their fall-back and their network
// contexts, the emulated control codes and the DTR hang-up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "comm/ip_channels.h"
#include "comm/network_dispatch.h"
#include "comm/port_api.h"
#include "netsim/tcp_link.h"
#include "platform/clock.h"
#include "support/com_fixture.h"
#include "support/net_contexts.h"
#include "support/port_link.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using namespace std::string_literals;
using testsupport::ComTable;
using testsupport::TcpLink;
using testsupport::TempDir;
using testsupport::TraceCapture;

class IpChannelTest : public ::testing::Test {
protected:
    void SetUp() override { testsupport::FreeAllNetContexts(); }
    void TearDown() override { testsupport::FreeAllNetContexts(); }

    // A resource of the type with these configuration lines (not opened).
    int Resource(int type, const std::vector<std::string>& lines) {
        const std::string name = "r" + std::to_string(made_++);
        testsupport::WriteSignedFile(dir_.file(name + ".cfg"), lines);
        return WCOM_CreateResource(type, dir_.file(name + ".log").c_str(), dir_.file(name + ".cfg").c_str(), "");
    }
    // Context 0 in use elsewhere, so that a resource's context has a number
    // of its own (0 counts as none for a reusing resource).
    static void OccupyContextZero() {
        ASSERT_EQ(WNetGetFreeContext(), 0);
        WNetSetTypReseau(WNET_TYPE_NONE);
    }
    static bool AllContextsFree() {
        for (int n = 0; n < WNET_CONTEXT_COUNT; ++n)
            if (WNetGetContext(n)->type != WNET_TYPE_FREE) return false;
        return true;
    }
    // What the program reads from the port, once n bytes came (2 s at most).
    static std::string Delivered(int port, size_t n) {
        std::string got;
        for (int rounds = 0; got.size() < n && rounds < 20; ++rounds) {
            WComWaitInput2(port, 100);
            unsigned char buffer[64];
            const int r = WComRead2(port, buffer, sizeof buffer);
            if (r < 0) break;
            got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(r));
        }
        return got;
    }
    // Nothing more is delivered: the next read gives nothing.
    static bool NothingMore(int port) {
        unsigned char buffer[64];
        return WComRead2(port, buffer, sizeof buffer) == 0;
    }

    ComTable table{0, 0, 16, 2, 2};
    TempDir dir_;
    int made_ = 0;
};

// Sets C_LOCAL so that a loopback peer is a known till, and removes it.
class KnownLoopbackTill {
public:
    KnownLoopbackTill() { setenv("C_LOCAL", "c3", 1); }
    ~KnownLoopbackTill() { unsetenv("C_LOCAL"); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Bytes out
// ---------------------------------------------------------------------------

TEST_F(IpChannelTest, BytesOnTheLinkFollowTheResourceRules) {
    struct Case {
        const char* what;
        std::vector<std::string> config;
        std::string written;
        std::string onLink;
    };
    const Case cases[] = {
        {"doubled 0xFF", {"[PadDoubleFF:1]"}, "\x41\xff\x42", "\x41\xff\xff\x42"},
        {"no doubling", {}, "\x41\xff\x42", "\x41\xff\x42"},
        {"CR LF with bit 4", {"[PadFiltreCR:4]"}, "\r\n", "\r\n\n"},
        {"CR NUL with bit 1", {"[PadFiltreCR:1]"}, "\r\0"s, "\r\0\0"s},
        {"CR NUL without bit 1", {"[PadFiltreCR:4]"}, "\r\0"s, "\r\0"s},
        {"CR 0xFF LF with bit 2", {"[PadFiltreCR:2]"}, "\r\xff\n", "\r\xff\n\n"},
        {"CR 0xFF LF with bit 2, doubled", {"[PadFiltreCR:2]", "[PadDoubleFF:1]"}, "\r\xff\n", "\r\xff\xff\n\n"},
        {"CR 0xFF NUL with bit 2", {"[PadFiltreCR:2]"}, "\r\xff\0"s, "\r\xff\0\0"s},
        {"every rule", {"[PadFiltreCR:7]", "[PadDoubleFF:1]"}, "\r\xff\0\r\n\r\0"s, "\r\xff\xff\0\0\r\n\n\r\0\0"s},
        {"even parity, 8 bits: data untouched", {"[Vpsl:4218]"}, "\x41\x43", "\x41\x43"},
        {"even parity, 7 bits", {"[Vpsl:4217]"}, "\x41\x43", "\x41\xc3"},
        {"odd parity, 7 bits", {"[Vpsl:4117]"}, "\x41\x43", "\xc1\x43"},
        {"no parity, 7 bits", {"[Vpsl:4017]"}, "\xc1\x43", "\x41\x43"},
    };
    for (const Case& c : cases) {
        TcpLink link(c.config);
        ASSERT_EQ(link.opened, 0) << c.what;
        std::string caller = c.written;
        EXPECT_EQ(WComWrite2(link.port(), caller.data(), static_cast<int>(caller.size())),
                  static_cast<int>(c.written.size()))
            << c.what;
        EXPECT_EQ(link.peerGot(c.onLink.size()), c.onLink) << c.what;
        EXPECT_EQ(caller, c.written) << c.what << ": the caller's bytes were changed";
    }
}

// Parity is emulated on a copy and only for 7-bit data: 8-bit data keep
// their bit 7, and the caller's buffer is left as it was.
TEST_F(IpChannelTest, ParityWorksOnACopyAndOnlyFor7BitData_Mended) {
    TcpLink link({"[Vpsl:4218]"});
    ASSERT_EQ(link.opened, 0);
    unsigned char bytes[] = {0x43, 0xC3};
    ASSERT_EQ(WComWrite2(link.port(), bytes, 2), 2);
    EXPECT_EQ(link.peerGot(2), "\x43\xc3");
    ASSERT_EQ(InitVPSL(link.port(), "4217"), 0);
    ASSERT_EQ(WComWrite2(link.port(), bytes, 2), 2);
    EXPECT_EQ(link.peerGot(4), "\x43\xc3\xc3\xc3");
    EXPECT_EQ(bytes[0], 0x43);
    EXPECT_EQ(bytes[1], 0xC3);
}

// A write the transport takes in several pieces is sent whole before the
// caller hears of it.
TEST_F(IpChannelTest, ALargeWriteGoesWholeOrFails_Mended) {
    TcpLink link({}, WCOM_TYPE_IP_CLIENT, 4096);
    ASSERT_EQ(link.opened, 0);
    WCOM_SetResourceTraceMode(link.port(), WCOM_TRACE_NONE);
    std::string data(8 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    std::string got;
    std::thread reader([&] { link.peer->receiveExactly(data.size(), &got, 30000); });
    EXPECT_EQ(WComWrite2(link.port(), data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    reader.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);

    // A peer that stops reading: once the transport's 10 s pass with the
    // output half sent, the write is a failure, not a short count.
    testsupport::FastClock fast;
    plat::ScopedClock scoped(&fast);
    TraceCapture trace;
    EXPECT_EQ(WComWrite2(link.port(), data.data(), static_cast<int>(data.size())), -1);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WComIp: ecriture interrompue apres"));
}

// ---------------------------------------------------------------------------
// Bytes in
// ---------------------------------------------------------------------------

TEST_F(IpChannelTest, BytesDeliveredFollowTheResourceRules) {
    struct Step {
        std::string sent;
        std::string delivered;
    };
    struct Case {
        const char* what;
        std::vector<std::string> config;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"pair in one read", {"[PadDoubleFF:1]"}, {{"\x41\xff\xff\x42", "\x41\xff\x42"}}},
        {"two pairs", {"[PadDoubleFF:1]"}, {{"\xff\xff\xff\xff", "\xff\xff"}}},
        {"lone 0xFF, then a byte", {"[PadDoubleFF:1]"}, {{"\xff", "\xff"}, {"\x42", "\x42"}}},
        {"no undoubling", {}, {{"\xff\xff", "\xff\xff"}}},
        {"CR NUL", {"[PadFiltreCR:4]"}, {{"\r\0x"s, "\rx"}}},
        {"CR CR NUL", {"[PadFiltreCR:1]"}, {{"\r\r\0"s, "\r\r"}}},
        {"NUL without CR", {"[PadFiltreCR:1]"}, {{"a\0"s, "a\0"s}}},
        {"parity bit dropped, 7 bits", {"[Vpsl:4217]"}, {{"\xc3\x41", "\x43\x41"}}},
        {"8 bits kept", {"[Vpsl:4218]"}, {{"\xc3", "\xc3"}}},
    };
    for (const Case& c : cases) {
        TcpLink link(c.config);
        ASSERT_EQ(link.opened, 0) << c.what;
        for (const Step& s : c.steps) {
            link.peerSends(s.sent);
            EXPECT_EQ(Delivered(link.port(), s.delivered.size()), s.delivered) << c.what;
        }
        EXPECT_TRUE(NothingMore(link.port())) << c.what;
    }
}

// The second byte of a pair that arrives with the next read is dropped
// there: the doubled 0xFF (or the NUL after a CR) is undoubled once.
TEST_F(IpChannelTest, APairCutBetweenTwoReadsIsUndoubledOnce_Mended) {
    struct Case {
        const char* what;
        const char* config;
        std::string first, firstDelivered, second, secondDelivered;
    };
    const Case cases[] = {
        {"0xFF | 0xFF B", "[PadDoubleFF:1]", "\xff", "\xff", "\xff\x42", "\x42"},
        {"A 0xFF | 0xFF B", "[PadDoubleFF:1]", "\x41\xff", "\x41\xff", "\xff\x42", "\x42"},
        {"CR | NUL x", "[PadFiltreCR:1]", "\r", "\r", "\0x"s, "x"},
        {"a CR | NUL", "[PadFiltreCR:1]", "a\r", "a\r", "\0"s "b"s, "b"},
    };
    for (const Case& c : cases) {
        TcpLink link({c.config});
        ASSERT_EQ(link.opened, 0) << c.what;
        link.peerSends(c.first);
        EXPECT_EQ(Delivered(link.port(), c.firstDelivered.size()), c.firstDelivered) << c.what;
        link.peerSends(c.second);
        EXPECT_EQ(Delivered(link.port(), c.secondDelivered.size()), c.secondDelivered) << c.what;
        EXPECT_TRUE(NothingMore(link.port())) << c.what;
    }
}

// What one resource's last read left pending never touches another's bytes.
TEST_F(IpChannelTest, FilterStateIsPerResource_Mended) {
    TcpLink a({"[PadDoubleFF:1]"});
    TcpLink b({"[PadDoubleFF:1]"});
    ASSERT_EQ(a.opened, 0);
    ASSERT_EQ(b.opened, 0);
    a.peerSends("\x41\xff");
    EXPECT_EQ(Delivered(a.port(), 2), "\x41\xff");
    b.peerSends("\xff\x42");
    EXPECT_EQ(Delivered(b.port(), 2), "\xff\x42");
    a.peerSends("\xff\x43");
    EXPECT_EQ(Delivered(a.port(), 1), "\x43");
    EXPECT_TRUE(NothingMore(a.port()));
}

TEST_F(IpChannelTest, WaitsEndWhenInputComesOrAtTheirBound) {
    TcpLink link({});
    ASSERT_EQ(link.opened, 0);
    EXPECT_EQ(WComWaitInput2(link.port(), 30), 0);
    link.peerSends("x");
    EXPECT_EQ(WComWaitInput2(link.port(), 5000), 1);
    link.peer->close();
    unsigned char c = 0;
    EXPECT_EQ(PortRxCar(link.port(), &c, 100), 0);
    EXPECT_EQ(c, 'x');
    // The end of the link wakes the wait; the read then fails.
    EXPECT_EQ(WComWaitInput2(link.port(), 5000), 1);
    EXPECT_EQ(PortRxCar(link.port(), &c, 100), 'P');
}

// ---------------------------------------------------------------------------
// Opens and closes
// ---------------------------------------------------------------------------

TEST_F(IpChannelTest, ClientFallsBackToTheSecondHostAndService) {
    netsim::RefusingPort refused;
    netsim::Listener listener;
    ASSERT_TRUE(listener.open());
    testsupport::NetTraceOn net;
    TraceCapture trace;

    // One host and one service: a refused connection is not tried again.
    const int alone = Resource(WCOM_TYPE_IP_CLIENT,
                               {"[Host1:127.0.0.1]", "[Service1:" + std::to_string(refused.port()) + "]"});
    EXPECT_EQ(WComOpen2(alone), -2);
    EXPECT_EQ(WCOM_GetResourceByNum(alone)->handle, -1);
    int attempts = 0;
    for (const std::string& l : TraceCapture::lines()) attempts += l.find("WNetOpenClient: type: 2") != std::string::npos;
    EXPECT_EQ(attempts, 1);
    EXPECT_TRUE(AllContextsFree());

    // A second host and service: tried after the first.
    const int both = Resource(WCOM_TYPE_IP_CLIENT,
                              {"[Host1:127.0.0.1]", "[Service1:" + std::to_string(refused.port()) + "]",
                               "[Host2:localhost]", "[Service2:" + std::to_string(listener.port()) + "]"});
    ASSERT_EQ(WComOpen2(both), 0);
    EXPECT_NE(listener.accept(5000), nullptr);
    EXPECT_TRUE(trace.Contains("WNetOpenClient: type: 2, port: " + std::to_string(listener.port()) +
                               ", address: localhost"));
    ComResource* r = WCOM_GetResourceByNum(both);
    EXPECT_EQ(WNetGetContext(r->netContext)->type, WNET_TYPE_TCP);
    EXPECT_EQ(r->reseauType, WNET_TYPE_TCP);

    // Both refused: the context goes back.
    const int none = Resource(WCOM_TYPE_IP_CLIENT,
                              {"[Host1:127.0.0.1]", "[Service1:" + std::to_string(refused.port()) + "]",
                               "[Service2:" + std::to_string(netsim::UnusedLoopbackPort()) + "]"});
    const int taken = r->netContext;
    EXPECT_EQ(WComOpen2(none), -2);
    for (int n = 0; n < WNET_CONTEXT_COUNT; ++n)
        EXPECT_EQ(WNetGetContext(n)->type, n == taken ? WNET_TYPE_TCP : WNET_TYPE_FREE) << n;
}

TEST_F(IpChannelTest, OverLongHostsAndServicesAreRefused) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open());
    const std::string port = std::to_string(listener.port());
    TraceCapture trace;
    const int longHost = Resource(WCOM_TYPE_IP_CLIENT, {"[Host1:" + std::string(40, 'h') + "]", "[Service1:" + port + "]"});
    EXPECT_EQ(WComOpen2(longHost), -2);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WComIp: valeur de Host1 trop longue (40 caracteres, 39 au plus)"));
    const int longService =
        Resource(WCOM_TYPE_IP_CLIENT, {"[Host1:127.0.0.1]", "[Service1:" + port + "]", "[Service2:" + std::string(40, '1') + "]"});
    EXPECT_EQ(WComOpen2(longService), -2);
    EXPECT_TRUE(AllContextsFree());
    // 39 characters are a host name like any other (this one is unknown).
    const int fits = Resource(WCOM_TYPE_IP_CLIENT, {"[Host1:" + std::string(39, 'h') + "]", "[Service1:" + port + "]"});
    EXPECT_EQ(WComOpen2(fits), -2);
    EXPECT_TRUE(trace.Contains("WTCPOpenClient(): echec recuperation hostname"));
}

TEST_F(IpChannelTest, CloseEndsTheLinkAndFreesTheContextButKeepsItsNumber) {
    TcpLink link({});
    ASSERT_EQ(link.opened, 0);
    ComResource* r = WCOM_GetResourceByNum(link.port());
    const int number = r->netContext;
    EXPECT_EQ(WNetGetContext(number)->type, WNET_TYPE_TCP);
    EXPECT_EQ(WComClose2(link.port()), 1);
    EXPECT_TRUE(link.peer->waitClosed(5000));
    EXPECT_EQ(r->handle, -1);
    EXPECT_EQ(r->netContext, number);
    EXPECT_TRUE(AllContextsFree());
}

TEST_F(IpChannelTest, ReusingResourceKeepsItsContextNumberAcrossReopenings) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open());
    // Contexts 0 and 1 in use elsewhere: the resource gets 2.
    for (int n : {0, 1}) {
        ASSERT_EQ(WNetGetFreeContext(), n);
        WNetSetTypReseau(WNET_TYPE_NONE);
    }
    const int port = Resource(WCOM_TYPE_CONNECTED, {"[Host1:127.0.0.1]", "[Service1:" + std::to_string(listener.port()) + "]"});
    ASSERT_EQ(WComOpen2(port), 0);
    auto first = listener.accept(5000);
    ASSERT_NE(first, nullptr);
    ComResource* r = WCOM_GetResourceByNum(port);
    EXPECT_EQ(r->netContext, 2);
    // Already open: 1, nothing opened again.
    EXPECT_EQ(WComOpen2(port), 1);
    EXPECT_EQ(listener.accept(100), nullptr);

    ASSERT_EQ(WComClose2(port), 1);
    WNetFreeContext(0);  // the first free context is now 0; the resource keeps 2
    ASSERT_EQ(WComOpen2(port), 0);
    EXPECT_NE(listener.accept(5000), nullptr);
    EXPECT_EQ(r->netContext, 2);
    EXPECT_EQ(WNetGetContext(0)->type, WNET_TYPE_FREE);
}

// A context that another user took while the resource was closed stays
// that user's: the resource opens on a free one.
TEST_F(IpChannelTest, ReusingResourceLeavesATakenContextToItsUser_Mended) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open());
    const int port = Resource(WCOM_TYPE_CONNECTED, {"[Host1:127.0.0.1]", "[Service1:" + std::to_string(listener.port()) + "]"});
    OccupyContextZero();
    ASSERT_EQ(WComOpen2(port), 0);
    ASSERT_NE(listener.accept(5000), nullptr);
    ComResource* r = WCOM_GetResourceByNum(port);
    const int number = r->netContext;
    ASSERT_EQ(number, 1);
    ASSERT_EQ(WComClose2(port), 1);

    ASSERT_EQ(WNetGetFreeContext(), number);
    WNetSetServices("7001", "7002");
    WNetSetHosts("server-a", "server-b");
    WNetSetTypReseau(WNET_TYPE_TCP);

    ASSERT_EQ(WComOpen2(port), 0);
    EXPECT_NE(listener.accept(5000), nullptr);
    EXPECT_NE(r->netContext, number);
    const WNetContext* other = WNetGetContext(number);
    EXPECT_EQ(other->type, WNET_TYPE_TCP);
    EXPECT_STREQ(other->service1, "7001");
    EXPECT_STREQ(other->host2, "server-b");
}

// A failed write on a reusing resource closes its link: the socket and the
// network context are given back, and the next open starts afresh.
TEST_F(IpChannelTest, AFailedWriteOnAReusingResourceClosesItsLink_Mended) {
    netsim::Listener listener;
    ASSERT_TRUE(listener.open());
    const int port = Resource(WCOM_TYPE_CONNECTED, {"[Host1:127.0.0.1]", "[Service1:" + std::to_string(listener.port()) + "]"});
    OccupyContextZero();
    ASSERT_EQ(WComOpen2(port), 0);
    auto peer = listener.accept(5000);
    ASSERT_NE(peer, nullptr);
    ComResource* r = WCOM_GetResourceByNum(port);
    const int number = r->netContext;
    ASSERT_EQ(number, 1);
    peer->reset();
    ASSERT_EQ(WComWaitInput2(port, 5000), 1);
    unsigned char buffer[8];
    EXPECT_LT(WComRead2(port, buffer, sizeof buffer), 0);
    EXPECT_LT(WComWrite2(port, "x", 1), 0);
    EXPECT_EQ(r->handle, -1);
    EXPECT_EQ(r->ownerPid, -1);
    EXPECT_EQ(WNetGetContext(number)->type, WNET_TYPE_FREE);
    ASSERT_EQ(WComOpen2(port), 0);
    EXPECT_NE(listener.accept(5000), nullptr);
    EXPECT_EQ(r->netContext, number);
}

TEST_F(IpChannelTest, ServerListensAcceptsExchangesAndCloses) {
    KnownLoopbackTill till;
    netsim::Listener busy;  // service 1 is taken: the server listens on service 2
    ASSERT_TRUE(busy.open());
    const int server = Resource(WCOM_TYPE_IP_SERVER, {});
    ASSERT_GE(server, 0);
    uint16_t service2 = 0;
    int opened = -1;
    for (int attempt = 0; attempt < 20 && opened != 0; ++attempt) {
        service2 = netsim::UnusedLoopbackPort();  // taken meanwhile: another one
        testsupport::WriteSignedFile(WCOM_GetResourceByNum(server)->configFile,
                                     {"[Service1:" + std::to_string(busy.port()) + "]",
                                      "[Service2:" + std::to_string(service2) + "]"});
        opened = WComOpen2(server);
    }
    ASSERT_EQ(opened, 0);
    ComResource* r = WCOM_GetResourceByNum(server);
    EXPECT_EQ(r->handle, 0);
    unsigned char buffer[16];
    // No client yet: nothing to read or write, and nobody to accept.
    EXPECT_EQ(WComRead2(server, buffer, sizeof buffer), -1);
    EXPECT_EQ(WComWrite2(server, "x", 1), -1);
    ASSERT_EQ(WComSwitch(server), 1);
    EXPECT_EQ(WComCurrentChannel()->Connect(&r->handle), -1);
    EXPECT_EQ(r->handle, 0);

    auto terminal = netsim::ConnectLoopback(service2, 5000);
    ASSERT_NE(terminal, nullptr);
    int accepted = -1;
    for (int attempt = 0; attempt < 1000 && accepted != 0; ++attempt) {
        ASSERT_EQ(WComSwitch(server), 1);
        accepted = WComCurrentChannel()->Connect(&r->handle);
    }
    ASSERT_EQ(accepted, 0);
    EXPECT_GT(r->handle, 0);
    ASSERT_TRUE(terminal->sendAll("\x02" "abc\x03"));
    EXPECT_EQ(Delivered(server, 5), "\x02" "abc\x03");
    EXPECT_EQ(WComWrite2(server, "\x06", 1), 1);
    std::string got;
    EXPECT_TRUE(terminal->receiveExactly(1, &got, 5000));
    EXPECT_EQ(got, "\x06");

    EXPECT_EQ(WComClose2(server), 1);
    EXPECT_TRUE(terminal->waitClosed(5000));
    EXPECT_EQ(netsim::ConnectLoopback(service2, 500), nullptr);
    EXPECT_TRUE(AllContextsFree());
}

TEST_F(IpChannelTest, ServerWithoutAServiceToListenOnFails) {
    netsim::Listener busy;
    ASSERT_TRUE(busy.open());
    const int port = Resource(WCOM_TYPE_IP_SERVER, {"[Service1:" + std::to_string(busy.port()) + "]"});
    EXPECT_EQ(WComOpen2(port), -2);
    EXPECT_EQ(WCOM_GetResourceByNum(port)->handle, -1);
    EXPECT_TRUE(AllContextsFree());
}

// ---------------------------------------------------------------------------
// Control codes
// ---------------------------------------------------------------------------

TEST_F(IpChannelTest, ControlCodesAreEmulated) {
    TcpLink link({});
    ASSERT_EQ(link.opened, 0);
    const int port = link.port();
    WComLineBlock line{2, 0, 2, 7};
    EXPECT_EQ(WComWriteIOCtl2(port, WCOM_IOCTL_LINE, &line, sizeof line), 4);
    WComLineBlock lineBack{};
    EXPECT_EQ(WComReadIOCtl2(port, WCOM_IOCTL_LINE, &lineBack, sizeof lineBack), 4);
    EXPECT_EQ(std::memcmp(&line, &lineBack, 4), 0);

    WComControlBlock control{12, 34, 1, 0, 1, 9, 2, 3, {0, 0}};
    EXPECT_EQ(WComWriteIOCtl2(port, WCOM_IOCTL_CONTROL, &control, sizeof control), 16);
    WComControlBlock controlBack{};
    EXPECT_EQ(WComReadIOCtl2(port, WCOM_IOCTL_CONTROL, &controlBack, sizeof controlBack), 16);
    EXPECT_EQ(std::memcmp(&control, &controlBack, 16), 0);

    WComModemStatusBlock status{};
    EXPECT_EQ(WComReadIOCtl2(port, WCOM_IOCTL_MODEM_STATUS, &status, sizeof status), 2);
    EXPECT_EQ(status.status, 0x80);
    EXPECT_EQ(status.errors, 0);

    WComQueueBlock queues{};
    EXPECT_EQ(WComReadIOCtl2(port, WCOM_IOCTL_QUEUES, &queues, sizeof queues), 24);
    EXPECT_EQ(queues.inputWaiting, 0);
    link.peerSends("12345");
    ASSERT_EQ(WComWaitInput2(port, 5000), 1);
    EXPECT_EQ(WComReadIOCtl2(port, WCOM_IOCTL_QUEUES, &queues, sizeof queues), 24);
    EXPECT_EQ(queues.inputWaiting, 5);
    EXPECT_EQ(queues.outputWaiting, 0);
    EXPECT_EQ(Delivered(port, 5), "12345");  // the peek took nothing

    EXPECT_EQ(WComWriteIOCtl2(port, WCOM_IOCTL_QUEUES, &queues, sizeof queues), -1);
    EXPECT_EQ(WComWriteIOCtl2(port, WCOM_IOCTL_MODEM_STATUS, &status, sizeof status), -1);
    EXPECT_EQ(WComReadIOCtl2(port, 9, &queues, sizeof queues), -1);
    EXPECT_EQ(WComReadIOCtl2(port, WCOM_IOCTL_QUEUES, &queues, 8), -1);
    ASSERT_EQ(WComSwitch(port), 1);
    EXPECT_EQ(WComCurrentChannel()->ReadIOCtl(-1, WCOM_IOCTL_LINE, &line, sizeof line), -1);
}

TEST_F(IpChannelTest, LoweringDtrHangsTheLinkUp) {
    TcpLink link({});
    ASSERT_EQ(link.opened, 0);
    const int port = link.port();
    EXPECT_EQ(PortRaiseDTR(port), 0);
    WComModemLinesBlock lines{};
    EXPECT_EQ(WComReadIOCtl2(port, WCOM_IOCTL_MODEM_LINES, &lines, sizeof lines), 2);
    EXPECT_EQ(lines.dtr, 1);
    lines.rts = 0;
    EXPECT_EQ(WComWriteIOCtl2(port, WCOM_IOCTL_MODEM_LINES, &lines, sizeof lines), 2);
    EXPECT_NE(WCOM_GetResourceByNum(port)->handle, -1);

    lines.dtr = 0;
    EXPECT_EQ(WComWriteIOCtl2(port, WCOM_IOCTL_MODEM_LINES, &lines, sizeof lines), 2);
    EXPECT_EQ(WCOM_GetResourceByNum(port)->handle, -1);
    EXPECT_TRUE(link.peer->waitClosed(5000));
    EXPECT_EQ(WComIpTakeHangUp(), 0);
    EXPECT_TRUE(AllContextsFree());
}

// The carrier always reads present: a failed write with the carrier check
// on is an emission error.
TEST_F(IpChannelTest, AFailedWriteIsAnEmissionError) {
    TcpLink link({});
    ASSERT_EQ(link.opened, 0);
    const int port = link.port();
    PortSetCarrierCheck(port, 1);
    link.peer->reset();
    ASSERT_EQ(WComWaitInput2(port, 5000), 1);
    unsigned char c = 0;
    EXPECT_EQ(PortRxCar(port, &c, 10), 'P');
    EXPECT_EQ(PortTxCar(port, 'x', PORT_TX_NEW_SEND), 'E');
}
