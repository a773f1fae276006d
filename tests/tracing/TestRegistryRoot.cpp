// The registry root of a test program: a folder in the build tree that the
// tests fill. Linked as an object of the program, so that the root is set
// before main, ahead of any registry read.
#include "platform/Registry.h"

namespace {
[[maybe_unused]] const bool kRegistryRootSet =
    (SetRegistryRootForTesting(TOVEL_TEST_REGISTRY_ROOT), true);
}  // namespace
