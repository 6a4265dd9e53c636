// Writes a parameter file as the program expects it: the lines with CR LF
// ends, closed by a valid signature record. Free of the test framework, so
// that benchmarks and tools can use it too.
#pragma once
#include <string>
#include <vector>

#include "core/param_file.h"

namespace testsupport {

// True when the file was written.
inline bool WriteSignedParamFile(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    KTDK_FILE* file = FILE_NewFile(path.c_str());
    if (file == nullptr) return false;
    const bool written = FILE_SetFileContent(file, static_cast<int32_t>(text.size()), text.data()) == 1 &&
                         FILE_PutRecordSignat(file) == 1 && FILE_OpenWriteClose(file) > 0;
    FILE_FreeFile(file);
    return written;
}

}  // namespace testsupport
