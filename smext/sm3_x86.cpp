// SM3 compression for x86-64 processors with AVX2 and BMI2 (and, where
// present, AVX-512 VL): the message expansion four words at a time in vector
// registers from the second block of a call on, the rounds with rotations
// into another register (rorx).
#include "smext/sm3_impl.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <bit>
#include <cstdint>

#include <immintrin.h>

#include "smext/sm_bits.h"

// Each path is built for its own instruction set, the shared rounds too.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2")
#endif

namespace sm3avx2 {
namespace sm3rounds {
#include "smext/sm3_rounds.h"
}
namespace {
#define SM3_X86_AVX512 0
#include "smext/sm3_x86_body.h"
#undef SM3_X86_AVX512
}  // namespace
}  // namespace sm3avx2

#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,avx512f,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,avx512f,avx512vl")
#endif

namespace sm3avx512 {
namespace sm3rounds {
#include "smext/sm3_rounds.h"
}
namespace {
#define SM3_X86_AVX512 1
#include "smext/sm3_x86_body.h"
#undef SM3_X86_AVX512
}  // namespace
}  // namespace sm3avx512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

void sm3_compress_avx2_bmi2(uint32_t state[8], const unsigned char* blocks, size_t count) {
  sm3avx2::Compress(state, blocks, count);
}

void sm3_compress_avx512_bmi2(uint32_t state[8], const unsigned char* blocks, size_t count) {
  sm3avx512::Compress(state, blocks, count);
}

#endif
