// Inside the SM3 core: the compression code paths and the switch between them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The compression function CF over count consecutive 64-byte blocks.
typedef void (*sm3_compress_fn)(uint32_t state[8], const unsigned char* blocks, size_t count);

typedef enum {
  SM3_IMPL_AUTO = 0,     // the fastest path this processor runs
  SM3_IMPL_PORTABLE,     // plain C++, any processor
  SM3_IMPL_AVX2_BMI2,    // x86-64: vector message expansion (after a call's first
                         // block), rotations by rorx
  SM3_IMPL_AVX512_BMI2,  // the same, the expansion with AVX-512 VL rotations
} sm3_impl;

void sm3_compress_portable(uint32_t state[8], const unsigned char* blocks, size_t count);
#if defined(__x86_64__) && defined(__GNUC__)
void sm3_compress_avx2_bmi2(uint32_t state[8], const unsigned char* blocks, size_t count);
void sm3_compress_avx512_bmi2(uint32_t state[8], const unsigned char* blocks, size_t count);
#endif

// Makes every later compression use impl. Returns 1, or 0 (and changes
// nothing) when this processor cannot run it. For tests and benchmarks.
int sm3_force_impl(sm3_impl impl);
// The path in use now (never SM3_IMPL_AUTO once a block has been compressed
// or a path forced).
sm3_impl sm3_active_impl(void);

#ifdef __cplusplus
}
#endif
