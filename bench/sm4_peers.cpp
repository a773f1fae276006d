// SM4-CBC encryption and decryption through the library's EVP calls, ours
// beside the installed library's own SM4-CBC (default provider) and
// libgcrypt's, at 64 B, 1 KiB, 16 KiB and 1 MiB per call. Each of our cores
// (GFNI, AES-NI, portable) is measured too where this processor can run it.
// Ratios come from an interleaved run:
//   sm4_peers --benchmark_enable_random_interleaving=true --benchmark_repetitions=15
//     --benchmark_format=json | python3 bench/sm4_ratios.py
#include <cstdio>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <openssl/evp.h>

#include "bench/EvpLoops.h"
#include "smext/sm4.h"
#include "smext/sm4_local.h"
#include "smext/smext.h"

namespace {

using namespace benchevp;

const EVP_CIPHER* LibrarySm4Cbc() {
  static const CipherPtr cipher{EVP_CIPHER_fetch(nullptr, "SM4-CBC", "provider=default")};
  return cipher.get();
}

void Ours(benchmark::State& state, sm4_impl impl, int enc) {
  if (!sm4_force_impl(impl)) {
    state.SkipWithError("this processor cannot run that core");
    return;
  }
  CipherLoop(state, sm4_cbc_cipher_method(), enc);
}

void Gcrypt(benchmark::State& state, int enc) {
  const std::vector<unsigned char> in(state.range(0), 0xA5);
  std::vector<unsigned char> out(in.size());
  gcry_cipher_hd_t handle = nullptr;
  if (gcry_cipher_open(&handle, GCRY_CIPHER_SM4, GCRY_CIPHER_MODE_CBC, 0) != 0 ||
      gcry_cipher_setkey(handle, kKey, sizeof(kKey)) != 0 ||
      gcry_cipher_setiv(handle, kIv, sizeof(kIv)) != 0) {
    state.SkipWithError("libgcrypt set-up failed");
    gcry_cipher_close(handle);
    return;
  }
  for (auto _ : state) {
    if (enc) {
      gcry_cipher_encrypt(handle, out.data(), out.size(), in.data(), in.size());
    } else {
      gcry_cipher_decrypt(handle, out.data(), out.size(), in.data(), in.size());
    }
    benchmark::DoNotOptimize(out.data());
  }
  gcry_cipher_close(handle);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Sm4CbcEncrypt_OursPortable(benchmark::State& state) { Ours(state, SM4_IMPL_PORTABLE, 1); }
void BM_Sm4CbcEncrypt_OpenSsl(benchmark::State& state) { CipherLoop(state, LibrarySm4Cbc(), 1); }
void BM_Sm4CbcEncrypt_Gcrypt(benchmark::State& state) { Gcrypt(state, 1); }
void BM_Sm4CbcDecrypt_OursGfni(benchmark::State& state) { Ours(state, SM4_IMPL_GFNI, 0); }
void BM_Sm4CbcDecrypt_OursAesNi(benchmark::State& state) { Ours(state, SM4_IMPL_AESNI, 0); }
void BM_Sm4CbcDecrypt_OursPortable(benchmark::State& state) { Ours(state, SM4_IMPL_PORTABLE, 0); }
void BM_Sm4CbcDecrypt_OpenSsl(benchmark::State& state) { CipherLoop(state, LibrarySm4Cbc(), 0); }
void BM_Sm4CbcDecrypt_Gcrypt(benchmark::State& state) { Gcrypt(state, 0); }

#define SM4_SIZES Arg(64)->Arg(1024)->Arg(16384)->Arg(1 << 20)
BENCHMARK(BM_Sm4CbcEncrypt_OursPortable)->SM4_SIZES;
BENCHMARK(BM_Sm4CbcEncrypt_OpenSsl)->SM4_SIZES;
BENCHMARK(BM_Sm4CbcEncrypt_Gcrypt)->SM4_SIZES;
BENCHMARK(BM_Sm4CbcDecrypt_OursGfni)->SM4_SIZES;
BENCHMARK(BM_Sm4CbcDecrypt_OursAesNi)->SM4_SIZES;
BENCHMARK(BM_Sm4CbcDecrypt_OursPortable)->SM4_SIZES;
BENCHMARK(BM_Sm4CbcDecrypt_OpenSsl)->SM4_SIZES;
BENCHMARK(BM_Sm4CbcDecrypt_Gcrypt)->SM4_SIZES;

}  // namespace

int main(int argc, char** argv) {
  if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
    std::fprintf(stderr, "libgcrypt version mismatch\n");
    return 1;
  }
  gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  smext_add_all_algorithms();
  // The best core, as the cipher chooses it, before any benchmark forces one.
  const sm4_impl best = sm4_active_impl();
  benchmark::RegisterBenchmark("BM_Sm4CbcEncrypt_Ours", [best](benchmark::State& state) {
    Ours(state, best, 1);
  })->SM4_SIZES;
  benchmark::RegisterBenchmark("BM_Sm4CbcDecrypt_Ours", [best](benchmark::State& state) {
    Ours(state, best, 0);
  })->SM4_SIZES;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
