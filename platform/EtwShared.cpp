// Event tracing stand-in: the user's folder, control blocks, session records
// and the datagram send.
#include "platform/EtwShared.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Posix.h"

namespace etw {
namespace {

using tovel::UniqueFd;

constexpr char kFolderPrefix[] = "/dev/shm/tovel-etw-";
constexpr char kProviderPrefix[] = "provider.";
constexpr char kSessionPrefix[] = "session.";
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

// Opens a file of this user's folder; none when the folder or file cannot be had.
UniqueFd OpenInFolder(const std::string& name, int flags) {
  const UniqueFd dir = OpenUserFolder();
  if (!dir) return {};
  return UniqueFd(
      openat(dir.get(), name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
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

// True when the peer of a connected socket runs as this user.
bool PeerIsOwnUser(int fd) {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
         credentials.uid == geteuid();
}

Connection* Connect(std::uint64_t loggerHandle) {
  if (loggerHandle == g_deadLogger.load(std::memory_order_relaxed)) return nullptr;
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return nullptr;
  sockaddr_un address;
  socklen_t length = SessionAddress(loggerHandle, &address);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT) g_deadLogger.store(loggerHandle);
    return nullptr;
  }
  if (!PeerIsOwnUser(fd.get())) {
    g_deadLogger.store(loggerHandle);
    return nullptr;
  }
  int size = 4 << 20;  // room for bursts; the kernel caps it
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  return new Connection{loggerHandle, fd.release()};
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
  if (current != nullptr && current->loggerHandle == loggerHandle && !current->broken.load())
    return current;
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

UniqueFd OpenPrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return {};
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      ((st.st_mode & 0777) != 0700 && fchmod(fd.get(), 0700) != 0))
    return {};
  return fd;
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

std::optional<ControlBlockMapping> ControlBlockMapping::Open(const GUID& controlGuid) {
  const std::string name = ProviderFileName(controlGuid);
  for (int attempt = 0; attempt < 8; ++attempt) {
    UniqueFd file = OpenInFolder(name, O_RDWR | O_CREAT);
    if (!file) return std::nullopt;
    const int fd = file.get();
    // Only a block of this user's own counts: whoever can write it decides
    // where the provider's messages go.
    bool ok = false;
    bool removed = false;
    {
      FileLock lock(fd, LOCK_EX);
      struct stat st {};
      ok = lock.held() && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
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
    }
  }
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

socklen_t SessionAddress(std::uint64_t loggerHandle, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  // Abstract name: a leading zero byte, then the text (no terminator).
  int n = std::snprintf(address->sun_path + 1, sizeof(address->sun_path) - 1, "tovel-etw/%016llx",
                        static_cast<unsigned long long>(loggerHandle));
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

bool SessionAlive(std::uint64_t loggerHandle) {
  if (loggerHandle == 0) return false;
  const UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return false;
  sockaddr_un address;
  socklen_t length = SessionAddress(loggerHandle, &address);
  return connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
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
  connection->broken.store(true);  // the session has gone
  return ERROR_WMI_INSTANCE_NOT_FOUND;
}

}  // namespace etw
