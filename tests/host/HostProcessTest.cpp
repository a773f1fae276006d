// The built program, started as a browser starts it, spoken to over pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tools/lib/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using tovel::EncodeFrame;
using tovel::HostProcess;

constexpr auto kTimeout = 20s;

// The four count bytes of a frame, least significant first.
std::string Count(std::uint32_t n) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return bytes;
}

TEST(HostProcessTest, AnswersGetVersionWithExactBytes) {
  HostProcess host(TOVELHOST_PATH);
  ASSERT_TRUE(host.WriteFrame(R"({"function":"GetVersion","params":[],"randomId":"r1"})"));
  const std::string expected =
      R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2","randomId":"r1"})";
  const auto bytes = host.ReadExactly(4 + expected.size(), kTimeout);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(EncodeFrame(expected), *bytes);
  host.CloseInput();
  EXPECT_TRUE(host.OutputEnds(kTimeout));
  EXPECT_EQ(0, host.WaitExit(kTimeout));
}

TEST(HostProcessTest, ConversationOfSeveralFramesInOrder) {
  HostProcess host(TOVELHOST_PATH);
  // Two frames in one write: each gets its own response, in order.
  ASSERT_TRUE(host.WriteRaw(EncodeFrame(R"({"function":"Foo","params":[],"randomId":"a"})") +
                            EncodeFrame("this is not json")));
  EXPECT_EQ(R"({"function":"Foo", "errorcode":-2146893779, "result":false, "randomId":"a"})",
            host.ReadFrame(kTimeout).value_or("<none>"));
  EXPECT_EQ(R"({"function":"", "errorcode":-2146893779, "result":false})",
            host.ReadFrame(kTimeout).value_or("<none>"));
  ASSERT_TRUE(host.WriteFrame(R"({"function":"GetLastErrorDesc","params":[]})"));
  const std::string desc = host.ReadFrame(kTimeout).value_or("<none>");
  EXPECT_EQ(0u, desc.find(R"({"function":"GetLastErrorDesc","errorcode":0,"result":")")) << desc;
  EXPECT_NE(std::string::npos, desc.find("(0x00000000)")) << desc;
  ASSERT_TRUE(host.WriteRaw(Count(0)));
  EXPECT_TRUE(host.OutputEnds(kTimeout));
  EXPECT_EQ(0, host.WaitExit(kTimeout));
}

TEST(HostProcessTest, EndsOfConversation) {
  const struct {
    const char* name;
    std::string input;
    bool closeInput;
  } cases[] = {
      {"count 0", Count(0), false},
      {"count FFFFFFFF", Count(0xFFFFFFFFu), false},
      {"input closed before a frame", "", true},
      {"truncated frame", Count(10) + "abc", true},
      {"truncated count", std::string("\x07\x00", 2), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostProcess host(TOVELHOST_PATH);
    ASSERT_TRUE(host.WriteRaw(c.input));
    if (c.closeInput) host.CloseInput();
    EXPECT_TRUE(host.OutputEnds(kTimeout));  // no response frame at all
    EXPECT_EQ(0, host.WaitExit(kTimeout));
  }
}

TEST(HostProcessTest, OversizedResponseSendsLoneCountAndEnds) {
  HostProcess host(TOVELHOST_PATH);
  const std::string randomId(0x100000, 'r');
  ASSERT_TRUE(
      host.WriteFrame(R"({"function":"GetVersion","params":[],"randomId":")" + randomId + "\"}"));
  EXPECT_EQ(Count(0xFFFFFFFFu), host.ReadExactly(4, kTimeout).value_or("<none>"));
  EXPECT_TRUE(host.OutputEnds(kTimeout));
  EXPECT_EQ(0, host.WaitExit(kTimeout));
}

TEST(HostProcessTest, BrowserGoneMeansCleanExit) {
  HostProcess host(TOVELHOST_PATH);
  host.CloseOutput();
  ASSERT_TRUE(host.WriteFrame(R"({"function":"GetVersion","params":[]})"));
  EXPECT_EQ(0, host.WaitExit(kTimeout));
}

// The worker waits for a request that never comes while the clock passes the
// time limit: the process ends by itself with exit code 0 and sends nothing,
// though its input is still open.
TEST(HostProcessTest, TimeLimitEndsTheProcessWithZero) {
  HostProcess host(TOVELHOST_FAST_CLOCK_PATH);
  EXPECT_EQ(0, host.WaitExit(kTimeout));
  EXPECT_TRUE(host.OutputEnds(kTimeout));
}

// --- Started with a standard descriptor closed ------------------------------

// Everything one descriptor held when the child ended.
std::string Drain(int fd) {
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    bytes.append(buffer, static_cast<std::size_t>(n));
  return bytes;
}

// Waits for the child; its exit status (signals as 1000 + number), or -1 when
// it had to be killed at the timeout.
int WaitChild(pid_t pid, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// A closed descriptor 0 or 1 means binary mode cannot be set: the program
// ends with -1 (255 to the parent) and neither reads a frame nor writes a
// byte. Its other standard descriptors are pipes whose contents are checked.
TEST(HostProcessTest, ClosedStandardDescriptorEndsWithMinusOne) {
  const std::string frame = EncodeFrame(R"({"function":"GetVersion","params":[]})");
  for (int closed : {0, 1}) {
    SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
    int input[2], output[2], errors[2];
    ASSERT_EQ(0, ::pipe2(input, O_CLOEXEC));
    ASSERT_EQ(0, ::pipe2(output, O_CLOEXEC));
    ASSERT_EQ(0, ::pipe2(errors, O_CLOEXEC));
    // A whole request waits on the input, which ends after it.
    ASSERT_EQ(static_cast<ssize_t>(frame.size()), ::write(input[1], frame.data(), frame.size()));
    ::close(input[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closed == 0)
      posix_spawn_file_actions_addclose(&actions, 0);
    else
      posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    if (closed == 1)
      posix_spawn_file_actions_addclose(&actions, 1);
    else
      posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    char program[] = TOVELHOST_PATH;
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, TOVELHOST_PATH, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    ::close(errors[1]);
    ASSERT_EQ(0, spawned);

    EXPECT_EQ(255, WaitChild(pid, kTimeout));
    EXPECT_EQ("", Drain(output[0])) << "nothing written";
    EXPECT_EQ("", Drain(errors[0])) << "nothing written";
    EXPECT_EQ(frame, Drain(input[0])) << "the request is still unread";
    ::close(input[0]);
    ::close(output[0]);
    ::close(errors[0]);
  }
}

}  // namespace
