#include "kerneldriver/midi/midi_pin_name.h"

#include "kerneldriver/device/device.h"
#include "kerneldriver/device/settings.h"
#include "kerneldriver/kernel_support.h"
#include "kerneldriver/midi/midi_port.h"

namespace {

constexpr ULONG kNameChars = kMidiPinNameBytes / sizeof(WCHAR);
constexpr ULONG kFriendlyChars = kMidiFriendlyNameBytes / sizeof(WCHAR);
constexpr ULONG kQueryBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + kMidiFriendlyNameBytes;

ULONG Length(const WCHAR *text, ULONG limit) {
  ULONG chars = 0;
  while (chars < limit && text[chars] != 0) ++chars;
  return chars;
}

// The friendly name's characters into `friendly` (kFriendlyChars); 0 when unread.
ULONG ReadFriendlyName(const UsbAudioDevice *device, WCHAR *friendly) {
  PUNICODE_STRING link =
      device->filterFactory != nullptr ? KsFilterFactoryGetSymbolicLink(device->filterFactory) : nullptr;
  HANDLE key = nullptr;
  if (link == nullptr || !NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(link, KEY_READ, &key))) return 0;
  UCHAR buffer[kQueryBytes];
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, QAV_VALUE_FRIENDLY_NAME);
  ULONG got = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(buffer), &got);
  ZwClose(key);
  // A longer name is cut: the first part is what fits.
  if (!(NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) || info->Type != REG_SZ) return 0;
  const ULONG bytes = QavMin(info->DataLength, kMidiFriendlyNameBytes);
  QavCopyMemory(friendly, info->Data, bytes);
  return Length(friendly, bytes / sizeof(WCHAR));
}

}  // namespace

ULONG MidiComposePinName(const WCHAR *friendly, ULONG chars, ULONG cableNumber, WCHAR *name) {
  static const char kSuffix[] = ": Port ";
  ULONG at = 0;
  for (ULONG i = 0; i < chars && i < kFriendlyChars; ++i) name[at++] = friendly[i];
  for (ULONG i = 0; kSuffix[i] != 0; ++i) name[at++] = static_cast<WCHAR>(kSuffix[i]);
  const ULONG port = (cableNumber % kMidiCableNumbers) + 1;
  if (port >= 10) name[at++] = static_cast<WCHAR>('0' + port / 10);
  name[at++] = static_cast<WCHAR>('0' + port % 10);
  name[at++] = 0;
  return at * sizeof(WCHAR);
}

NTSTATUS MidiPinName(const UsbAudioDevice *device, const UsbMidiCable *cable, PVOID data, ULONG dataLength,
                     ULONG *returned) {
  WCHAR friendly[kFriendlyChars] = {};
  ULONG chars = ReadFriendlyName(device, friendly);
  const WCHAR *source = friendly;
  if (chars == 0) {
    source = device->productName;
    chars = Length(device->productName, QavCountOf(device->productName));
  }
  WCHAR name[kNameChars];
  const ULONG size = MidiComposePinName(source, chars, cable->number, name);
  *returned = size;
  if (dataLength < size) return STATUS_BUFFER_OVERFLOW;
  QavCopyMemory(data, name, size);
  return STATUS_SUCCESS;
}
