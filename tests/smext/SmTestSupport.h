// Shared helpers of the SM extension tests: deterministic random bytes,
// owning library handles and the library's own SM3 and SM4 as peers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

#include "platform/UniquePtr.h"
#include "tests/support/TestHex.h"

namespace smtest {

using testsupport::Bytes;
using testsupport::FromHex;
using testsupport::ToHex;

inline Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Deterministic pseudo-random data; every test seeds its own.
class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  Bytes Fill(size_t len);
  size_t Below(size_t bound) { return bound == 0 ? 0 : engine_() % bound; }
  // Cut points splitting len into random chunks (some empty).
  std::vector<size_t> Cuts(size_t len, size_t chunks);

 private:
  std::mt19937_64 engine_;
};

using MdCtx = tovel::UniquePtr<EVP_MD_CTX>;
using CipherCtx = tovel::UniquePtr<EVP_CIPHER_CTX>;

// The library's own SM3 and SM4-CBC, fetched from its default provider (never
// by the names or numbers our registration takes over).
const EVP_MD* PeerSm3();
const EVP_CIPHER* PeerSm4Cbc();

// Digest of data fed in the chunks given by cuts; empty on failure.
Bytes Digest(const EVP_MD* md, const Bytes& data, const std::vector<size_t>& cuts = {});

// Runs EVP_CipherUpdate over the chunks given by cuts, then EVP_CipherFinal_ex.
// iv may be empty (no IV passed). Empty result and ok=false on failure.
Bytes Envelope(const EVP_CIPHER* cipher, int enc, const Bytes& key, const Bytes& iv,
               const Bytes& in, const std::vector<size_t>& cuts, bool* ok);

// Encrypts plain with the library's own SM4-CBC and with ours (split at random
// into 1 to maxChunks update calls), expects the same ciphertext, and expects
// ours to decrypt it (split again) back to plain. Returns the library's
// ciphertext.
Bytes ExpectSm4CbcMatchesPeer(Random& random, const Bytes& key, const Bytes& iv, const Bytes& plain,
                              size_t maxChunks);

}  // namespace smtest
