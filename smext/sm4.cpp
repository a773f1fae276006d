// SM4 core: key schedule, block function and CBC on one block.
#include "smext/sm4.h"

#include <atomic>
#include <cstring>

#include <openssl/crypto.h>

#include "smext/sm4_local.h"
#include "smext/sm_bits.h"

static_assert(sizeof(SM4_KEY) == 144, "SM4_KEY is 36 words");

namespace {

constexpr uint32_t SM4_FK[4] = {0xA3B1BAC6, 0x56AA3350, 0x677D9197, 0xB27022DC};

// CK[i]: byte j (0 the most significant) is (4i + j) * 7 mod 256.
struct FixedParameters {
  uint32_t ck[SM4_ROUNDS];
  constexpr FixedParameters() : ck() {
    for (uint32_t i = 0; i < SM4_ROUNDS; ++i) {
      for (uint32_t j = 0; j < 4; ++j) {
        ck[i] = (ck[i] << 8) | (((4 * i + j) * 7) & 0xFF);
      }
    }
  }
};
constexpr FixedParameters SM4_CK;

// L(B) = B ^ (B <<< 2) ^ (B <<< 10) ^ (B <<< 18) ^ (B <<< 24).
constexpr uint32_t L(uint32_t b) { return XorRotl<2, 10, 18, 24>(b); }

// T(A) = L(tau(A)). L is linear and commutes with byte rotations, so T is the
// exclusive-or of four table entries, one per byte of A: table[k][x] is
// L(S(x) placed at byte k).
struct RoundTables {
  uint32_t t[4][256];
  constexpr RoundTables() : t() {
    for (unsigned x = 0; x < 256; ++x) {
      for (unsigned k = 0; k < 4; ++k) {
        t[k][x] = L(uint32_t{SM4_SBOX[x]} << (24 - 8 * k));
      }
    }
  }
};
constexpr RoundTables kTables;

inline uint32_t Tau(uint32_t a) {
  return uint32_t{SM4_SBOX[a >> 24]} << 24 | uint32_t{SM4_SBOX[(a >> 16) & 0xFF]} << 16 |
         uint32_t{SM4_SBOX[(a >> 8) & 0xFF]} << 8 | SM4_SBOX[a & 0xFF];
}

inline uint32_t T(uint32_t a) {
  return kTables.t[0][a >> 24] ^ kTables.t[1][(a >> 16) & 0xFF] ^ kTables.t[2][(a >> 8) & 0xFF] ^
         kTables.t[3][a & 0xFF];
}

// Keeps a value as computed: stops the compiler from regrouping a chain of
// exclusive-ors around it.
inline uint32_t Opaque(uint32_t x) {
  asm("" : "+r"(x));
  return x;
}

// One round of a single block, x ^= T(a), shaped for the latency of the
// serial chain that CBC encryption is: the four table entries are combined as
// a tree, and the next round's input (other ^ x ^ T(a), where other holds the
// two remaining words and the next round key) is ready three exclusive-ors
// after the loads, not five. Returns that input.
inline __attribute__((always_inline)) uint32_t SerialRound(uint32_t& x, uint32_t a,
                                                           uint32_t other) {
  const uint32_t lo = Opaque(kTables.t[0][a >> 24] ^ kTables.t[1][(a >> 16) & 0xFF]);
  const uint32_t hi = Opaque(kTables.t[2][(a >> 8) & 0xFF] ^ kTables.t[3][a & 0xFF]);
  const uint32_t next = (Opaque(other ^ x) ^ lo) ^ hi;
  x ^= lo ^ hi;
  return next;
}

// The key schedule's T': L'(B) = B ^ (B <<< 13) ^ (B <<< 23).
inline uint32_t KeyT(uint32_t a) { return XorRotl<13, 23>(Tau(a)); }

}  // namespace

int sm4_crypt_blocks4(const uint32_t in[16], const uint32_t rk[SM4_ROUNDS], uint32_t out[16]) {
  // Two blocks at a time: their rounds interleave while the words of both
  // still fit in registers.
  for (unsigned pair = 0; pair < 16; pair += 8) {
    uint32_t a0 = in[pair], a1 = in[pair + 1], a2 = in[pair + 2], a3 = in[pair + 3];
    uint32_t b0 = in[pair + 4], b1 = in[pair + 5], b2 = in[pair + 6], b3 = in[pair + 7];
#pragma GCC unroll 8
    for (unsigned r = 0; r < SM4_ROUNDS; r += 4) {
      a0 ^= T(a1 ^ a2 ^ a3 ^ rk[r]);
      b0 ^= T(b1 ^ b2 ^ b3 ^ rk[r]);
      a1 ^= T(a2 ^ a3 ^ a0 ^ rk[r + 1]);
      b1 ^= T(b2 ^ b3 ^ b0 ^ rk[r + 1]);
      a2 ^= T(a3 ^ a0 ^ a1 ^ rk[r + 2]);
      b2 ^= T(b3 ^ b0 ^ b1 ^ rk[r + 2]);
      a3 ^= T(a0 ^ a1 ^ a2 ^ rk[r + 3]);
      b3 ^= T(b0 ^ b1 ^ b2 ^ rk[r + 3]);
    }
    out[pair] = a3, out[pair + 1] = a2, out[pair + 2] = a1, out[pair + 3] = a0;
    out[pair + 4] = b3, out[pair + 5] = b2, out[pair + 6] = b1, out[pair + 7] = b0;
  }
  return 1;
}

int sm4_set_key(const uint32_t mk[4], uint32_t rk[SM4_ROUNDS]) {
  uint32_t k0 = mk[0] ^ SM4_FK[0], k1 = mk[1] ^ SM4_FK[1];
  uint32_t k2 = mk[2] ^ SM4_FK[2], k3 = mk[3] ^ SM4_FK[3];
  for (unsigned i = 0; i < SM4_ROUNDS; ++i) {
    const uint32_t next = k0 ^ KeyT(k1 ^ k2 ^ k3 ^ SM4_CK.ck[i]);
    rk[i] = next;
    k0 = k1;
    k1 = k2;
    k2 = k3;
    k3 = next;
  }
  return 1;
}

int sm4_reverse_round_keys(uint32_t rk[SM4_ROUNDS]) {
  for (unsigned i = 0; i < SM4_ROUNDS / 2; ++i) {
    const uint32_t t = rk[i];
    rk[i] = rk[SM4_ROUNDS - 1 - i];
    rk[SM4_ROUNDS - 1 - i] = t;
  }
  return 1;
}

int sm4_crypt_block(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4]) {
  uint32_t x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3];
  uint32_t a = x1 ^ x2 ^ x3 ^ rk[0];
#pragma GCC unroll 8
  for (unsigned i = 0; i < SM4_ROUNDS; i += 4) {
    a = SerialRound(x0, a, x2 ^ x3 ^ rk[i + 1]);
    a = SerialRound(x1, a, x3 ^ x0 ^ rk[i + 2]);
    a = SerialRound(x2, a, x0 ^ x1 ^ rk[i + 3]);
    a = SerialRound(x3, a, x1 ^ x2 ^ (i + 4 < SM4_ROUNDS ? rk[i + 4] : 0));
  }
  // X35, X34, X33, X32.
  out[0] = x3;
  out[1] = x2;
  out[2] = x1;
  out[3] = x0;
  return 1;
}

int sm4_cbc_block(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t chain[4],
                  uint32_t out[4], int enc) {
  if (enc) {
    uint32_t mixed[4] = {in[0] ^ chain[0], in[1] ^ chain[1], in[2] ^ chain[2], in[3] ^ chain[3]};
    sm4_crypt_block(mixed, rk, out);
    for (unsigned i = 0; i < 4; ++i) {
      chain[i] = out[i];
    }
    OPENSSL_cleanse(mixed, sizeof(mixed));
    return 1;
  }
  // Take the input first: out may be the same words.
  const uint32_t saved[4] = {in[0], in[1], in[2], in[3]};
  uint32_t plain[4];
  sm4_crypt_block(saved, rk, plain);
  for (unsigned i = 0; i < 4; ++i) {
    out[i] = plain[i] ^ chain[i];
    chain[i] = saved[i];
  }
  OPENSSL_cleanse(plain, sizeof(plain));
  return 1;
}

int sm4_cbc_encrypt_block(const unsigned char in[16], const uint32_t rk[SM4_ROUNDS],
                          unsigned char iv[16], unsigned char out[16], int enc) {
  uint32_t words[4], chain[4];
  for (unsigned i = 0; i < 4; ++i) {
    words[i] = LoadBe32(in + 4 * i);
    chain[i] = LoadBe32(iv + 4 * i);
  }
  sm4_cbc_block(words, rk, chain, words, enc);
  for (unsigned i = 0; i < 4; ++i) {
    StoreBe32(out + 4 * i, words[i]);
    StoreBe32(iv + 4 * i, chain[i]);
  }
  OPENSSL_cleanse(words, sizeof(words));
  return 1;
}

// ---- CBC over many blocks, and the choice of core ----

namespace {

// Portable CBC encryption, the chaining value kept in words between blocks.
void PortableEncrypt(const uint32_t rk[SM4_ROUNDS], unsigned char iv[16], unsigned char* out,
                     const unsigned char* in, size_t nblocks) {
  uint32_t chain[4], mixed[4];
  for (unsigned i = 0; i < 4; ++i) chain[i] = LoadBe32(iv + 4 * i);
  for (; nblocks > 0; --nblocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
    for (unsigned i = 0; i < 4; ++i) mixed[i] = LoadBe32(in + 4 * i) ^ chain[i];
    sm4_crypt_block(mixed, rk, chain);
    for (unsigned i = 0; i < 4; ++i) StoreBe32(out + 4 * i, chain[i]);
  }
  for (unsigned i = 0; i < 4; ++i) StoreBe32(iv + 4 * i, chain[i]);
  OPENSSL_cleanse(mixed, sizeof(mixed));
}

// Portable CBC decryption: groups of four blocks, which do not depend on each
// other, then single blocks.
void PortableDecrypt(const uint32_t rk[SM4_ROUNDS], unsigned char iv[16], unsigned char* out,
                     const unsigned char* in, size_t nblocks) {
  uint32_t chain[4], words[16], plain[16];
  for (unsigned i = 0; i < 4; ++i) chain[i] = LoadBe32(iv + 4 * i);
  for (; nblocks >= 4; nblocks -= 4, in += 4 * SM4_BLOCK_SIZE, out += 4 * SM4_BLOCK_SIZE) {
    for (unsigned i = 0; i < 16; ++i) words[i] = LoadBe32(in + 4 * i);
    sm4_crypt_blocks4(words, rk, plain);
    for (unsigned i = 0; i < 16; ++i) {
      StoreBe32(out + 4 * i, plain[i] ^ (i < 4 ? chain[i] : words[i - 4]));
    }
    for (unsigned i = 0; i < 4; ++i) chain[i] = words[12 + i];
  }
  for (; nblocks > 0; --nblocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
    for (unsigned i = 0; i < 4; ++i) words[i] = LoadBe32(in + 4 * i);
    sm4_crypt_block(words, rk, plain);
    for (unsigned i = 0; i < 4; ++i) {
      StoreBe32(out + 4 * i, plain[i] ^ chain[i]);
      chain[i] = words[i];
    }
  }
  for (unsigned i = 0; i < 4; ++i) StoreBe32(iv + 4 * i, chain[i]);
  OPENSSL_cleanse(plain, sizeof(plain));
}

#if defined(__x86_64__)
using GroupDecrypt = void (*)(const uint32_t*, unsigned char*, unsigned char*, const unsigned char*,
                              size_t);

// Whole groups straight through the core; a last part group is decrypted in a
// zero-filled group on the stack, wiped afterwards, and the chaining value set
// to its last real ciphertext block.
template <size_t kGroup>
void DecryptInGroups(GroupDecrypt core, const uint32_t rk[SM4_ROUNDS], unsigned char iv[16],
                     unsigned char* out, const unsigned char* in, size_t nblocks) {
  const size_t groups = nblocks / kGroup;
  if (groups > 0) core(rk, iv, out, in, groups);
  const size_t done = groups * kGroup * SM4_BLOCK_SIZE;
  const size_t rest = (nblocks % kGroup) * SM4_BLOCK_SIZE;
  if (rest == 0) return;
  unsigned char group[kGroup * SM4_BLOCK_SIZE] = {};
  unsigned char last[SM4_BLOCK_SIZE];
  std::memcpy(group, in + done, rest);
  std::memcpy(last, group + rest - SM4_BLOCK_SIZE, SM4_BLOCK_SIZE);
  core(rk, iv, group, group, 1);
  std::memcpy(out + done, group, rest);
  std::memcpy(iv, last, SM4_BLOCK_SIZE);
  OPENSSL_cleanse(group, sizeof(group));
}
#endif

constexpr int kUnresolved = -1;
std::atomic<int> g_impl{kUnresolved};

enum sm4_impl BestImpl() {
  if (sm4_impl_available(SM4_IMPL_GFNI)) return SM4_IMPL_GFNI;
  if (sm4_impl_available(SM4_IMPL_AESNI)) return SM4_IMPL_AESNI;
  return SM4_IMPL_PORTABLE;
}

}  // namespace

int sm4_impl_available(enum sm4_impl impl) {
  switch (impl) {
    case SM4_IMPL_PORTABLE: return 1;
#if defined(__x86_64__)
    case SM4_IMPL_AESNI:
    case SM4_IMPL_GFNI: return sm4_x86_has(impl);
#endif
    default: return 0;
  }
}

enum sm4_impl sm4_active_impl(void) {
  int impl = g_impl.load(std::memory_order_relaxed);
  if (impl == kUnresolved) {
    int expected = kUnresolved;
    const int best = BestImpl();
    impl =
        g_impl.compare_exchange_strong(expected, best, std::memory_order_relaxed) ? best : expected;
  }
  return static_cast<enum sm4_impl>(impl);
}

int sm4_force_impl(enum sm4_impl impl) {
  if (!sm4_impl_available(impl)) return 0;
  g_impl.store(impl, std::memory_order_relaxed);
  return 1;
}

void sm4_cbc_encrypt_blocks(const uint32_t rk[SM4_ROUNDS], unsigned char iv[16], unsigned char* out,
                            const unsigned char* in, size_t nblocks) {
#if defined(__x86_64__)
  if (sm4_active_impl() == SM4_IMPL_GFNI) {
    sm4_gfni_cbc_encrypt_blocks(rk, iv, out, in, nblocks);
    return;
  }
#endif
  PortableEncrypt(rk, iv, out, in, nblocks);
}

void sm4_cbc_decrypt_blocks(const uint32_t rk[SM4_ROUNDS], unsigned char iv[16], unsigned char* out,
                            const unsigned char* in, size_t nblocks) {
  switch (sm4_active_impl()) {
#if defined(__x86_64__)
    case SM4_IMPL_GFNI: sm4_gfni_cbc_decrypt_blocks(rk, iv, out, in, nblocks); return;
    case SM4_IMPL_AESNI:
      DecryptInGroups<SM4_AESNI_GROUP>(sm4_aesni_cbc_decrypt_groups, rk, iv, out, in, nblocks);
      return;
#endif
    default: PortableDecrypt(rk, iv, out, in, nblocks); return;
  }
}
