#include "driver_interposer.h"

#include <cstring>

namespace asiofiltertest {

DriverInterposer *DriverInterposer::s_active = nullptr;

DriverInterposer::DriverInterposer(std::function<void(InterposedCall &)> hook) : m_hook(std::move(hook)) {
  s_active = this;
  directks::KsSystem().deviceIoControl = &DriverInterposer::DeviceIoControlHook;
}

DriverInterposer::~DriverInterposer() {
  directks::KsSystem().Reset();
  s_active = nullptr;
}

// Pending requests are waited for here, so the hook always sees the outcome;
// the caller then receives a request that completed at once.
BOOL WINAPI DriverInterposer::DeviceIoControlHook(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                                  DWORD outSize, LPDWORD bytes, LPOVERLAPPED overlapped) {
  DWORD count = 0;
  BOOL result = ::DeviceIoControl(handle, code, in, inSize, out, outSize, &count, overlapped);
  DWORD error = result ? ERROR_SUCCESS : GetLastError();
  if (!result && error == ERROR_IO_PENDING) {
    result = GetOverlappedResult(handle, overlapped, &count, TRUE);
    error = result ? ERROR_SUCCESS : GetLastError();
  }
  InterposedCall call{code, in, inSize, out, outSize, result, count, error};
  ++s_active->calls;
  s_active->m_hook(call);
  if (bytes != nullptr) *bytes = call.bytes;
  if (!call.result) SetLastError(call.error);
  return call.result;
}

bool RequestIs(const InterposedCall &call, DWORD code, const GUID &set, ULONG id) {
  if (call.code != code || call.input == nullptr || call.inputSize < sizeof(KSIDENTIFIER)) return false;
  KSIDENTIFIER identifier;
  std::memcpy(&identifier, call.input, sizeof identifier);
  return std::memcmp(&identifier.Set, &set, sizeof(GUID)) == 0 && identifier.Id == id;
}

}  // namespace asiofiltertest
