// An in-memory client box: a message stream (KTX_WSERV) of the network kind
// whose frames never leave the process. Every frame the program sends is
// decoded (netsim's reading of the NET frame, written apart from the
// program's codec) and handed to the peer function, whose messages are
// queued as the frames the program receives next. Serves as the box's
// stream for network terminal resources and for the server relay.
#pragma once
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "support/network_stream.h"
#include "netsim/net_frame.h"

namespace testsupport {

class MemoryClientBox {
public:
    using Peer = std::function<std::vector<netsim::NetMessage>(const netsim::NetMessage& request)>;

    explicit MemoryClientBox(Peer peer = {}) : peer_(std::move(peer)), box_(NewNetworkStream(this, Send, Receive)) {}
    ~MemoryClientBox() { FreeNetworkStream(box_); }
    MemoryClientBox(const MemoryClientBox&) = delete;
    MemoryClientBox& operator=(const MemoryClientBox&) = delete;

    KTX_WSERV* box() const { return box_; }
    // The requests received so far.
    std::vector<netsim::NetMessage> requests() const {
        std::lock_guard<std::mutex> g(mutex_);
        return requests_;
    }
    // A message the program receives next, unasked.
    void push(const netsim::NetMessage& message) {
        std::lock_guard<std::mutex> g(mutex_);
        answers_.push_back(netsim::EncodeFrame(message));
    }
    // From now on every send and receive fails as on a lost link.
    void breakLink() {
        std::lock_guard<std::mutex> g(mutex_);
        broken_ = true;
    }

private:
    static int Send(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
        auto* self = static_cast<MemoryClientBox*>(transport);
        std::lock_guard<std::mutex> g(self->mutex_);
        if (self->broken_) return -1;
        const auto request = netsim::DecodeFrame(std::string(static_cast<const char*>(frame), length));
        if (!request) return -1;
        self->requests_.push_back(*request);
        if (self->peer_)
            for (const netsim::NetMessage& answer : self->peer_(*request))
                self->answers_.push_back(netsim::EncodeFrame(answer));
        return static_cast<int>(length);
    }
    static int Receive(void* transport, void* frame, uint32_t capacity, int32_t, int32_t) {
        auto* self = static_cast<MemoryClientBox*>(transport);
        std::lock_guard<std::mutex> g(self->mutex_);
        if (self->broken_) return -1;
        if (self->answers_.empty()) return 0;
        const std::string next = self->answers_.front();
        self->answers_.pop_front();
        if (next.size() > capacity) return -2;
        std::memcpy(frame, next.data(), next.size());
        return static_cast<int>(next.size());
    }

    Peer peer_;
    KTX_WSERV* box_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<netsim::NetMessage> requests_;
    std::deque<std::string> answers_;
    bool broken_ = false;
};

}  // namespace testsupport
