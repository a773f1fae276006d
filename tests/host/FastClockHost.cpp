// A test build of the program whose clock runs a thousand times fast: one
// millisecond of real time is one second for _time64. The watchdog's next look
// after start-up then finds the worker idle for far more than the time limit.
#include <chrono>
#include <ctime>

#include "platform/Crt.h"

namespace {

struct FastClock {
  FastClock() {
    const auto start = std::chrono::steady_clock::now();
    const __time64_t startSeconds = static_cast<__time64_t>(std::time(nullptr));
    SetTimeSourceForTesting([start, startSeconds] {
      const auto elapsed = std::chrono::steady_clock::now() - start;
      return startSeconds + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    });
  }
};

const FastClock fastClock;

}  // namespace
