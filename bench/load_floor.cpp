// The floor of a program start: a program that loads the libraries trv_71
// loads (libssl, libcrypto, the C++ library) and ends at once. The program
// start benchmark runs it beside trv_71.
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <string>

int main(int argc, char** argv) {
    // One call into each library, so that none is dropped at link time.
    const std::string name = argc > 0 ? argv[0] : "";
    return TLS_method() != nullptr && OPENSSL_version_major() >= 3 && !name.empty() ? 0 : 1;
}
