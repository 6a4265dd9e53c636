// ruda_sim: a RUDA terminal on a pseudo-terminal. Prints the slave device to
// give the program as its "Driver", then answers the program's blocks as the
// scenario says (card events, scripted answers and faults, the EMV card
// simulator behind the card APDUs) until a signal comes. Each request is
// printed as it is answered. See tools/README.md.
//
//   ruda_sim --scenario FILE [--driver-config FILE] [--quiet]
#include <csignal>
#include <cstdio>
#include <string>

#include "linesim/line_sim.h"
#include "rudasim/ruda_terminal.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
    std::string scenarioPath;
    std::string driverConfig;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--scenario" && i + 1 < argc) scenarioPath = argv[++i];
        else if (arg == "--driver-config" && i + 1 < argc) driverConfig = argv[++i];
        else if (arg == "--quiet") quiet = true;
        else {
            std::fprintf(stderr, "usage: ruda_sim --scenario FILE [--driver-config FILE] [--quiet]\n");
            return 64;
        }
    }
    std::string error;
    std::optional<rudasim::RudaScenario> scenario =
        scenarioPath.empty() ? rudasim::RudaScenario::Parse("", "", &error)
                             : rudasim::RudaScenario::FromFile(scenarioPath, &error);
    if (!scenario) {
        std::fprintf(stderr, "ruda_sim: %s\n", error.c_str());
        return 2;
    }
    rudasim::RudaSim sim(std::move(*scenario));
    if (!sim.start()) {
        std::fprintf(stderr, "ruda_sim: no pseudo-terminal\n");
        return 2;
    }
    if (!driverConfig.empty()) {
        const std::string why = linesim::SetDriver(driverConfig, sim.slaveName());
        if (!why.empty()) {
            std::fprintf(stderr, "ruda_sim: %s\n", why.c_str());
            return 2;
        }
    }
    std::printf("ruda_sim slave %s\n", sim.slaveName().c_str());
    std::fflush(stdout);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    size_t shown = 0;
    while (!g_stop) {
        sim.waitExchanges(shown + 1, 100);
        const std::vector<rudasim::Exchange> all = sim.exchanges();
        for (; shown < all.size(); ++shown) {
            if (quiet) continue;
            const rudasim::Exchange& e = all[shown];
            std::printf("NAD %02X PCB %02X blocks %zu%s%s  %s -> %s\n", e.nad, e.pcb, e.blocks.size(),
                        e.lrcOk ? "" : " (bad LRC)", e.ciphered ? " (ciphered)" : "", cardsim::ToHex(e.apdu).c_str(),
                        cardsim::ToHex(e.answer).c_str());
        }
        std::fflush(stdout);
    }
    sim.line().waitDelivered(2000);
    sim.line().stop();
    return 0;
}
