// kernel32 device files: CreateFile on a device-interface path,
// DeviceIoControl, GetOverlappedResult and CancelIo.
#include <string>

#include "winsim/kernel/io_file.h"
#include "winsim/sched/scheduler.h"
#include "winsim/user/kernel32_objects.h"
#include "winsim/user/user_file.h"

using winsim::HandleTable;
using winsim::UserFile;

namespace {

void SetLastNtError(NTSTATUS status) { SetLastError(RtlNtStatusToDosError(status)); }

// "\\?\", "\\.\" (DOS device names) and "\??\" all name the object
// manager's \??\ directory.
bool ToObjectName(std::u16string path, std::u16string *name) {
  if (path.size() < 4 || path[0] != u'\\' || path[3] != u'\\') return false;
  const bool win32Prefix = path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.');
  const bool ntPrefix = path[1] == u'?' && path[2] == u'?';
  if (!win32Prefix && !ntPrefix) return false;
  path[2] = u'?';
  path[1] = u'?';
  *name = std::move(path);
  return true;
}

HANDLE OpenPath(const std::u16string &path, DWORD access, DWORD disposition, DWORD flags) {
  std::u16string name;
  if (!ToObjectName(path, &name)) {
    SetLastError(ERROR_FILE_NOT_FOUND);  // winsim has devices only, no file system
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = winsim::OpenDevicePath(name, UserMode, access, &file);
  if (!NT_SUCCESS(status)) {
    SetLastNtError(status);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return HandleTable::Instance().Insert(std::make_shared<UserFile>(file, (flags & FILE_FLAG_OVERLAPPED) != 0));
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  if (lpFileName == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return OpenPath(lpFileName, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Device paths are ASCII.
  std::u16string wide;
  for (const char *c = lpFileName; *c != '\0'; ++c) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
  return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                     dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  auto file = HandleTable::Instance().LookupAs<UserFile>(hDevice);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpOverlapped == nullptr && lpBytesReturned == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);  // Windows faults writing the count; refuse instead
    return FALSE;
  }
  ULONG_PTR information = 0;
  NTSTATUS status = winsim::SendUserDeviceControl(file, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                                  nOutBufferSize, lpOverlapped, &information);
  if (status == STATUS_PENDING) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (lpBytesReturned != nullptr) *lpBytesReturned = NT_ERROR(status) ? 0 : static_cast<DWORD>(information);
  if (!NT_SUCCESS(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  auto file = HandleTable::Instance().LookupAs<UserFile>(hFile);
  if (file == nullptr || lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr) {
    SetLastError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto status = [&] { return static_cast<NTSTATUS>(__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE)); };
  if (status() == STATUS_PENDING) {
    if (!bWait) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(lpOverlapped->hEvent) & ~ULONG_PTR{1});
    DWORD wait = WaitForSingleObject(event != nullptr ? event : hFile, INFINITE);
    if (wait != WAIT_OBJECT_0) return FALSE;
  }
  *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (!NT_SUCCESS(status())) {
    SetLastNtError(status());
    return FALSE;
  }
  return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
  auto file = HandleTable::Instance().LookupAs<UserFile>(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  winsim::CancelThreadRequests(winsim::Scheduler::Current(), file->File());
  return TRUE;
}
