// Mute and volume of the feature units: values a host can read back after
// setting them. They do not change the audio the device plays or captures.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "winsim/devices/device_model.h"

namespace winsim::devices {

// Volume is in 1/256 dB steps, as on the wire.
inline constexpr int16_t kVolumeMin = -127 * 256;
inline constexpr int16_t kVolumeMax = 0;
inline constexpr int16_t kVolumeResolution = 256;

inline constexpr uint8_t kFeatureMuteControl = 0x01;
inline constexpr uint8_t kFeatureVolumeControl = 0x02;

enum class ControlAccess : uint8_t { None, ReadOnly, ReadWrite };

class FeatureUnits {
 public:
  explicit FeatureUnits(const DeviceModel &model);

  bool IsUnit(uint8_t id) const { return m_units.count(id) != 0; }
  // What bmaControls allows for a control of a channel (0 = master);
  // None for an unknown unit, channel or control.
  ControlAccess Access(uint8_t unit, uint8_t channel, uint8_t control) const;

  std::optional<bool> Mute(uint8_t unit, uint8_t channel) const;
  bool SetMute(uint8_t unit, uint8_t channel, bool mute);
  std::optional<int16_t> Volume(uint8_t unit, uint8_t channel) const;
  // False for a value outside the range.
  bool SetVolume(uint8_t unit, uint8_t channel, int16_t volume);

 private:
  struct Channel {
    uint32_t controls = 0;
    bool mute = false;
    int16_t volume = kVolumeMax;
  };

  const Channel *Find(uint8_t unit, uint8_t channel) const;

  std::map<uint8_t, std::vector<Channel>> m_units;  // channel 0 is the master
};

}  // namespace winsim::devices
