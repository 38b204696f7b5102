#include "winsim/machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "winsim/kernel/ex_lookaside.h"
#include "winsim/kernel/io_system.h"
#include "winsim/kernel/ke_time.h"
#include "winsim/kernel/lock_order.h"
#include "winsim/kernel/ob_file_handles.h"
#include "winsim/kernel/pool.h"
#include "winsim/kernel/registry_handles.h"
#include "winsim/kernel/registry_regfile.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/user/device_notification.h"
#include "winsim/user/handles.h"
#include "winsim/user/registry_api.h"
#include "winsim/user/user_file.h"
#include "winsim/user/user_state.h"

namespace winsim {
namespace {

Machine *g_current = nullptr;

// Keys every Windows machine has; HKEY_CLASSES_ROOT and HKEY_CURRENT_USER
// are views of the last two.
const char16_t *const kStandardKeys[] = {
    u"\\Registry\\Machine\\SOFTWARE",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum",
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\SOFTWARE\\Classes",
    u"\\Registry\\User\\.DEFAULT",
};

LONGLONG VirtualSystemTime() { return kBootSystemTime + Now(); }

// "DPC: 1200 runs, mean 2.1 us, 99 % under 8 us, max 31.0 us"; empty when
// nothing ran.
std::string CpuSummary(DispatchWork work) {
  const CpuHistogram histogram = DispatchCpu::Instance().Snapshot(work);
  if (histogram.count == 0) return {};
  char text[160];
  std::snprintf(text, sizeof text, "%s: %llu runs, mean %.1f us, 99 %% under %llu us, max %.1f us",
                DispatchWorkName(work), static_cast<unsigned long long>(histogram.count),
                static_cast<double>(histogram.totalNs) / static_cast<double>(histogram.count) / 1000.0,
                static_cast<unsigned long long>(histogram.PercentileNs(0.99) / 1000),
                static_cast<double>(histogram.maxNs) / 1000.0);
  return text;
}

// The run's CPU time at DISPATCH_LEVEL, into the log as the machine goes
// down (the histograms themselves: Machine::DispatchCpuTime).
void ReportDispatchCpu() {
  for (DispatchWork work : {DispatchWork::Dpc, DispatchWork::UrbCompletion}) {
    std::string summary = CpuSummary(work);
    if (!summary.empty()) DebugLog::Append("machine", "CPU at DISPATCH_LEVEL per " + summary);
  }
}

}  // namespace

Machine::Machine(MachineOptions options) : m_options(std::move(options)) {
  if (g_current != nullptr) {
    std::fprintf(stderr, "winsim: a second Machine was created while one is running\n");
    std::abort();
  }
  g_current = this;
  DebugLog::Clear();
  DebugLog::SetEcho(m_options.echoLog);
  ResetKernelState();
  ConfigureTiming();
  m_scheduler.Activate();
  m_scheduler.Attach(m_options.threadName, ThreadKind::Test);
  StartIoSystem(m_scheduler);
  BootRegistry();
  m_usb = std::make_unique<usb::UsbHost>(m_scheduler, usb::kMachineUsbBuses);
  if (m_options.usbSchedulingThreshold != 0) {
    for (usb::UsbBus *bus : m_usb->Buses()) bus->Controller().SetSchedulingThreshold(m_options.usbSchedulingThreshold);
  }
  m_pnp = std::make_unique<PnpManager>(m_scheduler);
  m_pnp->ListenTo(*m_usb);
  ResetProcessUsers();
  ResetUserModeState();
  StartDeviceBroadcasts(*m_pnp);
  m_pnp->SetIrpWatchdogLimit(m_options.irpWatchdogLimit);
  usb::UsbPdo::SetSleepCutsBusPower(m_options.sleepCutsBusPower);
  if (!m_options.traceLogger) m_options.traceLogger = DefaultTraceLogger();
  if (m_options.traceLogger) StartTraceLogger(*m_options.traceLogger);
  if (m_options.allocationFaults) ArmAllocationFaults(*m_options.allocationFaults);
  // Last: pacing measures from the moment the machine is ready.
  if (m_options.pacing > 0) m_scheduler.SetPacing(m_options.pacing);
}

// What a previous machine in this process left in winsim's kernel tables.
void Machine::ResetKernelState() {
  AllocationFaults::Instance().Disarm();
  Pool::Instance().Reset();
  LockOrder::Instance().Reset();
  ResetLookasideLists();
  RegistryHandles().Reset();
  ResetKernelFileHandles();
  HandleTable::Instance().Reset();
}

// Before any thread of the machine starts: they read it as they start.
void Machine::ConfigureTiming() {
  ParallelMode::Instance().Configure(m_options.parallel);
  std::optional<uint64_t> shuffle;
  if (m_options.parallel) shuffle = ParallelMode::Instance().Draw(RandomStream::Wakes);
  m_scheduler.SetWakeShuffle(shuffle);
  SetTimerTicks(m_options.timerTicks);
  DispatchCpu::Instance().Reset(m_options.dispatchCpuBudgetNs);
  if (m_options.parallel) DebugLog::Append("machine", "boot: " + ParallelMode::Instance().Describe());
  if (m_options.timerTicks) {
    char text[128];
    std::snprintf(text, sizeof text, "boot: timers expire on %.3f ms clock ticks, jitter up to %.3f ms, seed %u",
                  static_cast<double>(m_options.timerTicks->period) / kTicksPerMillisecond,
                  static_cast<double>(m_options.timerTicks->jitter) / kTicksPerMillisecond,
                  m_options.timerTicks->seed);
    DebugLog::Append("machine", text);
  }
}

void Machine::ArmAllocationFaults(const AllocationFaultPlan &plan) { AllocationFaults::Instance().Arm(plan); }

void Machine::DisarmAllocationFaults() { AllocationFaults::Instance().Disarm(); }

std::string Machine::RegistryFile() const { return m_options.stateFolder + "/registry.reg"; }

void Machine::BootRegistry() {
  Registry &registry = SystemRegistry();
  registry.Clear();
  registry.SetTimeSource(&VirtualSystemTime);
  for (const char16_t *path : kStandardKeys) {
    RegKeyRef key;
    ULONG disposition = 0;
    RegCreateOptions options;
    options.withParents = true;
    registry.CreateKey(nullptr, path, options, &key, &disposition);
  }
  if (!m_options.stateFolder.empty() && std::filesystem::exists(RegistryFile())) {
    RegFileError error;
    if (!NT_SUCCESS(LoadRegFile(registry, RegistryFile(), &error))) {
      m_stateError = RegistryFile() + ":" + std::to_string(error.line) + ": " + error.message;
      DebugLog::Append("machine", "registry not loaded, the file is left as it is: " + m_stateError);
    }
  }
  registry.SetFlushHandler([this] { return SaveState() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL; });
}

Machine::~Machine() {
  DisarmAllocationFaults();
  WaitForDeferredCloses();  // they report to the PnP manager
  m_pnp.reset();  // stops listening once its queued work is done
  m_usb.reset();  // completes what the buses hold while the I/O manager still runs
  m_traceLogger.reset();
  ReportDispatchCpu();
  if (!m_options.stateFolder.empty()) SaveState();
  SystemRegistry().SetFlushHandler(nullptr);
  StopIoSystem();
  m_scheduler.Detach();
  m_scheduler.ReapThreads();
  HandleTable::Instance().Reset();
  // Powering off: pool still held by device objects of stacks that were never
  // removed (a device left plugged in) goes with the machine. Driver leaks are
  // reported when a driver unloads, not here.
  Pool::Instance().Reset();
  ParallelMode::Instance().Configure(std::nullopt);
  SetTimerTicks(std::nullopt);
  m_scheduler.Deactivate();
  g_current = nullptr;
}

Machine *Machine::Current() { return g_current; }

bool Machine::StartTraceLogger(const TraceLoggerOptions &options) {
  if (m_traceLogger != nullptr) return false;
  m_traceLogger = std::make_unique<TraceLogger>(options);
  return true;
}

void Machine::RunFor(VTime duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  if (duration > 0) KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool Machine::RunUntil(const std::function<bool()> &pred, VTime timeout) {
  VTime deadline = timeout >= kInfinite - Now() ? kInfinite : Now() + timeout;
  return m_scheduler.WaitUntil(pred, deadline);
}

bool Machine::SaveState(std::string *error) {
  if (m_options.stateFolder.empty()) return true;
  if (!m_stateError.empty()) {
    if (error != nullptr) *error = "not saved: the registry was not loaded at boot (" + m_stateError + ")";
    return false;
  }
  std::error_code ignored;
  std::filesystem::create_directories(m_options.stateFolder, ignored);
  RegFileError failure;
  if (!NT_SUCCESS(SaveRegFile(SystemRegistry(), RegistryFile(), &failure))) {
    if (error != nullptr) *error = RegistryFile() + ": " + failure.message;
    return false;
  }
  return true;
}

std::vector<usb::UsbBus *> Machine::Buses() const { return m_usb->Buses(); }

usb::UsbBus *Machine::Bus(uint32_t number) const { return m_usb->Bus(number); }

// The start's continuation (PostStart) runs on after the manager is done
// with the arrival; the caller gets the device once it finished.
usb::UsbDeviceHandle Machine::PlugDevice(std::shared_ptr<usb::UsbFunction> device, uint32_t bus) {
  usb::UsbDeviceHandle handle = m_usb->Plug(std::move(device), bus);
  m_pnp->WaitIdle();
  return handle;
}

bool Machine::UnplugDevice(usb::UsbDeviceHandle handle, bool surprise) {
  bool unplugged = m_usb->Unplug(handle, surprise);
  m_pnp->WaitIdle();  // the driver's unload waits for the PDO to go
  return unplugged;
}

std::vector<usb::UsbDeviceInfo> Machine::UsbDevices() const { return m_usb->Devices(); }

void Machine::SetUsbDeviceListener(usb::UsbDeviceListener listener) { m_usb->SetListener(std::move(listener)); }

usb::PcapStatus Machine::CaptureBus(const std::string &path, uint32_t bus) { return m_usb->StartCapture(path, bus); }

usb::PcapStatus Machine::StopBusCapture() { return m_usb->StopCapture(); }

void Machine::InstallDriver(const std::u16string &serviceName, PDRIVER_INITIALIZE entry,
                            std::vector<std::u16string> hardwareIds) {
  DriverPackage package;
  package.serviceName = serviceName;
  package.entry = entry;
  package.hardwareIds = std::move(hardwareIds);
  m_pnp->InstallDriver(std::move(package));
}

setup::PackageResult Machine::InstallPackage(std::string_view fileName, std::string_view infText,
                                             const setup::ServiceEntries &services,
                                             const std::vector<std::u16string> &pickedIds) {
  std::vector<DriverPackage> packages;
  setup::PackageResult result =
      setup::BuildDriverPackages(fileName, infText, setup::kArchitectureAmd64, services, pickedIds, &packages);
  DebugLog::Append("setup", result.Describe());
  for (DriverPackage &package : packages) m_pnp->InstallDriver(std::move(package));
  return result;
}

bool Machine::Suspend() { return m_pnp->SetSystemPower(PowerSystemSleeping3, PowerActionSleep); }

bool Machine::Hibernate(bool critical) {
  return m_pnp->SetSystemPower(PowerSystemHibernate, PowerActionHibernate, critical);
}

void Machine::Resume() { m_pnp->SetSystemPower(PowerSystemWorking, PowerActionNone); }

}  // namespace winsim
