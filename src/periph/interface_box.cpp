// Interface-peripheral box: no interface resource is served yet.
#include "periph/interface_box.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "comm/length_prefixed.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/terminal_box.h"

namespace {
KT_IPERIPH_API* g_box = nullptr;
std::string g_localRoot;
constexpr size_t kLocalRootMax = 500;
PosGuiExecutors g_posGui{};
bool g_posGuiSet = false;
// The last selection of a window and its status.
const KT_TEXT_WINDOW* g_selecWindow = nullptr;
int g_selecStatus = PV_PER_ACCES;
unsigned char g_selecItem = 255;
constexpr int kExecutorFailed = 16;
}  // namespace

int SAP_NewSAPbox(int resourceId, int station, int, ConsoBox* console) {
    if (g_box != nullptr) {
        // The box serves the console of the session that opens now: the
        // console it had went with the session that closed.
        g_box->console = console;
        return 2;
    }
    g_box = new (std::nothrow) KT_IPERIPH_API{};
    if (g_box == nullptr) return -1;
    g_box->resourceId = resourceId;
    g_box->station = station;
    g_box->console = console;
    return 1;
}

KT_IPERIPH_API* SAP_GetBox() { return g_box; }

int ISAP_ClearAll() {
    if (g_box == nullptr) return 1;
    return g_box->console != nullptr ? 0 : -1;
}

int ISAP_SendScriptCommands() { return 0; }

int ISAP_DealMessage(KTX_WSERV*) {
    WSysError("<< WARN. >> ISAP_DealMessage(): message d'interface non traite (aucune ressource d'interface)");
    return 0;
}

int ISAP_DealTeleM(KTX_WSERV*, char* text, int size) {
    if (text != nullptr && size > 0) std::snprintf(text, static_cast<size_t>(size), "%s", "Transfert de fichier impossible");
    return -1;
}

int KTXCH_SetLocalRoot(const char* path) {
    if (path == nullptr || std::strlen(path) > kLocalRootMax) return -1;
    g_localRoot = path;
    g_localRoot += '/';
    return 1;
}

const char* KTXCH_GetLocalRoot() { return g_localRoot.c_str(); }

int TWIP_ReseauPrintf(void* body, uint32_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = KTN_V_ReseauPrintf(body, capacity, format, args);
    va_end(args);
    return result;
}

int TWIP_ReseauScanf(const void* body, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = KTN_V_ReseauScanf(body, format, args);
    va_end(args);
    return result;
}

int ISAP_OpenWindowResource(KT_TEXT_WINDOW*) { return PV_ALL_FINE; }

void ISAP_SetPosGuiExecutors(const PosGuiExecutors* executors) {
    g_posGuiSet = executors != nullptr;
    g_posGui = executors != nullptr ? *executors : PosGuiExecutors{};
}

const PosGuiExecutors* ISAP_PosGuiOf(const KT_TEXT_WINDOW* window) {
    if (!g_posGuiSet || window == nullptr || (window->resource != 45 && window->resource != 46)) return nullptr;
    return &g_posGui;
}

int ISAP_SetSelecCommand(KT_TEXT_WINDOW* window, int count, int itemWidth, int firstShown, const char* title,
                         const char* items, int) {
    g_selecWindow = window;
    g_selecItem = 255;
    const PosGuiExecutors* gui = ISAP_PosGuiOf(window);
    if (gui == nullptr || gui->selection == nullptr || g_box == nullptr) {
        g_selecStatus = PV_PER_ACCES;
        return g_selecStatus;
    }
    ConsoBox* console = g_box->console;
    unsigned choice = 0;
    // The console counts seconds, the cash register's dialogues milliseconds.
    const int timeout = console == nullptr ? 0 : console->timeout < 0 ? -1 : console->timeout * 1000;
    const int result = gui->selection(console, window, timeout, window->rows, window->columns, count, itemWidth,
                                      firstShown, title, items, &choice);
    g_selecStatus = result < 0 ? kExecutorFailed : PV_ALL_FINE;
    if (result >= 0 && choice >= 1 && choice <= 254) g_selecItem = static_cast<unsigned char>(choice);
    return PV_ALL_FINE;
}

int ISAP_GetSelecResult(KT_TEXT_WINDOW* window, unsigned char* item) {
    if (item != nullptr) *item = 255;
    if (window == nullptr || window != g_selecWindow) return PV_PER_ACCES;
    if (item != nullptr) *item = g_selecItem;
    return g_selecStatus;
}
