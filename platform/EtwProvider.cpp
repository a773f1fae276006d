// Event tracing stand-in: provider registration, the watcher thread, sends,
// the session query and the GUID text.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/EtwShared.h"
#include "platform/LastError.h"
#include "platform/Posix.h"

using tovel::FailWithLastError;

namespace {

using etw::ControlBlockMapping;
using etw::ControlState;

struct Registration {
  Registration(WMIDPREQUEST cb, void* ctx, const GUID& g, std::optional<ControlBlockMapping>&& m)
      : callback(cb), context(ctx), guid(g), mapping(std::move(m)) {}
  WMIDPREQUEST callback;
  void* context;
  GUID guid;
  // None while the block cannot be had (no room for it, say). Replaced only
  // by the watcher, under lock.
  std::optional<ControlBlockMapping> mapping;
  ControlState delivered;  // what the callback was last told (watcher only)
  std::mutex lock;
  std::condition_variable changed;   // stop or exited was set
  bool stop = false;                 // under lock
  bool exited = false;               // under lock
  std::atomic<pthread_t> watcher{};  // set by the watcher itself
  std::uint64_t firstSeen = 0;       // the counter the watcher starts from
};

// Process-wide tables. They are never destroyed, so a watcher that still runs
// while the process exits finds them intact.
std::mutex& TablesMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::set<Registration*>& Registrations() {
  static auto* registrations = new std::set<Registration*>;
  return *registrations;
}
// The flags and level each enabling session last gave, by logger handle.
std::map<TRACEHANDLE, ControlState>& EnableStates() {
  static auto* states = new std::map<TRACEHANDLE, ControlState>;
  return *states;
}

void Deliver(Registration& reg, const ControlState& state) {
  WNODE_HEADER header{};
  header.BufferSize = sizeof(header);
  header.Flags = WNODE_FLAG_TRACED_GUID;
  header.Guid = reg.guid;
  ULONG size = sizeof(header);
  if (state.loggerHandle != 0) {
    if (state == reg.delivered) return;
    {
      std::lock_guard lock(TablesMutex());
      EnableStates()[state.loggerHandle] = state;
    }
    header.HistoricalContext = state.loggerHandle;
    reg.delivered = state;
    reg.callback(WMI_ENABLE_EVENTS, reg.context, &size, &header);
  } else if (reg.delivered.loggerHandle != 0) {
    header.HistoricalContext = reg.delivered.loggerHandle;
    reg.delivered = ControlState{};
    reg.callback(WMI_DISABLE_EVENTS, reg.context, &size, &header);
  }
}

// The enable state as a new registration sees it: an enable by a session
// that has gone away without disabling is cleared.
ControlState CurrentState(const ControlBlockMapping& mapping) {
  ControlState state = mapping.Read();
  if (state.loggerHandle != 0 && !etw::SessionAlive(state.loggerHandle)) {
    mapping.WriteIfLogger(state.loggerHandle, ControlState{});
    state = ControlState{};
  }
  return state;
}

// How long the watcher sleeps at most before it looks again, and how often
// it polls a block that cannot be slept on (cut short) or is being written.
constexpr int kWatchTimeoutMs = 1000;
constexpr auto kDamagedPoll = std::chrono::milliseconds(100);
constexpr auto kBusyPoll = std::chrono::milliseconds(2);

// Waits up to pause unless the registration is being stopped; false when it is.
bool PauseUnlessStopped(Registration* reg, std::chrono::milliseconds pause) {
  std::unique_lock lock(reg->lock);
  return !reg->changed.wait_for(lock, pause, [&] { return reg->stop; });
}

bool Stopping(Registration* reg) {
  std::lock_guard lock(reg->lock);
  return reg->stop;
}

// A block that was removed or replaced under the provider, or that could
// not be had so far, is opened anew and seen as a new registration sees it;
// true when the watcher now looks at a new file.
bool ReopenIfReplaced(Registration* reg) {
  if (reg->mapping && reg->mapping->IsCurrentFile()) return false;
  auto fresh = ControlBlockMapping::Open(reg->guid);
  if (!fresh) return false;
  fresh->MarkProviderInUse();
  CurrentState(*fresh);
  std::lock_guard lock(reg->lock);
  reg->mapping = std::move(fresh);
  return true;
}

// The watcher: hears every change of the block and tells the callback. The
// block is read only through the file, so no content or size of it can stop
// this thread or the process.
// A counter value that no block holds: the block is read at the next look.
constexpr std::uint64_t kUnseen = std::uint64_t{1} << 32;

void WatchControlBlock(Registration* reg, std::uint64_t seen) {
  // Wake-ups by other processes must not put off the look for a replaced file.
  auto nextFileCheck =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWatchTimeoutMs);
  while (!Stopping(reg)) {
    if (std::chrono::steady_clock::now() >= nextFileCheck) {
      nextFileCheck = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWatchTimeoutMs);
      if (ReopenIfReplaced(reg)) seen = kUnseen;
    }
    if (!reg->mapping) {  // no block yet: looked for again at the next check
      if (!PauseUnlessStopped(reg, std::chrono::duration_cast<std::chrono::milliseconds>(
                                       nextFileCheck - std::chrono::steady_clock::now())))
        break;
      continue;
    }
    std::optional<std::uint32_t> now = reg->mapping->Sequence();
    if (!now) {  // cut short: nothing to sleep on until someone writes it again
      if (!PauseUnlessStopped(reg, kDamagedPoll)) break;
      continue;
    }
    if (*now != seen) {
      std::optional<ControlState> state = reg->mapping->TryRead();
      if (!state) {  // a writer holds the block
        if (!PauseUnlessStopped(reg, kBusyPoll)) break;
        continue;
      }
      seen = *now;
      Deliver(*reg, *state);
      continue;
    }
    const int result = reg->mapping->WaitForChange(*now, kWatchTimeoutMs);
    if (result != 0 && result != ETIMEDOUT && !PauseUnlessStopped(reg, kDamagedPoll)) break;
  }
  std::lock_guard lock(reg->lock);
  reg->exited = true;
  reg->changed.notify_all();
}

// The watcher runs detached on a small stack (it reads the block and runs the
// callback): a host is started for one message and ends soon after, so the
// thread's set-up and end stay cheap.
constexpr std::size_t kWatcherStackBytes = 256 * 1024;

void* RunWatcher(void* context) {
  auto* reg = static_cast<Registration*>(context);
  reg->watcher.store(pthread_self());
  WatchControlBlock(reg, reg->firstSeen);
  return nullptr;
}

}  // namespace

ULONG RegisterTraceGuidsW(WMIDPREQUEST requestAddress, void* requestContext,
                          const GUID* controlGuid, ULONG guidCount,
                          TRACE_GUID_REGISTRATION* traceGuidReg, const char16_t* mofImagePath,
                          const char16_t* mofResourceName, TRACEHANDLE* registrationHandle) {
  if (requestAddress == nullptr || controlGuid == nullptr || guidCount != 1 ||
      traceGuidReg == nullptr || traceGuidReg->Guid == nullptr || mofImagePath != nullptr ||
      mofResourceName != nullptr || registrationHandle == nullptr)
    return ERROR_INVALID_PARAMETER;
  // A block that is never to be used refuses the registration; one that
  // only cannot be had now (no room for it, say) is looked for again by the
  // watcher about once a second.
  bool refused = false;
  auto mapping = ControlBlockMapping::Open(*controlGuid, &refused);
  if (!mapping && refused) return ERROR_ACCESS_DENIED;

  if (mapping) mapping->MarkProviderInUse();
  auto* reg = new Registration(requestAddress, requestContext, *controlGuid, std::move(mapping));
  std::uint64_t seen = kUnseen;
  if (reg->mapping) {
    if (std::optional<std::uint32_t> sequence = reg->mapping->Sequence()) seen = *sequence;
    Deliver(*reg, CurrentState(*reg->mapping));
  }
  reg->firstSeen = seen;
  if (tovel::StartDetached(kWatcherStackBytes, RunWatcher, reg) != 0) {
    delete reg;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  {
    std::lock_guard lock(TablesMutex());
    Registrations().insert(reg);
  }
  traceGuidReg->RegHandle = reg;
  *registrationHandle = reinterpret_cast<TRACEHANDLE>(reg);
  return ERROR_SUCCESS;
}

ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
  auto* reg = reinterpret_cast<Registration*>(registrationHandle);
  {
    std::lock_guard lock(TablesMutex());
    if (Registrations().erase(reg) == 0) return ERROR_INVALID_HANDLE;
  }
  {
    std::lock_guard lock(reg->lock);
    reg->stop = true;
    reg->changed.notify_all();
  }
  // Called from its own control callback: the watcher ends after it returns.
  if (pthread_equal(reg->watcher.load(), pthread_self())) return ERROR_SUCCESS;
  // The watcher may be asleep on the block: wake it until it has seen the
  // stop. Once it has, it runs no callback and touches reg no more, so its
  // thread is left to end by itself rather than waited for.
  for (std::unique_lock lock(reg->lock); !reg->exited;) {
    if (reg->mapping) reg->mapping->WakeWatchers();
    reg->changed.wait_for(lock, std::chrono::milliseconds(1));
  }
  delete reg;
  return ERROR_SUCCESS;
}

TRACEHANDLE GetTraceLoggerHandle(void* buffer) {
  if (buffer == nullptr) return FailWithLastError<TRACEHANDLE>(ERROR_INVALID_HANDLE, 0);
  WNODE_HEADER header;
  std::memcpy(&header, buffer, sizeof(header));
  if (header.HistoricalContext == 0) return FailWithLastError<TRACEHANDLE>(ERROR_INVALID_HANDLE, 0);
  return header.HistoricalContext;
}

ULONG GetTraceEnableFlags(TRACEHANDLE loggerHandle) {
  std::lock_guard lock(TablesMutex());
  auto it = EnableStates().find(loggerHandle);
  if (it == EnableStates().end()) return FailWithLastError<ULONG>(ERROR_INVALID_HANDLE, 0);
  return it->second.enableFlags;
}

UCHAR GetTraceEnableLevel(TRACEHANDLE loggerHandle) {
  std::lock_guard lock(TablesMutex());
  auto it = EnableStates().find(loggerHandle);
  if (it == EnableStates().end()) return FailWithLastError<UCHAR>(ERROR_INVALID_HANDLE, 0);
  return it->second.enableLevel;
}

ULONG TraceMessage(TRACEHANDLE loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                   USHORT messageNumber, ...) {
  va_list args;
  va_start(args, messageNumber);
  ULONG result = TraceMessageVa(loggerHandle, messageFlags, messageGuid, messageNumber, args);
  va_end(args);
  return result;
}

ULONG TraceMessageVa(TRACEHANDLE loggerHandle, ULONG messageFlags, const GUID* messageGuid,
                     USHORT messageNumber, va_list messageArgList) {
  if (loggerHandle == 0) return FailWithLastError(ERROR_INVALID_HANDLE);
  const void* data[etw::kMaxWireFields];
  std::uint32_t lengths[etw::kMaxWireFields];
  std::size_t count = 0;
  for (;;) {
    const void* p = va_arg(messageArgList, const void*);
    if (p == nullptr) break;
    std::size_t length = va_arg(messageArgList, std::size_t);
    if (count == etw::kMaxWireFields) return FailWithLastError(ERROR_INVALID_PARAMETER);
    if (length > etw::kMaxDatagram) return FailWithLastError(ERROR_INSUFFICIENT_BUFFER);
    data[count] = p;
    lengths[count] = static_cast<std::uint32_t>(length);
    ++count;
  }
  etw::WireHeader header{};
  header.magic = etw::kWireMagic;
  header.kind = static_cast<std::uint16_t>(etw::WireKind::Message);
  header.fieldCount = static_cast<std::uint16_t>(count);
  header.messageFlags = messageFlags;
  header.number = messageNumber;
  if (messageFlags & TRACE_MESSAGE_SEQUENCE) header.sequence = etw::NextSequence();
  if (messageFlags & TRACE_MESSAGE_TIMESTAMP) header.timestampNs = etw::NowNs();
  if ((messageFlags & TRACE_MESSAGE_GUID) && messageGuid != nullptr) header.series = *messageGuid;
  if (messageFlags & TRACE_MESSAGE_SYSTEMINFO) {
    header.processId = static_cast<std::uint32_t>(getpid());
    header.threadId = etw::CurrentThreadId();
  }
  ULONG result = etw::SendRecord(loggerHandle, header, data, lengths);
  return result == ERROR_SUCCESS ? result : FailWithLastError(result);
}

ULONG ControlTraceW(TRACEHANDLE, const char16_t* sessionName, EVENT_TRACE_PROPERTIES* properties,
                    ULONG controlCode) {
  if (sessionName == nullptr || properties == nullptr) return ERROR_INVALID_PARAMETER;
  if (controlCode != EVENT_TRACE_CONTROL_QUERY) return ERROR_NOT_SUPPORTED;
  ULONG bufferSize = properties->Wnode.BufferSize;
  if (bufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
  std::string name;
  std::size_t length = 0;
  for (; sessionName[length] != 0; ++length) {
    if (sessionName[length] >= 0x80 || length > 64) return ERROR_WMI_INSTANCE_NOT_FOUND;
    name.push_back(static_cast<char>(sessionName[length]));
  }
  auto logger = etw::FindLiveSession(name);
  if (!logger) return ERROR_WMI_INSTANCE_NOT_FOUND;
  properties->Wnode.HistoricalContext = *logger;
  ULONG offset = properties->LoggerNameOffset;
  std::size_t needed = (length + 1) * sizeof(char16_t);
  if (offset < sizeof(EVENT_TRACE_PROPERTIES) || offset > bufferSize ||
      bufferSize - offset < needed)
    return ERROR_MORE_DATA;
  std::memcpy(reinterpret_cast<unsigned char*>(properties) + offset, sessionName, needed);
  return ERROR_SUCCESS;
}

std::string FormatGuid(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool ParseGuid(const std::string& text, GUID* guid) {
  std::string s = text;
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36) return false;
  unsigned char bytes[16];
  std::size_t n = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i++] != '-') return false;
      continue;
    }
    int hi = HexDigit(s[i]);
    int lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[n++] = static_cast<unsigned char>(hi << 4 | lo);
    i += 2;
  }
  GUID g{};
  g.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
  g.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  g.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(g.Data4, bytes + 8, 8);
  *guid = g;
  return true;
}
