// A terminal link without a line for the relay's tests and fuzz target: a
// message block of the serial kind over a communication resource of the
// table (never opened), with the link context and the request and answer
// mapping of the terminal links (XAS_LinkOpen, XAS_LinkRequest,
// XAS_LinkStatus), whose send and receive are the test's own: every payload
// sent is recorded with the message state it carried, the state of the
// reply to a send is chosen, and the answers given to the receives are
// queued (with their reply states). The link can be broken: sends and
// receives then fail as on a lost line.
//
// attach() gives the link to a resource of the terminal box (after the port
// switch to port 0, so that the relay's switch keeps it); the destructor
// takes it back from the box's resources and frees it.
#pragma once
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "protocols/xpro/xpro_context.h"

namespace testsupport {

class FakeTerminalLink {
public:
    struct Sent {
        int state;  // message state of the request (its descriptor's MesStat)
        std::string payload;
    };

    explicit FakeTerminalLink(int port) {
        box_ = KTX_NewClientBox(1, 900 + port);
        if (box_ == nullptr) return;
        int32_t stamp = -1;
        box_->mess = KTM_NewMess(1, 1, nullptr, 0, &stamp);
        if (box_->mess == nullptr) return;
        box_->mess->BoxType = KTM_BOX_COM;
        box_->mess->id = port;
        const std::string description = "XPRO/0/000/1000/0000000000000000/" + std::to_string(port) + "/0/00000000/00000000/010/00/";
        context_ = static_cast<KT_XPROT*>(XAS_LinkOpen(description.c_str()));
        // A link the terminal box has used: its context carries the box's net
        // application (mapped from the requests it sent).
        if (context_ != nullptr) std::snprintf(context_->netApplication, sizeof context_->netApplication, "%s", "1200");
        box_->mess->TransBox = context_;
        KTM_BindTransportProtocol(box_->mess, nullptr, XA_LinkClose, Send, Receive, XAS_LinkRequest, XAS_LinkStatus);
        Links()[context_] = this;
    }
    ~FakeTerminalLink() {
        Links().erase(context_);
        if (KT_EPERIPH_API* box = EPAP_GetBox()) {
            for (KT_PERES& r : box->resources)
                if (r.link == box_) {
                    r.link = nullptr;
                    r.linkContext = nullptr;
                }
        }
        if (box_ != nullptr) KTX_CloseClientBox(box_, 0);
    }
    FakeTerminalLink(const FakeTerminalLink&) = delete;
    FakeTerminalLink& operator=(const FakeTerminalLink&) = delete;

    bool ready() const { return context_ != nullptr; }
    KTX_WSERV* box() const { return box_; }
    // Gives the link to every resource of the port.
    void attach(KT_EPERIPH_API* box, int port) {
        TWEP_SwitchToPort(box, port);
        for (KT_PERES* r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1); r != nullptr;
             r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 0)) {
            r->link = box_;
            r->linkContext = context_;
        }
    }

    // The reply state of the next sends (2 final, 1 more follow, 0 none yet).
    int sendReplyState = PAP_MES_FINAL;
    // Answers handed to the receives, in order; none: silence.
    std::deque<std::pair<int, std::string>> answers;
    // Every receive answers this once the queue is empty, when set.
    bool repeatLast = false;
    bool broken = false;
    std::vector<Sent> sent;
    int receives = 0;

private:
    static std::map<KT_XPROT*, FakeTerminalLink*>& Links() {
        static std::map<KT_XPROT*, FakeTerminalLink*> links;
        return links;
    }
    static FakeTerminalLink* Of(void* transport) {
        auto it = Links().find(static_cast<KT_XPROT*>(transport));
        return it != Links().end() ? it->second : nullptr;
    }
    static int Send(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
        FakeTerminalLink* self = Of(transport);
        auto* ctx = static_cast<KT_XPROT*>(transport);
        if (self == nullptr || self->broken) {
            XPRO_SetStatus(ctx, -1);
            return -1;
        }
        self->sent.push_back({XPRO_GetStatus(ctx), std::string(static_cast<const char*>(frame), length)});
        XPRO_SetStatus(ctx, self->sendReplyState);
        return static_cast<int>(length);
    }
    static int Receive(void* transport, void* frame, uint32_t capacity, int32_t, int32_t) {
        FakeTerminalLink* self = Of(transport);
        auto* ctx = static_cast<KT_XPROT*>(transport);
        if (self == nullptr || self->broken) return -1;
        ++self->receives;
        if (self->answers.empty()) return 0;
        const auto answer = self->answers.front();
        if (!self->repeatLast || self->answers.size() > 1) self->answers.pop_front();
        if (answer.second.size() > capacity) return -2;
        std::memcpy(frame, answer.second.data(), answer.second.size());
        XPRO_SetStatus(ctx, answer.first);
        return static_cast<int>(answer.second.size());
    }

    KTX_WSERV* box_ = nullptr;
    KT_XPROT* context_ = nullptr;
};

}  // namespace testsupport
