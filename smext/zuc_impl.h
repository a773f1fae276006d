// Inside the ZUC core: the keystream code paths and the switch between them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "smext/zuc.h"

#ifdef __cplusplus
extern "C" {
#endif

// out = in ^ the next blocks * 16 keystream words (64 bytes a block).
typedef void (*zuc_xor_fn)(ZUC_STATE* state, unsigned char* out, const unsigned char* in,
                           size_t blocks);

typedef enum {
  ZUC_IMPL_AUTO = 0,     // the preferred path this processor runs
  ZUC_IMPL_PORTABLE,     // plain C++ with S-box tables, any processor
  ZUC_IMPL_GFNI_AVX512,  // x86-64: F in vector registers, S-boxes computed (no tables)
} zuc_impl;

// F on one word (zuc_f): W from X0 .. X2, R1 and R2 moved on.
typedef uint32_t (*zuc_f_fn)(ZUC_STATE* state);

// A code path: its block keystream and its F, so that the key set-up and
// single words use the same S-box code as the blocks.
typedef struct {
  zuc_impl impl;
  zuc_xor_fn xor_blocks;
  zuc_f_fn f;
} ZUC_PATH;

extern const ZUC_PATH zuc_path_portable;
#if defined(__x86_64__) && defined(__GNUC__)
extern const ZUC_PATH zuc_path_gfni_avx512;
#endif

// out = in ^ keystream over len bytes: a new word for every 4 bytes, the
// unused bytes of the last word dropped (ceil(len / 4) words in all).
void zuc_xor_stream(ZUC_STATE* state, unsigned char* out, const unsigned char* in, size_t len);

// Makes every later keystream use impl. Returns 1, or 0 (and changes nothing)
// when this processor cannot run it. For tests and benchmarks.
int zuc_force_impl(zuc_impl impl);
// The path in use now (never ZUC_IMPL_AUTO once a path has been chosen).
zuc_impl zuc_active_impl(void);

#ifdef __cplusplus
}
#endif
