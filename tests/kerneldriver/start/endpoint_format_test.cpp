// After a rate change the driver rewrites the wave formats of this device's
// audio endpoints in the MMDevices store, found by the first 21 characters
// of its hardware id, and leaves every other endpoint alone. The formats lie
// there as Windows serializes them (VT_BLOB: type and size, then the
// format); one endpoint holds bare formats.
#include <cstddef>
#include <algorithm>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "driver_harness.h"
#include "kerneldriver/device/endpoint_formats.h"

namespace dstest {
namespace {

const std::u16string kRoot = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio";
const char16_t kDevicePath[] = u"{b3f8fa53-0004-438e-9003-51a46e139bfc},2";
const char16_t kDeviceFormat[] = u"{f19f064d-082c-4e27-bc73-6882a1bb8e4c},0";
const char16_t kMixFormat[] = u"{e4870e26-3cc5-4cd2-ba46-ca0a9a70ed04},0";

HANDLE CreateKey(const std::u16string &path) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(path.c_str()));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ULONG disposition = 0;
  EXPECT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition), STATUS_SUCCESS)
      << std::string(path.begin(), path.end());
  return key;
}

// Creates every level of the path and returns the last one, open.
HANDLE CreatePath(const std::u16string &path) {
  size_t next = std::u16string(u"\\Registry\\Machine").size();
  while ((next = path.find(u'\\', next + 1)) != std::u16string::npos) ZwClose(CreateKey(path.substr(0, next)));
  return CreateKey(path);
}

void SetValue(HANDLE key, const char16_t *name, ULONG type, const void *data, ULONG bytes) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, reinterpret_cast<PCWSTR>(name));
  EXPECT_EQ(ZwSetValueKey(key, &valueName, 0, type, const_cast<void *>(data), bytes), STATUS_SUCCESS);
}

WAVEFORMATEXTENSIBLE Format(uint16_t bits, uint32_t rate) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = 2;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<uint16_t>(2 * bits / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = 22;
  return f;
}

// A stored format value: the serialization header, then the format; or
// the format alone.
std::vector<uint8_t> Stored(const WAVEFORMATEXTENSIBLE &format, bool bare) {
  const size_t header = bare ? 0 : 8;
  std::vector<uint8_t> value(header + sizeof format);
  if (!bare) {
    value[0] = 0x41;  // VT_BLOB
    value[4] = sizeof format;
  }
  std::memcpy(value.data() + header, &format, sizeof format);
  return value;
}

class EndpointFormatTest : public DriverStartTest {
 protected:
  // An endpoint under Render or Capture with the given device path and
  // formats at 48000 Hz (24-bit device format, 32-bit mix format).
  void AddEndpoint(const char16_t *flow, const std::u16string &id, const std::u16string &devicePath,
                   bool bare = false) {
    std::u16string properties = kRoot + u"\\" + flow + u"\\" + id + u"\\Properties";
    HANDLE key = CreatePath(properties);
    SetValue(key, kDevicePath, REG_SZ, devicePath.c_str(), static_cast<ULONG>((devicePath.size() + 1) * 2));
    for (const auto &[name, bits] : {std::pair{kDeviceFormat, 24}, std::pair{kMixFormat, 32}}) {
      std::vector<uint8_t> value = Stored(Format(static_cast<uint16_t>(bits), 48000), bare);
      SetValue(key, name, REG_BINARY, value.data(), static_cast<ULONG>(value.size()));
      m_stored[{id, name}] = value;
    }
    ZwClose(key);
    m_endpoints[id] = properties;
    m_bare[id] = bare;
  }

  std::vector<uint8_t> ValueOf(const std::u16string &id, const char16_t *value) {
    HANDLE key = CreateKey(m_endpoints.at(id));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(value));
    uint8_t buffer[128] = {};
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    ZwClose(key);
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    return std::vector<uint8_t>(info->Data, info->Data + info->DataLength);
  }

  // nSamplesPerSec of an endpoint's format value; everything but the three
  // rate fields must be as it was stored.
  uint32_t RateOf(const std::u16string &id, const char16_t *value) {
    const std::vector<uint8_t> now = ValueOf(id, value);
    const std::vector<uint8_t> &stored = m_stored.at({id, value});
    EXPECT_EQ(now.size(), stored.size());
    if (now.size() != stored.size()) return 0;
    const size_t at = m_bare.at(id) ? 0 : 8;
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + static_cast<std::ptrdiff_t>(at) + 4, stored.begin()))
        << "header, format tag and channel count are kept";
    EXPECT_TRUE(std::equal(now.begin() + static_cast<std::ptrdiff_t>(at) + 14, now.end(), stored.begin() + static_cast<std::ptrdiff_t>(at) + 14))
        << "sample size and everything after it are kept";
    WAVEFORMATEX format;
    std::memcpy(&format, now.data() + at, sizeof format);
    return format.nSamplesPerSec;
  }

  void AddLarchEndpoints() {
    AddEndpoint(u"Render", u"{0.0.0.00000000}.{a1}", u"{1}.USB\\VID_2B5A&PID_8014&MI_00\\7&2f1e&0&0000");
    AddEndpoint(u"Render", u"{0.0.0.00000000}.{b2}", u"{1}.USB\\VID_2B5A&PID_8015&MI_00\\7&2f1e&0&0000");
    AddEndpoint(u"Capture", u"{0.0.1.00000000}.{c3}", u"{1}.usb\\vid_2b5a&pid_8014&mi_00\\7&2f1e&0&0000");
    AddEndpoint(u"Capture", u"{0.0.1.00000000}.{d4}", u"{1}.USB\\VID_2B5A&PID_80149\\other", /*bare=*/true);
    AddEndpoint(u"Capture", u"{0.0.1.00000000}.{e5}", u"USB\\VID_2B5A&PID_8014&MI_00\\7&2f1e&0&0000");
  }

  std::map<std::u16string, std::u16string> m_endpoints;
  std::map<std::u16string, bool> m_bare;
  std::map<std::pair<std::u16string, std::u16string>, std::vector<uint8_t>> m_stored;
};

TEST_F(EndpointFormatTest, ARateChangeRewritesTheEndpointsOfThisDeviceOnly) {
  Plug("Larch");
  AddLarchEndpoints();
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  struct Expected {
    const char16_t *id;
    uint32_t rate;
  };
  for (const Expected &e : {Expected{u"{0.0.0.00000000}.{a1}", 96000}, Expected{u"{0.0.0.00000000}.{b2}", 48000},
                            Expected{u"{0.0.1.00000000}.{c3}", 96000}, Expected{u"{0.0.1.00000000}.{d4}", 96000},
                            Expected{u"{0.0.1.00000000}.{e5}", 48000}}) {
    std::u16string id = e.id;
    EXPECT_EQ(RateOf(id, kDeviceFormat), e.rate) << std::string(id.begin(), id.end());
    EXPECT_EQ(RateOf(id, kMixFormat), e.rate) << std::string(id.begin(), id.end());
  }
}

// A value longer than the driver's 64-byte buffer is never patched from a
// partial read: it stays exactly as it was.
TEST_F(EndpointFormatTest, AValueTooLongToReadWholeIsLeftAlone) {
  Plug("Larch");
  AddLarchEndpoints();
  WAVEFORMATEXTENSIBLE format = Format(24, 48000);
  format.Format.cbSize = 22 + 24;
  std::vector<uint8_t> value = Stored(format, false);
  value.resize(value.size() + 24, 0xA5);
  value[4] = static_cast<uint8_t>(value.size() - 8);
  HANDLE key = CreateKey(m_endpoints.at(u"{0.0.0.00000000}.{a1}"));
  SetValue(key, kDeviceFormat, REG_BINARY, value.data(), static_cast<ULONG>(value.size()));
  ZwClose(key);
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  EXPECT_EQ(ValueOf(u"{0.0.0.00000000}.{a1}", kDeviceFormat), value);
  EXPECT_EQ(RateOf(u"{0.0.0.00000000}.{a1}", kMixFormat), 96000u);
}

TEST_F(EndpointFormatTest, AbovePassiveLevelTheUpdateIsDeferredAndFinishesBeforeRemoval) {
  Plug("Larch");
  AddLarchEndpoints();
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  UpdateEndpointFormats(Context(), 44100);
  KeLowerIrql(irql);
  Unplug();  // Remove waits on the remove lock the deferred update holds
  EXPECT_EQ(RateOf(u"{0.0.0.00000000}.{a1}", kDeviceFormat), 44100u);
  EXPECT_EQ(RateOf(u"{0.0.1.00000000}.{c3}", kMixFormat), 44100u);
  EXPECT_EQ(RateOf(u"{0.0.0.00000000}.{b2}", kDeviceFormat), 48000u);
}

}  // namespace
}  // namespace dstest
