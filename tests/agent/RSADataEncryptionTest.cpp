// RSA encryption under the server certificate, checked by decrypting with the
// private key.
#include "agent/RSADataEncryption.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/TovelAgent.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/cert/SharedPki.h"

namespace {

using testpki::Pki;

// The statuses as the encryption returns them.
constexpr int kInvalidParameter = ERROR_INVALID_PARAMETER;
constexpr int kEncryptionFailed = ERROR_ENCRYPTION_FAILED;

struct Encrypted {
  int nResult;
  std::vector<unsigned char> cipher;
};

// Runs one encryption call; on failure it must hand nothing over.
template <typename Call>
Encrypted Run(Call call) {
  BYTE* pbyData = nullptr;
  int nSize = -1;
  Encrypted out{call(&pbyData, &nSize), {}};
  const std::unique_ptr<BYTE[]> owner(pbyData);
  if (out.nResult == 0) {
    out.cipher.assign(pbyData, pbyData + nSize);
  } else {
    EXPECT_EQ(pbyData, nullptr) << "nothing handed over on failure";
    EXPECT_EQ(nSize, -1);
  }
  return out;
}

Encrypted EncryptWithKey(EVP_PKEY* key, const std::string& plain) {
  return Run([&](BYTE** ppbyData, int* pnSize) {
    return RSAEncrypt(key, reinterpret_cast<const BYTE*>(plain.data()),
                      static_cast<int>(plain.size()), ppbyData, pnSize);
  });
}

Encrypted EncryptWithCert(X509* cert, const std::string& plain) {
  return Run([&](BYTE** ppbyData, int* pnSize) {
    return RSAEncryptByX509(ppbyData, pnSize, cert, reinterpret_cast<const BYTE*>(plain.data()),
                            static_cast<int>(plain.size()));
  });
}

TEST(RSAEncryptTest, KeySizesAndPlaintextLengths) {
  struct SizeCase {
    const char* name;
    EVP_PKEY* key;
    std::size_t plainLength;
    int expected;
    std::size_t cipherLength;
  };
  const SizeCase cases[] = {
      {"2048 bits, a full MAC list", Pki().leafKey.get(), 179, 0, 256},
      {"2048 bits, empty plaintext is one full block", Pki().leafKey.get(), 0, 0, 256},
      {"2048 bits, the most one block takes", Pki().leafKey.get(), 245, 0, 256},
      {"2048 bits, one byte too many", Pki().leafKey.get(), 246, kEncryptionFailed, 0},
      {"1024 bits, 117 bytes", agenttest::Rsa1024Key(), 117, 0, 128},
      {"1024 bits, 118 bytes", agenttest::Rsa1024Key(), 118, kEncryptionFailed, 0},
      {"512 bits is refused", agenttest::Rsa512Key(), 10, kEncryptionFailed, 0},
      {"an EC key is refused", Pki().ecKey.get(), 10, kEncryptionFailed, 0},
  };
  for (const SizeCase& row : cases) {
    SCOPED_TRACE(row.name);
    std::string plain(row.plainLength, 'M');
    Encrypted out = EncryptWithKey(row.key, plain);
    EXPECT_EQ(out.nResult, row.expected);
    if (row.expected != 0) continue;
    ASSERT_EQ(out.cipher.size(), row.cipherLength);
    EXPECT_EQ(agenttest::DecryptPkcs1(row.key, out.cipher), plain);
  }
}

TEST(RSAEncryptTest, PaddingIsRandom) {
  const std::string plain = "00:1A:2B:3C:4D:5E;02:00:5E:10:20:30";
  Encrypted first = EncryptWithKey(Pki().leafKey.get(), plain);
  Encrypted second = EncryptWithKey(Pki().leafKey.get(), plain);
  ASSERT_EQ(first.nResult, 0);
  ASSERT_EQ(second.nResult, 0);
  EXPECT_EQ(first.cipher.size(), second.cipher.size());
  EXPECT_NE(first.cipher, second.cipher);
  EXPECT_EQ(agenttest::DecryptPkcs1(Pki().leafKey.get(), first.cipher), plain);
  EXPECT_EQ(agenttest::DecryptPkcs1(Pki().leafKey.get(), second.cipher), plain);
}

TEST(RSAEncryptTest, NullArguments) {
  BYTE* pbyData = nullptr;
  int nSize = -1;
  const BYTE byPlain[1] = {'x'};
  EXPECT_EQ(RSAEncrypt(nullptr, byPlain, 1, &pbyData, &nSize), kInvalidParameter);
  EXPECT_EQ(RSAEncrypt(Pki().leafKey.get(), nullptr, 0, &pbyData, &nSize), kInvalidParameter);
  EXPECT_EQ(RSAEncrypt(Pki().leafKey.get(), byPlain, -1, &pbyData, &nSize), kEncryptionFailed);
  EXPECT_EQ(RSAEncryptByX509(&pbyData, &nSize, nullptr, byPlain, 1), kInvalidParameter);
  EXPECT_EQ(pbyData, nullptr);
  EXPECT_EQ(nSize, -1);
}

TEST(RSAEncryptByX509Test, KeyUsageAndKeyType) {
  struct CertCase {
    const char* name;
    EVP_PKEY* subjectKey;
    const char* keyUsage;
    int expected;
  };
  const CertCase cases[] = {
      {"key encipherment", Pki().leafKey.get(), "digitalSignature,keyEncipherment", 0},
      {"data encipherment only", Pki().leafKey.get(), "dataEncipherment", E_INVALID_CERT_USAGE},
      {"digital signature only", Pki().leafKey.get(), "digitalSignature", E_INVALID_CERT_USAGE},
      {"no key usage", Pki().leafKey.get(), "", E_INVALID_CERT_USAGE},
      {"an EC key with key encipherment", Pki().ecKey.get(), "keyEncipherment", kEncryptionFailed},
  };
  for (const CertCase& row : cases) {
    SCOPED_TRACE(row.name);
    testpki::CertSpec spec = Pki().Leaf({{"CN", testpki::kName1}});
    spec.keyUsage = row.keyUsage;
    testpki::Cert cert =
        testpki::Issue(spec, row.subjectKey, Pki().inter.get(), Pki().interKey.get());
    const std::string plain = "0A:1B:2C:3D:4E:5F";
    Encrypted out = EncryptWithCert(cert.get(), plain);
    EXPECT_EQ(out.nResult, row.expected);
    if (row.expected == 0) {
      EXPECT_EQ(agenttest::DecryptPkcs1(row.subjectKey, out.cipher), plain);
    }
  }
}

}  // namespace
