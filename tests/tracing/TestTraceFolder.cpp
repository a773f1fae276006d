// The tracing folder of a test program: a folder in the build tree, so that
// its hosts and sessions meet no other process on the machine. Linked as an
// object of the program, so that the folder is set before main.
#include "platform/EtwShared.h"

namespace {
[[maybe_unused]] const bool kTraceFolderSet =
    (etw::SetUserFolderForTesting(TOVEL_TEST_TRACE_FOLDER), true);
}  // namespace
