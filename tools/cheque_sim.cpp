// cheque_sim: a cheque device of the small terminal protocols on a
// pseudo-terminal. Prints the slave device to give the program as its
// "Driver", then serves the program's commands as the scenario says until a
// signal comes, printing each command it gets. See tools/README.md.
//
//   cheque_sim --protocol 5|6|7|8 [--scenario FILE] [--driver-config FILE] [--quiet]
//
// Protocol 5: the printer with a cheque station (chequesim/pzr_printer.h);
// 6, 7, 8: the cheque readers on the simple-frame link
// (chequesim/cheque_reader.h).
#include <cstdio>
#include <string>

#include "tool_help.h"

#include "chequesim/cheque_reader.h"
#include "chequesim/pzr_printer.h"
#include "linesim/line_sim.h"

namespace {

const char* kUsage = "usage: cheque_sim --protocol 5|6|7|8 [--scenario FILE] [--driver-config FILE] [--quiet]\n";

// A cheque reader of protocol 6, 7 or 8 until a signal comes, printing each
// request (its kind and size, never a line) and whether it was answered.
int RunReader(int protocol, const std::string& scenarioPath, const std::string& driverConfig, bool quiet) {
    std::optional<chequesim::ChequeScenario> scenario =
        linesim::LoadScenario<chequesim::ChequeScenario>("cheque_sim", scenarioPath);
    if (!scenario) return 2;
    chequesim::ChequeReaderSim sim(protocol, std::move(*scenario));
    if (!sim.start()) {
        std::fprintf(stderr, "cheque_sim: no pseudo-terminal\n");
        return 2;
    }
    // Stop signals are caught before the slave is announced: a caller may
    // stop the simulator as soon as it reads that line.
    linesim::CatchStopSignals();
    if (!linesim::AnnounceSlave("cheque_sim", sim.slaveName(), driverConfig)) return 2;
    size_t shown = 0;
    while (!linesim::StopAsked()) {
        sim.reader().waitRequests(shown + 1, 100);
        const std::vector<chequesim::ChequeRequest> requests = sim.reader().requests();
        for (; shown < requests.size(); ++shown) {
            if (quiet) continue;
            const chequesim::ChequeRequest& r = requests[shown];
            std::printf("%s (%zu bytes)%s\n", chequesim::ChequeKindName(r.kind), r.message.size(),
                        r.answer.empty() ? ", no answer" : ", answered");
        }
        std::fflush(stdout);
    }
    sim.line().waitDelivered(2000);
    sim.line().stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
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
    if (protocol == "6" || protocol == "7" || protocol == "8")
        return RunReader(protocol[0] - '0', scenarioPath, driverConfig, quiet);
    if (protocol != "5") {
        std::fprintf(stderr, "cheque_sim: protocol %s is not simulated (5 to 8 are)\n%s", protocol.c_str(), kUsage);
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
    // Stop signals are caught before the slave is announced: a caller may
    // stop the simulator as soon as it reads that line.
    linesim::CatchStopSignals();
    if (!linesim::AnnounceSlave("cheque_sim", sim.slaveName(), driverConfig)) return 2;
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
