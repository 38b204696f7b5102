// `qav descriptors`: the device's USB descriptors read through the driver's
// descriptor method (the device descriptor and strings from the device, the
// configuration from the driver's cached copy), decoded as `qav start`
// decodes a simulated device's.
#include <cstdint>
#include <vector>

#include "tools/qav/descriptor_dump.h"
#include "tools/qav/device_commands.h"
#include "tools/qav/qav_device.h"
#include "uac2common/uac2private.h"

namespace qav {
namespace {

constexpr UCHAR kDeviceType = 1;
constexpr UCHAR kConfigurationType = 2;
constexpr UCHAR kStringType = 3;
constexpr USHORT kEnglishUs = 0x0409;
constexpr ULONG kDeviceLength = 18;
constexpr ULONG kMaxStringLength = 255;
// wTotalLength is 16 bits: a buffer this large always holds the whole
// configuration, so one request reads it.
constexpr ULONG kMaxConfigurationLength = 0xffff;

// One descriptor into a buffer of `length` bytes; the bytes the driver
// returned, empty when it failed.
std::vector<uint8_t> ReadDescriptor(CQavDevice &device, UCHAR type, UCHAR index, USHORT language, ULONG length) {
  KSM_UAC_DESCRIPTOR request{};
  request.Method.Set = KSMETHODSETID_UacUsb;
  request.Method.Id = KSMETHOD_UAC_GET_DESCRIPTOR;
  request.Method.Flags = KSMETHOD_TYPE_WRITE;
  request.DescriptorType = type;
  request.DescriptorIndex = index;
  request.LanguageId = language;
  std::vector<uint8_t> bytes(length);
  ULONG returned = 0;
  if (FAILED(device.Filter().KsMethod(&request, sizeof request, bytes.data(), length, &returned))) return {};
  bytes.resize(returned < length ? returned : length);
  return bytes;
}

// The language the device's strings are read in: the first its string 0
// lists, else US English.
USHORT StringLanguage(CQavDevice &device) {
  const std::vector<uint8_t> languages = ReadDescriptor(device, kStringType, 0, 0, kMaxStringLength);
  if (languages.size() >= 4 && languages[0] >= 4 && languages[1] == kStringType) {
    return static_cast<USHORT>(languages[2] | languages[3] << 8);
  }
  return kEnglishUs;
}

}  // namespace

int RunDescriptors(CConsole &console, const Args &) {
  CQavDevice device;
  std::string error;
  if (!device.Open(&error)) {
    console.Err(error);
    return kExitFailed;
  }
  const std::vector<uint8_t> deviceDescriptor = ReadDescriptor(device, kDeviceType, 0, 0, kDeviceLength);
  const std::vector<uint8_t> configuration = ReadDescriptor(device, kConfigurationType, 0, 0, kMaxConfigurationLength);
  if (deviceDescriptor.empty() || configuration.empty()) {
    console.Err(std::string("the driver did not return the ") + (deviceDescriptor.empty() ? "device" : "configuration") +
                " descriptor");
    return kExitFailed;
  }
  const USHORT language = StringLanguage(device);
  // The driver returns the whole buffer for a string; the descriptor's own
  // length says how much of it is the string.
  StringLookup strings = [&device, language](uint8_t index) -> std::optional<std::string> {
    if (index == 0) return std::nullopt;
    std::vector<uint8_t> bytes = ReadDescriptor(device, kStringType, index, language, kMaxStringLength);
    if (bytes.size() < 2 || bytes[1] != kStringType || bytes[0] > bytes.size()) return std::nullopt;
    bytes.resize(bytes[0]);
    return DecodeStringDescriptor(bytes);
  };
  for (const std::string &text : {DumpDeviceDescriptor(deviceDescriptor, strings), DumpConfiguration(configuration, strings)}) {
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      console.Out(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  return kExitOk;
}

}  // namespace qav
