// The physical floor of the network benchmarks: a bare socket round trip
// over loopback (request of one size out, answer of another size back)
// between a client and a peer thread, measured per round trip; in clear, or
// over one TLS connection made before the measure (the floor of an exchange
// on an open TLS link).
#pragma once
#include <benchmark/benchmark.h>

#include <openssl/ssl.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "latency_counters.h"
#include "netsim/tcp_link.h"

// The two sides of the TLS floor: contexts made by the caller and the name
// the client checks.
struct BareTls {
    SSL_CTX* server = nullptr;
    SSL_CTX* client = nullptr;
    std::string serverName;
};

inline void RunBareRoundTrip(benchmark::State& state, size_t requestSize, size_t answerSize,
                             const BareTls* tls = nullptr) {
    netsim::Listener listener;
    if (!listener.open()) {
        state.SkipWithError("cannot listen");
        return;
    }
    std::thread peer([&] {
        auto link = listener.accept(5000);
        if (!link) return;
        std::string error;
        if (tls != nullptr && !link->startTlsServer(tls->server, 5000, &error)) return;
        const std::string answer(answerSize, 'a');
        for (;;) {
            std::string request;
            if (!link->receiveExactly(requestSize, &request, 5000)) return;
            if (!link->sendAll(answer)) return;
        }
    });
    auto client = netsim::ConnectLoopback(listener.port(), 5000);
    std::string error;
    if (!client || (tls != nullptr && !client->startTlsClient(tls->client, tls->serverName, 5000, &error))) {
        state.SkipWithError("cannot connect");
        if (client) client->close();
        peer.join();
        return;
    }
    const std::string request(requestSize, 'r');
    std::vector<double> micros;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        std::string answer;
        if (!client->sendAll(request) || !client->receiveExactly(answerSize, &answer, 5000)) {
            state.SkipWithError("round trip failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    client->close();
    peer.join();
    ReportLatency(state, micros);
}
