// Fuzz target of the terminal relay facing a "1200" message of a payment
// server: any descriptor (rubrique 'S'), application (rubrique 'A') and body,
// relayed to a terminal link of the target's own (tests/support/relay_link.h)
// whose reply states and answers the input also chooses. The server stream
// is a message block whose answer half the input fills and whose sends are
// recorded; the time source is a manual clock (the announcement wait and the
// pauses pass at once).
//
// Input: byte 0: bits 0-1 the reply state of the terminal to a command, bit
// 2 the terminal announces its answers (DORAN) instead of RUDA, bit 3 the
// application "1210" instead of "1200", bits 4-5 the number of queued
// answers (each a piece of the body, reply state 1 but the last), bit 6
// endless answers (reply state 1 repeated), bit 7 a broken terminal link;
// then the descriptor up to the first NUL (at most 1024 bytes), then the
// body.
//
// Whatever comes in: the terminal receives at most one payload, equal to
// the body and within 12700 bytes; every message to the server has the
// net application "1200", a body within 12700 bytes that is one of the
// terminal's answers (or empty); no more messages go to the server than the
// bound of an answer series; the local link
// never holds a request body over 12700 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/com_resources.h"
#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "periph/terminal_box.h"
#include "periph/terminal_exchange.h"
#include "periph/terminal_relay.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "protocols/pv_status.h"
#include "support/relay_link.h"
#include "support/station_lock.h"

namespace {

struct ServerSide {
    KTX_WSERV* box = nullptr;
    std::vector<std::string> bodies;
    std::vector<std::string> applications;
};

ServerSide g_server;
int g_comContext = -1;
plat::ManualClock g_clock;

int ServerSend(void* transport, void*, uint32_t length, int32_t, int32_t) {
    auto* side = static_cast<ServerSide*>(transport);
    const KTM_HALF* request = side->box->mess->request;
    side->bodies.emplace_back(reinterpret_cast<const char*>(request->M), request->mLength);
    side->applications.emplace_back(request->A);
    return static_cast<int>(length);
}

int ServerReceive(void*, void*, uint32_t, int32_t, int32_t) { return 0; }

void CleanUp() {
    PAP_FreePAPbox();
    if (g_comContext >= 0) {
        WCOM_UnlockResource(0);
        char name[64];
        std::snprintf(name, sizeof name, "(null)KT_SEM_COM_%03d%02d", g_comContext, 0);
        plat::NamedMutex::Unlink(name);
    }
}

void Start() {
    WSysSetTraceHook([](const char*) { return 0; });
    plat::SetClockSource(&g_clock);
    g_comContext = testsupport::ClaimStation(10000, 10999);
    Check(WCOM_CreateContext(g_comContext, 1, 0, 0, 0, 0) >= 0, "no communication table");
    std::atexit(CleanUp);
    g_server.box = KTX_NewClientBox(1, 1);
    Check(g_server.box != nullptr, "no server box");
    int32_t stamp = -1;
    g_server.box->mess = KTM_NewMess(1, 1, nullptr, 0, &stamp);
    Check(g_server.box->mess != nullptr, "no server block");
    g_server.box->mess->BoxType = KTM_BOX_NET;
    g_server.box->mess->TransBox = &g_server;
    KTM_BindTransportProtocol(g_server.box->mess, nullptr, nullptr, ServerSend, ServerReceive, nullptr, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = (Start(), true);
    (void)started;
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t rest = size - 1;
    const size_t sLength = strnlen(text, rest < KTM_S_MAX ? rest : KTM_S_MAX);
    const std::string s(text, sLength);
    const size_t bodyStart = sLength < rest ? sLength + 1 : rest;
    const std::string body(text + bodyStart, rest - bodyStart);
    if (body.size() > KTM_M_MAX) return 0;

    PAP_FreePAPbox();
    TWEP_ResetPortState();
    Check(PAP_NewPAPbox(1, 7, 0, nullptr) == 1, "no terminal box");
    KT_EPERIPH_API* box = EPAP_GetBox();
    EPAP_CreateFunctionProfile("EFT_CAM_1", 0, PAP_TRANSPORT_SERIAL, (flags & 0x04) != 0 ? "DORAN" : "RUDA");
    std::vector<std::string> answers;
    {
        testsupport::FakeTerminalLink link(0);
        Check(link.ready(), "no terminal link");
        link.attach(box, 0);
        link.sendReplyState = flags & 0x03;
        link.broken = (flags & 0x80) != 0;
        const size_t count = (flags >> 4) & 0x03;
        for (size_t i = 0; i < count; ++i) {
            const size_t piece = body.size() / (count + 1);
            answers.push_back(body.substr(i * piece, piece));
            link.answers.push_back({i + 1 < count ? PAP_MES_MORE : PAP_MES_FINAL, answers.back()});
        }
        if ((flags & 0x40) != 0) {
            answers.push_back(body.substr(0, 16));
            link.answers.push_back({PAP_MES_MORE, answers.back()});
            link.repeatLast = true;
        }

        // The server's message, as the stream decodes it into its answer half.
        KTM_HALF* in = g_server.box->mess->answer;
        std::memset(in, 0, sizeof *in);
        std::memcpy(in->S, s.data(), s.size());
        std::memcpy(in->A, (flags & 0x08) != 0 ? "1210" : "1200", 4);
        std::memcpy(in->M, body.data(), body.size());
        in->mLength = static_cast<uint32_t>(body.size());
        g_server.bodies.clear();
        g_server.applications.clear();

        // The status may carry the terminal's own status words: any value.
        EPAP_DealRelayMessage(g_server.box);
        Check(link.sent.size() <= 1, "more than one payload to the terminal");
        if (!link.sent.empty()) {
            Check(link.sent[0].payload == body, "the terminal got another payload than the body");
            Check(body.size() <= static_cast<size_t>(PAP_PAYLOAD_MAX), "a body over 12700 bytes was forwarded");
        }
        Check(link.box()->mess->request->mLength <= static_cast<uint32_t>(PAP_PAYLOAD_MAX),
              "the local link holds a request over 12700 bytes");
        Check(g_server.bodies.size() <= static_cast<size_t>(PAP_RELAY_MAX_ANSWERS),
              "more messages to the server than an answer series allows");
        for (size_t i = 0; i < g_server.bodies.size(); ++i) {
            Check(g_server.applications[i] == "1200", "a message to the server without the net application");
            const std::string& b = g_server.bodies[i];
            Check(b.size() <= static_cast<size_t>(PAP_PAYLOAD_MAX), "a body over 12700 bytes to the server");
            bool known = b.empty();
            for (const std::string& a : answers) known = known || a == b;
            Check(known, "the server got a body the terminal never gave");
        }
    }
    return 0;
}
