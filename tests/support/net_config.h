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

// One server of a test resource: host, port and the server name of its TLS
// handshake ("" none).
struct TestServer {
    std::string host;
    int port;
    std::string serverName;
};

// Lines of resource n over TLS (network type 4): the servers in order
// principal, backup, tertiary, each with a connect time-out of 2 s.
inline std::vector<std::string> TlsResource(int n, const std::vector<TestServer>& servers) {
    char index[8];
    std::snprintf(index, sizeof index, "%03d", n);
    const std::string i(index);
    std::vector<std::string> lines = {"[NTY_" + i + ":4]", "[LTY_" + i + ":TALVO]"};
    for (size_t s = 0; s < servers.size() && s < 3; ++s) {
        const std::string letter = std::to_string(s + 1);
        lines.push_back("[HO" + letter + "_" + i + ":" + servers[s].host + "]");
        lines.push_back("[SV" + letter + "_" + i + ":" + std::to_string(servers[s].port) + "]");
        lines.push_back("[TO" + letter + "_" + i + ":2000]");
        if (!servers[s].serverName.empty())
            lines.push_back("[SNI" + letter + "_" + i + ":" + servers[s].serverName + "]");
    }
    return lines;
}

// The certificate settings of every resource (no ClientCert line when the
// client certificate is empty).
inline std::vector<std::string> CertificateSettings(const std::string& hostCert, int checkCert, int versionSSL,
                                                    const std::string& clientCert = "") {
    std::vector<std::string> lines = {"[HostCert:" + hostCert + "]", "[CheckCert:" + std::to_string(checkCert) + "]",
                                      "[VersionSSL:" + std::to_string(versionSSL) + "]"};
    if (!clientCert.empty()) lines.push_back("[ClientCert:" + clientCert + "]");
    return lines;
}

// Writes dir/WCFG/net_00.wt with these lines and its signature record; true
// when written.
inline bool WriteNetFile(const std::string& dir, const std::vector<std::string>& lines) {
    return WriteSignedParamFile(dir + "/WCFG/net_00.wt", lines);
}

}  // namespace testsupport
