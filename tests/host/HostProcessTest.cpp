// The built program, started as a browser starts it, spoken to over pipes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

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
  const std::string expected = R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2","randomId":"r1"})";
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
  ASSERT_TRUE(host.WriteFrame(R"({"function":"GetVersion","params":[],"randomId":")" + randomId + "\"}"));
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

}  // namespace
