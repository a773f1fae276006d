// SM4 core: key schedule, block function and CBC on one block.
#include "smext/sm4.h"

#include "smext/sm3.h"
#include "smext/sm_bytes.h"

static_assert(sizeof(SM4_KEY) == 144, "SM4_KEY is 36 words");

namespace {

constexpr uint8_t SM4_SBOX[256] = {
    0xD6, 0x90, 0xE9, 0xFE, 0xCC, 0xE1, 0x3D, 0xB7, 0x16, 0xB6, 0x14, 0xC2, 0x28, 0xFB, 0x2C, 0x05,
    0x2B, 0x67, 0x9A, 0x76, 0x2A, 0xBE, 0x04, 0xC3, 0xAA, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9C, 0x42, 0x50, 0xF4, 0x91, 0xEF, 0x98, 0x7A, 0x33, 0x54, 0x0B, 0x43, 0xED, 0xCF, 0xAC, 0x62,
    0xE4, 0xB3, 0x1C, 0xA9, 0xC9, 0x08, 0xE8, 0x95, 0x80, 0xDF, 0x94, 0xFA, 0x75, 0x8F, 0x3F, 0xA6,
    0x47, 0x07, 0xA7, 0xFC, 0xF3, 0x73, 0x17, 0xBA, 0x83, 0x59, 0x3C, 0x19, 0xE6, 0x85, 0x4F, 0xA8,
    0x68, 0x6B, 0x81, 0xB2, 0x71, 0x64, 0xDA, 0x8B, 0xF8, 0xEB, 0x0F, 0x4B, 0x70, 0x56, 0x9D, 0x35,
    0x1E, 0x24, 0x0E, 0x5E, 0x63, 0x58, 0xD1, 0xA2, 0x25, 0x22, 0x7C, 0x3B, 0x01, 0x21, 0x78, 0x87,
    0xD4, 0x00, 0x46, 0x57, 0x9F, 0xD3, 0x27, 0x52, 0x4C, 0x36, 0x02, 0xE7, 0xA0, 0xC4, 0xC8, 0x9E,
    0xEA, 0xBF, 0x8A, 0xD2, 0x40, 0xC7, 0x38, 0xB5, 0xA3, 0xF7, 0xF2, 0xCE, 0xF9, 0x61, 0x15, 0xA1,
    0xE0, 0xAE, 0x5D, 0xA4, 0x9B, 0x34, 0x1A, 0x55, 0xAD, 0x93, 0x32, 0x30, 0xF5, 0x8C, 0xB1, 0xE3,
    0x1D, 0xF6, 0xE2, 0x2E, 0x82, 0x66, 0xCA, 0x60, 0xC0, 0x29, 0x23, 0xAB, 0x0D, 0x53, 0x4E, 0x6F,
    0xD5, 0xDB, 0x37, 0x45, 0xDE, 0xFD, 0x8E, 0x2F, 0x03, 0xFF, 0x6A, 0x72, 0x6D, 0x6C, 0x5B, 0x51,
    0x8D, 0x1B, 0xAF, 0x92, 0xBB, 0xDD, 0xBC, 0x7F, 0x11, 0xD9, 0x5C, 0x41, 0x1F, 0x10, 0x5A, 0xD8,
    0x0A, 0xC1, 0x31, 0x88, 0xA5, 0xCD, 0x7B, 0xBD, 0x2D, 0x74, 0xD0, 0x12, 0xB8, 0xE5, 0xB4, 0xB0,
    0x89, 0x69, 0x97, 0x4A, 0x0C, 0x96, 0x77, 0x7E, 0x65, 0xB9, 0xF1, 0x09, 0xC5, 0x6E, 0xC6, 0x84,
    0x18, 0xF0, 0x7D, 0xEC, 0x3A, 0xDC, 0x4D, 0x20, 0x79, 0xEE, 0x5F, 0x3E, 0xD7, 0xCB, 0x39, 0x48,};

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

constexpr uint32_t Rotl(uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

constexpr uint32_t L(uint32_t b) { return b ^ Rotl(b, 2) ^ Rotl(b, 10) ^ Rotl(b, 18) ^ Rotl(b, 24); }

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
    return kTables.t[0][a >> 24] ^ kTables.t[1][(a >> 16) & 0xFF] ^
           kTables.t[2][(a >> 8) & 0xFF] ^ kTables.t[3][a & 0xFF];
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
inline __attribute__((always_inline)) uint32_t SerialRound(uint32_t &x, uint32_t a, uint32_t other) {
    const uint32_t lo = Opaque(kTables.t[0][a >> 24] ^ kTables.t[1][(a >> 16) & 0xFF]);
    const uint32_t hi = Opaque(kTables.t[2][(a >> 8) & 0xFF] ^ kTables.t[3][a & 0xFF]);
    const uint32_t next = (Opaque(other ^ x) ^ lo) ^ hi;
    x ^= lo ^ hi;
    return next;
}

// The key schedule's T': L'(B) = B ^ (B <<< 13) ^ (B <<< 23).
inline uint32_t KeyT(uint32_t a) {
    const uint32_t b = Tau(a);
    return b ^ rotl32(b, 13) ^ rotl32(b, 23);
}

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
        const uint32_t mixed[4] = {in[0] ^ chain[0], in[1] ^ chain[1], in[2] ^ chain[2],
                                   in[3] ^ chain[3]};
        sm4_crypt_block(mixed, rk, out);
        for (unsigned i = 0; i < 4; ++i) {
            chain[i] = out[i];
        }
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
    return 1;
}
