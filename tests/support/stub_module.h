// A stub command module with a raw test link, plugged into the terminal
// script engine under a protocol number for the time of a test (until the
// real modules of the terminal protocols serve).
//
// Set (every code but 1, which builds nothing): arguments (const char*
// payload, int length); a null payload builds nothing, a length over 12700
// bytes is refused (-1). Get: argument (std::string* out) receives the
// answer payload; the status is 0, or N when the payload reads "PV=N" (so a
// terminal simulator scripts the statuses), PV_CMD_INTERNAL for a frame
// that does not read. Wait event: as the RUDA module's (a byte on the port
// is an answer, 'S' from the wait callback stops, the network is at once).
//
// Link: the raw frame of tools/linesim/raw_terminal.h over the port API,
// PortEmist (0 and 'L' count as sent), a wait on the line for the first
// byte and PortRecest for the frame ('T' with nothing read is silence: no
// answer). The request's message state travels in the
// frame's status byte; the answer's status byte becomes the link's exchange
// status (2 final, 1 more answers follow).
#pragma once
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "linesim/raw_terminal.h"
#include "periph/terminal_exchange.h"
#include "protocols/module_contract.h"
#include "protocols/ruda/ruda_module.h"
#include "protocols/xpro/xpro_context.h"

namespace testsupport {

inline int StubSet(KT_EPERIPH_API* box, KT_PERES* resource, char* buffer, va_list args) {
    if (box == nullptr || resource == nullptr) return -2;
    if (resource->command == 1) return 0;
    const char* payload = va_arg(args, const char*);
    const int length = va_arg(args, int);
    if (payload == nullptr) return 0;
    return PAP_WriteCommandFrame(buffer, reinterpret_cast<const unsigned char*>(payload), length);
}

inline int StubGet(KT_EPERIPH_API* box, KT_PERES* resource, const char* frame, va_list args) {
    if (box == nullptr || resource == nullptr) return PV_CMD_INTERNAL;
    static unsigned char answer[PAP_MODULE_ANSWER_BUFFER];
    int length = 0;
    if (PAP_ReadAnswerFrame(frame, PAP_FRAME_MAX, answer, &length) != PV_ALL_FINE) return PV_CMD_INTERNAL;
    std::string* out = va_arg(args, std::string*);
    const std::string payload(reinterpret_cast<const char*>(answer), static_cast<size_t>(length));
    if (out != nullptr) *out = payload;
    return payload.rfind("PV=", 0) == 0 ? std::atoi(payload.c_str() + 3) : PV_ALL_FINE;
}

inline int StubLinkSend(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || frame == nullptr || length > static_cast<uint32_t>(linesim::kRawPayloadMax)) return -1;
    const int state = XPRO_GetStatus(ctx);
    XPRO_ClearStepLabels(ctx);
    XPRO_SetStatus(ctx, -1);
    ctx->phase = XPRO_PHASE_SENDING;
    const std::string bytes =
        linesim::RawFrame(state, std::string(static_cast<const char*>(frame), static_cast<size_t>(length)));
    const int result = PortEmist(ctx->port, bytes.data(), static_cast<uint32_t>(bytes.size()), PORT_METHOD_NONE);
    ctx->phase = XPRO_PHASE_IDLE;
    if (result != PORT_DONE && result != 'L') return -1;
    XPRO_SetStatus(ctx, PAP_MES_FINAL);
    return static_cast<int>(length);
}

inline int StubLinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || frame == nullptr) return -2;
    XPRO_ClearStepLabels(ctx);
    ctx->phase = XPRO_PHASE_RECEIVING;
    auto fail = [ctx](int value) {
        ctx->phase = XPRO_PHASE_IDLE;
        XPRO_SetStatus(ctx, -1);
        return value;
    };
    // The first byte is awaited on the line (poll), the others byte by byte.
    const int firstWait = timeoutMs >= 0 ? timeoutMs : ctx->timeouts[1];
    const int waited = WComWaitInput2(ctx->port, firstWait);
    if (waited < 0) return fail(-1);
    unsigned char header[linesim::kRawHeader];
    uint32_t got = sizeof header;
    int result = waited == 0 ? PORT_TIMEOUT : PortRecest(ctx->port, header, &got, 0, static_cast<uint32_t>(ctx->timeouts[0]));
    if (result == PORT_TIMEOUT && (waited == 0 || got == 0)) {
        ctx->phase = XPRO_PHASE_IDLE;
        return 0;  // silence
    }
    if (result != PORT_DONE) return fail(result == PORT_CARRIER ? -1 : -2);
    const uint32_t length = static_cast<uint32_t>(header[2]) << 8 | header[3];
    if (header[0] != linesim::kRawStx || length > capacity || length > static_cast<uint32_t>(PAP_PAYLOAD_MAX))
        return fail(-2);
    std::string rest(length + 1, '\0');
    got = length + 1;
    result = PortRecest(ctx->port, rest.data(), &got, 0, static_cast<uint32_t>(ctx->timeouts[0]));
    if (result != PORT_DONE) return fail(result == PORT_CARRIER ? -1 : -2);
    unsigned char lrc = 0;
    for (unsigned char c : header) lrc ^= c;
    for (uint32_t i = 0; i < length; ++i) lrc ^= static_cast<unsigned char>(rest[i]);
    if (lrc != static_cast<unsigned char>(rest[length])) return fail(-2);
    std::memcpy(frame, rest.data(), length);
    ctx->phase = XPRO_PHASE_IDLE;
    XPRO_SetStatus(ctx, static_cast<signed char>(header[1]));
    return static_cast<int>(length);
}

inline const PapCommandModule kStubModule = {StubSet, StubGet, nullptr, RUDA_WaitEvent};
inline const PapLinkCallbacks kStubLink = {XAS_LinkOpen,     XA_LinkClose,    StubLinkSend,
                                           StubLinkReceive, XAS_LinkRequest, XAS_LinkStatus};

// The stub module and its raw link under a protocol number while it lives;
// what served that number before is put back.
class ScopedStubProtocol {
public:
    explicit ScopedStubProtocol(int protocol) : protocol_(protocol) {
        TWEP_RegisterProtocol(protocol, &kStubModule, &kStubLink, &module_, &link_);
    }
    ~ScopedStubProtocol() { TWEP_RegisterProtocol(protocol_, module_, link_); }
    ScopedStubProtocol(const ScopedStubProtocol&) = delete;
    ScopedStubProtocol& operator=(const ScopedStubProtocol&) = delete;

private:
    int protocol_;
    const PapCommandModule* module_ = nullptr;
    const PapLinkCallbacks* link_ = nullptr;
};

}  // namespace testsupport
