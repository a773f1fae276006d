// ZUC: the published keystreams, the word-per-call rule of the record and
// its refusal of set-ups it cannot serve.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include "smext/sm_objects.h"
#include "smext/zuc.h"
#include "tests/smext/SmTestSupport.h"

namespace {

using smtest::Bytes;
using smtest::FromHex;
using smtest::ToHex;

struct KeystreamCase {
    const char *key;
    const char *iv;
    const char *words;  // z1, z2, ...
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
    for (const auto &c : kKeystreams) {
        SCOPED_TRACE(c.key);
        ZUC_STATE state;
        zuc_init(FromHex(c.key).data(), FromHex(c.iv).data(), &state);
        const Bytes expected = FromHex(c.words);
        Bytes words;
        for (size_t i = 0; i < expected.size() / 4; ++i) {
            const uint32_t z = zuc_keystream_word(&state);
            for (int shift = 24; shift >= 0; shift -= 8) words.push_back(static_cast<uint8_t>(z >> shift));
        }
        EXPECT_EQ(ToHex(words), ToHex(expected));
    }
}

smtest::CipherCtx NewContext(const EVP_CIPHER *cipher, const Bytes &key, const Bytes &iv) {
    smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data()), 1);
    return ctx;
}

Bytes Step(EVP_CIPHER_CTX *ctx, const Bytes &in) {
    Bytes out(in.size(), 0xA5);
    EXPECT_EQ(EVP_Cipher(ctx, out.data(), in.data(), static_cast<unsigned>(in.size())), 1);
    return out;
}

// Applies the cipher over in, one call per chunk of the given lengths.
Bytes InChunks(EVP_CIPHER_CTX *ctx, const Bytes &in, std::initializer_list<size_t> lengths) {
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
    const EVP_CIPHER *byName[] = {EVP_get_cipherbyname("zuc"), EVP_get_cipherbyname("ChinaZUC"),
                                  EVP_get_cipherbynid(sm_obj_nid(SM_OBJ_ZUC))};
    for (const EVP_CIPHER *cipher : byName) {
        ASSERT_EQ(cipher, zuc_cipher_method());
        auto ctx = NewContext(cipher, kZeroKey, kZeroIv);
        EXPECT_EQ(ToHex(Step(ctx.get(), Bytes(8, 0))), "27bede74018082da");
    }
}

TEST(ZucTest, RecordValues) {
    const EVP_CIPHER *cipher = zuc_cipher_method();
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
        const char *keystream;
    };
    // z1..z4 of the first test set: 27bede74 018082da 87d4e5b6 9f18bf66.
    const Case cases[] = {
        {{5, 3}, "27bede740187d4e5"},      // z1, first byte of z2, then z3's first three
        {{8}, "27bede74018082da"},
        {{4, 4}, "27bede74018082da"},
        {{3, 5}, "27bede018082da87"},      // z1's first three, z2, first byte of z3
        {{0, 4}, "27bede74"},              // a call over 0 bytes takes no word
        {{1, 1, 1, 1}, "2701879f"},
    };
    for (const auto &c : cases) {
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

TEST(ZucTest, KeyLengthOtherThan16IsRefused) {
    for (int keyLength : {16, 8, 15, 17, 32}) {
        SCOPED_TRACE(keyLength);
        smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
        ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), zuc_cipher_method(), nullptr, nullptr, nullptr), 1);
        ASSERT_EQ(EVP_CIPHER_CTX_set_key_length(ctx.get(), keyLength), 1);
        const Bytes key(keyLength, 0);
        const int ok = EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), kZeroIv.data());
        if (keyLength == 16) {
            ASSERT_EQ(ok, 1);
            EXPECT_EQ(ToHex(Step(ctx.get(), Bytes(4, 0))), "27bede74");
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
    EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), zuc_cipher_method(), nullptr, kZeroKey.data(), nullptr), 0);
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

}  // namespace
