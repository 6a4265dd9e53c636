// Fuzz target of the XSAP address parser ("XSAP/<status>/<state>/"), which
// reads the 'S' rubrique of every interface message from a remote party.
//
// Input: the address text (cut at 100 characters and NUL-ended, as the
// engine copies it into a resource).
//
// Whatever comes in: an accepted address gives a status of exactly eight
// hexadecimal digits and its NUL; a refused one changes neither the status
// nor the message state; the result is 1, -1 or -3.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_check.h"
#include "periph/interface_box.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KT_PIRES r{};
    const size_t n = size < SAP_XSAP_SIZE - 1 ? size : SAP_XSAP_SIZE - 1;
    std::memcpy(r.xsap, data, n);
    std::memcpy(r.status, "previous", 9);
    r.MesStat = -77;
    const int result = TWIP_ParseXSAP(&r);
    Check(result == 1 || result == -1 || result == -3, "unexpected parser result");
    if (result == 1) {
        for (int i = 0; i < 8; ++i) Check(std::isxdigit(static_cast<unsigned char>(r.status[i])) != 0, "not hex");
        Check(r.status[8] == '\0', "status without its NUL");
        // What was accepted formats back to an address that parses the same.
        KT_PIRES again = r;
        again.MesStat = r.MesStat < 0 ? 0 : r.MesStat % 1000;
        Check(TWIP_FormatXSAP(&again) > 0, "no address formatted");
        const int state = again.MesStat;
        Check(TWIP_ParseXSAP(&again) == 1 && again.MesStat == state, "a formatted address does not parse back");
    } else {
        Check(std::memcmp(r.status, "previous", 9) == 0 && r.MesStat == -77, "a refused address changed the resource");
    }
    return 0;
}
