// The provider's entry: algorithm tables, query, parameters and teardown, and
// its registration in the default library context.
#include <atomic>
#include <mutex>
#include <new>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include "smext/prov/smprov_local.h"
#include "smext/sm2_local.h"
#include "smext/sm_objects.h"

namespace {

constexpr const char* kProperties = "provider=" SMEXT_PROVIDER_NAME;

// The names of the library's own SM algorithms, so that preferring this
// provider reaches every fetch of them.
constexpr OSSL_ALGORITHM kDigests[] = {
    {"SM3:1.2.156.10197.1.401:ChinaSM3:tls1-sm3", kProperties, smprov_sm3_functions, "SM3 hash"},
    {nullptr, nullptr, nullptr, nullptr},
};
constexpr OSSL_ALGORITHM kCiphers[] = {
    {"SM4-CBC:SM4:1.2.156.10197.1.104.2", kProperties, smprov_sm4_cbc_functions, "SM4 in CBC mode"},
    {"ZUC:1.2.156.10197.1.105", kProperties, smprov_zuc_functions, "ZUC-128 stream cipher"},
    {nullptr, nullptr, nullptr, nullptr},
};
constexpr OSSL_ALGORITHM kKeymgmt[] = {
    {"SM2:1.2.156.10197.1.301", kProperties, smprov_sm2_keymgmt_functions, "SM2 keys"},
    {nullptr, nullptr, nullptr, nullptr},
};
constexpr OSSL_ALGORITHM kSignature[] = {
    {"SM2:1.2.156.10197.1.301", kProperties, smprov_sm2_signature_functions, "SM2 signatures"},
    {nullptr, nullptr, nullptr, nullptr},
};
constexpr OSSL_ALGORITHM kAsymCipher[] = {
    {"SM2:1.2.156.10197.1.301", kProperties, smprov_sm2_asym_cipher_functions, "SM2 encryption"},
    {nullptr, nullptr, nullptr, nullptr},
};

std::atomic<smext_provider_observer> g_observer{nullptr};

OSSL_FUNC_provider_query_operation_fn smprov_query;
OSSL_FUNC_provider_gettable_params_fn smprov_gettable_params;
OSSL_FUNC_provider_get_params_fn smprov_get_params;
OSSL_FUNC_provider_teardown_fn smprov_teardown;

const OSSL_ALGORITHM* smprov_query(void*, int operation, int* noCache) {
  *noCache = 0;
  switch (operation) {
    case OSSL_OP_DIGEST: return kDigests;
    case OSSL_OP_CIPHER: return kCiphers;
    case OSSL_OP_KEYMGMT: return kKeymgmt;
    case OSSL_OP_SIGNATURE: return kSignature;
    case OSSL_OP_ASYM_CIPHER: return kAsymCipher;
    default: return nullptr;
  }
}

const OSSL_PARAM* smprov_gettable_params(void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_NAME, nullptr, 0),
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_VERSION, nullptr, 0),
      OSSL_PARAM_utf8_ptr(OSSL_PROV_PARAM_BUILDINFO, nullptr, 0),
      OSSL_PARAM_int(OSSL_PROV_PARAM_STATUS, nullptr),
      OSSL_PARAM_END,
  };
  return params;
}

int smprov_get_params(void*, OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_NAME);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "SM2, SM3, SM4 and ZUC provider")) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_VERSION);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "1.0.0.2")) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_BUILDINFO);
  if (p != nullptr && !OSSL_PARAM_set_utf8_ptr(p, "1.0.0.2")) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_STATUS);
  return p == nullptr || OSSL_PARAM_set_int(p, 1);
}

// The live provider instances, and whether this code is a loaded module,
// which the library may unload before its exit clean-up: the last instance's
// teardown then frees what the module's code keeps.
std::mutex g_instancesLock;
int g_instances = 0;  // under g_instancesLock
std::atomic<bool> g_inModule{false};

void smprov_teardown(void* provctx) {
  delete static_cast<SmProvCtx*>(provctx);
  std::lock_guard<std::mutex> lock(g_instancesLock);
  if (--g_instances == 0 && g_inModule.load()) {
    sm2_curve_cache_free();
  }
}

const OSSL_DISPATCH kProviderFunctions[] = {
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, smprov_entry(smprov_query)},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, smprov_entry(smprov_gettable_params)},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, smprov_entry(smprov_get_params)},
    {OSSL_FUNC_PROVIDER_TEARDOWN, smprov_entry(smprov_teardown)},
    {0, nullptr},
};

// The two providers loaded at start-up, released by the library's clean-up.
OSSL_PROVIDER* g_loaded[2];

void UnloadAtCleanup() {
  for (OSSL_PROVIDER*& prov : g_loaded) {
    OSSL_PROVIDER_unload(prov);
    prov = nullptr;
  }
}

int LoadOnce() {
  // The SM objects name the test curve and the ciphers' numbers.
  if (!sm_objects_init() ||
      !OSSL_PROVIDER_add_builtin(nullptr, SMEXT_PROVIDER_NAME, smext_provider_init) ||
      !OPENSSL_atexit(UnloadAtCleanup)) {
    return 0;
  }
  // Loading any provider stops the default one from loading by itself. Both
  // stay loaded until the library's clean-up at exit.
  g_loaded[0] = OSSL_PROVIDER_load(nullptr, "default");
  g_loaded[1] = g_loaded[0] != nullptr ? OSSL_PROVIDER_load(nullptr, SMEXT_PROVIDER_NAME) : nullptr;
  return g_loaded[1] != nullptr &&
         EVP_set_default_properties(nullptr, "?provider=" SMEXT_PROVIDER_NAME);
}

}  // namespace

void smprov_observe(smext_provider_op op) {
  if (smext_provider_observer observer = g_observer.load(std::memory_order_acquire)) {
    observer(op);
  }
}

void smext_provider_set_observer(smext_provider_observer observer) {
  g_observer.store(observer, std::memory_order_release);
}

int smext_provider_init(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in,
                        const OSSL_DISPATCH** out, void** provctx) {
  OSSL_FUNC_core_get_libctx_fn* getLibctx = nullptr;
  for (; in != nullptr && in->function_id != 0; ++in) {
    if (in->function_id == OSSL_FUNC_CORE_GET_LIBCTX) {
      getLibctx = OSSL_FUNC_core_get_libctx(in);
    }
  }
  if (getLibctx == nullptr || !sm_objects_init()) {
    return 0;
  }
  // This code shares the core's crypto library (built in, or a module linked
  // against the same library), so the core's context is a library context.
  auto* ctx =
      new (std::nothrow) SmProvCtx{handle, reinterpret_cast<OSSL_LIB_CTX*>(getLibctx(handle))};
  if (ctx == nullptr) {
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(g_instancesLock);
    ++g_instances;
  }
  *provctx = ctx;
  *out = kProviderFunctions;
  return 1;
}

int smprov_module_init(const OSSL_CORE_HANDLE* handle, const OSSL_DISPATCH* in,
                       const OSSL_DISPATCH** out, void** provctx) {
  if (!g_inModule.exchange(true)) {
    sm2_curve_cache_freed_by_caller();
  }
  return smext_provider_init(handle, in, out, provctx);
}

int smext_provider_load(void) {
  static const int result = LoadOnce();  // once, thread-safe
  return result;
}
