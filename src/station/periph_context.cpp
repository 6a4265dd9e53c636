#include "station/periph_context.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comm/com_channel.h"
#include "comm/com_resources.h"
#include "comm/port_api.h"
#include "core/directories.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_box.h"

namespace {

constexpr const char* kCategory = "[PERIPH]";
constexpr int kRudaProtocol = 16;

struct ZoneOfFunction {
    const char* function;
    const char* window;
    int resource;
    int row;
    int column;
};
constexpr ZoneOfFunction kZones[] = {
    {"VIO_DSP", "V5", 41, 2, 2},  {"POS_DSP", "P5", 45, 6, 2},  {"EFT_DSP", "E5", 47, 12, 2},
    {"VIO_PRN", "V6", 42, 2, 35}, {"FIL_PRN", "F5", 43, 4, 25}, {"SYS_PRN", "S5", 44, 4, 2},
    {"POS_PRN", "P6", 46, 4, 25}, {"EFT_PRN", "E6", 48, 4, 25},
};

// Value of "<key>_<n>" in the box's current file ("" when absent).
std::string Item(EFTCBox* context, const char* key, int n) {
    char name[32];
    std::snprintf(name, sizeof name, "%s_%d", key, n);
    const char* value = KTS_GetItemText(context->box, name);
    return value != nullptr ? value : "";
}

// A number counts when its first character is a digit.
int Number(const std::string& value, int fallback) {
    return !value.empty() && std::isdigit(static_cast<unsigned char>(value[0])) ? std::atoi(value.c_str()) : fallback;
}

// Communication resource numbers are written on three digits.
int ResourceNumber(const std::string& value) {
    return value.size() >= 3 && std::isdigit(static_cast<unsigned char>(value[2])) ? std::atoi(value.c_str()) : 0;
}

bool BeginsWith(const std::string& value, const char* keyword) {
    return strncasecmp(value.c_str(), keyword, std::strlen(keyword)) == 0;
}

int PhysicalType(const std::string& value) {
    static const struct {
        const char* keyword;
        int type;
    } kTypes[] = {{"SERIAL", WCOM_TYPE_SERIAL},
                  {"USB", WCOM_TYPE_USB},
                  {"IP_STAT", WCOM_TYPE_IP_CLIENT},
                  {"IP_DYN", WCOM_TYPE_IP_SERVER},
                  {"CONNECTED", WCOM_TYPE_CONNECTED}};
    for (const auto& t : kTypes)
        if (BeginsWith(value, t.keyword)) return t.type;
    return -1;
}

int Medium(const std::string& value) {
    if (BeginsWith(value, "ANALOGIC")) return WCOM_MEDIA_ANALOGIC;
    if (BeginsWith(value, "B_CHANEL")) return WCOM_MEDIA_B_CHANEL;
    if (BeginsWith(value, "D_CHANEL")) return WCOM_MEDIA_D_CHANEL;
    return WCOM_MEDIA_DIRECT;
}

int Adapter(const std::string& value) {
    if (BeginsWith(value, "EBA")) return WCOM_ADAPTER_EBA;
    if (BeginsWith(value, "EMA")) return WCOM_ADAPTER_EMA;
    return WCOM_ADAPTER_PHONE;
}

int TraceType(const std::string& value) {
    if (value == "SQLITE") return WCOM_TRACE_SQLITE;
    if (value == "NONE") return WCOM_TRACE_NONE;
    return WCOM_TRACE_WANALY;
}

// "<main path>/<directory>/<name>" (the station-specific physical name when
// asked); empty when the key is absent, and refused (empty, traced) when the
// whole does not fit what a communication resource takes.
std::string ComFileName(EFTCBox* context, const char* directory, const std::string& value, bool physical,
                        const char* key, int n) {
    if (value.empty()) return {};
    const char* dir = EFTOC_GetDirectory(context, directory);
    if (dir == nullptr) return {};
    std::string name = value;
    if (physical) {
        char built[256];
        if (TOC_MakePhysicalFileName(value.c_str(), built, sizeof built) != 1) built[0] = '\0';
        name = built;
    }
    const std::string full = std::string(dir) + "/" + name;
    if (name.empty() || full.size() > static_cast<size_t>(TOC_COM_NAME_MAX)) {
        TraceLog(TRACE_ERROR, kCategory, "Nom de fichier trop long pour %s_%d (%d caracteres, max. %d), ignore", key, n,
                 static_cast<int>(full.size()), TOC_COM_NAME_MAX);
        return {};
    }
    return full;
}

// The paper-cut sequence: '#' and two hexadecimal digits stand for a byte
// (a byte 0 adds nothing); "--/--" when empty or when it would not fit its
// 30 bytes.
std::string CutSequence(std::string value) {
    while (!value.empty() && value.back() == ' ') value.pop_back();
    if (value.empty()) return "--/--";
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '#' && i + 2 < value.size() && std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            const char byte = static_cast<char>(std::strtol(value.substr(i + 1, 2).c_str(), nullptr, 16));
            if (byte != 0) out.push_back(byte);
            i += 2;
        } else {
            out.push_back(value[i]);
        }
    }
    if (out.size() > static_cast<size_t>(TOC_CUT_MAX)) {
        TraceLog(TRACE_ERROR, kCategory, "Sequence de coupe trop longue (%d octets, max. %d), ignoree",
                 static_cast<int>(out.size()), TOC_CUT_MAX);
        return "--/--";
    }
    return out;
}

void UpdateProtocolClass(EFTCBox* context, const std::string& pro) {
    int cls = -1;
    if (BeginsWith(pro, "OLVAR")) cls = 1;
    else if (BeginsWith(pro, "M4400")) cls = 2;
    else if (BeginsWith(pro, "D5500")) cls = 3;
    else if (BeginsWith(pro, "PZR")) cls = 4;
    if (pro.size() > 9 && strncasecmp(pro.c_str() + 5, "DORAN", 5) == 0) {
        if (BeginsWith(pro, "DORAN")) cls = 5;
        cls = (cls < 0 ? context->pinpadProtocolClass : cls) | 0x80;
    }
    if (cls >= 0) context->pinpadProtocolClass = static_cast<uint8_t>(cls);
}

// Display (printer false) or printer windows.
int LoadWindows(EFTCBox* context, bool printer) {
    CSIBox* box = context->box;
    const int entries = printer ? TOC_PRN_ENTRIES : TOC_DSP_ENTRIES;
    int n = 0;
    for (; n < entries; ++n) {
        const std::string function = Item(context, "FUN", n).substr(0, 12);
        if (function.empty()) break;
        const int com = ResourceNumber(Item(context, "COM", n));
        const std::string proValue = Item(context, "PRO", n);
        const std::string pro = proValue.substr(0, 5);
        const int rows = Number(Item(context, "LIN", n), printer ? 10 : 2);
        const int columns = Number(Item(context, "COL", n), printer ? 24 : 16);
        int resource = 0;
        const char* zone = TOC_GetZoneOfFunction(function.c_str(), &resource);
        if (zone == nullptr) return -2;
        KTS_AddWindow(box, zone, rows, columns);
        KT_TEXT_WINDOW* window = KTS_GetWindow(box, zone);
        if (window == nullptr) return -4;
        int row = 1, column = 1;
        TOC_GetZonePosition(zone, &row, &column);
        KTS_SetWindowResource(box, zone, resource);
        KTS_SetWindowPosition(box, zone, row, column);
        KTS_SetWindowTitle(box, zone, function.c_str());
        KTS_SetWindowSpoolMode(box, zone, 1);
        if (!printer) {
            KTS_SetWindowLineMode(box, zone, 0);
            KTS_SetWindowColors(box, zone, 1, 15, 1, 15);
        } else {
            context->printerProtocolFlag = proValue.size() > 1 && proValue.find("DORAN", 1) != std::string::npos ? 0x80 : 0;
            const std::string format = Item(context, "FOR", n).substr(0, 4);
            const std::string gra = Item(context, "GRA", n);
            KTS_SetWindowLineMode(box, zone, Number(Item(context, "FEE", n), 0));
            KTS_SetWindowTrim(box, zone, Number(Item(context, "KIL", n), 0));
            KTS_SetWindowTexts(box, zone, "", "", CutSequence(Item(context, "CUT", n)).c_str());
            KTS_SetWindowGraphic(box, zone, !gra.empty() && std::isdigit(static_cast<unsigned char>(gra[0])) ? gra[0] : '0');
            KTS_SetWindowColors(box, zone, 1, 15, 7, 15);
            if (!format.empty() && std::isdigit(static_cast<unsigned char>(format[0]))) InitVPSL(com, format.c_str());
        }
        if (ISAP_OpenWindowResource(window) != PV_ALL_FINE) return -1;
        if (function.find("EFT") != std::string::npos &&
            EPAP_CreateFunctionProfile(function.c_str(), com, 0, pro.c_str()) != PV_ALL_FINE)
            return -1;
    }
    return n;
}

bool HasDirectory(EFTCBox* context, const char* name) {
    const char* dir = EFTOC_GetDirectory(context, name);
    return dir != nullptr && WCheckDirectory(dir, 0) == 1;
}

}  // namespace

int ReturnOne() { return 1; }

const char* TOC_GetZoneOfFunction(const char* function, int* resource) {
    if (function == nullptr) return nullptr;
    for (const ZoneOfFunction& z : kZones) {
        if (std::strstr(function, z.function) != nullptr) {
            if (resource != nullptr) *resource = z.resource;
            return z.window;
        }
    }
    return nullptr;
}

void TOC_GetZonePosition(const char* window, int* row, int* column) {
    int r = 1, c = 1;
    for (const ZoneOfFunction& z : kZones) {
        if (window != nullptr && std::strcmp(window, z.window) == 0) {
            r = z.row;
            c = z.column;
            break;
        }
    }
    if (row != nullptr) *row = r;
    if (column != nullptr) *column = c;
}

int TOC_MakePhysicalFileName(const char* name, char* target, size_t size) {
    if (target == nullptr || size == 0) return -1;
    target[0] = '\0';
    if (name == nullptr) return -1;
    std::string out;
    if (Options.PhysicalFileNameSearchCalculation == 0) {
        out = name;
    } else {
        int station = std::atoi(Options.LastPOSNumberUsed);
        if (station == 0) station = 1;
        const char* p = name;
        while (*p == '.') ++p;
        const char* dot = std::strchr(p, '.');
        char formatted[256];
        std::snprintf(formatted, sizeof formatted, "%.*s_%03d", static_cast<int>(dot ? dot - p : std::strlen(p)), p,
                      station);
        out = formatted;
        if (dot != nullptr && out.size() < size - 4) {
            const char* next = std::strchr(dot + 1, '.');
            out += '.';
            out.append(dot + 1, next != nullptr ? static_cast<size_t>(next - dot - 1) : std::strlen(dot + 1));
        }
    }
    if (out.size() >= size) return -1;
    std::memcpy(target, out.c_str(), out.size() + 1);
    return 1;
}

int TOC_LoadComResources(EFTCBox* context, int reload) {
    if (context == nullptr || context->box == nullptr) return -1;
    int n = 0;
    for (; n < TOC_COM_ENTRIES; ++n) {
        if (Item(context, "COM", n).empty()) break;
        const int type = PhysicalType(Item(context, "PHY", n));
        const int connectionType = Medium(Item(context, "MED", n)) + Adapter(Item(context, "ADA", n));
        const std::string log = ComFileName(context, "WLOG", Item(context, "LOG", n), true, "LOG", n);
        const int traceType = TraceType(Item(context, "LGT", n));
        const std::string config = ComFileName(context, "WCFG", Item(context, "SC1", n), true, "SC1", n);
        const std::string script = ComFileName(context, "WCFG", Item(context, "SC2", n), false, "SC2", n);
        if (!reload) {
            const int resource = WCOM_CreateResource(type, log.c_str(), config.c_str(), script.c_str());
            if (resource < 0) return -1;
            WCOM_SetResourceConnType(resource, connectionType);
            WCOM_SetResourceTraceMode(resource, traceType);
            context->comResources[n] = resource;
        } else {
            const int resource = context->comResources[n];
            WCOM_UnlockResource(resource);
            WCOM_SetResourceFile(resource, 1, config.c_str());
            WCOM_SetResourceFile(resource, 3, log.c_str());
            WCOM_ReloadResourceConfig(resource);
            TWEP_CheckDriverChange(context->papBox);
            TWEP_ReactivatePort(context->papBox, resource);
            WCOM_LockResource(resource);
        }
    }
    return n;
}

int TOC_LoadDisplayWindows(EFTCBox* context) { return context != nullptr ? LoadWindows(context, false) : -1; }

int TOC_LoadPrinterWindows(EFTCBox* context) { return context != nullptr ? LoadWindows(context, true) : -1; }

int TOC_LoadTerminalFunctions(EFTCBox* context) {
    if (context == nullptr) return -1;
    int n = 0;
    for (; n < TOC_MED_ENTRIES; ++n) {
        const std::string function = Item(context, "FUN", n).substr(0, 12);
        if (function.empty()) break;
        const int com = ResourceNumber(Item(context, "COM", n));
        const std::string pro = Item(context, "PRO", n);
        UpdateProtocolClass(context, pro);
        if (EPAP_CreateFunctionProfile(function.c_str(), com, 0, pro.substr(0, 5).c_str()) != PV_ALL_FINE) return -1;
    }
    return n;
}

int TOC_MakePeripheralContext(EFTCBox* context) {
    if (context == nullptr) {
        TraceLog(TRACE_ERROR, kCategory, "TOC_MakePeripheralContext - MyEFTOC is null");
        return -1;
    }
    if (!HasDirectory(context, "WCFG")) {
        TraceLog(TRACE_ERROR, kCategory, "TOC_MakePeripheralContext - EFTOC_GetDirectory fails to find %s", "WCFG");
        return -3;
    }
    context->comContextId = context->resourceId;
    const int created = WCOM_CreateContext(context->comContextId, 2, 0, 0, 0, 1);
    if (created < 0) {
        TraceLog(TRACE_ERROR, kCategory, "TOC_MakePeripheralContext - WCOM_CreateContext returns %d", created);
        return -4;
    }
    const int terminalBox = WTextGetExternalPeriphManager(context->box, context->resourceId, context->station, 0);
    if (terminalBox < 0) {
        TraceLog(TRACE_ERROR, kCategory, "TOC_MakePeripheralContext - WTextGetExternalPeriphManager returns %d",
                 terminalBox);
        return terminalBox;
    }
    // The terminal box of this console (a new console made a new box).
    context->papBox = EPAP_GetBox();
    context->terminalRecord = nullptr;
    const int interfaceBox = KTS_NewInterfacePeriphBox(context->box, context->resourceId, context->station, 0);
    if (interfaceBox < 0) return interfaceBox;

    KTS_SetDirectory(context->box, EFTOC_GetDirectory(context, "WCFG"));
    KTS_SetCountry(context->box, 0);
    static const struct {
        const char* file;
        int (*load)(EFTCBox*);
        const char* failure;
    } kSections[] = {
        {"com", [](EFTCBox* c) { return TOC_LoadComResources(c, 0); },
         "TOC_MakePeripheralContext - Echec chargement ressources COM"},
        {"dsp", TOC_LoadDisplayWindows, "TOC_MakePeripheralContext - Echec chargement ressources affichage"},
        {"prn", TOC_LoadPrinterWindows, "TOC_MakePeripheralContext - Echec chargement ressources impression"},
        {"med", TOC_LoadTerminalFunctions, "TOC_MakePeripheralContext - Echec chargement ressources pinpad"},
    };
    for (const auto& section : kSections) {
        int status = KTS_SetFile(context->box, section.file);
        if (status >= 0) status = section.load(context);
        if (status < 0) {
            TraceLog(TRACE_ERROR, kCategory, "%s", section.failure);
            return status;
        }
    }
    ResetPeripheralComLog(1);
    return 1;
}

int TOC_getResourceIndexToUse(EFTCBox* context, const char* label, int type) {
    if (type != 1) {
        TraceLog(TRACE_ERROR, kCategory, "getRessourceIndexToUse : Type de ressource non gérée par cette fonction");
        return -1;
    }
    if (label == nullptr || *label == '\0') return Options.NetResourceIndexToUse;
    if (context == nullptr || !HasDirectory(context, "WCFG")) {
        TraceLog(TRACE_ERROR, kCategory, "TOC_getResourceIndexToUse - EFTOC_GetDirectory fails to find %s", "WCFG");
        return -3;
    }
    KTS_SetDirectory(context->box, EFTOC_GetDirectory(context, "WCFG"));
    KTS_SetCountry(context->box, 0);
    if (KTS_SetFile(context->box, "net") < 0) {
        TraceLog(TRACE_ERROR, kCategory, "getRessourceIndexToUse : Chargement du fichier NET incorrect");
        return -1;
    }
    for (int i = 0; i < kNetResourceCount; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "LTY_%03d", i);
        const char* value = KTS_GetItemText(context->box, key);
        if (value == nullptr || *value == '\0') {
            std::snprintf(key, sizeof key, "LTY_%d", i);
            value = KTS_GetItemText(context->box, key);
        }
        if (value != nullptr && std::strstr(value, label) != nullptr) return i;
    }
    TraceLog(TRACE_ERROR, kCategory, "getRessourceIndexToUse : Index de ressource non retrouvable (NET)");
    return -1;
}

void ResetPeripheralComLog(int function) {
    const KT_PERES* record = TWEP_FindFunction(EPAP_GetBox(), function, 1);
    if (record == nullptr || record->protocol == kRudaProtocol) return;
    if (WCOM_GetResourceByNum(record->port) != nullptr) WComTraceClose();
}
