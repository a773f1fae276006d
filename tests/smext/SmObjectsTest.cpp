// SM objects: lookups by name and OID, the empty number, pairing and curves.
#include <string>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "platform/UniquePtr.h"
#include "smext/sm_objects.h"

namespace {

struct ObjectCase {
  int number;
  const char* shortName;
  const char* longName;
  const char* oid;
};

// The ten named objects; 929 is the empty number.
constexpr ObjectCase kObjects[] = {
    {SM_OBJ_SM2_CURVE, "ChinaSM2256", "prime256v1SM2", "1.2.156.10197.1.301"},
    {SM_OBJ_SM2_TEST_CURVE, "ChinaSM2TEST256", "prime256v1SM2TEST", "1.2.156.10197.1.888"},
    {SM_OBJ_SM3, "sm3", "ChinaSM3", "1.2.156.10197.1.401"},
    {SM_OBJ_SM4_CBC, "sm4-cbc", "ChinaSM4-CBC", "1.2.156.10197.1.104"},
    {SM_OBJ_SM2_SM3, "sm2-sm3", "ChinaSM2withSM3", "1.2.156.10197.1.501"},
    {SM_OBJ_SM1_CBC, "sm1-cbc", "ChinaSM1-CBC", "1.2.156.10197.1.102"},
    {SM_OBJ_ZUC, "zuc", "ChinaZUC", "1.2.156.10197.1.105"},
    {SM_OBJ_SM2_SM3_PKCS7, "sm2-sm3-pkcs7", "ChinaSM2withSM3PKCS7", "1.2.156.10197.1.301.1"},
    {SM_OBJ_SM_PKCS7_DATA, "sm-pkcs7-data", "SM-pkcs7-data", "1.2.156.10197.6.1.4.2.1"},
    {SM_OBJ_SM_PKCS7_SIGNED, "sm-pkcs7-signedData", "SM-pkcs7-signed", "1.2.156.10197.6.1.4.2.2"},
};

// The three objects the library already has keep its own NIDs and names.
bool IsLibraryObject(int number) {
  return number == SM_OBJ_SM2_CURVE || number == SM_OBJ_SM3 || number == SM_OBJ_SM2_SM3;
}

std::string OidText(const ASN1_OBJECT* obj) {
  char buf[80];
  const int len = OBJ_obj2txt(buf, sizeof(buf), obj, 1);
  return len > 0 ? std::string(buf, len) : std::string();
}

int TxtToNid(const char* text, int noName) {
  ASN1_OBJECT* obj = OBJ_txt2obj(text, noName);
  const int nid = obj != nullptr ? OBJ_obj2nid(obj) : NID_undef;
  ASN1_OBJECT_free(obj);
  return nid;
}

TEST(SmObjectsTest, EveryNameAndOidLeadsToTheObject) {
  for (const auto& c : kObjects) {
    SCOPED_TRACE(c.shortName);
    const int nid = sm_obj_nid(c.number);
    ASSERT_NE(nid, NID_undef);
    EXPECT_EQ(OBJ_sn2nid(c.shortName), nid);
    EXPECT_EQ(OBJ_ln2nid(c.longName), nid);
    EXPECT_EQ(OBJ_txt2nid(c.shortName), nid);
    EXPECT_EQ(OBJ_txt2nid(c.longName), nid);
    EXPECT_EQ(OBJ_txt2nid(c.oid), nid);
    EXPECT_EQ(TxtToNid(c.oid, 1), nid);
    EXPECT_EQ(TxtToNid(c.shortName, 0), nid);
    const ASN1_OBJECT* obj = OBJ_nid2obj(nid);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(OidText(obj), c.oid);
    if (IsLibraryObject(c.number)) {
      EXPECT_LT(nid, OBJ_new_nid(0)) << "expected the library's own object";
    } else {
      EXPECT_STREQ(OBJ_nid2sn(nid), c.shortName);
      EXPECT_STREQ(OBJ_nid2ln(nid), c.longName);
    }
  }
}

TEST(SmObjectsTest, LibraryObjectsAreTheLibrarysOwn) {
  EXPECT_EQ(sm_obj_nid(SM_OBJ_SM2_CURVE), NID_sm2);
  EXPECT_EQ(sm_obj_nid(SM_OBJ_SM3), NID_sm3);
  EXPECT_EQ(sm_obj_nid(SM_OBJ_SM2_SM3), NID_SM2_with_SM3);
}

TEST(SmObjectsTest, NumbersAreDistinct) {
  for (int a = SM_OBJ_FIRST; a <= SM_OBJ_LAST; ++a) {
    for (int b = a + 1; b <= SM_OBJ_LAST; ++b) {
      EXPECT_NE(sm_obj_nid(a), sm_obj_nid(b)) << a << " and " << b;
    }
  }
}

TEST(SmObjectsTest, EmptyNumberNamesNothing) {
  const int empty = sm_obj_nid(SM_OBJ_EMPTY);
  ASSERT_NE(empty, NID_undef);
  ERR_clear_error();
  EXPECT_EQ(OBJ_nid2obj(empty), nullptr);
  EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), OBJ_R_UNKNOWN_NID);
  EXPECT_EQ(OBJ_nid2sn(empty), nullptr);
  EXPECT_EQ(OBJ_nid2ln(empty), nullptr);
  ERR_clear_error();
  // No lookup of any of the objects yields it.
  for (const auto& c : kObjects) {
    EXPECT_NE(OBJ_txt2nid(c.oid), empty);
    EXPECT_NE(OBJ_txt2nid(c.shortName), empty);
    EXPECT_NE(OBJ_txt2nid(c.longName), empty);
  }
}

TEST(SmObjectsTest, NumbersOutsideTheRangeHaveNoNid) {
  for (int number : {0, SM_OBJ_FIRST - 1, SM_OBJ_LAST + 1, -920}) {
    EXPECT_EQ(sm_obj_nid(number), NID_undef) << number;
  }
}

TEST(SmObjectsTest, InitIsIdempotent) {
  const int before = sm_obj_nid(SM_OBJ_ZUC);
  EXPECT_EQ(sm_objects_init(), 1);
  EXPECT_EQ(sm_objects_init(), 1);
  EXPECT_EQ(sm_obj_nid(SM_OBJ_ZUC), before);
  EXPECT_EQ(OBJ_sn2nid("zuc"), before);
}

// The library's own row pairs SM2-with-SM3 with SM3 and the SM2 key type; no
// row is added (an EC-typed row breaks the library's SM2 certificate checks).
TEST(SmObjectsTest, SignaturePairing) {
  int md = 0, pkey = 0;
  ASSERT_EQ(OBJ_find_sigid_algs(sm_obj_nid(SM_OBJ_SM2_SM3), &md, &pkey), 1);
  EXPECT_EQ(md, sm_obj_nid(SM_OBJ_SM3));
  EXPECT_EQ(pkey, sm_obj_nid(SM_OBJ_SM2_CURVE));
  EXPECT_EQ(OBJ_find_sigid_algs(sm_obj_nid(SM_OBJ_SM2_SM3_PKCS7), &md, &pkey), 0);
  int sig = 0;
  ASSERT_EQ(OBJ_find_sigid_by_algs(&sig, sm_obj_nid(SM_OBJ_SM3), sm_obj_nid(SM_OBJ_SM2_CURVE)), 1);
  EXPECT_EQ(sig, sm_obj_nid(SM_OBJ_SM2_SM3));
}

using BnPtr = tovel::UniquePtr<BIGNUM>;

BnPtr HexBn(const char* hex) {
  BIGNUM* bn = nullptr;
  BN_hex2bn(&bn, hex);
  return BnPtr(bn);
}

struct CurveCase {
  int number;
  const char *p, *a, *b, *gx, *gy, *n;
};

constexpr CurveCase kCurves[] = {
    {SM_OBJ_SM2_CURVE, "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFF",
     "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
     "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
     "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
     "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
     "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123"},
    {SM_OBJ_SM2_TEST_CURVE, "8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3",
     "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498",
     "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A",
     "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D",
     "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2",
     "8542D69E4C044F18E8B92435BF6FF7DD297720630485628D5AE74EE7C32E79B7"},
};

void ExpectCurve(const EC_GROUP* group, const CurveCase& c) {
  const int nid = sm_obj_nid(c.number);
  EXPECT_EQ(EC_GROUP_get_curve_name(group), nid);
  BnPtr p(BN_new()), a(BN_new()), b(BN_new());
  ASSERT_EQ(EC_GROUP_get_curve(group, p.get(), a.get(), b.get(), nullptr), 1);
  EXPECT_EQ(BN_cmp(p.get(), HexBn(c.p).get()), 0);
  EXPECT_EQ(BN_cmp(a.get(), HexBn(c.a).get()), 0);
  EXPECT_EQ(BN_cmp(b.get(), HexBn(c.b).get()), 0);
  EXPECT_EQ(BN_cmp(EC_GROUP_get0_order(group), HexBn(c.n).get()), 0);
  EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(group)));
  const EC_POINT* g = EC_GROUP_get0_generator(group);
  ASSERT_NE(g, nullptr);
  BnPtr x(BN_new()), y(BN_new());
  ASSERT_EQ(EC_POINT_get_affine_coordinates(group, g, x.get(), y.get(), nullptr), 1);
  EXPECT_EQ(BN_cmp(x.get(), HexBn(c.gx).get()), 0);
  EXPECT_EQ(BN_cmp(y.get(), HexBn(c.gy).get()), 0);
  EXPECT_EQ(EC_POINT_is_on_curve(group, g, nullptr), 1);
  EXPECT_EQ(EC_GROUP_check(group, nullptr), 1);
  EXPECT_EQ(sm_obj_is_sm2_curve(nid), 1);
}

TEST(SmObjectsTest, CurvesByNumberAndByNid) {
  for (const auto& c : kCurves) {
    for (int id : {c.number, sm_obj_nid(c.number)}) {
      SCOPED_TRACE(id);
      tovel::UniquePtr<EC_GROUP> group(sm_ec_group_new(id));
      ASSERT_NE(group, nullptr);
      ExpectCurve(group.get(), c);
    }
  }
}

TEST(SmObjectsTest, OtherCurvesAreRefused) {
  for (int nid : {NID_X9_62_prime256v1, NID_secp384r1, NID_undef, sm_obj_nid(SM_OBJ_SM3)}) {
    SCOPED_TRACE(nid);
    ERR_clear_error();
    EXPECT_EQ(sm_ec_group_new(nid), nullptr);
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), EC_R_UNKNOWN_GROUP);
    EXPECT_EQ(sm_obj_is_sm2_curve(nid), 0);
  }
  ERR_clear_error();
}

}  // namespace
