// The certificate policy of the harnesses that reach the agent: the seed
// PKI's intermediate and root, and the names of its server certificates. It
// takes the place of the built-in one (defined weak) in these programs only.
#include <string>

#include "agent/TrustPolicy.h"
#include "fuzz/FuzzSupport.h"

const CertPolicy& BuiltInCertPolicy() {
  static const std::string trustList = fuzz::ReadSeedFile("pki/trust-list.txt");
  static const CertPolicy stPolicy{trustList.c_str(), "one.fuzz.invalid", "two.fuzz.invalid"};
  return stPolicy;
}
