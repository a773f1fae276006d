// The extension's provider as every application reaches it, beside the stock
// library in the same run: SM2 sign, verify, encrypt and decrypt through
// EVP_PKEY_* (the preferred "smext" against "provider=default"), and SM3,
// SM4-CBC and ZUC through EVP_MD_fetch / EVP_CIPHER_fetch (ZUC against the
// stock SM4-CTR, the stock library having no ZUC).
//   sm_provider --benchmark_enable_random_interleaving=true --benchmark_repetitions=N
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "bench/EvpLoops.h"
#include "smext/smext.h"

namespace {

using namespace benchevp;

using Bytes = std::vector<unsigned char>;
constexpr const char* kStock = "provider=default";

using PkeyCtx = tovel::UniquePtr<EVP_PKEY_CTX>;

// One key of the stock library, a digest, and a signature and ciphertext of
// each side, made once.
struct Sm2Fixture {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, kStock, "SM2");
  Bytes digest = Bytes(32, 0x3C);
  Bytes message = Bytes(32, 0x5A);
};

const Sm2Fixture& Fixture() {
  static const Sm2Fixture fixture;
  return fixture;
}

PkeyCtx NewCtx(const char* propq) {
  return PkeyCtx(EVP_PKEY_CTX_new_from_pkey(nullptr, Fixture().key, propq));
}

Bytes SignOnce(const char* propq) {
  PkeyCtx ctx = NewCtx(propq);
  Bytes sig(80);
  size_t len = sig.size();
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), sig.data(), &len, Fixture().digest.data(), 32) != 1) {
    return {};
  }
  sig.resize(len);
  return sig;
}

Bytes EncryptOnce(const char* propq) {
  PkeyCtx ctx = NewCtx(propq);
  Bytes out(256);
  size_t len = out.size();
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), out.data(), &len, Fixture().message.data(),
                       Fixture().message.size()) != 1) {
    return {};
  }
  out.resize(len);
  return out;
}

enum class Op { Sign, Verify, Encrypt, Decrypt };

// One operation per iteration on a context set up once; the signature and
// ciphertext checked are the same side's own.
void Sm2(benchmark::State& state, Op op, const char* propq) {
  const Sm2Fixture& f = Fixture();
  PkeyCtx ctx = NewCtx(propq);
  const Bytes sig = SignOnce(propq);
  const Bytes ct = EncryptOnce(propq);
  int init = 0;
  switch (op) {
    case Op::Sign: init = EVP_PKEY_sign_init(ctx.get()); break;
    case Op::Verify: init = EVP_PKEY_verify_init(ctx.get()); break;
    case Op::Encrypt: init = EVP_PKEY_encrypt_init(ctx.get()); break;
    case Op::Decrypt: init = EVP_PKEY_decrypt_init(ctx.get()); break;
  }
  if (!ctx || init != 1 || sig.empty() || ct.empty()) {
    state.SkipWithError("set-up failed");
    return;
  }
  Bytes out(256);
  for (auto _ : state) {
    size_t len = out.size();
    int ok = 0;
    switch (op) {
      case Op::Sign: ok = EVP_PKEY_sign(ctx.get(), out.data(), &len, f.digest.data(), 32); break;
      case Op::Verify:
        ok = EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), f.digest.data(), 32);
        break;
      case Op::Encrypt:
        ok = EVP_PKEY_encrypt(ctx.get(), out.data(), &len, f.message.data(), f.message.size());
        break;
      case Op::Decrypt:
        ok = EVP_PKEY_decrypt(ctx.get(), out.data(), &len, ct.data(), ct.size());
        break;
    }
    if (ok != 1) {
      state.SkipWithError("operation failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

// One digest of range(0) bytes per iteration, the algorithm fetched once.
void Digest(benchmark::State& state, const char* propq) {
  const MdPtr md(EVP_MD_fetch(nullptr, "SM3", propq));
  DigestLoop(state, md.get());
}

// One update of range(0) bytes per iteration over a context set up once.
void Cipher(benchmark::State& state, const char* name, const char* propq, int enc) {
  // No name: the registry's "zuc" record, which is not fetched.
  const CipherPtr fetched(name != nullptr ? EVP_CIPHER_fetch(nullptr, name, propq) : nullptr);
  CipherLoop(state, name != nullptr ? fetched.get() : EVP_get_cipherbyname("zuc"), enc);
}

void BM_ProvSm2Sign(benchmark::State& s) { Sm2(s, Op::Sign, nullptr); }
void BM_StockSm2Sign(benchmark::State& s) { Sm2(s, Op::Sign, kStock); }
void BM_ProvSm2Verify(benchmark::State& s) { Sm2(s, Op::Verify, nullptr); }
void BM_StockSm2Verify(benchmark::State& s) { Sm2(s, Op::Verify, kStock); }
void BM_ProvSm2Encrypt(benchmark::State& s) { Sm2(s, Op::Encrypt, nullptr); }
void BM_StockSm2Encrypt(benchmark::State& s) { Sm2(s, Op::Encrypt, kStock); }
void BM_ProvSm2Decrypt(benchmark::State& s) { Sm2(s, Op::Decrypt, nullptr); }
void BM_StockSm2Decrypt(benchmark::State& s) { Sm2(s, Op::Decrypt, kStock); }
void BM_ProvSm3(benchmark::State& s) { Digest(s, nullptr); }
void BM_StockSm3(benchmark::State& s) { Digest(s, kStock); }
void BM_ProvSm4CbcEncrypt(benchmark::State& s) { Cipher(s, "SM4-CBC", nullptr, 1); }
void BM_StockSm4CbcEncrypt(benchmark::State& s) { Cipher(s, "SM4-CBC", kStock, 1); }
void BM_ProvSm4CbcDecrypt(benchmark::State& s) { Cipher(s, "SM4-CBC", nullptr, 0); }
void BM_StockSm4CbcDecrypt(benchmark::State& s) { Cipher(s, "SM4-CBC", kStock, 0); }
void BM_ProvZuc(benchmark::State& s) { Cipher(s, "ZUC", nullptr, 1); }
void BM_StockSm4Ctr(benchmark::State& s) { Cipher(s, "SM4-CTR", kStock, 1); }
// The extension's "zuc" record from the name registry, the provider's own reference.
void BM_RecordZuc(benchmark::State& s) { Cipher(s, nullptr, nullptr, 1); }

BENCHMARK(BM_ProvSm2Sign);
BENCHMARK(BM_StockSm2Sign);
BENCHMARK(BM_ProvSm2Verify);
BENCHMARK(BM_StockSm2Verify);
BENCHMARK(BM_ProvSm2Encrypt);
BENCHMARK(BM_StockSm2Encrypt);
BENCHMARK(BM_ProvSm2Decrypt);
BENCHMARK(BM_StockSm2Decrypt);
#define SM_SIZES Arg(16)->Arg(1024)->Arg(16384)
BENCHMARK(BM_ProvSm3)->SM_SIZES;
BENCHMARK(BM_StockSm3)->SM_SIZES;
BENCHMARK(BM_ProvSm4CbcEncrypt)->SM_SIZES;
BENCHMARK(BM_StockSm4CbcEncrypt)->SM_SIZES;
BENCHMARK(BM_ProvSm4CbcDecrypt)->SM_SIZES;
BENCHMARK(BM_StockSm4CbcDecrypt)->SM_SIZES;
BENCHMARK(BM_ProvZuc)->SM_SIZES;
BENCHMARK(BM_StockSm4Ctr)->SM_SIZES;
BENCHMARK(BM_RecordZuc)->SM_SIZES;

}  // namespace

int main(int argc, char** argv) {
  smext_add_all_algorithms();  // the provider, preferred
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
