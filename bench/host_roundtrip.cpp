// What one request costs: a browser's one-off message (start the host, one
// "GetVersion", end), and requests per second over one open channel.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "tools/lib/HostProcess.h"

namespace {

using namespace std::chrono_literals;

const std::string kRequest = R"({"function":"GetVersion","params":[],"randomId":"bench"})";

// From process start to the response. The host's exit is not timed (see
// host_lifecycle for it and for the comparison with a bare host).
void BM_OneOffGetVersion(benchmark::State& state) {
  for (auto _ : state) {
    tovel::HostProcess host(TOVELHOST_PATH);
    host.WriteFrame(kRequest);
    auto response = host.ReadFrame(10s);
    state.PauseTiming();
    if (!response) state.SkipWithError("no response");
    host.CloseInput();
    if (host.WaitExit(10s) != 0) state.SkipWithError("host did not exit cleanly");
    state.ResumeTiming();
    benchmark::DoNotOptimize(response);
  }
}
// A fixed count keeps the run short on a loaded machine.
BENCHMARK(BM_OneOffGetVersion)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

void BM_GetVersionOverOpenChannel(benchmark::State& state) {
  tovel::HostProcess host(TOVELHOST_PATH);
  for (auto _ : state) {
    host.WriteFrame(kRequest);
    auto response = host.ReadFrame(10s);
    if (!response) {
      state.SkipWithError("no response");
      break;
    }
    benchmark::DoNotOptimize(response);
  }
  state.SetItemsProcessed(state.iterations());
  host.CloseInput();
  host.WaitExit(10s);
}
BENCHMARK(BM_GetVersionOverOpenChannel)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
