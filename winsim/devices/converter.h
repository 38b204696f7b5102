// What the device's converters do to the samples between the USB stream and
// the outside world: the feature unit on the path scales or mutes each
// channel, and the converter keeps only the format's bBitResolution most
// significant bits of the subslot (a 24-bit converter in a 4-byte subslot
// zeroes the low byte). Applied to what the DAC plays (render) and to what
// the ADC hands to the capture stream, so a loopback passes both.
#pragma once
#include <cstdint>
#include <vector>

#include "winsim/devices/feature_units.h"

namespace winsim::devices {

// One channel's gain as the feature unit sets it: master and channel
// volumes add (in 1/256 dB), either mute silences.
struct ChannelGain {
  bool mute = false;
  int32_t volume = 0;  // 1/256 dB; 0 is unity

  bool Unity() const { return !mute && volume == 0; }
};

class Converter {
 public:
  // bits 0 or ≥ 32: every bit is kept.
  void SetResolution(uint32_t bits);
  // gains[c] is cluster channel c (0-based); channels beyond are at unity.
  void SetGains(std::vector<ChannelGain> gains);

  // Converts `frames` interleaved frames of `channels` samples in place.
  void Apply(int32_t *samples, uint32_t frames, uint32_t channels) const;
  int32_t Sample(int32_t sample, uint32_t channel) const;

 private:
  uint32_t m_mask = 0xFFFFFFFFu;
  std::vector<ChannelGain> m_gains;
  std::vector<double> m_factors;  // linear gain per channel, from m_gains
};

// The gains the feature unit `unitId` applies to a cluster of `channels`
// channels; all unity when the unit is 0 or unknown.
std::vector<ChannelGain> GainsOf(const FeatureUnits &units, uint8_t unitId, uint32_t channels);

// The feature unit on a stream's path: for render, the unit fed by the
// stream's USB input terminal; for capture, the unit feeding its USB output
// terminal. 0 when there is none.
uint8_t StreamFeatureUnit(const DeviceModel &model, StreamDirection direction);

}  // namespace winsim::devices
