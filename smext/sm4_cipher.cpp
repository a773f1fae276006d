// The "sm4-cbc" cipher record: the SM4 core behind the library's EVP_CIPHER interface.
#include "smext/sm4.h"

#include "smext/sm_bytes.h"
#include "smext/sm_objects.h"

namespace {

SM4_KEY *Sm4Data(EVP_CIPHER_CTX *ctx) {
    return static_cast<SM4_KEY *>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

// The library has stored the IV and the direction in the context already.
int sm4_cbc_cipher_init(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *,
                        int) {
    SM4_KEY *sm4 = Sm4Data(ctx);
    for (unsigned i = 0; i < 4; ++i) {
        sm4->mk[i] = LoadBe32(key + 4 * i);
    }
    sm4_set_key(sm4->mk, sm4->rk);
    if (!EVP_CIPHER_CTX_is_encrypting(ctx)) {
        sm4_reverse_round_keys(sm4->rk);
    }
    return 1;
}

constexpr size_t kGroup = 4 * SM4_BLOCK_SIZE;

// CBC decryption of whole groups of four blocks, which do not depend on each
// other; returns the bytes done. The input is read before output is written,
// so both may be the same buffer.
size_t DecryptGroups(const SM4_KEY *sm4, unsigned char *iv, unsigned char *out,
                     const unsigned char *in, size_t len) {
    uint32_t chain[4];
    for (unsigned i = 0; i < 4; ++i) chain[i] = LoadBe32(iv + 4 * i);
    size_t done = 0;
    for (; len - done >= kGroup; done += kGroup) {
        uint32_t words[16], plain[16];
        for (unsigned i = 0; i < 16; ++i) words[i] = LoadBe32(in + done + 4 * i);
        sm4_crypt_blocks4(words, sm4->rk, plain);
        for (unsigned i = 0; i < 16; ++i) {
            StoreBe32(out + done + 4 * i, plain[i] ^ (i < 4 ? chain[i] : words[i - 4]));
        }
        for (unsigned i = 0; i < 4; ++i) chain[i] = words[12 + i];
    }
    for (unsigned i = 0; i < 4; ++i) StoreBe32(iv + 4 * i, chain[i]);
    return done;
}

// CBC encryption of whole blocks, the chaining value kept in words between
// blocks; returns the bytes done. Each block is read before it is written, so
// input and output may be the same buffer.
size_t EncryptBlocks(const SM4_KEY *sm4, unsigned char *iv, unsigned char *out,
                     const unsigned char *in, size_t len) {
    uint32_t chain[4];
    for (unsigned i = 0; i < 4; ++i) chain[i] = LoadBe32(iv + 4 * i);
    size_t done = 0;
    for (; len - done >= SM4_BLOCK_SIZE; done += SM4_BLOCK_SIZE) {
        uint32_t mixed[4];
        for (unsigned i = 0; i < 4; ++i) mixed[i] = LoadBe32(in + done + 4 * i) ^ chain[i];
        sm4_crypt_block(mixed, sm4->rk, chain);
        for (unsigned i = 0; i < 4; ++i) StoreBe32(out + done + 4 * i, chain[i]);
    }
    for (unsigned i = 0; i < 4; ++i) StoreBe32(iv + 4 * i, chain[i]);
    return done;
}

// Whole blocks only; a tail under 16 bytes is neither read nor written.
int sm4_cbc_cipher_do(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in,
                      size_t len) {
    const SM4_KEY *sm4 = Sm4Data(ctx);
    unsigned char *iv = EVP_CIPHER_CTX_iv_noconst(ctx);
    const int enc = EVP_CIPHER_CTX_is_encrypting(ctx);
    if (enc) {
        EncryptBlocks(sm4, iv, out, in, len);
        return 1;
    }
    if (len >= kGroup) {
        const size_t done = DecryptGroups(sm4, iv, out, in, len);
        in += done;
        out += done;
        len -= done;
    }
    for (; len >= SM4_BLOCK_SIZE; in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE, len -= SM4_BLOCK_SIZE) {
        sm4_cbc_encrypt_block(in, sm4->rk, iv, out, 0);
    }
    return 1;
}

EVP_CIPHER *NewSm4CbcRecord() {
    const int nid = sm_obj_nid(SM_OBJ_SM4_CBC);
    if (nid == NID_undef) {
        return nullptr;
    }
    EVP_CIPHER *cipher = EVP_CIPHER_meth_new(nid, SM4_BLOCK_SIZE, SM4_KEY_LENGTH);
    if (cipher == nullptr) {
        return nullptr;
    }
    // No ASN.1 parameter functions: the custom flag makes the library answer
    // -1 for them instead of its default IV handling.
    if (!EVP_CIPHER_meth_set_iv_length(cipher, SM4_BLOCK_SIZE) ||
        !EVP_CIPHER_meth_set_flags(cipher, EVP_CIPH_CBC_MODE | EVP_CIPH_FLAG_CUSTOM_ASN1) ||
        !EVP_CIPHER_meth_set_init(cipher, sm4_cbc_cipher_init) ||
        !EVP_CIPHER_meth_set_do_cipher(cipher, sm4_cbc_cipher_do) ||
        !EVP_CIPHER_meth_set_impl_ctx_size(cipher, sizeof(SM4_KEY))) {
        EVP_CIPHER_meth_free(cipher);
        return nullptr;
    }
    return cipher;
}

}  // namespace

const EVP_CIPHER *sm4_cbc_cipher_method(void) {
    static const EVP_CIPHER *const record = NewSm4CbcRecord();  // built once, kept for the process
    return record;
}
