#include "tools/qav/waited_ioctl.h"

namespace qav {

DWORD WaitedIoctl(HANDLE handle, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize, DWORD *bytes) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return GetLastError();
  DWORD error = ERROR_SUCCESS;
  if (!DeviceIoControl(handle, code, in, inSize, out, outSize, bytes, &overlapped)) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      error = GetOverlappedResult(handle, &overlapped, bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
    }
  }
  CloseHandle(overlapped.hEvent);
  return error;
}

}  // namespace qav
