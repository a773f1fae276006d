// Inside the SM3 core: the round function shared by every compression path,
// and the scalar message words. Each path supplies the message words (its
// own, or ScalarWords below); the rounds are the same code, built
// for each path's instruction set: each path includes this file inside its
// own namespace and target options (so there is no include guard), after
// "smext/sm_bits.h". Everything here has internal linkage.

namespace {

// T_j rotated left by j mod 32, one entry per round.
struct RoundConstants {
  uint32_t t[64];
  constexpr RoundConstants() : t() {
    for (unsigned j = 0; j < 64; ++j) {
      t[j] = std::rotl(j < 16 ? 0x79CC4519u : 0x7A879D8Au, static_cast<int>(j % 32));
    }
  }
};
constexpr RoundConstants kRound;

// The value as computed, as an opaque register: the compiler neither
// re-associates across it nor moves the computation elsewhere.
SM_INLINE uint32_t Kept(uint32_t x) {
#if defined(__GNUC__)
  __asm__("" : "+r"(x));
#endif
  return x;
}

SM_INLINE uint32_t P0(uint32_t x) { return XorRotl<9, 17>(x); }
SM_INLINE uint32_t P1(uint32_t x) { return XorRotl<15, 23>(x); }

// Message words computed between the rounds: the 68 words W on the stack.
// Before each round one word of the expansion is computed, eight rounds ahead
// of its first use, so that the expansion never stalls the rounds; W' is
// taken as the rounds use it. The portable path's words, and those of the
// vector paths' first block, whose vector expansion nothing would overlap.
struct ScalarWords {
  uint32_t w[68];

  explicit ScalarWords(const unsigned char* block) {
    for (unsigned j = 0; j < 16; ++j) {
      w[j] = LoadBe32(block + 4 * j);
    }
  }
  SM_INLINE void Prepare(unsigned j) {
    const unsigned k = j + 12;
    if (k >= 16 && k < 68) {
      w[k] =
          P1(w[k - 16] ^ w[k - 9] ^ std::rotl(w[k - 3], 15)) ^ std::rotl(w[k - 13], 7) ^ w[k - 6];
    }
  }
  SM_INLINE uint32_t W(unsigned j) const { return w[j]; }
  SM_INLINE uint32_t Wp(unsigned j) const { return w[j] ^ w[j + 4]; }
};

// One round in place: the caller rotates the roles of the eight words, so
// only B, D, F and H change here (D takes TT1, H takes P0(TT2)). w is W[j],
// wp is W'[j] = W[j] ^ W[j + 4].
template <bool kEarly>
SM_INLINE void Round(uint32_t a, uint32_t& b, uint32_t c, uint32_t& d, uint32_t e, uint32_t& f,
                     uint32_t g, uint32_t& h, uint32_t w, uint32_t wp, uint32_t t) {
  // A round waits on the A and E of the round before, so the sums take
  // those last: A <<< 12 + T_j is ready before E, and everything that TT1
  // and TT2 add to SS2 and SS1 is summed first. Kept() stops the compiler
  // from re-associating these sums into a longer chain.
  const uint32_t a12 = std::rotl(a, 12);
  const uint32_t ss1 = std::rotl(Kept(a12 + t) + e, 7);
  const uint32_t ss2 = ss1 ^ a12;
  // Majority in its shorter equivalent form; choice as two disjoint
  // halves, which add instead of or-ing.
  const uint32_t ff = kEarly ? (a ^ b ^ c) : ((a & b) | ((a | b) & c));
  const uint32_t tt1 = Kept(ff + (d + wp)) + ss2;
  const uint32_t tt2 = Kept(kEarly ? (e ^ f ^ g) + (h + w) : ((e & f) + (h + w)) + (~e & g)) + ss1;
  b = std::rotl(b, 9);
  d = tt1;
  f = std::rotl(f, 19);
  h = P0(tt2);
}

// Rounds j .. j + 7. Words::Prepare(i) runs before round i and makes sure
// that W(i) and Wp(i) are ready; eight rounds bring every word back to its
// own role.
template <bool kEarly, class Words>
SM_INLINE void EightRounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e,
                           uint32_t& f, uint32_t& g, uint32_t& h, Words& words, unsigned j) {
  words.Prepare(j + 0);
  Round<kEarly>(a, b, c, d, e, f, g, h, words.W(j + 0), words.Wp(j + 0), kRound.t[j + 0]);
  words.Prepare(j + 1);
  Round<kEarly>(d, a, b, c, h, e, f, g, words.W(j + 1), words.Wp(j + 1), kRound.t[j + 1]);
  words.Prepare(j + 2);
  Round<kEarly>(c, d, a, b, g, h, e, f, words.W(j + 2), words.Wp(j + 2), kRound.t[j + 2]);
  words.Prepare(j + 3);
  Round<kEarly>(b, c, d, a, f, g, h, e, words.W(j + 3), words.Wp(j + 3), kRound.t[j + 3]);
  words.Prepare(j + 4);
  Round<kEarly>(a, b, c, d, e, f, g, h, words.W(j + 4), words.Wp(j + 4), kRound.t[j + 4]);
  words.Prepare(j + 5);
  Round<kEarly>(d, a, b, c, h, e, f, g, words.W(j + 5), words.Wp(j + 5), kRound.t[j + 5]);
  words.Prepare(j + 6);
  Round<kEarly>(c, d, a, b, g, h, e, f, words.W(j + 6), words.Wp(j + 6), kRound.t[j + 6]);
  words.Prepare(j + 7);
  Round<kEarly>(b, c, d, a, f, g, h, e, words.W(j + 7), words.Wp(j + 7), kRound.t[j + 7]);
}

// The 64 rounds of one block on state, then the exclusive-or with the old
// chaining value.
template <class Words>
SM_INLINE void CompressBlock(uint32_t state[8], Words& words) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  EightRounds<true>(a, b, c, d, e, f, g, h, words, 0);
  EightRounds<true>(a, b, c, d, e, f, g, h, words, 8);
  EightRounds<false>(a, b, c, d, e, f, g, h, words, 16);
  EightRounds<false>(a, b, c, d, e, f, g, h, words, 24);
  EightRounds<false>(a, b, c, d, e, f, g, h, words, 32);
  EightRounds<false>(a, b, c, d, e, f, g, h, words, 40);
  EightRounds<false>(a, b, c, d, e, f, g, h, words, 48);
  EightRounds<false>(a, b, c, d, e, f, g, h, words, 56);
  state[0] ^= a;
  state[1] ^= b;
  state[2] ^= c;
  state[3] ^= d;
  state[4] ^= e;
  state[5] ^= f;
  state[6] ^= g;
  state[7] ^= h;
}

}  // namespace
