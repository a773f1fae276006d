// Event tracing stand-in: what providers and sessions share (private).
//
// - Each user has a folder of their own, "/dev/shm/tovel-etw-<uid>" (mode
//   0700). A folder or file there that is a symbolic link, or that another
//   user owns, is never trusted: tracing then stays off for that user.
// - A provider's control block: a small file in that folder named after the
//   control GUID. It is read and written only with pread/pwrite under the
//   file's lock, never through memory, so a file cut short or filled with
//   anything reads as "not enabled" and cannot fault a reader. Its first word
//   changes with every write; watchers sleep on it as a futex through a
//   read-only mapping (a futex on a page that has gone fails, it does not
//   fault).
// - A session record: a file in that folder named after the session, holding
//   its logger handle and owner. The session is alive while a process of
//   this user listens on its socket. A session that starts removes the
//   records and sockets of dead sessions and the blocks that no provider
//   uses and no live session enables.
// - A session's socket: an AF_UNIX sequenced-packet socket file in that
//   folder named after the logger handle, so that no other user can reach,
//   take or even see it. It is reached through the folder's descriptor, so
//   the folder that was checked is the one used, whatever its path's length.
// - Messages: one packet each over this process's connection to the
//   session's socket. Each sender's queue is bounded by its socket buffer; a
//   send that finds it full fails at once.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/Etw.h"
#include "platform/UniqueFd.h"

namespace etw {

constexpr std::uint32_t kControlBlockMagic = 0x54435654;  // "TVCT"
constexpr std::uint32_t kSessionMagic = 0x53535654;       // "TVSS"
constexpr std::uint32_t kWireMagic = 0x52545654;          // "TVTR"

// The layout of a control block's file.
struct ControlBlock {
  std::uint32_t sequence;  // changes with every write; the watchers' futex word
  std::uint32_t magic;
  std::uint64_t loggerHandle;  // 0: not enabled
  std::uint32_t enableFlags;
  std::uint32_t enableLevel;
};
static_assert(sizeof(ControlBlock) == 24);

struct ControlState {
  std::uint64_t loggerHandle = 0;
  std::uint32_t enableFlags = 0;
  std::uint8_t enableLevel = 0;
  bool operator==(const ControlState&) const = default;
};

// An open control block; closed on destruction.
class ControlBlockMapping {
 public:
  // Opens (creating when needed) the block of a control GUID in this user's
  // folder. A block that another user owns is refused; one readable by
  // others is made private. *refused (when given) tells a block that is
  // never to be used (the folder or the block is a link, another user's or
  // not a folder) from one that only cannot be had now (no room, no
  // descriptor, something else of this user in its place).
  static std::optional<ControlBlockMapping> Open(const GUID& controlGuid, bool* refused = nullptr);
  ControlBlockMapping(ControlBlockMapping&& other) noexcept;
  ControlBlockMapping& operator=(ControlBlockMapping&& other) noexcept;
  ~ControlBlockMapping();

  // The fields; "not enabled" for a damaged or short block, and when the
  // lock could not be had within about a second.
  ControlState Read() const;
  // The same, but nullopt when a writer holds the lock (tries briefly).
  std::optional<ControlState> TryRead() const;
  // The block's change counter; nullopt when the file is cut short.
  std::optional<std::uint32_t> Sequence() const;
  // Writes the fields (under the block's file lock) and wakes the watchers.
  // False when the lock could not be had within about a second.
  bool Write(const ControlState& state) const;
  // Writes only when the block is enabled by expectedLogger (for a disable
  // that must not undo another session's enable). True when written.
  bool WriteIfLogger(std::uint64_t expectedLogger, const ControlState& state) const;

  // Sleeps while the counter is seen, at most timeoutMs: 0 after a change or
  // a wake-up, ETIMEDOUT, or another errno when the block cannot be slept on
  // (its page has gone); the caller then polls.
  int WaitForChange(std::uint32_t seen, int timeoutMs) const;
  // Wakes every watcher of the block, in every process.
  void WakeWatchers() const;
  // Marks the block as used by a registered provider of this process for as
  // long as it is open, so that clean-up leaves it.
  bool MarkProviderInUse() const;
  // False when the block's file has since been removed or replaced.
  bool IsCurrentFile() const;

 private:
  ControlBlockMapping(tovel::UniqueFd fd, void* map, std::string path)
      : fd_(std::move(fd)), map_(map), path_(std::move(path)) {}
  bool WriteLocked(const ControlState& state) const;
  tovel::UniqueFd fd_;
  void* map_;  // read-only, used only as the futex address
  std::string path_;
};

// The file of a control GUID's block.
std::string ControlBlockPath(const GUID& controlGuid);

// This user's folder of control blocks, session records and sockets.
std::string UserFolderPath();
// Why a folder cannot be used for tracing.
struct FolderProblem {
  enum class Kind { None, CannotOpen, Link, NotAFolder, OtherOwner, CannotMakePrivate };
  Kind kind = Kind::None;
  int error = 0;    // the errno of CannotOpen and CannotMakePrivate
  uid_t owner = 0;  // the owner of OtherOwner
  // A link, a folder of another user or something else than a folder: never
  // used, as opposed to a folder that only cannot be had now.
  bool Untrusted() const {
    return kind == Kind::Link || kind == Kind::NotAFolder || kind == Kind::OtherOwner;
  }
};
// Opens the folder at path as a directory descriptor, making it (mode 0700)
// when it is missing. None when it is a symbolic link, not a folder, or owned
// by another user; a folder of this user that others may enter is made
// private first. *problem (when given) says what kept it from being used.
tovel::UniqueFd OpenPrivateFolder(const std::string& path, FolderProblem* problem = nullptr);
// The problem as a sentence that names the folder; "" for none.
std::string DescribeFolderProblem(const std::string& path, const FolderProblem& problem);
// Test seam: a folder used in place of this user's ("" restores it). A test
// program may call this from a static initialiser to set the folder for the
// whole program: nothing reads it before main.
void SetUserFolderForTesting(const std::string& path);
// A file of this user's folder, opened and locked (exclusively) for the
// object's life. A file that is removed between the open and the lock is
// opened anew. fd() is -1 when the file cannot be had, or when it is not a
// regular file of this user.
class LockedFile {
 public:
  LockedFile(const std::string& name, bool create);
  int fd() const { return fd_.get(); }
  // Unlinks the file (its lock is still held).
  void Remove() const;

 private:
  tovel::UniqueFd dir_;
  tovel::UniqueFd fd_;  // closing it releases the lock
  std::string name_;
};

// Removes the records and sockets of dead sessions and the blocks that no
// provider has open and no live session enables; resets blocks still enabled
// by a dead session.
void RemoveStaleFiles();

// The file name of a logger handle's socket within the folder.
std::string SessionSocketName(std::uint64_t loggerHandle);
// A socket listening in this user's folder on the socket of a new, random
// logger handle; none when the folder or the socket cannot be had.
tovel::UniqueFd ListenSessionSocket(std::uint64_t* loggerHandle);
// Removes the socket file of a session that ends.
void RemoveSessionSocket(std::uint64_t loggerHandle);
// Connects (without blocking) to the session of a logger handle: only to a
// socket file of this user on which a process of this user listens. None,
// with *error: ENOENT or ECONNREFUSED when the session has gone, EACCES when
// the socket or the folder is not this user's, EAGAIN when the session has
// no room for another connection just now, or another errno.
tovel::UniqueFd ConnectToSession(std::uint64_t loggerHandle, int* error);
// True when a session of this user listens on the handle's socket.
bool SessionAlive(std::uint64_t loggerHandle);
// True when the peer of a connected socket runs as this user.
bool PeerIsOwnUser(int fd);

// Session records.
struct SessionRecord {
  std::uint32_t magic;
  std::uint32_t ownerPid;
  std::uint64_t loggerHandle;
};
// The record's file, or "" when the name has characters outside
// [A-Za-z0-9._-] or is empty or longer than 64.
std::string SessionRecordPath(const std::string& name);
// The record's file name within the folder ("" as above).
std::string SessionRecordName(const std::string& name);
// The logger handle of a live session of that name.
std::optional<std::uint64_t> FindLiveSession(const std::string& name);

// Datagram layout: WireHeader, fieldCount 32-bit lengths, then the fields.
enum class WireKind : std::uint16_t { Message = 1 };
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
