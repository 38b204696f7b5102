#include "io_test_support.h"

namespace iotest {
namespace {

NTSTATUS DispatchToTest(PDEVICE_OBJECT device, PIRP irp) { return (*ExtensionOf(device)->dispatch)(device, irp); }

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = DispatchToTest;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

}  // namespace

PDRIVER_OBJECT LoadTestDriver() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = winsim::LoadDriver(TestDriverEntry, u"QavIoTest", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return driver;
}

PDEVICE_OBJECT CreateTestDevice(PDRIVER_OBJECT driver, const Dispatch *dispatch) {
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  ExtensionOf(device)->dispatch = dispatch;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

DeviceStack::DeviceStack(int depth) : dispatch(depth), m_driver(LoadTestDriver()) {
  for (int level = 0; level < depth; ++level) {
    PDEVICE_OBJECT device = CreateTestDevice(m_driver, &dispatch[level]);
    ExtensionOf(device)->level = level;
    if (level > 0) ExtensionOf(device)->lower = IoAttachDeviceToDeviceStack(device, m_devices.back());
    m_devices.push_back(device);
    dispatch[level] = level == 0 ? CompleteWith(STATUS_SUCCESS) : PassDownSkipping();
  }
}

DeviceStack::~DeviceStack() {
  for (auto it = m_devices.rbegin(); it != m_devices.rend(); ++it) {
    if (ExtensionOf(*it)->lower != nullptr) IoDetachDevice(ExtensionOf(*it)->lower);
    IoDeleteDevice(*it);
  }
  if (!::testing::Test::HasFailure()) winsim::UnloadDriver(m_driver);
}

int DeviceStack::LevelOf(PDEVICE_OBJECT device) const {
  for (size_t level = 0; level < m_devices.size(); ++level) {
    if (m_devices[level] == device) return static_cast<int>(level);
  }
  return -1;
}

Dispatch PassDownSkipping() {
  return [](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtensionOf(device)->lower, irp);
  };
}

Dispatch PassDownCopying() {
  return [](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(ExtensionOf(device)->lower, irp);
  };
}

Dispatch CompleteWith(NTSTATUS status, ULONG_PTR information) {
  return [status, information](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
}

void Trace::Add(std::string event) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_events.push_back(std::move(event));
}

std::vector<std::string> Trace::Events() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_events;
}

}  // namespace iotest
