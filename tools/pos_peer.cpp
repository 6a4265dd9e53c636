// Cash-register test peer: maps the POS link block of a station like the
// client library, writes one request byte by byte, waits for the
// acknowledgement and, when it is "0", for the final answer; prints each
// message on its own line.
//
//   pos_peer <station> <request> [timeout ms]
// Exit code 0 when every expected message came, 2 on a time-out, 1 on misuse.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/pos_peer.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <station> <request> [timeout ms]\n", argv[0]);
        return 1;
    }
    const int station = std::atoi(argv[1]);
    const int64_t timeout = argc > 3 ? std::atoll(argv[3]) : 10000;
    testsupport::PosPeer peer;
    if (!peer.Open(station)) {
        std::fprintf(stderr, "cannot map the POS link block of station %d\n", station);
        return 1;
    }
    if (!peer.Send(argv[2], timeout)) {
        std::fprintf(stderr, "the program did not take the previous request\n");
        return 2;
    }
    auto ack = peer.Receive(timeout);
    if (!ack) return 2;
    std::printf("%s\n", ack->c_str());
    if (*ack == "0") {
        auto answer = peer.Receive(timeout);
        if (!answer) return 2;
        std::printf("%s\n", answer->c_str());
    }
    return 0;
}
