// A small read-only registry stand-in over a folder tree and virtual keys.
#include "platform/Registry.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <set>
#include <system_error>

#include "platform/Unicode.h"

struct RegKeyNode {
  std::vector<std::u16string> path;  // components below HKEY_LOCAL_MACHINE
  bool isVirtual = false;
  std::filesystem::path folder;  // a file-backed key
  RegVirtualKey snapshot;        // a virtual key, as its provider gave it at opening
};

namespace {

namespace fs = std::filesystem;

using Components = std::vector<std::u16string>;

struct Mount {
  Components path;
  RegVirtualProvider provider;
};

constexpr char kSystemRegistryRoot[] = "/etc/tovelhost/registry";
// A test's root, or null. Constant-initialised, so it may be set from another
// file's static initialiser.
std::atomic<const char*> g_testRoot{nullptr};

std::mutex g_mutex;
std::set<RegKeyNode*> g_openKeys;
std::vector<Mount> g_mounts;

// Write, delete and ownership rights; any of them is refused.
constexpr DWORD kWriteAccess =
    0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000 | 0x10000000 | 0x40000000;

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

bool EqualIgnoringAsciiCase(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

// Splits at backslashes, skipping empty pieces. False for a piece that cannot
// name a key: "." or "..", or one holding '/'.
bool SplitKeyPath(const char16_t* text, Components* out) {
  if (text == nullptr) return true;
  std::u16string piece;
  for (const char16_t* p = text;; ++p) {
    if (*p == u'\\' || *p == 0) {
      if (piece == u"." || piece == u"..") return false;
      if (!piece.empty()) out->push_back(piece);
      piece.clear();
      if (*p == 0) return true;
    } else if (*p == u'/') {
      return false;
    } else {
      piece.push_back(*p);
    }
  }
}

bool StartsWith(const Components& path, const Components& prefix) {
  if (prefix.size() > path.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (!EqualIgnoringAsciiCase(path[i], prefix[i])) return false;
  return true;
}

// The entry of folder whose name matches name ignoring ASCII case.
std::optional<fs::path> FindEntry(const fs::path& folder, const std::u16string& name,
                                  bool wantFolder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    bool isFolder = it->is_directory(ec);
    if (isFolder != wantFolder || (!wantFolder && !it->is_regular_file(ec))) continue;
    if (EqualIgnoringAsciiCase(Utf8ToUtf16(it->path().filename().string()), name))
      return it->path();
  }
  return std::nullopt;
}

LONG Resolve(const Components& path, RegKeyNode* node) {
  node->path = path;
  RegVirtualProvider provider;
  std::size_t mountLength = 0;
  {
    std::lock_guard lock(g_mutex);
    for (const Mount& mount : g_mounts) {
      if (StartsWith(path, mount.path) && (!provider || mount.path.size() > mountLength)) {
        provider = mount.provider;
        mountLength = mount.path.size();
      }
    }
  }
  if (provider) {
    std::u16string relative;
    for (std::size_t i = mountLength; i < path.size(); ++i)
      relative += (i > mountLength ? u"\\" : u"") + path[i];
    std::optional<RegVirtualKey> key = provider(relative);
    if (!key) return ERROR_FILE_NOT_FOUND;
    node->isVirtual = true;
    node->snapshot = std::move(*key);
    return ERROR_SUCCESS;
  }
  fs::path folder = RegistryRoot();
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return ERROR_FILE_NOT_FOUND;
  for (const std::u16string& piece : path) {
    std::optional<fs::path> next = FindEntry(folder, piece, true);
    if (!next) return ERROR_FILE_NOT_FOUND;
    folder = *next;
  }
  node->folder = folder;
  return ERROR_SUCCESS;
}

// The path of an open key (or of HKEY_LOCAL_MACHINE), or false for a handle
// that is not open.
bool KeyPath(HKEY key, Components* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  std::lock_guard lock(g_mutex);
  if (g_openKeys.count(key) == 0) return false;
  *path = key->path;
  return true;
}

// Resolves a handle to a key's contents; HKEY_LOCAL_MACHINE is resolved anew.
LONG Contents(HKEY key, RegKeyNode* out) {
  Components path;
  if (!KeyPath(key, &path)) return ERROR_INVALID_HANDLE;
  if (key == HKEY_LOCAL_MACHINE) return Resolve(path, out);
  std::lock_guard lock(g_mutex);
  *out = *key;
  return ERROR_SUCCESS;
}

template <typename Map>
auto FindValue(const Map& values, const std::u16string& name) {
  return std::find_if(values.begin(), values.end(),
                      [&](const auto& entry) { return EqualIgnoringAsciiCase(entry.first, name); });
}

std::optional<std::uint32_t> ParseDword(std::string text) {
  auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
  text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text = text.substr(2);
  }
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    int digit = (c >= '0' && c <= '9')                 ? c - '0'
                : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (base == 16 && c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                       : -1;
    if (digit < 0) return std::nullopt;
    value = value * base + digit;
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<std::string> ReadSmallFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (text.size() > (1u << 20)) return std::nullopt;
  }
  return text;
}

// Looks a value up: its type and bytes as the registry hands them out.
LONG ReadValue(const RegKeyNode& key, const std::u16string& name, DWORD* type,
               std::vector<BYTE>* bytes) {
  std::optional<std::uint32_t> dword;
  std::optional<std::u16string> text;
  if (key.isVirtual) {
    if (auto it = FindValue(key.snapshot.dwordValues, name); it != key.snapshot.dwordValues.end())
      dword = it->second;
    else if (auto it2 = FindValue(key.snapshot.textValues, name);
             it2 != key.snapshot.textValues.end())
      text = it2->second;
    else
      return ERROR_FILE_NOT_FOUND;
  } else if (auto file = FindEntry(key.folder, name + u".dword", false)) {
    auto content = ReadSmallFile(*file);
    if (content) dword = ParseDword(*content);
    if (!dword) return ERROR_INVALID_DATA;
  } else if (auto file2 = FindEntry(key.folder, name + u".sz", false)) {
    auto content = ReadSmallFile(*file2);
    if (!content) return ERROR_INVALID_DATA;
    text = Utf8ToUtf16(*content);
  } else {
    return ERROR_FILE_NOT_FOUND;
  }
  if (dword) {
    *type = REG_DWORD;
    bytes->resize(sizeof(std::uint32_t));
    std::memcpy(bytes->data(), &*dword, sizeof(std::uint32_t));  // little-endian, as stored
  } else {
    *type = REG_SZ;
    bytes->resize((text->size() + 1) * sizeof(char16_t));
    std::memcpy(bytes->data(), text->c_str(), bytes->size());
  }
  return ERROR_SUCCESS;
}

std::vector<std::u16string> SubKeys(const RegKeyNode& key) {
  if (key.isVirtual) return key.snapshot.subKeys;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(key.folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec)) names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  std::vector<std::u16string> result;
  for (const std::string& name : names) result.push_back(Utf8ToUtf16(name));
  return result;
}

LONG OpenKey(HKEY key, const char16_t* subKey, DWORD samDesired, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (samDesired & kWriteAccess) return ERROR_ACCESS_DENIED;
  Components path;
  if (!KeyPath(key, &path)) return ERROR_INVALID_HANDLE;
  if (!SplitKeyPath(subKey, &path)) return ERROR_FILE_NOT_FOUND;
  auto node = std::make_unique<RegKeyNode>();
  LONG status = Resolve(path, node.get());
  if (status != ERROR_SUCCESS) return status;
  std::lock_guard lock(g_mutex);
  g_openKeys.insert(node.get());
  *result = node.release();
  return ERROR_SUCCESS;
}

LONG QueryValue(HKEY key, const char16_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                DWORD* cbData) {
  if (reserved != nullptr || (data != nullptr && cbData == nullptr)) return ERROR_INVALID_PARAMETER;
  RegKeyNode contents;
  LONG status = Contents(key, &contents);
  if (status != ERROR_SUCCESS) return status;
  DWORD valueType = 0;
  std::vector<BYTE> bytes;
  status = ReadValue(contents, valueName != nullptr ? std::u16string(valueName) : std::u16string(),
                     &valueType, &bytes);
  if (status != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = valueType;
  if (cbData == nullptr) return ERROR_SUCCESS;
  DWORD needed = static_cast<DWORD>(bytes.size());
  if (data != nullptr && *cbData < needed) {
    *cbData = needed;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) std::memcpy(data, bytes.data(), needed);
  *cbData = needed;
  return ERROR_SUCCESS;
}

LONG EnumKey(HKEY key, DWORD index, char16_t* name, DWORD* cchName, DWORD* reserved,
             char16_t* className, DWORD* cchClassName) {
  if (name == nullptr || cchName == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
  RegKeyNode contents;
  LONG status = Contents(key, &contents);
  if (status != ERROR_SUCCESS) return status;
  std::vector<std::u16string> subKeys = SubKeys(contents);
  if (index >= subKeys.size()) return ERROR_NO_MORE_ITEMS;
  const std::u16string& subKey = subKeys[index];
  if (*cchName < subKey.size() + 1) return ERROR_MORE_DATA;
  std::memcpy(name, subKey.c_str(), (subKey.size() + 1) * sizeof(char16_t));
  *cchName = static_cast<DWORD>(subKey.size());
  if (className != nullptr && cchClassName != nullptr && *cchClassName > 0) className[0] = 0;
  if (cchClassName != nullptr) *cchClassName = 0;
  return ERROR_SUCCESS;
}

// The system's registry calls report every failure as a status and never
// throw; so do these.
template <typename Call>
LONG WithoutExceptions(Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

}  // namespace

const char* RegistryRoot() {
  const char* root = g_testRoot.load();
  return root != nullptr ? root : kSystemRegistryRoot;
}

void SetRegistryRootForTesting(const char* path) { g_testRoot.store(path); }

LONG RegOpenKeyExW(HKEY key, const char16_t* subKey, DWORD, DWORD samDesired, HKEY* result) {
  return WithoutExceptions([&] { return OpenKey(key, subKey, samDesired, result); });
}

LONG RegQueryValueExW(HKEY key, const char16_t* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* cbData) {
  return WithoutExceptions(
      [&] { return QueryValue(key, valueName, reserved, type, data, cbData); });
}

LONG RegEnumKeyExW(HKEY key, DWORD index, char16_t* name, DWORD* cchName, DWORD* reserved,
                   char16_t* className, DWORD* cchClassName, void*) {
  return WithoutExceptions(
      [&] { return EnumKey(key, index, name, cchName, reserved, className, cchClassName); });
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::lock_guard lock(g_mutex);
  if (g_openKeys.erase(key) == 0) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

void RegMountVirtualKey(const std::u16string& path, RegVirtualProvider provider) {
  Components components;
  SplitKeyPath(path.c_str(), &components);
  std::lock_guard lock(g_mutex);
  for (Mount& mount : g_mounts) {
    if (mount.path.size() == components.size() && StartsWith(mount.path, components)) {
      mount.provider = std::move(provider);
      return;
    }
  }
  g_mounts.push_back(Mount{std::move(components), std::move(provider)});
}
