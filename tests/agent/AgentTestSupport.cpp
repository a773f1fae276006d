#include "tests/agent/AgentTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstdio>

#include "Host/Misc.h"
#include "agent/DeviceInfo.h"
#include "platform/NetClassKey.h"
#include "platform/Registry.h"
#include "platform/Threads.h"
#include "platform/UniquePtr.h"

namespace agenttest {

std::u16string Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

FakeNetwork::FakeNetwork() {
  SetNetAdapterSourceForTesting([this](std::vector<NetAdapter>& list) -> DWORD {
    ++sourceCalls;
    if (failWith != 0 && sourceCalls >= failFromCall) {
      SetLastError(lastErrorOnFailure);
      return failWith;
    }
    for (const FakeAdapter& adapter : adapters)
      list.push_back(NetAdapter{adapter.name, adapter.mac, adapter.ip, adapter.gateway});
    return ERROR_SUCCESS;
  });
  RegMountVirtualKey(kNetClassKeyPath,
                     [this](const std::u16string& path) -> std::optional<RegVirtualKey> {
                       RegVirtualKey key;
                       for (std::size_t i = 0; i < classKey.size(); ++i) {
                         char name[24];
                         std::snprintf(name, sizeof name, "%04zu", i);
                         if (path.empty()) {
                           key.subKeys.push_back(Widen(name));
                         } else if (path == Widen(name)) {
                           key.textValues[u"NetCfgInstanceId"] = classKey[i].instanceId;
                           if (classKey[i].characteristics)
                             key.dwordValues[u"Characteristics"] = *classKey[i].characteristics;
                           return key;
                         }
                       }
                       if (path.empty()) return key;
                       return std::nullopt;
                     });
}

FakeNetwork::~FakeNetwork() {
  SetNetAdapterSourceForTesting(nullptr);
  RegMountVirtualKey(kNetClassKeyPath, MakeNetClassKeyProvider("/sys/class/net"));
}

void FakeNetwork::AddAdapter(const FakeAdapter& adapter, bool physical) {
  adapters.push_back(adapter);
  classKey.push_back(ClassSubKey{Widen(adapter.name), physical ? 0x84u : 0x1u});
}

std::string MacList() {
  char* pszMacInfo = nullptr;
  const HRESULT hResult = GetNetInfoString(&pszMacInfo);
  EXPECT_EQ(hResult, S_OK);
  const std::unique_ptr<char[]> macInfo(pszMacInfo);
  return pszMacInfo == nullptr ? "<none>" : pszMacInfo;
}

std::optional<std::string> DecryptPkcs1(EVP_PKEY* key, const std::vector<unsigned char>& cipher) {
  const tovel::UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  std::size_t nLen = 0;
  if (ctx == nullptr || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &nLen, cipher.data(), cipher.size()) != 1)
    return std::nullopt;
  std::string plain(nLen, '\0');
  if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &nLen,
                       cipher.data(), cipher.size()) != 1)
    return std::nullopt;
  plain.resize(nLen);
  return plain;
}

std::string DecryptBase64(EVP_PKEY* key, const std::string& base64) {
  BYTE* pbyCipher = nullptr;
  int nCipher = 0;
  const HRESULT hResult =
      Base64DecodeEx(base64.c_str(), static_cast<int>(base64.size()), &pbyCipher, &nCipher);
  const std::unique_ptr<BYTE[]> owner(pbyCipher);
  if (hResult != 0 || pbyCipher == nullptr) return "<bad base64>";
  return DecryptPkcs1(key, std::vector<unsigned char>(pbyCipher, pbyCipher + nCipher))
      .value_or("<no plaintext>");
}

}  // namespace agenttest
