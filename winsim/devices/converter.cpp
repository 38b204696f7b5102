#include "winsim/devices/converter.h"

#include <algorithm>
#include <cmath>

namespace winsim::devices {
namespace {

double LinearGain(const ChannelGain &gain) {
  if (gain.mute) return 0.0;
  return std::pow(10.0, static_cast<double>(gain.volume) / (256.0 * 20.0));
}

}  // namespace

void Converter::SetResolution(uint32_t bits) {
  m_mask = bits == 0 || bits >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - bits)) - 1u);
}

void Converter::SetGains(std::vector<ChannelGain> gains) {
  m_gains = std::move(gains);
  m_factors.resize(m_gains.size());
  for (size_t c = 0; c < m_gains.size(); ++c) m_factors[c] = LinearGain(m_gains[c]);
}

int32_t Converter::Sample(int32_t sample, uint32_t channel) const {
  if (channel < m_gains.size() && !m_gains[channel].Unity()) {
    const double scaled = std::round(static_cast<double>(sample) * m_factors[channel]);
    sample = static_cast<int32_t>(std::clamp(scaled, -2147483648.0, 2147483647.0));
  }
  return static_cast<int32_t>(static_cast<uint32_t>(sample) & m_mask);
}

void Converter::Apply(int32_t *samples, uint32_t frames, uint32_t channels) const {
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c, ++samples) *samples = Sample(*samples, c);
  }
}

std::vector<ChannelGain> GainsOf(const FeatureUnits &units, uint8_t unitId, uint32_t channels) {
  std::vector<ChannelGain> gains(channels);
  if (unitId == 0 || !units.IsUnit(unitId)) return gains;
  const bool masterMute = units.Mute(unitId, 0).value_or(false);
  const int32_t masterVolume = units.Volume(unitId, 0).value_or(0);
  for (uint32_t c = 0; c < channels && c < 255; ++c) {
    const auto channel = static_cast<uint8_t>(c + 1);
    gains[c].mute = masterMute || units.Mute(unitId, channel).value_or(false);
    gains[c].volume = masterVolume + units.Volume(unitId, channel).value_or(0);
  }
  return gains;
}

uint8_t StreamFeatureUnit(const DeviceModel &model, StreamDirection direction) {
  const StreamingInterface *stream = FindStream(model, direction);
  if (stream == nullptr || stream->terminalLink == 0) return 0;
  uint8_t source = stream->terminalLink;  // render: the unit reads this terminal
  if (direction == StreamDirection::Capture) {
    const auto out = std::find_if(model.outputTerminals.begin(), model.outputTerminals.end(),
                                  [&](const OutputTerminal &t) { return t.id == stream->terminalLink; });
    if (out == model.outputTerminals.end()) return 0;
    const auto unit = std::find_if(model.featureUnits.begin(), model.featureUnits.end(),
                                   [&](const FeatureUnit &u) { return u.id == out->sourceId; });
    return unit == model.featureUnits.end() ? 0 : unit->id;
  }
  const auto unit = std::find_if(model.featureUnits.begin(), model.featureUnits.end(),
                                 [&](const FeatureUnit &u) { return u.sourceId == source; });
  return unit == model.featureUnits.end() ? 0 : unit->id;
}

}  // namespace winsim::devices
