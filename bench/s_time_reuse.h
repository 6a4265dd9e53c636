// The floor of resumed TLS connections: "openssl s_time -reuse" against a
// TLS server on localhost, each connection resuming the session, sending
// "GET / HTTP/1.0" and reading until the server ends the link (which also
// takes in the session tickets of TLS 1.3), then closing. Connections per
// second of wall time over the run, and the share that resumed.
#pragma once
#include <benchmark/benchmark.h>

#include <chrono>
#include <regex>
#include <string>

#include "support/child_process.h"

struct STimeReuse {
    double perSecond = 0;
    double resumedShare = 0;
    std::string error;  // empty when it ran
};

inline STimeReuse RunSTimeReuse(const std::string& service, const std::string& caFile, int seconds) {
    STimeReuse result;
    testsupport::ChildProcess sTime;
    const auto start = std::chrono::steady_clock::now();
    if (!sTime.Start({"openssl", "s_time", "-connect", "localhost:" + service, "-reuse", "-www", "/", "-time",
                      std::to_string(seconds), "-CAfile", caFile}) ||
        sTime.WaitExit((seconds + 30) * 1000) != 0) {
        result.error = "s_time failed";
        return result;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string out = sTime.Output();
    // The reuse run: one character a connection ('r' resumed), then its count.
    size_t from = out.find("starting\n");
    const std::regex counted("([0-9]+) connections in [0-9.]+s;");
    std::smatch m;
    if (from == std::string::npos || !std::regex_search(out.begin() + static_cast<long>(from), out.end(), m, counted)) {
        result.error = "no s_time figures";
        return result;
    }
    from += 9;
    const double connections = std::stod(m[1].str());
    size_t resumed = 0;
    for (auto it = out.begin() + static_cast<long>(from); it != m[0].first; ++it) resumed += *it == 'r' ? 1 : 0;
    result.perSecond = connections / wall;
    result.resumedShare = connections > 0 ? static_cast<double>(resumed) / connections : 0;
    return result;
}

// One s_time run per iteration against the TLS server of this port (its
// certificate verified against caFile), reported as counters: connections
// per second, microseconds per connection and the resumed share.
inline void MeasureSTimeReuse(benchmark::State& state, int port, const std::string& caFile, int seconds) {
    for (auto _ : state) {
        const STimeReuse run = RunSTimeReuse(std::to_string(port), caFile, seconds);
        if (!run.error.empty()) {
            state.SkipWithError(run.error.c_str());
            return;
        }
        state.counters["connections_per_s"] = run.perSecond;
        state.counters["us_per_connection"] = 1e6 / run.perSecond;
        state.counters["resumed_share"] = run.resumedShare;
    }
}
