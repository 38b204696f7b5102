// Loading and unloading drivers: winsim creates the DRIVER_OBJECT, calls the
// driver's entry point the way the I/O manager does, and on unload checks
// that the driver left nothing behind (devices, queued work, pool).
#pragma once
#include <wdm.h>

#include <source_location>
#include <string>

namespace winsim {

// Creates the driver object of service `serviceName` (DriverName
// \Driver\<name>, registry path
// \Registry\Machine\System\CurrentControlSet\Services\<name>) and calls
// driverEntry at PASSIVE_LEVEL on the calling thread. Returns the driver
// object, or NULL with *status set when DriverEntry fails (what it allocated
// is then checked for leaks, as at unload).
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE driverEntry, const std::u16string &serviceName,
                          NTSTATUS *status = nullptr,
                          const std::source_location &site = std::source_location::current());

// Lets the driver's queued and running work items finish (up to 10 s of
// virtual time), calls DriverUnload, then bug checks when the driver's device
// objects, work items or pool outlive it, when a timer, DPC, executive work
// item or lookaside list of its own is still live, or when a registry handle
// is still open; then frees the driver object. Objects outside pool and
// registry handles are not tied to a driver: they are charged to the one that
// unloads, which is right as long as one driver with such objects is loaded
// (the usbhub driver has none).
void UnloadDriver(PDRIVER_OBJECT driver, const std::source_location &site = std::source_location::current());

bool IsLoadedDriver(PDRIVER_OBJECT driver);

// Forgets every driver object (machine shutdown: no unload routines run).
void ResetDriverTable();

}  // namespace winsim
