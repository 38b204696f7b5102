// The URB functions a PDO serves, one handler per family. Each takes a URB
// whose header length urb_dispatch.cpp has checked for its function, and
// either completes the IRP (returning its status) or hands a transfer to the
// host controller (returning STATUS_PENDING). Callable at <= DISPATCH_LEVEL.
#pragma once
#include <usb.h>
#include <wdm.h>

#include "winsim/usb/host_controller.h"

namespace winsim::usb {

class UsbPdo;

using UrbHandler = NTSTATUS (*)(UsbPdo &pdo, PIRP irp, PURB urb);

// urb_control.cpp: requests on the default pipe.
NTSTATUS HandleGetDescriptor(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleVendorOrClass(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleControlTransfer(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleGetStatus(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleFeature(UsbPdo &pdo, PIRP irp, PURB urb);
// Sends a standard request without data stage on the default pipe; the
// finisher (may be null) runs on success and failure alike.
NTSTATUS SendNoDataRequest(UsbPdo &pdo, PIRP irp, PURB urb, const SetupPacket &setup,
                           std::function<USBD_STATUS(const Transfer &)> finisher);

// urb_select.cpp
NTSTATUS HandleSelectConfiguration(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleSelectInterface(UsbPdo &pdo, PIRP irp, PURB urb);

// urb_isoch.cpp, urb_bulk.cpp
NTSTATUS HandleIsochTransfer(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleBulkOrInterrupt(UsbPdo &pdo, PIRP irp, PURB urb);

// urb_pipe.cpp
NTSTATUS HandleAbortPipe(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleResetPipe(UsbPdo &pdo, PIRP irp, PURB urb);
NTSTATUS HandleCurrentFrame(UsbPdo &pdo, PIRP irp, PURB urb);

// The buffer a transfer URB names: its MDL's system address when it has
// one, else TransferBuffer. Null when the URB names neither.
uint8_t *UrbTransferData(PVOID buffer, PMDL mdl);

}  // namespace winsim::usb
