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

// The device's stream sends as many channels as the setting for the rate
// carries; a client with more (a 20-channel format on an interface that has
// 12 at 192 kHz) would hear or record silence in the rest, so the format is
// refused like any other the pin cannot serve, before the rate rule may
// change the device's rate for it. The configuration's
// descriptors do not change while the device runs.
NTSTATUS CheckChannels(PKSPIN ksPin, const PinWaveFormat &format) {
  UsbAudioDevice *device = AudioPinDeviceOf(ksPin);
  if (device == nullptr) return STATUS_SUCCESS;
  const UsbAudioStream *stream = ksPin->DataFlow == KSPIN_DATAFLOW_OUT ? device->captureStream : device->renderStream;
  if (stream == nullptr) return STATUS_SUCCESS;
  // No setting names the rate: the stream keeps the setting it has.
  ULONG available = UsbAudioStreamChannelsAtRate(stream, format.rate);
  if (available == 0) available = stream->channels;
  return format.channels <= available ? STATUS_SUCCESS : STATUS_NO_MATCH;
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
  PinWaveFormat format;
  if (!NT_SUCCESS(CopyWaveFormat(ksPin->ConnectionFormat, &format))) return STATUS_INSUFFICIENT_RESOURCES;
  status = CheckChannels(ksPin, format);
  if (!NT_SUCCESS(status)) return status;
  AudioPin *pin = AudioPinOf(ksPin);
  if (pin == nullptr) return STATUS_SUCCESS;
  return Change(pin, format);
}
