#include "tools/lib/HostProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

#include "platform/RetryOnInterrupt.h"

extern char** environ;

namespace tovel {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::string EncodeFrame(std::string_view message) {
  std::string frame;
  const auto n = static_cast<std::uint32_t>(message.size());
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  frame.append(message);
  return frame;
}

HostProcess::HostProcess(const std::string& program) {
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  UniqueFd child_in(in_pipe[0]);
  to_child_.reset(in_pipe[1]);
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  from_child_.reset(out_pipe[0]);
  UniqueFd child_out(out_pipe[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, child_in.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, child_out.get(), STDOUT_FILENO);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
}

HostProcess::~HostProcess() {
  CloseInput();
  CloseOutput();
  if (!exit_code_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool HostProcess::WriteRaw(std::string_view bytes) {
  // A host that has gone away must not take the writer down with SIGPIPE.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  std::size_t sent = 0;
  while (sent < bytes.size() && to_child_) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return write(to_child_.get(), bytes.data() + sent, bytes.size() - sent); });
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  sigaction(SIGPIPE, &previous, nullptr);
  return sent == bytes.size();
}

void HostProcess::CloseInput() { to_child_.reset(); }

void HostProcess::CloseOutput() { from_child_.reset(); }

bool HostProcess::WaitReadable(Clock::time_point deadline) {
  pollfd pfd{from_child_.get(), POLLIN, 0};
  return RetryOnInterrupt([&] { return poll(&pfd, 1, RemainingMs(deadline)); }) > 0;
}

ssize_t HostProcess::ReadBefore(Clock::time_point deadline, char* buffer, std::size_t n) {
  // An interrupted read waits for the output again before it repeats.
  return RetryOnInterrupt([&]() -> ssize_t {
    if (!WaitReadable(deadline)) {
      errno = ETIMEDOUT;
      return -1;
    }
    return read(from_child_.get(), buffer, n);
  });
}

std::optional<std::string> HostProcess::ReadExactly(std::size_t n,
                                                    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ReadBefore(deadline, out.data() + got, n - got);
    if (r <= 0) return std::nullopt;
    got += static_cast<std::size_t>(r);
  }
  return out;
}

std::optional<std::string> HostProcess::ReadFrame(std::chrono::milliseconds timeout,
                                                  std::uint32_t* count) {
  const auto header = ReadExactly(4, timeout);
  if (!header) return std::nullopt;
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i)
    n |= static_cast<std::uint32_t>(static_cast<unsigned char>((*header)[i])) << (8 * i);
  if (count != nullptr) *count = n;
  if (n == 0xFFFFFFFFu) return *header;
  return ReadExactly(n, timeout);
}

bool HostProcess::OutputEnds(std::chrono::milliseconds timeout) {
  char byte;
  return ReadBefore(Clock::now() + timeout, &byte, 1) == 0;
}

std::optional<int> HostProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (exit_code_) return exit_code_;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    rusage usage{};
    const pid_t r = wait4(pid_, &status, WNOHANG, &usage);
    if (r == pid_) {
      if (WIFSIGNALED(status)) ending_signal_ = WTERMSIG(status);
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      peak_resident_kib_ = usage.ru_maxrss;
      return exit_code_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace tovel
