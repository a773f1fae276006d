// A browser's one-off message and the end of a conversation, the host beside
// a bare C host that only initialises the crypto library the same way
// (bench/minimal_host.c). Each benchmark has a "tovelhost" and a "minimal"
// side; run both interleaved and compare their medians:
//
//   build/bench/host_lifecycle --benchmark_enable_random_interleaving=true
//       --benchmark_repetitions=15 --benchmark_format=json > out.json
//   python3 scripts/bench-ratios.py out.json
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "tools/lib/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kRequest = R"({"function":"GetVersion","params":[],"randomId":"bench"})";

const char* Program(const benchmark::State& state) {
  return state.range(0) == 0 ? TOVELHOST_PATH : MINIMAL_HOST_PATH;
}

void Label(benchmark::State& state) {
  state.SetLabel(state.range(0) == 0 ? "tovelhost" : "minimal");
}

// From process start to the whole response frame.
void BM_OneOffGetVersion(benchmark::State& state) {
  Label(state);
  for (auto _ : state) {
    const auto start = Clock::now();
    tovel::HostProcess host(Program(state));
    host.WriteFrame(kRequest);
    auto response = host.ReadFrame(10s);
    const auto end = Clock::now();
    if (!response) state.SkipWithError("no response");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    host.CloseInput();
    if (host.WaitExit(10s) != 0) state.SkipWithError("host did not exit cleanly");
  }
}
BENCHMARK(BM_OneOffGetVersion)
    ->ArgName("peer")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

// From closing the host's input (after one answered request) to the end of
// its output, which the kernel closes as the process exits.
void BM_ExitAfterChannelEnd(benchmark::State& state) {
  Label(state);
  for (auto _ : state) {
    tovel::HostProcess host(Program(state));
    host.WriteFrame(kRequest);
    if (!host.ReadFrame(10s)) state.SkipWithError("no response");
    const auto start = Clock::now();
    host.CloseInput();
    const bool ended = host.OutputEnds(10s);
    const auto end = Clock::now();
    if (!ended) state.SkipWithError("output did not end");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    if (host.WaitExit(10s) != 0) state.SkipWithError("host did not exit cleanly");
  }
}
BENCHMARK(BM_ExitAfterChannelEnd)
    ->ArgName("peer")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
