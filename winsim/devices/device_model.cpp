#include "winsim/devices/device_model.h"

#include <algorithm>
#include <set>

namespace winsim::devices {
namespace {

constexpr uint32_t kHighSpeedTransactionBytes = 1024;
constexpr uint32_t kHighSpeedMaxTransactions = 3;
constexpr uint32_t kFullSpeedIsoMaxBytes = 1023;

std::set<uint8_t> UsedEntityIds(const DeviceModel &model) {
  std::set<uint8_t> used;
  for (const ClockSource &clock : model.clocks) used.insert(clock.id);
  if (model.selector) used.insert(model.selector->id);
  for (const InputTerminal &it : model.inputTerminals) used.insert(it.id);
  for (const OutputTerminal &ot : model.outputTerminals) used.insert(ot.id);
  for (const FeatureUnit &fu : model.featureUnits) used.insert(fu.id);
  return used;
}

uint8_t NextFreeId(std::set<uint8_t> &used) {
  for (unsigned id = 1; id < 256; ++id) {
    if (used.insert(static_cast<uint8_t>(id)).second) return static_cast<uint8_t>(id);
  }
  return 0;
}

void AddPath(DeviceModel &model, StreamingInterface &stream, std::set<uint8_t> &used, uint16_t physicalType) {
  const uint8_t clock = ClockEntityId(model);
  const bool render = stream.direction == StreamDirection::Render;
  InputTerminal it;
  it.id = NextFreeId(used);
  it.terminalType = render ? usb_const::kTerminalUsbStreaming : physicalType;
  it.clockId = clock;
  it.channels = stream.channels;
  it.channelConfig = stream.channelConfig;
  it.channelNames = stream.channelNames;
  FeatureUnit fu;
  fu.id = NextFreeId(used);
  fu.sourceId = it.id;
  fu.channels = stream.channels;
  OutputTerminal ot;
  ot.id = NextFreeId(used);
  ot.terminalType = render ? physicalType : usb_const::kTerminalUsbStreaming;
  ot.sourceId = fu.id;
  ot.clockId = clock;
  stream.terminalLink = render ? it.id : ot.id;
  model.inputTerminals.push_back(std::move(it));
  model.featureUnits.push_back(std::move(fu));
  model.outputTerminals.push_back(std::move(ot));
}

bool FitsFullSpeed(const DeviceModel &model, uint32_t rate) {
  for (const StreamingInterface &stream : model.streams) {
    for (const StreamFormat &format : stream.formats) {
      if (format.maxRate != 0 && rate > format.maxRate) continue;
      if (MaxPacketBytes(UsbSpeed::Full, rate, FormatChannels(stream, format), format.subslotSize) >
          kFullSpeedIsoMaxBytes) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

uint8_t ClockEntityId(const DeviceModel &model) {
  if (model.selector) return model.selector->id;
  return model.clocks.empty() ? 0 : model.clocks.front().id;
}

const ClockSource *FindClock(const DeviceModel &model, uint8_t id) {
  for (const ClockSource &clock : model.clocks) {
    if (clock.id == id) return &clock;
  }
  return nullptr;
}

const StreamingInterface *FindStream(const DeviceModel &model, StreamDirection direction) {
  for (const StreamingInterface &stream : model.streams) {
    if (stream.direction == direction) return &stream;
  }
  return nullptr;
}

uint32_t MaxClockRate(const DeviceModel &model) {
  uint32_t highest = 0;
  for (const ClockSource &clock : model.clocks) {
    for (uint32_t rate : clock.rates) highest = std::max(highest, rate);
    for (const RateSubrange &subrange : clock.subranges) highest = std::max(highest, subrange.maximum);
  }
  return highest;
}

bool ClockAccepts(const ClockSource &clock, uint32_t rate) {
  if (clock.subranges.empty()) return std::find(clock.rates.begin(), clock.rates.end(), rate) != clock.rates.end();
  return std::any_of(clock.subranges.begin(), clock.subranges.end(), [rate](const RateSubrange &s) {
    if (rate < s.minimum || rate > s.maximum) return false;
    return s.resolution == 0 ? rate == s.minimum || rate == s.maximum : (rate - s.minimum) % s.resolution == 0;
  });
}

uint8_t FormatChannels(const StreamingInterface &stream, const StreamFormat &format) {
  return format.channels != 0 ? format.channels : stream.channels;
}

size_t InterfaceCount(const DeviceModel &model) {
  return 1 + model.streams.size() + (model.midi ? 1 : 0) + model.extraInterfaces.size();
}

uint32_t FormatMaxRate(const DeviceModel &model, const StreamFormat &format) {
  const uint32_t clocks = MaxClockRate(model);
  if (format.maxRate == 0) return clocks;
  return clocks == 0 ? format.maxRate : std::min(clocks, format.maxRate);
}

uint32_t MaxPacketBytes(UsbSpeed speed, uint32_t rate, uint32_t channels, uint32_t subslot) {
  const uint64_t intervalsPerSecond = speed == UsbSpeed::High ? 8000 : 1000;
  const uint64_t samples = (rate + intervalsPerSecond - 1) / intervalsPerSecond + 1;
  const uint64_t bytes = samples * channels * subslot;
  return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

std::optional<uint16_t> EncodeMaxPacketSize(UsbSpeed speed, uint32_t bytes) {
  if (speed == UsbSpeed::Full) {
    if (bytes > kFullSpeedIsoMaxBytes) return std::nullopt;
    return static_cast<uint16_t>(bytes);
  }
  if (bytes <= kHighSpeedTransactionBytes) return static_cast<uint16_t>(bytes);
  const uint32_t transactions = (bytes + kHighSpeedTransactionBytes - 1) / kHighSpeedTransactionBytes;
  if (transactions > kHighSpeedMaxTransactions) return std::nullopt;
  const uint32_t perTransaction = (bytes + transactions - 1) / transactions;
  return static_cast<uint16_t>(perTransaction | ((transactions - 1) << 11));
}

uint32_t DecodeMaxPacketBytes(uint16_t wMaxPacketSize) {
  const uint32_t size = wMaxPacketSize & 0x07FF;
  const uint32_t additional = (wMaxPacketSize >> 11) & 0x3;
  return size * (1 + (additional == 3 ? 0 : additional));
}

void AddStreamingTopology(DeviceModel &model, uint16_t renderSinkType, uint16_t captureSourceType) {
  std::set<uint8_t> used = UsedEntityIds(model);
  for (StreamingInterface &stream : model.streams) {
    if (stream.terminalLink != 0) continue;
    const bool render = stream.direction == StreamDirection::Render;
    AddPath(model, stream, used, render ? renderSinkType : captureSourceType);
  }
}

DeviceModel FullSpeedVariant(const DeviceModel &model) {
  DeviceModel variant = model;
  variant.speed = UsbSpeed::Full;
  for (ClockSource &clock : variant.clocks) {
    std::vector<uint32_t> kept;
    for (uint32_t rate : clock.rates) {
      if (FitsFullSpeed(variant, rate)) kept.push_back(rate);
    }
    if (!kept.empty()) clock.rates = std::move(kept);
  }
  return variant;
}

DeviceModel FirmwareUpdateVariant(const DeviceModel &model) {
  DeviceModel variant;
  variant.name = model.name;
  variant.vendorId = model.vendorId;
  variant.productId = model.productId;
  variant.bcdDevice = model.bcdDevice;
  variant.manufacturer = model.manufacturer;
  variant.product = model.product;
  variant.serial = model.serial;
  variant.speed = model.speed;
  variant.firmwareUpdateMode = true;
  return variant;
}

uint32_t DacDelayFrames(const DeviceBehaviour &behaviour) {
  const uint32_t loopback = behaviour.loopbackDelaySamples;
  return behaviour.dacDelayFrames == 0 ? (loopback + 1) / 2 : std::min(behaviour.dacDelayFrames, loopback);
}

uint32_t AdcDelayFrames(const DeviceBehaviour &behaviour) {
  return behaviour.loopbackDelaySamples - DacDelayFrames(behaviour);
}

}  // namespace winsim::devices
