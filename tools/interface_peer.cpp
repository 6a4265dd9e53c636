// Remote station of the interface exchange: a second process running the
// interface engine as client. It connects to a host over the message-box
// TCP link (net application "1210"), hands every "1210" message to
// ISAP_DealMessage, and shows the commands on its own console windows, its
// standard input and output being its console (run it on a pty).
//
//   interface_peer --connect PORT [--station N] [--windows SPEC] [--work DIR]
//                  [--print1 CMD] [--print2 CMD] [--timeout-ms N]
//                  [--events FD] [--text FILE] [--dump FILE] [--log FILE]
//                  [--echo APP]
//
// --windows: windows separated by ';', each NAME:RESOURCE:ROWSxCOLUMNS with
//   an optional @ROW,COLUMN (default "V5:41:23x78@1,1;F5:43:4x40;S5:44:4x40").
// --work: the work directory (spool files in DIR/WOut); --print1, --print2:
//   the print commands of the console (%s is the spool file).
// --timeout-ms: the receive wait of the link between two checks (default
//   60000).
// --events: a descriptor that gets "ready keyboard=<0|1>" at start and
//   "dealt <MesStat> <status>" after each message (the message state it
//   arrived with, -1 when unreadable, and the engine's status), once the
//   dumps are written.
// --text: after each message, the text of every window ("[NAME]" then each
//   line between '|'), written whole (temporary file and rename) to FILE and
//   to FILE.<n> for the n-th message dealt with.
// --dump: after each message, the console's 8192-byte video block.
// --log: the trace lines (never a payload); none without it.
// --echo: messages of that net application are sent back as they came (the
//   bare round trip of the benchmarks); other applications are ignored.
// A lost link ("9999") or SIGTERM ends it with exit code 0; 1 on misuse, 2
// when the link or the console cannot be made.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/message_box.h"
#include "comm/network_dispatch.h"
#include "core/helpers.h"
#include "core/shared_blocks.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "platform/process.h"
#if __has_include("platform/console_keyboard.h")
#include "platform/console_keyboard.h"
#define PEER_HAS_KEYBOARD 1
#else
#define PEER_HAS_KEYBOARD 0
#endif

namespace {

constexpr int kVideoSize = 8192;
FILE* g_log = nullptr;

struct WindowSpec {
    std::string name;
    int resource = 0;
    int rows = 0;
    int columns = 0;
    int row = -1;
    int column = -1;
};

bool ParseWindows(const std::string& text, std::vector<WindowSpec>* out) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = std::min(text.find(';', start), text.size());
        const std::string item = text.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        WindowSpec w;
        char name[64] = {};
        const int n = std::sscanf(item.c_str(), "%63[^:]:%d:%dx%d@%d,%d", name, &w.resource, &w.rows, &w.columns,
                                  &w.row, &w.column);
        if (n != 4 && n != 6) return false;
        w.name = name;
        out->push_back(w);
    }
    return !out->empty();
}

// Writes the bytes to path through a temporary file and a rename.
void WriteWhole(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    std::rename(temporary.c_str(), path.c_str());
}

std::string WindowTexts(ConsoBox* console) {
    std::string out;
    for (KT_TEXT_WINDOW* w : console->windows) {
        if (w == nullptr || w->text == nullptr) continue;
        out += "[" + std::string(w->name) + "]\n";
        for (int i = 0; i < w->text->rows; ++i)
            out += "|" + std::string(TWI_GetLine(w, i), static_cast<size_t>(w->text->width)) + "|\n";
    }
    return out;
}

void Event(int fd, const std::string& line) {
    if (fd < 0) return;
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

int Log(const char* text) {
    if (g_log != nullptr && text != nullptr) {
        std::fputs(text, g_log);
        std::fputc('\n', g_log);
        std::fflush(g_log);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string port, windows = "V5:41:23x78@1,1;F5:43:4x40;S5:44:4x40", work, print1, print2, textPath, dumpPath,
                      logPath, echo;
    int station = 1, events = -1, timeoutMs = 60000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--connect" && value) port = argv[++i];
        else if (a == "--station" && value) station = std::atoi(argv[++i]);
        else if (a == "--windows" && value) windows = argv[++i];
        else if (a == "--work" && value) work = argv[++i];
        else if (a == "--print1" && value) print1 = argv[++i];
        else if (a == "--print2" && value) print2 = argv[++i];
        else if (a == "--timeout-ms" && value) timeoutMs = std::atoi(argv[++i]);
        else if (a == "--events" && value) events = std::atoi(argv[++i]);
        else if (a == "--text" && value) textPath = argv[++i];
        else if (a == "--dump" && value) dumpPath = argv[++i];
        else if (a == "--log" && value) logPath = argv[++i];
        else if (a == "--echo" && value) echo = argv[++i];
        else {
            std::fprintf(stderr, "interface_peer: unknown argument %s\n", a.c_str());
            return 1;
        }
    }
    std::vector<WindowSpec> specs;
    if (port.empty() || !ParseWindows(windows, &specs) || print1.size() > 80 || print2.size() > 80) {
        std::fprintf(stderr,
                     "usage: interface_peer --connect PORT [--station N] [--windows SPEC] [--work DIR] [--print1 CMD]"
                     " [--print2 CMD] [--timeout-ms N] [--events FD] [--text FILE] [--dump FILE] [--log FILE]"
                     " [--echo APP]\n");
        return 1;
    }
    // The traces never reach the console (standard output).
    if (!logPath.empty()) g_log = std::fopen(logPath.c_str(), "a");
    WSysSetTraceHook(&Log);
    plat::InstallTerminateHandler();

    KTX_WSERV* box = KTX_NewClientBox(station, 0);
    if (box == nullptr || KTX_ClientNetStart(box, WNET_TYPE_TCP, port.c_str(), port.c_str(), "127.0.0.1", "127.0.0.1",
                                             "", "", 0, 0, "", "") < 0) {
        Log("interface_peer: cannot connect");
        return 2;
    }
    KTX_SetTimeOutAndModes(box, timeoutMs, 0, 0);

    if (!work.empty()) KTCONSOL_SetWorkDirectory(work.c_str(), "");
    KTCONSOL_SetPrintCommand(print1.c_str());
    ConsoBox* console = KTCONSOL_NewConso(station, 1, "PEER", box, nullptr);
    if (console == nullptr) return 2;
    std::snprintf(console->printCommand2, sizeof console->printCommand2, "%s", print2.c_str());
    console->video = WOpenShareMemHeap("B_VIDEO_PEER", kVideoSize);
    if (console->video != nullptr) std::memset(console->video, 0, kVideoSize);
    if (SAP_NewSAPbox(box, console, station, 1, 0) < 0) return 2;
    for (const WindowSpec& w : specs) {
        if (KTCONSOL_AddFenetre(console, w.name.c_str(), w.rows, w.columns) != 1) return 2;
        if (w.row >= 0) KTCONSOL_SetFenetrePosition(console, w.name.c_str(), w.row, w.column);
        KTCONSOL_SetFenetreResource(console, w.name.c_str(), w.resource);
        if (ISAP_OpenWindowResource(KTCONSOL_FindFenetre(console, w.name.c_str())) != 0) return 2;
    }
#if PEER_HAS_KEYBOARD
    const int keyboard = plat::OpenKeyboard() ? 1 : 0;
#else
    const int keyboard = 0;
#endif
    Event(events, "ready keyboard=" + std::to_string(keyboard));

    long dealt = 0;
    for (;;) {
        const char* a = KTX_SomeThingReceived(box->mess, 0);
        if (a == nullptr) continue;
        if (std::strcmp(a, "9999") == 0) break;
        if (!echo.empty() && echo == a) {
            KTM_HALF* in = box->mess->answer;
            KTM_HALF* out = box->mess->request;
            KTM_PutArg(box->mess, 'A', in->A, 1);
            KTM_PutArg(box->mess, 'S', in->S, 1);
            std::memcpy(out->M, in->M, in->mLength);
            out->mLength = in->mLength;
            KTX_SomeThingToSend(box->mess, 0);
            continue;
        }
        if (std::strcmp(a, "1210") != 0) {
            WSysError("** INFO. ** interface_peer: message %s ignored", a);
            continue;
        }
        // The message state as received (answers sent back change the slot's).
        char addressStatus[9];
        int mesStat = -1;
        if (TWIP_ParseXSAPText(box->mess->answer->S, addressStatus, &mesStat) != 1) mesStat = -1;
        const int status = ISAP_DealMessage(box);
        ++dealt;
        if (!textPath.empty()) {
            const std::string texts = WindowTexts(console);
            WriteWhole(textPath + "." + std::to_string(dealt), texts);
            WriteWhole(textPath, texts);
        }
        if (!dumpPath.empty() && console->video != nullptr)
            WriteWhole(dumpPath, std::string(static_cast<const char*>(console->video), kVideoSize));
        Event(events, "dealt " + std::to_string(mesStat) + " " + std::to_string(status));
    }
    SAP_FreeSAPbox();
    KTCONSOL_FreeConso(console);
    KTX_CloseClientBox(box, 0);
    if (g_log != nullptr) std::fclose(g_log);
    return 0;
}
