// The trust store loader, the chain check over it, the CRL lookup and the
// order of the checks that the flags select.
#include <gtest/gtest.h>

#include <string>

#include "agent/TovelAgent.h"
#include "agent/TovelAgentTrust.h"
#include "tests/cert/SharedPki.h"

namespace {

using namespace testpki;

// The status of a refused argument.
constexpr ResultCode kInvalidParameter = ERROR_INVALID_PARAMETER;

// Owned copies of trust certificates and the two parallel sequences over them.
struct CertSet {
  std::vector<std::vector<BYTE>> buffers;
  std::vector<BYTE*> data;
  std::vector<int> lengths;

  void Add(std::vector<BYTE> bytes) {
    buffers.push_back(std::move(bytes));
    data.clear();
    lengths.clear();
    for (auto& b : buffers) {
      data.push_back(b.data());
      lengths.push_back(static_cast<int>(b.size()));
    }
  }
  void Add(const std::string& text) { Add(std::vector<BYTE>(text.begin(), text.end())); }
};

// LoadCertsDataToStore's status and the store it hands over, owned.
struct Loaded {
  ResultCode status;
  tovel::UniquePtr<X509_STORE> store;
};
Loaded Load(const std::vector<BYTE*>& data, const std::vector<int>& lengths) {
  X509_STORE* store = nullptr;
  const ResultCode status = LoadCertsDataToStore(&store, data, lengths);
  return {status, tovel::UniquePtr<X509_STORE>(store)};
}

CertSet TestCas() {
  CertSet set;
  set.Add(ToDer(Pki().inter.get()));
  set.Add(ToDer(Pki().root.get()));
  return set;
}

TEST(LoadCertsDataToStore, LoadsPemAndDerInOrder) {
  CertSet set;
  set.Add(ToPem(Pki().inter.get()));
  set.Add(ToDer(Pki().root.get()));
  const Loaded loaded = Load(set.data, set.lengths);
  ASSERT_EQ(PELLUM_OK, loaded.status);
  ASSERT_NE(nullptr, loaded.store);
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(loaded.store.get());
  ASSERT_EQ(2, sk_X509_OBJECT_num(objects));
  int found = 0;
  for (int i = 0; i < 2; ++i) {
    X509* x = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    found += X509_cmp(x, Pki().inter.get()) == 0 || X509_cmp(x, Pki().root.get()) == 0;
  }
  EXPECT_EQ(2, found);
}

TEST(LoadCertsDataToStore, RefusesBadInput) {
  X509_STORE* const sentinel = reinterpret_cast<X509_STORE*>(0x1);
  CertSet good = TestCas();
  CertSet garbage = TestCas();
  garbage.Add(std::string("neither PEM nor DER"));
  CertSet negative = TestCas();
  negative.lengths[0] = -1;
  const struct {
    const char* name;
    std::vector<BYTE*> data;
    std::vector<int> lengths;
    ResultCode expected;
  } cases[] = {
      {"sizes differ", good.data, {good.lengths[0]}, kInvalidParameter},
      {"garbage entry", garbage.data, garbage.lengths, -1},
      {"negative length", negative.data, negative.lengths, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    X509_STORE* store = sentinel;
    EXPECT_EQ(c.expected, LoadCertsDataToStore(&store, c.data, c.lengths));
    EXPECT_EQ(sentinel, store);
  }
  EXPECT_EQ(kInvalidParameter, LoadCertsDataToStore(nullptr, good.data, good.lengths));

  const Loaded empty = Load({}, {});
  ASSERT_EQ(PELLUM_OK, empty.status);
  ASSERT_NE(nullptr, empty.store);
  EXPECT_EQ(0, sk_X509_OBJECT_num(X509_STORE_get0_objects(empty.store.get())));
}

TEST(VerifyCertChainWithData, NeedsTheWholeChainInTheStore) {
  Cert leaf = Pki().IssueByInter(Pki().Leaf({{"CN", kName1}}));
  CertSet both = TestCas();
  CertSet interOnly;
  interOnly.Add(ToDer(Pki().inter.get()));
  EXPECT_EQ(PELLUM_OK, VerifyCertChainWithData(leaf.get(), both.data, both.lengths));
  EXPECT_EQ(E_CERT_CHAIN_INCOMPLETE,
            VerifyCertChainWithData(leaf.get(), interOnly.data, interOnly.lengths));
  EXPECT_EQ(E_CERT_CHAIN_INCOMPLETE, VerifyCertChainWithData(leaf.get(), {}, {}));
  EXPECT_EQ(kInvalidParameter, VerifyCertChainWithData(leaf.get(), both.data, {}));
}

TEST(VerifyCertCRLWithData, FindsTheSerialNumber) {
  const SharedPki& pki = Pki();
  Cert leaf = pki.IssueByInter(pki.Leaf({{"CN", kName1}}, 0x1234));
  CertSpec ca = pki.Leaf({{"CN", "Unrelated CA"}});
  Cert unrelated = Issue(ca, pki.otherKey.get(), nullptr, pki.otherKey.get());
  const std::vector<BYTE> listed =
      ToDer(MakeCrl(pki.inter.get(), pki.interKey.get(), {7, 0x1234, 9}).get());
  const std::string listedPem = ToPem(MakeCrl(pki.inter.get(), pki.interKey.get(), {0x1234}).get());
  const std::vector<BYTE> others =
      ToDer(MakeCrl(pki.inter.get(), pki.interKey.get(), {7, 0x1235}).get());
  const std::vector<BYTE> none = ToDer(MakeCrl(pki.inter.get(), pki.interKey.get(), {}).get());
  const std::vector<BYTE> foreign =
      ToDer(MakeCrl(unrelated.get(), pki.otherKey.get(), {0x1234}).get());
  const BYTE garbage[] = "no CRL here";
  const struct {
    const char* name;
    const BYTE* data;
    int length;
    X509* cert;
    ResultCode expected;
  } cases[] = {
      {"listed (DER)", listed.data(), static_cast<int>(listed.size()), leaf.get(),
       E_CERT_REVOKED_RAW},
      {"listed (PEM)", reinterpret_cast<const BYTE*>(listedPem.data()),
       static_cast<int>(listedPem.size()), leaf.get(), E_CERT_REVOKED_RAW},
      {"listed by an unrelated issuer", foreign.data(), static_cast<int>(foreign.size()),
       leaf.get(), E_CERT_REVOKED_RAW},
      {"other serial numbers only", others.data(), static_cast<int>(others.size()), leaf.get(),
       PELLUM_OK},
      {"no revoked list", none.data(), static_cast<int>(none.size()), leaf.get(), -1},
      {"garbage", garbage, static_cast<int>(sizeof garbage - 1), leaf.get(), -1},
      {"length 0", listed.data(), 0, leaf.get(), kInvalidParameter},
      {"negative length", listed.data(), -1, leaf.get(), kInvalidParameter},
      {"no CRL bytes", nullptr, 10, leaf.get(), kInvalidParameter},
      {"no certificate", listed.data(), static_cast<int>(listed.size()), nullptr,
       kInvalidParameter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, VerifyCertCRLWithData(c.data, c.cert, c.length));
  }
}

TEST(VerifyX509WithData, RunsTheSelectedChecksInFlagOrder) {
  const SharedPki& pki = Pki();
  CertSpec expiredSpec = pki.Leaf({{"CN", kName1}}, 0x55);
  expiredSpec.notBefore = Now() - 10 * kDay;
  expiredSpec.notAfter = Now() - kDay;
  Cert expired = pki.IssueByInter(expiredSpec);
  Cert selfSigned = pki.SelfSigned(pki.Leaf({{"CN", kName1}}, 0x55));
  Cert good = pki.IssueByInter(pki.Leaf({{"CN", kName1}}, 0x55));
  const std::vector<BYTE> revoking =
      ToDer(MakeCrl(pki.inter.get(), pki.interKey.get(), {0x55}).get());
  const std::vector<BYTE> clean = ToDer(MakeCrl(pki.inter.get(), pki.interKey.get(), {0x56}).get());
  CertSet cas = TestCas();
  const struct {
    const char* name;
    X509* cert;
    BYTE flags;
    const std::vector<BYTE>* crl;
    ResultCode expected;
  } cases[] = {
      {"no flags check nothing", expired.get(), 0, nullptr, PELLUM_OK},
      {"other bits are ignored", expired.get(), 0xF8, nullptr, PELLUM_OK},
      {"time", expired.get(), VERIFY_FLAG_TIME, nullptr, E_CERT_TIME_INVALID},
      {"time before CRL and chain", expired.get(), 0x7, &revoking, E_CERT_TIME_INVALID},
      {"CRL before chain", selfSigned.get(), 0x7, &revoking, E_CERT_REVOKED_RAW},
      {"chain after a clean CRL", selfSigned.get(), 0x7, &clean, E_CERT_CHAIN_INCOMPLETE},
      {"CRL without CRL bytes", good.get(), VERIFY_FLAG_CRL, nullptr, kInvalidParameter},
      {"all pass", good.get(), 0x7, &clean, PELLUM_OK},
      {"chain only, expired leaf", expired.get(), VERIFY_FLAG_CHAIN, nullptr, E_CERT_TIME_INVALID},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const BYTE* crl = c.crl ? c.crl->data() : nullptr;
    const int crlLength = c.crl ? static_cast<int>(c.crl->size()) : 0;
    EXPECT_EQ(c.expected,
              VerifyX509WithData(c.cert, c.flags, crl, crlLength, cas.data, cas.lengths));
  }
}

}  // namespace
