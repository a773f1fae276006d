// Test-only control of the SM2 random scalar k, so that published worked
// examples can be reproduced. The functions exist only in builds compiled with
// TOVEL_SM2_TEST_SEAM (the test binaries); the library proper has no way to
// fix k.
#ifndef SMEXT_SM2_TEST_SEAM_H
#define SMEXT_SM2_TEST_SEAM_H

#include <stddef.h>

#include <openssl/bn.h>

#ifndef TOVEL_SM2_TEST_SEAM
#error "sm2_test_seam.h belongs to the test builds only"
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Queues k as the result of the next draw of the random generator; a draw
// that finds the queue empty uses the generator. A null k makes that draw
// fail as a failing generator would.
void sm2_test_queue_k(const BIGNUM *k);
// Empties the queue.
void sm2_test_clear_k(void);
// Number of queued values not drawn yet.
size_t sm2_test_pending_k(void);

#ifdef __cplusplus
}
#endif

#endif
