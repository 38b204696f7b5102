#include "winsim/devices/interface_layout.h"

#include <algorithm>

#include "winsim/devices/byte_io.h"
#include "winsim/devices/config_walk.h"

namespace winsim::devices {
namespace {

using namespace usb_const;

constexpr uint32_t kMicroframesPerFrame = 8;
constexpr uint8_t kMaxIntervalExponent = 15;

uint32_t IntervalMicroframes(uint8_t transfer, uint8_t bInterval, UsbSpeed speed) {
  if (transfer == kXferBulk || transfer == kXferControl) return 0;
  const bool high = speed == UsbSpeed::High;
  if (transfer == kXferInterrupt && !high) return std::max<uint32_t>(bInterval, 1) * kMicroframesPerFrame;
  const uint32_t exponent = std::min<uint32_t>(std::max<uint8_t>(bInterval, 1) - 1, kMaxIntervalExponent);
  return (1u << exponent) * (high ? 1 : kMicroframesPerFrame);
}

EndpointInfo ReadEndpoint(std::span<const uint8_t> b, UsbSpeed speed) {
  EndpointInfo endpoint;
  endpoint.address = b[2];
  endpoint.attributes = b[3];
  endpoint.maxPacketBytes = DecodeMaxPacketBytes(ReadU16(b, 4));
  endpoint.intervalMicroframes = IntervalMicroframes(endpoint.Transfer(), b[6], speed);
  return endpoint;
}

InterfaceInfo &InterfaceFor(InterfaceLayout &layout, const InterfaceRecord &record) {
  for (InterfaceInfo &itf : layout.interfaces) {
    if (itf.number == record.number) return itf;
  }
  InterfaceInfo itf;
  itf.number = record.number;
  itf.cls = record.cls;
  itf.subclass = record.subclass;
  itf.protocol = record.protocol;
  layout.interfaces.push_back(std::move(itf));
  return layout.interfaces.back();
}

void ReadStreamingDescriptor(AltSetting &alt, const DescriptorRecord &d, std::span<const uint8_t> b) {
  if (d.type != kCsInterface) return;
  if (d.subtype == kAsGeneral && b.size() >= kAsGeneralLength) alt.channels = b[10];
  if (d.subtype == kAsFormatType && b.size() >= kFormatTypeILength && b[3] == kFormatTypeI && alt.subslot == 0) {
    alt.subslot = b[4];
    alt.bitResolution = b[5];
  }
}

// One AltSetting per interface descriptor, in descriptor order; returns the
// setting each InterfaceRecord filled. Pointers are taken once every
// interface exists, so they stay valid.
std::vector<AltSetting *> AddInterfaces(InterfaceLayout &layout, const ConfigurationWalk &walk) {
  for (const InterfaceRecord &record : walk.interfaces) {
    InterfaceFor(layout, record).alternates.push_back(AltSetting{record.alternate, {}, 0, 0, 0});
  }
  std::vector<AltSetting *> alts;
  for (const InterfaceRecord &record : walk.interfaces) {
    AltSetting *alt = nullptr;
    for (AltSetting &candidate : InterfaceFor(layout, record).alternates) {
      if (candidate.alternate == record.alternate) alt = &candidate;
    }
    alts.push_back(alt);
  }
  return alts;
}

}  // namespace

bool EndpointInfo::IsoData() const {
  return Transfer() == kXferIsochronous && (attributes & kUsageMask) != kUsageFeedback;
}

bool EndpointInfo::IsoFeedback() const {
  return Transfer() == kXferIsochronous && (attributes & kUsageMask) == kUsageFeedback;
}

const EndpointInfo *AltSetting::Endpoint(uint8_t address) const {
  for (const EndpointInfo &endpoint : endpoints) {
    if (endpoint.address == address) return &endpoint;
  }
  return nullptr;
}

const EndpointInfo *AltSetting::DataEndpoint() const {
  for (const EndpointInfo &endpoint : endpoints) {
    if (endpoint.IsoData()) return &endpoint;
  }
  return nullptr;
}

const EndpointInfo *AltSetting::FeedbackEndpoint() const {
  for (const EndpointInfo &endpoint : endpoints) {
    if (endpoint.IsoFeedback() && endpoint.In()) return &endpoint;
  }
  return nullptr;
}

const AltSetting *InterfaceInfo::Alternate(uint8_t alternate) const {
  for (const AltSetting &alt : alternates) {
    if (alt.alternate == alternate) return &alt;
  }
  return nullptr;
}

bool InterfaceInfo::AudioControl() const { return cls == kClassAudio && subclass == kSubclassAudioControl; }

bool InterfaceInfo::AudioStreaming() const { return cls == kClassAudio && subclass == kSubclassAudioStreaming; }

const InterfaceInfo *InterfaceLayout::Find(uint8_t number) const {
  for (const InterfaceInfo &itf : interfaces) {
    if (itf.number == number) return &itf;
  }
  return nullptr;
}

const InterfaceInfo *InterfaceLayout::AudioControl() const {
  const InterfaceInfo *first = nullptr;
  for (const InterfaceInfo &itf : interfaces) {
    if (!itf.AudioControl()) continue;
    if (itf.protocol == kProtocolUac2) return &itf;
    if (first == nullptr) first = &itf;
  }
  return first;
}

InterfaceLayout ReadInterfaceLayout(std::span<const uint8_t> configuration, UsbSpeed speed) {
  InterfaceLayout layout;
  const ConfigurationWalk walk = WalkConfiguration(configuration);
  if (!walk.Ok()) return layout;
  layout.configurationValue = ReadU8(configuration, 5);
  const std::vector<AltSetting *> alts = AddInterfaces(layout, walk);
  for (const DescriptorRecord &d : walk.descriptors) {
    if (d.interface < 0) continue;
    AltSetting &alt = *alts[static_cast<size_t>(d.interface)];
    const auto bytes = configuration.subspan(d.offset, d.length);
    if (d.type == kEndpoint) alt.endpoints.push_back(ReadEndpoint(bytes, speed));
    const InterfaceRecord &owner = walk.interfaces[static_cast<size_t>(d.interface)];
    if (owner.cls == kClassAudio && owner.subclass == kSubclassAudioStreaming) ReadStreamingDescriptor(alt, d, bytes);
  }
  return layout;
}

}  // namespace winsim::devices
