#include <fstream>
#include <sstream>

#include "tools/qav/sim_source.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/lsusb_text.h"
#include "winsim/devices/raw_text.h"
#include "winsim/devices/string_descriptors.h"

namespace qav {
namespace {

using winsim::devices::DeviceDefinition;
using winsim::devices::ParseError;

constexpr size_t kVendorOffset = 8;
constexpr size_t kProductOffset = 10;
constexpr size_t kIndexProductOffset = 15;

uint16_t U16(const std::vector<uint8_t> &bytes, size_t at) {
  return at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8) : 0;
}

// The driver, not the simulator, decides about a configuration without an
// audio function it serves: such a device is served as its bytes, with no
// audio behaviour behind them (every class request stalls).
bool DriverDecides(ParseError error) {
  return error == ParseError::NoAudioFunction || error == ParseError::NotAudioClass2;
}

DeviceDefinition BytesOnly(const winsim::devices::RawDescriptors &raw) {
  DeviceDefinition definition;
  definition.model.vendorId = U16(raw.device, kVendorOffset);
  definition.model.productId = U16(raw.device, kProductOffset);
  auto product = raw.strings.find(raw.device[kIndexProductOffset]);
  if (product != raw.strings.end()) {
    auto text = winsim::devices::DecodeStringDescriptor(product->second);
    if (text) definition.model.product = winsim::devices::Utf16ToUtf8(*text);
  }
  definition.model.name = definition.model.product;
  definition.descriptors.device = raw.device;
  definition.descriptors.configuration = raw.configuration;
  definition.descriptors.strings = raw.strings;
  definition.fromRawBytes = true;
  return definition;
}

void ApplyFamily(SimDevice &device, bool asFamily) {
  if (!asFamily) return;
  const uint16_t carried = device.definition.model.vendorId;
  const uint16_t family = winsim::devices::kQavVendorId;
  device.definition.model.vendorId = family;
  std::vector<uint8_t> &bytes = device.definition.descriptors.device;
  if (bytes.size() > kVendorOffset + 1) {
    bytes[kVendorOffset] = static_cast<uint8_t>(family);
    bytes[kVendorOffset + 1] = static_cast<uint8_t>(family >> 8);
  }
  char line[160];
  std::snprintf(line, sizeof line, "--as-family: served with the family's vendor id %04X instead of its own %04X",
                family, carried);
  device.notes.push_back(line);
}

}  // namespace

SimDevice SimDeviceFromText(const std::string &label, const std::string &text, bool asFamily) {
  SimDevice device;
  winsim::devices::RawDescriptors raw;
  winsim::devices::RawParseOptions options;
  if (winsim::devices::LooksLikeLsusbText(text)) {
    winsim::devices::LsusbTextResult parsed = winsim::devices::ParseLsusbText(text);
    if (!parsed.ok) {
      device.error = label + ": " + parsed.error;
      return device;
    }
    raw = std::move(parsed.raw);
    device.notes = std::move(parsed.notes);
  } else {
    winsim::devices::RawTextResult parsed = winsim::devices::ParseRawDescriptorText(text);
    if (!parsed.ok) {
      device.error = label + ": " + parsed.error;
      return device;
    }
    raw = std::move(parsed.raw);
    options.rates = std::move(parsed.rates);
  }
  winsim::devices::RawParseResult built = winsim::devices::ParseRawDevice(raw, options);
  if (built.Ok()) {
    device.definition = std::move(built.definition);
  } else if (DriverDecides(built.error)) {
    device.definition = BytesOnly(raw);
    device.notes.push_back("the simulator finds no audio function it can run (" + built.detail +
                           "): the device is served as its bytes alone");
  } else {
    device.error = label + ": the descriptors do not make a device: " + built.detail;
    return device;
  }
  device.ok = true;
  ApplyFamily(device, asFamily);
  return device;
}

SimDevice LoadSimDevice(const SimSource &source) {
  if (const winsim::devices::DeviceModel *model = winsim::devices::FindModel(source.name)) {
    SimDevice device;
    winsim::devices::BuildResult built = winsim::devices::BuildDevice(*model);
    if (!built.Ok()) {
      device.error = "model '" + source.name + "' cannot be built: " + built.detail;
      return device;
    }
    device.definition = std::move(built.definition);
    device.ok = true;
    ApplyFamily(device, source.asFamily);
    return device;
  }
  std::ifstream in(source.name, std::ios::binary);
  if (!in) {
    SimDevice device;
    device.error = "no simulated model and no readable file named '" + source.name + "'; try: qav models";
    return device;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return SimDeviceFromText(source.name, text.str(), source.asFamily);
}

}  // namespace qav
