// The step log lines of the certificate checks, seen through a trace session:
// step texts, reasons, statuses, the module names and the lines a road does
// not write.
#include <gtest/gtest.h>

#include <openssl/asn1.h>

#include <functional>
#include <string>
#include <vector>

#include "Host/Tracing.h"
#include "agent/CertificateChecks.h"
#include "agent/CertificateOperations.h"
#include "agent/TovelAgentTrust.h"
#include "platform/CryptoApi.h"
#include "tests/cert/SharedPki.h"
#include "tests/support/StepLineRecorder.h"

namespace {

using namespace testpki;
using Bytes = std::vector<BYTE>;

using CertStepLines = tracetest::StepLineTest;

using tracetest::StepLineCase;

const std::string kOps = "[CertificateOperations.cpp";
const std::string kAgent = "[TovelAgent.cpp";

TEST_F(CertStepLines, FollowEachRoad) {
  const SharedPki& pki = Pki();
  const CertPolicy policy = pki.Policy();
  auto verify = [policy](const Bytes& cert) {
    VerifyCertValidity(cert.data(), static_cast<int>(cert.size()), policy.pszTrustCertData, policy);
  };
  const Bytes wrongName = ToDer(pki.IssueByInter(pki.Leaf({{"CN", "other.test.invalid"}})).get());
  const std::string wrongNamePem =
      ToPem(pki.IssueByInter(pki.Leaf({{"CN", "other.test.invalid"}})).get());
  CertSpec expiredSpec = pki.Leaf({{"CN", kName1}});
  expiredSpec.notBefore = Now() - 10 * kDay;
  expiredSpec.notAfter = Now() - kDay;
  const Bytes expired = ToDer(pki.IssueByInter(expiredSpec).get());
  const Bytes selfSigned = ToDer(pki.SelfSigned(pki.Leaf({{"CN", kName1}})).get());
  const Bytes accepted = ToDer(pki.IssueByInter(pki.Leaf({{"CN", kName2}}, 0x77)).get());
  CertSpec ecdsaSpec = pki.Leaf({{"CN", kName1}});
  ecdsaSpec.signature = Signature::EcdsaWithSha256;
  const std::string ecdsa =
      Base64(ToDer(Issue(ecdsaSpec, pki.leafKey.get(), nullptr, pki.ecKey.get()).get()));
  CertSpec noUsageSpec = pki.Leaf({{"CN", kName1}});
  noUsageSpec.keyUsage.clear();
  const Bytes noUsage = ToDer(pki.IssueByInter(noUsageSpec).get());
  Cert revokedLeaf = pki.IssueByInter(pki.Leaf({{"CN", kName1}}, 0x77));
  const std::string crlPem = ToPem(MakeCrl(pki.inter.get(), pki.interKey.get(), {0x77}).get());

  const StepLineCase cases[] = {
      {"subject name refused",
       [&] { verify(wrongName); },
       {"VerifyCertValidity - Check pbyCertData -> 0x00000000",
        kOps + "]:(ConvertCertDataToX509 -- d2i_X509_bio)\t\t--OK\n",
        "VerifyCertValidity - ConvertCertDataToX509 -> 0x00000000",
        kOps + "]:(GetX509SubjectCN -- New memory)\t\t--OK\n",
        "VerifyCertValidity - GetX509SubjectCN -> 0x00000000",
        kAgent + ":] VerifyCertValidity - pszSubjectCN [Reason:TRUE] -> 0x8007000d"},
       {"Base64DecodeEx", "VerifyX509WithData"}},
      {"PEM certificate: no DER step",
       [&] { verify(Bytes(wrongNamePem.begin(), wrongNamePem.end())); },
       {"VerifyCertValidity - ConvertCertDataToX509 -> 0x00000000"},
       {"d2i_X509_bio"}},
      {"expired: time before chain",
       [&] { verify(expired); },
       {"VerifyCertValidity - Base64DecodeEx -> 0x00000000",
        "VerifyCertValidity - Base64DecodeEx -> 0x00000000",
        kOps + "]:(VerifyCertTime -- Check certificate validity NotBefore)\t\t--OK\n",
        kOps + ":](VerifyCertTime -- Check certificate validity NotAfter)\t\t--Failed:(0xa0071031) "
               "[Reason:(tUTCTime > tNotAfter)]\n",
        kAgent +
            ":](VerifyX509WithData -- VerifyCertTime)\t\t--Failed:(0xa0071031) [Reason:PELLUM_OK != nResult]\n",
        kAgent +
            ":] VerifyCertValidity - VerifyX509WithData [Reason:PELLUM_OK != nResult] -> 0xa0071031"},
       {"LoadCertsDataToStore", "VerifyCertChain"}},
      {"self-signed: chain incomplete",
       [&] { verify(selfSigned); },
       {kAgent + "]:(VerifyX509WithData -- VerifyCertTime)\t\t--OK\n",
        kAgent + "]:(LoadCertsDataToStore -- X509_STORE_add_cert)\t\t--OK\n",
        kAgent + "]:(VerifyCertChainWithData -- LoadCertsToStore)\t\t--OK\n",
        kOps +
            ":](VerifyCertChainByTrustedStore -- X509_verify_cert)\t\t--Failed:(0xa0071033) [Reason:true] Openssl ",
        kAgent +
            ":](VerifyCertChainWithData -- VerifyCertChainByTrustedStore)\t\t--Failed:(0xa0071033) "
            "[Reason:PELLUM_OK != nResult] Openssl ",
        kAgent +
            ":](VerifyX509WithData -- VerifyCertChain)\t\t--Failed:(0xa0071033) [Reason:PELLUM_OK != nResult]\n",
        kAgent +
            ":] VerifyCertValidity - VerifyX509WithData [Reason:PELLUM_OK != nResult] -> 0xa0071033"},
       {}},
      {"accepted",
       [&] { verify(accepted); },
       {kAgent + "]:(LoadCertsDataToStore -- d2i_X509_bio)\t\t--OK\n",
        kAgent + "]:(VerifyCertChainWithData -- VerifyCertChainByTrustedStore)\t\t--OK\n",
        kAgent + "]:(VerifyX509WithData -- VerifyCertChain)\t\t--OK\n",
        "VerifyCertValidity - VerifyX509WithData -> 0x00000000"},
       {"Failed", "Reason"}},
      {"ECDSA signature",
       [&] {
         DWORD dwType = 0;
         GetCertificateType(ecdsa.c_str(), &dwType);
       },
       {"GetCertificateType - Check parameter(lpwBase64Cert&dwBase64CertLen) -> 0x00000000",
        "GetCertificateType - Base64DecodeEx -> 0x00000000",
        "GetCertificateType - CertCreateCertificateContext -> 0x00000000",
        kAgent +
            ":] GetCertificateType - Check certificate signature algorithm [Reason:TRUE] -> 0xa0072401"},
       {}},
      {"Base64 of no certificate",
       [&] {
         DWORD dwType = 0;
         GetCertificateType("aGVsbG8gd29ybGQ=", &dwType);
       },
       {kAgent +
        ":] GetCertificateType - CertCreateCertificateContext [Reason:pstNewCertificate == NULL] -> 0x8009310b"},
       {"signature algorithm"}},
      {"no key usage",
       [&] {
         const UniqueCertContext ctx(
             CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, noUsage.data(),
                                          static_cast<DWORD>(noUsage.size())));
         CheckCertKeyUsage(ctx.get());
       },
       {"CertFindExtension -> 0xa0071020", "GetCertKeyUsage FAILED -> 0xa0071020"},
       {"CryptDecodeObjectEx"}},
      {"revoked by a PEM CRL",
       [&] {
         VerifyCertCRLWithData(reinterpret_cast<const BYTE*>(crlPem.data()), revokedLeaf.get(),
                               static_cast<int>(crlPem.size()));
       },
       {kAgent + "]:(VerifyCertCRLWithData -- Check nCRLData)\t\t--OK\n",
        kAgent + "]:(VerifyCertCRLWithData -- X509_CRL_get_REVOKED)\t\t--OK\n",
        kAgent +
            ":](VerifyCertCRLWithData -- Check the certificate is pRevoked?)\t\t--Failed:(0x20001032) [Reason:true]\n"},
       {"d2i_X509_CRL_bio"}},
      {"trust entry that is no certificate",
       [&] {
         Bytes garbage = {'n', 'o', 'p', 'e'};
         X509_STORE* pStore = nullptr;
         LoadCertsDataToStore(&pStore, {garbage.data()}, {static_cast<int>(garbage.size())});
       },
       {kAgent +
        ":](LoadCertsDataToStore -- d2i_X509_bio)\t\t--Failed:(0xffffffff) [Reason:NULL == pX509] Openssl "},
       {"X509_STORE_add_cert"}},
      {"UTCTime of 1950",
       [&] {
         const tovel::UniquePtr<ASN1_TIME> asnTime(ASN1_STRING_type_new(V_ASN1_UTCTIME));
         ASN1_STRING_set(asnTime.get(), "5001010000Z", 11);
         __time64_t tUTCTime = 0;
         ASN1_TIME_To_UTCTime(asnTime.get(), &tUTCTime);
       },
       {kOps + "]:(ASN1_TIME_To_UTCTime -- Check ASN1TIME length.)\t\t--OK\n",
        kOps +
            ":](ASN1_TIME_To_UTCTime -- mktime)\t\t--Failed:(0xffffffff) [Reason:-1 == tUTCTime]\n"},
       {}},
  };
  for (const StepLineCase& c : cases) ExpectStepLines(c);
}

}  // namespace
