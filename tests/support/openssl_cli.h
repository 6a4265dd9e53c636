// The openssl command as an oracle: runs it on bytes written to a temporary
// file and gives back what it wrote (its output file or standard output).
#pragma once
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/temp_dir.h"

namespace testsupport {

using OpensslBytes = std::vector<unsigned char>;

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `openssl <args> -in <input>` (or the input file as the last argument),
// standard output captured; nullopt when it fails.
inline std::optional<std::string> OpensslOutput(std::vector<std::string> args, const OpensslBytes& input,
                                                bool inputAsArgument = false) {
    TempDir dir;
    const std::string in = dir.file("in.bin");
    const std::string out = dir.file("out.txt");
    {
        std::ofstream f(in, std::ios::binary);
        f.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    args.insert(args.begin(), "openssl");
    if (inputAsArgument)
        args.push_back(in);
    else
        args.insert(args.end(), {"-in", in});
    if (RunProgram(args, {}, out) != 0) return std::nullopt;
    return ReadAll(out);
}

// `openssl enc -d -des-ede3-cbc` with the 24-byte key and a zero IV.
inline std::optional<OpensslBytes> OpensslDes3Decrypt(const OpensslBytes& cipher, const std::string& keyHex) {
    auto out = OpensslOutput({"enc", "-d", "-des-ede3-cbc", "-K", keyHex, "-iv", "0000000000000000"}, cipher);
    if (!out) return std::nullopt;
    return OpensslBytes(out->begin(), out->end());
}

inline std::optional<OpensslBytes> OpensslDes3Encrypt(const OpensslBytes& plain, const std::string& keyHex) {
    auto out = OpensslOutput({"enc", "-des-ede3-cbc", "-K", keyHex, "-iv", "0000000000000000"}, plain);
    if (!out) return std::nullopt;
    return OpensslBytes(out->begin(), out->end());
}

// SHA-1 of the bytes as lower-case hexadecimal, from `openssl dgst -sha1 -r`.
inline std::string OpensslSha1Hex(const OpensslBytes& data) {
    auto out = OpensslOutput({"dgst", "-sha1", "-r"}, data, true);
    if (!out) return {};
    return out->substr(0, out->find(' '));
}

// The lines of `openssl asn1parse -inform DER` (empty when it refuses).
inline std::vector<std::string> OpensslAsn1Parse(const OpensslBytes& der) {
    std::vector<std::string> lines;
    auto out = OpensslOutput({"asn1parse", "-inform", "DER"}, der);
    if (!out) return lines;
    std::istringstream in(*out);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace testsupport
