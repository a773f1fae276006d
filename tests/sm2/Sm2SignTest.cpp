// SM2 signatures, the Z value and the 32-byte number form.
#include <cstring>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include "smext/sm2.h"
#include "smext/sm2_nonce.h"
#include "smext/sm_objects.h"
#include "tests/sm2/Sm2TestUtil.h"

namespace {

using namespace sm2test;

// The 256-bit test curve of the SM2 standard's worked examples.
constexpr const char* kTestA = "787968B4FA32C3FD2417842E73BBFEFF2F3C848B6831D7E0EC65228B3937E498";
constexpr const char* kTestB = "63E4C6D3B23B0C849CF84241484BFE48F61D59A5B16BA06E6E12D1DA27C5249A";
constexpr const char* kTestXG = "421DEBD61B62EAB6746434EBC3CC315E32220B3BADD50BDC4C4E6C147FEDD43D";
constexpr const char* kTestYG = "0680512BCBB42C07D47349D2153B70C4E5D7FDFCBFA36EA1A85841B9E46E09A2";

// The SM2 curve's a, b, xG, yG.
constexpr const char* kSm2A = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC";
constexpr const char* kSm2B = "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93";
constexpr const char* kSm2XG = "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7";
constexpr const char* kSm2YG = "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";

Bytes SigTo64(const ECDSA_SIG* sig) {
  Bytes r = BnTo32(ECDSA_SIG_get0_r(sig));
  const Bytes s = BnTo32(ECDSA_SIG_get0_s(sig));
  r.insert(r.end(), s.begin(), s.end());
  return r;
}

SigPtr MakeSig(const BIGNUM* r, const BIGNUM* s) {
  SigPtr sig(ECDSA_SIG_new());
  ECDSA_SIG_set0(sig.get(), BN_dup(r), BN_dup(s));
  return sig;
}

BnPtr RandomBelow(const BIGNUM* n) {
  BnPtr v(BN_new());
  do {
    EXPECT_EQ(BN_rand_range(v.get(), n), 1);
  } while (BN_is_zero(v.get()));
  return v;
}

using Sm2SignTest = Sm2Test;

TEST_F(Sm2SignTest, ReproducesTheWorkedExampleOnTheTestCurve) {
  const Bytes id = FromText("ALICE123@YAHOO.COM");
  const Bytes message = FromText("message digest");
  BnPtr a = BnFromHex(kTestA), b = BnFromHex(kTestB), xG = BnFromHex(kTestXG),
        yG = BnFromHex(kTestYG);
  BnPtr dA = BnFromHex("128B2FA8BD433C6C068C8D803DFF79792A519A55171B1B650C23661D15897263");
  BnPtr xA = BnFromHex("0AE4C7798AA0F119471BEE11825BE46202BB79E2A5844495E97C04FF4DF2548A");
  BnPtr yA = BnFromHex("7C0240F88F1CD4E16352A73C17B7F16F07353E53A176D684A9FE0C6BB798E857");

  BnPtr px, py;
  PublicPoint(Sm2TestCurveNid(), dA.get(), &px, &py);
  EXPECT_EQ(BN_cmp(px.get(), xA.get()), 0);
  EXPECT_EQ(BN_cmp(py.get(), yA.get()), 0);

  Bytes z(32);
  ASSERT_EQ(sm2_compute_z(id.data(), static_cast<int>(id.size()), a.get(), b.get(), xG.get(),
                          yG.get(), xA.get(), yA.get(), z.data()),
            1);
  EXPECT_EQ(ToHex(z), "F4A38489E32B45B6F876E3AC2168CA392362DC8F23459C1D1146FC3DBFB7BC9A");
  const Bytes eBytes = LibrarySm3({z, message});
  EXPECT_EQ(ToHex(eBytes), "B524F552CD82B8B028476E005C377FB19A87E6FC682D48BB5D42E3D9B9EFFE76");

  BnPtr e = BnFromBytes(eBytes);
  BnPtr k = BnFromHex("6CB28D99385C175C94F94E934817663FC176D925DD72B727260DBAAE1FB2F96F");
  QueueK(k.get());
  SigPtr sig(sm2_sign(e.get(), dA.get(), Sm2TestCurveNid()));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(PendingK(), 0u);
  EXPECT_EQ(ToHex(BnTo32(ECDSA_SIG_get0_r(sig.get()))),
            "40F1EC59F793D9F49E09DCEF49130D4194F79FB1EED2CAA55BACDB49C4E755D1");
  EXPECT_EQ(ToHex(BnTo32(ECDSA_SIG_get0_s(sig.get()))),
            "6FC6DAC32C5D5CF10C77DFB20F7C2EB667A457872FB09EC56327A67EC7DEEBE7");
  EXPECT_EQ(sm2_verify(sig.get(), xA.get(), yA.get(), e.get(), Sm2TestCurveNid()), 1);
  EXPECT_TRUE(DrainErrors().empty());
}

TEST_F(Sm2SignTest, RefusesMissingArgumentsAndOtherCurves) {
  PeerKey key = NewPeerKey();
  BnPtr e = BnFromHex("01");
  SigPtr good(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
  ASSERT_NE(good, nullptr);
  struct Case {
    const char* name;
    bool dropE, dropKey, dropSig;
    int nid;
  };
  const Case cases[] = {
      {"prime256v1", false, false, false, NID_X9_62_prime256v1},
      {"secp384r1", false, false, false, NID_secp384r1},
      // The library's number 921, once the SM2 test curve's fixed number.
      {"brainpoolP160r1", false, false, false, NID_brainpoolP160r1},
      {"number of sm3", false, false, false, SM_OBJ_SM3},
      {"no curve", false, false, false, 0},
      {"e missing", true, false, false, Sm2CurveNid()},
      {"key missing", false, true, false, Sm2CurveNid()},
      {"signature missing", false, false, true, Sm2CurveNid()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const BIGNUM* eArg = c.dropE ? nullptr : e.get();
    if (!c.dropSig) {
      ERR_clear_error();
      EXPECT_EQ(sm2_sign(eArg, c.dropKey ? nullptr : key.d.get(), c.nid), nullptr);
      ExpectNewestError(ERR_LIB_ECDSA, ERR_R_PASSED_NULL_PARAMETER, 101);
    }
    ERR_clear_error();
    EXPECT_EQ(sm2_verify(c.dropSig ? nullptr : good.get(), c.dropKey ? nullptr : key.x.get(),
                         key.y.get(), eArg, c.nid),
              0);
    ExpectNewestError(ERR_LIB_ECDSA, ERR_R_PASSED_NULL_PARAMETER, 101);
  }
}

TEST_F(Sm2SignTest, AcceptsTheRunTimeNidsOfBothCurves) {
  ASSERT_EQ(sm_objects_init(), 1);
  for (int nid : {Sm2CurveNid(), Sm2TestCurveNid()}) {
    SCOPED_TRACE(nid);
    const CurveParams params = ParamsOf(nid);
    BnPtr d = RandomBelow(params.n.get()), e = RandomBelow(params.n.get()), x, y;
    PublicPoint(nid, d.get(), &x, &y);
    SigPtr sig(sm2_sign(e.get(), d.get(), nid));
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(sm2_verify(sig.get(), x.get(), y.get(), e.get(), nid), 1);
  }
}

TEST_F(Sm2SignTest, RejectsValuesOutOfRangeBeforeTheCurveCheck) {
  PeerKey key = NewPeerKey();
  const CurveParams params = ParamsOf(Sm2CurveNid());
  const BIGNUM* n = params.n.get();
  BnPtr e = RandomBelow(n);
  SigPtr good(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
  ASSERT_NE(good, nullptr);
  const BIGNUM* r = ECDSA_SIG_get0_r(good.get());
  const BIGNUM* s = ECDSA_SIG_get0_s(good.get());
  BnPtr zero(BN_new()), nPlus1(BN_dup(n)), sForSum(BN_new()), negative(BN_dup(r));
  BN_zero(zero.get());
  BN_add_word(nPlus1.get(), 1);
  BN_sub(sForSum.get(), n, r);  // r + s = n
  BN_set_negative(negative.get(), 1);
  struct Case {
    const char* name;
    const BIGNUM *r, *s;
  };
  const Case cases[] = {
      {"r = 0", zero.get(), s},
      {"s = 0", r, zero.get()},
      {"r = n", n, s},
      {"s = n", r, n},
      {"r = n + 1", nPlus1.get(), s},
      {"r negative", negative.get(), s},
      {"r + s = n", r, sForSum.get()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SigPtr sig = MakeSig(c.r, c.s);
    ERR_clear_error();
    EXPECT_EQ(sm2_verify(sig.get(), key.x.get(), key.y.get(), e.get(), Sm2CurveNid()), 0);
    ExpectNewestError(ERR_LIB_ECDSA, ERR_R_EC_LIB, 102);
  }
}

// With r + s = n the combined point is s*G alone, so a digest chosen as
// e = r - x(s*G) would pass the final comparison: only the sum check refuses.
TEST_F(Sm2SignTest, RefusesASumOfNThatTheFinalComparisonWouldAccept) {
  PeerKey key = NewPeerKey();
  const CurveParams params = ParamsOf(Sm2CurveNid());
  const BIGNUM* n = params.n.get();
  tovel::UniquePtr<BN_CTX> ctx(BN_CTX_new());
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    BnPtr s = RandomBelow(n);
    BnPtr x1, y1;
    PublicPoint(Sm2CurveNid(), s.get(), &x1, &y1);
    BnPtr r(BN_new()), e(BN_new());
    ASSERT_EQ(BN_sub(r.get(), n, s.get()), 1);
    ASSERT_EQ(BN_mod_sub(e.get(), r.get(), x1.get(), n, ctx.get()), 1);
    SigPtr sig = MakeSig(r.get(), s.get());
    ERR_clear_error();
    EXPECT_EQ(sm2_verify(sig.get(), key.x.get(), key.y.get(), e.get(), Sm2CurveNid()), 0);
    ExpectNewestError(ERR_LIB_ECDSA, ERR_R_EC_LIB, 102);
  }
}

TEST_F(Sm2SignTest, RoundTripsAndDetectsAChangedDigest) {
  const CurveParams params = ParamsOf(Sm2CurveNid());
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    PeerKey key = NewPeerKey();
    BnPtr e(BN_new());
    ASSERT_EQ(BN_rand(e.get(), 256, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), 1);  // may exceed n
    SigPtr sig(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(sm2_verify(sig.get(), key.x.get(), key.y.get(), e.get(), Sm2CurveNid()), 1);
    EXPECT_TRUE(DrainErrors().empty());

    const Bytes r = BnTo32(ECDSA_SIG_get0_r(sig.get())), s = BnTo32(ECDSA_SIG_get0_s(sig.get()));
    const Bytes x = BnTo32(key.x.get()), y = BnTo32(key.y.get());
    Bytes eb = BnTo32(e.get());
    EXPECT_EQ(sm2_verify_bytes(r.data(), s.data(), x.data(), y.data(), eb.data()), 1);

    const int bit = round * 31 % 256;
    BnPtr changed(BN_dup(e.get()));
    BN_is_bit_set(changed.get(), bit) ? BN_clear_bit(changed.get(), bit)
                                      : BN_set_bit(changed.get(), bit);
    EXPECT_EQ(sm2_verify(sig.get(), key.x.get(), key.y.get(), changed.get(), Sm2CurveNid()), 0);
    ExpectNewestError(ERR_LIB_ECDSA, ERR_R_EC_LIB, 102);
    eb[31 - bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(sm2_verify_bytes(r.data(), s.data(), x.data(), y.data(), eb.data()), 0);
    // Another key's point does not verify either.
    PeerKey other = NewPeerKey();
    EXPECT_EQ(sm2_verify(sig.get(), other.x.get(), other.y.get(), e.get(), Sm2CurveNid()), 0);
    ExpectNewestError(ERR_LIB_ECDSA, ERR_R_EC_LIB, 102);
  }
}

// The library's own nonce source, not the tests' queue: two signatures of one
// digest with one key each get a k of their own, so they differ. A k left in
// the queue stays there, so neither signature drew through the queue.
TEST_F(Sm2SignTest, TheDefaultNonceSourceDrawsANewKForEverySignature) {
  BnPtr queued = BnFromHex("1234");
  QueueK(queued.get());
  sm2_restore_nonce_source();
  PeerKey key = NewPeerKey();
  BnPtr e = BnFromHex("5A5A5A5A");
  SigPtr first(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
  SigPtr second(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(PendingK(), 1u);
  EXPECT_NE(SigTo64(first.get()), SigTo64(second.get()));
  EXPECT_EQ(sm2_verify(first.get(), key.x.get(), key.y.get(), e.get(), Sm2CurveNid()), 1);
  EXPECT_EQ(sm2_verify(second.get(), key.x.get(), key.y.get(), e.get(), Sm2CurveNid()), 1);
  ClearQueuedK();
}

// A null source is taken as the default one: signing still draws a k.
TEST_F(Sm2SignTest, ANullNonceSourceDrawsFromTheDefault) {
  BnPtr queued = BnFromHex("1234");
  QueueK(queued.get());
  sm2_set_nonce_source(nullptr);
  PeerKey key = NewPeerKey();
  BnPtr e = BnFromHex("5A5A5A5A");
  SigPtr sig(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
  ASSERT_NE(sig, nullptr);
  EXPECT_EQ(PendingK(), 1u);
  EXPECT_EQ(sm2_verify(sig.get(), key.x.get(), key.y.get(), e.get(), Sm2CurveNid()), 1);
  ClearQueuedK();
}

TEST_F(Sm2SignTest, VerifiesAZeroDigestFromBytes) {
  PeerKey key = NewPeerKey();
  BnPtr zero(BN_new());
  BN_zero(zero.get());
  SigPtr sig(sm2_sign(zero.get(), key.d.get(), Sm2CurveNid()));
  ASSERT_NE(sig, nullptr);
  const Bytes r = BnTo32(ECDSA_SIG_get0_r(sig.get())), s = BnTo32(ECDSA_SIG_get0_s(sig.get()));
  const Bytes x = BnTo32(key.x.get()), y = BnTo32(key.y.get()), e(32, 0);
  EXPECT_EQ(sm2_verify_bytes(r.data(), s.data(), x.data(), y.data(), e.data()), 1);
}

TEST_F(Sm2SignTest, RefusesAPublicPointOffTheCurve) {
  PeerKey key = NewPeerKey();
  BnPtr e = BnFromHex("1234");
  SigPtr sig(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
  ASSERT_NE(sig, nullptr);
  BnPtr y(BN_dup(key.y.get()));
  BN_add_word(y.get(), 1);
  EXPECT_EQ(sm2_verify(sig.get(), key.x.get(), y.get(), e.get(), Sm2CurveNid()), 0);
  ExpectNewestError(ERR_LIB_ECDSA, ERR_R_BN_LIB, 103);
}

// Each row builds e so that the first queued k is unusable; signing must then
// give exactly the signature of the second k.
TEST_F(Sm2SignTest, DrawsAgainWhenKGivesAnUnusableSignature) {
  const CurveParams params = ParamsOf(Sm2CurveNid());
  const BIGNUM* n = params.n.get();
  BN_CTX* ctx = BN_CTX_new();
  BnPtr d = RandomBelow(n), k1 = RandomBelow(n), k2 = RandomBelow(n), x1, y1;
  PublicPoint(Sm2CurveNid(), k1.get(), &x1, &y1);
  BnPtr dInv(BN_mod_inverse(nullptr, d.get(), n, ctx));
  BnPtr zero(BN_new()), eRZero(BN_new()), eRPlusKIsN(BN_new()), eSZero(BN_new()), tmp(BN_new());
  BN_zero(zero.get());
  BN_mod_sub(eRZero.get(), n, x1.get(), n, ctx);  // r = 0
  BN_mod_add(tmp.get(), k1.get(), x1.get(), n, ctx);
  BN_mod_sub(eRPlusKIsN.get(), n, tmp.get(), n, ctx);  // r = n - k
  BN_mod_mul(tmp.get(), k1.get(), dInv.get(), n, ctx);
  BN_mod_sub(eSZero.get(), tmp.get(), x1.get(), n, ctx);  // r = k / d, so k - r*d = 0
  BN_CTX_free(ctx);
  struct Case {
    const char* name;
    const BIGNUM* e;
    const BIGNUM* firstK;
  };
  const Case cases[] = {
      {"r = 0", eRZero.get(), k1.get()},
      {"r + k = n", eRPlusKIsN.get(), k1.get()},
      {"s = 0", eSZero.get(), k1.get()},
      {"k = 0", eRZero.get(), zero.get()},
  };
  BnPtr x, y;
  PublicPoint(Sm2CurveNid(), d.get(), &x, &y);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QueueK(k2.get());
    SigPtr expected(sm2_sign(c.e, d.get(), Sm2CurveNid()));
    ASSERT_NE(expected, nullptr);
    QueueK(c.firstK);
    QueueK(k2.get());
    SigPtr sig(sm2_sign(c.e, d.get(), Sm2CurveNid()));
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(PendingK(), 0u);
    EXPECT_EQ(SigTo64(sig.get()), SigTo64(expected.get()));
    EXPECT_EQ(sm2_verify(sig.get(), x.get(), y.get(), c.e, Sm2CurveNid()), 1);
    // Signing with the unusable k alone would have produced r = 0, r + k = n or s = 0.
    if (c.firstK != zero.get()) {
      EXPECT_FALSE(BN_is_zero(ECDSA_SIG_get0_r(sig.get())));
      EXPECT_FALSE(BN_is_zero(ECDSA_SIG_get0_s(sig.get())));
    }
  }
}

TEST_F(Sm2SignTest, ReportsAKeyWithoutInverseAndAFailingGenerator) {
  const CurveParams params = ParamsOf(Sm2CurveNid());
  BnPtr nMinus1(BN_dup(params.n.get())), twoNMinus1(BN_new());
  BN_sub_word(nMinus1.get(), 1);
  BN_add(twoNMinus1.get(), nMinus1.get(), params.n.get());
  BnPtr e = BnFromHex("99");
  for (const BIGNUM* noInverse : {nMinus1.get(), twoNMinus1.get()}) {  // 1 + d = 0 mod n
    SCOPED_TRACE(BN_num_bits(noInverse));
    EXPECT_EQ(sm2_sign(e.get(), noInverse, Sm2CurveNid()), nullptr);
    ExpectNewestError(ERR_LIB_ECDSA, ERR_R_BN_LIB, 103);
  }

  BnPtr d = BnFromHex("1234567890");
  QueueK(nullptr);
  EXPECT_EQ(sm2_sign(e.get(), d.get(), Sm2CurveNid()), nullptr);
  ExpectNewestError(ERR_LIB_ECDSA, 104, 103);
}

// The formulas work modulo n: d, d + n and d + 3n give the same signature for
// one k.
TEST_F(Sm2SignTest, TakesThePrivateScalarModuloTheOrder) {
  for (int nid : {Sm2CurveNid(), Sm2TestCurveNid()}) {
    const CurveParams params = ParamsOf(nid);
    BnPtr d = RandomBelow(params.n.get()), k = RandomBelow(params.n.get()),
          e = RandomBelow(params.n.get());
    BnPtr x, y;
    PublicPoint(nid, d.get(), &x, &y);
    QueueK(k.get());
    SigPtr reduced(sm2_sign(e.get(), d.get(), nid));
    ASSERT_NE(reduced, nullptr);
    for (BN_ULONG multiple : {1, 3}) {
      SCOPED_TRACE(testing::Message() << "curve " << nid << ", d + " << multiple << "n");
      BnPtr unreducedD(BN_dup(params.n.get()));
      ASSERT_EQ(BN_mul_word(unreducedD.get(), multiple), 1);
      ASSERT_EQ(BN_add(unreducedD.get(), unreducedD.get(), d.get()), 1);
      QueueK(k.get());
      SigPtr unreduced(sm2_sign(e.get(), unreducedD.get(), nid));
      ASSERT_NE(unreduced, nullptr);
      EXPECT_EQ(SigTo64(unreduced.get()), SigTo64(reduced.get()));
      EXPECT_EQ(sm2_verify(unreduced.get(), x.get(), y.get(), e.get(), nid), 1);
    }
  }
}

TEST_F(Sm2SignTest, ConvertsNumbersToAndFrom32Bytes) {
  struct ToCase {
    const char* hex;
    int ok;
    const char* expected;
  };
  const ToCase toCases[] = {
      {"00", 1, "0000000000000000000000000000000000000000000000000000000000000000"},
      {"01", 1, "0000000000000000000000000000000000000000000000000000000000000001"},
      {"00FF11", 1, "000000000000000000000000000000000000000000000000000000000000FF11"},
      {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 1,
       "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"},
      {"010000000000000000000000000000000000000000000000000000000000000000", 0,
       "0000000000000000000000000000000000000000000000000000000000000000"},
  };
  for (const ToCase& c : toCases) {
    SCOPED_TRACE(c.hex);
    BnPtr bn = BnFromHex(c.hex);
    Bytes out(32, 0xAA);
    EXPECT_EQ(sm2_bn_to_bytes32(bn.get(), out.data()), c.ok);
    EXPECT_EQ(ToHex(out), c.expected);
  }

  Bytes forty(40);
  for (size_t i = 0; i < forty.size(); ++i) {
    forty[i] = static_cast<uint8_t>(i + 1);
  }
  struct FromCase {
    const char* name;
    int len;
    int ok;
    size_t expectedBytes;  // leading bytes of forty that make up the number
  };
  const FromCase fromCases[] = {
      {"40 bytes keep the first 32", 40, 1, 32},
      {"33 bytes keep the first 32", 33, 1, 32},
      {"20 bytes", 20, 1, 20},
      {"empty", 0, 1, 0},
      {"negative length", -1, 0, 0},
  };
  for (const FromCase& c : fromCases) {
    SCOPED_TRACE(c.name);
    BnPtr bn = BnFromHex("77");
    EXPECT_EQ(sm2_bytes_to_bn(forty.data(), c.len, bn.get()), c.ok);
    if (c.ok) {
      BnPtr expected =
          BnFromBytes(Bytes(forty.begin(), forty.begin() + static_cast<long>(c.expectedBytes)));
      EXPECT_EQ(BN_cmp(bn.get(), expected.get()), 0);
    }
  }
}

TEST_F(Sm2SignTest, DefaultZHashesTheDefaultIdentityAndTheSm2Curve) {
  for (int round = 0; round < 3; ++round) {
    PeerKey key = NewPeerKey();
    const Bytes x = BnTo32(key.x.get()), y = BnTo32(key.y.get());
    Bytes z(32);
    ASSERT_EQ(sm2_default_z(x.data(), y.data(), z.data()), 1);
    const Bytes expected =
        LibrarySm3({FromHex("0080"), FromText("1234567812345678"), FromHex(kSm2A), FromHex(kSm2B),
                    FromHex(kSm2XG), FromHex(kSm2YG), x, y});
    EXPECT_EQ(ToHex(z), ToHex(expected));
  }
}

TEST_F(Sm2SignTest, ComputeZLimitsTheIdentityToSixteenBitsOfLength) {
  const CurveParams params = ParamsOf(Sm2CurveNid());
  const Bytes id(SM2_MAX_ID_LEN + 1, 'A');
  const Bytes x = BnTo32(params.xG.get()), y = BnTo32(params.yG.get());
  struct Case {
    int idlen;
    int ok;
    const char* entl;
  };
  const Case cases[] = {
      {0, 1, "0000"}, {16, 1, "0080"}, {8191, 1, "FFF8"}, {8192, 0, ""}, {-1, 0, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.idlen);
    Bytes z(32, 0x5A);
    EXPECT_EQ(sm2_compute_z(id.data(), c.idlen, params.a.get(), params.b.get(), params.xG.get(),
                            params.yG.get(), params.xG.get(), params.yG.get(), z.data()),
              c.ok);
    if (c.ok) {
      const Bytes expected =
          LibrarySm3({FromHex(c.entl), Bytes(id.begin(), id.begin() + c.idlen),
                      BnTo32(params.a.get()), BnTo32(params.b.get()), x, y, x, y});
      EXPECT_EQ(ToHex(z), ToHex(expected));
    } else {
      EXPECT_EQ(z, Bytes(32, 0x5A));
    }
  }
  BnPtr big = BnFromHex("01 0000000000000000000000000000000000000000000000000000000000000000");
  Bytes z(32, 0x5A);
  EXPECT_EQ(sm2_compute_z(id.data(), 16, big.get(), params.b.get(), params.xG.get(),
                          params.yG.get(), params.xG.get(), params.yG.get(), z.data()),
            0);
  EXPECT_EQ(z, Bytes(32, 0x5A));
}

// The installed library's SM2 with the default identity set explicitly.
class Sm2PeerSignTest : public Sm2SignTest {
 protected:
  // A digest-sign or digest-verify context whose key context carries the identity.
  static EVP_MD_CTX* PeerContext(EVP_PKEY* pkey, bool sign) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, "provider=default");
    EXPECT_EQ(EVP_PKEY_CTX_set1_id(pctx, SM2_DEFAULT_USER_ID, SM2_DEFAULT_USER_ID_LEN), 1);
    EVP_MD_CTX_set_pkey_ctx(ctx, pctx);
    EXPECT_EQ(sign ? EVP_DigestSignInit_ex(ctx, nullptr, "SM3", nullptr, "provider=default", pkey,
                                           nullptr)
                   : EVP_DigestVerifyInit_ex(ctx, nullptr, "SM3", nullptr, "provider=default", pkey,
                                             nullptr),
              1);
    return ctx;
  }
  static void FreePeerContext(EVP_MD_CTX* ctx) {
    EVP_PKEY_CTX_free(EVP_MD_CTX_get_pkey_ctx(ctx));
    EVP_MD_CTX_free(ctx);
  }
  static Bytes PeerSign(EVP_PKEY* pkey, const Bytes& msg) {
    EVP_MD_CTX* ctx = PeerContext(pkey, true);
    Bytes sig(80);
    size_t len = sig.size();
    EXPECT_EQ(EVP_DigestSign(ctx, sig.data(), &len, msg.data(), msg.size()), 1);
    FreePeerContext(ctx);
    sig.resize(len);
    return sig;
  }
  static int PeerVerify(EVP_PKEY* pkey, const Bytes& msg, const Bytes& sig) {
    EVP_MD_CTX* ctx = PeerContext(pkey, false);
    const int ok = EVP_DigestVerify(ctx, sig.data(), sig.size(), msg.data(), msg.size());
    FreePeerContext(ctx);
    return ok;
  }
  // e = SM3(Z || M) with the default Z of the key.
  static BnPtr DigestValue(const PeerKey& key, const Bytes& msg) {
    const Bytes x = BnTo32(key.x.get()), y = BnTo32(key.y.get());
    Bytes z(32);
    EXPECT_EQ(sm2_default_z(x.data(), y.data(), z.data()), 1);
    return BnFromBytes(LibrarySm3({z, msg}));
  }
};

TEST_F(Sm2PeerSignTest, SignaturesVerifyInBothDirections) {
  for (size_t len : {0u, 1u, 32u, 100u}) {
    SCOPED_TRACE(len);
    PeerKey key = NewPeerKey();
    Bytes msg(len);
    RAND_bytes(msg.data(), static_cast<int>(msg.size()));
    BnPtr e = DigestValue(key, msg);

    const Bytes peerDer = PeerSign(key.pkey.get(), msg);
    const unsigned char* p = peerDer.data();
    SigPtr peerSig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(peerDer.size())));
    ASSERT_NE(peerSig, nullptr);
    EXPECT_EQ(sm2_verify(peerSig.get(), key.x.get(), key.y.get(), e.get(), Sm2CurveNid()), 1);

    SigPtr ours(sm2_sign(e.get(), key.d.get(), Sm2CurveNid()));
    ASSERT_NE(ours, nullptr);
    unsigned char* der = nullptr;
    const int derLen = i2d_ECDSA_SIG(ours.get(), &der);
    ASSERT_GT(derLen, 0);
    const Bytes ourDer(der, der + derLen);
    OPENSSL_free(der);
    EXPECT_EQ(PeerVerify(key.pkey.get(), msg, ourDer), 1);
    Bytes otherMsg = msg;
    otherMsg.push_back(0);
    EXPECT_EQ(PeerVerify(key.pkey.get(), otherMsg, ourDer), 0);
    ERR_clear_error();
  }
}

}  // namespace
