// The registry's kernel handle table.
#include "registry_handles.h"

#include <atomic>

namespace winsim {

HANDLE RegistryHandleTable::Insert(RegKeyRef key, ACCESS_MASK grantedAccess) {
  std::lock_guard lock(mutex_);
  const ULONG_PTR value = next_;
  next_ += 4;
  entries_.emplace(value, Entry{std::move(key), grantedAccess});
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

size_t RegistryHandleTable::OpenCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
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
