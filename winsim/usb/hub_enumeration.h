// The hub's side of a device arrival: the standard requests it sends over the
// default pipe before the device gets its PDO (device descriptor,
// configuration descriptor, language list, product and serial strings).
#pragma once
#include "winsim/usb/host_controller.h"
#include "winsim/usb/pdo_ids.h"

namespace winsim::usb {

// One control transfer, waited for at PASSIVE_LEVEL; a device that does not
// finish it within a second has it cancelled. The USBD status; *actual gets
// the bytes of the data stage.
int32_t ControlTransferSync(HostController &controller, int port, const SetupPacket &setup, uint8_t *data,
                            uint32_t *actual);

// What enumeration could read; descriptorRead is false when the device did
// not give a valid device descriptor.
EnumeratedDevice EnumerateDevice(HostController &controller, int port);

}  // namespace winsim::usb
