// The MAC list over fake adapter lists and fake class keys.
#include "agent/DeviceInfo.h"

#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/NetClassKey.h"
#include "platform/Registry.h"
#include "platform/Threads.h"
#include "tests/agent/AgentTestSupport.h"

namespace {

using agenttest::ClassSubKey;
using agenttest::FakeAdapter;
using agenttest::FakeNetwork;
using agenttest::MacList;

constexpr bool kPhysical = true;
constexpr bool kVirtual = false;

std::vector<std::uint8_t> Mac(std::uint8_t last) { return {0x02, 0x00, 0x5E, 0x10, 0x20, last}; }
std::string MacText(std::uint8_t last) {
  char text[18];
  std::snprintf(text, sizeof text, "02:00:5E:10:20:%02X", last);
  return text;
}
FakeAdapter Connected(const std::string& name, std::vector<std::uint8_t> mac) {
  return {name, std::move(mac), "192.0.2.10", "192.0.2.1"};
}
FakeAdapter Disconnected(const std::string& name, std::vector<std::uint8_t> mac) {
  return {name, std::move(mac), "", ""};
}

struct AdapterRow {
  FakeAdapter adapter;
  bool physical;
};
struct MacListCase {
  const char* name;
  std::vector<AdapterRow> adapters;
  std::string expected;
};

TEST(GetNetInfoStringTest, GroupsOrderAndSeparators) {
  const std::string a = MacText(0xA1), b = MacText(0xB2), c = MacText(0xC3), d = MacText(0xD4),
                    e = MacText(0xE5);
  const MacListCase cases[] = {
      {"no adapters", {}, ""},
      {"physical connected, then virtual disconnected",
       {{Connected("p", Mac(0xA1)), kPhysical}, {Disconnected("v", Mac(0xB2)), kVirtual}},
       a + ";" + b},
      {"virtual disconnected, then physical connected",
       {{Disconnected("v", Mac(0xB2)), kVirtual}, {Connected("p", Mac(0xA1)), kPhysical}},
       a + ";" + b},
      {"all four groups in mixed order",
       {{Disconnected("a", Mac(0xA1)), kVirtual},
        {Connected("b", Mac(0xB2)), kPhysical},
        {Connected("c", Mac(0xC3)), kVirtual},
        {Disconnected("d", Mac(0xD4)), kPhysical},
        {Connected("e", Mac(0xE5)), kPhysical}},
       b + ";" + e + ";" + c + ";" + d + ";" + a},
      {"an address without a gateway is not connected",
       {{{"x", Mac(0xA1), "192.0.2.10", ""}, kPhysical}, {Connected("y", Mac(0xB2)), kPhysical}},
       b + ";" + a},
      {"a gateway without an address is not connected",
       {{{"x", Mac(0xA1), "0.0.0.0", "192.0.2.1"}, kPhysical},
        {Connected("y", Mac(0xB2)), kPhysical}},
       b + ";" + a},
      {"an adapter without address bytes in the middle of a group",
       {{Connected("a", Mac(0xA1)), kPhysical},
        {Connected("n", {}), kPhysical},
        {Connected("b", Mac(0xB2)), kPhysical}},
       a + ";;" + b},
      {"a lone adapter without address bytes leaves its group empty",
       {{Connected("a", Mac(0xA1)), kPhysical}, {Disconnected("n", {}), kVirtual}},
       a},
      {"an empty last entry leaves one final separator, which goes",
       {{Connected("a", Mac(0xA1)), kPhysical},
        {Disconnected("b", Mac(0xB2)), kVirtual},
        {Disconnected("n", {}), kVirtual}},
       a + ";" + b},
      {"two empty last entries: only one final separator goes",
       {{Connected("a", Mac(0xA1)), kPhysical},
        {Disconnected("b", Mac(0xB2)), kVirtual},
        {Disconnected("n", {}), kVirtual},
        {Disconnected("m", {}), kVirtual}},
       a + ";" + b + ";"},
      {"uppercase hex digits, two per byte",
       {{Connected("a", {0x00, 0x0a, 0xff, 0x10, 0x01, 0xbc}), kPhysical},
        {Connected("b", {0xab, 0xcd}), kPhysical}},
       "00:0A:FF:10:01:BC;AB:CD"},
      {"hardware addresses longer than 6 bytes are left out",
       {{Connected("ib", {1, 2, 3, 4, 5, 6, 7, 8}), kPhysical},
        {Connected("x7", {1, 2, 3, 4, 5, 6, 7}), kPhysical},
        {Connected("a", Mac(0xA1)), kPhysical}},
       a},
  };
  for (const MacListCase& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    for (const AdapterRow& adapter : row.adapters)
      network.AddAdapter(adapter.adapter, adapter.physical);
    EXPECT_EQ(MacList(), row.expected);
  }
}

TEST(GetNetInfoStringTest, ListKeepsWholeEntriesWithinItsRoom) {
  struct RoomCase {
    const char* name;
    int physicalConnected;
    int virtualConnected;
    int expectedEntries;
  };
  // Ten addresses take exactly 179 characters (10 * 17 + 9 separators).
  const RoomCase cases[] = {
      {"ten addresses fill the list exactly", 10, 0, 10},
      {"an eleventh address of the same group is left out", 11, 0, 10},
      {"the next group gives what still fits", 9, 3, 10},
      {"a short list is whole", 3, 2, 5},
  };
  for (const RoomCase& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    std::string expected;
    std::vector<std::string> order;
    for (int i = 0; i < row.physicalConnected; ++i)
      network.AddAdapter(Connected("p" + std::to_string(i), Mac(static_cast<std::uint8_t>(i))),
                         kPhysical);
    for (int i = 0; i < row.virtualConnected; ++i)
      network.AddAdapter(
          Connected("v" + std::to_string(i), Mac(static_cast<std::uint8_t>(0x80 + i))), kVirtual);
    for (int i = 0; i < row.expectedEntries; ++i) {
      std::uint8_t last = static_cast<std::uint8_t>(
          i < row.physicalConnected ? i : 0x80 + (i - row.physicalConnected));
      expected += (i == 0 ? "" : ";") + MacText(last);
    }
    std::string list = MacList();
    EXPECT_EQ(list, expected);
    EXPECT_LE(list.size(), static_cast<std::size_t>(MAC_LIST_MAX_CHARS));
  }
}

// Short and empty hardware addresses put the list's ends where full-length
// entries never do: a whole list of exactly 179 characters, one of 180, and
// one whose 180th character is a separator. Only whole entries are kept.
TEST(GetNetInfoStringTest, ShortAddressesMeetTheRoomAtEveryPosition) {
  const std::vector<std::uint8_t> two = {0xA1, 0xB2}, four = {0xC3, 0xD4, 0xE5, 0xF6}, one = {0x07};
  std::string nineFull;
  for (int i = 0; i < 9; ++i) nineFull += MacText(static_cast<std::uint8_t>(i)) + ";";
  struct ShortCase {
    const char* name;
    std::vector<std::vector<std::uint8_t>> physical, virtuals;
    std::string expected;
  };
  const ShortCase cases[] = {
      // 9 * 17 + 5 + 11 characters and 10 separators.
      {"eleven entries of exactly 179 characters are whole",
       {two, four},
       {},
       nineFull + "A1:B2;C3:D4:E5:F6"},
      // The empty entry adds a separator: 180 characters, the last entry goes.
      {"an empty entry makes 180: the last entry is left out",
       {{}, four, two},
       {},
       nineFull + ";C3:D4:E5:F6"},
      // The next group's separator stands at the 180th character.
      {"a separator at the 180th character is not kept",
       {{}, four, two},
       {one},
       nineFull + ";C3:D4:E5:F6"},
  };
  for (const ShortCase& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    for (int i = 0; i < 9; ++i)
      network.AddAdapter(Connected("p" + std::to_string(i), Mac(static_cast<std::uint8_t>(i))),
                         kPhysical);
    int n = 0;
    for (const auto& mac : row.physical)
      network.AddAdapter(Connected("s" + std::to_string(n++), mac), kPhysical);
    for (const auto& mac : row.virtuals)
      network.AddAdapter(Connected("v" + std::to_string(n++), mac), kVirtual);
    const std::string list = MacList();
    EXPECT_EQ(row.expected, list);
    EXPECT_LE(list.size(), static_cast<std::size_t>(MAC_LIST_MAX_CHARS));
  }
}

TEST(GetNetInfoStringTest, AdapterListFailures) {
  struct FailureCase {
    const char* name;
    DWORD failWith;
    DWORD lastError;
    int failFromCall;
    HRESULT expected;
  };
  const FailureCase cases[] = {
      {"size query fails with an error number", ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED, 1,
       HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {"size query fails without an error number", ERROR_GEN_FAILURE, 0, 1, E_FAIL},
      {"reading the list fails", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, 2,
       HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)},
  };
  for (const FailureCase& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    network.AddAdapter(Connected("a", Mac(1)), kPhysical);
    network.failWith = row.failWith;
    network.lastErrorOnFailure = row.lastError;
    network.failFromCall = row.failFromCall;
    char sentinel = 0;
    char* pszMacInfo = &sentinel;
    EXPECT_EQ(GetNetInfoString(&pszMacInfo), row.expected);
    EXPECT_EQ(pszMacInfo, &sentinel) << "the out place stays untouched";
  }
}

TEST(GetNetInfoStringTest, ListGrowingBetweenSizeQueryAndReadFails) {
  FakeNetwork network;
  network.AddAdapter(Connected("a", Mac(1)), kPhysical);
  SetNetAdapterSourceForTesting([&network](std::vector<NetAdapter>& list) -> DWORD {
    // Every read reports one adapter more than the one before.
    for (int i = 0; i <= network.sourceCalls; ++i) list.push_back(NetAdapter{"a", Mac(1), "", ""});
    ++network.sourceCalls;
    return ERROR_SUCCESS;
  });
  char* pszMacInfo = nullptr;
  EXPECT_EQ(GetNetInfoString(&pszMacInfo), HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW));
  EXPECT_EQ(pszMacInfo, nullptr);
}

TEST(GetNetInfoStringTest, ListEmptiedBetweenSizeQueryAndReadFails) {
  FakeNetwork network;
  network.AddAdapter(Connected("a", Mac(1)), kPhysical);
  SetNetAdapterSourceForTesting([&network](std::vector<NetAdapter>& list) -> DWORD {
    // The first read sees one adapter, the next none.
    if (network.sourceCalls++ == 0) list.push_back(NetAdapter{"a", Mac(1), "", ""});
    return ERROR_SUCCESS;
  });
  SetLastError(ERROR_ACCESS_DENIED);
  char* pszMacInfo = nullptr;
  EXPECT_EQ(GetNetInfoString(&pszMacInfo), HRESULT_FROM_WIN32(ERROR_NO_DATA));
  EXPECT_EQ(pszMacInfo, nullptr);
}

TEST(GetNetInfoStringTest, ClassKeyThatCannotBeReadCountsEveryAdapterAsVirtual) {
  struct FailureCase {
    const char* name;
    bool failAtSubKey;  // else when the class key itself is opened
    bool outOfMemory;   // else another fault of the provider
  };
  const FailureCase cases[] = {
      {"no memory to open the class key", false, true},
      {"no memory to open a subkey", true, true},
      {"another fault at a subkey", true, false},
  };
  const std::string a = MacText(0xA1), b = MacText(0xB2);
  for (const FailureCase& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    network.AddAdapter(Connected("v", Mac(0xB2)), kVirtual);
    network.AddAdapter(Connected("p", Mac(0xA1)), kPhysical);
    ASSERT_EQ(MacList(), a + ";" + b) << "with the class key, the physical adapter comes first";
    RegMountVirtualKey(kNetClassKeyPath,
                       [&row](const std::u16string& path) -> std::optional<RegVirtualKey> {
                         if (path.empty() && !row.failAtSubKey) throw std::bad_alloc();
                         if (path.empty()) return RegVirtualKey{{u"0000"}, {}, {}};
                         if (row.outOfMemory) throw std::bad_alloc();
                         throw std::runtime_error("registry");
                       });
    // The registry reports the fault as a status; both adapters are then
    // connected virtual ones, in the platform's order.
    EXPECT_EQ(MacList(), b + ";" + a);
  }
}

TEST(IsPhysicalNetworkCardTest, ClassKeyDecides) {
  struct ClassCase {
    const char* name;
    std::vector<ClassSubKey> classKey;
    const char* adapterName;
    bool expected;
  };
  const ClassCase cases[] = {
      {"0x84 is physical", {{u"{A}", 0x84}}, "{A}", true},
      {"0x85 is physical", {{u"{A}", 0x85}}, "{A}", true},
      {"0x04 alone is not", {{u"{A}", 0x04}}, "{A}", false},
      {"0x80 alone is not", {{u"{A}", 0x80}}, "{A}", false},
      {"no Characteristics value is not", {{u"{A}", std::nullopt}}, "{A}", false},
      {"no subkey for the adapter is not", {{u"{B}", 0x84}}, "{A}", false},
      {"instance ids compare ignoring case",
       {{u"{4d36e972-e325-11ce-bfc1-08002be10318}", 0x84}},
       "{4D36E972-E325-11CE-BFC1-08002BE10318}",
       true},
      {"the matching subkey among others",
       {{u"{B}", 0x1}, {u"{A}", 0x84}, {u"{C}", 0x1}},
       "{A}",
       true},
      {"the first matching subkey decides", {{u"{A}", 0x1}, {u"{A}", 0x84}}, "{A}", false},
      {"an empty class key", {}, "{A}", false},
  };
  for (const ClassCase& row : cases) {
    SCOPED_TRACE(row.name);
    FakeNetwork network;
    network.classKey = row.classKey;
    EXPECT_EQ(IsPhysicalNetworkCard(row.adapterName), row.expected);
  }
}

TEST(GetMacTypeTest, RefusesNullArguments) {
  IP_ADAPTER_INFO stAdapter{};
  int nMacType = -7;
  EXPECT_EQ(GetMacType(nullptr, &nMacType), E_INVALIDARG);
  EXPECT_EQ(nMacType, -7);
  EXPECT_EQ(GetMacType(&stAdapter, nullptr), E_INVALIDARG);
}

TEST(GetMacTypeTest, GroupFromPhysicalAndConnected) {
  struct TypeCase {
    const char* ip;
    const char* gateway;
    bool physical;
    int expected;
  };
  const TypeCase cases[] = {
      {"10.0.0.2", "10.0.0.1", true, 0},
      {"10.0.0.2", "10.0.0.1", false, 1},
      {"0.0.0.0", "10.0.0.1", true, 2},
      {"10.0.0.2", "0.0.0.0", false, 3},
      {"", "", true, 0},  // empty texts differ from "0.0.0.0"
  };
  for (const TypeCase& row : cases) {
    SCOPED_TRACE(std::string(row.ip) + " / " + row.gateway +
                 (row.physical ? " physical" : " virtual"));
    FakeNetwork network;
    network.classKey = {{u"eth9", row.physical ? 0x84u : 0x1u}};
    IP_ADAPTER_INFO stAdapter{};
    std::snprintf(stAdapter.AdapterName, sizeof stAdapter.AdapterName, "eth9");
    std::snprintf(stAdapter.IpAddressList.IpAddress.String, 16, "%s", row.ip);
    std::snprintf(stAdapter.GatewayList.IpAddress.String, 16, "%s", row.gateway);
    int nMacType = -1;
    ASSERT_EQ(GetMacType(&stAdapter, &nMacType), S_OK);
    EXPECT_EQ(nMacType, row.expected);
  }
}

}  // namespace
