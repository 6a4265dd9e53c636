// line_sim: the far end of a serial line on a pseudo-terminal. Prints the
// slave device to give the program as its "Driver", then plays a scenario,
// or acts as a modem or an X.28 PAD, until the scenario ends or a signal
// comes. See tools/README.md.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "linesim/line_sim.h"
#include "linesim/raw_terminal.h"
#include "tool_help.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char kUsage[] =
    "usage: line_sim (--scenario FILE | --modem [modem options] | --pad [pad options] | --echo |\n"
    "                 --raw-terminal FILE | --raw-echo)\n"
    "                [--data-scenario FILE] [--record FILE] [--driver-config FILE] [--quiet]\n"
    "modem: --no-echo --connect TEXT --dial NUMBER=RESULT --dial-default RESULT --dial-delay MS\n"
    "       --reply-delay MS --drop-after MS\n"
    "pad:   --password TEXT --call ADDRESS=RESULT --call-delay MS --clear-after MS\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 64;
}

bool Pair(const char* text, std::string* key, std::string* value) {
    const char* eq = std::strchr(text, '=');
    if (eq == nullptr) return false;
    *key = std::string(text, static_cast<size_t>(eq - text));
    *value = eq + 1;
    return true;
}

std::unique_ptr<linesim::FrameHandler> Scenario(const std::string& path) {
    std::string error;
    auto steps = linesim::ScenarioFromFile(path, &error);
    if (!steps) {
        std::fprintf(stderr, "line_sim: %s: %s\n", path.c_str(), error.c_str());
        return nullptr;
    }
    return std::make_unique<linesim::ScenarioHandler>(std::move(*steps));
}

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    std::string mode, scenario, dataScenario, record, driverConfig;
    bool quiet = false;
    linesim::ModemOptions modem;
    linesim::PadOptions pad;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        std::string key, value;
        if (a == "--scenario" && (v = next())) { mode = "scenario"; scenario = v; }
        else if (a == "--raw-terminal" && (v = next())) { mode = "raw"; scenario = v; }
        else if (a == "--raw-echo") mode = "raw";
        else if (a == "--modem" || a == "--pad" || a == "--echo") mode = a.substr(2);
        else if (a == "--data-scenario" && (v = next())) dataScenario = v;
        else if (a == "--record" && (v = next())) record = v;
        else if (a == "--driver-config" && (v = next())) driverConfig = v;
        else if (a == "--quiet") quiet = true;
        else if (a == "--no-echo") modem.echo = false;
        else if (a == "--connect" && (v = next())) modem.connectText = v;
        else if (a == "--dial" && (v = next()) && Pair(v, &key, &value)) modem.dialResults[key] = value;
        else if (a == "--dial-default" && (v = next())) modem.defaultDial = v;
        else if (a == "--dial-delay" && (v = next())) modem.dialDelayMs = std::atoi(v);
        else if (a == "--reply-delay" && (v = next())) modem.replyDelayMs = std::atoi(v);
        else if (a == "--drop-after" && (v = next())) modem.dropAfterMs = std::atoi(v);
        else if (a == "--password" && (v = next())) pad.password = v;
        else if (a == "--call" && (v = next()) && Pair(v, &key, &value)) pad.callResults[key] = value;
        else if (a == "--call-delay" && (v = next())) pad.callDelayMs = std::atoi(v);
        else if (a == "--clear-after" && (v = next())) pad.clearAfterMs = std::atoi(v);
        else return Usage();
    }
    if (mode.empty()) return Usage();

    std::unique_ptr<linesim::FrameHandler> data;
    if (!dataScenario.empty() && !(data = Scenario(dataScenario))) return 2;
    std::unique_ptr<linesim::FrameHandler> handler;
    if (mode == "scenario") {
        if (!(handler = Scenario(scenario))) return 2;
    } else if (mode == "modem") {
        handler = std::make_unique<linesim::ModemHandler>(modem, std::move(data));
    } else if (mode == "raw") {
        std::vector<linesim::RawRule> rules;
        if (!scenario.empty()) {
            std::ifstream in(scenario, std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::string error;
            auto parsed = in ? linesim::ParseRawRules(text, &error) : std::nullopt;
            if (!parsed) {
                std::fprintf(stderr, "line_sim: %s: %s\n", scenario.c_str(), in ? error.c_str() : "cannot be read");
                return 2;
            }
            rules = std::move(*parsed);
        }
        handler = std::make_unique<linesim::RawTerminalHandler>(std::move(rules));
    } else if (mode == "pad") {
        handler = std::make_unique<linesim::PadHandler>(pad, std::move(data));
    } else {
        handler = std::make_unique<linesim::EchoHandler>();
    }

    linesim::LineSim sim(std::move(handler));
    if (!sim.start()) {
        std::fprintf(stderr, "line_sim: no pseudo-terminal\n");
        return 2;
    }
    // The driver is written before the slave line is printed: whoever reads
    // that line finds the configuration file already set.
    // Put back as it was when the simulator ends (below).
    linesim::DriverConfigBackup backup;
    if (!driverConfig.empty()) {
        const std::string why = linesim::SetDriver(driverConfig, sim.slaveName(), &backup);
        if (!why.empty()) {
            std::fprintf(stderr, "line_sim: %s\n", why.c_str());
            return 2;
        }
    }
    // The stop signals are caught before the slave is announced: a caller
    // may stop the simulator as soon as it reads that line.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("line_sim slave %s\n", sim.slaveName().c_str());
    std::fflush(stdout);
    size_t shown = 0;
    std::string outcome = "not finished";
    while (!g_stop) {
        outcome = sim.wait(100);
        const std::vector<linesim::Record> records = sim.records();
        if (!quiet && records.size() > shown) {
            const std::vector<linesim::Record> fresh(records.begin() + static_cast<long>(shown), records.end());
            std::fputs(linesim::FormatRecords(fresh).c_str(), stdout);
            std::fflush(stdout);
        }
        shown = records.size();
        if (outcome != "not finished") break;
    }
    sim.waitDelivered(2000);  // the program reads what the scenario sent last
    sim.stop();
    if (const std::string why = linesim::RestoreDriverConfig(backup); !why.empty())
        std::fprintf(stderr, "line_sim: %s\n", why.c_str());
    if (!record.empty()) {
        std::ofstream out(record, std::ios::binary);
        out << linesim::FormatRecords(sim.records());
    }
    if (outcome == "not finished") return 0;  // stopped by a signal
    std::printf("line_sim: %s\n", outcome.empty() ? "scenario played as written" : outcome.c_str());
    return outcome.empty() ? 0 : 2;
}
