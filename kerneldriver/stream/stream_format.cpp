// Choosing a stream's alternate setting and format for a rate from the
// AudioStreaming interface's descriptors.
#include "kerneldriver/stream/audio_stream.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"

namespace {

// A configuration holds at most 64 KiB in descriptors of at least 9 bytes;
// this bounds the search over alternate settings even if positions repeat.
constexpr ULONG kMaxAlternateSettings = 0x10000 / 9;

// The only data endpoint interval the streams serve: one packet every
// microframe at high speed (the streams run on high-speed devices only).
// Render sizing, implicit feedback and the region plan all count in
// microframes; a slower endpoint would take each packet a frame or more.
constexpr UCHAR kDataEndpointInterval = 1;

// What one alternate setting offers.
struct SettingFormat {
  UCHAR dataEndpoint;
  UCHAR dataInterval;
  UCHAR feedbackEndpoint;
  const UCHAR *general;
  const UCHAR *format;
};

bool FormatCarriesRate(const UCHAR *format, ULONG rate) {
  if (format[0] < kMinFormatWithRateLength) return true;
  return QavReadLe32(format + kOffsetFormatMaxRate) >= rate;
}

// Audio moves over isochronous endpoints only: a bulk or interrupt endpoint
// in an AudioStreaming setting is neither a data nor a feedback endpoint.
void NoteEndpoint(SettingFormat &setting, const USB_COMMON_DESCRIPTOR *d) {
  if (d->bLength < kMinEndpointLength) return;
  auto *endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(d);
  if ((endpoint->bmAttributes & kEndpointTransferMask) != kEndpointIsochronous) return;
  if (endpoint->bmAttributes & kEndpointFeedbackUsage) {
    // Feedback flows against the data: only an IN endpoint can pace a render stream.
    if (endpoint->bEndpointAddress & kEndpointDirectionIn) setting.feedbackEndpoint = endpoint->bEndpointAddress;
  } else {
    setting.dataEndpoint = endpoint->bEndpointAddress;
    setting.dataInterval = endpoint->bInterval;
  }
}

// A setting without channels or with zero-byte subslots carries no audio,
// whatever rate its format claims: choosing it for a rate would leave the
// stream with nothing to stream.
bool CarriesAudio(const SettingFormat &setting) {
  return setting.dataEndpoint != 0 && setting.general != nullptr && setting.format != nullptr &&
         setting.general[kOffsetAsChannels] != 0 && setting.format[kOffsetSubslotSize] != 0;
}

bool Usable(const USB_INTERFACE_DESCRIPTOR *alternate, const SettingFormat &setting) {
  if (!CarriesAudio(setting)) return false;
  if (setting.dataInterval == kDataEndpointInterval) return true;
  QAV_LOG(EndpointIntervalNotServed, static_cast<unsigned>(alternate->bInterfaceNumber),
          static_cast<unsigned>(alternate->bAlternateSetting), static_cast<unsigned>(setting.dataEndpoint),
          static_cast<unsigned>(setting.dataInterval));
  return false;
}

void NoteClassDescriptor(SettingFormat &setting, const UCHAR *raw, ULONG rate) {
  UCHAR length = raw[0];
  if (length < kMinClassDescriptorLength) return;
  UCHAR subtype = raw[kOffsetDescriptorSubtype];
  if (subtype == kAsGeneral && length >= kMinAsGeneralLength) {
    setting.general = raw;
  } else if (subtype == kAsFormatType && length >= kMinFormatTypeLength && raw[kOffsetFormatType] == kFormatTypeI &&
             FormatCarriesRate(raw, rate)) {
    setting.format = raw;
  }
}

SettingFormat ReadSetting(const UsbAudioStream *stream, const USB_INTERFACE_DESCRIPTOR *alternate, ULONG rate) {
  SettingFormat setting{};
  DescriptorBytes bytes = ConfigBytes(stream->usbInterface->owner);
  for (auto *d = NextInterfaceDescriptor(bytes, alternate, nullptr, 0); d != nullptr;
       d = NextInterfaceDescriptor(bytes, alternate, d, 0)) {
    if (d->bDescriptorType == kDescriptorTypeEndpoint) {
      NoteEndpoint(setting, d);
    } else if (d->bDescriptorType == kDescriptorTypeCsInterface) {
      NoteClassDescriptor(setting, reinterpret_cast<const UCHAR *>(d), rate);
    }
  }
  return setting;
}

void Choose(UsbAudioStream *stream, const USB_INTERFACE_DESCRIPTOR *alternate, const SettingFormat &setting) {
  stream->altSetting = alternate->bAlternateSetting;
  stream->channels = setting.general[kOffsetAsChannels];
  stream->subslot = setting.format[kOffsetSubslotSize];
  stream->bytesPerFrame = stream->channels * stream->subslot;
  stream->dataEndpoint = setting.dataEndpoint;
  stream->feedbackEndpoint = setting.feedbackEndpoint;
  stream->generalDescriptor = setting.general;
}

// Of the settings that carry the rate, the one with the most channels, the
// first of equals: an interface that drops channels at higher rates (ADAT
// S/MUX) may list its settings in either order, and the first in descriptor
// order would lose channels at rates where a wider setting exists.
// *lastGeneral is the last general descriptor seen in any setting.
const USB_INTERFACE_DESCRIPTOR *BestSetting(const UsbAudioStream *stream, ULONG rate, SettingFormat *best,
                                            const UCHAR **lastGeneral) {
  const USB_INTERFACE_DESCRIPTOR *alternate = nullptr;
  const USB_INTERFACE_DESCRIPTOR *chosen = nullptr;
  for (ULONG i = 0; i < kMaxAlternateSettings; ++i) {
    alternate = UsbInterfaceNextAlternate(stream->usbInterface, alternate, kClassAudio, kSubclassAudioStreaming, 0xFF,
                                          0xFF);
    if (alternate == nullptr) break;
    SettingFormat setting = ReadSetting(stream, alternate, rate);
    if (setting.general != nullptr) *lastGeneral = setting.general;
    if (!Usable(alternate, setting)) continue;
    if (chosen == nullptr || setting.general[kOffsetAsChannels] > best->general[kOffsetAsChannels]) {
      chosen = alternate;
      *best = setting;
    }
  }
  return chosen;
}

}  // namespace

NTSTATUS UsbAudioStreamSelectFormat(UsbAudioStream *stream, ULONG rate) {
  SettingFormat setting{};
  const UCHAR *lastGeneral = nullptr;
  const USB_INTERFACE_DESCRIPTOR *best = BestSetting(stream, rate, &setting, &lastGeneral);
  if (best != nullptr) {
    Choose(stream, best, setting);
    return STATUS_SUCCESS;
  }
  if (lastGeneral != nullptr) stream->generalDescriptor = lastGeneral;
  return stream->generalDescriptor != nullptr ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

ULONG UsbAudioStreamChannelsAtRate(const UsbAudioStream *stream, ULONG rate) {
  SettingFormat setting{};
  const UCHAR *lastGeneral = nullptr;
  return BestSetting(stream, rate, &setting, &lastGeneral) != nullptr ? setting.general[kOffsetAsChannels] : 0;
}
