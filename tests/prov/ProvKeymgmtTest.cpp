// The provider's SM2 key management: keys on the two SM2 curves only, beside
// the stock library's SM2 on the same groups; key comparison and the
// pairwise check; where error entries say they come from.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include "smext/sm2.h"
#include "smext/sm_objects.h"
#include "tests/prov/ProvTestSupport.h"

namespace provtest {
namespace {

constexpr const char* kOurs = "provider=smext";

// A key pair's numbers on a curve, made without either provider.
struct Numbers {
  Bytes pub;
  Bytes priv;
};

Numbers NewNumbers(int nid) {
  const tovel::UniquePtr<EC_GROUP> group(
      sm_obj_is_sm2_curve(nid) ? sm_ec_group_new(nid) : EC_GROUP_new_by_curve_name(nid));
  const tovel::UniquePtr<EC_KEY> key(EC_KEY_new());
  Numbers n;
  if (group == nullptr || key == nullptr || EC_KEY_set_group(key.get(), group.get()) != 1 ||
      EC_KEY_generate_key(key.get()) != 1) {
    ADD_FAILURE() << "no key pair on curve " << nid;
    return n;
  }
  n.pub.resize(EC_POINT_point2oct(group.get(), EC_KEY_get0_public_key(key.get()),
                                  POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr));
  EC_POINT_point2oct(group.get(), EC_KEY_get0_public_key(key.get()), POINT_CONVERSION_UNCOMPRESSED,
                     n.pub.data(), n.pub.size(), nullptr);
  n.priv.resize(static_cast<size_t>(BN_num_bytes(EC_KEY_get0_private_key(key.get()))));
  BN_bn2bin(EC_KEY_get0_private_key(key.get()), n.priv.data());
  return n;
}

// Generation of an "SM2" key with the group named; null when refused. The
// key is asked for even when naming the group failed.
Pkey Generate(const char* propq, const char* group, int* setResult) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", propq));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1) return nullptr;
  *setResult = EVP_PKEY_CTX_set_group_name(ctx.get(), group);
  return EVP_PKEY_generate(ctx.get(), &key) == 1 ? Pkey(key) : nullptr;
}

std::string GroupOf(EVP_PKEY* key) {
  char name[64] = {};
  size_t len = 0;
  return EVP_PKEY_get_group_name(key, name, sizeof(name), &len) == 1 ? name : "";
}

std::string ProviderOf(EVP_PKEY* key) {
  const OSSL_PROVIDER* prov = EVP_PKEY_get0_provider(key);
  return prov != nullptr ? OSSL_PROVIDER_get0_name(prov) : "";
}

class ProvKeymgmtTest : public ::testing::Test {
 protected:
  void SetUp() override { ERR_clear_error(); }
  void TearDown() override { ERR_clear_error(); }
};

// The extension's SM2 takes the two SM2 curves and refuses every other group,
// by import and by generation, with an entry that names the group. The stock
// library's imports onto the SM2 curve only but generates on any named group.
TEST_F(ProvKeymgmtTest, KeysLieOnTheSm2CurvesOnly) {
  struct Case {
    const char* group;
    int curve;
    const char* groupRead;  // the group name the key reports; null: refused
    bool stockImports;
    bool stockGenerates;
  } const cases[] = {
      {"SM2", sm_obj_nid(SM_OBJ_SM2_CURVE), "SM2", true, true},
      {"1.2.156.10197.1.301", sm_obj_nid(SM_OBJ_SM2_CURVE), "SM2", false, false},
      {"ChinaSM2TEST256", sm_obj_nid(SM_OBJ_SM2_TEST_CURVE), "ChinaSM2TEST256", false, false},
      {"prime256v1", NID_X9_62_prime256v1, nullptr, false, true},
      {"P-256", NID_X9_62_prime256v1, nullptr, false, true},
      {"secp384r1", NID_secp384r1, nullptr, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.group);
    const bool ours = c.groupRead != nullptr;
    const Numbers n = NewNumbers(c.curve);
    ERR_clear_error();

    const Pkey imported = KeyFromData(kOurs, c.group, n.pub, n.priv);
    EXPECT_EQ(imported != nullptr, ours);
    if (ours) {
      EXPECT_EQ(GroupOf(imported.get()), c.groupRead);
      EXPECT_EQ(ProviderOf(imported.get()), "smext");
    } else {
      EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_CURVE));
      EXPECT_EQ(KeyFromData(kOurs, c.group, n.pub, {}), nullptr) << "public key alone";
      EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_CURVE));
    }

    int set = 0;
    const Pkey generated = Generate(kOurs, c.group, &set);
    EXPECT_EQ(set == 1, ours);
    EXPECT_EQ(generated != nullptr, ours) << "a refused group leaves no curve to generate on";
    if (ours) {
      EXPECT_EQ(GroupOf(generated.get()), c.groupRead);
    } else {
      EXPECT_TRUE(HadError(ERR_LIB_EC, EC_R_INVALID_CURVE));
    }

    EXPECT_EQ(KeyFromData(kStock, c.group, n.pub, n.priv) != nullptr, c.stockImports);
    EXPECT_EQ(Generate(kStock, c.group, &set) != nullptr, c.stockGenerates);
    ERR_clear_error();
  }
}

// A stock SM2 key on another group cannot be taken into the extension, so the
// stock library keeps it: the extension never signs with it.
TEST_F(ProvKeymgmtTest, StockKeysOnOtherGroupsStayWithTheStockLibrary) {
  int set = 0;
  const Pkey p256 = Generate(kStock, "prime256v1", &set);
  ASSERT_TRUE(p256);
  OpCounter ops;
  PkeyCtx ctx = CtxFor(p256.get());
  ASSERT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_PKEY_CTX_get0_provider(ctx.get())), "default");
  const Bytes digest(32, 0x5C);
  Bytes sig(80);
  size_t len = sig.size();
  ASSERT_EQ(EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()), 1);
  sig.resize(len);
  EXPECT_EQ(ops.Total(), 0);
  PkeyCtx check = CtxFor(p256.get(), kStock);
  ASSERT_EQ(EVP_PKEY_verify_init(check.get()), 1);
  EXPECT_EQ(EVP_PKEY_verify(check.get(), sig.data(), sig.size(), digest.data(), digest.size()), 1);
}

// EVP_PKEY_eq compares the public points, not only the curves.
TEST_F(ProvKeymgmtTest, KeysAreEqualWhenTheirPointsAre) {
  const Pkey a(EVP_PKEY_Q_keygen(nullptr, kOurs, "SM2"));
  const Pkey b(EVP_PKEY_Q_keygen(nullptr, kOurs, "SM2"));
  ASSERT_TRUE(a && b);
  ASSERT_EQ(ProviderOf(a.get()), "smext");
  const Pkey copy(EVP_PKEY_dup(a.get()));
  ASSERT_TRUE(copy);
  Bytes pub(65);
  size_t len = 0;
  ASSERT_EQ(EVP_PKEY_get_octet_string_param(a.get(), OSSL_PKEY_PARAM_PUB_KEY, pub.data(),
                                            pub.size(), &len),
            1);
  const Pkey publicHalf = KeyFromData(kOurs, "SM2", pub, {});
  ASSERT_TRUE(publicHalf);
  int set = 0;
  const Pkey testCurve = Generate(kOurs, "ChinaSM2TEST256", &set);
  ASSERT_TRUE(testCurve);
  struct Case {
    const char* what;
    EVP_PKEY* other;
    int expected;
  } const cases[] = {
      {"itself", a.get(), 1},
      {"its copy", copy.get(), 1},
      {"its public half", publicHalf.get(), 1},
      {"another key", b.get(), 0},
      {"a key on the test curve", testCurve.get(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EVP_PKEY_eq(a.get(), c.other), c.expected);
    EXPECT_EQ(EVP_PKEY_eq(c.other, a.get()), c.expected);
  }
}

// A private scalar with somebody else's public point fails the pairwise
// check, with the extension as with the stock library.
TEST_F(ProvKeymgmtTest, PairwiseCheckTiesThePointToTheScalar) {
  const Numbers mine = NewNumbers(sm_obj_nid(SM_OBJ_SM2_CURVE));
  const Numbers theirs = NewNumbers(sm_obj_nid(SM_OBJ_SM2_CURVE));
  for (const char* propq : {kOurs, kStock}) {
    SCOPED_TRACE(propq);
    const Pkey sound = KeyFromData(propq, "SM2", mine.pub, mine.priv);
    const Pkey mixed = KeyFromData(propq, "SM2", theirs.pub, mine.priv);
    ASSERT_TRUE(sound && mixed);
    PkeyCtx soundCtx = CtxFor(sound.get(), propq);
    PkeyCtx mixedCtx = CtxFor(mixed.get(), propq);
    EXPECT_EQ(EVP_PKEY_pairwise_check(soundCtx.get()), 1);
    EXPECT_EQ(EVP_PKEY_pairwise_check(mixedCtx.get()), 0);
    ERR_clear_error();
  }
}

// Error entries name the source file by its path inside the project, not on
// the build machine: from the provider and from the SM2 core.
TEST_F(ProvKeymgmtTest, ErrorEntriesNameTheirSourceInsideTheProject) {
  const Numbers n = NewNumbers(NID_X9_62_prime256v1);
  EXPECT_EQ(KeyFromData(kOurs, "prime256v1", n.pub, n.priv), nullptr);
  EXPECT_EQ(sm2_sign(BN_value_one(), BN_value_one(), NID_X9_62_prime256v1), nullptr);
  int entries = 0;
  const char* file = nullptr;
  int line = 0;
  while (ERR_get_error_all(&file, &line, nullptr, nullptr, nullptr) != 0) {
    const std::filesystem::path path(file != nullptr ? file : "");
    if (path.filename() != "smprov_keymgmt.cpp" && path.filename() != "sm2_sign.cpp") continue;
    SCOPED_TRACE(path.string());
    ++entries;
    EXPECT_TRUE(path.is_relative());
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::path(TOVEL_SOURCE_DIR) / path));
  }
  EXPECT_EQ(entries, 2);
}

}  // namespace
}  // namespace provtest
