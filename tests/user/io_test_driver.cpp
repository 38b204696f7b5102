#include "tests/user/io_test_driver.h"

#include <gtest/gtest.h>

#include "winsim/kernel/io_driver.h"

namespace usertest {
namespace {

IoTestDriver *g_active = nullptr;

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  IoTestDriver *driver = g_active;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      driver->Record("create");
      if (driver->onCreate) return driver->onCreate(irp, stack);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP:
      driver->Record("cleanup");
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
      driver->Record("close");
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
      driver->Record("ioctl");
      if (driver->onDeviceControl) return driver->onDeviceControl(irp, stack);
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto &major : driver->MajorFunction) major = Dispatch;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

IoTestDriver::IoTestDriver() {
  g_active = this;
  m_driver = winsim::LoadDriver(Entry, u"QavUserIo");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\QavUserIo");
  EXPECT_EQ(IoCreateDevice(m_driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_device), STATUS_SUCCESS);
  m_device->Flags &= ~DO_DEVICE_INITIALIZING;
}

IoTestDriver::~IoTestDriver() {
  IoDeleteDevice(m_device);
  winsim::UnloadDriver(m_driver);
  g_active = nullptr;
}

IoTestDriver *IoTestDriver::Active() { return g_active; }

std::vector<std::string> IoTestDriver::Seen() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_seen;
}

void IoTestDriver::Record(const std::string &what) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_seen.push_back(what);
}

}  // namespace usertest
