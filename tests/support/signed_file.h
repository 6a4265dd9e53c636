// Writes a parameter file as the program expects it: the lines with CR LF
// ends, closed by a valid signature record.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/param_file.h"

namespace testsupport {

inline void WriteSignedFile(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    KTDK_FILE* file = FILE_NewFile(path.c_str());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(FILE_SetFileContent(file, static_cast<int32_t>(text.size()), text.data()), 1);
    ASSERT_EQ(FILE_PutRecordSignat(file), 1);
    ASSERT_GT(FILE_OpenWriteClose(file), 0);
    FILE_FreeFile(file);
}

}  // namespace testsupport
