// Fuzz target of the parameter-file reader and the ".wt" parser.
//
// The input is taken as a file's content: the secure and signature records
// are checked and removed, parameters are looked up (keys cut from the
// input), one is replaced and read back, the file is signed and checked again,
// and the same bytes go through the ".wt" parser.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/param_file.h"
#include "core/text_manager.h"
#include "core/trace.h"
#include "fuzz_check.h"

namespace {


bool ContentTerminated(const KTDK_FILE* file) {
    return file->content == nullptr || file->content[file->length] == '\0';
}

// A key cut from the input: bytes up to the first ':' after a '['.
std::string KeyFrom(const uint8_t* data, size_t size) {
    const void* open = memchr(data, '[', size);
    if (open == nullptr) return "K";
    const auto* begin = static_cast<const uint8_t*>(open) + 1;
    const size_t rest = size - size_t(begin - data);
    const void* colon = memchr(begin, ':', rest);
    const size_t length = colon ? size_t(static_cast<const uint8_t*>(colon) - begin) : rest;
    std::string key(reinterpret_cast<const char*>(begin), length < 100 ? length : 100);
    return key.find('\0') == std::string::npos && !key.empty() ? key : "K";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    WSysSetTraceHook(nullptr);  // quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KTDK_FILE* file = FILE_NewFile("fuzz/param.txt");
    FILE_SetFileContent(file, int32_t(size), data);

    const int secure = FILE_GetRecordSecure(file);
    Check(secure >= -2 && secure <= 1, "secure result");
    const int signature = FILE_GetRecordSignat(file);
    Check(signature >= -2 && signature <= 2, "signature result");
    Check(ContentTerminated(file), "content terminated");

    const std::string key = KeyFrom(data, size);
    const char* value = FILE_GetStringParam(file, key.c_str());
    if (value) Check(strlen(value) < size_t(FILE_RESULT_AREA_SIZE), "value within the area");
    file->cursor = 0;
    for (int i = 0; i < 64 && FILE_GetNextStringParam(file, key.c_str()); ++i) {
    }
    FILE_GetIntParam(file, key.c_str());

    // Replacing with the value just read (it lives in the result area).
    value = FILE_GetStringParam(file, key.c_str());
    const std::string expected = value ? value : "v";
    const int32_t length = FILE_ReplaceStringParam(file, key.c_str(), value ? value : "v");
    Check(ContentTerminated(file), "content terminated after replace");
    // Without NUL bytes in the text and with a plain key, the line written is
    // the first line of its key: its value reads back.
    bool plainKey = !key.empty() && key.size() <= size_t(FILE_KEY_MAX);
    for (char c : key) plainKey = plainKey && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                                               (c >= 'a' && c <= 'z'));
    if (length >= 0 && plainKey && file->content != nullptr &&
        strlen(file->content) == size_t(file->length) && !expected.empty() &&
        expected.find("]\r\n") == std::string::npos) {
        const char* again = FILE_GetStringParam(file, key.c_str());
        Check(again != nullptr && again == expected, "replaced value reads back");
    }

    // Signed, then checked: valid unless the text already holds a record
    // start of its own (the first record is the one checked).
    const bool ownRecord = file->content != nullptr &&
                           strstr(file->content, FILE_SIGNATURE_MARKER) != nullptr;
    if (FILE_PutRecordSignat(file) == 1 && !ownRecord)
        Check(FILE_GetRecordSignat(file) == 1, "fresh signature");
    if (FILE_PutRecordSignat(file) == 1 && FILE_PutRecordSecure(file, 2) == 1) {
        Check(FILE_GetRecordSecure(file) == 1, "fresh secure record");
        if (!ownRecord) Check(FILE_GetRecordSignat(file) == 1, "signature behind secure record");
    }
    FILE_FreeFile(file);

    TEXT_MANAGER* manager = TEXT_NewTEXTManager();
    const int parsed = TEXT_ParseFile(manager, reinterpret_cast<const char*>(data), int32_t(size),
                                      "fuzz/f_00.wt");
    Check(parsed == 0 || parsed == 1, "parse result");
    for (const auto& entry : manager->keys)
        Check(entry.first.find(':') == std::string::npos &&
                  entry.second.find(']') == std::string::npos &&
                  entry.second.find('\r') == std::string::npos,
              "entry shape");
    TEXT_FreeTEXTManager(manager);
    return 0;
}
