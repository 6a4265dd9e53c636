// A till run end to end against payment servers: a private copy of trv_71
// started on a copy of the example tree whose "net" file holds the lines the
// test gives, with the cash-register peer on its POS link; and the acquirer
// simulator started with a scenario, in clear or over TLS.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "netsim/acquirer.h"
#include "netsim/net_frame.h"
#include "netsim/tcp_link.h"
#include "support/config_tree.h"
#include "support/net_config.h"
#include "support/pos_peer.h"
#include "support/station_lock.h"
#include "support/trv_process.h"

namespace testsupport {

struct ServerTill {
    ConfigTree dir;
    int station = UniqueStation();
    TrvProcess trv{dir, "trv_71_srv_" + std::to_string(station)};
    PosPeer peer;

    explicit ServerTill(const std::vector<std::string>& netLines) {
        EXPECT_TRUE(WriteNetFile(dir.str(), netLines));
        // The station number names its communication context too (-r):
        // tills side by side never wait for each other's terminal port.
        trv.Start({"-i" + std::to_string(station), "-r" + std::to_string(station), "-p" + dir.str()});
        EXPECT_TRUE(peer.Open(station));
    }
    // The close request ends the program normally (a sanitizer's finding
    // would end it otherwise).
    ~ServerTill() {
        if (ended) return;
        peer.Send("{SS}R{PS}1{SV}s3{CD}c99{F}", 2000);
        EXPECT_EQ(trv.Wait(10000), 0) << Trace();
    }
    // Set by a test that saw the program end.
    bool ended = false;
    // The program's trace (its standard error: the tree has no "WOut").
    std::string Trace() const { return trv.Err(); }
};

// The simulator playing the scenario, over TLS when tls is given; started on
// an ephemeral port.
inline std::unique_ptr<netsim::AcquirerSim> StartAcquirer(const std::string& scenario,
                                                          const netsim::TlsSettings* tls = nullptr) {
    std::string error;
    auto parsed = netsim::AcquirerScenario::Parse(scenario, &error);
    EXPECT_TRUE(parsed) << error;
    auto sim = std::make_unique<netsim::AcquirerSim>(parsed.value_or(netsim::AcquirerScenario{}));
    if (tls != nullptr) {
        EXPECT_TRUE(sim->setTls(*tls, &error)) << error;
    }
    EXPECT_TRUE(sim->start());
    return sim;
}

// The tag message of a request the simulator read.
inline std::string RequestTags(const netsim::NetMessage& m) {
    return netsim::DecodeFieldBody(m.M).value_or("<not a body>");
}

}  // namespace testsupport
