// Internals of the SM2 code shared by its source files: the curve cache,
// owning pointers and the per-operation random scalar.
#ifndef SMEXT_SM2_LOCAL_H
#define SMEXT_SM2_LOCAL_H

#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>

#include "smext/sm2_err.h"

// One of the two SM2 curves, built once and kept for the life of the process.
// Read-only after construction, so threads may share it.
struct Sm2Curve {
    EC_GROUP *group;
    const BIGNUM *order;
    BN_MONT_CTX *orderMont;  // Montgomery arithmetic modulo the order
    BIGNUM *orderMinus2;     // exponent of an inverse modulo the (prime) order
};

// SM_OBJ_SM2_CURVE or SM_OBJ_SM2_TEST_CURVE for the run-time NID of either SM2
// curve; 0 for any other NID (the library's own curves keep their numbers).
int sm2_curve_number(int nid);

// The cached curve for SM_OBJ_SM2_CURVE or SM_OBJ_SM2_TEST_CURVE; null (with
// the library's entry) when it cannot be built. Never freed.
const Sm2Curve *sm2_curve_get(int number);

// A group and its order for any curve: the cached one for the SM2 curves, a
// group of the caller's own (freed with the object) for the library's other
// curves. group is null when the number names no curve.
class Sm2AnyCurve {
 public:
    explicit Sm2AnyCurve(int nid);
    ~Sm2AnyCurve();
    Sm2AnyCurve(const Sm2AnyCurve &) = delete;
    Sm2AnyCurve &operator=(const Sm2AnyCurve &) = delete;

    const EC_GROUP *group = nullptr;
    const BIGNUM *order = nullptr;

 private:
    EC_GROUP *owned_ = nullptr;
};

// Owning pointers for the library objects of one call. Numbers are wiped
// before they are freed.
struct Sm2BnFree {
    void operator()(BIGNUM *bn) const { BN_clear_free(bn); }
};
struct Sm2BnCtxFree {
    void operator()(BN_CTX *ctx) const { BN_CTX_free(ctx); }
};
struct Sm2PointFree {
    void operator()(EC_POINT *point) const { EC_POINT_clear_free(point); }
};
using Sm2Bn = std::unique_ptr<BIGNUM, Sm2BnFree>;
using Sm2BnCtx = std::unique_ptr<BN_CTX, Sm2BnCtxFree>;
using Sm2Point = std::unique_ptr<EC_POINT, Sm2PointFree>;

// Draws the random scalar k in [1, n - 1] with the library's private
// generator and marks it for constant-time use. 0 when the generator fails.
int sm2_draw_k(BIGNUM *k, const BIGNUM *n);

#endif
