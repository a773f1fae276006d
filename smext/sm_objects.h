// The SM objects in the crypto library's object table, and the SM2 curves.
//
// The objects are known inside this project by fixed numbers; the library
// hands out (or already owns) the run-time NIDs that stand behind them.
// Always compare library NIDs with sm_obj_nid(SM_OBJ_...), never with the
// fixed numbers: 920..930 belong to other objects in the library.
#pragma once

#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  SM_OBJ_SM2_CURVE = 920,        // "ChinaSM2256"          1.2.156.10197.1.301
  SM_OBJ_SM2_TEST_CURVE = 921,   // "ChinaSM2TEST256"      1.2.156.10197.1.888
  SM_OBJ_SM3 = 922,              // "sm3"                  1.2.156.10197.1.401
  SM_OBJ_SM4_CBC = 923,          // "sm4-cbc"              1.2.156.10197.1.104
  SM_OBJ_SM2_SM3 = 924,          // "sm2-sm3"              1.2.156.10197.1.501
  SM_OBJ_SM1_CBC = 925,          // "sm1-cbc"              1.2.156.10197.1.102
  SM_OBJ_ZUC = 926,              // "zuc"                  1.2.156.10197.1.105
  SM_OBJ_SM2_SM3_PKCS7 = 927,    // "sm2-sm3-pkcs7"        1.2.156.10197.1.301.1
  SM_OBJ_SM_PKCS7_DATA = 928,    // "sm-pkcs7-data"        1.2.156.10197.6.1.4.2.1
  SM_OBJ_EMPTY = 929,            // reserved: no names, no OID
  SM_OBJ_SM_PKCS7_SIGNED = 930,  // "sm-pkcs7-signedData"  1.2.156.10197.6.1.4.2.2
  SM_OBJ_FIRST = SM_OBJ_SM2_CURVE,
  SM_OBJ_LAST = SM_OBJ_SM_PKCS7_SIGNED
};

// Puts the objects in place: the library's own objects where it has one with
// the same OID (with our short and long names added as aliases), new objects
// for the rest, and one reserved empty NID. Runs once; later calls return the
// first result. 1 on success, 0 on failure (error queued).
int sm_objects_init(void);

// The run-time NID behind a fixed number (SM_OBJ_...); puts the objects in
// place first if needed. NID_undef for a number outside 920..930 or when the
// objects could not be put in place.
int sm_obj_nid(int number);

// 1 when curveNid is the run-time NID of the SM2 curve or the SM2 test curve.
int sm_obj_is_sm2_curve(int curveNid);

// Builds either SM2 curve. nid is the run-time NID of the curve or its fixed
// number (SM_OBJ_SM2_CURVE, SM_OBJ_SM2_TEST_CURVE). The SM2 curve is the
// library's own; the test curve is built from its parameters and carries its
// run-time NID as curve name. NULL (error queued) for any other number.
EC_GROUP* sm_ec_group_new(int nid);

#ifdef __cplusplus
}
#endif
