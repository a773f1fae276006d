// Start-up registration: the library's algorithms, then the SM objects and records.
#include "smext/smext.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>

#include "smext/prov/smext_provider.h"
#include "smext/sm3.h"
#include "smext/sm4.h"
#include "smext/sm_objects.h"
#include "smext/zuc.h"

namespace {

// Our names for the library's own objects do not reach the name registry by
// themselves: EVP_add_digest takes the library's names of the NIDs.
constexpr const char* kSm3Aliases[] = {"ChinaSM3", "ChinaSM2withSM3", "tls1-sm3"};

}  // namespace

// Results of the library's calls are not looked at: a record that could not
// be built is simply not registered, and lookups of its names find nothing new.
void register_all_ciphers(void) {
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS, nullptr);
  if (const EVP_CIPHER* sm4 = sm4_cbc_cipher_method()) {
    EVP_add_cipher(sm4);
  }
  if (const EVP_CIPHER* zuc = zuc_cipher_method()) {
    EVP_add_cipher(zuc);
  }
}

void register_all_digests(void) {
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  const EVP_MD* sm3 = sm3_digest_method();
  if (sm3 == nullptr) {
    return;
  }
  // Registers "SM3"/"sm3" and, as aliases, the names of the signature type.
  EVP_add_digest(sm3);
  const char* name = OBJ_nid2sn(EVP_MD_get_type(sm3));
  for (const char* alias : kSm3Aliases) {
    OBJ_NAME_add(alias, OBJ_NAME_TYPE_MD_METH | OBJ_NAME_ALIAS, name);
  }
}

void smext_add_all_algorithms(void) {
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  sm_objects_init();
  register_all_ciphers();
  register_all_digests();
  // The extension's provider beside "default", preferred, so that the
  // library's own fetches (certificate checks, EVP_PKEY_*, EVP_sm3()) and the
  // applications' run the extension's code.
  smext_provider_load();
}
