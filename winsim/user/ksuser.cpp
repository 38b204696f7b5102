// ksuser.dll: KsCreatePin, reached as the deliverables reach it, through
// LoadLibraryA("ksuser.dll") and GetProcAddress.
#include <windows.h>
#include <wdm.h>
#include <ks.h>

#include <cstring>
#include <string>

#include "winsim/kernel/io_file.h"
#include "winsim/user/user_file.h"
#include "winsim/user/user_modules.h"

namespace winsim {
namespace {

// A pin is created by opening its filter relative to it with this name:
// KSSTRING_Pin, a backslash, then the KSPIN_CONNECT and its data format as
// binary, packed into the name's 16-bit units (taken by length).
constexpr char16_t kPinCreateName[] = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";
// The largest connection a name can carry (UNICODE_STRING lengths are 16-bit).
constexpr ULONG kMaxConnectBytes = 0xFFFE - sizeof(kPinCreateName);

DWORD WINAPI KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                         PHANDLE ConnectionHandle) {
  if (Connect == nullptr || ConnectionHandle == nullptr) return ERROR_INVALID_PARAMETER;
  *ConnectionHandle = nullptr;
  auto filter = HandleTable::Instance().LookupAs<UserFile>(FilterHandle);
  if (filter == nullptr) return ERROR_INVALID_HANDLE;
  const auto *format = reinterpret_cast<const KSDATAFORMAT *>(Connect + 1);
  const ULONG formatSize = format->FormatSize;
  if (formatSize > kMaxConnectBytes - sizeof(KSPIN_CONNECT)) return ERROR_INVALID_PARAMETER;
  const ULONG bytes = sizeof(KSPIN_CONNECT) + formatSize;
  std::u16string name(kPinCreateName);
  name.push_back(u'\\');
  const size_t start = name.size();
  name.resize(start + (bytes + 1) / 2, u'\0');
  std::memcpy(&name[start], Connect, bytes);
  PFILE_OBJECT pin = nullptr;
  NTSTATUS status = OpenFileObject(nullptr, name, filter->File(), UserMode, DesiredAccess, &pin);
  if (!NT_SUCCESS(status)) return RtlNtStatusToDosError(status);
  // Pin handles are asynchronous: streaming goes through OVERLAPPED requests.
  *ConnectionHandle = HandleTable::Instance().Insert(std::make_shared<UserFile>(pin, true));
  return ERROR_SUCCESS;
}

}  // namespace

FARPROC KsUserExport(const std::string &name) {
  // Through void * as GetProcAddress does: the caller casts to the real type.
  if (name == "KsCreatePin") return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&KsCreatePin));
  return nullptr;
}

}  // namespace winsim
