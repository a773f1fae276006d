// Inside the SM3 core: the vector message expansion and the compression
// loop of the x86-64 paths. Included once for each instruction set, inside
// that set's target options and namespace; SM3_X86_AVX512 chooses the
// rotations of AVX-512 VL over those of AVX2.
//
// W[j] = P1(W[j-16] ^ W[j-9] ^ (W[j-3] <<< 15)) ^ (W[j-13] <<< 7) ^ W[j-6]
// for four consecutive j reads W[j-3 .. j]: the last lane needs W[j] of the
// first. That lane is computed with 0 in its place, then corrected by
// P1(W[j] <<< 15), which P1's linearity allows. The words are held as
// seventeen vectors V[k] = W[4k .. 4k + 3]; W'[4k .. 4k + 3] is V[k] ^ V[k + 1].
//
// The expansion of a block runs between the rounds of the block before, so
// that the rounds never wait for it; the first block of a call, which has
// no block before it, takes its words from the scalar expansion instead.
// (No include guard: this file is meant to be included more than once.)

#if SM3_X86_AVX512
// One instruction for a rotation, one for the exclusive-or of three.
template <int kBits>
SM_INLINE __m128i Rotl(__m128i x) {
  return _mm_rol_epi32(x, kBits);
}

SM_INLINE __m128i P1(__m128i x) {
  return _mm_ternarylogic_epi32(x, Rotl<15>(x), Rotl<23>(x), 0x96);
}
#else
template <int kBits>
SM_INLINE __m128i Rotl(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, kBits), _mm_srli_epi32(x, 32 - kBits));
}

SM_INLINE __m128i P1(__m128i x) {
  return _mm_xor_si128(x, _mm_xor_si128(Rotl<15>(x), Rotl<23>(x)));
}
#endif

// The message words of one block as the rounds read them: W[0 .. 67] and
// W'[0 .. 63].
struct Schedule {
  alignas(16) uint32_t w[68];
  alignas(16) uint32_t wp[64];
};

// Expands one block into a Schedule, in steps that the rounds of the block
// before run between theirs.
struct Expander {
  __m128i v[17];
  Schedule* out = nullptr;

  // Stores four words for the rounds. The rounds then read them from memory
  // as operands of their additions, which is cheaper than taking each word
  // out of the vector register; the empty statement keeps the compiler from
  // doing the latter.
  SM_INLINE static void Put(uint32_t* to, __m128i x) {
    auto* slot = reinterpret_cast<__m128i*>(to);
    _mm_store_si128(slot, x);
    __asm__("" : "+m"(*slot));
  }

  SM_INLINE void Load(const unsigned char* block, Schedule* to) {
    out = to;
    const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    v[0] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), swap);
    v[1] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16)), swap);
    v[2] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 32)), swap);
    v[3] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 48)), swap);
    for (unsigned k = 0; k < 4; ++k) {
      Put(out->w + 4 * k, v[k]);
    }
    for (unsigned k = 0; k < 3; ++k) {
      PutWp(k);
    }
  }

  // V[k] for 4 <= k <= 16 (the words from j = 4k on), then the W' that it
  // completes.
  SM_INLINE void Step(unsigned k) {
    const __m128i w16 = v[k - 4];                                 // W[j-16 .. j-13]
    const __m128i w13 = _mm_alignr_epi8(v[k - 3], v[k - 4], 12);  // W[j-13 .. j-10]
    const __m128i w9 = _mm_alignr_epi8(v[k - 2], v[k - 3], 12);   // W[j-9 .. j-6]
    const __m128i w6 = _mm_alignr_epi8(v[k - 1], v[k - 2], 8);    // W[j-6 .. j-3]
    const __m128i w3 = _mm_srli_si128(v[k - 1], 4);               // W[j-3 .. j-1], 0
    __m128i x = P1(_mm_xor_si128(_mm_xor_si128(w16, w9), Rotl<15>(w3)));
    x = _mm_xor_si128(x, _mm_xor_si128(Rotl<7>(w13), w6));
    const __m128i fix = Rotl<15>(_mm_slli_si128(x, 12));  // W[j] <<< 15 in the last lane
    v[k] = _mm_xor_si128(x, P1(fix));
    Put(out->w + 4 * k, v[k]);
    PutWp(k - 1);
  }
  SM_INLINE void PutWp(unsigned k) { Put(out->wp + 4 * k, _mm_xor_si128(v[k], v[k + 1])); }
};

// The words of a block from a finished Schedule.
struct ScheduleWords {
  const Schedule* s;

  SM_INLINE void Prepare(unsigned) {}
  SM_INLINE uint32_t W(unsigned j) const { return s->w[j]; }
  SM_INLINE uint32_t Wp(unsigned j) const { return s->wp[j]; }
};

// The words of the block being compressed (Cur); before every fourth round
// the expansion of the next block moves one step.
template <class Cur>
struct PipelinedWords {
  Cur& cur;
  Expander* next;  // null for the last block

  SM_INLINE void Prepare(unsigned j) {
    cur.Prepare(j);
    if (next != nullptr && j % 4 == 0 && j / 4 + 4 <= 16) {
      next->Step(j / 4 + 4);
    }
  }
  SM_INLINE uint32_t W(unsigned j) const { return cur.W(j); }
  SM_INLINE uint32_t Wp(unsigned j) const { return cur.Wp(j); }
};

// The rounds of one block with the words of cur, and the expansion of the
// next block between them when there is one. Two copies of the rounds, with
// and without the next expansion, so that neither tests for it between
// rounds.
template <class Cur>
SM_INLINE void CompressOne(uint32_t state[8], Cur& cur, const unsigned char* next,
                           Expander* expander, Schedule* to) {
  PipelinedWords<Cur> words{cur, nullptr};
  if (next != nullptr) {
    expander->Load(next, to);
    words.next = expander;
    sm3rounds::CompressBlock(state, words);
  } else {
    sm3rounds::CompressBlock(state, words);
  }
}

void Compress(uint32_t state[8], const unsigned char* blocks, size_t count) {
  if (count == 0) {
    return;
  }
  // Nothing runs before the first block to hide its vector expansion: its
  // words come from the scalar expansion between its own rounds, beside the
  // vector expansion of the second block.
  Schedule schedules[2];
  Expander expander;
  sm3rounds::ScalarWords first(blocks);
  CompressOne(state, first, count > 1 ? blocks + 64 : nullptr, &expander, &schedules[1]);
  for (size_t i = 1; i < count; ++i) {
    ScheduleWords cur{&schedules[i % 2]};
    CompressOne(state, cur, i + 1 < count ? blocks + 64 * (i + 1) : nullptr, &expander,
                &schedules[(i + 1) % 2]);
  }
}
