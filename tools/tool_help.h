// "--help" of every tool: the usage text on standard output and exit code 0
// (a wrong command line still gets it on standard error).
#pragma once
#include <cstdio>
#include <cstring>

namespace tools {

// True when an argument is "--help"; the usage is then printed on standard
// output.
inline bool HelpAsked(int argc, char** argv, const char* usage) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return true;
        }
    }
    return false;
}

}  // namespace tools
