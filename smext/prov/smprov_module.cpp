// The provider as a loadable module: its only exported symbol.
#include <openssl/core.h>

#include "smext/prov/smprov_local.h"

extern "C" __attribute__((visibility("default"))) int OSSL_provider_init(
    const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in, const OSSL_DISPATCH** out,
    void** provctx) {
  return smprov_module_init(handle, in, out, provctx);
}
