// Step lines, value senders, named messages, the enable state and the global
// logger session, observed through a trace session.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string_view>

#include "Host/StatusCodes.h"
#include "Host/Tracing.h"
#include "platform/Threads.h"
#include "tests/support/TraceTestSupport.h"

extern char** environ;

namespace {

using namespace tracetest;
namespace fs = std::filesystem;

const std::uint32_t kPid = static_cast<std::uint32_t>(getpid());
constexpr USHORT kMarkerNumber = 999;

bool IsMarker(const TraceRecord& record) {
  return record.series == TraceSeries_Misc && record.number == kMarkerNumber;
}

class TracingTest : public ::testing::Test {
 protected:
  // Starts a session that enables the provider, then tracing (whose
  // registration hears of the enable at once).
  void StartEnabled(ULONG flags, UCHAR level = 4) {
    session_ = TraceSession::Start(UniqueSessionName("tracing"));
    ASSERT_TRUE(session_);
    ASSERT_EQ(session_->EnableProvider(TraceControlGuid, flags, level), ERROR_SUCCESS);
    TraceStart();
    ASSERT_EQ(g_stTraceEnableState.dwEnableFlags.load(), flags);
  }
  // Changes the flags while tracing runs and waits until the host side has them.
  void SetFlags(ULONG flags) {
    ASSERT_EQ(session_->EnableProvider(TraceControlGuid, flags, 4), ERROR_SUCCESS);
    ASSERT_TRUE(WaitFor([&] { return g_stTraceEnableState.dwEnableFlags.load() == flags; }));
  }
  // Sends a marker (no flag test) and returns what this process sent before it.
  std::vector<TraceRecord> CollectUntilMarker() {
    TraceSendMessage(TraceSeries_Misc, kMarkerNumber, {});
    auto records = ReceiveUntil(*session_, kPid, IsMarker);
    EXPECT_FALSE(records.empty() || !IsMarker(records.back())) << "marker never arrived";
    if (!records.empty() && IsMarker(records.back())) records.pop_back();
    return records;
  }
  void TearDown() override {
    TraceEnd();
    session_.reset();
  }
  std::unique_ptr<TraceSession> session_;
};

TEST_F(TracingTest, NarrowStepLinesHaveTheirFormats) {
  StartEnabled(TRACE_FLAG_ERROR | TRACE_FLAG_INFO);
  ERR_clear_error();
  ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);
  unsigned long queued = ERR_peek_last_error();
  char openssl[256];
  ERR_error_string_n(queued, openssl, sizeof openssl);
  const std::string longStep(600, 'x');

  struct Case {
    const char* name;
    std::function<void()> log;
    USHORT number;
    std::string expected;
  } cases[] = {
      {"ok", [] { LogLineOk("IOStream.cpp", 42, "ReadFromNativeMessaging", "read"); }, 10,
       "[IOStream.cpp(42)]:(ReadFromNativeMessaging -- read)\t\t--OK\n"},
      {"failed -1",
       [] {
         LogLineFailed("JSONUtility.cpp", 7, "ParseRequestMsgToJSON", "cJSON_Parse(pszRequestMsg)",
                       -1, "NULL == pJsonRoot");
       },
       11,
       "[JSONUtility.cpp(7):](ParseRequestMsgToJSON -- cJSON_Parse(pszRequestMsg))\t\t--Failed:(0xffffffff) [Reason:NULL == pJsonRoot]\n"},
      {"failed hresult",
       [] {
         LogLineFailed("Misc.cpp", 300, "Op", "Step", static_cast<std::int32_t>(0x8009002D), "R");
       },
       11, "[Misc.cpp(300):](Op -- Step)\t\t--Failed:(0x8009002d) [Reason:R]\n"},
      {"failed 87", [] { LogLineFailed("Misc.cpp", 1, "Op", "Step", 87, "R"); }, 11,
       "[Misc.cpp(1):](Op -- Step)\t\t--Failed:(0x00000057) [Reason:R]\n"},
      {"openssl",
       [] {
         LogLineFailedOpenssl("CertificateOperations.cpp", 9, "Op", "X509_STORE_add_cert", -1,
                              "1 != nResult");
       },
       11,
       std::string(
           "[CertificateOperations.cpp(9):](Op -- X509_STORE_add_cert)\t\t--Failed:(0xffffffff) [Reason:1 != nResult] Openssl ") +
           openssl + "\n"},
      {"cut at 511", [&] { LogLineOk("F.cpp", 1, "Op", longStep.c_str()); }, 10,
       ("[F.cpp(1)]:(Op -- " + longStep + ")\t\t--OK\n").substr(0, 511)},
      {"failed cut at 511", [&] { LogLineFailed("F.cpp", 1, "Op", longStep.c_str(), -1, "R"); }, 11,
       ("[F.cpp(1):](Op -- " + longStep).substr(0, 511)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.log();
    auto records = CollectUntilMarker();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].series == TraceSeries_StepLog);
    EXPECT_EQ(records[0].number, c.number);
    EXPECT_EQ(records[0].messageFlags, 0x2Bu);
    ASSERT_EQ(records[0].fields.size(), 1u);
    EXPECT_EQ(NarrowField(records[0].fields[0]), c.expected);
  }
  EXPECT_EQ(ERR_peek_last_error(), queued) << "the error queue must stay as it was";
  ERR_clear_error();
}

TEST_F(TracingTest, WideStepLinesGoThroughTraceHResult) {
  StartEnabled(TRACE_FLAG_HRESULT_ERROR | TRACE_FLAG_INFO);
  const std::u16string longStep(600, u'y');
  struct Case {
    const char* name;
    std::function<void()> log;
    USHORT number;
    std::u16string text;
    std::int32_t value;
  } cases[] = {
      {"ok", [] { WideLogLineOk(u"GetMacAddress", u"GetNetInfoString"); }, 14,
       u"GetMacAddress - GetNetInfoString", 0},
      {"failed",
       [] {
         WideLogLineFailed(u"TovelAgent.cpp", 120, u"GetMacAddress", u"CheckCertKeyUsage",
                           static_cast<HRESULT>(0xA0072401), u"PELLUM_OK != hResult");
       },
       13,
       u"[TovelAgent.cpp(120):] GetMacAddress - CheckCertKeyUsage [Reason:PELLUM_OK != hResult]",
       static_cast<std::int32_t>(0xA0072401)},
      {"cut at 511", [&] { WideLogLineOk(u"Op", longStep.c_str()); }, 14,
       (u"Op - " + longStep).substr(0, 511), 0},
      {"failed cut at 511",
       [&] { WideLogLineFailed(u"F.cpp", 3, u"Op", longStep.c_str(), E_FAIL, u"R"); }, 13,
       (u"[F.cpp(3):] Op - " + longStep).substr(0, 511), E_FAIL},
      {"bare text", [] { TraceHResult(E_OUTOFMEMORY, u"New Memory"); }, 13, u"New Memory",
       E_OUTOFMEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.log();
    auto records = CollectUntilMarker();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].series == TraceSeries_Function);
    EXPECT_EQ(records[0].number, c.number);
    ASSERT_EQ(records[0].fields.size(), 2u);
    EXPECT_TRUE(WideField(records[0].fields[0]) == c.text);
    EXPECT_EQ(Int32Field(records[0].fields[1]), c.value);
  }
}

TEST_F(TracingTest, TraceHResultPicksMessageBySignAndFlag) {
  StartEnabled(0);
  struct Case {
    HRESULT value;
    ULONG flags;
    int expectedNumber;  // 0: nothing sent
  } cases[] = {
      {static_cast<HRESULT>(0x80070057), TRACE_FLAG_HRESULT_ERROR, 13},
      {static_cast<HRESULT>(0x80070057), TRACE_FLAG_INFO, 0},
      {87, TRACE_FLAG_INFO, 14},
      {87, TRACE_FLAG_HRESULT_ERROR, 0},
      {0, TRACE_FLAG_INFO, 14},
      {0, TRACE_FLAG_ERROR | TRACE_FLAG_FUNCTION, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.value << " flags " << c.flags);
    SetFlags(c.flags);
    TraceHResult(c.value, u"text");
    auto records = CollectUntilMarker();
    if (c.expectedNumber == 0) {
      EXPECT_TRUE(records.empty());
      continue;
    }
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].number, c.expectedNumber);
    EXPECT_EQ(Int32Field(records[0].fields.at(1)), c.value);
  }
}

TEST_F(TracingTest, OnlyErrorFlagShowsFailedNarrowLinesOnly) {
  StartEnabled(TRACE_FLAG_ERROR);
  LOG_OK("Op", "ok step");
  LOG_FAILED("Op", "failed step", -1, "reason one");
  WIDE_LOG_OK(u"Op", u"wide ok");
  WIDE_LOG_FAILED(u"Op", u"wide failed", E_FAIL, u"reason");
  TraceHResult(E_INVALIDARG, u"bare");
  { TraceHelper helper(u"Scoped"); }
  const std::int32_t value = 5;
  TRACE_VALUES(TraceMsg::IOStream::TranslationMode, value);
  LOG_FAILED_OPENSSL("Op", "openssl step", 6000, "reason two");
  auto records = CollectUntilMarker();
  ASSERT_EQ(records.size(), 2u);
  for (const TraceRecord& record : records) {
    EXPECT_TRUE(record.series == TraceSeries_StepLog);
    EXPECT_EQ(record.number, TraceMsg::StepLog::LineFailed.nNumber);
  }
  EXPECT_NE(NarrowField(records[0].fields[0]).find("failed step"), std::string::npos);
  EXPECT_NE(NarrowField(records[1].fields[0]).find("openssl step"), std::string::npos);
  EXPECT_NE(NarrowField(records[0].fields[0]).find("[TracingTest.cpp("), std::string::npos);
}

TEST_F(TracingTest, FunctionTracesCarryTheName) {
  StartEnabled(TRACE_FLAG_FUNCTION);
  struct Case {
    const char16_t* name;
    std::u16string sent;
  } cases[] = {{u"Invoke", u"Invoke"}, {nullptr, u"NULL"}, {u"", u"<NULL>"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sent.size());
    { TraceHelper helper(c.name); }
    auto records = CollectUntilMarker();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].number, TraceMsg::Function::Entry.nNumber);
    EXPECT_EQ(records[1].number, TraceMsg::Function::Exit.nNumber);
    for (const TraceRecord& record : records) {
      EXPECT_TRUE(record.series == TraceSeries_Function);
      EXPECT_TRUE(record.fields.at(0) == WideBytes(c.sent));
    }
  }
}

TEST_F(TracingTest, TraceHelperKeepsTheLastError) {
  StartEnabled(TRACE_FLAG_FUNCTION);
  // A logger handle that no session owns: every send fails and would set the
  // last error.
  g_stTraceEnableState.ullLoggerHandle.store(session_->LoggerHandle() ^ 0x5A5A);
  SetLastError(0);
  TraceSendMessage(TraceSeries_Misc, 10, {});
  ASSERT_NE(GetLastError(), 0u) << "a failed send should touch the last error";

  SetLastError(1234);
  {
    TraceHelper helper(u"Op");
    EXPECT_EQ(GetLastError(), 1234u);
    SetLastError(ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(TracingTest, NothingIsSentWithoutAnEnablingSession) {
  session_ = TraceSession::Start(UniqueSessionName("quiet"));
  ASSERT_TRUE(session_);
  TraceStart();
  for (ULONG flag :
       {TRACE_FLAG_ERROR, TRACE_FLAG_HRESULT_ERROR, TRACE_FLAG_INFO, TRACE_FLAG_FUNCTION})
    EXPECT_FALSE(TraceEnabled(flag));
  TraceLogOk("ok");
  TraceLogFailed("failed");
  TraceHResult(E_FAIL, u"negative");
  TraceHResult(0, u"zero");
  { TraceHelper helper(u"Scoped"); }
  TraceSendMessage(TraceSeries_IOStream, 10, {});
  // Now enable: the first record this process sends must be the marker.
  SetFlags(TRACE_FLAG_ERROR);
  EXPECT_TRUE(CollectUntilMarker().empty());
}

TEST_F(TracingTest, RegistrationHearsOfAnEarlierEnable) {
  StartEnabled(TRACE_FLAG_ERROR | TRACE_FLAG_INFO, 3);  // checks the flags right after TraceStart
  EXPECT_EQ(g_stTraceEnableState.byEnableLevel.load(), 3);
  EXPECT_EQ(g_stTraceEnableState.ullLoggerHandle.load(), session_->LoggerHandle());
  EXPECT_NE(g_stTraceEnableState.ullRegistrationHandle.load(), 0u);
  EXPECT_TRUE(TraceEnabled(TRACE_FLAG_INFO));
  EXPECT_FALSE(TraceEnabled(TRACE_FLAG_FUNCTION));

  TraceEnd();
  EXPECT_EQ(g_stTraceEnableState.ullRegistrationHandle.load(), 0u);
  EXPECT_FALSE(TraceEnabled(TRACE_FLAG_INFO));
  TraceLogOk("after the end");
  TraceSendMessage(TraceSeries_Misc, kMarkerNumber, {});
  EXPECT_TRUE(Drain(*session_, kPid, std::chrono::milliseconds(100)).empty());
}

TEST_F(TracingTest, DisableFromTheSessionClearsTheState) {
  StartEnabled(TRACE_FLAG_INFO, 2);
  ASSERT_EQ(session_->DisableProvider(TraceControlGuid), ERROR_SUCCESS);
  EXPECT_TRUE(WaitFor([] { return g_stTraceEnableState.ullLoggerHandle.load() == 0; }));
  EXPECT_EQ(g_stTraceEnableState.dwEnableFlags.load(), 0u);
  EXPECT_EQ(g_stTraceEnableState.byEnableLevel.load(), 0);
}

TEST(TraceControlCallbackTest, AnswersOtherRequestsWithInvalidParameter) {
  TraceEnableState state;
  state.ullLoggerHandle = 77;
  state.dwEnableFlags = 5;
  state.byEnableLevel = 2;
  for (ULONG code : {0u, 1u, 3u, 6u, 9u}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(TraceControlCallback(static_cast<WMIDPREQUESTCODE>(code), &state, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(state.ullLoggerHandle.load(), 77u);
    EXPECT_EQ(state.dwEnableFlags.load(), 5u);
    EXPECT_EQ(state.byEnableLevel.load(), 2);
  }
  WNODE_HEADER header{};
  header.HistoricalContext = 77;
  EXPECT_EQ(TraceControlCallback(WMI_DISABLE_EVENTS, &state, nullptr, &header), ERROR_SUCCESS);
  EXPECT_EQ(state.ullLoggerHandle.load(), 0u);
  EXPECT_EQ(state.dwEnableFlags.load(), 0u);
  EXPECT_EQ(state.byEnableLevel.load(), 0);
}

TEST(TraceArgTest, TextsAndNumbersAreSentAsTheirBytes) {
  struct Case {
    const char* name;
    TraceArg arg;
    std::vector<std::uint8_t> bytes;
  };
  const std::int32_t n32 = -2;
  const std::uint64_t n64 = 0x0102030405060708ull;
  std::vector<std::uint8_t> n32Bytes(4, 0xFF);
  n32Bytes[0] = 0xFE;
  Case cases[] = {
      {"null narrow", MakeTraceArg(static_cast<const char*>(nullptr)), NarrowBytes("NULL")},
      {"empty narrow", MakeTraceArg(""), NarrowBytes("")},
      {"narrow", MakeTraceArg("abc"), NarrowBytes("abc")},
      {"null wide", MakeTraceArg(static_cast<const char16_t*>(nullptr)), WideBytes(u"NULL")},
      {"empty wide", MakeTraceArg(u""), WideBytes(u"<NULL>")},
      {"wide", MakeTraceArg(u"ab"), WideBytes(u"ab")},
      {"int32", MakeTraceArg(n32), n32Bytes},
      {"uint64", MakeTraceArg(n64), {8, 7, 6, 5, 4, 3, 2, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.arg.cbData, c.bytes.size());
    EXPECT_EQ(std::memcmp(c.arg.pData, c.bytes.data(), c.bytes.size()), 0);
  }
}

TEST(StatusToHResultTest, FoldsPositiveStatuses) {
  struct Case {
    std::uint32_t status;
    std::uint32_t hresult;
  } cases[] = {
      {0, 0},
      {0xFFFFFFFF, 0xFFFFFFFF},
      {0x80070057, 0x80070057},
      {87, 0x80070057},
      {6000, 0x80071770},
      {1, 0x80070001},
      {0x20002401, 0xA0072401},
      {0x20012345, 0xA0072345},
      {0x00012345, 0x80072345},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.status);
    EXPECT_EQ(static_cast<std::uint32_t>(StatusToHResult(static_cast<std::int32_t>(c.status))),
              c.hresult);
  }
}

// --- Enable from another process ------------------------------------------

pid_t Spawn(const std::vector<std::string>& args, const std::string& stdoutFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::optional<int> WaitChild(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  bool done = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!done) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return std::nullopt;
  }
  return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

TEST_F(TracingTest, AnotherProcessEnablesAndDisablesWhileRunning) {
  TraceStart();
  ASSERT_FALSE(TraceEnabled(TRACE_FLAG_INFO));
  const std::string name = UniqueSessionName("watch");
  const fs::path output = fs::path(testing::TempDir()) / (name + ".out");
  pid_t child = Spawn(
      {TRACEWATCH_PATH, "--session-name", name, "--flags", "0x5", "--level", "3", "--pid",
       std::to_string(kPid), "--count", "2", "--seconds", "30", "--messages", TRACE_MESSAGES_FILE},
      output.string());
  ASSERT_GT(child, 0);

  // The control callback runs in this process with the other session's values.
  ASSERT_TRUE(WaitFor([] { return g_stTraceEnableState.dwEnableFlags.load() == 0x5; }));
  EXPECT_EQ(g_stTraceEnableState.byEnableLevel.load(), 3);
  EVENT_TRACE_PROPERTIES properties{};
  properties.Wnode.BufferSize = sizeof(properties);
  std::u16string wideName(name.begin(), name.end());
  ASSERT_EQ(ControlTraceW(0, wideName.c_str(), &properties, EVENT_TRACE_CONTROL_QUERY),
            ERROR_MORE_DATA);
  EXPECT_EQ(g_stTraceEnableState.ullLoggerHandle.load(), properties.Wnode.HistoricalContext);

  LogLineOk("TracingTest.cpp", 1, "Op", "seen by the watcher");
  LogLineFailed("TracingTest.cpp", 2, "Op", "failed for the watcher", -1, "x != y");
  ASSERT_EQ(WaitChild(child, std::chrono::seconds(30)), 0);

  // The watcher's session has ended: the provider is disabled again.
  EXPECT_TRUE(WaitFor([] { return g_stTraceEnableState.ullLoggerHandle.load() == 0; }));
  EXPECT_EQ(g_stTraceEnableState.dwEnableFlags.load(), 0u);

  std::ifstream in(output);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u);
  const std::string who = " " + std::to_string(kPid) + " ";
  EXPECT_NE(lines[0].find(who), std::string::npos);
  EXPECT_NE(lines[0].find("StepLog#10 [TracingTest.cpp(1)]:(Op -- seen by the watcher)\t\t--OK"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(
      lines[1].find(
          "StepLog#11 [TracingTest.cpp(2):](Op -- failed for the watcher)\t\t--Failed:(0xffffffff) "
          "[Reason:x != y]"),
      std::string::npos)
      << lines[1];
}

// --- Global logger session --------------------------------------------------

class GlobalLoggerTest : public TracingTest {
 protected:
  void SetUp() override {
    fs::remove_all(TOVEL_TEST_REGISTRY_ROOT);
    fs::create_directories(TOVEL_TEST_REGISTRY_ROOT);
  }
  void TearDown() override {
    TracingTest::TearDown();
    globalLogger_.reset();
    fs::remove_all(TOVEL_TEST_REGISTRY_ROOT);
  }
  static void SetValue(const char* subKey, const char* name, const std::string& value) {
    fs::path key = fs::path(TOVEL_TEST_REGISTRY_ROOT) /
                   "SYSTEM/CurrentControlSet/Control/Wmi/GlobalLogger" / subKey;
    WriteFile(key / (std::string(name) + ".dword"), value);
  }
  std::unique_ptr<TraceSession> globalLogger_;
};

TEST_F(GlobalLoggerTest, FollowsTheRegistryWhenConfigured) {
  constexpr const char* kProviderKey = "5c8f2a58-369a-44f0-9235-c05ecb1dd73e";
  struct Case {
    const char* name;
    const char* start;  // null: no value
    const char* flags;
    const char* level;
    bool sessionRunning;
    bool attached;
    ULONG expectedFlags;
    UCHAR expectedLevel;
  } cases[] = {
      {"configured", "1", "0x80000005", "0x1234", true, true, 0x5, 0x34},
      {"no provider values", "1", nullptr, nullptr, true, true, 0, 0},
      {"start 0", "0", "0x5", "4", true, false, 0, 0},
      {"start 2", "2", "0x5", "4", true, false, 0, 0},
      {"no start", nullptr, "0x5", "4", true, false, 0, 0},
      {"session not running", "1", "0x5", "4", false, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.start) SetValue("", "Start", c.start);
    if (c.flags) SetValue(kProviderKey, "Flags", c.flags);
    if (c.level) SetValue(kProviderKey, "Level", c.level);
    if (c.sessionRunning) {
      globalLogger_ = TraceSession::Start("GlobalLogger");
      ASSERT_TRUE(globalLogger_);
    }
    TraceStart();
    EXPECT_EQ(g_stTraceEnableState.ullLoggerHandle.load(),
              c.attached ? globalLogger_->LoggerHandle() : 0u);
    EXPECT_EQ(g_stTraceEnableState.dwEnableFlags.load(), c.expectedFlags);
    EXPECT_EQ(g_stTraceEnableState.byEnableLevel.load(), c.expectedLevel);
    if (c.attached && c.expectedFlags & TRACE_FLAG_INFO) {
      TraceLogOk("to the global logger");
      auto records = ReceiveUntil(*globalLogger_, kPid, [](const TraceRecord&) { return true; });
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(NarrowField(records[0].fields[0]), "to the global logger");
    }
    TearDown();
  }
}

TEST_F(GlobalLoggerTest, AnEnablingSessionComesFirst) {
  SetValue("", "Start", "1");
  SetValue("5c8f2a58-369a-44f0-9235-c05ecb1dd73e", "Flags", "0x4");
  globalLogger_ = TraceSession::Start("GlobalLogger");
  ASSERT_TRUE(globalLogger_);
  StartEnabled(TRACE_FLAG_FUNCTION);
  EXPECT_EQ(g_stTraceEnableState.ullLoggerHandle.load(), session_->LoggerHandle());
  EXPECT_EQ(g_stTraceEnableState.dwEnableFlags.load(), TRACE_FLAG_FUNCTION);
}

// --- Named messages --------------------------------------------------------

// A named message in the description file's terms.
struct NamedMessage {
  std::string name;
  std::string guid;
  int number;
  ULONG flag;
  std::string kinds;  // comma-separated, "-" for none
};

// The generator writes the kinds by TraceKindName and Describe expects them
// by it too, so the comparison below cannot see a wrong name; the names are
// the description file's format (resources/trace/README.md), which consumers
// spell out themselves, and are pinned here.
static_assert(std::string_view(TraceKindName(TraceKind::INT32)) == "INT32" &&
              std::string_view(TraceKindName(TraceKind::HEX32)) == "HEX32" &&
              std::string_view(TraceKindName(TraceKind::INT64)) == "INT64" &&
              std::string_view(TraceKindName(TraceKind::STR)) == "STR" &&
              std::string_view(TraceKindName(TraceKind::WSTR)) == "WSTR");

template <TraceKind... Kinds>
NamedMessage Describe(const char* name, const TraceMessageId<Kinds...>& message) {
  std::string kinds;
  ((kinds += (kinds.empty() ? "" : ",") + std::string(TraceKindName(Kinds))), ...);
  return {name, FormatGuid(*message.pSeries), message.nNumber, message.dwFlag,
          kinds.empty() ? "-" : kinds};
}

TEST(TraceMessageIdTest, NamedMessagesAgreeWithTheDescriptionFile) {
  const std::map<std::string, ULONG> flags = {
      {"TRACE_FLAG_ERROR", TRACE_FLAG_ERROR},
      {"TRACE_FLAG_HRESULT_ERROR", TRACE_FLAG_HRESULT_ERROR},
      {"TRACE_FLAG_INFO", TRACE_FLAG_INFO},
      {"TRACE_FLAG_FUNCTION", TRACE_FLAG_FUNCTION}};
  struct Described {
    std::string flag;
    std::string kinds;
  };
  std::map<std::pair<std::string, int>, Described> described;  // by series guid and number
  std::ifstream in(TRACE_MESSAGES_FILE);
  ASSERT_TRUE(in) << TRACE_MESSAGES_FILE;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> parts;
    std::stringstream fields(line);
    for (std::string part; std::getline(fields, part, '\t');) parts.push_back(part);
    if (parts.size() == 6 && parts[0] == "message")
      described[{parts[1], std::stoi(parts[2])}] = {parts[3], parts[4]};
  }
  const NamedMessage named[] = {
#define TRACE_MESSAGE(series, number, name, flag, text, ...) \
  Describe(#series "::" #name, TraceMsg::series::name),
#include "resources/trace/TraceMessageFiles.inc"
#undef TRACE_MESSAGE
  };
  EXPECT_EQ(std::size(named), described.size());
  for (const NamedMessage& message : named) {
    SCOPED_TRACE(message.name);
    auto it = described.find({message.guid, message.number});
    ASSERT_NE(it, described.end());
    ASSERT_EQ(flags.count(it->second.flag), 1u);
    EXPECT_EQ(flags.at(it->second.flag), message.flag);
    EXPECT_EQ(it->second.kinds, message.kinds);
  }
}

TEST_F(TracingTest, NamedTracePointsSendTheirSeriesNumberAndValues) {
  StartEnabled(TRACE_FLAG_ERROR | TRACE_FLAG_INFO);
  const std::int64_t seconds = 0x0102030405060708;
  const std::uint32_t usage = 0xA0;
  auto bytes = [](const auto& value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    return std::vector<std::uint8_t>(p, p + sizeof(value));
  };
  struct Case {
    const char* name;
    std::function<void()> send;
    const GUID& series;
    USHORT number;
    std::vector<std::vector<std::uint8_t>> fields;
  } cases[] = {
      {"point",
       [] { TRACE_POINT(TraceMsg::IOStream::ConversationOver); },
       TraceSeries_IOStream,
       14,
       {}},
      {"text and 64-bit",
       [&] {
         TRACE_VALUES(TraceMsg::CertificateOperations::SecondsSince1970, "notAfter", seconds);
       },
       TraceSeries_CertificateOperations,
       13,
       {NarrowBytes("notAfter"), bytes(seconds)}},
      {"two flag words",
       [&] { TRACE_VALUES(TraceMsg::CertificateOperations::X509KeyUsage, usage, usage); },
       TraceSeries_CertificateOperations,
       17,
       {bytes(usage), bytes(usage)}},
      {"wide text",
       [] { TRACE_VALUES(TraceMsg::TovelAgent::ServerCertificate, u"MIIB"); },
       TraceSeries_TovelAgent,
       10,
       {WideBytes(u"MIIB")}},
      {"error flag",
       [] { TRACE_VALUES(TraceMsg::IOStream::ReadFailed, 5); },
       TraceSeries_IOStream,
       13,
       {bytes(std::int32_t{5})}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.send();
    auto records = CollectUntilMarker();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].series == c.series);
    EXPECT_EQ(records[0].number, c.number);
    EXPECT_TRUE(records[0].fields == c.fields);
  }
  // Under a flag that is off nothing is sent, and the values are not evaluated.
  SetFlags(TRACE_FLAG_ERROR);
  int evaluated = 0;
  TRACE_VALUES(TraceMsg::IOStream::TranslationMode, ++evaluated);
  EXPECT_EQ(evaluated, 0);
  EXPECT_TRUE(CollectUntilMarker().empty());
}

}  // namespace
