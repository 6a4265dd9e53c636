// Decodes Base64 with the system's own "base64 -d" command: an oracle
// independent of the program's encoder.
#pragma once
#include <stdlib.h>

#include <cstdio>
#include <string>

namespace testsupport {

inline std::string Base64DecodeWithCommand(const std::string& text) {
    char name[] = "/tmp/znp-b64-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return "<no file>";
    FILE* f = fdopen(fd, "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    std::string out;
    if (FILE* p = popen(("base64 -d " + std::string(name)).c_str(), "r")) {
        char buffer[512];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    std::remove(name);
    return out;
}

}  // namespace testsupport
