// The Linux adapter list and class key readers over fixture trees, and the
// buffer protocol of GetAdaptersInfo.
#include "platform/IpHelper.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "platform/IpHelperLinux.h"
#include "platform/NetClassKey.h"
#include "platform/Threads.h"

namespace {

namespace fs = std::filesystem;

// A small /sys/class/net tree in a fresh temporary folder.
class SysfsFixture {
 public:
  SysfsFixture() {
    char pattern[] = "/tmp/tovel-sysfs-XXXXXX";
    root_ = mkdtemp(pattern);
  }
  ~SysfsFixture() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  // An interface folder; a device folder stands behind it when backedByDevice.
  void AddInterface(const std::string& name, int index, int type, const std::string& address,
                    int addressLength, bool backedByDevice) {
    fs::path dir = root_ / name;
    fs::create_directories(dir);
    Write(dir / "ifindex", std::to_string(index));
    Write(dir / "type", std::to_string(type));
    Write(dir / "address", address);
    Write(dir / "addr_len", std::to_string(addressLength));
    if (backedByDevice) fs::create_directories(dir / "device");
  }
  const fs::path& root() const { return root_; }

 private:
  static void Write(const fs::path& file, const std::string& line) {
    std::ofstream(file) << line << "\n";
  }
  fs::path root_;
};

// One row of a routing table in the kernel's text form (addresses in the
// machine's byte order).
std::string RouteRow(const std::string& iface, const char* destination, const char* gateway,
                     unsigned flags, const char* mask) {
  auto hex = [](const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    char text[9];
    std::snprintf(text, sizeof text, "%08X", address.s_addr);
    return std::string(text);
  };
  char flagText[8];
  std::snprintf(flagText, sizeof flagText, "%04X", flags);
  return iface + "\t" + hex(destination) + "\t" + hex(gateway) + "\t" + flagText + "\t0\t0\t100\t" +
         hex(mask) + "\t0\t0\t0\n";
}
const std::string kRouteTitles =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(ParseDefaultGatewaysTest, TakesUpDefaultRoutesWithGateway) {
  struct RouteCase {
    const char* name;
    std::string rows;
    std::map<std::string, std::string> expected;
  };
  const RouteCase cases[] = {
      {"one default route",
       RouteRow("eth0", "0.0.0.0", "192.168.1.1", 0x3, "0.0.0.0"),
       {{"eth0", "192.168.1.1"}}},
      {"a network route is no default",
       RouteRow("eth0", "192.168.1.0", "0.0.0.0", 0x1, "255.255.255.0") +
           RouteRow("eth1", "10.0.0.0", "10.0.0.254", 0x3, "255.0.0.0"),
       {}},
      {"a route that is down or has no gateway flag is ignored",
       RouteRow("eth0", "0.0.0.0", "192.168.1.1", 0x2, "0.0.0.0") +
           RouteRow("eth1", "0.0.0.0", "10.0.0.1", 0x1, "0.0.0.0"),
       {}},
      {"the first default route of an interface wins",
       RouteRow("eth0", "0.0.0.0", "192.168.1.1", 0x3, "0.0.0.0") +
           RouteRow("eth0", "0.0.0.0", "192.168.1.2", 0x3, "0.0.0.0") +
           RouteRow("wlan0", "0.0.0.0", "172.16.0.1", 0x3, "0.0.0.0"),
       {{"eth0", "192.168.1.1"}, {"wlan0", "172.16.0.1"}}},
      {"a short row is skipped", "eth0\t00000000\n", {}},
  };
  for (const RouteCase& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(ParseDefaultGateways(kRouteTitles + row.rows), row.expected);
  }
}

TEST(BuildNetAdapterListTest, ReadsAFixtureTree) {
  SysfsFixture sysfs;
  // Created out of index order; loopback first by index.
  sysfs.AddInterface("wlan0", 3, 1, "aa:bb:cc:dd:ee:0f", 6, true);
  sysfs.AddInterface("lo", 1, 772, "00:00:00:00:00:00", 6, false);
  sysfs.AddInterface("eth0", 2, 1, "00:1a:2b:3c:4d:5e", 6, true);
  sysfs.AddInterface("tun0", 5, 65534, "", 0, false);
  sysfs.AddInterface("veth1", 4, 1, "02:42:ac:11:00:02", 6, false);
  const std::string routes = kRouteTitles +
                             RouteRow("eth0", "0.0.0.0", "192.168.1.1", 0x3, "0.0.0.0") +
                             RouteRow("eth0", "192.168.1.0", "0.0.0.0", 0x1, "255.255.255.0");
  const std::map<std::string, std::string> ipv4 = {
      {"eth0", "192.168.1.20"}, {"veth1", "172.17.0.2"}, {"lo", "127.0.0.1"}};

  std::vector<NetAdapter> adapters = BuildNetAdapterList(sysfs.root(), routes, ipv4);

  ASSERT_EQ(adapters.size(), 4u);
  EXPECT_EQ(adapters[0].name, "eth0");
  EXPECT_EQ(adapters[0].hardwareAddress,
            (std::vector<std::uint8_t>{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
  EXPECT_EQ(adapters[0].ipAddress, "192.168.1.20");
  EXPECT_EQ(adapters[0].gateway, "192.168.1.1");
  EXPECT_EQ(adapters[1].name, "wlan0");
  EXPECT_EQ(adapters[1].ipAddress, "");
  EXPECT_EQ(adapters[1].gateway, "");
  EXPECT_EQ(adapters[2].name, "veth1");
  EXPECT_EQ(adapters[2].ipAddress, "172.17.0.2");
  EXPECT_EQ(adapters[2].gateway, "");
  EXPECT_EQ(adapters[3].name, "tun0");
  EXPECT_TRUE(adapters[3].hardwareAddress.empty());
}

TEST(ListNetInterfacesTest, AddressLengthAndDevice) {
  SysfsFixture sysfs;
  sysfs.AddInterface("ib0", 2, 32, "80:00:00:48:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0a:bc:de",
                     20, true);
  sysfs.AddInterface("sit0", 3, 776, "00:00:00:00", 4, false);
  std::vector<NetInterfaceInfo> interfaces = ListNetInterfaces(sysfs.root());
  ASSERT_EQ(interfaces.size(), 2u);
  EXPECT_EQ(interfaces[0].hardwareAddress.size(), 20u);
  EXPECT_TRUE(interfaces[0].backedByDevice);
  EXPECT_EQ(interfaces[1].hardwareAddress, (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_FALSE(interfaces[1].backedByDevice);
  EXPECT_TRUE(ListNetInterfaces(sysfs.root() / "missing").empty());
}

TEST(NetClassKeyTest, ProviderOverAFixtureTree) {
  SysfsFixture sysfs;
  sysfs.AddInterface("eth0", 2, 1, "00:1a:2b:3c:4d:5e", 6, true);
  sysfs.AddInterface("lo", 1, 772, "00:00:00:00:00:00", 6, false);
  sysfs.AddInterface("br0", 7, 1, "02:42:ac:11:00:01", 6, false);
  RegVirtualProvider provider = MakeNetClassKeyProvider(sysfs.root());

  std::optional<RegVirtualKey> classKey = provider(u"");
  ASSERT_TRUE(classKey.has_value());
  EXPECT_EQ(classKey->subKeys, (std::vector<std::u16string>{u"0000", u"0001", u"0002"}));
  struct SubKeyCase {
    const char16_t* subKey;
    const char16_t* instanceId;
    std::uint32_t characteristics;
  };
  const SubKeyCase cases[] = {
      {u"0000", u"lo", 0x1}, {u"0001", u"eth0", 0x84}, {u"0002", u"br0", 0x1}};
  for (const SubKeyCase& row : cases) {
    std::optional<RegVirtualKey> key = provider(row.subKey);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(key->textValues[u"NetCfgInstanceId"], row.instanceId);
    EXPECT_EQ(key->dwordValues[u"Characteristics"], row.characteristics);
  }
  EXPECT_FALSE(provider(u"0003").has_value());
}

// The records GetAdaptersInfo writes for a chosen adapter list.
class GetAdaptersInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNetAdapterSourceForTesting([this](std::vector<NetAdapter>& list) -> DWORD {
      list = adapters_;
      return ERROR_SUCCESS;
    });
  }
  void TearDown() override { SetNetAdapterSourceForTesting(nullptr); }
  std::vector<NetAdapter> adapters_;
};

TEST_F(GetAdaptersInfoTest, SizeQueryThenRecords) {
  adapters_ = {{"eth0", {1, 2, 3, 4, 5, 6}, "10.0.0.2", "10.0.0.1"},
               {"ib0", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "", ""}};
  ULONG nSize = 0;
  ASSERT_EQ(GetAdaptersInfo(nullptr, &nSize), ERROR_BUFFER_OVERFLOW);
  ASSERT_GE(nSize, 2 * sizeof(IP_ADAPTER_INFO));

  ULONG nSmall = nSize - 1;
  auto small = std::make_unique<BYTE[]>(nSmall);
  EXPECT_EQ(GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(small.get()), &nSmall),
            ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(nSmall, nSize);

  auto buffer = std::make_unique<BYTE[]>(nSize);
  auto* pstFirst = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
  ASSERT_EQ(GetAdaptersInfo(pstFirst, &nSize), ERROR_SUCCESS);
  EXPECT_STREQ(pstFirst->AdapterName, "eth0");
  EXPECT_EQ(pstFirst->AddressLength, 6u);
  EXPECT_EQ(pstFirst->Address[5], 6);
  EXPECT_STREQ(pstFirst->IpAddressList.IpAddress.String, "10.0.0.2");
  EXPECT_STREQ(pstFirst->GatewayList.IpAddress.String, "10.0.0.1");
  const IP_ADAPTER_INFO* pstSecond = pstFirst->Next;
  ASSERT_NE(pstSecond, nullptr);
  EXPECT_STREQ(pstSecond->AdapterName, "ib0");
  EXPECT_EQ(pstSecond->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH)
      << "longer addresses keep 8 bytes";
  EXPECT_STREQ(pstSecond->IpAddressList.IpAddress.String, "0.0.0.0");
  EXPECT_STREQ(pstSecond->GatewayList.IpAddress.String, "0.0.0.0");
  EXPECT_EQ(pstSecond->Next, nullptr);
}

TEST_F(GetAdaptersInfoTest, NoAdaptersAndBadArguments) {
  ULONG nSize = 0;
  SetLastError(0);
  EXPECT_EQ(GetAdaptersInfo(nullptr, &nSize), ERROR_NO_DATA);
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  EXPECT_EQ(GetAdaptersInfo(nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(GetAdaptersInfoTest, SourceFailurePassesThroughWithItsLastError) {
  SetNetAdapterSourceForTesting([](std::vector<NetAdapter>&) -> DWORD {
    SetLastError(ERROR_ACCESS_DENIED);
    return ERROR_GEN_FAILURE;
  });
  SetLastError(0);
  ULONG nSize = 0;
  EXPECT_EQ(GetAdaptersInfo(nullptr, &nSize), ERROR_GEN_FAILURE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(GetAdaptersInfoTest, ThrowingSourceBecomesAnError) {
  struct ThrowCase {
    const char* name;
    std::function<void()> raise;
    DWORD expected;
  };
  const ThrowCase cases[] = {
      {"no memory", [] { throw std::bad_alloc(); }, ERROR_NOT_ENOUGH_MEMORY},
      {"another exception", [] { throw std::runtime_error("sysfs"); }, ERROR_GEN_FAILURE},
  };
  for (const ThrowCase& row : cases) {
    SCOPED_TRACE(row.name);
    SetNetAdapterSourceForTesting([&row](std::vector<NetAdapter>&) -> DWORD {
      row.raise();
      return ERROR_SUCCESS;
    });
    SetLastError(0);
    ULONG nSize = 0;
    EXPECT_EQ(GetAdaptersInfo(nullptr, &nSize), row.expected);
    EXPECT_EQ(GetLastError(), row.expected);
  }
}

TEST(LiveAdapterListTest, MatchesTheSystemsInterfaces) {
  // Every interface that sysfs shows, loopback aside, is listed once, in order.
  std::vector<std::string> expected;
  for (const NetInterfaceInfo& info : ListNetInterfaces("/sys/class/net"))
    if (!info.loopback) expected.push_back(info.name);
  ULONG nSize = 0;
  DWORD dwResult = GetAdaptersInfo(nullptr, &nSize);
  if (expected.empty()) {
    EXPECT_EQ(dwResult, ERROR_NO_DATA);
    return;
  }
  ASSERT_EQ(dwResult, ERROR_BUFFER_OVERFLOW);
  auto buffer = std::make_unique<BYTE[]>(nSize);
  ASSERT_EQ(GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &nSize),
            ERROR_SUCCESS);
  std::vector<std::string> listed;
  for (auto* p = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()); p != nullptr; p = p->Next)
    listed.push_back(p->AdapterName);
  EXPECT_EQ(listed, expected);
}

}  // namespace
