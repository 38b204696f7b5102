// Registration and unregistration of the driver's COM class and ASIO entry.
#include "uac2common/asiodriver/registration.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

namespace {

// Module file names and the InprocServer32 value are compared in this many
// bytes at most.
constexpr DWORD kPathBytes = 360;
constexpr int kClsidTextBytes = 100;
// "CLSID\" and the CLSID text.
constexpr size_t kClsidKeyBytes = 8 + kClsidTextBytes;
constexpr size_t kKeyPathBytes = 512;
constexpr DWORD kRegAccess = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;

// What both routines first establish about the module and the class.
struct ModuleIdentity {
  char fileName[kPathBytes + 1];      // lower case
  char clsidText[kClsidTextBytes];  // brace form
};

void ToLower(char *text) {
  for (; *text != '\0'; ++text) *text = static_cast<char>(tolower(static_cast<unsigned char>(*text)));
}

int Identify(const CLSID &clsid, const char *modulePath, ModuleIdentity *identity) {
  HMODULE module = GetModuleHandleA(modulePath);
  if (module == nullptr) return kRegModuleNotLoaded;
  memset(identity, 0, sizeof *identity);
  DWORD length = GetModuleFileNameA(module, identity->fileName, kPathBytes);
  // A name that filled the buffer may be cut short: registering it would
  // name another file.
  if (length == 0 || length >= kPathBytes) return kRegNoModuleFileName;
  ToLower(identity->fileName);
  LPOLESTR wide = nullptr;
  if (FAILED(StringFromCLSID(clsid, &wide))) return kRegClsidNotConverted;
  int converted = WideCharToMultiByte(CP_ACP, 0, wide, -1, identity->clsidText, kClsidTextBytes, nullptr, nullptr);
  CoTaskMemFree(wide);
  if (converted == 0) return kRegClsidTextNotConverted;
  return 0;
}

// REG_SZ values are written with their terminating zero, as RegSetValueExA
// requires, so readers that do not terminate themselves get a string.
void SetString(HKEY key, const char *name, const char *text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), static_cast<DWORD>(strlen(text) + 1));
}

bool KeyExists(HKEY parent, const char *path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// True when CLSID\{clsid}\InprocServer32 names fileName (already lower case).
bool ServerIsModule(const char *clsidKey, const char *fileName) {
  char path[kKeyPathBytes];
  snprintf(path, sizeof path, "%s\\%s", clsidKey, "InprocServer32");
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char server[kPathBytes + 1] = {};
  DWORD bytes = 0;
  bool same = false;
  if (RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &bytes) == ERROR_SUCCESS && bytes <= kPathBytes &&
      RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE *>(server), &bytes) == ERROR_SUCCESS) {
    ToLower(server);
    same = strcmp(server, fileName) == 0;
  }
  RegCloseKey(key);
  return same;
}

void WriteClassKeys(const ModuleIdentity &identity, const char *description, const char *threadingModel) {
  char path[kKeyPathBytes];
  snprintf(path, sizeof path, "%s\\%s", "CLSID", identity.clsidText);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, kRegAccess, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    SetString(key, nullptr, description);
    RegCloseKey(key);
  }
  snprintf(path, sizeof path, "%s\\%s\\%s", "CLSID", identity.clsidText, "InprocServer32");
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, kRegAccess, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    SetString(key, nullptr, identity.fileName);
    SetString(key, "ThreadingModel", threadingModel);
    RegCloseKey(key);
  }
}

void WriteAsioKey(const ModuleIdentity &identity, const char *registryName, const char *description) {
  char path[kKeyPathBytes];
  snprintf(path, sizeof path, "%s\\%s", "SOFTWARE", "ASIO");
  HKEY asio = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &asio) != ERROR_SUCCESS) {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &asio, nullptr);
  } else if (KeyExists(asio, registryName)) {
    DeleteRegistryTree(asio, registryName);
  }
  if (asio != nullptr) RegCloseKey(asio);
  snprintf(path, sizeof path, "%s\\%s\\%s", "SOFTWARE", "ASIO", registryName);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, kRegAccess, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  SetString(key, "CLSID", identity.clsidText);
  SetString(key, "Description", description);
  RegCloseKey(key);
}

}  // namespace

int RegisterAsioDriver(const CLSID &clsid, const char *modulePath, const char *registryName,
                       const char *description, const char *threadingModel) {
  ModuleIdentity identity;
  int result = Identify(clsid, modulePath, &identity);
  if (result != 0) return result;
  char clsidKey[kClsidKeyBytes];
  snprintf(clsidKey, sizeof clsidKey, "%s\\%s", "CLSID", identity.clsidText);
  bool keep = false;
  if (KeyExists(HKEY_CLASSES_ROOT, clsidKey)) {
    keep = ServerIsModule(clsidKey, identity.fileName);
    if (!keep) {
      HKEY classes = nullptr;
      if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &classes) == ERROR_SUCCESS) {
        DeleteRegistryTree(classes, identity.clsidText);
        RegCloseKey(classes);
      }
    }
  }
  if (!keep) WriteClassKeys(identity, description, threadingModel);
  WriteAsioKey(identity, registryName, description);
  return 0;
}

int UnregisterAsioDriver(const CLSID &clsid, const char *modulePath, const char *registryName) {
  ModuleIdentity identity;
  int result = Identify(clsid, modulePath, &identity);
  if (result != 0) return result;
  HKEY parent = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &parent) == ERROR_SUCCESS) {
    if (KeyExists(parent, identity.clsidText)) DeleteRegistryTree(parent, identity.clsidText);
    RegCloseKey(parent);
  }
  char path[kKeyPathBytes];
  snprintf(path, sizeof path, "%s\\%s", "SOFTWARE", "ASIO");
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &parent) == ERROR_SUCCESS) {
    if (KeyExists(parent, registryName)) DeleteRegistryTree(parent, registryName);
    RegCloseKey(parent);
  }
  return 0;
}
