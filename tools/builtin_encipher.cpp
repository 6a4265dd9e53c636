// builtin_encipher: enciphers a file with the public key of the built-in key
// pair of this build, block by block (RSA, PKCS #1 v1.5), the form in which
// the program reads its storage certificate (option StorageCert) and other
// files it deciphers with the built-in private key. A deployment runs the
// tool of the build configured with its own key directory.
// Usage: builtin_encipher INPUT OUTPUT   (OUTPUT is created with mode 0600)
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "core/crypto.h"
#include "tool_help.h"

namespace {
const char kUsage[] =
    "usage: builtin_encipher INPUT OUTPUT\n"
    "Enciphers INPUT with the public key of this build's built-in key pair into OUTPUT (mode 0600).\n";
}  // namespace

int main(int argc, char** argv) {
    if (tools::HelpAsked(argc, argv, kUsage)) return 0;
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "builtin_encipher: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t length = data.size();
    // Room for the blocks: at most twice the input plus one key size.
    data.resize(2 * length + 1024);
    if (length == 0 || RSAKEY_Action(data.data(), &length, RSAKEY_PUBLIC_ENCRYPT, data.size()) != 1) {
        std::fprintf(stderr, "builtin_encipher: cannot encipher %s\n", argv[1]);
        return 1;
    }
    const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "builtin_encipher: cannot write %s\n", argv[2]);
        return 1;
    }
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, data.data() + done, length - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    const bool ok = done == length && fsync(fd) == 0;
    close(fd);
    if (!ok) {
        std::fprintf(stderr, "builtin_encipher: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
