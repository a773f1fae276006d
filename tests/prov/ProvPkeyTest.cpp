// EVP_PKEY_* and digest-sign/verify on SM2 keys run the extension's code and
// interoperate with the stock library's SM2; the slots' edge cases.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include "smext/sm2_asn1.h"
#include "smext/sm2_err.h"
#include "smext/sm2_pkey.h"
#include "smext/sm_objects.h"
#include "tests/prov/ProvTestSupport.h"

namespace provtest {
namespace {

Bytes Encrypt(EVP_PKEY* key, const Bytes& msg, const char* propq) {
  PkeyCtx ctx = CtxFor(key, propq);
  size_t len = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &len, msg.data(), msg.size()) != 1)
    return {};
  Bytes out(len);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, msg.data(), msg.size()) != 1) return {};
  out.resize(len);
  return out;
}

Bytes Decrypt(EVP_PKEY* key, const Bytes& ct, const char* propq) {
  PkeyCtx ctx = CtxFor(key, propq);
  size_t len = 0;
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &len, ct.data(), ct.size()) != 1)
    return {};
  Bytes out(len);
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, ct.data(), ct.size()) != 1) return {};
  out.resize(len);
  return out;
}

class ProvPkeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key = NewStockSm2Key();
    ASSERT_TRUE(key);
    ERR_clear_error();
  }
  void TearDown() override { ERR_clear_error(); }
  Pkey key;
  const Bytes digest = FromHex("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
};

TEST_F(ProvPkeyTest, PreferredImplementationsAreTheExtensions) {
  PkeyCtx ctx = CtxFor(key.get());
  ASSERT_TRUE(ctx);
  ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_PKEY_CTX_get0_provider(ctx.get())), "smext");
  PkeyCtx stock = CtxFor(key.get(), kStock);
  ASSERT_EQ(EVP_PKEY_sign_init(stock.get()), 1);
  EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_PKEY_CTX_get0_provider(stock.get())), "default");
}

TEST_F(ProvPkeyTest, SignAndVerifyRunTheExtensionAndInteroperate) {
  OpCounter ops;
  const Bytes ours = Sign(key.get(), digest, nullptr);
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(ops[SMEXT_OP_SIGN], 1);
  EXPECT_EQ(Verify(key.get(), ours, digest, kStock), 1);
  EXPECT_EQ(ops[SMEXT_OP_VERIFY], 0);
  const Bytes stock = Sign(key.get(), digest, kStock);
  EXPECT_EQ(ops[SMEXT_OP_SIGN], 1);
  EXPECT_EQ(Verify(key.get(), stock, digest, nullptr), 1);
  EXPECT_EQ(ops[SMEXT_OP_VERIFY], 1);
}

TEST_F(ProvPkeyTest, DigestSignAndVerifyUseTheDefaultIdentity) {
  const Bytes data = Text("message digest");
  OpCounter ops;
  // Ours over the default identity, the stock library told it explicitly.
  const Bytes ours = DigestSign(key.get(), data, nullptr, nullptr);
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(ops[SMEXT_OP_DIGEST_SIGN], 1);
  EXPECT_EQ(DigestVerify(key.get(), ours, data, kStock, &kDefaultId), 1);
  const Bytes stock = DigestSign(key.get(), data, kStock, &kDefaultId);
  EXPECT_EQ(DigestVerify(key.get(), stock, data, nullptr, nullptr), 1);
  EXPECT_EQ(ops[SMEXT_OP_DIGEST_VERIFY], 1);
  // The stock library's own default is the empty identity: ours refuses that.
  const Bytes stockEmpty = DigestSign(key.get(), data, kStock, nullptr);
  EXPECT_NE(DigestVerify(key.get(), stockEmpty, data, nullptr, nullptr), 1);
  // An identity set explicitly is honoured, both ways.
  const std::string alice = "ALICE123@YAHOO.COM";
  EXPECT_EQ(
      DigestVerify(key.get(), DigestSign(key.get(), data, nullptr, &alice), data, kStock, &alice),
      1);
  EXPECT_EQ(
      DigestVerify(key.get(), DigestSign(key.get(), data, kStock, &alice), data, nullptr, &alice),
      1);
  EXPECT_NE(
      DigestVerify(key.get(), DigestSign(key.get(), data, kStock, &alice), data, nullptr, nullptr),
      1);
  const std::string empty;
  EXPECT_EQ(DigestVerify(key.get(), stockEmpty, data, nullptr, &empty), 1);
}

TEST_F(ProvPkeyTest, EncryptAndDecryptRunTheExtensionAndInteroperate) {
  const Bytes msg = Text("encryption standard");
  OpCounter ops;
  const Bytes ours = Encrypt(key.get(), msg, nullptr);
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(ops[SMEXT_OP_ENCRYPT], 1);
  EXPECT_EQ(Decrypt(key.get(), ours, kStock), msg);
  const Bytes stock = Encrypt(key.get(), msg, kStock);
  ASSERT_FALSE(stock.empty());
  EXPECT_EQ(Decrypt(key.get(), stock, nullptr), msg);
  EXPECT_EQ(ops[SMEXT_OP_DECRYPT], 1);
  EXPECT_EQ(ops[SMEXT_OP_ENCRYPT], 1);
}

TEST_F(ProvPkeyTest, KeysGeneratedByTheExtensionWorkWithTheStockLibrary) {
  OpCounter ops;
  Pkey own(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  ASSERT_TRUE(own);
  EXPECT_EQ(ops[SMEXT_OP_KEYGEN], 1);
  EXPECT_EQ(EVP_PKEY_get_bits(own.get()), 256);
  EXPECT_EQ(EVP_PKEY_get_size(own.get()), 72);
  char mdname[32] = {};
  EXPECT_EQ(EVP_PKEY_get_default_digest_name(own.get(), mdname, sizeof(mdname)), 1);  // advisory
  EXPECT_STREQ(mdname, "SM3");
  const Bytes data = Text("abc");
  EXPECT_EQ(DigestVerify(own.get(), DigestSign(own.get(), data, nullptr, nullptr), data, kStock,
                         &kDefaultId),
            1);
  EXPECT_EQ(Decrypt(own.get(), Encrypt(own.get(), data, kStock), nullptr), data);
  EXPECT_EQ(EVP_PKEY_eq(own.get(), own.get()), 1);
  EXPECT_NE(EVP_PKEY_eq(own.get(), key.get()), 1);
}

// The slots themselves, on the extension's own context.
class SlotTest : public ProvPkeyTest {
 protected:
  void SetUp() override {
    ProvPkeyTest::SetUp();
    ec = EVP_PKEY_get1_EC_KEY(key.get());
    ASSERT_NE(ec, nullptr);
    ctx.key = ec;
  }
  void TearDown() override {
    sm2_pkey_ctx_cleanup(&ctx);
    EC_KEY_free(ec);
    ProvPkeyTest::TearDown();
  }
  EC_KEY* ec = nullptr;
  SM2_PKEY_CTX ctx{};
};

TEST_F(SlotTest, SignSizeQueryAndTooSmallRoom) {
  size_t len = 0;
  EXPECT_EQ(ec_sm2_pkey_sign(&ctx, nullptr, &len, digest.data(), digest.size()), 1);
  EXPECT_EQ(len, 72u);
  Bytes sig(72);
  len = 71;
  EXPECT_EQ(ec_sm2_pkey_sign(&ctx, sig.data(), &len, digest.data(), digest.size()), 0);
  const auto errors = DrainErrors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back().lib, ERR_LIB_EC);
  EXPECT_EQ(errors.back().reason, EC_R_BUFFER_TOO_SMALL);
  EXPECT_EQ(errors.back().data, "func=218");
  len = sig.size();
  ASSERT_EQ(ec_sm2_pkey_sign(&ctx, sig.data(), &len, digest.data(), digest.size()), 1);
  EXPECT_LE(len, 72u);
  sig.resize(len);
  EXPECT_EQ(ec_sm2_pkey_verify(&ctx, sig.data(), sig.size(), digest.data(), digest.size()), 1);
  // Also through the library: the size query answers 72 and 71 bytes fail.
  PkeyCtx pctx = CtxFor(key.get());
  ASSERT_EQ(EVP_PKEY_sign_init(pctx.get()), 1);
  len = 0;
  EXPECT_EQ(EVP_PKEY_sign(pctx.get(), nullptr, &len, digest.data(), digest.size()), 1);
  EXPECT_EQ(len, 72u);
  len = 71;
  EXPECT_EQ(EVP_PKEY_sign(pctx.get(), sig.data(), &len, digest.data(), digest.size()), 0);
  EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL));
}

TEST_F(SlotTest, VerifyRefusesWithMinusOne) {
  Bytes sig(72);
  size_t len = sig.size();
  ASSERT_EQ(ec_sm2_pkey_sign(&ctx, sig.data(), &len, digest.data(), digest.size()), 1);
  sig.resize(len);
  Bytes changed = digest;
  changed[5] ^= 0x40;
  EXPECT_EQ(ec_sm2_pkey_verify(&ctx, sig.data(), sig.size(), changed.data(), changed.size()), -1);
  // Through the library a signature that does not verify gives 0.
  EXPECT_EQ(Verify(key.get(), sig, changed, nullptr), 0);
  // A digest shorter than 32 bytes is refused, not read past.
  EXPECT_EQ(ec_sm2_pkey_verify(&ctx, sig.data(), sig.size(), digest.data(), 31), -1);
  EXPECT_EQ(Verify(key.get(), sig, Bytes(digest.begin(), digest.begin() + 20), nullptr), 0);
  // r of 33 bytes (2^256 + r): no 32-byte form.
  ECDSA_SIG* parsed = nullptr;
  const unsigned char* p = sig.data();
  parsed = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
  ASSERT_NE(parsed, nullptr);
  const BIGNUM *r = nullptr, *s = nullptr;
  ECDSA_SIG_get0(parsed, &r, &s);
  BIGNUM* bigR = BN_dup(r);
  BN_set_bit(bigR, 256);
  ECDSA_SIG* wide = ECDSA_SIG_new();
  ECDSA_SIG_set0(wide, bigR, BN_dup(s));
  unsigned char* der = nullptr;
  const int derLen = i2d_ECDSA_SIG(wide, &der);
  EXPECT_EQ(
      ec_sm2_pkey_verify(&ctx, der, static_cast<size_t>(derLen), digest.data(), digest.size()), -1);
  OPENSSL_free(der);
  ECDSA_SIG_free(wide);
  ECDSA_SIG_free(parsed);
  // Not a signature at all.
  EXPECT_EQ(ec_sm2_pkey_verify(&ctx, digest.data(), digest.size(), digest.data(), digest.size()),
            -1);
}

TEST_F(SlotTest, ControlTable) {
  struct Case {
    int type;
    int p1;
    const EVP_MD* md;
    int expected;
  } const cases[] = {
      {EVP_PKEY_CTRL_MD, 0, EVP_sm3(), 1},
      {EVP_PKEY_CTRL_MD, 0, EVP_sha256(), 1},
      {EVP_PKEY_CTRL_MD, 0, EVP_sha1(), 1},
      {EVP_PKEY_CTRL_MD, 0, EVP_sha512(), 1},
      {EVP_PKEY_CTRL_MD, 0, EVP_md5(), 0},
      {EVP_PKEY_CTRL_PEER_KEY, 0, nullptr, 1},
      {EVP_PKEY_CTRL_PKCS7_SIGN, 0, nullptr, 1},
      {EVP_PKEY_CTRL_DIGESTINIT, 0, nullptr, 1},
      {EVP_PKEY_CTRL_CMS_SIGN, 0, nullptr, 1},
      {EVP_PKEY_CTRL_PKCS7_ENCRYPT, 0, nullptr, -2},
      {EVP_PKEY_CTRL_CMS_DECRYPT, 0, nullptr, -2},
      {EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, NID_X9_62_prime256v1, nullptr, 1},
      {EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, sm_obj_nid(SM_OBJ_SM2_TEST_CURVE), nullptr, 1},
      {EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, NID_sha256, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " p1 " << c.p1);
    ERR_clear_error();
    EXPECT_EQ(ec_sm2_pkey_control(&ctx, c.type, c.p1, const_cast<EVP_MD*>(c.md)), c.expected);
    if (c.expected == 0) {
      const auto errors = DrainErrors();
      ASSERT_FALSE(errors.empty());
      EXPECT_EQ(errors.back().lib, ERR_LIB_EC);
      EXPECT_EQ(errors.back().reason,
                c.type == EVP_PKEY_CTRL_MD ? EC_R_INVALID_DIGEST_TYPE : EC_R_INVALID_CURVE);
      EXPECT_EQ(errors.back().data, "func=197");
    }
  }
  EXPECT_EQ(EC_GROUP_get_curve_name(ctx.gen_group), sm_obj_nid(SM_OBJ_SM2_TEST_CURVE));
  // The md5 refusal keeps the digest accepted before it.
  EXPECT_EQ(EVP_MD_get_type(ctx.md), NID_sha512);
  // Through the library: the control becomes the signature's digest.
  PkeyCtx pctx = CtxFor(key.get());
  ASSERT_EQ(EVP_PKEY_sign_init(pctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_ctrl(pctx.get(), -1, EVP_PKEY_OP_SIGN, EVP_PKEY_CTRL_MD, 0,
                              const_cast<EVP_MD*>(EVP_sm3())),
            1);
  EXPECT_EQ(EVP_PKEY_CTX_ctrl(pctx.get(), -1, EVP_PKEY_OP_SIGN, EVP_PKEY_CTRL_MD, 0,
                              const_cast<EVP_MD*>(EVP_md5())),
            0);
  EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE));
}

TEST_F(SlotTest, EncryptAndDecryptSizes) {
  const Bytes msg(20, 0x5a);
  size_t len = 0;
  ASSERT_EQ(sm2_pkey_encrypt(&ctx, nullptr, &len, msg.data(), msg.size()), 1);
  // SM2Cipher at its longest: both coordinates of 33 bytes; the outer length
  // takes two bytes from a 22-byte message on.
  EXPECT_EQ(len, 20u + 108u);
  size_t longer = 0;
  ASSERT_EQ(sm2_pkey_encrypt(&ctx, nullptr, &longer, msg.data(), 100), 1);
  EXPECT_EQ(longer, 100u + 109u);
  Bytes out(len + 8, 0xEE);
  size_t room = len - 1;
  EXPECT_EQ(sm2_pkey_encrypt(&ctx, out.data(), &room, msg.data(), msg.size()), -1);
  EXPECT_EQ(out, Bytes(len + 8, 0xEE)) << "written although refused";
  room = len;
  ASSERT_EQ(sm2_pkey_encrypt(&ctx, out.data(), &room, msg.data(), msg.size()), 1);
  out.resize(room);
  const unsigned char* p = out.data();
  const tovel::UniquePtr<SM2Cipher> cipher(
      sm2_cipher_decode(nullptr, &p, static_cast<long>(out.size())));
  ASSERT_NE(cipher, nullptr);
  EXPECT_EQ(ASN1_STRING_length(cipher->cipherText), 20);
  EXPECT_EQ(ASN1_STRING_length(cipher->HASH), 32);

  ASSERT_EQ(sm2_pkey_decrypt(&ctx, nullptr, &len, out.data(), out.size()), 1);
  EXPECT_EQ(len, 20u);
  Bytes plain(20, 0xEE);
  room = 19;
  EXPECT_EQ(sm2_pkey_decrypt(&ctx, plain.data(), &room, out.data(), out.size()), -1);
  EXPECT_EQ(plain, Bytes(20, 0xEE));
  room = plain.size();
  ASSERT_EQ(sm2_pkey_decrypt(&ctx, plain.data(), &room, out.data(), out.size()), 1);
  EXPECT_EQ(room, 20u);
  EXPECT_EQ(plain, msg);
  // Through the library, too small a room is refused.
  PkeyCtx pctx = CtxFor(key.get());
  ASSERT_EQ(EVP_PKEY_encrypt_init(pctx.get()), 1);
  Bytes small(60);
  size_t smallLen = small.size();
  EXPECT_LE(EVP_PKEY_encrypt(pctx.get(), small.data(), &smallLen, msg.data(), msg.size()), 0);
}

// Rebuilds the SM2Cipher of ct with one field changed, then decrypts it.
int DecryptModified(SM2_PKEY_CTX* ctx, const Bytes& ct, void (*change)(SM2Cipher*)) {
  const unsigned char* p = ct.data();
  tovel::UniquePtr<SM2Cipher> cipher(sm2_cipher_decode(nullptr, &p, static_cast<long>(ct.size())));
  if (cipher == nullptr) return -100;
  change(cipher.get());
  unsigned char* der = nullptr;
  const int len = sm2_cipher_encode(cipher.get(), &der);
  cipher.reset();
  Bytes out(len + 64);
  size_t room = out.size();
  const int ret = sm2_pkey_decrypt(ctx, out.data(), &room, der, static_cast<size_t>(len));
  OPENSSL_free(der);
  return ret;
}

TEST_F(SlotTest, DecryptRefusesFieldsWithoutARawForm) {
  const Bytes msg(20, 0x33);
  Bytes ct(256);
  size_t len = ct.size();
  ASSERT_EQ(sm2_pkey_encrypt(&ctx, ct.data(), &len, msg.data(), msg.size()), 1);
  ct.resize(len);
  EXPECT_EQ(DecryptModified(&ctx, ct, [](SM2Cipher*) {}), 1);
  EXPECT_EQ(DecryptModified(&ctx, ct, [](SM2Cipher* c) { BN_set_bit(c->XCoordinate, 256); }), -1);
  EXPECT_EQ(DecryptModified(&ctx, ct, [](SM2Cipher* c) { BN_set_bit(c->YCoordinate, 300); }), -1);
  EXPECT_EQ(DecryptModified(&ctx, ct, [](SM2Cipher* c) { ASN1_STRING_set(c->HASH, "short", 5); }),
            -1);
  EXPECT_EQ(DecryptModified(&ctx, ct,
                            [](SM2Cipher* c) {
                              Bytes longer(33, 1);
                              ASN1_STRING_set(c->HASH, longer.data(), 33);
                            }),
            -1);
  EXPECT_EQ(DecryptModified(&ctx, ct, [](SM2Cipher* c) { c->cipherText->data[0] ^= 1; }), -1);
}

// The published examples on the SM2 test curve check only on that curve.
TEST_F(ProvPkeyTest, TestCurveKeysAreComputedOnTheirOwnCurve) {
  const Bytes pubA = FromHex(
      "04 0AE4C7798AA0F119471BEE11825BE46202BB79E2A5844495E97C04FF4DF2548A"
      "7C0240F88F1CD4E16352A73C17B7F16F07353E53A176D684A9FE0C6BB798E857");
  Pkey signer = KeyFromNumbers("ChinaSM2TEST256", pubA, {});
  ASSERT_TRUE(signer);
  const Bytes e = FromHex("B524F552CD82B8B028476E005C377FB19A87E6FC682D48BB5D42E3D9B9EFFE76");
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM *r = nullptr, *s = nullptr;
  BN_hex2bn(&r, "40F1EC59F793D9F49E09DCEF49130D4194F79FB1EED2CAA55BACDB49C4E755D1");
  BN_hex2bn(&s, "6FC6DAC32C5D5CF10C77DFB20F7C2EB667A457872FB09EC56327A67EC7DEEBE7");
  ECDSA_SIG_set0(sig, r, s);
  unsigned char* der = nullptr;
  const int derLen = i2d_ECDSA_SIG(sig, &der);
  const Bytes sigDer(der, der + derLen);
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  EXPECT_EQ(Verify(signer.get(), sigDer, e, nullptr), 1);
  Bytes other = e;
  other[0] ^= 1;
  EXPECT_EQ(Verify(signer.get(), sigDer, other, nullptr), 0);

  // Decryption of the published ciphertext with dB.
  const Bytes pubB = FromHex(
      "04 435B39CCA8F3B508C1488AFC67BE491A0F7BA07E581A0E4849A5CF70628A7E0A"
      "75DDBA78F15FEECB4C7895E2C1CDF5FE01DEBB2CDBADF45399CCF77BBA076A42");
  Pkey receiver =
      KeyFromNumbers("ChinaSM2TEST256", pubB,
                     FromHex("1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0"));
  ASSERT_TRUE(receiver);
  const Bytes raw = FromHex(
      "04 245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7"
      "76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8"
      "650053A89B41C418B0C3AAD00D886C00286467"
      "9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D");
  const tovel::UniquePtr<SM2Cipher> cipher(
      sm2_cipher_from_raw(raw.data(), static_cast<int>(raw.size())));
  ASSERT_NE(cipher, nullptr);
  unsigned char* ct = nullptr;
  const int ctLen = sm2_cipher_encode(cipher.get(), &ct);
  const Bytes ctDer(ct, ct + ctLen);
  OPENSSL_free(ct);
  EXPECT_EQ(Decrypt(receiver.get(), ctDer, nullptr), Text("encryption standard"));
  // And a round trip of its own, with a signature over data (no Z on that curve).
  const Bytes data = Text("message digest");
  EXPECT_EQ(Decrypt(receiver.get(), Encrypt(receiver.get(), data, nullptr), nullptr), data);
  EXPECT_EQ(DigestVerify(receiver.get(), DigestSign(receiver.get(), data, nullptr, nullptr), data,
                         nullptr, nullptr),
            1);
}

TEST(Asn1ControlTest, Pkcs7SignerLabels) {
  struct Case {
    int mdNid;
    int expectedResult;
    const char* expectedOid;
  } const cases[] = {
      {NID_sm3, 1, "1.2.156.10197.1.301.1"},
      {NID_sha256, 1, "1.2.840.10045.4.3.2"},  // ecdsa-with-SHA256
      {NID_md5, -1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mdNid);
    PKCS7_SIGNER_INFO* si = PKCS7_SIGNER_INFO_new();
    X509_ALGOR *digestAlg = nullptr, *sigAlg = nullptr;
    PKCS7_SIGNER_INFO_get0_algs(si, nullptr, &digestAlg, &sigAlg);
    X509_ALGOR_set0(digestAlg, OBJ_nid2obj(c.mdNid), V_ASN1_NULL, nullptr);
    EXPECT_EQ(ec_key_asn1_control(nullptr, ASN1_PKEY_CTRL_PKCS7_SIGN, 0, si), c.expectedResult);
    if (c.expectedOid != nullptr) {
      char oid[64] = {};
      OBJ_obj2txt(oid, sizeof(oid), sigAlg->algorithm, 1);
      EXPECT_STREQ(oid, c.expectedOid);
      int ptype = 0;
      X509_ALGOR_get0(nullptr, &ptype, nullptr, sigAlg);
      EXPECT_EQ(ptype, V_ASN1_UNDEF);
    }
    PKCS7_SIGNER_INFO_free(si);
  }
  int md = 0;
  EXPECT_EQ(ec_key_asn1_control(nullptr, ASN1_PKEY_CTRL_DEFAULT_MD_NID, 0, &md), 2);
  EXPECT_EQ(md, NID_sha1);
  EXPECT_EQ(ec_key_asn1_control(nullptr, ASN1_PKEY_CTRL_PKCS7_SIGN, 1, nullptr), 1);
  EXPECT_EQ(ec_key_asn1_control(nullptr, ASN1_PKEY_CTRL_PKCS7_ENCRYPT, 0, nullptr), -2);
  PKCS7_SIGNER_INFO* si = PKCS7_SIGNER_INFO_new();
  EXPECT_EQ(ec_key_asn1_control(nullptr, ASN1_PKEY_CTRL_PKCS7_SIGN, 0, si), -1)
      << "no digest algorithm";
  PKCS7_SIGNER_INFO_free(si);
}

}  // namespace
}  // namespace provtest

namespace provtest {
namespace {

// Keys off the SM2 curves take the ECDSA path: 0 for a signature that does not
// verify; SM2-curve signatures are SM2 ones, which ECDSA does not accept.
TEST_F(SlotTest, OtherCurvesTakeTheEcdsaPath) {
  EC_KEY* p256 = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  ASSERT_EQ(EC_KEY_generate_key(p256), 1);
  SM2_PKEY_CTX ecdsa{p256, nullptr, nullptr};
  Bytes sig(72);
  size_t len = sig.size();
  ASSERT_EQ(ec_sm2_pkey_sign(&ecdsa, sig.data(), &len, digest.data(), digest.size()), 1);
  sig.resize(len);
  EXPECT_EQ(ECDSA_verify(0, digest.data(), 32, sig.data(), static_cast<int>(sig.size()), p256), 1);
  EXPECT_EQ(ec_sm2_pkey_verify(&ecdsa, sig.data(), sig.size(), digest.data(), digest.size()), 1);
  Bytes changed = digest;
  changed[0] ^= 1;
  EXPECT_EQ(ec_sm2_pkey_verify(&ecdsa, sig.data(), sig.size(), changed.data(), changed.size()), 0);
  EXPECT_EQ(sm2_pkey_verify(&ecdsa, sig.data(), sig.size(), digest.data()), -1)
      << "not an SM2 curve";
  EC_KEY_free(p256);

  Bytes sm2sig(72);
  len = sm2sig.size();
  ASSERT_EQ(ec_sm2_pkey_sign(&ctx, sm2sig.data(), &len, digest.data(), digest.size()), 1);
  sm2sig.resize(len);
  EXPECT_EQ(sm2_pkey_verify(&ctx, sm2sig.data(), sm2sig.size(), digest.data()), 1);
  EXPECT_NE(ECDSA_verify(0, digest.data(), 32, sm2sig.data(), static_cast<int>(sm2sig.size()), ec),
            1);
  ERR_clear_error();
}

}  // namespace
}  // namespace provtest
