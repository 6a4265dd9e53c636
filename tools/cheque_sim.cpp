// cheque_sim: a cheque device of the small terminal protocols on a
// pseudo-terminal. Prints the slave device to give the program as its
// "Driver", then serves the program's commands as the scenario says until a
// signal comes, printing each command it gets. See tools/README.md.
//
//   cheque_sim --protocol 5 [--scenario FILE] [--driver-config FILE] [--quiet]
//
// Protocol 5: the printer with a cheque station (chequesim/pzr_printer.h).
#include <cstdio>
#include <string>

#include "chequesim/pzr_printer.h"
#include "linesim/line_sim.h"

namespace {

const char* kUsage = "usage: cheque_sim --protocol 5 [--scenario FILE] [--driver-config FILE] [--quiet]\n";

}  // namespace

int main(int argc, char** argv) {
    std::string protocol;
    std::string scenarioPath;
    std::string driverConfig;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--protocol" && hasValue) protocol = argv[++i];
        else if (arg == "--scenario" && hasValue) scenarioPath = argv[++i];
        else if (arg == "--driver-config" && hasValue) driverConfig = argv[++i];
        else if (arg == "--quiet") quiet = true;
        else {
            std::fprintf(stderr, "%s", kUsage);
            return 64;
        }
    }
    if (protocol != "5") {
        std::fprintf(stderr, "cheque_sim: protocol %s is not simulated (5 is)\n%s", protocol.c_str(), kUsage);
        return 64;
    }
    std::optional<chequesim::PzrScenario> scenario =
        linesim::LoadScenario<chequesim::PzrScenario>("cheque_sim", scenarioPath);
    if (!scenario) return 2;
    chequesim::PzrSim sim(std::move(*scenario));
    if (!sim.start()) {
        std::fprintf(stderr, "cheque_sim: no pseudo-terminal\n");
        return 2;
    }
    if (!linesim::AnnounceSlave("cheque_sim", sim.slaveName(), driverConfig)) return 2;
    linesim::CatchStopSignals();
    size_t seen = 0;
    size_t shown = 0;
    while (!linesim::StopAsked()) {
        sim.printer().waitBytes(seen + 1, 100);
        const std::string received = sim.printer().received();
        if (received.size() == seen) continue;
        seen = received.size();
        // A command is shown once bytes after it came (the last one may grow).
        const std::vector<chequesim::PzrCommand> commands = chequesim::SplitPzrCommands(received);
        for (; shown + 1 < commands.size(); ++shown) {
            if (quiet) continue;
            const chequesim::PzrCommand& c = commands[shown];
            std::printf("%s (%zu bytes)\n", chequesim::PzrKindName(c.kind), c.bytes.size());
        }
        std::fflush(stdout);
    }
    sim.line().waitDelivered(2000);
    sim.line().stop();
    return 0;
}
