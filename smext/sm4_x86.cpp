// x86-64 vector cores of SM4-CBC. The S-box is computed, not looked up: with
// GFNI as an affine map, an inversion in the AES field and another affine map
// (sm4_affine.h); with AES-NI the same inversion comes from the AES round's
// SubBytes, the affine maps from nibble shuffles. Nothing is indexed by data.
// Each function is compiled for its own instruction set; the file as a whole
// builds for baseline x86-64 and callers check sm4_x86_has first.
#include "smext/sm4_local.h"

#if defined(__x86_64__)

#include <cpuid.h>
// The compiler's own vector headers set off false uninitialised-value warnings.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <openssl/crypto.h>

#include "smext/sm4_affine.h"

#define SM4_GFNI_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,gfni")))
#define SM4_AESNI_TARGET __attribute__((target("avx2,aes")))

namespace {

using namespace sm4affine;

struct CpuFeatures {
    bool aesni;  // AVX2 and AES-NI, with the ymm state enabled by the system
    bool gfni;   // AVX-512 F, BW, VL and GFNI, with the zmm state enabled
};

CpuFeatures DetectFeatures() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return {false, false};
    const bool osxsave = ecx & (1u << 27), avx = ecx & (1u << 28), aes = ecx & (1u << 25);
    if (!osxsave || !avx || __get_cpuid_max(0, nullptr) < 7) return {false, false};
    unsigned xcr0Low = 0, xcr0High = 0;
    asm volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
    const bool ymmState = (xcr0Low & 0x06) == 0x06;
    const bool zmmState = (xcr0Low & 0xE6) == 0xE6;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool avx2 = ebx & (1u << 5), avx512f = ebx & (1u << 16);
    const bool avx512bw = ebx & (1u << 30), avx512vl = ebx & (1u << 31);
    const bool gfni = ecx & (1u << 8);
    return {ymmState && avx2 && aes, zmmState && avx512f && avx512bw && avx512vl && gfni};
}

// Byte order within each 32-bit word reversed: block bytes to big-endian words.
constexpr char kByteSwap[16] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};

// ---- GFNI, 16 blocks in four zmm registers ----

// 4x4 transpose of 32-bit words within each 128-bit lane of four registers:
// block-per-lane becomes word-per-register and back.
SM4_GFNI_TARGET inline void Transpose(__m512i &a, __m512i &b, __m512i &c, __m512i &d) {
    const __m512i t0 = _mm512_unpacklo_epi32(a, b), t1 = _mm512_unpackhi_epi32(a, b);
    const __m512i t2 = _mm512_unpacklo_epi32(c, d), t3 = _mm512_unpackhi_epi32(c, d);
    a = _mm512_unpacklo_epi64(t0, t2);
    b = _mm512_unpackhi_epi64(t0, t2);
    c = _mm512_unpacklo_epi64(t1, t3);
    d = _mm512_unpackhi_epi64(t1, t3);
}

SM4_GFNI_TARGET inline __m512i SboxGfni(__m512i x) {
    x = _mm512_gf2p8affine_epi64_epi8(x, _mm512_set1_epi64(static_cast<long long>(kGfniPre.matrix)),
                                      kGfniPre.constant);
    return _mm512_gf2p8affineinv_epi64_epi8(
        x, _mm512_set1_epi64(static_cast<long long>(kGfniPost.matrix)), kGfniPost.constant);
}

// x0 ^= T(x1 ^ x2 ^ x3 ^ k) on every word.
SM4_GFNI_TARGET inline void RoundGfni(__m512i &x0, __m512i x1, __m512i x2, __m512i x3, uint32_t k) {
    const __m512i a = _mm512_xor_si512(_mm512_ternarylogic_epi32(x1, x2, x3, 0x96),
                                       _mm512_set1_epi32(static_cast<int>(k)));
    const __m512i s = SboxGfni(a);
    const __m512i u = _mm512_ternarylogic_epi32(s, _mm512_rol_epi32(s, 2), _mm512_rol_epi32(s, 10), 0x96);
    const __m512i v = _mm512_ternarylogic_epi32(x0, _mm512_rol_epi32(s, 18), _mm512_rol_epi32(s, 24), 0x96);
    x0 = _mm512_xor_si512(u, v);
}

// ---- AES-NI, 8 blocks in four ymm registers ----

SM4_AESNI_TARGET inline void Transpose(__m256i &a, __m256i &b, __m256i &c, __m256i &d) {
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

SM4_AESNI_TARGET inline __m256i Both(const char *bytes16) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes16)));
}

SM4_AESNI_TARGET inline __m256i Both(const uint8_t *bytes16) {
    return Both(reinterpret_cast<const char *>(bytes16));
}

// An affine byte map by two nibble lookups (the tables are constants; the
// shuffle selects within a register).
SM4_AESNI_TARGET inline __m256i NibbleAffine(__m256i x, __m256i lo, __m256i hi) {
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    return _mm256_xor_si256(_mm256_shuffle_epi8(lo, _mm256_and_si256(x, low4)),
                            _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(x, 4), low4)));
}

SM4_AESNI_TARGET inline __m256i SboxAesni(__m256i x) {
    __m256i y = NibbleAffine(x, Both(kNibblePre.lo), Both(kNibblePre.hi));
    y = _mm256_shuffle_epi8(y, Both(kMasks.invShiftRows));
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_aesenclast_si128(_mm256_castsi256_si128(y), zero);
    const __m128i high = _mm_aesenclast_si128(_mm256_extracti128_si256(y, 1), zero);
    y = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    return NibbleAffine(y, Both(kNibblePostSubBytes.lo), Both(kNibblePostSubBytes.hi));
}

// x0 ^= T(x1 ^ x2 ^ x3 ^ k), with L(s) = s ^ (s <<< 24) ^ ((s ^ (s <<< 8) ^ (s <<< 16)) <<< 2).
SM4_AESNI_TARGET inline void RoundAesni(__m256i &x0, __m256i x1, __m256i x2, __m256i x3, uint32_t k) {
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
    case SM4_IMPL_AESNI:
        return features.aesni ? 1 : 0;
    case SM4_IMPL_GFNI:
        return features.gfni ? 1 : 0;
    default:
        return 0;
    }
}

// Each group: 16 ciphertext blocks loaded, decrypted together, each then
// exclusive-ored with the ciphertext block before it (the chaining value for
// the first). All of a group is read before any of it is written.
SM4_GFNI_TARGET void sm4_gfni_cbc_decrypt_groups(const uint32_t rk[SM4_ROUNDS], unsigned char iv[16],
                                                 unsigned char *out, const unsigned char *in,
                                                 size_t groups) {
    const __m512i swap = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i *>(kByteSwap)));
    // Lane 3 holds the ciphertext block before the group.
    __m512i previous = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i *>(iv)));
    for (; groups > 0; --groups, in += 16 * SM4_BLOCK_SIZE, out += 16 * SM4_BLOCK_SIZE) {
        const __m512i c0 = _mm512_loadu_si512(in), c1 = _mm512_loadu_si512(in + 64);
        const __m512i c2 = _mm512_loadu_si512(in + 128), c3 = _mm512_loadu_si512(in + 192);
        __m512i x0 = _mm512_shuffle_epi8(c0, swap), x1 = _mm512_shuffle_epi8(c1, swap);
        __m512i x2 = _mm512_shuffle_epi8(c2, swap), x3 = _mm512_shuffle_epi8(c3, swap);
        Transpose(x0, x1, x2, x3);
#pragma GCC unroll 8
        for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
            RoundGfni(x0, x1, x2, x3, rk[r]);
            RoundGfni(x1, x2, x3, x0, rk[r + 1]);
            RoundGfni(x2, x3, x0, x1, rk[r + 2]);
            RoundGfni(x3, x0, x1, x2, rk[r + 3]);
        }
        // X35, X34, X33, X32.
        Transpose(x3, x2, x1, x0);
        _mm512_storeu_si512(out, _mm512_xor_si512(_mm512_shuffle_epi8(x3, swap),
                                                  _mm512_alignr_epi64(c0, previous, 6)));
        _mm512_storeu_si512(out + 64, _mm512_xor_si512(_mm512_shuffle_epi8(x2, swap),
                                                       _mm512_alignr_epi64(c1, c0, 6)));
        _mm512_storeu_si512(out + 128, _mm512_xor_si512(_mm512_shuffle_epi8(x1, swap),
                                                        _mm512_alignr_epi64(c2, c1, 6)));
        _mm512_storeu_si512(out + 192, _mm512_xor_si512(_mm512_shuffle_epi8(x0, swap),
                                                        _mm512_alignr_epi64(c3, c2, 6)));
        previous = c3;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(iv), _mm512_extracti32x4_epi32(previous, 3));
}

// As above with 8 blocks in ymm registers.
SM4_AESNI_TARGET void sm4_aesni_cbc_decrypt_groups(const uint32_t rk[SM4_ROUNDS], unsigned char iv[16],
                                                   unsigned char *out, const unsigned char *in,
                                                   size_t groups) {
    const __m256i swap = Both(kByteSwap);
    // The high lane holds the ciphertext block before the group.
    __m256i previous = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(iv)));
    for (; groups > 0; --groups, in += 8 * SM4_BLOCK_SIZE, out += 8 * SM4_BLOCK_SIZE) {
        const auto *src = reinterpret_cast<const __m256i *>(in);
        auto *dst = reinterpret_cast<__m256i *>(out);
        const __m256i c0 = _mm256_loadu_si256(src), c1 = _mm256_loadu_si256(src + 1);
        const __m256i c2 = _mm256_loadu_si256(src + 2), c3 = _mm256_loadu_si256(src + 3);
        __m256i x0 = _mm256_shuffle_epi8(c0, swap), x1 = _mm256_shuffle_epi8(c1, swap);
        __m256i x2 = _mm256_shuffle_epi8(c2, swap), x3 = _mm256_shuffle_epi8(c3, swap);
        Transpose(x0, x1, x2, x3);
#pragma GCC unroll 8
        for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
            RoundAesni(x0, x1, x2, x3, rk[r]);
            RoundAesni(x1, x2, x3, x0, rk[r + 1]);
            RoundAesni(x2, x3, x0, x1, rk[r + 2]);
            RoundAesni(x3, x0, x1, x2, rk[r + 3]);
        }
        Transpose(x3, x2, x1, x0);
        _mm256_storeu_si256(dst, _mm256_xor_si256(_mm256_shuffle_epi8(x3, swap),
                                                  _mm256_permute2x128_si256(previous, c0, 0x21)));
        _mm256_storeu_si256(dst + 1, _mm256_xor_si256(_mm256_shuffle_epi8(x2, swap),
                                                      _mm256_permute2x128_si256(c0, c1, 0x21)));
        _mm256_storeu_si256(dst + 2, _mm256_xor_si256(_mm256_shuffle_epi8(x1, swap),
                                                      _mm256_permute2x128_si256(c1, c2, 0x21)));
        _mm256_storeu_si256(dst + 3, _mm256_xor_si256(_mm256_shuffle_epi8(x0, swap),
                                                      _mm256_permute2x128_si256(c2, c3, 0x21)));
        previous = c3;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(iv), _mm256_extracti128_si256(previous, 1));
}

namespace {

// One round of the serial core in the Phi basis (sm4_affine.h): y is the
// S-box input, yi the word this round replaces, rest = y[i+2] ^ y[i+3] ^ the
// next round key. Returns the next S-box input; three instructions after the
// three affine-inverse ones.
SM4_GFNI_TARGET inline __attribute__((always_inline)) __m128i SerialRoundGfni(__m128i &yi, __m128i y,
                                                                               __m128i rest) {
    const __m128i f0 = _mm_gf2p8affineinv_epi64_epi8(y, _mm_set1_epi64x(static_cast<long long>(kGfniF0.matrix)),
                                                     kGfniF0.constant);
    const __m128i f8 = _mm_gf2p8affineinv_epi64_epi8(y, _mm_set1_epi64x(static_cast<long long>(kGfniF8.matrix)),
                                                     kGfniF8.constant);
    const __m128i f24 = _mm_gf2p8affineinv_epi64_epi8(
        y, _mm_set1_epi64x(static_cast<long long>(kGfniF24.matrix)), kGfniF24.constant);
    const __m128i u = _mm_ternarylogic_epi32(f0, _mm_rol_epi32(f8, 8), _mm_rol_epi32(f8, 16), 0x96);
    const __m128i r24 = _mm_rol_epi32(f24, 24);
    const __m128i other = _mm_xor_si128(rest, yi);
    yi = _mm_ternarylogic_epi32(yi, u, r24, 0x96);
    return _mm_ternarylogic_epi32(other, u, r24, 0x96);
}

}  // namespace

// CBC encryption block by block; only the first 32-bit element of each
// register carries a word.
SM4_GFNI_TARGET void sm4_gfni_cbc_encrypt_blocks(const uint32_t rk[SM4_ROUNDS], unsigned char iv[16],
                                                 unsigned char *out, const unsigned char *in,
                                                 size_t nblocks) {
    const __m128i swap = _mm_loadu_si128(reinterpret_cast<const __m128i *>(kByteSwap));
    const __m128i phi = _mm_set1_epi64x(static_cast<long long>(kGfniPhi.matrix));
    const __m128i phiInverse = _mm_set1_epi64x(static_cast<long long>(kGfniPhiInverse.matrix));
    // Round keys in the basis, each byte also carrying the pre map's constant.
    alignas(16) uint32_t keys[SM4_ROUNDS + 1];
    for (unsigned i = 0; i < SM4_ROUNDS; i += 4) {
        const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rk + i));
        _mm_store_si128(reinterpret_cast<__m128i *>(keys + i), _mm_gf2p8affine_epi64_epi8(k, phi, kPreConstant));
    }
    keys[SM4_ROUNDS] = 0;
    __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i *>(iv));
    for (; nblocks > 0; --nblocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
        __m128i m = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)), chain);
        m = _mm_gf2p8affine_epi64_epi8(_mm_shuffle_epi8(m, swap), phi, 0);
        __m128i y0 = m, y1 = _mm_shuffle_epi32(m, 1), y2 = _mm_shuffle_epi32(m, 2), y3 = _mm_shuffle_epi32(m, 3);
        __m128i y = _mm_ternarylogic_epi32(y1, y2, _mm_xor_si128(y3, _mm_cvtsi32_si128(static_cast<int>(keys[0]))),
                                           0x96);
#pragma GCC unroll 8
        for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
            y = SerialRoundGfni(y0, y, _mm_xor_si128(_mm_xor_si128(y2, y3), _mm_cvtsi32_si128(static_cast<int>(keys[r + 1]))));
            y = SerialRoundGfni(y1, y, _mm_xor_si128(_mm_xor_si128(y3, y0), _mm_cvtsi32_si128(static_cast<int>(keys[r + 2]))));
            y = SerialRoundGfni(y2, y, _mm_xor_si128(_mm_xor_si128(y0, y1), _mm_cvtsi32_si128(static_cast<int>(keys[r + 3]))));
            y = SerialRoundGfni(y3, y, _mm_xor_si128(_mm_xor_si128(y1, y2), _mm_cvtsi32_si128(static_cast<int>(keys[r + 4]))));
        }
        // X35, X34, X33, X32 back from the basis.
        const __m128i words = _mm_unpacklo_epi64(_mm_unpacklo_epi32(y3, y2), _mm_unpacklo_epi32(y1, y0));
        chain = _mm_shuffle_epi8(_mm_gf2p8affine_epi64_epi8(words, phiInverse, 0), swap);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), chain);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(iv), chain);
    OPENSSL_cleanse(keys, sizeof(keys));
}

#endif
