#include "comm/com_resources.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "comm/com_channel.h"
#include "comm/ip_channels.h"
#include "core/helpers.h"
#include "core/param_file.h"
#include "core/shared_blocks.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace {

ComCtx* g_context = nullptr;
// One mutex handle per resource (null: none).
std::vector<WSEM_HANDLE> g_mutexes;
ComResource* g_current = nullptr;
int g_currentNumber = -1;
// Window of the current search.
int g_searchNext = -1;
int g_searchLast = -1;

const int kGroupTypes[WCOM_TYPE_GROUPS] = {WCOM_TYPE_SERIAL, WCOM_TYPE_USB, WCOM_TYPE_IP_CLIENT, WCOM_TYPE_IP_SERVER,
                                           WCOM_TYPE_CONNECTED};

int GroupOf(int type) {
    for (int i = 0; i < WCOM_TYPE_GROUPS; ++i)
        if (kGroupTypes[i] == type) return i;
    return -1;
}

int Pid() { return static_cast<int>(plat::CurrentPid()); }

bool InRange(int number) { return g_context != nullptr && number >= 0 && number < g_context->count; }

ComResource* Entry(int number) { return WCOM_Entries(g_context) + number; }

ComResource* MakeCurrent(int number) {
    g_current = Entry(number);
    g_currentNumber = number;
    return g_current;
}

void CloseTrace(ComResource* r) { WComTraceCloseResource(r); }

// True when the name holds a '.' after its first character.
bool HasExtension(const char* name) { return name[0] != '\0' && std::strchr(name + 1, '.') != nullptr; }

// Copies a given name shorter than 75 characters, with the extension added
// when it has none.
bool TakeName(char* field, const char* name, const char* extension) {
    if (name == nullptr || name[0] == '\0' || std::strlen(name) > WCOM_NAME_MAX_GIVEN) return false;
    std::snprintf(field, WCOM_TEXT_SIZE, "%s", name);
    if (extension != nullptr && !HasExtension(field))
        std::strncat(field, extension, WCOM_TEXT_SIZE - std::strlen(field) - 1);
    return true;
}

// A present, non-empty value of the configuration (copied), or false.
bool ConfigValue(KTDK_FILE* config, const char* key, std::string* value) {
    const char* v = FILE_GetStringParam(config, key);
    if (v == nullptr || *v == '\0') return false;
    *value = v;
    return true;
}

int Decimal(const std::string& text) {
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int>(v);
}

// Line parameters, transmit size and delay of a configuration; the "Vpsl"
// value must have exactly four characters at creation, at least four at a
// reload.
void ReadLineSettings(ComResource* r, KTDK_FILE* config, bool reload) {
    std::string value;
    const bool vpsl = ConfigValue(config, "Vpsl", &value);
    if (vpsl && (reload ? value.size() >= 4 : value.size() == 4)) {
        r->vpslSpeed = value[0] - '0';
        r->vpslParity = value[1] - '0';
        r->vpslStop = value[2] - '0';
        r->vpslLength = value[3] - '0';
    } else {
        r->vpslSpeed = 4;
        r->vpslParity = 0;
        r->vpslStop = 1;
        r->vpslLength = 8;
    }
    if (ConfigValue(config, "Tx_size", &value)) {
        r->txSize = Decimal(value);
        if (r->txSize < 0 || r->txSize > 512) r->txSize = 512;
    } else {
        r->txSize = 4096;
    }
    r->txDelay = ConfigValue(config, "Tx_delay", &value) ? Decimal(value) : 0;
    if (r->txDelay < 0) r->txDelay = 0;
}

// Records a marker of the resource (unless its trace is off).
void Marker(ComResource* r, int direction, int status) {
    if (r->traceMode == WCOM_TRACE_NONE) return;
    const unsigned char zero = 0;
    WComTraceRecord(direction, status, &zero, 1);
}

// Compares an id argument with an id field over 10 characters (the argument
// padded with NUL bytes so that nothing is read past it).
bool IdEquals(const char* arg, const char* field, bool wild) {
    char padded[WCOM_ID_SIZE] = {};
    std::memcpy(padded, arg, std::min(std::strlen(arg), static_cast<size_t>(WCOM_ID_SIZE)));
    if (wild) return WCompareWildString(padded, field, 1, WCOM_ID_SIZE, ' ') == 1;
    return WCompareNString(padded, field, 1, WCOM_ID_SIZE) == 1;
}

bool Given(const char* text) { return text != nullptr && *text != '\0'; }

bool Matches(const ComResource* r, int connectionType, int lockState, const char* id1, const char* id2,
             const char* id3, const char* id4, int key, bool wild) {
    if (connectionType != 0 && connectionType != r->connectionType) return false;
    if (lockState != 0 && lockState != r->lockState) return false;
    if (Given(id2) && !IdEquals(id2, r->ids[2], wild)) return false;
    if (Given(id4) && !IdEquals(id4, r->ids[3], wild)) return false;
    if (Given(id3) && !IdEquals(id3, r->ids[1], wild)) return false;
    if (Given(id1)) {
        if (!IdEquals(id1, r->ids[0], wild)) return false;
    } else if (std::strncmp(r->ids[0], "       ", 7) != 0) {
        return false;
    }
    return r->ownerKey == 0 || r->ownerKey == key;
}

int Take(int index) {
    ComResource* r = MakeCurrent(index);
    r->lockState = 1;
    CloseTrace(r);
    g_searchNext = index + 1;
    return index;
}

// One pass over the window: the first match, or a random one of all
// matches; -1 when none.
int Pass(int first, int last, int connectionType, int lockState, const char* id1, const char* id2, const char* id3,
         const char* id4, int random, int key, bool wild) {
    std::vector<int> matches;
    for (int i = first; i <= last; ++i) {
        ComResource* r = Entry(i);
        if (!Matches(r, connectionType, lockState, id1, id2, id3, id4, key, wild)) continue;
        r->ownerKey = key;
        if (!random) return i;
        matches.push_back(i);
    }
    if (matches.empty()) return -1;
    const auto seconds = static_cast<long long>(plat::RealtimeMs() / 1000);
    return matches[static_cast<size_t>(seconds % static_cast<long long>(matches.size()))];
}

}  // namespace

ComCtx* WCOM_GetContext() { return g_context; }

ComResource* WCOM_Entries(ComCtx* context) {
    static_assert(sizeof(ComCtx) % alignof(ComResource) == 0);
    return context != nullptr ? reinterpret_cast<ComResource*>(context + 1) : nullptr;
}

ComResource* WCOM_CurrentResource() { return g_current; }
int WCOM_CurrentResourceNumber() { return g_currentNumber; }

int WCOM_CreateContext(int contextId, int serial, int usb, int ipClient, int ipServer, int connected) {
    const int numbers[WCOM_TYPE_GROUPS] = {serial, usb, ipClient, ipServer, connected};
    int count = 0;
    for (int n : numbers) count += n > 0 ? n : 0;
    char name[WSHARE_MAX_NAME + 1];
    std::snprintf(name, sizeof name, "KT_SHARE_COM_%03d", contextId);
    const size_t size = sizeof(ComCtx) + static_cast<size_t>(count) * sizeof(ComResource);
    char base[64];
    const int baseLength = std::snprintf(base, sizeof base, "KT_SEM_COM_%03d", contextId);
    ComCtx* context = nullptr;
    if (baseLength < WCOM_MUTEX_BASE_SIZE) context = static_cast<ComCtx*>(WOpenShareMemHeap(name, size));
    if (context == nullptr) {
        WSysError("-- ERROR -- WCOM_CreateContext : Echec Allocation structure ComCtx.... %s %d", name,
                  static_cast<int>(size));
        return -1;
    }
    if (g_context != nullptr) {
        for (int i = 0; i < g_context->count; ++i) WComTraceForgetResource(Entry(i));
        WFreeShareMemHeap(g_context);
    }
    g_context = context;
    g_current = nullptr;
    g_currentNumber = -1;
    g_searchNext = g_searchLast = -1;
    context->count = count;
    int next = 0;
    for (int g = 0; g < WCOM_TYPE_GROUPS; ++g) {
        const int n = numbers[g] > 0 ? numbers[g] : 0;
        context->groups[g].number = n;
        context->groups[g].first = n > 0 ? next : -1;
        for (int i = next; i < next + n; ++i) {
            ComResource* r = Entry(i);
            r->type = kGroupTypes[g];
            r->connectionType = -1;
            r->handle = -1;
            r->ownerPid = -1;
            for (auto& id : r->ids) std::memset(id, ' ', WCOM_ID_SIZE);
        }
        next += n;
    }
    context->creatorPid = Pid();
    std::memcpy(context->mutexBase, base, static_cast<size_t>(baseLength) + 1);
    std::snprintf(context->signature, sizeof context->signature, "%s", "Talvo Technologies.");
    for (WSEM_HANDLE h : g_mutexes)
        if (h != nullptr) WSemClose(h);
    g_mutexes.assign(static_cast<size_t>(count) + 1, nullptr);
    return 1;
}

int WCOM_CreateResource(int type, const char* traceName, const char* configName, const char* scriptName) {
    if (g_context == nullptr) return -2;
    const int number = WCOM_FindResource(0, 1, type, -1, 0, nullptr, nullptr, nullptr, nullptr, 0, 0);
    if (number < 0) {
        WSysError("-- ERROR -- WCOM_CreateResource : Pas Assez de Resource de type %d ", type);
        return -1;
    }
    ComResource* r = Entry(number);
    if (TakeName(r->traceFile, traceName, nullptr)) {
        WTrimRight(r->traceFile);
        if (!HasExtension(r->traceFile)) std::strncat(r->traceFile, ".log", WCOM_TEXT_SIZE - std::strlen(r->traceFile) - 1);
    }
    if (!TakeName(r->configFile, configName, ".cfg"))
        WSysError("** INFO. ** Chemin vers FPCfg trop long %d ",
                  configName != nullptr ? static_cast<int>(std::strlen(configName)) : 0);
    TakeName(r->scriptFile, scriptName, ".cfg");
    if (KTDK_FILE* config = WCOM_GetPhysicalConfig(number)) {
        ReadLineSettings(r, config, false);
        std::string value;
        r->directMode = 0;
        if (ConfigValue(config, "DirectMode", &value)) r->directMode = static_cast<uint8_t>(Decimal(value));
        FILE_FreeFile(config);
    }
    r->lockState = -1;
    r->connectionType = 0;
    return number;
}

int WCOM_FindResource(int resume, int wildcard, int type, int connectionType, int lockState, const char* id1,
                      const char* id2, const char* id3, const char* id4, int random, int ownerKey) {
    if (g_context == nullptr) return -2;
    int first, last;
    if (resume == 0) {
        const int g = GroupOf(type);
        if (g >= 0) {
            first = g_context->groups[g].first;
            last = first + g_context->groups[g].number - 1;
        } else {
            first = 0;
            last = g_context->count - 1;
        }
        g_searchNext = first;
        g_searchLast = last;
    } else {
        first = g_searchNext;
        last = g_searchLast;
    }
    if (first < 0 || last < 0 || first > g_context->count || last >= g_context->count || last < first) return -1;
    if (ownerKey != 0 && type == WCOM_TYPE_CONNECTED && wildcard) {
        for (int i = first; i <= last; ++i)
            if (Entry(i)->ownerKey == ownerKey) return Take(i);
    }
    int found = Pass(first, last, connectionType, lockState, id1, id2, id3, id4, random, ownerKey, false);
    if (found < 0 && wildcard)
        found = Pass(first, last, connectionType, lockState, id1, id2, id3, id4, random, ownerKey, true);
    if (found < 0) {
        g_searchNext = last + 1;
        return -1;
    }
    return Take(found);
}

ComResource* WCOM_GetResourceByNum(int number) {
    if (!InRange(number)) return nullptr;
    return MakeCurrent(number);
}

int WCOM_LockResource(int number) {
    if (g_context == nullptr) return -2;
    if (!InRange(number)) return -3;
    if (g_mutexes[static_cast<size_t>(number)] != nullptr) return number + 1;
    ComResource* r = MakeCurrent(number);
    char name[64];
    std::snprintf(name, sizeof name, "%s%02d", g_context->mutexBase, number);
    WSEM_HANDLE handle = nullptr;
    if (WSemOpenPrefixed(1, &handle, name) != 0 || handle == nullptr) {
        WSysError("-- ERROR -- WCOM_LockResource : Echec Ouverture Semaphore....");
        return -2;
    }
    // A bounded wait: a resource another process keeps never freezes the
    // main thread.
    if (WSemWait(handle, WCOM_LOCK_WAIT_MS) != 0) {
        WSysError("-- ERROR -- WCOM_LockResource : ressource %d occupee (attente %d ms depassee)", number,
                  WCOM_LOCK_WAIT_MS);
        WSemRelease(handle);
        WSemClose(handle);
        return -1;
    }
    r->lockState = 2;
    g_mutexes[static_cast<size_t>(number)] = handle;
    return number + 1;
}

int WCOM_UnlockResource(int number) {
    if (g_context == nullptr || g_mutexes.empty() || number < 0) return -1;
    if (!InRange(number)) return -3;
    ComResource* r = MakeCurrent(number);
    r->lockState = -1;
    WComTraceClose();
    WSEM_HANDLE& handle = g_mutexes[static_cast<size_t>(number)];
    if (handle != nullptr) {
        WSemRelease(handle);
        WSemClose(handle);
        handle = nullptr;
    }
    return 1;
}

int WCOM_FreeResource(int number) {
    if (g_context == nullptr) return -2;
    if (!InRange(number)) return -3;
    MakeCurrent(number)->lockState = -1;
    return 1;
}

int WCOM_SetResourceFile(int number, int kind, const char* name) {
    if (g_context == nullptr) return -2;
    if (!InRange(number)) return -3;
    ComResource* r = MakeCurrent(number);
    if (kind < 1 || kind > 3) return -1;
    if (name == nullptr) name = "";
    if (std::strlen(name) >= static_cast<size_t>(WCOM_TEXT_SIZE)) {
        WSysError("-- ERROR -- WCOM_SetResourceFile : nom trop long (%d, max. %d), ressource %d",
                  static_cast<int>(std::strlen(name)), WCOM_TEXT_SIZE - 1, number);
        return -1;
    }
    char* field = kind == 1 ? r->configFile : kind == 2 ? r->scriptFile : r->traceFile;
    std::snprintf(field, WCOM_TEXT_SIZE, "%s", name);
    if (kind == 3) WTrimRight(field);
    return 1;
}

int WCOM_SetResourceConnType(int number, int connectionType) {
    if (g_context == nullptr) return -2;
    if (!InRange(number)) return -3;
    MakeCurrent(number)->connectionType = connectionType;
    return 1;
}

int WCOM_SetResourceTraceMode(int number, int traceMode) {
    if (g_context == nullptr) return -2;
    if (!InRange(number)) return -3;
    MakeCurrent(number)->traceMode = static_cast<uint8_t>(traceMode);
    return 1;
}

int WCOM_GetResourceMedia(int number) {
    if (!InRange(number)) return -1;
    return MakeCurrent(number)->connectionType / 10 * 10;
}

int WCOM_GetResourceAdapter(int number) {
    if (!InRange(number)) return -1;
    return MakeCurrent(number)->connectionType % 10;
}

int WCOM_IsSerialResource(int number) {
    if (g_context == nullptr) return -1;
    const ComTypeGroup& g = g_context->groups[0];
    return g.number > 0 && number >= g.first && number < g.first + g.number ? 1 : 0;
}

int WCOM_GetPadDoubleFF(int number) {
    if (!InRange(number)) return -1;
    return MakeCurrent(number)->padDoubleFF;
}

int WCOM_SetPadDoubleFF(int number, int value) {
    if (!InRange(number)) return -1;
    MakeCurrent(number)->padDoubleFF = value;
    return 1;
}

KTDK_FILE* WCOM_GetPhysicalConfig(int number) {
    if (!InRange(number)) return nullptr;
    ComResource* r = MakeCurrent(number);
    KTDK_FILE* file = FILE_NewFile(r->configFile);
    if (file == nullptr) return nullptr;
    // A missing file reads as empty (every key takes its default); an
    // unreadable one is no configuration.
    if (FILE_OpenReadClose(file) < 0) {
        FILE_FreeFile(file);
        return nullptr;
    }
    return file;
}

std::string WCOM_ScriptVariantSuffix() {
    // Counted from the end of the program file name as it would carry the
    // four characters of ".exe".
    const std::string path = plat::CurrentProgramPath();
    const size_t length = path.size() + 4;
    if (length <= 8) return "00";
    return path.substr(length - 8, 2);
}

KTDK_FILE* WCOM_GetConnectionConfig(int number) {
    if (!InRange(number)) return nullptr;
    ComResource* r = MakeCurrent(number);
    if (r->scriptFile[0] == '\0') return nullptr;
    const std::string variant = std::string(r->scriptFile) + "." + WCOM_ScriptVariantSuffix();
    struct stat st {};
    KTDK_FILE* file = FILE_NewFile(stat(variant.c_str(), &st) == 0 ? variant.c_str() : r->scriptFile);
    if (file == nullptr) return nullptr;
    if (FILE_OpenReadClose(file) <= 0) {
        FILE_FreeFile(file);
        return nullptr;
    }
    return file;
}

int WCOM_ReloadResourceConfig(int number) {
    if (g_context == nullptr) return -2;
    if (!InRange(number)) return -1;
    ComResource* r = Entry(number);
    if (KTDK_FILE* config = WCOM_GetPhysicalConfig(number)) {
        ReadLineSettings(r, config, true);
        FILE_FreeFile(config);
    }
    return 1;
}

int WCOM_UpdatePhysicalConfig(int number, const std::vector<std::pair<std::string, std::string>>& pairs) {
    if (!InRange(number)) return -1;
    ComResource* r = MakeCurrent(number);
    KTDK_FILE* file = FILE_NewFile(r->configFile);
    if (file == nullptr) return -1;
    // A missing file is nothing to update.
    if (FILE_OpenReadClose(file) <= 0) {
        FILE_FreeFile(file);
        return -1;
    }
    for (const auto& [key, value] : pairs) {
        if (FILE_ReplaceStringParam(file, key.c_str(), value.c_str()) < 0) {
            FILE_FreeFile(file);
            return -1;
        }
    }
    const std::string start = std::string("{") + FILE_SIGNATURE_MARKER + ":";
    FILE_SetSemantique(file, start.c_str(), "}\r\n");
    file->length = static_cast<int32_t>(std::strlen(file->content));
    int32_t first = -1, stop = -1;
    FILE_GetLocaliseMessage(file, &first, &stop);
    if (first >= 0 && stop < 0) {
        WSysError("-- ERROR -- Fichier de configuration : Fin de signature non trouvee (manque un saut de ligne "
                  "final ?)");
    } else if (first >= 0 && FILE_RemoveFromFileContent(file, first, stop) == nullptr) {
        FILE_FreeFile(file);
        return -2;
    }
    const int put = FILE_PutRecordSignat(file);
    const int written = put >= 0 ? FILE_OpenWriteClose(file) : -1;
    FILE_FreeFile(file);
    return put < 0 || written < 0 ? -1 : 1;
}

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

namespace {

// The resource of an entry point once its channel is selected; null (with
// the entry point's error line) when the switch fails.
ComResource* Switched(int number, const char* entryPoint) {
    const int sw = WComSwitch(number);
    if (sw < 0) {
        WSysError("-- ERROR -- %s(): WComSwitch() returned an error: %d, resource: %d", entryPoint, sw, number);
        return nullptr;
    }
    return WCOM_CurrentResource();
}

}  // namespace

int WComOpen2(int number) {
    ComResource* r = Switched(number, "WComOpen2");
    if (r == nullptr) return -1;
    WComInterface* channel = WComCurrentChannel();
    if (r->handle != -1) {
        WComQueueBlock probe{};
        if (WComReadIOCtl2(number, WCOM_IOCTL_QUEUES, &probe, sizeof probe) < static_cast<int>(sizeof probe)) {
            MakeCurrent(number);
            channel->Close(r->handle);
            r->handle = -1;
            Marker(r, WCOM_TRACE_EMISSION, 'K');
            if (r->type == WCOM_TYPE_CONNECTED) WComTraceClose();
        }
    }
    MakeCurrent(number);
    if (r->handle != -1 && r->type == WCOM_TYPE_CONNECTED && r->ownerPid != Pid()) {
        r->handle = -1;
        WSysError("<< WARN. >> WComOpen2(): Force connection to be open again (shared across process), owner pid: "
                  "%u, current pid: %u",
                  static_cast<unsigned>(r->ownerPid), static_cast<unsigned>(Pid()));
    }
    int result;
    if (r->handle == -1) {
        KTDK_FILE* config = WCOM_GetPhysicalConfig(number);
        if (config == nullptr) {
            WSysError("-- ERROR -- WComOpen2(): WCOM_GetPhysicalConfig() returned an error, resource: %d", number);
            return -2;
        }
        int handle = -1;
        result = channel->Open(&handle, config);
        MakeCurrent(number);
        if (result < 0) {
            r->handle = -1;
        } else {
            r->handle = handle;
            r->ownerPid = Pid();
        }
        FILE_FreeFile(config);
    } else {
        result = r->type == WCOM_TYPE_CONNECTED ? 1 : 0;
    }
    if (r->type != WCOM_TYPE_CONNECTED) Marker(r, WCOM_TRACE_EMISSION, 'O');
    return result;
}

int WComClose2(int number) {
    ComResource* r = Switched(number, "WComClose2");
    if (r == nullptr) return -1;
    if (r->handle == -1) return -1;
    if (r->ownerPid != Pid()) return 0;
    r->ownerPid = -1;
    const int closed = WComCurrentChannel()->Close(r->handle);
    r->handle = -1;
    Marker(r, WCOM_TRACE_EMISSION, 'C');
    WComTraceClose();
    return closed == 0 ? 1 : closed;
}

int WComRead2(int number, void* buffer, int size) {
    ComResource* r = Switched(number, "WComRead2");
    if (r == nullptr) return -1;
    if (r->handle == -1) return -1;
    const int n = WComCurrentChannel()->Read(r->handle, buffer, size);
    if (r->traceMode != WCOM_TRACE_NONE) {
        if (n > 0) {
            WComTraceRecord(WCOM_TRACE_RECEPTION, 0, buffer, n);
        } else {
            const unsigned char first = buffer != nullptr && size > 0 ? *static_cast<unsigned char*>(buffer) : 0;
            WComTraceRecord(WCOM_TRACE_RECEPTION, n == 0 ? 'T' : 'R', &first, 1);
        }
    }
    return n;
}

int WComWrite2(int number, const void* bytes, int length) {
    ComResource* r = Switched(number, "WComWrite2");
    if (r == nullptr) return -1;
    if (r->handle == -1) return -1;
    const int n = WComCurrentChannel()->Write(r->handle, bytes, length);
    if (r->traceMode != WCOM_TRACE_NONE) {
        if (n > 0) {
            WComTraceRecord(WCOM_TRACE_EMISSION, 0, bytes, n);
        } else {
            const unsigned char first = bytes != nullptr && length > 0 ? *static_cast<const unsigned char*>(bytes) : 0;
            WComTraceRecord(WCOM_TRACE_EMISSION, n == 0 ? 'e' : 'E', &first, 1);
        }
    }
    // A failed link of a connected resource is closed (its socket and network
    // context freed), so that the next open starts afresh on the same number.
    if (n < 0 && r->type == WCOM_TYPE_CONNECTED) {
        if (r->ownerPid == Pid()) {
            WComCurrentChannel()->Close(r->handle);
            r->ownerPid = -1;
        }
        r->handle = -1;
    }
    return n;
}

int WComReadIOCtl2(int number, int code, void* block, int size) {
    ComResource* r = Switched(number, "WComReadIOCtl2");
    if (r == nullptr) return -1;
    if (r->handle == -1) return -1;
    return WComCurrentChannel()->ReadIOCtl(r->handle, code, block, size);
}

int WComWriteIOCtl2(int number, int code, void* block, int size) {
    ComResource* r = Switched(number, "WComWriteIOCtl2");
    if (r == nullptr) return -1;
    if (r->handle == -1) return -1;
    const int result = WComCurrentChannel()->WriteIOCtl(r->handle, code, block, size);
    if (WComIpTakeHangUp() && r->ownerPid == Pid()) WComClose2(number);
    return result;
}

int WComWaitInput2(int number, int timeoutMs) {
    if (WComSwitch(number) < 0) return -1;
    ComResource* r = WCOM_CurrentResource();
    if (r->handle == -1) return -1;
    return WComCurrentChannel()->WaitInput(r->handle, timeoutMs);
}
