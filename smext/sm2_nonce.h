// Internal: where the SM2 random scalar k comes from. Signing and encryption
// draw k through the source set here; by default that is the library's
// private random generator. Tests replace it to reproduce worked examples
// with fixed values of k.
//
// The source is one setting for the whole process, read on every draw without
// a lock: set or restore it only while no SM2 operation runs on any thread.
#pragma once

#include <openssl/bn.h>

// Writes a value in [0, n) to k: 1, or 0 when the draw fails. A draw of 0 is
// drawn again.
using Sm2NonceSource = int (*)(BIGNUM* k, const BIGNUM* n);

// The default source: uniform in [0, n) from the library's private generator.
int sm2_random_nonce(BIGNUM* k, const BIGNUM* n);

// Makes every later draw call fn until sm2_restore_nonce_source (a null fn
// draws from the default source rather than nowhere).
void sm2_set_nonce_source(Sm2NonceSource fn);
// Puts the default source back.
void sm2_restore_nonce_source();
