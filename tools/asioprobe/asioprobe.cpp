// asioprobe: finds the ASIO driver the way ASIO hosts do and checks what a
// host sees of it on a machine without a device. Windows only (the win64
// build); tools/wine-check.sh runs it under Wine after regsvr32.
//
//   asioprobe registered MODULE   the driver's ASIO key names a CLSID whose
//                                 InprocServer32 is MODULE (compared without
//                                 case); the object is created by that CLSID,
//                                 answers its name and version, init fails
//                                 (no device) and the object is released
//   asioprobe unregistered        neither the ASIO key nor the CLSID key is left
//
// Prints what it saw; exit code 0 when every check passed, 1 otherwise, 2 for
// a wrong command line.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <string.h>

#include "uac2common/asiodriver/asio_interface.h"
#include "uac2common/asiodriver/driver_clsid.h"

namespace {

int g_failures = 0;

void Check(bool ok, const char *what) {
  printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++g_failures;
}

// A string value of a key, "" when the key or value is missing or not REG_SZ.
bool ReadString(HKEY root, const char *path, const char *name, char *text, DWORD size) {
  text[0] = '\0';
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD bytes = size - 1;
  LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) {
    text[0] = '\0';
    return false;
  }
  text[bytes < size ? bytes : size - 1] = '\0';
  return true;
}

bool KeyExists(HKEY root, const char *path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The driver's CLSID in its brace form, as registration writes it.
void ClsidText(char *text, size_t size) {
  const GUID &g = CLSID_QZUsb2Asio;
  snprintf(text, size, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
           g.Data4[7]);
}

void AsioKeyPath(char *path, size_t size) { snprintf(path, size, "SOFTWARE\\ASIO\\%s", kAsioDriverName); }

// What a host does with the object once created: identity, then init without a device.
void ProbeDriver(IASIO *asio) {
  char name[64];
  memset(name, 0, sizeof name);
  asio->getDriverName(name);
  printf("     driver name \"%s\"\n", name);
  Check(strcmp(name, kAsioDriverName) == 0, "getDriverName answers the registered name");
  LONG version = asio->getDriverVersion();
  printf("     driver version %d\n", static_cast<int>(version));
  Check(version > 0, "getDriverVersion answers a positive version");
  ASIOBool started = asio->init(GetDesktopWindow());
  printf("     init -> %d\n", static_cast<int>(started));
  Check(started == ASIOFalse, "init fails without a device");
  char message[124 + 4];
  memset(message, 0x55, sizeof message);
  asio->getErrorMessage(message);
  bool terminated = memchr(message, '\0', 124) != nullptr;
  printf("     error message \"%.*s\"\n", terminated ? 124 : 0, message);
  Check(terminated, "getErrorMessage writes a terminated text within 124 bytes");
  LONG inputs = -1;
  LONG outputs = -1;
  Check(asio->getChannels(&inputs, &outputs) == ASE_NotPresent, "getChannels after the failed init: ASE_NotPresent");
}

int Registered(const char *module) {
  char asioKey[128];
  AsioKeyPath(asioKey, sizeof asioKey);
  char clsidText[64];
  Check(ReadString(HKEY_LOCAL_MACHINE, asioKey, "CLSID", clsidText, sizeof clsidText),
        "HKLM\\SOFTWARE\\ASIO\\<driver> has a CLSID value");
  printf("     CLSID \"%s\"\n", clsidText);
  char description[128];
  ReadString(HKEY_LOCAL_MACHINE, asioKey, "Description", description, sizeof description);
  Check(strcmp(description, kAsioDriverName) == 0, "the ASIO key's Description is the driver name");

  // Hosts take the CLSID from the ASIO key, not from their own knowledge of it.
  WCHAR wide[64];
  CLSID clsid = GUID_NULL;
  bool parsed = MultiByteToWideChar(CP_ACP, 0, clsidText, -1, wide, 64) > 0 && SUCCEEDED(CLSIDFromString(wide, &clsid));
  Check(parsed && IsEqualGUID(clsid, CLSID_QZUsb2Asio), "CLSIDFromString gives the driver's CLSID");

  char serverKey[160];
  snprintf(serverKey, sizeof serverKey, "CLSID\\%s\\InprocServer32", clsidText);
  char server[MAX_PATH + 1];
  ReadString(HKEY_CLASSES_ROOT, serverKey, nullptr, server, sizeof server);
  printf("     InprocServer32 \"%s\"\n", server);
  Check(_stricmp(server, module) == 0, "InprocServer32 names the registered module");
  char threading[32];
  ReadString(HKEY_CLASSES_ROOT, serverKey, "ThreadingModel", threading, sizeof threading);
  Check(strcmp(threading, "Apartment") == 0, "ThreadingModel is Apartment");
  if (!parsed) return 1;

  Check(SUCCEEDED(CoInitialize(nullptr)), "CoInitialize");
  IASIO *asio = nullptr;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void **>(&asio));
  printf("     CoCreateInstance -> 0x%08X\n", static_cast<unsigned>(hr));
  Check(SUCCEEDED(hr) && asio != nullptr, "CoCreateInstance with the CLSID as class and interface");
  if (asio != nullptr) {
    ProbeDriver(asio);
    ULONG left = asio->Release();
    Check(left == 0, "Release drops the last reference");
  }
  CoFreeUnusedLibraries();
  CoUninitialize();
  return g_failures == 0 ? 0 : 1;
}

int Unregistered() {
  char asioKey[128];
  AsioKeyPath(asioKey, sizeof asioKey);
  char clsidText[64];
  ClsidText(clsidText, sizeof clsidText);
  char clsidKey[96];
  snprintf(clsidKey, sizeof clsidKey, "CLSID\\%s", clsidText);
  Check(!KeyExists(HKEY_LOCAL_MACHINE, asioKey), "HKLM\\SOFTWARE\\ASIO\\<driver> is gone");
  Check(!KeyExists(HKEY_CLASSES_ROOT, clsidKey), "HKCR\\CLSID\\<driver CLSID> is gone");
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 3 && strcmp(argv[1], "registered") == 0) return Registered(argv[2]);
  if (argc == 2 && strcmp(argv[1], "unregistered") == 0) return Unregistered();
  fprintf(stderr, "usage: asioprobe registered MODULE | asioprobe unregistered\n");
  return 2;
}
