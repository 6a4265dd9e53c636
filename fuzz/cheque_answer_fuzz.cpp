// Fuzz target of the cheque-reader answers of protocols 6, 7 and 8: the
// first byte chooses the protocol, the kind of the last request (read,
// print, give back, or none after a reset) and its options; the rest is
// decoded as the reader's answer. Whatever comes, eventData stays
// terminated within its 100 characters and eventLength says its length
// when the answer was taken, and the busy word is 0, 1 (an answer protocol
// 7 does not take) or 16 (protocol 8's busy reader).
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "protocols/cheque/cheque_modules.h"

namespace {

using BuildFn = const unsigned char* (*)(CardReadRecord*, int*);
using DealFn = int (*)(const unsigned char*, int, CardReadRecord*);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 1 || size > 20000) return 0;
    const uint8_t flags = input[0];
    const BuildFn builds[3] = {D5500_BuildRequest, M4400_BuildRequest, OLVAR_BuildRequest};
    const DealFn deals[3] = {D5500_DealAnswer, M4400_DealAnswer, OLVAR_DealAnswer};
    int (*resets[3])() = {D5500_ResetCommand, M4400_ResetCommand, OLVAR_ResetCommand};
    const int protocol = (flags & 3) % 3;
    const uint8_t options[4] = {0x10, 0x20, 0x40, 0x30};

    // The request whose answer comes, or none after a reset.
    CardReadRecord request{};
    request.chequeRequested = 1;
    request.chequeOptions = static_cast<uint8_t>(options[(flags >> 2) & 3] | ((flags >> 4) & 1));
    std::strcpy(request.eventData, "PAYEZ*12,00*");
    int length = 0;
    Check(builds[protocol](&request, &length) != nullptr, "request not built");
    Check(length >= 0 && length <= CHQ_REQUEST_AREA, "request beyond its area");
    if ((flags & 0x20) != 0) resets[protocol]();

    CardReadRecord r{};
    std::memset(r.eventData, 'z', sizeof r.eventData);
    r.eventLength = -7;
    std::vector<unsigned char> payload(input + 1, input + size);  // exact size
    const int busy = deals[protocol](payload.data(), static_cast<int>(payload.size()), &r);
    Check(busy == r.busy, "result is not the busy word");
    Check(busy == 0 || (protocol == 1 && busy == 1) || (protocol == 2 && busy == OLVAR_BUSY), "busy word");
    if (busy == 0 && r.eventLength != -7) {
        const size_t text = strnlen(r.eventData, sizeof r.eventData);
        Check(text <= static_cast<size_t>(kCardEventDataMax), "eventData not terminated");
        Check(r.eventLength == static_cast<int32_t>(text), "eventLength");
    }
    return 0;
}
