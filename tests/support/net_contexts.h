// Helpers of the network tests: a clean context table, a TCP listening
// context on a free loopback port, a client context, and the network trace
// switched on for the "ktnet" loggers.
#pragma once
#include <string>

#include "comm/network_dispatch.h"
#include "core/trace.h"
#include "netsim/tcp_link.h"

namespace testsupport {

// Frees all seven contexts and leaves none selected that matters.
inline void FreeAllNetContexts() {
    for (int n = 0; n < WNET_CONTEXT_COUNT; ++n) {
        WNetContext* c = WNetGetContext(n);
        if (c->listenHandle != -1 && c->type != WNET_TYPE_FREE) {
            WNetSelectContext(n);
            WNetClose(0);
        }
        WNetFreeContext(n);
    }
}

// Debug lines of the network layer reach the trace while it lives.
class NetTraceOn {
public:
    NetTraceOn() {
        for (const char* logger : {"ktnet", "ktnet.com", "ktm_wpro", "ktx_wsrv"}) WSysSetLoggerLevel(logger, WLOG_TRACE);
    }
    ~NetTraceOn() {
        for (const char* logger : {"ktnet", "ktnet.com", "ktm_wpro", "ktx_wsrv"}) WSysSetLoggerLevel(logger, WLOG_WARN);
    }
};

// A context of the given type listening on a free loopback port: its number
// (current) and the port; -1 when none could be opened.
inline int OpenListeningContext(int type, int* port, int backlog = 0) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int n = WNetGetFreeContext();
        if (n < 0) return -1;
        const std::string service = std::to_string(netsim::UnusedLoopbackPort());
        WNetSetServices(service.c_str(), service.c_str());
        WNetSetTypReseau(type);
        WNetSelectContext(n);
        if (WNetOpenServer(1, backlog) == 0) {
            *port = std::stoi(service);
            return n;
        }
        WNetFreeContext(n);  // the port was taken meanwhile: another one
    }
    return -1;
}

// A TCP client context for 127.0.0.1:port (not yet connected): its number.
inline int ClientContext(int port, int type = WNET_TYPE_TCP) {
    const int n = WNetGetFreeContext();
    if (n < 0) return -1;
    const std::string service = std::to_string(port);
    WNetSelectContext(n);
    WNetSetServices(service.c_str(), service.c_str());
    WNetSetHosts("127.0.0.1", "127.0.0.1");
    WNetSetTypReseau(type);
    WNetSelectContext(n);
    return n;
}

}  // namespace testsupport
