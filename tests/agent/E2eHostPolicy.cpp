// The test build of the program: the end-to-end test PKI's trust list and
// names in place of the built-in policy. Linked as an object of the program,
// so that the policy is set before main, ahead of the agent.
#include "Host/TovelKitHost.h"
#include "TestPolicy.inc"
#include "agent/TrustPolicy.h"

namespace {
constexpr CertPolicy kE2ePolicy{E2E_TRUST_LIST, E2E_NAME_1, E2E_NAME_2};
[[maybe_unused]] const bool kE2ePolicySet = (SetAgentCertPolicyForTesting(&kE2ePolicy), true);
}  // namespace
