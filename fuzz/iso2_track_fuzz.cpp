// Fuzz target of the ISO 2 track check: any bytes as the card-read record's
// track (with any announced length) and any option levels. Whatever the
// bytes, the check answers 0 or 1, the card-number fields stay terminated
// within their sizes with lengths that match, and an accepted track of a
// card that is not private has a separator, a four-character expiry and,
// for a stripe read, a three-character service code.
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "fuzz_session.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "transactions/card_checks.h"

namespace {

bool Terminated(const char* field, size_t size) { return std::memchr(field, 0, size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    static EFTCBox* context = OpenFuzzSession("/tmp/znp-fuzz-iso2-XXXXXX");
    (void)context;
    if (size < 3) return 0;
    TransactionRecord* r = GetTransactionRecord();
    CardReadRecord& card = r->cardReadRecord;
    std::memset(&card, 0, sizeof card);
    Options.Iso2ControlLevel = static_cast<int8_t>(input[0] & 3);
    Options.ISO2ControlBypass = input[0] & 4 ? 1 : 0;
    card.technology = input[0] & 8 ? 0 : 2;
    card.eventLength = static_cast<int8_t>(input[1]);  // negative and over-long lengths too
    const size_t n = size - 2 < sizeof card.eventData ? size - 2 : sizeof card.eventData;
    std::memcpy(card.eventData, input + 2, n);  // possibly without a terminator
    const int result = CheckIso2Track();
    Check(result == 0 || result == 1, "unexpected result");
    Check(Terminated(card.eventData, sizeof card.eventData), "track not terminated");
    Check(Terminated(r->cardNumber, sizeof r->cardNumber), "card number not terminated");
    Check(Terminated(r->expiryDate, sizeof r->expiryDate), "expiry not terminated");
    Check(Terminated(r->serviceCode, sizeof r->serviceCode), "service code not terminated");
    Check(Terminated(r->trackRest, sizeof r->trackRest), "discretionary data not terminated");
    Check(r->cardNumberLength >= 0 && r->cardNumberLength <= 20, "card number length out of range");
    Check(static_cast<size_t>(r->cardNumberLength) == std::strlen(r->cardNumber) || result == 0,
          "card number length differs");
    if (result == 1 && Options.ISO2ControlBypass == 0) {
        Check(r->expiryDateLength == 4, "accepted without a four-character expiry");
        Check(card.technology == 0 || r->serviceCodeLength == 3, "accepted stripe without a service code");
    }
    return 0;
}
