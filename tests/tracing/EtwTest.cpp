// The event tracing stand-in on its own: registration and control requests,
// sessions, the message wire form and the session query.
// Providers here use GUIDs of their own, so they meet no other test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Etw.h"
#include "platform/EtwShared.h"
#include "platform/Threads.h"
#include "tests/support/TraceTestSupport.h"
#include "tests/tracing/TracingFixtures.h"

namespace {

using namespace tracetest;
namespace fs = std::filesystem;

GUID RandomGuid() {
  GUID guid{};
  while (getrandom(&guid, sizeof(guid), 0) != static_cast<ssize_t>(sizeof(guid))) {
  }
  return guid;
}

// A control GUID of this test's own; its enable state goes at the end.
class TestGuid {
 public:
  TestGuid() : guid_(RandomGuid()) {}
  ~TestGuid() { RemoveProviderControlBlock(guid_); }
  operator const GUID&() const { return guid_; }

 private:
  GUID guid_{};
};

// A provider that records every control request it hears.
class RecordingProvider {
 public:
  struct Request {
    WMIDPREQUESTCODE code;
    TRACEHANDLE logger;
    ULONG flags;
    UCHAR level;
  };

  explicit RecordingProvider(const GUID& guid) : guid_(guid) {
    TRACE_GUID_REGISTRATION registration{&guid_, nullptr};
    result_ =
        RegisterTraceGuidsW(&Callback, this, &guid_, 1, &registration, nullptr, nullptr, &handle_);
  }
  ~RecordingProvider() {
    if (handle_ != 0) UnregisterTraceGuids(handle_);
  }
  ULONG result() const { return result_; }
  std::vector<Request> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Waits until count requests have come.
  bool WaitForRequests(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return requests_.size() >= count; });
  }

 private:
  static ULONG Callback(WMIDPREQUESTCODE code, void* context, ULONG*, void* buffer) {
    auto* self = static_cast<RecordingProvider*>(context);
    Request request{code, GetTraceLoggerHandle(buffer), 0, 0};
    if (code == WMI_ENABLE_EVENTS) {
      request.flags = GetTraceEnableFlags(request.logger);
      request.level = GetTraceEnableLevel(request.logger);
    }
    std::lock_guard lock(self->mutex_);
    self->requests_.push_back(request);
    self->changed_.notify_all();
    return ERROR_SUCCESS;
  }

  GUID guid_;
  TRACEHANDLE handle_ = 0;
  ULONG result_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Request> requests_;
};

TEST(EtwProviderTest, CallbackHearsEnableChangeAndDisable) {
  const TestGuid testGuid;
  const GUID& guid = testGuid;
  auto session = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(session);
  RecordingProvider provider(guid);
  ASSERT_EQ(provider.result(), ERROR_SUCCESS);
  EXPECT_TRUE(provider.Requests().empty());

  const TRACEHANDLE logger = session->LoggerHandle();
  struct Step {
    const char* name;
    std::function<void()> act;
    RecordingProvider::Request expected;
  } steps[] = {
      {"enable",
       [&] { session->EnableProvider(guid, 0x3, 2); },
       {WMI_ENABLE_EVENTS, logger, 0x3, 2}},
      {"change",
       [&] { session->EnableProvider(guid, 0xF, 5); },
       {WMI_ENABLE_EVENTS, logger, 0xF, 5}},
      {"disable", [&] { session->DisableProvider(guid); }, {WMI_DISABLE_EVENTS, logger, 0, 0}},
      {"enable again",
       [&] { session->EnableProvider(guid, 0x8, 1); },
       {WMI_ENABLE_EVENTS, logger, 0x8, 1}},
      {"session ends", [&] { session.reset(); }, {WMI_DISABLE_EVENTS, logger, 0, 0}},
  };
  std::size_t count = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.act();
    ASSERT_TRUE(provider.WaitForRequests(++count));
    auto request = provider.Requests()[count - 1];
    EXPECT_EQ(request.code, step.expected.code);
    EXPECT_EQ(request.logger, step.expected.logger);
    EXPECT_EQ(request.flags, step.expected.flags);
    EXPECT_EQ(request.level, step.expected.level);
  }
}

TEST(EtwProviderTest, RegistrationCallsBackForAnExistingEnable) {
  const TestGuid testGuid;
  const GUID& guid = testGuid;
  auto session = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(session);
  ASSERT_EQ(session->EnableProvider(guid, 0x6, 4), ERROR_SUCCESS);
  RecordingProvider provider(guid);
  auto requests = provider.Requests();  // no waiting: it ran during registration
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, WMI_ENABLE_EVENTS);
  EXPECT_EQ(requests[0].logger, session->LoggerHandle());
  EXPECT_EQ(requests[0].flags, 0x6u);
  EXPECT_EQ(requests[0].level, 4);
}

TEST(EtwProviderTest, DisableByAnotherSessionLeavesTheEnableInPlace) {
  const TestGuid testGuid;
  const GUID& guid = testGuid;
  auto first = TraceSession::Start(UniqueSessionName("etw"));
  auto second = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(first && second);
  ASSERT_EQ(first->EnableProvider(guid, 0x1, 1), ERROR_SUCCESS);
  ASSERT_EQ(second->EnableProvider(guid, 0x2, 2), ERROR_SUCCESS);  // takes it over
  first.reset();  // must not disable the second session's enable
  RecordingProvider provider(guid);
  auto requests = provider.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].logger, second->LoggerHandle());
  EXPECT_EQ(requests[0].flags, 0x2u);
}

TEST(EtwProviderTest, RegistrationRefusesBadArguments) {
  const GUID guid = RandomGuid();
  TRACE_GUID_REGISTRATION registration{&guid, nullptr};
  TRACEHANDLE handle = 0;
  auto callback = [](WMIDPREQUESTCODE, void*, ULONG*, void*) -> ULONG { return 0; };
  struct Case {
    const char* name;
    WMIDPREQUEST callback;
    const GUID* controlGuid;
    ULONG count;
    TRACE_GUID_REGISTRATION* registration;
    const char16_t* mof;
    TRACEHANDLE* handle;
  } cases[] = {
      {"no callback", nullptr, &guid, 1, &registration, nullptr, &handle},
      {"no guid", callback, nullptr, 1, &registration, nullptr, &handle},
      {"two registrations", callback, &guid, 2, &registration, nullptr, &handle},
      {"no registration", callback, &guid, 1, nullptr, nullptr, &handle},
      {"a resource path", callback, &guid, 1, &registration, u"x.mof", &handle},
      {"no handle out", callback, &guid, 1, &registration, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RegisterTraceGuidsW(c.callback, nullptr, c.controlGuid, c.count, c.registration,
                                  c.mof, nullptr, c.handle),
              ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(UnregisterTraceGuids(0x1234), ERROR_INVALID_HANDLE);
}

TEST(EtwSessionTest, NamesAreCheckedAndUnique) {
  struct Case {
    std::string name;
    DWORD expected;
  } cases[] = {
      {"", ERROR_INVALID_PARAMETER},
      {"a/b", ERROR_INVALID_PARAMETER},
      {"../x", ERROR_INVALID_PARAMETER},
      {std::string(65, 'n'), ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD error = 0;
    EXPECT_FALSE(TraceSession::Start(c.name, &error));
    EXPECT_EQ(error, c.expected);
  }
  const std::string name = UniqueSessionName("etw");
  auto first = TraceSession::Start(name);
  ASSERT_TRUE(first);
  DWORD error = 0;
  EXPECT_FALSE(TraceSession::Start(name, &error));
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  first.reset();
  EXPECT_TRUE(TraceSession::Start(name));
}

TEST(EtwMessageTest, MessagesCarryTheirFieldsAndValues) {
  auto session = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(session);
  const GUID series = RandomGuid();
  const std::int32_t number = 0x11223344;
  const std::uint64_t before =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  ASSERT_EQ(TraceMessage(session->LoggerHandle(), 0x2B, &series, 77, "ab", std::size_t{3}, &number,
                         sizeof(number), static_cast<const void*>(nullptr)),
            ERROR_SUCCESS);
  ASSERT_EQ(
      TraceMessage(session->LoggerHandle(), 0, &series, 78, static_cast<const void*>(nullptr)),
      ERROR_SUCCESS);

  auto first = session->Receive(std::chrono::seconds(5));
  auto second = session->Receive(std::chrono::seconds(5));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->messageFlags, 0x2Bu);
  EXPECT_TRUE(first->series == series);
  EXPECT_EQ(first->number, 77);
  EXPECT_EQ(first->processId, static_cast<std::uint32_t>(getpid()));
  EXPECT_EQ(first->threadId, static_cast<std::uint32_t>(gettid()));
  EXPECT_GT(first->sequence, 0u);
  EXPECT_GE(first->timestampNs, before);
  ASSERT_EQ(first->fields.size(), 2u);
  EXPECT_EQ(first->fields[0], NarrowBytes("ab"));
  EXPECT_EQ(Int32Field(first->fields[1]), number);

  // Without message flags only the number and the values travel.
  EXPECT_EQ(second->number, 78);
  EXPECT_TRUE(second->fields.empty());
  EXPECT_EQ(second->sequence, 0u);
  EXPECT_EQ(second->timestampNs, 0u);
  EXPECT_EQ(second->processId, 0u);
  EXPECT_TRUE(second->series == GUID{});
}

TEST(EtwMessageTest, SendFailuresAreReportedAndNeverBlock) {
  auto session = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(session);
  const GUID series = RandomGuid();
  std::vector<char> huge(70000, 'h');
  struct Case {
    const char* name;
    TRACEHANDLE logger;
    const void* data;
    std::size_t size;
    ULONG expected;
  } cases[] = {
      {"no logger", 0, "x", 2, ERROR_INVALID_HANDLE},
      {"no such session", session->LoggerHandle() ^ 1, "x", 2, ERROR_WMI_INSTANCE_NOT_FOUND},
      {"too big", session->LoggerHandle(), huge.data(), huge.size(), ERROR_INSUFFICIENT_BUFFER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(TraceMessage(c.logger, 0x2B, &series, 10, c.data, c.size,
                           static_cast<const void*>(nullptr)),
              c.expected);
    EXPECT_EQ(GetLastError(), c.expected);
  }

  // Nobody reads: once the session's queue is full, sends fail at once.
  ULONG result = ERROR_SUCCESS;
  std::size_t sent = 0;
  for (; sent < 1000000 && result == ERROR_SUCCESS; ++sent) {
    const std::uint64_t value = sent;
    result = TraceMessage(session->LoggerHandle(), 0x2B, &series, 11, &value, sizeof(value),
                          static_cast<const void*>(nullptr));
  }
  EXPECT_EQ(result, ERROR_NOT_ENOUGH_MEMORY);
  auto oldest = session->Receive(std::chrono::seconds(5));
  ASSERT_TRUE(oldest);
  EXPECT_EQ(oldest->fields.at(0), std::vector<std::uint8_t>(8, 0));
}

TEST(EtwQueryTest, ControlTraceQueriesSessionsByName) {
  const std::string name = UniqueSessionName("query");
  auto session = TraceSession::Start(name);
  ASSERT_TRUE(session);
  const std::u16string wideName(name.begin(), name.end());
  struct Case {
    const char* name;
    std::u16string sessionName;
    ULONG bufferSize;
    ULONG nameOffset;
    ULONG controlCode;
    ULONG expected;
    bool handleFilled;
  } cases[] = {
      {"fixed part only", wideName, 120, 0, EVENT_TRACE_CONTROL_QUERY, ERROR_MORE_DATA, true},
      {"room for the name", wideName, 120 + 200, 120, EVENT_TRACE_CONTROL_QUERY, ERROR_SUCCESS,
       true},
      {"name does not fit", wideName, 124, 120, EVENT_TRACE_CONTROL_QUERY, ERROR_MORE_DATA, true},
      {"record too small", wideName, 119, 0, EVENT_TRACE_CONTROL_QUERY, ERROR_BAD_LENGTH, false},
      {"unknown session", u"no-such-session-" + wideName, 120, 0, EVENT_TRACE_CONTROL_QUERY,
       ERROR_WMI_INSTANCE_NOT_FOUND, false},
      {"other control code", wideName, 120, 0, 1, ERROR_NOT_SUPPORTED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint64_t> storage(64, 0);  // 512 bytes, 8-aligned
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(storage.data());
    properties->Wnode.BufferSize = c.bufferSize;
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->LoggerNameOffset = c.nameOffset;
    EXPECT_EQ(ControlTraceW(0, c.sessionName.c_str(), properties, c.controlCode), c.expected);
    EXPECT_EQ(properties->Wnode.HistoricalContext, c.handleFilled ? session->LoggerHandle() : 0u);
    if (c.expected == ERROR_SUCCESS) {
      auto* copied = reinterpret_cast<const char16_t*>(
          reinterpret_cast<const std::uint8_t*>(properties) + c.nameOffset);
      EXPECT_TRUE(std::u16string(copied) == c.sessionName);
    }
  }
  EXPECT_EQ(ControlTraceW(0, wideName.c_str(), nullptr, EVENT_TRACE_CONTROL_QUERY),
            ERROR_INVALID_PARAMETER);
  session.reset();
  EVENT_TRACE_PROPERTIES properties{};
  properties.Wnode.BufferSize = sizeof(properties);
  EXPECT_EQ(ControlTraceW(0, wideName.c_str(), &properties, EVENT_TRACE_CONTROL_QUERY),
            ERROR_WMI_INSTANCE_NOT_FOUND);
}

TEST(EtwGuidTest, FormatsAndParses) {
  const GUID control = {
      0x5c8f2a58, 0x369a, 0x44f0, {0x92, 0x35, 0xc0, 0x5e, 0xcb, 0x1d, 0xd7, 0x3e}};
  EXPECT_EQ(FormatGuid(control), "5c8f2a58-369a-44f0-9235-c05ecb1dd73e");
  struct Case {
    const char* text;
    bool parses;
  } cases[] = {
      {"5c8f2a58-369a-44f0-9235-c05ecb1dd73e", true},
      {"{5C8F2A58-369A-44F0-9235-C05ECB1DD73E}", true},
      {"5c8f2a58-369a-44f0-9235-c05ecb1dd73", false},
      {"5c8f2a58x369a-44f0-9235-c05ecb1dd73e", false},
      {"5c8f2a58-369a-44f0-9235-c05ecb1dd73g", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    GUID parsed{};
    EXPECT_EQ(ParseGuid(c.text, &parsed), c.parses);
    if (c.parses) {
      EXPECT_TRUE(parsed == control);
    }
  }
}

// A control block's file as it lies in shared memory.
struct RawControlBlock {
  std::uint32_t sequence;
  std::uint32_t magic;
  std::uint64_t loggerHandle;
  std::uint32_t enableFlags;
  std::uint32_t enableLevel;
};
static_assert(sizeof(RawControlBlock) == sizeof(etw::ControlBlock));

std::string BlockBytes(const RawControlBlock& block) {
  return std::string(reinterpret_cast<const char*>(&block), sizeof(block));
}

void WriteControlFile(const GUID& guid, const void* data, std::size_t size, mode_t mode = 0600) {
  const std::string path = etw::ControlBlockPath(guid);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, mode), 0);  // whatever the umask
  ASSERT_EQ(write(fd, data, size), static_cast<ssize_t>(size));
  close(fd);
}

TEST(EtwProviderTest, DamagedOrStaleControlBlocksReadAsNotEnabled) {
  auto session = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(session);
  const TRACEHANDLE live = session->LoggerHandle();
  const std::string garbage(sizeof(RawControlBlock), '\xA5');
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      // A session killed between the two counter steps of a change.
      {"odd counter left by a dead writer", BlockBytes({7, etw::kControlBlockMagic, live, 0xF, 5})},
      {"enabled by a session that has gone",
       BlockBytes({8, etw::kControlBlockMagic, live ^ 1, 0xF, 5})},
      {"shorter than a block", "\x01\x02\x03"},
      {"cut just past the logger handle",
       BlockBytes({8, etw::kControlBlockMagic, live, 0xF, 5}).substr(0, 16)},
      {"empty", ""},
      {"garbage with an odd counter", garbage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TestGuid testGuid;
    const GUID& guid = testGuid;
    WriteControlFile(guid, c.bytes.data(), c.bytes.size());
    RecordingProvider provider(guid);
    ASSERT_EQ(provider.result(), ERROR_SUCCESS);
    EXPECT_TRUE(provider.Requests().empty());
    // The block works again: an enable reaches the provider.
    ASSERT_EQ(session->EnableProvider(guid, 0x5, 3), ERROR_SUCCESS);
    ASSERT_TRUE(provider.WaitForRequests(1));
    auto request = provider.Requests().back();
    EXPECT_EQ(request.code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(request.logger, live);
    EXPECT_EQ(request.flags, 0x5u);
    EXPECT_EQ(request.level, 3);
    ASSERT_EQ(session->DisableProvider(guid), ERROR_SUCCESS);
    ASSERT_TRUE(provider.WaitForRequests(2));
  }
}

TEST(EtwProviderTest, ControlBlocksArePrivateToTheirUser) {
  const TestGuid testGuid;
  const GUID& guid = testGuid;
  const RawControlBlock block{0, etw::kControlBlockMagic, 0, 0, 0};
  WriteControlFile(guid, &block, sizeof(block), 0666);
  {
    RecordingProvider provider(guid);
    ASSERT_EQ(provider.result(), ERROR_SUCCESS);
  }
  struct stat st {};
  ASSERT_EQ(stat(etw::ControlBlockPath(guid).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  if (geteuid() != 0) GTEST_SKIP() << "a block of another user needs root to make";
  ASSERT_EQ(chown(etw::ControlBlockPath(guid).c_str(), 65534, 65534), 0);
  auto session = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(session);
  EXPECT_EQ(session->EnableProvider(guid, 0xF, 5), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RecordingProvider(guid).result(), static_cast<ULONG>(ERROR_ACCESS_DENIED));

  // A session record of another user does not answer the query.
  const std::string name = UniqueSessionName("query");
  auto named = TraceSession::Start(name);
  ASSERT_TRUE(named);
  ASSERT_EQ(chown(etw::SessionRecordPath(name).c_str(), 65534, 65534), 0);
  EVENT_TRACE_PROPERTIES properties{};
  properties.Wnode.BufferSize = sizeof(properties);
  const std::u16string wideName(name.begin(), name.end());
  EXPECT_EQ(ControlTraceW(0, wideName.c_str(), &properties, EVENT_TRACE_CONTROL_QUERY),
            ERROR_WMI_INSTANCE_NOT_FOUND);
  // The session cannot remove a record that is no longer its own.
  EXPECT_EQ(unlink(etw::SessionRecordPath(name).c_str()), 0);
}

// A block of another user that this user may not even open is refused too,
// not taken for one that cannot be made yet.
TEST(EtwProviderTest, ABlockOfAnotherUserThatCannotBeOpenedIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "another user needs root to act as";
  const PrivateTraceFolder place("unopened");
  fs::permissions(place.root(), fs::perms::owner_all | fs::perms::group_exec |
                                    fs::perms::others_exec);  // the other user passes through
  ASSERT_TRUE(etw::OpenPrivateFolder(place.folder().string()));
  const GUID guid = RandomGuid();
  const RawControlBlock block{0, etw::kControlBlockMagic, 0, 0, 0};
  WriteControlFile(guid, &block, sizeof(block));  // this user's, 0600
  ASSERT_EQ(chown(place.folder().c_str(), kOtherUser, kOtherUser), 0);
  ChildProcess other(kOtherUser, [&](ChildProcess&) {
    return RecordingProvider(guid).result() == ERROR_ACCESS_DENIED ? 0 : 1;
  });
  EXPECT_EQ(other.Wait(), 0) << "the other user's registration was not refused";
}

// A control block's name made a link to another file of the user: nothing
// of tracing opens or writes through it.
TEST(EtwProviderTest, ABlockThatIsALinkIsNeverFollowed) {
  const PrivateTraceFolder place("link");
  const GUID guid = RandomGuid();
  const fs::path target = place.root() / "target";
  const std::string content = "a file of the same user\n";
  WriteFile(target, content);
  const fs::path block = etw::ControlBlockPath(guid);
  fs::create_symlink(target, block);

  EXPECT_EQ(RecordingProvider(guid).result(), static_cast<ULONG>(ERROR_ACCESS_DENIED));
  auto session = TraceSession::Start(UniqueSessionName("link"));  // cleans the folder up
  ASSERT_TRUE(session);
  EXPECT_EQ(session->EnableProvider(guid, 0xF, 5), ERROR_ACCESS_DENIED);
  std::ifstream in(target, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
  EXPECT_TRUE(fs::is_symlink(block));
}

// A small file system of its own, mounted for the object's life where that
// is allowed.
class SmallFileSystem {
 public:
  SmallFileSystem() : path_(fs::temp_directory_path() / UniqueSessionName("small")) {
    fs::create_directories(path_);
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  bool mounted() const { return mounted_; }
  // Takes up all of its room: true once a write finds none left.
  bool Fill() const {
    std::ofstream filler(path_ / "filler", std::ios::binary);
    const std::string page(4096, 'f');
    for (int i = 0; i < 1000 && filler; ++i) filler.write(page.data(), page.size()) << std::flush;
    return !filler;
  }
  void Free() const { fs::remove(path_ / "filler"); }

 private:
  fs::path path_;
  bool mounted_ = false;
};

// A provider that registers while its block cannot be made (no room left,
// something of this user in its place) is not refused: it finds its block
// once the block can be made.
TEST(EtwProviderTest, ABlockThatCannotBeMadeYetIsFoundOnceItCan) {
  const SmallFileSystem small;
  struct Case {
    const char* name;
    bool onSmallFileSystem;
    std::function<bool(const fs::path& block)> hinder;
    std::function<void(const fs::path& block)> allow;
  } cases[] = {
      {"a folder in its place", false,
       [](const fs::path& block) { return fs::create_directory(block); },
       [](const fs::path& block) { fs::remove(block); }},
      {"no room left", true, [&](const fs::path&) { return small.Fill(); },
       [&](const fs::path&) { small.Free(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.onSmallFileSystem && !small.mounted())
      GTEST_SKIP() << "no file system can be mounted here";
    const PrivateTraceFolder place("pending",
                                   c.onSmallFileSystem ? small.path() : fs::temp_directory_path());
    auto session = TraceSession::Start(UniqueSessionName("pending"));
    ASSERT_TRUE(session);
    const GUID guid = RandomGuid();
    const fs::path block = etw::ControlBlockPath(guid);
    ASSERT_TRUE(c.hinder(block));
    RecordingProvider provider(guid);
    ASSERT_EQ(provider.result(), ERROR_SUCCESS);
    ASSERT_EQ(session->EnableProvider(guid, 0x5, 3), ERROR_ACCESS_DENIED)
        << "the block could be made after all";
    c.allow(block);
    ASSERT_EQ(session->EnableProvider(guid, 0x5, 3), ERROR_SUCCESS);
    ASSERT_TRUE(provider.WaitForRequests(1)) << "the provider never found its block";
    const auto request = provider.Requests().front();
    EXPECT_EQ(request.code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(request.logger, session->LoggerHandle());
    EXPECT_EQ(request.flags, 0x5u);
  }
}

// A socket on which the other user listens, put into this user's folder in
// place of the socket of a logger handle. As that user made it, its queue of
// connections is full, so that no connection can ask who listens and only
// the file's owner tells it apart; handed over to this user (the file's
// owner changed), only the listener's own user does.
class ForeignListener {
 public:
  ForeignListener(const PrivateTraceFolder& place, std::uint64_t loggerHandle, bool handedOver)
      : placed_(place.folder() / etw::SessionSocketName(loggerHandle)) {
    const fs::path open = place.root() / "foreign";
    fs::create_directories(open);
    fs::permissions(open, fs::perms::all);
    const std::string made = (open / UniqueSessionName("listener")).string();
    child_ = std::make_unique<ChildProcess>(kOtherUser, [made, handedOver](ChildProcess& self) {
      const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", made.c_str());
      const bool ok = fd >= 0 &&
                      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                      listen(fd, handedOver ? 64 : 0) == 0 &&
                      (handedOver || ConnectSocketFile(made) >= 0);  // fills a queue of one
      self.Send(ok ? 1 : 0);
      self.Receive(std::chrono::seconds(120));
      return 0;
    });
    std::error_code ignored;
    fs::remove(placed_, ignored);
    ready_ = child_->Receive() == 1 && link(made.c_str(), placed_.c_str()) == 0 &&
             (!handedOver || chown(placed_.c_str(), geteuid(), getegid()) == 0);
  }
  ~ForeignListener() {
    child_->Send(0);
    child_->Wait();
    std::error_code ignored;
    fs::remove(placed_, ignored);
  }
  bool ready() const { return ready_; }

 private:
  fs::path placed_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
};

TEST(EtwMessageTest, MessagesGoOnlyToSessionsOfTheSameUser) {
  if (geteuid() != 0) GTEST_SKIP() << "a listener of another user needs root to make";
  const PrivateTraceFolder place("foreign");
  ASSERT_TRUE(etw::OpenPrivateFolder(place.folder().string()));
  // Another user listens on the socket of a logger handle, as after the
  // session of that handle has gone.
  std::uint64_t handle = 0;
  while (handle == 0)
    ASSERT_EQ(getrandom(&handle, sizeof(handle), 0), static_cast<ssize_t>(sizeof(handle)));
  const ForeignListener listener(place, handle, true);
  ASSERT_TRUE(listener.ready()) << "the other user's listener could not be set up";
  const GUID series = RandomGuid();
  const std::int32_t value = 1;
  EXPECT_EQ(TraceMessage(handle, 0x2B, &series, 10, &value, sizeof(value),
                         static_cast<const void*>(nullptr)),
            ERROR_WMI_INSTANCE_NOT_FOUND);
}

// A session that drops this process's connection again and again: each
// send after a drop connects anew, and no drop leaves a descriptor behind.
TEST(EtwMessageTest, AConnectionDroppedByItsSessionLeavesNoDescriptorBehind) {
  const PrivateTraceFolder place("dropped");
  ASSERT_TRUE(etw::OpenPrivateFolder(place.folder().string()));
  std::uint64_t handle = 0;
  while (handle == 0)
    ASSERT_EQ(getrandom(&handle, sizeof(handle), 0), static_cast<ssize_t>(sizeof(handle)));
  // A listener in the place of the handle's session, which takes each
  // connection and drops it.
  const tovel::UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = (place.folder() / etw::SessionSocketName(handle)).string();
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener.get(), 4), 0);
  const GUID series = RandomGuid();
  const std::int32_t value = 1;
  auto send = [&] {
    return TraceMessage(handle, 0x2B, &series, 10, &value, sizeof(value),
                        static_cast<const void*>(nullptr));
  };
  auto drop = [&] {
    return tovel::UniqueFd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC)).get() >= 0;
  };
  int before = -1;
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE("drop " + std::to_string(i));
    ASSERT_EQ(send(), ERROR_SUCCESS) << "no connection made";
    ASSERT_TRUE(drop());
    ASSERT_EQ(send(), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND)) << "the drop not seen";
    if (i == 0) before = OpenDescriptors();
  }
  EXPECT_EQ(OpenDescriptors(), before) << "drops leave descriptors behind";
}

// A session killed without ending leaves its record and socket. The other
// user can neither reach the folder to take the socket's name nor have a
// socket of its own, put there by someone who can, taken for the session.
TEST(EtwSessionTest, ADeadSessionsPlaceIsNotTakenByAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "another user needs root to act as";
  const PrivateTraceFolder place("dead");
  const std::string name = UniqueSessionName("dead");
  {
    ChildProcess owner(geteuid(), [&](ChildProcess& self) {
      auto session = TraceSession::Start(name);
      self.Send(session ? 1 : 0);
      self.Receive(std::chrono::seconds(120));
      return 0;
    });
    ASSERT_EQ(owner.Receive(), 1);
  }  // killed
  etw::SessionRecord record{};
  {
    std::ifstream in(etw::SessionRecordPath(name), std::ios::binary);
    in.read(reinterpret_cast<char*>(&record), sizeof(record));
    ASSERT_TRUE(in && record.magic == etw::kSessionMagic) << "no record left behind";
  }
  const fs::path left = place.folder() / etw::SessionSocketName(record.loggerHandle);
  ASSERT_TRUE(fs::is_socket(left)) << "no socket left behind";
  EXPECT_FALSE(etw::SessionAlive(record.loggerHandle));

  const std::string inFolder = (place.folder() / "taken").string();
  const std::string dead = left.string();
  ChildProcess other(kOtherUser, [&](ChildProcess&) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", inFolder.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
        errno != EACCES)
      return 1;
    if (ConnectSocketFile(dead) >= 0 || errno != EACCES) return 2;
    return 0;
  });
  EXPECT_EQ(other.Wait(), 0) << "the other user reached into the folder";

  for (bool handedOver : {false, true}) {
    SCOPED_TRACE(handedOver ? "handed over to this user" : "as the other user made it");
    const ForeignListener listener(place, record.loggerHandle, handedOver);
    ASSERT_TRUE(listener.ready()) << "the other user's listener could not be set up";
    EXPECT_FALSE(etw::SessionAlive(record.loggerHandle));
    // The name is free for a new session of this user.
    DWORD error = 0;
    auto again = TraceSession::Start(name, &error);
    ASSERT_TRUE(again) << "error " << error;
    EXPECT_NE(again->LoggerHandle(), record.loggerHandle);
  }
}

// A wire record as a sender sends it: one narrow text, this process's pid.
std::vector<std::uint8_t> WireRecord(const std::string& text, const GUID& series) {
  etw::WireHeader header{};
  header.series = series;
  header.magic = etw::kWireMagic;
  header.kind = static_cast<std::uint16_t>(etw::WireKind::Message);
  header.fieldCount = 1;
  header.messageFlags = 0x2B;
  header.number = 10;
  header.sequence = 1;
  header.processId = static_cast<std::uint32_t>(getpid());
  header.threadId = static_cast<std::uint32_t>(gettid());
  const std::uint32_t length = static_cast<std::uint32_t>(text.size() + 1);
  std::vector<std::uint8_t> bytes(sizeof(header) + sizeof(length) + length, 0);
  std::memcpy(bytes.data(), &header, sizeof(header));
  std::memcpy(bytes.data() + sizeof(header), &length, sizeof(length));
  std::memcpy(bytes.data() + sizeof(header) + sizeof(length), text.data(), text.size());
  return bytes;
}

TEST(EtwSessionTest, RecordsOfAnotherUserAreNeverDelivered) {
  if (geteuid() != 0) GTEST_SKIP() << "another user needs root to act as";
  const PrivateSession forged("forged");
  const auto& session = forged.session;
  ASSERT_TRUE(session);
  const std::string direct = forged.socket.string();
  const std::string given = OpenPathTo(forged.place, forged.socket).string();
  const std::vector<std::uint8_t> record = WireRecord("(FORGED BY ANOTHER USER)", RandomGuid());
  ASSERT_TRUE(DecodeTraceRecord(record.data(), record.size())) << "the forged record is no record";

  ChildProcess other(kOtherUser, [&](ChildProcess& self) {
    if (ConnectSocketFile(direct) >= 0 || errno != EACCES) return 1;  // the folder keeps it out
    const int fd = ConnectSocketFile(given);
    if (fd < 0 ||
        send(fd, record.data(), record.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(record.size()))
      return 2;
    self.Send(1);
    // The session closes the connection with the record unread, which
    // resets it.
    pollfd closed{fd, POLLIN, 0};
    char byte = 0;
    if (poll(&closed, 1, 30000) != 1 || recv(fd, &byte, 1, 0) != -1 || errno != ECONNRESET)
      return 3;
    return 0;
  });
  ASSERT_EQ(other.Receive(), 1);

  const GUID series = RandomGuid();
  ASSERT_EQ(TraceMessage(session->LoggerHandle(), 0x2B, &series, 10, "own", std::size_t{4},
                         static_cast<const void*>(nullptr)),
            ERROR_SUCCESS);
  const auto own = [&](const TraceRecord& r) { return r.series == series; };
  std::vector<TraceRecord> records = ReceiveUntil(*session, getpid(), own);
  ASSERT_TRUE(!records.empty() && own(records.back())) << "this process's record never came";
  for (TraceRecord& more : Drain(*session, getpid(), 300ms)) records.push_back(more);
  for (const TraceRecord& record : records)
    EXPECT_TRUE(own(record)) << "delivered: " << NarrowField(record.fields.at(0));
  EXPECT_EQ(other.Wait(), 0) << "the other user's connection was not dropped unread";
}

// Senders of this user that send nothing but bytes that are no record,
// without pause, keep no wait for a record past its time: the wait ends
// while they still send (they stop by themselves after 20 seconds).
TEST(EtwSessionTest, AWaitEndsInTimeWhileSendersSendOnlyGarbage) {
  const PrivateSession garbage("garbage");
  const auto& session = garbage.session;
  ASSERT_TRUE(session);
  const std::string socket = garbage.socket.string();
  ChildProcess senders(geteuid(), [&](ChildProcess& self) {
    std::vector<int> connections;
    for (int i = 0; i < 4; ++i) connections.push_back(ConnectSocketFile(socket));
    if (connections.back() < 0) return 1;
    self.Send(1);
    const char garbage[64] = "not a record";
    for (auto until = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < until && !self.Receive(0ms);) {
      for (int fd : connections)
        while (send(fd, garbage, sizeof(garbage), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
        }
    }
    self.Send('d');  // stopped by themselves
    return 0;
  });
  ASSERT_EQ(senders.Receive(), 1);
  EXPECT_FALSE(session->Receive(300ms));
  EXPECT_EQ(senders.Receive(0ms), std::nullopt) << "the wait lasted until the senders stopped";
  senders.Send('s');
  EXPECT_EQ(senders.Wait(), 0);
}

// With no descriptor free, waiting connections cannot be taken: the session
// rests between looks rather than spinning on them, and takes them once it
// can.
TEST(EtwSessionTest, ASessionWithNoDescriptorLeftRestsInsteadOfSpinning) {
  const PrivateSession rest("rest");
  const auto& session = rest.session;
  ASSERT_TRUE(session);
  const std::string socket = rest.socket.string();
  const auto held = HoldConnections(geteuid(), socket, 20);
  ChildProcess& child = *held;
  {
    const DescriptorLimit none(0);
    ASSERT_TRUE(child.Send('g'));
    ASSERT_EQ(child.Receive(), 1);
    const auto before = ThreadCpuTime();
    EXPECT_FALSE(session->Receive(2s));
    EXPECT_LT(ThreadCpuTime() - before, 500ms) << "the session spins while no descriptor is free";
  }
  const GUID series = RandomGuid();
  ASSERT_EQ(TraceMessage(session->LoggerHandle(), 0x2B, &series, 10, "own", std::size_t{4},
                         static_cast<const void*>(nullptr)),
            ERROR_SUCCESS);
  const auto own = [&](const TraceRecord& r) { return r.series == series; };
  const std::vector<TraceRecord> records = ReceiveUntil(*session, getpid(), own);
  EXPECT_TRUE(!records.empty() && own(records.back())) << "no connection taken afterwards";
  child.Send(0);
  EXPECT_EQ(child.Wait(), 0);
}

// Out of descriptors, with connections that have never sent a record, the
// session drops the oldest of them to take a new one that waits, never one
// whose record waits to be read, and none when no connection waits: a
// sender is heard whether it came after them or before them.
TEST(EtwSessionTest, ASessionOutOfDescriptorsMakesRoomForASender) {
  struct Case {
    const char* name;
    bool senderFirst;
    int spare;
  } cases[] = {
      {"sender after them", false, 2},
      {"sender first, its record not read yet", true, 2},
      {"sender after them, room for one", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool senderFirst = c.senderFirst;
    const PrivateSession room("room");
    const auto& session = room.session;
    ASSERT_TRUE(session);
    const std::string socket = room.socket.string();
    const GUID series = RandomGuid();
    const std::vector<std::uint8_t> record = WireRecord("sender", series);
    const auto held = HoldConnections(geteuid(), socket, 50);
    ChildProcess& idle = *held;
    ChildProcess sender(geteuid(), [&](ChildProcess& self) {
      if (self.Receive() != 'g') return 1;
      const int fd = ConnectSocketFile(socket);
      if (fd < 0 || send(fd, record.data(), record.size(), MSG_NOSIGNAL) !=
                        static_cast<ssize_t>(record.size()))
        return 2;
      self.Send(1);
      self.Receive(std::chrono::seconds(120));
      return 0;
    });
    {
      const DescriptorLimit few(c.spare);
      if (senderFirst) {
        ASSERT_TRUE(sender.Send('g'));
        ASSERT_EQ(sender.Receive(), 1);
      }
      // The idle connections wait to be taken (or are taken while they come).
      ASSERT_TRUE(idle.Send('g'));
      std::optional<char> done;
      for (auto until = std::chrono::steady_clock::now() + 30s;
           !done && std::chrono::steady_clock::now() < until;) {
        if (!senderFirst) session->Receive(20ms);
        done = idle.Receive(senderFirst ? 100ms : 0ms);
      }
      ASSERT_EQ(done, 1);
      if (!senderFirst) {
        ASSERT_TRUE(sender.Send('g'));
        ASSERT_EQ(sender.Receive(), 1);
      }
      bool heard = false;
      for (auto until = std::chrono::steady_clock::now() + 10s;
           !heard && std::chrono::steady_clock::now() < until;) {
        const auto received = session->Receive(100ms);
        heard = received && received->series == series;
      }
      EXPECT_TRUE(heard) << "the sender is not heard while descriptors run out";
    }
    for (ChildProcess* child : {&idle, &sender}) {
      child->Send(0);
      EXPECT_EQ(child->Wait(), 0);
    }
  }
}

// A file cut short, refilled or replaced under a registered provider: the
// watcher looks at least once a second, so each damage is left in place a
// little longer than that. The process must live on, garbage must not read
// as an enable, and the next enable must still reach the provider.
TEST(EtwProviderTest, ProviderSurvivesItsBlockBeingCutShortRefilledOrReplaced) {
  auto session = TraceSession::Start(UniqueSessionName("etw"));
  ASSERT_TRUE(session);
  const RawControlBlock garbageEnable{8, 0x12345678, 0x1111222233334444ull, 0xF, 5};
  const RawControlBlock wellFormedDeadEnable{10, etw::kControlBlockMagic,
                                             session->LoggerHandle() ^ 1, 0xF, 5};
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> damage;
  } cases[] = {
      {"cut to 0 bytes", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 0), 0); }},
      {"cut inside the counter",
       [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 3), 0); }},
      {"grown to 1 MiB",
       [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 1 << 20), 0); }},
      {"refilled with a block of another layout",
       [&](const std::string& path) {
         int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(pwrite(fd, &garbageEnable, sizeof(garbageEnable), 0),
                   static_cast<ssize_t>(sizeof(garbageEnable)));
         close(fd);
       }},
      {"replaced by another file",
       [&](const std::string& path) {
         ASSERT_EQ(unlink(path.c_str()), 0);
         int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(write(fd, &wellFormedDeadEnable, sizeof(wellFormedDeadEnable)),
                   static_cast<ssize_t>(sizeof(wellFormedDeadEnable)));
         close(fd);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TestGuid testGuid;
    const GUID& guid = testGuid;
    RecordingProvider provider(guid);
    ASSERT_EQ(provider.result(), ERROR_SUCCESS);
    c.damage(etw::ControlBlockPath(guid));
    std::this_thread::sleep_for(1300ms);
    EXPECT_TRUE(provider.Requests().empty()) << "damage read as a request";
    ASSERT_EQ(session->EnableProvider(guid, 0x5, 3), ERROR_SUCCESS);
    ASSERT_TRUE(provider.WaitForRequests(1));
    const auto request = provider.Requests().front();
    EXPECT_EQ(request.code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(request.logger, session->LoggerHandle());
    EXPECT_EQ(request.flags, 0x5u);
  }
}

TEST(EtwFolderTest, OnlyAPrivateFolderOfThisUserIsUsed) {
  const PrivateTraceFolder place("folder");
  const fs::path own = place.root() / "own";
  fs::create_directory(own);
  struct Case {
    const char* name;
    std::function<fs::path()> make;
    bool accepted;
  } cases[] = {
      {"missing: made", [&] { return place.root() / "new"; }, true},
      {"this user's, open to others: made private",
       [&] {
         fs::path p = place.root() / "open";
         fs::create_directory(p);
         chmod(p.c_str(), 0777);
         return p;
       },
       true},
      {"a symbolic link to this user's folder",
       [&] {
         fs::path p = place.root() / "link";
         fs::create_directory_symlink(own, p);
         return p;
       },
       false},
      {"a regular file",
       [&] {
         fs::path p = place.root() / "file";
         WriteFile(p, "x");
         return p;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = c.make();
    const tovel::UniqueFd fd = etw::OpenPrivateFolder(path.string());
    EXPECT_EQ(fd.get() >= 0, c.accepted);
    if (fd.get() >= 0) {
      struct stat st {};
      ASSERT_EQ(fstat(fd.get(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
  }
}

TEST(EtwFolderTest, AFolderOfAnotherUserIsNeverTrusted) {
  if (geteuid() != 0) GTEST_SKIP() << "a folder of another user needs root to make";
  const PrivateTraceFolder place("other");
  std::filesystem::create_directory(place.folder());
  ASSERT_EQ(chown(place.folder().c_str(), 65534, 65534), 0);
  EXPECT_LT(etw::OpenPrivateFolder(place.folder().string()).get(), 0);

  // Nothing of tracing works there: no session, no registration, no query.
  DWORD error = 0;
  EXPECT_EQ(TraceSession::Start(UniqueSessionName("other"), &error), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  const GUID guid = RandomGuid();
  EXPECT_EQ(RecordingProvider(guid).result(), static_cast<ULONG>(ERROR_ACCESS_DENIED));
  EVENT_TRACE_PROPERTIES properties{};
  properties.Wnode.BufferSize = sizeof(properties);
  EXPECT_EQ(ControlTraceW(0, u"GlobalLogger", &properties, EVENT_TRACE_CONTROL_QUERY),
            ERROR_WMI_INSTANCE_NOT_FOUND);
  // Nothing was made in it either.
  EXPECT_TRUE(std::filesystem::is_empty(place.folder()));
}

TEST(EtwCleanUpTest, ASessionStartRemovesWhatDeadSessionsAndProvidersLeft) {
  const PrivateTraceFolder place("clean");
  auto live = TraceSession::Start(UniqueSessionName("live"));
  ASSERT_TRUE(live);
  const TRACEHANDLE liveLogger = live->LoggerHandle();
  const TRACEHANDLE deadLogger = liveLogger ^ 0x5A5A;
  auto sessionRecord = [](std::uint64_t logger) {
    const etw::SessionRecord record{etw::kSessionMagic, 1, logger};
    return std::string(reinterpret_cast<const char*>(&record), sizeof(record));
  };
  const TestGuid usedGuid;
  RecordingProvider used(usedGuid);
  ASSERT_EQ(used.result(), ERROR_SUCCESS);
  const TestGuid enabledGuid;
  ASSERT_EQ(live->EnableProvider(enabledGuid, 0x1, 1), ERROR_SUCCESS);

  struct Case {
    std::string file;
    std::string bytes;  // written unless empty
    bool kept;
  } cases[] = {
      {"session.dead", sessionRecord(deadLogger), false},
      {"session.short", "abc", false},
      {"session.copy-of-live", sessionRecord(liveLogger), true},
      {"provider." + FormatGuid(RandomGuid()), BlockBytes({2, etw::kControlBlockMagic, 0, 0, 0}),
       false},
      {"provider." + FormatGuid(RandomGuid()),
       BlockBytes({2, etw::kControlBlockMagic, deadLogger, 0xF, 5}), false},
      {"provider." + FormatGuid(RandomGuid()),
       BlockBytes({2, etw::kControlBlockMagic, liveLogger, 0xF, 5}), true},
      {"provider." + FormatGuid(usedGuid), "", true},
      {"provider." + FormatGuid(enabledGuid), "", true},
      {etw::SessionRecordName(live->Name()), "", true},
  };
  for (const Case& c : cases)
    if (!c.bytes.empty()) WriteFile(place.folder() / c.file, c.bytes);

  auto another = TraceSession::Start(UniqueSessionName("another"));
  ASSERT_TRUE(another);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(std::filesystem::exists(place.folder() / c.file), c.kept);
  }
  // What was kept still works.
  ASSERT_EQ(live->EnableProvider(usedGuid, 0x4, 2), ERROR_SUCCESS);
  ASSERT_TRUE(used.WaitForRequests(1));
  EXPECT_EQ(used.Requests().front().logger, liveLogger);
}

}  // namespace
