// ZUC keystream for x86-64 processors with GFNI and AVX-512 VL: F runs in a
// vector register and computes its S-boxes instead of looking them up, so
// that neither its time nor its memory accesses depend on secret data.
//
// R1 and R2 sit in one 64-bit lane, R1 high. W1 = R1 + X1 and W2 = R2 ^ X2
// are made in place; rotating the lane by 16 gives W1L || W2H (for L1) in the
// high half and W2L || W1H (for L2) in the low half, and both L are done at
// once by rotations with a count for each half. S maps the odd bytes of each
// word by S0 and the even ones by S1:
// - S1 is an inversion in GF(2^8) modulo x^8 + x^7 + x^3 + x + 1 followed by
//   an affine map. The field is carried onto the one of the processor's
//   inversion (modulo x^8 + x^4 + x^3 + x + 1) by a linear map, so S1 is
//   two affine instructions.
// - S0 is built from three 4-bit permutations: for x = x1 || x2, t = x1 ^
//   P1(x2), u = x2 ^ P2(t), v = t ^ P3(u), and S0(x) = (v || u) <<< 5. Each
//   4-bit step is one in-register lookup of sixteen bytes.
#include "smext/zuc_impl.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

// Everything from here on is built for GFNI and AVX-512 VL, the shared
// keystream block too.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("gfni,avx512f,avx512vl,avx2,bmi,bmi2"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("gfni,avx512f,avx512vl,avx2,bmi,bmi2")
#endif

#include "smext/zuc_rounds.h"

namespace {

using zucrounds::ZUC_S0;

constexpr uint8_t kP1[16] = {9, 15, 0, 14, 15, 15, 2, 10, 0, 4, 0, 12, 7, 5, 3, 9};
constexpr uint8_t kP2[16] = {8, 13, 6, 5, 7, 0, 12, 4, 11, 1, 14, 10, 15, 3, 9, 2};
constexpr uint8_t kP3[16] = {2, 6, 10, 6, 0, 13, 10, 15, 3, 3, 13, 5, 0, 9, 12, 13};

constexpr uint8_t Rotl8(unsigned x, unsigned n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

// The last step as two lookups: S0(x) = ((t ^ P3(u)) << 4 | u) <<< 5
// = TB(t) ^ TA(u), since the rotation is linear.
struct S0Tables {
  uint8_t ta[16], tb[16];
  constexpr S0Tables() : ta(), tb() {
    for (unsigned n = 0; n < 16; ++n) {
      ta[n] = Rotl8(kP3[n] << 4, 5) ^ Rotl8(n, 5);
      tb[n] = Rotl8(n << 4, 5);
    }
  }
};
constexpr S0Tables kS0;

constexpr bool S0MatchesTheTable() {
  for (unsigned x = 0; x < 256; ++x) {
    const unsigned x1 = x >> 4, x2 = x & 15;
    const unsigned t = x1 ^ kP1[x2];
    const unsigned u = x2 ^ kP2[t];
    if ((kS0.tb[t] ^ kS0.ta[u]) != ZUC_S0[x]) {
      return false;
    }
  }
  return true;
}
static_assert(S0MatchesTheTable(), "the 4-bit steps give S0");

// S1(x) = A2 * inv(A1 * x) ^ 0x55, as the processor's affine instructions
// take their 8x8 bit matrices (row for result bit i in byte 7 - i).
constexpr long long kS1Into = 0xDD06C8F01EAE7C70LL;  // onto the processor's field
constexpr long long kS1Out =
    static_cast<long long>(0xB903E5360F14F0E3ULL);  // back, then ZUC's affine map
constexpr int kS1Constant = 0x55;

__m128i Table16(const uint8_t (&t)[16]) {
  return _mm_setr_epi8(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], t[11],
                       t[12], t[13], t[14], t[15]);
}

SM_INLINE __m128i SboxBytes(__m128i x, const __m128i p1, const __m128i p2, const __m128i ta,
                            const __m128i tb, const __m128i nibble, const __m128i odd) {
  const __m128i s1 =
      _mm_gf2p8affineinv_epi64_epi8(_mm_gf2p8affine_epi64_epi8(x, _mm_set1_epi64x(kS1Into), 0),
                                    _mm_set1_epi64x(kS1Out), kS1Constant);
  const __m128i x2 = _mm_and_si128(x, nibble);
  const __m128i x1 = _mm_and_si128(_mm_srli_epi16(x, 4), nibble);
  const __m128i t = _mm_xor_si128(x1, _mm_shuffle_epi8(p1, x2));
  const __m128i u = _mm_xor_si128(x2, _mm_shuffle_epi8(p2, t));
  const __m128i s0 = _mm_xor_si128(_mm_shuffle_epi8(tb, t), _mm_shuffle_epi8(ta, u));
  return _mm_ternarylogic_epi32(odd, s0, s1, 0xCA);  // odd ? s0 : s1
}

// F with R1 and R2 in a vector register.
struct VectorF {
  __m128i r;  // 32-bit lanes: R2, R1, 0, 0
  const __m128i p1 = Table16(kP1), p2 = Table16(kP2), ta = Table16(kS0.ta), tb = Table16(kS0.tb);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i odd = _mm_set1_epi16(static_cast<short>(0xFF00));
  // Rotation counts of L2 (low lane) and L1 (high lane).
  const __m128i rot1 = _mm_setr_epi32(8, 2, 0, 0), rot2 = _mm_setr_epi32(14, 10, 0, 0);
  const __m128i rot3 = _mm_setr_epi32(22, 18, 0, 0), rot4 = _mm_setr_epi32(30, 24, 0, 0);

  VectorF(uint32_t r1, uint32_t r2)
      : r(_mm_setr_epi32(static_cast<int>(r2), static_cast<int>(r1), 0, 0)) {}

  uint32_t R1() const { return static_cast<uint32_t>(_mm_extract_epi32(r, 1)); }
  uint32_t R2() const { return static_cast<uint32_t>(_mm_cvtsi128_si32(r)); }

  SM_INLINE uint32_t Next(uint32_t x0, uint32_t x1, uint32_t x2) {
    const uint64_t rr = static_cast<uint64_t>(_mm_cvtsi128_si64(r));
    const uint32_t w = (x0 ^ static_cast<uint32_t>(rr >> 32)) + static_cast<uint32_t>(rr);
    const __m128i x12 = _mm_cvtsi64_si128(static_cast<long long>((uint64_t{x1} << 32) | x2));
    // W2 = R2 ^ X2 in the low word, W1 = R1 + X1 in the high word.
    const __m128i w12 = _mm_mask_add_epi32(_mm_xor_si128(r, x12), 0x2, r, x12);
    const __m128i uv = _mm_rol_epi64(w12, 16);
    __m128i l =
        _mm_ternarylogic_epi32(uv, _mm_rolv_epi32(uv, rot1), _mm_rolv_epi32(uv, rot2), 0x96);
    l = _mm_ternarylogic_epi32(l, _mm_rolv_epi32(uv, rot3), _mm_rolv_epi32(uv, rot4), 0x96);
    r = SboxBytes(l, p1, p2, ta, tb, nibble, odd);
    return w;
  }
};

void XorBlocksGfni(ZUC_STATE* state, unsigned char* out, const unsigned char* in, size_t blocks) {
  VectorF f(state->r1, state->r2);
  zucrounds::XorBlocks(state, out, in, blocks, f);
  state->r1 = f.R1();
  state->r2 = f.R2();
}

uint32_t FGfni(ZUC_STATE* state) {
  VectorF f(state->r1, state->r2);
  const uint32_t w = f.Next(state->x[0], state->x[1], state->x[2]);
  state->r1 = f.R1();
  state->r2 = f.R2();
  return w;
}

}  // namespace

const ZUC_PATH zuc_path_gfni_avx512 = {ZUC_IMPL_GFNI_AVX512, XorBlocksGfni, FGfni};

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
