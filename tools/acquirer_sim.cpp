// Acquirer (payment-server) simulator for message-box links, by hand:
//
//   acquirer_sim [--port N] [--scenario FILE] [--answer TYPE] [--exit-after N] [--quiet]
//                [--tls-cert FILE --tls-key FILE [--tls-ca FILE] [--tls-verify-client] [--tls-no-resume]]
//
// Listens on 127.0.0.1 (port 0 or none: an ephemeral one), prints
// "acquirer_sim listening on 127.0.0.1:<port>", then answers every request
// as the scenario file says (see tools/README.md); --answer sets the type of
// the answers once the scenario's lines are used up. Each link, request and
// answer is printed unless --quiet. With --tls-cert every link runs TLS
// with that certificate and key (PEM); --tls-ca names the CAs of client
// certificates, --tls-verify-client refuses a client without one, and
// --tls-no-resume refuses to resume sessions. Ends on SIGINT or SIGTERM, or
// once --exit-after requests were read. Exit code 0, 1 on misuse.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "netsim/acquirer.h"
#include "tool_help.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

const char kUsage[] =
    "usage: acquirer_sim [--port N] [--scenario FILE] [--answer TYPE] [--exit-after N] [--quiet]\n"
    "          [--tls-cert FILE --tls-key FILE [--tls-ca FILE] [--tls-verify-client] [--tls-no-resume]]\n"
    "The payment-server side of message boxes on 127.0.0.1 (tools/README.md: the scenario lines).\n";

int Usage(const char*) {
    std::fputs(kUsage, stderr);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    long port = 0;
    long exitAfter = 0;
    std::string scenarioFile;
    std::string answerType;
    bool quiet = false;
    netsim::TlsSettings tls;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--port" && hasValue) {
            port = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--scenario" && hasValue) {
            scenarioFile = argv[++i];
        } else if (a == "--answer" && hasValue) {
            answerType = argv[++i];
        } else if (a == "--exit-after" && hasValue) {
            exitAfter = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--tls-cert" && hasValue) {
            tls.certificate = argv[++i];
        } else if (a == "--tls-key" && hasValue) {
            tls.key = argv[++i];
        } else if (a == "--tls-ca" && hasValue) {
            tls.caFile = argv[++i];
        } else if (a == "--tls-verify-client") {
            tls.requireClientCertificate = true;
        } else if (a == "--tls-no-resume") {
            tls.resumption = false;
        } else {
            return Usage(argv[0]);
        }
    }
    if (port < 0 || port > 65535) return Usage(argv[0]);
    netsim::AcquirerScenario scenario;
    if (!scenarioFile.empty()) {
        std::string error;
        auto parsed = netsim::AcquirerScenario::FromFile(scenarioFile, &error);
        if (!parsed) {
            std::fprintf(stderr, "%s: %s\n", scenarioFile.c_str(), error.c_str());
            return 1;
        }
        scenario = *parsed;
    }
    if (!answerType.empty()) scenario.fallback.type = answerType;

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    netsim::AcquirerSim sim(scenario);
    const bool wantsTls = !tls.certificate.empty() || !tls.key.empty() || !tls.caFile.empty() ||
                          tls.requireClientCertificate || !tls.resumption;
    if (wantsTls) {
        std::string error;
        if (!sim.setTls(tls, &error)) {
            std::fprintf(stderr, "TLS: %s\n", error.c_str());
            return 1;
        }
    }
    if (!quiet) sim.setLogger([](const std::string& line) { std::printf("%s\n", line.c_str()), std::fflush(stdout); });
    if (!sim.start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "cannot listen on port %ld\n", port);
        return 1;
    }
    std::printf("acquirer_sim listening on 127.0.0.1:%u%s\n", sim.port(), wantsTls ? " (TLS)" : "");
    std::fflush(stdout);
    while (!g_stop) {
        if (exitAfter > 0 && sim.waitForRequests(static_cast<size_t>(exitAfter), 100)) break;
        if (exitAfter <= 0) sim.waitForRequests(SIZE_MAX, 100);
    }
    sim.stop();
    return 0;
}
