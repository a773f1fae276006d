// The per-operation random scalar k of signing and encryption.
#include "smext/sm2_local.h"

#ifdef TOVEL_SM2_TEST_SEAM
#include <deque>
#include <memory>

#include "smext/sm2_test_seam.h"

namespace {

struct BnDeleter {
    void operator()(BIGNUM *bn) const { BN_clear_free(bn); }
};
// A null entry stands for a failing draw.
std::deque<std::unique_ptr<BIGNUM, BnDeleter>> g_queuedK;

}  // namespace

void sm2_test_queue_k(const BIGNUM *k) { g_queuedK.emplace_back(k != nullptr ? BN_dup(k) : nullptr); }

void sm2_test_clear_k(void) { g_queuedK.clear(); }

size_t sm2_test_pending_k(void) { return g_queuedK.size(); }
#endif

namespace {

int DrawUniform(BIGNUM *k, const BIGNUM *n) {
#ifdef TOVEL_SM2_TEST_SEAM
    if (!g_queuedK.empty()) {
        std::unique_ptr<BIGNUM, BnDeleter> queued = std::move(g_queuedK.front());
        g_queuedK.pop_front();
        return queued != nullptr && BN_copy(k, queued.get()) != nullptr;
    }
#endif
    return BN_priv_rand_range(k, n);
}

}  // namespace

int sm2_draw_k(BIGNUM *k, const BIGNUM *n) {
    do {
        if (!DrawUniform(k, n)) {
            return 0;
        }
    } while (BN_is_zero(k));
    BN_set_flags(k, BN_FLG_CONSTTIME);
    return 1;
}
