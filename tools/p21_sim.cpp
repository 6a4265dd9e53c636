// p21_sim: a protocol-11 terminal on the P21 link, on a pseudo-terminal.
// Prints the slave device to give the program as its "Driver", then
// answers the program's frames as the scenario says until a signal comes,
// printing each frame and its answer. See tools/README.md.
//
//   p21_sim [--scenario FILE] [--driver-config FILE] [--quiet]
#include <csignal>
#include <cstdio>
#include <string>

#include "linesim/line_sim.h"
#include "p21sim/p21_device.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char* kUsage = "usage: p21_sim [--scenario FILE] [--driver-config FILE] [--quiet]\n";

}  // namespace

int main(int argc, char** argv) {
    std::string scenarioPath;
    std::string driverConfig;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--scenario" && hasValue) scenarioPath = argv[++i];
        else if (arg == "--driver-config" && hasValue) driverConfig = argv[++i];
        else if (arg == "--quiet") quiet = true;
        else {
            std::fprintf(stderr, "%s", kUsage);
            return 64;
        }
    }
    std::string error;
    std::optional<p21sim::P21Scenario> scenario = scenarioPath.empty()
                                                      ? p21sim::P21Scenario::Parse("", &error)
                                                      : p21sim::P21Scenario::FromFile(scenarioPath, &error);
    if (!scenario) {
        std::fprintf(stderr, "p21_sim: %s\n", error.c_str());
        return 2;
    }
    p21sim::P21Sim sim(std::move(*scenario));
    if (!sim.start()) {
        std::fprintf(stderr, "p21_sim: no pseudo-terminal\n");
        return 2;
    }
    if (!driverConfig.empty()) {
        const std::string why = linesim::SetDriver(driverConfig, sim.slaveName());
        if (!why.empty()) {
            std::fprintf(stderr, "p21_sim: %s\n", why.c_str());
            return 2;
        }
    }
    std::printf("p21_sim slave %s\n", sim.slaveName().c_str());
    std::fflush(stdout);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    size_t shown = 0;
    while (!g_stop) {
        sim.waitExchanges(shown + 1, 100);
        const std::vector<p21sim::Exchange> got = sim.exchanges();
        for (; shown < got.size(); ++shown) {
            if (quiet) continue;
            const p21sim::Exchange& e = got[shown];
            std::printf("%s%s -> %s\n", linesim::Hex(e.message).c_str(), e.checkOk ? "" : " (bad check)",
                        e.answer.empty() ? "(none)" : linesim::Hex(e.answer).c_str());
        }
        std::fflush(stdout);
    }
    sim.line().waitDelivered(2000);
    sim.line().stop();
    return 0;
}
