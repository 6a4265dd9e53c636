// The physical floor of the network benchmarks: a bare socket round trip
// over loopback (request of one size out, answer of another size back)
// between a client and a peer thread, measured per round trip.
#pragma once
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "latency_counters.h"
#include "netsim/tcp_link.h"

inline void RunBareRoundTrip(benchmark::State& state, size_t requestSize, size_t answerSize) {
    netsim::Listener listener;
    if (!listener.open()) {
        state.SkipWithError("cannot listen");
        return;
    }
    std::thread peer([&] {
        auto link = listener.accept(5000);
        if (!link) return;
        const std::string answer(answerSize, 'a');
        for (;;) {
            std::string request;
            if (!link->receiveExactly(requestSize, &request, 5000)) return;
            if (!link->sendAll(answer)) return;
        }
    });
    auto client = netsim::ConnectLoopback(listener.port(), 5000);
    if (!client) {
        state.SkipWithError("cannot connect");
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
