#include "user_mode_client.h"

#include "uac2common/uac2private.h"
#include "winsim/user/device_paths.h"

namespace umclient {

using KsCreatePinFn = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

std::vector<std::string> FilterPaths(winsim::Machine &machine) {
  std::vector<std::string> paths;
  for (const winsim::DeviceInterfaceInfo &info : machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true)) {
    paths.push_back(winsim::UserInterfacePath(info));
  }
  return paths;
}

CKsHandle &CKsHandle::operator=(CKsHandle &&other) noexcept {
  if (this != &other) {
    Close();
    m_handle = other.Release();
  }
  return *this;
}

CKsHandle CKsHandle::OpenFilter(winsim::Machine &machine, size_t device) {
  std::vector<std::string> paths = FilterPaths(machine);
  if (device >= paths.size()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return CKsHandle();
  }
  HANDLE handle = CreateFileA(paths[device].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  return CKsHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

HANDLE CKsHandle::Release() {
  HANDLE handle = m_handle;
  m_handle = nullptr;
  return handle;
}

bool CKsHandle::Close() {
  if (!Valid()) return false;
  return CloseHandle(Release()) != FALSE;
}

KsReply CKsHandle::Ioctl(ULONG code, const void *in, ULONG inSize, void *out, ULONG outSize) const {
  KsReply reply;
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!DeviceIoControl(m_handle, code, const_cast<void *>(in), inSize, out, outSize, &reply.bytes, &overlapped)) {
    reply.error = GetLastError();
    if (reply.error == ERROR_IO_PENDING) {
      reply.error = GetOverlappedResult(m_handle, &overlapped, &reply.bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
  }
  CloseHandle(overlapped.hEvent);
  return reply;
}

KsReply CKsHandle::GetProperty(const GUID &set, ULONG id, void *value, ULONG valueSize) const {
  KSPROPERTY request{};
  request.Set = set;
  request.Id = id;
  request.Flags = KSPROPERTY_TYPE_GET;
  return Property(request, value, valueSize);
}

KsReply CKsHandle::GetPinProperty(ULONG pinId, ULONG id, void *value, ULONG valueSize) const {
  KSP_PIN request{};
  request.Property.Set = KSPROPSETID_Pin;
  request.Property.Id = id;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pinId;
  return Property(request, value, valueSize);
}

KsReply CKsHandle::GetMultiple(const void *request, ULONG requestSize, std::vector<BYTE> *answer) const {
  answer->clear();
  KsReply size = Ioctl(IOCTL_KS_PROPERTY, request, requestSize, nullptr, 0);
  if (size.error != ERROR_MORE_DATA) return size;
  answer->resize(size.bytes);
  KsReply reply = Ioctl(IOCTL_KS_PROPERTY, request, requestSize, answer->data(), size.bytes);
  answer->resize(reply.Ok() ? reply.bytes : 0);
  return reply;
}

DWORD CKsHandle::CreatePin(const void *connectAndFormat, CKsHandle *pin, ACCESS_MASK access) const {
  HMODULE ksuser = LoadLibraryA("ksuser.dll");
  if (ksuser == nullptr) return GetLastError();
  auto create = reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void *>(GetProcAddress(ksuser, "KsCreatePin")));
  if (create == nullptr) return GetLastError();
  HANDLE handle = nullptr;
  DWORD error = create(m_handle, static_cast<PKSPIN_CONNECT>(const_cast<void *>(connectAndFormat)), access, &handle);
  FreeLibrary(ksuser);
  *pin = CKsHandle(error == ERROR_SUCCESS ? handle : nullptr);
  return error;
}

}  // namespace umclient
