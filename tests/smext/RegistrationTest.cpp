// Start-up registration: every name and number finds our records, the
// library's own algorithms stay, and the ciphers refuse ASN.1 parameters.
#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "smext/sm3.h"
#include "smext/sm4.h"
#include "smext/sm_objects.h"
#include "smext/smext.h"
#include "smext/zuc.h"
#include "tests/smext/SmTestSupport.h"

namespace {

TEST(RegistrationTest, DigestNamesFindOurRecord) {
  const EVP_MD* sm3 = sm3_digest_method();
  ASSERT_NE(sm3, nullptr);
  for (const char* name : {"sm3", "SM3", "ChinaSM3", "sm2-sm3", "ChinaSM2withSM3", "tls1-sm3"}) {
    EXPECT_EQ(EVP_get_digestbyname(name), sm3) << name;
  }
  EXPECT_EQ(EVP_get_digestbynid(sm_obj_nid(SM_OBJ_SM3)), sm3);
}

TEST(RegistrationTest, CipherNamesFindOurRecords) {
  struct Case {
    const char* name;
    const EVP_CIPHER* record;
  };
  const Case cases[] = {
      {"sm4-cbc", sm4_cbc_cipher_method()},
      {"ChinaSM4-CBC", sm4_cbc_cipher_method()},
      {"zuc", zuc_cipher_method()},
      {"ChinaZUC", zuc_cipher_method()},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.record, nullptr);
    EXPECT_EQ(EVP_get_cipherbyname(c.name), c.record) << c.name;
  }
  EXPECT_EQ(EVP_get_cipherbynid(sm_obj_nid(SM_OBJ_SM4_CBC)), sm4_cbc_cipher_method());
  EXPECT_EQ(EVP_get_cipherbynid(sm_obj_nid(SM_OBJ_ZUC)), zuc_cipher_method());
  // No alias, and nothing behind the name-only object.
  EXPECT_EQ(EVP_get_cipherbyname("sm1-cbc"), nullptr);
  EXPECT_EQ(EVP_get_cipherbynid(sm_obj_nid(SM_OBJ_SM1_CBC)), nullptr);
}

TEST(RegistrationTest, LibraryAlgorithmsStayAndRepeatIsHarmless) {
  smext_add_all_algorithms();
  EXPECT_NE(EVP_get_digestbyname("SHA256"), nullptr);
  EXPECT_NE(EVP_get_cipherbyname("AES-128-CBC"), nullptr);
  EXPECT_EQ(EVP_get_digestbyname("tls1-sm3"), sm3_digest_method());
  EXPECT_EQ(EVP_get_cipherbyname("zuc"), zuc_cipher_method());
}

TEST(RegistrationTest, CiphersHaveNoAsn1Parameters) {
  const smtest::Bytes key(16, 1), iv(16, 2);
  for (const EVP_CIPHER* cipher : {sm4_cbc_cipher_method(), zuc_cipher_method()}) {
    SCOPED_TRACE(EVP_CIPHER_get0_name(cipher));
    smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data()), 1);
    ASN1_TYPE* type = ASN1_TYPE_new();
    EXPECT_EQ(EVP_CIPHER_param_to_asn1(ctx.get(), type), -1);
    EXPECT_EQ(EVP_CIPHER_asn1_to_param(ctx.get(), type), -1);
    ASN1_TYPE_free(type);
  }
}

}  // namespace
