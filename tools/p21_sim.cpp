// p21_sim: a protocol-11 terminal on the P21 link, on a pseudo-terminal.
// Prints the slave device to give the program as its "Driver", then
// answers the program's frames as the scenario says until a signal comes,
// printing each frame and its answer. See tools/README.md.
//
//   p21_sim [--scenario FILE] [--driver-config FILE] [--quiet]
#include <cstdio>
#include <string>

#include "tool_help.h"

#include "linesim/line_sim.h"
#include "p21sim/p21_device.h"

namespace {

const char* kUsage = "usage: p21_sim [--scenario FILE] [--driver-config FILE] [--quiet]\n";

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
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
    std::optional<p21sim::P21Scenario> scenario = linesim::LoadScenario<p21sim::P21Scenario>("p21_sim", scenarioPath);
    if (!scenario) return 2;
    p21sim::P21Sim sim(std::move(*scenario));
    if (!sim.start()) {
        std::fprintf(stderr, "p21_sim: no pseudo-terminal\n");
        return 2;
    }
    // Stop signals are caught before the slave is announced: a caller may
    // stop the simulator as soon as it reads that line.
    linesim::CatchStopSignals();
    if (!linesim::AnnounceSlave("p21_sim", sim.slaveName(), driverConfig)) return 2;
    size_t shown = 0;
    while (!linesim::StopAsked()) {
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
