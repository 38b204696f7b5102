// kernel32 modules: LoadLibraryA, GetProcAddress and FreeLibrary for the
// system DLLs winsim provides. Each is loaded once per machine and never
// unloaded; a module winsim does not have is not found.
#include <cctype>
#include <string>

#include "winsim/user/user_modules.h"

namespace {

struct Module {
  const char *name;  // lower case, without the extension
  FARPROC (*lookup)(const std::string &name);
};

const Module kModules[] = {{"ksuser", winsim::KsUserExport}};

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
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  const Module *module = ModuleOf(hModule);
  if (module == nullptr || lpProcName == nullptr) {
    SetLastError(module == nullptr ? ERROR_MOD_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  FARPROC proc = module->lookup(lpProcName);
  if (proc == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return proc;
}

BOOL FreeLibrary(HMODULE hLibModule) {
  if (ModuleOf(hLibModule) == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}
