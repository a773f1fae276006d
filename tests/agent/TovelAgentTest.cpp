// The agent road: certificate checks, MAC list, encryption and Base64, each
// failing step with its status; and the description of the last status.
#include "agent/TovelAgent.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <functional>
#include <memory>
#include <new>
#include <string>

#include "Host/Tracing.h"
#include "agent/TovelAgentTrust.h"
#include "platform/Bstr.h"
#include "platform/CryptoApi.h"
#include "platform/NetClassKey.h"
#include "platform/Registry.h"
#include "platform/UniquePtr.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/agent/LocaleScope.h"
#include "tests/cert/SharedPki.h"

namespace {

using agenttest::FakeAdapter;
using agenttest::FakeNetwork;
using agenttest::LocaleScope;
using testpki::Pki;

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

std::u16string CertText(const X509* cert) {
  return agenttest::Widen(testpki::Base64(testpki::ToDer(cert)));
}

testpki::CertSpec LeafSpec(const char* name = testpki::kName1) {
  return Pki().Leaf({{"CN", name}});
}
testpki::Cert ByInter(const testpki::CertSpec& spec, EVP_PKEY* key = Pki().leafKey.get()) {
  return testpki::Issue(spec, key, Pki().inter.get(), Pki().interKey.get());
}

// The decrypted MAC list of a successful call.
std::string DecryptResult(const char16_t* bstrResult, EVP_PKEY* key) {
  return agenttest::DecryptBase64(key, Narrow(bstrResult));
}

const FakeAdapter kPhysicalConnected{
    "eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "192.0.2.10", "192.0.2.1"};
const FakeAdapter kVirtualDisconnected{"veth0", {0x02, 0x42, 0xAC, 0x11, 0x00, 0x02}, "", ""};
const char kExpectedList[] = "00:1A:2B:3C:4D:5E;02:42:AC:11:00:02";

class TovelAgentTest : public ::testing::Test {
 protected:
  // The agent comes first: creating it mounts the system's class key, which
  // the fake network then replaces.
  CTovelAgent agent_{agenttest::TestCertPolicy()};
  FakeNetwork network_;
  LocaleScope english_{nullptr, nullptr, "en_US.UTF-8"};

  void SetUp() override {
    network_.AddAdapter(kPhysicalConnected, true);
    network_.AddAdapter(kVirtualDisconnected, false);
  }

  // Calls GetMacAddress and checks what every call must leave behind.
  HRESULT Call(const char16_t* certText, UniqueBstr* result) {
    char16_t* bstrOut = reinterpret_cast<char16_t*>(&agent_);  // anything but null
    HRESULT hResult = agent_.GetMacAddress(certText, &bstrOut);
    result->reset(bstrOut);
    EXPECT_NE(bstrOut, nullptr) << "the out string is always set";
    EXPECT_EQ(agent_.m_hLastResult, hResult);
    if (FAILED(hResult) && bstrOut != nullptr) {
      EXPECT_EQ(SysStringLen(bstrOut), 0u);
    }
    return hResult;
  }

  std::u16string Describe() {
    char16_t* bstrDesc = nullptr;
    EXPECT_EQ(agent_.GetLastErrorDesc(&bstrDesc), S_OK);
    const UniqueBstr desc(bstrDesc);
    return bstrDesc == nullptr ? u"<none>" : std::u16string(bstrDesc);
  }
};

TEST_F(TovelAgentTest, CreatingTheAgentRegistersTheSmAlgorithms) {
  EXPECT_NE(EVP_get_cipherbyname("zuc"), nullptr);
  EXPECT_NE(EVP_get_digestbyname("sm3"), nullptr);
}

TEST_F(TovelAgentTest, EachFailingStepEndsTheRoadWithItsStatus) {
  struct StepCase {
    const char* name;
    std::function<std::u16string()> certText;
    std::function<void(FakeNetwork&)> network;  // may be empty
    HRESULT expected;
    int adapterReads;
  };
  const std::u16string notACert = u"QUJDREVGR0g=";  // "ABCDEFGH"
  DWORD dwType = 0;
  const HRESULT notACertStatus = GetCertificateType(Narrow(notACert.c_str()).c_str(), &dwType);
  ASSERT_TRUE(FAILED(notACertStatus));

  const StepCase cases[] = {
      {"empty text", [] { return std::u16string(); }, {}, E_INVALIDARG, 0},
      {"a text longer than any certificate",
       [] { return std::u16string(MAX_CERT_TEXT_LEN + 1, u'A'); },
       {},
       E_INVALIDARG,
       0},
      {"a text of the longest length taken goes on to the type step",
       [] { return std::u16string(MAX_CERT_TEXT_LEN, u'A'); },
       {},
       static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG),
       0},
      {"no certificate inside", [&] { return notACert; }, {}, notACertStatus, 0},
      {"ECDSA-signed",
       [] { return agenttest::Widen(agenttest::EcdsaSignedCertBase64()); },
       {},
       E_INVALID_KEY_ALGORITHM,
       0},
      {"SM2-signed",
       [] { return agenttest::Widen(agenttest::Sm2SignedCertBase64()); },
       {},
       E_INVALID_KEY_ALGORITHM,
       0},
      {"no key usage",
       [] {
         testpki::CertSpec spec = LeafSpec();
         spec.keyUsage.clear();
         return CertText(ByInter(spec).get());
       },
       {},
       E_NO_KEY_USAGE,
       0},
      {"signature usage only",
       [] {
         testpki::CertSpec spec = LeafSpec();
         spec.keyUsage = "digitalSignature";
         return CertText(ByInter(spec).get());
       },
       {},
       E_INVALID_CERT_USAGE,
       0},
      {"a name not accepted",
       [] { return CertText(ByInter(LeafSpec("other.test.invalid")).get()); },
       {},
       HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
       0},
      {"expired",
       [] {
         testpki::CertSpec spec = LeafSpec();
         spec.notBefore = testpki::Now() - 30 * testpki::kDay;
         spec.notAfter = testpki::Now() - testpki::kDay;
         return CertText(ByInter(spec).get());
       },
       {},
       E_CERT_TIME_INVALID,
       0},
      {"outside the trusted chain",
       [] { return CertText(Pki().SelfSigned(LeafSpec()).get()); },
       {},
       E_CERT_CHAIN_INCOMPLETE,
       0},
      {"adapter list fails", [] { return CertText(ByInter(LeafSpec()).get()); },
       [](FakeNetwork& network) {
         network.failWith = ERROR_GEN_FAILURE;
         network.lastErrorOnFailure = ERROR_ACCESS_DENIED;
       },
       HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), 1},
      {"adapter list fails without an error number",
       [] { return CertText(ByInter(LeafSpec()).get()); },
       [](FakeNetwork& network) {
         network.failWith = ERROR_GEN_FAILURE;
         network.lastErrorOnFailure = 0;
       },
       E_FAIL, 1},
      {"data encipherment only passes the platform check, not the encryption's",
       [] {
         testpki::CertSpec spec = LeafSpec();
         spec.keyUsage = "dataEncipherment";
         return CertText(ByInter(spec).get());
       },
       {},
       E_INVALID_CERT_USAGE,
       2},
      {"a MAC list too long for a 1024-bit key",
       [] { return CertText(ByInter(LeafSpec(), agenttest::Rsa1024Key()).get()); },
       [](FakeNetwork& network) {
         for (std::uint8_t i = 0; i < 6; ++i)
           network.AddAdapter({"x" + std::to_string(i), {2, 0, 0, 0, 0, i}, "10.0.0.2", "10.0.0.1"},
                              true);
       },
       StatusToHResult(ERROR_ENCRYPTION_FAILED), 2},
  };
  for (const StepCase& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    network.AddAdapter(kPhysicalConnected, true);
    network.AddAdapter(kVirtualDisconnected, false);
    if (row.network) row.network(network);
    std::u16string text = row.certText();
    UniqueBstr result;
    EXPECT_EQ(Call(text.c_str(), &result), row.expected);
    EXPECT_EQ(network.sourceCalls, row.adapterReads);
  }
  UniqueBstr result;
  EXPECT_EQ(Call(nullptr, &result), E_INVALIDARG);
}

TEST_F(TovelAgentTest, EncryptsTheMacListForTheServer) {
  struct SuccessCase {
    const char* name;
    const char* commonName;
    EVP_PKEY* key;
  };
  const SuccessCase cases[] = {
      {"first accepted name", testpki::kName1, Pki().leafKey.get()},
      {"second accepted name", testpki::kName2, Pki().leafKey.get()},
      {"a 1024-bit key and a short list", testpki::kName1, agenttest::Rsa1024Key()},
  };
  for (const SuccessCase& row : cases) {
    SCOPED_TRACE(row.name);
    std::u16string text = CertText(ByInter(LeafSpec(row.commonName), row.key).get());
    UniqueBstr result;
    ASSERT_EQ(Call(text.c_str(), &result), S_OK);
    EXPECT_EQ(DecryptResult(result.get(), row.key), kExpectedList);
    EXPECT_EQ(network_.sourceCalls, 2);
    network_.sourceCalls = 0;
  }
}

// The certificate that is checked is the one that encrypts: the decoded bytes
// must be one DER certificate and nothing else, refused at the type step
// otherwise; a PEM block inside a DER certificate is only its content.
TEST_F(TovelAgentTest, OnlyOneWholeDerCertificateIsChecked) {
  using Bytes = std::vector<unsigned char>;
  const testpki::Cert accepted = ByInter(LeafSpec());
  const Bytes acceptedDer = testpki::ToDer(accepted.get());
  const std::string acceptedPem = testpki::ToPem(accepted.get());
  // Someone's own self-signed certificate for the same name and usage.
  const Bytes ownDer = testpki::ToDer(Pki().SelfSigned(LeafSpec()).get());
  testpki::CertSpec carrierSpec = LeafSpec();
  carrierSpec.subject = {{"OU", "\n" + acceptedPem}, {"CN", testpki::kName1}};
  const Bytes carrierDer = testpki::ToDer(
      testpki::Issue(carrierSpec, Pki().otherKey.get(), nullptr, Pki().otherKey.get()).get());
  {
    // The carrier really holds a PEM block that a PEM reader finds.
    const tovel::UniquePtr<BIO> bio(
        BIO_new_mem_buf(carrierDer.data(), static_cast<int>(carrierDer.size())));
    testpki::Cert found(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(X509_cmp(found.get(), accepted.get()), 0);
  }
  auto join = [](Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
  };
  const Bytes pem(acceptedPem.begin(), acceptedPem.end());
  const Bytes junk = {'j', 'u', 'n', 'k'};
  struct SpliceCase {
    const char* name;
    Bytes bytes;
    HRESULT expected;
  };
  const SpliceCase cases[] = {
      {"own DER, then the accepted PEM", join(ownDer, pem),
       static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT)},
      {"accepted DER, then own DER", join(acceptedDer, ownDer),
       static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT)},
      {"accepted DER, then junk", join(acceptedDer, junk),
       static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT)},
      {"a PEM block alone", pem, static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG)},
      {"own DER carrying the accepted PEM inside", carrierDer, E_CERT_CHAIN_INCOMPLETE},
      {"the accepted DER alone", acceptedDer, S_OK},
  };
  for (const SpliceCase& row : cases) {
    SCOPED_TRACE(row.name);
    network_.sourceCalls = 0;
    const std::u16string text = agenttest::Widen(testpki::Base64(row.bytes));
    UniqueBstr result;
    ASSERT_EQ(Call(text.c_str(), &result), row.expected);
    if (row.expected == S_OK) {
      EXPECT_EQ(DecryptResult(result.get(), Pki().leafKey.get()), kExpectedList);
    } else {
      EXPECT_EQ(network_.sourceCalls, 0) << "refused before the adapters are read";
    }
  }
}

// The certificate is checked under the policy the agent is made with: its
// names, then its trust list.
TEST(TovelAgentPolicyTest, ChecksUnderThePolicyItIsMadeWith) {
  const CertPolicy testNamesBuiltInList{BuiltInCertPolicy().pszTrustCertData, testpki::kName1,
                                        testpki::kName2};
  struct PolicyCase {
    const char* name;
    const CertPolicy& policy;
    HRESULT expected;
  };
  const PolicyCase cases[] = {
      {"the test PKI's", agenttest::TestCertPolicy(), S_OK},
      {"the built-in one", BuiltInCertPolicy(), HRESULT_FROM_WIN32(ERROR_INVALID_DATA)},
      {"the test names, the built-in trust list", testNamesBuiltInList, E_CERT_CHAIN_INCOMPLETE},
  };
  const std::u16string text = CertText(ByInter(LeafSpec()).get());
  for (const PolicyCase& row : cases) {
    SCOPED_TRACE(row.name);
    CTovelAgent agent(row.policy);
    FakeNetwork network;
    network.AddAdapter(kPhysicalConnected, true);
    char16_t* bstrOut = nullptr;
    EXPECT_EQ(agent.GetMacAddress(text.c_str(), &bstrOut), row.expected);
    const UniqueBstr result(bstrOut);
    EXPECT_EQ(agent.m_hLastResult, row.expected);
  }
}

TEST_F(TovelAgentTest, ASuccessAfterAFailureDescribesZero) {
  UniqueBstr result;
  ASSERT_EQ(Call(u"", &result), E_INVALIDARG);
  EXPECT_EQ(Describe(), u"The parameter is incorrect.\r\n\n(0x80070057)");
  std::u16string text = CertText(ByInter(LeafSpec()).get());
  ASSERT_EQ(Call(text.c_str(), &result), S_OK);
  EXPECT_EQ(Describe(), u"The operation completed successfully.\r\n\n(0x00000000)");
}

TEST_F(TovelAgentTest, DescribesTheLastStatusInBothLanguages) {
  struct DescCase {
    HRESULT code;
    std::u16string english;
    std::u16string chinese;
  };
  const DescCase cases[] = {
      {0, u"The operation completed successfully.\r\n\n(0x00000000)",
       u"操作成功完成。\r\n\n(0x00000000)"},
      {E_NO_KEY_USAGE, u"Specified certificate doesn't contain key usage attribute.\n(0xa0071020)",
       u"指定证书不含有密钥用途属性\n(0xa0071020)"},
      {E_CERT_TIME_INVALID, u"Certificate in certificate chain is time invalid\n(0xa0071031)",
       u"证书链中某个证书时间无效\n(0xa0071031)"},
      {E_CERT_REVOKED, u"Certificate is in offline CRL\n(0xa0071032)",
       u"证书在离线的CRL列表中\n(0xa0071032)"},
      {StatusToHResult(0x20001032), u"Certificate is in offline CRL\n(0xa0071032)",
       u"证书在离线的CRL列表中\n(0xa0071032)"},
      {E_CERT_CHAIN_INCOMPLETE, u"Certificate chain is not integrated\n(0xa0071033)",
       u"证书链不完整\n(0xa0071033)"},
      {E_INVALID_CERT_USAGE, u"Invalid certificate usage.\n(0xa0072021)",
       u"无效的证书用法\n(0xa0072021)"},
      {E_INVALID_KEY_ALGORITHM, u"Invalid key algorithm.\n(0xa0072401)",
       u"无效的密钥算法\n(0xa0072401)"},
      {E_JSON_CREATE_FAILED, u"\n(0xa0073202)", u"\n(0xa0073202)"},
      {-1, u"\n(0xffffffff)", u"\n(0xffffffff)"},
      {E_INVALIDARG, u"The parameter is incorrect.\r\n\n(0x80070057)",
       u"参数错误。\r\n\n(0x80070057)"},
      {StatusToHResult(ERROR_ENCRYPTION_FAILED),
       u"The specified file could not be encrypted.\r\n\n(0x80071770)",
       u"无法加密指定的文件。\r\n\n(0x80071770)"},
      {static_cast<HRESULT>(0x80070FFFu), u"\n(0x80070fff)", u"\n(0x80070fff)"},
  };
  for (const DescCase& row : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << row.code);
    agent_.m_hLastResult = row.code;
    {
      LocaleScope english(nullptr, nullptr, "en_US.UTF-8");
      EXPECT_EQ(Describe(), row.english);
      EXPECT_EQ(Describe(), row.english) << "asking twice gives the same text";
    }
    {
      LocaleScope chinese("zh_CN.UTF-8", nullptr, nullptr);
      EXPECT_EQ(Describe(), row.chinese);
    }
    EXPECT_EQ(agent_.m_hLastResult, row.code);
  }
}

TEST(TovelAgentFreshTest, DescribesZeroBeforeAnyCall) {
  LocaleScope english(nullptr, nullptr, "C");
  CTovelAgent agent(agenttest::TestCertPolicy());
  EXPECT_EQ(agent.m_hLastResult, 0);
  char16_t* bstrDesc = nullptr;
  ASSERT_EQ(agent.GetLastErrorDesc(&bstrDesc), S_OK);
  const UniqueBstr desc(bstrDesc);
  EXPECT_EQ(std::u16string(bstrDesc), u"The operation completed successfully.\r\n\n(0x00000000)");
}

TEST(AppendStatusSuffixTest, TheCodeAlwaysShows) {
  const std::u16string suffix = u"\n(0x80004005)";
  for (std::size_t textLength : {0u, 1u, 497u, 498u, 510u, 511u}) {
    SCOPED_TRACE(textLength);
    char16_t szDesc[DESC_BUFFER_CHARS] = {};
    std::u16string text(textLength, u'a');
    std::copy(text.begin(), text.end(), szDesc);
    AppendStatusSuffix(szDesc, E_FAIL);
    std::u16string result(szDesc);
    // The description with its terminator fits 511 units: 497 text characters
    // at most beside the 13 of the suffix.
    std::size_t kept = std::min<std::size_t>(textLength, 497);
    EXPECT_EQ(result, text.substr(0, kept) + suffix);
    EXPECT_LE(result.size(), 510u);
  }
}

}  // namespace
