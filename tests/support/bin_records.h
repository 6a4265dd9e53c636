// BIN table records as the lookup reads them: "[", low and high bounds of
// 19 characters, selector, result code, then either "]" at position 43 or
// kind, replacement digits, application name and "]" at position 74; CR LF.
#pragma once
#include <string>

namespace testsupport {

inline std::string BinField(const std::string& text, size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

// Short form without a kind, long form with one.
inline std::string BinRecord(const std::string& low, const std::string& high,
                             const std::string& selector, const std::string& code,
                             const char* kind = nullptr, const std::string& digits = "",
                             const std::string& name = "") {
    std::string r = "[" + BinField(low, 19) + BinField(high, 19) + BinField(selector, 2) +
                    BinField(code, 2);
    if (kind != nullptr) r += BinField(kind, 5) + BinField(digits, 6) + BinField(name, 20);
    return r + "]\r\n";
}

}  // namespace testsupport
