// SM2 behind the key operations: the sign, verify, encrypt, decrypt and
// control slots of an EC key, and the EC key's ASN.1 signer control.
#include "smext/sm2_pkey.h"

#include <string.h>

#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "smext/sm2.h"
#include "smext/sm2_asn1.h"
#include "smext/sm2_local.h"
#include "smext/sm_objects.h"

namespace {

constexpr size_t kDigestLen = 32;
constexpr int kC1Len = 65;  // 0x04 || x1 || y1
constexpr int kHashLen = 32;

const EC_GROUP* GroupOf(const SM2_PKEY_CTX* ctx) {
  return ctx != nullptr && ctx->key != nullptr ? EC_KEY_get0_group(ctx->key) : nullptr;
}

int CurveOf(const SM2_PKEY_CTX* ctx) {
  const EC_GROUP* group = GroupOf(ctx);
  return group != nullptr ? EC_GROUP_get_curve_name(group) : NID_undef;
}

// The affine coordinates of the key's public point; false without one.
bool PublicCoordinates(const SM2_PKEY_CTX* ctx, tovel::UniquePtr<BIGNUM>& x,
                       tovel::UniquePtr<BIGNUM>& y) {
  const EC_GROUP* group = GroupOf(ctx);
  const EC_POINT* point =
      ctx != nullptr && ctx->key != nullptr ? EC_KEY_get0_public_key(ctx->key) : nullptr;
  x.reset(BN_new());
  y.reset(BN_new());
  return group != nullptr && point != nullptr && x && y &&
         EC_POINT_get_affine_coordinates(group, point, x.get(), y.get(), nullptr);
}

int DigestTypeOf(const SM2_PKEY_CTX* ctx) {
  return ctx->md != nullptr ? EVP_MD_get_type(ctx->md) : NID_sha1;
}

// Bytes of a DER length field for a content of k bytes.
size_t DerLengthBytes(size_t k) {
  size_t n = 1;
  if (k >= 128) {
    for (; k != 0; k >>= 8) ++n;
  }
  return n;
}

// The library's signature-id table for (digest, EC key); keys on the SM2
// curve are typed SM2 by the library, so its row for them is tried next.
int SignatureIdFor(int mdNid, int* sigNid) {
  return OBJ_find_sigid_by_algs(sigNid, mdNid, EVP_PKEY_EC) ||
         OBJ_find_sigid_by_algs(sigNid, mdNid, EVP_PKEY_SM2);
}

// Signature algorithm of a signer from its digest algorithm: 1 or -1.
int LabelSigner(X509_ALGOR* digestAlg, X509_ALGOR* signatureAlg, bool sm3Rule) {
  if (digestAlg == nullptr || digestAlg->algorithm == nullptr || signatureAlg == nullptr) {
    return -1;
  }
  const int mdNid = OBJ_obj2nid(digestAlg->algorithm);
  if (mdNid == NID_undef) {
    return -1;
  }
  int sigNid = NID_undef;
  if (sm3Rule && mdNid == sm_obj_nid(SM_OBJ_SM3)) {
    sigNid = sm_obj_nid(SM_OBJ_SM2_SM3_PKCS7);
  } else if (!SignatureIdFor(mdNid, &sigNid)) {
    return -1;
  }
  ASN1_OBJECT* object = OBJ_nid2obj(sigNid);
  if (object == nullptr || !X509_ALGOR_set0(signatureAlg, object, V_ASN1_UNDEF, nullptr)) {
    return -1;
  }
  return 1;
}

// The SM2 check of the DER signature sig against the 32-byte digest tbs:
// 1 valid, 0 when it does not verify, -1 for a failure that is not about the
// signature (no key, no public point, no memory).
int CheckSm2(const SM2_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
             const unsigned char* tbs) {
  tovel::UniquePtr<BIGNUM> x, y;
  if (ctx == nullptr || tbs == nullptr || !PublicCoordinates(ctx, x, y)) {
    return -1;
  }
  const tovel::UniquePtr<ECDSA_SIG> signature(sm2_signature_from_der(sig, siglen));
  if (!signature) {
    return 0;
  }
  unsigned char rBytes[32], sBytes[32], xBytes[32], yBytes[32];
  if (!sm2_bn_to_bytes32(x.get(), xBytes) || !sm2_bn_to_bytes32(y.get(), yBytes)) {
    return -1;
  }
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(signature.get(), &r, &s);
  // An r or s of more than 32 bytes exceeds the order and has no 32-byte form.
  if (!sm2_bn_to_bytes32(r, rBytes) || !sm2_bn_to_bytes32(s, sBytes)) {
    return 0;
  }
  const int curve = CurveOf(ctx);
  if (curve == sm_obj_nid(SM_OBJ_SM2_CURVE)) {
    return sm2_verify_bytes(rBytes, sBytes, xBytes, yBytes, tbs) == 1 ? 1 : 0;
  }
  // The test curve: the same check on the key's own curve.
  const tovel::UniquePtr<BIGNUM> e(BN_bin2bn(tbs, 32, nullptr));
  if (!e) {
    return -1;
  }
  return sm2_verify(signature.get(), x.get(), y.get(), e.get(), curve) == 1 ? 1 : 0;
}

}  // namespace

void sm2_pkey_ctx_cleanup(SM2_PKEY_CTX* ctx) {
  if (ctx != nullptr) {
    EC_GROUP_free(ctx->gen_group);
    ctx->gen_group = nullptr;
  }
}

int sm2_pkey_uses_sm2(const EC_KEY* key) {
  const EC_GROUP* group = key != nullptr ? EC_KEY_get0_group(key) : nullptr;
  return group != nullptr && sm_obj_is_sm2_curve(EC_GROUP_get_curve_name(group));
}

int ec_sm2_pkey_sign(SM2_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen,
                     const unsigned char* tbs, size_t tbslen) {
  if (ctx == nullptr || ctx->key == nullptr || siglen == nullptr) {
    return -1;
  }
  const int size = ECDSA_size(ctx->key);
  if (size <= 0) {
    return -1;
  }
  if (sig == nullptr) {
    *siglen = static_cast<size_t>(size);
    return 1;
  }
  if (*siglen < static_cast<size_t>(size)) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_PKEY_EC_SIGN, EC_R_BUFFER_TOO_SMALL);
    return 0;
  }
  if (sm2_pkey_uses_sm2(ctx->key)) {
    return sm2_pkey_sign(ctx, sig, siglen, tbs, tbslen);
  }
  unsigned int written = 0;
  const int ret =
      ECDSA_sign(DigestTypeOf(ctx), tbs, static_cast<int>(tbslen), sig, &written, ctx->key);
  if (ret <= 0) {
    return ret;
  }
  *siglen = written;
  return 1;
}

int ec_sm2_pkey_verify(SM2_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                       const unsigned char* tbs, size_t tbslen) {
  const int ret = ec_sm2_pkey_check(ctx, sig, siglen, tbs, tbslen);
  // The SM2 path answers -1 for anything but a valid signature.
  if (ret != 1 && ctx != nullptr && sm2_pkey_uses_sm2(ctx->key)) {
    return -1;
  }
  return ret;
}

int ec_sm2_pkey_check(SM2_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                      const unsigned char* tbs, size_t tbslen) {
  if (ctx == nullptr || ctx->key == nullptr) {
    return -1;
  }
  if (sm2_pkey_uses_sm2(ctx->key)) {
    // An SM2 digest value has 32 bytes: a longer one is not cut, a shorter
    // one not read past.
    return tbslen != kDigestLen ? 0 : CheckSm2(ctx, sig, siglen, tbs);
  }
  if (sig == nullptr || tbs == nullptr) {
    return -1;
  }
  return ECDSA_verify(DigestTypeOf(ctx), tbs, static_cast<int>(tbslen), sig,
                      static_cast<int>(siglen), ctx->key);
}

int sm2_pkey_sign(SM2_PKEY_CTX* ctx, unsigned char* sig, size_t* siglen, const unsigned char* tbs,
                  size_t tbslen) {
  const BIGNUM* d =
      ctx != nullptr && ctx->key != nullptr ? EC_KEY_get0_private_key(ctx->key) : nullptr;
  if (tbslen != kDigestLen) {
    ERR_raise_data(ERR_LIB_EC, EC_R_INVALID_DIGEST, "SM2 signs a 32-byte digest, not %zu bytes",
                   tbslen);
    return -1;
  }
  if (d == nullptr || sig == nullptr || siglen == nullptr || tbs == nullptr) {
    return -1;
  }
  tovel::UniquePtr<BIGNUM> e(BN_bin2bn(tbs, static_cast<int>(tbslen), nullptr));
  if (!e) {
    return -1;
  }
  // Computed on the key's own curve: the SM2 curve or the SM2 test curve.
  tovel::UniquePtr<ECDSA_SIG> signature(sm2_sign(e.get(), d, CurveOf(ctx)));
  if (!signature) {
    return -1;
  }
  unsigned char* p = sig;
  const int len = i2d_ECDSA_SIG(signature.get(), &p);
  if (len <= 0) {
    return -1;
  }
  *siglen = static_cast<size_t>(len);
  return 1;
}

int sm2_pkey_verify(SM2_PKEY_CTX* ctx, const unsigned char* sig, size_t siglen,
                    const unsigned char* tbs) {
  return CheckSm2(ctx, sig, siglen, tbs) == 1 ? 1 : -1;
}

ECDSA_SIG* sm2_signature_from_der(const unsigned char* sig, size_t siglen) {
  if (sig == nullptr || siglen == 0 || siglen > INT32_MAX) {
    return nullptr;
  }
  const unsigned char* p = sig;
  tovel::UniquePtr<ECDSA_SIG> signature(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(siglen)));
  if (!signature) {
    return nullptr;
  }
  // Decoding accepts more than DER (bytes after the value, long-form lengths);
  // only the one encoding that re-encodes to the same bytes is a signature.
  unsigned char* der = nullptr;
  const int len = i2d_ECDSA_SIG(signature.get(), &der);
  const tovel::OpenSslPtr<unsigned char> ownedDer(der);
  if (len <= 0 || static_cast<size_t>(len) != siglen || memcmp(der, sig, siglen) != 0) {
    return nullptr;
  }
  return signature.release();
}

size_t sm2_pkey_encrypt_size(size_t inlen) {
  // Both coordinates at their longest (33 content bytes), HASH of 32 bytes.
  const size_t content = (2 + 33) + (2 + 33) + (2 + kHashLen) + (1 + DerLengthBytes(inlen) + inlen);
  return 1 + DerLengthBytes(content) + content;
}

int sm2_pkey_encrypt(SM2_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in,
                     size_t inlen) {
  if (ctx == nullptr || outlen == nullptr) {
    return -1;
  }
  const size_t needed = sm2_pkey_encrypt_size(inlen);
  if (out == nullptr) {
    *outlen = needed;
    return 1;
  }
  if (*outlen < needed || in == nullptr || inlen == 0 || inlen > SM2_MAX_MESSAGE_LEN) {
    return -1;
  }
  tovel::UniquePtr<BIGNUM> x, y;
  if (!PublicCoordinates(ctx, x, y)) {
    return -1;
  }
  const size_t rawLen = inlen + SM2_CIPHERTEXT_OVERHEAD;
  tovel::OpenSslSecretPtr<unsigned char> raw = sm2_secret_buffer(rawLen);
  if (!raw ||
      !sm2_encrypt(CurveOf(ctx), in, static_cast<int>(inlen), x.get(), y.get(), raw.get())) {
    return -1;
  }
  tovel::UniquePtr<SM2Cipher> cipher(sm2_cipher_from_raw(raw.get(), static_cast<int>(rawLen)));
  if (!cipher) {
    return -1;
  }
  const int derLen = sm2_cipher_encode(cipher.get(), nullptr);
  if (derLen <= 0 || static_cast<size_t>(derLen) > *outlen) {
    return -1;
  }
  unsigned char* p = out;
  if (sm2_cipher_encode(cipher.get(), &p) != derLen) {
    return -1;
  }
  *outlen = static_cast<size_t>(derLen);
  return 1;
}

int sm2_pkey_decrypt(SM2_PKEY_CTX* ctx, unsigned char* out, size_t* outlen, const unsigned char* in,
                     size_t inlen) {
  if (ctx == nullptr || outlen == nullptr || in == nullptr || inlen > INT32_MAX) {
    return -1;
  }
  const unsigned char* p = in;
  tovel::UniquePtr<SM2Cipher> cipher(sm2_cipher_decode(nullptr, &p, static_cast<long>(inlen)));
  if (!cipher || cipher->cipherText == nullptr) {
    return -1;
  }
  const int mlen = ASN1_STRING_length(cipher->cipherText);
  if (mlen <= 0 || mlen > SM2_MAX_MESSAGE_LEN) {
    return -1;
  }
  if (out == nullptr) {
    *outlen = static_cast<size_t>(mlen);
    return 1;
  }
  if (*outlen < static_cast<size_t>(mlen)) {
    return -1;
  }
  // Coordinates of more than 32 bytes and a HASH other than 32 bytes have
  // no place in the raw form: sm2_cipher_to_raw refuses them.
  const size_t rawSize = static_cast<size_t>(kC1Len) + static_cast<size_t>(mlen) + kHashLen;
  tovel::OpenSslSecretPtr<unsigned char> raw = sm2_secret_buffer(rawSize);
  int rawLen = 0;
  if (!raw || !sm2_cipher_to_raw(cipher.get(), raw.get(), rawSize, &rawLen)) {
    return -1;
  }
  const BIGNUM* d = ctx->key != nullptr ? EC_KEY_get0_private_key(ctx->key) : nullptr;
  if (d == nullptr || !sm2_decrypt(CurveOf(ctx), raw.get(), rawLen, d, out)) {
    return -1;
  }
  *outlen = static_cast<size_t>(mlen);
  return 1;
}

int ec_sm2_pkey_control(SM2_PKEY_CTX* ctx, int type, int p1, void* p2) {
  if (ctx == nullptr) {
    return -2;
  }
  switch (type) {
    case EVP_PKEY_CTRL_MD: {
      const EVP_MD* md = static_cast<const EVP_MD*>(p2);
      const int nid = md != nullptr ? EVP_MD_get_type(md) : NID_undef;
      if (nid == NID_undef || (nid != NID_sha1 && nid != NID_ecdsa_with_SHA1 && nid != NID_sha224 &&
                               nid != NID_sha256 && nid != NID_sha384 && nid != NID_sha512 &&
                               nid != sm_obj_nid(SM_OBJ_SM3))) {
        SM2_RAISE(ERR_LIB_EC, SM2_FUNC_PKEY_EC_CTRL, EC_R_INVALID_DIGEST_TYPE);
        return 0;
      }
      ctx->md = md;
      return 1;
    }
    case EVP_PKEY_CTRL_PEER_KEY:
    case EVP_PKEY_CTRL_PKCS7_SIGN:
    case EVP_PKEY_CTRL_DIGESTINIT:
    case EVP_PKEY_CTRL_CMS_SIGN: return 1;
    case EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID: {
      // The SM2 test curve is not among the library's named curves.
      EC_GROUP* group =
          sm_obj_is_sm2_curve(p1) ? sm_ec_group_new(p1) : EC_GROUP_new_by_curve_name(p1);
      if (group == nullptr) {
        SM2_RAISE(ERR_LIB_EC, SM2_FUNC_PKEY_EC_CTRL, EC_R_INVALID_CURVE);
        return 0;
      }
      EC_GROUP_free(ctx->gen_group);
      ctx->gen_group = group;
      return 1;
    }
    default: return -2;
  }
}

int ec_key_asn1_control(EVP_PKEY* pkey, int op, long value, void* data) {
  (void)pkey;
  switch (op) {
    case ASN1_PKEY_CTRL_PKCS7_SIGN: {
      if (value != 0) {
        return 1;
      }
      X509_ALGOR* digestAlg = nullptr;
      X509_ALGOR* signatureAlg = nullptr;
      PKCS7_SIGNER_INFO_get0_algs(static_cast<PKCS7_SIGNER_INFO*>(data), nullptr, &digestAlg,
                                  &signatureAlg);
      return LabelSigner(digestAlg, signatureAlg, true);
    }
    case ASN1_PKEY_CTRL_CMS_SIGN: {
      if (value != 0) {
        return 1;
      }
      X509_ALGOR* digestAlg = nullptr;
      X509_ALGOR* signatureAlg = nullptr;
      CMS_SignerInfo_get0_algs(static_cast<CMS_SignerInfo*>(data), nullptr, nullptr, &digestAlg,
                               &signatureAlg);
      return LabelSigner(digestAlg, signatureAlg, false);
    }
    case ASN1_PKEY_CTRL_DEFAULT_MD_NID: *static_cast<int*>(data) = NID_sha1; return 2;
    default: return -2;
  }
}
