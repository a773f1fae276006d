// The frame client's exit status: 0 only when every request got a response
// and the host then exited with 0, so that a script can tell a dead host from
// a good one. The hosts here are small scripts in a folder of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const char* const kRequest = R"({"function":"GetVersion","params":[]})";

class FrameClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tovel-frameclient-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(pattern.data()));
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // A host that waits for the first request, answers it with the frame "{}",
  // reads its input to the end (unless told not to) and then runs ending
  // (exit 3, kill...).
  std::string ScriptHost(const std::string& name, const std::string& ending,
                         bool readToTheEnd = true) {
    const fs::path path = folder_ / name;
    std::ofstream(path) << "#!/bin/sh\n"
                        << "head -c 1 >/dev/null\n"
                        << "printf '\\002\\000\\000\\000{}'\n"
                        << (readToTheEnd ? "cat >/dev/null\n" : "") << ending << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }

  // Runs the frame client with the arguments; its exit status and output.
  static std::pair<int, std::string> RunFrameClient(const std::string& arguments) {
    const std::string command = std::string(FRAMECLIENT_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "popen failed"};
    std::string output;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }

  fs::path folder_;
};

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

TEST_F(FrameClientTest, ExitsWithZeroOnlyForAWholeConversationAndAGoodEnd) {
  const struct {
    const char* name;
    std::string arguments;
    int status;
    std::string said;  // a line the client must print
  } cases[] = {
      {"answered, then exit 0", ScriptHost("good", "exit 0") + " " + Quoted(kRequest), 0,
       "<- {}\nhost exit code: 0\n"},
      // A host gone before it answers: its input is closed, or its output ends.
      {"no response at all", std::string("/bin/true ") + Quoted(kRequest), 1,
       "-> " + std::string(kRequest) + "\n   ("},
      {"the second request unanswered",
       ScriptHost("one", "exit 0", false) + " " + Quoted(kRequest) + " " + Quoted(kRequest), 1,
       "<- {}\n-> " + std::string(kRequest) + "\n   ("},
      {"answered, then exit 3", ScriptHost("three", "exit 3") + " " + Quoted(kRequest), 1,
       "<- {}\nhost exit code: 3\n"},
      {"answered, then killed", ScriptHost("killed", "kill -KILL $$") + " " + Quoted(kRequest), 1,
       "<- {}\nhost ended by signal 9\n"},
      {"no such host", (folder_ / "none").string() + " " + Quoted(kRequest), 1, "cannot start"},
      {"no host named", "", 2, "Exit status: 0 when every request got a response"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto [status, output] = RunFrameClient(c.arguments);
    EXPECT_EQ(c.status, status) << output;
    EXPECT_NE(std::string::npos, output.find(c.said)) << output;
  }
}

}  // namespace
