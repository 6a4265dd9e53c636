// Certificates for the TLS tests, made at set-up by the openssl command in a
// temporary directory: a root CA, server certificates for "localhost" (also
// 127.0.0.1), for another name, an expired one and one from an unknown CA,
// an intermediate CA with a server certificate under it, a client
// certificate, and a hashed CA directory ("*.0" links by openssl rehash).
// Private keys of the program's own files are enciphered with the build's
// built-in key pair, as the program reads them.
#pragma once
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/storage_cert.h"
#include "support/temp_dir.h"

namespace testsupport {

class TestPki {
public:
    TestPki() { ok_ = Make(); }
    bool ok() const { return ok_; }
    const TempDir& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_.file(name); }

    // Files (all PEM):
    //   ca.crt ca.key                 root CA "ZNP Test Root"
    //   server.key                    RSA key of every server certificate
    //   localhost.crt                 "localhost" and 127.0.0.1, by the root
    //   other.crt                     "other.example", by the root
    //   expired.crt                   "localhost", expired
    //   stranger.crt                  "localhost", by an unknown CA (stranger-ca.crt)
    //   inter.crt                     intermediate CA, by the root
    //   leaf-inter.crt                "localhost", by the intermediate
    //   leaf-inter-chain.crt          leaf-inter.crt then inter.crt
    //   client.crt client.key         client certificate by the root
    //   client.crt.key                client.key enciphered for the built-in key
    //   server.key.enc                server.key enciphered for the built-in key
    //   cadir/                        ca.crt and its "*.0" link
    //   bad-second.crt                ca.crt then a copy whose signature is damaged

    // Writes a file enciphered for the built-in key pair.
    static bool EncipherFile(const std::string& from, const std::string& to) {
        const std::string sealed = EncipherForBuiltinKey(ReadWholeFile(from));
        return !sealed.empty() && WriteWholeFile(to, sealed);
    }

    // openssl verify (with the options) of the file against the CA file and
    // directory (either may be empty): true when it verifies.
    static bool OpensslVerifies(const std::string& file, const std::string& caFile, const std::string& caDir,
                                const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = {"openssl", "verify"};
        args.insert(args.end(), options.begin(), options.end());
        if (!caFile.empty()) args.insert(args.end(), {"-CAfile", caFile});
        if (!caDir.empty()) args.insert(args.end(), {"-CApath", caDir});
        if (caFile.empty() && caDir.empty()) args.push_back("-no-CAfile"), args.push_back("-no-CApath");
        args.push_back(file);
        return RunProgram(args, {}, "/dev/null") == 0;
    }

private:
    bool Run(std::vector<std::string> args) { return RunProgram(args, {}, "/dev/null") == 0; }

    bool Key(const std::string& name, bool rsa) {
        if (rsa) return Run({"openssl", "genrsa", "-out", path(name), "2048"});
        return Run({"openssl", "genpkey", "-algorithm", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out",
                    path(name)});
    }

    bool SelfSigned(const std::string& stem, const std::string& subject) {
        return Key(stem + ".key", false) && Run({"openssl", "req", "-x509", "-new", "-key", path(stem + ".key"),
                                                 "-subj", subject, "-days", "2", "-out", path(stem + ".crt")});
    }

    // A certificate for the key, issued by issuer (its .crt and .key).
    bool Issue(const std::string& out, const std::string& key, const std::string& subject, const std::string& issuer,
               const std::string& section, const std::string& days) {
        const std::string csr = path(out + ".csr");
        return Run({"openssl", "req", "-new", "-key", path(key), "-subj", subject, "-out", csr}) &&
               Run({"openssl", "x509", "-req", "-in", csr, "-CA", path(issuer + ".crt"), "-CAkey",
                    path(issuer + ".key"), "-set_serial", std::to_string(++serial_), "-days", days, "-extfile",
                    path("ext.cnf"), "-extensions", section, "-out", path(out)});
    }

    bool Make() {
        if (!WriteWholeFile(path("ext.cnf"),
                            "[leaf]\nbasicConstraints=CA:FALSE\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n"
                            "[other]\nbasicConstraints=CA:FALSE\nsubjectAltName=DNS:other.example\n"
                            "[inter]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                            "[client]\nbasicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n"))
            return false;
        if (!SelfSigned("ca", "/CN=ZNP Test Root") || !SelfSigned("stranger-ca", "/CN=ZNP Unknown Root") ||
            !Key("server.key", true) || !Key("inter.key", false) || !Key("client.key", false))
            return false;
        if (!Issue("localhost.crt", "server.key", "/CN=localhost", "ca", "leaf", "2") ||
            !Issue("other.crt", "server.key", "/CN=other.example", "ca", "other", "2") ||
            !Issue("expired.crt", "server.key", "/CN=localhost", "ca", "leaf", "-1") ||
            !Issue("stranger.crt", "server.key", "/CN=localhost", "stranger-ca", "leaf", "2") ||
            !Issue("inter.crt", "inter.key", "/CN=ZNP Test Intermediate", "ca", "inter", "2") ||
            !Issue("client.crt", "client.key", "/CN=caisse 7", "ca", "client", "2"))
            return false;
        if (!Issue("leaf-inter.crt", "server.key", "/CN=localhost", "inter", "leaf", "2") ||
            !WriteWholeFile(path("leaf-inter-chain.crt"),
                            ReadWholeFile(path("leaf-inter.crt")) + ReadWholeFile(path("inter.crt"))))
            return false;
        if (!EncipherFile(path("client.key"), path("client.crt.key")) ||
            !EncipherFile(path("server.key"), path("server.key.enc")))
            return false;
        if (mkdir(path("cadir").c_str(), 0700) != 0 || !CopyFile("ca.crt", "cadir/ca.crt") ||
            !Run({"openssl", "rehash", path("cadir")}))
            return false;
        return MakeDamagedCopy();
    }

    bool CopyFile(const std::string& from, const std::string& to) {
        return WriteWholeFile(path(to), ReadWholeFile(path(from)));
    }

    // The root certificate followed by a copy whose signature has one bit
    // changed.
    bool MakeDamagedCopy() {
        if (!Run({"openssl", "x509", "-in", path("ca.crt"), "-outform", "DER", "-out", path("ca.der")})) return false;
        std::string der = ReadWholeFile(path("ca.der"));
        if (der.empty()) return false;
        der.back() = static_cast<char>(der.back() ^ 0x01);
        return WriteWholeFile(path("bad.der"), der) &&
               Run({"openssl", "x509", "-inform", "DER", "-in", path("bad.der"), "-out", path("bad.crt")}) &&
               WriteWholeFile(path("bad-second.crt"), ReadWholeFile(path("ca.crt")) + ReadWholeFile(path("bad.crt")));
    }

    TempDir dir_;
    int serial_ = 1000;
    bool ok_ = false;
};

}  // namespace testsupport
