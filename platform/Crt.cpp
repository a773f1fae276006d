// C runtime stand-ins over POSIX descriptors and the C library's clock.
#include "platform/Crt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "platform/LastError.h"
#include "platform/RetryOnInterrupt.h"
#include "platform/Threads.h"

using tovel::FailWithLastError;
using tovel::RetryOnInterrupt;

namespace {

// Sets errno and the thread's last error and passes the failure value on.
template <class T>
T FailWithErrno(int errnoValue, T result) {
  errno = errnoValue;
  return FailWithLastError<T>(Win32ErrorFromErrno(errnoValue), result);
}

// A transfer larger than INT_MAX could not report its count.
unsigned int ClampToInt(unsigned int count) {
  return count > static_cast<unsigned int>(INT_MAX) ? static_cast<unsigned int>(INT_MAX) : count;
}

// The translation mode recorded for a descriptor, with the identity of the
// file it was recorded for: a number that was closed and reused for another
// file starts again at _O_TEXT.
struct ModeRecord {
  dev_t device;
  ino_t inode;
  int mode;
};

// Never destroyed: a thread that is still running while the process exits may
// use it.
struct ModeTable {
  std::mutex lock;
  std::unordered_map<int, ModeRecord> modes;
};

ModeTable& Modes() {
  static ModeTable* table = new ModeTable;
  return *table;
}

// Standard descriptors 0 and 1 that were closed at start and now hold a
// placeholder. Written once, before any other thread exists.
bool g_channelPlaceholder[2] = {false, false};

bool IsChannelPlaceholder(int fd) { return (fd == 0 || fd == 1) && g_channelPlaceholder[fd]; }

// The clock behind _time64; null selects the system clock.
struct TimeSource {
  std::mutex lock;
  std::shared_ptr<const std::function<__time64_t()>> source;
};

TimeSource& Clock() {
  static TimeSource* clock = new TimeSource;
  return *clock;
}

}  // namespace

int _read(int fd, void* buffer, unsigned int count) {
  if (IsChannelPlaceholder(fd)) return FailWithErrno(EBADF, -1);
  if (buffer == nullptr && count != 0) return FailWithErrno(EINVAL, -1);
  const ssize_t n = RetryOnInterrupt([&] { return ::read(fd, buffer, ClampToInt(count)); });
  if (n < 0) return FailWithErrno(errno, -1);
  return static_cast<int>(n);
}

int _write(int fd, const void* buffer, unsigned int count) {
  if (IsChannelPlaceholder(fd)) return FailWithErrno(EBADF, -1);
  if (buffer == nullptr && count != 0) return FailWithErrno(EINVAL, -1);
  const ssize_t n = RetryOnInterrupt([&] { return ::write(fd, buffer, ClampToInt(count)); });
  if (n < 0) return FailWithErrno(errno, -1);
  return static_cast<int>(n);
}

int _fileno(std::FILE* stream) {
  if (stream == nullptr) return FailWithErrno(EINVAL, -1);
  const int fd = ::fileno(stream);
  if (fd < 0) return FailWithErrno(errno, -1);
  return fd;
}

int _setmode(int fd, int mode) {
  struct stat file;  // also tells whether the descriptor is open
  if (fd < 0 || IsChannelPlaceholder(fd) || ::fstat(fd, &file) != 0)
    return FailWithErrno(EBADF, -1);
  if (mode != _O_BINARY && mode != _O_TEXT) return FailWithErrno(EINVAL, -1);
  ModeTable& table = Modes();
  std::lock_guard lock(table.lock);
  try {
    auto [it, inserted] =
        table.modes.try_emplace(fd, ModeRecord{file.st_dev, file.st_ino, _O_TEXT});
    ModeRecord& record = it->second;
    if (record.device != file.st_dev || record.inode != file.st_ino)
      record = ModeRecord{file.st_dev, file.st_ino, _O_TEXT};
    return std::exchange(record.mode, mode);
  } catch (const std::bad_alloc&) {
    return FailWithErrno(ENOMEM, -1);
  }
}

void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken first: with 0 closed, that is 0.
    const int placeholder = ::open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_NOCTTY);
    bool reserved = placeholder == fd;
    if (placeholder >= 0 && placeholder != fd) {
      reserved = ::dup2(placeholder, fd) == fd;
      ::close(placeholder);
    }
    if (!reserved) ::_exit(255);
    if (fd <= 1) g_channelPlaceholder[fd] = true;
  }
}

__time64_t _time64(__time64_t* pTime) {
  std::shared_ptr<const std::function<__time64_t()>> source;
  {
    TimeSource& clock = Clock();
    std::lock_guard lock(clock.lock);
    source = clock.source;
  }
  const __time64_t now = source ? (*source)() : static_cast<__time64_t>(::time(nullptr));
  if (pTime != nullptr) *pTime = now;
  return now;
}

void SetTimeSourceForTesting(std::function<__time64_t()> source) {
  std::shared_ptr<const std::function<__time64_t()>> replacement;
  if (source) replacement = std::make_shared<const std::function<__time64_t()>>(std::move(source));
  TimeSource& clock = Clock();
  std::lock_guard lock(clock.lock);
  clock.source = std::move(replacement);
}
