// The timed loops shared by the symmetric-algorithm benchmarks: one digest,
// or one cipher update over a context set up once, per iteration, through the
// library's EVP calls.
#pragma once

#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "platform/UniquePtr.h"

namespace benchevp {

using MdPtr = tovel::UniquePtr<EVP_MD>;
using CipherPtr = tovel::UniquePtr<EVP_CIPHER>;

inline constexpr unsigned char kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
inline constexpr unsigned char kIv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

// One init, update and final of range(0) bytes per iteration.
inline void DigestLoop(benchmark::State& state, const EVP_MD* md) {
  const std::vector<unsigned char> data(static_cast<size_t>(state.range(0)), 0x5A);
  unsigned char out[EVP_MAX_MD_SIZE];
  tovel::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (md == nullptr || !ctx) {
    state.SkipWithError("digest set-up failed");
    return;
  }
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx.get(), md, nullptr);
    EVP_DigestUpdate(ctx.get(), data.data(), data.size());
    EVP_DigestFinal_ex(ctx.get(), out, nullptr);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// One set-up, then one update of range(0) bytes per iteration over the same
// context (chaining or keystream continues), without padding.
inline void CipherLoop(benchmark::State& state, const EVP_CIPHER* cipher, int enc) {
  const std::vector<unsigned char> in(static_cast<size_t>(state.range(0)), 0xA5);
  std::vector<unsigned char> out(in.size() + 32);
  tovel::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (cipher == nullptr || !ctx ||
      EVP_CipherInit_ex(ctx.get(), cipher, nullptr, kKey, kIv, enc) != 1) {
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

}  // namespace benchevp
