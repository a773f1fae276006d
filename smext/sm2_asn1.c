/* ASN.1 templates of the SM2 types and the SM2Cipher <-> raw mapping. */
#include "smext/sm2_asn1.h"

#include <string.h>

#include <openssl/asn1t.h>

#include "smext/sm2.h"

ASN1_SEQUENCE(SM2Cipher) =
    {
        ASN1_SIMPLE(SM2Cipher, XCoordinate, BIGNUM),
        ASN1_SIMPLE(SM2Cipher, YCoordinate, BIGNUM),
        ASN1_SIMPLE(SM2Cipher, HASH, ASN1_OCTET_STRING),
        ASN1_SIMPLE(SM2Cipher, cipherText, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2Cipher)

        ASN1_SEQUENCE(SM2_PRIVATEKEY) =
            {
                ASN1_EMBED(SM2_PRIVATEKEY, version, INT32),
                ASN1_SIMPLE(SM2_PRIVATEKEY, privateKey, ASN1_INTEGER),
                ASN1_EXP_OPT(SM2_PRIVATEKEY, parameters, ECPKPARAMETERS, 0),
                ASN1_EXP_OPT(SM2_PRIVATEKEY, publicKey, ASN1_BIT_STRING, 1),
} ASN1_SEQUENCE_END(SM2_PRIVATEKEY)

                IMPLEMENT_ASN1_FUNCTIONS(SM2_PRIVATEKEY)
/* The PFX and the file-certificate containers share their two data types,
 * each under an item of its own. */
#define SM2_PRIVATE_DATA_ITEM(type)                                 \
  ASN1_SEQUENCE(type) = {                                           \
      ASN1_SIMPLE(type, dataID, ASN1_OBJECT),                       \
      ASN1_SIMPLE(type, dataEncryptedAlg, ASN1_OBJECT),             \
      ASN1_SIMPLE(type, encryptedSM2PrivateKey, ASN1_OCTET_STRING), \
  } ASN1_SEQUENCE_END(type)

#define SM2_PUBLIC_DATA_ITEM(type)                          \
  ASN1_SEQUENCE(type) = {                                   \
      ASN1_SIMPLE(type, dataID, ASN1_OBJECT),               \
      ASN1_SIMPLE(type, SM2Certificate, ASN1_OCTET_STRING), \
  } ASN1_SEQUENCE_END(type)

                    SM2_PRIVATE_DATA_ITEM(PFX_SM2_PRIVATE_DATA)
                        SM2_PUBLIC_DATA_ITEM(PFX_SM2_PUBLIC_DATA)
                            SM2_PRIVATE_DATA_ITEM(SM2_PRIVATE_DATA)
                                SM2_PUBLIC_DATA_ITEM(SM2_PUBLIC_DATA)

                                    ASN1_SEQUENCE(PFX_SM2) =
                                        {
                                            ASN1_SIMPLE(PFX_SM2, version, ASN1_INTEGER),
                                            ASN1_SIMPLE(PFX_SM2, privateData, PFX_SM2_PRIVATE_DATA),
                                            ASN1_SIMPLE(PFX_SM2, publicData, PFX_SM2_PUBLIC_DATA),
} ASN1_SEQUENCE_END(PFX_SM2)

                                            SM2Cipher
                                        * sm2_cipher_decode(SM2Cipher * *a,
                                                            const unsigned char** in, long len) {
  return (SM2Cipher*)ASN1_item_d2i((ASN1_VALUE**)a, in, len, ASN1_ITEM_rptr(SM2Cipher));
}

int sm2_cipher_encode(const SM2Cipher* a, unsigned char** out) {
  return ASN1_item_i2d((const ASN1_VALUE*)a, out, ASN1_ITEM_rptr(SM2Cipher));
}

SM2Cipher* sm2_cipher_new(void) { return (SM2Cipher*)ASN1_item_new(ASN1_ITEM_rptr(SM2Cipher)); }

void sm2_cipher_free(SM2Cipher* a) { ASN1_item_free((ASN1_VALUE*)a, ASN1_ITEM_rptr(SM2Cipher)); }

enum { kCoordLen = 32, kC1Len = 1 + 2 * kCoordLen, kHashLen = 32 };

SM2Cipher* sm2_cipher_from_raw(const unsigned char* raw, int rawlen) {
  if (raw == NULL || rawlen <= SM2_CIPHERTEXT_OVERHEAD || raw[0] != POINT_CONVERSION_UNCOMPRESSED) {
    return NULL;
  }
  const int c2len = rawlen - SM2_CIPHERTEXT_OVERHEAD;
  SM2Cipher* cipher = sm2_cipher_new();
  if (cipher == NULL || BN_bin2bn(raw + 1, kCoordLen, cipher->XCoordinate) == NULL ||
      BN_bin2bn(raw + 1 + kCoordLen, kCoordLen, cipher->YCoordinate) == NULL ||
      !ASN1_OCTET_STRING_set(cipher->cipherText, raw + kC1Len, c2len) ||
      !ASN1_OCTET_STRING_set(cipher->HASH, raw + kC1Len + c2len, kHashLen)) {
    sm2_cipher_free(cipher);
    return NULL;
  }
  return cipher;
}

int sm2_cipher_to_raw(const SM2Cipher* cipher, unsigned char* out, size_t outsize, int* outlen) {
  if (cipher == NULL || out == NULL || outlen == NULL || cipher->HASH == NULL ||
      cipher->cipherText == NULL || ASN1_STRING_length(cipher->HASH) != kHashLen ||
      ASN1_STRING_length(cipher->cipherText) <= 0) {
    return 0;
  }
  const int c2len = ASN1_STRING_length(cipher->cipherText);
  if (cipher->XCoordinate == NULL || cipher->YCoordinate == NULL ||
      BN_is_negative(cipher->XCoordinate) || BN_is_negative(cipher->YCoordinate) ||
      c2len > SM2_MAX_MESSAGE_LEN || outsize < (size_t)c2len + SM2_CIPHERTEXT_OVERHEAD) {
    return 0;
  }
  unsigned char coords[2 * kCoordLen];
  if (!sm2_bn_to_bytes32(cipher->XCoordinate, coords) ||
      !sm2_bn_to_bytes32(cipher->YCoordinate, coords + kCoordLen)) {
    return 0;
  }
  out[0] = POINT_CONVERSION_UNCOMPRESSED;
  memcpy(out + 1, coords, sizeof(coords));
  memcpy(out + kC1Len, ASN1_STRING_get0_data(cipher->cipherText), (size_t)c2len);
  memcpy(out + kC1Len + c2len, ASN1_STRING_get0_data(cipher->HASH), kHashLen);
  *outlen = c2len + SM2_CIPHERTEXT_OVERHEAD;
  return 1;
}
