// RUDA block link over the port API: the send and receive callbacks of
// protocol 16 and the ciphering of requests when the box has a stream key.
#include <algorithm>
#include <cstring>

#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "protocols/module_contract.h"
#include "protocols/pv_status.h"
#include "protocols/ruda/ruda_device.h"
#include "protocols/ruda/ruda_link.h"
#include "protocols/ruda/ruda_module.h"
#include "protocols/terminal_frame.h"
#include "protocols/xpro/xpro_context.h"

namespace {

constexpr int kSendAttempts = 4;
// Phase of a link while it emits.
constexpr int32_t kPhaseEmitting = 100;

void EndStep(KT_XPROT* ctx) {
    ctx->phase = XPRO_PHASE_IDLE;
    RUDA_Transport(ctx);
}

// Up to four emissions of the request, its blocks built afresh each time:
// 0 sent, -1 when the blocks cannot be built, -3 after four failures (the
// port's letter, else 'B').
int SendWithRetries(KT_XPROT* ctx, const unsigned char* request, int length) {
    RUDA_MaskLineTrace(ctx->port);
    int letter = 0;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        RUDAMessage* message = RUDA_BuildSendBlocks(request, length);
        if (message == nullptr) {
            WSysError("-- ERROR -- RUDA_LinkSend : blocs non construits (%d octets)", length);
            return -1;
        }
        ctx->phase = kPhaseEmitting;
        PortPurgeRx(ctx->port, 0);
        int n = 0;
        const unsigned char* raw = RUDAMessage_raw(message, &n);
        const int result = PortEmist(ctx->port, raw, static_cast<uint32_t>(n), PORT_METHOD_NONE);
        RUDAMessage_free(message);
        if (result == PORT_DONE || result == 'L') return 0;
        letter = result;
    }
    ctx->stepLetter = letter != 0 ? letter : RUDA_LETTER_SOFT;
    RUDA_Transport(ctx);
    return -3;
}

// A failed answer is dropped whole, but no longer than this even if the
// line never goes quiet: the time the largest answer takes at 9600 baud.
constexpr int64_t kDropMaxMs = 15000;

// Drops what is left on the line of an answer that failed: reads until the
// line has been quiet for one read time-out (a wait that ends when a byte
// comes), within kDropMaxMs. The count of bytes dropped.
int DropRestOfAnswer(int port, int quietMs) {
    unsigned char chunk[256];
    int dropped = 0;
    const int64_t end = plat::MonotonicMs() + kDropMaxMs;
    for (;;) {
        int output = 0, input = 0;
        if (PortQueueStatus(port, &output, &input) != 0) break;
        const int64_t left = end - plat::MonotonicMs();
        if (left <= 0) break;
        if (input > 0) {
            const int n = PortRxTrame(port, chunk, std::min<int>(input, static_cast<int>(sizeof chunk)));
            if (n <= 0) break;
            dropped += n;
            continue;
        }
        // Quiet for a read time-out, or a line that failed: nothing more.
        if (WComWaitInput2(port, static_cast<int>(std::min<int64_t>(quietMs, left))) <= 0) break;
    }
    std::memset(chunk, 0, sizeof chunk);
    return dropped;
}

// The reset kind of a control code an empty request carries: 0 soft
// ("9001"), 1 hard ("9002"); -1 for any other.
int ControlResetKind(const char* application) {
    if (std::strcmp(application, "9001") == 0) return 0;
    if (std::strcmp(application, "9002") == 0) return 1;
    return -1;
}

}  // namespace

int RUDA_CipherForBox(const KT_EPERIPH_API* box, int operation, unsigned char** apdu, int* length) {
    if (box == nullptr || apdu == nullptr || *apdu == nullptr || length == nullptr) return 0;
    if (box->moduleOptions <= 0 || operation == 90 || operation == 95) return 0;
    const int room = *length + kRudaCipherOverhead;
    auto* out = static_cast<unsigned char*>(WAlloc(static_cast<size_t>(room)));
    if (out == nullptr) {
        WSysError("-- ERROR -- Stream encryption error");
        return -1;
    }
    const uint32_t sequence = RUDA_SequenceNumber(plat::RealtimeMs());
    const int n = RUDA_CipherRequest(*apdu, *length, operation, box->streamKey, sequence, out, room);
    std::memset(*apdu, 0, static_cast<size_t>(*length));
    WFree(*apdu);
    if (n < 0) {
        std::memset(out, 0, static_cast<size_t>(room));
        WFree(out);
        *apdu = nullptr;
        *length = 0;
        return -1;
    }
    *apdu = out;
    *length = n;
    return 1;
}

int RUDA_LinkSend(void* transport, void* frame, uint32_t length, int32_t, int32_t) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr) return -1;
    XPRO_SetStatus(ctx, -1);
    ctx->stepLetter = RUDA_LETTER_NONE;
    RUDA_Transport(ctx);
    ctx->phase = XPRO_PHASE_SENDING;
    const auto* request = static_cast<const unsigned char*>(frame);
    // An empty request carries the control code of its descriptor: "9001"
    // and "9002" reset the terminal (soft, hard), as RESET DEVICE does.
    unsigned char* control = nullptr;
    int n = static_cast<int>(length);
    if (length == 0) {
        const int kind = ControlResetKind(ctx->application);
        if (kind >= 0 && RUDA_BuildResetDeviceRequest(152, kind, 0, &control, &n) == 1) request = control;
    }
    if (request == nullptr || n <= 0 || length > static_cast<uint32_t>(XPRO_PAYLOAD_MAX)) {
        WSysError("-- ERROR -- RUDA_LinkSend : requete refusee (%u octets)", length);
        if (control != nullptr) WFree(control);
        ctx->stepLetter = RUDA_LETTER_SOFT;
        EndStep(ctx);
        return -1;
    }
    const int sent = SendWithRetries(ctx, request, n);
    const unsigned char cla = request[0];
    const unsigned char ins = n >= 2 ? request[1] : 0;
    if (control != nullptr) WFree(control);
    if (sent != 0) {
        if (ctx->stepLetter == RUDA_LETTER_NONE) ctx->stepLetter = RUDA_LETTER_SOFT;
        EndStep(ctx);
        return -1;
    }
    WSysError("@@ DEBUG @@ Client -> Terminal : CLA-INS=%02x-%02x LG=%d", cla, ins, n);
    XPRO_SetStatus(ctx, PAP_MES_FINAL);
    EndStep(ctx);
    return n;
}

int RUDA_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t waitMode) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || frame == nullptr) return 0;
    // A total time that has already run out: nothing is read.
    if (timeoutMs == 0) return 0;
    XPRO_SetStatus(ctx, -1);
    ctx->stepLetter = RUDA_LETTER_NONE;
    ctx->phase = XPRO_PHASE_RECEIVING;

    KT_EPERIPH_API* box = PAP_EngineBox();
    RudaReceiverOptions options;
    options.transportAdded = box != nullptr && box->transportAdded == 1;
    options.readTimeoutMs = ctx->timeouts[0] > 0 ? ctx->timeouts[0] : kRudaReadTimeoutMs;
    options.room = static_cast<int>(std::min<uint32_t>(capacity, kRudaAnswerMax + kRudaTransportMarkerLength));
    RudaBlockReceiver receiver(options);
    // The port times each character (the first time-out); the receiver is
    // told the time ran out only when a read said so.
    const int64_t start = plat::MonotonicMs();
    receiver.start(start);

    // Each block: its header (NAD, PCB, LEN), then LEN bytes and the LRC.
    // Room for a length byte above 254 too: the receiver refuses such a block.
    unsigned char block[3 + 256];
    while (receiver.state() == RudaBlockReceiver::State::Waiting) {
        uint32_t got = 3;
        int result = PortRecest(ctx->port, block, &got, 0, static_cast<uint32_t>(options.readTimeoutMs));
        if (result == PORT_DONE) {
            got = static_cast<uint32_t>(block[2]) + 1;
            result = PortRecest(ctx->port, block + 3, &got, 0, static_cast<uint32_t>(options.readTimeoutMs));
            got += 3;
        }
        receiver.feed(block, static_cast<int>(got), start);
        if (result == PORT_DONE || receiver.state() != RudaBlockReceiver::State::Waiting) continue;
        // The line went quiet ('T', 'R': nothing of a block came is 'T',
        // part of one 'B') or failed.
        if (result == PORT_TIMEOUT || result == PORT_RECEPTION)
            receiver.poll(receiver.deadline() + 1);
        if (receiver.state() == RudaBlockReceiver::State::Waiting) break;
    }

    int length = 0;
    if (receiver.state() == RudaBlockReceiver::State::Done) {
        length = receiver.length();
        std::memcpy(frame, receiver.answer(), static_cast<size_t>(length));
        if (options.transportAdded && receiver.ciphered() && box != nullptr) box->lastAnswerCiphered = 1;
        XPRO_SetStatus(ctx, PAP_MES_FINAL);
    } else {
        const char letter = receiver.state() == RudaBlockReceiver::State::Failed ? receiver.letter() : RUDA_LETTER_SOFT;
        ctx->stepLetter = letter;
        if (letter == RUDA_LETTER_TIMEOUT) {
            XPRO_SetStatus(ctx, waitMode == 1 ? 1 : PAP_MES_FINAL);
        } else {
            // Nothing of a failed answer may be taken by the next read (a
            // server's fetch) for a whole answer.
            const int dropped = DropRestOfAnswer(ctx->port, options.readTimeoutMs);
            if (dropped > 0)
                WSysError("** INFO. ** RUDA_LinkReceive : %d octets de la reponse en echec ecartes (%c)", dropped,
                          letter);
        }
    }
    EndStep(ctx);
    return length;
}
