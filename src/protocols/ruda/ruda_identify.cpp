// Terminal identification extractors: what a terminal-information answer
// tells of the terminal, into the information area's current part.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "core/trace.h"
#include "protocols/ruda/ruda_answer.h"
#include "protocols/ruda/ruda_extract.h"
#include "protocols/ruda/ruda_terminal_info.h"

namespace {

constexpr int kValueRoom = 100;

// The text of an element of at most `room` bytes (false when absent, empty
// or longer).
bool ValueText(TlvNode* tmpl, unsigned int tag, int room, std::string* text) {
    TlvNode found;
    if (tmpl == nullptr || !RUDA_FindElement(*tmpl, tag, &found) || found.lg > room) return false;
    text->assign(reinterpret_cast<const char*>(found.value), static_cast<size_t>(found.lg));
    // A text ends at its first NUL.
    text->resize(std::strlen(text->c_str()));
    return true;
}

TerminalPartInfo* Current(TerminalInfoArea* info) {
    if (info == nullptr || info->currentPart < 0 || info->currentPart > 4) return nullptr;
    return &info->parts[info->currentPart];
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string Without(std::string text, const char* drop) {
    std::string out;
    for (char c : text)
        if (std::strchr(drop, c) == nullptr) out += c;
    return out;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The state texts are cut to their field.
int StateText(TlvNode* tmpl, unsigned int tag, const char* message, uint8_t* flag, char* field) {
    std::string text;
    if (!ValueText(tmpl, tag, kValueRoom, &text)) return 1;
    WSysError(message, text.c_str());
    *flag = 1;
    RUDA_CopyText(field, kTermInfoStateText, reinterpret_cast<const unsigned char*>(text.data()),
                  static_cast<int>(text.size()));
    return 0;
}

}  // namespace

int RUDA_GetSerialNumber(TlvNode* tmpl, TerminalInfoArea* info) {
    TerminalPartInfo* part = Current(info);
    std::string serial;
    if (part == nullptr || !ValueText(tmpl, 0x9F1E, kTermInfoSerial, &serial)) return 1;
    serial.resize(kTermInfoSerial, '0');
    std::memset(part->serial, 0, sizeof part->serial);
    std::memcpy(part->serial, serial.data(), kTermInfoSerial);
    part->serialLength = kTermInfoSerial;
    return 0;
}

int RUDA_GetModelOrVersion(TlvNode* tmpl, TerminalInfoArea* info, int modelFlag) {
    TerminalPartInfo* part = Current(info);
    std::string value;
    if (part == nullptr || !ValueText(tmpl, 0xDF0D, kValueRoom, &value)) return 1;
    if (modelFlag == 0) {
        const int entry = part->packageCount;
        if (entry < 0 || entry >= kTermInfoPackages) return 1;
        RUDA_CopyText(part->packageTables[1][entry], 4, reinterpret_cast<const unsigned char*>(value.data()),
                      static_cast<int>(value.size()));
        return 0;
    }
    if (!value.empty() && value.back() == '\n') value.pop_back();
    RUDA_CopyText(info->modelName, kTermInfoModel, reinterpret_cast<const unsigned char*>(value.data()),
                  static_cast<int>(value.size()));
    info->twoReaders = StartsWith(value, "LR520") || StartsWith(value, "LR521") || StartsWith(value, "Ambo") ? 1 : 0;
    ++info->modelReadings;
    info->modelMarkers[1] = 1;
    return 0;
}

int RUDA_GetOsVersion(TlvNode* tmpl, TerminalInfoArea* info, const char* model, char* family, int osFlag) {
    TerminalPartInfo* part = Current(info);
    std::string value;
    if (part == nullptr || !ValueText(tmpl, 0xDF7F, kValueRoom, &value)) return 1;
    if (osFlag == 0) {
        WSysError("** INFO. ** RUDA version %s", value.c_str());
        const std::string crc = RUDA_VersionCrcText(Upper(value), true);
        WSysError("** INFO. ** RUDA version CRC %s", crc.c_str());
        if (value.size() < sizeof part->applicationVersion) {
            RUDA_CopyText(part->applicationVersion, sizeof part->applicationVersion - 1,
                          reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()));
            part->applicationVersionLength = static_cast<int32_t>(value.size());
        }
        RUDA_AddPackage(part, "2801", crc, "531");
        return 0;
    }
    const char* code = StartsWith(value, "QT") ? "QT" : "QX";
    if (family != nullptr) std::memcpy(family, code, 3);
    const std::string name = model != nullptr ? model : "";
    std::string version;
    if (StartsWith(name, "LR520") || StartsWith(name, "LR521")) {
        version = value.size() > 8 ? value.substr(8, 18) : std::string();
    } else if (std::strcmp(code, "QX") == 0) {
        if (value == "release-") {
            WSysError("-- ERROR -- Format version OS non conforme");
            part->status = 1;
            part->failureMark = 255;
            return 1;
        }
        version = value.size() >= 8 ? value.substr(value.size() - 8) : std::string(8 - value.size(), '0') + value;
    } else {
        version = value.size() >= 4 ? value.substr(value.size() - 4) : std::string(4 - value.size(), '0') + value;
    }
    const std::string crc = RUDA_VersionCrcText(Upper(version), false);
    WSysError("** INFO. ** OS version CRC %s", crc.c_str());
    part->osEntry[0] = 4;
    char four[4] = {};
    std::memcpy(four, crc.data(), std::min<size_t>(4, crc.size()));
    std::memcpy(&part->osEntry[1], four, 4);
    part->osEntry[2] = 0;
    return 0;
}

int RUDA_GetOsType(TlvNode* tmpl, char* family) {
    std::string value;
    if (family == nullptr || !ValueText(tmpl, 0xDF8109, kValueRoom, &value)) return 1;
    if (StartsWith(value, "M/RT")) std::memcpy(family, "QX", 3);
    return 0;
}

int RUDA_GetTamperStatus(TlvNode* tmpl, TerminalInfoArea* info) {
    TerminalPartInfo* part = Current(info);
    if (part == nullptr) return 1;
    return StateText(tmpl, 0xDF8101, "** INFO. ** Statut de la violabilite : %s", &part->tamperFlag,
                     part->tamperState);
}

int RUDA_GetRemovalStatus(TlvNode* tmpl, TerminalInfoArea* info) {
    TerminalPartInfo* part = Current(info);
    if (part == nullptr) return 1;
    return StateText(tmpl, 0xDF8102, "** INFO. ** Statut du demontage : %s", &part->removalFlag,
                     part->removalState);
}

int RUDA_GetUptime(TlvNode* tmpl, TerminalInfoArea* info) {
    if (info == nullptr) return 1;
    uint32_t seconds = 0;
    if (tmpl == nullptr || RUDA_ElementNumber(*tmpl, 0xDFEC1F, &seconds) != 1) {
        info->secondsSincePowerUp = 0;
        return 1;
    }
    info->secondsSincePowerUp = static_cast<int32_t>(seconds);
    WSysError("** INFO. ** Temps depuis reboot : %dh %dm %ds", static_cast<int>(seconds / 3600),
              static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return 0;
}

int RUDA_GetCtlsVersion(TlvNode* tmpl, TerminalInfoArea* info) {
    TerminalPartInfo* part = Current(info);
    std::string value;
    if (part == nullptr || !ValueText(tmpl, 0xDFC022, kValueRoom, &value)) return 1;
    WSysError("** INFO. ** CTLS version %s", value.c_str());
    value = Upper(value);
    const size_t at = value.find("TQ-CTLS-");
    if (at != std::string::npos) value.erase(0, at + 8);
    const std::string crc = RUDA_VersionCrcText(Without(value, "-."), false);
    WSysError("** INFO. ** CTLS version CRC %s", crc.c_str());
    RUDA_AddPackage(part, "7001", crc, "531");
    return 0;
}

int RUDA_GetCtlsKernels(TlvNode* tmpl, TerminalInfoArea* info) {
    TerminalPartInfo* part = Current(info);
    std::string value;
    if (part == nullptr || !ValueText(tmpl, 0xDFC028, 200, &value)) return 1;
    WSysError("** INFO. ** CTLS Orrin Kernels %s", value.c_str());
    value = Without(value, " -");
    WSysError("@@ DEBUG @@ CTLS orrin k modifie %s", value.c_str());
    part->contactlessAnswered = 1;
    RUDA_CopyText(part->contactlessKernels, kTermInfoKernels, reinterpret_cast<const unsigned char*>(value.data()),
                  static_cast<int>(value.size()));
    return 0;
}
