// SM4-CBC on each of its cores (portable, AES-NI, GFNI), each forced in turn:
// the published vectors, and the library's own SM4-CBC as a peer over many
// lengths, splits across calls, in-place buffers and the group/tail boundary.
#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "smext/sm4.h"
#include "smext/sm4_local.h"
#include "tests/smext/SmTestSupport.h"

namespace {

using smtest::Bytes;
using smtest::FromHex;
using smtest::ToHex;

const Bytes kKey = FromHex("0123456789abcdeffedcba9876543210");

struct CoreCase {
  sm4_impl impl;
  const char* name;
  size_t group;  // blocks the core decrypts at once
};

void PrintTo(const CoreCase& c, std::ostream* os) { *os << c.name; }

const CoreCase kCores[] = {
    {SM4_IMPL_PORTABLE, "Portable", 4},
    {SM4_IMPL_AESNI, "AesNi", SM4_AESNI_GROUP},
    {SM4_IMPL_GFNI, "Gfni", SM4_GFNI_GROUP},
};

class Sm4CoreTest : public testing::TestWithParam<CoreCase> {
 protected:
  void SetUp() override {
    previous_ = sm4_active_impl();
    if (!sm4_impl_available(GetParam().impl)) {
      GTEST_SKIP() << "this processor cannot run the " << GetParam().name
                   << " core (it lacks the instructions it needs)";
    }
    ASSERT_EQ(sm4_force_impl(GetParam().impl), 1);
    ASSERT_EQ(sm4_active_impl(), GetParam().impl);
  }
  void TearDown() override { sm4_force_impl(previous_); }

  static void Schedule(const Bytes& key, int enc, uint32_t rk[SM4_ROUNDS]) {
    uint32_t mk[4];
    for (unsigned i = 0; i < 4; ++i) {
      mk[i] = uint32_t{key[4 * i]} << 24 | uint32_t{key[4 * i + 1]} << 16 |
              uint32_t{key[4 * i + 2]} << 8 | key[4 * i + 3];
    }
    sm4_set_key(mk, rk);
    if (!enc) sm4_reverse_round_keys(rk);
  }

  // The library's SM4-CBC over whole blocks, without padding.
  static Bytes Peer(int enc, const Bytes& key, const Bytes& iv, const Bytes& in) {
    smtest::CipherCtx ctx(EVP_CIPHER_CTX_new());
    EXPECT_EQ(
        EVP_CipherInit_ex(ctx.get(), smtest::PeerSm4Cbc(), nullptr, key.data(), iv.data(), enc), 1);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(in.size() + 16);
    int len = 0;
    EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())),
              1);
    out.resize(static_cast<size_t>(len));
    return out;
  }

 private:
  sm4_impl previous_ = SM4_IMPL_PORTABLE;
};

TEST_P(Sm4CoreTest, PublishedCbcVectorBothWays) {
  const Bytes iv(16, 0);
  const Bytes plain = FromHex("0123456789abcdeffedcba9876543210 0123456789abcdeffedcba9876543210");
  const char* const cipher = "681edf34d206965e86b3e94f536e42469ff11dcfd3afaa236c76090babc3bb85";
  bool ok = false;
  const Bytes sealed = smtest::Envelope(sm4_cbc_cipher_method(), 1, kKey, iv, plain, {}, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ToHex(Bytes(sealed.begin(), sealed.begin() + 32)), cipher);
  EXPECT_EQ(smtest::Envelope(sm4_cbc_cipher_method(), 0, kKey, iv, sealed, {}, &ok), plain);
  EXPECT_TRUE(ok);
}

// The block encrypted 1,000,000 times through the core's CBC encryption (a
// zero chaining value makes one block of CBC the bare cipher), then decrypted
// as often through its decryption, one block per call: the part-group path.
TEST_P(Sm4CoreTest, MillionFoldEncryptionAndBack) {
  uint32_t rk[SM4_ROUNDS];
  Schedule(kKey, 1, rk);
  Bytes block = kKey;
  for (int i = 0; i < 1000000; ++i) {
    unsigned char iv[16] = {};
    sm4_cbc_encrypt_blocks(rk, iv, block.data(), block.data(), 1);
  }
  EXPECT_EQ(ToHex(block), "595298c7c6fd271f0402f804c33d3f66");

  Schedule(kKey, 0, rk);
  for (int i = 0; i < 1000000; ++i) {
    unsigned char iv[16] = {};
    sm4_cbc_decrypt_blocks(rk, iv, block.data(), block.data(), 1);
  }
  EXPECT_EQ(block, kKey);
}

// Every count of blocks up to three groups and a half, in and out of place,
// directly on the core: output and the chaining value left behind match the
// peer, and so does a following call that chains on.
TEST_P(Sm4CoreTest, EveryBlockCountMatchesPeer) {
  smtest::Random random(0x5A4);
  const size_t most = 3 * GetParam().group + GetParam().group / 2 + 1;
  for (int enc : {1, 0}) {
    for (size_t n = 0; n <= most; ++n) {
      for (bool inPlace : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << "enc " << enc << " blocks " << n << " in place " << inPlace);
        const Bytes key = random.Fill(16), iv = random.Fill(16);
        const Bytes in = random.Fill(16 * n), next = random.Fill(16);
        const Bytes expected = Peer(enc, key, iv, in);
        uint32_t rk[SM4_ROUNDS];
        Schedule(key, enc, rk);
        Bytes chain = iv;
        Bytes buffer = in;
        Bytes separate(in.size() + 16, 0xA5);  // one block more: nothing past the end is written
        unsigned char* out = inPlace ? buffer.data() : separate.data();
        if (enc) {
          sm4_cbc_encrypt_blocks(rk, chain.data(), out, buffer.data(), n);
        } else {
          sm4_cbc_decrypt_blocks(rk, chain.data(), out, buffer.data(), n);
        }
        EXPECT_EQ(Bytes(out, out + in.size()), expected);
        if (!inPlace) {
          EXPECT_EQ(buffer, in);
          EXPECT_EQ(Bytes(separate.end() - 16, separate.end()), Bytes(16, 0xA5));
        }
        const Bytes& carrier = enc ? expected : in;
        EXPECT_EQ(chain, n == 0 ? iv : Bytes(carrier.end() - 16, carrier.end()));

        Bytes whole = in;
        whole.insert(whole.end(), next.begin(), next.end());
        const Bytes expectedBoth = Peer(enc, key, iv, whole);
        Bytes nextOut(16);
        if (enc) {
          sm4_cbc_encrypt_blocks(rk, chain.data(), nextOut.data(), next.data(), 1);
        } else {
          sm4_cbc_decrypt_blocks(rk, chain.data(), nextOut.data(), next.data(), 1);
        }
        EXPECT_EQ(nextOut, Bytes(expectedBoth.end() - 16, expectedBoth.end()));
      }
    }
  }
}

// Through the library's envelope functions: random keys, IVs and lengths up
// to several kilobytes, split at random across update calls (the chaining
// value carried from call to call), padding as the library's.
TEST_P(Sm4CoreTest, EnvelopeMatchesPeerAcrossSplits) {
  ASSERT_NE(smtest::PeerSm4Cbc(), nullptr);
  smtest::Random random(0x5A44);
  for (int round = 0; round < 120; ++round) {
    const Bytes key = random.Fill(16), iv = random.Fill(16);
    const size_t len = round < 40 ? static_cast<size_t>(round) * 13 : random.Below(6000);
    const Bytes plain = random.Fill(len);
    SCOPED_TRACE(len);
    smtest::ExpectSm4CbcMatchesPeer(random, key, iv, plain, 8);
    if (HasFailure()) return;
  }
}

// Decrypting in place through the cipher step, over lengths around each group
// size, with a tail that must stay as it was.
TEST_P(Sm4CoreTest, StepDecryptsInPlaceAroundGroupSizes) {
  smtest::Random random(0x5A444);
  const size_t g = GetParam().group;
  for (size_t blocks : {g - 1, g, g + 1, 2 * g - 1, 2 * g, 2 * g + 3}) {
    SCOPED_TRACE(blocks);
    const Bytes key = random.Fill(16), iv = random.Fill(16);
    const Bytes plain = random.Fill(16 * blocks + 7);
    smtest::CipherCtx enc(EVP_CIPHER_CTX_new()), dec(EVP_CIPHER_CTX_new());
    ASSERT_EQ(
        EVP_CipherInit_ex(enc.get(), sm4_cbc_cipher_method(), nullptr, key.data(), iv.data(), 1),
        1);
    ASSERT_EQ(
        EVP_CipherInit_ex(dec.get(), sm4_cbc_cipher_method(), nullptr, key.data(), iv.data(), 0),
        1);
    Bytes buffer = plain;
    ASSERT_EQ(
        EVP_Cipher(enc.get(), buffer.data(), buffer.data(), static_cast<unsigned>(buffer.size())),
        1);
    const Bytes whole(plain.begin(), plain.end() - 7);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end() - 7), Peer(1, key, iv, whole));
    ASSERT_EQ(
        EVP_Cipher(dec.get(), buffer.data(), buffer.data(), static_cast<unsigned>(buffer.size())),
        1);
    EXPECT_EQ(buffer, plain);
  }
}

INSTANTIATE_TEST_SUITE_P(Cores, Sm4CoreTest, testing::ValuesIn(kCores),
                         [](const testing::TestParamInfo<CoreCase>& info) {
                           return std::string(info.param.name);
                         });

// Without forcing, the best core this processor can run is the active one.
TEST(Sm4CoreChoiceTest, DefaultIsTheBestAvailable) {
  const sm4_impl before = sm4_active_impl();
  sm4_impl best = SM4_IMPL_PORTABLE;
  if (sm4_impl_available(SM4_IMPL_AESNI)) best = SM4_IMPL_AESNI;
  if (sm4_impl_available(SM4_IMPL_GFNI)) best = SM4_IMPL_GFNI;
  EXPECT_EQ(before, best);
  EXPECT_EQ(sm4_impl_available(SM4_IMPL_PORTABLE), 1);
#if defined(__x86_64__)
  // This project's machines have both vector cores; a processor without
  // them skips this part.
  if (!sm4_impl_available(SM4_IMPL_GFNI) || !sm4_impl_available(SM4_IMPL_AESNI)) {
    GTEST_SKIP() << "this processor lacks GFNI/AVX-512 or AES-NI/AVX2";
  }
  EXPECT_EQ(before, SM4_IMPL_GFNI);
#endif
}

}  // namespace
