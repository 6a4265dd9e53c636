// doran_sim: a DORAN terminal on a pseudo-terminal. Prints the slave device
// to give the program as its "Driver", then answers the program's XA
// dialogues as the scenario says (echoes, scripted events and answers,
// faults, the "1030" factory answer) until a signal comes. Each dialogue is
// printed as it ends. With --record, every piece of the line (what the
// program wrote, what the terminal sent) is written to a file of its own in
// DIR at the end: seeds for the fuzz targets. See tools/README.md.
//
//   doran_sim --scenario FILE [--driver-config FILE] [--quiet] [--record DIR]
#include <csignal>
#include <cstdio>
#include <string>

#include "tool_help.h"

#include "doransim/doran_terminal.h"
#include "linesim/line_sim.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char* kUsage = "usage: doran_sim --scenario FILE [--driver-config FILE] [--quiet] [--record DIR]\n";

void Record(linesim::LineSim& line, const std::string& dir) {
    int n = 0;
    for (const linesim::Record& r : line.records()) {
        if (r.direction == 'h') continue;
        char name[64];
        std::snprintf(name, sizeof name, "/%03d-%s.bin", n++, r.direction == 'i' ? "program" : "terminal");
        FILE* f = std::fopen((dir + name).c_str(), "wb");
        if (f == nullptr) {
            std::fprintf(stderr, "doran_sim: cannot write %s%s\n", dir.c_str(), name);
            return;
        }
        std::fwrite(r.bytes.data(), 1, r.bytes.size(), f);
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    std::string scenarioPath;
    std::string driverConfig;
    std::string recordDir;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--scenario" && hasValue) scenarioPath = argv[++i];
        else if (arg == "--driver-config" && hasValue) driverConfig = argv[++i];
        else if (arg == "--record" && hasValue) recordDir = argv[++i];
        else if (arg == "--quiet") quiet = true;
        else {
            std::fprintf(stderr, "%s", kUsage);
            return 64;
        }
    }
    std::string error;
    std::optional<doransim::Scenario> scenario = scenarioPath.empty()
                                                     ? doransim::Scenario::Parse("", &error)
                                                     : doransim::Scenario::FromFile(scenarioPath, &error);
    if (!scenario) {
        std::fprintf(stderr, "doran_sim: %s\n", error.c_str());
        return 2;
    }
    doransim::DoranSim sim(std::move(*scenario));
    if (!sim.start()) {
        std::fprintf(stderr, "doran_sim: no pseudo-terminal\n");
        return 2;
    }
    if (!driverConfig.empty()) {
        const std::string why = linesim::SetDriver(driverConfig, sim.slaveName());
        if (!why.empty()) {
            std::fprintf(stderr, "doran_sim: %s\n", why.c_str());
            return 2;
        }
    }
    // The stop signals are caught before the slave is announced: a caller
    // may stop the simulator as soon as it reads that line.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("doran_sim slave %s\n", sim.slaveName().c_str());
    std::fflush(stdout);
    size_t shown = 0;
    while (!g_stop) {
        sim.waitDialogues(shown + 1, 100);
        const auto dialogues = sim.dialogues();
        for (; shown < dialogues.size(); ++shown) {
            if (quiet) continue;
            const doransim::Dialogue& d = dialogues[shown];
            std::printf("%c direction %d exchange %d application %s key %d: ENQ %d, data %d, NAK %d%s%s\n", d.kind,
                        d.direction, d.exchange, d.application.c_str(), d.keyIndex, d.enqs, d.dataFrames, d.naks,
                        d.problem.empty() ? "" : " -- ", d.problem.c_str());
        }
        std::fflush(stdout);
    }
    sim.line().waitDelivered(2000);
    sim.line().stop();
    if (!recordDir.empty()) Record(sim.line(), recordDir);
    return 0;
}
