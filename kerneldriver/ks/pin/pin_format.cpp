// The pin's data format: checked when the pin is created and on every
// change. A change on a running pin stops its stream, lets go of every
// clone stream pointer, takes the new format and starts the stream again.
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/pin/audio_pin.h"

namespace {

const KSDATARANGE_AUDIO *AudioRangeOf(const KSDATARANGE *range) {
  if (range == nullptr || range->FormatSize < sizeof(KSDATARANGE_AUDIO)) return nullptr;
  return reinterpret_cast<const KSDATARANGE_AUDIO *>(range);
}

void DeleteClones(PKSPIN ksPin) {
  for (ULONG i = 0; i < kPinRegionCapacity; ++i) {
    PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(ksPin);
    if (clone == nullptr) return;
    KsStreamPointerDelete(clone);
  }
}

void TakeFormat(AudioPin *pin, const PinWaveFormat &format) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->regionLock, &irql);
  *pin->format = format;
  KeReleaseSpinLock(&pin->regionLock, irql);
}

// The device runs at one rate while pins are open: a change to another rate
// is refused like any format the pin cannot serve.
NTSTATUS Change(AudioPin *pin, const PinWaveFormat &format) {
  if (format.rate != pin->format->rate) return STATUS_NO_MATCH;
  if (pin->pin->DeviceState != KSSTATE_RUN) {
    TakeFormat(pin, format);
    return STATUS_SUCCESS;
  }
  UsbAudioDevice *device = pin->device;
  UsbAudioStreamStateLock(device);
  UsbAudioStreamStop(pin->stream);
  DeleteClones(pin->pin);
  AudioPinClearRegions(pin, false);
  TakeFormat(pin, format);
  NTSTATUS status = UsbAudioStreamStart(pin->stream);
  UsbAudioStreamStateUnlock(device);
  if (!NT_SUCCESS(status)) QAV_LOG(FormatChangeRestartFailed, static_cast<unsigned>(status));
  return STATUS_SUCCESS;
}

}  // namespace

// Called by ks.sys before Create with the connection format (the pin has no
// context yet: only the check runs), and for a change with the old format.
NTSTATUS AudioPinSetDataFormat(PKSPIN ksPin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                               const KSDATARANGE *range, const KSATTRIBUTE_LIST *attributeRange) {
  UNREFERENCED_PARAMETER(oldFormat);
  UNREFERENCED_PARAMETER(oldAttributeList);
  UNREFERENCED_PARAMETER(attributeRange);
  NTSTATUS status = CheckPinFormat(ksPin->ConnectionFormat, AudioRangeOf(range));
  if (!NT_SUCCESS(status)) return status;
  AudioPin *pin = AudioPinOf(ksPin);
  if (pin == nullptr) return STATUS_SUCCESS;
  PinWaveFormat format;
  if (!NT_SUCCESS(CopyWaveFormat(ksPin->ConnectionFormat, &format))) return STATUS_INSUFFICIENT_RESOURCES;
  return Change(pin, format);
}
