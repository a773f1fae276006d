// The processor-feature probe beside two independent readings of the same
// features: the compiler runtime's (__builtin_cpu_supports, which also asks
// the system which register states it saves) and the kernel's flags in
// /proc/cpuinfo (which leave out what the system does not enable).
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "smext/cpu_caps.h"

namespace {

#if defined(__x86_64__) && defined(__GNUC__)

// The flags of the first processor in /proc/cpuinfo; empty when unreadable.
std::set<std::string> KernelFlags() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::set<std::string> flags;
    for (std::string w; words >> w;) flags.insert(w);
    return flags;
  }
  return {};
}

TEST(CpuCapsTest, EveryFeatureMatchesTheCompilerAndTheKernel) {
  __builtin_cpu_init();
  struct Case {
    const char* what;
    int SM_CPU_CAPS::*field;
    bool compiler;
    std::vector<std::string> kernelFlags;  // all of them must be present
  } const cases[] = {
      {"avx2", &SM_CPU_CAPS::avx2, __builtin_cpu_supports("avx2") != 0, {"avx2"}},
      {"bmi1", &SM_CPU_CAPS::bmi1, __builtin_cpu_supports("bmi") != 0, {"bmi1"}},
      {"bmi2", &SM_CPU_CAPS::bmi2, __builtin_cpu_supports("bmi2") != 0, {"bmi2"}},
      {"avx512vl",
       &SM_CPU_CAPS::avx512vl,
       __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"),
       {"avx512f", "avx512vl"}},
      {"avx512bw", &SM_CPU_CAPS::avx512bw, __builtin_cpu_supports("avx512bw") != 0, {"avx512bw"}},
      // GFNI on vector registers: the AVX state must be saved too.
      {"gfni",
       &SM_CPU_CAPS::gfni,
       __builtin_cpu_supports("gfni") && __builtin_cpu_supports("avx"),
       {"gfni", "avx"}},
      {"aesni", &SM_CPU_CAPS::aesni, __builtin_cpu_supports("aes") != 0, {"aes"}},
  };
  // A feature added to the record needs its row here.
  ASSERT_EQ(std::size(cases) * sizeof(int), sizeof(SM_CPU_CAPS));
  const SM_CPU_CAPS* caps = sm_cpu_caps();
  const std::set<std::string> flags = KernelFlags();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(caps->*c.field != 0, c.compiler);
    if (!flags.empty()) {
      bool all = true;
      for (const std::string& f : c.kernelFlags) all = all && flags.count(f) != 0;
      EXPECT_EQ(caps->*c.field != 0, all);
    }
  }
}

#else

TEST(CpuCapsTest, OtherProcessorsReportNoFeature) {
  const SM_CPU_CAPS none{};
  const SM_CPU_CAPS* caps = sm_cpu_caps();
  EXPECT_EQ(std::memcmp(caps, &none, sizeof(none)), 0);
}

#endif

}  // namespace
