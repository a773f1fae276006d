// ZUC core: the register, bit reorganisation, F and the keystream, word by
// word and in blocks of sixteen words, and the choice of the block path.
#include "smext/zuc.h"

#include <atomic>

#include "smext/cpu_caps.h"
#include "smext/sm_bits.h"
#include "smext/zuc_impl.h"
#include "smext/zuc_rounds.h"

static_assert(sizeof(ZUC_STATE) == 88, "ZUC_STATE is 22 words");

namespace {

using zucrounds::kMask31;
using zucrounds::ZUC_S0;
using zucrounds::ZUC_S1;

constexpr uint32_t ZUC_EK_D[16] = {0x44D7, 0x26BC, 0x626B, 0x135E, 0x5789, 0x35E2, 0x7135, 0x09AF,
                                   0x4D78, 0x2F13, 0x6BC4, 0x1AF1, 0x5E26, 0x3C4D, 0x789A, 0x47AC};

// Addition modulo 2^31 - 1 of two 31-bit values.
inline uint32_t AddMod31(uint32_t a, uint32_t b) {
  const uint32_t c = a + b;
  return (c & kMask31) + (c >> 31);
}

// Multiplication by 2^k modulo 2^31 - 1: a rotation within 31 bits.
inline uint32_t MulPow2Mod31(uint32_t x, unsigned k) {
  return ((x << k) | (x >> (31 - k))) & kMask31;
}

SM_INLINE uint32_t L1(uint32_t x) { return XorRotl<2, 10, 18, 24>(x); }

SM_INLINE uint32_t L2(uint32_t x) { return XorRotl<8, 14, 22, 30>(x); }

// S0, S1, S0, S1 on the bytes of a word, from the most significant, as one
// table of words per byte position.
struct SboxWords {
  uint32_t t[4][256];
  constexpr SboxWords() : t() {
    for (unsigned b = 0; b < 256; ++b) {
      t[0][b] = uint32_t{ZUC_S0[b]} << 24;
      t[1][b] = uint32_t{ZUC_S1[b]} << 16;
      t[2][b] = uint32_t{ZUC_S0[b]} << 8;
      t[3][b] = ZUC_S1[b];
    }
  }
};
constexpr SboxWords kSbox;

SM_INLINE uint32_t S(uint32_t x) {
  return kSbox.t[0][x >> 24] | kSbox.t[1][(x >> 16) & 0xFF] | kSbox.t[2][(x >> 8) & 0xFF] |
         kSbox.t[3][x & 0xFF];
}

// F with R1 and R2 in general registers and the S-boxes as tables.
struct TableF {
  uint32_t r1, r2;

  SM_INLINE uint32_t Next(uint32_t x0, uint32_t x1, uint32_t x2) {
    const uint32_t w = (x0 ^ r1) + r2;
    const uint32_t w1 = r1 + x1;
    const uint32_t w2 = r2 ^ x2;
    r1 = S(L1((w1 << 16) | (w2 >> 16)));
    r2 = S(L2((w2 << 16) | (w1 >> 16)));
    return w;
  }
};

// v = 2^15 s15 + 2^17 s13 + 2^21 s10 + 2^20 s4 + (1 + 2^8) s0 mod 2^31 - 1,
// added up one term at a time as the standard writes it.
inline uint32_t Feedback(const ZUC_STATE* state) {
  const uint32_t* s = state->s;
  uint32_t v = s[0];
  v = AddMod31(v, MulPow2Mod31(s[0], 8));
  v = AddMod31(v, MulPow2Mod31(s[4], 20));
  v = AddMod31(v, MulPow2Mod31(s[10], 21));
  v = AddMod31(v, MulPow2Mod31(s[13], 17));
  v = AddMod31(v, MulPow2Mod31(s[15], 15));
  return v;
}

inline void AppendNonZero(ZUC_STATE* state, uint32_t v) {
  zuc_lfsr_append(state, v == 0 ? kMask31 : v);
}

const ZUC_PATH* PathFor(zuc_impl impl) {
  switch (impl) {
    case ZUC_IMPL_PORTABLE: return &zuc_path_portable;
#if defined(__x86_64__) && defined(__GNUC__)
    case ZUC_IMPL_GFNI_AVX512: {
      const SM_CPU_CAPS* caps = sm_cpu_caps();
      return caps->gfni && caps->avx512vl && caps->avx2 && caps->bmi2 ? &zuc_path_gfni_avx512
                                                                      : nullptr;
    }
#endif
    default: return nullptr;
  }
}

// The path in use; chosen on first use, not at start-up. Where the processor
// can compute the S-boxes, that path is taken: its time and memory accesses
// do not depend on the key or the keystream.
std::atomic<const ZUC_PATH*> g_path{nullptr};

const ZUC_PATH* ChoosePath() {
  const ZUC_PATH* path = PathFor(ZUC_IMPL_GFNI_AVX512);
  if (path == nullptr) {
    path = &zuc_path_portable;
  }
  g_path.store(path, std::memory_order_relaxed);
  return path;
}

const ZUC_PATH* ActivePath() {
  const ZUC_PATH* path = g_path.load(std::memory_order_relaxed);
  return path != nullptr ? path : ChoosePath();
}

void XorBlocksPortable(ZUC_STATE* state, unsigned char* out, const unsigned char* in,
                       size_t blocks) {
  TableF f{state->r1, state->r2};
  zucrounds::XorBlocks(state, out, in, blocks, f);
  state->r1 = f.r1;
  state->r2 = f.r2;
}

uint32_t FPortable(ZUC_STATE* state) {
  TableF f{state->r1, state->r2};
  const uint32_t w = f.Next(state->x[0], state->x[1], state->x[2]);
  state->r1 = f.r1;
  state->r2 = f.r2;
  return w;
}

}  // namespace

const ZUC_PATH zuc_path_portable = {ZUC_IMPL_PORTABLE, XorBlocksPortable, FPortable};

int zuc_force_impl(zuc_impl impl) {
  if (impl == ZUC_IMPL_AUTO) {
    ChoosePath();
    return 1;
  }
  const ZUC_PATH* path = PathFor(impl);
  if (path == nullptr) {
    return 0;
  }
  g_path.store(path, std::memory_order_relaxed);
  return 1;
}

zuc_impl zuc_active_impl(void) {
  const ZUC_PATH* path = g_path.load(std::memory_order_relaxed);
  return path != nullptr ? path->impl : ZUC_IMPL_AUTO;
}

void zuc_xor_stream(ZUC_STATE* state, unsigned char* out, const unsigned char* in, size_t len) {
  const size_t blocks = len / 64;
  if (blocks > 0) {
    ActivePath()->xor_blocks(state, out, in, blocks);
    out += blocks * 64;
    in += blocks * 64;
    len -= blocks * 64;
  }
  for (; len >= 4; len -= 4, in += 4, out += 4) {
    zucrounds::XorWord(out, in, zuc_keystream_word(state));
  }
  if (len > 0) {
    const uint32_t w = zuc_keystream_word(state);
    for (unsigned shift = 24; len > 0; --len, shift -= 8) {
      *out++ = *in++ ^ static_cast<unsigned char>(w >> shift);
    }
  }
}

void zuc_lfsr_append(ZUC_STATE* state, uint32_t cell) {
  for (unsigned i = 0; i < 15; ++i) {
    state->s[i] = state->s[i + 1];
  }
  state->s[15] = cell;
}

void zuc_lfsr_init_mode(ZUC_STATE* state, uint32_t u) {
  AppendNonZero(state, AddMod31(Feedback(state), u));
}

void zuc_lfsr_work_mode(ZUC_STATE* state) { AppendNonZero(state, Feedback(state)); }

void zuc_bit_reorganization(ZUC_STATE* state) {
  const uint32_t* s = state->s;
  state->x[0] = ((s[15] & 0x7FFF8000) << 1) | (s[14] & 0xFFFF);
  state->x[1] = ((s[11] & 0xFFFF) << 16) | (s[9] >> 15);
  state->x[2] = ((s[7] & 0xFFFF) << 16) | (s[5] >> 15);
  state->x[3] = ((s[2] & 0xFFFF) << 16) | (s[0] >> 15);
}

uint32_t zuc_f(ZUC_STATE* state) { return ActivePath()->f(state); }

void zuc_key_load(const unsigned char key[16], const unsigned char iv[16], ZUC_STATE* state) {
  for (unsigned i = 0; i < 16; ++i) {
    state->s[i] = (uint32_t{key[i]} << 23) | (ZUC_EK_D[i] << 8) | iv[i];
  }
  state->r1 = 0;
  state->r2 = 0;
  for (unsigned round = 0; round < 32; ++round) {
    zuc_bit_reorganization(state);
    const uint32_t w = zuc_f(state);
    zuc_lfsr_init_mode(state, w >> 1);
  }
}

void zuc_init(const unsigned char key[16], const unsigned char iv[16], ZUC_STATE* state) {
  zuc_key_load(key, iv, state);
  zuc_bit_reorganization(state);
  zuc_f(state);
}

uint32_t zuc_keystream_word(ZUC_STATE* state) {
  zuc_lfsr_work_mode(state);
  zuc_bit_reorganization(state);
  return zuc_f(state) ^ state->x[3];
}
