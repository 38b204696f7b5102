#include "winsim/devices/descriptor_builder.h"

#include "winsim/devices/byte_io.h"
#include "winsim/devices/model_validation.h"
#include "winsim/devices/string_descriptors.h"

namespace winsim::devices {
namespace {

using namespace usb_const;

constexpr uint8_t kMaxPacket0 = 64;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kBusPowered = 0x80;
constexpr uint8_t kMaxPower500mA = 250;  // units of 2 mA
constexpr uint16_t kBcdUsb2 = 0x0200;
constexpr uint16_t kHighSpeedBulkPacket = 512;
constexpr uint16_t kFullSpeedBulkPacket = 64;
constexpr uint8_t kDfuCanDownloadManifestTolerant = 0x05;
constexpr uint16_t kDfuDetachTimeoutMs = 1000;
constexpr uint16_t kDfuTransferSize = 1024;
constexpr uint16_t kBcdDfu11 = 0x0110;

// MIDI jack ids of cable c: embedded IN (fed by the OUT endpoint), external
// IN, embedded OUT (read by the IN endpoint), external OUT.
uint8_t EmbeddedInJack(unsigned cable) { return static_cast<uint8_t>(4 * cable + 1); }
uint8_t ExternalInJack(unsigned cable) { return static_cast<uint8_t>(4 * cable + 2); }
uint8_t EmbeddedOutJack(unsigned cable) { return static_cast<uint8_t>(4 * cable + 3); }
uint8_t ExternalOutJack(unsigned cable) { return static_cast<uint8_t>(4 * cable + 4); }

uint8_t ClockControls(ClockType type) {
  const uint8_t frequency = type == ClockType::InternalProgrammable ? kControlReadWrite : kControlReadOnly;
  return static_cast<uint8_t>(frequency | (kControlReadOnly << 2));
}

class Builder {
 public:
  explicit Builder(const DeviceModel &model) : m_model(model) {}

  BuildResult Run() {
    BuildResult result;
    result.error = ValidateModel(m_model, result.detail);
    if (!result.Ok()) return result;
    const uint8_t manufacturer = m_strings.Add(m_model.manufacturer);
    const uint8_t product = m_strings.Add(m_model.product);
    const uint8_t serial = m_strings.Add(m_model.serial);
    result.definition.descriptors.device = DeviceDescriptor(manufacturer, product, serial);
    if (m_model.firmwareUpdateMode) {
      FirmwareConfiguration(product);
    } else {
      AudioConfiguration(product);
    }
    if (m_strings.Failed()) {
      result.error = BuildError::StringTable;
      result.detail = m_strings.FailedText();
      return result;
    }
    if (m_config.Size() > UINT16_MAX) {
      result.error = BuildError::ConfigurationTooLong;
      result.detail = std::to_string(m_config.Size());
      return result;
    }
    m_config.PatchU16(2, static_cast<uint16_t>(m_config.Size()));
    result.definition.descriptors.configuration = m_config.Take();
    result.definition.descriptors.strings = m_strings.Descriptors();
    result.definition.model = m_model;
    return result;
  }

 private:
  std::vector<uint8_t> DeviceDescriptor(uint8_t manufacturer, uint8_t product, uint8_t serial) const {
    ByteWriter w;
    w.U8(kDeviceLength);
    w.U8(kDevice);
    w.U16(kBcdUsb2);
    if (m_model.firmwareUpdateMode) {
      w.U8(kClassApplicationSpecific);
      w.U8(kSubclassDfu);
      w.U8(kProtocolDfuMode);
    } else {
      w.U8(kClassMiscellaneous);
      w.U8(kSubclassCommon);
      w.U8(kProtocolIad);
    }
    w.U8(kMaxPacket0);
    w.U16(m_model.vendorId);
    w.U16(m_model.productId);
    w.U16(m_model.bcdDevice);
    w.U8(manufacturer);
    w.U8(product);
    w.U8(serial);
    w.U8(1);
    return w.Take();
  }

  void ConfigurationHeader(uint8_t interfaces) {
    m_config.U8(kConfigurationLength);
    m_config.U8(kConfiguration);
    m_config.U16(0);  // wTotalLength, patched at the end
    m_config.U8(interfaces);
    m_config.U8(kConfigurationValue);
    m_config.U8(0);
    m_config.U8(kBusPowered);
    m_config.U8(kMaxPower500mA);
  }

  void Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls, uint8_t subclass,
                 uint8_t protocol, uint8_t name) {
    m_config.U8(kInterfaceLength);
    m_config.U8(kInterface);
    m_config.U8(number);
    m_config.U8(alternate);
    m_config.U8(endpoints);
    m_config.U8(cls);
    m_config.U8(subclass);
    m_config.U8(protocol);
    m_config.U8(name);
  }

  void Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
    m_config.U8(kEndpointLength);
    m_config.U8(kEndpoint);
    m_config.U8(address);
    m_config.U8(attributes);
    m_config.U16(maxPacket);
    m_config.U8(interval);
  }

  void FirmwareConfiguration(uint8_t product) {
    ConfigurationHeader(1);
    Interface(0, 0, 0, kClassApplicationSpecific, kSubclassDfu, kProtocolDfuMode, product);
    m_config.U8(kDfuFunctionalLength);
    m_config.U8(kDfuFunctional);
    m_config.U8(kDfuCanDownloadManifestTolerant);
    m_config.U16(kDfuDetachTimeoutMs);
    m_config.U16(kDfuTransferSize);
    m_config.U16(kBcdDfu11);
  }

  void AudioConfiguration(uint8_t product) {
    const uint8_t function = static_cast<uint8_t>(1 + m_model.streams.size() + (m_model.midi ? 1 : 0));
    ConfigurationHeader(static_cast<uint8_t>(InterfaceCount(m_model)));
    // The association spans the whole audio function, MIDI included, so a
    // composite parent hands every interface to the same function driver.
    m_config.U8(kIadLength);
    m_config.U8(kInterfaceAssociation);
    m_config.U8(0);
    m_config.U8(function);
    m_config.U8(kClassAudio);
    m_config.U8(0x00);  // FUNCTION_SUBCLASS_UNDEFINED
    m_config.U8(kProtocolUac2);
    m_config.U8(product);
    AudioControl();
    for (size_t i = 0; i < m_model.streams.size(); ++i) {
      Streaming(m_model.streams[i], static_cast<uint8_t>(1 + i));
    }
    if (m_model.midi) Midi(*m_model.midi, static_cast<uint8_t>(1 + m_model.streams.size()));
    uint8_t number = function;
    for (ExtraInterface extra : m_model.extraInterfaces) Extra(extra, number++);
  }

  // Outside the association. The vendor interface's bulk pair takes the
  // endpoint number 14, which the audio function leaves free.
  void Extra(ExtraInterface extra, uint8_t number) {
    if (extra == ExtraInterface::VendorSpecific) {
      Interface(number, 0, 2, kClassVendorSpecific, kClassVendorSpecific, kClassVendorSpecific, 0);
      const uint16_t packet = m_model.speed == UsbSpeed::High ? kHighSpeedBulkPacket : kFullSpeedBulkPacket;
      Endpoint(kVendorInterfaceOutEndpoint, kXferBulk, packet, 0);
      Endpoint(kVendorInterfaceInEndpoint, kXferBulk, packet, 0);
      return;
    }
    Interface(number, 0, 0, kClassApplicationSpecific, kSubclassDfu, kProtocolDfuRuntime, 0);
    m_config.U8(kDfuFunctionalLength);
    m_config.U8(kDfuFunctional);
    m_config.U8(kDfuCanDownloadManifestTolerant);
    m_config.U16(kDfuDetachTimeoutMs);
    m_config.U16(kDfuTransferSize);
    m_config.U16(kBcdDfu11);
  }

  void AudioControl() {
    const bool status = m_model.statusInterrupt.has_value();
    Interface(0, 0, status ? 1 : 0, kClassAudio, kSubclassAudioControl, kProtocolUac2, 0);
    const size_t header = m_config.Size();
    m_config.U8(kAcHeaderLength);
    m_config.U8(kCsInterface);
    m_config.U8(kAcHeader);
    m_config.U16(kBcdAdc2);
    m_config.U8(m_model.category);
    m_config.U16(0);  // wTotalLength of the class-specific part, patched below
    m_config.U8(0);
    for (const ClockSource &clock : m_model.clocks) ClockSourceDescriptor(clock);
    if (m_model.selector) ClockSelectorDescriptor(*m_model.selector);
    for (const InputTerminal &terminal : m_model.inputTerminals) InputTerminalDescriptor(terminal);
    for (const FeatureUnit &unit : m_model.featureUnits) FeatureUnitDescriptor(unit);
    for (const OutputTerminal &terminal : m_model.outputTerminals) OutputTerminalDescriptor(terminal);
    m_config.PatchU16(header + 6, static_cast<uint16_t>(m_config.Size() - header));
    if (status) {
      const StatusInterrupt &ep = *m_model.statusInterrupt;
      Endpoint(ep.endpoint, kXferInterrupt, ep.maxPacket, ep.interval);
    }
  }

  void ClockSourceDescriptor(const ClockSource &clock) {
    m_config.U8(kClockSourceLength);
    m_config.U8(kCsInterface);
    m_config.U8(kAcClockSource);
    m_config.U8(clock.id);
    m_config.U8(static_cast<uint8_t>(clock.type));
    m_config.U8(ClockControls(clock.type));
    m_config.U8(clock.assocTerminal);
    m_config.U8(m_strings.Add(clock.name));
  }

  void ClockSelectorDescriptor(const ClockSelector &selector) {
    m_config.U8(static_cast<uint8_t>(kClockSelectorBaseLength + selector.inputs.size()));
    m_config.U8(kCsInterface);
    m_config.U8(kAcClockSelector);
    m_config.U8(selector.id);
    m_config.U8(static_cast<uint8_t>(selector.inputs.size()));
    for (uint8_t input : selector.inputs) m_config.U8(input);
    m_config.U8(kControlReadWrite);
    m_config.U8(m_strings.Add(selector.name));
  }

  void InputTerminalDescriptor(const InputTerminal &terminal) {
    m_config.U8(kInputTerminalLength);
    m_config.U8(kCsInterface);
    m_config.U8(kAcInputTerminal);
    m_config.U8(terminal.id);
    m_config.U16(terminal.terminalType);
    m_config.U8(terminal.assocTerminal);
    m_config.U8(terminal.clockId);
    m_config.U8(terminal.channels);
    m_config.U32(terminal.channelConfig);
    m_config.U8(m_strings.AddRun(terminal.channelNames));
    m_config.U16(0);
    m_config.U8(m_strings.Add(terminal.name));
  }

  void FeatureUnitDescriptor(const FeatureUnit &unit) {
    m_config.U8(static_cast<uint8_t>(kFeatureUnitBaseLength + (unit.channels + 1) * 4));
    m_config.U8(kCsInterface);
    m_config.U8(kAcFeatureUnit);
    m_config.U8(unit.id);
    m_config.U8(unit.sourceId);
    m_config.U32(unit.masterControls);
    for (unsigned ch = 0; ch < unit.channels; ++ch) m_config.U32(unit.channelControls);
    m_config.U8(m_strings.Add(unit.name));
  }

  void OutputTerminalDescriptor(const OutputTerminal &terminal) {
    m_config.U8(kOutputTerminalLength);
    m_config.U8(kCsInterface);
    m_config.U8(kAcOutputTerminal);
    m_config.U8(terminal.id);
    m_config.U16(terminal.terminalType);
    m_config.U8(terminal.assocTerminal);
    m_config.U8(terminal.sourceId);
    m_config.U8(terminal.clockId);
    m_config.U16(0);
    m_config.U8(m_strings.Add(terminal.name));
  }

  uint8_t DataEndpointAttributes(const StreamingInterface &stream) const {
    uint8_t attributes = kXferIsochronous | kSyncAsynchronous;
    const StreamingInterface *render = FindStream(m_model, StreamDirection::Render);
    if (stream.direction == StreamDirection::Capture && render && render->feedback == FeedbackKind::Implicit) {
      attributes |= kUsageImplicitFeedbackData;
    }
    return attributes;
  }

  void Streaming(const StreamingInterface &stream, uint8_t number) {
    const bool explicitFeedback = stream.feedback == FeedbackKind::Explicit;
    const uint8_t names = m_strings.AddRun(stream.channelNames);
    Interface(number, 0, 0, kClassAudio, kSubclassAudioStreaming, kProtocolUac2, 0);
    for (size_t alt = 0; alt < stream.formats.size(); ++alt) {
      const StreamFormat &format = stream.formats[alt];
      Interface(number, static_cast<uint8_t>(alt + 1), explicitFeedback ? 2 : 1, kClassAudio, kSubclassAudioStreaming,
                kProtocolUac2, 0);
      StreamingGeneral(stream, FormatChannels(stream, format), names);
      FormatType(format);
      Endpoint(stream.endpoint, DataEndpointAttributes(stream), FormatMaxPacketSize(m_model, stream, format).value_or(0),
               stream.interval);
      CsIsoEndpoint();
      if (explicitFeedback) FeedbackEndpoint(stream.feedbackEndpoint, stream.feedbackInterval);
    }
  }

  // A setting with fewer channels than the stream carries its first ones,
  // named by the start of the same run of strings.
  void StreamingGeneral(const StreamingInterface &stream, uint8_t channels, uint8_t names) {
    m_config.U8(kAsGeneralLength);
    m_config.U8(kCsInterface);
    m_config.U8(kAsGeneral);
    m_config.U8(stream.terminalLink);
    m_config.U8(0);
    m_config.U8(kFormatTypeI);
    m_config.U32(kFormatPcm);
    m_config.U8(channels);
    m_config.U32(stream.channelConfig);
    m_config.U8(names);
  }

  void FormatType(const StreamFormat &format) {
    m_config.U8(format.maxRate != 0 ? kFormatTypeIWithMaxRateLength : kFormatTypeILength);
    m_config.U8(kCsInterface);
    m_config.U8(kAsFormatType);
    m_config.U8(kFormatTypeI);
    m_config.U8(format.subslotSize);
    m_config.U8(format.bitResolution);
    if (format.maxRate != 0) m_config.U32(format.maxRate);
  }

  void CsIsoEndpoint() {
    m_config.U8(kCsIsoEndpointLength);
    m_config.U8(kCsEndpoint);
    m_config.U8(kEpGeneral);
    m_config.U8(0);   // bmAttributes
    m_config.U8(0);   // bmControls
    m_config.U8(0);   // bLockDelayUnits
    m_config.U16(0);  // wLockDelay
  }

  // High speed: 16.16 samples per microframe in 4 bytes, every
  // 2^(bInterval - 1) microframes; full speed: 10.14 samples per frame in 3
  // bytes, every frame.
  void FeedbackEndpoint(uint8_t address, uint8_t interval) {
    const bool high = m_model.speed == UsbSpeed::High;
    Endpoint(address, kXferIsochronous | kUsageFeedback, high ? 4 : 3, high ? interval : 1);
  }

  void Midi(const MidiInterface &midi, uint8_t number) {
    Interface(number, 0, 2, kClassAudio, kSubclassMidiStreaming, 0, 0);
    const size_t header = m_config.Size();
    m_config.U8(kMsHeaderLength);
    m_config.U8(kCsInterface);
    m_config.U8(kMsHeader);
    m_config.U16(kBcdMsc1);
    m_config.U16(0);  // wTotalLength of header and jacks, patched below
    for (unsigned cable = 0; cable < midi.cables; ++cable) {
      const uint8_t name = cable < midi.cableNames.size() ? m_strings.Add(midi.cableNames[cable]) : 0;
      MidiInJack(kJackEmbedded, EmbeddedInJack(cable), name);
      MidiInJack(kJackExternal, ExternalInJack(cable), 0);
      MidiOutJack(kJackEmbedded, EmbeddedOutJack(cable), ExternalInJack(cable), name);
      MidiOutJack(kJackExternal, ExternalOutJack(cable), EmbeddedInJack(cable), 0);
    }
    m_config.PatchU16(header + 5, static_cast<uint16_t>(m_config.Size() - header));
    MidiEndpoint(midi.outEndpoint, midi.cables, EmbeddedInJack);
    MidiEndpoint(midi.inEndpoint, midi.cables, EmbeddedOutJack);
  }

  void MidiInJack(uint8_t type, uint8_t id, uint8_t name) {
    m_config.U8(kMidiInJackLength);
    m_config.U8(kCsInterface);
    m_config.U8(kMsMidiInJack);
    m_config.U8(type);
    m_config.U8(id);
    m_config.U8(name);
  }

  void MidiOutJack(uint8_t type, uint8_t id, uint8_t source, uint8_t name) {
    m_config.U8(kMidiOutJackBaseLength + 2);
    m_config.U8(kCsInterface);
    m_config.U8(kMsMidiOutJack);
    m_config.U8(type);
    m_config.U8(id);
    m_config.U8(1);  // bNrInputPins
    m_config.U8(source);
    m_config.U8(1);  // baSourcePin
    m_config.U8(name);
  }

  void MidiEndpoint(uint8_t address, uint8_t cables, uint8_t (*jack)(unsigned)) {
    m_config.U8(kAudioEndpointLength);
    m_config.U8(kEndpoint);
    m_config.U8(address);
    m_config.U8(kXferBulk);
    m_config.U16(m_model.speed == UsbSpeed::High ? kHighSpeedBulkPacket : kFullSpeedBulkPacket);
    m_config.U8(0);  // bInterval
    m_config.U8(0);  // bRefresh
    m_config.U8(0);  // bSynchAddress
    m_config.U8(static_cast<uint8_t>(kMsEndpointBaseLength + cables));
    m_config.U8(kCsEndpoint);
    m_config.U8(kMsGeneral);
    m_config.U8(cables);
    for (unsigned cable = 0; cable < cables; ++cable) m_config.U8(jack(cable));
  }

  const DeviceModel &m_model;
  StringTable m_strings;
  ByteWriter m_config;
};

}  // namespace

const char *BuildErrorName(BuildError error) {
  switch (error) {
    case BuildError::None: return "none";
    case BuildError::NoClock: return "no clock";
    case BuildError::BadEntity: return "bad entity";
    case BuildError::BadStream: return "bad stream";
    case BuildError::PacketTooLarge: return "packet too large";
    case BuildError::DescriptorTooLong: return "descriptor too long";
    case BuildError::TooManyInterfaces: return "too many interfaces";
    case BuildError::BadMidi: return "bad MIDI interface";
    case BuildError::StringTable: return "string table";
    case BuildError::ConfigurationTooLong: return "configuration too long";
  }
  return "unknown";
}

BuildResult BuildDevice(const DeviceModel &model) { return Builder(model).Run(); }

}  // namespace winsim::devices
