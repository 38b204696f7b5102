// A small driver for the user-mode I/O tests: one named device,
// \Device\QavUserIo, whose every IRP goes to a function the test sets, with
// a trace of the major functions it saw. User mode opens it as
// \\?\GLOBALROOT\Device\QavUserIo.
#pragma once
#include <windows.h>
#include <wdm.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace usertest {

inline constexpr char kDevicePath[] = "\\\\?\\GLOBALROOT\\Device\\QavUserIo";

using Handler = std::function<NTSTATUS(PIRP irp, PIO_STACK_LOCATION stack)>;

class IoTestDriver {
 public:
  // Loads the driver and creates its device; Handler defaults complete
  // create, cleanup and close with success and everything else with
  // STATUS_INVALID_DEVICE_REQUEST.
  IoTestDriver();
  // Deletes the device and unloads the driver, which checks for leaks.
  ~IoTestDriver();

  static IoTestDriver *Active();

  Handler onCreate;
  Handler onDeviceControl;
  // Major functions in the order they arrived ("create", "cleanup", "close", "ioctl").
  std::vector<std::string> Seen() const;
  void Record(const std::string &what);
  PDEVICE_OBJECT Device() const { return m_device; }

 private:
  PDRIVER_OBJECT m_driver = nullptr;
  PDEVICE_OBJECT m_device = nullptr;
  mutable std::mutex m_lock;
  std::vector<std::string> m_seen;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace usertest
