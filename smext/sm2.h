// SM2 public-key algorithms (GM/T 0003): signatures, the user-identity hash Z,
// encryption with its key derivation, and the 32-byte number form they share.
//
// Curves are named by number: SM_OBJ_SM2_CURVE (920) and SM_OBJ_SM2_TEST_CURVE
// (921) from sm_objects.h, or the run-time NIDs behind them. Numbers and
// coordinates travel between the routines as 32 bytes, big-endian, zero-padded
// on the left. Failures return 0 (or null); the error entries carry the
// library and reason, and the function code as the text "func=<code>".
#pragma once

#include <stdint.h>

#include <openssl/bn.h>
#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM2_DEFAULT_USER_ID "1234567812345678"
#define SM2_DEFAULT_USER_ID_LEN 16

// Raw ciphertext 0x04 || x1 || y1 || C2 || C3: this many bytes longer than
// the message.
#define SM2_CIPHERTEXT_OVERHEAD 97

// Longest message (and so key stream) whose bit count fits the key
// derivation's 32-bit length: 512 MiB less one byte.
#define SM2_MAX_MESSAGE_LEN 0x1FFFFFFF

// Identities of this many bytes or more have no 16-bit bit length (ENTL).
#define SM2_MAX_ID_LEN 8192

// Signs the digest value e with the private scalar d on curve nid. Returns a
// new signature that the caller frees with ECDSA_SIG_free, or null.
ECDSA_SIG* sm2_sign(const BIGNUM* e, const BIGNUM* d, int nid);

// Checks sig against e and the public point (x, y) on curve nid: 1 when
// valid, else 0 with an error entry.
int sm2_verify(const ECDSA_SIG* sig, const BIGNUM* x, const BIGNUM* y, const BIGNUM* e, int nid);

// sm2_verify on the SM2 curve with every value given as a 32-byte string.
int sm2_verify_bytes(const unsigned char r[32], const unsigned char s[32],
                     const unsigned char x[32], const unsigned char y[32],
                     const unsigned char e[32]);

// Writes bn in its 32-byte form. 0 (out all zero) when bn needs more bytes.
int sm2_bn_to_bytes32(const BIGNUM* bn, unsigned char out[32]);

// Reads len bytes big-endian into the caller's bn; bytes past the 32nd are
// dropped. 0 for a negative len or a failed conversion.
int sm2_bytes_to_bn(const unsigned char* data, int len, BIGNUM* bn);

// Z = SM3(ENTL || id || a || b || xG || yG || xA || yA). 1 with Z in out, or
// 0 (out untouched) for an identity of SM2_MAX_ID_LEN bytes or more, a
// negative length or a number longer than 32 bytes.
int sm2_compute_z(const unsigned char* id, int idlen, const BIGNUM* a, const BIGNUM* b,
                  const BIGNUM* xG, const BIGNUM* yG, const BIGNUM* xA, const BIGNUM* yA,
                  unsigned char out[32]);

// Z of the public point (x, y) with SM2_DEFAULT_USER_ID and the SM2 curve's
// parameters, whatever curve the key lies on.
int sm2_default_z(const unsigned char x[32], const unsigned char y[32], unsigned char out[32]);

// Key derivation with SM3: klen bits (klen / 8 whole bytes are written) from
// the zlen bytes of z. 0 for klen 0 or a negative zlen.
int sm2_kdf(const unsigned char* z, int zlen, uint32_t klen, unsigned char* out);

// 1 when all len bytes are zero (also for len <= 0), else 0.
int sm2_is_all_zero(const unsigned char* buf, int len);

// Encrypts the mlen bytes of m (1 to SM2_MAX_MESSAGE_LEN) for the public point
// (xB, yB) on curve nid. out receives mlen + SM2_CIPHERTEXT_OVERHEAD bytes
// and is written only on success.
int sm2_encrypt(int nid, const unsigned char* m, int mlen, const BIGNUM* xB, const BIGNUM* yB,
                unsigned char* out);

// Decrypts the raw ciphertext c (clen bytes) with the private scalar d on
// curve nid. C1 must be an uncompressed point on the curve with coordinates
// below the field prime. out receives clen - SM2_CIPHERTEXT_OVERHEAD bytes,
// and only when the hash C3 checks: on failure out is left untouched.
int sm2_decrypt(int nid, const unsigned char* c, int clen, const BIGNUM* d, unsigned char* out);

#ifdef __cplusplus
}
#endif
