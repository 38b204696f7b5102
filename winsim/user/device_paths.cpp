#include "winsim/user/device_paths.h"

namespace winsim {

std::string UserInterfacePath(const DeviceInterfaceInfo &info) {
  std::string path = "\\\\?\\";
  // The link is \??\<instance>#{class}[\<reference>]: ASCII throughout.
  for (char16_t c : std::u16string_view(info.symbolicLink).substr(4)) {
    char narrow = static_cast<char>(c);
    path.push_back(narrow >= 'A' && narrow <= 'Z' ? static_cast<char>(narrow - 'A' + 'a') : narrow);
  }
  return path;
}

}  // namespace winsim
