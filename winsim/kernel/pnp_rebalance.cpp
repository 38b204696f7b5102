// Resource rebalance: the PnP manager stops a started device and starts it
// again, as Windows does when it reassigns resources.
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/pnp_irp.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_node.h"
#include "winsim/kernel/pnp_text.h"

namespace winsim {

NTSTATUS PnpManager::Rebalance(PDEVICE_OBJECT pdo) {
  NTSTATUS result = STATUS_INVALID_DEVICE_STATE;
  RunAction("resource rebalance", [&] {
    std::shared_ptr<DeviceNode> node = NodeOf(pdo);
    if (node == nullptr || !node->hasStack || node->state != DeviceNodeState::Started || node->gone) return;
    PDEVICE_OBJECT top = pnp::ReferenceTop(pdo);
    NTSTATUS status = pnp::SendPnp(top, IRP_MN_QUERY_STOP_DEVICE, {});
    if (!NT_SUCCESS(status)) {
      pnp::SendPnp(top, IRP_MN_CANCEL_STOP_DEVICE, {});
      ObDereferenceObject(top);
      DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": stop for rebalance vetoed by the driver stack");
      result = status;
      return;
    }
    pnp::SendPnp(top, IRP_MN_STOP_DEVICE, {});
    ObDereferenceObject(top);
    DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": stopped for rebalance");
    {
      std::lock_guard<std::mutex> guard(m_lock);
      node->postStartStatus = STATUS_SUCCESS;  // until a continuation reports otherwise
    }
    StartStack(*node);
    std::lock_guard<std::mutex> guard(m_lock);
    result = node->startStatus;
  });
  WaitStartSettled(pdo);
  return result;
}

}  // namespace winsim
