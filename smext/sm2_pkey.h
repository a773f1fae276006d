// SM2 behind the key operations: sign, verify, encrypt and decrypt of an SM2
// key, the operation control and the PKCS#7/CMS signer control.
//
// The operations take the extension's own operation context in place of the
// library's EVP_PKEY_CTX (3.0 reaches keys through providers, whose contexts
// are the provider's): the key, the digest set through the control and the
// parameter-generation group. Results follow the key-method conventions:
// 1 success, 0 or a negative value failure, -2 for an unknown control.
#pragma once

#include <stddef.h>

#include <openssl/ec.h>
#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sm2_pkey_ctx_st {
  EC_KEY* key;          // the key in question (not owned)
  const EVP_MD* md;     // digest accepted by the control, or null (not owned)
  EC_GROUP* gen_group;  // parameter-generation group (owned), or null
} SM2_PKEY_CTX;

// Frees the parameter-generation group; the key and digest are not owned.
void sm2_pkey_ctx_cleanup(SM2_PKEY_CTX* ctx);

// 1 when the key's curve is either SM2 curve: such keys take the SM2 path,
// every other key the ECDSA path.
int sm2_pkey_uses_sm2(const EC_KEY* key);

// Signs the digest tbs. Without sig, *siglen becomes the largest signature
// (72 on a 256-bit curve) and 1 is returned. Otherwise *siglen is the room:
// less than that size gives 0 with (EC, EC_R_BUFFER_TOO_SMALL, "func=218").
// SM2 keys sign with SM2 on their own curve, other keys with ECDSA.
int ec_sm2_pkey_sign(SM2_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                     const unsigned char* tbs, size_t tbslen);
// 1 valid. SM2 path: -1 for anything else, among them a digest that is not
// 32 bytes long. ECDSA path: 0 invalid, -1 error.
int ec_sm2_pkey_verify(SM2_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                       const unsigned char* tbs, size_t tbslen);
// The same check with the results of the library's public verify calls:
// 1 valid; 0 when the signature does not verify, among them one that is not
// exactly DER and, on the SM2 path, a digest that is not 32 bytes long; -1
// for a failure that is not about the signature (no key or public point, no
// memory). The ECDSA path answers as ec_sm2_pkey_verify.
int ec_sm2_pkey_check(SM2_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                      const unsigned char* tbs, size_t tbslen);

// SM2 signature of the 32-byte digest tbs as DER ECDSA-Sig-Value written to
// sig (room for the key's largest signature), its length in *siglen: 1 or
// -1. A digest of another length is refused with (EC, EC_R_INVALID_DIGEST)
// and nothing is written.
int sm2_pkey_sign(SM2_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs,
                  size_t tbslen);
// Checks the DER signature against the 32-byte digest tbs: 1 or -1.
int sm2_pkey_verify(SM2_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                    const unsigned char* tbs);

// The signature {r, s} when sig is exactly its DER ECDSA-Sig-Value (shortest
// lengths, minimal integers, nothing after it); null for any other bytes.
// The caller frees it with ECDSA_SIG_free.
ECDSA_SIG* sm2_signature_from_der(const unsigned char* sig, size_t siglen);

// Longest DER SM2Cipher of an inlen-byte message: what encryption needs as room.
size_t sm2_pkey_encrypt_size(size_t inlen);

// Encrypts in to the DER SM2Cipher. Without out, *outlen becomes
// sm2_pkey_encrypt_size(inlen) and 1 is returned; otherwise *outlen is the
// room, less than that size gives -1 with nothing written, and on success
// *outlen is the DER length. -1 on any failure.
int sm2_pkey_encrypt(SM2_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in,
                     size_t inlen);
// Decrypts the DER SM2Cipher in. Without out, *outlen becomes the message
// length and 1 is returned; otherwise *outlen is the room, less than the
// message length gives -1 with nothing written. An SM2Cipher whose
// coordinates need more than 32 bytes or whose HASH is not 32 bytes is
// refused (-1). On success *outlen is the message length.
int sm2_pkey_decrypt(SM2_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in,
                     size_t inlen);

// The operation control: EVP_PKEY_CTRL_MD accepts sha1, ecdsa-with-SHA1,
// sha224, sha256, sha384, sha512 and sm3 (1; others 0 with
// (EC, EC_R_INVALID_DIGEST_TYPE, "func=197")); peer key, PKCS#7 and CMS sign
// and digest init answer 1; EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID sets the
// generation group (0 with EC_R_INVALID_CURVE when there is none);
// everything else -2.
int ec_sm2_pkey_control(SM2_PKEY_CTX* ctx, int type, int p1, void* p2);

// The EC key's ASN.1 control: PKCS#7 signer labels (sm3 gives
// sm2-sm3-pkcs7, other digests the library's pairing), CMS signer labels,
// the default digest (sha1, result 2); -2 for anything else.
int ec_key_asn1_control(EVP_PKEY* pkey, int op, long value, void* data);

#ifdef __cplusplus
}
#endif
