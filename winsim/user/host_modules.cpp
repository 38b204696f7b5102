// The loader's table of host modules. The table lock is never held while a
// module's DllMain runs: an entry point may call back into the loader
// (GetModuleFileNameA) and may run simulated waits.
#include "winsim/user/host_modules.h"

#include <dlfcn.h>
#include <strings.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "winsim/kernel/debug_log.h"

namespace winsim {
namespace {

namespace fs = std::filesystem;

struct HostModule {
  std::string path;
  void *library = nullptr;
  PDLL_MAIN dllMain = nullptr;
  int loads = 0;
};

struct ModuleTable {
  std::mutex lock;
  std::map<HostModule *, std::unique_ptr<HostModule>> modules;
};

ModuleTable &Table() {
  static ModuleTable table;
  return table;
}

HostModule *LookupLocked(HMODULE handle) {
  auto it = Table().modules.find(reinterpret_cast<HostModule *>(handle));
  return it != Table().modules.end() ? it->second.get() : nullptr;
}

bool SameName(const std::string &a, const std::string &b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// The directory entry of `directory` named `name` without regard to case.
std::string FindEntry(const fs::path &directory, const std::string &name) {
  std::error_code error;
  if (fs::exists(directory / name, error)) return name;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::string candidate = it->path().filename().string();
    if (SameName(candidate, name)) return candidate;
  }
  return std::string();
}

BOOL CallEntry(HostModule *module, DWORD reason) {
  if (module->dllMain == nullptr) return TRUE;
  return module->dllMain(reinterpret_cast<HINSTANCE>(module), reason, nullptr);
}

void Unload(void *library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace

std::string ResolveHostPath(const std::string &path) {
  if (path.find('/') == std::string::npos) return std::string();
  fs::path given(path);
  fs::path current = given.is_absolute() ? fs::path("/") : fs::current_path();
  for (const fs::path &part : given.relative_path()) {
    std::string name = part.string();
    if (name.empty() || name == ".") continue;
    std::string entry = name == ".." ? name : FindEntry(current, name);
    if (entry.empty()) return std::string();
    current /= entry;
  }
  std::error_code error;
  if (!fs::is_regular_file(current, error)) return std::string();
  fs::path canonical = fs::canonical(current, error);
  return error ? std::string() : canonical.string();
}

HMODULE LoadHostModule(const std::string &path) {
  std::string resolved = ResolveHostPath(path);
  if (resolved.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    for (auto &entry : Table().modules) {
      if (entry.second->path == resolved) {
        ++entry.second->loads;
        return reinterpret_cast<HMODULE>(entry.first);
      }
    }
  }
  void *library = dlopen(resolved.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char *why = dlerror();
    DebugLog::Append("loader", "LoadLibraryA(" + resolved + ") failed: " + (why != nullptr ? why : "?"));
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  auto module = std::make_unique<HostModule>();
  module->path = resolved;
  module->library = library;
  module->dllMain = reinterpret_cast<PDLL_MAIN>(dlsym(library, "DllMain"));
  module->loads = 1;
  HostModule *raw = module.get();
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    Table().modules.emplace(raw, std::move(module));
  }
  if (CallEntry(raw, DLL_PROCESS_ATTACH)) return reinterpret_cast<HMODULE>(raw);
  // A module that refuses to attach is told to detach and unloaded again.
  CallEntry(raw, DLL_PROCESS_DETACH);
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    Table().modules.erase(raw);
  }
  Unload(library);
  DebugLog::Append("loader", "LoadLibraryA(" + resolved + "): DllMain refused DLL_PROCESS_ATTACH");
  SetLastError(ERROR_DLL_INIT_FAILED);
  return nullptr;
}

bool IsHostModule(HMODULE module) {
  std::lock_guard<std::mutex> guard(Table().lock);
  return LookupLocked(module) != nullptr;
}

FARPROC HostModuleExport(HMODULE module, const char *name) {
  std::lock_guard<std::mutex> guard(Table().lock);
  HostModule *entry = LookupLocked(module);
  if (entry == nullptr) return nullptr;
  return reinterpret_cast<FARPROC>(dlsym(entry->library, name));
}

BOOL FreeHostModule(HMODULE handle) {
  HostModule *module = nullptr;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    module = LookupLocked(handle);
    if (module == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (--module->loads > 0) return TRUE;
  }
  CallEntry(module, DLL_PROCESS_DETACH);
  void *library = module->library;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    Table().modules.erase(module);
  }
  Unload(library);
  return TRUE;
}

HMODULE FindHostModule(const std::string &name) {
  std::string resolved = name.find('/') != std::string::npos ? ResolveHostPath(name) : std::string();
  std::lock_guard<std::mutex> guard(Table().lock);
  for (auto &entry : Table().modules) {
    const std::string &path = entry.second->path;
    if (!resolved.empty() ? path == resolved : SameName(fs::path(path).filename().string(), name)) {
      return reinterpret_cast<HMODULE>(entry.first);
    }
  }
  return nullptr;
}

std::string HostModulePath(HMODULE module) {
  std::lock_guard<std::mutex> guard(Table().lock);
  HostModule *entry = LookupLocked(module);
  return entry != nullptr ? entry->path : std::string();
}

void ResetHostModules() {
  std::lock_guard<std::mutex> guard(Table().lock);
  for (auto &entry : Table().modules) Unload(entry.second->library);
  Table().modules.clear();
}

}  // namespace winsim
