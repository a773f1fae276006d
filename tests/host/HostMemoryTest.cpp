// Memory per request: the built program, sent one large frame of a hostile
// shape, must stay within a few times the frame's size, answer it and (where
// the channel allows) go on with the conversation. The peak resident memory
// of the child is read when it is reaped; the bound is generous, not a
// measure of speed.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Host/StatusCodes.h"
#include "platform/UniquePtr.h"
#include "tools/lib/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using tovel::HostProcess;

constexpr auto kTimeout = 60s;
constexpr std::size_t kFrameSize = 32u * 1024 * 1024;
// Peak resident memory may exceed that of a short conversation by this many
// times the large frame's size.
constexpr long kAllowedTimesFrame = 8;

const char kFallbackNoName[] = R"({"function":"", "errorcode":-2146893779, "result":false})";
const char kVersionRequest[] = R"({"function":"GetVersion","params":[]})";
const char kVersionAnswer[] = R"({"function":"GetVersion","errorcode":0,"result":"1.0.0.2"})";

// A request text of about kFrameSize bytes: head, then unit repeated, then tail.
std::string Repeat(const std::string& head, const std::string& unit, const std::string& tail) {
  std::string text;
  text.reserve(kFrameSize + unit.size() + tail.size());
  text = head;
  while (text.size() + tail.size() < kFrameSize) text += unit;
  return text + tail;
}

// The peak resident memory (KiB) of a host that answered a few small requests.
long ShortConversationPeak() {
  HostProcess host(TOVELHOST_PATH);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(host.WriteFrame(kVersionRequest));
    EXPECT_EQ(kVersionAnswer, host.ReadFrame(kTimeout).value_or("<none>"));
  }
  host.CloseInput();
  EXPECT_EQ(0, host.WaitExit(kTimeout));
  return host.PeakResidentKib().value_or(0);
}

struct ShapeCase {
  const char* name;
  std::function<std::string()> request;
  // What the one large request gets: a response text, or "" for the lone
  // count 0xFFFFFFFF of a response too long to send (which ends the
  // conversation).
  std::function<void(const std::string& answer)> check;
};

void ExpectFallbackWithoutName(const std::string& answer) { EXPECT_EQ(kFallbackNoName, answer); }

TEST(HostMemoryTest, LargeFramesOfEveryShapeStayWithinAFewTimesTheirSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP()
      << "the address sanitizer keeps freed memory and shadows every byte: peaks mean nothing here";
#endif
  const long baselineKib = ShortConversationPeak();
  ASSERT_GT(baselineKib, 0);

  const std::string versionHead = R"({"function":"GetVersion","params":[)";
  const ShapeCase cases[] = {
      {"31 million numbers", [&] { return Repeat(versionHead, "1,", "1]}"); },
       ExpectFallbackWithoutName},
      {"members with empty names",
       [] { return Repeat(R"({"function":"GetVersion","params":{)", R"("":1,)", R"("":1}})"); },
       ExpectFallbackWithoutName},
      {"nested empty arrays", [&] { return Repeat(versionHead, "[],", "[]]}"); },
       ExpectFallbackWithoutName},
      {"numbers spread out, as many as the size allows",
       [&] { return Repeat(versionHead, "1" + std::string(63, ' ') + ",", "1]}"); },
       [](const std::string& answer) { EXPECT_EQ(kVersionAnswer, answer); }},
      {"one long string", [&] { return Repeat(versionHead + "\"", "abcdefgh", "\"]}"); },
       [](const std::string& answer) { EXPECT_EQ(kVersionAnswer, answer); }},
      {"a long randomId of ill-formed bytes",
       [] { return Repeat(R"({"function":"GetVersion","params":[],"randomId":")", "\xff", "\"}"); },
       [](const std::string& answer) { EXPECT_EQ("", answer); }},
      {"a long randomId of control bytes",
       [] { return Repeat(R"({"function":"GetVersion","params":[],"randomId":")", "\x01", "\"}"); },
       [](const std::string& answer) { EXPECT_EQ("", answer); }},
      {"a long unknown name",
       [] { return Repeat(R"({"function":")", "\x01\xc0", R"(","params":[],"randomId":"r"})"); },
       [](const std::string& answer) { EXPECT_EQ("", answer); }},
      {"a long certificate text",
       [] { return Repeat(R"({"function":"GetMacAddress","params":[")", "QUJD", R"("]})"); },
       [](const std::string& answer) {
         const tovel::UniquePtr<cJSON> json(cJSON_Parse(answer.c_str()));
         ASSERT_NE(nullptr, json) << answer;
         EXPECT_EQ(E_INVALIDARG, cJSON_GetObjectItem(json.get(), "errorcode")->valuedouble);
       }},
  };
  // Every child is started before any large text is made: a child's peak
  // includes what its parent held when it was started.
  std::vector<std::unique_ptr<HostProcess>> hosts;
  for (std::size_t i = 0; i < std::size(cases); ++i)
    hosts.push_back(std::make_unique<HostProcess>(TOVELHOST_PATH));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const ShapeCase& row = cases[i];
    SCOPED_TRACE(row.name);
    HostProcess& host = *hosts[i];
    const std::string request = row.request();
    ASSERT_TRUE(host.WriteFrame(request));
    std::uint32_t count = 0;
    const std::optional<std::string> answer = host.ReadFrame(kTimeout, &count);
    ASSERT_TRUE(answer.has_value()) << "no answer";
    const bool tooLong = count == 0xFFFFFFFFu;
    row.check(tooLong ? std::string() : *answer);
    if (tooLong) {
      EXPECT_TRUE(host.OutputEnds(kTimeout)) << "a response too long to send ends the conversation";
    } else {
      ASSERT_TRUE(host.WriteFrame(kVersionRequest));
      EXPECT_EQ(kVersionAnswer, host.ReadFrame(kTimeout).value_or("<none>"))
          << "the conversation goes on";
      host.CloseInput();
    }
    ASSERT_EQ(0, host.WaitExit(kTimeout));
    const long peakKib = host.PeakResidentKib().value_or(0);
    const long frameKib = static_cast<long>(request.size() / 1024);
    EXPECT_LE(peakKib, baselineKib + kAllowedTimesFrame * frameKib)
        << "peak " << peakKib << " KiB, short conversation " << baselineKib << " KiB, frame "
        << frameKib << " KiB";
  }
}

}  // namespace
