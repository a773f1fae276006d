// Threads, the unnamed mutex and event and the thread's last error over POSIX threads.
//
// Handles are small tagged objects kept in one process-wide table: a handle is
// looked up there before it is used, so a null, closed or made-up value is
// refused without being dereferenced, and a handle of the wrong kind is told
// apart by its tag.
#include "platform/Threads.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/LastError.h"
#include "platform/Posix.h"

using tovel::FailWithLastError;

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

enum class HandleKind : std::uint32_t {
  kThread = 0x54485244u,
  kMutex = 0x4D555458u,
  kEvent = 0x45564E54u
};

struct HandleObject {
  explicit HandleObject(HandleKind k) : kind(k) {}
  virtual ~HandleObject() = default;
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;
  const HandleKind kind;
};

// A thread handle only names the thread: the thread runs detached and closing
// the handle does not affect it.
struct ThreadObject final : HandleObject {
  ThreadObject() : HandleObject(HandleKind::kThread) {}
};

// Recursive and owner-tracked: only the owning thread may release it, and the
// owner may take it again without blocking.
class MutexObject final : public HandleObject {
 public:
  MutexObject() : HandleObject(HandleKind::kMutex) {}

  // Takes ownership, waiting until the deadline (none: without limit); false
  // when the deadline passed first.
  bool Acquire(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock lock(lock_);
    const std::thread::id self = std::this_thread::get_id();
    const auto isFree = [&] { return count_ == 0 || owner_ == self; };
    if (!deadline)
      free_.wait(lock, isFree);
    else if (!free_.wait_until(lock, *deadline, isFree))
      return false;
    owner_ = self;
    ++count_;
    return true;
  }

  bool Release() {
    std::lock_guard lock(lock_);
    if (count_ == 0 || owner_ != std::this_thread::get_id()) return false;
    if (--count_ == 0) {
      owner_ = std::thread::id();
      free_.notify_one();
    }
    return true;
  }

 private:
  std::mutex lock_;
  std::condition_variable free_;
  std::thread::id owner_;
  unsigned long count_ = 0;
};

// A manual-reset event: once set, every wait succeeds until it is reset.
class EventObject final : public HandleObject {
 public:
  explicit EventObject(bool set) : HandleObject(HandleKind::kEvent), set_(set) {}

  void Set() {
    std::lock_guard lock(lock_);
    set_ = true;
    changed_.notify_all();
  }
  void Reset() {
    std::lock_guard lock(lock_);
    set_ = false;
  }
  // False when the deadline passed first.
  bool Wait(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock lock(lock_);
    if (!deadline) {
      changed_.wait(lock, [&] { return set_; });
      return true;
    }
    return changed_.wait_until(lock, *deadline, [&] { return set_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool set_;
};

// Live handles. Never destroyed, so a thread still running while the process
// exits can use it safely.
class HandleTable {
 public:
  static HandleTable& Instance() {
    static HandleTable* table = new HandleTable;
    return *table;
  }

  // The object's handle, or null when memory ran out.
  HANDLE Add(std::shared_ptr<HandleObject> object) noexcept {
    HANDLE handle = object.get();
    std::lock_guard lock(lock_);
    try {
      objects_.emplace(handle, std::move(object));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    return handle;
  }

  // The object behind a live handle, or null.
  std::shared_ptr<HandleObject> Find(HANDLE handle) {
    std::lock_guard lock(lock_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  bool Remove(HANDLE handle) {
    std::lock_guard lock(lock_);
    return objects_.erase(handle) == 1;
  }

 private:
  std::mutex lock_;
  std::unordered_map<HANDLE, std::shared_ptr<HandleObject>> objects_;
};

struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

void* RunThread(void* pStart) {
  const ThreadStart start = *static_cast<ThreadStart*>(pStart);
  delete static_cast<ThreadStart*>(pStart);
  start.routine(start.parameter);
  return nullptr;
}

// Registers a new object (null when its allocation failed); null on failure.
HANDLE AddHandle(HandleObject* object) noexcept {
  if (object == nullptr) return nullptr;
  std::shared_ptr<HandleObject> owner;
  try {
    owner.reset(object);
  } catch (const std::bad_alloc&) {
    return nullptr;  // reset() has deleted the object
  }
  return HandleTable::Instance().Add(std::move(owner));
}

std::atomic<DWORD> g_nextThreadId{1};

}  // namespace

DWORD Win32ErrorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case ENOMEM:
    case EAGAIN:  // out of threads or another per-process resource
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOSYS:
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }

HANDLE CreateThread(void* /*security*/, std::size_t stackSize, LPTHREAD_START_ROUTINE routine,
                    LPVOID parameter, DWORD creationFlags, DWORD* threadId) {
  if (routine == nullptr) return FailWithLastError<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  if (creationFlags != 0) return FailWithLastError<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);

  HANDLE handle = AddHandle(new (std::nothrow) ThreadObject);
  if (handle == nullptr) return FailWithLastError<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart{routine, parameter});
  // Like Windows, a small stack request is rounded up rather than refused.
  const int rc = start ? tovel::StartDetached(stackSize, RunThread, start.get()) : ENOMEM;
  if (rc != 0) {
    HandleTable::Instance().Remove(handle);
    return FailWithLastError<HANDLE>(Win32ErrorFromErrno(rc), nullptr);
  }
  start.release();  // the thread frees it

  if (threadId != nullptr) *threadId = g_nextThreadId.fetch_add(1);
  return handle;
}

// POSIX has no safe way to end one thread from outside: pthread_cancel acts
// only at cancellation points and would unwind through code that never
// expected it, and a thread stopped mid-call may hold the heap's or a
// library's locks forever. Callers end the whole process instead.
BOOL TerminateThread(HANDLE thread, DWORD /*exitCode*/) {
  auto object = HandleTable::Instance().Find(thread);
  if (!object || object->kind != HandleKind::kThread)
    return FailWithLastError<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  return FailWithLastError<BOOL>(ERROR_NOT_SUPPORTED, FALSE);
}

void ExitProcessNow(int exitCode) { _exit(exitCode); }

HANDLE CreateMutexW(void* /*security*/, BOOL initialOwner, const char16_t* name) {
  if (name != nullptr) return FailWithLastError<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
  auto* mutex = new (std::nothrow) MutexObject;
  if (mutex != nullptr && initialOwner) mutex->Acquire(std::nullopt);  // free: never waits
  HANDLE handle = AddHandle(mutex);
  if (handle == nullptr) return FailWithLastError<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto object = HandleTable::Instance().Find(mutex);
  if (!object || object->kind != HandleKind::kMutex)
    return FailWithLastError<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  if (!static_cast<MutexObject&>(*object).Release())
    return FailWithLastError<BOOL>(ERROR_NOT_OWNER, FALSE);
  return TRUE;
}

HANDLE CreateEventW(void* /*security*/, BOOL manualReset, BOOL initialState, const char16_t* name) {
  if (name != nullptr || !manualReset)
    return FailWithLastError<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
  HANDLE handle = AddHandle(new (std::nothrow) EventObject(initialState != FALSE));
  if (handle == nullptr) return FailWithLastError<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  return handle;
}

BOOL SetEvent(HANDLE event) {
  auto object = HandleTable::Instance().Find(event);
  if (!object || object->kind != HandleKind::kEvent)
    return FailWithLastError<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  static_cast<EventObject&>(*object).Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto object = HandleTable::Instance().Find(event);
  if (!object || object->kind != HandleKind::kEvent)
    return FailWithLastError<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  static_cast<EventObject&>(*object).Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  // The shared pointer keeps the object alive even if another thread closes
  // the handle while this one waits.
  auto object = HandleTable::Instance().Find(handle);
  if (!object) return FailWithLastError<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
  if (object->kind != HandleKind::kMutex && object->kind != HandleKind::kEvent)
    return FailWithLastError<DWORD>(ERROR_NOT_SUPPORTED, WAIT_FAILED);

  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (milliseconds != INFINITE)
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  const bool signalled = object->kind == HandleKind::kMutex
                             ? static_cast<MutexObject&>(*object).Acquire(deadline)
                             : static_cast<EventObject&>(*object).Wait(deadline);
  return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE handle) {
  if (!HandleTable::Instance().Remove(handle))
    return FailWithLastError<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
