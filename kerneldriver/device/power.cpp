// PnP and power callbacks besides start and removal.
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/device/client_interface.h"
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_device.h"
#include "kerneldriver/ks/pin/audio_pin_dispatch.h"

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
  ClientInterfaceDisable(device);
  UsbAudioDeviceRaiseEvent(device, KSEVENT_UAC_DEVICE_REMOVED, 0, nullptr);
  AudioPinsDeviceRemoved(device);
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
  QAV_LOG(PowerActionRateLost, static_cast<int>(action));
  device->sampleRate = 0;
}

// The rate streams paused by the power-down run at; 0 when none is paused.
ULONG PausedStreamRate(const UsbAudioDevice *device) {
  const UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (const UsbAudioStream *stream : streams) {
    if (stream != nullptr && stream->paused && stream->nominalRate != 0) return stream->nominalRate;
  }
  return 0;
}

// Whether the device kept power is not told (a sleep may cut bus power as
// a hibernate does); a device that lost it runs at its power-up rate from
// its first clock source. So at D0 the clock selector and the rate in force
// (the forgotten rate of paused streams after a hibernate) are written
// again. A rate that cannot be written is forgotten, so the next pin sets
// it. Without a rate in force (hibernate, nothing paused) nothing is sent.
void RestoreClock(UsbAudioDevice *device) {
  UsbAudioControl *control = device->audioControl;
  ULONG rate = device->sampleRate != 0 ? device->sampleRate : PausedStreamRate(device);
  if (control == nullptr || rate == 0) return;
  if (control->selectorId != 0 && control->selectorInput != 0) {
    NTSTATUS selected = AudioControlSelectClockInput(control, control->selectorInput);
    if (!NT_SUCCESS(selected)) QAV_LOG(ClockInputNotRestored, static_cast<unsigned>(selected));
  }
  NTSTATUS status = AudioControlWriteRate(control, rate);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(RateNotRestored, static_cast<unsigned>(rate), static_cast<unsigned>(status));
    device->sampleRate = 0;
    return;
  }
  device->sampleRate = rate;
}

}  // namespace

// D3: the MIDI ports stop and streams are paused (stopped, remembered as
// running). D0: the clock is restored first, then the paused streams select
// their alternate setting again and start, then the MIDI ports. Other device states change nothing.
void UsbAudioDeviceSetPower(PKSDEVICE ksDevice, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  UNREFERENCED_PARAMETER(from);
  UsbAudioDevice *device = AudioDeviceFromKs(ksDevice);
  if (device == nullptr) return;
  if (to > PowerDeviceD0) ForgetRateIfPowerIsLost(device, irp);
  if (to == PowerDeviceD0) RestoreClock(device);
  if (to == PowerDeviceD3) UsbAudioDeviceStopMidiPorts(device);
  UsbAudioStream *streams[] = {device->captureStream, device->renderStream};
  for (UsbAudioStream *stream : streams) {
    if (stream == nullptr) continue;
    if (to == PowerDeviceD0) UsbAudioStreamResumeAfterPowerUp(stream);
    if (to == PowerDeviceD3) UsbAudioStreamPause(stream);
  }
  if (to == PowerDeviceD0) UsbAudioDeviceStartMidiPorts(device);
}
