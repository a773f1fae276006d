// Linked into a test program whose every test runs after the SM algorithms
// are registered with the crypto library, as the host registers them at
// start-up.
#include <gtest/gtest.h>

#include "smext/smext.h"

namespace {

class RegistrationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { smext_add_all_algorithms(); }
};
[[maybe_unused]] const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new RegistrationEnvironment);

}  // namespace
