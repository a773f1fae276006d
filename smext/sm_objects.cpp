// The SM objects and the two SM2 curves in the crypto library.
#include "smext/sm_objects.h"

#include <iterator>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "platform/UniquePtr.h"

namespace {

struct ObjectRow {
  int number;
  const char* shortName;  // null for the reserved empty number
  const char* longName;
  const char* oid;
};

constexpr ObjectRow kObjects[] = {
    {SM_OBJ_SM2_CURVE, "ChinaSM2256", "prime256v1SM2", "1.2.156.10197.1.301"},
    {SM_OBJ_SM2_TEST_CURVE, "ChinaSM2TEST256", "prime256v1SM2TEST", "1.2.156.10197.1.888"},
    {SM_OBJ_SM3, "sm3", "ChinaSM3", "1.2.156.10197.1.401"},
    {SM_OBJ_SM4_CBC, "sm4-cbc", "ChinaSM4-CBC", "1.2.156.10197.1.104"},
    {SM_OBJ_SM2_SM3, "sm2-sm3", "ChinaSM2withSM3", "1.2.156.10197.1.501"},
    {SM_OBJ_SM1_CBC, "sm1-cbc", "ChinaSM1-CBC", "1.2.156.10197.1.102"},
    {SM_OBJ_ZUC, "zuc", "ChinaZUC", "1.2.156.10197.1.105"},
    {SM_OBJ_SM2_SM3_PKCS7, "sm2-sm3-pkcs7", "ChinaSM2withSM3PKCS7", "1.2.156.10197.1.301.1"},
    {SM_OBJ_SM_PKCS7_DATA, "sm-pkcs7-data", "SM-pkcs7-data", "1.2.156.10197.6.1.4.2.1"},
    {SM_OBJ_EMPTY, nullptr, nullptr, nullptr},
    {SM_OBJ_SM_PKCS7_SIGNED, "sm-pkcs7-signedData", "SM-pkcs7-signed", "1.2.156.10197.6.1.4.2.2"},
};
static_assert(std::size(kObjects) == SM_OBJ_LAST - SM_OBJ_FIRST + 1, "one row per number");

// The SM2 test curve over a 256-bit prime field (cofactor 1).
constexpr const char* kTestCurveP =
    "8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3";
constexpr const char* kTestCurveA =
    "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498";
constexpr const char* kTestCurveB =
    "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A";
constexpr const char* kTestCurveGx =
    "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D";
constexpr const char* kTestCurveGy =
    "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2";
constexpr const char* kTestCurveN =
    "8542D69E4C044F18E8B92435BF6FF7DD297720630485628D5AE74EE7C32E79B7";

int g_nids[std::size(kObjects)];

// Our names for an object the library already has: an OID-less copy under
// the library's NID adds them to the name indexes and leaves its OID alone.
int AddNames(int libraryNid, const ObjectRow& row) {
  // Names already in place (put there by another copy of this code in the
  // process, such as the loadable module beside a program) stay as they are:
  // adding them again would displace the first copy, which the library then
  // never frees.
  if (OBJ_sn2nid(row.shortName) == libraryNid && OBJ_ln2nid(row.longName) == libraryNid) {
    return 1;
  }
  ASN1_OBJECT* alias = ASN1_OBJECT_create(libraryNid, nullptr, 0, row.shortName, row.longName);
  if (alias == nullptr) {
    return 0;
  }
  const int nid = OBJ_add_object(alias);
  ASN1_OBJECT_free(alias);
  return nid == libraryNid;
}

int PlaceObject(const ObjectRow& row) {
  if (row.oid == nullptr) {
    return OBJ_new_nid(1);  // reserved, names nothing
  }
  // Look the OID up as a number only, never as a name.
  ASN1_OBJECT* existing = OBJ_txt2obj(row.oid, 1);
  const int libraryNid = existing != nullptr ? OBJ_obj2nid(existing) : NID_undef;
  ASN1_OBJECT_free(existing);
  if (libraryNid != NID_undef) {
    return AddNames(libraryNid, row) ? libraryNid : NID_undef;
  }
  return OBJ_create(row.oid, row.shortName, row.longName);
}

int InitObjects() {
  for (size_t i = 0; i < std::size(kObjects); ++i) {
    g_nids[i] = PlaceObject(kObjects[i]);
    if (g_nids[i] == NID_undef) {
      return 0;
    }
  }
  return 1;
}

using BnPtr = tovel::UniquePtr<BIGNUM>;

BnPtr HexBn(const char* hex) {
  BIGNUM* bn = nullptr;
  if (BN_hex2bn(&bn, hex) == 0) {
    return nullptr;
  }
  return BnPtr(bn);
}

EC_GROUP* NewTestCurve(int curveNid) {
  BnPtr p = HexBn(kTestCurveP), a = HexBn(kTestCurveA), b = HexBn(kTestCurveB);
  BnPtr gx = HexBn(kTestCurveGx), gy = HexBn(kTestCurveGy), n = HexBn(kTestCurveN);
  BnPtr cofactor(BN_new());
  if (!p || !a || !b || !gx || !gy || !n || !cofactor || !BN_set_word(cofactor.get(), 1)) {
    return nullptr;
  }
  tovel::UniquePtr<EC_GROUP> group(EC_GROUP_new_curve_GFp(p.get(), a.get(), b.get(), nullptr));
  if (group == nullptr) {
    return nullptr;
  }
  tovel::UniquePtr<EC_POINT> generator(EC_POINT_new(group.get()));
  if (generator == nullptr ||
      !EC_POINT_set_affine_coordinates(group.get(), generator.get(), gx.get(), gy.get(), nullptr) ||
      !EC_GROUP_set_generator(group.get(), generator.get(), n.get(), cofactor.get())) {
    return nullptr;
  }
  EC_GROUP_set_curve_name(group.get(), curveNid);
  EC_GROUP_set_asn1_flag(group.get(), OPENSSL_EC_NAMED_CURVE);
  return group.release();
}

}  // namespace

int sm_objects_init(void) {
  static const int result = InitObjects();  // once, thread-safe
  return result;
}

int sm_obj_nid(int number) {
  if (number < SM_OBJ_FIRST || number > SM_OBJ_LAST || !sm_objects_init()) {
    return NID_undef;
  }
  return g_nids[number - SM_OBJ_FIRST];
}

int sm_obj_is_sm2_curve(int curveNid) {
  return curveNid != NID_undef && (curveNid == sm_obj_nid(SM_OBJ_SM2_CURVE) ||
                                   curveNid == sm_obj_nid(SM_OBJ_SM2_TEST_CURVE));
}

EC_GROUP* sm_ec_group_new(int nid) {
  const int curveNid = sm_obj_nid(SM_OBJ_SM2_CURVE);
  const int testCurveNid = sm_obj_nid(SM_OBJ_SM2_TEST_CURVE);
  if (curveNid != NID_undef && (nid == SM_OBJ_SM2_CURVE || nid == curveNid)) {
    return EC_GROUP_new_by_curve_name(curveNid);
  }
  if (testCurveNid != NID_undef && (nid == SM_OBJ_SM2_TEST_CURVE || nid == testCurveNid)) {
    return NewTestCurve(testCurveNid);
  }
  ERR_raise(ERR_LIB_EC, EC_R_UNKNOWN_GROUP);
  return nullptr;
}
