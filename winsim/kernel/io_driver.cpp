#include "winsim/kernel/io_driver.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/io_workers.h"
#include "winsim/kernel/live_objects.h"
#include "winsim/kernel/pool.h"
#include "winsim/kernel/registry_handles.h"

namespace winsim {
namespace {

// The driver object with the strings it points to. Not pool: the object is
// the I/O manager's, and must not show up in the driver's leak report.
struct LoadedDriver {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string serviceName;
  std::u16string driverName;
  std::u16string registryPath;
  UNICODE_STRING registryPathString{};
};

class DriverTable {
 public:
  static DriverTable &Instance() {
    static DriverTable table;
    return table;
  }
  std::mutex lock;
  std::map<PDRIVER_OBJECT, std::unique_ptr<LoadedDriver>> drivers;
};

UNICODE_STRING View(std::u16string &text) {
  UNICODE_STRING view;
  view.Buffer = text.data();
  view.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  view.MaximumLength = view.Length;
  return view;
}

// Every major function a driver leaves unset fails the request, as on Windows.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  (void)DeviceObject;
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::unique_ptr<LoadedDriver> MakeDriver(PDRIVER_INITIALIZE entry, const std::u16string &serviceName) {
  auto driver = std::make_unique<LoadedDriver>();
  driver->serviceName = serviceName;
  driver->driverName = u"\\Driver\\" + serviceName;
  driver->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  driver->registryPathString = View(driver->registryPath);
  DRIVER_OBJECT &object = driver->object;
  object.Type = IO_TYPE_DRIVER;
  object.Size = sizeof(DRIVER_OBJECT);
  object.DriverExtension = &driver->extension;
  object.DriverName = View(driver->driverName);
  object.DriverInit = entry;
  for (PDRIVER_DISPATCH &dispatch : object.MajorFunction) dispatch = InvalidDeviceRequest;
  driver->extension.DriverObject = &object;
  driver->extension.ServiceKeyName = View(driver->serviceName);
  return driver;
}

// Windows unloads a driver only once its device objects are gone, and a
// queued or running work item keeps its device referenced; so unloading
// first lets the driver's work items finish, for a while of virtual time.
constexpr VTime kWorkItemGrace = 10 * kTicksPerSecond;

void LetWorkItemsFinish(PDRIVER_OBJECT driver) {
  auto pending = [driver] { return !SystemWorkers::Instance().DescribeWorkFor(driver).empty(); };
  if (!pending()) return;
  Scheduler &scheduler = *Scheduler::Active();
  scheduler.WaitUntil([&pending] { return !pending(); }, scheduler.Now() + kWorkItemGrace);
}

// Nothing keeps a driver loaded for its executive work items: one still
// queued when it unloads would run code that is gone. One running may be
// returning from a routine that just signalled the unload to go on; it gets
// the same grace as the driver's I/O work items to leave.
void CheckExecutiveWork(const std::string &name, const char *when, const std::source_location &site) {
  std::vector<LiveObject> work = SystemWorkers::Instance().ExecutiveWork(false);
  if (work.empty()) {
    auto running = [] { return !SystemWorkers::Instance().ExecutiveWork(true).empty(); };
    Scheduler &scheduler = *Scheduler::Active();
    if (running()) scheduler.WaitUntil([&running] { return !running(); }, scheduler.Now() + kWorkItemGrace);
    work = SystemWorkers::Instance().ExecutiveWork(true);
  }
  if (work.empty()) return;
  std::string detail = "driver '" + name + "' " + when + " with executive work pending:";
  for (const LiveObject &item : work) detail += "\n      " + item.what;
  BugCheck(BugCode::kDriverUnloadedWithoutCancellingPendingOperations, detail, site);
}

void CheckNothingLeft(PDRIVER_OBJECT driver, const char *when, const std::source_location &site) {
  std::string name = Narrow(driver->DriverName);
  std::vector<std::string> devices = DeviceCreationSites(driver);
  if (!devices.empty()) {
    std::string detail = "driver '" + name + "' " + when + " with " + std::to_string(devices.size()) +
                         " device object(s) not deleted, created at:";
    for (const std::string &where : devices) detail += "\n      " + where;
    BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
  }
  std::string work = SystemWorkers::Instance().DescribeWorkFor(driver);
  if (!work.empty()) {
    BugCheck(BugCode::kDriverUnloadedWithoutCancellingPendingOperations,
             "driver '" + name + "' " + when + " with work items pending: " + work, site);
  }
  CheckExecutiveWork(name, when, site);
  Pool::Instance().CheckNoLeaks((std::string("when driver '") + name + "' " + when).c_str(), site);
  std::vector<LiveObject> live = LiveObjectsOutsidePool();
  if (!live.empty()) {
    std::string detail = "driver '" + name + "' " + when + " with kernel objects still live:";
    for (const LiveObject &object : live) detail += "\n      " + object.what;
    BugCheck(live.front().code, detail, site);
  }
  std::vector<std::string> handles = RegistryHandles().DescribeOpen();
  if (!handles.empty()) {
    std::string detail = "driver '" + name + "' " + when + " with " + std::to_string(handles.size()) +
                         " registry handle(s) open:";
    for (const std::string &handle : handles) detail += "\n      " + handle;
    BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
  }
}

}  // namespace

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE driverEntry, const std::u16string &serviceName, NTSTATUS *status,
                          const std::source_location &site) {
  RequirePassive("LoadDriver", site);
  std::unique_ptr<LoadedDriver> driver = MakeDriver(driverEntry, serviceName);
  PDRIVER_OBJECT object = &driver->object;
  PUNICODE_STRING registryPath = &driver->registryPathString;
  {
    DriverTable &table = DriverTable::Instance();
    std::lock_guard<std::mutex> guard(table.lock);
    table.drivers[object] = std::move(driver);
  }
  NTSTATUS result = driverEntry(object, registryPath);
  RequireIrqlRestored("DriverEntry", PASSIVE_LEVEL, site);
  if (status != nullptr) *status = result;
  if (NT_SUCCESS(result)) return object;
  char code[16];
  std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(result));
  DebugLog::Append("io", "DriverEntry of '" + Narrow(object->DriverName) + "' failed with status " + code);
  LetWorkItemsFinish(object);
  CheckNothingLeft(object, "failed to load", site);
  std::lock_guard<std::mutex> guard(DriverTable::Instance().lock);
  DriverTable::Instance().drivers.erase(object);
  return nullptr;
}

void UnloadDriver(PDRIVER_OBJECT driver, const std::source_location &site) {
  RequirePassive("UnloadDriver", site);
  if (!IsLoadedDriver(driver)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "UnloadDriver of " + Hex(driver) + ", which is not a loaded driver's object", site);
  }
  LetWorkItemsFinish(driver);
  driver->Flags |= DRVO_UNLOAD_INVOKED;
  if (driver->DriverUnload != nullptr) {
    driver->DriverUnload(driver);
    RequireIrqlRestored("DriverUnload", PASSIVE_LEVEL, site);
  }
  CheckNothingLeft(driver, "unloaded", site);
  DriverTable &table = DriverTable::Instance();
  std::lock_guard<std::mutex> guard(table.lock);
  table.drivers.erase(driver);
}

bool IsLoadedDriver(PDRIVER_OBJECT driver) {
  DriverTable &table = DriverTable::Instance();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.drivers.count(driver) != 0;
}

void ResetDriverTable() {
  DriverTable &table = DriverTable::Instance();
  std::lock_guard<std::mutex> guard(table.lock);
  table.drivers.clear();
}

}  // namespace winsim
