// Kernel handles to registry keys, as ZwOpenKey/ZwCreateKey hand them out and
// ZwClose takes them back.
#pragma once
#include <mutex>
#include <source_location>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry_store.h"

namespace winsim {

// Handle values look like x64 kernel handles (top bit set, multiples of 4) and
// are never reused within a run, so a closed handle stays invalid instead of
// silently naming a newer key.
class RegistryHandleTable {
 public:
  HANDLE Insert(RegKeyRef key, ACCESS_MASK grantedAccess,
                const std::source_location &openedAt = std::source_location::current());
  // STATUS_INVALID_HANDLE for a handle this table did not issue or that is
  // closed; STATUS_ACCESS_DENIED when it was opened without a right in required.
  NTSTATUS Reference(HANDLE handle, ACCESS_MASK required, RegKeyRef *key) const;
  NTSTATUS Close(HANDLE handle);
  bool Owns(HANDLE handle) const;
  // A handle this table issued and that has been closed since.
  bool WasClosed(HANDLE handle) const;
  // Open handles: a driver that unloads with some left has leaked them.
  size_t OpenCount() const;
  // One "\Registry\… (opened at file:line)" per open handle.
  std::vector<std::string> DescribeOpen() const;
  // Machine boot: handles of an earlier machine's registry are gone.
  void Reset();

 private:
  struct Entry {
    RegKeyRef key;
    ACCESS_MASK grantedAccess;
    std::source_location openedAt;
  };
  static constexpr ULONG_PTR kFirstHandle = 0xFFFFFFFF90000000ull;
  mutable std::mutex mutex_;
  std::unordered_map<ULONG_PTR, Entry> entries_;
  ULONG_PTR next_ = kFirstHandle;
};

RegistryHandleTable &RegistryHandles();

// Rights a kernel caller gets for DesiredAccess: generic rights map to the key
// rights, MAXIMUM_ALLOWED to KEY_ALL_ACCESS.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desiredAccess);

// ZwClose passes a handle that is not a registry key to this closer (the
// object manager's other handles); without one it is STATUS_INVALID_HANDLE.
void SetNonRegistryHandleCloser(NTSTATUS (*closer)(HANDLE handle));
NTSTATUS CloseNonRegistryHandle(HANDLE handle);

}  // namespace winsim
