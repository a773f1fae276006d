// frameclient: starts a native messaging host and talks to it as a browser
// would, one frame per request, printing each response.
//
//   frameclient HOST                 sends the sample conversation
//   frameclient HOST REQUEST...      sends each JSON request in turn
//
// After the last request it closes the host's input and prints how the host
// ended. It exits with 0 only when every request got a response and the host
// then exited by itself with 0, so that a script can tell a dead host from a
// good one.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/lib/HostProcess.h"

namespace {

const std::vector<std::string> kSampleConversation = {
    R"({"function":"GetVersion","params":[],"randomId":"r1"})",
    R"({"function":"getversion","params":[]})",
    R"({"function":"GetLastErrorDesc","params":[],"randomId":"r2"})",
    R"({"function":"GetMacAddress","params":[],"randomId":"r3"})",
    R"({"function":"Foo","params":[],"randomId":"r4"})",
    R"(not json)",
};

constexpr int kConversationFailed = 1;
constexpr int kUsage = 2;

const char* const kUsageText =
    "usage: %s HOST [REQUEST...]\n"
    "Starts HOST, sends it each REQUEST (by default a sample conversation) as one frame,\n"
    "prints each response, then closes HOST's input and prints how HOST ended.\n"
    "Exit status: 0 when every request got a response and HOST then exited with 0;\n"
    "1 when HOST cannot be started, when a request got no response (HOST closed its\n"
    "input or its output, or sent nothing within 30 seconds), or when HOST exited with\n"
    "another code, was ended by a signal or did not exit within 30 seconds; 2 when the\n"
    "arguments are wrong.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, kUsageText, argv[0]);
    return kUsage;
  }
  std::vector<std::string> requests(argv + 2, argv + argc);
  if (requests.empty()) requests = kSampleConversation;

  try {
    tovel::HostProcess host(argv[1]);
    const auto timeout = std::chrono::seconds(30);
    bool everyRequestAnswered = true;
    for (const std::string& request : requests) {
      std::printf("-> %s\n", request.c_str());
      if (!host.WriteFrame(request)) {
        std::printf("   (the host closed its input)\n");
        everyRequestAnswered = false;
        break;
      }
      std::uint32_t count = 0;
      const auto response = host.ReadFrame(timeout, &count);
      if (!response) {
        std::printf("   (no response)\n");
        everyRequestAnswered = false;
        break;
      }
      if (count == 0xFFFFFFFFu)
        std::printf("<- (response too large: count 0xFFFFFFFF)\n");
      else
        std::printf("<- %s\n", response->c_str());
    }
    host.CloseInput();
    const auto code = host.WaitExit(timeout);
    if (!code) {
      std::printf("host did not exit\n");
      return kConversationFailed;
    }
    if (const auto signal = host.EndingSignal())
      std::printf("host ended by signal %d\n", *signal);
    else
      std::printf("host exit code: %d\n", *code);
    // A host ended by a signal has the code 128 + its number, never 0.
    return everyRequestAnswered && *code == 0 ? 0 : kConversationFailed;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "frameclient: %s\n", e.what());
    return kConversationFailed;
  }
}
