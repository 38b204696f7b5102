// Reshaping a built configuration descriptor into the shapes real interfaces
// ship, for the raw-model and driver tests: a vendor-specific interface
// first, or the MIDI interface moved out of the class 2.0 function into a
// class 1.0 header-only AudioControl interface placed before or after it.
// Header-only so that every test program can use it.
#pragma once
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/raw_model.h"

namespace reshape {

using Bytes = std::vector<uint8_t>;

// The descriptors after the configuration header, each whole.
inline std::vector<Bytes> Split(const Bytes &config) {
  std::vector<Bytes> out;
  for (size_t pos = 9; pos + 2 <= config.size() && config[pos] >= 2 && pos + config[pos] <= config.size();
       pos += config[pos]) {
    out.emplace_back(config.begin() + static_cast<std::ptrdiff_t>(pos), config.begin() + static_cast<std::ptrdiff_t>(pos + config[pos]));
  }
  return out;
}

inline bool IsInterface(const Bytes &d) { return d.size() >= 9 && d[1] == 0x04; }
inline bool IsAssociation(const Bytes &d) { return d.size() >= 8 && d[1] == 0x0B; }

// The header of `config` followed by the descriptors, with wTotalLength and
// bNumInterfaces (distinct interface numbers) recomputed.
inline Bytes Join(const Bytes &config, const std::vector<Bytes> &descriptors) {
  Bytes out(config.begin(), config.begin() + 9);
  std::set<uint8_t> numbers;
  for (const Bytes &d : descriptors) {
    out.insert(out.end(), d.begin(), d.end());
    if (IsInterface(d)) numbers.insert(d[2]);
  }
  out[2] = static_cast<uint8_t>(out.size());
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  out[4] = static_cast<uint8_t>(numbers.size());
  return out;
}

// Interface numbers (and association first-interface numbers) moved by `by`.
inline void Shift(std::vector<Bytes> &descriptors, int by) {
  for (Bytes &d : descriptors) {
    if (IsInterface(d) || IsAssociation(d)) d[2] = static_cast<uint8_t>(d[2] + by);
  }
}

// Takes every descriptor of the interfaces of one subclass of class 1 out of
// `descriptors` (each interface from its interface descriptor to the next
// interface or association descriptor); associations lose them from their count.
inline std::vector<Bytes> TakeAudioSubclass(std::vector<Bytes> &descriptors, uint8_t subclass) {
  std::vector<Bytes> taken, kept;
  bool inside = false;
  for (const Bytes &d : descriptors) {
    if (IsInterface(d)) inside = d[5] == 0x01 && d[6] == subclass;
    if (IsAssociation(d)) inside = false;
    (inside ? taken : kept).push_back(d);
  }
  uint8_t removed = 0;
  std::set<uint8_t> counted;
  for (const Bytes &d : taken) {
    if (IsInterface(d) && counted.insert(d[2]).second) ++removed;
  }
  for (Bytes &d : kept) {
    if (IsAssociation(d)) d[3] = static_cast<uint8_t>(d[3] - removed);
  }
  descriptors = kept;
  return taken;
}

inline Bytes VendorInterface(uint8_t number) { return {9, 0x04, number, 0, 0, 0xFF, 0xFF, 0xFF, 0}; }

// A class 1.0 AudioControl interface whose header lists the MIDI interface.
inline std::vector<Bytes> ClassOneControl(uint8_t number, uint8_t midiNumber) {
  return {{9, 0x04, number, 0, 0, 0x01, 0x01, 0x00, 0}, {9, 0x24, 0x01, 0x00, 0x01, 9, 0, 1, midiNumber}};
}

enum class Shape { VendorFirst, ClassOneMidiBefore, ClassOneMidiAfter };

// The model's configuration in the given shape. ClassOneMidi* need a model
// with a MIDI interface, the last interface of its function.
inline Bytes Reshaped(const Bytes &config, Shape shape) {
  std::vector<Bytes> descriptors = Split(config);
  if (shape == Shape::VendorFirst) {
    Shift(descriptors, 1);
    descriptors.insert(descriptors.begin(), VendorInterface(0));
    return Join(config, descriptors);
  }
  std::vector<Bytes> midi = TakeAudioSubclass(descriptors, 0x03);
  std::set<uint8_t> numbers;
  for (const Bytes &d : descriptors) {
    if (IsInterface(d)) numbers.insert(d[2]);
  }
  const uint8_t count = static_cast<uint8_t>(numbers.size());
  std::vector<Bytes> control;
  if (shape == Shape::ClassOneMidiBefore) {
    Shift(descriptors, 2);
    Shift(midi, 1 - midi.front()[2]);
    control = ClassOneControl(0, 1);
    std::vector<Bytes> out = control;
    out.insert(out.end(), midi.begin(), midi.end());
    out.insert(out.end(), descriptors.begin(), descriptors.end());
    return Join(config, out);
  }
  Shift(midi, count + 1 - midi.front()[2]);
  control = ClassOneControl(count, static_cast<uint8_t>(count + 1));
  descriptors.insert(descriptors.end(), control.begin(), control.end());
  descriptors.insert(descriptors.end(), midi.begin(), midi.end());
  return Join(config, descriptors);
}

// A device served from the model's bytes in the given shape.
inline winsim::devices::RawParseResult ReshapedDevice(const winsim::devices::DeviceModel &model, Shape shape) {
  const winsim::devices::BuildResult built = winsim::devices::BuildDevice(model);
  const winsim::devices::DescriptorSet &set = built.definition.descriptors;
  return winsim::devices::ParseRawDevice(
      winsim::devices::RawDescriptors{set.device, Reshaped(set.configuration, shape), set.strings},
      {model.name, model.clocks.front().rates});
}

}  // namespace reshape
