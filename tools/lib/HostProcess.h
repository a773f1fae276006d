// Starts a native messaging host as a child process and speaks frames to it
// over pipes, as a browser does. Used by the frame client and the tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"

namespace tovel {

// A frame's bytes: 32-bit little-endian count, then the message.
std::string EncodeFrame(std::string_view message);

class HostProcess {
 public:
  // Starts program with no arguments; its stdin and stdout are pipes held here,
  // its stderr is inherited. Throws std::runtime_error when it cannot start.
  explicit HostProcess(const std::string& program);
  ~HostProcess();  // closes the pipes, kills the child if still running
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Writes raw bytes to the host's stdin; false when the pipe is closed.
  bool WriteRaw(std::string_view bytes);
  bool WriteFrame(std::string_view message) { return WriteRaw(EncodeFrame(message)); }
  // Closes the host's stdin (the browser ends the conversation).
  void CloseInput();
  // Closes the reading end of the host's stdout (the browser has gone).
  void CloseOutput();

  // Reads exactly n bytes from the host's stdout; nullopt on end of output
  // or when the timeout passes first.
  std::optional<std::string> ReadExactly(std::size_t n, std::chrono::milliseconds timeout);
  // Reads one frame and stores its count in *count when given; nullopt on
  // end of output or timeout. The lone count 0xFFFFFFFF, which carries no
  // message, comes back as its four bytes.
  std::optional<std::string> ReadFrame(std::chrono::milliseconds timeout,
                                       std::uint32_t* count = nullptr);
  // True when the host's stdout reaches its end within the timeout with no
  // further byte.
  bool OutputEnds(std::chrono::milliseconds timeout);

  // Waits for the host to exit; its exit code (128 + the signal's number when
  // a signal ended it), or nullopt on timeout.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  // The signal that ended the host, known once WaitExit has seen it exit;
  // nullopt when it exited by itself.
  std::optional<int> EndingSignal() const { return ending_signal_; }
  // The host's peak resident memory in KiB, known once WaitExit has seen it
  // exit.
  std::optional<long> PeakResidentKib() const { return peak_resident_kib_; }
  pid_t pid() const { return pid_; }

 private:
  bool WaitReadable(std::chrono::steady_clock::time_point deadline);
  // Reads up to n bytes once the host's stdout is readable: the count read,
  // 0 at end of output, -1 on error or when the deadline passes first.
  ssize_t ReadBefore(std::chrono::steady_clock::time_point deadline, char* buffer, std::size_t n);

  pid_t pid_ = -1;
  UniqueFd to_child_;
  UniqueFd from_child_;
  std::optional<int> exit_code_;
  std::optional<int> ending_signal_;
  std::optional<long> peak_resident_kib_;
};

}  // namespace tovel
