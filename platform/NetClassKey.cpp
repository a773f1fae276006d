// Network adapter class key over /sys/class/net.
#include "platform/NetClassKey.h"

#include <cstdio>
#include <mutex>

#include "platform/IpHelperLinux.h"
#include "platform/Unicode.h"

namespace {

std::u16string SubKeyName(std::size_t index) {
  char name[16];
  std::snprintf(name, sizeof name, "%04zu", index);
  return std::u16string(name, name + std::char_traits<char>::length(name));
}

}  // namespace

RegVirtualProvider MakeNetClassKeyProvider(const std::filesystem::path& sysClassNet) {
  return [sysClassNet](const std::u16string& path) -> std::optional<RegVirtualKey> {
    const std::vector<NetInterfaceInfo> interfaces = ListNetInterfaces(sysClassNet);
    if (path.empty()) {
      RegVirtualKey key;
      for (std::size_t i = 0; i < interfaces.size(); ++i) key.subKeys.push_back(SubKeyName(i));
      return key;
    }
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
      if (path != SubKeyName(i)) continue;
      RegVirtualKey key;
      key.textValues[u"NetCfgInstanceId"] = Utf8ToUtf16(interfaces[i].name);
      key.dwordValues[u"Characteristics"] =
          interfaces[i].backedByDevice ? (NCF_PHYSICAL | NCF_HAS_UI) : NCF_VIRTUAL;
      return key;
    }
    return std::nullopt;
  };
}

bool MountNetClassKey() noexcept {
  static std::once_flag once;
  try {
    std::call_once(once, [] {
      RegMountVirtualKey(kNetClassKeyPath, MakeNetClassKeyProvider("/sys/class/net"));
    });
    return true;
  } catch (...) {
    // The flag stays unset: a later call tries again.
    return false;
  }
}
