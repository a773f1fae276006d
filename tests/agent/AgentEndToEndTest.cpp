// "GetMacAddress" and "GetLastErrorDesc" end to end: the test build of the
// program (carrying the test PKI's policy) runs over pipes; its encrypted MAC
// list is decrypted with the test server key and compared with what the
// adapter stand-in reports.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "agent/TovelAgent.h"
#include "platform/CryptoApi.h"
#include "platform/NetClassKey.h"
#include "platform/UniquePtr.h"
#include "tests/agent/AgentTestSupport.h"
#include "tests/agent/LocaleScope.h"
#include "tools/lib/HostProcess.h"

namespace {

using agenttest::LocaleScope;
using namespace std::chrono_literals;

const std::filesystem::path kPkiDir = AGENT_E2E_DIR;

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

tovel::UniquePtr<EVP_PKEY> ServerKey() {
  std::string pem = ReadFile(kPkiDir / "server-key.pem");
  const tovel::UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return tovel::UniquePtr<EVP_PKEY>(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

std::string DecryptResult(const std::string& base64) {
  return agenttest::DecryptBase64(ServerKey().get(), base64);
}

struct Response {
  long long errorcode = 0;
  bool resultIsFalse = false;
  std::string result;
};

Response Ask(tovel::HostProcess& host, const std::string& function, const std::string& params) {
  const std::string request = R"({"function":")" + function + R"(","params":)" + params + "}";
  EXPECT_TRUE(host.WriteFrame(request));
  std::optional<std::string> frame = host.ReadFrame(10s);
  Response response;
  if (!frame) {
    ADD_FAILURE() << "no answer to " << function;
    return response;
  }
  const tovel::UniquePtr<cJSON> json(cJSON_Parse(frame->c_str()));
  if (json == nullptr) {
    ADD_FAILURE() << "unparsable answer " << *frame;
    return response;
  }
  EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(json.get(), "function")), function.c_str());
  response.errorcode =
      static_cast<long long>(cJSON_GetNumberValue(cJSON_GetObjectItem(json.get(), "errorcode")));
  cJSON* result = cJSON_GetObjectItem(json.get(), "result");
  response.resultIsFalse = cJSON_IsFalse(result);
  if (cJSON_IsString(result)) response.result = cJSON_GetStringValue(result);
  return response;
}

std::string CertParams(const char* file) { return R"([")" + ReadFile(kPkiDir / file) + R"("])"; }

// The MAC list the adapter stand-in reports for this machine.
std::string ThisMachinesMacList() {
  MountNetClassKey();
  return agenttest::MacList();
}

TEST(AgentEndToEndTest, EncryptsThisMachinesMacListForTheServer) {
  LocaleScope english(nullptr, nullptr, "C");
  tovel::HostProcess host(TOVELHOST_AGENT_TEST_PATH);

  Response first = Ask(host, "GetLastErrorDesc", "[]");
  EXPECT_EQ(first.errorcode, 0);
  EXPECT_EQ(first.result, "The operation completed successfully.\r\n\n(0x00000000)");

  Response mac = Ask(host, "GetMacAddress", CertParams("server.b64"));
  ASSERT_EQ(mac.errorcode, 0);
  EXPECT_EQ(DecryptResult(mac.result), ThisMachinesMacList());

  Response desc = Ask(host, "GetLastErrorDesc", "[]");
  EXPECT_EQ(desc.errorcode, 0);
  EXPECT_EQ(desc.result, "The operation completed successfully.\r\n\n(0x00000000)");
}

TEST(AgentEndToEndTest, RefusedCertificateGivesItsCodeThenItsText) {
  struct RefusedCase {
    const char* file;
    long long errorcode;
    const char* english;
    const char* chinese;
  };
  const RefusedCase cases[] = {
      {"ecdsa.b64", E_INVALID_KEY_ALGORITHM, "Invalid key algorithm.\n(0xa0072401)",
       "无效的密钥算法\n(0xa0072401)"},
      {"expired.b64", E_CERT_TIME_INVALID,
       "Certificate in certificate chain is time invalid\n(0xa0071031)",
       "证书链中某个证书时间无效\n(0xa0071031)"},
  };
  for (const RefusedCase& row : cases) {
    for (bool chinese : {false, true}) {
      SCOPED_TRACE(std::string(row.file) + (chinese ? " in Chinese" : " in English"));
      LocaleScope locale(nullptr, nullptr, chinese ? "zh_CN.UTF-8" : "en_US.UTF-8");
      tovel::HostProcess host(TOVELHOST_AGENT_TEST_PATH);
      Response mac = Ask(host, "GetMacAddress", CertParams(row.file));
      EXPECT_EQ(mac.errorcode, row.errorcode);
      EXPECT_TRUE(mac.resultIsFalse);
      Response desc = Ask(host, "GetLastErrorDesc", "[]");
      EXPECT_EQ(desc.errorcode, 0);
      EXPECT_EQ(desc.result, chinese ? row.chinese : row.english);
    }
  }
}

// Bytes around or beside the server certificate are refused at the type step,
// before the adapters are read; a DER certificate that carries the server's
// PEM inside is read as itself. The server certificate alone still works in
// the same conversation.
TEST(AgentEndToEndTest, OnlyOneWholeDerCertificateIsChecked) {
  LocaleScope english(nullptr, nullptr, "C");
  struct SpliceCase {
    const char* file;
    long long errorcode;
  };
  const SpliceCase cases[] = {
      {"splice-der-pem.b64", static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT)},
      {"splice-der-der.b64", static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT)},
      {"splice-der-junk.b64", static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT)},
      {"splice-pem.b64", static_cast<HRESULT>(CRYPT_E_ASN1_BADTAG)},
      {"splice-carrier.b64", E_CERT_CHAIN_INCOMPLETE},
  };
  tovel::HostProcess host(TOVELHOST_AGENT_TEST_PATH);
  for (const SpliceCase& row : cases) {
    SCOPED_TRACE(row.file);
    Response mac = Ask(host, "GetMacAddress", CertParams(row.file));
    EXPECT_EQ(mac.errorcode, row.errorcode);
    EXPECT_TRUE(mac.resultIsFalse);
    EXPECT_TRUE(mac.result.empty());
  }
  Response mac = Ask(host, "GetMacAddress", CertParams("server.b64"));
  ASSERT_EQ(mac.errorcode, 0);
  EXPECT_EQ(DecryptResult(mac.result), ThisMachinesMacList());
}

// --- The order of the list in a network namespace of chosen interfaces -----

int RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
  }
  return out;
}

// A network namespace that is deleted with this object.
class NetNamespace {
 public:
  explicit NetNamespace(std::string name) : name_(std::move(name)) {
    ok_ = RunQuietly("ip netns add " + name_) == 0;
  }
  ~NetNamespace() {
    if (ok_) RunQuietly("ip netns del " + name_);
  }
  bool ok() const { return ok_; }
  bool Do(const std::string& command) { return RunQuietly("ip -n " + name_ + " " + command) == 0; }
  int IfIndex(const std::string& name) {
    return std::atoi(
        Capture("ip netns exec " + name_ + " cat /sys/class/net/" + name + "/ifindex").c_str());
  }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  bool ok_ = false;
};

TEST(AgentEndToEndTest, OrderOfTheListInANetworkNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
  if (RunQuietly("ip -V") != 0) GTEST_SKIP() << "needs the ip command (iproute2)";
  NetNamespace ns("tovel-agent-" + std::to_string(getpid()));
  if (!ns.ok()) GTEST_SKIP() << "cannot make a network namespace here";

  struct Interface {
    std::string name;
    std::string mac;
    const char* address;  // null: none
    const char* gateway;  // null: no default route
  };
  // Three veth pairs; two ends get an address and a default route (connected),
  // one an address only, the rest nothing. veth ends have no device behind
  // them: all are virtual.
  const std::vector<Interface> interfaces = {
      {"a0", "02:00:5e:00:00:a0", "10.1.0.2/24", "10.1.0.1"},
      {"a1", "02:00:5e:00:00:a1", nullptr, nullptr},
      {"b0", "02:00:5e:00:00:b0", nullptr, nullptr},
      {"b1", "02:00:5e:00:00:b1", "10.2.0.2/24", nullptr},
      {"c0", "02:00:5e:00:00:c0", nullptr, nullptr},
      {"c1", "02:00:5e:00:00:c1", "10.3.0.2/24", "10.3.0.1"},
  };
  for (std::size_t i = 0; i < interfaces.size(); i += 2) {
    const Interface& end = interfaces[i];
    const Interface& peer = interfaces[i + 1];
    if (!ns.Do("link add " + end.name + " address " + end.mac + " type veth peer name " +
               peer.name + " address " + peer.mac))
      GTEST_SKIP() << "cannot make veth interfaces here";
  }
  int metric = 100;
  for (const Interface& itf : interfaces) {
    ASSERT_TRUE(ns.Do("link set dev " + itf.name + " up"));
    if (itf.address != nullptr) {
      ASSERT_TRUE(ns.Do(std::string("addr add ") + itf.address + " dev " + itf.name));
    }
  }
  for (const Interface& itf : interfaces) {
    if (itf.gateway != nullptr) {
      ASSERT_TRUE(ns.Do(std::string("route add default via ") + itf.gateway + " dev " + itf.name +
                        " metric " + std::to_string(metric++)));
    }
  }

  // Connected ones first, each group in interface-index order.
  std::vector<std::pair<int, std::string>> connected, other;
  for (const Interface& itf : interfaces) {
    std::string text = itf.mac;
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    (itf.gateway != nullptr ? connected : other).emplace_back(ns.IfIndex(itf.name), text);
  }
  std::sort(connected.begin(), connected.end());
  std::sort(other.begin(), other.end());
  std::string expected;
  for (const auto* group : {&connected, &other})
    for (const auto& [index, text] : *group) expected += (expected.empty() ? "" : ";") + text;

  // The program runs inside the namespace through a small launcher.
  char folder[] = "/tmp/tovel-netns-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string launcher = std::string(folder) + "/run";
  std::ofstream(launcher) << "#!/bin/sh\nexec ip netns exec " << ns.name() << " "
                          << TOVELHOST_AGENT_TEST_PATH << "\n";
  chmod(launcher.c_str(), 0755);
  {
    LocaleScope english(nullptr, nullptr, "C");
    tovel::HostProcess host(launcher);
    Response mac = Ask(host, "GetMacAddress", CertParams("server.b64"));
    ASSERT_EQ(mac.errorcode, 0);
    EXPECT_EQ(DecryptResult(mac.result), expected);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
