// The registry's kernel handle table.
#include "registry_handles.h"

#include <atomic>

namespace winsim {

HANDLE RegistryHandleTable::Insert(RegKeyRef key, ACCESS_MASK grantedAccess, const std::source_location &openedAt) {
  std::lock_guard lock(mutex_);
  const ULONG_PTR value = next_;
  next_ += 4;
  entries_.emplace(value, Entry{std::move(key), grantedAccess, openedAt});
  return reinterpret_cast<HANDLE>(value);
}

NTSTATUS RegistryHandleTable::Reference(HANDLE handle, ACCESS_MASK required, RegKeyRef *key) const {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == entries_.end()) return STATUS_INVALID_HANDLE;
  if ((it->second.grantedAccess & required) != required) return STATUS_ACCESS_DENIED;
  *key = it->second.key;
  return STATUS_SUCCESS;
}

NTSTATUS RegistryHandleTable::Close(HANDLE handle) {
  RegKeyRef released;  // dropped after the lock, it may be the last reference
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == entries_.end()) return STATUS_INVALID_HANDLE;
  released = std::move(it->second.key);
  entries_.erase(it);
  return STATUS_SUCCESS;
}

bool RegistryHandleTable::Owns(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  return entries_.count(reinterpret_cast<ULONG_PTR>(handle)) != 0;
}

bool RegistryHandleTable::WasClosed(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  const auto value = reinterpret_cast<ULONG_PTR>(handle);
  return value >= kFirstHandle && value < next_ && (value - kFirstHandle) % 4 == 0 && entries_.count(value) == 0;
}

size_t RegistryHandleTable::OpenCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::vector<std::string> RegistryHandleTable::DescribeOpen() const {
  std::vector<std::pair<RegKeyRef, std::source_location>> open;
  {
    std::lock_guard lock(mutex_);
    for (const auto &[value, entry] : entries_) {
      (void)value;
      open.emplace_back(entry.key, entry.openedAt);
    }
  }
  std::vector<std::string> lines;
  for (const auto &[key, openedAt] : open) {
    RegName path;
    std::string name = "<deleted key>";
    if (NT_SUCCESS(SystemRegistry().KeyPath(key, &path))) {
      name.clear();
      for (char16_t c : path) name += c < 0x80 ? static_cast<char>(c) : '?';
    }
    lines.push_back(name + " (opened at " + openedAt.file_name() + ":" + std::to_string(openedAt.line()) + ")");
  }
  return lines;
}

void RegistryHandleTable::Reset() {
  std::unordered_map<ULONG_PTR, Entry> released;  // keys dropped after the lock
  std::lock_guard lock(mutex_);
  released.swap(entries_);
}

RegistryHandleTable &RegistryHandles() {
  static RegistryHandleTable table;
  return table;
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted =
      desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED | KEY_WOW64_RES);
  if (desired & GENERIC_READ) granted |= KEY_READ;
  if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
  return granted;
}

static std::atomic<NTSTATUS (*)(HANDLE)> nonRegistryCloser{nullptr};

void SetNonRegistryHandleCloser(NTSTATUS (*closer)(HANDLE)) { nonRegistryCloser.store(closer); }

NTSTATUS CloseNonRegistryHandle(HANDLE handle) {
  NTSTATUS (*closer)(HANDLE) = nonRegistryCloser.load();
  return closer != nullptr ? closer(handle) : STATUS_INVALID_HANDLE;
}

}  // namespace winsim
