// The Machine: one simulated Windows computer. It owns the scheduler, the
// kernel's global state and the registry, runs virtual time for the test or
// tool that drives it, and (from the USB layer on) plugs devices in and out.
//
// One Machine exists at a time in a process. The thread that creates it is
// attached as a simulated test thread for the Machine's lifetime.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/fault_injection.h"
#include "winsim/kernel/ke_dpc_timer.h"
#include "winsim/sched/dispatch_cpu.h"
#include "winsim/sched/parallel_mode.h"
#include "winsim/sched/scheduler.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/setup/inf_install.h"
#include "winsim/usb/usb_host.h"

namespace winsim {

struct MachineOptions {
  // Folder where the registry is loaded from at boot and saved to at
  // shutdown ("registry.reg"); empty: nothing persists.
  std::string stateFolder;
  // Real-time pacing factor (1.0 = virtual time follows the wall clock);
  // 0 runs as fast as possible.
  double pacing = 0;
  // Name of the creating thread in logs and reports.
  std::string threadName = "test";
  // Echo the debug log to stderr as it is written.
  bool echoLog = false;
  // Low-resources simulation armed once the machine has booted (see
  // winsim/kernel/fault_injection.h); none when absent.
  std::optional<AllocationFaultPlan> allocationFaults;
  // Parallel mode (winsim/sched/parallel_mode.h): what Windows may run at
  // the same time runs at the same time, start times and wake-up order
  // drawn from its seed. Off when absent: the machine runs serially and
  // deterministically.
  std::optional<ParallelOptions> parallel;
  // Kernel timers expire on clock ticks with jitter (winsim/kernel/
  // ke_dpc_timer.h); exactly at their due time when absent.
  std::optional<TimerTickOptions> timerTicks;
  // Isochronous scheduling threshold of every bus's host controller, in
  // frames (0: the controller's default, 1).
  uint32_t usbSchedulingThreshold = 0;
  // Most CPU time one DPC routine or URB completion may take, in ns; more
  // is a bug check (winsim/sched/dispatch_cpu.h). 0: no budget.
  uint64_t dispatchCpuBudgetNs = 0;
  // How long a driver may hold a power or PnP IRP (virtual time) before the
  // machine stops with DRIVER_POWER_STATE_FAILURE; 0: no watchdog.
  VTime irpWatchdogLimit = 10 * kTicksPerSecond;
  // Sleep (S3) cuts the USB bus power, as on machines without standby power
  // on their ports: devices come back reset, as after a hibernate.
  bool sleepCutsBusPower = false;
  // The driver logger device (winsim/kernel/trace_logger.h) with these
  // options; the machine has none when absent.
  std::optional<TraceLoggerOptions> traceLogger;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  static Machine *Current();

  Scheduler &Threads() { return m_scheduler; }
  VTime Now() const { return m_scheduler.Now(); }

  // Lets virtual time pass for the calling (attached) thread.
  void RunFor(VTime duration);
  // Runs until pred holds at a quiescent moment or timeout passes; returns
  // whether pred held. pred runs under the dispatcher lock: it may read state
  // but must not call winsim.
  bool RunUntil(const std::function<bool()> &pred, VTime timeout);

  std::vector<LogLine> Log() const { return DebugLog::Snapshot(); }

  // CPU time spent per DPC routine or per URB completion since boot.
  CpuHistogram DispatchCpuTime(DispatchWork work) const { return DispatchCpu::Instance().Snapshot(work); }

  // Saves the registry to the state folder now (also done at shutdown).
  // Refused when the folder's registry could not be loaded at boot, so a
  // damaged file is never overwritten.
  bool SaveState(std::string *error = nullptr);
  // Why the state folder's registry was not loaded; empty when it was (or
  // when there is no state folder or no file yet).
  const std::string &StateError() const { return m_stateError; }

  // USB: the buses exist from boot (kMachineUsbBuses of them, numbered from
  // 1), each a host controller with its own frame counter and root hub.
  // Plugging enumerates the device over its bus and gives it a PDO; the
  // listener (the plug-and-play manager) hears of arrivals and departures.
  std::vector<usb::UsbBus *> Buses() const;
  // Null for a bus number the machine does not have.
  usb::UsbBus *Bus(uint32_t number) const;
  usb::UsbDeviceHandle PlugDevice(std::shared_ptr<usb::UsbFunction> device, uint32_t bus = 1);
  // Surprise: pending URBs fail and later ones are refused at once, then the
  // listener hears of it. Orderly: the listener removes the driver stack
  // before the device leaves the bus.
  bool UnplugDevice(usb::UsbDeviceHandle handle, bool surprise);
  std::vector<usb::UsbDeviceInfo> UsbDevices() const;
  void SetUsbDeviceListener(usb::UsbDeviceListener listener);
  // Records every transfer of one bus, or of every bus (0), into a usbmon
  // pcap file until StopBusCapture or shutdown.
  usb::PcapStatus CaptureBus(const std::string &path, uint32_t bus = 0);
  usb::PcapStatus StopBusCapture();

  // Plug and Play and power (winsim/kernel/pnp_manager.h): installed
  // drivers bind to plugged devices by hardware id. Each call returns once
  // the manager has carried it out.
  PnpManager &Pnp() { return *m_pnp; }
  // Installs a driver package from its INF (fileName names it in messages),
  // as Windows' setup does on this 64-bit machine: each model's hardware ids
  // bind to the function driver service its install section adds, whose
  // image is the entry `services` gives for that name; a bound device gets
  // its model's registry values and interfaces before the driver loads.
  // pickedIds: ids of devices the user points at the INF although it does
  // not list them (Device Manager's "Have Disk"): they get its first model.
  // A malformed INF installs nothing and is refused with the line at fault.
  setup::PackageResult InstallPackage(std::string_view fileName, std::string_view infText,
                                      const setup::ServiceEntries &services,
                                      const std::vector<std::u16string> &pickedIds = {});
  // A package given directly, without an INF (winsim's own tests of drivers).
  void InstallDriver(const std::u16string &serviceName, PDRIVER_INITIALIZE entry,
                     std::vector<std::u16string> hardwareIds);
  // Sleep (S3), hibernate (S4) and wake (S0) for every started device; false
  // when a device refused the query. A critical hibernate (the battery runs
  // out) asks no device first. Hibernate cuts the USB bus power (and sleep
  // too with sleepCutsBusPower): every device loses its state. A device
  // unplugged while the machine sleeps is surprise-removed when it wakes.
  bool Suspend();
  bool Hibernate(bool critical = false);
  void Resume();

  // Fails allocations of the driver under test from now on (counting
  // restarts), or stops failing them.
  void ArmAllocationFaults(const AllocationFaultPlan &plan);
  void DisarmAllocationFaults();

  // Adds the driver logger device now (before the driver under test loads);
  // false when the machine has one already.
  bool StartTraceLogger(const TraceLoggerOptions &options = {});
  // The machine's logger device, or null.
  TraceLogger *TraceLog() const { return m_traceLogger.get(); }

 private:
  MachineOptions m_options;
  Scheduler m_scheduler;
  std::string m_stateError;
  std::unique_ptr<usb::UsbHost> m_usb;
  std::unique_ptr<PnpManager> m_pnp;
  std::unique_ptr<TraceLogger> m_traceLogger;

  void ResetKernelState();
  void ConfigureTiming();
  void BootRegistry();
  std::string RegistryFile() const;
};

}  // namespace winsim
