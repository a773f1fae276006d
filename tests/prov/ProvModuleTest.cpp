// The loadable module in a library context of its own, beside the provider
// built into this program: it loads, signs, and is unloaded with the context,
// leaving nothing behind (the sanitizer build checks for leaks at exit).
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "tests/prov/ProvTestSupport.h"

namespace provtest {
namespace {

// Whether smext.so is mapped into this process.
bool ModuleMapped() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.ends_with("/smext.so")) return true;
  }
  return false;
}

TEST(ProvModuleTest, LoadsSignsAndUnloadsWithItsContext) {
  ASSERT_FALSE(ModuleMapped());
  OSSL_LIB_CTX* libctx = OSSL_LIB_CTX_new();
  ASSERT_NE(libctx, nullptr);
  // No built-in "smext" in this context: the name loads the module.
  ASSERT_EQ(OSSL_PROVIDER_set_default_search_path(libctx, TOVEL_SMEXT_MODULE_DIR), 1);
  OSSL_PROVIDER* stock = OSSL_PROVIDER_load(libctx, "default");
  OSSL_PROVIDER* module = OSSL_PROVIDER_load(libctx, "smext");
  ASSERT_NE(stock, nullptr);
  ASSERT_NE(module, nullptr);
  EXPECT_TRUE(ModuleMapped());
  {
    // A key, a signature and its check by the module, on each SM2 curve.
    for (const char* group : {"SM2", "ChinaSM2TEST256"}) {
      SCOPED_TRACE(group);
      Pkey key(EVP_PKEY_Q_keygen(libctx, "provider=smext", "SM2", group));
      ASSERT_TRUE(key);
      EXPECT_STREQ(OSSL_PROVIDER_get0_name(EVP_PKEY_get0_provider(key.get())), "smext");
      const Bytes digest(32, 0x42);
      PkeyCtx sign(EVP_PKEY_CTX_new_from_pkey(libctx, key.get(), "provider=smext"));
      Bytes sig(72);
      size_t len = sig.size();
      ASSERT_EQ(EVP_PKEY_sign_init(sign.get()), 1);
      ASSERT_EQ(EVP_PKEY_sign(sign.get(), sig.data(), &len, digest.data(), digest.size()), 1);
      sig.resize(len);
      PkeyCtx verify(EVP_PKEY_CTX_new_from_pkey(libctx, key.get(), "provider=smext"));
      ASSERT_EQ(EVP_PKEY_verify_init(verify.get()), 1);
      EXPECT_EQ(EVP_PKEY_verify(verify.get(), sig.data(), sig.size(), digest.data(), digest.size()),
                1);
    }
  }
  EXPECT_EQ(OSSL_PROVIDER_unload(module), 1);
  EXPECT_EQ(OSSL_PROVIDER_unload(stock), 1);
  OSSL_LIB_CTX_free(libctx);
  EXPECT_FALSE(ModuleMapped()) << "the module stays loaded";
}

}  // namespace
}  // namespace provtest
