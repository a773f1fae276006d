// The tracing folder of a test program: a folder in the build tree, so that
// its hosts and sessions meet no other process on the machine, or the folder
// that the test starting it names in its environment. Linked as an object of
// the program, so that the folder is set before main.
#include <cstdlib>

#include "platform/EtwShared.h"
#include "tests/tracing/TracingFixtures.h"

namespace {

const char* TraceFolder() {
  const char* named = std::getenv(tracetest::kTraceFolderVariable);
  return named != nullptr && *named != 0 ? named : TOVEL_TEST_TRACE_FOLDER;
}

[[maybe_unused]] const bool kTraceFolderSet = (etw::SetUserFolderForTesting(TraceFolder()), true);

}  // namespace
