// Stands between the filter and the kernel: every request still reaches the
// real driver, then a test may change what came back, as a driver with a
// fault (short answers, inflated counts, odd descriptors) or a failing
// request would. Installed for the lifetime of the object.
#pragma once
#include <functional>

#include "uac2common/directks/kssystem.h"

namespace asiofiltertest {

struct InterposedCall {
  DWORD code;
  const void *input;
  DWORD inputSize;
  void *output;
  DWORD outputSize;
  // What the real request gave; the hook may change all three.
  BOOL result;
  DWORD bytes;
  DWORD error;  // GetLastError after a FALSE result
};

class DriverInterposer {
 public:
  explicit DriverInterposer(std::function<void(InterposedCall &)> hook);
  ~DriverInterposer();
  DriverInterposer(const DriverInterposer &) = delete;
  DriverInterposer &operator=(const DriverInterposer &) = delete;

  int calls = 0;

 private:
  static BOOL WINAPI DeviceIoControlHook(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                         DWORD outSize, LPDWORD bytes, LPOVERLAPPED overlapped);
  std::function<void(InterposedCall &)> m_hook;
  static DriverInterposer *s_active;
};

// The KS identifier (set and id) a property or method request carries.
bool RequestIs(const InterposedCall &call, DWORD code, const GUID &set, ULONG id);

}  // namespace asiofiltertest
