// Shared blocks, named mutexes and country languages.
#include "core/shared_blocks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "core/helpers.h"
#include "core/trace.h"
#include "platform/named_mutex.h"
#include "platform/shared_memory.h"

struct WSemObject {
    plat::NamedMutex mutex;
};

namespace {

constexpr intptr_t kFreeMapping = -1;
constexpr const char* kDefaultPrefix = "SHNT_";

// The table and the prefix are meant for the main thread; the lock only keeps
// a stray call from another thread from corrupting them.
std::recursive_mutex g_shareLock;
WShareCell* g_shareArray = nullptr;
char g_sharePrefix[WSHARE_MAX_NAME + 1] = "SHNT_";

plat::SharedMemory* MappingOf(const WShareCell& cell) {
    return reinterpret_cast<plat::SharedMemory*>(cell.mapping);
}

}  // namespace

int WInitShareTab() {
    std::lock_guard<std::recursive_mutex> lock(g_shareLock);
    if (g_shareArray != nullptr) return 0;
    auto* table = static_cast<WShareCell*>(WAlloc(WSHARE_SLOTS * sizeof(WShareCell)));
    if (table == nullptr) {
        WSysError("-- ERROR -- WInitShareTab: pas de memoire pour g_shareArray");
        return -1;
    }
    for (size_t i = 0; i < WSHARE_SLOTS; ++i) {
        table[i].mapping = kFreeMapping;
        table[i].address = nullptr;
    }
    g_shareArray = table;
    return 0;
}

int WSetShareMemPrefix(const char* prefix) {
    std::lock_guard<std::recursive_mutex> lock(g_shareLock);
    if (prefix == nullptr && g_shareArray != nullptr) return 0;
    const char* value = (prefix == nullptr || *prefix == '\0') ? kDefaultPrefix : prefix;
    size_t len = std::strlen(value);
    if (len > WSHARE_MAX_NAME) return -1;
    std::memcpy(g_sharePrefix, value, len + 1);
    return WInitShareTab();
}

WShareCell* WGetHANDLEbyAddress(const void* address) {
    std::lock_guard<std::recursive_mutex> lock(g_shareLock);
    if (g_shareArray == nullptr) {
        WSysError("-- ERROR -- WGetHANDLEbyAddress: g_shareArray non initialisee");
        return nullptr;
    }
    for (size_t i = 0; i < WSHARE_SLOTS; ++i) {
        if (g_shareArray[i].address == address) return &g_shareArray[i];
    }
    return nullptr;
}

void* WOpenShareMem(const char* name, size_t size, int openOnly) {
    std::lock_guard<std::recursive_mutex> lock(g_shareLock);
    if (g_shareArray == nullptr && WSetShareMemPrefix(nullptr) != 0) return nullptr;
    WShareCell* cell = WGetHANDLEbyAddress(nullptr);
    if (cell == nullptr) {
        WSysError("-- ERROR -- WOpenShareMEM(): WGetSHELTbyAddress() returned an error, no more slot, "
                  "shared memory name: %s",
                  name ? name : "(null)");
        return nullptr;
    }
    if (name == nullptr || size > SIZE_MAX - 15) {
        WSysError("-- ERROR -- WOpenShareMem():echec open() MapFile %d %s", openOnly, name ? name : "(null)");
        return nullptr;
    }
    const size_t rounded = (size + 15) / 16 * 16;
    // The full name is limited: a longer one is refused, never truncated.
    if (std::strlen(g_sharePrefix) + std::strlen(name) > WSHARE_MAX_NAME) {
        WSysError("-- ERROR -- WOpenShareMem(): nom trop long %.79s%.79s", g_sharePrefix, name);
        return nullptr;
    }
    std::string fullName = std::string(g_sharePrefix) + name;

    auto* shm = new (std::nothrow) plat::SharedMemory;
    if (shm == nullptr) {
        WSysError("-- ERROR -- WOpenShareMem():echec open() MapFile %d %s", openOnly, fullName.c_str());
        return nullptr;
    }
    plat::ShmError err = shm->Open(fullName, rounded,
                                   openOnly ? plat::SharedMemory::Mode::OpenOnly
                                            : plat::SharedMemory::Mode::OpenOrCreate);
    if (err != plat::ShmError::None) {
        if (err == plat::ShmError::MapFailed) {
            WSysError("-- ERROR -- WOpenShareMem():echec MapView() MapFile %s", fullName.c_str());
        } else {
            WSysError("-- ERROR -- WOpenShareMem():echec open() MapFile %d %s", openOnly, fullName.c_str());
        }
        delete shm;
        return nullptr;
    }
    cell->mapping = reinterpret_cast<intptr_t>(shm);
    cell->address = shm->data();
    return cell->address;
}

void* WCreateShareMem(const char* name, size_t size) { return WOpenShareMem(name, size, 0); }

int WCloseShareMem(void* address) {
    std::lock_guard<std::recursive_mutex> lock(g_shareLock);
    // A null address would find a free slot: it is never a block.
    WShareCell* cell = address != nullptr ? WGetHANDLEbyAddress(address) : nullptr;
    if (cell == nullptr) {
        WSysError("<< WARN. >> WCloseShareMem(): cellule introuvable");
        return -1;
    }
    delete MappingOf(*cell);
    cell->mapping = kFreeMapping;
    cell->address = nullptr;
    return 0;
}

int WReleaseShareMem(void* address) { return WCloseShareMem(address); }

void* WOpenShareMemHeap(const char* name, size_t size) { return WAlloc(size); }

int WFreeShareMemHeap(void* block) {
    if (block == nullptr) return -1;
    WFree(block);
    return 0;
}

int WSemOpen(int fullAccess, WSEM_HANDLE* handle, const char* name) {
    // Opening and creating are one step here; access rights are not modelled.
    int err = 0;
    if (handle == nullptr || name == nullptr) {
        err = EINVAL;
    } else if (std::strlen(name) > WSHARE_MAX_NAME) {
        err = ENAMETOOLONG;
    }
    WSemObject* sem = nullptr;
    if (err == 0) {
        sem = new (std::nothrow) WSemObject;
        if (sem == nullptr) err = ENOMEM;
        else err = sem->mutex.Open(name);
    }
    if (err != 0) {
        delete sem;
        if (handle != nullptr) *handle = nullptr;
        WSysError("-- ERROR -- WSemOpen : Echec OpenCreateMutex  %04x  %.79s", static_cast<unsigned>(err),
                  name ? name : "(null)");
        return -1;
    }
    *handle = sem;
    return 0;
}

int WSemOpenPrefixed(int fullAccess, WSEM_HANDLE* handle, const char* name) {
    if (name != nullptr && std::strlen(name) > WSEM_MAX_PREFIXED_NAME) {
        if (handle != nullptr) *handle = nullptr;
        WSysError("-- ERROR -- WSemOpenPrefixed : nom trop long %.73s", name);
        return -1;
    }
    if (name == nullptr) return WSemOpen(fullAccess, handle, nullptr);
    char fullName[WSHARE_MAX_NAME + 1];
    std::snprintf(fullName, sizeof fullName, "%s%s", kSemNamePrefix, name);
    return WSemOpen(fullAccess, handle, fullName);
}

int WSemWait(WSEM_HANDLE handle, int32_t milliseconds) {
    if (handle != nullptr) {
        plat::MutexWait r = handle->mutex.Wait(milliseconds < 0 ? -1 : milliseconds);
        if (r == plat::MutexWait::Acquired || r == plat::MutexWait::Abandoned) return 0;
    }
    WSleep(500);
    return -1;
}

int WSemRelease(WSEM_HANDLE handle) {
    if (handle == nullptr) return -1;
    return handle->mutex.Release() ? 0 : -1;
}

int WSemClose(WSEM_HANDLE handle) {
    if (handle == nullptr) return -1;
    delete handle;
    return 0;
}

const WCountryLanguage g_countryLanguages[] = {
    {"004", "PUS"}, {"008", "ALB"}, {"010", "ENG"}, {"012", "ARA"}, {"016", "ENG"}, {"020", "CAT"}, {"024", "POR"}, {"028", "ENG"},
    {"031", "AZE"}, {"032", "SPA"}, {"036", "ENG"}, {"040", "GER"}, {"044", "ENG"}, {"048", "ARA"}, {"050", "BEN"}, {"051", "ARM"},
    {"052", "ENG"}, {"056", "FRE"}, {"060", "ENG"}, {"064", "DZO"}, {"068", "SPA"}, {"070", "BOS"}, {"072", "ENG"}, {"074", "NNO"},
    {"076", "POR"}, {"084", "ENG"}, {"086", "ENG"}, {"090", "ENG"}, {"092", "ENG"}, {"096", "MAY"}, {"100", "BUL"}, {"104", "MYA"},
    {"108", "FRE"}, {"112", "BEL"}, {"116", "KHM"}, {"120", "FRE"}, {"124", "FRE"}, {"132", "POR"}, {"136", "ENG"}, {"140", "FRE"},
    {"144", "SIN"}, {"148", "FRE"}, {"152", "SPA"}, {"156", "ZHO"}, {"158", "ZHO"}, {"162", "ENG"}, {"166", "ENG"}, {"170", "SPA"},
    {"174", "ARA"}, {"175", "FRE"}, {"178", "FRE"}, {"180", "FRE"}, {"184", "ENG"}, {"188", "SPA"}, {"191", "HRV"}, {"192", "SPA"},
    {"196", "ELL"}, {"203", "CES"}, {"204", "FRE"}, {"208", "DAN"}, {"212", "FRE"}, {"214", "SPA"}, {"218", "SPA"}, {"222", "SPA"},
    {"226", "FRE"}, {"231", "AMH"}, {"232", "TIR"}, {"233", "EST"}, {"234", "DAN"}, {"238", "ENG"}, {"239", "ENG"}, {"242", "FIJ"},
    {"246", "FIN"}, {"248", "SWE"}, {"250", "FRE"}, {"254", "FRE"}, {"258", "FRE"}, {"260", "FRE"}, {"262", "FRE"}, {"266", "FRE"},
    {"268", "KAT"}, {"270", "ENG"}, {"275", "ARA"}, {"276", "GER"}, {"288", "ENG"}, {"292", "ENG"}, {"296", "ENG"}, {"300", "ELL"},
    {"304", "DAN"}, {"308", "ENG"}, {"312", "FRE"}, {"316", "CHA"}, {"320", "SPA"}, {"324", "FRE"}, {"328", "ENG"}, {"332", "FRE"},
    {"334", "ENG"}, {"336", "ITA"}, {"340", "SPA"}, {"344", "ENG"}, {"348", "HUN"}, {"352", "ISL"}, {"356", "HIN"}, {"360", "IND"},
    {"364", "FAS"}, {"368", "ARA"}, {"372", "ENG"}, {"376", "HEB"}, {"380", "ITA"}, {"384", "FRE"}, {"388", "ENG"}, {"392", "JPN"},
    {"398", "KAR"}, {"400", "ARA"}, {"404", "SWA"}, {"408", "KOR"}, {"410", "KOR"}, {"414", "ARA"}, {"417", "KIR"}, {"418", "LAO"},
    {"422", "ARA"}, {"426", "ENG"}, {"428", "LAV"}, {"430", "ENG"}, {"434", "ARA"}, {"438", "GER"}, {"440", "LIT"}, {"442", "LTZ"},
    {"446", "POR"}, {"450", "MLG"}, {"454", "NYA"}, {"458", "MSA"}, {"462", "DIV"}, {"466", "FRE"}, {"470", "MLT"}, {"474", "FRE"},
    {"478", "FRE"}, {"480", "FRE"}, {"484", "SPA"}, {"492", "FRE"}, {"496", "MON"}, {"498", "RON"}, {"499", "ENG"}, {"500", "ENG"},
    {"504", "ARA"}, {"508", "POR"}, {"512", "ARA"}, {"516", "ENG"}, {"520", "NAU"}, {"524", "NEP"}, {"528", "NLD"}, {"531", "NLD"},
    {"533", "NLD"}, {"534", "NLD"}, {"535", "NLD"}, {"540", "FRE"}, {"548", "BIS"}, {"554", "ENG"}, {"558", "SPA"}, {"562", "FRE"},
    {"566", "ENG"}, {"570", "ENG"}, {"574", "ENG"}, {"578", "NOB"}, {"580", "CHA"}, {"581", "ENG"}, {"583", "ENG"}, {"584", "ENG"},
    {"585", "ENG"}, {"586", "URD"}, {"591", "SPA"}, {"598", "ENG"}, {"600", "SPA"}, {"604", "SPA"}, {"608", "ENG"}, {"612", "ENG"},
    {"616", "POL"}, {"620", "POR"}, {"624", "POR"}, {"626", "POR"}, {"630", "SPA"}, {"634", "ARA"}, {"638", "FRE"}, {"642", "RON"},
    {"643", "RUS"}, {"646", "FRE"}, {"652", "FRE"}, {"654", "ENG"}, {"659", "ENG"}, {"660", "ENG"}, {"662", "ENG"}, {"663", "FRE"},
    {"666", "FRE"}, {"670", "ENG"}, {"674", "ITA"}, {"678", "POR"}, {"682", "ARA"}, {"686", "FRE"}, {"688", "SRP"}, {"690", "FRE"},
    {"694", "ENG"}, {"702", "ENG"}, {"703", "SLK"}, {"704", "VIE"}, {"705", "SLV"}, {"706", "SOM"}, {"710", "ENG"}, {"716", "ENG"},
    {"724", "SPA"}, {"728", "ENG"}, {"729", "ENG"}, {"732", "ARA"}, {"740", "NLD"}, {"744", "NOR"}, {"748", "ENG"}, {"752", "SWE"},
    {"756", "FRE"}, {"760", "ARA"}, {"762", "TGJ"}, {"764", "THA"}, {"768", "FRE"}, {"772", "ENG"}, {"776", "TON"}, {"780", "ENG"},
    {"784", "ARA"}, {"788", "ARA"}, {"792", "TUR"}, {"795", "TUK"}, {"796", "ENG"}, {"798", "ENG"}, {"800", "ENG"}, {"804", "UKR"},
    {"807", "MKD"}, {"818", "ARA"}, {"826", "ENG"}, {"831", "FRE"}, {"832", "ENG"}, {"833", "ENG"}, {"834", "ENG"}, {"840", "ENG"},
    {"850", "ENG"}, {"854", "FRE"}, {"858", "SPA"}, {"860", "UZB"}, {"862", "SPA"}, {"876", "FRE"}, {"882", "SMO"}, {"887", "ARA"},
    {"894", "ENG"},
};
const size_t g_countryLanguageCount = sizeof g_countryLanguages / sizeof g_countryLanguages[0];

int WGetLanguageCode(const char* countryCode, char* languageCode) {
    if (countryCode == nullptr || languageCode == nullptr) return -1;
    if (strnlen(countryCode, 3) < 3) return -1;
    size_t lo = 0, hi = g_countryLanguageCount;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        int c = std::memcmp(g_countryLanguages[mid].country, countryCode, 3);
        if (c == 0) {
            std::memcpy(languageCode, g_countryLanguages[mid].language, 4);
            return 1;
        }
        if (c < 0) lo = mid + 1;
        else hi = mid;
    }
    return -1;
}
