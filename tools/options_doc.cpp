// options_doc: prints docs/options.md, the reference of the options files,
// made from the program's own table of options.
//   build/bin/options_doc > docs/options.md
#include <cstdio>
#include <string>

#include "station/option_reference.h"
#include "tool_help.h"

namespace {
const char kUsage[] =
    "usage: options_doc > docs/options.md\n"
    "Prints the reference of the options files (WPAF znpop and param) made from the program's table.\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    if (argc != 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string text = OptionReferenceMarkdown();
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? 0 : 1;
}
