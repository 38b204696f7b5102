// Self-registration of the ASIO driver: the COM class under
// HKEY_CLASSES_ROOT\CLSID\{clsid} and the driver's entry under
// HKEY_LOCAL_MACHINE\SOFTWARE\ASIO, the key ASIO hosts list drivers from.
#pragma once
#include <windows.h>
#include <objbase.h>

// Results of the routines: 0 or one of these.
enum AsioRegistrationError {
  kRegModuleNotLoaded = -101,
  kRegNoModuleFileName = -102,
  kRegClsidNotConverted = -103,
  kRegClsidTextNotConverted = -104,
};

// Writes both registrations for the loaded module at modulePath. The CLSID
// tree is kept when it already names this module (compared without regard to
// case) and replaced otherwise; the ASIO key is always rewritten.
int RegisterAsioDriver(const CLSID &clsid, const char *modulePath, const char *registryName,
                       const char *description, const char *threadingModel);
// Removes both registrations, whichever exist.
int UnregisterAsioDriver(const CLSID &clsid, const char *modulePath, const char *registryName);

// Deletes parent\name and everything below it, children before parents.
// -1 when parent\name cannot be opened or a key could not be deleted.
int DeleteRegistryTree(HKEY parent, const char *name);
