// The certificate policy of the harnesses that reach the agent: the seed
// PKI's intermediate and root, and the names of its server certificates.
#include "fuzz/FuzzPolicy.h"

#include <string>

#include "fuzz/FuzzSupport.h"

namespace fuzz {

const CertPolicy& SeedCertPolicy() {
  static const std::string trustList = ReadSeedFile("pki/trust-list.txt");
  static const CertPolicy stPolicy{trustList.c_str(), "one.fuzz.invalid", "two.fuzz.invalid"};
  return stPolicy;
}

}  // namespace fuzz
