// SM2 signatures through every public road, beside the stock library on the
// same bytes: a signature verifies only as the exact DER of {r, s}; one that
// does not verify gives 0; SM2 signs and checks 32-byte digests only; the
// library's certificate check and verify_signed_item agree.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <functional>
#include <string>
#include <vector>

#include "smext/sm2_pkey.h"
#include "smext/sm_item_verify.h"
#include "tests/prov/ProvTestSupport.h"

TOVEL_DEFINE_DELETER(X509_CRL_INFO, X509_CRL_INFO_free);

namespace provtest {
namespace {

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes StockDigest(const char* name, const Bytes& data) {
  tovel::UniquePtr<EVP_MD> md(EVP_MD_fetch(nullptr, name, kStock));
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, md.get(), nullptr), 1);
  out.resize(len);
  return out;
}

// One signature written in the ways a BER decoder reads as the same {r, s}.
struct Encoding {
  const char* name;
  bool der;
  Bytes (*make)(const Bytes& sig);
};

// sig is 30 L 02 Lr r 02 Ls s with short-form lengths.
const Encoding kEncodings[] = {
    {"as made", true, [](const Bytes& s) { return s; }},
    {"1 trailing byte", false, [](const Bytes& s) { return Cat(s, {0x00}); }},
    {"2 trailing bytes", false,
     [](const Bytes& s) {
       return Cat(s, {0x00, 0x00});
     }},
    {"4 trailing bytes", false, [](const Bytes& s) { return Cat(s, Text("abcd")); }},
    {"long-form SEQUENCE length", false,
     [](const Bytes& s) {
       return Cat({0x30, 0x81, s[1]}, Bytes(s.begin() + 2, s.end()));
     }},
    {"long-form length of r", false,
     [](const Bytes& s) {
       return Cat({0x30, static_cast<uint8_t>(s[1] + 1), 0x02, 0x81},
                  Bytes(s.begin() + 3, s.end()));
     }},
    {"BER indefinite length", false,
     [](const Bytes& s) {
       return Cat(Cat({0x30, 0x80}, Bytes(s.begin() + 2, s.end())), {0, 0});
     }},
    {"r padded with 00", false,
     [](const Bytes& s) {
       return Cat(
           {0x30, static_cast<uint8_t>(s[1] + 1), 0x02, static_cast<uint8_t>(s[3] + 1), 0x00},
           Bytes(s.begin() + 4, s.end()));
     }},
};

Cert NewCert(const char* subject, const char* issuer, EVP_PKEY* subjectKey, long serial, bool ca) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(subject), -1, -1, 0);
  X509_NAME_add_entry_by_txt(X509_get_issuer_name(cert.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(issuer), -1, -1, 0);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_set_pubkey(cert.get(), subjectKey);
  if (ca) {
    X509_EXTENSION* ext =
        X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  return cert;
}

// A stock-library digest-sign context with SM3 and the default identity.
MdCtx StockSm3Signer(EVP_PKEY* key) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  EXPECT_EQ(EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, kStock, key, nullptr), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set1_id(pctx, kDefaultId.data(), kDefaultId.size()), 1);
  return md;
}

// The stock library's own signed-item check of the signed part tbs (of type
// it), with the default identity: the same bytes as the roads here check.
template <typename T>
int StockItemVerify(const ASN1_ITEM* it, T* (*decode)(T**, const unsigned char**, long),
                    const Bytes& tbs, const X509_ALGOR* alg, const ASN1_BIT_STRING* sig,
                    EVP_PKEY* key) {
  const tovel::UniquePtr<T> value = Decoded(decode, tbs);
  tovel::UniquePtr<ASN1_STRING> id(ASN1_OCTET_STRING_new());
  ASN1_OCTET_STRING_set(id.get(), reinterpret_cast<const unsigned char*>(kDefaultId.data()),
                        static_cast<int>(kDefaultId.size()));
  return value != nullptr
             ? ASN1_item_verify_ex(it, alg, sig, value.get(), id.get(), key, nullptr, kStock)
             : -100;
}

// Everything the roads check, made once by the stock library: an SM2 CA, a
// leaf it issued, a CRL, a signed digest and signed data (SM3, default
// identity), and a second CA of the same name with another key.
struct RoadPki {
  RoadPki() {
    caKey = NewStockSm2Key();
    otherKey = NewStockSm2Key();
    ca = NewCert("road CA", "road CA", caKey.get(), 1, true);
    otherCa = NewCert("road CA", "road CA", otherKey.get(), 1, true);
    leaf = NewCert("road leaf", "road CA", otherKey.get(), 2, false);
    ok = X509_sign_ctx(ca.get(), StockSm3Signer(caKey.get()).get()) > 0 &&
         X509_sign_ctx(otherCa.get(), StockSm3Signer(otherKey.get()).get()) > 0 &&
         X509_sign_ctx(leaf.get(), StockSm3Signer(caKey.get()).get()) > 0;
    crl = NewCrl(ca.get());
    ok = ok && X509_CRL_sign_ctx(crl.get(), StockSm3Signer(caKey.get()).get()) > 0;
    // Round trips through DER, so that every copy starts from the same bytes.
    leaf = FromDer(Der(leaf.get()));
    crl = CrlFromDer(Der(crl.get()));
    digest = StockDigest("SM3", Text("a digest of some message"));
    digestSig = Sign(caKey.get(), digest, kStock);
    data = Text("message digest");
    dataSig = DigestSign(caKey.get(), data, kStock, &kDefaultId);
    ok = ok && leaf && crl && !digestSig.empty() && !dataSig.empty();
    if (ok) {
      leafSig = SignatureOf(leaf.get());
      crlSig = SignatureOf(crl.get());
    }
    ERR_clear_error();
  }
  bool ok = false;
  Pkey caKey, otherKey;
  Cert ca, otherCa, leaf;
  Crl crl;
  Bytes digest, digestSig, data, dataSig, leafSig, crlSig;
};

RoadPki& Shared() {
  static RoadPki pki;
  return pki;
}

// The leaf with signature sig; when changed, with another serial number (a
// signed part that differs from what was signed).
Cert LeafWith(const Bytes& sig, bool changed) {
  Cert copy(X509_dup(Shared().leaf.get()));
  if (changed) {
    tovel::UniquePtr<ASN1_STRING> serial(ASN1_INTEGER_new());
    ASN1_INTEGER_set(serial.get(), 99);
    X509_set_serialNumber(copy.get(), serial.get());
    i2d_re_X509_tbs(copy.get(), nullptr);
  }
  return WithSignature(copy.get(), sig);
}

Crl CrlWith(const Bytes& sig, bool changed) {
  Crl copy(X509_CRL_dup(Shared().crl.get()));
  if (changed) {
    ASN1_TIME* later = X509_gmtime_adj(nullptr, 120);
    X509_CRL_set1_lastUpdate(copy.get(), later);
    ASN1_TIME_free(later);
    i2d_re_X509_CRL_tbs(copy.get(), nullptr);
  }
  const ASN1_BIT_STRING* bits = nullptr;
  X509_CRL_get0_signature(copy.get(), &bits, nullptr);
  SetSignatureBits(bits, sig);
  return CrlFromDer(Der(copy.get()));
}

int StockCertVerify(X509* cert, EVP_PKEY* key) {
  const ASN1_BIT_STRING* sig = nullptr;
  const X509_ALGOR* alg = nullptr;
  X509_get0_signature(&sig, &alg, cert);
  return StockItemVerify(ASN1_ITEM_rptr(X509_CINF), d2i_X509_CINF, Tbs(cert), alg, sig, key);
}

int StockCrlVerify(X509_CRL* crl, EVP_PKEY* key) {
  const ASN1_BIT_STRING* sig = nullptr;
  const X509_ALGOR* alg = nullptr;
  X509_CRL_get0_signature(crl, &sig, &alg);
  return StockItemVerify(ASN1_ITEM_rptr(X509_CRL_INFO), d2i_X509_CRL_INFO,
                         Encoded(i2d_re_X509_CRL_tbs, crl), alg, sig, key);
}

// A road through which a signature is checked: the extension's answer through
// the library, and the stock library's on the same bytes. changed alters
// what was signed (digest, data, signed part).
struct Road {
  const char* name;
  Bytes sig;  // valid, made by the stock library
  std::function<int(const Bytes& sig, EVP_PKEY* key, bool changed)> ours;
  std::function<int(const Bytes& sig, EVP_PKEY* key, bool changed)> stock;
};

std::vector<Road> Roads() {
  RoadPki& pki = Shared();
  auto digestFor = [&pki](bool changed) {
    Bytes d = pki.digest;
    d[0] ^= changed ? 0x01 : 0x00;
    return d;
  };
  auto dataFor = [&pki](bool changed) { return changed ? Cat(pki.data, {'!'}) : pki.data; };
  auto stockData = [=, &pki](const Bytes& s, EVP_PKEY* k, bool c) {
    return DigestVerify(k, s, dataFor(c), kStock, &kDefaultId);
  };
  auto stockCert = [](const Bytes& s, EVP_PKEY* k, bool c) {
    return StockCertVerify(LeafWith(s, c).get(), k);
  };
  auto stockCrl = [](const Bytes& s, EVP_PKEY* k, bool c) {
    return StockCrlVerify(CrlWith(s, c).get(), k);
  };
  return {
      {"EVP_PKEY_verify", pki.digestSig,
       [=](const Bytes& s, EVP_PKEY* k, bool c) { return Verify(k, s, digestFor(c), nullptr); },
       [=](const Bytes& s, EVP_PKEY* k, bool c) { return Verify(k, s, digestFor(c), kStock); }},
      {"EVP_DigestVerify", pki.dataSig,
       [=](const Bytes& s, EVP_PKEY* k, bool c) {
         return DigestVerify(k, s, dataFor(c), nullptr, nullptr);
       },
       stockData},
      {"EVP_DigestVerifyUpdate and Final", pki.dataSig,
       [=](const Bytes& s, EVP_PKEY* k, bool c) {
         const Bytes data = dataFor(c);
         MdCtx md(EVP_MD_CTX_new());
         if (EVP_DigestVerifyInit_ex(md.get(), nullptr, "SM3", nullptr, nullptr, k, nullptr) != 1 ||
             EVP_DigestVerifyUpdate(md.get(), data.data(), 3) != 1 ||
             EVP_DigestVerifyUpdate(md.get(), data.data() + 3, data.size() - 3) != 1) {
           return -100;
         }
         return EVP_DigestVerifyFinal(md.get(), s.data(), s.size());
       },
       stockData},
      {"X509_verify", pki.leafSig,
       [](const Bytes& s, EVP_PKEY* k, bool c) { return X509_verify(LeafWith(s, c).get(), k); },
       stockCert},
      {"verify_signed_item of the certificate", pki.leafSig,
       [](const Bytes& s, EVP_PKEY* k, bool c) { return sm_x509_verify(LeafWith(s, c).get(), k); },
       stockCert},
      {"X509_CRL_verify", pki.crlSig,
       [](const Bytes& s, EVP_PKEY* k, bool c) { return X509_CRL_verify(CrlWith(s, c).get(), k); },
       stockCrl},
      {"verify_signed_item of the CRL", pki.crlSig,
       [](const Bytes& s, EVP_PKEY* k, bool c) {
         return sm_x509_crl_verify(CrlWith(s, c).get(), k);
       },
       stockCrl},
  };
}

Bytes FlipLastBit(Bytes sig) {
  sig.back() ^= 0x01;  // the lowest bit of s: still DER
  return sig;
}

class SignatureRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Shared().ok) << "the stock library could not make the fixtures";
    ERR_clear_error();
  }
  void TearDown() override { ERR_clear_error(); }
  EVP_PKEY* key() const { return Shared().caKey.get(); }
};

TEST_F(SignatureRoadTest, OnlyTheExactDerOfASignatureVerifies) {
  for (const Road& road : Roads()) {
    for (const Encoding& encoding : kEncodings) {
      SCOPED_TRACE(testing::Message() << road.name << ", " << encoding.name);
      const Bytes sig = encoding.make(road.sig);
      const int stock = road.stock(sig, key(), false);
      EXPECT_EQ(stock == 1, encoding.der) << "the stock library gave " << stock;
      EXPECT_EQ(road.ours(sig, key(), false), encoding.der ? 1 : 0);
      ERR_clear_error();
    }
  }
}

TEST_F(SignatureRoadTest, ASignatureThatDoesNotVerifyGivesZero) {
  struct Variant {
    const char* name;
    Bytes (*sig)(const Bytes& valid);
    bool otherKey;
    bool changed;
  } const variants[] = {
      {"flipped bit", [](const Bytes& v) { return FlipLastBit(v); }, false, false},
      {"wrong key", [](const Bytes& v) { return v; }, true, false},
      {"wrong message", [](const Bytes& v) { return v; }, false, true},
      {"empty signature", [](const Bytes&) { return Bytes{}; }, false, false},
  };
  for (const Road& road : Roads()) {
    SCOPED_TRACE(road.name);
    EXPECT_EQ(road.ours(road.sig, key(), false), 1) << "the valid signature";
    for (const Variant& v : variants) {
      SCOPED_TRACE(v.name);
      EVP_PKEY* k = v.otherKey ? Shared().otherKey.get() : key();
      const Bytes sig = v.sig(road.sig);
      EXPECT_NE(road.stock(sig, k, v.changed), 1);
      EXPECT_EQ(road.ours(sig, k, v.changed), 0);
      ERR_clear_error();
    }
  }
  // Chain verification: the signature failure, error 7.
  const Bytes& leafSig = Shared().leafSig;
  EXPECT_EQ(VerifyChain(LeafWith(leafSig, false).get(), Shared().ca.get()),
            std::make_pair(1, X509_V_OK));
  for (const Variant& v : variants) {
    SCOPED_TRACE(testing::Message() << "X509_verify_cert, " << v.name);
    X509* anchor = v.otherKey ? Shared().otherCa.get() : Shared().ca.get();
    EXPECT_EQ(VerifyChain(LeafWith(v.sig(leafSig), v.changed).get(), anchor),
              std::make_pair(0, X509_V_ERR_CERT_SIGNATURE_FAILURE));
  }
}

TEST_F(SignatureRoadTest, Sm2SignsAndChecks32ByteDigestsOnly) {
  Bytes pattern(64);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(7 * i + 1);
  const Bytes d(pattern.begin(), pattern.begin() + 32);
  const Bytes signedD = Sign(key(), d, kStock);
  ASSERT_FALSE(signedD.empty());
  const Bytes data = Text("the data of a digest-sign");
  struct Row {
    size_t len;
    const char* md;  // a digest of that length, for digest-sign and digest-verify
  } const rows[] = {{0, nullptr},   {1, nullptr},  {20, "SHA1"},   {31, nullptr},
                    {32, "SHA256"}, {33, nullptr}, {48, "SHA384"}, {64, "SHA512"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.len << " bytes");
    const bool sm2Size = row.len == 32;
    // A prefix of D, D itself, or D followed by more bytes.
    const Bytes input(pattern.begin(), pattern.begin() + static_cast<long>(row.len));

    PkeyCtx ctx = CtxFor(key());
    ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
    Bytes out(72, 0xEE);
    size_t outLen = out.size();
    const int signedOk = EVP_PKEY_sign(ctx.get(), out.data(), &outLen, input.data(), input.size());
    EXPECT_EQ(Sign(key(), input, kStock).empty(), !sm2Size) << "the stock library";
    if (sm2Size) {
      EXPECT_EQ(signedOk, 1);
      out.resize(outLen);
      EXPECT_EQ(Verify(key(), out, input, kStock), 1);
    } else {
      EXPECT_LE(signedOk, 0);
      EXPECT_EQ(out, Bytes(72, 0xEE)) << "written although refused";
      EXPECT_EQ(outLen, 72u);
      EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST, "32-byte digest"));
    }

    // A signature over D checks against D alone, never against D || X.
    EXPECT_EQ(Verify(key(), signedD, input, kStock) == 1, sm2Size) << "the stock library";
    EXPECT_EQ(Verify(key(), signedD, input, nullptr), sm2Size ? 1 : 0);
    ERR_clear_error();

    if (row.md == nullptr) continue;
    const Bytes ours = DigestSign(key(), data, nullptr, nullptr, row.md);
    if (sm2Size) {
      EXPECT_EQ(DigestVerify(key(), ours, data, nullptr, nullptr, row.md), 1);
      continue;
    }
    EXPECT_TRUE(ours.empty());
    EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST, row.md));
    // Digest-verify refuses the digest as it is set up, before any signature
    // is read: none can be checked against a part of that digest.
    EXPECT_EQ(DigestVerify(key(), signedD, data, nullptr, nullptr, row.md), -100)
        << "the digest is refused when the check is set up";
    EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST, row.md));
  }
}

// The digest named is the digest used: SHA-256 through the extension's
// digest-sign is SM2 of SHA-256(message), no Z, both ways.
TEST_F(SignatureRoadTest, DigestSignWithSha256IsSm2OfTheSha256Digest) {
  const Bytes msg = Text("digest-sign with SHA-256");
  OpCounter ops;
  const Bytes ours = DigestSign(key(), msg, nullptr, nullptr, "SHA256");
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(ops[SMEXT_OP_DIGEST_SIGN], 1);
  EXPECT_EQ(Verify(key(), ours, StockDigest("SHA256", msg), kStock), 1);
  const Bytes stock = Sign(key(), StockDigest("SHA256", msg), kStock);
  EXPECT_EQ(DigestVerify(key(), stock, msg, nullptr, nullptr, "SHA256"), 1);
  EXPECT_EQ(ops[SMEXT_OP_DIGEST_VERIFY], 1);
}

// A key on the SM2 test curve, of the extension's provider.
Pkey NewTestCurveKey() {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", "provider=smext"));
  char curve[] = "ChinaSM2TEST256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, curve, 0),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_params(ctx.get(), params) != 1 || EVP_PKEY_generate(ctx.get(), &key) != 1) {
    ADD_FAILURE() << "no key on the SM2 test curve";
  }
  return Pkey(key);
}

// A certificate carrying algorithm algNid whose signature is the issuer's
// signature (picked by propq) of mdName over the signed part.
Cert HandSigned(EVP_PKEY* issuer, int algNid, const char* mdName, const char* propq) {
  Cert cert = NewCert("agree leaf", "agree CA", Shared().otherKey.get(), 5, false);
  const X509_ALGOR* outer = nullptr;
  X509_get0_signature(nullptr, &outer, cert.get());
  for (const X509_ALGOR* alg : {X509_get0_tbs_sigalg(cert.get()), outer}) {
    X509_ALGOR_set0(const_cast<X509_ALGOR*>(alg), OBJ_nid2obj(algNid), V_ASN1_UNDEF, nullptr);
  }
  const Bytes sig = Sign(issuer, StockDigest(mdName, Tbs(cert.get())), propq);
  EXPECT_FALSE(sig.empty());
  return WithSignature(cert.get(), sig);
}

Cert LibrarySigned(EVP_PKEY* issuer, const EVP_MD* md) {
  Cert cert = NewCert("agree leaf", "agree CA", Shared().otherKey.get(), 5, false);
  EXPECT_GT(X509_sign(cert.get(), issuer, md), 0);
  return FromDer(Der(cert.get()));
}

TEST_F(SignatureRoadTest, TheLibrarysCheckAndVerifySignedItemAgree) {
  Pkey testCurve = NewTestCurveKey();
  Pkey p256(EVP_PKEY_Q_keygen(nullptr, kStock, "EC", "P-256"));
  ASSERT_TRUE(testCurve && p256);
  EVP_PKEY* sm2 = key();
  struct Row {
    const char* name;
    EVP_PKEY* issuer;
    Cert cert;
    int expected;  // of the valid signature; a flipped bit gives 0 where it is 1
  };
  Row rows[] = {
      {"SM2 curve, sm2-sm3", sm2, LibrarySigned(sm2, EVP_sm3()), 1},
      {"SM2 test curve, sm2-sm3", testCurve.get(), LibrarySigned(testCurve.get(), EVP_sm3()), 1},
      {"P-256, ecdsa-with-SHA256", p256.get(), LibrarySigned(p256.get(), EVP_sha256()), 1},
      // The library types keys on either SM2 curve "SM2" and pairs that type
      // with sm2-sm3 only: it refuses these before any signature code runs.
      {"SM2 curve, ecdsa-with-SHA256", sm2,
       HandSigned(sm2, NID_ecdsa_with_SHA256, "SHA256", kStock), -1},
      {"SM2 test curve, ecdsa-with-SHA256", testCurve.get(),
       HandSigned(testCurve.get(), NID_ecdsa_with_SHA256, "SHA256", nullptr), -1},
      {"P-256, sm2-sm3", p256.get(), HandSigned(p256.get(), NID_SM2_with_SM3, "SM3", kStock), -1},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(row.cert);
    const Cert flipped = WithSignature(row.cert.get(), FlipLastBit(SignatureOf(row.cert.get())));
    for (X509* cert : {row.cert.get(), flipped.get()}) {
      const int expected = cert == flipped.get() && row.expected == 1 ? 0 : row.expected;
      const int library = X509_verify(cert, row.issuer);
      ERR_clear_error();
      EXPECT_EQ(library, expected);
      EXPECT_EQ(sm_x509_verify(cert, row.issuer), library);
      ERR_clear_error();
    }
  }
  // On the test curve neither road hashes a Z: the signature is SM2 of
  // SM3(signed part) alone.
  X509* testCurveCert = rows[1].cert.get();
  EXPECT_EQ(Verify(testCurve.get(), SignatureOf(testCurveCert),
                   StockDigest("SM3", Tbs(testCurveCert)), nullptr),
            1);
}

// A signature whose last bit is 0: issuing is tried again until one is made,
// so that declaring that bit unused leaves the signature's bytes as they are.
template <typename T>
tovel::UniquePtr<T> SignedEndingInZeroBit(const std::function<tovel::UniquePtr<T>()>& issue) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    tovel::UniquePtr<T> item = issue();
    if (item != nullptr && (SignatureOf(item.get()).back() & 1) == 0) return item;
  }
  ADD_FAILURE() << "no signature ending in a zero bit in 64";
  return nullptr;
}

// Makes the signature BIT STRING declare its last bit unused when encoded.
void DeclareOneUnusedBit(const ASN1_BIT_STRING* bits) {
  auto* mutableBits = const_cast<ASN1_BIT_STRING*>(bits);
  mutableBits->flags &= ~0x07L;
  mutableBits->flags |= ASN1_STRING_FLAG_BITS_LEFT | 1;
}

// A signature BIT STRING that declares unused bits is not DER. The library
// refuses it as its signed-item check starts (-1), and so does
// verify_signed_item, even where the bits it leaves out are 0 and the
// signature's bytes are those of a valid signature: else one certificate
// would have a second encoding that verifies.
TEST_F(SignatureRoadTest, ASignatureWithUnusedBitsIsRefused) {
  Pkey p256(EVP_PKEY_Q_keygen(nullptr, kStock, "EC", "P-256"));
  ASSERT_TRUE(p256);
  for (EVP_PKEY* issuer : {key(), p256.get()}) {
    SCOPED_TRACE(issuer == key() ? "SM2 issuer" : "P-256 issuer");
    const EVP_MD* md = issuer == key() ? EVP_sm3() : EVP_sha256();
    const Cert cert = SignedEndingInZeroBit<X509>([&] { return LibrarySigned(issuer, md); });
    const Crl crl = SignedEndingInZeroBit<X509_CRL>([&] {
      Crl made(X509_CRL_dup(Shared().crl.get()));
      EXPECT_GT(X509_CRL_sign(made.get(), issuer, md), 0);
      return CrlFromDer(Der(made.get()));
    });
    ASSERT_TRUE(cert && crl);
    ASSERT_EQ(X509_verify(cert.get(), issuer), 1);
    ASSERT_EQ(X509_CRL_verify(crl.get(), issuer), 1);

    Cert certCopy(X509_dup(cert.get()));
    const ASN1_BIT_STRING* bits = nullptr;
    X509_get0_signature(&bits, nullptr, certCopy.get());
    DeclareOneUnusedBit(bits);
    const Cert unusedCert = FromDer(Der(certCopy.get()));
    Crl crlCopy(X509_CRL_dup(crl.get()));
    X509_CRL_get0_signature(crlCopy.get(), &bits, nullptr);
    DeclareOneUnusedBit(bits);
    const Crl unusedCrl = CrlFromDer(Der(crlCopy.get()));
    ASSERT_TRUE(unusedCert && unusedCrl);
    EXPECT_EQ(SignatureOf(unusedCert.get()), SignatureOf(cert.get()));
    EXPECT_EQ(SignatureOf(unusedCrl.get()), SignatureOf(crl.get()));
    EXPECT_NE(Der(unusedCert.get()), Der(cert.get()));

    const struct {
      const char* road;
      std::function<int()> check;
    } roads[] = {
        {"X509_verify", [&] { return X509_verify(unusedCert.get(), issuer); }},
        {"stock certificate check", [&] { return StockCertVerify(unusedCert.get(), issuer); }},
        {"sm_x509_verify", [&] { return sm_x509_verify(unusedCert.get(), issuer); }},
        {"X509_CRL_verify", [&] { return X509_CRL_verify(unusedCrl.get(), issuer); }},
        {"stock CRL check", [&] { return StockCrlVerify(unusedCrl.get(), issuer); }},
        {"sm_x509_crl_verify", [&] { return sm_x509_crl_verify(unusedCrl.get(), issuer); }},
    };
    for (const auto& road : roads) {
      SCOPED_TRACE(road.road);
      EXPECT_EQ(road.check(), -1);
      EXPECT_TRUE(HadError(ERR_LIB_ASN1, ASN1_R_INVALID_BIT_STRING_BITS_LEFT));
    }
  }
}

// The signature algorithm identifier exists for SM3 only; asking for it with
// another digest fails and says why, so certificates are not signed under an
// identifier that no check accepts.
TEST_F(SignatureRoadTest, AlgorithmIdentifierOnlyForSm3) {
  struct Row {
    const char* md;
    const char* expectedDer;  // null: the get fails
  } const rows[] = {{"SM3", "300a06082a811ccf55018375"}, {"SHA256", nullptr}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.md);
    MdCtx md(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    ASSERT_EQ(EVP_DigestSignInit_ex(md.get(), &pctx, row.md, nullptr, nullptr, key(), nullptr), 1);
    unsigned char aid[128];
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, aid, sizeof(aid)),
        OSSL_PARAM_construct_end()};
    const int got = EVP_PKEY_CTX_get_params(pctx, params);
    if (row.expectedDer != nullptr) {
      ASSERT_EQ(got, 1);
      EXPECT_EQ(ToHex(Bytes(aid, aid + params[0].return_size)), row.expectedDer);
    } else {
      EXPECT_LE(got, 0);
      EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE, "SHA2-256"));
    }
  }
  // X509_sign with SHA-256 on an SM2 key fails cleanly (it read an unset
  // identifier before); SHA-384 is not even a digest SM2 takes.
  Cert cert = NewCert("unsigned", "unsigned", key(), 9, false);
  EXPECT_EQ(X509_sign(cert.get(), key(), EVP_sha256()), 0);
  EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE, "SHA2-256"));
  EXPECT_EQ(X509_sign(cert.get(), key(), EVP_sha384()), 0);
  EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST, "32-byte digest"));
}

// The slots themselves: -1 where the stock library's public calls give 0.
class SignatureSlotTest : public SignatureRoadTest {
 protected:
  void SetUp() override {
    SignatureRoadTest::SetUp();
    ec_.reset(EVP_PKEY_get1_EC_KEY(key()));
    ASSERT_NE(ec_, nullptr);
    ctx_.key = ec_.get();
  }
  void TearDown() override {
    sm2_pkey_ctx_cleanup(&ctx_);
    SignatureRoadTest::TearDown();
  }
  tovel::UniquePtr<EC_KEY> ec_;
  SM2_PKEY_CTX ctx_{};
};

TEST_F(SignatureSlotTest, EncodingsAtTheSlots) {
  const Bytes& digest = Shared().digest;
  const Bytes& valid = Shared().digestSig;
  for (const Encoding& encoding : kEncodings) {
    SCOPED_TRACE(encoding.name);
    const Bytes sig = encoding.make(valid);
    const tovel::UniquePtr<ECDSA_SIG> decoded(sm2_signature_from_der(sig.data(), sig.size()));
    EXPECT_EQ(decoded != nullptr, encoding.der);
    EXPECT_EQ(ec_sm2_pkey_verify(&ctx_, sig.data(), sig.size(), digest.data(), digest.size()),
              encoding.der ? 1 : -1);
    EXPECT_EQ(sm2_pkey_verify(&ctx_, sig.data(), sig.size(), digest.data()), encoding.der ? 1 : -1);
    EXPECT_EQ(ec_sm2_pkey_check(&ctx_, sig.data(), sig.size(), digest.data(), digest.size()),
              encoding.der ? 1 : 0);
    ERR_clear_error();
  }
}

TEST_F(SignatureSlotTest, DigestLengthsAtTheSlots) {
  const Bytes& valid = Shared().digestSig;
  const Bytes longer = Cat(Shared().digest, Text("0123456789abcdef0123456789abcdef"));
  for (size_t len : {0, 1, 20, 31, 32, 33, 48, 64}) {
    SCOPED_TRACE(testing::Message() << len << " bytes");
    const bool sm2Size = len == 32;
    Bytes out(72, 0xEE);
    size_t outLen = out.size();
    EXPECT_EQ(ec_sm2_pkey_sign(&ctx_, out.data(), &outLen, longer.data(), len), sm2Size ? 1 : -1);
    if (!sm2Size) {
      EXPECT_EQ(out, Bytes(72, 0xEE)) << "written although refused";
      EXPECT_EQ(outLen, 72u);
      EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST, "32-byte digest"));
    }
    EXPECT_EQ(ec_sm2_pkey_verify(&ctx_, valid.data(), valid.size(), longer.data(), len),
              sm2Size ? 1 : -1);
    EXPECT_EQ(ec_sm2_pkey_check(&ctx_, valid.data(), valid.size(), longer.data(), len),
              sm2Size ? 1 : 0);
    ERR_clear_error();
  }
}

// The check tells a signature that does not verify (0) from a failure that
// is not about the signature (-1); the slot gives -1 for both.
TEST_F(SignatureSlotTest, CheckTellsBadSignaturesFromOtherFailures) {
  const Bytes& digest = Shared().digest;
  const Bytes bad = FlipLastBit(Shared().digestSig);
  EXPECT_EQ(ec_sm2_pkey_check(&ctx_, bad.data(), bad.size(), digest.data(), digest.size()), 0);
  EXPECT_EQ(ec_sm2_pkey_verify(&ctx_, bad.data(), bad.size(), digest.data(), digest.size()), -1);
  SM2_PKEY_CTX noKey{};
  EXPECT_EQ(ec_sm2_pkey_check(&noKey, bad.data(), bad.size(), digest.data(), digest.size()), -1);
  tovel::UniquePtr<EC_KEY> privateOnly(EC_KEY_new());
  ASSERT_EQ(EC_KEY_set_group(privateOnly.get(), EC_KEY_get0_group(ec_.get())), 1);
  ASSERT_EQ(EC_KEY_set_private_key(privateOnly.get(), EC_KEY_get0_private_key(ec_.get())), 1);
  SM2_PKEY_CTX noPoint{privateOnly.get(), nullptr, nullptr};
  const Bytes& valid = Shared().digestSig;
  EXPECT_EQ(ec_sm2_pkey_check(&noPoint, valid.data(), valid.size(), digest.data(), digest.size()),
            -1);
}

}  // namespace
}  // namespace provtest
