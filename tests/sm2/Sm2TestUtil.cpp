#include "tests/sm2/Sm2TestUtil.h"

#include <deque>
#include <utility>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>

#include "smext/sm2_nonce.h"
#include "smext/sm_objects.h"

namespace sm2test {

std::string ToHex(const uint8_t* data, size_t len) {
  return testsupport::ToHex(data, len, testsupport::HexCase::Upper);
}

Bytes FromText(std::string_view text) { return Bytes(text.begin(), text.end()); }

BnPtr BnFromHex(std::string_view hex) {
  const Bytes b = FromHex(hex);
  return BnFromBytes(b);
}

BnPtr BnFromBytes(const Bytes& b) {
  return BnPtr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

Bytes BnTo32(const BIGNUM* bn) {
  Bytes out(32);
  EXPECT_EQ(BN_bn2binpad(bn, out.data(), 32), 32);
  return out;
}

Bytes LibrarySm3(const std::vector<Bytes>& parts) {
  tovel::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  tovel::UniquePtr<EVP_MD> md(EVP_MD_fetch(nullptr, "SM3", "provider=default"));
  Bytes out(32);
  unsigned len = 0;
  EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md.get(), nullptr), 1);
  for (const Bytes& p : parts) {
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), p.data(), p.size()), 1);
  }
  EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), &len), 1);
  EXPECT_EQ(len, 32u);
  return out;
}

void ExpectNewestError(int lib, int reason, int func) {
  const std::vector<ErrorEntry> entries = DrainErrors();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().lib, lib);
  EXPECT_EQ(entries.back().reason, reason);
  EXPECT_EQ(entries.back().func, func);
}

namespace {

// A null entry stands for a failing draw.
std::deque<BnPtr> g_queuedK;

int DrawQueuedK(BIGNUM* k, const BIGNUM* n) {
  if (g_queuedK.empty()) {
    return sm2_random_nonce(k, n);
  }
  const BnPtr queued = std::move(g_queuedK.front());
  g_queuedK.pop_front();
  return queued != nullptr && BN_copy(k, queued.get()) != nullptr;
}

}  // namespace

void QueueK(const BIGNUM* k) { g_queuedK.emplace_back(k != nullptr ? BN_dup(k) : nullptr); }

size_t PendingK() { return g_queuedK.size(); }

void ClearQueuedK() { g_queuedK.clear(); }

void Sm2Test::SetUp() {
  ClearQueuedK();
  sm2_set_nonce_source(DrawQueuedK);
  ERR_clear_error();
}

void Sm2Test::TearDown() {
  sm2_restore_nonce_source();
  ClearQueuedK();
}

PeerKey NewPeerKey() {
  PeerKey key;
  key.pkey.reset(EVP_PKEY_Q_keygen(nullptr, "provider=default", "SM2"));
  EXPECT_NE(key.pkey, nullptr);
  BIGNUM *d = nullptr, *x = nullptr, *y = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y), 1);
  key.d.reset(d);
  key.x.reset(x);
  key.y.reset(y);
  return key;
}

namespace {

using GroupPtr = tovel::UniquePtr<EC_GROUP>;

GroupPtr GroupOf(int nid) {
  EXPECT_EQ(sm_objects_init(), 1);
  GroupPtr group(sm_obj_is_sm2_curve(nid) ? sm_ec_group_new(nid) : EC_GROUP_new_by_curve_name(nid));
  EXPECT_NE(group, nullptr);
  return group;
}

}  // namespace

int Sm2CurveNid() { return sm_obj_nid(SM_OBJ_SM2_CURVE); }
int Sm2TestCurveNid() { return sm_obj_nid(SM_OBJ_SM2_TEST_CURVE); }

CurveParams ParamsOf(int nid) {
  GroupPtr group = GroupOf(nid);
  CurveParams params{BnPtr(BN_new()), BnPtr(BN_new()), BnPtr(BN_new()), BnPtr(BN_new()),
                     BnPtr(BN_dup(EC_GROUP_get0_order(group.get())))};
  EXPECT_EQ(EC_GROUP_get_curve(group.get(), nullptr, params.a.get(), params.b.get(), nullptr), 1);
  EXPECT_EQ(EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()),
                                            params.xG.get(), params.yG.get(), nullptr),
            1);
  return params;
}

void PublicPoint(int nid, const BIGNUM* d, BnPtr* x, BnPtr* y) {
  GroupPtr group = GroupOf(nid);
  tovel::UniquePtr<EC_POINT> point(EC_POINT_new(group.get()));
  x->reset(BN_new());
  y->reset(BN_new());
  EXPECT_EQ(EC_POINT_mul(group.get(), point.get(), d, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(EC_POINT_get_affine_coordinates(group.get(), point.get(), x->get(), y->get(), nullptr),
            1);
}

}  // namespace sm2test
