// RUDA terminal information: system information, identification, file
// versions and the full terminal description.
#include "protocols/ruda/ruda_terminal_info.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/helpers.h"
#include "core/tlv.h"
#include "core/trace.h"
#include "protocols/pv_status.h"
#include "protocols/ruda/ruda_answer.h"
#include "protocols/ruda/ruda_apdu.h"
#include "protocols/ruda/ruda_extract.h"

namespace {

struct ModelRow {
    const char* family;
    const char* model;
    int number;
};

constexpr ModelRow kModels[] = {
    {"QT", "TQ202", 200},     {"QX", "TQ202", 600},     {"QT", "TQ202AMBO", 210}, {"QX", "TQ202AMBO", 610},
    {"QT", "TQ103", 220},     {"QX", "TQ103", 620},     {"QT", "TQ201", 230},     {"QX", "TQ201", 630},
    {"QX", "LR510", 640},     {"QX", "LR520", 650},     {"QX", "LR521", 660},     {"QX", "LR530", 670},
    {"QX", "LR531", 671},     {"QT", "TQ101", 270},     {"QX", "TQ102", 680},     {"QT", "Y715", 240},
    {"QX", "YD7", 690},       {"QX", "Y900", 700},      {"QX", "Y900H", 700},     {"QX", "Y900PLUS", 701},
    {"QX", "Y645-3GDH", 740}, {"QX", "Y580M", 780},     {"QX", "Y300", 790},
};

constexpr int kValueRoom = 100;

uint16_t g_crcTable[256];
std::once_flag g_crcOnce;

void BuildCrcTable() {
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        g_crcTable[i] = crc;
    }
}

// The elements directly inside a node's value, in order.
std::vector<TlvNode> Children(const TlvNode& parent) {
    std::vector<TlvNode> out;
    const unsigned char* at = parent.value;
    const unsigned char* end = parent.value + std::max(parent.lg, 0);
    while (at != nullptr && at < end) {
        TlvNode n;
        if (TLV_ParseElementEx(&n, at, static_cast<int>(end - at)) != 1 || n.end == nullptr || n.end <= at) break;
        out.push_back(n);
        at = n.end;
    }
    return out;
}

std::string Text(const TlvNode& n) {
    std::string text(reinterpret_cast<const char*>(n.value), static_cast<size_t>(std::max(n.lg, 0)));
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Without(const std::string& text, const char* drop) {
    std::string out;
    for (char c : text)
        if (std::strchr(drop, c) == nullptr) out += c;
    return out;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The value of an element of at most `room` bytes found in the node.
bool Find(const TlvNode& in, unsigned int tag, int room, std::string* text) {
    TlvNode n;
    if (!RUDA_FindElement(in, tag, &n) || n.lg > room) return false;
    *text = Text(n);
    return true;
}

void CopyField(char* field, int width, const std::string& text) {
    RUDA_CopyText(field, width, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
}

bool KeyExchangeSw(int sw) { return sw == 0x9F51 || sw == 0x9F53 || sw == 0x9F54 || sw == 0x9F55; }

void Lookup(TerminalPartInfo* part, const std::string& model, const char* family) {
    int number = 0;
    if (RUDA_GetModelNumber(model.c_str(), static_cast<int>(model.size()), family, &number) == 1) {
        part->modelFound = 1;
        part->modelNumber = number;
    }
}

// The OS extension package: the first DF8106 beginning "TQCE" of the
// template with the DF8107 that follows it.
void IrxEntry(const TlvNode& ee, TerminalPartInfo* part) {
    const std::vector<TlvNode> c = Children(ee);
    for (size_t i = 0; i + 1 < c.size(); ++i) {
        if (c[i].tag != 0xDF8106 || c[i + 1].tag != 0xDF8107 || !StartsWith(Text(c[i]), "TQCE")) continue;
        std::string version = Without(Text(c[i + 1]), "-._");
        WSysError("** INFO. ** IRX version %s", version.c_str());
        const std::string crc = RUDA_VersionCrcText(Upper(version), false);
        WSysError("** INFO. ** IRX version CRC %s", crc.c_str());
        RUDA_AddPackage(part, "0001", crc, "0000");
        return;
    }
}

// The OS date: DF8107 after a DF8106 "OS_DATE", cut at its first space,
// digits only.
std::string OsDate(const TlvNode& ee) {
    const std::vector<TlvNode> c = Children(ee);
    for (size_t i = 0; i + 1 < c.size(); ++i) {
        if (c[i].tag != 0xDF8106 || c[i + 1].tag != 0xDF8107 || Text(c[i]) != "OS_DATE") continue;
        std::string date = Text(c[i + 1]);
        date = date.substr(0, date.find(' '));
        std::string digits;
        for (char ch : date)
            if (std::isdigit(static_cast<unsigned char>(ch))) digits += ch;
        return digits;
    }
    return {};
}

void StoreOsCode(TerminalPartInfo* part, const std::string& crc) {
    part->osEntry[0] = 4;
    char four[4] = {};
    std::memcpy(four, crc.data(), std::min<size_t>(4, crc.size()));
    std::memcpy(&part->osEntry[1], four, 4);
    part->osEntry[2] = 0;
}

void State(const TlvNode& ee, unsigned int tag, const char* message, uint8_t* flag, char* field) {
    TlvNode n;
    if (!RUDA_FindElement(ee, tag, &n) || n.lg > kValueRoom) return;
    const std::string text = Text(n);
    WSysError(message, text.c_str(), n.value[0]);
    *flag = 1;
    CopyField(field, kTermInfoStateText, text);
}

// ---- Operation 90 ----

int Contactless(const TlvNode& data, TerminalPartInfo* part) {
    TlvNode e1;
    std::string crc = "FFFF";
    if (RUDA_FindElement(data, 0xE1, &e1)) {
        std::string version;
        if (Find(e1, 0xDFC022, kValueRoom, &version)) {
            WSysError("** INFO. ** CTLS version %s", version.c_str());
            version = Upper(version);
            const size_t at = version.find("TQ-CTLS-");
            if (at != std::string::npos) version.erase(0, at + 8);
            crc = RUDA_VersionCrcText(Without(version, "-."), false);
        }
        std::string kernels;
        if (((part->modelNumber / 100) & 6) == 6 && Find(e1, 0xDFC028, 200, &kernels)) {
            kernels = Without(kernels, " -");
            WSysError("** INFO. ** CTLS Orrin Kernels %s", kernels.c_str());
            CopyField(part->contactlessKernels, kTermInfoKernels, kernels);
        }
    } else {
        WSysError("** INFO. ** Ctls absent ou ne repondant pas");
    }
    WSysError("** INFO. ** CTLS version CRC %s", crc.c_str());
    RUDA_AddPackage(part, "7001", crc, "531");
    return part->status;
}

int SystemInformation(const TlvNode& data, TerminalPartInfo* part) {
    part->filled = 1;
    part->kindLetter = 'm';
    std::string text;
    TlvNode found;
    if (RUDA_FindElement(data, 0x9F1E, &found)) {
        text = Text(found).substr(0, kTermInfoSerial);
        text.resize(kTermInfoSerial, '0');
        CopyField(part->serial, kTermInfoSerial, text);
        part->serialLength = kTermInfoSerial;
    }
    if (RUDA_FindElement(data, 0x9F1C, &found)) {
        part->identifierLength = RUDA_CopyText(part->identifier, sizeof part->identifier - 1, found.value, found.lg);
    }
    std::vector<TlvNode> ees, efs;
    for (const TlvNode& n : Children(data)) {
        if (n.tag == 0xEE) ees.push_back(n);
        if (n.tag == 0xEF) efs.push_back(n);
    }
    std::string model;
    if (!ees.empty()) {
        const TlvNode& ee = ees.front();
        std::vector<std::string> versions;
        for (const TlvNode& c : Children(ee))
            if (c.tag == 0xDF7F) versions.push_back(Text(c));
        std::string osType;
        const char* family = "QX";
        const bool typed = Find(ee, 0xDF8109, kValueRoom, &osType);
        if (typed && StartsWith(osType, "uMa"))
            family = "QT";
        else if ((!typed || !StartsWith(osType, "M/RT")) && !versions.empty() && StartsWith(versions.front(), "QT"))
            family = "QT";
        const bool qx = std::strcmp(family, "QX") == 0;
        WSysError("** INFO. ** OS type [%s]", qx ? "M/RT" : "Kolix");
        if (Find(ee, 0xDF0D, kValueRoom, &model)) Lookup(part, Upper(model), family);
        const size_t index = qx ? 1 : 0;
        if (index < versions.size()) {
            std::string os = versions[index];
            WSysError("** INFO. ** OS version %s", os.c_str());
            if (qx && os == "release-") {
                WSysError("-- ERROR -- Format version OS non conforme");
                part->status = 1;
                part->failureMark = 255;
                return 1;
            }
            if (qx)
                os = os.size() >= 8 ? os.substr(os.size() - 8) : std::string(8 - os.size(), '0') + os;
            else
                os = (os.size() >= 4 ? os.substr(os.size() - 4) : os) + OsDate(ee);
            const std::string crc = RUDA_VersionCrcText(Upper(os), true);
            WSysError("** INFO. ** OS version CRC %s", crc.c_str());
            StoreOsCode(part, crc);
        }
        IrxEntry(ee, part);
        State(ee, 0xDF8101, "** INFO. ** Statut de la violabilite : '%s' (%#02X)", &part->tamperFlag,
              part->tamperState);
        State(ee, 0xDF8102, "** INFO. ** Statut du demontage : '%s' (%#02X)", &part->removalFlag,
              part->removalState);
        std::string next;
        if (ees.size() > 1 && Find(ees[1], 0xDF0D, kValueRoom, &next) && !next.empty() &&
            std::strncmp(next.c_str(), "Ambo", next.size()) == 0 && StartsWith(Upper(model), "TQ202")) {
            WSysError("** INFO. ** Base [AMBO]");
            model += "AMBO";
            int number = 0;
            if (RUDA_GetModelNumber(model.c_str(), static_cast<int>(model.size()), family, &number) == 1) {
                part->modelFound = 1;
                part->modelNumber = number;
                WSysError("** INFO. ** Num modele [%d]", number);
            }
        }
        if (part->modelFound == 1) {
            WSysError("** INFO. ** Modele [%s]", model.c_str());
            WSysError("** INFO. ** Num modele [%d]", part->modelNumber);
        }
    }
    for (const TlvNode& ef : efs) {
        const std::vector<TlvNode> c = Children(ef);
        for (size_t i = 0; i + 1 < c.size(); ++i) {
            if (c[i].tag != 0xDF0D || Text(c[i]) != "RELEASE" || c[i + 1].tag != 0xDF7F) continue;
            const std::string version = Text(c[i + 1]);
            WSysError("** INFO. ** RUDA version %s", version.c_str());
            const std::string crc = RUDA_VersionCrcText(Upper(version), true);
            WSysError("** INFO. ** RUDA version CRC %s", crc.c_str());
            if (version.size() < sizeof part->applicationVersion) {
                CopyField(part->applicationVersion, sizeof part->applicationVersion - 1, version);
                part->applicationVersionLength = static_cast<int32_t>(version.size());
            }
            RUDA_AddPackage(part, "2801", crc, "531");
            return part->status;
        }
    }
    return part->status;
}

// ---- Operation 93 ----

bool TwoUnits(const char* model) {
    return std::strncmp(model, "LR520", 5) == 0 || std::strncmp(model, "LR521", 5) == 0 ||
           std::strncmp(model, "Ambo", 4) == 0;
}

int Identification(const TlvNode& data, int sw, TerminalInfoArea* info) {
    std::vector<TlvNode> ees, efs;
    for (const TlvNode& n : Children(data)) {
        if (n.tag == 0xEE) ees.push_back(n);
        if (n.tag == 0xEF) efs.push_back(n);
    }
    if (info->mode == 1) {
        ++info->partsRead;
        info->currentPart = 2;
        info->partFlags[2] = 1;
        TerminalPartInfo* ctls = &info->parts[2];
        if (info->parts[0].modelNumber == 640) {
            int number = 0;
            if (RUDA_GetModelNumber("LR530", 5, "QX", &number) == 1) {
                ctls->modelFound = 1;
                ctls->modelNumber = number;
                WSysError("** INFO. ** Num modele [%d]", number);
            }
        }
        TlvNode e1;
        if (RUDA_FindElement(data, 0xE1, &e1)) {
            RUDA_GetCtlsVersion(&e1, info);
            RUDA_GetCtlsKernels(&e1, info);
            ctls->contactlessAnswered = 1;
            info->partFlags[2] = 0;
        } else if (sw == 0x9F11 || sw == 0x9F0D) {
            WSysError("** INFO. ** Pas de reponse du contactless");
            ctls->contactlessAnswered = 1;
            info->partFlags[2] = 1;
            std::memset(ctls->contactlessKernels, 0, sizeof ctls->contactlessKernels);
        } else {
            WSysError("** INFO. ** Ctls absent ou ne repondant pas");
        }
        return info->status;
    }
    TlvNode found;
    if (RUDA_FindElement(data, 0x9F1C, &found))
        info->identifierLength = RUDA_CopyText(info->identifier, sizeof info->identifier - 1, found.value, found.lg);
    for (TlvNode ee : ees) {
        if (RUDA_GetModelOrVersion(&ee, info, 1) != 0) {
            WSysError("** INFO. ** DF0D absent dans ce tag EE");
            continue;
        }
        info->currentPart = TwoUnits(info->modelName) ? 1 : 0;
        ++info->partsRead;
        info->partFlags[info->currentPart] = 1;
        TerminalPartInfo* part = &info->parts[info->currentPart];
        if (RUDA_GetSerialNumber(&ee, info) != 0 && RUDA_FindElement(data, 0x9F1E, &found)) {
            std::string serial = Text(found).substr(0, kTermInfoSerial);
            serial.resize(kTermInfoSerial, '0');
            CopyField(part->serial, kTermInfoSerial, serial);
            part->serialLength = kTermInfoSerial;
        }
        part->filled = 1;
        part->kindLetter = 'm';
        char family[3] = "";
        RUDA_GetOsVersion(&ee, info, info->modelName, family, 1);
        if (std::strcmp(family, "QT") == 0) RUDA_GetOsType(&ee, family);
        int number = 0;
        if (RUDA_GetModelNumber(info->modelName, static_cast<int>(std::strlen(info->modelName)), family, &number) ==
            1) {
            part->modelFound = 1;
            part->modelNumber = number;
            WSysError("** INFO. ** Num modele [%d]", number);
        }
        IrxEntry(ee, part);
        RUDA_GetTamperStatus(&ee, info);
        RUDA_GetRemovalStatus(&ee, info);
        RUDA_GetUptime(&ee, info);
        if (std::strncmp(info->modelName, "LR", 2) != 0) break;
    }
    for (TlvNode ef : efs) {
        TerminalPartInfo* part = &info->parts[info->currentPart];
        RUDA_GetModelOrVersion(&ef, info, 0);
        std::string name;
        if (Find(ef, 0xDF0D, kValueRoom, &name) && name == "RELEASE") {
            const int entry = part->packageCount;
            if (entry >= 0 && entry < kTermInfoPackages)
                for (auto& column : part->packageTables) std::memset(column[entry], 0, sizeof column[entry]);
            if (RUDA_GetOsVersion(&ef, info, info->modelName, nullptr, 0) == 0) break;
        }
        if (!TwoUnits(info->modelName)) break;
    }
    return info->status;
}

// ---- Operation 94 ----

FileVersionEntry* NewEntry(FileVersionEntry* first, FileVersionEntry** last, bool* firstUsed) {
    if (!*firstUsed) {
        *firstUsed = true;
        *last = first;
        return first;
    }
    auto* entry = static_cast<FileVersionEntry*>(WAlloc(sizeof(FileVersionEntry)));
    if (entry == nullptr) return nullptr;
    std::memset(entry, 0, sizeof *entry);
    (*last)->next = entry;
    *last = entry;
    return entry;
}

// ---- Operation 95 ----

// The texts of the full description, one per field cut or refused.
enum DescriptionText {
    kHwName,
    kHwVersion,
    kHwLibraryName,
    kHwLibraryVersion,
    kHwArchitecture,
    kHwUptimeLength,
    kHwUnknown,
    kEfInconsistent,
    kEfKolix,
    kMaxChained,
    kFlagValue,
    kFlagLength,
    kRudaVersion,
    kModuleName,
    kModuleVersion,
    kLibraryName,
    kLibraryVersion,
    kSredName,
    kSredVersion,
};

constexpr const char* kDescriptionTexts[] = {
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Hardware information - Terminal name is %u bytes long ; can copy only "
    "%u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Hardware information - Terminal version is %u bytes long ; can copy "
    "only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Hardware information - Found a library name %u bytes long ; can copy "
    "only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Hardware information - Found a library version %u bytes long ; can "
    "copy only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Hardware information - Tag <df8108> should contain keyword "
    "\"Architecture\", but instead it contains \"%s\"",
    "-- ERROR -- Hardware information - Field \"number of seconds elapsed since the device powerup\" should be 4 "
    "bytes long, but it is %u",
    "-- ERROR -- Hardware information - Unknown tag <%x> inside a <ee> template",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Tag inconsistency : template 'ef' => module+version => expect tag "
    "couples {df8106,df8107}, found couple {%x, %x}",
    "<< WARN. >> RUDA_DealTerminalInfoAnswer - Do not have the OS type yet, but found a library named \"%s\" => "
    "assume it is Kolix",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer / max chained command size/ tag dfa21d is %u bytes long (should be 4, "
    "accept 2)",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer / tag <dfa21e> contains value <0x%x> (should be 0 or 1)",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer / tag <dfa21e> is %u bytes long (should be 1, tolerate 4)",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - RUDA version is %u bytes long ; can copy only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Found a module name %u bytes long ; can copy only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Found a module version %u bytes long ; can copy only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Found a library name %u bytes long ; can copy only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Found a library version %u bytes long ; can copy only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Found a SRED library name %u bytes long ; can copy only %u bytes",
    "-- ERROR -- RUDA_DealTerminalInfoAnswer - Found a SRED library version %u bytes long ; can copy only %u bytes",
};

// Copies a value into a 32-character field, cut with its text.
void CutCopy(char* field, const TlvNode& n, DescriptionText text) {
    if (n.lg > kTermInfoText)
        WSysError(kDescriptionTexts[text], static_cast<unsigned>(n.lg), static_cast<unsigned>(kTermInfoText));
    RUDA_CopyText(field, kTermInfoText, n.value, n.lg);
}

bool AddLibrary(LibraryPair** list, const TlvNode& name, const TlvNode& version, DescriptionText nameText,
                DescriptionText versionText) {
    auto* pair = static_cast<LibraryPair*>(WAlloc(sizeof(LibraryPair)));
    if (pair == nullptr) return false;
    std::memset(pair, 0, sizeof *pair);
    CutCopy(pair->name, name, nameText);
    CutCopy(pair->version, version, versionText);
    while (*list != nullptr) list = &(*list)->next;
    *list = pair;
    return true;
}

void Hardware(const TlvNode& ee, HardwareRecord* hw) {
    const std::vector<TlvNode> c = Children(ee);
    for (size_t i = 0; i < c.size(); ++i) {
        const TlvNode& n = c[i];
        const bool pair = i + 1 < c.size();
        switch (n.tag) {
            case 0x9F1E:
                RUDA_CopyText(hw->serial, kTermInfoSerial, n.value, n.lg);
                WSysError("@@ DEBUG @@ Serial number = <%s>", hw->serial);
                break;
            case 0xDF0D: CutCopy(hw->name, n, kHwName); break;
            case 0xDF7F: CutCopy(hw->version, n, kHwVersion); break;
            case 0xDF8101: hw->tamper = n.lg > 0 && n.value[0] != 0 ? 1 : 0; break;
            case 0xDF8102: hw->removal = n.lg > 0 && n.value[0] != 0 ? 1 : 0; break;
            case 0xDF8106:
                if (pair && c[i + 1].tag == 0xDF8107) {
                    AddLibrary(&hw->libraries, n, c[i + 1], kHwLibraryName, kHwLibraryVersion);
                    ++i;
                }
                break;
            case 0xDF8108:
                if (Text(n) != "Architecture") {
                    WSysError(kDescriptionTexts[kHwArchitecture], Text(n).c_str());
                } else if (pair && c[i + 1].tag == 0xDF8109) {
                    const std::string os = Text(c[i + 1]);
                    CopyField(hw->osName, 6, os);
                    std::memcpy(hw->osFamily, os == "MRT" ? "QT" : "QX", 3);
                    ++i;
                }
                break;
            case 0xDFEC1F:
                if (n.lg == 4) {
                    const uint32_t s = TLV_GetUIntBE(n.value, 4);
                    hw->secondsSincePowerUp = s;
                    WSysError("** INFO. ** Hardware information - %u seconds elapsed since the device powerup = %u "
                              "days, %u hours, %u minutes and %u seconds",
                              s, s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
                } else {
                    WSysError(kDescriptionTexts[kHwUptimeLength], static_cast<unsigned>(n.lg));
                }
                break;
            default:
                WSysError(kDescriptionTexts[kHwUnknown], n.tag);
                break;
        }
    }
}

void Application(const TlvNode& ef, TerminalDescription* d) {
    const std::vector<TlvNode> c = Children(ef);
    for (size_t i = 0; i < c.size(); ++i) {
        const TlvNode& n = c[i];
        const bool versionNext = i + 1 < c.size() && c[i + 1].tag == 0xDF7F;
        if (n.tag == 0xDF0D && versionNext) {
            const std::string name = Text(n);
            const TlvNode& version = c[i + 1];
            ++i;
            if (name == "RELEASE" || name == "REVISION") {
                if (version.lg > kTermInfoText)
                    WSysError(kDescriptionTexts[kRudaVersion], static_cast<unsigned>(version.lg),
                              static_cast<unsigned>(kTermInfoText));
                RUDA_CopyText(d->applicationVersion, kTermInfoText, version.value, version.lg);
                WSysError("** INFO. ** RUDA version = <%s>", d->applicationVersion);
                continue;
            }
            auto* module = static_cast<ModuleRecord*>(WAlloc(sizeof(ModuleRecord)));
            if (module == nullptr) return;
            std::memset(module, 0, sizeof *module);
            CutCopy(module->name, n, kModuleName);
            CutCopy(module->version, version, kModuleVersion);
            ModuleRecord** end = &d->modules;
            while (*end != nullptr) end = &(*end)->next;
            *end = module;
            // The module's libraries: pairs of DF8106 and DF8107.
            while (i + 2 < c.size() && c[i + 1].tag == 0xDF8106) {
                if (c[i + 2].tag != 0xDF8107) {
                    WSysError(kDescriptionTexts[kEfInconsistent], c[i + 1].tag, c[i + 2].tag);
                    break;
                }
                const std::string library = Text(c[i + 1]);
                if (d->hardware.osFamily[0] == '\0' && library == "Kolix") {
                    WSysError(kDescriptionTexts[kEfKolix], library.c_str());
                    std::memcpy(d->hardware.osFamily, "QT", 3);
                }
                AddLibrary(&module->libraries, c[i + 1], c[i + 2], kLibraryName, kLibraryVersion);
                i += 2;
            }
        } else if (n.tag == 0xDF8106 && i + 1 < c.size() && c[i + 1].tag == 0xDF8107) {
            CutCopy(d->sredName, n, kSredName);
            CutCopy(d->sredVersion, c[i + 1], kSredVersion);
            ++i;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------

int RUDA_GetModelNumber(const char* name, int length, const char* family, int* number) {
    if (name == nullptr || family == nullptr || number == nullptr || length <= 0) return -1;
    const std::string upper = Upper(std::string(name, strnlen(name, static_cast<size_t>(length))));
    for (const ModelRow& row : kModels) {
        if (std::strcmp(row.family, family) != 0) continue;
        if (upper.size() == std::strlen(row.model) && upper == row.model) {
            *number = row.number;
            return 1;
        }
    }
    if (StartsWith(upper, "Y645-")) {
        *number = 740;
        return 1;
    }
    return -1;
}

uint16_t RUDA_VersionCrc(const char* text) {
    std::call_once(g_crcOnce, BuildCrcTable);
    uint16_t crc = 0x1D0F;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p != nullptr && *p != 0; ++p)
        crc = static_cast<uint16_t>((crc << 8) ^ g_crcTable[((crc >> 8) ^ *p) & 0xFF]);
    return crc;
}

std::string RUDA_VersionCrcText(const std::string& text, bool fourDigits) {
    char out[8];
    std::snprintf(out, sizeof out, fourDigits ? "%04X" : "%X", RUDA_VersionCrc(text.c_str()));
    return out;
}

bool RUDA_AddPackage(TerminalPartInfo* part, const char* code, const std::string& crc, const char* second) {
    const int entry = part->packageCount;
    if (entry < 0 || entry >= kTermInfoPackages) return false;
    const std::string four = crc.substr(0, 4);
    std::snprintf(part->packageTables[0][entry], 5, "%s", code);
    std::snprintf(part->packageTables[1][entry], 5, "%s", four.c_str());
    std::snprintf(part->packageTables[2][entry], 5, "%s", second);
    std::snprintf(part->packageTables[3][entry], 5, "%s", "109 ");
    part->packageCount = entry + 1;
    part->packageCodeBytes = part->packageCount * 5;
    part->packageCrcBytes = part->packageCount * 5;
    part->packagesPresent = 1;
    return true;
}

int RUDA_BuildInfoRequest(int code, va_list args, unsigned char** apdu, int* length) {
    int mode = 0;
    if (code == 90) {
        const TerminalPartInfo* part = va_arg(args, const TerminalPartInfo*);
        if (part == nullptr) return 0;
        mode = part->mode;
    } else if (code == 93) {
        const TerminalInfoArea* info = va_arg(args, const TerminalInfoArea*);
        if (info == nullptr) return 0;
        mode = info->mode;
    }
    uint8_t head[4] = {0xD0, 0x00, 0x00, 0x01};
    if (code == 94) {
        head[1] = 0x01;
        head[3] = 0x00;
    } else if (mode == 1) {
        head[0] = 0xC0;
        head[2] = 0xFF;
        head[3] = 0x00;
    } else if (mode != 0) {
        return 0;
    }
    return RUDA_Request(head[0], head[1], head[2], head[3], nullptr, 0, apdu, length);
}

int RUDA_DealINFOAnswer(const unsigned char* answer, int length, TerminalPartInfo* part) {
    if (part == nullptr) return PV_CMD_INTERNAL;
    const std::string dump = WBase64Encode(answer, static_cast<size_t>(std::max(length, 0)));
    WSysLog("rudaterminfodump", static_cast<unsigned>(getpid()), WLOG_TRACE, __FILE__, __func__, __LINE__,
            "%s:%d, data: %s", __func__, __LINE__, dump.c_str());
    part->status = 0;
    part->failureMark = 0;
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        if (KeyExchangeSw(sw)) return PV_ALL_FINE;
        if (part->mode == 0) return -1;
    }
    const TlvNode data = RUDA_AnswerData(answer, length);
    if (part->mode == 1) return Contactless(data, part);
    if (part->mode != 0) {
        part->status = 1;
        part->failureMark = 255;
        return part->status;
    }
    return SystemInformation(data, part);
}

int RUDA_DealInfoExtAnswer(const unsigned char* answer, int length, TerminalInfoArea* info) {
    if (info == nullptr) return PV_CMD_INTERNAL;
    info->status = 0;
    info->failureMark = 0;
    // A current part outside the five is the base's.
    if (info->currentPart < 0 || info->currentPart > 4) info->currentPart = 0;
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000 && info->mode == 0) return -1;
    if (info->mode != 0 && info->mode != 1) {
        info->status = 1;
        info->failureMark = 255;
        return info->status;
    }
    return Identification(RUDA_AnswerData(answer, length), sw, info);
}

int RUDA_DealFilesVersionAnswer(const unsigned char* answer, int length, FileVersionEntry* first) {
    if (first == nullptr) {
        WSysError("-- ERROR -- : RUDA_DealFilesVersionAnswer - argument nul !");
        return PV_CMD_INTERNAL;
    }
    FileVersionList_Free(first);
    if (RUDA_GetSw(answer, length) != 0x9000) {
        WSysError("-- ERROR -- RUDA_DealFilesVersionAnswer - ISO7816_GetStatusFromResponse failed");
        return -1;
    }
    FileVersionEntry* last = nullptr;
    bool firstUsed = false;
    for (const TlvNode& ed : Children(RUDA_AnswerData(answer, length))) {
        if (ed.tag != 0xED) continue;
        const std::vector<TlvNode> c = Children(ed);
        bool named = false;
        for (size_t i = 0; i < c.size(); ++i) {
            if (c[i].tag != 0xDF0D) continue;
            named = true;
            if (i + 1 >= c.size() || c[i + 1].tag != 0xDF7F) {
                WSysError("-- ERROR -- RUDA_DealFilesVersionAnswer - Did not find any tag DF7F after tag DF0D");
                continue;
            }
            FileVersionEntry* entry = NewEntry(first, &last, &firstUsed);
            if (entry == nullptr) return PV_CMD_INTERNAL;
            RUDA_CopyText(entry->name, kTermInfoText, c[i].value, c[i].lg);
            RUDA_CopyText(entry->version, kTermInfoText, c[i + 1].value, c[i + 1].lg);
            ++i;
        }
        if (!named) WSysError("-- ERROR -- RUDA_DealFilesVersionAnswer - Did not find any tag DF0D under tag ED");
    }
    return PV_ALL_FINE;
}

int RUDA_DealTerminalInfoAnswer(const unsigned char* answer, int length, TerminalDescription* d) {
    if (d == nullptr) {
        WSysError("-- ERROR -- RUDA_DealTerminalInfoAnswer - nul argument");
        return PV_CMD_INTERNAL;
    }
    CleanupTerminalInfo(d);
    const int sw = RUDA_GetSw(answer, length);
    if (sw != 0x9000) {
        WSysError("-- ERROR -- RUDA_DealTerminalInfoAnswer - Status 0x%02hx", static_cast<unsigned short>(sw));
        return PV_CMD_INTERNAL;
    }
    bool firstHardware = true;
    HardwareRecord* lastHardware = &d->hardware;
    for (const TlvNode& n : Children(RUDA_AnswerData(answer, length))) {
        d->states[1] = '1';
        switch (n.tag) {
            case 0xEE: {
                HardwareRecord* hw = &d->hardware;
                if (!firstHardware) {
                    hw = static_cast<HardwareRecord*>(WAlloc(sizeof(HardwareRecord)));
                    if (hw == nullptr) return PV_CMD_INTERNAL;
                    std::memset(hw, 0, sizeof *hw);
                    lastHardware->next = hw;
                    lastHardware = hw;
                }
                firstHardware = false;
                Hardware(n, hw);
                break;
            }
            case 0xEF:
                Application(n, d);
                break;
            case 0x9F1C:
                RUDA_CopyText(d->identifier, 12, n.value, n.lg);
                break;
            case 0x9F1E:
                RUDA_CopyText(d->hardware.serial, kTermInfoSerial, n.value, n.lg);
                WSysError("<< WARN. >> Serial number found as first-level tag (set it to the first hardware, hoping "
                          "this is the only one) : <%s>",
                          d->hardware.serial);
                break;
            case 0xDFA21D:
                // A two-byte size is read as two bytes.
                if (n.lg == 4 || n.lg == 2)
                    d->maxChainedSize = static_cast<int32_t>(TLV_GetUIntBE(n.value, n.lg));
                else
                    WSysError(kDescriptionTexts[kMaxChained], static_cast<unsigned>(n.lg));
                break;
            case 0xDFA21E:
                if (n.lg == 1) {
                    if (n.value[0] > 1) WSysError(kDescriptionTexts[kFlagValue], n.value[0]);
                    else d->flagA21E = n.value[0];
                } else if (n.lg == 4) {
                    d->flagA21E = static_cast<int32_t>(TLV_GetUIntBE(n.value, 4));
                } else {
                    WSysError(kDescriptionTexts[kFlagLength], static_cast<unsigned>(n.lg));
                }
                break;
            default:
                WSysError("<< WARN. >> RUDA_DealTerminalInfoAnswer - unknown tag %x", n.tag);
                break;
        }
    }
    return PV_ALL_FINE;
}

int RUDA_DealInfoAnswer(int code, const unsigned char* answer, int length, va_list args) {
    switch (code) {
        case 90: return RUDA_DealINFOAnswer(answer, length, va_arg(args, TerminalPartInfo*));
        case 93: return RUDA_DealInfoExtAnswer(answer, length, va_arg(args, TerminalInfoArea*));
        case 94: return RUDA_DealFilesVersionAnswer(answer, length, va_arg(args, FileVersionEntry*));
        case 95: return RUDA_DealTerminalInfoAnswer(answer, length, va_arg(args, TerminalDescription*));
        default: return PV_CMD_INTERNAL;
    }
}
