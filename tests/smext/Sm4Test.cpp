// SM4: the published example, the CBC record's step, and the envelope
// functions against the library's own SM4-CBC.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "smext/sm4.h"
#include "smext/sm_objects.h"
#include "tests/smext/SmTestSupport.h"

namespace {

using smtest::Bytes;
using smtest::FromHex;
using smtest::ToHex;

// GB/T 32907 example: key = plaintext.
const Bytes kKey = FromHex("0123456789abcdeffedcba9876543210");
const char* const kCipherBlock = "681edf34d206965e86b3e94f536e4246";

void ToWords(const Bytes& bytes, uint32_t* words) {
  for (size_t i = 0; i < bytes.size() / 4; ++i) {
    words[i] = uint32_t{bytes[4 * i]} << 24 | uint32_t{bytes[4 * i + 1]} << 16 |
               uint32_t{bytes[4 * i + 2]} << 8 | bytes[4 * i + 3];
  }
}

Bytes ToBytes(const uint32_t* words, size_t count) {
  Bytes out;
  for (size_t i = 0; i < count; ++i) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<uint8_t>(words[i] >> shift));
  }
  return out;
}

struct Sm4Keys {
  uint32_t mk[4];
  uint32_t rk[SM4_ROUNDS];
};

Sm4Keys ScheduleOf(const Bytes& key) {
  Sm4Keys keys;
  ToWords(key, keys.mk);
  EXPECT_EQ(sm4_set_key(keys.mk, keys.rk), 1);
  return keys;
}

TEST(Sm4Test, PublishedRoundKeysAndBlock) {
  Sm4Keys keys = ScheduleOf(kKey);
  EXPECT_EQ(keys.rk[0], 0xF12186F9u);
  EXPECT_EQ(keys.rk[1], 0x41662B61u);
  EXPECT_EQ(keys.rk[31], 0x9124A012u);

  uint32_t plain[4], cipher[4], back[4];
  ToWords(kKey, plain);
  ASSERT_EQ(sm4_crypt_block(plain, keys.rk, cipher), 1);
  EXPECT_EQ(ToHex(ToBytes(cipher, 4)), kCipherBlock);

  ASSERT_EQ(sm4_reverse_round_keys(keys.rk), 1);
  EXPECT_EQ(keys.rk[0], 0x9124A012u);
  EXPECT_EQ(keys.rk[31], 0xF12186F9u);
  ASSERT_EQ(sm4_crypt_block(cipher, keys.rk, back), 1);
  EXPECT_EQ(ToBytes(back, 4), kKey);
}

TEST(Sm4Test, MillionFoldEncryption) {
  const Sm4Keys keys = ScheduleOf(kKey);
  uint32_t block[4];
  ToWords(kKey, block);
  for (int i = 0; i < 1000000; ++i) sm4_crypt_block(block, keys.rk, block);
  EXPECT_EQ(ToHex(ToBytes(block, 4)), "595298c7c6fd271f0402f804c33d3f66");
}

// A cipher context set up through the library, with direct access to its key data.
smtest::CipherCtx NewContext(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, int enc) {
  smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), enc), 1);
  return ctx;
}

Bytes Step(EVP_CIPHER_CTX* ctx, const Bytes& in, uint8_t fill = 0xA5) {
  Bytes out(in.size(), fill);
  EXPECT_EQ(EVP_Cipher(ctx, out.data(), in.data(), static_cast<unsigned>(in.size())), 1);
  return out;
}

TEST(Sm4Test, CbcVectorByEveryName) {
  const Bytes zeroIv(16, 0);
  const Bytes plain = FromHex("0123456789abcdeffedcba9876543210 0123456789abcdeffedcba9876543210");
  const EVP_CIPHER* byName[] = {EVP_get_cipherbyname("sm4-cbc"),
                                EVP_get_cipherbyname("ChinaSM4-CBC"),
                                EVP_get_cipherbynid(sm_obj_nid(SM_OBJ_SM4_CBC))};
  for (const EVP_CIPHER* cipher : byName) {
    ASSERT_EQ(cipher, sm4_cbc_cipher_method());
    auto ctx = NewContext(cipher, kKey, zeroIv, 1);
    EXPECT_EQ(ToHex(Step(ctx.get(), plain)),
              "681edf34d206965e86b3e94f536e42469ff11dcfd3afaa236c76090babc3bb85");
  }
}

TEST(Sm4Test, RecordValues) {
  const EVP_CIPHER* cipher = sm4_cbc_cipher_method();
  ASSERT_NE(cipher, nullptr);
  EXPECT_EQ(EVP_CIPHER_get_nid(cipher), sm_obj_nid(SM_OBJ_SM4_CBC));
  EXPECT_EQ(EVP_CIPHER_get_block_size(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_key_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_iv_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_mode(cipher), EVP_CIPH_CBC_MODE);
}

// The step handles whole blocks only: a tail is neither read nor written, and
// the chaining value is the last whole ciphertext block.
TEST(Sm4Test, StepLeavesTailAndChainsOnLastWholeBlock) {
  smtest::Random random(4);
  const Bytes key = random.Fill(16), iv = random.Fill(16);
  const Bytes next = random.Fill(16);
  for (int enc : {1, 0}) {
    for (size_t len : {size_t{0}, size_t{5}, size_t{15}, size_t{40}, size_t{72}, size_t{100}}) {
      SCOPED_TRACE(testing::Message() << "enc " << enc << " len " << len);
      const Bytes in = random.Fill(len);
      auto ctx = NewContext(sm4_cbc_cipher_method(), key, iv, enc);
      const Bytes out = Step(ctx.get(), in);
      const size_t whole = len / 16 * 16;
      EXPECT_EQ(Bytes(out.begin() + whole, out.end()), Bytes(len - whole, 0xA5));

      // Expected: the core over the whole blocks with a byte IV.
      Sm4Keys keys = ScheduleOf(key);
      if (!enc) sm4_reverse_round_keys(keys.rk);
      Bytes chain = iv;
      Bytes expected(whole);
      for (size_t i = 0; i < whole; i += 16) {
        sm4_cbc_encrypt_block(in.data() + i, keys.rk, chain.data(), expected.data() + i, enc);
      }
      EXPECT_EQ(Bytes(out.begin(), out.begin() + whole), expected);
      if (whole > 0) {
        const Bytes& carrier = enc ? out : in;
        EXPECT_EQ(chain, Bytes(carrier.begin() + whole - 16, carrier.begin() + whole));
      } else {
        EXPECT_EQ(chain, iv);
      }
      // The context chains on from the same value.
      Bytes expectedNext(16);
      sm4_cbc_encrypt_block(next.data(), keys.rk, chain.data(), expectedNext.data(), enc);
      EXPECT_EQ(Step(ctx.get(), next), expectedNext);
    }
  }
}

// The same buffer as input and output, in both directions, over lengths that
// take the grouped and the single-block paths and leave a tail.
TEST(Sm4Test, EncryptsAndDecryptsInPlace) {
  smtest::Random random(44);
  for (size_t len : {size_t{16}, size_t{40}, size_t{96}, size_t{200}}) {
    SCOPED_TRACE(len);
    const Bytes key = random.Fill(16), iv = random.Fill(16), plain = random.Fill(len);
    auto enc = NewContext(sm4_cbc_cipher_method(), key, iv, 1);
    auto encInPlace = NewContext(sm4_cbc_cipher_method(), key, iv, 1);
    const Bytes cipher = Step(enc.get(), plain);
    Bytes buffer = plain;
    ASSERT_EQ(
        EVP_Cipher(encInPlace.get(), buffer.data(), buffer.data(), static_cast<unsigned>(len)), 1);
    const size_t whole = len / 16 * 16;
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + whole),
              Bytes(cipher.begin(), cipher.begin() + whole));
    EXPECT_EQ(Bytes(buffer.begin() + whole, buffer.end()),
              Bytes(plain.begin() + whole, plain.end()));

    auto dec = NewContext(sm4_cbc_cipher_method(), key, iv, 0);
    ASSERT_EQ(EVP_Cipher(dec.get(), buffer.data(), buffer.data(), static_cast<unsigned>(len)), 1);
    EXPECT_EQ(buffer, plain);
  }
}

TEST(Sm4Test, DecryptionContextHoldsReversedRoundKeys) {
  const Bytes iv(16, 0);
  auto enc = NewContext(sm4_cbc_cipher_method(), kKey, iv, 1);
  auto dec = NewContext(sm4_cbc_cipher_method(), kKey, iv, 0);
  const auto* encKey = static_cast<const SM4_KEY*>(EVP_CIPHER_CTX_get_cipher_data(enc.get()));
  const auto* decKey = static_cast<const SM4_KEY*>(EVP_CIPHER_CTX_get_cipher_data(dec.get()));
  ASSERT_NE(encKey, nullptr);
  ASSERT_NE(decKey, nullptr);
  EXPECT_TRUE(std::equal(encKey->rk, encKey->rk + SM4_ROUNDS, std::rbegin(decKey->rk)));
  EXPECT_EQ(std::memcmp(encKey->mk, decKey->mk, sizeof(encKey->mk)), 0);
  // Setting the key again reverses once, not twice.
  ASSERT_EQ(EVP_CipherInit_ex(dec.get(), nullptr, nullptr, kKey.data(), iv.data(), 0), 1);
  EXPECT_TRUE(std::equal(encKey->rk, encKey->rk + SM4_ROUNDS, std::rbegin(decKey->rk)));
}

// Random keys, IVs and lengths, split across calls, against the library's
// SM4-CBC: the raw step chains across calls, the envelope pads like the library.
TEST(Sm4Test, MatchesPeerAcrossCallsAndWithPadding) {
  ASSERT_NE(smtest::PeerSm4Cbc(), nullptr);
  smtest::Random random(444);
  for (int round = 0; round < 150; ++round) {
    const Bytes key = random.Fill(16), iv = random.Fill(16);
    const size_t len = round < 50 ? static_cast<size_t>(round) : random.Below(600);
    const Bytes plain = random.Fill(len);
    SCOPED_TRACE(len);
    const Bytes peer = smtest::ExpectSm4CbcMatchesPeer(random, key, iv, plain, 6);
    if (HasFailure()) return;

    // The raw step over whole blocks, cut at block boundaries.
    const Bytes blocks(plain.begin(), plain.begin() + len / 16 * 16);
    auto ctx = NewContext(sm4_cbc_cipher_method(), key, iv, 1);
    Bytes raw;
    for (size_t from = 0; from < blocks.size();) {
      const size_t take = std::min(blocks.size() - from, 16 * (1 + random.Below(3)));
      const Bytes chunk =
          Step(ctx.get(), Bytes(blocks.begin() + from, blocks.begin() + from + take));
      raw.insert(raw.end(), chunk.begin(), chunk.end());
      from += take;
    }
    EXPECT_EQ(raw, Bytes(peer.begin(), peer.begin() + blocks.size()));
  }
}

TEST(Sm4Test, WrongPaddingIsRefused) {
  smtest::Random random(5);
  const Bytes key = random.Fill(16), iv = random.Fill(16);
  bool ok = false;
  Bytes cipher = smtest::Envelope(sm4_cbc_cipher_method(), 1, key, iv, random.Fill(20), {}, &ok);
  ASSERT_TRUE(ok);
  cipher.back() ^= 0x55;  // the last plaintext byte becomes an impossible pad
  smtest::Envelope(sm4_cbc_cipher_method(), 0, key, iv, cipher, {}, &ok);
  EXPECT_FALSE(ok);
}

}  // namespace
