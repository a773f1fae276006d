// The server certificate policy: certificate type, subject name, validity
// period and chain, in that order, against the test PKI.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "agent/TovelAgent.h"
#include "agent/TovelAgentTrust.h"
#include "platform/CryptoApi.h"
#include "tests/cert/SharedPki.h"

namespace {

using namespace testpki;
using Bytes = std::vector<BYTE>;

// The statuses as the checks return them: a refused subject name, and the
// certificate decoder's errors.
constexpr HRESULT kNameRefused = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr HRESULT kBadTag = static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG);
constexpr HRESULT kCorrupt = static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT);
constexpr HRESULT kEndOfData = static_cast<HRESULT>(CRYPT_E_ASN1_EOD);

TEST(GetCertificateType, ClassifiesBySignatureAlgorithm) {
  const SharedPki& pki = Pki();
  CertSpec spec = pki.Leaf({{"CN", kName1}});
  CertSpec ecdsa = spec;
  ecdsa.signature = Signature::EcdsaWithSha256;
  CertSpec sm2 = spec;
  sm2.signature = Signature::Sm2WithSm3;
  // Only the identifier is read, so a relabelled certificate stands for each
  // algorithm of the two families.
  const auto labelled = [&](const char* oid) {
    CertSpec relabelled = spec;
    relabelled.signatureOid = oid;
    return Base64(ToDer(pki.IssueByInter(relabelled).get()));
  };
  const struct {
    const char* name;
    std::string base64;
    HRESULT status;
    DWORD type;
  } cases[] = {
      {"sha256WithRSAEncryption", Base64(ToDer(pki.IssueByInter(spec).get())), S_OK,
       RSA_CERTIFICATE},
      {"RSA key signed with SM2-with-SM3",
       Base64(ToDer(Issue(sm2, pki.leafKey.get(), nullptr, pki.sm2Key.get()).get())), S_OK,
       SM2_CERTIFICATE},
      {"RSA key signed with ECDSA",
       Base64(ToDer(Issue(ecdsa, pki.leafKey.get(), nullptr, pki.ecKey.get()).get())),
       E_INVALID_KEY_ALGORITHM, 0},
      {"sha1WithRSAEncryption", labelled("1.2.840.113549.1.1.5"), S_OK, RSA_CERTIFICATE},
      {"RSASSA-PSS", labelled("1.2.840.113549.1.1.10"), S_OK, RSA_CERTIFICATE},
      {"sha384WithRSAEncryption", labelled("1.2.840.113549.1.1.12"), S_OK, RSA_CERTIFICATE},
      {"sha512WithRSAEncryption", labelled("1.2.840.113549.1.1.13"), S_OK, RSA_CERTIFICATE},
      {"SM2-with-SM3 label", labelled("1.2.156.10197.1.501"), S_OK, SM2_CERTIFICATE},
      {"SM2-with-SHA256 label", labelled("1.2.156.10197.1.503"), S_OK, SM2_CERTIFICATE},
      {"ecdsa-with-SHA256 label", labelled("1.2.840.10045.4.3.2"), E_INVALID_KEY_ALGORITHM, 0},
      {"empty text", "", E_INVALIDARG, 0},
      // The decoder's errors reach the caller as they are.
      {"Base64 of text", "aGVsbG8gd29ybGQ=", kBadTag, 0},
      {"Base64 of a short sequence", "MAMCAQU=", kCorrupt, 0},
      {"only characters outside the alphabet", "!!!!", kEndOfData, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD type = 0xFFFF;
    EXPECT_EQ(c.status, GetCertificateType(c.base64.c_str(), &type));
    EXPECT_EQ(c.type, type);
  }
  DWORD type = 0xFFFF;
  EXPECT_EQ(E_INVALIDARG, GetCertificateType(nullptr, &type));
  EXPECT_EQ(0u, type);
}

// How a case's trust list is formed.
enum class Trust { TestList, None, Empty, Separators, IntermediateOnly, NotACertificate };

std::string TrustText(Trust trust) {
  switch (trust) {
    case Trust::TestList: return Pki().trustList;
    case Trust::Empty: return "";
    case Trust::Separators: return "||";
    case Trust::IntermediateOnly: return Base64(ToDer(Pki().inter.get())) + "|";
    case Trust::NotACertificate: return Base64(ToDer(Pki().inter.get())) + "|QUJD";
    case Trust::None: break;
  }
  return "";
}

struct PolicyCase {
  const char* name;
  std::function<Bytes()> certificate;
  Trust trust;
  HRESULT expected;
};

Bytes DerOf(const Cert& cert) { return ToDer(cert.get()); }

CertSpec LeafWith(std::vector<std::pair<std::string, std::string>> subject) {
  return Pki().Leaf(std::move(subject));
}

CertSpec Shifted(CertSpec spec, std::int64_t notBefore, std::int64_t notAfter) {
  spec.notBefore = Now() + notBefore;
  spec.notAfter = Now() + notAfter;
  return spec;
}

TEST(VerifyCertValidity, AppliesThePolicyInOrder) {
  const SharedPki& pki = Pki();
  const PolicyCase cases[] = {
      {"first name",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", kName1}})));
       },
       Trust::TestList, S_OK},
      {"second name",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", kName2}})));
       },
       Trust::TestList, S_OK},
      {"PEM text",
       [&] {
         std::string pem = ToPem(pki.IssueByInter(LeafWith({{"CN", kName1}})).get());
         return Bytes(pem.begin(), pem.end());
       },
       Trust::TestList, S_OK},
      {"issued by the root directly",
       [&] {
         return DerOf(pki.IssueByRoot(LeafWith({{"CN", kName2}})));
       },
       Trust::TestList, S_OK},
      {"letter case",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", "ONE.test.invalid"}})));
       },
       Trust::TestList, kNameRefused},
      {"trailing dot",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", std::string(kName1) + "."}})));
       },
       Trust::TestList, kNameRefused},
      {"name only in the alternative names",
       [&] {
         CertSpec spec = LeafWith({{"CN", "other.test.invalid"}});
         spec.dnsNames = {kName1, kName2};
         return DerOf(pki.IssueByInter(spec));
       },
       Trust::TestList, kNameRefused},
      {"accepted name first of two",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", kName1}, {"CN", "other.test.invalid"}})));
       },
       Trust::TestList, S_OK},
      {"accepted name second of two",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", "other.test.invalid"}, {"CN", kName1}})));
       },
       Trust::TestList, kNameRefused},
      {"accepted name then a zero byte",
       [&] {
         return DerOf(
             pki.IssueByInter(LeafWith({{"CN", std::string(kName1) + std::string("\0x", 2)}})));
       },
       Trust::TestList, kNameRefused},
      {"no common name",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"O", kName1}})));
       },
       Trust::TestList, -1},
      {"empty common name",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", ""}})));
       },
       Trust::TestList, -1},
      {"expired",
       [&] {
         return DerOf(pki.IssueByInter(Shifted(LeafWith({{"CN", kName1}}), -10 * kDay, -kDay)));
       },
       Trust::TestList, E_CERT_TIME_INVALID},
      {"not yet valid",
       [&] {
         return DerOf(pki.IssueByInter(Shifted(LeafWith({{"CN", kName1}}), kDay, 10 * kDay)));
       },
       Trust::TestList, E_CERT_TIME_INVALID},
      {"expired and self-signed: time before chain",
       [&] {
         return DerOf(pki.SelfSigned(Shifted(LeafWith({{"CN", kName1}}), -10 * kDay, -kDay)));
       },
       Trust::TestList, E_CERT_TIME_INVALID},
      {"wrong name and expired: name before time",
       [&] {
         return DerOf(
             pki.IssueByInter(Shifted(LeafWith({{"CN", "x.invalid"}}), -10 * kDay, -kDay)));
       },
       Trust::TestList, kNameRefused},
      {"self-signed",
       [&] {
         return DerOf(pki.SelfSigned(LeafWith({{"CN", kName1}})));
       },
       Trust::TestList, E_CERT_CHAIN_INCOMPLETE},
      {"issued by another CA",
       [&] {
         CertSpec ca = LeafWith({{"CN", "Other CA"}});
         ca.ca = true;
         ca.keyUsage = "keyCertSign";
         Cert other = Issue(ca, pki.otherKey.get(), nullptr, pki.otherKey.get());
         return DerOf(
             Issue(LeafWith({{"CN", kName1}}), pki.leafKey.get(), other.get(), pki.otherKey.get()));
       },
       Trust::TestList, E_CERT_CHAIN_INCOMPLETE},
      {"self-signed without a trust list",
       [&] {
         return DerOf(pki.SelfSigned(LeafWith({{"CN", kName1}})));
       },
       Trust::None, S_OK},
      {"expired without a trust list",
       [&] {
         return DerOf(pki.SelfSigned(Shifted(LeafWith({{"CN", kName1}}), -10 * kDay, -kDay)));
       },
       Trust::None, E_CERT_TIME_INVALID},
      {"empty trust list",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", kName1}})));
       },
       Trust::Empty, E_CERT_CHAIN_INCOMPLETE},
      {"separators only",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", kName1}})));
       },
       Trust::Separators, E_CERT_CHAIN_INCOMPLETE},
      {"intermediate only",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", kName1}})));
       },
       Trust::IntermediateOnly, E_CERT_CHAIN_INCOMPLETE},
      {"trust entry that is no certificate",
       [&] {
         return DerOf(pki.IssueByInter(LeafWith({{"CN", kName1}})));
       },
       Trust::NotACertificate, -1},
      {"bytes that are no certificate",
       [] {
         return Bytes{'n', 'o', 'p', 'e'};
       },
       Trust::TestList, -1},
  };
  const CertPolicy policy = pki.Policy();
  for (const PolicyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes cert = c.certificate();
    const std::string trust = TrustText(c.trust);
    EXPECT_EQ(c.expected,
              VerifyCertValidity(cert.data(), static_cast<int>(cert.size()),
                                 c.trust == Trust::None ? nullptr : trust.c_str(), policy));
  }
}

TEST(VerifyCertValidity, RefusesMissingOrEmptyBytes) {
  const Bytes cert = ToDer(Pki().IssueByInter(LeafWith({{"CN", kName1}})).get());
  const CertPolicy policy = Pki().Policy();
  EXPECT_EQ(E_INVALIDARG, VerifyCertValidity(nullptr, 10, policy.pszTrustCertData, policy));
  EXPECT_EQ(-1, VerifyCertValidity(cert.data(), 0, policy.pszTrustCertData, policy));
  EXPECT_EQ(-1, VerifyCertValidity(cert.data(), -1, policy.pszTrustCertData, policy));
}

TEST(VerifyCertValidity, TheBuiltInPolicyHasItsOwnNames) {
  // The built-in names are not the test names, so a test leaf is refused by
  // name (before its time or chain is looked at); one named after the
  // built-in first name passes the name test and then fails the chain.
  const CertPolicy& builtIn = BuiltInCertPolicy();
  const Bytes testNamed = ToDer(Pki().IssueByInter(LeafWith({{"CN", kName1}})).get());
  EXPECT_EQ(kNameRefused, VerifyCertValidity(testNamed.data(), static_cast<int>(testNamed.size()),
                                             Pki().trustList.c_str(), builtIn));
  const Bytes builtInNamed =
      ToDer(Pki().IssueByInter(LeafWith({{"CN", builtIn.pszAcceptedName1}})).get());
  EXPECT_EQ(E_CERT_CHAIN_INCOMPLETE,
            VerifyCertValidity(builtInNamed.data(), static_cast<int>(builtInNamed.size()),
                               builtIn.pszTrustCertData, builtIn));
  EXPECT_EQ(S_OK, VerifyCertValidity(builtInNamed.data(), static_cast<int>(builtInNamed.size()),
                                     Pki().trustList.c_str(), builtIn));
}

}  // namespace
