// Event tracing stand-in: the consumer side.
//
// A TraceSession is a named session with a 64-bit logger handle. It enables
// the providers of its user (in any process) with a flag word and a level,
// and receives their messages in the order each sender sent them. Only
// processes of its own user reach it. It keeps a bounded number of their
// connections and makes room by dropping one that has never sent a message
// and has none waiting, else the one that has been quiet longest.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Etw.h"
#include "platform/UniqueFd.h"

// One received message (TraceMessage).
struct TraceRecord {
  ULONG messageFlags = 0;         // TRACE_MESSAGE_* of a message
  std::uint64_t sequence = 0;     // per sending process
  std::uint64_t timestampNs = 0;  // since 1970, UTC
  GUID series{};
  USHORT number = 0;
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
  std::vector<std::vector<std::uint8_t>> fields;  // the values, in order
};

// Forgets a provider's enable state on this machine (for tests that made up
// a control GUID of their own).
void RemoveProviderControlBlock(const GUID& controlGuid);

// Decodes one datagram; nullopt when it is not a well-formed record.
std::optional<TraceRecord> DecodeTraceRecord(const std::uint8_t* data, std::size_t size);

// What keeps this user's tracing folder from being used, as a sentence that
// names the folder; "" when nothing does.
std::string TraceFolderProblem();

class TraceSession {
 public:
  // Starts a session named name ([A-Za-z0-9._-], at most 64 characters).
  // Null with *error set: ERROR_ALREADY_EXISTS when a live session has the
  // name, ERROR_INVALID_PARAMETER for a bad name, ERROR_ACCESS_DENIED when
  // the session's record or socket cannot be made (TraceFolderProblem may
  // say why).
  static std::unique_ptr<TraceSession> Start(const std::string& name, DWORD* error = nullptr);
  // Disables the providers that this session still enables and ends it.
  ~TraceSession();
  TraceSession(const TraceSession&) = delete;
  TraceSession& operator=(const TraceSession&) = delete;

  const std::string& Name() const { return name_; }
  TRACEHANDLE LoggerHandle() const { return loggerHandle_; }

  // Enables the provider of controlGuid for this session (taking it from any
  // other session) or changes its flags and level. ERROR_SUCCESS or
  // ERROR_ACCESS_DENIED.
  DWORD EnableProvider(const GUID& controlGuid, ULONG enableFlags, UCHAR enableLevel);
  // Disables it, when this session is the one that enables it.
  DWORD DisableProvider(const GUID& controlGuid);

  // The next record, waiting at most timeout; nullopt when none came.
  std::optional<TraceRecord> Receive(std::chrono::milliseconds timeout);

  // The most connections kept at once.
  static constexpr std::size_t kMaxPeers = 256;

 private:
  using Clock = std::chrono::steady_clock;
  // One connection of a sending process.
  struct Peer {
    tovel::UniqueFd fd;
    bool heard = false;       // has sent a well-formed record
    Clock::time_point since;  // of the last record, or of the connection
  };
  TraceSession(std::string name, TRACEHANDLE loggerHandle, tovel::UniqueFd listener,
               std::string recordFile);
  // Queues one record of each peer that poll found ready; drops those that
  // have gone.
  void ReadReadyPeers(const std::vector<pollfd>& polled);
  // Accepts the waiting connections, dropping those of other users unread.
  void AcceptPeers();
  // Makes room for a connection; false when there is no peer to drop.
  bool DropOnePeer();
  std::string name_;
  TRACEHANDLE loggerHandle_;
  tovel::UniqueFd listener_;  // where senders connect
  std::vector<Peer> peers_;   // in the order they connected
  std::deque<TraceRecord> received_;
  Clock::time_point acceptAfter_{};  // no connection is accepted before (none could be kept)
  std::string recordFile_;
  std::map<std::string, GUID> enabled_;  // by FormatGuid
};
