// DllRegisterServer and DllUnregisterServer: run by regsvr32 (or an
// installer) on its own thread; failures are shown to the user.
#include <stdio.h>

#include "uac2common/asiodriver/com_exports.h"
#include "uac2common/asiodriver/com_module.h"
#include "uac2common/asiodriver/driver_clsid.h"
#include "uac2common/asiodriver/registration.h"

namespace {

constexpr HRESULT kRegistrationFailed = static_cast<HRESULT>(0xFFFFFFFF);

void ShowFailure(const char *format, int result) {
  char text[128];
  snprintf(text, sizeof text, format, result);
  MessageBoxA(nullptr, text, kAsioDriverName, MB_OK);
}

}  // namespace

STDAPI DllRegisterServer(void) {
  char path[MAX_PATH];
  snprintf(path, sizeof path, "SOFTWARE\\ASIO\\%s", kAsioDriverName);
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegCloseKey(key);
    return S_OK;
  }
  int result = RegisterAsioDriver(CLSID_QZUsb2Asio, g_szModulePath, kAsioDriverName, kAsioDriverName, "Apartment");
  if (result == 0) return S_OK;
  ShowFailure("Register Server failed ! (%d)", result);
  return kRegistrationFailed;
}

STDAPI DllUnregisterServer(void) {
  int result = UnregisterAsioDriver(CLSID_QZUsb2Asio, g_szModulePath, kAsioDriverName);
  if (result == 0) return S_OK;
  ShowFailure("Unregister Server failed ! (%d)", result);
  return kRegistrationFailed;
}
