// ole32's COM library (host build): apartments, in-process activation through
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, CLSID strings and the task
// allocator. Implemented by winsim/user/ole32_*.cpp.
#pragma once
#include <windows.h>
#include <unknwn.h>

typedef WCHAR OLECHAR, *LPOLESTR;
typedef const WCHAR *LPCOLESTR;
typedef CLSID *LPCLSID;

typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_ALL = 0x17
} CLSCTX;

// The DLL entry point's reasons (winnt.h on Windows).
#ifndef DLL_PROCESS_ATTACH
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#endif

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
HRESULT CoInitialize(LPVOID pvReserved);
void CoUninitialize(void);
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv);
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID *ppv);
// Frees in-process servers whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries(void);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in memory from CoTaskMemAlloc.
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR *lplpsz);
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);
