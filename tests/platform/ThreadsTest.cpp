// Threads, the mutex, waits, sleeps and the per-thread last error.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Threads.h"

namespace {

using namespace std::chrono_literals;

// The result of a wait made on another thread.
DWORD WaitFromOtherThread(HANDLE mutex, DWORD milliseconds, bool releaseAfter = true) {
  return std::async(std::launch::async,
                    [=] {
                      const DWORD result = WaitForSingleObject(mutex, milliseconds);
                      if (result == WAIT_OBJECT_0 && releaseAfter) ReleaseMutex(mutex);
                      return result;
                    })
      .get();
}

TEST(MutexTest, RecursiveForTheOwnerExclusiveForOthers) {
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_NE(mutex.get(), nullptr);
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 0), WAIT_OBJECT_0);  // free at first

  ASSERT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);  // again, no deadlock
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 30), WAIT_TIMEOUT);

  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 0), WAIT_TIMEOUT);  // still held once
  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 0), WAIT_OBJECT_0);

  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(ReleaseMutex(mutex.get()));  // released more often than taken
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
}

TEST(MutexTest, InitialOwnerHoldsIt) {
  UniqueHandle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_NE(mutex.get(), nullptr);
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 0), WAIT_OBJECT_0);
}

TEST(MutexTest, OnlyTheOwnerMayRelease) {
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
  const auto [released, error] = std::async(std::launch::async, [&] {
                                   SetLastError(ERROR_SUCCESS);
                                   const BOOL ok = ReleaseMutex(mutex.get());
                                   return std::pair{ok, GetLastError()};
                                 }).get();
  EXPECT_FALSE(released);
  EXPECT_EQ(error, ERROR_NOT_OWNER);
  EXPECT_EQ(WaitFromOtherThread(mutex.get(), 0), WAIT_TIMEOUT);  // still ours
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(MutexTest, WaiterBlocksUntilTheOwnerReleases) {
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  ASSERT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_OBJECT_0);
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    if (WaitForSingleObject(mutex.get(), INFINITE) == WAIT_OBJECT_0) {
      acquired = true;
      ReleaseMutex(mutex.get());
    }
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(acquired);
  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  waiter.join();
  EXPECT_TRUE(acquired);
}

// True once the thread is asleep in the kernel (state S in its stat line).
bool IsAsleep(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto end = line.rfind(')');  // the name may hold spaces
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

TEST(MutexTest, ReleasedAndClosedWhileAnotherThreadWaits) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  ASSERT_NE(mutex, nullptr);
  std::atomic<pid_t> waiterTid{0};
  std::promise<void> closed;
  auto waiter = std::async(std::launch::async, [&, handleClosed = closed.get_future()] {
    waiterTid = ::gettid();
    const DWORD result = WaitForSingleObject(mutex, INFINITE);
    handleClosed.wait();
    SetLastError(ERROR_SUCCESS);
    const BOOL released = ReleaseMutex(mutex);
    return std::tuple{result, released, GetLastError()};
  });
  while (waiterTid == 0 || !IsAsleep(waiterTid)) std::this_thread::sleep_for(1ms);

  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(mutex));
  closed.set_value();
  const auto [result, released, error] = waiter.get();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_FALSE(released);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
}

TEST(MutexTest, NamedMutexIsNotSupported) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\tovel"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// What a started thread shares with its test. The thread holds a reference
// of its own, so the test may end before the thread has returned.
struct Probe {
  Probe() : mayFinish(allow.get_future().share()) {}
  std::promise<void> allow;
  std::shared_future<void> mayFinish;
  std::promise<std::thread::id> started;
  std::promise<void> finished;
};

DWORD RunProbe(LPVOID parameter) {
  const std::unique_ptr<std::shared_ptr<Probe>> owner(
      static_cast<std::shared_ptr<Probe>*>(parameter));
  const std::shared_ptr<Probe> probe = *owner;
  probe->started.set_value(std::this_thread::get_id());
  probe->mayFinish.wait();
  probe->finished.set_value();
  return 0;
}

HANDLE StartProbe(const std::shared_ptr<Probe>& probe, std::size_t stackSize = 0,
                  DWORD* threadId = nullptr) {
  auto* reference = new std::shared_ptr<Probe>(probe);
  HANDLE thread = CreateThread(nullptr, stackSize, RunProbe, reference, 0, threadId);
  if (thread == nullptr) delete reference;
  return thread;
}

TEST(HandleTest, BadHandlesAreRefused) {
  HANDLE closed = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  int notAHandle = 0;
  auto probe = std::make_shared<Probe>();
  UniqueHandle thread(StartProbe(probe));
  ASSERT_NE(thread.get(), nullptr);

  struct Case {
    const char* name;
    HANDLE handle;
    DWORD waitError;  // also the error of ReleaseMutex unless the handle is a thread's
  } const cases[] = {
      {"null", nullptr, ERROR_INVALID_HANDLE},
      {"closed", closed, ERROR_INVALID_HANDLE},
      {"not a handle", &notAHandle, ERROR_INVALID_HANDLE},
      {"thread handle", thread.get(), ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(c.handle, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), c.waitError);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseMutex(c.handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  for (HANDLE handle : {static_cast<HANDLE>(nullptr), closed, static_cast<HANDLE>(&notAHandle)}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  probe->allow.set_value();
}

TEST(ThreadTest, RunsAtOnceOnItsOwnThreadAndOutlivesItsHandle) {
  auto probe = std::make_shared<Probe>();
  auto started = probe->started.get_future();
  auto finished = probe->finished.get_future();

  DWORD id = 0;
  HANDLE thread = StartProbe(probe, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  ASSERT_EQ(started.wait_for(5s), std::future_status::ready);
  EXPECT_NE(started.get(), std::this_thread::get_id());

  // Closing the handle releases it without touching the thread.
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(finished.wait_for(20ms), std::future_status::timeout);
  probe->allow.set_value();
  EXPECT_EQ(finished.wait_for(5s), std::future_status::ready);
}

TEST(ThreadTest, IdsDifferAndStackSizesAreHonoured) {
  for (std::size_t stackSize : {std::size_t{0}, std::size_t{1}, std::size_t{512 * 1024}}) {
    SCOPED_TRACE(stackSize);
    auto first = std::make_shared<Probe>();
    auto second = std::make_shared<Probe>();
    first->allow.set_value();
    second->allow.set_value();
    DWORD firstId = 0;
    DWORD secondId = 0;
    UniqueHandle a(StartProbe(first, stackSize, &firstId));
    UniqueHandle b(StartProbe(second, stackSize, &secondId));
    ASSERT_NE(a.get(), nullptr);
    ASSERT_NE(b.get(), nullptr);
    EXPECT_NE(firstId, secondId);
    EXPECT_EQ(first->finished.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(second->finished.get_future().wait_for(5s), std::future_status::ready);
  }
}

TEST(ThreadTest, RefusedArguments) {
  struct Case {
    const char* name;
    LPTHREAD_START_ROUTINE routine;
    DWORD flags;
    DWORD expectedError;
  } const cases[] = {
      {"no routine", nullptr, 0, ERROR_INVALID_PARAMETER},
      {"suspended", RunProbe, 0x4, ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateThread(nullptr, 0, c.routine, nullptr, c.flags, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), c.expectedError);
  }
}

TEST(ThreadTest, TerminateIsRefusedAndTheThreadGoesOn) {
  auto probe = std::make_shared<Probe>();
  auto finished = probe->finished.get_future();
  UniqueHandle thread(StartProbe(probe));
  ASSERT_NE(thread.get(), nullptr);

  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(TerminateThread(thread.get(), 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(TerminateThread(nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  probe->allow.set_value();
  EXPECT_EQ(finished.wait_for(5s), std::future_status::ready);
}

TEST(LastErrorTest, EachThreadHasItsOwn) {
  SetLastError(ERROR_ACCESS_DENIED);
  const auto [initial, afterSet] = std::async(std::launch::async, [] {
                                     const DWORD first = GetLastError();
                                     SetLastError(ERROR_INVALID_PARAMETER);
                                     return std::pair{first, GetLastError()};
                                   }).get();
  EXPECT_EQ(initial, ERROR_SUCCESS);
  EXPECT_EQ(afterSet, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(LastErrorTest, ErrnoMapsToANonzeroSystemError) {
  struct Case {
    int errnoValue;
    DWORD expected;
  } const cases[] = {
      {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
      {EAGAIN, ERROR_NOT_ENOUGH_MEMORY},
      {EINVAL, ERROR_INVALID_PARAMETER},
      {EBADF, ERROR_INVALID_HANDLE},
      {EACCES, ERROR_ACCESS_DENIED},
      {EPIPE, ERROR_BROKEN_PIPE},
      {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
      {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
      {0, ERROR_GEN_FAILURE},
      {ELOOP, ERROR_GEN_FAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.errnoValue);
    EXPECT_EQ(Win32ErrorFromErrno(c.errnoValue), c.expected);
  }
}

TEST(SleepTest, WaitsAtLeastTheTimeAsked) {
  const auto start = std::chrono::steady_clock::now();
  Sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(ExitProcessNowDeathTest, EndsWithTheCodeAndSkipsExitHandlers) {
  EXPECT_EXIT(
      {
        std::atexit([] { std::fputs("exit handler ran", stderr); });
        ExitProcessNow(7);
      },
      ::testing::ExitedWithCode(7), ::testing::Not(::testing::HasSubstr("exit handler ran")));
}

TEST(EventTest, SetReleasesEveryWaitUntilReset) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_NE(event.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  // A waiter without a time limit is released by the set.
  auto waiter =
      std::async(std::launch::async, [&] { return WaitForSingleObject(event.get(), INFINITE); });
  EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
  ASSERT_TRUE(SetEvent(event.get()));
  ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);  // stays set
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

  UniqueHandle initiallySet(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(initiallySet.get(), 0), WAIT_OBJECT_0);
}

TEST(EventTest, RefusesWhatIsNotOffered) {
  EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, nullptr), nullptr);  // auto-reset
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"name"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  EXPECT_FALSE(SetEvent(mutex.get()));  // not an event
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(nullptr));
}

}  // namespace
