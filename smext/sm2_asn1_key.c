/* Decoding of EC private keys written as SM2_PRIVATEKEY. */
#include "smext/sm2_asn1.h"

#include <string.h>

#include <openssl/asn1t.h>
#include <openssl/objects.h>

#include "smext/sm2_err.h"
#include "smext/sm_objects.h"

/* 1 when params names the SM2 test curve by its OID, which the library's own
 * curve list does not know. */
static int names_test_curve(const ECPKPARAMETERS *params) {
    if (!sm_objects_init()) {
        return 0;
    }
    const ASN1_OBJECT *oid = OBJ_nid2obj(sm_obj_nid(SM_OBJ_SM2_TEST_CURVE));
    unsigned char *paramsDer = NULL;
    unsigned char *oidDer = NULL;
    const int paramsLen = ASN1_item_i2d((const ASN1_VALUE *)params, &paramsDer, ASN1_ITEM_rptr(ECPKPARAMETERS));
    const int oidLen = oid != NULL ? i2d_ASN1_OBJECT(oid, &oidDer) : 0;
    const int same = paramsLen > 0 && paramsLen == oidLen && memcmp(paramsDer, oidDer, (size_t)oidLen) == 0;
    OPENSSL_free(paramsDer);
    OPENSSL_free(oidDer);
    return same;
}

static EC_GROUP *group_from_parameters(const ECPKPARAMETERS *params) {
    ERR_set_mark();
    EC_GROUP *group = EC_GROUP_new_from_ecpkparameters(params);
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
static int set_public_point(EC_KEY *key, const ASN1_BIT_STRING *pub) {
    const EC_GROUP *group = EC_KEY_get0_group(key);
    const unsigned char *bytes = ASN1_STRING_get0_data(pub);
    const int len = ASN1_STRING_length(pub);
    EC_POINT *point = EC_POINT_new(group);
    const int ok = point != NULL && len > 0 && EC_POINT_oct2point(group, point, bytes, (size_t)len, NULL) &&
                   EC_KEY_set_public_key(key, point);
    EC_POINT_free(point);
    if (ok) {
        EC_KEY_set_conv_form(key, (point_conversion_form_t)(bytes[0] & ~0x01));
    }
    return ok;
}

EC_KEY *decode_sm2_private_key(EC_KEY **key, const unsigned char **in, long len) {
    SM2_PRIVATEKEY *decoded = SM2_PRIVATEKEY_new();
    if (decoded == NULL) {
        SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_MALLOC_FAILURE);
        return NULL;
    }
    if (d2i_SM2_PRIVATEKEY(&decoded, in, len) == NULL) {
        SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_EC_LIB);
        SM2_PRIVATEKEY_free(decoded);
        return NULL;
    }
    EC_KEY *ret = key != NULL ? *key : NULL;
    const int created = ret == NULL;
    if (created && (ret = EC_KEY_new()) == NULL) {
        SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_MALLOC_FAILURE);
        goto err;
    }
    if (decoded->parameters != NULL) {
        EC_GROUP *group = group_from_parameters(decoded->parameters);
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
    /* decoded->version has nowhere to go: the library keeps an EC key's
     * version to itself. */
    BIGNUM *scalar = BN_bin2bn(ASN1_STRING_get0_data(decoded->privateKey), ASN1_STRING_length(decoded->privateKey), NULL);
    const int scalarSet = scalar != NULL && EC_KEY_set_private_key(ret, scalar);
    BN_clear_free(scalar);
    if (!scalarSet) {
        SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_BN_LIB);
        goto err;
    }
    if (decoded->publicKey != NULL && !set_public_point(ret, decoded->publicKey)) {
        SM2_RAISE(ERR_LIB_EC, SM2_FUNC_D2I_ECPRIVATEKEY, ERR_R_EC_LIB);
        goto err;
    }
    SM2_PRIVATEKEY_free(decoded);
    if (key != NULL) {
        *key = ret;
    }
    return ret;

err:
    if (created) {
        EC_KEY_free(ret);
    }
    SM2_PRIVATEKEY_free(decoded);
    return NULL;
}

int ec_key_legacy_decode(EVP_PKEY *pkey, const unsigned char **in, int len) {
    EC_KEY *key = d2i_ECPrivateKey(NULL, in, len);
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
