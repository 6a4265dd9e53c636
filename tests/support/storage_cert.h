// Storage certificates for the protected card-number tests: a self-signed
// certificate and its private key made by `openssl req -x509`, and the
// certificate file as the program reads it (enciphered block by block with
// the built-in public key through RSAKEY_Action).
#pragma once
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/crypto.h"
#include "support/run_program.h"

namespace testsupport {

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(out);
}

// Makes <dir>/<stem>.crt and <dir>/<stem>.key. keyKind: "rsa:2048" or "ec".
inline bool MakeSelfSignedCertificate(const std::string& dir, const std::string& stem,
                                      const std::string& keyKind = "rsa:2048") {
    std::vector<std::string> args = {"openssl", "req",  "-x509", "-nodes", "-days",
                                      "2",       "-subj", "/CN=storage-test", "-newkey", keyKind};
    if (keyKind == "ec") {
        args.push_back("-pkeyopt");
        args.push_back("ec_paramgen_curve:prime256v1");
    }
    args.insert(args.end(), {"-keyout", dir + "/" + stem + ".key", "-out", dir + "/" + stem + ".crt"});
    return RunProgram(args) == 0;
}

// The bytes enciphered with the built-in public key (empty on failure).
inline std::string EncipherForBuiltinKey(const std::string& plain) {
    std::vector<unsigned char> buffer(plain.size() * 2 + 1024);
    std::copy(plain.begin(), plain.end(), buffer.begin());
    size_t length = plain.size();
    if (RSAKEY_Action(buffer.data(), &length, RSAKEY_PUBLIC_ENCRYPT, buffer.size()) != 1) return {};
    return std::string(reinterpret_cast<const char*>(buffer.data()), length);
}

}  // namespace testsupport
