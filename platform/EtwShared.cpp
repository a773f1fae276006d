// Event tracing stand-in: control blocks, session records and the datagram send.
#include "platform/EtwShared.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace etw {
namespace {

constexpr char kShmPrefix[] = "/dev/shm/tovel-etw.";

// Holds an exclusive file lock for its scope, when it can be had within about
// a second: a process that stops while holding it must not stall the others.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) return;
      usleep(1000);
    }
  }
  // Takes the lock only when it is free at once.
  static FileLock TryNow(int fd) { return FileLock(fd, flock(fd, LOCK_EX | LOCK_NB) == 0); }
  ~FileLock() {
    if (held_) flock(fd_, LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return held_; }

 private:
  FileLock(int fd, bool held) : fd_(fd), held_(held) {}
  static constexpr int kAttempts = 1000;
  int fd_;
  bool held_ = false;
};

void StoreFields(ControlBlock& block, const ControlState& state) {
  block.sequence.fetch_add(1, std::memory_order_acq_rel);  // odd: writing
  block.loggerHandle.store(state.loggerHandle, std::memory_order_relaxed);
  block.enableFlags.store(state.enableFlags, std::memory_order_relaxed);
  block.enableLevel.store(state.enableLevel, std::memory_order_relaxed);
  block.sequence.fetch_add(1, std::memory_order_release);  // even: done
  FutexWakeAll(&block.sequence);
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
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == geteuid();
}

Connection* Connect(std::uint64_t loggerHandle) {
  if (loggerHandle == g_deadLogger.load(std::memory_order_relaxed)) return nullptr;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  sockaddr_un address;
  socklen_t length = SessionAddress(loggerHandle, &address);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  if (!connected && (errno == ECONNREFUSED || errno == ENOENT)) g_deadLogger.store(loggerHandle);
  if (connected && !PeerIsOwnUser(fd)) {
    g_deadLogger.store(loggerHandle);
    connected = false;
  }
  if (!connected) {
    close(fd);
    return nullptr;
  }
  int size = 4 << 20;  // room for bursts; the kernel caps it
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  return new Connection{loggerHandle, fd};
}

void Retire(Connection* connection) {
  connection->next = g_retired.load(std::memory_order_relaxed);
  while (!g_retired.compare_exchange_weak(connection->next, connection, std::memory_order_release)) {
  }
}

// The connection to the session of loggerHandle, made when needed; null when
// there is no such session.
Connection* ConnectionTo(std::uint64_t loggerHandle) {
  Connection* current = g_connection.load(std::memory_order_acquire);
  if (current != nullptr && current->loggerHandle == loggerHandle && !current->broken.load()) return current;
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

std::string ControlBlockPath(const GUID& controlGuid) {
  return kShmPrefix + std::string("provider.") + FormatGuid(controlGuid);
}

std::optional<ControlBlockMapping> ControlBlockMapping::Open(const GUID& controlGuid) {
  std::string path = ControlBlockPath(controlGuid);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return std::nullopt;
  {
    // Only a block of this user's own counts: whoever can write it decides
    // where the provider's messages go.
    FileLock lock(fd);
    struct stat st {};
    if (!lock.held() || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) ||
        (st.st_size < static_cast<off_t>(sizeof(ControlBlock)) &&
         ftruncate(fd, sizeof(ControlBlock)) != 0)) {
      close(fd);
      return std::nullopt;
    }
  }
  void* p = mmap(nullptr, sizeof(ControlBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    close(fd);
    return std::nullopt;
  }
  auto* block = static_cast<ControlBlock*>(p);
  if (block->magic.load() != kControlBlockMagic) {
    FileLock lock(fd);
    if (lock.held() && block->magic.load() != kControlBlockMagic) {
      StoreFields(*block, ControlState{});
      block->magic.store(kControlBlockMagic);
    }
  }
  return ControlBlockMapping(fd, block);
}

ControlBlockMapping::ControlBlockMapping(ControlBlockMapping&& other) noexcept
    : fd_(other.fd_), block_(other.block_) {
  other.fd_ = -1;
  other.block_ = nullptr;
}

ControlBlockMapping::~ControlBlockMapping() {
  if (block_ != nullptr) munmap(block_, sizeof(ControlBlock));
  if (fd_ >= 0) close(fd_);
}

ControlState ControlBlockMapping::Read() const {
  for (int waits = 0;; ++waits) {
    std::uint32_t before = block_->sequence.load(std::memory_order_acquire);
    if (before & 1u) {
      // A writer holds the file lock for the whole change. An odd counter
      // with the lock free was left by a writer that died (or by a damaged
      // file): the block is reset to "not enabled".
      if (waits >= kWaitsBeforeRepair && RepairAbandonedWrite()) continue;
      if (waits >= kWaitsBeforeGivingUp) return ControlState{};
      FutexWait(&block_->sequence, before, 1);
      continue;
    }
    ControlState state;
    state.loggerHandle = block_->loggerHandle.load(std::memory_order_relaxed);
    state.enableFlags = block_->enableFlags.load(std::memory_order_relaxed);
    state.enableLevel = static_cast<std::uint8_t>(block_->enableLevel.load(std::memory_order_relaxed));
    std::atomic_thread_fence(std::memory_order_acquire);
    if (block_->sequence.load(std::memory_order_relaxed) == before) return state;
  }
}

bool ControlBlockMapping::RepairAbandonedWrite() const {
  FileLock lock = FileLock::TryNow(fd_);
  if (!lock.held()) return false;
  std::uint32_t sequence = block_->sequence.load(std::memory_order_acquire);
  if ((sequence & 1u) == 0) return true;
  block_->loggerHandle.store(0, std::memory_order_relaxed);
  block_->enableFlags.store(0, std::memory_order_relaxed);
  block_->enableLevel.store(0, std::memory_order_relaxed);
  block_->sequence.fetch_add(1, std::memory_order_release);  // even again
  FutexWakeAll(&block_->sequence);
  return true;
}

bool ControlBlockMapping::Write(const ControlState& state) const {
  FileLock lock(fd_);
  if (!lock.held()) return false;
  StoreFields(*block_, state);
  return true;
}

bool ControlBlockMapping::WriteIfLogger(std::uint64_t expectedLogger, const ControlState& state) const {
  FileLock lock(fd_);
  if (!lock.held() || block_->loggerHandle.load(std::memory_order_relaxed) != expectedLogger) return false;
  StoreFields(*block_, state);
  return true;
}

void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, int timeoutMs) {
  timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT, expected, &timeout,
          nullptr, 0);
}

void FutexWakeAll(std::atomic<std::uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr,
          nullptr, 0);
}

socklen_t SessionAddress(std::uint64_t loggerHandle, sockaddr_un* address) {
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  // Abstract name: a leading zero byte, then the text (no terminator).
  int n = std::snprintf(address->sun_path + 1, sizeof(address->sun_path) - 1,
                        "tovel-etw/%016llx", static_cast<unsigned long long>(loggerHandle));
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

bool SessionAlive(std::uint64_t loggerHandle) {
  if (loggerHandle == 0) return false;
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_un address;
  socklen_t length = SessionAddress(loggerHandle, &address);
  bool alive = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  close(fd);
  return alive;
}

std::string SessionRecordPath(const std::string& name) {
  if (name.empty() || name.size() > 64) return {};
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return {};
  }
  return kShmPrefix + std::string("session.") + name;
}

std::optional<std::uint64_t> FindLiveSession(const std::string& name) {
  std::string path = SessionRecordPath(name);
  if (path.empty()) return std::nullopt;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  SessionRecord record{};
  struct stat st {};
  bool own = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
  ssize_t n = own ? pread(fd, &record, sizeof(record), 0) : -1;
  close(fd);
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
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
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
  ssize_t sent;
  do {
    sent = sendmsg(connection->fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) return ERROR_SUCCESS;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return ERROR_NOT_ENOUGH_MEMORY;
  if (errno == EMSGSIZE) return ERROR_INSUFFICIENT_BUFFER;
  connection->broken.store(true);  // the session has gone
  return ERROR_WMI_INSTANCE_NOT_FOUND;
}

}  // namespace etw
