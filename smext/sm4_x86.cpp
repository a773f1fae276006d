// x86-64 vector cores of SM4-CBC. The S-box is computed, not looked up: with
// GFNI as an affine map, an inversion in the AES field and another affine map
// (sm4_affine.h); with AES-NI the same inversion comes from the AES round's
// SubBytes, the affine maps from nibble shuffles. Nothing is indexed by data.
// Each function is compiled for its own instruction set; the file as a whole
// builds for baseline x86-64 and callers check sm4_x86_has first.
#include "smext/sm4_local.h"

#if defined(__x86_64__)

#include <cstring>
// The compiler's own vector headers set off false uninitialised-value warnings.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <openssl/crypto.h>

#include "smext/cpu_caps.h"
#include "smext/sm4_affine.h"

#define SM4_GFNI_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,gfni")))
#define SM4_AESNI_TARGET __attribute__((target("avx2,aes")))
// Small helpers are always inlined, also in unoptimised builds.
#define SM4_GFNI_INLINE SM4_GFNI_TARGET __attribute__((always_inline))
#define SM4_AESNI_INLINE SM4_AESNI_TARGET __attribute__((always_inline))

namespace {

using namespace sm4affine;

struct CpuFeatures {
  bool aesni;  // AVX2 and AES-NI, with the ymm state enabled by the system
  bool gfni;   // AVX-512 F, BW, VL and GFNI, with the zmm state enabled
};

CpuFeatures DetectFeatures() {
  const SM_CPU_CAPS* caps = sm_cpu_caps();
  return {caps->avx2 && caps->aesni, caps->avx512vl && caps->avx512bw && caps->gfni};
}

// Byte order within each 32-bit word reversed: block bytes to big-endian words.
constexpr char kByteSwap[16] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};

// ---- GFNI: 4, 8 or 16 blocks in four xmm, ymm or zmm registers ----

// The operations the GFNI cores need, for one register width. Four registers
// hold four words of 4 x kLanes blocks.
struct Xmm {
  using V = __m128i;
  static constexpr size_t kLanes = 1;
  SM4_GFNI_INLINE static V Load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const V*>(p));
  }
  SM4_GFNI_INLINE static void Store(unsigned char* p, V v) {
    _mm_storeu_si128(reinterpret_cast<V*>(p), v);
  }
  SM4_GFNI_INLINE static V Xor(V a, V b) { return _mm_xor_si128(a, b); }
  SM4_GFNI_INLINE static V Xor3(V a, V b, V c) { return _mm_ternarylogic_epi32(a, b, c, 0x96); }
  template <int kBits>
  SM4_GFNI_INLINE static V Rotl(V a) {
    return _mm_rol_epi32(a, kBits);
  }
  template <uint8_t kConstant>
  SM4_GFNI_INLINE static V Affine(V a, uint64_t matrix) {
    return _mm_gf2p8affine_epi64_epi8(a, _mm_set1_epi64x(static_cast<long long>(matrix)),
                                      kConstant);
  }
  template <uint8_t kConstant>
  SM4_GFNI_INLINE static V AffineInverse(V a, uint64_t matrix) {
    return _mm_gf2p8affineinv_epi64_epi8(a, _mm_set1_epi64x(static_cast<long long>(matrix)),
                                         kConstant);
  }
  SM4_GFNI_INLINE static V Word(uint32_t w) { return _mm_set1_epi32(static_cast<int>(w)); }
  SM4_GFNI_INLINE static V Block(__m128i b) { return b; }
  SM4_GFNI_INLINE static V Shuffle(V a, V mask) { return _mm_shuffle_epi8(a, mask); }
  SM4_GFNI_INLINE static V Lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
  SM4_GFNI_INLINE static V Hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
  SM4_GFNI_INLINE static V Lo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  SM4_GFNI_INLINE static V Hi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
  // The blocks before those of cur: the last block of before, then cur's.
  SM4_GFNI_INLINE static V Previous(V, V before) { return before; }
  SM4_GFNI_INLINE static __m128i Last(V v) { return v; }
};

struct Ymm {
  using V = __m256i;
  static constexpr size_t kLanes = 2;
  SM4_GFNI_INLINE static V Load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const V*>(p));
  }
  SM4_GFNI_INLINE static void Store(unsigned char* p, V v) {
    _mm256_storeu_si256(reinterpret_cast<V*>(p), v);
  }
  SM4_GFNI_INLINE static V Xor(V a, V b) { return _mm256_xor_si256(a, b); }
  SM4_GFNI_INLINE static V Xor3(V a, V b, V c) { return _mm256_ternarylogic_epi32(a, b, c, 0x96); }
  template <int kBits>
  SM4_GFNI_INLINE static V Rotl(V a) {
    return _mm256_rol_epi32(a, kBits);
  }
  template <uint8_t kConstant>
  SM4_GFNI_INLINE static V Affine(V a, uint64_t matrix) {
    return _mm256_gf2p8affine_epi64_epi8(a, _mm256_set1_epi64x(static_cast<long long>(matrix)),
                                         kConstant);
  }
  template <uint8_t kConstant>
  SM4_GFNI_INLINE static V AffineInverse(V a, uint64_t matrix) {
    return _mm256_gf2p8affineinv_epi64_epi8(a, _mm256_set1_epi64x(static_cast<long long>(matrix)),
                                            kConstant);
  }
  SM4_GFNI_INLINE static V Word(uint32_t w) { return _mm256_set1_epi32(static_cast<int>(w)); }
  SM4_GFNI_INLINE static V Block(__m128i b) { return _mm256_broadcastsi128_si256(b); }
  SM4_GFNI_INLINE static V Shuffle(V a, V mask) { return _mm256_shuffle_epi8(a, mask); }
  SM4_GFNI_INLINE static V Lo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  SM4_GFNI_INLINE static V Hi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  SM4_GFNI_INLINE static V Lo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  SM4_GFNI_INLINE static V Hi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
  SM4_GFNI_INLINE static V Previous(V cur, V before) {
    return _mm256_permute2x128_si256(before, cur, 0x21);
  }
  SM4_GFNI_INLINE static __m128i Last(V v) { return _mm256_extracti128_si256(v, 1); }
};

struct Zmm {
  using V = __m512i;
  static constexpr size_t kLanes = 4;
  SM4_GFNI_INLINE static V Load(const unsigned char* p) { return _mm512_loadu_si512(p); }
  SM4_GFNI_INLINE static void Store(unsigned char* p, V v) { _mm512_storeu_si512(p, v); }
  SM4_GFNI_INLINE static V Xor(V a, V b) { return _mm512_xor_si512(a, b); }
  SM4_GFNI_INLINE static V Xor3(V a, V b, V c) { return _mm512_ternarylogic_epi32(a, b, c, 0x96); }
  template <int kBits>
  SM4_GFNI_INLINE static V Rotl(V a) {
    return _mm512_rol_epi32(a, kBits);
  }
  template <uint8_t kConstant>
  SM4_GFNI_INLINE static V Affine(V a, uint64_t matrix) {
    return _mm512_gf2p8affine_epi64_epi8(a, _mm512_set1_epi64(static_cast<long long>(matrix)),
                                         kConstant);
  }
  template <uint8_t kConstant>
  SM4_GFNI_INLINE static V AffineInverse(V a, uint64_t matrix) {
    return _mm512_gf2p8affineinv_epi64_epi8(a, _mm512_set1_epi64(static_cast<long long>(matrix)),
                                            kConstant);
  }
  SM4_GFNI_INLINE static V Word(uint32_t w) { return _mm512_set1_epi32(static_cast<int>(w)); }
  SM4_GFNI_INLINE static V Block(__m128i b) { return _mm512_broadcast_i32x4(b); }
  SM4_GFNI_INLINE static V Shuffle(V a, V mask) { return _mm512_shuffle_epi8(a, mask); }
  SM4_GFNI_INLINE static V Lo32(V a, V b) { return _mm512_unpacklo_epi32(a, b); }
  SM4_GFNI_INLINE static V Hi32(V a, V b) { return _mm512_unpackhi_epi32(a, b); }
  SM4_GFNI_INLINE static V Lo64(V a, V b) { return _mm512_unpacklo_epi64(a, b); }
  SM4_GFNI_INLINE static V Hi64(V a, V b) { return _mm512_unpackhi_epi64(a, b); }
  SM4_GFNI_INLINE static V Previous(V cur, V before) { return _mm512_alignr_epi64(cur, before, 6); }
  SM4_GFNI_INLINE static __m128i Last(V v) { return _mm512_extracti32x4_epi32(v, 3); }
};

// 4x4 transpose of 32-bit words within each 128-bit lane of four registers:
// block-per-lane becomes word-per-register and back.
template <typename W, typename V = typename W::V>
SM4_GFNI_INLINE inline void Transpose(V& a, V& b, V& c, V& d) {
  const V t0 = W::Lo32(a, b), t1 = W::Hi32(a, b);
  const V t2 = W::Lo32(c, d), t3 = W::Hi32(c, d);
  a = W::Lo64(t0, t2);
  b = W::Hi64(t0, t2);
  c = W::Lo64(t1, t3);
  d = W::Hi64(t1, t3);
}

// The GFNI cores keep their words in the basis Phi (sm4_affine.h), where the
// S-box input is a plain exclusive-or of words and round keys and the round
// needs three affine-inverse instructions side by side and no other map.
// keys: the round keys in that basis, with a zero after the last.
constexpr size_t kPhiKeyWords = SM4_ROUNDS + 1;

SM4_GFNI_TARGET void PhiRoundKeys(const uint32_t rk[SM4_ROUNDS], uint32_t keys[kPhiKeyWords]) {
  for (unsigned i = 0; i < SM4_ROUNDS; i += 4) {
    const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i),
                     Xmm::Affine<kPreConstant>(k, kGfniPhi.matrix));
  }
  keys[SM4_ROUNDS] = 0;
}

// One round: a is the S-box input, yi the word the round replaces, rest =
// y[i+2] ^ y[i+3] ^ the next round key. Returns the next S-box input, three
// instructions after the three affine-inverse ones.
template <typename W, typename V = typename W::V>
SM4_GFNI_INLINE inline V PhiRound(V& yi, V a, V rest) {
  const V f0 = W::template AffineInverse<kGfniF0.constant>(a, kGfniF0.matrix);
  const V f8 = W::template AffineInverse<kGfniF8.constant>(a, kGfniF8.matrix);
  const V f24 = W::template AffineInverse<kGfniF24.constant>(a, kGfniF24.matrix);
  const V u = W::Xor3(f0, W::template Rotl<8>(f8), W::template Rotl<16>(f8));
  const V r24 = W::template Rotl<24>(f24);
  const V other = W::Xor(rest, yi);
  yi = W::Xor3(yi, u, r24);
  return W::Xor3(other, u, r24);
}

// The 32 rounds; afterwards y0..y3 hold X32..X35.
template <typename W, typename V = typename W::V>
SM4_GFNI_INLINE inline void PhiRounds(V& y0, V& y1, V& y2, V& y3,
                                      const uint32_t keys[kPhiKeyWords]) {
  V a = W::Xor3(y1, y2, W::Xor(y3, W::Word(keys[0])));
#pragma GCC unroll 8
  for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
    a = PhiRound<W>(y0, a, W::Xor(W::Xor(y2, y3), W::Word(keys[r + 1])));
    a = PhiRound<W>(y1, a, W::Xor(W::Xor(y3, y0), W::Word(keys[r + 2])));
    a = PhiRound<W>(y2, a, W::Xor(W::Xor(y0, y1), W::Word(keys[r + 3])));
    a = PhiRound<W>(y3, a, W::Xor(W::Xor(y1, y2), W::Word(keys[r + 4])));
  }
}

// Output bytes of words in the basis, exclusive-ored with mask.
template <typename W, typename V = typename W::V>
SM4_GFNI_INLINE inline V FromPhi(V y, V swap, V mask) {
  return W::Xor(W::Shuffle(W::template Affine<0>(y, kGfniPhiInverse.matrix), swap), mask);
}

// CBC decryption of groups of 4 x kLanes blocks: each group loaded, decrypted
// together, each block then exclusive-ored with the ciphertext block before it
// (the chaining value for the first). All of a group is read before any of it
// is written.
template <typename W, typename V = typename W::V>
SM4_GFNI_TARGET void PhiDecryptGroups(const uint32_t keys[kPhiKeyWords], __m128i& chain,
                                      unsigned char* out, const unsigned char* in, size_t groups) {
  constexpr size_t kStep = 16 * W::kLanes;
  const V swap = W::Block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kByteSwap)));
  V previous = W::Block(chain);
  // Two groups side by side while there are two: the rounds of one group
  // form a chain of dependent steps that leaves the processor waiting.
  for (; groups >= 2; groups -= 2, in += 8 * kStep, out += 8 * kStep) {
    const V c0 = W::Load(in), c1 = W::Load(in + kStep), c2 = W::Load(in + 2 * kStep);
    const V c3 = W::Load(in + 3 * kStep);
    const V d0 = W::Load(in + 4 * kStep), d1 = W::Load(in + 5 * kStep),
            d2 = W::Load(in + 6 * kStep);
    const V d3 = W::Load(in + 7 * kStep);
    V y0 = W::template Affine<0>(W::Shuffle(c0, swap), kGfniPhi.matrix);
    V y1 = W::template Affine<0>(W::Shuffle(c1, swap), kGfniPhi.matrix);
    V y2 = W::template Affine<0>(W::Shuffle(c2, swap), kGfniPhi.matrix);
    V y3 = W::template Affine<0>(W::Shuffle(c3, swap), kGfniPhi.matrix);
    V z0 = W::template Affine<0>(W::Shuffle(d0, swap), kGfniPhi.matrix);
    V z1 = W::template Affine<0>(W::Shuffle(d1, swap), kGfniPhi.matrix);
    V z2 = W::template Affine<0>(W::Shuffle(d2, swap), kGfniPhi.matrix);
    V z3 = W::template Affine<0>(W::Shuffle(d3, swap), kGfniPhi.matrix);
    Transpose<W>(y0, y1, y2, y3);
    Transpose<W>(z0, z1, z2, z3);
    V a = W::Xor3(y1, y2, W::Xor(y3, W::Word(keys[0])));
    V b = W::Xor3(z1, z2, W::Xor(z3, W::Word(keys[0])));
#pragma GCC unroll 8
    for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
      const V k1 = W::Word(keys[r + 1]), k2 = W::Word(keys[r + 2]);
      const V k3 = W::Word(keys[r + 3]), k4 = W::Word(keys[r + 4]);
      a = PhiRound<W>(y0, a, W::Xor3(y2, y3, k1));
      b = PhiRound<W>(z0, b, W::Xor3(z2, z3, k1));
      a = PhiRound<W>(y1, a, W::Xor3(y3, y0, k2));
      b = PhiRound<W>(z1, b, W::Xor3(z3, z0, k2));
      a = PhiRound<W>(y2, a, W::Xor3(y0, y1, k3));
      b = PhiRound<W>(z2, b, W::Xor3(z0, z1, k3));
      a = PhiRound<W>(y3, a, W::Xor3(y1, y2, k4));
      b = PhiRound<W>(z3, b, W::Xor3(z1, z2, k4));
    }
    Transpose<W>(y3, y2, y1, y0);
    Transpose<W>(z3, z2, z1, z0);
    W::Store(out, FromPhi<W>(y3, swap, W::Previous(c0, previous)));
    W::Store(out + kStep, FromPhi<W>(y2, swap, W::Previous(c1, c0)));
    W::Store(out + 2 * kStep, FromPhi<W>(y1, swap, W::Previous(c2, c1)));
    W::Store(out + 3 * kStep, FromPhi<W>(y0, swap, W::Previous(c3, c2)));
    W::Store(out + 4 * kStep, FromPhi<W>(z3, swap, W::Previous(d0, c3)));
    W::Store(out + 5 * kStep, FromPhi<W>(z2, swap, W::Previous(d1, d0)));
    W::Store(out + 6 * kStep, FromPhi<W>(z1, swap, W::Previous(d2, d1)));
    W::Store(out + 7 * kStep, FromPhi<W>(z0, swap, W::Previous(d3, d2)));
    previous = d3;
  }
  for (; groups > 0; --groups, in += 4 * kStep, out += 4 * kStep) {
    const V c0 = W::Load(in), c1 = W::Load(in + kStep), c2 = W::Load(in + 2 * kStep);
    const V c3 = W::Load(in + 3 * kStep);
    V y0 = W::template Affine<0>(W::Shuffle(c0, swap), kGfniPhi.matrix);
    V y1 = W::template Affine<0>(W::Shuffle(c1, swap), kGfniPhi.matrix);
    V y2 = W::template Affine<0>(W::Shuffle(c2, swap), kGfniPhi.matrix);
    V y3 = W::template Affine<0>(W::Shuffle(c3, swap), kGfniPhi.matrix);
    Transpose<W>(y0, y1, y2, y3);
    PhiRounds<W>(y0, y1, y2, y3, keys);
    // X35, X34, X33, X32.
    Transpose<W>(y3, y2, y1, y0);
    W::Store(out, FromPhi<W>(y3, swap, W::Previous(c0, previous)));
    W::Store(out + kStep, FromPhi<W>(y2, swap, W::Previous(c1, c0)));
    W::Store(out + 2 * kStep, FromPhi<W>(y1, swap, W::Previous(c2, c1)));
    W::Store(out + 3 * kStep, FromPhi<W>(y0, swap, W::Previous(c3, c2)));
    previous = c3;
  }
  chain = W::Last(previous);
}

// ---- AES-NI, 8 blocks in four ymm registers ----

SM4_AESNI_INLINE inline void TransposeYmm(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  const __m256i t0 = _mm256_unpacklo_epi32(a, b), t1 = _mm256_unpackhi_epi32(a, b);
  const __m256i t2 = _mm256_unpacklo_epi32(c, d), t3 = _mm256_unpackhi_epi32(c, d);
  a = _mm256_unpacklo_epi64(t0, t2);
  b = _mm256_unpackhi_epi64(t0, t2);
  c = _mm256_unpacklo_epi64(t1, t3);
  d = _mm256_unpackhi_epi64(t1, t3);
}

// The AES round ends with ShiftRows (row r of the column-major state rotated
// left by r); bytes shuffled by its inverse first come out where they were.
struct ShuffleMasks {
  char invShiftRows[16];
  char rot8[16], rot16[16], rot24[16];  // each 32-bit word rotated left
  constexpr ShuffleMasks() : invShiftRows(), rot8(), rot16(), rot24() {
    for (unsigned c = 0; c < 4; ++c) {
      for (unsigned r = 0; r < 4; ++r) {
        invShiftRows[r + 4 * c] = static_cast<char>(r + 4 * ((c - r) & 3));
        rot8[4 * c + r] = static_cast<char>(4 * c + ((r + 3) & 3));
        rot16[4 * c + r] = static_cast<char>(4 * c + ((r + 2) & 3));
        rot24[4 * c + r] = static_cast<char>(4 * c + ((r + 1) & 3));
      }
    }
  }
};
constexpr ShuffleMasks kMasks;

SM4_AESNI_INLINE inline __m256i Both(const char* bytes16) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes16)));
}

SM4_AESNI_INLINE inline __m256i Both(const uint8_t* bytes16) {
  return Both(reinterpret_cast<const char*>(bytes16));
}

// An affine byte map by two nibble lookups (the tables are constants; the
// shuffle selects within a register).
SM4_AESNI_INLINE inline __m256i NibbleAffine(__m256i x, __m256i lo, __m256i hi) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  return _mm256_xor_si256(_mm256_shuffle_epi8(lo, _mm256_and_si256(x, low4)),
                          _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(x, 4), low4)));
}

SM4_AESNI_INLINE inline __m256i SboxAesni(__m256i x) {
  __m256i y = NibbleAffine(x, Both(kNibblePre.lo), Both(kNibblePre.hi));
  y = _mm256_shuffle_epi8(y, Both(kMasks.invShiftRows));
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_aesenclast_si128(_mm256_castsi256_si128(y), zero);
  const __m128i high = _mm_aesenclast_si128(_mm256_extracti128_si256(y, 1), zero);
  y = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  return NibbleAffine(y, Both(kNibblePostSubBytes.lo), Both(kNibblePostSubBytes.hi));
}

// x0 ^= T(x1 ^ x2 ^ x3 ^ k), with L(s) = s ^ (s <<< 24) ^ ((s ^ (s <<< 8) ^ (s <<< 16)) <<< 2).
SM4_AESNI_INLINE inline void RoundAesni(__m256i& x0, __m256i x1, __m256i x2, __m256i x3,
                                        uint32_t k) {
  const __m256i a = _mm256_xor_si256(_mm256_xor_si256(x1, x2),
                                     _mm256_xor_si256(x3, _mm256_set1_epi32(static_cast<int>(k))));
  const __m256i s = SboxAesni(a);
  __m256i t = _mm256_xor_si256(s, _mm256_xor_si256(_mm256_shuffle_epi8(s, Both(kMasks.rot8)),
                                                   _mm256_shuffle_epi8(s, Both(kMasks.rot16))));
  t = _mm256_or_si256(_mm256_slli_epi32(t, 2), _mm256_srli_epi32(t, 30));
  x0 = _mm256_xor_si256(_mm256_xor_si256(x0, t),
                        _mm256_xor_si256(s, _mm256_shuffle_epi8(s, Both(kMasks.rot24))));
}

}  // namespace

int sm4_x86_has(enum sm4_impl impl) {
  static const CpuFeatures features = DetectFeatures();  // one check, on first use
  switch (impl) {
    case SM4_IMPL_AESNI: return features.aesni ? 1 : 0;
    case SM4_IMPL_GFNI: return features.gfni ? 1 : 0;
    default: return 0;
  }
}

namespace {

// One group of 8 blocks in flight: its ciphertext and its words.
struct AesniGroup {
  __m256i c0, c1, c2, c3;
  __m256i x0, x1, x2, x3;
};

SM4_AESNI_INLINE inline void LoadAesniGroup(const unsigned char* in, __m256i swap, AesniGroup& g) {
  const auto* src = reinterpret_cast<const __m256i*>(in);
  g.c0 = _mm256_loadu_si256(src);
  g.c1 = _mm256_loadu_si256(src + 1);
  g.c2 = _mm256_loadu_si256(src + 2);
  g.c3 = _mm256_loadu_si256(src + 3);
  g.x0 = _mm256_shuffle_epi8(g.c0, swap);
  g.x1 = _mm256_shuffle_epi8(g.c1, swap);
  g.x2 = _mm256_shuffle_epi8(g.c2, swap);
  g.x3 = _mm256_shuffle_epi8(g.c3, swap);
  TransposeYmm(g.x0, g.x1, g.x2, g.x3);
}

// previous: its high lane is the ciphertext block before the group.
SM4_AESNI_INLINE inline void StoreAesniGroup(unsigned char* out, __m256i swap, AesniGroup& g,
                                             __m256i previous) {
  // X35, X34, X33, X32.
  TransposeYmm(g.x3, g.x2, g.x1, g.x0);
  auto* dst = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(dst, _mm256_xor_si256(_mm256_shuffle_epi8(g.x3, swap),
                                            _mm256_permute2x128_si256(previous, g.c0, 0x21)));
  _mm256_storeu_si256(dst + 1, _mm256_xor_si256(_mm256_shuffle_epi8(g.x2, swap),
                                                _mm256_permute2x128_si256(g.c0, g.c1, 0x21)));
  _mm256_storeu_si256(dst + 2, _mm256_xor_si256(_mm256_shuffle_epi8(g.x1, swap),
                                                _mm256_permute2x128_si256(g.c1, g.c2, 0x21)));
  _mm256_storeu_si256(dst + 3, _mm256_xor_si256(_mm256_shuffle_epi8(g.x0, swap),
                                                _mm256_permute2x128_si256(g.c2, g.c3, 0x21)));
}

SM4_AESNI_INLINE inline void RoundsAesni(AesniGroup& g, const uint32_t rk[SM4_ROUNDS]) {
#pragma GCC unroll 8
  for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
    RoundAesni(g.x0, g.x1, g.x2, g.x3, rk[r]);
    RoundAesni(g.x1, g.x2, g.x3, g.x0, rk[r + 1]);
    RoundAesni(g.x2, g.x3, g.x0, g.x1, rk[r + 2]);
    RoundAesni(g.x3, g.x0, g.x1, g.x2, rk[r + 3]);
  }
}

}  // namespace

// CBC decryption of groups of 8 blocks: each group loaded, decrypted together,
// each block then exclusive-ored with the ciphertext block before it (the
// chaining value for the first). Two groups go through the rounds side by
// side, whose chains of dependent steps would otherwise leave the processor
// waiting. All of a pair is read before any of it is written.
SM4_AESNI_TARGET void sm4_aesni_cbc_decrypt_groups(const uint32_t rk[SM4_ROUNDS],
                                                   unsigned char iv[16], unsigned char* out,
                                                   const unsigned char* in, size_t groups) {
  constexpr size_t kBytes = SM4_AESNI_GROUP * SM4_BLOCK_SIZE;
  const __m256i swap = Both(kByteSwap);
  __m256i previous =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(iv)));
  for (; groups >= 2; groups -= 2, in += 2 * kBytes, out += 2 * kBytes) {
    AesniGroup a, b;
    LoadAesniGroup(in, swap, a);
    LoadAesniGroup(in + kBytes, swap, b);
#pragma GCC unroll 8
    for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
      RoundAesni(a.x0, a.x1, a.x2, a.x3, rk[r]);
      RoundAesni(b.x0, b.x1, b.x2, b.x3, rk[r]);
      RoundAesni(a.x1, a.x2, a.x3, a.x0, rk[r + 1]);
      RoundAesni(b.x1, b.x2, b.x3, b.x0, rk[r + 1]);
      RoundAesni(a.x2, a.x3, a.x0, a.x1, rk[r + 2]);
      RoundAesni(b.x2, b.x3, b.x0, b.x1, rk[r + 2]);
      RoundAesni(a.x3, a.x0, a.x1, a.x2, rk[r + 3]);
      RoundAesni(b.x3, b.x0, b.x1, b.x2, rk[r + 3]);
    }
    StoreAesniGroup(out, swap, a, previous);
    StoreAesniGroup(out + kBytes, swap, b, a.c3);
    previous = b.c3;
  }
  if (groups == 1) {
    AesniGroup a;
    LoadAesniGroup(in, swap, a);
    RoundsAesni(a, rk);
    StoreAesniGroup(out, swap, a, previous);
    previous = a.c3;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), _mm256_extracti128_si256(previous, 1));
}

namespace {

// One group of 4, 8 or 16 blocks.
SM4_GFNI_TARGET void DecryptOneGroup(size_t width, const uint32_t keys[kPhiKeyWords],
                                     __m128i& chain, unsigned char* out, const unsigned char* in) {
  if (width == 4) {
    PhiDecryptGroups<Xmm>(keys, chain, out, in, 1);
  } else if (width == 8) {
    PhiDecryptGroups<Ymm>(keys, chain, out, in, 1);
  } else {
    PhiDecryptGroups<Zmm>(keys, chain, out, in, 1);
  }
}

// Block bytes to words in the basis.
SM4_GFNI_INLINE inline __m128i ToPhi(__m128i bytes, __m128i swap) {
  return Xmm::Affine<0>(_mm_shuffle_epi8(bytes, swap), kGfniPhi.matrix);
}

}  // namespace

SM4_GFNI_TARGET void sm4_gfni_cbc_decrypt_blocks(const uint32_t rk[SM4_ROUNDS],
                                                 unsigned char iv[16], unsigned char* out,
                                                 const unsigned char* in, size_t nblocks) {
  alignas(16) uint32_t keys[kPhiKeyWords];
  PhiRoundKeys(rk, keys);
  __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  const size_t groups = nblocks / SM4_GFNI_GROUP;
  PhiDecryptGroups<Zmm>(keys, chain, out, in, groups);
  const size_t done = groups * SM4_GFNI_GROUP * SM4_BLOCK_SIZE;
  const size_t rest = nblocks % SM4_GFNI_GROUP;
  if (rest > 0) {
    // The rest as one group of the narrowest core that holds it: straight
    // through when it fills that group, else zero-filled on the stack.
    const size_t width = rest <= 4 ? 4 : rest <= 8 ? 8 : 16;
    if (rest == width) {
      DecryptOneGroup(width, keys, chain, out + done, in + done);
    } else {
      alignas(64) unsigned char group[SM4_GFNI_GROUP * SM4_BLOCK_SIZE];
      std::memset(group, 0, width * SM4_BLOCK_SIZE);
      std::memcpy(group, in + done, rest * SM4_BLOCK_SIZE);
      const __m128i last =
          _mm_load_si128(reinterpret_cast<const __m128i*>(group + (rest - 1) * SM4_BLOCK_SIZE));
      DecryptOneGroup(width, keys, chain, group, group);
      std::memcpy(out + done, group, rest * SM4_BLOCK_SIZE);
      chain = last;
      OPENSSL_cleanse(group, width * SM4_BLOCK_SIZE);
    }
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), chain);
  OPENSSL_cleanse(keys, sizeof(keys));
}

// CBC encryption block by block; only the first 32-bit element of each
// register carries a word.
SM4_GFNI_TARGET void sm4_gfni_cbc_encrypt_blocks(const uint32_t rk[SM4_ROUNDS],
                                                 unsigned char iv[16], unsigned char* out,
                                                 const unsigned char* in, size_t nblocks) {
  const __m128i swap = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kByteSwap));
  alignas(16) uint32_t keys[kPhiKeyWords];
  PhiRoundKeys(rk, keys);
  if (nblocks == 0) {
    OPENSSL_cleanse(keys, sizeof(keys));
    return;
  }
  // The chaining value stays in the basis as words (c0..c3), so that from
  // one block to the next only an exclusive-or lies on the serial path; the
  // plaintext's conversion and the output's run beside it.
  const __m128i start = ToPhi(Xmm::Load(iv), swap);
  __m128i c0 = start, c1 = _mm_shuffle_epi32(start, 1), c2 = _mm_shuffle_epi32(start, 2);
  __m128i c3 = _mm_shuffle_epi32(start, 3);
  __m128i chain = start;
  for (; nblocks > 0; --nblocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
    const __m128i p = ToPhi(Xmm::Load(in), swap);
    __m128i y0 = _mm_xor_si128(p, c0), y1 = _mm_xor_si128(_mm_shuffle_epi32(p, 1), c1);
    __m128i y2 = _mm_xor_si128(_mm_shuffle_epi32(p, 2), c2),
            y3 = _mm_xor_si128(_mm_shuffle_epi32(p, 3), c3);
    PhiRounds<Xmm>(y0, y1, y2, y3, keys);
    // The ciphertext is X35, X34, X33, X32.
    c0 = y3;
    c1 = y2;
    c2 = y1;
    c3 = y0;
    const __m128i words =
        _mm_unpacklo_epi64(_mm_unpacklo_epi32(y3, y2), _mm_unpacklo_epi32(y1, y0));
    chain = _mm_shuffle_epi8(Xmm::Affine<0>(words, kGfniPhiInverse.matrix), swap);
    Xmm::Store(out, chain);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), chain);
  OPENSSL_cleanse(keys, sizeof(keys));
}

#endif
