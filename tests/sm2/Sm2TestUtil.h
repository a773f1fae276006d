// Helpers shared by the SM2 tests: hex and number conversions, the error
// queue, fixed values of the random scalar k, and keys of the installed
// library's own SM2 used as a peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include "platform/UniquePtr.h"
#include "tests/support/ErrorQueue.h"
#include "tests/support/TestHex.h"

namespace sm2test {

using Bytes = std::vector<uint8_t>;

using BnPtr = tovel::UniquePtr<BIGNUM>;
using SigPtr = tovel::UniquePtr<ECDSA_SIG>;
using PkeyPtr = tovel::UniquePtr<EVP_PKEY>;

using testsupport::FromHex;  // spaces are skipped
// Upper-case hex, as the published values are written.
std::string ToHex(const uint8_t* data, size_t len);
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }
Bytes FromText(std::string_view text);

BnPtr BnFromHex(std::string_view hex);
BnPtr BnFromBytes(const Bytes& b);
Bytes BnTo32(const BIGNUM* bn);  // 32 bytes, big-endian; fails the test when longer

// SM3 of the concatenated parts, computed by the installed library.
Bytes LibrarySm3(const std::vector<Bytes>& parts);

using testsupport::DrainErrors;
using testsupport::ErrorEntry;
// Drains the queue and expects its newest entry to be (lib, reason, func).
void ExpectNewestError(int lib, int reason, int func);

// Fixed values of k for the tests that reproduce worked examples. While a
// test of Sm2Test runs, the library draws k through this queue: each draw
// takes the oldest queued value, and a draw that finds the queue empty uses
// the library's own generator. A null k makes that draw fail as a failing
// generator would.
void QueueK(const BIGNUM* k);
// Number of queued values not drawn yet.
size_t PendingK();
// Drops the queued values not drawn yet.
void ClearQueuedK();

// Starts every test with an empty error queue and an empty queue of k drawn
// through by the library; ends it with the library's own generator back.
class Sm2Test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
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
void PublicPoint(int nid, const BIGNUM* d, BnPtr* x, BnPtr* y);

}  // namespace sm2test
