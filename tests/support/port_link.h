// One open port of the communication resources and the far end of its link,
// whatever carries it: a serial resource on a pseudo-terminal with the line
// simulator at the far end, or an IP client resource connected over loopback
// TCP to a test listener. The port and frame tests run over each kind.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "netsim/tcp_link.h"
#include "support/com_fixture.h"
#include "support/signed_file.h"
#include "support/temp_dir.h"

namespace testsupport {

class PortLink {
public:
    virtual ~PortLink() = default;
    virtual int port() const = 0;
    // Bytes from the far end to the program.
    virtual void peerSends(const std::string& bytes) = 0;
    // What the far end got, once at least n bytes came (within 5 s).
    virtual std::string peerGot(size_t n) = 0;
    // The far end goes: the line hangs up, or the peer closes its link.
    virtual void peerCloses() = 0;
    int opened = -1;
};

class PtyLink : public PortLink {
public:
    explicit PtyLink(const std::vector<std::string>& config) : pty_(std::make_unique<QuietHandler>(), config) {
        opened = pty_.open();
        // Short read times keep the time-outs of the tests short.
        WComControlBlock control{};
        control.readTimeout = 0;
        control.writeTimeout = 10;
        control.dtrControl = 1;
        control.rtsControl = 1;
        WComWriteIOCtl2(pty_.port, WCOM_IOCTL_CONTROL, &control, sizeof control);
    }
    int port() const override { return pty_.port; }
    void peerSends(const std::string& bytes) override { pty_.sim.inject(bytes); }
    std::string peerGot(size_t n) override {
        pty_.sim.waitReceived(n, 5000);
        return pty_.sim.received();
    }
    void peerCloses() override { pty_.sim.stop(); }
    const std::string& trace() const { return pty_.trace; }
    int slave() const { return pty_.sim.slaveDescriptor(); }

private:
    PtyPort pty_;
};

// An IP resource (client by default) whose configuration names a loopback
// listener of the test as "Host1"/"Service1", opened; the far end is the
// link the listener accepted (with that receive buffer when above 0).
class TcpLink : public PortLink {
public:
    explicit TcpLink(const std::vector<std::string>& config, int type = WCOM_TYPE_IP_CLIENT, int receiveBuffer = 0) {
        if (!listener_.open(0, 16, receiveBuffer)) return;
        std::vector<std::string> lines = {"[Host1:127.0.0.1]", "[Service1:" + std::to_string(listener_.port()) + "]"};
        lines.insert(lines.end(), config.begin(), config.end());
        WriteSignedFile(dir.file("ip.cfg"), lines);
        trace = dir.file("ip.log");
        port_ = WCOM_CreateResource(type, trace.c_str(), dir.file("ip.cfg").c_str(), "");
        if (port_ < 0) return;
        opened = WComOpen2(port_);
        if (opened != 0) return;
        peer = listener_.accept(5000);
        if (peer == nullptr) opened = -1;
    }
    // The resource's link is closed (its network context given back).
    ~TcpLink() override {
        ComResource* r = WCOM_GetResourceByNum(port_);
        if (r != nullptr && r->handle != -1) WComClose2(port_);
    }
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;
    int port() const override { return port_; }
    void peerSends(const std::string& bytes) override { ASSERT_TRUE(peer->sendAll(bytes)); }
    std::string peerGot(size_t n) override {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got_.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0 || peer->receive(&got_, static_cast<int>(left)) < 0) break;
        }
        return got_;
    }
    void peerCloses() override { peer->close(); }
    // What the far end got so far is forgotten.
    void clearGot() { got_.clear(); }

    TempDir dir;
    std::string trace;
    std::unique_ptr<netsim::Link> peer;

private:
    netsim::Listener listener_;
    int port_ = -1;
    std::string got_;
};

enum class LinkKind { Pty, Tcp };

inline std::string LinkKindName(const ::testing::TestParamInfo<LinkKind>& info) {
    return info.param == LinkKind::Pty ? "Pty" : "Tcp";
}

// An open link of the kind, or null. The communication table needs a free
// resource of type 1 (Pty) or 3 (Tcp).
inline std::unique_ptr<PortLink> MakeLink(LinkKind kind, const std::vector<std::string>& config = {}) {
    std::unique_ptr<PortLink> link;
    if (kind == LinkKind::Pty) link = std::make_unique<PtyLink>(config);
    else link = std::make_unique<TcpLink>(config);
    if (link->opened != 0) return nullptr;
    return link;
}

}  // namespace testsupport
