// SM2 public-key encryption and its key derivation function.
//
// Raw ciphertext: 0x04 || x1 || y1 || C2 || C3, where C1 = (x1, y1) = k*G,
// C2 = M xor KDF(x2 || y2), C3 = SM3(x2 || M || y2) and (x2, y2) = k*PB.
#include <string.h>

#include <openssl/crypto.h>

#include "smext/sm2.h"
#include "smext/sm2_local.h"
#include "smext/sm3.h"
#include "smext/sm_bits.h"

namespace {

constexpr int kC1Len = 65;  // 0x04 || x1 || y1
constexpr int kC3Len = SM3_DIGEST_LENGTH;

// The shared secret x2 || y2 as 64 bytes, wiped when released.
struct SharedSecret {
  unsigned char bytes[64] = {};
  ~SharedSecret() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

// Writes the 32-byte forms of the affine coordinates of point to out[0..63].
int PointToBytes(const EC_GROUP* group, const EC_POINT* point, BN_CTX* ctx, unsigned char out[64]) {
  tovel::UniquePtr<BIGNUM> x(BN_new()), y(BN_new());
  return x && y && EC_POINT_get_affine_coordinates(group, point, x.get(), y.get(), ctx) &&
         sm2_bn_to_bytes32(x.get(), out) && sm2_bn_to_bytes32(y.get(), out + 32);
}

// h*P must not be the point at infinity (h, the cofactor, is 1 on both SM2
// curves, where h*P is P itself).
int CofactorMultipleIsFinite(const EC_GROUP* group, const EC_POINT* point, BN_CTX* ctx) {
  const BIGNUM* cofactor = EC_GROUP_get0_cofactor(group);
  if (cofactor == nullptr) {
    return 0;
  }
  if (BN_is_one(cofactor)) {
    return !EC_POINT_is_at_infinity(group, point);
  }
  tovel::UniquePtr<EC_POINT> multiple(EC_POINT_new(group));
  return multiple && EC_POINT_mul(group, multiple.get(), nullptr, point, cofactor, ctx) &&
         !EC_POINT_is_at_infinity(group, multiple.get());
}

// C3 (or u on decryption) = SM3(x2 || m || y2).
int HashWithSecret(const SharedSecret& secret, const unsigned char* m, int mlen,
                   unsigned char out[kC3Len]) {
  SM3_CTX ctx;
  const int ok = sm3_init(&ctx) && sm3_update(&ctx, secret.bytes, 32) &&
                 sm3_update(&ctx, m, static_cast<size_t>(mlen)) &&
                 sm3_update(&ctx, secret.bytes + 32, 32) && sm3_final(out, &ctx);
  OPENSSL_cleanse(&ctx, sizeof(ctx));
  return ok;
}

}  // namespace

int sm2_kdf(const unsigned char* z, int zlen, uint32_t klen, unsigned char* out) {
  if (klen == 0 || zlen < 0 || (z == nullptr && zlen > 0) || out == nullptr) {
    return 0;
  }
  // Z is hashed once; each block continues from a copy of that state.
  SM3_CTX withZ;
  if (!sm3_init(&withZ) || !sm3_update(&withZ, z, static_cast<size_t>(zlen))) {
    return 0;
  }
  const uint32_t wholeBlocks = klen / 256;
  const uint32_t tailBytes = (klen % 256) / 8;
  unsigned char counter[4];
  unsigned char tail[SM3_DIGEST_LENGTH];
  int ok = 1;
  for (uint32_t ct = 1; ok && ct <= wholeBlocks + (tailBytes != 0 ? 1 : 0); ++ct) {
    SM3_CTX block = withZ;
    StoreBe32(counter, ct);
    unsigned char* digest =
        ct <= wholeBlocks ? out + static_cast<size_t>(SM3_DIGEST_LENGTH) * (ct - 1) : tail;
    ok = sm3_update(&block, counter, sizeof(counter)) && sm3_final(digest, &block);
    OPENSSL_cleanse(&block, sizeof(block));
  }
  if (ok && tailBytes != 0) {
    memcpy(out + static_cast<size_t>(SM3_DIGEST_LENGTH) * wholeBlocks, tail, tailBytes);
  }
  OPENSSL_cleanse(tail, sizeof(tail));
  OPENSSL_cleanse(&withZ, sizeof(withZ));
  return ok;
}

int sm2_is_all_zero(const unsigned char* buf, int len) {
  unsigned char any = 0;
  for (int i = 0; i < len; ++i) {
    any |= buf[i];
  }
  return any == 0;
}

int sm2_encrypt(int nid, const unsigned char* m, int mlen, const BIGNUM* xB, const BIGNUM* yB,
                unsigned char* out) {
  if (m == nullptr || out == nullptr || xB == nullptr || yB == nullptr || mlen <= 0 ||
      mlen > SM2_MAX_MESSAGE_LEN) {
    return 0;
  }
  Sm2AnyCurve curve(nid);
  if (curve.group == nullptr) {
    return 0;
  }
  const EC_GROUP* group = curve.group;
  tovel::OpenSslSecretPtr<unsigned char> keyStream = sm2_secret_buffer(static_cast<size_t>(mlen));
  tovel::UniquePtr<BN_CTX> ctx(BN_CTX_new());
  tovel::UniquePtr<BIGNUM> k(BN_new());
  tovel::UniquePtr<EC_POINT> c1(EC_POINT_new(group)), pb(EC_POINT_new(group)),
      kPb(EC_POINT_new(group));
  if (keyStream == nullptr || !ctx || !k || !c1 || !pb || !kPb) {
    return 0;
  }
  // The library refuses coordinates of a point that is not on the curve.
  if (!EC_POINT_set_affine_coordinates(group, pb.get(), xB, yB, ctx.get()) ||
      !CofactorMultipleIsFinite(group, pb.get(), ctx.get())) {
    return 0;
  }
  unsigned char c1Bytes[kC1Len];
  SharedSecret secret;
  do {
    c1Bytes[0] = POINT_CONVERSION_UNCOMPRESSED;
    if (!sm2_draw_k(k.get(), curve.order) ||
        !EC_POINT_mul(group, c1.get(), k.get(), nullptr, nullptr, ctx.get()) ||
        !PointToBytes(group, c1.get(), ctx.get(), c1Bytes + 1) ||
        !EC_POINT_mul(group, kPb.get(), nullptr, pb.get(), k.get(), ctx.get()) ||
        !PointToBytes(group, kPb.get(), ctx.get(), secret.bytes) ||
        !sm2_kdf(secret.bytes, sizeof(secret.bytes), 8u * static_cast<uint32_t>(mlen),
                 keyStream.get())) {
      return 0;
    }
  } while (sm2_is_all_zero(keyStream.get(), mlen));

  unsigned char* c2 = keyStream.get();
  for (int i = 0; i < mlen; ++i) {
    c2[i] ^= m[i];
  }
  unsigned char c3[kC3Len];
  if (!HashWithSecret(secret, m, mlen, c3)) {
    return 0;
  }
  // Everything is computed before out is written, so out may be m itself.
  memcpy(out, c1Bytes, kC1Len);
  memcpy(out + kC1Len, c2, static_cast<size_t>(mlen));
  memcpy(out + kC1Len + mlen, c3, kC3Len);
  return 1;
}

int sm2_decrypt(int nid, const unsigned char* c, int clen, const BIGNUM* d, unsigned char* out) {
  if (c == nullptr || clen <= SM2_CIPHERTEXT_OVERHEAD) {
    return 0;
  }
  const int mlen = clen - SM2_CIPHERTEXT_OVERHEAD;
  if (mlen > SM2_MAX_MESSAGE_LEN || d == nullptr || out == nullptr ||
      c[0] != POINT_CONVERSION_UNCOMPRESSED) {
    return 0;
  }
  Sm2AnyCurve curve(nid);
  if (curve.group == nullptr) {
    return 0;
  }
  const EC_GROUP* group = curve.group;
  tovel::OpenSslSecretPtr<unsigned char> message = sm2_secret_buffer(static_cast<size_t>(mlen));
  tovel::UniquePtr<BN_CTX> ctx(BN_CTX_new());
  tovel::UniquePtr<BIGNUM> x1(BN_bin2bn(c + 1, 32, nullptr)), y1(BN_bin2bn(c + 33, 32, nullptr)),
      secretScalar(BN_dup(d));
  tovel::UniquePtr<EC_POINT> c1(EC_POINT_new(group)), dC1(EC_POINT_new(group));
  if (message == nullptr || !ctx || !x1 || !y1 || !secretScalar || !c1 || !dC1) {
    return 0;
  }
  BN_set_flags(secretScalar.get(), BN_FLG_CONSTTIME);
  // The library takes x + p for x, and C3 does not cover C1: only coordinates
  // below the field prime keep a second spelling of C1 from decrypting.
  const BIGNUM* field = EC_GROUP_get0_field(group);
  SharedSecret secret;
  if (field == nullptr || BN_cmp(x1.get(), field) >= 0 || BN_cmp(y1.get(), field) >= 0 ||
      !EC_POINT_set_affine_coordinates(group, c1.get(), x1.get(), y1.get(), ctx.get()) ||
      EC_POINT_is_on_curve(group, c1.get(), ctx.get()) != 1 ||
      !CofactorMultipleIsFinite(group, c1.get(), ctx.get()) ||
      !EC_POINT_mul(group, dC1.get(), nullptr, c1.get(), secretScalar.get(), ctx.get()) ||
      !PointToBytes(group, dC1.get(), ctx.get(), secret.bytes) ||
      !sm2_kdf(secret.bytes, sizeof(secret.bytes), 8u * static_cast<uint32_t>(mlen),
               message.get()) ||
      sm2_is_all_zero(message.get(), mlen)) {
    return 0;
  }
  // M' = C2 xor t stays in the private buffer until C3 has been checked.
  unsigned char* plain = message.get();
  const unsigned char* c2 = c + kC1Len;
  for (int i = 0; i < mlen; ++i) {
    plain[i] ^= c2[i];
  }
  unsigned char u[kC3Len];
  if (!HashWithSecret(secret, plain, mlen, u) || CRYPTO_memcmp(u, c2 + mlen, kC3Len) != 0) {
    return 0;
  }
  memcpy(out, plain, static_cast<size_t>(mlen));
  return 1;
}
