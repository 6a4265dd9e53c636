// Shared blocks kept in a process-wide slot table, private-heap look-alikes,
// named mutexes with a fixed wait behaviour, and the country-to-language table.
#pragma once
#include <cstddef>
#include <cstdint>

// One slot of the shared-block table: the mapping (-1 when the slot is free)
// and the mapped address (null when free).
struct WShareCell {
    intptr_t mapping;
    void* address;
};

constexpr size_t WSHARE_SLOTS = 50001;
// Longest full block name (prefix and name), and longest name given to
// WSemOpenPrefixed (which puts kSemNamePrefix in front of it).
constexpr size_t WSHARE_MAX_NAME = 79;
constexpr size_t WSEM_MAX_PREFIXED_NAME = 73;
// Prefix of the named mutexes opened with WSemOpenPrefixed (the locks of the
// communication resources): the program's own prefix for its shared objects,
// the same in every process and every mode of the program.
constexpr char kSemNamePrefix[] = "SH";

int WInitShareTab();
int WSetShareMemPrefix(const char* prefix);
WShareCell* WGetHANDLEbyAddress(const void* address);
void* WOpenShareMem(const char* name, size_t size, int openOnly);
void* WCreateShareMem(const char* name, size_t size);
int WCloseShareMem(void* address);
int WReleaseShareMem(void* address);
void* WOpenShareMemHeap(const char* name, size_t size);
int WFreeShareMemHeap(void* block);

// Handle of a named mutex (owned by the caller, closed with WSemClose).
struct WSemObject;
using WSEM_HANDLE = WSemObject*;

int WSemOpen(int fullAccess, WSEM_HANDLE* handle, const char* name);
int WSemOpenPrefixed(int fullAccess, WSEM_HANDLE* handle, const char* name);
int WSemWait(WSEM_HANDLE handle, int32_t milliseconds);
int WSemRelease(WSEM_HANDLE handle);
int WSemClose(WSEM_HANDLE handle);

// Country code (three digits) and language code (three letters).
struct WCountryLanguage {
    char country[4];
    char language[4];
};
extern const WCountryLanguage g_countryLanguages[];
extern const size_t g_countryLanguageCount;

int WGetLanguageCode(const char* countryCode, char* languageCode);
