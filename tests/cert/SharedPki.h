// One test PKI per test program: a root, an intermediate under it (path length
// 0, like the carried intermediate) and the keys to issue leaves with.
#pragma once

#include <string>
#include <vector>

#include "agent/TrustPolicy.h"
#include "tests/cert/TestPki.h"

namespace testpki {

inline constexpr char kName1[] = "one.test.invalid";
inline constexpr char kName2[] = "two.test.invalid";
inline constexpr std::int64_t kDay = 24 * 3600;

struct SharedPki {
  Key rootKey, interKey, leafKey, otherKey, ecKey, sm2Key;
  Cert root, inter;
  std::string trustList;  // Base64 DER of the intermediate, "|", of the root

  // The test policy: this PKI's trust list and the two test names.
  CertPolicy Policy() const { return CertPolicy{trustList.c_str(), kName1, kName2}; }

  // A leaf spec valid from a day ago for a year, with keyEncipherment and the
  // given subject.
  CertSpec Leaf(std::vector<std::pair<std::string, std::string>> subject,
                std::uint64_t serial = 100) const {
    CertSpec spec;
    spec.subject = std::move(subject);
    spec.keyUsage = "digitalSignature,keyEncipherment";
    spec.notBefore = Now() - kDay;
    spec.notAfter = Now() + 365 * kDay;
    spec.serial = serial;
    return spec;
  }
  Cert IssueByInter(const CertSpec& spec) const {
    return Issue(spec, leafKey.get(), inter.get(), interKey.get());
  }
  Cert IssueByRoot(const CertSpec& spec) const {
    return Issue(spec, leafKey.get(), root.get(), rootKey.get());
  }
  Cert SelfSigned(const CertSpec& spec) const {
    return Issue(spec, leafKey.get(), nullptr, leafKey.get());
  }
};

// Built on first use and kept for the life of the test program.
const SharedPki& Pki();

}  // namespace testpki
