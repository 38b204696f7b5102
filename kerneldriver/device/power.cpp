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

// Every query succeeds and changes nothing: another device may refuse the
// transition, and a critical one sends no query at all.
NTSTATUS UsbAudioDeviceQueryPower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE deviceTo,
                                  DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                                  SYSTEM_POWER_STATE systemFrom, POWER_ACTION action) {
  UNREFERENCED_PARAMETER(ksDevice);
  UNREFERENCED_PARAMETER(irp);
  UNREFERENCED_PARAMETER(deviceTo);
  UNREFERENCED_PARAMETER(deviceFrom);
  UNREFERENCED_PARAMETER(systemTo);
  UNREFERENCED_PARAMETER(systemFrom);
  UNREFERENCED_PARAMETER(action);
  return STATUS_SUCCESS;
}

namespace {

// Hibernate, shutdown and eject cut the device's power: its clock forgets
// the rate, so the next audio pin must set it again. A device power-down
// IRP sent for a system transition carries that transition's action.
void ForgetRateIfPowerIsLost(UsbAudioDevice *device, PIRP irp) {
  POWER_ACTION action = irp != nullptr ? IoGetCurrentIrpStackLocation(irp)->Parameters.Power.ShutdownType
                                       : PowerActionNone;
  if (action <= PowerActionSleep) return;
  QAV_TRACE("power action %d: the rate is set again by the next pin", static_cast<int>(action));
  device->sampleRate = 0;
}

}  // namespace

void UsbAudioDeviceSetPower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  UNREFERENCED_PARAMETER(from);
  UsbAudioDevice *device = AudioDeviceFromKs(ksDevice);
  if (device == nullptr) return;
  if (to > PowerDeviceD0) ForgetRateIfPowerIsLost(device, irp);
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream == nullptr) continue;
    if (to == PowerDeviceD0) UsbAudioStreamResume(stream);
    if (to == PowerDeviceD3) UsbAudioStreamPause(stream);
  }
}
