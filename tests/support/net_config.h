// The network resources of a till directory for the tests: "WCFG/net_00.wt"
// rewritten (signed) with the servers the test names, so that the program
// reaches a simulator on an ephemeral port instead of the example's ports.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "support/signed_file_writer.h"

namespace testsupport {

// Lines of resource n with a principal server at 127.0.0.1:port over TCP,
// labelled as given (empty: no LTY line).
inline std::vector<std::string> LoopbackResource(int n, int port, const std::string& label = "TALVO") {
    char index[8];
    std::snprintf(index, sizeof index, "%03d", n);
    const std::string i(index);
    std::vector<std::string> lines = {"[NTY_" + i + ":2]", "[HO1_" + i + ":127.0.0.1]",
                                      "[SV1_" + i + ":" + std::to_string(port) + "]", "[TO1_" + i + ":2000]"};
    if (!label.empty()) lines.push_back("[LTY_" + i + ":" + label + "]");
    return lines;
}

// Writes dir/WCFG/net_00.wt with these lines and its signature record; true
// when written.
inline bool WriteNetFile(const std::string& dir, const std::vector<std::string>& lines) {
    return WriteSignedParamFile(dir + "/WCFG/net_00.wt", lines);
}

}  // namespace testsupport
