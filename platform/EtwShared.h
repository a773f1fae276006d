// Event tracing stand-in: what providers and sessions share (private).
//
// - A provider's control block: a small file in /dev/shm named after the
//   control GUID, mapped by every process that registers or enables it. A
//   sequence counter guards the fields (odd while a writer changes them) and
//   is the futex word that provider watchers sleep on.
// - A session record: a file in /dev/shm named after the session, holding its
//   logger handle and owner. The session is alive while its socket is bound.
// - Messages: one packet each over this process's connection to the
//   session's abstract AF_UNIX sequenced-packet socket, whose name is derived
//   from the logger handle. Each sender's queue is bounded by its socket
//   buffer; a send that finds it full fails at once.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Etw.h"

namespace etw {

constexpr std::uint32_t kControlBlockMagic = 0x54435654;  // "TVCT"
constexpr std::uint32_t kSessionMagic = 0x53535654;       // "TVSS"
constexpr std::uint32_t kWireMagic = 0x52545654;          // "TVTR"

struct ControlBlock {
  std::atomic<std::uint32_t> sequence;  // odd while being written; futex word
  std::atomic<std::uint32_t> magic;
  std::atomic<std::uint64_t> loggerHandle;  // 0: not enabled
  std::atomic<std::uint32_t> enableFlags;
  std::atomic<std::uint32_t> enableLevel;
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

struct ControlState {
  std::uint64_t loggerHandle = 0;
  std::uint32_t enableFlags = 0;
  std::uint8_t enableLevel = 0;
  bool operator==(const ControlState&) const = default;
};

// A mapped control block; unmapped on destruction.
class ControlBlockMapping {
 public:
  // Opens (creating when needed) the block of a control GUID. A block that
  // another user owns is refused; one readable by others is made private.
  static std::optional<ControlBlockMapping> Open(const GUID& controlGuid);
  ControlBlockMapping(ControlBlockMapping&& other) noexcept;
  ControlBlockMapping& operator=(ControlBlockMapping&&) = delete;
  ~ControlBlockMapping();

  ControlBlock& Block() const { return *block_; }
  // A consistent snapshot of the fields.
  ControlState Read() const;
  // Writes the fields (under the block's file lock) and wakes the watchers.
  // False when the lock could not be had within about a second.
  bool Write(const ControlState& state) const;
  // Writes only when the block is enabled by expectedLogger (for a disable
  // that must not undo another session's enable). True when written.
  bool WriteIfLogger(std::uint64_t expectedLogger, const ControlState& state) const;

 private:
  // Reads spin this many 1 ms waits on an odd counter before checking for a
  // writer that died mid-change, and give up ("not enabled") after this many.
  static constexpr int kWaitsBeforeRepair = 20;
  static constexpr int kWaitsBeforeGivingUp = 1000;
  // Ends a change that a dead writer left half done. False when a live
  // writer holds the lock.
  bool RepairAbandonedWrite() const;
  ControlBlockMapping(int fd, ControlBlock* block) : fd_(fd), block_(block) {}
  int fd_;
  ControlBlock* block_;
};

// The file of a control GUID's block.
std::string ControlBlockPath(const GUID& controlGuid);

// Sleeps while *word == expected, at most timeoutMs; wakes every sleeper.
void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, int timeoutMs);
void FutexWakeAll(std::atomic<std::uint32_t>* word);

// The abstract socket address of a logger handle.
socklen_t SessionAddress(std::uint64_t loggerHandle, sockaddr_un* address);
// True when a session listens on the handle's socket.
bool SessionAlive(std::uint64_t loggerHandle);

// Session records.
struct SessionRecord {
  std::uint32_t magic;
  std::uint32_t ownerPid;
  std::uint64_t loggerHandle;
};
// The record's file, or "" when the name has characters outside
// [A-Za-z0-9._-] or is empty or longer than 64.
std::string SessionRecordPath(const std::string& name);
// The logger handle of a live session of that name.
std::optional<std::uint64_t> FindLiveSession(const std::string& name);

// Datagram layout: WireHeader, fieldCount 32-bit lengths, then the fields.
enum class WireKind : std::uint16_t { Message = 1, Event = 2 };
struct WireHeader {
  std::uint32_t magic;
  std::uint16_t kind;
  std::uint16_t fieldCount;
  std::uint32_t messageFlags;
  std::uint16_t number;
  std::uint16_t reserved;
  std::uint64_t sequence;
  std::uint64_t timestampNs;  // since 1970, UTC
  GUID series;
  std::uint32_t processId;
  std::uint32_t threadId;
};
static_assert(sizeof(WireHeader) == 56);
constexpr std::size_t kMaxWireFields = 64;
constexpr std::size_t kMaxDatagram = 65000;

// Per-process sender state and the send itself (no lock, no blocking).
// The first send to a session connects to it.
std::uint64_t NextSequence();
std::uint32_t CurrentThreadId();
std::uint64_t NowNs();
// Sends header + fields; the header's fieldCount must match. ERROR_* result.
ULONG SendRecord(std::uint64_t loggerHandle, const WireHeader& header, const void* const* data,
                 const std::uint32_t* lengths);

}  // namespace etw
