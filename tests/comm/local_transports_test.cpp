// File-mailbox transport between two real processes sharing a temporary
// directory, and the in-memory transport between threads of one process.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../platform/fork_child.h"
#include "comm/file_mailbox.h"
#include "comm/length_prefixed.h"
#include "comm/memory_service.h"
#include "comm/network_dispatch.h"
#include "support/net_contexts.h"
#include "support/temp_dir.h"
#include "support/trace_capture.h"

namespace {

using testsupport::ForkedChild;
using testsupport::TempDir;
using testsupport::TraceCapture;

std::string Framed(const std::string& body) {
    char header[8];
    std::snprintf(header, sizeof header, "%4.4X", static_cast<unsigned>(body.size() + 5));
    return std::string(header, 4) + std::string(1, '\0') + body;
}

// ---------------------------------------------------------------------------
// File mailboxes
// ---------------------------------------------------------------------------

class Mailbox : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        testsupport::FreeAllNetContexts();
        setenv("BALDIR", dir.str().c_str(), 1);
        unsetenv("HOSTNAME");
    }
    void TearDown() override {
        testsupport::FreeAllNetContexts();
        WBalClose(0);
        unsetenv("BALDIR");
        unsetenv("HOSTNAME");
    }
    // A listening mailbox context: its number.
    int Server(const char* service = "paysrv") {
        const int n = WNetGetFreeContext();
        WNetSetServices(service, service);
        WNetSetTypReseau(WNET_TYPE_WBAL);
        WNetSelectContext(n);
        return WNetOpenServer(1, 0) == 0 ? n : -1;
    }
    // A service, a client named name and the server's side of its link, all
    // in this process; the accepted client's name in accepted.
    struct Pair {
        int32_t service = -1, client = -1, accepted = -1;
        std::string clientName;
    };
    static Pair OpenPair(const char* name) {
        Pair p;
        if (WBalMake(&p.service, "paysrv", 0, 0, 0) != 0) return p;
        setenv("HOSTNAME", name, 1);
        if (WBalOpen(&p.client, "paysrv", 0x8100, 500) != 0) return p;
        char accepted[80] = {};
        if (WBalConnect(&p.accepted, "paysrv", 500, accepted, sizeof accepted) == 0) p.clientName = accepted;
        return p;
    }
    static void ClosePair(const Pair& p) {
        WBalDelete(p.accepted);
        WBalDelete(p.client);
        WBalDelete(p.service);
        WBalClose(p.service);
    }
    // Accepts within about 5 s: the handle, station in *station.
    static int32_t Accept(int32_t* station) {
        int32_t handle = -1;
        for (int i = 0; i < 100; ++i)
            if (WNetConnect(&handle, station) == 0) return handle;
        return -1;
    }
    // Reads one whole message within about 5 s.
    static std::string ReadMessage(int32_t handle) {
        char buffer[256];
        for (int i = 0; i < 5000; ++i) {
            const int n = WNetRead(handle, buffer, sizeof buffer);
            if (n > 0) return std::string(buffer, static_cast<size_t>(n));
            if (n < 0) return "<closed>";
        }
        return "<nothing>";
    }
};

// The client side, in a child process: opens as "name", then follows the
// parent's lead through the channel.
int MailboxClient(testsupport::Channel& ch, const char* name) {
    setenv("HOSTNAME", name, 1);
    const int n = WNetGetFreeContext();
    WNetSetServices("paysrv", "paysrv");
    WNetSetTypReseau(WNET_TYPE_WBAL);
    WNetSelectContext(n);
    int32_t handle = -1;
    if (WNetOpenClient(&handle, 1, 1) != 0) return 10;
    ch.send('o');
    if (ch.receive() != 'w') return 11;
    if (WNetWrite(handle, "request-1", 9) != 9) return 12;
    // Our own message is not for us: nothing to read until the server answers.
    char buffer[64];
    if (WNetRead(handle, buffer, sizeof buffer) != 0) return 13;
    ch.send('s');
    std::string answer;
    for (int i = 0; i < 5000 && answer.empty(); ++i) {
        const int r = WNetRead(handle, buffer, sizeof buffer);
        if (r < 0) return 14;
        if (r > 0) answer.assign(buffer, static_cast<size_t>(r));
    }
    if (answer != "answer-1") return 15;
    // A length-prefixed message goes through whole.
    std::string frame = Framed("<A>1400<F><M>" + std::string(300, 'm'));
    if (KTN_EnvoieMessage(&handle, frame.data(), static_cast<uint32_t>(frame.size()), 1000) !=
        static_cast<int>(frame.size()))
        return 16;
    ch.send('k');
    if (ch.receive() != 'c') return 17;
    // The server closed the link: the next read says so.
    for (int i = 0; i < 5000; ++i) {
        const int r = WNetRead(handle, buffer, sizeof buffer);
        if (r < 0) return 0;
    }
    return 18;
}

TEST_F(Mailbox, TwoProcessesExchangeThroughTheDirectory) {
    const int server = Server();
    ASSERT_GE(server, 0);
    ForkedChild child([](testsupport::Channel& ch) { return MailboxClient(ch, "caisse12"); });
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.receive(), 'o');
    int32_t station = -1;
    const int32_t handle = Accept(&station);
    ASSERT_GT(handle, 0);
    EXPECT_EQ(station, 12);
    EXPECT_STREQ(WNetGetContext(server)->host1, "caisse12");

    child.send('w');
    ASSERT_EQ(child.receive(), 's');
    EXPECT_EQ(ReadMessage(handle), "request-1");
    EXPECT_EQ(WNetWrite(handle, "answer-1", 8), 8);

    ASSERT_EQ(child.receive(), 'k');
    std::vector<uint8_t> buffer(KTN_MAX_MESSAGE);
    int32_t h = handle;
    const int n = KTN_RecoitMessage(&h, buffer.data(), KTN_MAX_MESSAGE, 5000);
    const std::string expected = Framed("<A>1400<F><M>" + std::string(300, 'm'));
    ASSERT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n)), expected);

    EXPECT_EQ(WNetDisConnect(handle), 0);
    child.send('c');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("caisse12")));
    EXPECT_EQ(WNetClose(0), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("paysrv")));
}

TEST_F(Mailbox, AClientNamedWithoutATillNumberIsRefused) {
    ASSERT_GE(Server(), 0);
    ForkedChild child([](testsupport::Channel& ch) {
        setenv("HOSTNAME", "pos12", 1);
        int32_t handle = -1;
        const int r = WBalOpen(&handle, "paysrv", 0x8100, 2000);
        ch.send(r == 0 ? 'o' : 'f');
        ch.receive();
        return 0;
    });
    ASSERT_EQ(child.receive(), 'o');
    TraceCapture trace;
    int32_t handle = 0, station = -1;
    for (int i = 0; i < 100 && !trace.Contains("Station Inconnue"); ++i) WNetConnect(&handle, &station);
    EXPECT_TRUE(trace.Contains("-- ERROR -- WNetConnect(): Station Inconnue"));
    EXPECT_EQ(handle, -1);
    // The refused client's mailbox was released.
    EXPECT_FALSE(std::filesystem::exists(dir.file("pos12")));
    child.send('x');
    EXPECT_EQ(child.wait(), 0);
}

TEST_F(Mailbox, OpensThatCannotWork) {
    int32_t handle = 0;
    // No HOSTNAME: no client name.
    EXPECT_EQ(WBalOpen(&handle, "paysrv", 0x8100, 50), -1);
    setenv("HOSTNAME", "caisse1", 1);
    EXPECT_EQ(WBalOpen(&handle, "paysrv", 0x8101, 50), -1);  // other mode flags
    // The path (directory, separator, name) must stay under 80 characters:
    // directory and name of 77 characters in all work, 78 do not.
    const std::string base = dir.str() + "/";
    const std::string sub = base + std::string(60 - base.size(), 'd');
    std::filesystem::create_directories(sub);
    setenv("BALDIR", sub.c_str(), 1);
    EXPECT_EQ(WBalMake(&handle, std::string(78 - sub.size(), 'n').c_str(), 0, 0, 0), -1);
    EXPECT_EQ(WBalMake(&handle, std::string(77 - sub.size(), 'n').c_str(), 0, 0, 0), 0);
    EXPECT_EQ(WBalDelete(0), 0);
    EXPECT_EQ(WBalClose(0), 0);
    setenv("BALDIR", dir.str().c_str(), 1);
    // Nobody announced: the accept gives up after its time-out.
    ASSERT_EQ(WBalMake(&handle, "paysrv", 0, 0, 0), 0);
    char client[80];
    EXPECT_EQ(WBalConnect(&handle, "paysrv", 50, client, sizeof client), -1);
    EXPECT_EQ(handle, -1);
    // One listening service per process.
    EXPECT_EQ(WBalMake(&handle, "other", 0, 0, 0), -1);
    EXPECT_EQ(WBalDelete(0), 0);
    EXPECT_EQ(WBalClose(0), 0);
}

TEST_F(Mailbox, FilesAreForTheOwnerOnly) {
    const Pair pair = OpenPair("caisse3");
    ASSERT_GT(pair.accepted, 0);
    EXPECT_EQ(pair.clientName, "caisse3");
    for (const char* file : {"paysrv", "caisse3"}) {
        struct stat st {};
        ASSERT_EQ(stat(dir.file(file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
    EXPECT_EQ(WBalDelete(pair.accepted), 0);
    EXPECT_EQ(WBalClose(pair.client), 0);
    EXPECT_EQ(WBalDelete(pair.service), 0);
    EXPECT_EQ(WBalClose(pair.service), 0);
}

TEST_F(Mailbox, ALongMessageIsKeptForTheNextReads_Mended) {
    const Pair pair = OpenPair("caisse4");
    ASSERT_GT(pair.accepted, 0);
    const int32_t client = pair.client, accepted = pair.accepted;
    const std::string message = "0123456789abcdefghij";
    ASSERT_EQ(WBalWrite(client, message.data(), static_cast<uint32_t>(message.size())), 20);
    // The slot still holds the rest: a second message must wait.
    char part[8];
    EXPECT_EQ(WBalPeek(accepted, part, 4), 4);
    EXPECT_EQ(std::string(part, 4), "0123");
    EXPECT_EQ(WBalRead(accepted, part, 8), 8);
    EXPECT_EQ(std::string(part, 8), "01234567");
    EXPECT_EQ(WBalWrite(client, "next", 4), 0);
    EXPECT_EQ(WBalRead(accepted, part, 8), 8);
    EXPECT_EQ(std::string(part, 8), "89abcdef");
    EXPECT_EQ(WBalRead(accepted, part, 8), 4);
    EXPECT_EQ(std::string(part, 4), "ghij");
    EXPECT_EQ(WBalRead(accepted, part, 8), 0);
    EXPECT_EQ(WBalWrite(client, "next", 4), 4);
    ClosePair(pair);
}

TEST_F(Mailbox, LengthsBeyondTheSixteenBitFieldAreRefused_Mended) {
    const Pair pair = OpenPair("caisse5");
    ASSERT_GT(pair.accepted, 0);
    const int32_t client = pair.client, accepted = pair.accepted;
    std::string big(70000, 'b');
    TraceCapture trace;
    EXPECT_EQ(WBalWrite(client, big.data(), 65536), -1);
    EXPECT_EQ(WBalWrite(client, big.data(), 65535), 65535);
    std::string got(70000, '\0');
    EXPECT_EQ(WBalRead(accepted, got.data(), 70000), 65535);
    EXPECT_EQ(got.substr(0, 65535), big.substr(0, 65535));
    ClosePair(pair);
}

// ---------------------------------------------------------------------------
// In-memory services
// ---------------------------------------------------------------------------

class MemoryService : public ::testing::Test {
protected:
    std::string service = "svc" + std::to_string(counter++);
    int32_t listen = -1;
    static inline int counter = 0;
    void SetUp() override { ASSERT_EQ(SHNET_OpenServer(&listen, service.c_str(), 4), 0); }
    void TearDown() override { SHNET_Close(SHNET_LISTEN_HANDLE); }

    // Client opens in a thread; the server accepts here.
    struct Client {
        std::thread thread;
        std::atomic<int> result{99};
        std::atomic<int32_t> handle{-1};
    };
    void OpenClient(Client& c, int32_t timeoutMs = 5000) {
        c.thread = std::thread([this, &c, timeoutMs] {
            int32_t h = -1;
            c.result = SHNET_OpenClient(&h, service.c_str(), timeoutMs);
            c.handle = h;
        });
    }
    // A client opened in a thread and accepted here: (server side, client side).
    std::pair<int32_t, int32_t> ConnectOne(int32_t* station) {
        Client c;
        OpenClient(c);
        const int32_t accepted = AcceptOne(station);
        c.thread.join();
        return {accepted, c.result == 0 ? c.handle.load() : -1};
    }
    int32_t AcceptOne(int32_t* station) {
        int32_t h = -1;
        for (int i = 0; i < 50; ++i)
            if (SHNET_Connect(&h, 200, station) == 1) return h;
        return -1;
    }
    static std::string Read(int32_t handle, uint32_t capacity = 5000) {
        std::string buffer(capacity, '\0');
        for (int i = 0; i < 500; ++i) {
            const int n = SHNET_Read(handle, buffer.data(), capacity, 0);
            if (n != 0) return n < 0 ? "<error>" : buffer.substr(0, static_cast<size_t>(n));
        }
        return "<nothing>";
    }
};

TEST_F(MemoryService, ClientAndServerExchange) {
    int32_t station = 0;
    const auto [accepted, client] = ConnectOne(&station);
    ASSERT_GT(client, 0);
    EXPECT_EQ(accepted, SHNET_LISTEN_HANDLE + 1);
    EXPECT_EQ(station, 1);
    EXPECT_EQ(client, 101);
    EXPECT_EQ(SHNET_Write(client, "ping", 4), 4);
    EXPECT_EQ(Read(accepted), "ping");
    EXPECT_EQ(SHNET_Write(accepted, "pong!", 5), 5);
    char peeked[8];
    EXPECT_EQ(SHNET_Read(client, peeked, sizeof peeked, 1), 5);
    EXPECT_EQ(Read(client), "pong!");
    EXPECT_EQ(SHNET_Read(client, peeked, sizeof peeked, 0), 0);  // empty after 10 ms
    EXPECT_EQ(SHNET_Read(150, peeked, sizeof peeked, 0), -1);      // no such handle
    EXPECT_EQ(SHNET_Close(accepted), 0);
    EXPECT_EQ(SHNET_Close(client), 0);
}

TEST_F(MemoryService, FirstMessageOfTheServerIsNotLostToTheClientsSetUp_Mended) {
    Client c;
    OpenClient(c);
    int32_t station = 0;
    const int32_t accepted = AcceptOne(&station);
    ASSERT_GT(accepted, 0);
    // The server greets before the client has even seen the acceptance.
    EXPECT_EQ(SHNET_Write(accepted, "hello", 5), 5);
    c.thread.join();
    ASSERT_EQ(c.result, 0);
    EXPECT_EQ(Read(c.handle), "hello");
    SHNET_Close(accepted);
    SHNET_Close(c.handle);
}

TEST_F(MemoryService, AFullServiceRefusesAFifthClient_Mended) {
    std::vector<int32_t> servers, clients;
    for (int i = 0; i < 4; ++i) {
        int32_t station = 0;
        const auto [accepted, client] = ConnectOne(&station);
        ASSERT_GT(client, 0);
        servers.push_back(accepted);
        clients.push_back(client);
        EXPECT_EQ(station, i + 1);
    }
    TraceCapture trace;
    std::atomic<int> fifthResult{99};
    std::thread fifth([&] {
        int32_t h = -1;
        fifthResult = SHNET_OpenClient(&h, service.c_str(), 300);
    });
    // The server, accepting meanwhile, is never handed a second link on a
    // slot that is in use.
    int32_t again = -1, station = 0;
    EXPECT_EQ(SHNET_Connect(&again, 300, &station), 0);
    fifth.join();
    EXPECT_EQ(fifthResult, -3);
    EXPECT_TRUE(trace.Contains("<< WARN. >> SHNET_OpenClient : Service sature"));
    // Slot 1 still carries its own client's link.
    EXPECT_EQ(SHNET_Write(clients[0], "one", 3), 3);
    EXPECT_EQ(Read(servers[0]), "one");
    for (int32_t h : servers) SHNET_Close(h);
    for (int32_t h : clients) SHNET_Close(h);
}

TEST_F(MemoryService, LengthsAreBoundByTheSlot_Mended) {
    int32_t station = 0;
    const auto [accepted, client] = ConnectOne(&station);
    ASSERT_GT(client, 0);
    const std::string big(SHNET_MAX_MESSAGE + 1, 'z');
    EXPECT_EQ(SHNET_Write(client, big.data(), static_cast<uint32_t>(big.size())), -1);
    EXPECT_EQ(SHNET_Write(client, big.data(), SHNET_MAX_MESSAGE), static_cast<int>(SHNET_MAX_MESSAGE));
    // A reader with a small buffer gets the message in parts.
    EXPECT_EQ(Read(accepted, 4000), big.substr(0, 4000));
    EXPECT_EQ(Read(accepted, 4000), big.substr(0, SHNET_MAX_MESSAGE - 4000));
    SHNET_Close(accepted);
    SHNET_Close(client);
}

TEST_F(MemoryService, ServiceStatesAndTimeOuts) {
    TraceCapture trace;
    int32_t h = -1;
    EXPECT_EQ(SHNET_OpenServer(&h, service.c_str(), 4), -2);
    EXPECT_TRUE(trace.Contains("** INFO. ** SHNET_OpenServer : Service Deja Disponible"));
    EXPECT_EQ(SHNET_OpenClient(&h, "no-such-service", 100), -1);
    EXPECT_TRUE(trace.Contains("<< WARN. >> SHNET_OpenClient : Service Non Ouvert"));
    // Nobody accepts: the request is withdrawn after the time-out.
    EXPECT_EQ(SHNET_OpenClient(&h, service.c_str(), 100), -4);
    EXPECT_TRUE(trace.Contains("<< WARN. >> SHNET_OpenClient : Connection Time Out : 01"));
    int32_t station = 0;
    EXPECT_EQ(SHNET_Connect(&h, 0, &station), 0);  // and no slot is left requested
}

TEST_F(MemoryService, ThroughTheDispatch) {
    testsupport::FreeAllNetContexts();
    SHNET_Close(SHNET_LISTEN_HANDLE);  // the dispatch opens its own service
    const int n = WNetGetFreeContext();
    const std::string name = "disp" + service;
    WNetSetServices(name.c_str(), name.c_str());
    WNetSetTypReseau(WNET_TYPE_SHNET);
    WNetSelectContext(n);
    ASSERT_EQ(WNetOpenServer(1, 0), 0);
    EXPECT_EQ(WNetGetContext(n)->listenHandle, SHNET_LISTEN_HANDLE);
    std::atomic<int32_t> clientHandle{-1};
    std::thread client([&] {
        int32_t h = -1;
        if (SHNET_OpenClient(&h, name.c_str(), 5000) == 0) {
            SHNET_Write(h, "via dispatch", 12);
            clientHandle = h;
        }
    });
    int32_t handle = -1, station = -1;
    for (int i = 0; i < 50 && WNetConnect(&handle, &station) != 0; ++i) {
    }
    client.join();
    ASSERT_GT(handle, SHNET_LISTEN_HANDLE);
    EXPECT_EQ(station, 1);
    char buffer[32];
    int r = 0;
    for (int i = 0; i < 100 && r == 0; ++i) r = WNetRead(handle, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(std::max(r, 0))), "via dispatch");
    EXPECT_EQ(WNetDisConnect(handle), 0);
    SHNET_Close(clientHandle);
    EXPECT_EQ(WNetClose(0), 0);
    WNetFreeContext(n);
    // Reopen for TearDown's close.
    ASSERT_EQ(SHNET_OpenServer(&listen, service.c_str(), 4), 0);
}

}  // namespace
