// Descriptor I/O and translation modes over real pipes.
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Crt.h"
#include "platform/Threads.h"

namespace {

// Both ends of a pipe, closed when the test ends.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  int ReadEnd() const { return fds_[0]; }
  int WriteEnd() const { return fds_[1]; }
  void CloseRead() { Close(fds_[0]); }
  void CloseWrite() { Close(fds_[1]); }

 private:
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

// Sets a signal's action for the test's scope.
class ScopedSignalAction {
 public:
  ScopedSignalAction(int signal, void (*handler)(int), int flags) : signal_(signal) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    EXPECT_EQ(::sigaction(signal, &action, &previous_), 0);
  }
  ~ScopedSignalAction() { ::sigaction(signal_, &previous_, nullptr); }

 private:
  int signal_;
  struct sigaction previous_ = {};
};

void WriteAll(int fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(CrtReadTest, ReturnsWhatHasArrivedAndCallerAssemblesTheRest) {
  Pipe pipe;
  WriteAll(pipe.WriteEnd(), "hel");
  char buffer[16] = {};
  ASSERT_EQ(_read(pipe.ReadEnd(), buffer, 5), 3);

  WriteAll(pipe.WriteEnd(), "lo!");
  int received = 3;
  while (received < 5) {
    const int n = _read(pipe.ReadEnd(), buffer + received, 5 - received);
    ASSERT_GT(n, 0);
    received += n;
  }
  EXPECT_EQ(std::string(buffer, 5), "hello");
  // The byte beyond the requested count is still in the pipe.
  ASSERT_EQ(_read(pipe.ReadEnd(), buffer, sizeof buffer), 1);
  EXPECT_EQ(buffer[0], '!');
}

TEST(CrtReadTest, EndOfInputReadsZero) {
  Pipe pipe;
  WriteAll(pipe.WriteEnd(), "x");
  pipe.CloseWrite();
  char byte = 0;
  EXPECT_EQ(_read(pipe.ReadEnd(), &byte, 1), 1);
  EXPECT_EQ(_read(pipe.ReadEnd(), &byte, 1), 0);
}

TEST(CrtIoTest, BadDescriptorFailsWithErrnoAndLastError) {
  Pipe pipe;
  const int closedFd = pipe.ReadEnd();
  pipe.CloseRead();
  char byte = 0;
  struct Case {
    const char* name;
    int (*call)(int fd, char* byte);
    int fd;
  } const cases[] = {
      {"read, -1", [](int fd, char* b) { return _read(fd, b, 1); }, -1},
      {"read, closed", [](int fd, char* b) { return _read(fd, b, 1); }, closedFd},
      {"write, -1", [](int fd, char* b) { return _write(fd, b, 1); }, -1},
      {"write, closed", [](int fd, char* b) { return _write(fd, b, 1); }, closedFd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(ERROR_SUCCESS);
    errno = 0;
    EXPECT_EQ(c.call(c.fd, &byte), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

TEST(CrtWriteTest, WritesTheBytesAndReturnsTheCount) {
  Pipe pipe;
  const char bytes[] = {'a', '\0', '\xff', 'b'};
  ASSERT_EQ(_write(pipe.WriteEnd(), bytes, sizeof bytes), 4);
  char received[8] = {};
  ASSERT_EQ(::read(pipe.ReadEnd(), received, sizeof received), 4);
  EXPECT_EQ(std::memcmp(received, bytes, sizeof bytes), 0);
}

TEST(CrtWriteTest, ClosedReaderGivesEpipeWhenSigpipeIsIgnored) {
  ScopedSignalAction ignorePipe(SIGPIPE, SIG_IGN, 0);
  Pipe pipe;
  pipe.CloseRead();
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(_write(pipe.WriteEnd(), "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
}

std::atomic<int> g_interruptions{0};
void CountInterruption(int) { g_interruptions.fetch_add(1); }

// A handler installed without SA_RESTART makes a blocked read(2) fail with
// EINTR; _read must go back to waiting and deliver the data that follows.
TEST(CrtReadTest, RetriesAReadInterruptedBySignal) {
  ScopedSignalAction handler(SIGUSR1, CountInterruption, 0);
  g_interruptions = 0;
  Pipe pipe;
  std::atomic<bool> reading{false};
  int result = 0;
  int savedErrno = 0;
  char byte = 0;
  std::thread reader([&] {
    reading = true;
    result = _read(pipe.ReadEnd(), &byte, 1);
    savedErrno = errno;
  });
  while (!reading) std::this_thread::yield();
  // Signals sent over a while, so that some land while the reader is blocked.
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ::pthread_kill(reader.native_handle(), SIGUSR1);
  }
  WriteAll(pipe.WriteEnd(), "z");
  reader.join();
  EXPECT_GT(g_interruptions.load(), 0);
  EXPECT_EQ(result, 1) << "errno " << savedErrno;
  EXPECT_EQ(byte, 'z');
}

TEST(CrtFilenoTest, StandardStreamsAndNull) {
  EXPECT_EQ(_fileno(stdin), 0);
  EXPECT_EQ(_fileno(stdout), 1);
  EXPECT_EQ(_fileno(stderr), 2);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(_fileno(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CrtSetModeTest, ReturnsThePreviousMode) {
  Pipe pipe;
  const int fd = pipe.WriteEnd();
  EXPECT_EQ(_setmode(fd, _O_BINARY), _O_TEXT);
  EXPECT_EQ(_setmode(fd, _O_BINARY), _O_BINARY);
  EXPECT_EQ(_setmode(fd, _O_TEXT), _O_BINARY);
  EXPECT_EQ(_setmode(fd, _O_BINARY), _O_TEXT);
  // The other end has its own mode.
  EXPECT_EQ(_setmode(pipe.ReadEnd(), _O_BINARY), _O_TEXT);
}

TEST(CrtSetModeTest, ReusedDescriptorNumberStartsAgainInTextMode) {
  int number;
  {
    Pipe first;
    number = first.ReadEnd();
    ASSERT_EQ(_setmode(number, _O_BINARY), _O_TEXT);
  }
  Pipe second;  // the lowest free numbers come back
  ASSERT_EQ(second.ReadEnd(), number);
  EXPECT_EQ(_setmode(second.ReadEnd(), _O_BINARY), _O_TEXT);
}

TEST(CrtSetModeTest, RefusesBadDescriptorsAndModes) {
  Pipe pipe;
  Pipe closed;
  const int closedFd = closed.ReadEnd();
  closed.CloseRead();
  struct Case {
    const char* name;
    int fd;
    int mode;
    int expectedErrno;
    DWORD expectedError;
  } const cases[] = {
      {"negative descriptor", -1, _O_BINARY, EBADF, ERROR_INVALID_HANDLE},
      {"closed descriptor", closedFd, _O_BINARY, EBADF, ERROR_INVALID_HANDLE},
      {"unopened descriptor", 4000, _O_TEXT, EBADF, ERROR_INVALID_HANDLE},
      {"mode 0", pipe.ReadEnd(), 0, EINVAL, ERROR_INVALID_PARAMETER},
      {"both modes", pipe.ReadEnd(), _O_TEXT | _O_BINARY, EINVAL, ERROR_INVALID_PARAMETER},
      {"wide text mode", pipe.ReadEnd(), 0x10000, EINVAL, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(ERROR_SUCCESS);
    errno = 0;
    EXPECT_EQ(_setmode(c.fd, c.mode), -1);
    EXPECT_EQ(errno, c.expectedErrno);
    EXPECT_EQ(GetLastError(), c.expectedError);
  }
  // The refused modes left the recorded one alone.
  EXPECT_EQ(_setmode(pipe.ReadEnd(), _O_BINARY), _O_TEXT);
}

// In a child started with one standard descriptor closed: after the
// reservation, a file opened later never takes that number, and a closed 0 or
// 1 is no channel (no mode, no read, no write), while a closed 2 is only kept
// free. The child reports the first check that failed as its exit status.
TEST(ReserveStandardDescriptorsTest, ClosedNumbersStayFreeOfOtherFiles) {
  for (int closed : {0, 1, 2}) {
    SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(closed);
      ReserveStandardDescriptors();
      const int file = ::open("/proc/self/status", O_RDONLY);
      if (file <= 2) ::_exit(10);
      char byte = 0;
      if (closed == 2) {
        if (_setmode(2, _O_BINARY) == -1) ::_exit(11);
        if (_write(2, "", 0) != 0) ::_exit(12);
        ::_exit(0);
      }
      if (_setmode(closed, _O_BINARY) != -1 || errno != EBADF) ::_exit(13);
      if (_read(closed, &byte, 1) != -1 || errno != EBADF) ::_exit(14);
      if (_write(closed, &byte, 1) != -1 || errno != EBADF) ::_exit(15);
      // The other channel descriptor is untouched.
      if (_setmode(1 - closed, _O_BINARY) == -1) ::_exit(16);
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
  }
}

}  // namespace
