// Kernel handles to file objects (ZwOpenFile on a named device) and the
// object-manager calls drivers use on them. Handles look like x64 kernel
// handles and are never reused within a run, so a stale handle stays invalid.
#include <wdm.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_file.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/ob_file_handles.h"
#include "winsim/kernel/registry_handles.h"

struct _OBJECT_TYPE {
  const char *name;
};

namespace {

struct FileHandleTable {
  std::mutex lock;
  std::unordered_map<ULONG_PTR, PFILE_OBJECT> open;
  std::unordered_set<ULONG_PTR> closed;
  ULONG_PTR next = 0xFFFFFFFFA0000000ull;

  static FileHandleTable &Instance() {
    static FileHandleTable table;
    return table;
  }
};

NTSTATUS CloseFileHandle(HANDLE handle) {
  FileHandleTable &table = FileHandleTable::Instance();
  PFILE_OBJECT file = nullptr;
  {
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.open.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == table.open.end()) {
      if (table.closed.count(reinterpret_cast<ULONG_PTR>(handle)) != 0) {
        winsim::BugCheck(winsim::BugCode::kInvalidKernelHandle,
                         "ZwClose of file handle " + winsim::Hex(handle) + ", which is closed already",
                         std::source_location::current());
      }
      return STATUS_INVALID_HANDLE;
    }
    file = found->second;
    table.open.erase(found);
    table.closed.insert(reinterpret_cast<ULONG_PTR>(handle));
  }
  winsim::CloseFileHandle(file);
  return STATUS_SUCCESS;
}

_OBJECT_TYPE g_fileObjectType{"File"};
POBJECT_TYPE g_fileObjectTypePointer = &g_fileObjectType;

}  // namespace

POBJECT_TYPE *IoFileObjectType = &g_fileObjectTypePointer;

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions,
                    const std::source_location &winsimSite) {
  (void)ShareAccess;
  (void)OpenOptions;
  winsim::RequirePassive("ZwOpenFile", winsimSite);
  if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr ||
      ObjectAttributes->ObjectName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  // Without OBJ_KERNEL_HANDLE the handle would land in whatever process the
  // driver happens to run in, where user code could use or close it.
  if ((ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0) {
    winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
                     "ZwOpenFile without OBJ_KERNEL_HANDLE: the handle is a user handle", winsimSite);
  }
  winsim::SetNonRegistryHandleCloser(&CloseFileHandle);
  *FileHandle = nullptr;
  PDEVICE_OBJECT device = winsim::FindNamedDevice(winsim::pnp::FromUnicodeString(ObjectAttributes->ObjectName));
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = device == nullptr
                        ? STATUS_OBJECT_NAME_NOT_FOUND
                        : winsim::OpenFileObject(device, u"", nullptr, KernelMode, DesiredAccess, &file);
  IoStatusBlock->Status = status;
  IoStatusBlock->Information = 0;
  if (!NT_SUCCESS(status)) return status;
  FileHandleTable &table = FileHandleTable::Instance();
  std::lock_guard<std::mutex> guard(table.lock);
  ULONG_PTR value = table.next;
  table.next += 4;
  table.open[value] = file;
  *FileHandle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID *Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation,
                                   const std::source_location &winsimSite) {
  (void)DesiredAccess;
  (void)AccessMode;
  winsim::RequirePassive("ObReferenceObjectByHandle", winsimSite);
  *Object = nullptr;
  FileHandleTable &table = FileHandleTable::Instance();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = table.open.find(reinterpret_cast<ULONG_PTR>(Handle));
  if (found == table.open.end()) return STATUS_INVALID_HANDLE;
  if (ObjectType != nullptr && ObjectType != *IoFileObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
  winsim::ReferenceFileObject(found->second);
  if (HandleInformation != nullptr) *HandleInformation = {0, DesiredAccess};
  *Object = found->second;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) { return winsim::FileTargetDevice(FileObject); }

namespace winsim {

size_t OpenKernelFileHandles() {
  FileHandleTable &table = FileHandleTable::Instance();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.open.size();
}

void ResetKernelFileHandles() {
  FileHandleTable &table = FileHandleTable::Instance();
  std::lock_guard<std::mutex> guard(table.lock);
  table.open.clear();
  table.closed.clear();
}

}  // namespace winsim
