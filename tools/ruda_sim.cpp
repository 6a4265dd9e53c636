// ruda_sim: a RUDA terminal on a pseudo-terminal. Prints the slave device to
// give the program as its "Driver", then answers the program's blocks as the
// scenario says (card events, scripted answers and faults, the EMV card
// simulator behind the card APDUs) until a signal comes. Each request is
// printed as it is answered. With --connect the terminal connects instead to
// the program waiting for it in server mode, over TCP or TLS, and answers
// the same blocks on the socket until the program closes it or a signal
// comes. See tools/README.md.
//
//   ruda_sim --scenario FILE [--driver-config FILE] [--quiet]
//   ruda_sim --scenario FILE --connect HOST:PORT [--tls] [--tls-ca FILE]
//            [--tls-name NAME] [--tls-cert FILE --tls-key FILE] [--quiet]
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "linesim/line_sim.h"
#include "rudasim/ruda_net.h"
#include "rudasim/ruda_terminal.h"
#include "tool_help.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// Prints each request as it is answered until a signal comes or running()
// turns false.
void ShowExchanges(const std::function<bool(size_t)>& wait, const std::function<std::vector<rudasim::Exchange>()>& all,
                   const std::function<bool()>& running, bool quiet) {
    size_t shown = 0;
    while (!g_stop && running()) {
        wait(shown + 1);
        const std::vector<rudasim::Exchange> got = all();
        for (; shown < got.size(); ++shown) {
            if (quiet) continue;
            const rudasim::Exchange& e = got[shown];
            std::printf("NAD %02X PCB %02X blocks %zu%s%s  %s -> %s\n", e.nad, e.pcb, e.blocks.size(),
                        e.lrcOk ? "" : " (bad LRC)", e.ciphered ? " (ciphered)" : "", cardsim::ToHex(e.apdu).c_str(),
                        cardsim::ToHex(e.answer).c_str());
            // A text shown on the screen, as the holder reads it.
            const cardsim::Bytes& a = e.apdu;
            if (a.size() > 5 && a[0] == 0xD2 && a[1] == 0x01 && a[2] == 0x00 && a[3] == 0x01)
                std::printf("SCREEN \"%.*s\"\n", static_cast<int>(a.size() - 5), reinterpret_cast<const char*>(a.data() + 5));
        }
        std::fflush(stdout);
    }
}

const char* kUsage =
    "usage: ruda_sim --scenario FILE [--driver-config FILE] [--quiet]\n"
    "       ruda_sim --scenario FILE --connect HOST:PORT [--tls] [--tls-ca FILE] [--tls-name NAME]\n"
    "                [--tls-cert FILE --tls-key FILE] [--quiet]\n";

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    std::string scenarioPath;
    std::string driverConfig;
    std::string connect;
    rudasim::RudaNetOptions net;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--scenario" && hasValue) scenarioPath = argv[++i];
        else if (arg == "--driver-config" && hasValue) driverConfig = argv[++i];
        else if (arg == "--connect" && hasValue) connect = argv[++i];
        else if (arg == "--tls") net.tls = true;
        else if (arg == "--tls-ca" && hasValue) net.caFile = argv[++i], net.tls = true;
        else if (arg == "--tls-name" && hasValue) net.serverName = argv[++i], net.tls = true;
        else if (arg == "--tls-cert" && hasValue) net.certificate = argv[++i], net.tls = true;
        else if (arg == "--tls-key" && hasValue) net.key = argv[++i], net.tls = true;
        else if (arg == "--quiet") quiet = true;
        else {
            std::fprintf(stderr, "%s", kUsage);
            return 64;
        }
    }
    const bool badTls = net.tls && (connect.empty() || net.certificate.empty() != net.key.empty());
    if (badTls || (!connect.empty() && !driverConfig.empty()) ||
        (!connect.empty() && !rudasim::ParseHostPort(connect, &net.host, &net.port))) {
        std::fprintf(stderr, "%s", kUsage);
        return 64;
    }
    std::string error;
    std::optional<rudasim::RudaScenario> scenario =
        scenarioPath.empty() ? rudasim::RudaScenario::Parse("", "", &error)
                             : rudasim::RudaScenario::FromFile(scenarioPath, &error);
    if (!scenario) {
        std::fprintf(stderr, "ruda_sim: %s\n", error.c_str());
        return 2;
    }
    if (!connect.empty()) {
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        rudasim::RudaNetSim sim(std::move(*scenario));
        if (!sim.connect(net, &error)) {
            std::fprintf(stderr, "ruda_sim: %s\n", error.c_str());
            return 2;
        }
        std::printf("ruda_sim connected to %s:%u%s%s\n", net.host.c_str(), net.port, net.tls ? " over " : "",
                    sim.tlsVersion().c_str());
        std::fflush(stdout);
        ShowExchanges([&](size_t n) { return sim.waitExchanges(n, 100); }, [&] { return sim.exchanges(); },
                      [&] { return sim.connected(); }, quiet);
        const bool closedByProgram = !sim.connected();
        sim.stop();
        if (closedByProgram) std::printf("ruda_sim link closed by the program\n");
        return 0;
    }
    rudasim::RudaSim sim(std::move(*scenario));
    if (!sim.start()) {
        std::fprintf(stderr, "ruda_sim: no pseudo-terminal\n");
        return 2;
    }
    // The till's configuration is put back as it was when the simulator
    // ends (a signal or the end of its line): it never stays pointing at a
    // pseudo-terminal that is gone.
    linesim::DriverConfigBackup backup;
    if (!driverConfig.empty()) {
        const std::string why = linesim::SetDriver(driverConfig, sim.slaveName(), &backup);
        if (!why.empty()) {
            std::fprintf(stderr, "ruda_sim: %s\n", why.c_str());
            return 2;
        }
    }
    // The stop signals are caught before the slave is announced: a caller
    // may stop the simulator as soon as it reads that line.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("ruda_sim slave %s\n", sim.slaveName().c_str());
    std::fflush(stdout);
    ShowExchanges([&](size_t n) { return sim.waitExchanges(n, 100); }, [&] { return sim.exchanges(); },
                  [] { return true; }, quiet);
    sim.line().waitDelivered(2000);
    sim.line().stop();
    if (const std::string why = linesim::RestoreDriverConfig(backup); !why.empty()) {
        std::fprintf(stderr, "ruda_sim: %s\n", why.c_str());
        return 2;
    }
    return 0;
}
