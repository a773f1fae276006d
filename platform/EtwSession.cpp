// Event tracing stand-in: trace sessions.
#include "platform/EtwSession.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/EtwShared.h"
#include "platform/RetryOnInterrupt.h"
#include "platform/UniqueFd.h"

namespace {

std::uint64_t NewLoggerHandle() {
  std::uint64_t handle = 0;
  while (handle == 0) {
    if (getrandom(&handle, sizeof(handle), 0) != static_cast<ssize_t>(sizeof(handle))) handle = 0;
  }
  return handle;
}

// A socket listening on the abstract name of a new logger handle.
tovel::UniqueFd ListenSessionSocket(std::uint64_t* loggerHandle) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    tovel::UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return {};
    std::uint64_t handle = NewLoggerHandle();
    sockaddr_un address;
    socklen_t length = etw::SessionAddress(handle, &address);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        listen(fd.get(), SOMAXCONN) == 0) {
      *loggerHandle = handle;
      return fd;
    }
  }
  return {};
}

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
  tovel::UniqueFd listener = ListenSessionSocket(&loggerHandle);
  if (!listener) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  *error = ClaimRecord(file, loggerHandle);
  if (*error != ERROR_SUCCESS) return nullptr;
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
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}};
    for (const tovel::UniqueFd& peer : peers_) fds.push_back({peer.get(), POLLIN, 0});
    const int ready = tovel::RetryOnInterrupt([&] {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      return poll(fds.data(), fds.size(),
                  static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    });
    if (ready <= 0) return std::nullopt;
    if (fds[0].revents & POLLIN) {
      for (int peer;
           (peer = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
        peers_.emplace_back(peer);
    }
    TraceRecord record;
    if (TakeReady(fds, &record)) return record;
  }
}

bool TraceSession::TakeReady(const std::vector<pollfd>& ready, TraceRecord* record) {
  std::vector<std::uint8_t> buffer(etw::kMaxDatagram + 1);
  for (std::size_t i = 1; i < ready.size(); ++i) {
    if (ready[i].revents == 0) continue;
    int peer = ready[i].fd;
    const ssize_t n = tovel::RetryOnInterrupt(
        [&] { return recv(peer, buffer.data(), buffer.size(), MSG_DONTWAIT); });
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) {  // the sender has gone
      peers_.erase(std::find_if(peers_.begin(), peers_.end(),
                                [&](const tovel::UniqueFd& fd) { return fd.get() == peer; }));
      continue;
    }
    // Anything that is not a record is skipped.
    if (auto decoded = DecodeTraceRecord(buffer.data(), static_cast<std::size_t>(n))) {
      *record = std::move(*decoded);
      return true;
    }
  }
  return false;
}
