// IoCreateSymbolicLink and IoDeleteSymbolicLink in the DOS-devices directory.
#include "winsim/kernel/io_symlinks.h"

#include <map>
#include <mutex>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/pnp_text.h"

namespace winsim {
namespace {

struct LinkTable {
  std::mutex lock;
  std::map<std::u16string, std::u16string> targets;  // upcased link name -> target
};

LinkTable &Links() {
  static LinkTable table;
  return table;
}

// The three spellings of the DOS-devices directory, upcased.
constexpr std::u16string_view kDosDirectories[] = {u"\\??\\", u"\\DOSDEVICES\\", u"\\GLOBAL??\\"};

// Length of the directory prefix of an upcased path, 0 when it has none.
size_t DosPrefix(const std::u16string &upper) {
  for (std::u16string_view directory : kDosDirectories) {
    if (upper.compare(0, directory.size(), directory) == 0) return directory.size();
  }
  return 0;
}

// The table key of a link name: the upcased name inside the directory. Empty
// for a name outside it or one naming a subdirectory, which winsim's object
// namespace does not have.
std::u16string LinkKey(const std::u16string &linkName) {
  std::u16string upper = pnp::Upcase(linkName);
  size_t prefix = DosPrefix(upper);
  if (prefix == 0) return {};
  std::u16string key = upper.substr(prefix);
  return key.find(u'\\') == std::u16string::npos ? key : std::u16string();
}

}  // namespace

bool ResolveDosDevice(const std::u16string &path, std::u16string *target, std::u16string *rest) {
  const std::u16string upper = pnp::Upcase(path);
  const size_t prefix = DosPrefix(upper);
  if (prefix == 0) return false;
  const size_t end = upper.find(u'\\', prefix);
  const std::u16string key = upper.substr(prefix, end == std::u16string::npos ? end : end - prefix);
  LinkTable &table = Links();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.targets.find(key);
  if (key.empty() || it == table.targets.end()) return false;
  *target = it->second;
  *rest = end == std::u16string::npos ? std::u16string() : path.substr(end);
  return true;
}

size_t SymbolicLinkCount() {
  LinkTable &table = Links();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.targets.size();
}

void ResetSymbolicLinks() {
  LinkTable &table = Links();
  std::lock_guard<std::mutex> guard(table.lock);
  table.targets.clear();
}

}  // namespace winsim

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName,
                              const std::source_location &winsimSite) {
  winsim::RequirePassive("IoCreateSymbolicLink", winsimSite);
  if (SymbolicLinkName == nullptr || DeviceName == nullptr || DeviceName->Length == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  const std::u16string key = winsim::LinkKey(winsim::pnp::FromUnicodeString(SymbolicLinkName));
  if (key.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  winsim::LinkTable &table = winsim::Links();
  std::lock_guard<std::mutex> guard(table.lock);
  // A link left by an earlier load of the driver (never deleted) stays: the
  // name is taken until someone deletes it.
  if (!table.targets.emplace(key, winsim::pnp::FromUnicodeString(DeviceName)).second) {
    return STATUS_OBJECT_NAME_COLLISION;
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName, const std::source_location &winsimSite) {
  winsim::RequirePassive("IoDeleteSymbolicLink", winsimSite);
  if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  const std::u16string key = winsim::LinkKey(winsim::pnp::FromUnicodeString(SymbolicLinkName));
  winsim::LinkTable &table = winsim::Links();
  std::lock_guard<std::mutex> guard(table.lock);
  return !key.empty() && table.targets.erase(key) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
