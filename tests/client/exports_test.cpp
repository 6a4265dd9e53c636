// The shared library exports exactly the C functions of its public header and
// nothing else of ours.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "support/temp_dir.h"

namespace {

TEST(ExportsTest, OnlyThePublicFunctionsAreExported) {
    const std::string lib = testsupport::BinPath("../lib/libznp_dll.so");
    const std::string command = "nm -D --defined-only -C '" + lib + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> ours;
    std::string all;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string l(line);
        all += l;
        if (!l.empty() && l.back() == '\n') l.pop_back();
        // "<address> <type> <name>"
        const size_t first = l.find(' ');
        const size_t second = first == std::string::npos ? first : l.find(' ', first + 1);
        if (second == std::string::npos) continue;
        const std::string name = l.substr(second + 1);
        // Instantiations of the standard library's own templates keep its
        // default visibility; everything else is ours.
        if (name.find("std::") != std::string::npos || name.find("__gnu_cxx") != std::string::npos) continue;
        ours.insert(name);
    }
    ASSERT_EQ(pclose(pipe), 0) << all;
    const std::set<std::string> expected = {
        "SZelApiOpen",
        "SZelApiClose",
        "SZelApiSendMessage",
        "SZelApiWaitSynchro",
        "SZelApiGetMessage",
        "ATAG_WriteInit",
        "ATAG_SetStringVal",
        "ATAG_SetStringValHEX",
        "ATAG_GetWriteBuf",
        "ATAG_ReadInit",
        "ATAG_GetStringVal",
        "ATAG_GetStringValHEX",
        "ATAG_WriteInitForInstance",
        "ATAG_SetStringValForInstance",
        "ATAG_SetStringValHEXForInstance",
        "ATAG_GetWriteBufForInstance",
        "ATAG_ReadInitForInstance",
        "ATAG_GetStringValForInstance",
        "ATAG_GetStringValHEXForInstance",
    };
    EXPECT_EQ(ours, expected) << all;
}

}  // namespace
