// kernel32 modules: LoadLibraryA, GetProcAddress and FreeLibrary for the
// system DLLs winsim provides (each is always loaded and never unloaded) and
// for host shared libraries loaded by path (winsim/user/host_modules.h). A
// bare name winsim does not have is not found.
#include <cctype>
#include <cstring>
#include <string>

#include "winsim/user/host_modules.h"
#include "winsim/user/user_faults.h"
#include "winsim/user/user_modules.h"

namespace {

struct Module {
  const char *name;  // lower case, without the extension
  FARPROC (*lookup)(const std::string &name);
};

const Module kModules[] = {{"ksuser", winsim::KsUserExport}, {"avrt", winsim::AvrtExport}};

// The program's own module: GetModuleHandleA(nullptr).
char g_programModule;

// Names below 0x10000 are ordinals; winsim's modules export by name only.
bool IsOrdinal(LPCSTR name) { return reinterpret_cast<uintptr_t>(name) < 0x10000; }

std::string BaseName(LPCSTR path) {
  std::string name(path);
  size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0) name.resize(name.size() - 4);
  return name;
}

const Module *ModuleOf(HMODULE module) {
  for (const Module &candidate : kModules) {
    if (reinterpret_cast<HMODULE>(const_cast<Module *>(&candidate)) == module) return &candidate;
  }
  return nullptr;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string name = BaseName(lpLibFileName);
  for (const Module &module : kModules) {
    if (name == module.name) return reinterpret_cast<HMODULE>(const_cast<Module *>(&module));
  }
  return winsim::LoadHostModule(lpLibFileName);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (winsim::IsHostModule(hModule)) {
    FARPROC proc = IsOrdinal(lpProcName) ? nullptr : winsim::HostModuleExport(hModule, lpProcName);
    if (proc == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
    return proc;
  }
  const Module *module = ModuleOf(hModule);
  if (module == nullptr || IsOrdinal(lpProcName)) {
    SetLastError(module == nullptr ? ERROR_MOD_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  FARPROC proc = module->lookup(lpProcName);
  if (proc == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return proc;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  if (winsim::IsHostModule(hLibModule)) return winsim::FreeHostModule(hLibModule);
  if (ModuleOf(hLibModule) == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
  if (lpModuleName == nullptr) return reinterpret_cast<HMODULE>(&g_programModule);
  std::string name = BaseName(lpModuleName);
  for (const Module &module : kModules) {
    if (name == module.name) return reinterpret_cast<HMODULE>(const_cast<Module *>(&module));
  }
  HMODULE module = winsim::FindHostModule(lpModuleName);
  if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return module;
}

// As on Windows: a name that does not fit is cut to nSize - 1 characters and
// terminated, the result is nSize and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (hModule == nullptr || hModule == reinterpret_cast<HMODULE>(&g_programModule)) {
    path = "C:\\Program Files\\winsim\\program.exe";
  } else if (const Module *module = ModuleOf(hModule)) {
    path = std::string("C:\\Windows\\System32\\") + module->name + ".dll";
  } else {
    path = winsim::HostModulePath(hModule);
  }
  if (path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (winsim::UserApiShouldFail("GetModuleFileNameA")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (lpFilename == nullptr || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= nSize) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}
