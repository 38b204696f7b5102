#include "kerneldriver/device/client_interface.h"

#include "kerneldriver/kernel_support.h"

// A failure leaves the device without the interface: its clients do not
// find it, the filter's other interfaces still work.
void ClientInterfaceEnable(UsbAudioDevice *device, PUNICODE_STRING reference) {
  if (device->clientLink.Buffer == nullptr) {
    NTSTATUS status = IoRegisterDeviceInterface(device->device->PhysicalDeviceObject, &GUID_DEVINTERFACE_UacClient,
                                                reference, &device->clientLink);
    if (!NT_SUCCESS(status)) {
      QAV_LOG(ClientInterfaceNotRegistered, static_cast<unsigned>(status));
      return;
    }
  }
  NTSTATUS status = IoSetDeviceInterfaceState(&device->clientLink, TRUE);
  if (!NT_SUCCESS(status)) QAV_LOG(ClientInterfaceNotEnabled, static_cast<unsigned>(status));
}

// Disabling an interface that is not enabled (never was, or the PnP manager
// already did at the removal) is harmless.
void ClientInterfaceDisable(UsbAudioDevice *device) {
  if (device->clientLink.Buffer != nullptr) IoSetDeviceInterfaceState(&device->clientLink, FALSE);
}

void ClientInterfaceFree(UsbAudioDevice *device) {
  if (device->clientLink.Buffer != nullptr) RtlFreeUnicodeString(&device->clientLink);
}
