// Internals shared by the provider's operation files.
#pragma once

#include <openssl/core.h>
#include <openssl/core_dispatch.h>
#include <openssl/ec.h>
#include <openssl/types.h>

#include "smext/prov/smext_provider.h"

// The provider's context: its core handle and the library context it serves.
struct SmProvCtx {
  const OSSL_CORE_HANDLE* handle;
  OSSL_LIB_CTX* libctx;
};

// A dispatch table row's function, from a function declared with the
// library's typedef (so the compiler checks its signature).
template <typename Fn>
void (*smprov_entry(Fn* fn))(void) {
  return reinterpret_cast<void (*)(void)>(fn);
}

// Reports an operation to the observer, if one is set.
void smprov_observe(smext_provider_op op);

// One dispatch table per operation file.
extern const OSSL_DISPATCH smprov_sm2_keymgmt_functions[];
extern const OSSL_DISPATCH smprov_sm2_signature_functions[];
extern const OSSL_DISPATCH smprov_sm2_asym_cipher_functions[];
extern const OSSL_DISPATCH smprov_sm3_functions[];
extern const OSSL_DISPATCH smprov_sm4_cbc_functions[];
extern const OSSL_DISPATCH smprov_zuc_functions[];

// The provider's entry in the loadable module: smext_provider_init, and the
// module's own caches are freed when its last provider instance is torn down
// (the library may unload the module before its exit clean-up).
int smprov_module_init(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in,
                       const OSSL_DISPATCH** out, void** provctx);
