// SM3 and ZUC through the library's EVP calls, beside the installed library's
// own SM3 and SM4-CTR and beside libgcrypt's SM3 and SM4-CTR, at 64 B, 1 KiB,
// 16 KiB and 1 MiB per call (SM3 at 16 B too, and also as the provider's
// fetched "SM3"). Each code path of our SM3 and ZUC also runs forced on its
// own. Run interleaved and repeated, for example
//   sm3_zuc_peers --benchmark_enable_random_interleaving=true
//                 --benchmark_repetitions=15 --benchmark_format=json
// and compare medians (bench/peer_ratios.py does that).
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/evp.h>

#include "bench/EvpLoops.h"
#include "smext/sm3.h"
#include "smext/sm3_impl.h"
#include "smext/smext.h"
#include "smext/zuc.h"
#include "smext/zuc_impl.h"

namespace {

using namespace benchevp;

// The installed library's own algorithms, from its default provider.
const EVP_MD* LibrarySm3() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SM3", "provider=default");
  return md;
}

const EVP_CIPHER* LibrarySm4Ctr() {
  static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "SM4-CTR", "provider=default");
  return cipher;
}

void BM_Sm3(benchmark::State& state) {
  sm3_force_impl(SM3_IMPL_AUTO);
  DigestLoop(state, sm3_digest_method());
}

void Sm3Forced(benchmark::State& state, sm3_impl impl) {
  if (!sm3_force_impl(impl)) {
    state.SkipWithError("this processor lacks the code path's features");
    return;
  }
  DigestLoop(state, sm3_digest_method());
  sm3_force_impl(SM3_IMPL_AUTO);
}
void BM_Sm3Portable(benchmark::State& state) { Sm3Forced(state, SM3_IMPL_PORTABLE); }
void BM_Sm3Avx2Bmi2(benchmark::State& state) { Sm3Forced(state, SM3_IMPL_AVX2_BMI2); }
void BM_Sm3Avx512Bmi2(benchmark::State& state) { Sm3Forced(state, SM3_IMPL_AVX512_BMI2); }

// The provider's SM3, as applications fetch it (the automatic path).
void BM_ProvSm3(benchmark::State& state) {
  sm3_force_impl(SM3_IMPL_AUTO);
  const MdPtr md(EVP_MD_fetch(nullptr, "SM3", "provider=smext"));
  DigestLoop(state, md.get());
}

void BM_LibrarySm3(benchmark::State& state) { DigestLoop(state, LibrarySm3()); }

void BM_GcryptSm3(benchmark::State& state) {
  const std::vector<unsigned char> data(state.range(0), 0x5A);
  gcry_md_hd_t hd = nullptr;
  if (gcry_md_open(&hd, GCRY_MD_SM3, 0) != 0) {
    state.SkipWithError("libgcrypt has no SM3");
    return;
  }
  for (auto _ : state) {
    gcry_md_reset(hd);
    gcry_md_write(hd, data.data(), data.size());
    benchmark::DoNotOptimize(gcry_md_read(hd, GCRY_MD_SM3));
  }
  gcry_md_close(hd);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Zuc(benchmark::State& state) {
  zuc_force_impl(ZUC_IMPL_AUTO);
  CipherLoop(state, zuc_cipher_method(), 1);
}

void ZucForced(benchmark::State& state, zuc_impl impl) {
  if (!zuc_force_impl(impl)) {
    state.SkipWithError("this processor lacks the code path's features");
    return;
  }
  CipherLoop(state, zuc_cipher_method(), 1);
  zuc_force_impl(ZUC_IMPL_AUTO);
}
void BM_ZucPortable(benchmark::State& state) { ZucForced(state, ZUC_IMPL_PORTABLE); }
void BM_ZucGfniAvx512(benchmark::State& state) { ZucForced(state, ZUC_IMPL_GFNI_AVX512); }

void BM_LibrarySm4Ctr(benchmark::State& state) { CipherLoop(state, LibrarySm4Ctr(), 1); }

void BM_GcryptSm4Ctr(benchmark::State& state) {
  const std::vector<unsigned char> in(state.range(0), 0xA5);
  std::vector<unsigned char> out(in.size());
  gcry_cipher_hd_t hd = nullptr;
  if (gcry_cipher_open(&hd, GCRY_CIPHER_SM4, GCRY_CIPHER_MODE_CTR, 0) != 0 ||
      gcry_cipher_setkey(hd, kKey, sizeof(kKey)) != 0 ||
      gcry_cipher_setctr(hd, kIv, sizeof(kIv)) != 0) {
    state.SkipWithError("libgcrypt has no SM4-CTR");
    return;
  }
  for (auto _ : state) {
    gcry_cipher_encrypt(hd, out.data(), out.size(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  gcry_cipher_close(hd);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

#define PEER_SIZES Arg(64)->Arg(1024)->Arg(16384)->Arg(1 << 20)
#define SM3_SIZES Arg(16)->PEER_SIZES
BENCHMARK(BM_Sm3)->SM3_SIZES;
BENCHMARK(BM_ProvSm3)->SM3_SIZES;
BENCHMARK(BM_Sm3Portable)->SM3_SIZES;
BENCHMARK(BM_Sm3Avx2Bmi2)->SM3_SIZES;
BENCHMARK(BM_Sm3Avx512Bmi2)->SM3_SIZES;
BENCHMARK(BM_LibrarySm3)->SM3_SIZES;
BENCHMARK(BM_GcryptSm3)->SM3_SIZES;
BENCHMARK(BM_Zuc)->PEER_SIZES;
BENCHMARK(BM_ZucPortable)->PEER_SIZES;
BENCHMARK(BM_ZucGfniAvx512)->PEER_SIZES;
BENCHMARK(BM_LibrarySm4Ctr)->PEER_SIZES;
BENCHMARK(BM_GcryptSm4Ctr)->PEER_SIZES;

}  // namespace

int main(int argc, char** argv) {
  smext_add_all_algorithms();
  if (gcry_check_version(nullptr) == nullptr) {
    return 1;
  }
  gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
