// IRP_MN_QUERY_INTERFACE for USB_BUS_INTERFACE_USBDI_GUID on a hub PDO.
#pragma once
#include <wdm.h>

namespace winsim::usb {

class UsbPdo;

// Fills the caller's interface for versions 0 to 2 when the bus grants that
// version and the caller's Size holds it, and references it once for the
// caller (who dereferences it when done). STATUS_NOT_SUPPORTED for a version
// the bus does not grant, STATUS_INVALID_PARAMETER for too small a Size.
NTSTATUS QueryUsbBusInterface(UsbPdo &pdo, PIO_STACK_LOCATION stack);

}  // namespace winsim::usb
