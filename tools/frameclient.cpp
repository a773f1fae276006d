// frameclient: starts a native messaging host and talks to it as a browser
// would, one frame per request, printing each response.
//
//   frameclient HOST                 sends the sample conversation
//   frameclient HOST REQUEST...      sends each JSON request in turn
//
// After the last request it closes the host's input and prints the host's
// exit code.
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s HOST [REQUEST...]\n", argv[0]);
    return 2;
  }
  std::vector<std::string> requests(argv + 2, argv + argc);
  if (requests.empty()) requests = kSampleConversation;

  try {
    tovel::HostProcess host(argv[1]);
    const auto timeout = std::chrono::seconds(30);
    for (const std::string& request : requests) {
      std::printf("-> %s\n", request.c_str());
      if (!host.WriteFrame(request)) {
        std::printf("   (the host closed its input)\n");
        break;
      }
      std::uint32_t count = 0;
      const auto response = host.ReadFrame(timeout, &count);
      if (!response) {
        std::printf("   (no response)\n");
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
      return 1;
    }
    std::printf("host exit code: %d\n", *code);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "frameclient: %s\n", e.what());
    return 1;
  }
}
