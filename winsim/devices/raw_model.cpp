#include "winsim/devices/raw_model.h"

#include <algorithm>
#include <set>

#include "winsim/devices/byte_io.h"
#include "winsim/devices/string_descriptors.h"

namespace winsim::devices {
namespace {

using namespace usb_const;

const std::vector<uint32_t> kDefaultRates = {44100, 48000};
constexpr uint8_t kMaxMidiCables = 16;

// What one alternate setting of an AudioStreaming interface offers.
struct AltDraft {
  uint8_t number = 0;
  uint8_t alternate = 0;
  bool hasGeneral = false;
  uint8_t terminalLink = 0;
  uint8_t channels = 0;
  uint32_t channelConfig = 0;
  uint8_t channelNames = 0;
  bool hasFormat = false;
  StreamFormat format;
  bool hasData = false;
  uint8_t dataEndpoint = 0;
  uint16_t maxPacket = 0;
  uint8_t interval = 0;
  uint8_t feedbackEndpoint = 0;

  bool Usable() const { return alternate != 0 && hasGeneral && hasFormat && hasData; }
};

class Inference {
 public:
  Inference(const RawDescriptors &raw, const RawParseOptions &options) : m_raw(raw), m_options(options) {}

  RawParseResult Run() {
    if (!DeviceDescriptor() || !Strings()) return std::move(m_result);
    m_walk = WalkConfiguration(m_raw.configuration);
    if (!m_walk.Ok()) {
      Fail(m_walk.error, m_walk.detail);
      return std::move(m_result);
    }
    m_config = std::span<const uint8_t>(m_raw.configuration).first(m_walk.totalLength);
    Identity();
    if (!FirmwareUpdateMode() && !(AudioFunctionPresent() && Collect() && AssembleStreams())) {
      return std::move(m_result);
    }
    DeviceDefinition &definition = m_result.definition;
    definition.model = std::move(m_model);
    definition.descriptors.device = m_raw.device;
    definition.descriptors.configuration.assign(m_config.begin(), m_config.end());
    definition.descriptors.strings = m_raw.strings;
    definition.fromRawBytes = true;
    return std::move(m_result);
  }

 private:
  bool Fail(ParseError error, std::string detail) {
    m_result.error = error;
    m_result.detail = std::move(detail);
    return false;
  }

  bool DeviceDescriptor() {
    const std::vector<uint8_t> &d = m_raw.device;
    if (d.size() < kDeviceLength || d[0] != kDeviceLength || d[1] != kDevice) {
      return Fail(ParseError::BadDeviceDescriptor, "device descriptor");
    }
    return true;
  }

  bool Strings() {
    for (const auto &[index, descriptor] : m_raw.strings) {
      if (!DecodeStringDescriptor(descriptor)) return Fail(ParseError::BadString, "string " + std::to_string(index));
    }
    return true;
  }

  std::string Text(uint8_t index) const {
    if (index == 0) return {};
    auto found = m_raw.strings.find(index);
    if (found == m_raw.strings.end()) return {};
    auto text = DecodeStringDescriptor(found->second);
    return text ? Utf16ToUtf8(*text) : std::string();
  }

  // Names from `first` on, one per channel; none unless every one exists.
  std::vector<std::string> Names(uint8_t first, size_t count) const {
    std::vector<std::string> names;
    if (first == 0 || first + count - 1 > 255) return names;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t index = static_cast<uint8_t>(first + i);
      if (!m_raw.strings.count(index)) return {};
      names.push_back(Text(index));
    }
    return names;
  }

  void Identity() {
    const std::vector<uint8_t> &d = m_raw.device;
    m_model.vendorId = ReadU16(d, 8);
    m_model.productId = ReadU16(d, 10);
    m_model.bcdDevice = ReadU16(d, 12);
    m_model.manufacturer = Text(d[14]);
    m_model.product = Text(d[15]);
    m_model.serial = Text(d[16]);
    m_model.name = m_options.name.empty() ? m_model.product : m_options.name;
    m_model.speed = m_options.speed;
    const std::vector<uint32_t> &rates = m_options.rates.empty() ? kDefaultRates : m_options.rates;
    m_model.behaviour.initialRate =
        std::find(rates.begin(), rates.end(), 48000u) != rates.end() ? 48000 : rates.front();
  }

  bool FirmwareUpdateMode() {
    std::set<uint8_t> numbers;
    for (const InterfaceRecord &itf : m_walk.interfaces) numbers.insert(itf.number);
    const bool dfu = numbers.size() == 1 && m_walk.interfaces.front().cls == kClassApplicationSpecific &&
                     m_walk.interfaces.front().subclass == kSubclassDfu;
    m_model.firmwareUpdateMode = dfu;
    return dfu;
  }

  // The audio function is a class 2.0 AudioControl interface followed
  // directly (next in the configuration's order of interfaces) by an
  // AudioStreaming one. Other AudioControl interfaces may come before or
  // after it: a class 1.0 one holding a MIDI interface, say.
  bool AudioFunctionPresent() {
    std::vector<const InterfaceRecord *> order;  // alternate setting 0 of each interface, in descriptor order
    for (const InterfaceRecord &itf : m_walk.interfaces) {
      const bool seen = std::any_of(order.begin(), order.end(), [&](auto *o) { return o->number == itf.number; });
      if (itf.alternate == 0 && !seen) order.push_back(&itf);
    }
    bool anyControl = false, classTwoControl = false;
    for (size_t i = 0; i < order.size(); ++i) {
      if (order[i]->cls != kClassAudio || order[i]->subclass != kSubclassAudioControl) continue;
      anyControl = true;
      if (order[i]->protocol != kProtocolUac2) continue;
      classTwoControl = true;
      const InterfaceRecord *next = i + 1 < order.size() ? order[i + 1] : nullptr;
      if (next && next->cls == kClassAudio && next->subclass == kSubclassAudioStreaming) {
        m_controlNumber = order[i]->number;
        return true;
      }
    }
    if (anyControl && !classTwoControl) {
      return Fail(ParseError::NotAudioClass2, "no USB Audio Class 2.0 AudioControl interface");
    }
    return Fail(ParseError::NoAudioFunction, "no AudioControl interface followed by AudioStreaming");
  }

  // Class 1.0 interfaces (protocol 0) beside the function are served as
  // bytes but not interpreted.
  bool Interpreted(const InterfaceRecord &itf) const {
    if (itf.subclass == kSubclassAudioControl) return itf.number == m_controlNumber;
    if (itf.subclass == kSubclassAudioStreaming) return itf.protocol == kProtocolUac2;
    return true;
  }

  const InterfaceRecord *InterfaceOf(const DescriptorRecord &d) const {
    return d.interface < 0 ? nullptr : &m_walk.interfaces[static_cast<size_t>(d.interface)];
  }

  bool Collect() {
    for (size_t i = 0; i < m_walk.descriptors.size(); ++i) {
      const DescriptorRecord &d = m_walk.descriptors[i];
      const InterfaceRecord *itf = InterfaceOf(d);
      if (!itf || itf->cls != kClassAudio || !Interpreted(*itf)) continue;
      const auto bytes = m_config.subspan(d.offset, d.length);
      bool ok = true;
      if (itf->subclass == kSubclassAudioControl) ok = ControlDescriptor(d, bytes);
      if (itf->subclass == kSubclassAudioStreaming) StreamingDescriptor(d, *itf, bytes);
      if (itf->subclass == kSubclassMidiStreaming) ok = MidiDescriptor(i, bytes);
      if (!ok) return false;
    }
    return true;
  }

  bool ControlDescriptor(const DescriptorRecord &d, std::span<const uint8_t> b) {
    if (d.type == kEndpoint && (b[3] & kXferMask) == kXferInterrupt && (b[2] & kEndpointIn)) {
      m_model.statusInterrupt = StatusInterrupt{b[2], ReadU16(b, 4), b[6]};
    }
    if (d.type != kCsInterface) return true;
    switch (d.subtype) {
      case kAcHeader: m_model.category = b[5]; break;
      case kAcClockSource: ClockSourceDescriptor(b); break;
      case kAcClockSelector: ClockSelectorDescriptor(b); break;
      case kAcInputTerminal: InputTerminalDescriptor(b); break;
      case kAcOutputTerminal: OutputTerminalDescriptor(b); break;
      case kAcFeatureUnit: FeatureUnitDescriptor(b); break;
      default: break;
    }
    return true;
  }

  void ClockSourceDescriptor(std::span<const uint8_t> b) {
    ClockSource clock;
    clock.id = b[3];
    clock.type = static_cast<ClockType>(b[4] & 0x3);
    clock.assocTerminal = b[6];
    clock.name = Text(b[7]);
    clock.rates = m_options.rates.empty() ? kDefaultRates : m_options.rates;
    m_model.clocks.push_back(std::move(clock));
  }

  void ClockSelectorDescriptor(std::span<const uint8_t> b) {
    ClockSelector selector;
    selector.id = b[3];
    const size_t pins = b[4];
    for (size_t i = 0; i < pins; ++i) selector.inputs.push_back(b[5 + i]);
    selector.name = Text(b[b.size() - 1]);
    m_model.selector = std::move(selector);
  }

  void InputTerminalDescriptor(std::span<const uint8_t> b) {
    InputTerminal t;
    t.id = b[3];
    t.terminalType = ReadU16(b, 4);
    t.assocTerminal = b[6];
    t.clockId = b[7];
    t.channels = b[8];
    t.channelConfig = ReadU32(b, 9);
    t.channelNames = Names(b[13], t.channels);
    t.name = Text(b[16]);
    m_model.inputTerminals.push_back(std::move(t));
  }

  void OutputTerminalDescriptor(std::span<const uint8_t> b) {
    OutputTerminal t;
    t.id = b[3];
    t.terminalType = ReadU16(b, 4);
    t.assocTerminal = b[6];
    t.sourceId = b[7];
    t.clockId = b[8];
    t.name = Text(b[11]);
    m_model.outputTerminals.push_back(std::move(t));
  }

  void FeatureUnitDescriptor(std::span<const uint8_t> b) {
    FeatureUnit u;
    u.id = b[3];
    u.sourceId = b[4];
    u.channels = static_cast<uint8_t>((b.size() - kFeatureUnitBaseLength) / 4 - 1);
    u.masterControls = ReadU32(b, 5);
    u.channelControls = u.channels ? ReadU32(b, 9) : 0;
    u.name = Text(b[b.size() - 1]);
    m_model.featureUnits.push_back(std::move(u));
  }

  void StreamingDescriptor(const DescriptorRecord &d, const InterfaceRecord &itf, std::span<const uint8_t> b) {
    AltDraft &alt = m_alts[d.interface];
    alt.number = itf.number;
    alt.alternate = itf.alternate;
    if (d.type == kCsInterface && d.subtype == kAsGeneral) {
      alt.hasGeneral = true;
      alt.terminalLink = b[3];
      alt.channels = b[10];
      alt.channelConfig = ReadU32(b, 11);
      alt.channelNames = b[15];
    } else if (d.type == kCsInterface && d.subtype == kAsFormatType && b[3] == kFormatTypeI && !alt.hasFormat) {
      alt.hasFormat = true;
      alt.format.subslotSize = b[4];
      alt.format.bitResolution = b[5];
      alt.format.maxRate = b.size() >= kFormatTypeIWithMaxRateLength ? ReadU32(b, 6) : 0;
    } else if (d.type == kEndpoint && (b[3] & kUsageMask) == kUsageFeedback) {
      alt.feedbackEndpoint = b[2];
    } else if (d.type == kEndpoint && !alt.hasData) {
      alt.hasData = true;
      alt.dataEndpoint = b[2];
      alt.maxPacket = ReadU16(b, 4);
      alt.interval = b[6];
    }
  }

  // A bulk endpoint directly followed by its class-specific descriptor
  // names the embedded jacks, one per cable.
  bool MidiDescriptor(size_t index, std::span<const uint8_t> b) {
    const DescriptorRecord &d = m_walk.descriptors[index];
    if (d.type != kEndpoint || (b[3] & kXferMask) != kXferBulk) return true;
    if (!m_model.midi) m_model.midi = MidiInterface{0, 0, 0, {}};
    MidiInterface &midi = *m_model.midi;
    if (b[2] & kEndpointIn) {
      midi.inEndpoint = b[2];
    } else {
      midi.outEndpoint = b[2];
    }
    if (index + 1 >= m_walk.descriptors.size()) return true;
    const DescriptorRecord &next = m_walk.descriptors[index + 1];
    if (next.type != kCsEndpoint || next.subtype != kMsGeneral) return true;
    const uint8_t jacks = m_config[next.offset + 3];
    if (jacks > kMaxMidiCables) return Fail(ParseError::CountOutOfRange, "MIDI jacks on one endpoint");
    midi.cables = std::max(midi.cables, jacks);
    return true;
  }

  bool AssembleStreams() {
    std::vector<uint8_t> order;
    for (const auto &[index, alt] : m_alts) {
      if (std::find(order.begin(), order.end(), alt.number) == order.end()) order.push_back(alt.number);
    }
    for (uint8_t number : order) {
      if (!AssembleStream(number)) return false;
    }
    StreamingInterface *render = nullptr;
    bool capture = false;
    for (StreamingInterface &stream : m_model.streams) {
      if (stream.direction == StreamDirection::Render && !render) render = &stream;
      capture = capture || stream.direction == StreamDirection::Capture;
    }
    if (render && render->feedback == FeedbackKind::None && capture) render->feedback = FeedbackKind::Implicit;
    return true;
  }

  bool AssembleStream(uint8_t number) {
    const AltDraft *first = nullptr;
    StreamingInterface stream;
    for (const auto &[index, alt] : m_alts) {
      if (alt.number != number || !alt.Usable()) continue;
      if (!CheckFormat(alt)) return false;
      if (!first) first = &alt;
      stream.formats.push_back(alt.format);
    }
    if (!first) return true;  // an interface without a usable alternate setting carries no stream
    stream.direction = (first->dataEndpoint & kEndpointIn) ? StreamDirection::Capture : StreamDirection::Render;
    stream.channels = first->channels;
    stream.channelConfig = first->channelConfig;
    stream.channelNames = Names(first->channelNames, first->channels);
    stream.terminalLink = first->terminalLink;
    stream.endpoint = first->dataEndpoint;
    stream.interval = first->interval;
    if (first->feedbackEndpoint != 0) {
      stream.feedback = FeedbackKind::Explicit;
      stream.feedbackEndpoint = first->feedbackEndpoint;
    }
    m_model.streams.push_back(std::move(stream));
    return true;
  }

  bool CheckFormat(const AltDraft &alt) {
    const std::string where = "interface " + std::to_string(alt.number) + " alternate " + std::to_string(alt.alternate);
    if (alt.channels == 0) return Fail(ParseError::CountOutOfRange, where + ": no channels");
    if (alt.format.subslotSize < 1 || alt.format.subslotSize > 4 || alt.format.bitResolution == 0 ||
        alt.format.bitResolution > alt.format.subslotSize * 8) {
      return Fail(ParseError::CountOutOfRange, where + ": subslot size or bit resolution");
    }
    if (DecodeMaxPacketBytes(alt.maxPacket) < uint32_t{alt.channels} * alt.format.subslotSize) {
      return Fail(ParseError::CountOutOfRange, where + ": packet smaller than one sample frame");
    }
    return true;
  }

  const RawDescriptors &m_raw;
  const RawParseOptions &m_options;
  ConfigurationWalk m_walk;
  std::span<const uint8_t> m_config;
  DeviceModel m_model;
  std::map<int, AltDraft> m_alts;  // by interface record index, i.e. descriptor order
  uint8_t m_controlNumber = 0;     // the function's AudioControl interface
  RawParseResult m_result;
};

}  // namespace

RawParseResult ParseRawDevice(const RawDescriptors &raw, const RawParseOptions &options) {
  return Inference(raw, options).Run();
}

}  // namespace winsim::devices
