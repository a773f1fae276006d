// ASN.1 types for SM2 data: the DER ciphertext SM2Cipher and its mapping to
// the raw form, the SM2_PRIVATEKEY private-key form with its decoders, and
// the SM2 key-container types.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <openssl/asn1.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

// SM2Cipher ::= SEQUENCE { XCoordinate INTEGER, YCoordinate INTEGER,
//                          HASH OCTET STRING, cipherText OCTET STRING }
// The hash (C3) comes before the ciphertext (C2), unlike the raw form.
typedef struct SM2Cipher_st {
  BIGNUM* XCoordinate;
  BIGNUM* YCoordinate;
  ASN1_OCTET_STRING* HASH;
  ASN1_OCTET_STRING* cipherText;
} SM2Cipher;

DECLARE_ASN1_ITEM(SM2Cipher)

// The library's d2i, i2d, new and free conventions on the SM2Cipher item.
SM2Cipher* sm2_cipher_decode(SM2Cipher** a, const unsigned char** in, long len);
int sm2_cipher_encode(const SM2Cipher* a, unsigned char** out);
SM2Cipher* sm2_cipher_new(void);
void sm2_cipher_free(SM2Cipher* a);

// A new SM2Cipher holding the fields of the raw ciphertext raw (rawlen bytes:
// 0x04 || x1 || y1 || C2 || C3, C2 at least one byte). Null for a shorter
// input or a first byte other than 0x04.
SM2Cipher* sm2_cipher_from_raw(const unsigned char* raw, int rawlen);

// Writes the raw form of cipher to out (room for outsize bytes) and its length
// to *outlen. 0 when a coordinate needs more than 32 bytes, HASH is not 32
// bytes, cipherText is empty, or the room is too small.
int sm2_cipher_to_raw(const SM2Cipher* cipher, unsigned char* out, size_t outsize, int* outlen);

// SM2_PRIVATEKEY ::= SEQUENCE { version INTEGER, privateKey INTEGER,
//     parameters [0] ECPKParameters OPTIONAL, publicKey [1] BIT STRING OPTIONAL }
// ECPrivateKey with the scalar as an INTEGER instead of an OCTET STRING.
typedef struct SM2_PRIVATEKEY_st {
  int32_t version;
  ASN1_INTEGER* privateKey;
  ECPKPARAMETERS* parameters;
  ASN1_BIT_STRING* publicKey;
} SM2_PRIVATEKEY;

DECLARE_ASN1_FUNCTIONS(SM2_PRIVATEKEY)

// Decodes an SM2_PRIVATEKEY (its scalar bytes wiped once taken) into *key
// when key and *key are given (the key
// stays the caller's), else into a new EC key, which is also stored in *key
// when key is given. Returns the key, or null with (EC, "func=146") entries.
// The key's version stays the library's: EC keys have no version setter.
EC_KEY* decode_sm2_private_key(EC_KEY** key, const unsigned char** in, long len);

// Traditional EC private-key decoding: ECPrivateKey first (the library's
// decoder, then, for a key that names the SM2 test curve, the extension's),
// then SM2_PRIVATEKEY. The decoded scalar bytes are wiped before they are
// freed. On success the key is assigned to pkey as an EC key, the
// thread's error queue is emptied and 1 returned; otherwise 0 with the entry
// (EC, EC_R_DECODE_ERROR, "func=222").
int ec_key_legacy_decode(EVP_PKEY* pkey, const unsigned char** in, int len);

// Key containers: declared, and used by nothing in this system.
typedef struct PFX_SM2_PRIVATE_DATA_st {
  ASN1_OBJECT* dataID;
  ASN1_OBJECT* dataEncryptedAlg;
  ASN1_OCTET_STRING* encryptedSM2PrivateKey;
} PFX_SM2_PRIVATE_DATA;

typedef struct PFX_SM2_PUBLIC_DATA_st {
  ASN1_OBJECT* dataID;
  ASN1_OCTET_STRING* SM2Certificate;
} PFX_SM2_PUBLIC_DATA;

typedef struct PFX_SM2_st {
  ASN1_INTEGER* version;
  PFX_SM2_PRIVATE_DATA* privateData;
  PFX_SM2_PUBLIC_DATA* publicData;
} PFX_SM2;

typedef PFX_SM2_PRIVATE_DATA SM2_PRIVATE_DATA;
typedef PFX_SM2_PUBLIC_DATA SM2_PUBLIC_DATA;

// The SM2 file certificate: fields only, no item of its own.
typedef struct SM2_FILE_CERTIFICATE_st {
  ASN1_INTEGER* version;
  SM2_PRIVATE_DATA* privateData;
  SM2_PUBLIC_DATA* publicData;
} SM2_FILE_CERTIFICATE;

DECLARE_ASN1_ITEM(PFX_SM2)
DECLARE_ASN1_ITEM(PFX_SM2_PRIVATE_DATA)
DECLARE_ASN1_ITEM(PFX_SM2_PUBLIC_DATA)
DECLARE_ASN1_ITEM(SM2_PRIVATE_DATA)
DECLARE_ASN1_ITEM(SM2_PUBLIC_DATA)

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include "platform/UniquePtr.h"

TOVEL_DEFINE_DELETER(SM2Cipher, sm2_cipher_free);
TOVEL_DEFINE_DELETER(SM2_PRIVATEKEY, SM2_PRIVATEKEY_free);
#endif
