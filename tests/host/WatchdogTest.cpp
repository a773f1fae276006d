// The watchdog against an injected clock: no test waits for real minutes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "Host/TovelKitHost.h"
#include "platform/Crt.h"
#include "platform/Threads.h"

namespace {

class WatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTimeSourceForTesting([this] {
      ++reads_;
      return clock_.load();
    });
    context_.lastTime = context_.now = 1000;
    context_.running.store(1);
    context_.mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, context_.mutex);
  }
  void TearDown() override {
    SetTimeSourceForTesting({});
    if (context_.mutex) CloseHandle(context_.mutex);
  }

  // Lets the watchdog take a few more readings of the clock.
  void WaitForReadings(int n) {
    const int target = reads_.load() + n;
    while (reads_.load() < target) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::atomic<__time64_t> clock_{1000};
  std::atomic<int> reads_{0};
  MsgThreadContext context_{};
};

TEST_F(WatchdogTest, EndsOnlyWhenMoreThanTheLimitHasPassed) {
  bool timedOut = false;
  auto result = std::async(std::launch::async,
                           [&] { return RunWatchdog(&context_, 1, &timedOut); });
  clock_ = 1000 + MSG_HANDLE_TIME_LIMIT;  // exactly the limit: goes on
  WaitForReadings(3);
  EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(0)));

  clock_ = 1000 + MSG_HANDLE_TIME_LIMIT + 1;
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(0, result.get());
  EXPECT_TRUE(timedOut);
  EXPECT_EQ(1000 + MSG_HANDLE_TIME_LIMIT + 1, context_.now);
}

TEST_F(WatchdogTest, LimitCountsFromTheWorkersLatestStamp) {
  bool timedOut = false;
  auto result = std::async(std::launch::async,
                           [&] { return RunWatchdog(&context_, 1, &timedOut); });
  clock_ = 1500;
  WaitForReadings(2);
  // The worker stamps when it begins to wait for the next request.
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(context_.mutex, INFINITE));
  context_.lastTime = 1500;
  ReleaseMutex(context_.mutex);
  clock_ = 2000;
  WaitForReadings(3);
  EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(0)));
  context_.running.store(0);
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(0, result.get());
  EXPECT_FALSE(timedOut);
}

TEST_F(WatchdogTest, WorkerEndIsSeenAtTheNextCheck) {
  context_.running.store(0);
  bool timedOut = true;
  EXPECT_EQ(0, RunWatchdog(&context_, 1, &timedOut));
  EXPECT_FALSE(timedOut);
}

TEST_F(WatchdogTest, FailedWaitEndsWithMinusOne) {
  CloseHandle(context_.mutex);
  context_.mutex = nullptr;
  bool timedOut = true;
  EXPECT_EQ(-1, RunWatchdog(&context_, 1, &timedOut));
  EXPECT_FALSE(timedOut);
}

// The pause after each check ends as soon as the worker signals its end: with
// a pause far longer than the test waits, only the signal can end it in time.
TEST_F(WatchdogTest, WorkerEndSignalCutsThePauseShort) {
  context_.workerEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, context_.workerEnded);
  bool timedOut = true;
  auto result = std::async(std::launch::async, [&] { return RunWatchdog(&context_, 60000, &timedOut); });
  WaitForReadings(1);
  EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(20)));
  context_.running.store(0);
  ASSERT_TRUE(SetEvent(context_.workerEnded));
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(0, result.get());
  EXPECT_FALSE(timedOut);
  CloseHandle(context_.workerEnded);
}

// An end signal that is not set leaves the checks going after every pause.
TEST_F(WatchdogTest, UnsetEndSignalStillChecksAfterEveryPause) {
  context_.workerEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, context_.workerEnded);
  bool timedOut = false;
  auto result = std::async(std::launch::async, [&] { return RunWatchdog(&context_, 1, &timedOut); });
  WaitForReadings(3);
  clock_ = 1000 + MSG_HANDLE_TIME_LIMIT + 1;
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
  EXPECT_TRUE(timedOut);
  CloseHandle(context_.workerEnded);
}

}  // namespace
