// Writes a parameter file as the program expects it: the lines with CR LF
// ends, closed by a valid signature record.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/signed_file_writer.h"

namespace testsupport {

inline void WriteSignedFile(const std::string& path, const std::vector<std::string>& lines) {
    ASSERT_TRUE(WriteSignedParamFile(path, lines)) << path;
}

}  // namespace testsupport
