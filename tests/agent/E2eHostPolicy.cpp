// The test build of the program: the end-to-end test PKI's trust list and
// names in place of the built-in policy. The program hands its agent
// BuiltInCertPolicy(); this definition is linked before the agent library is
// searched, so agent/TrustPolicy.cpp (which the program uses for nothing else)
// stays out of this build.
#include "TestPolicy.inc"
#include "agent/TrustPolicy.h"

const CertPolicy& BuiltInCertPolicy() {
  static constexpr CertPolicy stPolicy{E2E_TRUST_LIST, E2E_NAME_1, E2E_NAME_2};
  return stPolicy;
}
