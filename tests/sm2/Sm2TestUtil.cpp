#include "tests/sm2/Sm2TestUtil.h"

#include <cctype>
#include <cstdio>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>

#include "smext/sm_objects.h"

namespace sm2test {

std::string ToHex(const uint8_t *data, size_t len) { return testsupport::ToHex(data, len, testsupport::HexCase::Upper); }

Bytes FromText(std::string_view text) { return Bytes(text.begin(), text.end()); }

BnPtr BnFromHex(std::string_view hex) {
    const Bytes b = FromHex(hex);
    return BnFromBytes(b);
}

BnPtr BnFromBytes(const Bytes &b) { return BnPtr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr)); }

Bytes BnTo32(const BIGNUM *bn) {
    Bytes out(32);
    EXPECT_EQ(BN_bn2binpad(bn, out.data(), 32), 32);
    return out;
}

Bytes LibrarySm3(const std::vector<Bytes> &parts) {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_MD *md = EVP_MD_fetch(nullptr, "SM3", "provider=default");
    Bytes out(32);
    unsigned len = 0;
    EXPECT_EQ(EVP_DigestInit_ex(ctx, md, nullptr), 1);
    for (const Bytes &p : parts) {
        EXPECT_EQ(EVP_DigestUpdate(ctx, p.data(), p.size()), 1);
    }
    EXPECT_EQ(EVP_DigestFinal_ex(ctx, out.data(), &len), 1);
    EXPECT_EQ(len, 32u);
    EVP_MD_free(md);
    EVP_MD_CTX_free(ctx);
    return out;
}

std::vector<ErrorEntry> DrainErrors() {
    std::vector<ErrorEntry> entries;
    const char *data = nullptr;
    int flags = 0;
    unsigned long code;
    while ((code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0) {
        ErrorEntry entry{ERR_GET_LIB(code), ERR_GET_REASON(code), std::nullopt};
        int func = 0;
        if (data != nullptr && (flags & ERR_TXT_STRING) && std::sscanf(data, "func=%d", &func) == 1) {
            entry.func = func;
        }
        entries.push_back(entry);
    }
    return entries;
}

void ExpectNewestError(int lib, int reason, int func) {
    const std::vector<ErrorEntry> entries = DrainErrors();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().lib, lib);
    EXPECT_EQ(entries.back().reason, reason);
    EXPECT_EQ(entries.back().func, func);
}

void Sm2Test::SetUp() {
    sm2_test_clear_k();
    ERR_clear_error();
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

struct GroupDeleter {
    void operator()(EC_GROUP *g) const { EC_GROUP_free(g); }
};
using GroupPtr = std::unique_ptr<EC_GROUP, GroupDeleter>;

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
    EXPECT_EQ(EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), params.xG.get(),
                                              params.yG.get(), nullptr),
              1);
    return params;
}

void PublicPoint(int nid, const BIGNUM *d, BnPtr *x, BnPtr *y) {
    GroupPtr group = GroupOf(nid);
    EC_POINT *point = EC_POINT_new(group.get());
    x->reset(BN_new());
    y->reset(BN_new());
    EXPECT_EQ(EC_POINT_mul(group.get(), point, d, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(EC_POINT_get_affine_coordinates(group.get(), point, x->get(), y->get(), nullptr), 1);
    EC_POINT_free(point);
}

}  // namespace sm2test
