// A TCP peer that plays exact bytes from a script, for tests of the byte
// stream itself (framing, splits, closes).
//
// Script, one step per line ('#' starts a comment):
//   send HEX... | send "text"   write these bytes
//   expect HEX... | expect "text"  read exactly these bytes (5 s at most)
//   expect-count N            read N bytes, whatever they are
//   pause MS                  wait
//   close                     orderly close (what was sent still arrives)
//   reset                     abortive close (the other side sees a reset)
//   wait-close                read until the other side closes
#pragma once
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "netsim/tcp_link.h"

namespace netsim {

struct PeerStep {
    enum class Kind { Send, Expect, ExpectCount, Pause, Close, Reset, WaitClose };
    Kind kind = Kind::Send;
    std::string bytes;
    size_t count = 0;
    int ms = 0;
};

std::optional<std::vector<PeerStep>> ParsePeerScript(const std::string& text, std::string* error);

// Runs the steps on a link: empty when everything went as scripted, else
// what went wrong. Every byte read is appended to received.
std::string RunPeerScript(Link& link, const std::vector<PeerStep>& steps, std::string* received,
                          int expectTimeoutMs = 5000);

// Listens on an ephemeral loopback port and runs the script on the first
// link, in a thread.
class ScriptedPeer {
public:
    ScriptedPeer() = default;
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // receiveBuffer > 0 sets the receive buffer of the accepted link.
    bool start(std::vector<PeerStep> steps, int receiveBuffer = 0);
    uint16_t port() const { return listener_.port(); }
    // The outcome ("" all went as scripted), once the script ended; "not
    // finished" after timeoutMs.
    std::string wait(int timeoutMs);
    std::string received();

private:
    Listener listener_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::atomic<bool> stop_{false};
    std::string result_;
    std::string received_;
};

}  // namespace netsim
