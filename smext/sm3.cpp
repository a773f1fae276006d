// SM3 core: compression, update and final on an SM3_CTX.
#include "smext/sm3.h"

#include <cstring>

#include <openssl/crypto.h>

#include "smext/sm_bytes.h"

static_assert(sizeof(SM3_CTX) == 108, "SM3_CTX is 108 bytes");

namespace {

constexpr uint32_t kIv[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                             0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

constexpr uint32_t Rotl(uint32_t x, unsigned n) {
    n &= 31;
    return (x << n) | (x >> ((32 - n) & 31));
}

// T_j rotated left by j mod 32, one entry per round.
struct RoundConstants {
    uint32_t t[64];
    constexpr RoundConstants() : t() {
        for (unsigned j = 0; j < 64; ++j) {
            t[j] = Rotl(j < 16 ? 0x79CC4519u : 0x7A879D8Au, j);
        }
    }
};
constexpr RoundConstants kRound;

inline uint32_t P0(uint32_t x) { return x ^ Rotl(x, 9) ^ Rotl(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ Rotl(x, 15) ^ Rotl(x, 23); }

// Forced inline: the rounds pass the eight words by reference, and these
// must stay in registers.
#define SM3_ROUND_INLINE inline __attribute__((always_inline))

// One round in place: the caller rotates the roles of the eight words, so
// only B, D, F and H change here (D takes TT1, H takes P0(TT2)).
template <bool kEarly>
SM3_ROUND_INLINE void Round(uint32_t a, uint32_t &b, uint32_t c, uint32_t &d, uint32_t e,
                            uint32_t &f, uint32_t g, uint32_t &h, uint32_t w, uint32_t w4,
                            uint32_t t) {
    const uint32_t a12 = Rotl(a, 12);
    const uint32_t ss1 = Rotl(a12 + e + t, 7);
    const uint32_t ss2 = ss1 ^ a12;
    // Majority and choice in their shorter equivalent forms.
    const uint32_t ff = kEarly ? (a ^ b ^ c) : ((a & b) | ((a | b) & c));
    const uint32_t gg = kEarly ? (e ^ f ^ g) : (((f ^ g) & e) ^ g);
    const uint32_t tt1 = ff + d + ss2 + (w ^ w4);
    const uint32_t tt2 = gg + h + ss1 + w;
    b = Rotl(b, 9);
    d = tt1;
    f = Rotl(f, 19);
    h = P0(tt2);
}

// Message expansion of word w[j], for 16 <= j < 68; no-op for other j.
SM3_ROUND_INLINE void Expand(uint32_t *w, unsigned j) {
    if (j >= 16 && j < 68) {
        w[j] = P1(w[j - 16] ^ w[j - 9] ^ Rotl(w[j - 3], 15)) ^ Rotl(w[j - 13], 7) ^ w[j - 6];
    }
}

// Rounds j .. j + 7, which read w[j] .. w[j + 11]. Alongside them each group
// expands the words of the next group (w[j + 12] .. w[j + 19]), one per round,
// so the expansion never stalls the rounds.
template <bool kEarly>
SM3_ROUND_INLINE void EightRounds(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, uint32_t &e,
                                  uint32_t &f, uint32_t &g, uint32_t &h, uint32_t *w, unsigned j) {
    Expand(w, j + 12);
    Round<kEarly>(a, b, c, d, e, f, g, h, w[j + 0], w[j + 4], kRound.t[j + 0]);
    Expand(w, j + 13);
    Round<kEarly>(d, a, b, c, h, e, f, g, w[j + 1], w[j + 5], kRound.t[j + 1]);
    Expand(w, j + 14);
    Round<kEarly>(c, d, a, b, g, h, e, f, w[j + 2], w[j + 6], kRound.t[j + 2]);
    Expand(w, j + 15);
    Round<kEarly>(b, c, d, a, f, g, h, e, w[j + 3], w[j + 7], kRound.t[j + 3]);
    Expand(w, j + 16);
    Round<kEarly>(a, b, c, d, e, f, g, h, w[j + 4], w[j + 8], kRound.t[j + 4]);
    Expand(w, j + 17);
    Round<kEarly>(d, a, b, c, h, e, f, g, w[j + 5], w[j + 9], kRound.t[j + 5]);
    Expand(w, j + 18);
    Round<kEarly>(c, d, a, b, g, h, e, f, w[j + 6], w[j + 10], kRound.t[j + 6]);
    Expand(w, j + 19);
    Round<kEarly>(b, c, d, a, f, g, h, e, w[j + 7], w[j + 11], kRound.t[j + 7]);
}

// Where the processor has it, the rotation into another register (BMI2)
// saves the copy before most rotations, about a fifth of a block's time; the
// loader picks the build once, from what the processor reports.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SM3_COMPRESS_CLONES __attribute__((target_clones("bmi2", "default")))
#else
#define SM3_COMPRESS_CLONES
#endif

// The compression function CF on one 64-byte block: 68 expanded words W and
// the 64 words W' = W[j] ^ W[j + 4], taken as the rounds use them.
SM3_COMPRESS_CLONES void sm3_compress(SM3_CTX *ctx, const unsigned char *block) {
    uint32_t w[68];
    for (unsigned j = 0; j < 16; ++j) {
        w[j] = LoadBe32(block + 4 * j);
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    // Eight rounds bring every word back to its own role.
    EightRounds<true>(a, b, c, d, e, f, g, h, w, 0);
    EightRounds<true>(a, b, c, d, e, f, g, h, w, 8);
    EightRounds<false>(a, b, c, d, e, f, g, h, w, 16);
    EightRounds<false>(a, b, c, d, e, f, g, h, w, 24);
    EightRounds<false>(a, b, c, d, e, f, g, h, w, 32);
    EightRounds<false>(a, b, c, d, e, f, g, h, w, 40);
    EightRounds<false>(a, b, c, d, e, f, g, h, w, 48);
    EightRounds<false>(a, b, c, d, e, f, g, h, w, 56);
    ctx->state[0] ^= a;
    ctx->state[1] ^= b;
    ctx->state[2] ^= c;
    ctx->state[3] ^= d;
    ctx->state[4] ^= e;
    ctx->state[5] ^= f;
    ctx->state[6] ^= g;
    ctx->state[7] ^= h;
}

void CountBlock(SM3_CTX *ctx) {
    if (++ctx->blocks_lo == 0) {
        ++ctx->blocks_hi;
    }
}

}  // namespace

uint32_t rotl32(uint32_t x, unsigned n) { return Rotl(x, n); }

int sm3_init(SM3_CTX *ctx) {
    if (ctx == nullptr) {
        return 0;
    }
    std::memcpy(ctx->state, kIv, sizeof(kIv));
    ctx->blocks_lo = 0;
    ctx->blocks_hi = 0;
    ctx->num = 0;
    return 1;
}

int sm3_update(SM3_CTX *ctx, const unsigned char *data, uint32_t len) {
    if (ctx == nullptr) {
        return 0;
    }
    if (len == 0) {
        return 1;  // data may be null then
    }
    if (ctx->num > 0) {
        const uint32_t room = SM3_CBLOCK - ctx->num;
        if (len < room) {
            std::memcpy(ctx->buf + ctx->num, data, len);
            ctx->num += len;
            return 1;
        }
        std::memcpy(ctx->buf + ctx->num, data, room);
        sm3_compress(ctx, ctx->buf);
        CountBlock(ctx);
        data += room;
        len -= room;
    }
    // Whole blocks straight from the caller's data.
    for (; len >= SM3_CBLOCK; data += SM3_CBLOCK, len -= SM3_CBLOCK) {
        sm3_compress(ctx, data);
        CountBlock(ctx);
    }
    if (len > 0) {
        std::memcpy(ctx->buf, data, len);
    }
    ctx->num = len;
    return 1;
}

int sm3_final(unsigned char out[SM3_DIGEST_LENGTH], SM3_CTX *ctx) {
    if (ctx == nullptr) {
        return 0;
    }
    ctx->buf[ctx->num] = 0x80;
    if (ctx->num + 9 > SM3_CBLOCK) {
        std::memset(ctx->buf + ctx->num + 1, 0, SM3_CBLOCK - ctx->num - 1);
        sm3_compress(ctx, ctx->buf);
        std::memset(ctx->buf, 0, 56);
    } else {
        std::memset(ctx->buf + ctx->num + 1, 0, 56 - ctx->num - 1);
    }
    // Bit length from the 64-bit block count: blocks * 512 + fill * 8.
    const uint64_t blocks = (uint64_t{ctx->blocks_hi} << 32) | ctx->blocks_lo;
    const uint64_t bits = (blocks << 9) + (uint64_t{ctx->num} << 3);
    StoreBe32(ctx->buf + 56, static_cast<uint32_t>(bits >> 32));
    StoreBe32(ctx->buf + 60, static_cast<uint32_t>(bits));
    sm3_compress(ctx, ctx->buf);
    for (unsigned i = 0; i < 8; ++i) {
        StoreBe32(out + 4 * i, ctx->state[i]);
    }
    OPENSSL_cleanse(ctx->buf, sizeof(ctx->buf));
    return 1;
}
