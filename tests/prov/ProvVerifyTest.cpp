// Certificate and CRL verification reaches the extension's SM2 through the
// provider: SM2-with-SM3 signatures over the default identity verify with no
// identity set on the certificate; other signatures fail with the library's
// error; RSA and P-256 chains are untouched.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <memory>

#include "smext/sm3.h"
#include "tests/prov/ProvTestSupport.h"

namespace provtest {
namespace {

// The PKI, made once with the openssl command line (the stock library, the
// default identity given explicitly).
class Pki {
 public:
  Pki() {
    const std::string o = std::string(TOVEL_OPENSSL) + " ";
    const std::string id = " -sigopt distid:" + kDefaultId;
    const std::string ca =
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign";
    auto in = [this](const std::string& n) { return dir / n; };
    std::ofstream(in("ca.cnf")) << "[ca]\ndefault_ca=d\n[d]\ndatabase=" << in("index.txt")
                                << "\ncrlnumber=" << in("crlnumber")
                                << "\ndefault_md=sm3\ndefault_crl_days=30\n";
    std::ofstream(in("index.txt"));
    std::ofstream(in("crlnumber")) << "01\n";
    const std::vector<std::string> commands = {
        o + "genpkey -algorithm SM2 -out " + in("ca.key"),
        o + "req -new -x509 -key " + in("ca.key") + " -sm3" + id + " -subj /CN=SM2-CA -days 3650" +
            ca + " -out " + in("ca.pem"),
        o + "genpkey -algorithm SM2 -out " + in("leaf.key"),
        o + "req -new -key " + in("leaf.key") + " -sm3" + id + " -subj /CN=SM2-leaf -out " +
            in("leaf.csr"),
        o + "x509 -req -in " + in("leaf.csr") + " -vfyopt distid:" + kDefaultId + " -CA " +
            in("ca.pem") + " -CAkey " + in("ca.key") + " -set_serial 2 -sm3" + id +
            " -days 365 -out " + in("leaf.pem"),
        // No identity: the stock library signs over Z of an empty identity.
        o + "x509 -req -in " + in("leaf.csr") + " -vfyopt distid:" + kDefaultId + " -CA " +
            in("ca.pem") + " -CAkey " + in("ca.key") + " -set_serial 3 -sm3 -days 365 -out " +
            in("leaf_noid.pem"),
        o + "ca -gencrl -config " + in("ca.cnf") + " -keyfile " + in("ca.key") + " -cert " +
            in("ca.pem") + " -md sm3" + id + " -out " + in("ca.crl"),
    };
    for (const auto& alg : {std::string("rsa"), std::string("p256")}) {
      const std::string newkey =
          alg == "rsa" ? " -newkey rsa:2048" : " -newkey ec -pkeyopt ec_paramgen_curve:P-256";
      commands_.push_back(o + "req -x509 -nodes" + newkey + " -keyout " + in(alg + "-ca.key") +
                          " -sha256" + " -subj /CN=" + alg + "-CA -days 3650" + ca + " -out " +
                          in(alg + "-ca.pem"));
      commands_.push_back(o + "req -new -nodes" + newkey + " -keyout " + in(alg + "-leaf.key") +
                          " -subj /CN=" + alg + "-leaf -out " + in(alg + "-leaf.csr"));
      commands_.push_back(o + "x509 -req -in " + in(alg + "-leaf.csr") + " -CA " +
                          in(alg + "-ca.pem") + " -CAkey " + in(alg + "-ca.key") +
                          " -set_serial 4 -sha256 -days 365 -out " + in(alg + "-leaf.pem"));
    }
    for (const auto& c : commands) ok = ok && Run(c + " >/dev/null 2>&1") == 0;
    for (const auto& c : commands_) ok = ok && Run(c + " >/dev/null 2>&1") == 0;
  }
  TempDir dir;
  bool ok = true;

 private:
  std::vector<std::string> commands_;
};

Pki& SharedPki() {
  static Pki pki;
  return pki;
}

class ProvVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SharedPki().ok) << "the openssl command line could not make the test PKI";
    ca = ReadCert(Path("ca.pem"));
    leaf = ReadCert(Path("leaf.pem"));
    ASSERT_TRUE(ca && leaf);
    ERR_clear_error();
  }
  static std::string Path(const std::string& name) { return SharedPki().dir / name; }
  Cert ca, leaf;
};

TEST_F(ProvVerifyTest, DefaultIdentityChainVerifiesThroughTheExtension) {
  OpCounter ops;
  EXPECT_EQ(VerifyChain(leaf.get(), ca.get()), std::make_pair(1, X509_V_OK));
  EXPECT_GE(ops[SMEXT_OP_DIGEST_VERIFY], 1);
  EXPECT_EQ(X509_verify(leaf.get(), X509_get0_pubkey(ca.get())), 1);
  // No identity on the certificate: the default one is the extension's.
  EXPECT_EQ(X509_get0_distinguishing_id(leaf.get()), nullptr);
  // Certificate-key checks still work with the provider preferred.
  Pkey leafKey = ReadPrivateKey(Path("leaf.key"));
  Pkey caKey = ReadPrivateKey(Path("ca.key"));
  EXPECT_EQ(X509_check_private_key(leaf.get(), leafKey.get()), 1);
  EXPECT_EQ(X509_check_private_key(leaf.get(), caKey.get()), 0);
  ERR_clear_error();
}

TEST_F(ProvVerifyTest, WrongSignaturesFailWithSignatureError) {
  Bytes flipped = Der(leaf.get());
  flipped.back() ^= 0x01;  // the last byte of s
  Cert badBit = FromDer(flipped);
  Cert emptyId = ReadCert(Path("leaf_noid.pem"));
  // SM3 of the encoded part alone, signed by the CA's key with the stock library.
  Pkey caKey = ReadPrivateKey(Path("ca.key"));
  ASSERT_TRUE(badBit && emptyId && caKey);
  const Bytes tbs = Tbs(leaf.get());
  Bytes e(SM3_DIGEST_LENGTH);
  SM3_CTX sm3;
  sm3_init(&sm3);
  sm3_update(&sm3, tbs.data(), static_cast<uint32_t>(tbs.size()));
  sm3_final(e.data(), &sm3);
  PkeyCtx stock = CtxFor(caKey.get(), kStock);
  size_t len = 0;
  ASSERT_EQ(EVP_PKEY_sign_init(stock.get()), 1);
  ASSERT_EQ(EVP_PKEY_sign(stock.get(), nullptr, &len, e.data(), e.size()), 1);
  Bytes sig(len);
  ASSERT_EQ(EVP_PKEY_sign(stock.get(), sig.data(), &len, e.data(), e.size()), 1);
  sig.resize(len);
  Cert noZ = WithSignature(leaf.get(), sig);
  ASSERT_TRUE(noZ);

  struct Case {
    const char* name;
    X509* cert;
  } const cases[] = {
      {"flipped bit", badBit.get()}, {"empty identity", emptyId.get()}, {"no Z", noZ.get()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VerifyChain(c.cert, ca.get()), std::make_pair(0, X509_V_ERR_CERT_SIGNATURE_FAILURE));
    EXPECT_LE(X509_verify(c.cert, X509_get0_pubkey(ca.get())), 0);
    EXPECT_TRUE(HadError(ERR_LIB_ASN1, ERR_R_EVP_LIB));
  }
}

TEST_F(ProvVerifyTest, ExplicitIdentityIsHonoured) {
  // The same certificate with another identity set: Z differs, so it fails;
  // the empty-identity certificate verifies with the empty identity set.
  Cert copy(X509_dup(leaf.get()));
  ASN1_OCTET_STRING* other = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(other, reinterpret_cast<const unsigned char*>("ALICE123@YAHOO.COM"), 18);
  X509_set0_distinguishing_id(copy.get(), other);
  EXPECT_LE(X509_verify(copy.get(), X509_get0_pubkey(ca.get())), 0);
  Cert emptyId = ReadCert(Path("leaf_noid.pem"));
  X509_set0_distinguishing_id(emptyId.get(), ASN1_OCTET_STRING_new());
  EXPECT_EQ(X509_verify(emptyId.get(), X509_get0_pubkey(ca.get())), 1);
  ERR_clear_error();
}

TEST_F(ProvVerifyTest, CrlVerifiesAndFlippedCrlFails) {
  Crl crl = ReadCrl(Path("ca.crl"));
  ASSERT_TRUE(crl);
  OpCounter ops;
  EXPECT_EQ(X509_CRL_verify(crl.get(), X509_get0_pubkey(ca.get())), 1);
  EXPECT_EQ(ops[SMEXT_OP_DIGEST_VERIFY], 1);
  unsigned char* der = nullptr;
  const int len = i2d_X509_CRL(crl.get(), &der);
  ASSERT_GT(len, 0);
  der[len - 1] ^= 0x01;
  const unsigned char* p = der;
  Crl flipped(d2i_X509_CRL(nullptr, &p, len));
  OPENSSL_free(der);
  ASSERT_TRUE(flipped);
  EXPECT_LE(X509_CRL_verify(flipped.get(), X509_get0_pubkey(ca.get())), 0);
  EXPECT_TRUE(HadError(ERR_LIB_ASN1, ERR_R_EVP_LIB));
}

// Certificates and CRLs signed by the extension carry SM2-with-SM3 over the
// default identity: the stock library accepts them with that identity set.
TEST_F(ProvVerifyTest, SignedByTheExtensionVerifiesWithTheStockLibrary) {
  Pkey caKey = ReadPrivateKey(Path("ca.key"));
  ASSERT_TRUE(caKey);
  Cert cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 77);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get()));
  X509_set_subject_name(cert.get(), X509_get_subject_name(leaf.get()));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), X509_get0_pubkey(leaf.get()));
  OpCounter ops;
  ASSERT_GT(X509_sign(cert.get(), caKey.get(), EVP_sm3()), 0);
  EXPECT_EQ(ops[SMEXT_OP_DIGEST_SIGN], 1);
  EXPECT_EQ(OBJ_obj2nid(X509_get0_tbs_sigalg(cert.get())->algorithm), NID_SM2_with_SM3);

  EXPECT_EQ(VerifyChain(cert.get(), ca.get()), std::make_pair(1, X509_V_OK));
  EXPECT_EQ(DigestVerify(X509_get0_pubkey(ca.get()), SignatureOf(cert.get()), Tbs(cert.get()),
                         kStock, &kDefaultId),
            1);
  const std::string empty;
  EXPECT_NE(DigestVerify(X509_get0_pubkey(ca.get()), SignatureOf(cert.get()), Tbs(cert.get()),
                         kStock, &empty),
            1);

  Crl crl = NewCrl(ca.get());
  ASSERT_GT(X509_CRL_sign(crl.get(), caKey.get(), EVP_sm3()), 0);
  EXPECT_EQ(X509_CRL_verify(crl.get(), X509_get0_pubkey(ca.get())), 1);
  unsigned char* tbs = nullptr;
  const int tbsLen = i2d_re_X509_CRL_tbs(crl.get(), &tbs);
  const ASN1_BIT_STRING* sig = nullptr;
  X509_CRL_get0_signature(crl.get(), &sig, nullptr);
  EXPECT_EQ(DigestVerify(X509_get0_pubkey(ca.get()), Bytes(sig->data, sig->data + sig->length),
                         Bytes(tbs, tbs + tbsLen), kStock, &kDefaultId),
            1);
  OPENSSL_free(tbs);
  ERR_clear_error();
}

TEST_F(ProvVerifyTest, RsaAndP256ChainsAreUnchanged) {
  for (const std::string alg : {"rsa", "p256"}) {
    SCOPED_TRACE(alg);
    Cert otherCa = ReadCert(Path(alg + "-ca.pem"));
    Cert otherLeaf = ReadCert(Path(alg + "-leaf.pem"));
    ASSERT_TRUE(otherCa && otherLeaf);
    OpCounter ops;
    EXPECT_EQ(VerifyChain(otherLeaf.get(), otherCa.get()), std::make_pair(1, X509_V_OK));
    Bytes flipped = Der(otherLeaf.get());
    flipped.back() ^= 0x01;
    Cert bad = FromDer(flipped);
    ASSERT_TRUE(bad);
    EXPECT_EQ(VerifyChain(bad.get(), otherCa.get()),
              std::make_pair(0, X509_V_ERR_CERT_SIGNATURE_FAILURE));
    EXPECT_EQ(ops.Total(), 0) << "the extension ran for a non-SM2 chain";
  }
}

}  // namespace
}  // namespace provtest
