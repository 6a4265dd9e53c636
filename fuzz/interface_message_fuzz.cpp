// Fuzz target of the client side of the interface exchange: one message of a
// remote host (net application, XSAP address, body) dealt with by
// ISAP_DealMessage on a station whose console has a window on 41, spool
// windows on 43 and 44 (files in a temporary directory, no print command)
// and a POS GUI on 45 (executors of the target's own that answer at once).
// The message stream is a message block whose answer half the input fills
// and whose sends are recorded; the time source is a manual clock.
//
// Input: byte 0: bit 0 the net application "1200" instead of "1210", bit 1
// none, bit 2 the tables are kept from the previous input (else cleared
// first); then the address up to the first NUL (at most 1024 bytes), then
// the body.
//
// Whatever comes in: every message sent back has the net application
// "1210" and a body of at most 148 bytes (an 11-byte header and a payload
// of at most 137); every row of both tables has a status byte NUL or '1' to
// '4', and a row with a header announces a payload of at most 137 bytes;
// the box's own stream comes back and the message slot keeps no stream.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "fuzz_check.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/interface_script.h"
#include "platform/clock.h"
#include "support/network_stream.h"

namespace {

struct Sent {
    std::string application;
    uint32_t length;
};

std::vector<Sent> g_sent;
KTX_WSERV* g_stream = nullptr;  // the message's stream
KTX_WSERV* g_own = nullptr;     // the box's own stream
ConsoBox* g_console = nullptr;
std::string g_directory;
plat::ManualClock g_clock;

int StreamSend(void* transport, void*, uint32_t length, int32_t, int32_t) {
    auto* stream = static_cast<KTX_WSERV*>(transport);
    const KTM_HALF* request = stream->mess->request;
    g_sent.push_back({request->A, request->mLength});
    return static_cast<int>(length);
}

int StreamReceive(void*, void*, uint32_t, int32_t, int32_t) { return 0; }

KTX_WSERV* NewStream() {
    KTX_WSERV* stream = testsupport::NewNetworkStream(nullptr, StreamSend, StreamReceive);
    Check(stream != nullptr, "no stream");
    stream->mess->TransBox = stream;
    return stream;
}

int PosDisplay(ConsoBox*, KT_TEXT_WINDOW*, const char* text, int, int, int, int, int, int) {
    return text != nullptr && std::strlen(text) < 129 ? 1 : -1;
}
int PosKey(int, int, char* key) {
    *key = 'V';
    return 1;
}
int PosEntry(ConsoBox*, KT_TEXT_WINDOW*, int, int, int, int length, char* zone, const char*, char* key) {
    Check(length >= 0 && length < 129, "an entry wider than its field");
    std::memset(zone, '5', static_cast<size_t>(length));
    zone[length] = '\0';
    *key = 'V';
    return 1;
}
int PosSelection(ConsoBox*, KT_TEXT_WINDOW*, int, int, int, int count, int itemSize, int, const char* title,
                 const char* items, unsigned* choice) {
    Check(std::strlen(title) < 80, "a title over its buffer");
    // Touch every item byte: a selection past its items is caught.
    unsigned sum = 0;
    for (long long i = 0; i < static_cast<long long>(count) * itemSize; ++i) sum += static_cast<unsigned char>(items[i]);
    *choice = count > 0 ? 1 + sum % static_cast<unsigned>(count) : 0;
    return 1;
}
int PosSpool(ConsoBox*, KT_TEXT_WINDOW*, const char* text, int, int, int, int, int) {
    return std::strlen(text) < 129 ? 1 : -1;
}

void CleanUp() {
    SAP_FreeSAPbox();
    KTCONSOL_FreeConso(g_console);
    std::error_code ec;
    std::filesystem::remove_all(g_directory, ec);
}

void AddWindow(const char* name, int resource, int rows, int columns) {
    Check(KTCONSOL_AddFenetre(g_console, name, rows, columns) == 1, "no window");
    KTCONSOL_SetFenetreResource(g_console, name, resource);
    Check(ISAP_OpenWindowResource(KTCONSOL_FindFenetre(g_console, name)) == 0, "no resource");
}

void Start() {
    WSysSetTraceHook([](const char*) { return 0; });
    plat::SetClockSource(&g_clock);
    char directory[] = "/tmp/znp-fuzz-XXXXXX";
    Check(mkdtemp(directory) != nullptr, "no directory");
    g_directory = directory;
    std::filesystem::create_directories(g_directory + "/WOut");
    KTCONSOL_SetWorkDirectory(g_directory.c_str(), "");
    KTCONSOL_SetPrintCommand("");
    TWI_SetSpoolMaxSize(16);
    g_own = NewStream();
    g_stream = NewStream();
    g_console = KTCONSOL_NewConso(1, 1, "FUZZ", g_own, nullptr);
    Check(g_console != nullptr, "no console");
    g_console->printCommand2[0] = '\0';
    Check(SAP_NewSAPbox(g_own, g_console, 1, 1, 0) == 1, "no box");
    static const PosGuiExecutors executors{PosDisplay, PosKey, PosEntry, PosSelection, PosSpool};
    ISAP_SetPosGuiExecutors(&executors);
    AddWindow("V5", 41, 3, 20);
    AddWindow("F5", 43, 2, 40);
    AddWindow("S5", 44, 2, 40);
    AddWindow("P5", 45, 4, 20);
    std::atexit(CleanUp);
}

void CheckTable(const char (*table)[SAP_ROW_SIZE]) {
    for (int i = 0; i < SAP_ROWS; ++i) {
        const char status = table[i][0];
        Check(status == TWIP_FREE || (status >= TWIP_SET && status <= TWIP_READ), "a row with a stray status");
        SapRowHeader h{};
        if (status != TWIP_FREE && TWIP_ReadRowHeader(table[i], &h))
            Check(h.length <= SAP_PAYLOAD_MAX, "a row announcing a payload over 137 bytes");
    }
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
    const size_t bodyStart = sLength < rest ? sLength + 1 : rest;
    const size_t bodyLength = rest - bodyStart;
    if (bodyLength > KTM_M_MAX) return 0;

    KT_IPERIPH_API* box = SAP_GetBox();
    if ((flags & 0x04) == 0) ISAP_ClearAll();
    KTM_HALF* in = g_stream->mess->answer;
    std::memset(in, 0, sizeof *in);
    std::memcpy(in->S, text, sLength);
    if ((flags & 0x02) == 0) std::memcpy(in->A, (flags & 0x01) != 0 ? "1200" : "1210", 4);
    std::memcpy(in->M, text + bodyStart, bodyLength);
    in->mLength = static_cast<uint32_t>(bodyLength);
    g_sent.clear();

    ISAP_DealMessage(g_stream);

    for (const Sent& s : g_sent) {
        Check(s.application == "1210", "a message sent without the net application");
        Check(s.length <= static_cast<uint32_t>(SAP_ROW_SIZE), "a body over a row sent");
    }
    CheckTable(box->SAP_Commands);
    CheckTable(box->SAP_Answers);
    Check(box->stream == g_own, "the box's stream did not come back");
    Check(TWIP_MessageSlot(box)->Tube == nullptr, "the message slot kept the message's stream");
    return 0;
}
