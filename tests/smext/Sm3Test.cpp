// SM3: published vectors, block boundaries, splits, the 64-bit length and the
// digest record, checked against the library's own SM3 where one applies.
#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include "smext/cpu_caps.h"
#include "smext/sm3.h"
#include "smext/sm3_impl.h"
#include "smext/sm_bits.h"
#include "tests/smext/SmTestSupport.h"

namespace {

using smtest::Bytes;
using smtest::FromHex;
using smtest::ToHex;

Bytes CoreDigest(const Bytes& data, const std::vector<size_t>& cuts = {}) {
  SM3_CTX ctx;
  EXPECT_EQ(sm3_init(&ctx), 1);
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(data.size());
  for (size_t to : ends) {
    EXPECT_EQ(sm3_update(&ctx, data.data() + from, static_cast<uint32_t>(to - from)), 1);
    from = to;
  }
  Bytes out(SM3_DIGEST_LENGTH);
  EXPECT_EQ(sm3_final(out.data(), &ctx), 1);
  return out;
}

// The chaining value as a digest: eight words, big-endian.
std::string StateHex(const SM3_CTX& ctx) {
  Bytes out;
  for (uint32_t word : ctx.state) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(word >> shift));
  }
  return ToHex(out);
}

std::string Repeat(const std::string& s, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += s;
  return out;
}

struct VectorCase {
  std::string message;
  const char* digest;
};

// GB/T 32905 examples and the empty message.
const VectorCase kVectors[] = {
    {"abc", "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"},
    {Repeat("abcd", 16), "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732"},
    {"", "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b"},
};

const char* const kSm3Names[] = {"sm3", "ChinaSM3", "sm2-sm3", "ChinaSM2withSM3", "tls1-sm3"};

TEST(Sm3Test, PublishedVectorsThroughCoreAndEveryName) {
  for (const auto& v : kVectors) {
    SCOPED_TRACE(v.message);
    const Bytes message = smtest::Text(v.message);
    EXPECT_EQ(ToHex(CoreDigest(message)), v.digest);
    for (const char* name : kSm3Names) {
      SCOPED_TRACE(name);
      const EVP_MD* md = EVP_get_digestbyname(name);
      ASSERT_NE(md, nullptr);
      EXPECT_EQ(ToHex(smtest::Digest(md, message)), v.digest);
    }
  }
}

// Lengths around one and two blocks (55/56, 63/64/65, 119/120, 127/128) and
// everything between, against the library's SM3.
TEST(Sm3Test, EveryLengthUpToThreeBlocksMatchesPeer) {
  ASSERT_NE(smtest::PeerSm3(), nullptr);
  smtest::Random random(3);
  const Bytes data = random.Fill(3 * SM3_CBLOCK + 1);
  for (size_t len = 0; len <= data.size(); ++len) {
    SCOPED_TRACE(len);
    const Bytes prefix(data.begin(), data.begin() + len);
    EXPECT_EQ(CoreDigest(prefix), smtest::Digest(smtest::PeerSm3(), prefix));
  }
}

TEST(Sm3Test, AnySplitGivesTheSameDigest) {
  smtest::Random random(33);
  for (int round = 0; round < 200; ++round) {
    const Bytes data = random.Fill(random.Below(700));
    const auto cuts = random.Cuts(data.size(), 1 + random.Below(8));
    SCOPED_TRACE(data.size());
    const Bytes expected = smtest::Digest(smtest::PeerSm3(), data);
    EXPECT_EQ(CoreDigest(data, cuts), expected);
    EXPECT_EQ(smtest::Digest(sm3_digest_method(), data, cuts), expected);
  }
}

TEST(Sm3Test, SpecialSplits) {
  smtest::Random random(333);
  const Bytes data = random.Fill(300);
  const Bytes expected = CoreDigest(data);
  std::vector<size_t> byteByByte;
  for (size_t i = 1; i < data.size(); ++i) byteByByte.push_back(i);
  const std::vector<size_t> cases[] = {
      byteByByte,     {10, 64},  // a small update, then exactly 64 - fill
      {10, 250},                 // a large update after a small one
      {64, 128, 192},            // whole blocks
      {0, 0, 300},               // empty updates
  };
  for (const auto& cuts : cases) {
    SCOPED_TRACE(cuts.size());
    EXPECT_EQ(CoreDigest(data, cuts), expected);
  }
}

TEST(Sm3Test, FullBlockLeavesEmptyBufferAndFinalAddsOneBlock) {
  SM3_CTX ctx;
  sm3_init(&ctx);
  const Bytes block(SM3_CBLOCK, 0x61);
  sm3_update(&ctx, block.data(), SM3_CBLOCK);
  EXPECT_EQ(ctx.num, 0u);
  EXPECT_EQ(ctx.blocks_lo, 1u);
  EXPECT_EQ(ctx.blocks_hi, 0u);

  // Final on an empty buffer hashes one block: 0x80, zeros, length 512.
  SM3_CTX manual = ctx;
  Bytes padding(SM3_CBLOCK, 0);
  padding[0] = 0x80;
  padding[62] = 0x02;  // 512 = 0x0200
  sm3_update(&manual, padding.data(), SM3_CBLOCK);
  Bytes out(SM3_DIGEST_LENGTH);
  sm3_final(out.data(), &ctx);
  EXPECT_EQ(ToHex(out), StateHex(manual));
  // The buffer is cleared; the state keeps the digest words.
  EXPECT_EQ(Bytes(ctx.buf, ctx.buf + SM3_CBLOCK), Bytes(SM3_CBLOCK, 0));
}

// The bit length comes from the 64-bit block count: a message of 2^23 blocks
// (512 MiB) or more puts a nonzero value into length bytes 56 to 59. The
// count is set directly so that no half gigabyte has to be hashed.
TEST(Sm3Test, BitLengthUsesTheHighCountWord) {
  struct Case {
    uint32_t hi, lo, fill;
    const char* lengthBytes;
  };
  const Case cases[] = {
      {0, 1u << 23, 0, "0000000100000000"},              // 2^23 blocks = 2^32 bits
      {0, 0xFFFFFFFF, 5, "000001fffffffe28"},            // (2^32 - 1) * 512 + 40
      {1, 0, 0, "0000020000000000"},                     // 2^32 blocks
      {0x007FFFFF, 0xFFFFFFFF, 63, "fffffffffffffff8"},  // the largest length
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lengthBytes);
    smtest::Random random(c.lo ^ c.fill);
    const Bytes tail = random.Fill(c.fill);
    SM3_CTX ctx;
    sm3_init(&ctx);
    ctx.blocks_hi = c.hi;
    ctx.blocks_lo = c.lo;
    sm3_update(&ctx, tail.data(), c.fill);
    SM3_CTX manual = ctx;  // padded by hand below, same start state
    Bytes out(SM3_DIGEST_LENGTH);
    sm3_final(out.data(), &ctx);

    Bytes padded = tail;
    padded.push_back(0x80);
    while (padded.size() % SM3_CBLOCK != 56) padded.push_back(0);
    const Bytes length = FromHex(c.lengthBytes);
    padded.insert(padded.end(), length.begin(), length.end());
    manual.num = 0;
    sm3_update(&manual, padded.data(), static_cast<uint32_t>(padded.size()));
    EXPECT_EQ(ToHex(out), StateHex(manual));
  }
}

TEST(Sm3Test, BlockCountCarriesIntoHighWord) {
  SM3_CTX ctx;
  sm3_init(&ctx);
  ctx.blocks_lo = 0xFFFFFFFF;
  const Bytes data(SM3_CBLOCK + 3, 1);
  sm3_update(&ctx, data.data(), static_cast<uint32_t>(data.size()));
  EXPECT_EQ(ctx.blocks_lo, 0u);
  EXPECT_EQ(ctx.blocks_hi, 1u);
  EXPECT_EQ(ctx.num, 3u);
}

TEST(Sm3Test, NullContextIsRefused) {
  unsigned char out[SM3_DIGEST_LENGTH] = {0};
  const unsigned char data[1] = {0};
  EXPECT_EQ(sm3_init(nullptr), 0);
  EXPECT_EQ(sm3_update(nullptr, data, 1), 0);
  EXPECT_EQ(sm3_final(out, nullptr), 0);
  EXPECT_EQ(Bytes(out, out + sizeof(out)), Bytes(sizeof(out), 0));
}

// An empty update may come without data, also onto a partly filled buffer.
TEST(Sm3Test, EmptyUpdateWithoutData) {
  const Bytes abc = smtest::Text("abc");
  SM3_CTX ctx;
  sm3_init(&ctx);
  EXPECT_EQ(sm3_update(&ctx, nullptr, 0), 1);
  sm3_update(&ctx, abc.data(), 3);
  EXPECT_EQ(sm3_update(&ctx, nullptr, 0), 1);
  Bytes out(SM3_DIGEST_LENGTH);
  sm3_final(out.data(), &ctx);
  EXPECT_EQ(out, CoreDigest(abc));
}

TEST(Sm3Test, RotateLeftTakesTheCountModulo32) {
  struct Case {
    uint32_t x;
    unsigned n;
    uint32_t expected;
  };
  const Case cases[] = {
      {0x80000001, 1, 0x00000003}, {0x12345678, 0, 0x12345678},  {0x12345678, 32, 0x12345678},
      {0x12345678, 8, 0x34567812}, {0x12345678, 36, 0x23456781}, {0x00000001, 31, 0x80000000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rotl32(c.x, c.n), c.expected) << c.x << " <<< " << c.n;
  }
}

TEST(Sm3Test, DigestRecordValues) {
  const EVP_MD* md = sm3_digest_method();
  ASSERT_NE(md, nullptr);
  EXPECT_EQ(EVP_MD_get_size(md), 32);
  EXPECT_EQ(EVP_MD_get_block_size(md), 64);
  EXPECT_EQ(EVP_MD_get_type(md), NID_sm3);
  EXPECT_EQ(EVP_MD_get_pkey_type(md), NID_SM2_with_SM3);
}

// The flag for absent digest parameters is clear: an algorithm identifier
// that the library writes for the digest carries the SM3 OID and an ASN.1 NULL.
TEST(Sm3Test, AlgorithmIdentifierCarriesNullParameter) {
  tovel::UniquePtr<X509_ALGOR> alg(X509_ALGOR_new());
  ASSERT_NE(alg, nullptr);
  X509_ALGOR_set_md(alg.get(), sm3_digest_method());
  const ASN1_OBJECT* oid = nullptr;
  int parameterType = -1;
  const void* parameter = nullptr;
  X509_ALGOR_get0(&oid, &parameterType, &parameter, alg.get());
  char text[64] = {0};
  OBJ_obj2txt(text, sizeof(text), oid, 1);
  EXPECT_STREQ(text, "1.2.156.10197.1.401");
  EXPECT_EQ(parameterType, V_ASN1_NULL);
}

// A copied digest context carries on independently (the context data holds
// no pointers).
TEST(Sm3Test, CopiedContextContinuesIndependently) {
  smtest::Random random(7);
  const Bytes head = random.Fill(100), tailA = random.Fill(50), tailB = random.Fill(70);
  smtest::MdCtx a(EVP_MD_CTX_new()), b(EVP_MD_CTX_new());
  ASSERT_EQ(EVP_DigestInit_ex(a.get(), sm3_digest_method(), nullptr), 1);
  ASSERT_EQ(EVP_DigestUpdate(a.get(), head.data(), head.size()), 1);
  ASSERT_EQ(EVP_MD_CTX_copy_ex(b.get(), a.get()), 1);
  ASSERT_EQ(EVP_DigestUpdate(a.get(), tailA.data(), tailA.size()), 1);
  ASSERT_EQ(EVP_DigestUpdate(b.get(), tailB.data(), tailB.size()), 1);
  Bytes outA(32), outB(32);
  ASSERT_EQ(EVP_DigestFinal_ex(a.get(), outA.data(), nullptr), 1);
  ASSERT_EQ(EVP_DigestFinal_ex(b.get(), outB.data(), nullptr), 1);
  Bytes msgA = head, msgB = head;
  msgA.insert(msgA.end(), tailA.begin(), tailA.end());
  msgB.insert(msgB.end(), tailB.begin(), tailB.end());
  EXPECT_EQ(outA, smtest::Digest(smtest::PeerSm3(), msgA));
  EXPECT_EQ(outB, smtest::Digest(smtest::PeerSm3(), msgB));
}

// Every compression path, forced in turn: the published vectors, every length
// up to three blocks, random splits and long unaligned inputs, against the
// library's own SM3.
class Sm3PathTest : public ::testing::TestWithParam<sm3_impl> {
 protected:
  void SetUp() override {
    if (!sm3_force_impl(GetParam())) {
      GTEST_SKIP() << "this processor lacks the features of SM3 path " << GetParam();
    }
  }
  void TearDown() override { sm3_force_impl(SM3_IMPL_AUTO); }
};

TEST_P(Sm3PathTest, PublishedVectors) {
  for (const auto& v : kVectors) {
    SCOPED_TRACE(v.message);
    const Bytes message = smtest::Text(v.message);
    EXPECT_EQ(ToHex(CoreDigest(message)), v.digest);
    EXPECT_EQ(ToHex(smtest::Digest(sm3_digest_method(), message)), v.digest);
  }
  EXPECT_EQ(sm3_active_impl(), GetParam());
}

// 0 to 193 bytes: one to four blocks, with the 55/56 and 63/64 edges of each.
TEST_P(Sm3PathTest, EveryLengthUpToThreeBlocksMatchesPeer) {
  ASSERT_NE(smtest::PeerSm3(), nullptr);
  smtest::Random random(30 + GetParam());
  const Bytes data = random.Fill(3 * SM3_CBLOCK + 1);
  for (size_t len = 0; len <= data.size(); ++len) {
    SCOPED_TRACE(len);
    const Bytes prefix(data.begin(), data.begin() + len);
    const Bytes expected = smtest::Digest(smtest::PeerSm3(), prefix);
    EXPECT_EQ(CoreDigest(prefix), expected);
    EXPECT_EQ(smtest::Digest(sm3_digest_method(), prefix), expected);
  }
}

TEST_P(Sm3PathTest, RandomSplitsMatchPeer) {
  smtest::Random random(300 + GetParam());
  for (int round = 0; round < 200; ++round) {
    const Bytes data = random.Fill(random.Below(1200));
    const auto cuts = random.Cuts(data.size(), 1 + random.Below(8));
    SCOPED_TRACE(data.size());
    const Bytes expected = smtest::Digest(smtest::PeerSm3(), data);
    EXPECT_EQ(CoreDigest(data, cuts), expected);
    EXPECT_EQ(smtest::Digest(sm3_digest_method(), data, cuts), expected);
  }
}

// Many blocks in one update, read from addresses of every alignment.
TEST_P(Sm3PathTest, LongUnalignedInputsMatchPeer) {
  smtest::Random random(3000 + GetParam());
  const Bytes pool = random.Fill(64 * 300 + 64);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t len : {size_t{64 * 2}, size_t{64 * 37 + 13}, size_t{64 * 300}}) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << ", length " << len);
      const Bytes slice(pool.begin() + offset, pool.begin() + offset + len);
      SM3_CTX ctx;
      sm3_init(&ctx);
      sm3_update(&ctx, pool.data() + offset, static_cast<uint32_t>(len));
      Bytes out(SM3_DIGEST_LENGTH);
      sm3_final(out.data(), &ctx);
      EXPECT_EQ(out, smtest::Digest(smtest::PeerSm3(), slice));
      EXPECT_EQ(ctx.blocks_lo, len / SM3_CBLOCK);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sm3PathTest,
                         ::testing::Values(SM3_IMPL_PORTABLE, SM3_IMPL_AVX2_BMI2,
                                           SM3_IMPL_AVX512_BMI2),
                         [](const ::testing::TestParamInfo<sm3_impl>& info) {
                           switch (info.param) {
                             case SM3_IMPL_PORTABLE: return std::string("Portable");
                             case SM3_IMPL_AVX2_BMI2: return std::string("Avx2Bmi2");
                             default: return std::string("Avx512Bmi2");
                           }
                         });

// Left to itself, the core takes the AVX-512 path where the processor has it,
// else the AVX2 one, else the portable one; a path the processor lacks is
// refused and leaves the one in use.
TEST(Sm3Test, AutomaticChoiceFollowsTheProcessor) {
  ASSERT_EQ(sm3_force_impl(SM3_IMPL_AUTO), 1);
  const SM_CPU_CAPS* caps = sm_cpu_caps();
  const bool avx2 = caps->avx2 && caps->bmi1 && caps->bmi2;
  const bool avx512 = avx2 && caps->avx512vl;
  const sm3_impl expected = avx512 ? SM3_IMPL_AVX512_BMI2
                            : avx2 ? SM3_IMPL_AVX2_BMI2
                                   : SM3_IMPL_PORTABLE;
  EXPECT_EQ(sm3_active_impl(), expected);
  EXPECT_EQ(sm3_force_impl(SM3_IMPL_AVX2_BMI2), avx2 ? 1 : 0);
  EXPECT_EQ(sm3_force_impl(SM3_IMPL_AVX512_BMI2), avx512 ? 1 : 0);
  ASSERT_EQ(sm3_force_impl(SM3_IMPL_PORTABLE), 1);
  EXPECT_EQ(sm3_force_impl(static_cast<sm3_impl>(99)), 0);
  EXPECT_EQ(sm3_active_impl(), SM3_IMPL_PORTABLE);
  sm3_force_impl(SM3_IMPL_AUTO);
}

// One library update of 4 GiB or more is hashed whole. Hashing 4 GiB takes
// tens of seconds, so this runs only on request
// (--gtest_also_run_disabled_tests).
TEST(Sm3Test, DISABLED_UpdateOfFourGibIsHashedWhole) {
  const size_t len = (size_t{1} << 32) + 100;
  void* map = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  const auto* zeros = static_cast<const unsigned char*>(map);
  auto digest = [&](const EVP_MD* md) {
    smtest::MdCtx ctx(EVP_MD_CTX_new());
    Bytes out(32);
    EXPECT_EQ(EVP_DigestInit_ex(ctx.get(), md, nullptr), 1);
    EXPECT_EQ(EVP_DigestUpdate(ctx.get(), zeros, len), 1);
    EXPECT_EQ(EVP_DigestFinal_ex(ctx.get(), out.data(), nullptr), 1);
    return out;
  };
  EXPECT_EQ(digest(sm3_digest_method()), digest(smtest::PeerSm3()));
  munmap(map, len);
}

}  // namespace
