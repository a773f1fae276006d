// SM3, SM4-CBC and ZUC through the library's EVP calls, each beside the
// library's own SM3, SM4-CBC and SM4-CTR (ZUC has no peer there), at 16 B,
// 1 KiB and 16 KiB per call.
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "bench/EvpLoops.h"
#include "smext/sm3.h"
#include "smext/sm4.h"
#include "smext/smext.h"
#include "smext/zuc.h"

namespace {

using namespace benchevp;

// The library's own algorithms, from its default provider.
const EVP_MD* LibrarySm3() {
  static const MdPtr md{EVP_MD_fetch(nullptr, "SM3", "provider=default")};
  return md.get();
}

const EVP_CIPHER* LibraryCipher(const char* name) {
  return EVP_CIPHER_fetch(nullptr, name, "provider=default");
}

const EVP_CIPHER* LibrarySm4Cbc() {
  static const CipherPtr cipher{const_cast<EVP_CIPHER*>(LibraryCipher("SM4-CBC"))};
  return cipher.get();
}

const EVP_CIPHER* LibrarySm4Ctr() {
  static const CipherPtr cipher{const_cast<EVP_CIPHER*>(LibraryCipher("SM4-CTR"))};
  return cipher.get();
}

void BM_Sm3(benchmark::State& state) { DigestLoop(state, sm3_digest_method()); }
void BM_LibrarySm3(benchmark::State& state) { DigestLoop(state, LibrarySm3()); }
void BM_Sm4CbcEncrypt(benchmark::State& state) { CipherLoop(state, sm4_cbc_cipher_method(), 1); }
void BM_LibrarySm4CbcEncrypt(benchmark::State& state) { CipherLoop(state, LibrarySm4Cbc(), 1); }
void BM_Sm4CbcDecrypt(benchmark::State& state) { CipherLoop(state, sm4_cbc_cipher_method(), 0); }
void BM_LibrarySm4CbcDecrypt(benchmark::State& state) { CipherLoop(state, LibrarySm4Cbc(), 0); }
void BM_LibrarySm4Ctr(benchmark::State& state) { CipherLoop(state, LibrarySm4Ctr(), 1); }
void BM_Zuc(benchmark::State& state) { CipherLoop(state, zuc_cipher_method(), 1); }

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

int main(int argc, char** argv) {
  smext_add_all_algorithms();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
