// Event tracing stand-in: the user's folder, control blocks, session records
// and the datagram send.
#include "platform/EtwShared.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/Posix.h"

namespace etw {
namespace {

using tovel::UniqueFd;

constexpr char kFolderPrefix[] = "/dev/shm/tovel-etw-";
constexpr char kProviderPrefix[] = "provider.";
constexpr char kSessionPrefix[] = "session.";
constexpr char kSocketPrefix[] = "socket.";
// A registered provider holds a read lock on this byte of its block's file
// (beyond the block: record locks do not touch the data).
constexpr off_t kInUseByte = 4096;

// A test's folder, or "". Made on first use, so that a test program may set
// it from a static initialiser of its own.
struct TestFolder {
  std::mutex lock;
  std::string path;
};
TestFolder& TheTestFolder() {
  static TestFolder* folder = new TestFolder;
  return *folder;
}

// Holds a file lock for its scope, when it can be had within attempts
// tries 1 ms apart: a process that stops while holding it must not stall
// the others.
class FileLock {
 public:
  FileLock(int fd, int operation, int attempts = kAttempts) : fd_(fd) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
      if (tovel::RetryOnInterrupt([&] { return flock(fd_, operation | LOCK_NB); }) == 0) {
        held_ = true;
        return;
      }
      if (errno != EWOULDBLOCK) return;
      if (attempt + 1 < attempts) usleep(1000);
    }
  }
  ~FileLock() {
    if (held_) flock(fd_, LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return held_; }

 private:
  static constexpr int kAttempts = 1000;
  int fd_;
  bool held_ = false;
};

bool IsOwnRegularFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

bool IsLinked(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

std::string ProviderFileName(const GUID& controlGuid) {
  return kProviderPrefix + FormatGuid(controlGuid);
}

UniqueFd OpenUserFolder() { return OpenPrivateFolder(UserFolderPath()); }

// Opens a file of this user's folder; none when the folder or file cannot be
// had. *refused (when given) is set when the folder is never to be used, or
// the name is a symbolic link or another user's that could not be opened.
UniqueFd OpenInFolder(const std::string& name, int flags, bool* refused = nullptr) {
  FolderProblem problem;
  const UniqueFd dir = OpenPrivateFolder(UserFolderPath(), &problem);
  if (!dir) {
    if (refused != nullptr) *refused = problem.Untrusted();
    return {};
  }
  UniqueFd file(openat(dir.get(), name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  struct stat st {};
  if (!file && refused != nullptr)
    *refused = fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               (S_ISLNK(st.st_mode) || st.st_uid != geteuid());
  return file;
}

std::optional<ControlBlock> ReadBlock(int fd) {
  ControlBlock block{};
  if (pread(fd, &block, sizeof(block), 0) != static_cast<ssize_t>(sizeof(block)))
    return std::nullopt;
  return block;
}

// The fields of a well-formed block; "not enabled" for anything else. An
// odd counter is left by a writer of an earlier layout that died mid-change.
ControlState StateOf(const std::optional<ControlBlock>& block) {
  if (!block || block->magic != kControlBlockMagic || (block->sequence & 1u) != 0) return {};
  return {block->loggerHandle, block->enableFlags, static_cast<std::uint8_t>(block->enableLevel)};
}

// Writes the whole block with a new, even counter, then wakes the watchers.
bool StoreBlock(int fd, void* map, const ControlState& state) {
  auto current = ReadBlock(fd);
  std::uint32_t sequence = current ? current->sequence : 0;
  ControlBlock block{(sequence | 1u) + 1u, kControlBlockMagic, state.loggerHandle,
                     state.enableFlags, state.enableLevel};
  if (pwrite(fd, &block, sizeof(block), 0) != static_cast<ssize_t>(sizeof(block))) return false;
  if (map != nullptr)
    syscall(SYS_futex, static_cast<std::uint32_t*>(map), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  return true;
}

bool ProviderInUse(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kInUseByte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// This process's connection to the session it sends to. A connection that
// is replaced may still be in use by another thread's send, so it is never
// closed; it is kept on the retired list (there is one per session change).
// One that its session dropped is made anew in place (Reconnect).
struct Connection {
  std::uint64_t loggerHandle;
  int fd;
  std::atomic<bool> broken{false};
  Connection* next = nullptr;
};
std::atomic<Connection*> g_connection{nullptr};
std::atomic<Connection*> g_retired{nullptr};

// The logger handle whose session is known to be gone (or to belong to
// another user). Handles are never reused, so sends to it fail at once
// instead of trying to connect on every trace point.
std::atomic<std::uint64_t> g_deadLogger{0};

std::uint64_t NewLoggerHandle() {
  std::uint64_t handle = 0;
  while (handle == 0) {
    if (getrandom(&handle, sizeof(handle), 0) != static_cast<ssize_t>(sizeof(handle))) handle = 0;
  }
  return handle;
}

// The address of a file of the folder open as dir, reached through the
// folder's descriptor.
socklen_t AddressInFolder(int dir, const std::string& name, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  const int n = std::snprintf(address->sun_path, sizeof(address->sun_path), "/proc/self/fd/%d/%s",
                              dir, name.c_str());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
}

UniqueFd NewSessionSocket() {
  return UniqueFd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

// Connects fd (without blocking) to the socket file name of the folder open
// as dir: 0, or the errno (EACCES for a file or a listener that is not this
// user's).
int ConnectInFolder(int dir, const std::string& name, int fd) {
  struct stat st {};
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) return EACCES;
  sockaddr_un address;
  const socklen_t length = AddressInFolder(dir, name, &address);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return errno;
  return PeerIsOwnUser(fd) ? 0 : EACCES;
}

// Removes the socket files that nobody listens on. A session holds the
// folder's lock from its bind until it listens, so a socket being made is
// left alone.
void RemoveDeadSockets(const std::vector<std::string>& names) {
  if (names.empty()) return;
  const UniqueFd dir = OpenUserFolder();
  if (!dir) return;
  const FileLock lock(dir.get(), LOCK_EX, 1);
  if (!lock.held()) return;  // left for the next time
  for (const std::string& name : names) {
    const UniqueFd probe = NewSessionSocket();
    if (probe && ConnectInFolder(dir.get(), name, probe.get()) == ECONNREFUSED)
      unlinkat(dir.get(), name.c_str(), 0);
  }
}

// A new connection to the session of loggerHandle; none when there is no
// such session.
UniqueFd NewConnection(std::uint64_t loggerHandle) {
  if (loggerHandle == g_deadLogger.load(std::memory_order_relaxed)) return {};
  int error = 0;
  UniqueFd fd = ConnectToSession(loggerHandle, &error);
  if (!fd) {
    if (error == ECONNREFUSED || error == ENOENT || error == EACCES)
      g_deadLogger.store(loggerHandle);
    return {};
  }
  int size = 4 << 20;  // room for bursts; the kernel caps it
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  return fd;
}

Connection* Connect(std::uint64_t loggerHandle) {
  UniqueFd fd = NewConnection(loggerHandle);
  return fd ? new Connection{loggerHandle, fd.release()} : nullptr;
}

// Gives a broken connection a new socket under its descriptor number: a
// send of another thread goes through the old socket or the new, never to
// another file, and a session that drops connections costs no descriptor.
bool Reconnect(Connection* connection) {
  const UniqueFd fresh = NewConnection(connection->loggerHandle);
  if (!fresh || dup3(fresh.get(), connection->fd, O_CLOEXEC) < 0) return false;
  connection->broken.store(false);
  return true;
}

void Retire(Connection* connection) {
  connection->next = g_retired.load(std::memory_order_relaxed);
  while (
      !g_retired.compare_exchange_weak(connection->next, connection, std::memory_order_release)) {
  }
}

// The connection to the session of loggerHandle, made when needed; null when
// there is no such session.
Connection* ConnectionTo(std::uint64_t loggerHandle) {
  Connection* current = g_connection.load(std::memory_order_acquire);
  if (current != nullptr && current->loggerHandle == loggerHandle)
    return !current->broken.load() || Reconnect(current) ? current : nullptr;
  Connection* fresh = Connect(loggerHandle);
  if (fresh == nullptr) return nullptr;
  if (g_connection.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) {
    if (current != nullptr) Retire(current);
    return fresh;
  }
  Retire(fresh);  // another thread replaced it first
  return current != nullptr && current->loggerHandle == loggerHandle ? current : nullptr;
}

}  // namespace

std::string UserFolderPath() {
  {
    TestFolder& test = TheTestFolder();
    std::lock_guard lock(test.lock);
    if (!test.path.empty()) return test.path;
  }
  return kFolderPrefix + std::to_string(geteuid());
}

void SetUserFolderForTesting(const std::string& path) {
  TestFolder& test = TheTestFolder();
  std::lock_guard lock(test.lock);
  test.path = path;
}

UniqueFd OpenPrivateFolder(const std::string& path, FolderProblem* problem) {
  FolderProblem unused;
  if (problem == nullptr) problem = &unused;
  using Kind = FolderProblem::Kind;
  *problem = {};
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *problem = {Kind::CannotOpen, errno};
    return {};
  }
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!fd) {
    const int error = errno;
    if (lstat(path.c_str(), &st) != 0)
      *problem = {Kind::CannotOpen, error};
    else if (S_ISLNK(st.st_mode))
      problem->kind = Kind::Link;
    else if (!S_ISDIR(st.st_mode))
      problem->kind = Kind::NotAFolder;
    else
      *problem = {Kind::CannotOpen, error};
    return {};
  }
  if (fstat(fd.get(), &st) != 0) {
    *problem = {Kind::CannotOpen, errno};
    return {};
  }
  if (st.st_uid != geteuid()) {
    *problem = {Kind::OtherOwner, 0, st.st_uid};
    return {};
  }
  if ((st.st_mode & 0777) != 0700 && fchmod(fd.get(), 0700) != 0) {
    *problem = {Kind::CannotMakePrivate, errno};
    return {};
  }
  return fd;
}

std::string DescribeFolderProblem(const std::string& path, const FolderProblem& problem) {
  const std::string never = ": tracing never uses it; ask for it to be removed";
  switch (problem.kind) {
    case FolderProblem::Kind::None: return {};
    case FolderProblem::Kind::CannotOpen:
      return "the tracing folder " + path +
             " cannot be opened or made: " + std::system_category().message(problem.error);
    case FolderProblem::Kind::Link:
      return "the tracing folder " + path + " is a symbolic link" + never;
    case FolderProblem::Kind::NotAFolder:
      return "the tracing folder " + path + " is not a folder" + never;
    case FolderProblem::Kind::OtherOwner:
      return "the tracing folder " + path + " belongs to another user (uid " +
             std::to_string(problem.owner) + "), not to this one (uid " +
             std::to_string(geteuid()) + ")" + never;
    case FolderProblem::Kind::CannotMakePrivate:
      return "the tracing folder " + path + " cannot be made private (mode 0700): " +
             std::system_category().message(problem.error);
  }
  return {};
}

LockedFile::LockedFile(const std::string& name, bool create) : dir_(OpenUserFolder()), name_(name) {
  if (!dir_) return;
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0);
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd fd(openat(dir_.get(), name.c_str(), flags, 0600));
    if (!fd) return;
    tovel::RetryOnInterrupt([&] { return flock(fd.get(), LOCK_EX); });
    if (!IsOwnRegularFile(fd.get())) return;
    if (IsLinked(fd.get())) {
      fd_ = std::move(fd);
      return;
    }
    // removed by a clean-up before the lock was had: again
  }
}

void LockedFile::Remove() const {
  if (fd_) unlinkat(dir_.get(), name_.c_str(), 0);
}

std::string ControlBlockPath(const GUID& controlGuid) {
  const std::string folder = UserFolderPath();
  const UniqueFd made = OpenPrivateFolder(folder);  // the folder is made when missing
  return folder + "/" + ProviderFileName(controlGuid);
}

std::optional<ControlBlockMapping> ControlBlockMapping::Open(const GUID& controlGuid,
                                                             bool* refused) {
  bool unused = false;
  if (refused == nullptr) refused = &unused;
  *refused = false;
  const std::string name = ProviderFileName(controlGuid);
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd file = OpenInFolder(name, O_RDWR | O_CREAT, refused);
    if (!file) return std::nullopt;
    const int fd = file.get();
    // Only a block of this user's own counts: whoever can write it decides
    // where the provider's messages go.
    bool ok = false;
    bool removed = false;
    {
      FileLock lock(fd, LOCK_EX);
      struct stat st {};
      const bool known = lock.held() && fstat(fd, &st) == 0;
      *refused = known && st.st_uid != geteuid();
      ok = known && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
           ((st.st_mode & 077) == 0 || fchmod(fd, 0600) == 0);
      removed = ok && st.st_nlink == 0;
      auto block = ok && !removed ? ReadBlock(fd) : std::nullopt;
      if (ok && !removed && (!block || block->magic != kControlBlockMagic))
        ok = StoreBlock(fd, nullptr, {});
    }
    if (removed) continue;
    void* map = ok ? mmap(nullptr, sizeof(ControlBlock), PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (map == MAP_FAILED) return std::nullopt;
    return ControlBlockMapping(std::move(file), map, UserFolderPath() + "/" + name);
  }
  return std::nullopt;
}

ControlBlockMapping::ControlBlockMapping(ControlBlockMapping&& other) noexcept
    : fd_(std::move(other.fd_)),
      map_(std::exchange(other.map_, nullptr)),
      path_(std::move(other.path_)) {}

ControlBlockMapping& ControlBlockMapping::operator=(ControlBlockMapping&& other) noexcept {
  std::swap(fd_, other.fd_);
  std::swap(map_, other.map_);
  std::swap(path_, other.path_);
  return *this;
}

ControlBlockMapping::~ControlBlockMapping() {
  if (map_ != nullptr) munmap(map_, sizeof(ControlBlock));
}

ControlState ControlBlockMapping::Read() const {
  FileLock lock(fd_.get(), LOCK_SH);
  return lock.held() ? StateOf(ReadBlock(fd_.get())) : ControlState{};
}

std::optional<ControlState> ControlBlockMapping::TryRead() const {
  FileLock lock(fd_.get(), LOCK_SH, 20);
  if (!lock.held()) return std::nullopt;
  return StateOf(ReadBlock(fd_.get()));
}

std::optional<std::uint32_t> ControlBlockMapping::Sequence() const {
  std::uint32_t sequence = 0;
  if (pread(fd_.get(), &sequence, sizeof(sequence), 0) != static_cast<ssize_t>(sizeof(sequence)))
    return std::nullopt;
  return sequence;
}

bool ControlBlockMapping::WriteLocked(const ControlState& state) const {
  return StoreBlock(fd_.get(), map_, state);
}

bool ControlBlockMapping::Write(const ControlState& state) const {
  FileLock lock(fd_.get(), LOCK_EX);
  return lock.held() && WriteLocked(state);
}

bool ControlBlockMapping::WriteIfLogger(std::uint64_t expectedLogger,
                                        const ControlState& state) const {
  FileLock lock(fd_.get(), LOCK_EX);
  if (!lock.held() || StateOf(ReadBlock(fd_.get())).loggerHandle != expectedLogger) return false;
  return WriteLocked(state);
}

int ControlBlockMapping::WaitForChange(std::uint32_t seen, int timeoutMs) const {
  timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
  if (syscall(SYS_futex, static_cast<std::uint32_t*>(map_), FUTEX_WAIT, seen, &timeout, nullptr,
              0) == 0)
    return 0;
  return errno == EAGAIN || errno == EINTR ? 0 : errno;
}

void ControlBlockMapping::WakeWatchers() const {
  syscall(SYS_futex, static_cast<std::uint32_t*>(map_), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

bool ControlBlockMapping::MarkProviderInUse() const {
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kInUseByte;
  lock.l_len = 1;
  return fcntl(fd_.get(), F_OFD_SETLK, &lock) == 0;
}

bool ControlBlockMapping::IsCurrentFile() const {
  struct stat open {};
  struct stat named {};
  return fstat(fd_.get(), &open) == 0 && lstat(path_.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

void RemoveStaleFiles() {
  std::vector<std::string> names;
  std::vector<std::string> sockets;
  {
    UniqueFd dir = OpenUserFolder();
    if (!dir) return;
    const tovel::UniquePtr<DIR> listing(fdopendir(dir.get()));
    if (!listing) return;
    dir.release();  // the listing owns it now
    while (dirent* entry = readdir(listing.get())) {
      std::string name = entry->d_name;
      if (name.rfind(kProviderPrefix, 0) == 0 || name.rfind(kSessionPrefix, 0) == 0)
        names.push_back(name);
      else if (name.rfind(kSocketPrefix, 0) == 0)
        sockets.push_back(name);
    }
  }
  RemoveDeadSockets(sockets);
  for (const std::string& name : names) {
    const UniqueFd file = OpenInFolder(name, O_RDWR);
    if (!file) continue;
    const int fd = file.get();
    FileLock lock(fd, LOCK_EX, 1);  // a busy file is left for the next time
    if (lock.held() && IsOwnRegularFile(fd) && IsLinked(fd)) {
      bool stale = false;
      if (name.rfind(kSessionPrefix, 0) == 0) {
        SessionRecord record{};
        stale = pread(fd, &record, sizeof(record), 0) != static_cast<ssize_t>(sizeof(record)) ||
                record.magic != kSessionMagic || !SessionAlive(record.loggerHandle);
      } else {
        ControlState state = StateOf(ReadBlock(fd));
        bool enabledByLive = state.loggerHandle != 0 && SessionAlive(state.loggerHandle);
        if (!ProviderInUse(fd))
          stale = !enabledByLive;
        else if (state.loggerHandle != 0 && !enabledByLive)
          StoreBlock(fd, nullptr, {});  // its watchers see the change at their next look
      }
      if (stale) {
        const UniqueFd folder = OpenUserFolder();
        if (folder) unlinkat(folder.get(), name.c_str(), 0);
      }
    }
  }
}

std::string SessionSocketName(std::uint64_t loggerHandle) {
  char text[32];
  std::snprintf(text, sizeof(text), "%s%016llx", kSocketPrefix,
                static_cast<unsigned long long>(loggerHandle));
  return text;
}

UniqueFd ListenSessionSocket(std::uint64_t* loggerHandle) {
  const UniqueFd dir = OpenUserFolder();
  if (!dir) return {};
  const FileLock lock(dir.get(), LOCK_SH);  // see RemoveDeadSockets
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd fd = NewSessionSocket();
    if (!fd) return {};
    const std::uint64_t handle = NewLoggerHandle();
    const std::string name = SessionSocketName(handle);
    sockaddr_un address;
    const socklen_t length = AddressInFolder(dir.get(), name, &address);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) continue;
    if (listen(fd.get(), SOMAXCONN) == 0) {
      *loggerHandle = handle;
      return fd;
    }
    unlinkat(dir.get(), name.c_str(), 0);
  }
  return {};
}

void RemoveSessionSocket(std::uint64_t loggerHandle) {
  const UniqueFd dir = OpenUserFolder();
  if (dir) unlinkat(dir.get(), SessionSocketName(loggerHandle).c_str(), 0);
}

UniqueFd ConnectToSession(std::uint64_t loggerHandle, int* error) {
  UniqueFd fd = NewSessionSocket();
  if (!fd) {
    *error = errno;
    return {};
  }
  FolderProblem problem;
  const UniqueFd dir = OpenPrivateFolder(UserFolderPath(), &problem);
  if (!dir)
    *error = problem.Untrusted() || problem.error == 0 ? EACCES : problem.error;
  else
    *error = ConnectInFolder(dir.get(), SessionSocketName(loggerHandle), fd.get());
  return *error == 0 ? std::move(fd) : UniqueFd();
}

bool SessionAlive(std::uint64_t loggerHandle) {
  if (loggerHandle == 0) return false;
  int error = 0;
  const UniqueFd connected = ConnectToSession(loggerHandle, &error);
  // A session with a full queue of connections is alive all the same.
  return connected || error == EAGAIN;
}

bool PeerIsOwnUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == geteuid();
}

std::string SessionRecordName(const std::string& name) {
  if (name.empty() || name.size() > 64) return {};
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return {};
  }
  return kSessionPrefix + name;
}

std::string SessionRecordPath(const std::string& name) {
  const std::string file = SessionRecordName(name);
  return file.empty() ? std::string() : UserFolderPath() + "/" + file;
}

std::optional<std::uint64_t> FindLiveSession(const std::string& name) {
  const std::string file = SessionRecordName(name);
  if (file.empty()) return std::nullopt;
  SessionRecord record{};
  ssize_t n = -1;
  {
    const UniqueFd fd = OpenInFolder(file, O_RDONLY);
    if (!fd) return std::nullopt;
    if (IsOwnRegularFile(fd.get())) n = pread(fd.get(), &record, sizeof(record), 0);
  }
  if (n != static_cast<ssize_t>(sizeof(record)) || record.magic != kSessionMagic ||
      !SessionAlive(record.loggerHandle))
    return std::nullopt;
  return record.loggerHandle;
}

std::uint64_t NextSequence() {
  static std::atomic<std::uint64_t> sequence{0};
  return sequence.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(gettid()); }

std::uint64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

ULONG SendRecord(std::uint64_t loggerHandle, const WireHeader& header, const void* const* data,
                 const std::uint32_t* lengths) {
  std::size_t count = header.fieldCount;
  if (count > kMaxWireFields) return ERROR_INVALID_PARAMETER;
  std::size_t total = sizeof(header) + count * sizeof(std::uint32_t);
  for (std::size_t i = 0; i < count; ++i) total += lengths[i];
  if (total > kMaxDatagram) return ERROR_INSUFFICIENT_BUFFER;
  Connection* connection = ConnectionTo(loggerHandle);
  if (connection == nullptr) return ERROR_WMI_INSTANCE_NOT_FOUND;

  iovec parts[2 + kMaxWireFields];
  parts[0] = {const_cast<WireHeader*>(&header), sizeof(header)};
  parts[1] = {const_cast<std::uint32_t*>(lengths), count * sizeof(std::uint32_t)};
  std::size_t used = 2;
  for (std::size_t i = 0; i < count; ++i)
    if (lengths[i] != 0) parts[used++] = {const_cast<void*>(data[i]), lengths[i]};

  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = used;
  const ssize_t sent = tovel::RetryOnInterrupt(
      [&] { return sendmsg(connection->fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL); });
  if (sent >= 0) return ERROR_SUCCESS;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return ERROR_NOT_ENOUGH_MEMORY;
  if (errno == EMSGSIZE) return ERROR_INSUFFICIENT_BUFFER;
  connection->broken.store(true);  // the session has gone, or has dropped this connection
  return ERROR_WMI_INSTANCE_NOT_FOUND;
}

}  // namespace etw
