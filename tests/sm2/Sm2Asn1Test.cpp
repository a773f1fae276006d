// DER forms of SM2 data: SM2Cipher, SM2_PRIVATEKEY and the key containers.
#include <cstring>

#include <gtest/gtest.h>
#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "smext/sm2.h"
#include "smext/sm2_asn1.h"
#include "smext/sm_objects.h"
#include "tests/sm2/Sm2TestUtil.h"

namespace {

using namespace sm2test;

Bytes Repeat(uint8_t value, size_t n) { return Bytes(n, value); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

Bytes EncodeCipher(const SM2Cipher* cipher) {
  unsigned char* der = nullptr;
  const int len = sm2_cipher_encode(cipher, &der);
  EXPECT_GT(len, 0);
  Bytes out(der, der + std::max(len, 0));
  OPENSSL_free(der);
  return out;
}

// Coordinates are DER INTEGERs of their value: leading zero bytes go, and a
// zero byte comes first when the top bit is set. The hash precedes C2.
TEST(Sm2CipherTest, EncodesCoordinatesAsIntegersAndTheHashBeforeTheCiphertext) {
  struct Case {
    const char* name;
    Bytes x1;
    Bytes xContent;  // expected INTEGER content
  };
  const Bytes tail = Repeat(0x11, 30);
  const Case cases[] = {
      {"one leading zero", Cat({FromHex("0012"), tail}), Cat({FromHex("12"), tail})},
      {"two leading zeros", Cat({FromHex("00007F"), Repeat(0x11, 29)}),
       Cat({FromHex("7F"), Repeat(0x11, 29)})},
      {"top bit set", Cat({FromHex("8012"), tail}), Cat({FromHex("008012"), tail})},
      {"plain", Cat({FromHex("7F12"), tail}), Cat({FromHex("7F12"), tail})},
  };
  const Bytes y1 = Cat({FromHex("FF"), Repeat(0x22, 31)});
  const Bytes c2 = FromText("twenty bytes of text");
  const Bytes c3 = Repeat(0x33, 32);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes raw = Cat({FromHex("04"), c.x1, y1, c2, c3});
    tovel::UniquePtr<SM2Cipher> cipher(
        sm2_cipher_from_raw(raw.data(), static_cast<int>(raw.size())));
    ASSERT_NE(cipher, nullptr);
    const Bytes der = EncodeCipher(cipher.get());

    const Bytes body =
        Cat({FromHex("02"), Bytes{static_cast<uint8_t>(c.xContent.size())}, c.xContent,
             FromHex("0221 00"), y1, FromHex("0420"), c3, FromHex("0414"), c2});
    EXPECT_EQ(ToHex(der),
              ToHex(Cat({FromHex("30"), Bytes{static_cast<uint8_t>(body.size())}, body})));

    const unsigned char* p = der.data();
    tovel::UniquePtr<SM2Cipher> decoded(
        sm2_cipher_decode(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(p, der.data() + der.size());
    Bytes back(raw.size() + 5);
    int backLen = 0;
    ASSERT_EQ(sm2_cipher_to_raw(decoded.get(), back.data(), back.size(), &backLen), 1);
    back.resize(static_cast<size_t>(backLen));
    EXPECT_EQ(back, raw);
  }
}

TEST(Sm2CipherTest, RawFormNeedsA32ByteHashAndCoordinatesOfAtMost32Bytes) {
  const Bytes raw = Cat({FromHex("04"), Repeat(0x01, 64), Repeat(0x02, 5), Repeat(0x03, 32)});
  struct Case {
    const char* name;
    void (*change)(SM2Cipher*);
    size_t room;
  };
  const Case cases[] = {
      {"hash of 31 bytes",
       [](SM2Cipher* c) { ASN1_OCTET_STRING_set(c->HASH, Repeat(3, 31).data(), 31); }, 200},
      {"hash of 33 bytes",
       [](SM2Cipher* c) { ASN1_OCTET_STRING_set(c->HASH, Repeat(3, 33).data(), 33); }, 200},
      {"x of 33 bytes", [](SM2Cipher* c) { BN_lshift(c->XCoordinate, c->XCoordinate, 8); }, 200},
      {"negative y", [](SM2Cipher* c) { BN_set_negative(c->YCoordinate, 1); }, 200},
      {"empty ciphertext", [](SM2Cipher* c) { ASN1_OCTET_STRING_set(c->cipherText, nullptr, 0); },
       200},
      {"room one short", [](SM2Cipher*) {}, 5 + 97 - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tovel::UniquePtr<SM2Cipher> cipher(
        sm2_cipher_from_raw(raw.data(), static_cast<int>(raw.size())));
    ASSERT_NE(cipher, nullptr);
    c.change(cipher.get());
    Bytes out(c.room);
    int outLen = -7;
    EXPECT_EQ(sm2_cipher_to_raw(cipher.get(), out.data(), out.size(), &outLen), 0);
    EXPECT_EQ(outLen, -7);
  }
  // From raw: too short, or not an uncompressed point.
  EXPECT_EQ(sm2_cipher_from_raw(raw.data(), 97), nullptr);
  Bytes compressed = raw;
  compressed[0] = 0x02;
  EXPECT_EQ(sm2_cipher_from_raw(compressed.data(), static_cast<int>(compressed.size())), nullptr);
}

TEST(Sm2CipherTest, DecodingGarbageFailsWithTheLibrarysEntries) {
  const Bytes garbage = FromHex("3003020101");
  const unsigned char* p = garbage.data();
  ERR_clear_error();
  EXPECT_EQ(sm2_cipher_decode(nullptr, &p, static_cast<long>(garbage.size())), nullptr);
  EXPECT_EQ(p, garbage.data());
  const std::vector<ErrorEntry> entries = DrainErrors();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().lib, ERR_LIB_ASN1);
  const tovel::UniquePtr<SM2Cipher> fresh(sm2_cipher_new());
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh->XCoordinate, nullptr);
  EXPECT_NE(fresh->YCoordinate, nullptr);
  EXPECT_NE(fresh->HASH, nullptr);
  EXPECT_NE(fresh->cipherText, nullptr);
}

// One key written both as ECPrivateKey and as SM2_PRIVATEKEY.
class Sm2PrivateKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ERR_clear_error();
    ASSERT_EQ(sm_objects_init(), 1);
    key_.reset(EC_KEY_new_by_curve_name(NID_sm2));
    ASSERT_NE(key_, nullptr);
    ASSERT_EQ(EC_KEY_generate_key(key_.get()), 1);
    unsigned char* der = nullptr;
    const int len = i2d_ECPrivateKey(key_.get(), &der);
    ASSERT_GT(len, 0);
    ecDer_.assign(der, der + len);
    OPENSSL_free(der);
  }

  // SM2_PRIVATEKEY bytes of group and key: optional parameters and point.
  static Bytes Sm2Der(const EC_KEY* key, const EC_GROUP* group, bool withParameters,
                      bool withPublic,
                      point_conversion_form_t form = POINT_CONVERSION_UNCOMPRESSED) {
    const tovel::UniquePtr<SM2_PRIVATEKEY> priv(SM2_PRIVATEKEY_new());
    priv->version = 1;
    BN_to_ASN1_INTEGER(EC_KEY_get0_private_key(key), priv->privateKey);
    if (withParameters) {
      priv->parameters = EC_GROUP_get_ecpkparameters(group, nullptr);
    }
    if (withPublic) {
      unsigned char* oct = nullptr;
      const size_t octLen =
          EC_POINT_point2buf(group, EC_KEY_get0_public_key(key), form, &oct, nullptr);
      priv->publicKey = ASN1_BIT_STRING_new();
      ASN1_BIT_STRING_set(priv->publicKey, oct, static_cast<int>(octLen));
      // Keep every byte: no unused bits, as the library writes EC points.
      priv->publicKey->flags = (priv->publicKey->flags & ~0x07) | ASN1_STRING_FLAG_BITS_LEFT;
      OPENSSL_free(oct);
    }
    unsigned char* der = nullptr;
    const int len = i2d_SM2_PRIVATEKEY(priv.get(), &der);
    EXPECT_GT(len, 0);
    Bytes out(der, der + std::max(len, 0));
    OPENSSL_free(der);
    return out;
  }

  Bytes Sm2Der(bool withParameters, bool withPublic) const {
    return Sm2Der(key_.get(), EC_KEY_get0_group(key_.get()), withParameters, withPublic);
  }

  tovel::UniquePtr<EC_KEY> key_;
  Bytes ecDer_;
};

TEST_F(Sm2PrivateKeyTest, EachFormDecodesOnlyWithItsOwnDecoder) {
  const Bytes sm2Der = Sm2Der(true, true);
  // After SEQUENCE and version: OCTET STRING in one form, INTEGER in the other.
  EXPECT_EQ(ecDer_[5], 0x04);
  EXPECT_EQ(sm2Der[5], 0x02);

  const unsigned char* p = ecDer_.data();
  EXPECT_EQ(decode_sm2_private_key(nullptr, &p, static_cast<long>(ecDer_.size())), nullptr);
  ExpectNewestError(ERR_LIB_EC, ERR_R_EC_LIB, 146);
  p = sm2Der.data();
  EXPECT_EQ(d2i_ECPrivateKey(nullptr, &p, static_cast<long>(sm2Der.size())), nullptr);
  EXPECT_EQ(p, sm2Der.data());
  ERR_clear_error();

  p = sm2Der.data();
  EC_KEY* out = nullptr;
  tovel::UniquePtr<EC_KEY> decoded(
      decode_sm2_private_key(&out, &p, static_cast<long>(sm2Der.size())));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(out, decoded.get());
  EXPECT_EQ(p, sm2Der.data() + sm2Der.size());
  EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(decoded.get()), EC_KEY_get0_private_key(key_.get())), 0);
  const EC_GROUP* group = EC_KEY_get0_group(decoded.get());
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(EC_GROUP_get_curve_name(group), NID_sm2);
  ASSERT_NE(EC_KEY_get0_public_key(decoded.get()), nullptr);
  EXPECT_EQ(EC_POINT_cmp(group, EC_KEY_get0_public_key(decoded.get()),
                         EC_KEY_get0_public_key(key_.get()), nullptr),
            0);
  EXPECT_EQ(EC_KEY_get_conv_form(decoded.get()), POINT_CONVERSION_UNCOMPRESSED);
  EXPECT_TRUE(DrainErrors().empty());
}

TEST_F(Sm2PrivateKeyTest, ParametersAndPublicPointAreOptional) {
  // Without parameters, only a key that already has a group takes the bytes.
  const Bytes bare = Sm2Der(false, false);
  const unsigned char* p = bare.data();
  EXPECT_EQ(decode_sm2_private_key(nullptr, &p, static_cast<long>(bare.size())), nullptr);
  ExpectNewestError(ERR_LIB_EC, ERR_R_EC_LIB, 146);

  tovel::UniquePtr<EC_KEY> target(EC_KEY_new_by_curve_name(NID_sm2));
  EC_KEY* inOut = target.get();
  p = bare.data();
  EXPECT_EQ(decode_sm2_private_key(&inOut, &p, static_cast<long>(bare.size())), target.get());
  EXPECT_EQ(inOut, target.get());
  EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(target.get()), EC_KEY_get0_private_key(key_.get())), 0);
  EXPECT_EQ(EC_KEY_get0_public_key(target.get()), nullptr);  // not computed from the scalar

  const Bytes withParams = Sm2Der(true, false);
  p = withParams.data();
  tovel::UniquePtr<EC_KEY> decoded(
      decode_sm2_private_key(nullptr, &p, static_cast<long>(withParams.size())));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(EC_KEY_get0_public_key(decoded.get()), nullptr);
}

TEST_F(Sm2PrivateKeyTest, NamedTestCurveAndCompressedPointDecode) {
  EC_GROUP* testCurve = sm_ec_group_new(SM_OBJ_SM2_TEST_CURVE);
  ASSERT_NE(testCurve, nullptr);
  tovel::UniquePtr<EC_KEY> testKey(EC_KEY_new());
  ASSERT_EQ(EC_KEY_set_group(testKey.get(), testCurve), 1);
  ASSERT_EQ(EC_KEY_generate_key(testKey.get()), 1);
  const Bytes der = Sm2Der(testKey.get(), testCurve, true, true, POINT_CONVERSION_COMPRESSED);
  // The parameters are the curve's OID, 1.2.156.10197.1.888.
  EXPECT_NE(ToHex(der).find("A00A06082A811CCF55018678"), std::string::npos);
  const unsigned char* p = der.data();
  tovel::UniquePtr<EC_KEY> decoded(
      decode_sm2_private_key(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(EC_GROUP_get_curve_name(EC_KEY_get0_group(decoded.get())),
            sm_obj_nid(SM_OBJ_SM2_TEST_CURVE));
  EXPECT_EQ(EC_POINT_cmp(testCurve, EC_KEY_get0_public_key(decoded.get()),
                         EC_KEY_get0_public_key(testKey.get()), nullptr),
            0);
  EXPECT_EQ(EC_KEY_get_conv_form(decoded.get()), POINT_CONVERSION_COMPRESSED);
  EXPECT_TRUE(DrainErrors().empty());
  EC_GROUP_free(testCurve);
}

TEST_F(Sm2PrivateKeyTest, BadPublicPointFails) {
  Bytes der = Sm2Der(true, true);
  // The point's first byte follows the BIT STRING header (03 42 00) near the end.
  const size_t marker = der.size() - 65;
  ASSERT_EQ(der[marker], 0x04);
  der[marker + 48] ^= 0x01;  // a byte of y: off the curve
  const unsigned char* p = der.data();
  EXPECT_EQ(decode_sm2_private_key(nullptr, &p, static_cast<long>(der.size())), nullptr);
  ExpectNewestError(ERR_LIB_EC, ERR_R_EC_LIB, 146);

  // A key that the decoder created is freed, not handed back.
  EC_KEY* created = nullptr;
  p = der.data();
  EXPECT_EQ(decode_sm2_private_key(&created, &p, static_cast<long>(der.size())), nullptr);
  EXPECT_EQ(created, nullptr);
  ExpectNewestError(ERR_LIB_EC, ERR_R_EC_LIB, 146);

  // The caller's key stays the caller's, with the group and scalar that the
  // earlier steps set.
  tovel::UniquePtr<EC_KEY> target(EC_KEY_new());
  EC_KEY* inOut = target.get();
  p = der.data();
  EXPECT_EQ(decode_sm2_private_key(&inOut, &p, static_cast<long>(der.size())), nullptr);
  ExpectNewestError(ERR_LIB_EC, ERR_R_EC_LIB, 146);
  EXPECT_EQ(inOut, target.get());
  ASSERT_NE(EC_KEY_get0_group(target.get()), nullptr);
  EXPECT_EQ(EC_GROUP_get_curve_name(EC_KEY_get0_group(target.get())), NID_sm2);
  ASSERT_NE(EC_KEY_get0_private_key(target.get()), nullptr);
  EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(target.get()), EC_KEY_get0_private_key(key_.get())), 0);
  EXPECT_EQ(EC_KEY_get0_public_key(target.get()), nullptr);
}

TEST_F(Sm2PrivateKeyTest, LegacyDecodingTriesBothFormsAndClearsTheQueue) {
  struct Case {
    const char* name;
    Bytes der;
  };
  const Case cases[] = {{"ECPrivateKey", ecDer_}, {"SM2_PRIVATEKEY", Sm2Der(true, true)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ERR_raise(ERR_LIB_USER, 1);  // an earlier entry, dropped as well
    EVP_PKEY* pkey = EVP_PKEY_new();
    const unsigned char* p = c.der.data();
    ASSERT_EQ(ec_key_legacy_decode(pkey, &p, static_cast<int>(c.der.size())), 1);
    EXPECT_EQ(ERR_peek_error(), 0u);
    BIGNUM* d = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(pkey, "priv", &d), 1);
    EXPECT_EQ(BN_cmp(d, EC_KEY_get0_private_key(key_.get())), 0);
    BN_free(d);
    EVP_PKEY_free(pkey);
  }

  const Bytes garbage = FromHex("300602010104013A");
  EVP_PKEY* pkey = EVP_PKEY_new();
  const unsigned char* p = garbage.data();
  ERR_clear_error();
  EXPECT_EQ(ec_key_legacy_decode(pkey, &p, static_cast<int>(garbage.size())), 0);
  const std::vector<ErrorEntry> entries = DrainErrors();
  ASSERT_GE(entries.size(), 2u);  // the decoders' entries stay before it
  EXPECT_EQ(entries.back().lib, ERR_LIB_EC);
  EXPECT_EQ(entries.back().reason, EC_R_DECODE_ERROR);
  EXPECT_EQ(entries.back().func, 222);
  EXPECT_EQ(entries[entries.size() - 2].func, 146);
  EVP_PKEY_free(pkey);
}

// A key on the SM2 test curve, which only the extension knows, decodes through
// the legacy decoding in both forms, as decode_sm2_private_key takes it.
TEST_F(Sm2PrivateKeyTest, LegacyDecodingTakesTheTestCurveInBothForms) {
  EC_GROUP* testCurve = sm_ec_group_new(SM_OBJ_SM2_TEST_CURVE);
  ASSERT_NE(testCurve, nullptr);
  tovel::UniquePtr<EC_KEY> testKey(EC_KEY_new());
  ASSERT_EQ(EC_KEY_set_group(testKey.get(), testCurve), 1);
  ASSERT_EQ(EC_KEY_generate_key(testKey.get()), 1);
  unsigned char* der = nullptr;
  const int len = i2d_ECPrivateKey(testKey.get(), &der);
  ASSERT_GT(len, 0);
  const Bytes ecDer(der, der + len);
  OPENSSL_free(der);
  // The library's own decoder does not know the curve the key names.
  const unsigned char* p = ecDer.data();
  EXPECT_EQ(d2i_ECPrivateKey(nullptr, &p, static_cast<long>(ecDer.size())), nullptr);
  EXPECT_NE(ToHex(ecDer).find("A00A06082A811CCF55018678"), std::string::npos);

  struct Case {
    const char* name;
    Bytes der;
  };
  const Case cases[] = {{"ECPrivateKey", ecDer},
                        {"SM2_PRIVATEKEY", Sm2Der(testKey.get(), testCurve, true, true)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ERR_raise(ERR_LIB_USER, 1);
    EVP_PKEY* pkey = EVP_PKEY_new();
    p = c.der.data();
    ASSERT_EQ(ec_key_legacy_decode(pkey, &p, static_cast<int>(c.der.size())), 1);
    EXPECT_EQ(p, c.der.data() + c.der.size());
    EXPECT_EQ(ERR_peek_error(), 0u);
    const EC_KEY* decoded = EVP_PKEY_get0_EC_KEY(pkey);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(EC_GROUP_get_curve_name(EC_KEY_get0_group(decoded)),
              sm_obj_nid(SM_OBJ_SM2_TEST_CURVE));
    EXPECT_EQ(BN_cmp(EC_KEY_get0_private_key(decoded), EC_KEY_get0_private_key(testKey.get())), 0);
    ASSERT_NE(EC_KEY_get0_public_key(decoded), nullptr);
    EXPECT_EQ(EC_POINT_cmp(testCurve, EC_KEY_get0_public_key(decoded),
                           EC_KEY_get0_public_key(testKey.get()), nullptr),
              0);
    EVP_PKEY_free(pkey);
  }

  // A key that names another curve the library does not know still fails,
  // with the decoders' entries and the legacy entry last.
  Bytes otherCurve = ecDer;
  const size_t oid = ToHex(otherCurve).find("2A811CCF55018678") / 2;
  otherCurve[oid + 7] ^= 0x01;  // 1.2.156.10197.1.889
  EVP_PKEY* pkey = EVP_PKEY_new();
  p = otherCurve.data();
  ERR_clear_error();
  EXPECT_EQ(ec_key_legacy_decode(pkey, &p, static_cast<int>(otherCurve.size())), 0);
  const std::vector<ErrorEntry> entries = DrainErrors();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries.back().func, 222);
  EXPECT_EQ(entries[entries.size() - 2].func, 146);
  EVP_PKEY_free(pkey);
  EC_GROUP_free(testCurve);
}

// The container items: each decodes and re-encodes its own DER.
TEST(Sm2ContainerTest, ItemsRoundTripTheirDer) {
  // SEQUENCE { OID 1.2.156.10197.6.1.4.2.1, OID 1.2.156.10197.1.104, OCTET STRING 'key' }
  const Bytes privateData =
      FromHex("301B 060A2A811CCF550601040201 06082A811CCF55016801 0403 6B6579");
  // SEQUENCE { OID 1.2.156.10197.6.1.4.2.1, OCTET STRING 'cert' }
  const Bytes publicData = FromHex("3012 060A2A811CCF550601040201 0404 63657274");
  const Bytes pfx = Cat({FromHex("3034 020101"), privateData, publicData});
  struct Case {
    const ASN1_ITEM* item;
    const char* name;
    Bytes der;
  };
  const Case cases[] = {
      {ASN1_ITEM_rptr(PFX_SM2), "PFX_SM2", pfx},
      {ASN1_ITEM_rptr(PFX_SM2_PRIVATE_DATA), "PFX_SM2_PRIVATE_DATA", privateData},
      {ASN1_ITEM_rptr(PFX_SM2_PUBLIC_DATA), "PFX_SM2_PUBLIC_DATA", publicData},
      {ASN1_ITEM_rptr(SM2_PRIVATE_DATA), "SM2_PRIVATE_DATA", privateData},
      {ASN1_ITEM_rptr(SM2_PUBLIC_DATA), "SM2_PUBLIC_DATA", publicData},
      {ASN1_ITEM_rptr(SM2Cipher), "SM2Cipher", {}},
      {ASN1_ITEM_rptr(SM2_PRIVATEKEY), "SM2_PRIVATEKEY", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(c.item->sname, c.name);
    if (c.der.empty()) {
      continue;
    }
    const unsigned char* p = c.der.data();
    ASN1_VALUE* value = ASN1_item_d2i(nullptr, &p, static_cast<long>(c.der.size()), c.item);
    ASSERT_NE(value, nullptr);
    unsigned char* out = nullptr;
    const int len = ASN1_item_i2d(value, &out, c.item);
    ASSERT_GT(len, 0);
    EXPECT_EQ(ToHex(Bytes(out, out + len)), ToHex(c.der));
    OPENSSL_free(out);
    ASN1_item_free(value, c.item);
  }
  PFX_SM2* decoded = nullptr;
  const unsigned char* p = pfx.data();
  decoded = reinterpret_cast<PFX_SM2*>(
      ASN1_item_d2i(nullptr, &p, static_cast<long>(pfx.size()), ASN1_ITEM_rptr(PFX_SM2)));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(ASN1_INTEGER_get(decoded->version), 1);
  EXPECT_EQ(ToHex(Bytes(ASN1_STRING_get0_data(decoded->publicData->SM2Certificate),
                        ASN1_STRING_get0_data(decoded->publicData->SM2Certificate) + 4)),
            ToHex(FromText("cert")));
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(decoded), ASN1_ITEM_rptr(PFX_SM2));
}

}  // namespace
