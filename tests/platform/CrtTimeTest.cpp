// 64-bit time: the clock and its test seam.
#include <atomic>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Crt.h"

namespace {

// Restores the system clock after a test that replaced it.
class TimeSeamTest : public ::testing::Test {
 protected:
  void TearDown() override { SetTimeSourceForTesting({}); }
};

TEST_F(TimeSeamTest, SystemClockByDefault) {
  const std::time_t before = std::time(nullptr);
  __time64_t stored = 0;
  const __time64_t now = _time64(&stored);
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
  EXPECT_EQ(stored, now);
}

TEST_F(TimeSeamTest, ReplacedAndRestored) {
  __time64_t fake = 1'000'000'000'000LL;
  SetTimeSourceForTesting([&fake] { return fake; });
  __time64_t stored = 0;
  EXPECT_EQ(_time64(&stored), fake);
  EXPECT_EQ(stored, fake);
  fake += 601;
  EXPECT_EQ(_time64(nullptr), fake);

  SetTimeSourceForTesting({});
  const std::time_t before = std::time(nullptr);
  const __time64_t now = _time64(nullptr);
  EXPECT_GE(now, before);
  EXPECT_LE(now, std::time(nullptr));
}

// A reader thread (the watchdog's role) sees only whole clocks while the
// test thread swaps them.
TEST_F(TimeSeamTest, SwappedWhileAnotherThreadReads) {
  SetTimeSourceForTesting([] { return __time64_t{111}; });
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::atomic<long> unexpected{0};
  std::thread reader([&] {
    while (!stop) {
      const __time64_t t = _time64(nullptr);
      if (t != 111 && t != 222) unexpected.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int i = 0; i < 2000 || reads < 100; ++i)
    SetTimeSourceForTesting([v = (i % 2 ? 222 : 111)] { return __time64_t{v}; });
  stop = true;
  reader.join();
  EXPECT_EQ(unexpected.load(), 0);
}

}  // namespace
