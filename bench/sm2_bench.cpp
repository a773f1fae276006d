// SM2 sign, verify, encrypt and decrypt of a 32-byte value: this project's
// routines (with the DER forms callers see) beside the installed library's own
// SM2 through EVP, on the same key.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "smext/sm2.h"
#include "smext/sm2_asn1.h"
#include "smext/sm_objects.h"

namespace {

int Sm2CurveNid() { return sm_obj_nid(SM_OBJ_SM2_CURVE); }

using Bytes = std::vector<unsigned char>;

struct Fixture {
  EVP_PKEY* pkey = nullptr;
  BIGNUM *d = nullptr, *x = nullptr, *y = nullptr, *e = nullptr;
  Bytes digest = Bytes(32);

  Fixture() {
    sm_objects_init();
    pkey = EVP_PKEY_Q_keygen(nullptr, "provider=default", "SM2");
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &d);
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_X, &x);
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
    RAND_bytes(digest.data(), 32);
    e = BN_bin2bn(digest.data(), 32, nullptr);
  }
};

const Fixture& TheFixture() {
  static const Fixture fixture;
  return fixture;
}

// Runs one EVP operation of the library's own SM2 on the fixture key per
// iteration; op gets the context and returns 1 on success.
template <typename Op>
void RunLibrary(benchmark::State& state, int (*init)(EVP_PKEY_CTX*), Op op) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, TheFixture().pkey, "provider=default");
  if (ctx == nullptr || init(ctx) != 1) {
    state.SkipWithError("library set-up failed");
  } else {
    for (auto _ : state) {
      if (op(ctx) != 1) {
        state.SkipWithError("library operation failed");
        break;
      }
    }
    state.SetItemsProcessed(state.iterations());
  }
  EVP_PKEY_CTX_free(ctx);
}

Bytes OurDerSignature() {
  const Fixture& f = TheFixture();
  ECDSA_SIG* sig = sm2_sign(f.e, f.d, Sm2CurveNid());
  unsigned char* der = nullptr;
  const int len = sig != nullptr ? i2d_ECDSA_SIG(sig, &der) : 0;
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

Bytes OurDerCiphertext() {
  const Fixture& f = TheFixture();
  Bytes raw(32 + SM2_CIPHERTEXT_OVERHEAD);
  if (!sm2_encrypt(Sm2CurveNid(), f.digest.data(), 32, f.x, f.y, raw.data())) {
    return {};
  }
  const tovel::UniquePtr<SM2Cipher> cipher(
      sm2_cipher_from_raw(raw.data(), static_cast<int>(raw.size())));
  unsigned char* der = nullptr;
  const int len = cipher != nullptr ? sm2_cipher_encode(cipher.get(), &der) : 0;
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return out;
}

void Fail(benchmark::State& state, const char* what) { state.SkipWithError(what); }

void BM_Sign_Ours(benchmark::State& state) {
  for (auto _ : state) {
    const Bytes sig = OurDerSignature();
    if (sig.empty()) {
      return Fail(state, "sign failed");
    }
    benchmark::DoNotOptimize(sig.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Sign_Library(benchmark::State& state) {
  const Bytes& digest = TheFixture().digest;
  unsigned char sig[80];
  RunLibrary(state, EVP_PKEY_sign_init, [&](EVP_PKEY_CTX* ctx) {
    size_t len = sizeof(sig);
    return EVP_PKEY_sign(ctx, sig, &len, digest.data(), digest.size());
  });
}

void BM_Verify_Ours(benchmark::State& state) {
  const Fixture& f = TheFixture();
  const Bytes der = OurDerSignature();
  for (auto _ : state) {
    const unsigned char* p = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    const int ok = sm2_verify(sig, f.x, f.y, f.e, Sm2CurveNid());
    ECDSA_SIG_free(sig);
    if (ok != 1) {
      return Fail(state, "verify failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Verify_Library(benchmark::State& state) {
  const Bytes der = OurDerSignature();
  const Bytes& digest = TheFixture().digest;
  RunLibrary(state, EVP_PKEY_verify_init, [&](EVP_PKEY_CTX* ctx) {
    return EVP_PKEY_verify(ctx, der.data(), der.size(), digest.data(), digest.size());
  });
}

void BM_Encrypt_Ours(benchmark::State& state) {
  for (auto _ : state) {
    const Bytes der = OurDerCiphertext();
    if (der.empty()) {
      return Fail(state, "encrypt failed");
    }
    benchmark::DoNotOptimize(der.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Encrypt_Library(benchmark::State& state) {
  const Bytes& message = TheFixture().digest;
  unsigned char out[200];
  RunLibrary(state, EVP_PKEY_encrypt_init, [&](EVP_PKEY_CTX* ctx) {
    size_t len = sizeof(out);
    return EVP_PKEY_encrypt(ctx, out, &len, message.data(), message.size());
  });
}

void BM_Decrypt_Ours(benchmark::State& state) {
  const Fixture& f = TheFixture();
  const Bytes der = OurDerCiphertext();
  unsigned char raw[200];
  unsigned char plain[200];
  for (auto _ : state) {
    const unsigned char* p = der.data();
    const tovel::UniquePtr<SM2Cipher> cipher(
        sm2_cipher_decode(nullptr, &p, static_cast<long>(der.size())));
    int rawLen = 0;
    const int ok = cipher != nullptr &&
                   sm2_cipher_to_raw(cipher.get(), raw, sizeof(raw), &rawLen) &&
                   sm2_decrypt(Sm2CurveNid(), raw, rawLen, f.d, plain);
    if (!ok) {
      return Fail(state, "decrypt failed");
    }
    benchmark::DoNotOptimize(plain);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Decrypt_Library(benchmark::State& state) {
  const Bytes der = OurDerCiphertext();
  unsigned char plain[200];
  RunLibrary(state, EVP_PKEY_decrypt_init, [&](EVP_PKEY_CTX* ctx) {
    size_t len = sizeof(plain);
    return EVP_PKEY_decrypt(ctx, plain, &len, der.data(), der.size());
  });
}

BENCHMARK(BM_Sign_Ours);
BENCHMARK(BM_Sign_Library);
BENCHMARK(BM_Verify_Ours);
BENCHMARK(BM_Verify_Library);
BENCHMARK(BM_Encrypt_Ours);
BENCHMARK(BM_Encrypt_Library);
BENCHMARK(BM_Decrypt_Ours);
BENCHMARK(BM_Decrypt_Library);

}  // namespace

BENCHMARK_MAIN();
