// Fakes for the agent tests: an adapter list that counts how often it is read,
// and a network adapter class key with chosen subkeys.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/IpHelper.h"
#include "platform/WinTypes.h"

namespace agenttest {

// One subkey of the fake class key.
struct ClassSubKey {
  std::u16string instanceId;                     // NetCfgInstanceId
  std::optional<std::uint32_t> characteristics;  // none: no Characteristics value
};

// One adapter of the fake list.
struct FakeAdapter {
  std::string name;
  std::vector<std::uint8_t> mac;
  std::string ip;       // empty: none ("0.0.0.0" in the record)
  std::string gateway;  // empty: none
};

// Installs itself as the adapter source and mounts its class key; restores the
// system's on destruction.
class FakeNetwork {
 public:
  FakeNetwork();
  ~FakeNetwork();
  FakeNetwork(const FakeNetwork&) = delete;
  FakeNetwork& operator=(const FakeNetwork&) = delete;

  // An adapter and its class subkey (physical: 0x84, else 0x1).
  void AddAdapter(const FakeAdapter& adapter, bool physical);

  std::vector<FakeAdapter> adapters;
  std::vector<ClassSubKey> classKey;
  int sourceCalls = 0;
  // When not 0 the source fails with this result after setting the last
  // error to lastErrorOnFailure.
  DWORD failWith = 0;
  DWORD lastErrorOnFailure = 0;
  // The source fails only from this call on (1 = the first).
  int failFromCall = 1;
};

std::u16string Widen(const std::string& ascii);

// The MAC list GetNetInfoString gives ("<none>" for none); a call that fails
// fails the test.
std::string MacList();

}  // namespace agenttest

#include <openssl/evp.h>

#include <memory>

struct CertPolicy;

namespace agenttest {

// The shared test PKI's trust list and names, for the agents the tests make.
const CertPolicy& TestCertPolicy();

// Keys beside the shared test PKI's, made before any test runs (the agent's
// algorithm registration must not stand between a test and its key).
EVP_PKEY* Rsa1024Key();
EVP_PKEY* Rsa512Key();
// Base64 DER of leaves for the first accepted name signed with ECDSA and with
// SM2, made before any test runs for the same reason.
const std::string& EcdsaSignedCertBase64();
const std::string& Sm2SignedCertBase64();

// Decrypts one PKCS#1 v1.5 block with the private key; nullopt on failure.
std::optional<std::string> DecryptPkcs1(EVP_PKEY* key, const std::vector<unsigned char>& cipher);
// Decodes a Base64 result and decrypts it; a marker text when either fails.
std::string DecryptBase64(EVP_PKEY* key, const std::string& base64);

}  // namespace agenttest
