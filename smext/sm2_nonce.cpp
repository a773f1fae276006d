// The per-operation random scalar k of signing and encryption.
#include "smext/sm2_nonce.h"

#include "smext/sm2_local.h"

namespace {

// Set only while no SM2 operation runs (see sm2_nonce.h).
Sm2NonceSource g_source = sm2_random_nonce;

}  // namespace

int sm2_random_nonce(BIGNUM* k, const BIGNUM* n) { return BN_priv_rand_range(k, n); }

void sm2_set_nonce_source(Sm2NonceSource fn) { g_source = fn != nullptr ? fn : sm2_random_nonce; }

void sm2_restore_nonce_source() { g_source = sm2_random_nonce; }

int sm2_draw_k(BIGNUM* k, const BIGNUM* n) {
  do {
    if (!g_source(k, n)) {
      return 0;
    }
  } while (BN_is_zero(k));
  BN_set_flags(k, BN_FLG_CONSTTIME);
  return 1;
}
