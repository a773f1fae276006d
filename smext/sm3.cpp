// SM3 core: update and final on an SM3_CTX, the portable compression and the
// choice of the compression path.
#include "smext/sm3.h"

#include <atomic>
#include <bit>
#include <cstring>

#include <openssl/crypto.h>

#include "smext/cpu_caps.h"
#include "smext/sm3_impl.h"
#include "smext/sm_bits.h"

namespace sm3rounds {
#include "smext/sm3_rounds.h"
}

static_assert(sizeof(SM3_CTX) == 108, "SM3_CTX is 108 bytes");

namespace {

constexpr uint32_t kIv[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                             0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

sm3_compress_fn CompressFor(sm3_impl impl) {
  switch (impl) {
    case SM3_IMPL_PORTABLE: return sm3_compress_portable;
#if defined(__x86_64__) && defined(__GNUC__)
    case SM3_IMPL_AVX2_BMI2: {
      const SM_CPU_CAPS* caps = sm_cpu_caps();
      return caps->avx2 && caps->bmi1 && caps->bmi2 ? sm3_compress_avx2_bmi2 : nullptr;
    }
    case SM3_IMPL_AVX512_BMI2: {
      const SM_CPU_CAPS* caps = sm_cpu_caps();
      return caps->avx512vl && caps->avx2 && caps->bmi1 && caps->bmi2 ? sm3_compress_avx512_bmi2
                                                                      : nullptr;
    }
#endif
    default: return nullptr;
  }
}

// The path in use; chosen on the first compression, not at start-up.
std::atomic<sm3_compress_fn> g_compress{nullptr};

sm3_compress_fn ChooseCompress() {
  sm3_compress_fn fn = CompressFor(SM3_IMPL_AVX512_BMI2);
  if (fn == nullptr) {
    fn = CompressFor(SM3_IMPL_AVX2_BMI2);
  }
  if (fn == nullptr) {
    fn = sm3_compress_portable;
  }
  g_compress.store(fn, std::memory_order_relaxed);
  return fn;
}

sm3_compress_fn ActiveCompress() {
  const sm3_compress_fn fn = g_compress.load(std::memory_order_relaxed);
  return fn != nullptr ? fn : ChooseCompress();
}

// CF over count blocks, and the 64-bit block count raised by count.
void sm3_compress(SM3_CTX* ctx, const unsigned char* blocks, size_t count) {
  ActiveCompress()(ctx->state, blocks, count);
  const uint64_t total = ((uint64_t{ctx->blocks_hi} << 32) | ctx->blocks_lo) + count;
  ctx->blocks_lo = static_cast<uint32_t>(total);
  ctx->blocks_hi = static_cast<uint32_t>(total >> 32);
}

}  // namespace

void sm3_compress_portable(uint32_t state[8], const unsigned char* blocks, size_t count) {
  for (; count > 0; --count, blocks += SM3_CBLOCK) {
    sm3rounds::ScalarWords words(blocks);
    sm3rounds::CompressBlock(state, words);
  }
}

int sm3_force_impl(sm3_impl impl) {
  if (impl == SM3_IMPL_AUTO) {
    ChooseCompress();
    return 1;
  }
  const sm3_compress_fn fn = CompressFor(impl);
  if (fn == nullptr) {
    return 0;
  }
  g_compress.store(fn, std::memory_order_relaxed);
  return 1;
}

sm3_impl sm3_active_impl(void) {
  const sm3_compress_fn fn = g_compress.load(std::memory_order_relaxed);
#if defined(__x86_64__) && defined(__GNUC__)
  if (fn == sm3_compress_avx2_bmi2) {
    return SM3_IMPL_AVX2_BMI2;
  }
  if (fn == sm3_compress_avx512_bmi2) {
    return SM3_IMPL_AVX512_BMI2;
  }
#endif
  return fn == sm3_compress_portable ? SM3_IMPL_PORTABLE : SM3_IMPL_AUTO;
}

int sm3_init(SM3_CTX* ctx) {
  if (ctx == nullptr) {
    return 0;
  }
  std::memcpy(ctx->state, kIv, sizeof(kIv));
  ctx->blocks_lo = 0;
  ctx->blocks_hi = 0;
  ctx->num = 0;
  return 1;
}

int sm3_update(SM3_CTX* ctx, const unsigned char* data, size_t len) {
  if (ctx == nullptr) {
    return 0;
  }
  if (len == 0) {
    return 1;  // data may be null then
  }
  if (ctx->num > 0) {
    const size_t room = SM3_CBLOCK - ctx->num;
    if (len < room) {
      std::memcpy(ctx->buf + ctx->num, data, len);
      ctx->num += static_cast<uint32_t>(len);
      return 1;
    }
    std::memcpy(ctx->buf + ctx->num, data, room);
    sm3_compress(ctx, ctx->buf, 1);
    data += room;
    len -= room;
  }
  // Whole blocks straight from the caller's data.
  const size_t whole = len / SM3_CBLOCK;
  if (whole > 0) {
    sm3_compress(ctx, data, whole);
    data += whole * SM3_CBLOCK;
    len -= whole * SM3_CBLOCK;
  }
  if (len > 0) {
    std::memcpy(ctx->buf, data, len);
  }
  ctx->num = static_cast<uint32_t>(len);  // less than a block
  return 1;
}

int sm3_final(unsigned char out[SM3_DIGEST_LENGTH], SM3_CTX* ctx) {
  if (ctx == nullptr) {
    return 0;
  }
  // The length is taken before the padding blocks, which are not counted.
  const uint64_t blocks = (uint64_t{ctx->blocks_hi} << 32) | ctx->blocks_lo;
  const uint64_t bits = (blocks << 9) + (uint64_t{ctx->num} << 3);
  const sm3_compress_fn fn = ActiveCompress();
  ctx->buf[ctx->num] = 0x80;
  if (ctx->num + 9 > SM3_CBLOCK) {
    std::memset(ctx->buf + ctx->num + 1, 0, SM3_CBLOCK - ctx->num - 1);
    fn(ctx->state, ctx->buf, 1);
    std::memset(ctx->buf, 0, 56);
  } else {
    std::memset(ctx->buf + ctx->num + 1, 0, 56 - ctx->num - 1);
  }
  // Bit length from the 64-bit block count: blocks * 512 + fill * 8.
  StoreBe32(ctx->buf + 56, static_cast<uint32_t>(bits >> 32));
  StoreBe32(ctx->buf + 60, static_cast<uint32_t>(bits));
  fn(ctx->state, ctx->buf, 1);
  for (unsigned i = 0; i < 8; ++i) {
    StoreBe32(out + 4 * i, ctx->state[i]);
  }
  OPENSSL_cleanse(ctx->buf, sizeof(ctx->buf));
  return 1;
}
