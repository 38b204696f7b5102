// USB descriptors through the driver's private method: the device's ids and
// its channel names.
#include <cstring>

#include "uac2common/asiodriver/filter/channel_names.h"
#include "uac2common/asiodriver/filter/pin_format.h"
#include "uac2common/asiodriver/filter/qzaudiofilter.h"

namespace {

constexpr UCHAR kDeviceDescriptorType = 1;
constexpr UCHAR kConfigurationDescriptorType = 2;
constexpr UCHAR kStringDescriptorType = 3;
// The driver answers the configuration request with its cached descriptor
// whatever the index; 1 is the configuration it selected.
constexpr UCHAR kConfigurationIndex = 1;
constexpr USHORT kLanguageUsEnglish = 0x0409;

constexpr ULONG kDeviceDescriptorBytes = 18;
constexpr ULONG kConfigurationBufferBytes = 4096;
constexpr ULONG kStringBufferBytes = 68;

// Device descriptor offsets.
constexpr ULONG kDeviceClassOffset = 4;
constexpr ULONG kDeviceSubClassOffset = 5;
constexpr ULONG kVendorOffset = 8;
constexpr ULONG kProductOffset = 10;
// Application-specific class, DFU subclass: firmware-update mode.
constexpr UCHAR kClassApplicationSpecific = 0xFE;
constexpr UCHAR kSubClassDfu = 0x01;

constexpr ULONG kIdsRead = 0;
constexpr ULONG kIdsUnreadable = 1;
constexpr ULONG kIdsDfuMode = 2;

USHORT ReadLe16(const UCHAR *at) { return static_cast<USHORT>(at[0] | (at[1] << 8)); }

}  // namespace

HRESULT CQZAudioFilter::GetUsbDescriptor(UCHAR type, UCHAR index, USHORT language, PVOID buffer, PULONG length) {
  if (length == nullptr) return E_POINTER;
  const ULONG size = *length;
  *length = 0;
  if (buffer == nullptr && size != 0) return E_POINTER;
  KSM_UAC_DESCRIPTOR request = {};
  request.Method.Set = KSMETHODSETID_UacUsb;
  request.Method.Id = KSMETHOD_UAC_GET_DESCRIPTOR;
  request.Method.Flags = KSMETHOD_TYPE_SEND;
  request.DescriptorType = type;
  request.DescriptorIndex = index;
  request.LanguageId = language;
  request.Reserved = 0;
  ULONG returned = 0;
  HRESULT hr = KsMethod(&request, sizeof request, buffer, size, &returned);
  if (FAILED(hr)) return hr;
  *length = returned < size ? returned : size;
  return S_OK;
}

ULONG CQZAudioFilter::ReadDeviceIds() {
  UCHAR descriptor[kDeviceDescriptorBytes] = {};
  ULONG length = sizeof descriptor;
  if (FAILED(GetUsbDescriptor(kDeviceDescriptorType, 0, 0, descriptor, &length))) return kIdsUnreadable;
  // The ids lie in the first twelve bytes; a shorter answer is no descriptor.
  if (length < kProductOffset + 2) return kIdsUnreadable;
  if (descriptor[kDeviceClassOffset] == kClassApplicationSpecific && descriptor[kDeviceSubClassOffset] == kSubClassDfu) {
    return kIdsDfuMode;
  }
  m_usVendorId = ReadLe16(descriptor + kVendorOffset);
  m_usProductId = ReadLe16(descriptor + kProductOffset);
  return kIdsRead;
}

// One string descriptor per channel from firstIndex on; string indexes are
// 8-bit, so the channels stop at index 255.
std::vector<std::string> CQZAudioFilter::ReadChannelNames(UCHAR firstIndex, ULONG channels) {
  std::vector<std::string> names;
  if (firstIndex == 0) return names;
  const ULONG available = 256u - firstIndex;
  if (channels > available) channels = available;
  for (ULONG c = 0; c < channels; ++c) {
    UCHAR descriptor[kStringBufferBytes] = {};
    ULONG length = sizeof descriptor;
    const UCHAR index = static_cast<UCHAR>(firstIndex + c);
    if (FAILED(GetUsbDescriptor(kStringDescriptorType, index, kLanguageUsEnglish, descriptor, &length))) continue;
    std::string name;
    if (ChannelNameFromString(descriptor, length, &name)) names.push_back(std::move(name));
  }
  return names;
}

bool CQZAudioFilter::GetChannelNames(std::vector<std::string> &inputNames, std::vector<std::string> &outputNames) {
  std::vector<UCHAR> config(kConfigurationBufferBytes, 0);
  ULONG length = kConfigurationBufferBytes;
  if (FAILED(GetUsbDescriptor(kConfigurationDescriptorType, kConfigurationIndex, 0, config.data(), &length))) {
    return false;
  }
  const ChannelNameIndexes indexes = FindChannelNameIndexes(config.data(), length);
  for (std::string &name : ReadChannelNames(indexes.capture, GetPinMaxChannels(GetFirstCapturePin()))) {
    inputNames.push_back(std::move(name));
  }
  for (std::string &name : ReadChannelNames(indexes.render, GetPinMaxChannels(GetFirstRenderPin()))) {
    outputNames.push_back(std::move(name));
  }
  return true;
}
