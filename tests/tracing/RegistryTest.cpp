// The registry stand-in: file-backed keys under this program's root, and
// virtual keys.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>

#include "platform/Registry.h"
#include "tests/support/TraceTestSupport.h"

namespace {

namespace fs = std::filesystem;
using tracetest::WriteFile;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STREQ(RegistryRoot(), TOVEL_TEST_REGISTRY_ROOT);
    fs::remove_all(root_);
    WriteFile(root_ / "SYSTEM/Wmi/Logger/Start.dword", "1\n");
    WriteFile(root_ / "SYSTEM/Wmi/Logger/Hex.dword", " 0x80000005 ");
    WriteFile(root_ / "SYSTEM/Wmi/Logger/Max.dword", "4294967295");
    WriteFile(root_ / "SYSTEM/Wmi/Logger/TooBig.dword", "4294967296");
    WriteFile(root_ / "SYSTEM/Wmi/Logger/Word.dword", "twelve");
    WriteFile(root_ / "SYSTEM/Wmi/Logger/Name.sz",
              "Gr\xc3\xbc\xc3\x9f"
              "e");
    WriteFile(root_ / "SYSTEM/Wmi/Logger/b-second/x.dword", "2");
    WriteFile(root_ / "SYSTEM/Wmi/Logger/a-first/x.dword", "1");
  }
  void TearDown() override { fs::remove_all(root_); }

  // Opens a key below HKEY_LOCAL_MACHINE, failing the test on error.
  HKEY Open(const char16_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
    return key;
  }

  const fs::path root_ = TOVEL_TEST_REGISTRY_ROOT;
};

TEST_F(RegistryTest, OpensKeysIgnoringCase) {
  struct Case {
    const char16_t* path;
    DWORD access;
    LONG expected;
  } cases[] = {
      {u"SYSTEM\\Wmi\\Logger", KEY_READ, ERROR_SUCCESS},
      {u"system\\WMI\\logger", KEY_READ, ERROR_SUCCESS},
      {u"SYSTEM\\Wmi\\Logger\\", KEY_READ, ERROR_SUCCESS},
      {u"SYSTEM\\Wmi\\Missing", KEY_READ, ERROR_FILE_NOT_FOUND},
      {u"SYSTEM\\Wmi\\Logger\\Start.dword", KEY_READ, ERROR_FILE_NOT_FOUND},  // a value, not a key
      {u"SYSTEM\\Wmi\\Logger\\..\\..", KEY_READ, ERROR_FILE_NOT_FOUND},
      {u"SYSTEM\\..\\..", KEY_READ, ERROR_FILE_NOT_FOUND},
      {u"SYSTEM/Wmi", KEY_READ, ERROR_FILE_NOT_FOUND},
      {u"SYSTEM\\Wmi\\Logger", 0x20006 /* KEY_WRITE */, ERROR_ACCESS_DENIED},
      {u"SYSTEM\\Wmi\\Logger", 0x10000 /* DELETE */, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path)));
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.path, 0, c.access, &key), c.expected);
    if (c.expected == ERROR_SUCCESS) {
      ASSERT_NE(key, nullptr);
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);
    }
  }
}

TEST_F(RegistryTest, ReadsDwordAndTextValues) {
  HKEY key = Open(u"SYSTEM\\Wmi\\Logger");
  struct Case {
    const char16_t* name;
    LONG expected;
    DWORD type;
    std::vector<BYTE> bytes;
  };
  auto dword = [](std::uint32_t v) {
    std::vector<BYTE> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
  };
  std::u16string text = u"Gr\u00fc\u00dfe";
  std::vector<BYTE> textBytes((text.size() + 1) * 2, 0);
  std::memcpy(textBytes.data(), text.data(), text.size() * 2);
  Case cases[] = {
      {u"Start", ERROR_SUCCESS, REG_DWORD, dword(1)},
      {u"START", ERROR_SUCCESS, REG_DWORD, dword(1)},
      {u"Hex", ERROR_SUCCESS, REG_DWORD, dword(0x80000005)},
      {u"Max", ERROR_SUCCESS, REG_DWORD, dword(0xFFFFFFFF)},
      {u"TooBig", ERROR_INVALID_DATA, 0, {}},
      {u"Word", ERROR_INVALID_DATA, 0, {}},
      {u"Name", ERROR_SUCCESS, REG_SZ, textBytes},
      {u"Missing", ERROR_FILE_NOT_FOUND, 0, {}},
      {u"x", ERROR_FILE_NOT_FOUND, 0, {}},  // only in a subkey
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.bytes.size() << " " << static_cast<char>(c.name[0]) << c.expected);
    DWORD type = 0;
    DWORD size = 0;
    // The size alone first, then the data.
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, nullptr, &size), c.expected);
    if (c.expected != ERROR_SUCCESS) continue;
    EXPECT_EQ(type, c.type);
    ASSERT_EQ(size, c.bytes.size());
    std::vector<BYTE> data(size + 4, 0xCC);
    DWORD small = size - 1;
    EXPECT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, data.data(), &small), ERROR_MORE_DATA);
    EXPECT_EQ(small, size);
    EXPECT_EQ(data[0], 0xCC) << "nothing is written when the buffer is too small";
    DWORD room = static_cast<DWORD>(data.size());
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, data.data(), &room), ERROR_SUCCESS);
    EXPECT_EQ(room, size);
    EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + size), c.bytes);
  }
  DWORD reserved = 0;
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"Start", &reserved, nullptr, nullptr, &size),
            ERROR_INVALID_PARAMETER);
  BYTE data[4];
  EXPECT_EQ(RegQueryValueExW(key, u"Start", nullptr, nullptr, data, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EnumeratesSubkeysInOrderAndOpensRelative) {
  HKEY key = Open(u"SYSTEM\\Wmi\\Logger");
  std::vector<std::u16string> names;
  for (DWORD index = 0;; ++index) {
    char16_t name[64];
    DWORD count = 64;
    LONG status = RegEnumKeyExW(key, index, name, &count, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(count, std::char_traits<char16_t>::length(name));
    names.emplace_back(name);
  }
  EXPECT_TRUE((names == std::vector<std::u16string>{u"a-first", u"b-second"}));

  char16_t tiny[3];
  DWORD count = 3;
  EXPECT_EQ(RegEnumKeyExW(key, 0, tiny, &count, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);

  HKEY sub = nullptr;
  ASSERT_EQ(RegOpenKeyExW(key, u"B-SECOND", 0, KEY_READ, &sub), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = sizeof(value);
  ASSERT_EQ(RegQueryValueExW(sub, u"x", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ClosedOrUnknownHandlesAreRefused) {
  HKEY key = Open(u"SYSTEM");
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyExW(key, u"Wmi", 0, KEY_READ, &sub), ERROR_INVALID_HANDLE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Start", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  char16_t name[8];
  DWORD count = 8;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, VirtualKeysComeFromTheirProvider) {
  const std::u16string mount = u"SYSTEM\\Virtual\\{Class}";
  RegMountVirtualKey(mount, [](const std::u16string& path) -> std::optional<RegVirtualKey> {
    RegVirtualKey key;
    if (path.empty()) {
      key.subKeys = {u"0001", u"0000"};
      return key;
    }
    if (path == u"0001") {
      key.dwordValues[u"Characteristics"] = 0x84;
      key.textValues[u"NetCfgInstanceId"] = u"eth0";
      return key;
    }
    return std::nullopt;
  });
  HKEY key = Open(u"system\\virtual\\{CLASS}");
  char16_t name[8];
  DWORD count = 8;
  ASSERT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(std::u16string(name) == u"0001");  // the provider's order
  count = 8;
  EXPECT_EQ(RegEnumKeyExW(key, 2, name, &count, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  HKEY sub = nullptr;
  ASSERT_EQ(RegOpenKeyExW(key, u"0001", 0, KEY_READ, &sub), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof(value);
  ASSERT_EQ(RegQueryValueExW(sub, u"characteristics", nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(value, 0x84u);
  char16_t text[8];
  size = sizeof(text);
  ASSERT_EQ(RegQueryValueExW(sub, u"NetCfgInstanceId", nullptr, &type,
                             reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 10u);
  EXPECT_TRUE(std::u16string(text) == u"eth0");
  EXPECT_EQ(RegQueryValueExW(sub, u"Missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExW(key, u"0000\\deeper", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);

  // A later mount at the same path replaces the provider.
  RegMountVirtualKey(u"SYSTEM\\VIRTUAL\\{class}",
                     [](const std::u16string&) { return std::optional<RegVirtualKey>(); });
  HKEY again = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, mount.c_str(), 0, KEY_READ, &again),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ProviderExceptionsBecomeStatuses) {
  const struct {
    const char* name;
    void (*raise)();
    LONG status;
  } cases[] = {
      {"out of memory", [] { throw std::bad_alloc(); }, static_cast<LONG>(ERROR_OUTOFMEMORY)},
      {"anything else", [] { throw std::runtime_error("provider broke"); },
       static_cast<LONG>(ERROR_GEN_FAILURE)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto raise = c.raise;
    RegMountVirtualKey(u"SYSTEM\\THROWING",
                       [raise](const std::u16string&) -> std::optional<RegVirtualKey> {
                         raise();
                         return std::nullopt;
                       });
    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\THROWING", 0, KEY_READ, &key), c.status);
    EXPECT_EQ(key, nullptr);
  }
}

}  // namespace
