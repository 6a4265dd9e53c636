// EMV chip card simulator by hand: reads command APDUs in hexadecimal, one per
// line, on standard input and prints each response APDU in hexadecimal.
//
//   card_sim --scenario FILE [--record DIR]
//
// With --record, every response is also written to DIR/NNN_<INS> as raw bytes
// (seeds for the fuzz targets of the answer decoders).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "cardsim/emv_card.h"
#include "tool_help.h"

namespace {
const char kUsage[] =
    "usage: card_sim --scenario FILE [--record DIR]\n"
    "Reads command APDUs in hexadecimal on standard input, prints each response APDU.\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    std::string scenarioPath;
    std::string recordDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--scenario" && i + 1 < argc) {
            scenarioPath = argv[++i];
        } else if (arg == "--record" && i + 1 < argc) {
            recordDir = argv[++i];
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    std::string text;
    if (!scenarioPath.empty()) {
        std::ifstream in(scenarioPath);
        if (!in) {
            std::fprintf(stderr, "card_sim: cannot read %s\n", scenarioPath.c_str());
            return 2;
        }
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    std::string error;
    auto scenario = cardsim::CardScenario::Parse(text, &error);
    if (!scenario) {
        std::fprintf(stderr, "card_sim: %s\n", error.c_str());
        return 2;
    }
    cardsim::EmvCard card(*scenario);
    std::string line;
    int count = 0;
    while (std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos || line[0] == '#') continue;
        auto apdu = cardsim::ParseHex(line);
        if (!apdu) {
            std::printf("? not hexadecimal\n");
            continue;
        }
        const cardsim::Bytes answer = card.respond(*apdu);
        std::printf("%s\n", cardsim::ToHex(answer).c_str());
        std::fflush(stdout);
        if (!recordDir.empty() && apdu->size() >= 2) {
            char name[64];
            std::snprintf(name, sizeof name, "/%03d_%02X", ++count, (*apdu)[1]);
            std::ofstream out(recordDir + name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(answer.data()), static_cast<std::streamsize>(answer.size()));
        }
    }
    return 0;
}
