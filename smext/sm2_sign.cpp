// SM2 signature generation and verification.
#include "smext/sm2.h"

#include "smext/sm2_local.h"
#include "smext/sm_objects.h"

namespace {

bool InRangeOneToNMinusOne(const BIGNUM* v, const BIGNUM* n) {
  return v != nullptr && BN_cmp(v, BN_value_one()) >= 0 && BN_cmp(v, n) < 0;
}

// The signing loop for one key: s = (1 + d)^-1 * (k - r*d) mod n, computed
// as (1 + d)^-1 * (k + r) - r mod n, which is the same value with a single
// multiplication by a secret. Returns 0 after queuing its error entry.
int SignWithCurve(const Sm2Curve& curve, const BIGNUM* e, const BIGNUM* d, BIGNUM* r, BIGNUM* s) {
  const EC_GROUP* group = curve.group;
  const BIGNUM* n = curve.order;
  tovel::UniquePtr<BN_CTX> ctx(BN_CTX_new());
  tovel::UniquePtr<BIGNUM> k(BN_new()), x1(BN_new()), t(BN_new()), dPlus1(BN_new()),
      reduced(BN_new()), inv(BN_new()), invMont(BN_new());
  if (!ctx || !k || !x1 || !t || !dPlus1 || !reduced || !inv || !invMont) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_MALLOC_FAILURE);
    return 0;
  }
  tovel::UniquePtr<EC_POINT> kG(EC_POINT_new(group));
  if (!kG) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_EC_LIB);
    return 0;
  }
  for (BIGNUM* secret : {dPlus1.get(), reduced.get(), inv.get(), invMont.get(), t.get(), s}) {
    BN_set_flags(secret, BN_FLG_CONSTTIME);
  }
  // (1 + d)^-1 = (1 + d)^(n - 2) mod n, n being prime: an exponentiation
  // with the cached Montgomery context, cheaper than a general inverse. 1 + d
  // has no inverse when it is 0 mod n (d = n - 1).
  if (BN_copy(dPlus1.get(), d) == nullptr || !BN_add_word(dPlus1.get(), 1) ||
      !BN_nnmod(reduced.get(), dPlus1.get(), n, ctx.get()) || BN_is_zero(reduced.get()) ||
      !BN_mod_exp_mont_consttime(inv.get(), reduced.get(), curve.orderMinus2, n, ctx.get(),
                                 curve.orderMont) ||
      !BN_to_montgomery(invMont.get(), inv.get(), curve.orderMont, ctx.get())) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_BN_LIB);
    return 0;
  }
  for (;;) {
    if (!sm2_draw_k(k.get(), n)) {
      SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, SM2_R_RANDOM_NUMBER_GENERATION_FAILED);
      return 0;
    }
    if (!EC_POINT_mul(group, kG.get(), k.get(), nullptr, nullptr, ctx.get()) ||
        !EC_POINT_get_affine_coordinates(group, kG.get(), x1.get(), nullptr, ctx.get())) {
      SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_EC_LIB);
      return 0;
    }
    // r = (e + x1) mod n; t = (k + r) mod n, zero exactly when r + k = n.
    if (!BN_mod_add(r, e, x1.get(), n, ctx.get())) {
      SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_BN_LIB);
      return 0;
    }
    if (BN_is_zero(r)) {
      continue;
    }
    if (!BN_mod_add_quick(t.get(), k.get(), r, n)) {
      SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_BN_LIB);
      return 0;
    }
    if (BN_is_zero(t.get())) {
      continue;
    }
    if (!BN_mod_mul_montgomery(s, invMont.get(), t.get(), curve.orderMont, ctx.get()) ||
        !BN_mod_sub_quick(s, s, r, n)) {
      SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_BN_LIB);
      return 0;
    }
    if (!BN_is_zero(s)) {
      return 1;
    }
  }
}

}  // namespace

ECDSA_SIG* sm2_sign(const BIGNUM* e, const BIGNUM* d, int nid) {
  const int number = sm2_curve_number(nid);
  if (e == nullptr || d == nullptr || number == 0) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_DO_SIGN, ERR_R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  const Sm2Curve* curve = sm2_curve_get(number);
  if (curve == nullptr) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_ECDSA_DO_SIGN, EC_R_INVALID_CURVE);
    return nullptr;
  }
  tovel::UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
  tovel::UniquePtr<BIGNUM> r(BN_new()), s(BN_new());
  if (!sig || !r || !s) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_DO_SIGN, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  if (!SignWithCurve(*curve, e, d, r.get(), s.get())) {
    return nullptr;
  }
  ECDSA_SIG_set0(sig.get(), r.release(), s.release());
  return sig.release();
}

int sm2_verify(const ECDSA_SIG* sig, const BIGNUM* x, const BIGNUM* y, const BIGNUM* e, int nid) {
  const int number = sm2_curve_number(nid);
  if (sig == nullptr || x == nullptr || y == nullptr || e == nullptr || number == 0) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_DO_SIGN, ERR_R_PASSED_NULL_PARAMETER);
    return 0;
  }
  const Sm2Curve* curve = sm2_curve_get(number);
  if (curve == nullptr) {
    SM2_RAISE(ERR_LIB_EC, SM2_FUNC_ECDSA_DO_SIGN, EC_R_INVALID_CURVE);
    return 0;
  }
  const EC_GROUP* group = curve->group;
  const BIGNUM* n = curve->order;
  tovel::UniquePtr<BN_CTX> ctx(BN_CTX_new());
  tovel::UniquePtr<BIGNUM> t(BN_new()), x1(BN_new()), v(BN_new());
  tovel::UniquePtr<EC_POINT> publicPoint(EC_POINT_new(group)), sum(EC_POINT_new(group));
  if (!ctx || !t || !x1 || !v || !publicPoint || !sum) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_MALLOC_FAILURE);
    return 0;
  }
  // The library refuses coordinates of a point that is not on the curve.
  if (!EC_POINT_set_affine_coordinates(group, publicPoint.get(), x, y, ctx.get())) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_BN_LIB);
    return 0;
  }
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  if (!InRangeOneToNMinusOne(r, n) || !InRangeOneToNMinusOne(s, n)) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_DO_VERIFY, ERR_R_EC_LIB);
    return 0;
  }
  if (!BN_mod_add_quick(t.get(), r, s, n)) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_BN_LIB);
    return 0;
  }
  if (BN_is_zero(t.get())) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_DO_VERIFY, ERR_R_EC_LIB);
    return 0;
  }
  // (x1', y1') = s*G + t*P; valid when (e + x1') mod n = r.
  if (!EC_POINT_mul(group, sum.get(), s, publicPoint.get(), t.get(), ctx.get()) ||
      !EC_POINT_get_affine_coordinates(group, sum.get(), x1.get(), nullptr, ctx.get()) ||
      !BN_mod_add(v.get(), e, x1.get(), n, ctx.get())) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_SIGN_SETUP, ERR_R_BN_LIB);
    return 0;
  }
  if (BN_cmp(v.get(), r) != 0) {
    SM2_RAISE(ERR_LIB_ECDSA, SM2_FUNC_ECDSA_DO_VERIFY, ERR_R_EC_LIB);
    return 0;
  }
  return 1;
}

int sm2_verify_bytes(const unsigned char r[32], const unsigned char s[32],
                     const unsigned char x[32], const unsigned char y[32],
                     const unsigned char e[32]) {
  tovel::UniquePtr<BIGNUM> rn(BN_new()), sn(BN_new()), xn(BN_new()), yn(BN_new()), en(BN_new());
  if (!rn || !sn || !xn || !yn || !en || !sm2_bytes_to_bn(r, 32, rn.get()) ||
      !sm2_bytes_to_bn(s, 32, sn.get()) || !sm2_bytes_to_bn(x, 32, xn.get()) ||
      !sm2_bytes_to_bn(y, 32, yn.get()) || !sm2_bytes_to_bn(e, 32, en.get())) {
    return 0;
  }
  tovel::UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
  if (!sig) {
    return 0;
  }
  ECDSA_SIG_set0(sig.get(), rn.release(), sn.release());
  return sm2_verify(sig.get(), xn.get(), yn.get(), en.get(), sm_obj_nid(SM_OBJ_SM2_CURVE)) == 1;
}
