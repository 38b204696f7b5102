// An I/O control sent the way the tool's KS clients send every request: on a
// handle opened for overlapped I/O, with an event of its own, waited for when
// it pends (a pin's stream requests do).
#pragma once
#include <windows.h>

namespace qav {

// ERROR_SUCCESS or the Win32 error, with *bytes as DeviceIoControl or the
// overlapped result reported them (kept for ERROR_MORE_DATA).
DWORD WaitedIoctl(HANDLE handle, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize, DWORD *bytes);

}  // namespace qav
