// The SM4 S-box as affine maps around an inversion in the AES field, for the
// x86 cores whose instructions invert there (GFNI's affine-inverse, and the
// AES round's SubBytes).
//
// The S-box is S(x) = A(inv(A x + C)) + C, the inverse taken in GF(2^8) modulo
// x^8 + x^7 + x^6 + x^5 + x^4 + x^2 + 1, where row i of the bit matrix A is 0xA7
// rotated left by i and C = 0xD3. That field is isomorphic to the AES field
// (modulo x^8 + x^4 + x^3 + x + 1) through the linear map M that sends x^i to
// beta^i, beta a root of the SM4 polynomial in the AES field, so
//     S(x) = A M^-1 (inv_aes(M A x + M C)) + C.
// Everything here is computed at compile time from those definitions and
// checked against the S-box table for all 256 inputs.
#pragma once

#include <stdint.h>

#include "smext/sm4_local.h"

namespace sm4affine {

// A map from bytes to bytes, as its table.
struct ByteMap {
  uint8_t v[256];
  constexpr uint8_t operator()(unsigned x) const { return v[x & 0xFF]; }
};

template <typename F>
constexpr ByteMap Tabulate(F f) {
  ByteMap m{};
  for (unsigned x = 0; x < 256; ++x) m.v[x] = static_cast<uint8_t>(f(x));
  return m;
}

constexpr unsigned kSm4Poly = 0x1F5;
constexpr unsigned kAesPoly = 0x11B;

constexpr unsigned GfMul(unsigned a, unsigned b, unsigned poly) {
  unsigned r = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) r ^= a;
    a <<= 1;
    if (a & 0x100) a ^= poly;
  }
  return r;
}

// x^254, which is the inverse for x != 0 and 0 for 0.
constexpr unsigned GfInv(unsigned x, unsigned poly) {
  unsigned result = 1, power = x;
  for (unsigned e = 254; e != 0; e >>= 1) {
    if (e & 1) result = GfMul(result, power, poly);
    power = GfMul(power, power, poly);
  }
  return result;
}

constexpr unsigned Parity(unsigned x) { return __builtin_popcount(x) & 1; }
constexpr unsigned Rotl8(unsigned x, unsigned n) { return ((x << n) | (x >> (8 - n))) & 0xFF; }

// The S-box's own affine map: output bit i is the parity of x AND (0xA7 <<< i).
constexpr unsigned Sm4Affine(unsigned x) {
  unsigned y = 0;
  for (unsigned i = 0; i < 8; ++i) y |= Parity(x & Rotl8(0xA7, i)) << i;
  return y ^ 0xD3;
}

constexpr unsigned FindBeta() {
  for (unsigned b = 2; b < 256; ++b) {
    unsigned sum = 0, power = 1;
    for (unsigned i = 0; i <= 8; ++i) {
      if ((kSm4Poly >> i) & 1) sum ^= power;
      power = GfMul(power, b, kAesPoly);
    }
    if (sum == 0) return b;
  }
  return 0;
}
constexpr unsigned kBeta = FindBeta();
static_assert(kBeta != 0, "the SM4 field polynomial has a root in the AES field");

// M: the SM4 field to the AES field.
constexpr ByteMap kToAes = Tabulate([](unsigned x) {
  unsigned y = 0, power = 1;
  for (unsigned i = 0; i < 8; ++i) {
    if ((x >> i) & 1) y ^= power;
    power = GfMul(power, kBeta, kAesPoly);
  }
  return y;
});

constexpr ByteMap Inverse(const ByteMap& m) {
  ByteMap r{};
  for (unsigned x = 0; x < 256; ++x) r.v[m.v[x]] = static_cast<uint8_t>(x);
  return r;
}
constexpr ByteMap kFromAes = Inverse(kToAes);

// The map applied before the AES-field inversion, and the one after it.
constexpr ByteMap kPre = Tabulate([](unsigned x) { return kToAes(Sm4Affine(x)); });
constexpr ByteMap kPost = Tabulate([](unsigned w) { return Sm4Affine(kFromAes(w)); });

// AES SubBytes: its affine map after the inversion; and that map undone.
constexpr unsigned AesAffine(unsigned b) {
  return b ^ Rotl8(b, 1) ^ Rotl8(b, 2) ^ Rotl8(b, 3) ^ Rotl8(b, 4) ^ 0x63;
}
constexpr ByteMap kAesAffine = Tabulate(AesAffine);
constexpr ByteMap kAesAffineUndone = Inverse(kAesAffine);
// After SubBytes: undo its affine map, then the SM4 post map.
constexpr ByteMap kPostSubBytes = Tabulate([](unsigned w) { return kPost(kAesAffineUndone(w)); });

// An affine byte map as the 8x8 bit matrix of the GFNI affine instructions:
// byte 7 - i of the matrix selects the input bits whose parity is output bit i.
struct GfniAffine {
  uint64_t matrix;
  uint8_t constant;
};

constexpr GfniAffine GfniOf(const ByteMap& f) {
  uint64_t matrix = 0;
  for (unsigned i = 0; i < 8; ++i) {
    unsigned row = 0;
    for (unsigned j = 0; j < 8; ++j) row |= (((f(1u << j) ^ f(0)) >> i) & 1) << j;
    matrix |= uint64_t{row} << (8 * (7 - i));
  }
  return {matrix, f(0)};
}

// What the instruction computes on one byte (the model the checks below use).
constexpr unsigned GfniApply(const GfniAffine& a, unsigned x) {
  unsigned y = 0;
  for (unsigned i = 0; i < 8; ++i) y |= Parity(unsigned(a.matrix >> (8 * (7 - i))) & x) << i;
  return y ^ a.constant;
}

// Two 16-entry tables for one affine map on bytes: lo[x & 15] ^ hi[x >> 4].
struct NibbleTables {
  uint8_t lo[16];
  uint8_t hi[16];
};

constexpr NibbleTables NibblesOf(const ByteMap& f) {
  NibbleTables t{};
  for (unsigned n = 0; n < 16; ++n) {
    t.lo[n] = f(n);
    t.hi[n] = static_cast<uint8_t>(f(n << 4) ^ f(0));
  }
  return t;
}

constexpr GfniAffine kGfniPre = GfniOf(kPre);
constexpr GfniAffine kGfniPost = GfniOf(kPost);
constexpr NibbleTables kNibblePre = NibblesOf(kPre);
constexpr NibbleTables kNibblePostSubBytes = NibblesOf(kPostSubBytes);

constexpr bool GfniPathGivesSbox() {
  for (unsigned x = 0; x < 256; ++x) {
    const unsigned y = GfniApply(kGfniPre, x);
    if (GfniApply(kGfniPost, GfInv(y, kAesPoly)) != SM4_SBOX[x]) return false;
  }
  return true;
}

constexpr bool AesPathGivesSbox() {
  for (unsigned x = 0; x < 256; ++x) {
    const unsigned y = kNibblePre.lo[x & 15] ^ kNibblePre.hi[x >> 4];
    const unsigned w = AesAffine(GfInv(y, kAesPoly));
    if ((kNibblePostSubBytes.lo[w & 15] ^ kNibblePostSubBytes.hi[w >> 4]) != SM4_SBOX[x])
      return false;
  }
  return true;
}

static_assert(GfniPathGivesSbox(), "GFNI maps reproduce the S-box");
static_assert(AesPathGivesSbox(), "SubBytes maps reproduce the S-box");

// The serial (one block) GFNI core keeps its words in the basis Phi, the
// linear part of kPre applied to each byte, so that the S-box input is a plain
// exclusive-or of stored words and round keys and needs no map of its own.
// In that basis the whole round T(a) = L(S(a)) becomes, with s = S(a),
//     Phi(T(a)) = F0 ^ (F8 <<< 8) ^ (F8 <<< 16) ^ (F24 <<< 24)
// where F0 = (Phi + Phi.shl2)(s), F8 = (Phi.shl2 + Phi.shr6)(s) and
// F24 = (Phi + Phi.shr6)(s), shl2 and shr6 shifting each byte: rotating a word
// left by 2 sends bits 0..5 of each byte up by 2 and bits 6, 7 into the next
// byte. Each F is one affine-inverse instruction on the same input.
constexpr ByteMap kPhi = Tabulate([](unsigned x) { return kPre(x) ^ kPre(0); });
constexpr ByteMap kPhiInverse = Inverse(kPhi);

constexpr unsigned PhiShl2(unsigned s) { return kPhi((s << 2) & 0xFF); }
constexpr unsigned PhiShr6(unsigned s) { return kPhi(s >> 6); }

constexpr GfniAffine kGfniF0 = GfniOf(Tabulate([](unsigned w) {
  const unsigned s = kPost(w);
  return kPhi(s) ^ PhiShl2(s);
}));
constexpr GfniAffine kGfniF8 = GfniOf(Tabulate([](unsigned w) {
  const unsigned s = kPost(w);
  return PhiShl2(s) ^ PhiShr6(s);
}));
constexpr GfniAffine kGfniF24 = GfniOf(Tabulate([](unsigned w) {
  const unsigned s = kPost(w);
  return kPhi(s) ^ PhiShr6(s);
}));
constexpr GfniAffine kGfniPhi = GfniOf(kPhi);
constexpr GfniAffine kGfniPhiInverse = GfniOf(kPhiInverse);
// The constant of kPre, added to every byte of each round key in that basis.
constexpr uint8_t kPreConstant = kPre(0);

constexpr uint32_t Rotl32(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

constexpr uint32_t EachByte(const ByteMap& m, uint32_t x) {
  uint32_t y = 0;
  for (unsigned k = 0; k < 32; k += 8) y |= uint32_t{m((x >> k) & 0xFF)} << k;
  return y;
}

constexpr uint32_t EachByteGfniInverse(const GfniAffine& f, uint32_t y) {
  uint32_t r = 0;
  for (unsigned k = 0; k < 32; k += 8)
    r |= uint32_t{uint8_t(GfniApply(f, GfInv((y >> k) & 0xFF, kAesPoly)))} << k;
  return r;
}

// The round in the basis against the round as defined, Phi(L(S(a))), for
// every value of each byte of a (the others zero). Both sides are exclusive-
// ors of one function per byte position, so this covers every word.
constexpr bool PhiRoundMatchesRound() {
  const ByteMap sbox = Tabulate([](unsigned x) { return SM4_SBOX[x]; });
  for (unsigned k = 0; k < 32; k += 8) {
    for (uint32_t x = 0; x < 256; ++x) {
      const uint32_t a = x << k;
      const uint32_t s = EachByte(sbox, a);
      const uint32_t t = s ^ Rotl32(s, 2) ^ Rotl32(s, 10) ^ Rotl32(s, 18) ^ Rotl32(s, 24);
      // The core's S-box input: Phi(a) plus the pre map's constant.
      const uint32_t y = EachByte(kPhi, a) ^ 0x01010101u * kPreConstant;
      const uint32_t f0 = EachByteGfniInverse(kGfniF0, y), f8 = EachByteGfniInverse(kGfniF8, y);
      const uint32_t f24 = EachByteGfniInverse(kGfniF24, y);
      if ((f0 ^ Rotl32(f8, 8) ^ Rotl32(f8, 16) ^ Rotl32(f24, 24)) != EachByte(kPhi, t))
        return false;
      if (EachByte(kPhiInverse, EachByte(kPhi, a)) != a) return false;
      if (GfniApply(kGfniPhi, x) != kPhi(x) || GfniApply(kGfniPhiInverse, x) != kPhiInverse(x))
        return false;
    }
  }
  return true;
}
static_assert(PhiRoundMatchesRound(), "the round in the Phi basis is the SM4 round");

}  // namespace sm4affine
