// Scripted TCP peer for exact bytes, and a listener with a full accept queue:
//
//   tcp_peer --listen --script FILE [--port N]   wait for one link, play the script
//   tcp_peer --connect PORT --script FILE       connect to 127.0.0.1:PORT, play it
//   tcp_peer --full-backlog                     hold a listener nobody gets through
//
// The listening forms print "tcp_peer listening on 127.0.0.1:<port>". The
// script steps are described in tools/README.md. Prints every byte read (in
// hexadecimal) and the outcome; exit code 0 when the script went as written,
// 2 when it did not, 1 on misuse. --full-backlog runs until SIGINT/SIGTERM.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "netsim/net_frame.h"
#include "netsim/scripted_peer.h"
#include "netsim/tcp_link.h"
#include "tool_help.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

const char kUsage[] =
    "usage: tcp_peer --listen --script FILE [--port N] | --connect PORT --script FILE | --full-backlog\n"
    "Plays a script of exact bytes on one loopback link (tools/README.md: the script steps).\n";

int Usage(const char*) {
    std::fputs(kUsage, stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    enum class Mode { None, Listen, Connect, FullBacklog } mode = Mode::None;
    long port = 0;
    std::string scriptFile;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--listen") {
            mode = Mode::Listen;
        } else if (a == "--connect" && i + 1 < argc) {
            mode = Mode::Connect;
            port = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--port" && i + 1 < argc) {
            port = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--script" && i + 1 < argc) {
            scriptFile = argv[++i];
        } else if (a == "--full-backlog") {
            mode = Mode::FullBacklog;
        } else {
            return Usage(argv[0]);
        }
    }
    if (port < 0 || port > 65535 || mode == Mode::None) return Usage(argv[0]);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    if (mode == Mode::FullBacklog) {
        netsim::FullBacklogListener listener;
        if (!listener.open()) {
            std::fprintf(stderr, "cannot fill the accept queue\n");
            return 1;
        }
        std::printf("tcp_peer listening on 127.0.0.1:%u\n", listener.port());
        std::fflush(stdout);
        while (!g_stop) pause();
        return 0;
    }

    std::ifstream in(scriptFile);
    if (scriptFile.empty() || !in) return Usage(argv[0]);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    auto steps = netsim::ParsePeerScript(text.str(), &error);
    if (!steps) {
        std::fprintf(stderr, "%s: %s\n", scriptFile.c_str(), error.c_str());
        return 1;
    }
    std::unique_ptr<netsim::Link> link;
    netsim::Listener listener;
    if (mode == Mode::Listen) {
        if (!listener.open(static_cast<uint16_t>(port))) {
            std::fprintf(stderr, "cannot listen on port %ld\n", port);
            return 1;
        }
        std::printf("tcp_peer listening on 127.0.0.1:%u\n", listener.port());
        std::fflush(stdout);
        link = listener.accept(-1);
    } else {
        link = netsim::ConnectLoopback(static_cast<uint16_t>(port), 5000);
    }
    if (!link) {
        std::fprintf(stderr, "no link\n");
        return 2;
    }
    std::string received;
    const std::string outcome = netsim::RunPeerScript(*link, *steps, &received);
    std::printf("received: %s\n", netsim::BytesToHex(received).c_str());
    std::printf("%s\n", outcome.empty() ? "script done" : outcome.c_str());
    return outcome.empty() ? 0 : 2;
}
