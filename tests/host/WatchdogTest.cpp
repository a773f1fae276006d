// The watchdog against an injected clock: no test waits for real minutes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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
    mutex_.reset(CreateMutexW(nullptr, FALSE, nullptr));
    context_.mutex = mutex_.get();
    ASSERT_NE(nullptr, context_.mutex);
  }
  void TearDown() override { SetTimeSourceForTesting({}); }

  // Runs the watchdog on its own thread, pausing pauseMs after each check.
  std::future<int> StartWatchdog(DWORD pauseMs, bool* timedOut) {
    return std::async(std::launch::async, [this, pauseMs, timedOut] {
      return RunWatchdog(&context_, pauseMs, timedOut);
    });
  }

  // Gives the context an end signal, which is not set.
  void AddEndSignal() {
    workerEnded_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    context_.workerEnded = workerEnded_.get();
  }

  // Lets the watchdog take a few more readings of the clock.
  void WaitForReadings(int n) {
    const int target = reads_.load() + n;
    while (reads_.load() < target) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::atomic<__time64_t> clock_{1000};
  std::atomic<int> reads_{0};
  UniqueHandle mutex_;
  UniqueHandle workerEnded_;
  MsgThreadContext context_{};
};

TEST_F(WatchdogTest, EndsOnlyWhenMoreThanTheLimitHasPassed) {
  bool timedOut = false;
  auto result = StartWatchdog(1, &timedOut);
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
  auto result = StartWatchdog(1, &timedOut);
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
  mutex_.reset();
  context_.mutex = nullptr;
  bool timedOut = true;
  EXPECT_EQ(-1, RunWatchdog(&context_, 1, &timedOut));
  EXPECT_FALSE(timedOut);
}

// The worker's standard input and output as pipes held by the test; the
// process's own descriptors 0 and 1 come back when it ends.
class WorkerPipes {
 public:
  WorkerPipes() {
    savedIn_ = dup(0);
    savedOut_ = dup(1);
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(out[1]);
    toWorker_ = in[1];
    fromWorker_ = out[0];
  }
  ~WorkerPipes() {
    CloseInput();
    dup2(savedIn_, 0);
    dup2(savedOut_, 1);
    close(savedIn_);
    close(savedOut_);
    close(fromWorker_);
  }
  bool ok() const { return toWorker_ >= 0 && fromWorker_ >= 0; }
  bool Send(const std::string& message) {
    const auto n = static_cast<std::uint32_t>(message.size());
    std::string frame{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                      static_cast<char>((n >> 16) & 0xFF), static_cast<char>(n >> 24)};
    frame += message;
    return write(toWorker_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
  }
  // Reads one response frame; empty when none arrives within ten seconds.
  std::string Receive() {
    std::string bytes;
    while (bytes.size() < 4 || bytes.size() < 4 + CountOf(bytes)) {
      pollfd p{fromWorker_, POLLIN, 0};
      char buf[4096];
      if (poll(&p, 1, 10000) != 1) return {};
      const ssize_t n = read(fromWorker_, buf, sizeof buf);
      if (n <= 0) return {};
      bytes.append(buf, static_cast<std::size_t>(n));
    }
    return bytes.substr(4);
  }
  void CloseInput() {
    if (toWorker_ >= 0) close(toWorker_);
    toWorker_ = -1;
  }

 private:
  static std::size_t CountOf(const std::string& bytes) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(bytes[i]);
    return n;
  }
  int savedIn_ = -1, savedOut_ = -1, toWorker_ = -1, fromWorker_ = -1;
};

// A request at t0 + 500 moves the worker's last activity there, so the
// watchdog looking at t0 + 700 lets the conversation go on; it ends only when
// the worker ends. Results are checked once the test's own output is back.
TEST_F(WatchdogTest, WorkerStampsItsActivityForEveryRequest) {
  std::string response;
  __time64_t stampAfterRequest = 0;
  bool watchdogWaited = false;
  bool timedOut = true;
  int watchdogResult = -2;
  {
    WorkerPipes pipes;
    ASSERT_TRUE(pipes.ok());
    std::thread worker([this] { MsgHandleProc(&context_); });
    clock_ = 1500;
    const bool sent = pipes.Send(R"({"function":"GetVersion","params":[]})");
    if (sent) response = pipes.Receive();
    // The worker stamps again as it begins to wait for the next request.
    for (int i = 0; i < 10000 && stampAfterRequest != 1500; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (WaitForSingleObject(context_.mutex, INFINITE) != WAIT_OBJECT_0) break;
      stampAfterRequest = context_.lastTime;
      ReleaseMutex(context_.mutex);
    }
    clock_ = 1700;
    auto watchdog = StartWatchdog(1, &timedOut);
    // A few more looks at the clock, unless the watchdog has already ended.
    const int target = reads_.load() + 3;
    while (reads_.load() < target &&
           watchdog.wait_for(std::chrono::milliseconds(1)) == std::future_status::timeout) {
    }
    watchdogWaited = watchdog.wait_for(std::chrono::milliseconds(0)) == std::future_status::timeout;
    pipes.CloseInput();  // the browser ends the conversation
    worker.join();
    if (watchdog.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
      watchdogResult = watchdog.get();
  }
  EXPECT_EQ(R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2"})", response);
  EXPECT_EQ(1500, stampAfterRequest);
  EXPECT_TRUE(watchdogWaited);
  EXPECT_EQ(0, watchdogResult);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(0, context_.running.load());
}

// The pause after each check ends as soon as the worker signals its end: with
// a pause far longer than the test waits, only the signal can end it in time.
TEST_F(WatchdogTest, WorkerEndSignalCutsThePauseShort) {
  AddEndSignal();
  ASSERT_NE(nullptr, context_.workerEnded);
  bool timedOut = true;
  auto result = StartWatchdog(60000, &timedOut);
  WaitForReadings(1);
  EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(20)));
  context_.running.store(0);
  ASSERT_TRUE(SetEvent(context_.workerEnded));
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(0, result.get());
  EXPECT_FALSE(timedOut);
}

// The worker itself signals its end: once the browser has closed the channel
// it clears running and leaves the end signal set, so that the watchdog, whose
// pause is far longer than the test waits, ends at once.
TEST_F(WatchdogTest, WorkerSignalsItsEndWhenInputEnds) {
  AddEndSignal();
  ASSERT_NE(nullptr, context_.workerEnded);
  bool timedOut = true;
  std::future<int> watchdog = StartWatchdog(60000, &timedOut);
  WaitForReadings(1);  // it has found the worker running and pauses
  DWORD signalled = WAIT_TIMEOUT;
  bool watchdogEnded = false;
  {
    WorkerPipes pipes;
    ASSERT_TRUE(pipes.ok());
    pipes.CloseInput();
    std::thread worker([this] { MsgHandleProc(&context_); });
    worker.join();
    signalled = WaitForSingleObject(context_.workerEnded, 0);
    watchdogEnded = watchdog.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!watchdogEnded) SetEvent(context_.workerEnded);  // the verdict is in: let it go
  }
  EXPECT_EQ(0, context_.running.load());
  EXPECT_EQ(WAIT_OBJECT_0, signalled);
  ASSERT_TRUE(watchdogEnded);
  EXPECT_EQ(0, watchdog.get());
  EXPECT_FALSE(timedOut);
}

// An end signal that is not set leaves the checks going after every pause.
TEST_F(WatchdogTest, UnsetEndSignalStillChecksAfterEveryPause) {
  AddEndSignal();
  ASSERT_NE(nullptr, context_.workerEnded);
  bool timedOut = false;
  auto result = StartWatchdog(1, &timedOut);
  WaitForReadings(3);
  clock_ = 1000 + MSG_HANDLE_TIME_LIMIT + 1;
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
  EXPECT_TRUE(timedOut);
}

}  // namespace
