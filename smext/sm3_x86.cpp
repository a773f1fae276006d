// SM3 compression for x86-64 processors with AVX2 and BMI2: the message
// expansion four words at a time in vector registers, the rounds with
// rotations into another register (rorx).
#include "smext/sm3_impl.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

// Everything from here on is built for AVX2 and BMI2, the shared rounds too.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2")
#endif

#include "smext/sm3_rounds.h"


namespace {

template <int kBits>
SM3_INLINE __m128i Rotl(__m128i x) {
    return _mm_or_si128(_mm_slli_epi32(x, kBits), _mm_srli_epi32(x, 32 - kBits));
}

SM3_INLINE __m128i P1(__m128i x) {
    return _mm_xor_si128(x, _mm_xor_si128(Rotl<15>(x), Rotl<23>(x)));
}

// Message words held as seventeen vectors V[k] = W[4k .. 4k + 3], written to
// the stack for the rounds together with W'[4k .. 4k + 3] = V[k] ^ V[k + 1].
//
// W[j] = P1(W[j-16] ^ W[j-9] ^ (W[j-3] <<< 15)) ^ (W[j-13] <<< 7) ^ W[j-6]
// for four consecutive j reads W[j-3 .. j]: the last lane needs W[j] of the
// first. That lane is computed with 0 in its place, then corrected by
// P1(W[j] <<< 15), which P1's linearity allows.
struct VectorWords {
    alignas(16) uint32_t w[68];
    alignas(16) uint32_t wp[64];
    __m128i v[17];

    // Stores four words for the rounds. The rounds then read them from memory
    // as operands of their additions, which is cheaper than taking each word
    // out of the vector register; the empty statement keeps the compiler from
    // doing the latter.
    SM3_INLINE static void Put(uint32_t *to, __m128i x) {
        auto *slot = reinterpret_cast<__m128i *>(to);
        _mm_store_si128(slot, x);
        __asm__("" : "+m"(*slot));
    }

    SM3_INLINE explicit VectorWords(const unsigned char *block) {
        const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
        for (unsigned k = 0; k < 4; ++k) {
            v[k] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * k)), swap);
            Put(w + 4 * k, v[k]);
        }
    }

    SM3_INLINE void Expand(unsigned k) {
        const __m128i w16 = v[k - 4];                              // W[j-16 .. j-13]
        const __m128i w13 = _mm_alignr_epi8(v[k - 3], v[k - 4], 12);  // W[j-13 .. j-10]
        const __m128i w9 = _mm_alignr_epi8(v[k - 2], v[k - 3], 12);   // W[j-9 .. j-6]
        const __m128i w6 = _mm_alignr_epi8(v[k - 1], v[k - 2], 8);    // W[j-6 .. j-3]
        const __m128i w3 = _mm_srli_si128(v[k - 1], 4);               // W[j-3 .. j-1], 0
        __m128i x = P1(_mm_xor_si128(_mm_xor_si128(w16, w9), Rotl<15>(w3)));
        x = _mm_xor_si128(x, _mm_xor_si128(Rotl<7>(w13), w6));
        const __m128i fix = Rotl<15>(_mm_slli_si128(x, 12));  // W[j] <<< 15 in the last lane
        v[k] = _mm_xor_si128(x, P1(fix));
        Put(w + 4 * k, v[k]);
    }

    // Before rounds 4k .. 4k + 3: V[k + 5] for the groups to come, and the W'
    // of the group after the next one. Words are stored a few rounds before
    // they are read, so that no read waits for a store still in flight.
    SM3_INLINE void Prepare(unsigned j) {
        if (j % 4 != 0) {
            return;
        }
        const unsigned k = j / 4;
        if (k == 0) {
            Expand(4);
            Expand(5);
            PutWp(0);
            PutWp(1);
        } else if (k + 5 <= 16) {
            Expand(k + 5);
        }
        if (k + 2 < 16) {
            PutWp(k + 2);
        }
    }
    SM3_INLINE void PutWp(unsigned k) { Put(wp + 4 * k, _mm_xor_si128(v[k], v[k + 1])); }
    SM3_INLINE uint32_t W(unsigned j) const { return w[j]; }
    SM3_INLINE uint32_t Wp(unsigned j) const { return wp[j]; }
};

}  // namespace

void sm3_compress_avx2_bmi2(uint32_t state[8], const unsigned char *blocks,
                                            size_t count) {
    for (; count > 0; --count, blocks += 64) {
        VectorWords words(blocks);
        sm3rounds::CompressBlock(state, words);
    }
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
