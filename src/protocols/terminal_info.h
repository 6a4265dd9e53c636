// Terminal information records that the terminal-identification operations
// fill: one part record per unit of the terminal, and the information area
// of the transaction record (five parts and a header).
#pragma once
#include <cstdint>

struct TerminalPartInfo {
    int32_t mode;  // set by the caller: 0 system information, 1 contactless reader
    int32_t status;
    int32_t failureMark;
    int32_t filled;
    int32_t kindLetter;
    int32_t modelFound;
    int32_t modelNumber;
    int32_t serialLength;
    char serial[16];
    int32_t identifierLength;
    char identifier[36];
    int32_t applicationVersionLength;
    char applicationVersion[21];
    int32_t osEntry[3];
    int32_t packagesPresent;
    int32_t packageCount;
    int32_t packageCodeBytes;
    int32_t packageCrcBytes;
    char packageTables[4][10][5];
    uint8_t tamperFlag;
    char tamperState[9];
    uint8_t removalFlag;
    char removalState[9];
    uint8_t contactlessAnswered;
    char contactlessKernels[43];
};

struct TerminalInfoArea {
    TerminalPartInfo parts[5];  // 0 the terminal or its base, 1 a second unit, 2 the contactless reader
    int32_t currentPart;
    char modelName[21];
    int32_t identifierLength;
    char identifier[36];  // 9F1C
    int32_t mode;
    int32_t status;
    int32_t failureMark;
    int32_t partsRead;
    uint8_t partFlags[5];
    int32_t secondsSincePowerUp;
    int32_t twoReaders;       // 1 for a terminal of two readers (LR520, LR521, "Ambo")
    int32_t modelReadings;    // model names read
    uint8_t modelMarkers[2];  // one per value of the model flag of the reading
};

// Field widths of the information records.
constexpr int kTermInfoSerial = 12;
constexpr int kTermInfoModel = 20;
constexpr int kTermInfoKernels = 42;
constexpr int kTermInfoStateText = 8;
constexpr int kTermInfoPackages = 10;
constexpr int kTermInfoText = 32;

// Generic chained lists of the terminal description: a head with a state
// word (255 when empty) and items of 20 bytes (first byte 255 when empty).
struct TermInfoListHead {
    int32_t state;
    TermInfoListHead* next;
};
struct TermInfoItem {
    uint8_t bytes[20];
    TermInfoItem* next;
};
// The head's state 255, no next entry.
void TermInfoList_Init(TermInfoListHead* head);
// Releases every entry chained after the head (the head stays, its next
// pointer cleared).
void TermInfoList_Free(TermInfoListHead* head);
// Clears the item's 20 bytes and sets the first to 255.
void TermInfoItem_Init(TermInfoItem* item);
// Releases every item chained after the first, each cleared before it goes.
void TermInfoItems_Free(TermInfoItem* first);

// Versions of the terminal's files: the caller's first entry and chained
// further ones (released with FileVersionList_Free).
struct FileVersionEntry {
    char name[kTermInfoText + 1];
    char version[kTermInfoText + 1];
    FileVersionEntry* next;
};
// Releases the entries chained after the first and clears the first.
void FileVersionList_Free(FileVersionEntry* first);

// Data-encryption key slot: slot index (255 none), key serial number.
struct KeySlot {
    uint8_t slot;
    uint8_t ksn[10];
    KeySlot* next;
};
// Releases the slots chained after the first and clears the first (255).
void KeySlotList_Free(KeySlot* first);

struct LibraryPair {
    char name[kTermInfoText + 1];
    char version[kTermInfoText + 1];
    LibraryPair* next;
};
struct HardwareRecord {
    char serial[kTermInfoSerial + 1];
    char osFamily[3];  // "QT" or "QX"
    char osName[7];
    uint8_t tamper;
    uint8_t removal;
    uint32_t secondsSincePowerUp;
    char name[kTermInfoText + 1];
    char version[kTermInfoText + 1];
    LibraryPair* libraries;
    HardwareRecord* next;
};
struct ModuleRecord {
    char name[kTermInfoText + 1];
    char version[kTermInfoText + 1];
    LibraryPair* libraries;
    ModuleRecord* next;
};

// The full terminal description (operation 95). Clean it with
// CleanupTerminalInfo before the first use and after the last.
struct TerminalDescription {
    int32_t states[3];  // 1, '9', 'Z' after the clean-up; [1] '1' once an element was decoded
    char identifier[13];
    char applicationVersion[kTermInfoText + 1];
    char sredName[kTermInfoText + 1];
    char sredVersion[kTermInfoText + 1];
    HardwareRecord hardware;  // the first; further ones chained
    ModuleRecord* modules;
    int32_t maxChainedSize;
    int32_t flagA21E;
    KeySlot keySlots;
    TermInfoListHead terminals;
    TermInfoItem items;
};
// Frees every chain of a zeroed or cleaned description and clears it (states 1, '9', 'Z').
void CleanupTerminalInfo(TerminalDescription* description);

// SRED status (operation 190).
struct SredStatus {
    int32_t whiteListStatus;
    int32_t sredStatus;
    int32_t state;  // '1' read, '2' tampered, '3' refused
    uint8_t whiteListHash[32];
};

// Mutual authentication record (operation 192): what is sent and received.
constexpr int kAuthCertificateMax = 2048;
struct AuthRecord {
    uint8_t sent8313[8];
    uint8_t received831D[8];
    uint8_t sent831A[10];
    uint8_t received8315[256];
    uint8_t sent8312[7];
    uint8_t received8311[kAuthCertificateMax];
    const uint8_t* certificate;  // sent as DF8311 when the flag is set
    int32_t certificateLength;
};

// What the answer of the authentication (192) fills: with the mode flag the
// certificate, the terminal's 8 and 256 bytes into the record, and DF8314
// into the buffer (256 bytes) with its length; without it DF8311 and DF8314.
constexpr int kAuthBlock = 256;
struct AuthAnswer {
    int32_t mode;
    uint8_t* buffer;
    int32_t* length;
    AuthRecord* record;
};
