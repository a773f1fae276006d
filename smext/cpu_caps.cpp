// One probe of the processor's features, made when a SIMD path is first chosen.
#include "smext/cpu_caps.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace {

SM_CPU_CAPS Probe() {
  SM_CPU_CAPS caps{};
#if defined(__x86_64__) && defined(__GNUC__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0 || eax < 7) {
    return caps;
  }
  __cpuid(1, eax, ebx, ecx, edx);
  const bool osxsave = (ecx >> 27) & 1;
  const bool avx = (ecx >> 28) & 1;
  caps.aesni = (ecx >> 25) & 1;
  unsigned long long xcr0 = 0;
  if (osxsave) {
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    xcr0 = (static_cast<unsigned long long>(hi) << 32) | lo;
  }
  // The system saves the SSE and AVX halves (bits 1, 2), and for AVX-512 the
  // mask and upper registers too (bits 5 to 7).
  const bool ymmSaved = avx && (xcr0 & 0x6) == 0x6;
  const bool zmmSaved = ymmSaved && (xcr0 & 0xE0) == 0xE0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  caps.bmi1 = (ebx >> 3) & 1;
  caps.bmi2 = (ebx >> 8) & 1;
  caps.avx2 = ymmSaved && ((ebx >> 5) & 1);
  caps.avx512vl = zmmSaved && ((ebx >> 16) & 1) && ((ebx >> 31) & 1);
  caps.avx512bw = zmmSaved && ((ebx >> 30) & 1);
  caps.gfni = ymmSaved && ((ecx >> 8) & 1);
#endif
  return caps;
}

}  // namespace

const SM_CPU_CAPS* sm_cpu_caps(void) {
  static const SM_CPU_CAPS caps = Probe();
  return &caps;
}
