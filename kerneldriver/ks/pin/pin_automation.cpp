// The audio pin's automation table: position, channel configuration,
// allocator framing, and the private channel-name and URB-timing
// properties. Handlers run at PASSIVE_LEVEL in the caller's thread; ks.sys
// has checked the minimum request and value sizes of each item. Every
// handler checks the pin's signature and a value buffer first.
#include "kerneldriver/device/device.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/pin/audio_pin.h"
#include "kerneldriver/ks/pin/audio_pin_dispatch.h"
#include "kerneldriver/ks/pin/pin_timing.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

QAV_DEFINE_GUID(kPropertySetAudio, STATIC_KSPROPSETID_Audio);
QAV_DEFINE_GUID(kPropertySetConnection, STATIC_KSPROPSETID_Connection);

constexpr ULONG kAllocatorFrames = 8;
constexpr USHORT kLanguageEnglishUs = 0x0409;
// AudioStreaming general descriptor: iChannelNames is its last byte.
constexpr ULONG kChannelNamesOffset = 15;

AudioPin *PinOfRequest(PIRP irp, PVOID data) {
  if (irp == nullptr || data == nullptr) return nullptr;
  return AudioPinOf(KsGetPinFromIrp(irp));
}

NTSTATUS GetPosition(PIRP irp, PKSIDENTIFIER, PVOID data) {
  AudioPin *pin = PinOfRequest(irp, data);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  KSAUDIO_POSITION position;
  KIRQL irql;
  KeAcquireSpinLock(&pin->regionLock, &irql);
  position.PlayOffset = pin->bytesProcessed;
  position.WriteOffset = pin->nextStampOffset;
  KeReleaseSpinLock(&pin->regionLock, irql);
  QavCopyMemory(data, &position, sizeof(position));
  irp->IoStatus.Information = sizeof(position);
  return STATUS_SUCCESS;
}

NTSTATUS SetPosition(PIRP irp, PKSIDENTIFIER, PVOID data) {
  AudioPin *pin = PinOfRequest(irp, data);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  KSAUDIO_POSITION position;
  QavCopyMemory(&position, data, sizeof(position));
  KIRQL irql;
  KeAcquireSpinLock(&pin->regionLock, &irql);
  pin->bytesProcessed = position.PlayOffset;
  pin->nextStampOffset = position.WriteOffset;
  KeReleaseSpinLock(&pin->regionLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS GetChannelConfig(PIRP irp, PKSIDENTIFIER, PVOID data) {
  AudioPin *pin = PinOfRequest(irp, data);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  QavCopyMemory(data, &pin->channelConfig, sizeof(ULONG));
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS SetChannelConfig(PIRP irp, PKSIDENTIFIER, PVOID data) {
  AudioPin *pin = PinOfRequest(irp, data);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  QavCopyMemory(&pin->channelConfig, data, sizeof(ULONG));
  return STATUS_SUCCESS;
}

NTSTATUS GetAllocatorFraming(PIRP irp, PKSIDENTIFIER, PVOID data) {
  AudioPin *pin = PinOfRequest(irp, data);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  KSALLOCATOR_FRAMING framing;
  QavZeroMemory(&framing, sizeof(framing));
  framing.OptionsFlags = KSALLOCATOR_OPTIONF_SYSTEM_MEMORY;
  framing.PoolType = NonPagedPool;
  framing.Frames = kAllocatorFrames;
  framing.FrameSize = AllocatorFrameSize(pin->device->urbSize, pin->format->rate, pin->format->blockAlign);
  QavCopyMemory(data, &framing, sizeof(framing));
  irp->IoStatus.Information = sizeof(framing);
  return STATUS_SUCCESS;
}

// UTF-16 name of one channel of the pin's stream, from the string
// descriptors the AudioStreaming interface numbers from iChannelNames.
NTSTATUS GetChannelName(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  AudioPin *pin = PinOfRequest(irp, data);
  if (pin == nullptr || request == nullptr) return STATUS_INVALID_PARAMETER;
  const ULONG channel = reinterpret_cast<const KSP_UAC_INDEX *>(request)->Index;
  const UsbAudioStream *stream = pin->stream;
  if (channel >= stream->channels) return STATUS_INVALID_PARAMETER;
  const UCHAR *general = stream->generalDescriptor;
  const UCHAR names = general != nullptr && general[0] > kChannelNamesOffset ? general[kChannelNamesOffset] : 0;
  if (names == 0) return STATUS_NOT_SUPPORTED;
  if (names + channel > 0xFF) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = UsbGetString(&pin->device->config, static_cast<UCHAR>(names + channel), kLanguageEnglishUs,
                                 static_cast<WCHAR *>(data), UAC_CHANNEL_NAME_MAX_BYTES);
  irp->IoStatus.Information = NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? UAC_CHANNEL_NAME_MAX_BYTES : 0;
  return status;
}

// Completions update the counts while this runs: each word is read once.
NTSTATUS GetUrbTiming(PIRP irp, PKSIDENTIFIER, PVOID data) {
  AudioPin *pin = PinOfRequest(irp, data);
  if (pin == nullptr) return STATUS_INVALID_PARAMETER;
  UrbTimingInfo timing;
  const volatile ULONG *source = &pin->stream->timing.Count;
  ULONG *target = &timing.Count;
  for (ULONG i = 0; i < sizeof(timing) / sizeof(ULONG); ++i) target[i] = source[i];
  QavCopyMemory(data, &timing, sizeof(timing));
  irp->IoStatus.Information = sizeof(timing);
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM kAudioItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_CHANNEL_CONFIG, GetChannelConfig, sizeof(KSNODEPROPERTY),
                           sizeof(KSAUDIO_CHANNEL_CONFIG), SetChannelConfig, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_AUDIO_POSITION, GetPosition, sizeof(KSPROPERTY), sizeof(KSAUDIO_POSITION),
                           SetPosition, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_ITEM kConnectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, GetAllocatorFraming, sizeof(KSPROPERTY),
                           sizeof(KSALLOCATOR_FRAMING), nullptr, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_ITEM kPrivateItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_UAC_CHANNEL_NAME, GetChannelName, sizeof(KSP_UAC_INDEX),
                           UAC_CHANNEL_NAME_MAX_BYTES, nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_UAC_URB_TIMING, GetUrbTiming, sizeof(KSPROPERTY), sizeof(UrbTimingInfo),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_SET kPropertySets[] = {
    {&kPropertySetAudio, QavCountOf(kAudioItems), kAudioItems, 0, nullptr},
    {&kPropertySetConnection, QavCountOf(kConnectionItems), kConnectionItems, 0, nullptr},
    {&KSPROPSETID_UacPrivate, QavCountOf(kPrivateItems), kPrivateItems, 0, nullptr},
};

}  // namespace

const KSAUTOMATION_TABLE kAudioPinAutomation = {
    QavCountOf(kPropertySets), sizeof(KSPROPERTY_ITEM), kPropertySets, 0, sizeof(KSMETHOD_ITEM), nullptr,
    0,                         sizeof(KSEVENT_ITEM),    nullptr,
};

const KSPIN_DISPATCH kAudioPinDispatch = {
    AudioPinCreate, AudioPinClose, AudioPinProcess, nullptr, AudioPinSetDataFormat, AudioPinSetDeviceState,
    nullptr,        nullptr,       nullptr,         nullptr,
};
