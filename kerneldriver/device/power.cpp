// PnP and power callbacks besides start and removal.
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"

NTSTATUS UsbAudioDeviceQueryCapabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  capabilities->SurpriseRemovalOK = TRUE;
  return STATUS_SUCCESS;
}

// From here on no request reaches the device: the lower device is forgotten.
void UsbAudioDeviceSurpriseRemoval(PKSDEVICE ksDevice, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  UsbAudioDevice *device = AudioDeviceFromKs(ksDevice);
  if (device == nullptr) return;
  UsbAudioDeviceRaiseEvent(device, KSEVENT_UAC_DEVICE_REMOVED, 0, nullptr);
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&device->config.lowerDevice), nullptr);
}

// Hibernate, shutdown and eject lose the clock setting: the next pin sets the rate again.
NTSTATUS UsbAudioDeviceQueryPower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE deviceTo,
                                  DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                                  SYSTEM_POWER_STATE systemFrom, POWER_ACTION action) {
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(deviceTo);
  UNREFERENCED_PARAMETER(deviceFrom);
  UNREFERENCED_PARAMETER(systemTo);
  UNREFERENCED_PARAMETER(systemFrom);
  UsbAudioDevice *device = AudioDeviceFromKs(ksDevice);
  if (device != nullptr && action > PowerActionSleep) {
    device->sampleRate = 0;
    InterlockedExchange(&device->openAudioPins, 0);
  }
  return STATUS_SUCCESS;
}

void UsbAudioDeviceSetPower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(from);
  UsbAudioDevice *device = AudioDeviceFromKs(ksDevice);
  if (device == nullptr) return;
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream == nullptr) continue;
    if (to == PowerDeviceD0) UsbAudioStreamResume(stream);
    if (to == PowerDeviceD3) UsbAudioStreamPause(stream);
  }
}
