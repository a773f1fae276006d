// The test build of the program: the end-to-end test PKI's trust list and
// names in place of the built-in policy.
#include "TestPolicy.inc"
#include "agent/TrustPolicy.h"

const CertPolicy& BuiltInCertPolicy() {
  static constexpr CertPolicy stPolicy{E2E_TRUST_LIST, E2E_NAME_1, E2E_NAME_2};
  return stPolicy;
}
