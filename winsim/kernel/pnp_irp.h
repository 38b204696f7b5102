// How the PnP and power managers send their IRPs: from an IRP of their own
// (IoAllocateIrp with the target's stack size, status preset to
// STATUS_NOT_SUPPORTED as drivers expect), waited for at PASSIVE_LEVEL and
// taken back by a completion routine. The strings and lists a bus driver
// returns in Information come from pool and are freed here.
#pragma once
#include <wdm.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim::pnp {

// Sends to `target` (a stack's top for the whole stack, the PDO for the bus
// driver alone). *information receives IoStatus.Information.
NTSTATUS SendPnp(PDEVICE_OBJECT target, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
                 ULONG_PTR *information = nullptr);
NTSTATUS SendPower(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                   POWER_ACTION action);

// "SET_POWER D3", "QUERY_POWER S4", "IRP_MJ_PNP minor 0x02": for reports.
std::string IrpName(const IO_STACK_LOCATION *stack);

// The top of the PDO's stack, referenced (ObDereferenceObject when done).
PDEVICE_OBJECT ReferenceTop(PDEVICE_OBJECT pdo);

std::optional<std::u16string> QueryId(PDEVICE_OBJECT target, BUS_QUERY_ID_TYPE type);
std::vector<std::u16string> QueryIdList(PDEVICE_OBJECT target, BUS_QUERY_ID_TYPE type);
std::optional<std::u16string> QueryDeviceText(PDEVICE_OBJECT target, DEVICE_TEXT_TYPE type);
// Capabilities as the PnP manager initialises them before asking.
void InitializeCapabilities(DEVICE_CAPABILITIES *capabilities);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT target, DEVICE_CAPABILITIES *capabilities);

}  // namespace winsim::pnp
