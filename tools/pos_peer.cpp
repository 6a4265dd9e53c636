// Cash-register test peer: maps the POS link block of a station like the
// client library, writes one request byte by byte, waits for the
// acknowledgement and, when it is "0", for the final answer; prints each
// message on its own line.
//
//   pos_peer [--wakes] [--repeat N] <station> <request> [timeout ms]
//
// --wakes plays a cash register that wakes the program after each change of
// a mailbox and sleeps on the link's wake words (as the client library does);
// without it the program has to poll the peer. --repeat sends the request N
// times (the messages of the last exchange are printed, and the median time
// of an exchange).
// Exit code 0 when every expected message came, 2 on a time-out, 1 on misuse.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/pos_peer.h"
#include "tool_help.h"

namespace {
const char kUsage[] =
    "usage: pos_peer [--wakes] [--repeat N] <station> <request> [timeout ms]\n"
    "Plays the library side of a station's POS link: sends the request, prints what the program writes.\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    bool wakes = false;
    long repeat = 1;
    int first = 1;
    for (; first < argc && argv[first][0] == '-' && argv[first][1] == '-'; ++first) {
        if (std::strcmp(argv[first], "--wakes") == 0) {
            wakes = true;
        } else if (std::strcmp(argv[first], "--repeat") == 0 && first + 1 < argc) {
            repeat = std::atol(argv[++first]);
        } else {
            break;
        }
    }
    if (argc - first < 2 || repeat < 1) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const int station = std::atoi(argv[first]);
    const char* request = argv[first + 1];
    const int64_t timeout = argc > first + 2 ? std::atoll(argv[first + 2]) : 10000;
    testsupport::PosPeer peer;
    if (!peer.Open(station, wakes)) {
        std::fprintf(stderr, "cannot map the POS link block of station %d\n", station);
        return 1;
    }
    std::vector<std::string> last;
    std::vector<double> micros;
    for (long i = 0; i < repeat; ++i) {
        last.clear();
        const auto t0 = std::chrono::steady_clock::now();
        if (!peer.Send(request, timeout)) {
            std::fprintf(stderr, "the program did not take the previous request\n");
            return 2;
        }
        auto ack = peer.Receive(timeout);
        if (!ack) return 2;
        last.push_back(*ack);
        if (*ack == "0") {
            auto answer = peer.Receive(timeout);
            if (!answer) return 2;
            last.push_back(*answer);
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    for (const std::string& m : last) std::printf("%s\n", m.c_str());
    if (repeat > 1) {
        std::sort(micros.begin(), micros.end());
        std::printf("median %.1f us over %ld exchanges\n", micros[micros.size() / 2], repeat);
    }
    return 0;
}
