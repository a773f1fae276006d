// The step log lines of the agent's road, the MAC list and the encryption,
// seen through a trace session: step texts, reasons, statuses, module names,
// their order, and the steps a failed road never reaches.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Host/Tracing.h"
#include "agent/RSADataEncryption.h"
#include "agent/TovelAgent.h"
#include "platform/Bstr.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/cert/SharedPki.h"
#include "tests/support/StepLineRecorder.h"

namespace {

using agenttest::FakeAdapter;
using agenttest::FakeNetwork;
using testpki::Pki;

class AgentStepLines : public tracetest::StepLineTest {
 protected:
  CTovelAgent agent_{agenttest::TestCertPolicy()};  // before the fake network, whose class key
                                                    // replaces the system's
};

using tracetest::StepLineCase;

const std::string kOp = "CTovelAgent::GetMacAddress - ";
const std::string kAgentFailed = "[TovelAgent.cpp:] " + kOp;
const std::string kRsa = "[RSADataEncryption.cpp";

std::string ServerCert(EVP_PKEY* key) {
  testpki::Cert cert = testpki::Issue(Pki().Leaf({{"CN", testpki::kName1}}), key, Pki().inter.get(),
                                      Pki().interKey.get());
  return testpki::Base64(testpki::ToDer(cert.get()));
}

TEST_F(AgentStepLines, FollowEachRoad) {
  const FakeAdapter physical{
      "eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "192.0.2.10", "192.0.2.1"};
  const std::u16string accepted = agenttest::Widen(ServerCert(Pki().leafKey.get()));
  const std::u16string shortKey = agenttest::Widen(ServerCert(agenttest::Rsa1024Key()));
  const std::u16string sm2 = agenttest::Widen(agenttest::Sm2SignedCertBase64());
  std::vector<unsigned char> spliced =
      testpki::ToDer(Pki().SelfSigned(Pki().Leaf({{"CN", testpki::kName1}})).get());
  const std::string acceptedPem =
      testpki::ToPem(testpki::Issue(Pki().Leaf({{"CN", testpki::kName1}}), Pki().leafKey.get(),
                                    Pki().inter.get(), Pki().interKey.get())
                         .get());
  spliced.insert(spliced.end(), acceptedPem.begin(), acceptedPem.end());
  const std::u16string splicedText = agenttest::Widen(testpki::Base64(spliced));
  auto call = [this](const std::u16string& text, const std::function<void(FakeNetwork&)>& setUp) {
    return [this, text, setUp] {
      FakeNetwork network;
      setUp(network);
      char16_t* bstrOut = nullptr;
      agent_.GetMacAddress(text.c_str(), &bstrOut);
      const UniqueBstr out(bstrOut);
    };
  };
  auto onePhysical = [&physical](FakeNetwork& network) { network.AddAdapter(physical, true); };

  const StepLineCase cases[] = {
      {"empty text",
       call(u"", onePhysical),
       {kAgentFailed +
        "Check parameter(bstrBase64ServerCert) "
        "[Reason:(NULL == bstrBase64ServerCert || 0 == wcslen(bstrBase64ServerCert))] -> 0x80070057"},
       {kOp + "UTF16ToUTF8"}},
      {"SM2 signature ends at the type",
       call(sm2, onePhysical),
       {kOp + "Check parameter(bstrBase64ServerCert) -> 0x00000000",
        kOp + "UTF16ToUTF8 -> 0x00000000", kOp + "GetCertificateType -> 0x00000000",
        kAgentFailed + "dwCertType [Reason:RSA_CERTIFICATE != dwCertType] -> 0xa0072401"},
       {kOp + "Base64DecodeEx", "GetNetInfoString"}},
      {"another certificate's DER before the accepted PEM ends at the type",
       call(splicedText, onePhysical),
       {kOp + "UTF16ToUTF8 -> 0x00000000",
        "[TovelAgent.cpp:] GetCertificateType - CertCreateCertificateContext [Reason:pstNewCertificate == NULL] -> "
        "0x80093103",
        kAgentFailed + "GetCertificateType [Reason:FAILED(hResult)] -> 0x80093103"},
       {kOp + "dwCertType", kOp + "CheckCertKeyUsage", "VerifyCertValidity", "GetNetInfoString"}},
      {"accepted: every step in order",
       call(accepted, onePhysical),
       {kOp + "Check parameter(bstrBase64ServerCert) -> 0x00000000",
        kOp + "UTF16ToUTF8 -> 0x00000000",
        kOp + "GetCertificateType -> 0x00000000",
        kOp + "dwCertType -> 0x00000000",
        kOp + "Base64DecodeEx -> 0x00000000",
        kOp + "CertCreateCertificateContext -> 0x00000000",
        kOp + "CheckCertKeyUsage -> 0x00000000",
        kOp + "New buffer -> 0x00000000",
        kOp + "VerifyCertValidity -> 0x00000000",
        "GetNetInfoString - GetAdaptersInfo (Get size) -> 0x00000000",
        "GetNetInfoString - New buffer -> 0x00000000",
        "GetNetInfoString - GetAdaptersInfo (Get value) -> 0x00000000",
        "GetMacType - Check pstAdaptersInfo -> 0x00000000",
        "GetMacType - Check pnMacType -> 0x00000000",
        "IsPhysicalNetworkCard - RegOpenKey -> 0x00000000",
        "GetNetInfoString - New buffer -> 0x00000000",
        kOp + "GetNetInfoString -> 0x00000000",
        kOp + "d2i_X509 -> 0x00000000",
        kRsa + "]:(RSAEncryptByX509 -- Check parameter(pX509Cert).)\t\t--OK\n",
        kRsa + "]:(RSAEncryptByX509 -- CheckX509KeyUsage)\t\t--OK\n",
        kRsa + "]:(RSAEncryptByX509 -- X509_get_pubkey)\t\t--OK\n",
        kRsa + "]:(RSAEncrypt -- Check parameter(EvpPubKey))\t\t--OK\n",
        kRsa + "]:(RSAEncrypt -- Check parameter(pbyPlainData))\t\t--OK\n",
        kRsa + "]:(RSAEncrypt -- EVP_PKEY_get1_RSA)\t\t--OK\n",
        kRsa + "]:(RSAEncrypt -- RSA_size)\t\t--OK\n",
        kRsa + "]:(RSAEncrypt -- New memory)\t\t--OK\n",
        kRsa + "]:(RSAEncrypt -- RSA_public_encrypt)\t\t--OK\n",
        kRsa + "]:(RSAEncryptByX509 -- RSAEncyrpt)\t\t--OK\n",
        kOp + "RSAEncryptByX509 -> 0x00000000",
        kOp + "Base64EncodeEx -> 0x00000000",
        kOp + "UTF8ToUTF16 -> 0x00000000"},
       {"Failed", "Reason"}},
      {"adapter list fails",
       call(accepted,
            [&](FakeNetwork& network) {
              onePhysical(network);
              network.failWith = ERROR_GEN_FAILURE;
              network.lastErrorOnFailure = ERROR_ACCESS_DENIED;
            }),
       {kOp + "VerifyCertValidity -> 0x00000000",
        "[DeviceInfo.cpp:] GetNetInfoString - GetAdaptersInfo (Get size) [Reason:dwRetCode != ERROR_SUCCESS && "
        "dwRetCode != ERROR_BUFFER_OVERFLOW && dwRetCode != ERROR_NO_DATA] -> 0x80070005",
        kAgentFailed + "GetNetInfoString [Reason:S_OK != hResult] -> 0x80070005"},
       {kOp + "d2i_X509", "GetAdaptersInfo (Get value)"}},
      {"MAC list too long for a 1024-bit key",
       call(shortKey,
            [&](FakeNetwork& network) {
              for (std::uint8_t i = 0; i < 8; ++i)
                network.AddAdapter(
                    {"x" + std::to_string(i), {2, 0, 0, 0, 0, i}, "10.0.0.2", "10.0.0.1"}, true);
            }),
       {kRsa + "]:(RSAEncrypt -- RSA_size)\t\t--OK\n",
        kRsa + ":](RSAEncrypt -- RSA_public_encrypt)\t\t--Failed:(0x00001770) "
               "[Reason:nEncryptedDataSize != nKeyBytes] Openssl ",
        kRsa +
            ":](RSAEncryptByX509 -- RSAEncyrpt)\t\t--Failed:(0x00001770) [Reason:PELLUM_OK != nResult]\n",
        kAgentFailed + "RSAEncryptByX509 [Reason:PELLUM_OK != nResult] -> 0x80071770"},
       {kOp + "Base64EncodeEx"}},
      {"512-bit key refused before encrypting",
       [] {
         const BYTE byPlain[1] = {'x'};
         BYTE* pbyData = nullptr;
         int nSize = 0;
         RSAEncrypt(agenttest::Rsa512Key(), byPlain, 1, &pbyData, &nSize);
       },
       {kRsa + "]:(RSAEncrypt -- EVP_PKEY_get1_RSA)\t\t--OK\n",
        kRsa +
            ":](RSAEncrypt -- RSA_size)\t\t--Failed:(0x00001770) [Reason:nKeyBytes < 128] Openssl "},
       {"New memory"}},
  };
  for (const StepLineCase& c : cases) ExpectStepLines(c);
}

}  // namespace
