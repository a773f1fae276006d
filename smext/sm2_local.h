// Internals of the SM2 code shared by its source files: the curve cache and
// the per-operation random scalar. Owning pointers are
// tovel::UniquePtr (numbers and points are wiped before they are freed).
#pragma once

#include <stddef.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>

#include "platform/UniquePtr.h"
#include "smext/sm2_err.h"

// One of the two SM2 curves, built once and kept until the cache is freed.
// Read-only after construction, so threads may share it.
struct Sm2Curve {
  EC_GROUP* group;
  const BIGNUM* order;
  BN_MONT_CTX* orderMont;  // Montgomery arithmetic modulo the order
  BIGNUM* orderMinus2;     // exponent of an inverse modulo the (prime) order
};

// SM_OBJ_SM2_CURVE or SM_OBJ_SM2_TEST_CURVE for the run-time NID of either SM2
// curve; 0 for any other NID (the library's own curves keep their numbers).
int sm2_curve_number(int nid);

// The cached curve for SM_OBJ_SM2_CURVE or SM_OBJ_SM2_TEST_CURVE; null (with
// the library's entry) when it cannot be built. Valid until the cache is
// freed: by default at the library's exit clean-up (OPENSSL_atexit).
const Sm2Curve* sm2_curve_get(int number);

// A loaded module may be unloaded before the library's exit clean-up, so it
// frees the cache itself: it calls sm2_curve_cache_freed_by_caller() before
// any curve is built, then sm2_curve_cache_free() once no caller can hold a
// curve. A later sm2_curve_get builds the curve again.
void sm2_curve_cache_freed_by_caller(void);
void sm2_curve_cache_free(void);

// A group and its order for any curve: the cached one for the SM2 curves, a
// group of the caller's own (freed with the object) for the library's other
// curves. group is null when the number names no curve.
class Sm2AnyCurve {
 public:
  explicit Sm2AnyCurve(int nid);
  Sm2AnyCurve(const Sm2AnyCurve&) = delete;
  Sm2AnyCurve& operator=(const Sm2AnyCurve&) = delete;

  const EC_GROUP* group = nullptr;
  const BIGNUM* order = nullptr;

 private:
  tovel::UniquePtr<EC_GROUP> owned_;
};

// size zeroed bytes for secrets, wiped when freed; null when out of memory.
inline tovel::OpenSslSecretPtr<unsigned char> sm2_secret_buffer(size_t size) {
  return {static_cast<unsigned char*>(OPENSSL_zalloc(size)), tovel::OpenSslClearFree(size)};
}

// Draws the random scalar k in [1, n - 1] from the nonce source (by default
// the library's private generator, see sm2_nonce.h) and marks it for
// constant-time use. 0 when the draw fails.
int sm2_draw_k(BIGNUM* k, const BIGNUM* n);
