// The carried trust list: its form, the two carried CA certificates it holds,
// and the built-in policy around it.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "agent/TovelAgent.h"
#include "agent/TovelAgentTrust.h"
#include "agent/TrustPolicy.h"
#include "platform/Crt.h"
#include "tests/cert/TestPki.h"

namespace {

using testpki::Cert;

std::vector<std::string> Entries(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
    out.push_back(text.substr(start, bar - start));
  out.push_back(text.substr(start));
  return out;
}

Cert Decode(const std::string& base64) {
  std::vector<unsigned char> der(base64.size());
  const int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(base64.data()),
                                static_cast<int>(base64.size()));
  EXPECT_GT(n, 0);
  const std::size_t padding = std::count(base64.end() - 2, base64.end(), '=');
  const unsigned char* p = der.data();
  return Cert(d2i_X509(nullptr, &p, static_cast<long>(n - padding)));
}

std::string Serial(const X509* cert) {
  const tovel::UniquePtr<BIGNUM> bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
  const tovel::OpenSslPtr<char> hex(BN_bn2hex(bn.get()));
  return hex.get();
}

std::string NameDigest(const X509_NAME* name) {
  unsigned char* der = nullptr;
  const int n = i2d_X509_NAME(name, &der);
  const tovel::OpenSslPtr<unsigned char> owner(der);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(der, static_cast<size_t>(n), digest);
  char hex[2 * SHA256_DIGEST_LENGTH + 1];
  for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

const struct CarriedCa {
  const char* role;
  std::size_t base64Length;
  std::size_t derLength;
  const char* serial;
  const char* subjectDigest;  // SHA-256 of the subject name's DER
} kCarried[] = {
    {"intermediate", 1792, 1344, "01678F1FEF882255D8B0A70E6B7BB220",
     "fd87b2f90b9401570ab137ad25bc3d1ae487d8ea9f480570dabd704a304ea3e7"},
    {"root", 1220, 914, "033AF1E6A711A9A0BB2864B11D09FAE5",
     "ce6a172b6d7dfe6d530d6ea7cc603e42f89e836bed6f19e70f12854a4e5c2db1"},
};

TEST(CarriedTrustList, HoldsTheIntermediateThenTheRoot) {
  const std::string list = g_szCarriedTrustCertData;
  ASSERT_EQ(3013u, list.size());
  const std::vector<std::string> entries = Entries(list);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(std::string::npos, list.find_first_of("\r\n -"));
  EXPECT_NE('=', entries[0].back());
  EXPECT_EQ("=", entries[1].substr(entries[1].size() - 2, 2).substr(1));
  EXPECT_NE('=', entries[1][entries[1].size() - 2]);

  Cert certs[2];
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(kCarried[i].role);
    EXPECT_EQ(kCarried[i].base64Length, entries[i].size());
    certs[i] = Decode(entries[i]);
    ASSERT_NE(nullptr, certs[i]);
    EXPECT_EQ(static_cast<int>(kCarried[i].derLength), i2d_X509(certs[i].get(), nullptr));
    EXPECT_EQ(kCarried[i].serial, Serial(certs[i].get()));
    EXPECT_EQ(kCarried[i].subjectDigest, NameDigest(X509_get_subject_name(certs[i].get())));
    EXPECT_EQ(NID_sha256WithRSAEncryption, X509_get_signature_nid(certs[i].get()));
    EXPECT_EQ(2048, EVP_PKEY_get_bits(X509_get0_pubkey(certs[i].get())));
  }
  // The root is self-signed and issued the intermediate, a CA limited to path length 0.
  EXPECT_EQ(0, X509_NAME_cmp(X509_get_subject_name(certs[1].get()),
                             X509_get_issuer_name(certs[1].get())));
  EXPECT_EQ(0, X509_NAME_cmp(X509_get_subject_name(certs[1].get()),
                             X509_get_issuer_name(certs[0].get())));
  EXPECT_EQ(1, X509_verify(certs[0].get(), X509_get0_pubkey(certs[1].get())));
  EXPECT_EQ(1, X509_check_ca(certs[0].get()));
  EXPECT_EQ(0, X509_get_pathlen(certs[0].get()));
}

TEST(CarriedTrustList, IntermediateChainsToTheRootWhileValid) {
  // Both carried certificates verify through the store; the intermediate
  // expires 2030-07-02 12:42:50 UTC, after which the chain check reports time.
  const std::vector<std::string> entries = Entries(g_szCarriedTrustCertData);
  Cert root = Decode(entries[1]);
  Cert inter = Decode(entries[0]);
  std::vector<BYTE> rootDer(i2d_X509(root.get(), nullptr));
  BYTE* p = rootDer.data();
  i2d_X509(root.get(), &p);
  std::vector<BYTE*> data{rootDer.data()};
  std::vector<int> lengths{static_cast<int>(rootDer.size())};
  const __time64_t kIntermediateEnd = 1909226570;  // 2030-07-02 12:42:50 UTC
  const ResultCode expected =
      _time64(nullptr) <= kIntermediateEnd ? PELLUM_OK : E_CERT_TIME_INVALID;
  EXPECT_EQ(expected, VerifyCertChainWithData(inter.get(), data, lengths));
}

TEST(BuiltInCertPolicy, CarriesTheTrustListAndTwoNames) {
  const CertPolicy& policy = BuiltInCertPolicy();
  EXPECT_EQ(g_szCarriedTrustCertData, policy.pszTrustCertData);
  ASSERT_NE(nullptr, policy.pszAcceptedName1);
  ASSERT_NE(nullptr, policy.pszAcceptedName2);
  EXPECT_GT(std::strlen(policy.pszAcceptedName1), 0u);
  EXPECT_STRNE(policy.pszAcceptedName1, policy.pszAcceptedName2);
  EXPECT_EQ(&policy, &BuiltInCertPolicy());
}

}  // namespace
