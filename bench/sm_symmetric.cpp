// SM3, SM4-CBC and ZUC through the library's EVP calls, each beside the
// library's own SM3, SM4-CBC and SM4-CTR (ZUC has no peer there), at 16 B,
// 1 KiB and 16 KiB per call.
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "smext/sm3.h"
#include "smext/sm4.h"
#include "smext/smext.h"
#include "smext/zuc.h"

namespace {

struct MdFree {
    void operator()(EVP_MD *md) const { EVP_MD_free(md); }
};
struct CipherFree {
    void operator()(EVP_CIPHER *cipher) const { EVP_CIPHER_free(cipher); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// The library's own algorithms, from its default provider.
const EVP_MD *LibrarySm3() {
    static const std::unique_ptr<EVP_MD, MdFree> md{EVP_MD_fetch(nullptr, "SM3", "provider=default")};
    return md.get();
}

const EVP_CIPHER *LibraryCipher(const char *name) {
    return EVP_CIPHER_fetch(nullptr, name, "provider=default");
}

const EVP_CIPHER *LibrarySm4Cbc() {
    static const std::unique_ptr<EVP_CIPHER, CipherFree> cipher{
        const_cast<EVP_CIPHER *>(LibraryCipher("SM4-CBC"))};
    return cipher.get();
}

const EVP_CIPHER *LibrarySm4Ctr() {
    static const std::unique_ptr<EVP_CIPHER, CipherFree> cipher{
        const_cast<EVP_CIPHER *>(LibraryCipher("SM4-CTR"))};
    return cipher.get();
}

void Digest(benchmark::State &state, const EVP_MD *md) {
    const std::vector<unsigned char> data(state.range(0), 0x5A);
    unsigned char out[EVP_MAX_MD_SIZE];
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx.get(), md, nullptr);
        EVP_DigestUpdate(ctx.get(), data.data(), data.size());
        EVP_DigestFinal_ex(ctx.get(), out, nullptr);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// One set-up, then one update per iteration over the same context (chaining
// or keystream continues), without padding.
void Cipher(benchmark::State &state, const EVP_CIPHER *cipher, int enc) {
    const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char iv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    const std::vector<unsigned char> in(state.range(0), 0xA5);
    std::vector<unsigned char> out(in.size() + 32);
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, enc)) {
        state.SkipWithError("cipher set-up failed");
        return;
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    for (auto _ : state) {
        int len = 0;
        EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Sm3(benchmark::State &state) { Digest(state, sm3_digest_method()); }
void BM_LibrarySm3(benchmark::State &state) { Digest(state, LibrarySm3()); }
void BM_Sm4CbcEncrypt(benchmark::State &state) { Cipher(state, sm4_cbc_cipher_method(), 1); }
void BM_LibrarySm4CbcEncrypt(benchmark::State &state) { Cipher(state, LibrarySm4Cbc(), 1); }
void BM_Sm4CbcDecrypt(benchmark::State &state) { Cipher(state, sm4_cbc_cipher_method(), 0); }
void BM_LibrarySm4CbcDecrypt(benchmark::State &state) { Cipher(state, LibrarySm4Cbc(), 0); }
void BM_LibrarySm4Ctr(benchmark::State &state) { Cipher(state, LibrarySm4Ctr(), 1); }
void BM_Zuc(benchmark::State &state) { Cipher(state, zuc_cipher_method(), 1); }

#define SM_SIZES Arg(16)->Arg(1024)->Arg(16384)
BENCHMARK(BM_Sm3)->SM_SIZES;
BENCHMARK(BM_LibrarySm3)->SM_SIZES;
BENCHMARK(BM_Sm4CbcEncrypt)->SM_SIZES;
BENCHMARK(BM_LibrarySm4CbcEncrypt)->SM_SIZES;
BENCHMARK(BM_Sm4CbcDecrypt)->SM_SIZES;
BENCHMARK(BM_LibrarySm4CbcDecrypt)->SM_SIZES;
BENCHMARK(BM_LibrarySm4Ctr)->SM_SIZES;
BENCHMARK(BM_Zuc)->SM_SIZES;

}  // namespace

int main(int argc, char **argv) {
    smext_add_all_algorithms();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
