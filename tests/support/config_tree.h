// The example configuration tree (example/ of the source tree) copied into a
// test directory, so that a session can open on real configuration files
// that the test may change.
#pragma once
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "support/temp_dir.h"

namespace testsupport {

// The whole content of a file, empty when it cannot be read.
inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string ExampleTreePath() {
#ifdef ZNP_SOURCE_DIR
    return std::string(ZNP_SOURCE_DIR) + "/example";
#else
    return "example";
#endif
}

// Copies WCFG, WPAF, WTXT, WCERT ... into dir; true when done. The copy's
// terminal line is a device that does not exist (the example's COM1 may be
// a real serial port of the machine): a test that wants a terminal puts a
// simulator's line there.
inline bool CopyExampleTree(const std::string& dir) {
    std::error_code ec;
    std::filesystem::copy(ExampleTreePath(), dir,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing,
                          ec);
    if (ec) return false;
    std::filesystem::copy_file(ExampleTreePath() + "/../tests/support/data/pinpad.cfg", dir + "/WCFG/pinpad.cfg",
                               std::filesystem::copy_options::overwrite_existing, ec);
    return !ec;
}

// A temporary directory holding a copy of the example tree.
class ConfigTree : public TempDir {
public:
    ConfigTree() { copied_ = CopyExampleTree(str()); }
    bool ok() const { return copied_; }

private:
    bool copied_ = false;
};

}  // namespace testsupport
