#include "tests/tracing/TracingFixtures.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/EtwShared.h"
#include "tests/support/TraceTestSupport.h"

namespace tracetest {

PrivateTraceFolder::PrivateTraceFolder(const std::string& tag, const std::filesystem::path& parent)
    : root_(parent / UniqueSessionName(tag)), folder_(root_ / "etw") {
  std::filesystem::remove_all(root_);
  std::filesystem::create_directories(root_);
  etw::SetUserFolderForTesting(folder_.string());
  setenv(kTraceFolderVariable, folder_.c_str(), 1);
}

PrivateTraceFolder::~PrivateTraceFolder() {
  unsetenv(kTraceFolderVariable);
  etw::SetUserFolderForTesting("");
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

PrivateSession::PrivateSession(const std::string& tag)
    : place(tag), session(TraceSession::Start(UniqueSessionName(tag))) {
  if (session) socket = place.folder() / etw::SessionSocketName(session->LoggerHandle());
}

std::filesystem::path OpenPathTo(const PrivateTraceFolder& place,
                                 const std::filesystem::path& socket) {
  namespace fs = std::filesystem;
  const fs::path open = place.root() / "open";
  fs::create_directories(open);
  fs::permissions(open, fs::perms::all);
  const fs::path path = open / socket.filename();
  fs::create_hard_link(socket, path);
  fs::permissions(path, fs::perms::all);
  return path;
}

int ConnectSocketFile(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  for (int attempt = 0; attempt < 10000; ++attempt) {
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    if (errno != EAGAIN) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

DescriptorLimit::DescriptorLimit(int spare) {
  getrlimit(RLIMIT_NOFILE, &saved_);
  // New descriptors take the lowest free numbers: the limit goes just above
  // the spare-th of them.
  std::vector<int> free;
  for (int i = 0; i <= spare; ++i) free.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
  for (int fd : free) close(fd);
  if (free.back() < 0) return;
  rlimit lowered = saved_;
  lowered.rlim_cur = static_cast<rlim_t>(free.back());
  setrlimit(RLIMIT_NOFILE, &lowered);
}

DescriptorLimit::~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

int OpenDescriptors() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

std::chrono::nanoseconds ThreadCpuTime() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

ChildProcess::ChildProcess(uid_t uid, const std::function<int(ChildProcess&)>& body) {
  // A socket pair rather than pipes: a send to a child that has gone fails
  // instead of ending this process with SIGPIPE.
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
  const pid_t parent = getpid();
  pid_ = fork();
  const bool child = pid_ == 0;
  close(ends[child ? 0 : 1]);
  end_ = ends[child ? 1 : 0];
  if (!child) return;
  // The parent's sockets (its sessions' connections, its other children's
  // ends) are not the child's: a connection that the parent closes must close.
  for (int fd = 3; fd < 4096; ++fd) {
    struct stat st {};
    if (fd != end_ && fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) close(fd);
  }
  if (uid != geteuid() &&
      (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0 || geteuid() != uid))
    _exit(kCannotChangeUser);
  // It dies with the thread that made it, however that ends (asked for after
  // the change of user, which clears it), and never goes on into the code of
  // the test around it.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(kCannotChangeUser);
  try {
    _exit(body(*this));
  } catch (...) {
    _exit(kBodyThrew);
  }
}

ChildProcess::~ChildProcess() {
  // Killed before its end closes: a child that saw it close would go on.
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (end_ >= 0) close(end_);
}

bool ChildProcess::Send(char byte) { return end_ >= 0 && send(end_, &byte, 1, MSG_NOSIGNAL) == 1; }

std::optional<char> ChildProcess::Receive(std::chrono::milliseconds timeout) {
  pollfd ready{end_, POLLIN, 0};
  char byte = 0;
  if (end_ < 0 || poll(&ready, 1, static_cast<int>(timeout.count())) != 1 ||
      read(end_, &byte, 1) != 1)
    return std::nullopt;
  return byte;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<ChildProcess> HoldConnections(uid_t uid, const std::string& path, int count,
                                              int queued) {
  return std::make_unique<ChildProcess>(uid, [=](ChildProcess& self) {
    rlimit room{};
    getrlimit(RLIMIT_NOFILE, &room);
    room.rlim_cur = std::max<rlim_t>(room.rlim_cur, std::min<rlim_t>(room.rlim_max, count + 64));
    setrlimit(RLIMIT_NOFILE, &room);
    if (self.Receive() != 'g') return 1;
    std::vector<int> connections;
    for (int i = 0; i < count; ++i) {
      if (i == queued) self.Send('q');
      connections.push_back(ConnectSocketFile(path));
      if (connections.back() < 0) return 2;
    }
    self.Send(1);
    self.Receive(std::chrono::seconds(120));
    return 0;
  });
}

}  // namespace tracetest
