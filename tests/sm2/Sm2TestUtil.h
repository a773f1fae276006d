// Helpers shared by the SM2 tests: hex and number conversions, the error
// queue, and keys of the installed library's own SM2 used as a peer.
#ifndef TESTS_SM2_SM2TESTUTIL_H
#define TESTS_SM2_SM2TESTUTIL_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "smext/sm2_test_seam.h"

#include "tests/support/TestHex.h"

namespace sm2test {

using Bytes = std::vector<uint8_t>;

struct BnDeleter {
    void operator()(BIGNUM *bn) const { BN_free(bn); }
};
struct SigDeleter {
    void operator()(ECDSA_SIG *sig) const { ECDSA_SIG_free(sig); }
};
struct PkeyDeleter {
    void operator()(EVP_PKEY *pkey) const { EVP_PKEY_free(pkey); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;
using SigPtr = std::unique_ptr<ECDSA_SIG, SigDeleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

using testsupport::FromHex;  // spaces are skipped
// Upper-case hex, as the published values are written.
std::string ToHex(const uint8_t *data, size_t len);
inline std::string ToHex(const Bytes &b) { return ToHex(b.data(), b.size()); }
Bytes FromText(std::string_view text);

BnPtr BnFromHex(std::string_view hex);
BnPtr BnFromBytes(const Bytes &b);
Bytes BnTo32(const BIGNUM *bn);  // 32 bytes, big-endian; fails the test when longer

// SM3 of the concatenated parts, computed by the installed library.
Bytes LibrarySm3(const std::vector<Bytes> &parts);

// One entry of the thread's error queue.
struct ErrorEntry {
    int lib = 0;
    int reason = 0;
    std::optional<int> func;  // from the entry's data "func=<code>"
};
// Takes every entry off the queue, oldest first.
std::vector<ErrorEntry> DrainErrors();
// Drains the queue and expects its newest entry to be (lib, reason, func).
void ExpectNewestError(int lib, int reason, int func);

// Starts and ends every test with an empty error queue and no queued k.
class Sm2Test : public ::testing::Test {
 protected:
    void SetUp() override;
    void TearDown() override { sm2_test_clear_k(); }
};

// A key pair of the installed library on its SM2 curve, with its numbers.
struct PeerKey {
    PkeyPtr pkey;
    BnPtr d, x, y;
};
PeerKey NewPeerKey();

// The run-time numbers of the SM2 curve and the SM2 test curve.
int Sm2CurveNid();
int Sm2TestCurveNid();

// The curve parameters of one curve: a, b, xG, yG and the order n.
struct CurveParams {
    BnPtr a, b, xG, yG, n;
};
CurveParams ParamsOf(int nid);

// Public point d*G on the curve nid.
void PublicPoint(int nid, const BIGNUM *d, BnPtr *x, BnPtr *y);

}  // namespace sm2test

#endif
