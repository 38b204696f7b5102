#include "winsim/devices/feature_units.h"

namespace winsim::devices {

FeatureUnits::FeatureUnits(const DeviceModel &model) {
  for (const FeatureUnit &unit : model.featureUnits) {
    std::vector<Channel> channels(static_cast<size_t>(unit.channels) + 1);
    channels[0].controls = unit.masterControls;
    for (size_t ch = 1; ch < channels.size(); ++ch) channels[ch].controls = unit.channelControls;
    m_units[unit.id] = std::move(channels);
  }
}

const FeatureUnits::Channel *FeatureUnits::Find(uint8_t unit, uint8_t channel) const {
  auto found = m_units.find(unit);
  if (found == m_units.end() || channel >= found->second.size()) return nullptr;
  return &found->second[channel];
}

ControlAccess FeatureUnits::Access(uint8_t unit, uint8_t channel, uint8_t control) const {
  const Channel *ch = Find(unit, channel);
  if (ch == nullptr || control == 0 || control > 16) return ControlAccess::None;
  switch ((ch->controls >> (2 * (control - 1))) & 0x3) {
    case 0x1: return ControlAccess::ReadOnly;
    case 0x3: return ControlAccess::ReadWrite;
    default: return ControlAccess::None;
  }
}

std::optional<bool> FeatureUnits::Mute(uint8_t unit, uint8_t channel) const {
  const Channel *ch = Find(unit, channel);
  return ch ? std::optional<bool>(ch->mute) : std::nullopt;
}

bool FeatureUnits::SetMute(uint8_t unit, uint8_t channel, bool mute) {
  Channel *ch = const_cast<Channel *>(Find(unit, channel));
  if (ch == nullptr) return false;
  ch->mute = mute;
  return true;
}

std::optional<int16_t> FeatureUnits::Volume(uint8_t unit, uint8_t channel) const {
  const Channel *ch = Find(unit, channel);
  return ch ? std::optional<int16_t>(ch->volume) : std::nullopt;
}

bool FeatureUnits::SetVolume(uint8_t unit, uint8_t channel, int16_t volume) {
  Channel *ch = const_cast<Channel *>(Find(unit, channel));
  if (ch == nullptr || volume < kVolumeMin || volume > kVolumeMax) return false;
  ch->volume = volume;
  return true;
}

}  // namespace winsim::devices
