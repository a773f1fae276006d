// Event tracing stand-in: trace sessions.
#include "platform/EtwSession.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/EtwShared.h"
#include "platform/RetryOnInterrupt.h"
#include "platform/UniqueFd.h"

namespace {

// Claims the session record for the name, unless a live session holds it.
DWORD ClaimRecord(const std::string& file, std::uint64_t loggerHandle) {
  etw::LockedFile record(file, true);
  if (record.fd() < 0) return ERROR_ACCESS_DENIED;
  etw::SessionRecord existing{};
  if (pread(record.fd(), &existing, sizeof(existing), 0) ==
          static_cast<ssize_t>(sizeof(existing)) &&
      existing.magic == etw::kSessionMagic && etw::SessionAlive(existing.loggerHandle))
    return ERROR_ALREADY_EXISTS;
  etw::SessionRecord mine{etw::kSessionMagic, static_cast<std::uint32_t>(getpid()), loggerHandle};
  if (pwrite(record.fd(), &mine, sizeof(mine), 0) != static_cast<ssize_t>(sizeof(mine)) ||
      ftruncate(record.fd(), sizeof(mine)) != 0)
    return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// Removes the record when it is still this session's.
void ReleaseRecord(const std::string& file, std::uint64_t loggerHandle) {
  etw::LockedFile record(file, false);
  if (record.fd() < 0) return;
  etw::SessionRecord existing{};
  if (pread(record.fd(), &existing, sizeof(existing), 0) ==
          static_cast<ssize_t>(sizeof(existing)) &&
      existing.loggerHandle == loggerHandle)
    record.Remove();
}

}  // namespace

std::string TraceFolderProblem() {
  const std::string folder = etw::UserFolderPath();
  etw::FolderProblem problem;
  etw::OpenPrivateFolder(folder, &problem);
  return etw::DescribeFolderProblem(folder, problem);
}

void RemoveProviderControlBlock(const GUID& controlGuid) {
  unlink(etw::ControlBlockPath(controlGuid).c_str());
}

std::optional<TraceRecord> DecodeTraceRecord(const std::uint8_t* data, std::size_t size) {
  etw::WireHeader header;
  if (size < sizeof(header)) return std::nullopt;
  std::memcpy(&header, data, sizeof(header));
  if (header.magic != etw::kWireMagic || header.fieldCount > etw::kMaxWireFields ||
      header.kind != static_cast<std::uint16_t>(etw::WireKind::Message))
    return std::nullopt;
  std::size_t offset = sizeof(header);
  std::size_t lengthsSize = header.fieldCount * sizeof(std::uint32_t);
  if (size - offset < lengthsSize) return std::nullopt;
  std::vector<std::uint32_t> lengths(header.fieldCount);
  if (lengthsSize != 0) std::memcpy(lengths.data(), data + offset, lengthsSize);
  offset += lengthsSize;

  TraceRecord record;
  for (std::uint32_t length : lengths) {
    if (size - offset < length) return std::nullopt;
    record.fields.emplace_back(data + offset, data + offset + length);
    offset += length;
  }
  if (offset != size) return std::nullopt;
  record.messageFlags = header.messageFlags;
  record.sequence = header.sequence;
  record.timestampNs = header.timestampNs;
  record.series = header.series;
  record.number = header.number;
  record.processId = header.processId;
  record.threadId = header.threadId;
  return record;
}

std::unique_ptr<TraceSession> TraceSession::Start(const std::string& name, DWORD* error) {
  DWORD ignored;
  if (error == nullptr) error = &ignored;
  std::string file = etw::SessionRecordName(name);
  if (file.empty()) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  etw::RemoveStaleFiles();
  std::uint64_t loggerHandle = 0;
  tovel::UniqueFd listener = etw::ListenSessionSocket(&loggerHandle);
  if (!listener) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  *error = ClaimRecord(file, loggerHandle);
  if (*error != ERROR_SUCCESS) {
    etw::RemoveSessionSocket(loggerHandle);
    return nullptr;
  }
  return std::unique_ptr<TraceSession>(
      new TraceSession(name, loggerHandle, std::move(listener), file));
}

TraceSession::TraceSession(std::string name, TRACEHANDLE loggerHandle, tovel::UniqueFd listener,
                           std::string recordFile)
    : name_(std::move(name)),
      loggerHandle_(loggerHandle),
      listener_(std::move(listener)),
      recordFile_(std::move(recordFile)) {}

TraceSession::~TraceSession() {
  for (const auto& [text, guid] : enabled_) {
    if (auto mapping = etw::ControlBlockMapping::Open(guid))
      mapping->WriteIfLogger(loggerHandle_, etw::ControlState{});
  }
  ReleaseRecord(recordFile_, loggerHandle_);
  etw::RemoveSessionSocket(loggerHandle_);
}

DWORD TraceSession::EnableProvider(const GUID& controlGuid, ULONG enableFlags, UCHAR enableLevel) {
  auto mapping = etw::ControlBlockMapping::Open(controlGuid);
  if (!mapping) return ERROR_ACCESS_DENIED;
  if (!mapping->Write(etw::ControlState{loggerHandle_, enableFlags, enableLevel}))
    return ERROR_ACCESS_DENIED;
  enabled_[FormatGuid(controlGuid)] = controlGuid;
  return ERROR_SUCCESS;
}

DWORD TraceSession::DisableProvider(const GUID& controlGuid) {
  auto mapping = etw::ControlBlockMapping::Open(controlGuid);
  if (!mapping) return ERROR_ACCESS_DENIED;
  mapping->WriteIfLogger(loggerHandle_, etw::ControlState{});
  enabled_.erase(FormatGuid(controlGuid));
  return ERROR_SUCCESS;
}

std::optional<TraceRecord> TraceSession::Receive(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (bool first = true;; first = false) {
    if (!received_.empty()) {
      TraceRecord record = std::move(received_.front());
      received_.pop_front();
      return record;
    }
    if (!first && Clock::now() >= deadline) return std::nullopt;
    // poll leaves out a negative descriptor: the listener while it rests.
    const bool accepting = Clock::now() >= acceptAfter_;
    std::vector<pollfd> fds{{accepting ? listener_.get() : -1, POLLIN, 0}};
    for (const Peer& peer : peers_) fds.push_back({peer.fd.get(), POLLIN, 0});
    const int ready = tovel::RetryOnInterrupt([&] {
      const auto until = accepting ? deadline : std::min(deadline, acceptAfter_);
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      return poll(fds.data(), fds.size(),
                  static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    });
    if (ready < 0) return std::nullopt;
    if (ready == 0) continue;
    ReadReadyPeers(fds);
    if (fds[0].revents & POLLIN) AcceptPeers();
  }
}

void TraceSession::ReadReadyPeers(const std::vector<pollfd>& polled) {
  std::vector<std::uint8_t> buffer(etw::kMaxDatagram + 1);
  for (std::size_t i = 1; i < polled.size(); ++i) {
    if (polled[i].revents == 0) continue;
    Peer& peer = peers_[i - 1];
    const ssize_t n = tovel::RetryOnInterrupt(
        [&] { return recv(peer.fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) {  // the sender has gone
      peer.fd.reset();
      continue;
    }
    // Anything that is not a record is skipped.
    if (auto decoded = DecodeTraceRecord(buffer.data(), static_cast<std::size_t>(n))) {
      received_.push_back(std::move(*decoded));
      peer.heard = true;
      peer.since = Clock::now();
    }
  }
  std::erase_if(peers_, [](const Peer& peer) { return !peer.fd; });
}

void TraceSession::AcceptPeers() {
  // How long the listener rests when no connection can be taken at all.
  constexpr auto kRest = std::chrono::milliseconds(100);
  for (;;) {
    const int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      // Out of descriptors or memory, which is said whether or not a
      // connection waits: room is made from the peers for one that waits,
      // and when there are none the listener rests rather than spins.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pollfd waiting{listener_.get(), POLLIN, 0};
        if (poll(&waiting, 1, 0) == 0) return;
        if (DropOnePeer()) continue;
      }
      acceptAfter_ = Clock::now() + kRest;
      return;
    }
    tovel::UniqueFd peer(fd);
    if (!etw::PeerIsOwnUser(fd)) continue;  // another user's: closed unread
    if (peers_.size() >= kMaxPeers) DropOnePeer();
    peers_.push_back({std::move(peer), false, Clock::now()});
  }
}

bool TraceSession::DropOnePeer() {
  if (peers_.empty()) return false;
  // The oldest connection that has not sent a record and has none waiting
  // (or has gone); else the one that has been quiet longest.
  auto drop = std::find_if(peers_.begin(), peers_.end(), [](const Peer& peer) {
    char byte;
    return !peer.heard && recv(peer.fd.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  });
  if (drop == peers_.end())
    drop = std::min_element(peers_.begin(), peers_.end(),
                            [](const Peer& a, const Peer& b) { return a.since < b.since; });
  peers_.erase(drop);
  return true;
}
