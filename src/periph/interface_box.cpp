// Interface-peripheral box: no interface resource is served yet.
#include "periph/interface_box.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "comm/length_prefixed.h"
#include "core/trace.h"
#include "periph/terminal_box.h"

namespace {
KT_IPERIPH_API* g_box = nullptr;
std::string g_localRoot;
constexpr size_t kLocalRootMax = 500;
}  // namespace

int SAP_NewSAPbox(int resourceId, int station, int, ConsoBox* console) {
    if (g_box != nullptr) return 2;
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
