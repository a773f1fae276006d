// Records the step log lines that a piece of code sends, through a trace
// session that enables the host's provider in this process.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/EtwSession.h"

namespace tracetest {

// A step line as text: a narrow line as sent (its "\n" kept), a wide line
// followed by " -> " and its status in hex.
std::string StepLineText(const TraceRecord& record);
// The same without its source line number.
std::string NormalizedStepLine(const TraceRecord& record);

class StepLineRecorder {
 public:
  // Starts a session named after tag, enables the provider for failed, wide
  // and OK lines, and starts tracing in this process.
  explicit StepLineRecorder(const std::string& tag);
  ~StepLineRecorder();  // ends tracing in this process
  StepLineRecorder(const StepLineRecorder&) = delete;
  StepLineRecorder& operator=(const StepLineRecorder&) = delete;

  bool started() const { return started_; }
  // Runs run and returns the step lines (narrow, and wide through
  // TraceHResult) that it sent, in order, without their line numbers.
  std::vector<std::string> LinesOf(const std::function<void()>& run);
  // The same with their line numbers.
  std::vector<std::string> NumberedLinesOf(const std::function<void()>& run);

 private:
  // The step-line records that run sent, in order.
  std::vector<TraceRecord> StepRecordsOf(const std::function<void()>& run);

  std::filesystem::path folder_;
  std::unique_ptr<TraceSession> session_;
  bool started_ = false;
};

// One road through the code under test and the step lines it must write.
struct StepLineCase {
  const char* name;
  std::function<void()> run;
  // Lines that must come in this order (others may stand between them); an
  // entry matches a line that begins with it.
  std::vector<std::string> expected;
  // Texts that no line may hold.
  std::vector<std::string> absent;
};

// A fixture whose tests share one recorder for the whole suite.
class StepLineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    recorder_ = new StepLineRecorder("step-lines");
    ASSERT_TRUE(recorder_->started());
  }
  static void TearDownTestSuite() {
    delete recorder_;
    recorder_ = nullptr;
  }
  static std::vector<std::string> LinesOf(const std::function<void()>& run) {
    return recorder_->LinesOf(run);
  }
  static std::vector<std::string> NumberedLinesOf(const std::function<void()>& run) {
    return recorder_->NumberedLinesOf(run);
  }
  // Runs the case and checks its expected and absent lines.
  static void ExpectStepLines(const StepLineCase& c);

 private:
  static inline StepLineRecorder* recorder_ = nullptr;
};

}  // namespace tracetest
