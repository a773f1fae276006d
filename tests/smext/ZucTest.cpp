// ZUC: the published keystreams on every code path, the word-per-call rule
// of the record, the key lengths it serves and its refusal of set-ups it
// cannot serve.
#include <algorithm>

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "smext/cpu_caps.h"
#include "smext/sm_objects.h"
#include "smext/zuc.h"
#include "smext/zuc_impl.h"
#include "tests/smext/SmTestSupport.h"

namespace {

using smtest::Bytes;
using smtest::FromHex;
using smtest::ToHex;

struct KeystreamCase {
  const char* key;
  const char* iv;
  const char* words;  // z1, z2, ...
};

// ZUC-128 implementors' test data, sets 1 to 3.
const KeystreamCase kKeystreams[] = {
    {"00000000000000000000000000000000", "00000000000000000000000000000000",
     "27bede74 018082da 87d4e5b6 9f18bf66 32070e0f 39b7b692"},
    {"ffffffffffffffffffffffffffffffff", "ffffffffffffffffffffffffffffffff", "0657cfa0 7096398b"},
    {"3d4c4be96a82fdaeb58f641db17b455b", "84319aa8de6915ca1f6bda6bfbd8c766", "14f1c272 3279c419"},
};

const Bytes kZeroKey(16, 0), kZeroIv(16, 0);

TEST(ZucTest, KeystreamWordsOfTheTestSets) {
  for (const auto& c : kKeystreams) {
    SCOPED_TRACE(c.key);
    ZUC_STATE state;
    zuc_init(FromHex(c.key).data(), FromHex(c.iv).data(), &state);
    const Bytes expected = FromHex(c.words);
    Bytes words;
    for (size_t i = 0; i < expected.size() / 4; ++i) {
      const uint32_t z = zuc_keystream_word(&state);
      for (int shift = 24; shift >= 0; shift -= 8)
        words.push_back(static_cast<uint8_t>(z >> shift));
    }
    EXPECT_EQ(ToHex(words), ToHex(expected));
  }
}

smtest::CipherCtx NewContext(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv) {
  smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data()), 1);
  return ctx;
}

Bytes Step(EVP_CIPHER_CTX* ctx, const Bytes& in) {
  Bytes out(in.size(), 0xA5);
  EXPECT_EQ(EVP_Cipher(ctx, out.data(), in.data(), static_cast<unsigned>(in.size())), 1);
  return out;
}

// Applies the cipher over in, one call per chunk of the given lengths.
Bytes InChunks(EVP_CIPHER_CTX* ctx, const Bytes& in, std::initializer_list<size_t> lengths) {
  Bytes out;
  size_t from = 0;
  for (size_t len : lengths) {
    const Bytes chunk = Step(ctx, Bytes(in.begin() + from, in.begin() + from + len));
    out.insert(out.end(), chunk.begin(), chunk.end());
    from += len;
  }
  return out;
}

TEST(ZucTest, FirstTestSetByEveryName) {
  const EVP_CIPHER* byName[] = {EVP_get_cipherbyname("zuc"), EVP_get_cipherbyname("ChinaZUC"),
                                EVP_get_cipherbynid(sm_obj_nid(SM_OBJ_ZUC))};
  for (const EVP_CIPHER* cipher : byName) {
    ASSERT_EQ(cipher, zuc_cipher_method());
    auto ctx = NewContext(cipher, kZeroKey, kZeroIv);
    EXPECT_EQ(ToHex(Step(ctx.get(), Bytes(8, 0))), "27bede74018082da");
  }
}

TEST(ZucTest, RecordValues) {
  const EVP_CIPHER* cipher = zuc_cipher_method();
  ASSERT_NE(cipher, nullptr);
  EXPECT_EQ(EVP_CIPHER_get_nid(cipher), sm_obj_nid(SM_OBJ_ZUC));
  EXPECT_EQ(EVP_CIPHER_get_block_size(cipher), 1);
  EXPECT_EQ(EVP_CIPHER_get_key_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_iv_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_mode(cipher), EVP_CIPH_STREAM_CIPHER);
  EXPECT_NE(EVP_CIPHER_get_flags(cipher) & EVP_CIPH_VARIABLE_LENGTH, 0u);
}

// Every call starts a new keystream word; the rest of the last word is dropped.
TEST(ZucTest, EachCallStartsANewWord) {
  struct Case {
    std::initializer_list<size_t> lengths;
    const char* keystream;
  };
  // z1..z4 of the first test set: 27bede74 018082da 87d4e5b6 9f18bf66.
  const Case cases[] = {
      {{5, 3}, "27bede740187d4e5"},  // z1, first byte of z2, then z3's first three
      {{8}, "27bede74018082da"},    {{4, 4}, "27bede74018082da"},
      {{3, 5}, "27bede018082da87"},  // z1's first three, z2, first byte of z3
      {{0, 4}, "27bede74"},          // a call over 0 bytes takes no word
      {{1, 1, 1, 1}, "2701879f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keystream);
    auto ctx = NewContext(zuc_cipher_method(), kZeroKey, kZeroIv);
    size_t total = 0;
    for (size_t len : c.lengths) total += len;
    EXPECT_EQ(ToHex(InChunks(ctx.get(), Bytes(total, 0), c.lengths)), c.keystream);
  }
}

TEST(ZucTest, SameCutsRestoreTheInput) {
  smtest::Random random(6);
  for (int round = 0; round < 50; ++round) {
    const Bytes key = random.Fill(16), iv = random.Fill(16), plain = random.Fill(random.Below(300));
    const auto cuts = random.Cuts(plain.size(), 1 + random.Below(6));
    bool ok = false;
    const Bytes cipher = smtest::Envelope(zuc_cipher_method(), 1, key, iv, plain, cuts, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(cipher.size(), plain.size());
    const Bytes back = smtest::Envelope(zuc_cipher_method(), 0, key, iv, cipher, cuts, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back, plain);
  }
}

// The set-up reads 16 key bytes whatever length the caller recorded: a longer
// recorded length leaves the keystream that of the first 16 bytes, a shorter
// one (the key given would be read past) is refused.
TEST(ZucTest, KeyLengthBelow16IsRefusedAndLongerLengthsKeepTheKeystream) {
  const Bytes key = FromHex(kKeystreams[2].key), iv = FromHex(kKeystreams[2].iv);
  for (int keyLength : {16, 17, 24, 32, 64, 1, 8, 15}) {
    SCOPED_TRACE(keyLength);
    smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), zuc_cipher_method(), nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(EVP_CIPHER_CTX_set_key_length(ctx.get(), keyLength), 1);
    ASSERT_EQ(EVP_CIPHER_CTX_get_key_length(ctx.get()), keyLength);
    // The key's first bytes (up to 16) are the test set's, the rest other bytes.
    Bytes given(keyLength, 0xC3);
    std::copy(key.begin(), key.begin() + std::min(keyLength, 16), given.begin());
    ERR_clear_error();
    const int ok = EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, given.data(), iv.data());
    if (keyLength >= 16) {
      ASSERT_EQ(ok, 1);
      EXPECT_EQ(ToHex(Step(ctx.get(), Bytes(8, 0))), "14f1c2723279c419");
    } else {
      EXPECT_EQ(ok, 0);
      EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), EVP_R_INVALID_KEY_LENGTH);
    }
    ERR_clear_error();
  }
}

TEST(ZucTest, KeyWithoutIvIsRefused) {
  smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
  ERR_clear_error();
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), zuc_cipher_method(), nullptr, kZeroKey.data(), nullptr),
            0);
  EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), ERR_R_PASSED_NULL_PARAMETER);
  ERR_clear_error();
}

// Without a new key the keystream goes on; a new key and IV restart it.
TEST(ZucTest, NewIvTakesEffectOnlyWithAKey) {
  auto ctx = NewContext(zuc_cipher_method(), kZeroKey, kZeroIv);
  EXPECT_EQ(ToHex(Step(ctx.get(), Bytes(4, 0))), "27bede74");
  const Bytes ffIv(16, 0xFF);
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, ffIv.data()), 1);
  EXPECT_EQ(ToHex(Step(ctx.get(), Bytes(4, 0))), "018082da");
  const Bytes ffKey(16, 0xFF);
  ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, ffKey.data(), ffIv.data()), 1);
  EXPECT_EQ(ToHex(Step(ctx.get(), Bytes(4, 0))), "0657cfa0");
}

// The keystream word by word on the portable path: the register shifted one
// cell a word and the feedback added term by term, as the standard writes
// them; a reference for the block paths, which keep a ring and sum in 64 bits.
Bytes ReferenceKeystream(const Bytes& key, const Bytes& iv, size_t words) {
  EXPECT_EQ(zuc_force_impl(ZUC_IMPL_PORTABLE), 1);
  ZUC_STATE state;
  zuc_init(key.data(), iv.data(), &state);
  Bytes out;
  for (size_t i = 0; i < words; ++i) {
    const uint32_t z = zuc_keystream_word(&state);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(z >> shift));
  }
  return out;
}

// Every keystream path, forced in turn.
class ZucPathTest : public ::testing::TestWithParam<zuc_impl> {
 protected:
  void SetUp() override {
    if (!zuc_force_impl(GetParam())) {
      GTEST_SKIP() << "this processor lacks the features of ZUC path " << GetParam();
    }
  }
  void TearDown() override { zuc_force_impl(ZUC_IMPL_AUTO); }
};

// The published words through the path's blocks (a call of 64 bytes or more)
// and through its single words (the key set-up and calls under 64 bytes).
TEST_P(ZucPathTest, PublishedKeystreams) {
  for (const auto& c : kKeystreams) {
    SCOPED_TRACE(c.key);
    const Bytes expected = FromHex(c.words);
    for (size_t callLength : {size_t{4}, size_t{64}, size_t{256}}) {
      SCOPED_TRACE(callLength);
      auto ctx = NewContext(zuc_cipher_method(), FromHex(c.key), FromHex(c.iv));
      Bytes stream;
      while (stream.size() < expected.size()) {
        const Bytes chunk = Step(ctx.get(), Bytes(callLength, 0));
        stream.insert(stream.end(), chunk.begin(), chunk.end());
      }
      stream.resize(expected.size());
      EXPECT_EQ(ToHex(stream), ToHex(expected));
    }
    ZUC_STATE state;
    zuc_init(FromHex(c.key).data(), FromHex(c.iv).data(), &state);
    EXPECT_EQ(zuc_keystream_word(&state),
              uint32_t{expected[0]} << 24 | expected[1] << 16 | expected[2] << 8 | expected[3]);
  }
  EXPECT_EQ(zuc_active_impl(), GetParam());
}

// Long streams of random keys and IVs against the word-by-word reference, in
// one call, in cuts of whole words (which give the same bytes) and with a
// last word cut short.
TEST_P(ZucPathTest, LongStreamsMatchTheReference) {
  smtest::Random random(60 + GetParam());
  for (int round = 0; round < 12; ++round) {
    const Bytes key = random.Fill(16), iv = random.Fill(16);
    const size_t words = 16 * (1 + random.Below(40)) + random.Below(16);
    const Bytes expected = ReferenceKeystream(key, iv, words);
    ASSERT_EQ(zuc_force_impl(GetParam()), 1);
    const Bytes plain = random.Fill(4 * words);
    Bytes expectedCipher = plain;
    for (size_t i = 0; i < plain.size(); ++i) expectedCipher[i] ^= expected[i];

    auto whole = NewContext(zuc_cipher_method(), key, iv);
    EXPECT_EQ(Step(whole.get(), plain), expectedCipher);

    std::vector<size_t> cuts;
    for (size_t at = 4 * random.Below(20); at < plain.size(); at += 4 * (1 + random.Below(40))) {
      cuts.push_back(at);
    }
    bool ok = false;
    EXPECT_EQ(smtest::Envelope(zuc_cipher_method(), 1, key, iv, plain, cuts, &ok), expectedCipher);
    EXPECT_TRUE(ok);

    // Three bytes short of the last word: that word's first byte is used.
    auto shortened = NewContext(zuc_cipher_method(), key, iv);
    const Bytes head(plain.begin(), plain.end() - 3);
    EXPECT_EQ(Step(shortened.get(), head), Bytes(expectedCipher.begin(), expectedCipher.end() - 3));
  }
}

// In place (out = in), as the library allows.
TEST_P(ZucPathTest, InPlaceMatchesTheReference) {
  const Bytes key = FromHex(kKeystreams[2].key), iv = FromHex(kKeystreams[2].iv);
  const Bytes expected = ReferenceKeystream(key, iv, 100);
  ASSERT_EQ(zuc_force_impl(GetParam()), 1);
  auto ctx = NewContext(zuc_cipher_method(), key, iv);
  Bytes buffer(400, 0);
  ASSERT_EQ(EVP_Cipher(ctx.get(), buffer.data(), buffer.data(), 400), 1);
  EXPECT_EQ(buffer, expected);
}

INSTANTIATE_TEST_SUITE_P(Paths, ZucPathTest,
                         ::testing::Values(ZUC_IMPL_PORTABLE, ZUC_IMPL_GFNI_AVX512),
                         [](const ::testing::TestParamInfo<zuc_impl>& info) {
                           return info.param == ZUC_IMPL_PORTABLE ? std::string("Portable")
                                                                  : std::string("GfniAvx512");
                         });

// Left to itself, the core takes the path without S-box tables wherever the
// processor has GFNI and AVX-512 VL, and the portable one elsewhere.
TEST(ZucTest, AutomaticChoiceFollowsTheProcessor) {
  ASSERT_EQ(zuc_force_impl(ZUC_IMPL_AUTO), 1);
  const SM_CPU_CAPS* caps = sm_cpu_caps();
  const bool vector = caps->gfni && caps->avx512vl && caps->avx2 && caps->bmi2;
  EXPECT_EQ(zuc_active_impl(), vector ? ZUC_IMPL_GFNI_AVX512 : ZUC_IMPL_PORTABLE);
  if (!vector) {
    EXPECT_EQ(zuc_force_impl(ZUC_IMPL_GFNI_AVX512), 0);
    EXPECT_EQ(zuc_active_impl(), ZUC_IMPL_PORTABLE);
  }
}

}  // namespace
