// The extension's provider "smext": SM2 key management, signature and
// asymmetric cipher, the SM3 digest and the SM4-CBC and ZUC ciphers, for the
// library's own fetches and for every application's.
#pragma once

#include <openssl/core.h>

#ifdef __cplusplus
extern "C" {
#endif

// The name the provider is registered and loaded under, and the one its
// algorithms declare ("provider=smext"): a module must be loaded under it too.
#define SMEXT_PROVIDER_NAME "smext"

// The provider's entry, an OSSL_provider_init_fn: registered in-process with
// OSSL_PROVIDER_add_builtin, or exported as OSSL_provider_init by the module.
int smext_provider_init(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in,
                        const OSSL_DISPATCH** out, void** provctx);

// Registers the provider in the default library context, loads it beside
// "default" and makes it preferred ("?provider=smext"). Runs once; later
// calls return the first result: 1 on success, 0 on failure.
int smext_provider_load(void);

// The operations the provider runs, as seen by an observer.
typedef enum {
  SMEXT_OP_KEYGEN = 0,
  SMEXT_OP_SIGN,           // a signature over a digest
  SMEXT_OP_VERIFY,         // a check over a digest
  SMEXT_OP_DIGEST_SIGN,    // a signature over data (final step)
  SMEXT_OP_DIGEST_VERIFY,  // a check over data (final step)
  SMEXT_OP_ENCRYPT,
  SMEXT_OP_DECRYPT,
  SMEXT_OP_DIGEST,       // an SM3 digest completed
  SMEXT_OP_CIPHER_INIT,  // an SM4-CBC or ZUC context keyed
  SMEXT_OP_COUNT
} smext_provider_op;

// Called once per operation as it runs, from the thread that runs it. One
// observer at a time; null removes it. Meant for diagnostics and tests.
typedef void (*smext_provider_observer)(smext_provider_op op);
void smext_provider_set_observer(smext_provider_observer observer);

#ifdef __cplusplus
}
#endif
