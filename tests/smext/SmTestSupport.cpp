#include "tests/smext/SmTestSupport.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "smext/sm4.h"
#include "smext/smext.h"

namespace smtest {

Bytes Random::Fill(size_t len) {
  Bytes out(len);
  for (auto& b : out) b = static_cast<uint8_t>(engine_());
  return out;
}

std::vector<size_t> Random::Cuts(size_t len, size_t chunks) {
  std::vector<size_t> cuts;
  for (size_t i = 1; i < chunks; ++i) cuts.push_back(Below(len + 1));
  std::sort(cuts.begin(), cuts.end());
  return cuts;
}

const EVP_MD* PeerSm3() {
  static const tovel::UniquePtr<EVP_MD> md(EVP_MD_fetch(nullptr, "SM3", "provider=default"));
  return md.get();
}

const EVP_CIPHER* PeerSm4Cbc() {
  static const tovel::UniquePtr<EVP_CIPHER> cipher(
      EVP_CIPHER_fetch(nullptr, "SM4-CBC", "provider=default"));
  return cipher.get();
}

Bytes Digest(const EVP_MD* md, const Bytes& data, const std::vector<size_t>& cuts) {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || !EVP_DigestInit_ex(ctx.get(), md, nullptr)) return {};
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(data.size());
  for (size_t to : ends) {
    if (!EVP_DigestUpdate(ctx.get(), data.data() + from, to - from)) return {};
    from = to;
  }
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (!EVP_DigestFinal_ex(ctx.get(), out.data(), &len)) return {};
  out.resize(len);
  return out;
}

Bytes Envelope(const EVP_CIPHER* cipher, int enc, const Bytes& key, const Bytes& iv,
               const Bytes& in, const std::vector<size_t>& cuts, bool* ok) {
  *ok = false;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || !EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(),
                                 iv.empty() ? nullptr : iv.data(), enc)) {
    return {};
  }
  Bytes out(in.size() + 2 * EVP_MAX_BLOCK_LENGTH);
  int total = 0;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(in.size());
  for (size_t to : ends) {
    int written = 0;
    if (!EVP_CipherUpdate(ctx.get(), out.data() + total, &written, in.data() + from,
                          static_cast<int>(to - from))) {
      return {};
    }
    total += written;
    from = to;
  }
  int written = 0;
  if (!EVP_CipherFinal_ex(ctx.get(), out.data() + total, &written)) return {};
  out.resize(total + written);
  *ok = true;
  return out;
}

Bytes ExpectSm4CbcMatchesPeer(Random& random, const Bytes& key, const Bytes& iv, const Bytes& plain,
                              size_t maxChunks) {
  bool ok = false;
  const Bytes peer = Envelope(PeerSm4Cbc(), 1, key, iv, plain, {}, &ok);
  EXPECT_TRUE(ok);
  const Bytes ours = Envelope(sm4_cbc_cipher_method(), 1, key, iv, plain,
                              random.Cuts(plain.size(), 1 + random.Below(maxChunks)), &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ours, peer);
  const Bytes back = Envelope(sm4_cbc_cipher_method(), 0, key, iv, peer,
                              random.Cuts(peer.size(), 1 + random.Below(maxChunks)), &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(back, plain);
  return peer;
}

}  // namespace smtest
