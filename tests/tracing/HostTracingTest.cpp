// The built host seen through a trace session: enabled from outside while it
// runs, and following the global logger session configured in the registry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "Host/Tracing.h"
#include "platform/EtwShared.h"
#include "tests/support/TraceTestSupport.h"
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
// and an enable afterwards still reaches it.
TEST(HostTracingTest, HostAnswersWhateverItsControlBlockBecomes) {
  tovel::HostProcess host(TOVELHOST_PATH);
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
