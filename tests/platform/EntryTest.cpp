// The process entry: arguments and environment reach wmain as UTF-16, a
// closed reader does not kill the process, and wmain's result is the exit
// status. Runs a small probe program built with the real entry.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Hex(const std::u16string& text) {
  std::string out;
  char unit[8];
  for (char16_t c : text) {
    std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    out += unit;
  }
  return out;
}

struct ProbeRun {
  std::string output;
  int exitStatus = -1;
};

// Starts the probe with SIGPIPE at its default action, its output on a pipe
// and descriptor 3 on a pipe whose reader is already closed.
ProbeRun RunProbe(std::vector<std::string> arguments, std::vector<std::string> environment) {
  ProbeRun run;
  int output[2];
  int broken[2];
  if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(broken, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << errno;
    return run;
  }
  ::close(broken[0]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, broken[1], 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, PLATFORM_ENTRY_PROBE, &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(output[1]);
  ::close(broken[1]);
  if (spawned != 0) {
    ::close(output[0]);
    ADD_FAILURE() << "posix_spawn: " << spawned;
    return run;
  }

  char buffer[4096];
  ssize_t n;
  while ((n = ::read(output[0], buffer, sizeof buffer)) > 0)
    run.output.append(buffer, static_cast<std::size_t>(n));
  ::close(output[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return run;
}

TEST(EntryTest, HandsUtf16ArgumentsAndEnvironmentToWmain) {
  const ProbeRun run = RunProbe({"probe", "h\xC3\xA9llo", "\xF0\x9F\x98\x80", "bad\xFF", ""},
                                {"OTHER=1", "TOVEL_PROBE_A=\xC3\xBC", "TOVEL_PROBE_B=x\xE2\x82"});
  const std::string expected =
      "argc=5\n"
      "arg=" +
      Hex(u"probe") +
      "\n"
      "arg=" +
      Hex(u"h\u00E9llo") +
      "\n"
      "arg=" +
      Hex(u"\U0001F600") +
      "\n"
      "arg=" +
      Hex(u"bad\uFFFD") +
      "\n"
      "arg=\n"
      "env=" +
      Hex(u"TOVEL_PROBE_A=\u00FC") +
      "\n"
      "env=" +
      Hex(u"TOVEL_PROBE_B=x\uFFFD") +
      "\n"
      "pipe=-1," +
      std::to_string(EPIPE) + "\n";
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.exitStatus, 42);  // wmain's result, not death by SIGPIPE
}

}  // namespace
