// The system calls through which the library sends its requests. They are
// the Windows functions themselves unless a test replaces one (to make the
// kernel answer in a way no driver is asked to, or a wait fail); replace them
// only while no request is in flight, and restore them with Reset.
#pragma once
#include "uac2common/directks/ksplatform.h"

namespace directks {

struct KsSystemCalls {
  BOOL(WINAPI *deviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  HANDLE(WINAPI *createEvent)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR);
  DWORD(WINAPI *waitForSingleObject)(HANDLE, DWORD);

  void Reset();
};

KsSystemCalls &KsSystem();

}  // namespace directks
