// The device's client interface (GUID_DEVINTERFACE_UacClient), which QavAsio
// and QavPanel enumerate. The installation provisions it under the filter
// factory's reference string, so opening its path reaches the factory's
// filter; as for every provisioned interface, the driver enables it (with
// the factory) and disables it when the device goes (as ks.sys does the
// factory's own interfaces). PASSIVE_LEVEL.
#pragma once
#include "kerneldriver/device/device.h"

void ClientInterfaceEnable(UsbAudioDevice *device, PUNICODE_STRING reference);
void ClientInterfaceDisable(UsbAudioDevice *device);
// Frees the interface's link; at destruction.
void ClientInterfaceFree(UsbAudioDevice *device);
