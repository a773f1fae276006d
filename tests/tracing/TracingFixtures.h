// Helpers of the tracing tests: a tracing folder of the test's own, and a
// child process that runs as another user.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/EtwSession.h"

namespace tracetest {

// The variable that points the test build of the host at a tracing folder
// (tests/tracing/TestTraceFolder.cpp).
constexpr char kTraceFolderVariable[] = "TOVEL_TEST_TRACE_FOLDER";

// The second user that tests act as.
constexpr uid_t kOtherUser = 65534;

// Points the tracing of this process, and of the test builds of the host
// that it starts, at a folder of its own for the object's life: <root>/etw,
// in a fresh root under parent.
class PrivateTraceFolder {
 public:
  explicit PrivateTraceFolder(const std::string& tag, const std::filesystem::path& parent =
                                                          std::filesystem::temp_directory_path());
  ~PrivateTraceFolder();
  PrivateTraceFolder(const PrivateTraceFolder&) = delete;
  PrivateTraceFolder& operator=(const PrivateTraceFolder&) = delete;
  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path folder_;
};

// A session in a tracing folder of the test's own, and its socket file.
struct PrivateSession {
  explicit PrivateSession(const std::string& tag);
  PrivateTraceFolder place;
  std::unique_ptr<TraceSession> session;  // null when it could not start
  std::filesystem::path socket;
};

// A path to a socket file of the folder that other users can reach: a link
// in an open folder beside it, the socket open to all. The folder alone
// keeps everyone else out; this stands for a way in that it would miss.
std::filesystem::path OpenPathTo(const PrivateTraceFolder& place,
                                 const std::filesystem::path& socket);

// Connects a new socket to the socket file at path, trying again for a
// while when the listener has no room yet: the descriptor, or -1 with errno.
int ConnectSocketFile(const std::string& path);

// Leaves this process room for exactly spare more descriptors for the
// object's life.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(int spare);
  ~DescriptorLimit();
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

 private:
  rlimit saved_{};
};

// How many descriptors this process has open.
int OpenDescriptors();

// The processor time that the calling thread has used.
std::chrono::nanoseconds ThreadCpuTime();

// A forked child that runs body, as uid (with the group of the same number)
// when that is not this process's user, without the parent's sockets. The
// two sides talk in bytes: what one side sends, the other receives. The
// child is killed when the thread that made it ends.
class ChildProcess {
 public:
  ChildProcess(uid_t uid, const std::function<int(ChildProcess&)>& body);
  ~ChildProcess();  // kills and reaps a child that still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Send(char byte);
  // The next byte of the other side; nullopt on timeout or when it has gone.
  std::optional<char> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The child's exit status: body's result, kCannotChangeUser, kBodyThrew,
  // or -1 when it had to be killed after the timeout.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  static constexpr int kCannotChangeUser = 126;
  static constexpr int kBodyThrew = 124;

 private:
  pid_t pid_ = -1;
  int end_ = -1;  // this side's end of the two sides' connection
};

// A child, as uid, that waits to be sent 'g', then makes count connections
// to the socket file at path and holds them until it is sent anything else.
// It sends 'q' once it has made the first queued of them (when fewer than
// count) and 1 once it has made all; it ends with 2 at a connection that
// fails.
std::unique_ptr<ChildProcess> HoldConnections(uid_t uid, const std::string& path, int count,
                                              int queued = -1);

}  // namespace tracetest
