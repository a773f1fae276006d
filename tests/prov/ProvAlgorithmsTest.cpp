// SM3, SM4-CBC and ZUC fetched through the library run the extension's code:
// published vectors, the stock library as a peer, padding and chunking.
#include <string>

#include <gtest/gtest.h>
#include <openssl/core_dispatch.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "smext/zuc.h"
#include "tests/prov/ProvTestSupport.h"

namespace provtest {
namespace {

Bytes Hash(const EVP_MD* md, const Bytes& data, size_t chunk) {
  MdCtx ctx(EVP_MD_CTX_new());
  EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
  for (size_t at = 0; at < data.size(); at += chunk) {
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), data.data() + at, std::min(chunk, data.size() - at)), 1);
  }
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), &len), 1);
  out.resize(len);
  return out;
}

// Whole run of EVP_CipherUpdate in chunks, then EVP_CipherFinal_ex; empty and
// ok=false on a failure.
Bytes Crypt(const EVP_CIPHER* cipher, int enc, const Bytes& key, const Bytes& iv, const Bytes& in,
            size_t chunk, bool* ok, int padding = 1) {
  *ok = false;
  tovel::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), enc) != 1) return {};
  EVP_CIPHER_CTX_set_padding(ctx.get(), padding);
  Bytes out(in.size() + 32);
  int total = 0;
  for (size_t at = 0; at < in.size(); at += chunk) {
    int n = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data() + total, &n, in.data() + at,
                         static_cast<int>(std::min(chunk, in.size() - at))) != 1)
      return {};
    total += n;
  }
  int n = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out.data() + total, &n) != 1) return {};
  out.resize(static_cast<size_t>(total + n));
  *ok = true;
  return out;
}

TEST(ProvAlgorithmsTest, Sm3FetchedAndImplicitRunTheExtension) {
  tovel::UniquePtr<EVP_MD> md(EVP_MD_fetch(nullptr, "SM3", nullptr));
  ASSERT_TRUE(md);
  EXPECT_EQ(ProviderOf(md.get()), "smext");
  OpCounter ops;
  const Bytes abc{'a', 'b', 'c'};
  EXPECT_EQ(ToHex(Hash(md.get(), abc, 1)),
            "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  Bytes abcd16;
  for (int i = 0; i < 16; ++i) abcd16.insert(abcd16.end(), {'a', 'b', 'c', 'd'});
  EXPECT_EQ(ToHex(Hash(EVP_sm3(), abcd16, 7)),
            "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");
  EXPECT_EQ(ToHex(Hash(md.get(), {}, 1)),
            "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b");
  EXPECT_EQ(ops[SMEXT_OP_DIGEST], 3);
  // A copied context carries the state on.
  MdCtx a(EVP_MD_CTX_new()), b(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestInit_ex(a.get(), md.get(), nullptr), 1);
  EVP_DigestUpdate(a.get(), "ab", 2);
  ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
  EVP_DigestUpdate(b.get(), "c", 1);
  Bytes out(32);
  unsigned len = 0;
  EVP_DigestFinal_ex(b.get(), out.data(), &len);
  EXPECT_EQ(ToHex(out), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  // The stock implementation stays reachable and agrees on random data.
  tovel::UniquePtr<EVP_MD> stock(EVP_MD_fetch(nullptr, "SM3", kStock));
  EXPECT_EQ(ProviderOf(stock.get()), "default");
  Bytes data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  EXPECT_EQ(Hash(md.get(), data, 129), Hash(stock.get(), data, 1000));
}

// The provider's digest-final entry, called directly: too small a room fails
// and writes nothing, and the digest is still to be had afterwards.
TEST(ProvAlgorithmsTest, Sm3FinalNeedsRoomForTheWholeDigest) {
  tovel::UniquePtr<EVP_MD> md(EVP_MD_fetch(nullptr, "SM3", "provider=smext"));
  ASSERT_TRUE(md);
  OSSL_PROVIDER* prov = const_cast<OSSL_PROVIDER*>(EVP_MD_get0_provider(md.get()));
  int noCache = 0;
  const OSSL_ALGORITHM* algs = OSSL_PROVIDER_query_operation(prov, OSSL_OP_DIGEST, &noCache);
  ASSERT_NE(algs, nullptr);
  ASSERT_NE(algs[0].algorithm_names, nullptr);
  ASSERT_EQ(std::string(algs[0].algorithm_names).rfind("SM3:", 0), 0u);
  OSSL_FUNC_digest_newctx_fn* newctx = nullptr;
  OSSL_FUNC_digest_init_fn* init = nullptr;
  OSSL_FUNC_digest_update_fn* update = nullptr;
  OSSL_FUNC_digest_final_fn* final = nullptr;
  OSSL_FUNC_digest_freectx_fn* freectx = nullptr;
  for (const OSSL_DISPATCH* f = algs[0].implementation; f->function_id != 0; ++f) {
    switch (f->function_id) {
      case OSSL_FUNC_DIGEST_NEWCTX: newctx = OSSL_FUNC_digest_newctx(f); break;
      case OSSL_FUNC_DIGEST_INIT: init = OSSL_FUNC_digest_init(f); break;
      case OSSL_FUNC_DIGEST_UPDATE: update = OSSL_FUNC_digest_update(f); break;
      case OSSL_FUNC_DIGEST_FINAL: final = OSSL_FUNC_digest_final(f); break;
      case OSSL_FUNC_DIGEST_FREECTX: freectx = OSSL_FUNC_digest_freectx(f); break;
    }
  }
  ASSERT_TRUE(newctx && init && update && final && freectx);
  void* ctx = newctx(OSSL_PROVIDER_get0_provider_ctx(prov));
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(init(ctx, nullptr), 1);
  ASSERT_EQ(update(ctx, reinterpret_cast<const unsigned char*>("abc"), 3), 1);
  Bytes out(64, 0xEE);
  size_t outl = 99;
  EXPECT_EQ(final(ctx, out.data(), &outl, 31), 0);
  EXPECT_EQ(out, Bytes(64, 0xEE)) << "written although refused";
  EXPECT_EQ(outl, 99u);
  EXPECT_EQ(final(ctx, out.data(), &outl, 32), 1);
  EXPECT_EQ(outl, 32u);
  EXPECT_EQ(ToHex(Bytes(out.begin(), out.begin() + 32)),
            "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
  EXPECT_EQ(Bytes(out.begin() + 32, out.end()), Bytes(32, 0xEE));
  freectx(ctx);
  OSSL_PROVIDER_unquery_operation(prov, OSSL_OP_DIGEST, algs);
}

TEST(ProvAlgorithmsTest, Sm4CbcMatchesTheStockLibrary) {
  tovel::UniquePtr<EVP_CIPHER> ours(EVP_CIPHER_fetch(nullptr, "SM4-CBC", nullptr));
  tovel::UniquePtr<EVP_CIPHER> stock(EVP_CIPHER_fetch(nullptr, "SM4-CBC", kStock));
  ASSERT_TRUE(ours && stock);
  EXPECT_EQ(ProviderOf(ours.get()), "smext");
  EXPECT_EQ(EVP_CIPHER_get_mode(ours.get()), EVP_CIPH_CBC_MODE);
  EXPECT_EQ(EVP_CIPHER_get_block_size(ours.get()), 16);
  const Bytes key = FromHex("0123456789abcdeffedcba9876543210");
  const Bytes zeroIv(16, 0);
  bool ok = false;
  // The published CBC vector, no padding.
  const Bytes twoBlocks =
      FromHex("0123456789abcdeffedcba9876543210 0123456789abcdeffedcba9876543210");
  EXPECT_EQ(ToHex(Crypt(ours.get(), 1, key, zeroIv, twoBlocks, 32, &ok, 0)),
            "681edf34d206965e86b3e94f536e42469ff11dcfd3afaa236c76090babc3bb85");
  EXPECT_TRUE(ok);
  OpCounter ops;
  for (size_t len : {0u, 1u, 15u, 16u, 17u, 100u, 1024u}) {
    for (size_t chunk : {1u, 5u, 16u, 64u, 2048u}) {
      SCOPED_TRACE(testing::Message() << "len " << len << " chunk " << chunk);
      Bytes plain(len);
      for (size_t i = 0; i < len; ++i) plain[i] = static_cast<uint8_t>(i * 13 + len);
      const Bytes iv(16, static_cast<uint8_t>(len));
      bool okOurs = false, okStock = false;
      const Bytes ct = Crypt(ours.get(), 1, key, iv, plain, chunk, &okOurs);
      EXPECT_EQ(ct, Crypt(stock.get(), 1, key, iv, plain, 1024, &okStock));
      EXPECT_TRUE(okOurs && okStock);
      EXPECT_EQ(Crypt(ours.get(), 0, key, iv, ct, chunk, &okOurs), plain);
      EXPECT_TRUE(okOurs);
    }
  }
  EXPECT_GT(ops[SMEXT_OP_CIPHER_INIT], 0);
  // The library's own implicit fetch reaches the extension too.
  const int inits = ops[SMEXT_OP_CIPHER_INIT];
  EXPECT_EQ(ToHex(Crypt(EVP_sm4_cbc(), 1, key, zeroIv, twoBlocks, 7, &ok, 0)),
            "681edf34d206965e86b3e94f536e42469ff11dcfd3afaa236c76090babc3bb85");
  EXPECT_EQ(ops[SMEXT_OP_CIPHER_INIT], inits + 1);
  // A wrong padding byte is refused.
  Bytes ct = Crypt(ours.get(), 1, key, zeroIv, Bytes(10, 1), 16, &ok);
  ct[15] ^= 0x01;
  Crypt(ours.get(), 0, key, zeroIv, ct, 16, &ok);
  EXPECT_FALSE(ok);
  ERR_clear_error();
}

TEST(ProvAlgorithmsTest, ZucFetchedRunsTheExtension) {
  tovel::UniquePtr<EVP_CIPHER> zuc(EVP_CIPHER_fetch(nullptr, "ZUC", nullptr));
  ASSERT_TRUE(zuc);
  EXPECT_EQ(ProviderOf(zuc.get()), "smext");
  EXPECT_EQ(EVP_CIPHER_get_block_size(zuc.get()), 1);
  struct Case {
    const char *key, *iv, *keystream;
  } const cases[] = {
      {"00000000000000000000000000000000", "00000000000000000000000000000000",
       "27bede74018082da87d4e5b69f18bf6632070e0f39b7b692"},
      {"ffffffffffffffffffffffffffffffff", "ffffffffffffffffffffffffffffffff", "0657cfa07096398b"},
      {"3d4c4be96a82fdaeb58f641db17b455b", "84319aa8de6915ca1f6bda6bfbd8c766", "14f1c2723279c419"},
  };
  OpCounter ops;
  for (const auto& c : cases) {
    const Bytes ks = FromHex(c.keystream);
    bool ok = false;
    EXPECT_EQ(
        Crypt(zuc.get(), 1, FromHex(c.key), FromHex(c.iv), Bytes(ks.size(), 0), ks.size(), &ok),
        ks);
    EXPECT_TRUE(ok);
    // Decryption is the same keystream, however the data is cut.
    for (size_t chunk : {1u, 3u, 4u, 5u, 7u}) {
      SCOPED_TRACE(chunk);
      EXPECT_EQ(Crypt(zuc.get(), 0, FromHex(c.key), FromHex(c.iv), ks, chunk, &ok),
                Bytes(ks.size(), 0));
      EXPECT_TRUE(ok);
    }
  }
  EXPECT_EQ(ops[SMEXT_OP_CIPHER_INIT], 18);
  // A longer message: one stream across calls, the same as one call.
  const Bytes key(16, 0x11), iv(16, 0x22);
  Bytes plain(1001);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 31 + 7);
  bool ok = false;
  const Bytes whole = Crypt(zuc.get(), 1, key, iv, plain, plain.size(), &ok);
  EXPECT_EQ(Crypt(zuc.get(), 1, key, iv, plain, 13, &ok), whole);
  EXPECT_EQ(Crypt(zuc.get(), 0, key, iv, whole, 6, &ok), plain);
  // The core's words one at a time, big-endian: odd chunks that start inside
  // a word and span 64-byte blocks give the same bytes.
  ZUC_STATE state;
  zuc_init(key.data(), iv.data(), &state);
  Bytes expected(plain.size());
  for (size_t i = 0; i < plain.size(); i += 4) {
    const uint32_t w = zuc_keystream_word(&state);
    for (size_t j = 0; j < 4 && i + j < plain.size(); ++j) {
      expected[i + j] = plain[i + j] ^ static_cast<uint8_t>(w >> (24 - 8 * j));
    }
  }
  EXPECT_EQ(whole, expected);
  for (size_t chunk : {3u, 67u, 130u, 259u}) {
    SCOPED_TRACE(chunk);
    EXPECT_EQ(Crypt(zuc.get(), 1, key, iv, plain, chunk, &ok), expected);
    EXPECT_TRUE(ok);
  }
}

}  // namespace
}  // namespace provtest
