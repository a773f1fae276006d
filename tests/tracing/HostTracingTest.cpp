// The built host seen through a trace session: enabled from outside while it
// runs, and following the global logger session configured in the registry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <thread>

#include "Host/Tracing.h"
#include "platform/EtwShared.h"
#include "tests/support/TraceTestSupport.h"
#include "tests/tracing/TracingFixtures.h"
#include "tools/lib/HostProcess.h"

namespace {

using namespace tracetest;
namespace fs = std::filesystem;

const char kGetVersion[] = R"({"function":"GetVersion","params":[],"randomId":"r1"})";

bool IsStepLine(const TraceRecord& record, USHORT number, const std::string& text) {
  return record.series == TraceSeries_StepLog && record.number == number &&
         record.fields.size() == 1 && NarrowField(record.fields[0]).find(text) != std::string::npos;
}

// The host hears of an enable on its own time: asks until its OK line of a
// read arrives and returns the records up to that line (none after 50 tries).
std::vector<TraceRecord> AwaitOkRead(tovel::HostProcess& host, TraceSession& session) {
  const auto pid = static_cast<std::uint32_t>(host.pid());
  auto okRead = [](const TraceRecord& r) {
    return IsStepLine(r, 10, "(MsgHandleProc -- ReadFromNativeMessaging)");
  };
  std::vector<TraceRecord> records;
  for (int attempt = 0; attempt < 50 && records.empty(); ++attempt) {
    if (!host.WriteFrame(kGetVersion) || !host.ReadFrame(10s)) {
      ADD_FAILURE() << "the host stopped answering";
      return {};
    }
    records = ReceiveUntil(session, pid, okRead, 200ms);
    if (!records.empty() && !okRead(records.back())) records.clear();
  }
  return records;
}

TEST(HostTracingTest, EnabledFromOutsideShowsOkAndFailedLines) {
  tovel::HostProcess host(TOVELHOST_PATH);
  const auto pid = static_cast<std::uint32_t>(host.pid());
  // One answered request: the host has registered its provider by now.
  ASSERT_TRUE(host.WriteFrame(kGetVersion));
  ASSERT_TRUE(host.ReadFrame(10s));

  auto session = TraceSession::Start(UniqueSessionName("host"));
  ASSERT_TRUE(session);
  ASSERT_EQ(session->EnableProvider(TraceControlGuid, 0xF, 5), ERROR_SUCCESS);

  std::vector<TraceRecord> records = AwaitOkRead(host, *session);
  ASSERT_FALSE(records.empty()) << "no OK line from the host";
  EXPECT_NE(NarrowField(records.back().fields[0]).find("--OK"), std::string::npos);

  ASSERT_TRUE(host.WriteFrame("this is not JSON"));
  auto fallback = host.ReadFrame(10s);
  ASSERT_TRUE(fallback);
  EXPECT_NE(fallback->find("-2146893779"), std::string::npos);
  auto failedParse = [](const TraceRecord& r) {
    return IsStepLine(r, 11, "cJSON_Parse(pszRequestMsg)");
  };
  records = ReceiveUntil(*session, pid, failedParse);
  ASSERT_TRUE(!records.empty() && failedParse(records.back())) << "no failed line from the host";
  const std::string failed = NarrowField(records.back().fields[0]);
  EXPECT_NE(failed.find("--Failed:(0x"), std::string::npos) << failed;
  EXPECT_NE(failed.find("[Reason:"), std::string::npos) << failed;

  host.CloseInput();
  EXPECT_EQ(host.WaitExit(10s), 0);
}

// The host's enable state as the shared control block holds it.
etw::ControlState ProviderState() {
  auto mapping = etw::ControlBlockMapping::Open(TraceControlGuid);
  return mapping ? mapping->Read() : etw::ControlState{};
}

// A consumer that stops reading, and then dies without disabling the
// provider, must never hold the host up.
TEST(HostTracingTest, ConsumerThatStopsOrDiesNeverStallsTheHost) {
  tovel::HostProcess host(TOVELHOST_PATH);
  ASSERT_TRUE(host.WriteFrame(kGetVersion));
  ASSERT_TRUE(host.ReadFrame(10s));

  const std::string name = UniqueSessionName("watch");
  std::vector<std::string> arguments{
      TRACEWATCH_PATH, "--session-name", name, "--flags", "15", "--level", "5"};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t watcher = 0;
  ASSERT_EQ(posix_spawn(&watcher, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_TRUE(WaitFor([] { return ProviderState().enableFlags == 0xF; }));
  const std::uint64_t logger = ProviderState().loggerHandle;

  struct Phase {
    const char* name;
    int signal;
  } phases[] = {{"stopped", SIGSTOP}, {"killed", SIGKILL}};
  for (const Phase& phase : phases) {
    SCOPED_TRACE(phase.name);
    ASSERT_EQ(kill(watcher, phase.signal), 0);
    // Enough traffic to fill the session's queue many times over.
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(host.WriteFrame(kGetVersion));
      ASSERT_TRUE(host.ReadFrame(10s)) << "request " << i;
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(watcher, &status, 0), watcher);
  EXPECT_TRUE(WIFSIGNALED(status));
  host.CloseInput();
  EXPECT_EQ(host.WaitExit(10s), 0);
  // Leave no stale enable or session record behind.
  if (auto mapping = etw::ControlBlockMapping::Open(TraceControlGuid))
    mapping->WriteIfLogger(logger, etw::ControlState{});
  std::filesystem::remove(etw::SessionRecordPath(name));
}

// Nothing done to the control block's file stops a conversation: the host
// keeps answering while the file is cut short, refilled with garbage or
// replaced (each left in place longer than the watcher's one-second look),
// and an enable afterwards still reaches it. The block is one of a folder of
// the test's own: any other process of the user (a consumer, another
// checkout's tests) may enable or reset the user's shared one at any time.
TEST(HostTracingTest, HostAnswersWhateverItsControlBlockBecomes) {
  const PrivateTraceFolder place("damage");
  tovel::HostProcess host(TOVELHOST_TRACE_TEST_PATH);
  ASSERT_TRUE(host.WriteFrame(kGetVersion));
  ASSERT_TRUE(host.ReadFrame(10s));
  const std::string path = etw::ControlBlockPath(TraceControlGuid);
  const std::string garbage(64, '\x5A');
  struct Case {
    const char* name;
    std::function<void()> damage;
  } cases[] = {
      {"cut to 0 bytes", [&] { ASSERT_EQ(truncate(path.c_str(), 0), 0); }},
      {"cut to 5 bytes", [&] { ASSERT_EQ(truncate(path.c_str(), 5), 0); }},
      {"garbage", [&] { WriteFile(path, garbage); }},
      {"replaced",
       [&] {
         ASSERT_EQ(unlink(path.c_str()), 0);
         WriteFile(path, garbage);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.damage();
    std::this_thread::sleep_for(1300ms);
    ASSERT_TRUE(host.WriteFrame(kGetVersion));
    auto response = host.ReadFrame(10s);
    ASSERT_TRUE(response) << "the host stopped answering";
    EXPECT_NE(response->find("1.0.0.2"), std::string::npos);
  }

  auto session = TraceSession::Start(UniqueSessionName("host"));
  ASSERT_TRUE(session);
  ASSERT_EQ(session->EnableProvider(TraceControlGuid, 0xF, 5), ERROR_SUCCESS);
  const std::vector<TraceRecord> records = AwaitOkRead(host, *session);
  EXPECT_FALSE(records.empty()) << "no OK line from the host after the damage";
  host.CloseInput();
  EXPECT_EQ(host.WaitExit(10s), 0);
}

std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<std::size_t>(n));
  return bytes;
}

// The exit status of a child (signals as 1000 + number), or -1 when it had
// to be killed after the timeout.
int WaitExitStatus(pid_t pid, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Started with descriptor 0 or 1 closed while a session enables its
// provider, the host ends with -1 (255) and neither reads a frame nor writes
// a byte: its connection to the session never takes the closed number.
TEST(HostTracingTest, ClosedStandardDescriptorEndsWithMinusOneWhileTraced) {
  const PrivateSession traced("closed");
  const auto& session = traced.session;
  ASSERT_TRUE(session);
  ASSERT_EQ(session->EnableProvider(TraceControlGuid, 0xF, 5), ERROR_SUCCESS);
  const std::string frame = tovel::EncodeFrame(kGetVersion);
  for (int closed : {0, 1}) {
    SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
    int input[2], output[2], errors[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(errors, O_CLOEXEC), 0);
    ASSERT_EQ(write(input[1], frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    close(input[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1}) {
      if (fd == closed)
        posix_spawn_file_actions_addclose(&actions, fd);
      else
        posix_spawn_file_actions_adddup2(&actions, fd == 0 ? input[0] : output[1], fd);
    }
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    char program[] = TOVELHOST_TRACE_TEST_PATH;
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    close(errors[1]);
    ASSERT_EQ(spawned, 0);

    EXPECT_EQ(WaitExitStatus(pid, 20s), 255);
    EXPECT_EQ(ReadAll(output[0]), "") << "nothing written";
    EXPECT_EQ(ReadAll(errors[0]), "") << "nothing written";
    EXPECT_EQ(ReadAll(input[0]), frame) << "the request is still unread";
    for (int fd : {input[0], output[0], errors[0]}) close(fd);
    // The session was there all along: it has the failed step.
    auto failedMode = [](const TraceRecord& r) { return IsStepLine(r, 11, "SetTranslationMode"); };
    const auto records = ReceiveUntil(*session, static_cast<std::uint32_t>(pid), failedMode);
    EXPECT_TRUE(!records.empty() && failedMode(records.back())) << "the host was not traced";
  }
}

// How many connections a listening socket holds before they are taken.
int ConnectionQueueLength() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  int length = 128;
  in >> length;
  return std::min(length, SOMAXCONN);
}

// Connections by the thousand, of another user (through a way into the
// folder that it would not have) or of the session's own, held open: the
// session loses no line of the host it had, takes a host that comes later,
// keeps a bounded number of connections and never spins.
TEST(HostTracingTest, ThousandsOfConnectionsNeverStopASessionServingItsHosts) {
  if (geteuid() != 0) GTEST_SKIP() << "another user needs root to act as";
  constexpr int kConnections = 2000;
  const char kMarked[] = R"({"function":"GetVersion","params":[],"randomId":"after-them"})";
  struct Case {
    const char* name;
    uid_t user;
    int spareDescriptors;  // left to this process while they connect; -1: as many as there are
  } cases[] = {
      {"another user", kOtherUser, -1},
      {"this user", geteuid(), -1},
      {"this user, descriptors running out", geteuid(), 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PrivateSession flooded("flood");
    const auto& session = flooded.session;
    ASSERT_TRUE(session);
    ASSERT_EQ(session->EnableProvider(TraceControlGuid, 0xF, 5), ERROR_SUCCESS);
    tovel::HostProcess first(TOVELHOST_TRACE_TEST_PATH);
    ASSERT_FALSE(AwaitOkRead(first, *session).empty()) << "no line of the first host";
    // The lines of one more request wait unread while the connections come.
    ASSERT_TRUE(first.WriteFrame(kGetVersion));
    ASSERT_TRUE(first.ReadFrame(10s));
    std::vector<TraceRecord> fromFirst;
    auto receive = [&](std::chrono::milliseconds timeout) {
      auto record = session->Receive(timeout);
      if (record && record->processId == static_cast<std::uint32_t>(first.pid()))
        fromFirst.push_back(std::move(*record));
    };

    const std::string path = c.user == geteuid()
                                 ? flooded.socket.string()
                                 : OpenPathTo(flooded.place, flooded.socket).string();
    // As many as the session's queue of connections holds come before it
    // takes any, the rest while it takes them.
    const int queued = std::min(kConnections, ConnectionQueueLength() - 16);
    const auto held = HoldConnections(c.user, path, kConnections, queued);
    ChildProcess& flood = *held;
    const int descriptorsBefore = OpenDescriptors();
    const auto cpuBefore = ThreadCpuTime();
    {
      std::optional<DescriptorLimit> limit;
      if (c.spareDescriptors >= 0) limit.emplace(c.spareDescriptors);
      ASSERT_TRUE(flood.Send('g'));
      std::optional<char> done = flood.Receive();
      if (done == 'q') done.reset();
      for (auto until = std::chrono::steady_clock::now() + 60s;
           !done && std::chrono::steady_clock::now() < until;) {
        receive(20ms);
        done = flood.Receive(0ms);
      }
      ASSERT_EQ(done, 1) << "the connections were not all made";
      const auto idleBefore = ThreadCpuTime();
      for (auto until = std::chrono::steady_clock::now() + 2s;
           std::chrono::steady_clock::now() < until;)
        receive(100ms);
      EXPECT_LT(ThreadCpuTime() - idleBefore, 500ms) << "the session spins";
    }
    EXPECT_LE(OpenDescriptors() - descriptorsBefore, static_cast<int>(TraceSession::kMaxPeers))
        << "connections are kept without bound";

    // Every line of the first host comes, up to those of a request after them.
    ASSERT_TRUE(first.WriteFrame(kMarked));
    ASSERT_TRUE(first.ReadFrame(10s));
    auto marked = [](const TraceRecord& r) {
      return !r.fields.empty() && NarrowField(r.fields[0]).find("after-them") != std::string::npos;
    };
    for (auto until = std::chrono::steady_clock::now() + 10s;
         (fromFirst.empty() || !marked(fromFirst.back())) &&
         std::chrono::steady_clock::now() < until;)
      receive(100ms);
    ASSERT_TRUE(!fromFirst.empty() && marked(fromFirst.back())) << "the first host is not heard";
    for (std::size_t i = 1; i < fromFirst.size(); ++i)
      ASSERT_EQ(fromFirst[i].sequence, fromFirst[i - 1].sequence + 1) << "a line of it was lost";

    tovel::HostProcess later(TOVELHOST_TRACE_TEST_PATH);
    EXPECT_FALSE(AwaitOkRead(later, *session).empty()) << "no line of a host that came later";
    EXPECT_LT(ThreadCpuTime() - cpuBefore, 2s) << "taking the connections costs too much";
    flood.Send(0);
    EXPECT_EQ(flood.Wait(), 0);
    for (tovel::HostProcess* host : {&first, &later}) {
      host->CloseInput();
      EXPECT_EQ(host->WaitExit(10s), 0);
    }
  }
}

// When the user's tracing folder cannot be used, tracewatch says which
// folder it is and what is wrong with it.
TEST(HostTracingTest, TracewatchNamesWhatIsWrongWithTheFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "another user needs root to act as";
  // A user of the test's own, so that its folder is this test's alone.
  const uid_t user = 0x7E000000u + static_cast<uid_t>(getpid());
  const fs::path folder = "/dev/shm/tovel-etw-" + std::to_string(user);
  const fs::path elsewhere = fs::temp_directory_path() / UniqueSessionName("elsewhere");
  const fs::path log = fs::temp_directory_path() / UniqueSessionName("tracewatch-said");
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string says;
  } cases[] = {
      {"another user's",
       [&] {
         fs::create_directory(folder);
         ASSERT_EQ(chown(folder.c_str(), kOtherUser, kOtherUser), 0);
       },
       "belongs to another user (uid 65534)"},
      {"a symbolic link",
       [&] {
         fs::create_directory(elsewhere);
         ASSERT_EQ(chown(elsewhere.c_str(), user, user), 0);
         fs::create_directory_symlink(elsewhere, folder);
       },
       "is a symbolic link"},
      {"not a folder", [&] { WriteFile(folder, "x"); }, "is not a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    const int said = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(said, 0);
    ChildProcess watch(user, [&](ChildProcess&) {
      const int nothing = open("/dev/null", O_WRONLY);
      if (dup2(said, 2) != 2 || dup2(nothing, 1) != 1) return 125;
      execl(TRACEWATCH_PATH, TRACEWATCH_PATH, "--seconds", "0", static_cast<char*>(nullptr));
      return 127;
    });
    EXPECT_EQ(watch.Wait(), 1);
    close(said);
    std::ifstream in(log);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find(folder.string()), std::string::npos) << text;
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    std::error_code ignored;
    fs::remove(folder, ignored);
    fs::remove_all(elsewhere, ignored);
  }
  fs::remove(log);
}

// The test build of the host keeps its tracing in a folder of its own
// (HOST_TRACE_FOLDER), and so does this test while it runs: an enable of the
// provider by any other process on the machine (another checkout's tests, a
// consumer left running) would otherwise take the host's messages away from
// the global logger session.
class HostGlobalLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(root_);
    etw::SetUserFolderForTesting(HOST_TRACE_FOLDER);
  }
  void TearDown() override {
    etw::SetUserFolderForTesting("");
    fs::remove_all(root_);
  }
  void SetValue(const std::string& subKey, const char* name, const char* value) {
    WriteFile(root_ / "SYSTEM/CurrentControlSet/Control/Wmi/GlobalLogger" / subKey /
                  (std::string(name) + ".dword"),
              value);
  }
  // Runs one GetVersion conversation with the test build of the host and
  // returns every record it sent to the global logger session.
  std::vector<TraceRecord> RunHost() {
    auto globalLogger = TraceSession::Start("GlobalLogger");
    EXPECT_TRUE(globalLogger);
    if (!globalLogger) return {};
    tovel::HostProcess host(TOVELHOST_TRACE_TEST_PATH);
    EXPECT_TRUE(host.WriteFrame(kGetVersion));
    EXPECT_TRUE(host.ReadFrame(10s));
    host.CloseInput();
    EXPECT_EQ(host.WaitExit(10s), 0);
    // The host has ended, so all it sent is queued already.
    return Drain(*globalLogger, static_cast<std::uint32_t>(host.pid()));
  }
  const fs::path root_ = HOST_REGISTRY_ROOT;
};

TEST_F(HostGlobalLoggerTest, FollowsFlagsFromStartUp) {
  SetValue("", "Start", "1");
  SetValue("5c8f2a58-369a-44f0-9235-c05ecb1dd73e", "Flags", "0x80000005");
  SetValue("5c8f2a58-369a-44f0-9235-c05ecb1dd73e", "Level", "4");
  auto records = RunHost();
  bool sawOk = false;
  for (const TraceRecord& record : records) {
    sawOk = sawOk || IsStepLine(record, 10, "(MsgHandleProc -- ReadFromNativeMessaging)");
    EXPECT_FALSE(record.series == TraceSeries_Function && record.number <= 11)
        << "function traces are off";
  }
  EXPECT_TRUE(sawOk);
}

TEST_F(HostGlobalLoggerTest, StartZeroLeavesTracingOff) {
  SetValue("", "Start", "0");
  SetValue("5c8f2a58-369a-44f0-9235-c05ecb1dd73e", "Flags", "0xF");
  EXPECT_TRUE(RunHost().empty());
}

}  // namespace
