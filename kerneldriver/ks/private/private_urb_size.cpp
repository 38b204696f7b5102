// The USB performance mode: UrbSize and the smallest one the machine
// sustains. A set to the current size changes nothing and announces
// nothing; one below the measured minimum is refused; any other goes
// through the device's UrbSize change (streams restarted, event, setting
// stored).
#include "kerneldriver/ks/private/private_request.h"

#include "kerneldriver/kernel_support.h"

NTSTATUS UrbSizeGet(PrivateRequest *request) { return PrivateReturnU32(request, request->device->urbSize); }

NTSTATUS UrbSizeSet(PrivateRequest *request) {
  UsbAudioDevice *device = request->device;
  const ULONG urbSize = PrivateReadU32(request);
  if (urbSize == device->urbSize) return STATUS_SUCCESS;
  if (urbSize < device->minUrbSize) {
    QAV_LOG(UrbSizeRefused, static_cast<unsigned>(urbSize),
              static_cast<unsigned>(device->minUrbSize));
    return STATUS_INVALID_PARAMETER;
  }
  return UsbAudioDeviceSetUrbSize(device, urbSize);
}

NTSTATUS MinUrbSizeGet(PrivateRequest *request) { return PrivateReturnU32(request, request->device->minUrbSize); }
