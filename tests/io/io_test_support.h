// A test driver for the I/O manager's tests: every device it creates
// dispatches every IRP to a std::function the test sets, so a test builds
// device stacks whose drivers behave exactly as the case needs.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/kernel/io_driver.h"
#include "winsim/machine.h"

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestExtension {
  const Dispatch *dispatch;
  PDEVICE_OBJECT lower;  // the device this one is attached to
  int level;             // 0 at the bottom
};

inline TestExtension *ExtensionOf(PDEVICE_OBJECT device) {
  return static_cast<TestExtension *>(device->DeviceExtension);
}

// Loads the test driver "QavIoTest".
PDRIVER_OBJECT LoadTestDriver();

// Creates a device of the test driver that dispatches to *dispatch.
PDEVICE_OBJECT CreateTestDevice(PDRIVER_OBJECT driver, const Dispatch *dispatch);

// A stack of test devices on one driver; level 0 is the bottom. Each level
// dispatches to dispatch[level]. At destruction the devices are detached and
// deleted and the driver unloaded, which checks that the test leaked nothing
// (skipped when the test already failed).
class DeviceStack {
 public:
  explicit DeviceStack(int depth);
  ~DeviceStack();
  DeviceStack(const DeviceStack &) = delete;
  DeviceStack &operator=(const DeviceStack &) = delete;

  PDEVICE_OBJECT Top() const { return m_devices.back(); }
  PDEVICE_OBJECT At(int level) const { return m_devices[level]; }
  int LevelOf(PDEVICE_OBJECT device) const;

  std::vector<Dispatch> dispatch;

 private:
  PDRIVER_OBJECT m_driver;
  std::vector<PDEVICE_OBJECT> m_devices;
};

// Dispatch behaviours.
Dispatch PassDownSkipping();
Dispatch PassDownCopying();  // on a stack location of its own
Dispatch CompleteWith(NTSTATUS status, ULONG_PTR information = 0);

// A thread-safe list of events, in the order they happened.
class Trace {
 public:
  void Add(std::string event);
  std::vector<std::string> Events() const;

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_events;
};

}  // namespace iotest
