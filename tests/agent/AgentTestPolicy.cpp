// The policy the agent tests make their agents with, the shared test PKI's;
// every key is made before the first test.
#include <gtest/gtest.h>

#include "agent/TrustPolicy.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/cert/SharedPki.h"

namespace agenttest {

const CertPolicy& TestCertPolicy() {
  static const CertPolicy stPolicy = testpki::Pki().Policy();
  return stPolicy;
}

namespace {

struct Keys {
  testpki::Key rsa1024;
  testpki::Key rsa512;
  std::string ecdsaSigned;
  std::string sm2Signed;
};

std::string SignedLeaf(testpki::Signature signature, EVP_PKEY* issuerKey) {
  const testpki::SharedPki& pki = testpki::Pki();
  testpki::CertSpec spec = pki.Leaf({{"CN", testpki::kName1}});
  spec.signature = signature;
  return testpki::Base64(
      testpki::ToDer(testpki::Issue(spec, pki.leafKey.get(), nullptr, issuerKey).get()));
}

Keys& TheKeys() {
  static Keys keys = [] {
    Keys k;
    k.rsa1024 = testpki::MakeKey(testpki::KeyType::Rsa1024);
    k.rsa512.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(512)));
    k.ecdsaSigned = SignedLeaf(testpki::Signature::EcdsaWithSha256, testpki::Pki().ecKey.get());
    k.sm2Signed = SignedLeaf(testpki::Signature::Sm2WithSm3, testpki::Pki().sm2Key.get());
    return k;
  }();
  return keys;
}

class KeyEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    testpki::Pki();
    ASSERT_NE(TheKeys().rsa512, nullptr);
  }
};

[[maybe_unused]] ::testing::Environment* const g_keyEnvironment =
    ::testing::AddGlobalTestEnvironment(new KeyEnvironment);

}  // namespace

EVP_PKEY* Rsa1024Key() { return TheKeys().rsa1024.get(); }
EVP_PKEY* Rsa512Key() { return TheKeys().rsa512.get(); }
const std::string& EcdsaSignedCertBase64() { return TheKeys().ecdsaSigned; }
const std::string& Sm2SignedCertBase64() { return TheKeys().sm2Signed; }

}  // namespace agenttest
