// RUDA terminal simulator: the printer, the terminal's files, the terminal
// information, the key slots and the SRED status, as scenario statements
// and answers (see tools/README.md):
//   printer ok|paper-out|none|jam [sw HEX]
//   file NAME SIZE [content HEX]
//   file-stream refuse
//   file-version NAME VERSION
//   info MODEL [family QT|QX] [app V] [os V] [ctls V [kernels K] | ctls none]
//        [uptime N] [tamper T] [removal R] [id TEXT] [status SW]
//   keyslot N KSN-HEX
//   sred ok|tampered|refused
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cardsim/emv_card.h"

namespace rudasim {

struct RudaInfoPreset {
    std::string model = "TQ202";
    std::string family = "QX";
    std::string app = "01.00.00.00.00.00";
    std::string os = "release-00010203";
    std::string ctls;  // "" none given
    std::string kernels;
    bool ctlsNone = false;
    long uptime = -1;
    std::string tamper, removal;
    std::string id = "RUDASIMTID01";
    uint16_t status = 0x9000;
};

struct RudaServicesScript {
    std::string printer = "ok";
    uint16_t printerSw = 0x6F00;
    std::map<std::string, cardsim::Bytes> files;  // name -> content (its size)
    bool streamRefuse = false;
    RudaInfoPreset info;
    std::vector<std::pair<std::string, std::string>> fileVersions;
    std::vector<std::pair<uint8_t, cardsim::Bytes>> keySlots;
    std::string sred = "ok";
};

// What the terminal printed, showed and kept.
struct RudaServiceRecord {
    cardsim::Bytes printed;            // the text bytes of every print request, in order
    std::vector<std::string> images;   // image names printed
    std::map<std::string, cardsim::Bytes> files;  // files as written
    std::string selected;              // the file selected last
};

// A statement of the services: true when it is one (*error set when it is
// malformed), false when it is not.
bool ParseServiceStatement(RudaServicesScript& s, const std::vector<std::string>& w, std::string* error);

// The answer of a request that the services serve (not the card APDUs of
// NAD 11): true with *answer, false when the request is not theirs. The
// terminal's serial number goes into the information answers.
bool AnswerService(const RudaServicesScript& s, RudaServiceRecord& r, const std::string& serial, uint8_t nad,
                   const cardsim::Bytes& apdu, cardsim::Bytes* answer);

}  // namespace rudasim
