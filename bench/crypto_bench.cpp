// Digest and cipher helpers: SHA-1, RSA blocks with the built-in pair, AES.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "core/crypto.h"
#include "core/sha1.h"

namespace {

void BM_Sha1(benchmark::State& state) {
    std::vector<unsigned char> data(static_cast<size_t>(state.range(0)), 0x5A);
    uint8_t digest[SHA1_DIGEST_SIZE];
    for (auto _ : state) {
        Sha1_Compute(data.data(), data.size(), digest, nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha1)->Arg(1024)->Arg(1 << 20);

// One block each way with the built-in key pair (key rebuilt and parsed per call).
void BM_RsaKeyPublicEncryptBlock(benchmark::State& state) {
    for (auto _ : state) {
        unsigned char buf[512] = "TALVO1234567890123456";
        size_t n = 21;
        if (RSAKEY_Action(buf, &n, RSAKEY_PUBLIC_ENCRYPT, sizeof buf) != 1) state.SkipWithError("failed");
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_RsaKeyPublicEncryptBlock);

void BM_RsaKeyPrivateDecryptBlock(benchmark::State& state) {
    unsigned char cipher[512] = "TALVO1234567890123456";
    size_t n = 21;
    if (RSAKEY_Action(cipher, &n, RSAKEY_PUBLIC_ENCRYPT, sizeof cipher) != 1) {
        state.SkipWithError("setup failed");
        return;
    }
    for (auto _ : state) {
        unsigned char buf[512];
        std::copy(cipher, cipher + n, buf);
        size_t len = n;
        if (RSAKEY_Action(buf, &len, RSAKEY_PRIVATE_DECRYPT, sizeof buf) != 1) state.SkipWithError("failed");
        benchmark::DoNotOptimize(buf);
    }
}
BENCHMARK(BM_RsaKeyPrivateDecryptBlock);

void BM_AesEncrypt10KiB(benchmark::State& state) {
    std::vector<unsigned char> in(10240, 0x33), out(10240);
    for (auto _ : state) {
        WAesEncrypt(in.data(), out.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * 10240);
}
BENCHMARK(BM_AesEncrypt10KiB);

}  // namespace
