/* Decoding of EC private keys written as SM2_PRIVATEKEY. */
#include "smext/sm2_asn1.h"

#include <string.h>

#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include "smext/sm2_err.h"
#include "smext/sm_objects.h"

/* 1 when params names the SM2 test curve by its OID, which the library's own
 * curve list does not know. */
static int names_test_curve(const ECPKPARAMETERS* params) {
  if (!sm_objects_init()) {
    return 0;
  }
  const ASN1_OBJECT* oid = OBJ_nid2obj(sm_obj_nid(SM_OBJ_SM2_TEST_CURVE));
  unsigned char* paramsDer = NULL;
  unsigned char* oidDer = NULL;
  const int paramsLen =
      ASN1_item_i2d((const ASN1_VALUE*)params, &paramsDer, ASN1_ITEM_rptr(ECPKPARAMETERS));
  const int oidLen = oid != NULL ? i2d_ASN1_OBJECT(oid, &oidDer) : 0;
  const int same =
      paramsLen > 0 && paramsLen == oidLen && memcmp(paramsDer, oidDer, (size_t)oidLen) == 0;
  OPENSSL_free(paramsDer);
  OPENSSL_free(oidDer);
  return same;
}

static EC_GROUP* group_from_parameters(const ECPKPARAMETERS* params) {
  ERR_set_mark();
  EC_GROUP* group = EC_GROUP_new_from_ecpkparameters(params);
  if (group == NULL && names_test_curve(params)) {
    group = sm_ec_group_new(SM_OBJ_SM2_TEST_CURVE);
  }
  if (group != NULL) {
    ERR_pop_to_mark();
  } else {
    ERR_clear_last_mark();
  }
  return group;
}

/* Replaces the key's public point with the octet-encoded point pub. */
static int set_public_point(EC_KEY* key, const ASN1_BIT_STRING* pub) {
  const EC_GROUP* group = EC_KEY_get0_group(key);
  const unsigned char* bytes = ASN1_STRING_get0_data(pub);
  const int len = ASN1_STRING_length(pub);
  EC_POINT* point = EC_POINT_new(group);
  const int ok = point != NULL && len > 0 &&
                 EC_POINT_oct2point(group, point, bytes, (size_t)len, NULL) &&
                 EC_KEY_set_public_key(key, point);
  EC_POINT_free(point);
  if (ok) {
    EC_KEY_set_conv_form(key, (point_conversion_form_t)(bytes[0] & ~0x01));
  }
  return ok;
}

/* ECPrivateKey, the library's own form, for keys on a curve that only the
 * extension knows: the same fields as SM2_PRIVATEKEY, the scalar as an
 * OCTET STRING. */
typedef struct {
  int32_t version;
  ASN1_OCTET_STRING* privateKey;
  ECPKPARAMETERS* parameters;
  ASN1_BIT_STRING* publicKey;
} EC_PRIVATEKEY_FORM;

ASN1_SEQUENCE(EC_PRIVATEKEY_FORM) =
    {
        ASN1_EMBED(EC_PRIVATEKEY_FORM, version, INT32),
        ASN1_SIMPLE(EC_PRIVATEKEY_FORM, privateKey, ASN1_OCTET_STRING),
        ASN1_EXP_OPT(EC_PRIVATEKEY_FORM, parameters, ECPKPARAMETERS, 0),
        ASN1_EXP_OPT(EC_PRIVATEKEY_FORM, publicKey, ASN1_BIT_STRING, 1),
} static_ASN1_SEQUENCE_END(EC_PRIVATEKEY_FORM)

    /* Overwrites the bytes of a decoded private scalar before they are freed. */
    static void wipe_scalar(ASN1_STRING * scalar) {
  if (scalar != NULL && ASN1_STRING_length(scalar) > 0) {
    OPENSSL_cleanse((void*)ASN1_STRING_get0_data(scalar), (size_t)ASN1_STRING_length(scalar));
  }
}

/* The steps of d2i_ECPrivateKey after the ASN.1 decoding: the key is *key
 * when key and *key are given, else a new one, handed back through key on
 * success. Failures queue (EC, reason, "func=146") and return null. */
static EC_KEY* key_from_fields(EC_KEY** key, const ASN1_STRING* scalar,
                               const ECPKPARAMETERS* parameters, const ASN1_BIT_STRING* publicKey) {
  EC_KEY* ret = key != NULL ? *key : NULL;
  const int created = ret == NULL;
  if (created && (ret = EC_KEY_new()) == NULL) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_MALLOC_FAILURE);
    return NULL;
  }
  if (parameters != NULL) {
    EC_GROUP* group = group_from_parameters(parameters);
    const int set = group != NULL && EC_KEY_set_group(ret, group);
    EC_GROUP_free(group);
    if (!set) {
      SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_EC_LIB);
      goto err;
    }
  }
  if (EC_KEY_get0_group(ret) == NULL) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_EC_LIB);
    goto err;
  }
  /* The version has nowhere to go: the library keeps an EC key's version
   * to itself. */
  BIGNUM* number = BN_bin2bn(ASN1_STRING_get0_data(scalar), ASN1_STRING_length(scalar), NULL);
  const int scalarSet = number != NULL && EC_KEY_set_private_key(ret, number);
  BN_clear_free(number);
  if (!scalarSet) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_BN_LIB);
    goto err;
  }
  if (publicKey != NULL && !set_public_point(ret, publicKey)) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_EC_LIB);
    goto err;
  }
  if (key != NULL) {
    *key = ret;
  }
  return ret;

err:
  if (created) {
    EC_KEY_free(ret);
  }
  return NULL;
}

EC_KEY* decode_sm2_private_key(EC_KEY** key, const unsigned char** in, long len) {
  SM2_PRIVATEKEY* decoded = SM2_PRIVATEKEY_new();
  if (decoded == NULL) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_MALLOC_FAILURE);
    return NULL;
  }
  if (d2i_SM2_PRIVATEKEY(&decoded, in, len) == NULL) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_EC_LIB);
    SM2_PRIVATEKEY_free(decoded);
    return NULL;
  }
  EC_KEY* ret = key_from_fields(key, decoded->privateKey, decoded->parameters, decoded->publicKey);
  wipe_scalar(decoded->privateKey);
  SM2_PRIVATEKEY_free(decoded);
  return ret;
}

/* ECPrivateKey on a curve that the library's own decoder does not know (the
 * SM2 test curve): decoded as d2i_ECPrivateKey would, with the extension's
 * curves. Leaves the error queue as it was when it gives no key. */
static EC_KEY* decode_ec_private_key_on_own_curve(const unsigned char** in, long len) {
  ERR_set_mark();
  const unsigned char* cursor = *in;
  EC_PRIVATEKEY_FORM* decoded =
      (EC_PRIVATEKEY_FORM*)ASN1_item_d2i(NULL, &cursor, len, ASN1_ITEM_rptr(EC_PRIVATEKEY_FORM));
  EC_KEY* key = NULL;
  if (decoded != NULL && decoded->parameters != NULL && names_test_curve(decoded->parameters)) {
    key = key_from_fields(NULL, decoded->privateKey, decoded->parameters, decoded->publicKey);
  }
  if (decoded != NULL) {
    wipe_scalar(decoded->privateKey);
    ASN1_item_free((ASN1_VALUE*)decoded, ASN1_ITEM_rptr(EC_PRIVATEKEY_FORM));
  }
  if (key != NULL) {
    *in = cursor;
    ERR_clear_last_mark();
  } else {
    ERR_pop_to_mark();
  }
  return key;
}

int ec_key_legacy_decode(EVP_PKEY* pkey, const unsigned char** in, int len) {
  EC_KEY* key = d2i_ECPrivateKey(NULL, in, len);
  if (key == NULL) {
    /* The library knows only its own curves; the extension's test curve
     * is taken here as decode_sm2_private_key takes it. */
    key = decode_ec_private_key_on_own_curve(in, len);
  }
  if (key == NULL) {
    key = decode_sm2_private_key(NULL, in, len);
  }
  if (key == NULL || !EVP_PKEY_assign(pkey, EVP_PKEY_EC, key)) {
    EC_KEY_free(key);
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_OLD_EC_PRIV_DECODE, EC_R_DECODE_ERROR);
    return 0;
  }
  ERR_clear_error();
  return 1;
}
