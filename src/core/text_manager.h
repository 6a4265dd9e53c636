// Text manager: localised text files "<family>_<country>.wt" of entries
// "[key:value]" loaded one at a time into a key map, looked up by key with a
// fall-back to country 0, items written back, the file rewritten with its
// signature record, and an error status with a readable description.
//
// Main thread only: the shared text request is process-wide and unguarded.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "core/param_file.h"

constexpr int TEXT_PATH_MAX = 500;
constexpr int TEXT_DESCRIPTION_SIZE = 200;
constexpr int TEXT_ERROR_WORD_SIZE = 20;

// Status codes (one at a time).
constexpr int TEXT_STATUS_NO_FILE_OBJECT = 1;   // also: no value to write
constexpr int TEXT_STATUS_READ_ERROR = 2;
constexpr int TEXT_STATUS_WRITE_ERROR = 4;
constexpr int TEXT_STATUS_KEY_NOT_FOUND = 8;
constexpr int TEXT_STATUS_ITEM_NOT_WRITTEN = 16;
constexpr int TEXT_STATUS_ACCESS_DENIED = 32;
constexpr int TEXT_STATUS_CORRUPTED = 64;

// TEXT_SetFile flags.
constexpr int TEXT_FLAG_PARSE = 1;
constexpr int TEXT_FLAG_CHECK_RECORDS = 2;

// Directory of the system texts (family "wmes"), relative to the working
// directory.
inline constexpr const char TEXT_SYSTEM_DIRECTORY[] = "./WTRACES/WSYS";
inline constexpr const char TEXT_SYSTEM_FAMILY[] = "wmes";

struct TEXT_MANAGER {
    char directory[TEXT_PATH_MAX + 1];  // ends in '/' unless empty
    char fileName[TEXT_PATH_MAX + 1];
    int country;
    char errorDescription[TEXT_DESCRIPTION_SIZE];
    char errorWord[TEXT_ERROR_WORD_SIZE];
    int status;
    int errorLevel;  // 0 or 3
    KTDK_FILE* file;
    std::map<std::string, std::string> keys;
    bool describing;  // a description is being built (no nesting)
};

// The shared text request filled by TEXT_GetItemText and TEXT_GetSystemText.
struct TEXT_REQUEST {
    std::string family;
    std::string key;
    char* result;  // heap copy of the value, or null
};
TEXT_REQUEST* TEXT_GetSharedRequest();

TEXT_MANAGER* TEXT_NewTEXTManager();
int TEXT_FreeTEXTManager(TEXT_MANAGER* manager);
int TEXT_SetDirectory(TEXT_MANAGER* manager, const char* directory);
int TEXT_SetCountry(TEXT_MANAGER* manager, int country);
int TEXT_SetFile(TEXT_MANAGER* manager, const char* family, int flags);
int TEXT_OpenFile(TEXT_MANAGER* manager, const char* family);
int TEXT_getValue(TEXT_MANAGER* manager, const char* family, const char* key, std::string* out);
int TEXT_SetText(TEXT_MANAGER* manager, TEXT_REQUEST* request);
const char* TEXT_GetItemText(TEXT_MANAGER* manager, const char* key);
const char* TEXT_GetSystemText(TEXT_MANAGER* manager, const char* key);
int TEXT_ReSetItemText(TEXT_MANAGER* manager, const char* key, const char* value);
int TEXT_ReSetFileText(TEXT_MANAGER* manager);
int TEXT_SetTextError(TEXT_MANAGER* manager);
KTDK_FILE* TEXT_GetFile(TEXT_MANAGER* manager);
const char* TEXT_GetFileName(TEXT_MANAGER* manager);

// File name of a family for a country: "%s_%02d.wt" below 100, "%s_%03d.wt"
// from 100 on.
std::string TEXT_FormatFileName(const char* family, int country);

// Parses ".wt" text into the key map (the first entry of a key wins).
// 1 parsed, 0 syntax error (traced with path, line and column; entries before
// it stay), -1 no memory.
int TEXT_ParseFile(TEXT_MANAGER* manager, const char* content, int32_t length, const char* path);
