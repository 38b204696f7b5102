// The power manager: system power transitions sent to every started device,
// and the Po* calls drivers make for power IRPs.
#include <cstddef>
#include <map>
#include <mutex>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/io_workers.h"
#include "winsim/kernel/pnp_irp.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_node.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/pnp_watchdog.h"

namespace winsim {

// Going to sleep: every device is asked first (children before parents, so
// in reverse enumeration order) and a single refusal cancels the
// transition; then each gets SET_POWER. Waking goes in enumeration order.
bool PnpManager::SetSystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action, bool critical) {
  bool accepted = true;
  RunAction("system power transition", [&] {
    std::vector<std::shared_ptr<DeviceNode>> nodes = StartedNodes();
    POWER_STATE target;
    target.SystemState = state;
    if (state != PowerSystemWorking) std::reverse(nodes.begin(), nodes.end());
    if (state != PowerSystemWorking && !critical) {
      for (size_t i = 0; i < nodes.size(); ++i) {
        PDEVICE_OBJECT top = pnp::ReferenceTop(nodes[i]->pdo);
        NTSTATUS status = pnp::SendPower(top, IRP_MN_QUERY_POWER, SystemPowerState, target, action);
        ObDereferenceObject(top);
        if (NT_SUCCESS(status)) continue;
        DebugLog::Append("power", pnp::Narrow(nodes[i]->InstancePath()) + " refused system state S" +
                                      std::to_string(static_cast<int>(state) - 1));
        CancelQuery(std::vector<std::shared_ptr<DeviceNode>>(nodes.begin(), nodes.begin() + static_cast<std::ptrdiff_t>(i) + 1));
        accepted = false;
        return;
      }
    }
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_systemAction = action;
    }
    for (const auto &node : nodes) {
      PDEVICE_OBJECT top = pnp::ReferenceTop(node->pdo);
      pnp::SendPower(top, IRP_MN_SET_POWER, SystemPowerState, target, action);
      ObDereferenceObject(top);
    }
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_systemAction = PowerActionNone;
      m_systemState = state;
    }
    if (state == PowerSystemWorking) DepartDeferred();
  });
  return accepted;
}

// A refused query is cancelled by SET_POWER of the state the system stays in.
void PnpManager::CancelQuery(const std::vector<std::shared_ptr<DeviceNode>> &asked) {
  POWER_STATE current;
  current.SystemState = SystemState();
  for (const auto &node : asked) {
    PDEVICE_OBJECT top = pnp::ReferenceTop(node->pdo);
    pnp::SendPower(top, IRP_MN_SET_POWER, SystemPowerState, current, PowerActionNone);
    ObDereferenceObject(top);
  }
}

POWER_ACTION PnpManager::SystemPowerAction() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_systemAction;
}

SYSTEM_POWER_STATE PnpManager::SystemState() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_systemState;
}

namespace {

// A power IRP PoRequestPowerIrp sends on a driver's behalf.
struct PowerRequest {
  WorkEntry entry;  // first: the worker hands it back when sent from DISPATCH_LEVEL
  PDEVICE_OBJECT requester;
  PDEVICE_OBJECT top;  // referenced until the IRP completes
  PIRP irp;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
  uint64_t watch;  // the watchdog's token
};

void Disarm(uint64_t watch) {
  if (pnp::IrpWatchdog *watchdog = pnp::IrpWatchdog::Active()) watchdog->Disarm(watch);
}

// The request may be gone once IoCallDriver returns: its completion frees it.
void Send(PowerRequest *request) {
  uint64_t watch = request->watch;
  IoCallDriver(request->top, request->irp);
  if (pnp::IrpWatchdog *watchdog = pnp::IrpWatchdog::Active()) watchdog->Dispatched(watch);
}

NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *request = static_cast<PowerRequest *>(context);
  IO_STATUS_BLOCK status = irp->IoStatus;
  Disarm(request->watch);
  if (request->completion != nullptr) {
    request->completion(request->requester, request->minor, request->state, request->context, &status);
  }
  IoFreeIrp(irp);
  ObDereferenceObject(request->top);
  delete request;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void SendFromWorker(WorkEntry *entry) {
  Send(reinterpret_cast<PowerRequest *>(entry));
}

void DiscardRequest(WorkEntry *entry) {
  auto *request = reinterpret_cast<PowerRequest *>(entry);
  Disarm(request->watch);
  IoFreeIrp(request->irp);
  ObDereferenceObject(request->top);
  delete request;
}

std::mutex g_powerStatesLock;
std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, POWER_STATE> g_powerStates;

}  // namespace
}  // namespace winsim

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const std::source_location &winsimSite) {
  return IofCallDriver(DeviceObject, Irp, winsimSite);
}

void PoStartNextPowerIrp(PIRP Irp) { (void)Irp; }

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp,
                           const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("PoRequestPowerIrp", winsimSite);
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (!winsim::IsLiveDevice(DeviceObject)) {
    winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation,
                     "PoRequestPowerIrp for " + winsim::Hex(DeviceObject) + ", which is not a live device object",
                     winsimSite);
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE, winsimSite);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    winsim::PnpManager *manager = winsim::PnpManager::Active();
    stack->Parameters.Power.ShutdownType = manager != nullptr ? manager->SystemPowerAction() : PowerActionNone;
  }
  auto *request = new winsim::PowerRequest{{&winsim::SendFromWorker, &winsim::DiscardRequest, nullptr, winsimSite},
                                           DeviceObject,
                                           top,
                                           irp,
                                           MinorFunction,
                                           PowerState,
                                           CompletionFunction,
                                           Context,
                                           0};
  IoSetCompletionRoutine(irp, winsim::PowerRequestDone, request, TRUE, TRUE, TRUE);
  if (Irp != nullptr) *Irp = irp;
  winsim::pnp::IrpWatchdog *watchdog = winsim::pnp::IrpWatchdog::Active();
  if (watchdog != nullptr && MinorFunction != IRP_MN_WAIT_WAKE) {
    request->watch = watchdog->Arm(irp, top, true, winsim::pnp::IrpName(stack));
  }
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    winsim::Send(request);
  } else {
    winsim::SystemWorkers::Instance().Queue(&request->entry, CriticalWorkQueue);
  }
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  std::lock_guard<std::mutex> guard(winsim::g_powerStatesLock);
  POWER_STATE previous;
  previous.DeviceState = Type == DevicePowerState ? PowerDeviceD0 : static_cast<DEVICE_POWER_STATE>(PowerSystemWorking);
  auto key = std::make_pair(DeviceObject, Type);
  auto it = winsim::g_powerStates.find(key);
  if (it != winsim::g_powerStates.end()) previous = it->second;
  winsim::g_powerStates[key] = State;
  return previous;
}
