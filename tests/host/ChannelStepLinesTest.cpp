// The step log lines of the channel's write, seen through a trace session:
// every road allocates its frame with a "New memory" step before "write".
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include "Host/IOStream.h"
#include "tests/support/StepLineRecorder.h"

namespace {

using ChannelStepLines = tracetest::StepLineTest;
using tracetest::StepLineCase;

const std::string kChannel = "[IOStream.cpp]:(WriteToNativeMessaging -- ";

// Writes the text to a pipe whose reader takes what arrives; a closed reader
// makes the write fail.
void WriteThroughPipe(const std::string& text, bool closeReader) {
  std::signal(SIGPIPE, SIG_IGN);  // as the program does: a gone reader is EPIPE
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  if (closeReader) ::close(fds[0]);
  std::string received;
  std::thread reader;
  if (!closeReader) {
    reader = std::thread([&] {
      char buffer[65536];
      ssize_t n;
      while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        received.append(buffer, static_cast<std::size_t>(n));
    });
  }
  WriteToNativeMessaging(text.c_str(), fds[1]);
  ::close(fds[1]);
  if (!closeReader) {
    reader.join();
    ::close(fds[0]);
  }
}

TEST_F(ChannelStepLines, EveryWriteAllocatesItsFrameFirst) {
  const std::string longest(MAX_RESPONSE_SIZE, 'a');
  const std::string tooLong(MAX_RESPONSE_SIZE + 1, 'a');
  const StepLineCase cases[] = {
      {"a response",
       [] { WriteThroughPipe("{}", false); },
       {kChannel + "New memory)\t\t--OK\n", kChannel + "write)\t\t--OK\n"},
       {"Failed"}},
      {"the longest response",
       [&] { WriteThroughPipe(longest, false); },
       {kChannel + "New memory)\t\t--OK\n", kChannel + "write)\t\t--OK\n"},
       {"Failed"}},
      {"a response too long: the lone count",
       [&] { WriteThroughPipe(tooLong, false); },
       {kChannel + "New memory)\t\t--OK\n", kChannel + "write)\t\t--OK\n"},
       {"Failed"}},
      {"the lone count to a reader that has gone",
       [&] { WriteThroughPipe(tooLong, true); },
       {kChannel + "New memory)\t\t--OK\n",
        "[IOStream.cpp:](WriteToNativeMessaging -- write)\t\t--Failed:(0xffffffff) "
        "[Reason:nWriteSize != nWriteBufSize]\n"},
       {}},
  };
  for (const StepLineCase& c : cases) ExpectStepLines(c);
}

}  // namespace
