#include "winsim/devices/model_validation.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace winsim::devices {
namespace {

constexpr size_t kMaxInterfaces = 8;
constexpr size_t kMaxFeatureUnitChannels = 61;  // 6 + 62 * 4 = 254 bytes
constexpr size_t kMaxSelectorInputs = 248;      // 7 + 248 = 255 bytes
constexpr size_t kMaxMidiCables = 16;

std::string Id(const char *what, unsigned id) {
  char text[64];
  std::snprintf(text, sizeof text, "%s 0x%02X", what, id);
  return text;
}

bool ValidEndpoint(uint8_t address, bool in) {
  const uint8_t number = address & 0x7F;
  return number >= 1 && number <= 15 && ((address & usb_const::kEndpointIn) != 0) == in;
}

class Validator {
 public:
  Validator(const DeviceModel &model, std::string &detail) : m_model(model), m_detail(detail) {}

  BuildError Run() {
    if (m_model.firmwareUpdateMode) return BuildError::None;
    BuildError error = CheckClocks();
    if (error == BuildError::None) error = CheckEntities();
    if (error == BuildError::None) error = CheckStreams();
    if (error == BuildError::None) error = CheckMidi();
    if (error == BuildError::None) error = CheckEndpointsAndInterfaces();
    return error;
  }

 private:
  BuildError Fail(BuildError error, std::string detail) {
    m_detail = std::move(detail);
    return error;
  }

  bool IsClockEntity(uint8_t id) const {
    return FindClock(m_model, id) != nullptr || (m_model.selector && m_model.selector->id == id);
  }
  bool IsTerminal(uint8_t id) const {
    return std::any_of(m_model.inputTerminals.begin(), m_model.inputTerminals.end(),
                       [&](const InputTerminal &t) { return t.id == id; }) ||
           std::any_of(m_model.outputTerminals.begin(), m_model.outputTerminals.end(),
                       [&](const OutputTerminal &t) { return t.id == id; });
  }
  bool IsAudioSource(uint8_t id) const {
    return std::any_of(m_model.inputTerminals.begin(), m_model.inputTerminals.end(),
                       [&](const InputTerminal &t) { return t.id == id; }) ||
           std::any_of(m_model.featureUnits.begin(), m_model.featureUnits.end(),
                       [&](const FeatureUnit &u) { return u.id == id; });
  }

  BuildError CheckClocks() {
    if (m_model.clocks.empty()) return Fail(BuildError::NoClock, "no clock source");
    for (const ClockSource &clock : m_model.clocks) {
      if (clock.rates.empty() && clock.subranges.empty()) {
        return Fail(BuildError::NoClock, Id("no rates on clock", clock.id));
      }
      for (const RateSubrange &subrange : clock.subranges) {
        if (subrange.minimum == 0 || subrange.minimum > subrange.maximum) {
          return Fail(BuildError::NoClock, Id("empty rate subrange on clock", clock.id));
        }
      }
      if (clock.assocTerminal != 0 && !IsTerminal(clock.assocTerminal)) {
        return Fail(BuildError::BadEntity, Id("clock associates a missing terminal", clock.assocTerminal));
      }
    }
    if (!m_model.selector) return BuildError::None;
    const ClockSelector &selector = *m_model.selector;
    if (selector.inputs.empty()) return Fail(BuildError::BadEntity, "clock selector without inputs");
    if (selector.inputs.size() > kMaxSelectorInputs) return Fail(BuildError::DescriptorTooLong, "clock selector");
    for (uint8_t input : selector.inputs) {
      if (!FindClock(m_model, input)) return Fail(BuildError::BadEntity, Id("selector input is no clock source", input));
    }
    return BuildError::None;
  }

  BuildError CheckUnique() {
    std::set<uint8_t> ids;
    auto add = [&](uint8_t id) { return id != 0 && ids.insert(id).second; };
    for (const ClockSource &c : m_model.clocks) {
      if (!add(c.id)) return Fail(BuildError::BadEntity, Id("clock id zero or duplicated", c.id));
    }
    if (m_model.selector && !add(m_model.selector->id)) {
      return Fail(BuildError::BadEntity, Id("selector id zero or duplicated", m_model.selector->id));
    }
    for (const InputTerminal &t : m_model.inputTerminals) {
      if (!add(t.id)) return Fail(BuildError::BadEntity, Id("terminal id zero or duplicated", t.id));
    }
    for (const OutputTerminal &t : m_model.outputTerminals) {
      if (!add(t.id)) return Fail(BuildError::BadEntity, Id("terminal id zero or duplicated", t.id));
    }
    for (const FeatureUnit &u : m_model.featureUnits) {
      if (!add(u.id)) return Fail(BuildError::BadEntity, Id("unit id zero or duplicated", u.id));
    }
    return BuildError::None;
  }

  BuildError CheckEntities() {
    if (BuildError error = CheckUnique(); error != BuildError::None) return error;
    for (const InputTerminal &t : m_model.inputTerminals) {
      if (!IsClockEntity(t.clockId)) return Fail(BuildError::BadEntity, Id("input terminal without clock", t.id));
      if (!t.channelNames.empty() && t.channelNames.size() != t.channels) {
        return Fail(BuildError::BadEntity, Id("channel names do not match channels of terminal", t.id));
      }
      if (t.assocTerminal != 0 && !IsTerminal(t.assocTerminal)) {
        return Fail(BuildError::BadEntity, Id("missing associated terminal of", t.id));
      }
    }
    for (const OutputTerminal &t : m_model.outputTerminals) {
      if (!IsClockEntity(t.clockId)) return Fail(BuildError::BadEntity, Id("output terminal without clock", t.id));
      if (!IsAudioSource(t.sourceId)) return Fail(BuildError::BadEntity, Id("output terminal source missing", t.id));
      if (t.assocTerminal != 0 && !IsTerminal(t.assocTerminal)) {
        return Fail(BuildError::BadEntity, Id("missing associated terminal of", t.id));
      }
    }
    for (const FeatureUnit &u : m_model.featureUnits) {
      if (!IsAudioSource(u.sourceId)) return Fail(BuildError::BadEntity, Id("feature unit source missing", u.id));
      if (u.channels == 0) return Fail(BuildError::BadEntity, Id("feature unit without channels", u.id));
      if (u.channels > kMaxFeatureUnitChannels) return Fail(BuildError::DescriptorTooLong, Id("feature unit", u.id));
    }
    return BuildError::None;
  }

  bool LinksStreamingTerminal(const StreamingInterface &stream) const {
    if (stream.direction == StreamDirection::Render) {
      return std::any_of(m_model.inputTerminals.begin(), m_model.inputTerminals.end(), [&](const InputTerminal &t) {
        return t.id == stream.terminalLink && t.terminalType == usb_const::kTerminalUsbStreaming;
      });
    }
    return std::any_of(m_model.outputTerminals.begin(), m_model.outputTerminals.end(), [&](const OutputTerminal &t) {
      return t.id == stream.terminalLink && t.terminalType == usb_const::kTerminalUsbStreaming;
    });
  }

  BuildError CheckStream(const StreamingInterface &stream, size_t index) {
    const std::string name = "stream " + std::to_string(index);
    const bool render = stream.direction == StreamDirection::Render;
    if (stream.channels == 0) return Fail(BuildError::BadStream, name + ": no channels");
    if (!stream.channelNames.empty() && stream.channelNames.size() != stream.channels) {
      return Fail(BuildError::BadStream, name + ": channel names do not match channels");
    }
    if (stream.formats.empty()) return Fail(BuildError::BadStream, name + ": no formats");
    for (const StreamFormat &format : stream.formats) {
      if (format.subslotSize < 1 || format.subslotSize > 4 || format.bitResolution == 0 ||
          format.bitResolution > format.subslotSize * 8) {
        return Fail(BuildError::BadStream, name + ": subslot size or bit resolution out of range");
      }
      if (format.channels > stream.channels) {
        return Fail(BuildError::BadStream, name + ": a setting with more channels than the stream");
      }
    }
    if (!LinksStreamingTerminal(stream)) return Fail(BuildError::BadStream, name + ": no USB streaming terminal linked");
    if (!ValidEndpoint(stream.endpoint, !render)) return Fail(BuildError::BadStream, name + ": data endpoint");
    if (stream.interval < 1 || stream.interval > 16) return Fail(BuildError::BadStream, name + ": bInterval");
    if (stream.feedback != FeedbackKind::None && !render) {
      return Fail(BuildError::BadStream, name + ": feedback on a capture stream");
    }
    if (stream.feedback == FeedbackKind::Explicit && !ValidEndpoint(stream.feedbackEndpoint, true)) {
      return Fail(BuildError::BadStream, name + ": feedback endpoint");
    }
    if (stream.feedback == FeedbackKind::Explicit && (stream.feedbackInterval < 1 || stream.feedbackInterval > 16)) {
      return Fail(BuildError::BadStream, name + ": feedback bInterval");
    }
    if (stream.feedback == FeedbackKind::Implicit && !FindStream(m_model, StreamDirection::Capture)) {
      return Fail(BuildError::BadStream, name + ": implicit feedback without a capture stream");
    }
    for (const StreamFormat &format : stream.formats) {
      if (!FormatMaxPacketSize(m_model, stream, format)) return Fail(BuildError::PacketTooLarge, name);
    }
    return BuildError::None;
  }

  BuildError CheckStreams() {
    for (size_t i = 0; i < m_model.streams.size(); ++i) {
      if (BuildError error = CheckStream(m_model.streams[i], i); error != BuildError::None) return error;
    }
    return BuildError::None;
  }

  BuildError CheckMidi() {
    if (!m_model.midi) return BuildError::None;
    const MidiInterface &midi = *m_model.midi;
    if (midi.cables == 0 || midi.cables > kMaxMidiCables) return Fail(BuildError::BadMidi, "cable count");
    if (!midi.cableNames.empty() && midi.cableNames.size() != midi.cables) {
      return Fail(BuildError::BadMidi, "cable names do not match cables");
    }
    if (!ValidEndpoint(midi.outEndpoint, false) || !ValidEndpoint(midi.inEndpoint, true)) {
      return Fail(BuildError::BadMidi, "endpoints");
    }
    return BuildError::None;
  }

  BuildError CheckEndpointsAndInterfaces() {
    std::set<uint8_t> addresses;
    auto add = [&](uint8_t address) { return addresses.insert(address).second; };
    for (const StreamingInterface &stream : m_model.streams) {
      if (!add(stream.endpoint)) return Fail(BuildError::BadStream, Id("endpoint used twice", stream.endpoint));
      if (stream.feedback == FeedbackKind::Explicit && !add(stream.feedbackEndpoint)) {
        return Fail(BuildError::BadStream, Id("endpoint used twice", stream.feedbackEndpoint));
      }
    }
    if (m_model.statusInterrupt) {
      if (!ValidEndpoint(m_model.statusInterrupt->endpoint, true) || m_model.statusInterrupt->maxPacket == 0 ||
          !add(m_model.statusInterrupt->endpoint)) {
        return Fail(BuildError::BadStream, "status interrupt endpoint");
      }
    }
    if (m_model.midi && (!add(m_model.midi->outEndpoint) || !add(m_model.midi->inEndpoint))) {
      return Fail(BuildError::BadMidi, "endpoint used twice");
    }
    for (ExtraInterface extra : m_model.extraInterfaces) {
      if (extra == ExtraInterface::VendorSpecific &&
          (!add(kVendorInterfaceOutEndpoint) || !add(kVendorInterfaceInEndpoint))) {
        return Fail(BuildError::BadStream, "vendor interface endpoints used twice");
      }
    }
    const size_t interfaces = InterfaceCount(m_model);
    if (interfaces > kMaxInterfaces) return Fail(BuildError::TooManyInterfaces, std::to_string(interfaces));
    return BuildError::None;
  }

  const DeviceModel &m_model;
  std::string &m_detail;
};

}  // namespace

// A data endpoint served every 2^(bInterval - 1) intervals carries that many
// intervals' samples in each packet.
std::optional<uint16_t> FormatMaxPacketSize(const DeviceModel &model, const StreamingInterface &stream,
                                            const StreamFormat &format) {
  const uint32_t exponent = std::clamp<uint32_t>(stream.interval, 1, 16) - 1;
  const uint64_t rate = uint64_t{FormatMaxRate(model, format)} << exponent;
  if (rate > UINT32_MAX) return std::nullopt;
  return EncodeMaxPacketSize(model.speed,
                             MaxPacketBytes(model.speed, static_cast<uint32_t>(rate), FormatChannels(stream, format),
                                            format.subslotSize));
}

BuildError ValidateModel(const DeviceModel &model, std::string &detail) {
  return Validator(model, detail).Run();
}

}  // namespace winsim::devices
