// The SAP box: resources, XSAP addresses, the status refresh, and the
// services around the engine (field codec fronts, POS GUI executors,
// tele-maintenance entry).
#include "periph/interface_box.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "comm/length_prefixed.h"
#include "comm/message_box.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/interface_script.h"
#include "protocols/pv_status.h"

namespace {

KT_IPERIPH_API* g_box = nullptr;
std::string g_localRoot;
constexpr size_t kLocalRootMax = 500;
PosGuiExecutors g_posGui{};
bool g_posGuiSet = false;
constexpr const char* kNetAppli = "1210";
constexpr int kXsapPartMax = 80;

template <size_t N>
void SetText(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text != nullptr ? text : "");
}

void ClearResource(KT_PIRES* r) { *r = KT_PIRES{}; }

// The box as creation leaves it (tables and resources empty).
void ResetBox(KT_IPERIPH_API* box) {
    std::memset(box->SAP_Commands, 0, sizeof box->SAP_Commands);
    std::memset(box->SAP_Answers, 0, sizeof box->SAP_Answers);
    for (KT_PIRES& r : box->resources) ClearResource(&r);
    SetText(box->SAP_NetAppli, kNetAppli);
    box->SAP_GenStat = PV_ALL_FINE;
    box->severity = 0;
    box->lastStatus = 0;
    box->statusText[0] = '\0';
    TWIP_ResetState();
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

int SAP_NewSAPbox(KTX_WSERV* stream, ConsoBox* console, int station, int resource, int mode) {
    if (g_box != nullptr) {
        if (g_box->console != console) {
            // The console it served went with its session: its windows too.
            ResetBox(g_box);
            g_box->console = console;
            g_box->stream = stream;
        }
        return 2;
    }
    g_box = new (std::nothrow) KT_IPERIPH_API{};
    if (g_box == nullptr) {
        WSysError("-- ERROR -- SAP_NewSAPbox() : Echec Allocation structure SAP");
        return -1;
    }
    g_box->station = station;
    g_box->resource = resource;
    g_box->mode = mode;
    g_box->console = console;
    g_box->stream = stream;
    ResetBox(g_box);
    // The stream keeps its time-out and modes.
    if (stream != nullptr) KTX_SetTimeOutAndModes(stream, -2, -1, -1);
    return 1;
}

KT_IPERIPH_API* SAP_GetBox() { return g_box; }

int SAP_FreeSAPbox() {
    if (g_box == nullptr) return -1;
    KT_PIRES* first = TWIP_FindResourceByType(g_box, SAP_RES_NETWORK, 1);
    if (first != nullptr) TWIP_UnbindResource(g_box, first);
    delete g_box;
    g_box = nullptr;
    TWIP_ResetState();
    return 1;
}

void SAP_ConsoleFreed(const ConsoBox* console) {
    if (g_box != nullptr && console != nullptr && g_box->console == console) SAP_FreeSAPbox();
}

int SAP_SetNetAppli(const char* text) {
    if (g_box == nullptr) return -1;
    if (text != nullptr) std::snprintf(g_box->SAP_NetAppli, 11, "%s", text);
    return 1;
}

int SAP_SetLastStatus(int value) {
    if (g_box == nullptr) return -1;
    if (value != -1) g_box->lastStatus = value;
    return 1;
}

const char* SAP_StatusLabel(int status, int* severity) {
    if (status == PV_APP_UNKNOWN || status == PV_APP_ACCES) {
        if (severity != nullptr) *severity = 2;
        return "PERI INTERNAL ERROR";
    }
    return PvStatusLabel(status, severity);
}

void SAP_SetStatusText(KT_IPERIPH_API* box, const KT_PIRES* resource) {
    if (box == nullptr) return;
    char prefix[32] = "";
    if (box->SAP_GenStat != PV_ALL_FINE) std::snprintf(prefix, sizeof prefix, "KRN_SAP:0->");
    if (resource != nullptr && box->SAP_GenStat == PV_ALL_FINE) {
        box->SAP_GenStat = static_cast<int32_t>(std::strtoul(resource->status, nullptr, 16));
        if (box->SAP_GenStat != PV_ALL_FINE)
            std::snprintf(prefix, sizeof prefix, "KRN_FUN:%x->", static_cast<unsigned>(resource->function));
    }
    box->statusText[0] = '\0';
    int severity = 0;
    const char* label = SAP_StatusLabel(box->SAP_GenStat, &severity);
    box->severity = severity;
    if (box->SAP_GenStat == PV_ALL_FINE) box->lastStatus = 0;
    std::snprintf(box->statusText, sizeof box->statusText, "%s:%s", prefix, label);
}

int TWIP_CreateFunctionProfile(KT_IPERIPH_API* box, int number, int type, KT_TEXT_WINDOW* window) {
    if (box == nullptr) return -1;
    for (int i = 0; i < SAP_MESSAGE_SLOT; ++i) {
        KT_PIRES& r = box->resources[i];
        if (r.inUse != 0) continue;
        ClearResource(&r);
        r.inUse = 1;
        r.function = number;
        r.ResType = type;
        r.window = window;
        SetText(r.status, "00000000");
        r.result = 255;
        r.reserved = 65536;
        return 1;
    }
    WSysError("-- ERROR -- TWIP_CreateFunctionProfile() : Too Much Resources !");
    box->SAP_GenStat = PV_CMD_INTERNAL;
    SAP_SetStatusText(box, nullptr);
    return -1;
}

namespace {
template <typename Match>
KT_PIRES* Search(KT_IPERIPH_API* box, int restart, Match match) {
    if (box == nullptr) return nullptr;
    SapEngineState& s = TWIP_State();
    const int from = restart != 0 ? 0 : s.searchPosition;
    for (int i = from; i < SAP_RESOURCES; ++i) {
        KT_PIRES& r = box->resources[i];
        if (r.inUse != 0 && match(r)) {
            s.searchPosition = i + 1;
            return &r;
        }
    }
    s.searchPosition = SAP_RESOURCES;
    return nullptr;
}
}  // namespace

KT_PIRES* TWIP_FindResource(KT_IPERIPH_API* box, int number, int restart) {
    return Search(box, restart, [number](const KT_PIRES& r) { return r.function == number; });
}

KT_PIRES* TWIP_FindResourceByType(KT_IPERIPH_API* box, int type, int restart) {
    return Search(box, restart, [type](const KT_PIRES& r) { return r.ResType == type; });
}

KT_PIRES* TWIP_FindResourceByWindow(KT_IPERIPH_API* box, const KT_TEXT_WINDOW* window) {
    if (window == nullptr) return nullptr;
    return Search(box, 1, [window](const KT_PIRES& r) { return r.window == window; });
}

KT_PIRES* TWIP_FindServedResource(KT_IPERIPH_API* box, int number) {
    if (box == nullptr) return nullptr;
    for (int i = 0; i < SAP_MESSAGE_SLOT; ++i)
        if (box->resources[i].inUse != 0 && box->resources[i].function == number) return &box->resources[i];
    return nullptr;
}

int TWIP_GetResourceIndex(const KT_IPERIPH_API* box, const KT_PIRES* resource) {
    if (box == nullptr || resource == nullptr) return -1;
    for (int i = 0; i < SAP_RESOURCES; ++i)
        if (&box->resources[i] == resource) return i;
    return -1;
}

KT_PIRES* TWIP_MessageSlot(KT_IPERIPH_API* box) {
    return box != nullptr ? &box->resources[SAP_MESSAGE_SLOT] : nullptr;
}

int TWIP_FormatXSAP(KT_PIRES* resource) {
    if (resource == nullptr) return -1;
    const int n = std::snprintf(resource->xsap, sizeof resource->xsap, "XSAP/%.8s/%03d/", resource->status,
                                static_cast<int>(resource->MesStat));
    return n < 0 ? -1 : static_cast<int>(std::strlen(resource->xsap));
}

int TWIP_ParseXSAPText(const char* text, char* status, int* mesStat) {
    if (text == nullptr || status == nullptr || mesStat == nullptr) return -2;
    std::string parts[3];
    int count = 0;
    const char* p = text;
    while (count < 3) {
        const char* slash = std::strchr(p, '/');
        const size_t n = slash != nullptr ? static_cast<size_t>(slash - p) : std::strlen(p);
        parts[count++].assign(p, n < kXsapPartMax ? n : kXsapPartMax);
        if (slash == nullptr) break;
        p = slash + 1;
    }
    if (parts[0] != "XSAP") return -1;
    // The status is read as a hexadecimal number into the box's status: it
    // must be exactly eight hexadecimal digits, and the message state must
    // be there.
    if (count < 3 || parts[1].size() != 8) return -3;
    for (char c : parts[1])
        if (!IsHexDigit(c)) return -3;
    std::memcpy(status, parts[1].c_str(), 9);
    *mesStat = std::atoi(parts[2].c_str());
    return 1;
}

int TWIP_ParseXSAP(KT_PIRES* resource) {
    if (resource == nullptr) return -2;
    char status[9];
    int mesStat = 0;
    const int result = TWIP_ParseXSAPText(resource->xsap, status, &mesStat);
    if (result != 1) return result;
    std::memcpy(resource->status, status, sizeof status);
    resource->MesStat = mesStat;
    return 1;
}

KTX_WSERV* TWIP_BindRemoteResource(KT_IPERIPH_API* box, KT_PIRES* resource) {
    if (box == nullptr || resource == nullptr || box->stream == nullptr) return nullptr;
    resource->Tube = box->stream;
    TWIP_FormatXSAP(resource);
    KTM_WPRO* block = box->stream->mess;
    KTM_PutArg(block, 'S', resource->xsap, 1);
    KTM_PutArg(block, 'A', box->SAP_NetAppli, 1);
    return box->stream;
}

void TWIP_BindNetworkResources(KT_IPERIPH_API* box) {
    KT_PIRES* first = TWIP_FindResourceByType(box, SAP_RES_NETWORK, 1);
    // Bound again when the box's stream changed since (a stream that went
    // with its connection is never kept).
    if (first == nullptr || (first->Tube != nullptr && first->Tube == box->stream)) return;
    KTX_WSERV* stream = TWIP_BindRemoteResource(box, first);
    for (KT_PIRES* r = TWIP_FindResourceByType(box, SAP_RES_NETWORK, 0); r != nullptr;
         r = TWIP_FindResourceByType(box, SAP_RES_NETWORK, 0))
        r->Tube = stream;
}

void TWIP_UnbindResource(KT_IPERIPH_API*, KT_PIRES* resource) {
    if (resource != nullptr) resource->Tube = nullptr;
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

void ISAP_SetPosGuiExecutors(const PosGuiExecutors* executors) {
    g_posGuiSet = executors != nullptr;
    g_posGui = executors != nullptr ? *executors : PosGuiExecutors{};
}

const PosGuiExecutors* ISAP_PosGuiOf(const KT_TEXT_WINDOW* window) {
    if (!g_posGuiSet || window == nullptr || (window->resource != 45 && window->resource != 46)) return nullptr;
    return &g_posGui;
}

const PosGuiExecutors* ISAP_GetPosGuiExecutors() { return g_posGuiSet ? &g_posGui : nullptr; }
