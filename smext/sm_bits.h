// Bit and byte operations on 32-bit words shared by the SM cores: rotations,
// exclusive-ors of rotations, and big-endian loads and stores. Each has
// internal linkage (static), so that a file built under its own target
// options (the vector cores) keeps its own build of them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// Forced inline, for the cores' round helpers too: what they pass by
// reference must stay in registers.
#define SM_INLINE inline __attribute__((always_inline))
#define SM_BITS_INLINE static SM_INLINE

// Rotation of a 32-bit word to the left by n mod 32.
static constexpr uint32_t rotl32(uint32_t x, unsigned n) {
  return std::rotl(x, static_cast<int>(n % 32));
}

// x ^ (x <<< k) for every k of kShifts: the linear transforms of the cores
// (SM4's L is XorRotl<2, 10, 18, 24>, as is ZUC's L1).
template <int... kShifts>
SM_BITS_INLINE constexpr uint32_t XorRotl(uint32_t x) {
  return (x ^ ... ^ std::rotl(x, kShifts));
}

// The word whose bytes, most significant first, are p[0..3].
SM_BITS_INLINE uint32_t LoadBe32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  if constexpr (std::endian::native == std::endian::little) {
    v = __builtin_bswap32(v);
  }
  return v;
}

// Writes v to p[0..3], most significant byte first.
SM_BITS_INLINE void StoreBe32(unsigned char* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    v = __builtin_bswap32(v);
  }
  std::memcpy(p, &v, sizeof(v));
}
