// Host shared libraries loaded as DLLs: LoadLibraryA on a file of the host's
// file system opens it with the dynamic loader and runs its DllMain, as the
// Windows loader runs a DLL's entry point. Such a module resolves winsim's
// functions from the program that loads it (which links winsim and exports
// its symbols), so the module and the program share one machine.
#pragma once
#include <windows.h>

#include <string>

namespace winsim {

// Loads (or counts one more load of) the module at path; null with the
// thread's last error set when it cannot be loaded.
HMODULE LoadHostModule(const std::string &path);
// True when module is a host module loaded now.
bool IsHostModule(HMODULE module);
FARPROC HostModuleExport(HMODULE module, const char *name);
// Drops one load; the last runs DllMain(DLL_PROCESS_DETACH) and unloads.
BOOL FreeHostModule(HMODULE module);
// The loaded module whose path (or file name) equals name, without regard
// to case; null when none.
HMODULE FindHostModule(const std::string &name);
// Full path of a loaded module; empty when module is not one.
std::string HostModulePath(HMODULE module);

// The host file that path names, matching each component without regard
// to case as Windows' file system does; empty when there is none.
std::string ResolveHostPath(const std::string &path);

// Machine boot: modules a previous machine left loaded are unloaded without
// notification (their process is gone).
void ResetHostModules();

}  // namespace winsim
