// Terminal peripheral box: the box, its resources from the peripheral
// configuration, the device and protocol names, the XPRO address of a
// resource, and the small terminal-model helpers.
#include "periph/terminal_box.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "comm/message_box.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "periph/console_windows.h"
#include "periph/terminal_exchange.h"
#include "protocols/module_contract.h"
#include "protocols/xpro/xpro_context.h"

namespace {

KT_EPERIPH_API* g_box = nullptr;
KT_PERES* g_current = nullptr;
int g_scan = 0;
bool g_exitHook = false;

constexpr const char* kTwepLogger = "twep";

struct NamedNumber {
    const char* name;
    int serial;
    int network;
};

constexpr NamedNumber kDevices[] = {
    {"EFT_   ", 9, 29},    {"EFT_DSP", 0, 20},   {"EFT_PRN", 1, 21},   {"EFT_ISO", 2, 22},
    {"EFT_CM7", 3, 23},    {"EFT_CAM_1", 4, 24}, {"EFT_CAM_2", 5, 25}, {"EFT_SAM_1", 6, 26},
    {"EFT_SAM_2", 7, 27},  {"EFT_SCA", 8, 28},   {"EFT_CIPHER", 10, 30},
};

constexpr NamedNumber kProtocols[] = {
    {"TALVO", -2, 0}, {"DORAN", 2, 0}, {"R7700", 11, 0}, {"QUENT", 12, 0}, {"RUDA", 16, 0},
    {"OLVAR", 8, 0},  {"M4400", 7, 0}, {"D5500", 6, 0},  {"PZR", 5, 0},
};

// The configured name begins with the table name (any case).
bool Matches(const char* configured, const char* tableName) {
    const size_t n = std::strlen(tableName);
    return strnlen(configured, n) == n && WCompareNString(configured, tableName, 1, static_cast<int32_t>(n)) == 1;
}

void CopyText(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    if (text != nullptr) std::memcpy(field, text, strnlen(text, size - 1));
}

// Frees the box at the end of the process: its links closed, the locks of
// its ports released.
void FreeAtExit() { PAP_FreePAPbox(); }

template <typename Match>
KT_PERES* FindSlot(KT_EPERIPH_API* box, int restart, Match match) {
    if (box == nullptr) return nullptr;
    if (restart == 1) g_scan = 0;
    for (int i = g_scan; i < PAP_RESOURCES; ++i) {
        KT_PERES* r = &box->resources[i];
        // A never-filled slot reads as function 0 on port 0: it is never
        // found.
        if (r->configured && match(*r)) {
            g_scan = i + 1;
            return r;
        }
    }
    g_scan = PAP_RESOURCES;
    return nullptr;
}

}  // namespace

KT_EPERIPH_API* EPAP_GetBox() { return g_box; }
KT_PERES* EPAP_CurrentResource() { return g_current; }
void PAP_SetCurrentResource(KT_PERES* resource) { g_current = resource; }

int PAP_NewPAPbox(int resourceId, int station, int keyIndex, ConsoBox* console) {
    if (g_box != nullptr) return 2;
    auto* box = static_cast<KT_EPERIPH_API*>(WAlloc(sizeof(KT_EPERIPH_API)));
    if (box == nullptr) {
        WSysError("-- ERROR -- PAP_NewPAPbox() : Echec Allocation structure PAP");
        return -1;
    }
    box->resourceId = resourceId;
    box->station = station;
    box->stream = console != nullptr ? console->stream : nullptr;
    box->console = console;
    box->accessStatus = 10;
    box->keyIndex = keyIndex;
    std::snprintf(box->netApplication, sizeof box->netApplication, "%s", "1200");
    g_box = box;
    g_current = nullptr;
    g_scan = 0;
    // The command modules reach the box and its answer rows through these.
    static const PapEngineServices kEngine{EPAP_GetBox, TWEP_RearmAnswerRow, EPAP_WaitEvent};
    PAP_SetEngineServices(&kEngine);
    TWEP_ResetPortState();
    if (!g_exitHook) g_exitHook = std::atexit(FreeAtExit) == 0;
    return 1;
}

int PAP_FreePAPbox() {
    KT_EPERIPH_API* box = g_box;
    if (box == nullptr) return -1;
    TWEP_CloseSerialPorts(box);
    for (int i = 0; i < PAP_RESOURCES; ++i) {
        KT_PERES& r = box->resources[i];
        if (r.configured && r.transportKind == PAP_TRANSPORT_NETWORK && r.link != nullptr) {
            TWEP_XNetStop(box, &r);
            break;
        }
    }
    for (int port = 0; port < PAP_PORTS; ++port) {
        KT_PERES* r = TWEP_FindPort(box, port, PAP_TRANSPORT_SERIAL, 1);
        if (r != nullptr && r->link != nullptr) TWEP_XLocalStop(box, r);
    }
    std::memset(box, 0, sizeof *box);  // card data of the script rows
    WFree(box);
    g_box = nullptr;
    g_current = nullptr;
    g_scan = 0;
    return 1;
}

void PAP_ConsoleFreed(const ConsoBox* console) {
    if (g_box != nullptr && console != nullptr && g_box->console == console) PAP_FreePAPbox();
}

int PAP_DeviceFunction(const char* device, int transport) {
    if (device == nullptr) return -2;
    for (const NamedNumber& d : kDevices)
        if (Matches(device, d.name)) return transport == PAP_TRANSPORT_NETWORK ? d.network : d.serial;
    return -2;
}

int PAP_ProtocolNumber(const char* protocol) {
    if (protocol == nullptr) return -2;
    for (const NamedNumber& p : kProtocols)
        if (Matches(protocol, p.name)) return p.serial;
    return -2;
}

int TWEP_CreateFunctionProfile(KT_EPERIPH_API* box, const char* device, int port, int transport,
                               const char* protocol) {
    if (box == nullptr) return PV_CMD_INTERNAL;
    g_scan = 0;
    int slot = -1;
    for (int i = 0; i < PAP_RESOURCES && slot < 0; ++i)
        if (!box->resources[i].configured) slot = i;
    const int function = PAP_DeviceFunction(device, transport);
    const int number = PAP_ProtocolNumber(protocol);
    int status = PV_ALL_FINE;
    if (slot < 0) {
        WSysError("-- ERROR -- TWEP_CreateFunctionProfile() : Too Much Resources !");
        status = PV_CMD_INTERNAL;
    } else if (function < 0) {
        WSysError("-- ERROR -- TWEP_CreateFunctionProfile() : Fonction inconnue <%s>", device != nullptr ? device : "");
        status = PV_CMD_INTERNAL;
    } else if (number < 0) {
        WSysError("-- ERROR -- TWEP_CreateFunctionProfile() : Protocole inconnu <%s>",
                  protocol != nullptr ? protocol : "");
        status = PV_PER_UNKNOWN;
    }
    if (status != PV_ALL_FINE) {
        TWEP_SetStatus(box, status);
        return status;
    }
    KT_PERES& r = box->resources[slot];
    std::memset(&r, 0, sizeof r);
    r.configured = 1;
    r.port = port;
    r.inUse = 1;
    r.function = function;
    r.transportKind = transport;
    r.protocol = number;
    CopyText(r.dialServiceText, sizeof r.dialServiceText, "0000000000000000");
    CopyText(r.application, sizeof r.application, "1000");
    CopyText(r.appStat, sizeof r.appStat, "00000000");
    CopyText(r.kerStat, sizeof r.kerStat, "00000000");
    r.accStat = 10;
    r.keyIndex = box->keyIndex;
    return 1;
}

int EPAP_CreateFunctionProfile(const char* device, int port, int transport, const char* protocol) {
    KT_EPERIPH_API* box = g_box;
    if (box == nullptr) return 1;
    TWEP_SetStatus(box, PV_ALL_FINE);
    TWEP_CreateFunctionProfile(box, device, port, transport, protocol);
    return box->status;
}

KT_PERES* TWEP_FindFunction(KT_EPERIPH_API* box, int function, int restart) {
    return FindSlot(box, restart, [function](const KT_PERES& r) { return r.function == function; });
}

KT_PERES* TWEP_FindPort(KT_EPERIPH_API* box, int port, int transport, int restart) {
    return FindSlot(box, restart,
                    [port, transport](const KT_PERES& r) { return r.port == port && r.transportKind == transport; });
}

KT_PERES* TWEP_FindTransport(KT_EPERIPH_API* box, int transport, int restart) {
    return FindSlot(box, restart, [transport](const KT_PERES& r) { return r.transportKind == transport; });
}

int TWEP_GetResourceIndex(KT_EPERIPH_API* box, const KT_PERES* resource) {
    if (box == nullptr || resource == nullptr) return -1;
    if (resource < &box->resources[0] || resource >= &box->resources[PAP_RESOURCES]) return -1;
    return static_cast<int>(resource - &box->resources[0]);
}

int EPAP_GetProtocol(int function) {
    if (EpapSeam* seam = EPAP_GetSeam()) return seam->getProtocol(function);
    KT_EPERIPH_API* box = g_box;
    if (box == nullptr) return 1;
    KT_PERES* r = TWEP_FindFunction(box, function, 1);
    if (r == nullptr) {
        TWEP_SetStatus(box, PV_PER_ACCES);
        return -1;
    }
    g_current = r;
    return r->protocol;
}

int EPAP_CheckFunction(int function) {
    KT_EPERIPH_API* box = g_box;
    if (box == nullptr) return 1;
    TWEP_SetStatus(box, PV_ALL_FINE);
    KT_PERES* r = TWEP_FindFunction(box, function, 1);
    if (r == nullptr) return PV_PER_UNKNOWN;
    g_current = r;
    return 0;
}

void TWEP_SetResourceDialInfo(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box == nullptr || resource == nullptr) return;
    if (box->dialService[0] != '\0') CopyText(resource->dialServiceText, sizeof resource->dialServiceText, box->dialService);
    resource->keyIndex = box->keyIndex;
    resource->dialServiceChar = box->lastOperation;
    resource->dialNum = box->sequence;
}

void TWEP_SetResourceStatus(KT_EPERIPH_API* box, KT_PERES* resource) {
    if (box == nullptr || resource == nullptr) return;
    CopyText(resource->application, sizeof resource->application, box->applicationCode);
    std::snprintf(resource->kerStat, sizeof resource->kerStat, "%08x", static_cast<unsigned>(box->kernelStatus));
    std::snprintf(resource->appStat, sizeof resource->appStat, "%08x", static_cast<unsigned>(box->appStatus));
    resource->accStat = box->accessStatus;
}

int TWEP_BuildXproAddress(KT_PERES* r) {
    if (r == nullptr) return -1;
    std::memset(r->xproAddress, 0, sizeof r->xproAddress);
    const int n = std::snprintf(r->xproAddress, sizeof r->xproAddress, "XPRO/%c/%03d/%s/%s/%d/%d/%s/%s/%03d/%03d/",
                                static_cast<char>(r->dialServiceChar), static_cast<int>(static_cast<int8_t>(r->dialNum)),
                                r->application, r->dialServiceText, r->port, r->keyIndex, r->kerStat, r->appStat,
                                r->accStat, r->mesStat);
    return n < static_cast<int>(sizeof r->xproAddress) ? n : static_cast<int>(sizeof r->xproAddress) - 1;
}

int TWEP_ParseXproAddress(KT_PERES* r) {
    if (r == nullptr) return -2;
    XPRO_FIELDS f;
    if (XPRO_SplitDescriptor(r->xproAddress, &f) != 1) {
        WSysError("-- ERROR -- TWEP_ParseXproAddress() : descripteur incomplet <%.100s>", r->xproAddress);
        return -1;
    }
    // Every text field must fit its field of the record: nothing is cut.
    if (std::strlen(f.field[2]) > 4 || std::strlen(f.field[3]) > 16 || std::strlen(f.field[6]) > 8 ||
        std::strlen(f.field[7]) > 8) {
        WSysError("-- ERROR -- TWEP_ParseXproAddress() : champ trop long <%.100s>", r->xproAddress);
        return -1;
    }
    r->dialServiceChar = static_cast<unsigned char>(f.field[0][0]);
    r->dialNum = std::atoi(f.field[1]);
    CopyText(r->application, sizeof r->application, f.field[2]);
    CopyText(r->dialServiceText, sizeof r->dialServiceText, f.field[3]);
    r->port = std::atoi(f.field[4]);
    r->keyIndex = std::atoi(f.field[5]);
    CopyText(r->kerStat, sizeof r->kerStat, f.field[6]);
    CopyText(r->appStat, sizeof r->appStat, f.field[7]);
    r->accStat = std::atoi(f.field[8]);
    r->mesStat = std::atoi(f.field[9]);
    return 1;
}

void TWEP_logPERES(const KT_PERES* r) {
    if (r == nullptr) return;
    WLOG(kTwepLogger, WLOG_DEBUG, "HJFUNC:");
    WLOG(kTwepLogger, WLOG_DEBUG, "DialService %c", static_cast<char>(r->dialServiceChar));
    WLOG(kTwepLogger, WLOG_DEBUG, "DialNum %d", r->dialNum);
    WLOG(kTwepLogger, WLOG_DEBUG, "Application %s", r->application);
    WLOG(kTwepLogger, WLOG_DEBUG, "DialService %s", r->dialServiceText);
    WLOG(kTwepLogger, WLOG_DEBUG, "ResNum %d", r->port);
    WLOG(kTwepLogger, WLOG_DEBUG, "KeyIndex %d", r->keyIndex);
    WLOG(kTwepLogger, WLOG_DEBUG, "KerStat %s", r->kerStat);
    WLOG(kTwepLogger, WLOG_DEBUG, "AppStat %s", r->appStat);
    WLOG(kTwepLogger, WLOG_DEBUG, "AccStat %d", r->accStat);
    WLOG(kTwepLogger, WLOG_DEBUG, "MesStat %d", r->mesStat);
}

void EPAP_SetTransportBeAdded(int value) {
    if (g_box != nullptr) g_box->transportAdded = value;
}

int EPAP_IsTransportAdded() { return g_box != nullptr ? g_box->lastAnswerCiphered : 0; }

void EPAP_SetSelectCardWatch(int value) {
    if (g_box != nullptr) g_box->selectCardWatch = static_cast<uint8_t>(value);
}

int EPAP_GetExecuteMode() { return g_box != nullptr ? g_box->executeMode : -1; }

int EPAP_SetApplication(const char* code, int operation) {
    if (g_box == nullptr) return -1;
    if (code != nullptr) CopyText(g_box->applicationCode, sizeof g_box->applicationCode, code);
    if (operation >= 0) g_box->lastOperation = operation;
    return 1;
}

int TWEP_SetBoxStatusWords(int application, int kernel, int access) {
    if (g_box == nullptr) return -1;
    if (application != -1) g_box->appStatus = application;
    if (kernel != -1) g_box->kernelStatus = kernel;
    if (access != -1) g_box->accessStatus = access;
    return 1;
}

int EPAP_SetNetApplication(const char* text) {
    if (g_box == nullptr) return -1;
    CopyText(g_box->netApplication, sizeof g_box->netApplication, text);
    return 1;
}

int GetTerminalFamily(unsigned modelNumber) {
    if (modelNumber == 0) return 0;
    if (modelNumber == 888) return 4;
    const unsigned hundreds = modelNumber / 100 % 10;
    if ((hundreds & 2U) == 0) return 1;
    return (hundreds & 4U) != 0 ? 3 : 2;
}

namespace {

// At most six numbers of a version text (its first 19 characters), split
// at '.' and ','; the count read.
int VersionNumbers(const char* text, long numbers[6]) {
    char work[20] = {};
    std::memcpy(work, text, strnlen(text, 19));
    int count = 0;
    char* save = nullptr;
    for (char* part = strtok_r(work, ".,", &save); part != nullptr && count < 6; part = strtok_r(nullptr, ".,", &save))
        numbers[count++] = std::strtol(part, nullptr, 10);
    for (int i = count; i < 6; ++i) numbers[i] = 0;
    return count;
}

}  // namespace

int IsVersionAtLeast(const char* version, const char* reference) {
    if (version == nullptr || reference == nullptr) return -1;
    long v[6], r[6];
    VersionNumbers(version, v);
    const int count = VersionNumbers(reference, r);
    if (count == 0) return 0;
    for (int i = 0; i < count; ++i)
        if (v[i] != r[i]) return v[i] > r[i] ? 1 : 0;
    return 1;
}

const char* GetHashSuffixPart() { return "Kestrel"; }
