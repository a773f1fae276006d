// Certificate primitives: reading certificates, the subject common name, the
// key usage and the chain check against a store.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "agent/CertificateOperations.h"
#include "agent/TovelAgent.h"
#include "tests/cert/SharedPki.h"

namespace {

using namespace testpki;

using Store = tovel::UniquePtr<X509_STORE>;

Store StoreOf(std::initializer_list<X509*> certs) {
  Store store(X509_STORE_new());
  for (X509* c : certs) EXPECT_EQ(1, X509_STORE_add_cert(store.get(), c));
  return store;
}

// ConvertCertDataToX509's status and the certificate it hands over, owned.
struct Converted {
  ResultCode status;
  Cert cert;
};
Converted Convert(const BYTE* data, int length) {
  X509* out = nullptr;
  const ResultCode status = ConvertCertDataToX509(data, length, &out);
  return {status, Cert(out)};
}

TEST(ConvertCertDataToX509, PemAndDerGiveTheSameCertificate) {
  Cert leaf = Pki().IssueByInter(Pki().Leaf({{"CN", kName1}}));
  const std::vector<unsigned char> der = ToDer(leaf.get());
  const std::string pem = ToPem(leaf.get());

  const Converted fromDer = Convert(der.data(), static_cast<int>(der.size()));
  ASSERT_EQ(PELLUM_OK, fromDer.status);
  const Converted fromPem =
      Convert(reinterpret_cast<const BYTE*>(pem.data()), static_cast<int>(pem.size()));
  ASSERT_EQ(PELLUM_OK, fromPem.status);
  EXPECT_EQ(0, X509_cmp(fromDer.cert.get(), leaf.get()));
  EXPECT_EQ(0, X509_cmp(fromPem.cert.get(), leaf.get()));
}

// Bytes that begin with a DER certificate are that certificate, whatever PEM
// block stands after it or inside it; PEM text alone is still read.
TEST(ConvertCertDataToX509, DerBytesAreNotReadAsTheirPemContent) {
  Cert genuine = Pki().IssueByInter(Pki().Leaf({{"CN", kName1}}));
  const std::string genuinePem = ToPem(genuine.get());
  Cert own = Pki().SelfSigned(Pki().Leaf({{"CN", kName1}}));
  CertSpec carrierSpec = Pki().Leaf({{"OU", "\n" + genuinePem}, {"CN", kName1}});
  Cert carrier = Issue(carrierSpec, Pki().otherKey.get(), nullptr, Pki().otherKey.get());
  std::vector<unsigned char> ownThenPem = ToDer(own.get());
  ownThenPem.insert(ownThenPem.end(), genuinePem.begin(), genuinePem.end());
  const std::vector<unsigned char> carrierDer = ToDer(carrier.get());
  const struct {
    const char* name;
    std::vector<unsigned char> bytes;
    const X509* expected;
  } cases[] = {
      {"DER, then a PEM block", ownThenPem, own.get()},
      {"DER with a PEM block inside", carrierDer, carrier.get()},
      {"PEM alone", std::vector<unsigned char>(genuinePem.begin(), genuinePem.end()),
       genuine.get()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Converted out = Convert(c.bytes.data(), static_cast<int>(c.bytes.size()));
    ASSERT_EQ(PELLUM_OK, out.status);
    EXPECT_EQ(0, X509_cmp(out.cert.get(), c.expected));
  }
}

TEST(ConvertCertDataToX509, RefusesWhatIsNoCertificate) {
  Cert leaf = Pki().IssueByInter(Pki().Leaf({{"CN", kName1}}));
  const std::string pem = ToPem(leaf.get());  // zero-terminated by std::string
  const std::vector<unsigned char> der = ToDer(leaf.get());
  const BYTE garbage[] = "not a certificate at all";
  const struct {
    const char* name;
    const BYTE* data;
    int length;
  } cases[] = {
      {"garbage", garbage, static_cast<int>(sizeof garbage - 1)},
      {"truncated DER", der.data(), static_cast<int>(der.size() / 2)},
      {"null bytes", nullptr, 10},
      {"zero length", der.data(), 0},
      // -1 must not make the reader take the PEM text as a C string.
      {"negative length over PEM text", reinterpret_cast<const BYTE*>(pem.c_str()), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    X509* sentinel = reinterpret_cast<X509*>(0x1);
    X509* out = sentinel;
    EXPECT_EQ(-1, ConvertCertDataToX509(c.data, c.length, &out));
    EXPECT_EQ(sentinel, out);
  }
}

TEST(GetX509SubjectCN, GivesTheFirstCommonNameWhole) {
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> subject;
    ResultCode status;
    std::string cn;
  } cases[] = {
      {"one name", {{"O", "Org"}, {"CN", "a.test.invalid"}}, PELLUM_OK, "a.test.invalid"},
      {"two names",
       {{"CN", "first.invalid"}, {"CN", "second.invalid"}},
       PELLUM_OK,
       "first.invalid"},
      {"UTF-8", {{"CN", "z\xC3\xA9.invalid"}}, PELLUM_OK, "z\xC3\xA9.invalid"},
      {"zero byte inside", {{"CN", std::string("a\0b", 3)}}, PELLUM_OK, std::string("a\0b", 3)},
      {"no common name", {{"O", "Org"}}, -1, ""},
      {"empty common name", {{"CN", ""}}, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Cert cert = Pki().SelfSigned(Pki().Leaf(c.subject));
    char* psz = nullptr;
    int n = -7;
    ASSERT_EQ(c.status, GetX509SubjectCN(cert.get(), &psz, &n));
    if (c.status != PELLUM_OK) {
      EXPECT_EQ(nullptr, psz);
      EXPECT_EQ(-7, n);
      continue;
    }
    ASSERT_NE(nullptr, psz);
    EXPECT_EQ(c.cn, std::string(psz, n));
    EXPECT_EQ('\0', psz[n]);
    delete[] psz;
  }
}

TEST(CheckX509KeyUsage, RequiresKeyEncipherment) {
  const struct {
    const char* usage;
    ResultCode expected;
    std::vector<unsigned char> raw;  // DER of the key-usage value, in place of usage
  } cases[] = {
      {"", E_INVALID_CERT_USAGE, {}},  // no extension
      {"keyEncipherment", PELLUM_OK, {}},
      {"digitalSignature,keyEncipherment", PELLUM_OK, {}},
      {"dataEncipherment", E_INVALID_CERT_USAGE, {}},
      {"digitalSignature", E_INVALID_CERT_USAGE, {}},
      {"keyAgreement,decipherOnly", E_INVALID_CERT_USAGE, {}},
      // The library refuses an empty key usage and a malformed one while it
      // reads the extensions: the fill step fails.
      {"bit string without bytes", -1, {0x03, 0x01, 0x00}},
      {"malformed bit string", -1, {0x03, 0x02, 0x08, 0x20}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usage);
    CertSpec spec = Pki().Leaf({{"CN", kName1}});
    spec.keyUsage = c.raw.empty() ? c.usage : "";
    spec.rawKeyUsage = c.raw;
    Cert cert = Pki().IssueByInter(spec);
    EXPECT_EQ(c.expected, CheckX509KeyUsage(cert.get()));
  }
}

TEST(VerifyCertChainByTrustedStore, MapsVerificationErrors) {
  const SharedPki& pki = Pki();
  CertSpec expired = pki.Leaf({{"CN", kName1}});
  expired.notBefore = Now() - 10 * kDay;
  expired.notAfter = Now() - kDay;
  CertSpec future = pki.Leaf({{"CN", kName1}});
  future.notBefore = Now() + kDay;
  const struct {
    const char* name;
    Cert cert;
    bool withRoot;
    ResultCode expected;
  } cases[] = {
      {"issued by the intermediate", pki.IssueByInter(pki.Leaf({{"CN", kName1}})), true, PELLUM_OK},
      {"issued by the root", pki.IssueByRoot(pki.Leaf({{"CN", kName1}})), true, PELLUM_OK},
      {"expired", pki.IssueByInter(expired), true, E_CERT_TIME_INVALID},
      {"not yet valid", pki.IssueByInter(future), true, E_CERT_TIME_INVALID},
      {"chain does not end in the store", pki.IssueByInter(pki.Leaf({{"CN", kName1}})), false,
       E_CERT_CHAIN_INCOMPLETE},
      {"self-signed outside the store", pki.SelfSigned(pki.Leaf({{"CN", kName1}})), true,
       E_CERT_CHAIN_INCOMPLETE},
      {"no certificate at all", nullptr, true, E_CERT_CHAIN_INCOMPLETE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Store store =
        c.withRoot ? StoreOf({pki.inter.get(), pki.root.get()}) : StoreOf({pki.inter.get()});
    EXPECT_EQ(c.expected, VerifyCertChainByTrustedStore(store.get(), c.cert.get()));
  }
}

}  // namespace
