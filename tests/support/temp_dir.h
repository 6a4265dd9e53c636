// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes out of scope.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/znp-test-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Path of a program built into the build tree's bin directory.
inline std::string BinPath(const std::string& program) {
    const char* dir = std::getenv("ZNP_BIN_DIR");
#ifdef ZNP_BIN_DIR
    if (!dir || !*dir) dir = ZNP_BIN_DIR;
#endif
    return std::string(dir ? dir : ".") + "/" + program;
}

}  // namespace testsupport
