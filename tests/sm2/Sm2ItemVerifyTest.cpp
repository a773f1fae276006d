// verify_signed_item against the installed library's own certificate and CRL
// checks. Certificates and CRLs are made at test time: with the openssl
// command line, and re-signed here with the SM2 core under chosen rules.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "smext/prov/smext_provider.h"
#include "smext/sm2.h"
#include "smext/sm3.h"
#include "smext/sm_item_verify.h"
#include "smext/sm_objects.h"
#include "smext/smext.h"
#include "tests/sm2/Sm2TestUtil.h"

namespace sm2test {
namespace {

constexpr int kFuncItemVerify = 197;
constexpr const char* kDistId = "1234567812345678";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Bytes PemToDer(const std::string& path, bool crl) {
  BIO* bio = BIO_new_file(path.c_str(), "r");
  EXPECT_NE(bio, nullptr) << path;
  unsigned char* der = nullptr;
  int len = 0;
  if (crl) {
    X509_CRL* c = PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr);
    len = c != nullptr ? i2d_X509_CRL(c, &der) : 0;
    X509_CRL_free(c);
  } else {
    X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    len = x != nullptr ? i2d_X509(x, &der) : 0;
    X509_free(x);
  }
  BIO_free(bio);
  EXPECT_GT(len, 0) << path;
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return out;
}

PkeyPtr ReadKey(const std::string& path) {
  BIO* bio = BIO_new_file(path.c_str(), "r");
  EVP_PKEY* key =
      bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  EXPECT_NE(key, nullptr) << path;
  return PkeyPtr(key);
}

tovel::UniquePtr<X509> CertFromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  return tovel::UniquePtr<X509>(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}
tovel::UniquePtr<X509_CRL> CrlFromDer(const Bytes& der) {
  const unsigned char* p = der.data();
  return tovel::UniquePtr<X509_CRL>(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
}

// The three elements of a signed structure's outer SEQUENCE, each with its
// tag and length: signed part, algorithm, signature bit string.
struct SignedParts {
  Bytes tbs, algorithm, signature;
};

Bytes NextElement(const unsigned char** p, long remaining) {
  const unsigned char* start = *p;
  long len = 0;
  int tag = 0, cls = 0;
  EXPECT_EQ(ASN1_get_object(p, &len, &tag, &cls, remaining) & 0x80, 0);
  *p += len;
  return Bytes(start, *p);
}

SignedParts Split(const Bytes& der) {
  const unsigned char* p = der.data();
  long len = 0;
  int tag = 0, cls = 0;
  EXPECT_EQ(ASN1_get_object(&p, &len, &tag, &cls, static_cast<long>(der.size())),
            V_ASN1_CONSTRUCTED);
  const unsigned char* end = p + len;
  SignedParts parts;
  parts.tbs = NextElement(&p, end - p);
  parts.algorithm = NextElement(&p, end - p);
  parts.signature = NextElement(&p, end - p);
  return parts;
}

Bytes Tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
  } else {
    out.insert(out.end(),
               {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Join(const SignedParts& parts) {
  Bytes content = parts.tbs;
  content.insert(content.end(), parts.algorithm.begin(), parts.algorithm.end());
  content.insert(content.end(), parts.signature.begin(), parts.signature.end());
  return Tlv(0x30, content);
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

Bytes DigestOf(const char* name, const Bytes& data) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, "provider=default");
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr), 1);
  EVP_MD_free(md);
  out.resize(len);
  return out;
}

// Z of the public point (x, y) on the SM2 curve for an identity.
Bytes ZOf(const BIGNUM* x, const BIGNUM* y, const std::string& id) {
  CurveParams c = ParamsOf(Sm2CurveNid());
  Bytes z(32);
  EXPECT_EQ(
      sm2_compute_z(reinterpret_cast<const unsigned char*>(id.data()), static_cast<int>(id.size()),
                    c.a.get(), c.b.get(), c.xG.get(), c.yG.get(), x, y, z.data()),
      1);
  return z;
}

// The DER SM2 signature of the digest value e (the first 32 bytes).
Bytes Sm2SignDigest(const Bytes& e, const BIGNUM* d, int curveNid) {
  BnPtr en(BN_bin2bn(e.data(), 32, nullptr));
  SigPtr sig(sm2_sign(en.get(), d, curveNid));
  EXPECT_NE(sig, nullptr);
  unsigned char* der = nullptr;
  const int len = i2d_ECDSA_SIG(sig.get(), &der);
  Bytes out(der, der + len);
  OPENSSL_free(der);
  return out;
}

// A signed structure whose signature is replaced by sig.
Bytes WithSignature(const Bytes& der, const Bytes& sig) {
  SignedParts parts = Split(der);
  Bytes bits{0x00};
  bits.insert(bits.end(), sig.begin(), sig.end());
  parts.signature = Tlv(0x03, bits);
  return Join(parts);
}

struct KeyNumbers {
  BnPtr d, x, y;
};
KeyNumbers NumbersOf(EVP_PKEY* key) {
  BIGNUM *d = nullptr, *x = nullptr, *y = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y), 1);
  return {BnPtr(d), BnPtr(x), BnPtr(y)};
}

// The stock library's certificate check, with the default identity set on
// the certificate for SM2 signatures.
int StockCertVerify(const Bytes& der, EVP_PKEY* issuerKey, bool sm2) {
  // Decoded for the default provider, so that the check stays the stock
  // library's after a test has made the extension's provider the preferred one.
  tovel::UniquePtr<X509> cert(X509_new_ex(nullptr, "provider=default"));
  X509* target = cert.get();
  const unsigned char* p = der.data();
  if (target == nullptr || d2i_X509(&target, &p, static_cast<long>(der.size())) == nullptr) {
    cert.release();  // d2i frees the object it could not fill
  }
  EXPECT_NE(cert, nullptr);
  if (sm2) {
    ASN1_OCTET_STRING* id = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(id, reinterpret_cast<const unsigned char*>(kDistId), 16);
    X509_set0_distinguishing_id(cert.get(), id);
  }
  const int result = X509_verify(cert.get(), issuerKey);
  ERR_clear_error();
  return result;
}

// The stock library's check of an SM2 CRL with the default identity: 3.0 has
// no identity setter for CRLs, so its SM2 signature is asked directly.
int StockSm2CrlVerify(const Bytes& der, EVP_PKEY* issuerKey) {
  const SignedParts parts = Split(der);
  tovel::UniquePtr<X509_CRL> crl = CrlFromDer(der);
  const ASN1_BIT_STRING* sig = nullptr;
  const X509_ALGOR* alg = nullptr;
  X509_CRL_get0_signature(crl.get(), &sig, &alg);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_PKEY_CTX* pctx = nullptr;
  int result =
      EVP_DigestVerifyInit_ex(ctx, &pctx, "SM3", nullptr, "provider=default", issuerKey, nullptr);
  if (result == 1) {
    EXPECT_EQ(EVP_PKEY_CTX_set1_id(pctx, kDistId, 16), 1);
    result = EVP_DigestVerify(ctx, sig->data, static_cast<size_t>(sig->length), parts.tbs.data(),
                              parts.tbs.size());
  }
  EVP_MD_CTX_free(ctx);
  ERR_clear_error();
  return result;
}

Bytes FlipSignatureBit(const Bytes& der) {
  SignedParts parts = Split(der);
  parts.signature[parts.signature.size() - 5] ^= 0x01;
  return Join(parts);
}

// Keys, certificates and CRLs made once with the openssl command line.
struct Pki {
  std::string dir;
  PkeyPtr sm2CaKey, rsaCaKey, ecCaKey, sm2LeafKey, edCaKey;
  Bytes sm2Ca, sm2Leaf, sm2Crl, rsaCa, rsaLeaf, rsaCrl, ecCa, ecLeaf, ecCrl, edCa, pssCa;
};

const Pki& SharedPki() {
  static const Pki* pki = [] {
    auto* p = new Pki;
    char dirTemplate[] = "/tmp/sm2-item-verify-XXXXXX";
    p->dir = mkdtemp(dirTemplate);
    const std::string script = R"(set -e
cd ")" + p->dir + R"("
D="-sigopt distid:1234567812345678"
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\ndefault_crl_days=30\n' > ca.cnf
touch index.txt
chain() {  # name, genpkey arguments, digest, extra signing options
  openssl genpkey $2 -out $1-ca.key
  openssl req -x509 -new -key $1-ca.key -$3 $4 -subj "/CN=$1 CA" -days 30 -out $1-ca.pem
  openssl genpkey $2 -out $1-leaf.key
  openssl req -new -key $1-leaf.key -$3 $4 -subj "/CN=$1 leaf" -out $1-leaf.csr
  openssl x509 -req -in $1-leaf.csr -CA $1-ca.pem -CAkey $1-ca.key -set_serial 2 -$3 $4 $5 -days 30 -out $1-leaf.pem
  openssl ca -gencrl -config ca.cnf -keyfile $1-ca.key -cert $1-ca.pem -md $3 $4 -out $1.crl
}
chain sm2 "-algorithm SM2" sm3 "$D" "-vfyopt distid:1234567812345678"
chain rsa "-algorithm RSA -pkeyopt rsa_keygen_bits:2048" sha256 "" ""
chain ec "-algorithm EC -pkeyopt ec_paramgen_curve:P-256" sha256 "" ""
# Algorithms whose table row names no digest: EdDSA and RSA-PSS.
openssl genpkey -algorithm ED25519 -out ed-ca.key
openssl req -x509 -new -key ed-ca.key -subj "/CN=ed CA" -days 30 -out ed-ca.pem
openssl req -x509 -new -key rsa-ca.key -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 \
  -subj "/CN=pss CA" -days 30 -out pss-ca.pem
)";
    const std::string scriptPath = p->dir + "/make.sh";
    std::ofstream(scriptPath) << script;
    const int rc = std::system(("bash " + scriptPath + " >" + p->dir + "/make.log 2>&1").c_str());
    EXPECT_EQ(rc, 0) << ReadFile(p->dir + "/make.log");
    p->sm2CaKey = ReadKey(p->dir + "/sm2-ca.key");
    p->sm2LeafKey = ReadKey(p->dir + "/sm2-leaf.key");
    p->rsaCaKey = ReadKey(p->dir + "/rsa-ca.key");
    p->ecCaKey = ReadKey(p->dir + "/ec-ca.key");
    p->edCaKey = ReadKey(p->dir + "/ed-ca.key");
    p->edCa = PemToDer(p->dir + "/ed-ca.pem", false);
    p->pssCa = PemToDer(p->dir + "/pss-ca.pem", false);
    for (auto [name, cert, crl] :
         {std::tuple{"sm2", &p->sm2Leaf, &p->sm2Crl}, std::tuple{"rsa", &p->rsaLeaf, &p->rsaCrl},
          std::tuple{"ec", &p->ecLeaf, &p->ecCrl}}) {
      *cert = PemToDer(p->dir + "/" + name + "-leaf.pem", false);
      *crl = PemToDer(p->dir + "/" + name + ".crl", true);
    }
    p->sm2Ca = PemToDer(p->dir + "/sm2-ca.pem", false);
    p->rsaCa = PemToDer(p->dir + "/rsa-ca.pem", false);
    p->ecCa = PemToDer(p->dir + "/ec-ca.pem", false);
    std::system(("rm -rf '" + p->dir + "'").c_str());
    return p;
  }();
  return *pki;
}

class ItemVerifyTest : public Sm2Test {
 protected:
  void SetUp() override {
    Sm2Test::SetUp();
    ASSERT_EQ(sm_objects_init(), 1);
    ASSERT_FALSE(SharedPki().sm2Leaf.empty());
  }
  const Pki& pki = SharedPki();
};

int OurCertVerify(const Bytes& der, EVP_PKEY* key) {
  tovel::UniquePtr<X509> cert = CertFromDer(der);
  EXPECT_NE(cert, nullptr);
  return sm_x509_verify(cert.get(), key);
}
int OurCrlVerify(const Bytes& der, EVP_PKEY* key) {
  tovel::UniquePtr<X509_CRL> crl = CrlFromDer(der);
  EXPECT_NE(crl, nullptr);
  return sm_x509_crl_verify(crl.get(), key);
}

// Re-signs an SM2 structure of the CA with a chosen digest value.
enum class Rule { DefaultZ, EmptyIdZ, NoZ, DefaultZChangedDigestByte };
Bytes Sm2Resign(const Bytes& der, EVP_PKEY* caKey, Rule rule) {
  const KeyNumbers k = NumbersOf(caKey);
  const Bytes tbs = Split(der).tbs;
  Bytes e;
  switch (rule) {
    case Rule::DefaultZ: e = LibrarySm3({ZOf(k.x.get(), k.y.get(), kDistId), tbs}); break;
    case Rule::EmptyIdZ: e = LibrarySm3({ZOf(k.x.get(), k.y.get(), ""), tbs}); break;
    case Rule::NoZ: e = LibrarySm3({tbs}); break;
    case Rule::DefaultZChangedDigestByte:
      e = LibrarySm3({ZOf(k.x.get(), k.y.get(), kDistId), tbs});
      e[7] ^= 0x40;
      break;
  }
  return WithSignature(der, Sm2SignDigest(e, k.d.get(), Sm2CurveNid()));
}

TEST_F(ItemVerifyTest, Sm2CertificatesAgreeWithStockLibraryWithDefaultIdentity) {
  struct Case {
    const char* name;
    std::function<Bytes()> make;
    int expected;
  };
  const Case cases[] = {
      {"command line, default identity", [&] { return pki.sm2Leaf; }, 1},
      {"command line, self-signed CA", [&] { return pki.sm2Ca; }, 1},
      {"extension, default identity",
       [&] { return Sm2Resign(pki.sm2Leaf, pki.sm2CaKey.get(), Rule::DefaultZ); }, 1},
      {"flipped signature bit", [&] { return FlipSignatureBit(pki.sm2Leaf); }, 0},
      {"empty identity", [&] { return Sm2Resign(pki.sm2Leaf, pki.sm2CaKey.get(), Rule::EmptyIdZ); },
       0},
      {"SM3 of the encoding alone",
       [&] { return Sm2Resign(pki.sm2Leaf, pki.sm2CaKey.get(), Rule::NoZ); }, 0},
      {"changed digest byte",
       [&] { return Sm2Resign(pki.sm2Leaf, pki.sm2CaKey.get(), Rule::DefaultZChangedDigestByte); },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes der = c.make();
    const int stock = StockCertVerify(der, pki.sm2CaKey.get(), true);
    EXPECT_EQ(stock, c.expected);
    EXPECT_EQ(OurCertVerify(der, pki.sm2CaKey.get()), stock);
    if (c.expected == 0) {
      ExpectNewestError(ERR_LIB_ASN1, ERR_R_EVP_LIB, kFuncItemVerify);
    } else {
      EXPECT_EQ(ERR_peek_error(), 0u);
    }
    // The issuer's key checks it, no other SM2 key does.
    EXPECT_EQ(OurCertVerify(der, pki.sm2LeafKey.get()), 0);
    ERR_clear_error();
  }
}

TEST_F(ItemVerifyTest, SameResultsWithTheExtensionsSm3Registered) {
  // After start-up registration "SM3" names the extension's digest record,
  // which then computes the digest of the check.
  smext_add_all_algorithms();
  ASSERT_EQ(EVP_get_digestbyname("SM3"), sm3_digest_method());
  EXPECT_EQ(OurCertVerify(pki.sm2Leaf, pki.sm2CaKey.get()), 1);
  EXPECT_EQ(OurCrlVerify(pki.sm2Crl, pki.sm2CaKey.get()), 1);
  EXPECT_EQ(
      OurCertVerify(Sm2Resign(pki.sm2Leaf, pki.sm2CaKey.get(), Rule::NoZ), pki.sm2CaKey.get()), 0);
  EXPECT_EQ(OurCertVerify(pki.rsaLeaf, pki.rsaCaKey.get()), 1);
  ERR_clear_error();
}

TEST_F(ItemVerifyTest, FixturesAreWhatTheyClaim) {
  // The empty-identity signature is the stock library's rule when no
  // identity is set; the Z-less one checks over SM3 of the encoding alone.
  const Bytes emptyId = Sm2Resign(pki.sm2Leaf, pki.sm2CaKey.get(), Rule::EmptyIdZ);
  EXPECT_EQ(StockCertVerify(emptyId, pki.sm2CaKey.get(), false), 1);
  const Bytes noZ = Sm2Resign(pki.sm2Leaf, pki.sm2CaKey.get(), Rule::NoZ);
  const SignedParts parts = Split(noZ);
  tovel::UniquePtr<X509> cert = CertFromDer(noZ);
  const ASN1_BIT_STRING* sig = nullptr;
  X509_get0_signature(&sig, nullptr, cert.get());
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pki.sm2CaKey.get(), "provider=default");
  const Bytes e = LibrarySm3({parts.tbs});
  EXPECT_EQ(EVP_PKEY_verify_init(ctx), 1);
  EXPECT_EQ(EVP_PKEY_verify(ctx, sig->data, static_cast<size_t>(sig->length), e.data(), e.size()),
            1);
  EVP_PKEY_CTX_free(ctx);
}

TEST_F(ItemVerifyTest, Sm2CrlsAgreeWithStockLibraryWithDefaultIdentity) {
  const std::pair<Bytes, int> cases[] = {
      {pki.sm2Crl, 1},
      {Sm2Resign(pki.sm2Crl, pki.sm2CaKey.get(), Rule::DefaultZ), 1},
      {FlipSignatureBit(pki.sm2Crl), 0},
      {Sm2Resign(pki.sm2Crl, pki.sm2CaKey.get(), Rule::EmptyIdZ), 0},
      {Sm2Resign(pki.sm2Crl, pki.sm2CaKey.get(), Rule::NoZ), 0},
      {Sm2Resign(pki.sm2Crl, pki.sm2CaKey.get(), Rule::DefaultZChangedDigestByte), 0},
  };
  int index = 0;
  for (const auto& [der, expected] : cases) {
    SCOPED_TRACE(index++);
    const int stock = StockSm2CrlVerify(der, pki.sm2CaKey.get());
    EXPECT_EQ(stock, expected);
    EXPECT_EQ(OurCrlVerify(der, pki.sm2CaKey.get()), stock);
    if (expected == 0) {
      ExpectNewestError(ERR_LIB_ASN1, ERR_R_EVP_LIB, kFuncItemVerify);
    }
  }
}

TEST_F(ItemVerifyTest, OtherAlgorithmsAsTheStockLibrary) {
  struct Case {
    const char* name;
    const Bytes& der;
    bool crl;
    EVP_PKEY* issuer;
    EVP_PKEY* other;
  };
  const Case cases[] = {
      {"RSA leaf", pki.rsaLeaf, false, pki.rsaCaKey.get(), pki.ecCaKey.get()},
      {"RSA CA", pki.rsaCa, false, pki.rsaCaKey.get(), pki.sm2CaKey.get()},
      {"RSA CRL", pki.rsaCrl, true, pki.rsaCaKey.get(), pki.ecCaKey.get()},
      {"P-256 leaf", pki.ecLeaf, false, pki.ecCaKey.get(), pki.rsaCaKey.get()},
      {"P-256 CA", pki.ecCa, false, pki.ecCaKey.get(), pki.rsaCaKey.get()},
      {"P-256 CRL", pki.ecCrl, true, pki.ecCaKey.get(), pki.rsaCaKey.get()},
      {"Ed25519 CA", pki.edCa, false, pki.edCaKey.get(), pki.rsaCaKey.get()},
      {"RSA-PSS CA", pki.pssCa, false, pki.rsaCaKey.get(), pki.edCaKey.get()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Bytes& der : {c.der, FlipSignatureBit(c.der)}) {
      for (EVP_PKEY* key : {c.issuer, c.other}) {
        int stock = 0;
        int ours = 0;
        if (c.crl) {
          stock = X509_CRL_verify(CrlFromDer(der).get(), key);
          ERR_clear_error();
          ours = OurCrlVerify(der, key);
        } else {
          stock = X509_verify(CertFromDer(der).get(), key);
          ERR_clear_error();
          ours = OurCertVerify(der, key);
        }
        EXPECT_EQ(ours, stock);
        ERR_clear_error();
      }
    }
    EXPECT_EQ(c.crl ? OurCrlVerify(c.der, c.issuer) : OurCertVerify(c.der, c.issuer), 1);
    EXPECT_EQ(c.crl ? OurCrlVerify(FlipSignatureBit(c.der), c.issuer)
                    : OurCertVerify(FlipSignatureBit(c.der), c.issuer),
              0);
    ERR_clear_error();
  }
}

// The signed part of a certificate and its pieces, for direct calls.
struct Item {
  tovel::UniquePtr<X509> cert;
  tovel::UniquePtr<X509_CINF> tbs;
  const ASN1_BIT_STRING* signature = nullptr;
  const X509_ALGOR* algorithm = nullptr;
};
Item ItemOf(const Bytes& der) {
  Item item;
  item.cert = CertFromDer(der);
  const Bytes tbs = Split(der).tbs;
  const unsigned char* p = tbs.data();
  item.tbs.reset(d2i_X509_CINF(nullptr, &p, static_cast<long>(tbs.size())));
  EXPECT_NE(item.tbs, nullptr);
  X509_get0_signature(&item.signature, &item.algorithm, item.cert.get());
  return item;
}

tovel::UniquePtr<X509_ALGOR> AlgorithmOf(int nid) {
  tovel::UniquePtr<X509_ALGOR> alg(X509_ALGOR_new());
  X509_ALGOR_set0(alg.get(), OBJ_nid2obj(nid), V_ASN1_UNDEF, nullptr);
  return alg;
}

TEST_F(ItemVerifyTest, ResultsAndErrorEntriesWhenTheCheckCannotStartOrFails) {
  const Item item = ItemOf(pki.sm2Leaf);
  const ASN1_ITEM* it = ASN1_ITEM_rptr(X509_CINF);
  EC_KEY* bare = EC_KEY_new();
  PkeyPtr noGroup(EVP_PKEY_new());
  ASSERT_EQ(EVP_PKEY_assign_EC_KEY(noGroup.get(), bare), 1);
  const tovel::UniquePtr<X509_ALGOR> pkcs7Alg = AlgorithmOf(sm_obj_nid(SM_OBJ_SM2_SM3_PKCS7));
  const tovel::UniquePtr<X509_ALGOR> ecdsaSha256 = AlgorithmOf(NID_ecdsa_with_SHA256);
  const tovel::UniquePtr<X509_ALGOR> rsaSha256 = AlgorithmOf(NID_sha256WithRSAEncryption);
  tovel::UniquePtr<X509_ALGOR> unknownDigest = AlgorithmOf(NID_md2WithRSAEncryption);
  ASSERT_EQ(EVP_get_digestbyname("MD2"), nullptr) << "the fixture needs a digest the library lacks";
  struct Case {
    const char* name;
    const X509_ALGOR* alg;
    EVP_PKEY* key;
    int result;
    int reason;
  };
  const Case cases[] = {
      {"no key", item.algorithm, nullptr, -1, ERR_R_PASSED_NULL_PARAMETER},
      {"sm2-sm3-pkcs7 is no signature algorithm", pkcs7Alg.get(), pki.sm2CaKey.get(), -1,
       ASN1_R_UNKNOWN_SIGNATURE_ALGORITHM},
      {"digest the library lacks", unknownDigest.get(), pki.rsaCaKey.get(), -1,
       ASN1_R_UNKNOWN_MESSAGE_DIGEST_ALGORITHM},
      {"RSA key under sm2-sm3", item.algorithm, pki.rsaCaKey.get(), -1,
       ASN1_R_WRONG_PUBLIC_KEY_TYPE},
      {"SM2 key under an RSA algorithm", rsaSha256.get(), pki.sm2CaKey.get(), -1,
       ASN1_R_WRONG_PUBLIC_KEY_TYPE},
      {"EC key without a group", ecdsaSha256.get(), noGroup.get(), 0, ERR_R_EC_LIB},
      {"wrong SM2 key", item.algorithm, pki.sm2LeafKey.get(), 0, ERR_R_EVP_LIB},
      // The library keeps keys on the SM2 curve ("SM2") and "EC" keys apart.
      {"P-256 key under sm2-sm3", item.algorithm, pki.ecCaKey.get(), -1,
       ASN1_R_WRONG_PUBLIC_KEY_TYPE},
      {"SM2 key under ecdsa-with-SHA256", ecdsaSha256.get(), pki.sm2CaKey.get(), -1,
       ASN1_R_WRONG_PUBLIC_KEY_TYPE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(verify_signed_item(it, c.alg, item.signature, item.tbs.get(), c.key), c.result);
    ExpectNewestError(ERR_LIB_ASN1, c.reason, kFuncItemVerify);
  }
  EXPECT_EQ(
      verify_signed_item(it, item.algorithm, item.signature, item.tbs.get(), pki.sm2CaKey.get()),
      1);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

// The signature bits of a certificate or CRL holding sig.
tovel::UniquePtr<ASN1_STRING> BitsOf(const Bytes& sig) {
  tovel::UniquePtr<ASN1_STRING> bits(ASN1_BIT_STRING_new());
  ASN1_BIT_STRING_set(bits.get(), const_cast<unsigned char*>(sig.data()),
                      static_cast<int>(sig.size()));
  return bits;
}

TEST_F(ItemVerifyTest, SmCurveKeyUnderAnotherDigestIsRefusedAsByTheLibrary) {
  // ecdsa-with-SHA256 by a key on the SM2 curve: the library refuses the key
  // type (-1) before any signature code runs, since it types such keys "SM2"
  // and pairs that type with sm2-sm3 only. The check here refuses it the
  // same way, whether the signature is SM2 over SHA-256(DER) or over
  // SHA-256(Z || DER).
  const Item item = ItemOf(pki.sm2Leaf);
  const tovel::UniquePtr<X509_ALGOR> alg = AlgorithmOf(NID_ecdsa_with_SHA256);
  const KeyNumbers k = NumbersOf(pki.sm2CaKey.get());
  const Bytes tbs = Split(pki.sm2Leaf).tbs;
  const Bytes withoutZ = Sm2SignDigest(DigestOf("SHA256", tbs), k.d.get(), Sm2CurveNid());
  const Bytes withZ =
      Sm2SignDigest(DigestOf("SHA256", Concat({ZOf(k.x.get(), k.y.get(), kDistId), tbs})),
                    k.d.get(), Sm2CurveNid());
  for (const Bytes& sig : {withoutZ, withZ}) {
    EXPECT_EQ(verify_signed_item(ASN1_ITEM_rptr(X509_CINF), alg.get(), BitsOf(sig).get(),
                                 item.tbs.get(), pki.sm2CaKey.get()),
              -1);
    ExpectNewestError(ERR_LIB_ASN1, ASN1_R_WRONG_PUBLIC_KEY_TYPE, kFuncItemVerify);
  }
  EXPECT_EQ(X509_verify(CertFromDer(pki.ecLeaf).get(), pki.sm2CaKey.get()), -1);
  EXPECT_EQ(OurCertVerify(pki.ecLeaf, pki.sm2CaKey.get()), -1);
  ERR_clear_error();
}

// The key pair of ec as a key of the extension's provider.
PkeyPtr ProviderKeyOf(const EC_KEY* ec) {
  if (smext_provider_load() != 1) {
    return nullptr;
  }
  unsigned char* pub = nullptr;
  const size_t pubLen = EC_KEY_key2buf(ec, POINT_CONVERSION_UNCOMPRESSED, &pub, nullptr);
  const tovel::OpenSslPtr<unsigned char> ownedPub(pub);
  const char* curve = OBJ_nid2sn(EC_GROUP_get_curve_name(EC_KEY_get0_group(ec)));
  const tovel::UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  if (pubLen == 0 || curve == nullptr || bld == nullptr ||
      !OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve, 0) ||
      !OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, pub, pubLen) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, EC_KEY_get0_private_key(ec))) {
    return nullptr;
  }
  const tovel::UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
  const tovel::UniquePtr<EVP_PKEY_CTX> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "SM2", "provider=" SMEXT_PROVIDER_NAME));
  EVP_PKEY* key = nullptr;
  if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1) {
    return nullptr;
  }
  return PkeyPtr(key);
}

// A key pair on the SM2 test curve.
tovel::UniquePtr<EC_KEY> NewTestCurveEcKey() {
  const tovel::UniquePtr<EC_GROUP> group(sm_ec_group_new(Sm2TestCurveNid()));
  tovel::UniquePtr<EC_KEY> ec(EC_KEY_new());
  EXPECT_TRUE(group != nullptr && ec != nullptr && EC_KEY_set_group(ec.get(), group.get()) == 1 &&
              EC_KEY_generate_key(ec.get()) == 1);
  return ec;
}

TEST_F(ItemVerifyTest, TestCurveKeyGetsNoZAndIsCheckedOnItsOwnCurve) {
  const int testCurve = Sm2TestCurveNid();
  const tovel::UniquePtr<EC_KEY> owned = NewTestCurveEcKey();
  EC_KEY* ec = owned.get();
  const BIGNUM* d = EC_KEY_get0_private_key(ec);
  BnPtr x(BN_new()), y(BN_new());
  ASSERT_EQ(EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), EC_KEY_get0_public_key(ec),
                                            x.get(), y.get(), nullptr),
            1);
  // Keys on the test curve reach the library as keys of the extension's
  // provider, typed "SM2"; as a plain "EC" key the library refuses the pairing
  // with sm2-sm3, and so does the check here.
  PkeyPtr key = ProviderKeyOf(ec);
  ASSERT_NE(key, nullptr);
  PkeyPtr plainEc(EVP_PKEY_new());
  ASSERT_EQ(EVP_PKEY_set1_EC_KEY(plainEc.get(), ec), 1);

  const Item item = ItemOf(pki.sm2Leaf);
  const Bytes tbs = Split(pki.sm2Leaf).tbs;
  struct Case {
    const char* name;
    Bytes sig;
    int expected;
  };
  const Case cases[] = {
      {"SM3 of the encoding, test curve", Sm2SignDigest(LibrarySm3({tbs}), d, testCurve), 1},
      {"SM3 of Z and the encoding",
       Sm2SignDigest(LibrarySm3({ZOf(x.get(), y.get(), kDistId), tbs}), d, testCurve), 0},
      {"same scalar on the SM2 curve", Sm2SignDigest(LibrarySm3({tbs}), d, Sm2CurveNid()), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const tovel::UniquePtr<ASN1_STRING> bits = BitsOf(c.sig);
    EXPECT_EQ(verify_signed_item(ASN1_ITEM_rptr(X509_CINF), item.algorithm, bits.get(),
                                 item.tbs.get(), key.get()),
              c.expected);
    ERR_clear_error();
    EXPECT_EQ(verify_signed_item(ASN1_ITEM_rptr(X509_CINF), item.algorithm, bits.get(),
                                 item.tbs.get(), plainEc.get()),
              -1);
    ExpectNewestError(ERR_LIB_ASN1, ASN1_R_WRONG_PUBLIC_KEY_TYPE, kFuncItemVerify);
  }
}

// The SM2 check takes a 32-byte digest: under an ECDSA algorithm with another
// digest (a plain EC key on the test curve, which the library pairs with
// those algorithms), a signature over the digest's first 32 bytes, or over
// a shorter digest, is invalid.
TEST_F(ItemVerifyTest, Sm2CheckTakesOnly32ByteDigests) {
  const tovel::UniquePtr<EC_KEY> ec = NewTestCurveEcKey();
  PkeyPtr key(EVP_PKEY_new());
  ASSERT_EQ(EVP_PKEY_set1_EC_KEY(key.get(), ec.get()), 1);
  const Item item = ItemOf(pki.sm2Leaf);
  const Bytes tbs = Split(pki.sm2Leaf).tbs;
  struct Case {
    int algorithm;
    const char* digest;
    int expected;
  } const cases[] = {
      {NID_ecdsa_with_SHA1, "SHA1", 0},
      {NID_ecdsa_with_SHA256, "SHA256", 1},
      {NID_ecdsa_with_SHA384, "SHA384", 0},
      {NID_ecdsa_with_SHA512, "SHA512", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digest);
    const Bytes digest = DigestOf(c.digest, tbs);
    const BnPtr e(
        BN_bin2bn(digest.data(), static_cast<int>(std::min<size_t>(digest.size(), 32)), nullptr));
    const SigPtr sig(sm2_sign(e.get(), EC_KEY_get0_private_key(ec.get()), Sm2TestCurveNid()));
    ASSERT_NE(sig, nullptr);
    unsigned char* der = nullptr;
    const int len = i2d_ECDSA_SIG(sig.get(), &der);
    const tovel::UniquePtr<ASN1_STRING> bits = BitsOf(Bytes(der, der + len));
    OPENSSL_free(der);
    const tovel::UniquePtr<X509_ALGOR> alg = AlgorithmOf(c.algorithm);
    EXPECT_EQ(verify_signed_item(ASN1_ITEM_rptr(X509_CINF), alg.get(), bits.get(), item.tbs.get(),
                                 key.get()),
              c.expected);
    ERR_clear_error();
  }
}

TEST_F(ItemVerifyTest, MismatchedOuterAlgorithmIsRefusedAsByTheLibrary) {
  // The outer algorithm says ecdsa-with-SHA256, the signed part sm2-sm3.
  SignedParts parts = Split(pki.sm2Leaf);
  const tovel::UniquePtr<X509_ALGOR> alg = AlgorithmOf(NID_ecdsa_with_SHA256);
  unsigned char* der = nullptr;
  const int len = i2d_X509_ALGOR(alg.get(), &der);
  parts.algorithm.assign(der, der + len);
  OPENSSL_free(der);
  const Bytes mismatched = Join(parts);
  EXPECT_EQ(OurCertVerify(mismatched, pki.sm2CaKey.get()), 0);
  EXPECT_EQ(X509_verify(CertFromDer(mismatched).get(), pki.sm2CaKey.get()), 0);
  ERR_clear_error();
}

}  // namespace
}  // namespace sm2test
