// OpenSSL's own peers as child processes: "openssl s_server" on an
// ephemeral loopback port (the port it reports once it listens) and
// "openssl s_client". Both are killed and reaped when the object goes.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace testsupport {

class OpensslServer {
public:
    // s_server with the arguments, on 127.0.0.1 and a port of its choice;
    // false when it did not report listening within 10 s.
    bool Start(const std::vector<std::string>& args) {
        std::vector<std::string> all = {"openssl", "s_server", "-accept", "127.0.0.1:0"};
        all.insert(all.end(), args.begin(), args.end());
        if (!process_.Start(all)) return false;
        const std::string port = process_.WaitForMatch("ACCEPT 127\\.0\\.0\\.1:([0-9]+)", 10000);
        if (port.empty()) return false;
        port_ = static_cast<uint16_t>(std::stoi(port));
        return true;
    }
    uint16_t port() const { return port_; }
    std::string service() const { return std::to_string(port_); }
    ChildProcess& process() { return process_; }

private:
    ChildProcess process_;
    uint16_t port_ = 0;
};

// s_client to 127.0.0.1:port with the arguments.
inline bool StartOpensslClient(ChildProcess& process, uint16_t port, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(port)};
    all.insert(all.end(), args.begin(), args.end());
    return process.Start(all);
}

}  // namespace testsupport
