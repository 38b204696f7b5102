#include "winsim/devices/descriptor_corruption.h"

#include <set>

#include "winsim/devices/byte_io.h"
#include "winsim/devices/config_walk.h"
#include "winsim/devices/usb_constants.h"

namespace winsim::devices {
namespace {

using namespace usb_const;

constexpr uint8_t kUndefinedSubtype = 0x00;
constexpr uint8_t kVendorSpecificClass = 0xFF;
constexpr uint8_t kInternalFixedClock = 0x01;
constexpr uint8_t kReadOnlyFrequencyAndValidity = 0x05;

bool IsControlInterface(const ConfigurationWalk &walk, const DescriptorRecord &d) {
  if (d.interface < 0) return false;
  const InterfaceRecord &itf = walk.interfaces[static_cast<size_t>(d.interface)];
  return itf.cls == kClassAudio && itf.subclass == kSubclassAudioControl;
}

bool IsClockSource(const ConfigurationWalk &walk, const DescriptorRecord &d) {
  return d.type == kCsInterface && d.subtype == kAcClockSource && IsControlInterface(walk, d);
}

bool IsClassSpecific(const DescriptorRecord &d) { return d.type == kCsInterface || d.type == kCsEndpoint; }

std::optional<size_t> PickTarget(const ConfigurationWalk &walk, Corruption kind, size_t target) {
  const auto &all = walk.descriptors;
  if (target != kDefaultCorruptionTarget) {
    if (target >= all.size()) return std::nullopt;
    if (kind == Corruption::WrongSubtype && !IsClassSpecific(all[target])) return std::nullopt;
    return target;
  }
  for (size_t i = 0; i < all.size(); ++i) {
    if (IsClockSource(walk, all[i])) return i;
  }
  for (size_t i = 0; i < all.size(); ++i) {
    if (kind != Corruption::WrongSubtype || IsClassSpecific(all[i])) return i;
  }
  return std::nullopt;
}

bool SetTotalLength(std::vector<uint8_t> &bytes) {
  if (bytes.size() > UINT16_MAX) return false;
  WriteU16(bytes, 2, static_cast<uint16_t>(bytes.size()));
  return true;
}

std::optional<std::vector<uint8_t>> Truncate(std::vector<uint8_t> bytes, const ConfigurationWalk &walk) {
  if (walk.descriptors.empty()) return std::nullopt;
  const DescriptorRecord &last = walk.descriptors.back();
  bytes.resize(last.offset + last.length / 2);
  SetTotalLength(bytes);
  return bytes;
}

std::optional<std::vector<uint8_t>> AddInterfaces(std::vector<uint8_t> bytes, const ConfigurationWalk &walk) {
  std::set<uint8_t> numbers;
  for (const InterfaceRecord &itf : walk.interfaces) numbers.insert(itf.number);
  for (unsigned number = 0; numbers.size() <= kMaxInterfaces && number < 256; ++number) {
    if (!numbers.insert(static_cast<uint8_t>(number)).second) continue;
    const uint8_t itf[] = {kInterfaceLength, kInterface, static_cast<uint8_t>(number), 0, 0,
                           kVendorSpecificClass, 0, 0, 0};
    bytes.insert(bytes.end(), std::begin(itf), std::end(itf));
  }
  bytes[4] = static_cast<uint8_t>(numbers.size());
  if (!SetTotalLength(bytes)) return std::nullopt;
  return bytes;
}

// New clock sources go right after the AudioControl header, so the class-
// specific part stays contiguous; the header's wTotalLength grows with them.
std::optional<std::vector<uint8_t>> AddClocks(std::vector<uint8_t> bytes, const ConfigurationWalk &walk) {
  const DescriptorRecord *header = nullptr;
  std::set<uint8_t> ids;
  size_t clocks = 0;
  for (const DescriptorRecord &d : walk.descriptors) {
    if (d.type != kCsInterface || !IsControlInterface(walk, d)) continue;
    if (d.subtype == kAcHeader && !header) header = &d;
    if (d.subtype != kAcHeader) ids.insert(bytes[d.offset + 3]);
    if (d.subtype == kAcClockSource) ++clocks;
  }
  if (!header) return std::nullopt;
  std::vector<uint8_t> added;
  for (unsigned id = 0xFF; clocks <= kMaxClockSources && id > 0; --id) {
    if (ids.count(static_cast<uint8_t>(id))) continue;
    const uint8_t clock[] = {kClockSourceLength, kCsInterface, kAcClockSource, static_cast<uint8_t>(id),
                             kInternalFixedClock, kReadOnlyFrequencyAndValidity, 0, 0};
    added.insert(added.end(), std::begin(clock), std::end(clock));
    ++clocks;
  }
  const size_t at = header->offset + header->length;
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), added.begin(), added.end());
  const uint32_t classSpecific = ReadU16(bytes, header->offset + 6) + added.size();
  if (classSpecific > UINT16_MAX) return std::nullopt;
  WriteU16(bytes, header->offset + 6, static_cast<uint16_t>(classSpecific));
  if (!SetTotalLength(bytes)) return std::nullopt;
  return bytes;
}

}  // namespace

const char *CorruptionName(Corruption kind) {
  switch (kind) {
    case Corruption::ZeroLength: return "zero bLength";
    case Corruption::OverlongLength: return "overlong bLength";
    case Corruption::TruncatedTotalLength: return "truncated wTotalLength";
    case Corruption::TooManyInterfaces: return "too many interfaces";
    case Corruption::TooManyClocks: return "too many clock sources";
    case Corruption::WrongSubtype: return "wrong descriptor subtype";
  }
  return "unknown";
}

std::optional<std::vector<uint8_t>> CorruptConfiguration(std::span<const uint8_t> configuration, Corruption kind,
                                                         size_t target) {
  const ConfigurationWalk walk = WalkConfiguration(configuration);
  if (!walk.Ok()) return std::nullopt;
  std::vector<uint8_t> bytes(configuration.begin(), configuration.begin() + walk.totalLength);
  switch (kind) {
    case Corruption::TruncatedTotalLength: return Truncate(std::move(bytes), walk);
    case Corruption::TooManyInterfaces: return AddInterfaces(std::move(bytes), walk);
    case Corruption::TooManyClocks: return AddClocks(std::move(bytes), walk);
    default: break;
  }
  const std::optional<size_t> index = PickTarget(walk, kind, target);
  if (!index) return std::nullopt;
  const DescriptorRecord &d = walk.descriptors[*index];
  if (kind == Corruption::ZeroLength) bytes[d.offset] = 0;
  if (kind == Corruption::OverlongLength) {
    if (d.length == 0xFF) return std::nullopt;
    bytes[d.offset] = 0xFF;
  }
  if (kind == Corruption::WrongSubtype) bytes[d.offset + 2] = kUndefinedSubtype;
  return bytes;
}

}  // namespace winsim::devices
