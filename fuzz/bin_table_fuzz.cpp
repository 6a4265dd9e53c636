// Fuzz target of the BIN table search and of the track 2 split: the input is
// a BIN table (records of any shape); its first line, cut at 20 characters,
// also serves as card number and as track text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/protected_pan.h"
#include "fuzz_check.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size > 16384) return 0;
    // An exact copy: any read past the records is seen by the sanitizer.
    std::vector<char> records(input, input + size);

    std::string first(records.begin(), records.end());
    first = first.substr(0, first.find_first_of("\r\n"));
    const std::string track = first;
    first.resize(std::min<size_t>(first.size(), 20));
    first = first.c_str();  // up to a zero byte

    for (const char* number : {first.c_str(), "4970101010101018", ""}) {
        BinMatch match{};
        const int result = SearchBinTable(records.data(), records.size(), number, "CB", "TALVO",
                                          &match);
        Check(result == 0 || result == 1, "search result");
        if (result == 1) {
            Check(std::strlen(match.code) <= 2, "code");
            Check(std::strlen(match.name) <= 20, "name");
            Check(match.specificity >= 1 && match.specificity <= 19, "specificity");
        }
    }

    CardTrackFields fields{};
    const int split = SplitTrack2Equivalent(track.c_str(), &fields);
    Check(split == 0 || split == 1, "split result");
    Check(std::strlen(fields.cardNumber) <= 20 && std::strlen(fields.expiryDate) <= 4 &&
              std::strlen(fields.serviceCode) <= 3,
          "field lengths");
    return 0;
}
