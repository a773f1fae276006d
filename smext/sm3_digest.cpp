// The "sm3" digest record: the SM3 core behind the library's EVP_MD interface.
#include "smext/sm3.h"

#include "smext/sm_objects.h"

namespace {

// The library allocates this much context data per digest context; the
// SM3_CTX takes the first 108 bytes.
constexpr int kDigestContextSize = 116;
static_assert(sizeof(SM3_CTX) <= kDigestContextSize, "SM3_CTX fits the context data");

SM3_CTX* Sm3Data(EVP_MD_CTX* ctx) { return static_cast<SM3_CTX*>(EVP_MD_CTX_md_data(ctx)); }

int sm3_digest_init(EVP_MD_CTX* ctx) { return sm3_init(Sm3Data(ctx)); }

// The library passes a size_t count, which the core takes in chunks.
int sm3_digest_update(EVP_MD_CTX* ctx, const void* data, size_t count) {
  return sm3_update(Sm3Data(ctx), static_cast<const unsigned char*>(data), count);
}

int sm3_digest_final(EVP_MD_CTX* ctx, unsigned char* md) { return sm3_final(md, Sm3Data(ctx)); }

EVP_MD* NewSm3Record() {
  const int type = sm_obj_nid(SM_OBJ_SM3);
  const int signatureType = sm_obj_nid(SM_OBJ_SM2_SM3);
  if (type == NID_undef || signatureType == NID_undef) {
    return nullptr;
  }
  EVP_MD* md = EVP_MD_meth_new(type, signatureType);
  if (md == nullptr) {
    return nullptr;
  }
  if (!EVP_MD_meth_set_result_size(md, SM3_DIGEST_LENGTH) ||
      !EVP_MD_meth_set_input_blocksize(md, SM3_CBLOCK) ||
      !EVP_MD_meth_set_app_datasize(md, kDigestContextSize) || !EVP_MD_meth_set_flags(md, 0) ||
      !EVP_MD_meth_set_init(md, sm3_digest_init) ||
      !EVP_MD_meth_set_update(md, sm3_digest_update) ||
      !EVP_MD_meth_set_final(md, sm3_digest_final)) {
    EVP_MD_meth_free(md);
    return nullptr;
  }
  return md;
}

}  // namespace

const EVP_MD* sm3_digest_method(void) {
  static const EVP_MD* const record = NewSm3Record();  // built once, kept for the process
  return record;
}
