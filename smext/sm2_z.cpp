// The 32-byte number form of the SM2 routines and the user-identity hash Z.
#include <string.h>

#include "smext/sm2.h"
#include "smext/sm2_local.h"
#include "smext/sm3.h"

namespace {

// Bytes of the SM2 curve's order (256 bits): the longest number the SM2
// routines read from a byte string.
constexpr int kOrderBytes = 32;

// The SM2 curve's a, b and base point, the parameters of the default Z.
constexpr const char* kDefaultZParameters[4] = {
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC",
    "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93",
    "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7",
    "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0",
};

}  // namespace

int sm2_bn_to_bytes32(const BIGNUM* bn, unsigned char out[32]) {
  memset(out, 0, 32);
  if (bn == nullptr) {
    return 0;
  }
  const int len = BN_num_bytes(bn);
  if (len > 32) {
    return 0;
  }
  BN_bn2bin(bn, out + 32 - len);
  return 1;
}

int sm2_bytes_to_bn(const unsigned char* data, int len, BIGNUM* bn) {
  if (bn == nullptr || len < 0 || (data == nullptr && len > 0)) {
    return 0;
  }
  if (len > kOrderBytes) {
    len = kOrderBytes;
  }
  return BN_bin2bn(data, len, bn) != nullptr;
}

int sm2_compute_z(const unsigned char* id, int idlen, const BIGNUM* a, const BIGNUM* b,
                  const BIGNUM* xG, const BIGNUM* yG, const BIGNUM* xA, const BIGNUM* yA,
                  unsigned char out[32]) {
  // ENTL, the identity's length in bits, has 16 bits.
  if (idlen < 0 || idlen >= SM2_MAX_ID_LEN || (id == nullptr && idlen > 0)) {
    return 0;
  }
  unsigned char fields[6 * 32];
  const BIGNUM* numbers[6] = {a, b, xG, yG, xA, yA};
  for (int i = 0; i < 6; ++i) {
    if (!sm2_bn_to_bytes32(numbers[i], fields + 32 * i)) {
      return 0;
    }
  }
  const unsigned bits = 8u * static_cast<unsigned>(idlen);
  const unsigned char entl[2] = {static_cast<unsigned char>(bits >> 8),
                                 static_cast<unsigned char>(bits)};
  unsigned char z[SM3_DIGEST_LENGTH];
  SM3_CTX ctx;
  if (!sm3_init(&ctx) || !sm3_update(&ctx, entl, sizeof(entl)) ||
      (idlen > 0 && !sm3_update(&ctx, id, static_cast<size_t>(idlen))) ||
      !sm3_update(&ctx, fields, sizeof(fields)) || !sm3_final(z, &ctx)) {
    return 0;
  }
  memcpy(out, z, sizeof(z));
  return 1;
}

int sm2_default_z(const unsigned char x[32], const unsigned char y[32], unsigned char out[32]) {
  tovel::UniquePtr<BIGNUM> params[4];
  tovel::UniquePtr<BIGNUM> xA(BN_new()), yA(BN_new());
  int ok = xA && yA;
  for (int i = 0; ok && i < 4; ++i) {
    BIGNUM* param = nullptr;
    ok = BN_hex2bn(&param, kDefaultZParameters[i]) != 0;
    params[i].reset(param);
  }
  return ok && sm2_bytes_to_bn(x, 32, xA.get()) && sm2_bytes_to_bn(y, 32, yA.get()) &&
         sm2_compute_z(reinterpret_cast<const unsigned char*>(SM2_DEFAULT_USER_ID),
                       SM2_DEFAULT_USER_ID_LEN, params[0].get(), params[1].get(), params[2].get(),
                       params[3].get(), xA.get(), yA.get(), out);
}
