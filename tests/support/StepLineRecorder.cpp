#include "tests/support/StepLineRecorder.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "Host/Tracing.h"
#include "platform/EtwShared.h"
#include "tests/support/TraceTestSupport.h"

namespace tracetest {
namespace {

// Sent after the code under test, so that its last line is known to be in.
constexpr USHORT kMarkerNumber = 997;

}  // namespace

std::string StepLineText(const TraceRecord& record) {
  if (record.series == TraceSeries_StepLog) return NarrowField(record.fields.at(0));
  std::string text;
  for (char16_t c : WideField(record.fields.at(0))) text += static_cast<char>(c);
  char szStatus[16];
  std::snprintf(szStatus, sizeof szStatus, "0x%08x",
                static_cast<unsigned>(Int32Field(record.fields.at(1))));
  return text + " -> " + szStatus;
}

std::string NormalizedStepLine(const TraceRecord& record) {
  static const std::regex kLineNumber(R"(^\[([^(\]]*)\(\d+\))");
  return std::regex_replace(StepLineText(record), kLineNumber, "[$1",
                            std::regex_constants::format_first_only);
}

StepLineRecorder::StepLineRecorder(const std::string& tag)
    : folder_(std::filesystem::temp_directory_path() /
              ("tovel-step-lines-" + std::to_string(getpid()))) {
  // The session and the provider meet in a folder of this process alone, so
  // that no other process on the machine that enables, resets or cleans up
  // the shared control block can take the lines away.
  std::filesystem::remove_all(folder_);
  etw::SetUserFolderForTesting(folder_.string());
  session_ = TraceSession::Start(UniqueSessionName(tag));
  if (session_ == nullptr) return;
  started_ = session_->EnableProvider(TraceControlGuid,
                                      TRACE_FLAG_ERROR | TRACE_FLAG_HRESULT_ERROR | TRACE_FLAG_INFO,
                                      4) == ERROR_SUCCESS;
  TraceStart();
}

StepLineRecorder::~StepLineRecorder() {
  TraceEnd();
  session_.reset();
  etw::SetUserFolderForTesting("");
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::vector<TraceRecord> StepLineRecorder::StepRecordsOf(const std::function<void()>& run) {
  run();
  TraceSendMessage(TraceSeries_Misc, kMarkerNumber, {});
  const auto records =
      ReceiveUntil(*session_, static_cast<std::uint32_t>(getpid()), [](const TraceRecord& r) {
        return r.series == TraceSeries_Misc && r.number == kMarkerNumber;
      });
  std::vector<TraceRecord> steps;
  for (const TraceRecord& r : records) {
    const bool bWide = r.series == TraceSeries_Function &&
                       (r.number == TraceMsg::Function::HResultNegative.nNumber ||
                        r.number == TraceMsg::Function::HResult.nNumber);
    if (r.series == TraceSeries_StepLog || bWide) steps.push_back(r);
  }
  return steps;
}

std::vector<std::string> StepLineRecorder::LinesOf(const std::function<void()>& run) {
  std::vector<std::string> lines;
  for (const TraceRecord& r : StepRecordsOf(run)) lines.push_back(NormalizedStepLine(r));
  return lines;
}

std::vector<std::string> StepLineRecorder::NumberedLinesOf(const std::function<void()>& run) {
  std::vector<std::string> lines;
  for (const TraceRecord& r : StepRecordsOf(run)) lines.push_back(StepLineText(r));
  return lines;
}

void StepLineTest::ExpectStepLines(const StepLineCase& c) {
  SCOPED_TRACE(c.name);
  const std::vector<std::string> lines = LinesOf(c.run);
  std::string all;
  for (const std::string& line : lines) all += line + "\n---\n";
  std::size_t next = 0;
  for (const std::string& want : c.expected) {
    while (next < lines.size() && lines[next].compare(0, want.size(), want) != 0) ++next;
    EXPECT_LT(next, lines.size()) << "missing or out of order: " << want << "\nlines:\n" << all;
    if (next < lines.size()) ++next;
  }
  for (const std::string& text : c.absent)
    EXPECT_EQ(std::string::npos, all.find(text)) << "unexpected: " << text << "\nlines:\n" << all;
}

}  // namespace tracetest
