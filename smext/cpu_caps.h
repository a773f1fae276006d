// What the processor (and the operating system) offers the SIMD code paths:
// probed once, on first use, with two cpuid queries and one xgetbv.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sm_cpu_caps_st {
  int avx2;  // AVX2, with the vector registers saved by the system
  int bmi1;
  int bmi2;
  int avx512vl;  // AVX-512 F and VL on 128/256-bit registers, state saved by the system
  int avx512bw;  // AVX-512 BW, state saved by the system
  int gfni;
  int aesni;
} SM_CPU_CAPS;

// All zero on processors other than x86-64. The record is static.
const SM_CPU_CAPS* sm_cpu_caps(void);

#ifdef __cplusplus
}
#endif
