#include "winsim/devices/config_walk.h"

#include <cstdio>
#include <set>

#include "winsim/devices/byte_io.h"
#include "winsim/devices/usb_constants.h"

namespace winsim::devices {
namespace {

using namespace usb_const;

constexpr uint8_t kMaxEndpointsPerInterface = 30;

// USB Audio Class 1.0 (protocol 0) descriptors, which real configurations
// carry beside their class 2.0 function: typically a header-only
// AudioControl interface that holds a MIDI streaming interface.
constexpr uint8_t kProtocolUac1 = 0x00;
constexpr uint8_t kAc1HeaderBaseLength = 8;  // + one byte per streaming interface in the collection
constexpr uint8_t kAc1InputTerminalLength = 12;
constexpr uint8_t kAc1OutputTerminalLength = 9;
constexpr uint8_t kAc1SelectorUnitBaseLength = 6;  // + one byte per input pin
constexpr uint8_t kAc1ProcessingUnit = 0x07;
constexpr uint8_t kAc1ExtensionUnit = 0x08;
constexpr uint8_t kAc1MinUnitLength = 7;
constexpr uint8_t kAs1GeneralLength = 7;
constexpr uint8_t kAs1FormatTypeIBaseLength = 8;  // + three bytes per discrete rate
constexpr uint8_t kAs1ContinuousRatesLength = 14;
constexpr uint8_t kAs1FormatSpecific = 0x03;
constexpr uint8_t kAs1IsoEndpointLength = 7;

// The context that decides how a class-specific descriptor is read.
enum class Context : uint8_t {
  None,
  AudioControl,
  AudioStreaming,
  AudioControl1,
  AudioStreaming1,
  MidiStreaming,
  Other
};

Context ContextOf(const InterfaceRecord &itf) {
  if (itf.cls != kClassAudio) return Context::Other;
  const bool classOne = itf.protocol == kProtocolUac1;
  switch (itf.subclass) {
    case kSubclassAudioControl: return classOne ? Context::AudioControl1 : Context::AudioControl;
    case kSubclassAudioStreaming: return classOne ? Context::AudioStreaming1 : Context::AudioStreaming;
    case kSubclassMidiStreaming: return Context::MidiStreaming;
    default: return Context::Other;
  }
}

class Walker {
 public:
  explicit Walker(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

  ConfigurationWalk Run() {
    if (!Header()) return std::move(m_walk);
    size_t pos = kConfigurationLength;
    // Each step advances by a checked bLength of at least 2 bytes.
    while (pos < m_total && m_walk.Ok()) {
      const size_t length = Step(pos);
      if (length == 0) break;
      pos += length;
    }
    if (m_walk.Ok()) CloseInterface(m_total);
    return std::move(m_walk);
  }

 private:
  bool Fail(ParseError error, size_t offset, const char *what) {
    char text[96];
    std::snprintf(text, sizeof text, "%s at offset %zu", what, offset);
    m_walk.error = error;
    m_walk.detail = text;
    m_walk.errorOffset = offset;
    return false;
  }

  bool Header() {
    if (m_bytes.size() < kConfigurationLength || m_bytes[0] != kConfigurationLength || m_bytes[1] != kConfiguration) {
      return Fail(ParseError::BadConfigurationHeader, 0, "configuration header");
    }
    m_total = ReadU16(m_bytes, 2);
    if (m_total < kConfigurationLength) return Fail(ParseError::BadConfigurationHeader, 2, "wTotalLength below 9");
    if (m_total > m_bytes.size()) return Fail(ParseError::TotalLengthExceedsData, 2, "wTotalLength beyond the data");
    m_walk.totalLength = m_total;
    m_walk.numInterfaces = m_bytes[4];
    if (m_walk.numInterfaces > kMaxInterfaces) return Fail(ParseError::TooManyInterfaces, 4, "bNumInterfaces");
    return true;
  }

  // Checks and records the descriptor at `pos`; returns its length, or 0
  // after recording an error.
  size_t Step(size_t pos) {
    const size_t remaining = m_total - pos;
    const uint8_t length = m_bytes[pos];
    if (length == 0) {
      Fail(ParseError::ZeroLength, pos, "bLength 0");
      return 0;
    }
    if (length < 2) {
      Fail(ParseError::BadLength, pos, "bLength 1");
      return 0;
    }
    if (remaining < 2) {
      Fail(ParseError::Truncated, pos, "descriptor header cut off");
      return 0;
    }
    DescriptorRecord record;
    record.offset = pos;
    record.length = length;
    record.type = m_bytes[pos + 1];
    record.interface = static_cast<int>(m_walk.interfaces.size()) - 1;
    if (!CheckLength(record, remaining)) return 0;
    if (length > remaining) {
      Fail(ParseError::Truncated, pos, "descriptor runs past wTotalLength");
      return 0;
    }
    if (!Record(record)) return 0;
    return length;
  }

  // A length rule that needs byte `at` of the descriptor (a subtype or a
  // count): the descriptor must be long enough to hold it and the bytes must
  // be there.
  bool Need(const DescriptorRecord &d, size_t at, size_t remaining) {
    if (d.length <= at) return Fail(ParseError::BadLength, d.offset, "descriptor too short for its kind");
    if (remaining <= at) return Fail(ParseError::Truncated, d.offset, "descriptor cut off");
    return true;
  }

  bool Expect(const DescriptorRecord &d, bool ok) {
    return ok || Fail(ParseError::BadLength, d.offset, "bLength wrong for the descriptor's kind");
  }

  bool Counted(const DescriptorRecord &d, size_t remaining, size_t countAt, size_t base, size_t per) {
    if (!Need(d, countAt, remaining)) return false;
    return Expect(d, d.length == base + per * m_bytes[d.offset + countAt]);
  }

  Context Current() const {
    return m_walk.interfaces.empty() ? Context::None : ContextOf(m_walk.interfaces.back());
  }

  bool CheckLength(DescriptorRecord &d, size_t remaining) {
    switch (d.type) {
      case kInterface: return Expect(d, d.length == kInterfaceLength);
      case kEndpoint: return Expect(d, d.length == kEndpointLength || d.length == kAudioEndpointLength);
      case kInterfaceAssociation: return Expect(d, d.length == kIadLength);
      case kCsInterface:
      case kCsEndpoint: break;
      default: return true;  // not interpreted
    }
    const Context context = Current();
    if (context == Context::None || context == Context::Other) return true;
    if (!Need(d, 2, remaining)) return false;
    d.subtype = m_bytes[d.offset + 2];
    if (d.type == kCsEndpoint) return CheckCsEndpoint(d, context, remaining);
    switch (context) {
      case Context::AudioControl: return CheckAudioControl(d, remaining);
      case Context::AudioStreaming: return CheckAudioStreaming(d, remaining);
      case Context::AudioControl1: return CheckAudioControl1(d, remaining);
      case Context::AudioStreaming1: return CheckAudioStreaming1(d, remaining);
      default: return CheckMidiStreaming(d, remaining);
    }
  }

  bool CheckAudioControl1(const DescriptorRecord &d, size_t remaining) {
    switch (d.subtype) {
      case kAcHeader: return Counted(d, remaining, 7, kAc1HeaderBaseLength, 1);
      case kAcInputTerminal: return Expect(d, d.length == kAc1InputTerminalLength);
      case kAcOutputTerminal: return Expect(d, d.length == kAc1OutputTerminalLength);
      case kAcSelectorUnit: return Counted(d, remaining, 4, kAc1SelectorUnitBaseLength, 1);
      case kAcMixerUnit:
      case kAcFeatureUnit:
      case kAc1ProcessingUnit:
      case kAc1ExtensionUnit: return Expect(d, d.length >= kAc1MinUnitLength);
      default: return Fail(ParseError::BadSubtype, d.offset, "class 1.0 AudioControl subtype");
    }
  }

  bool CheckAudioStreaming1(const DescriptorRecord &d, size_t remaining) {
    switch (d.subtype) {
      case kAsGeneral: return Expect(d, d.length == kAs1GeneralLength);
      case kAsFormatType: {
        if (!Need(d, 7, remaining)) return false;
        if (m_bytes[d.offset + 3] != kFormatTypeI) return true;
        const uint8_t rates = m_bytes[d.offset + 7];
        return Expect(d, d.length == (rates == 0 ? kAs1ContinuousRatesLength : kAs1FormatTypeIBaseLength + 3 * rates));
      }
      case kAs1FormatSpecific: return true;
      default: return Fail(ParseError::BadSubtype, d.offset, "class 1.0 AudioStreaming subtype");
    }
  }

  bool CheckAudioControl(const DescriptorRecord &d, size_t remaining) {
    switch (d.subtype) {
      case kAcHeader: return Expect(d, d.length == kAcHeaderLength);
      case kAcInputTerminal: return Expect(d, d.length == kInputTerminalLength);
      case kAcOutputTerminal: return Expect(d, d.length == kOutputTerminalLength);
      case kAcClockSource: return Expect(d, d.length == kClockSourceLength);
      case kAcClockMultiplier: return Expect(d, d.length == 7);
      case kAcSampleRateConverter: return Expect(d, d.length == 8);
      case kAcClockSelector:
      case kAcSelectorUnit: return Counted(d, remaining, 4, kClockSelectorBaseLength, 1);
      case kAcFeatureUnit: return Expect(d, d.length >= 10 && (d.length - kFeatureUnitBaseLength) % 4 == 0);
      case kAcMixerUnit:
      case kAcEffectUnit:
      case kAcProcessingUnit:
      case kAcExtensionUnit: return Expect(d, d.length >= 6);
      default: return Fail(ParseError::BadSubtype, d.offset, "AudioControl subtype");
    }
  }

  bool CheckAudioStreaming(const DescriptorRecord &d, size_t remaining) {
    switch (d.subtype) {
      case kAsGeneral: return Expect(d, d.length == kAsGeneralLength);
      case kAsFormatType: {
        if (!Need(d, 3, remaining)) return false;
        if (m_bytes[d.offset + 3] == kFormatTypeI) {
          return Expect(d, d.length == kFormatTypeILength || d.length == kFormatTypeIWithMaxRateLength);
        }
        return true;
      }
      case kAsEncoder:
      case kAsDecoder: return true;
      default: return Fail(ParseError::BadSubtype, d.offset, "AudioStreaming subtype");
    }
  }

  bool CheckMidiStreaming(const DescriptorRecord &d, size_t remaining) {
    switch (d.subtype) {
      case kMsHeader: return Expect(d, d.length == kMsHeaderLength);
      case kMsMidiInJack: return Expect(d, d.length == kMidiInJackLength);
      case kMsMidiOutJack: return Counted(d, remaining, 5, kMidiOutJackBaseLength, 2);
      case kMsElement: return Expect(d, d.length >= 10);
      default: return Fail(ParseError::BadSubtype, d.offset, "MIDI streaming subtype");
    }
  }

  bool CheckCsEndpoint(const DescriptorRecord &d, Context context, size_t remaining) {
    if (d.subtype != kEpGeneral) return Fail(ParseError::BadSubtype, d.offset, "class-specific endpoint subtype");
    if (context == Context::AudioStreaming) return Expect(d, d.length == kCsIsoEndpointLength);
    if (context == Context::AudioStreaming1) return Expect(d, d.length == kAs1IsoEndpointLength);
    if (context == Context::MidiStreaming) return Counted(d, remaining, 3, kMsEndpointBaseLength, 1);
    return true;
  }

  bool Record(DescriptorRecord &d) {
    if (d.type == kInterface) {
      if (!OpenInterface(d)) return false;
      d.interface = static_cast<int>(m_walk.interfaces.size()) - 1;
    }
    if (d.type == kEndpoint) {
      if (m_walk.interfaces.empty()) return Fail(ParseError::DescriptorOutsideInterface, d.offset, "endpoint");
      ++m_endpointsSeen;
    }
    if (d.type == kCsInterface && Current() == Context::AudioControl && d.subtype == kAcClockSource &&
        ++m_clockSources > kMaxClockSources) {
      return Fail(ParseError::TooManyClocks, d.offset, "seventeenth clock source");
    }
    m_walk.descriptors.push_back(d);
    return true;
  }

  bool OpenInterface(const DescriptorRecord &d) {
    if (!CloseInterface(d.offset)) return false;
    InterfaceRecord itf;
    itf.offset = d.offset;
    itf.number = m_bytes[d.offset + 2];
    itf.alternate = m_bytes[d.offset + 3];
    itf.numEndpoints = m_bytes[d.offset + 4];
    itf.cls = m_bytes[d.offset + 5];
    itf.subclass = m_bytes[d.offset + 6];
    itf.protocol = m_bytes[d.offset + 7];
    if (itf.numEndpoints > kMaxEndpointsPerInterface) {
      return Fail(ParseError::CountOutOfRange, d.offset, "bNumEndpoints");
    }
    m_numbers.insert(itf.number);
    if (m_numbers.size() > kMaxInterfaces) return Fail(ParseError::TooManyInterfaces, d.offset, "ninth interface");
    if (itf.cls == kClassAudio && itf.subclass == kSubclassAudioControl && itf.protocol != kProtocolUac2 &&
        itf.protocol != kProtocolUac1) {
      return Fail(ParseError::NotAudioClass2, d.offset, "AudioControl interface protocol");
    }
    m_walk.interfaces.push_back(itf);
    m_endpointsSeen = 0;
    return true;
  }

  // The interface that ends at `offset` must have had its endpoints.
  bool CloseInterface(size_t offset) {
    if (m_walk.interfaces.empty()) return true;
    if (m_endpointsSeen != m_walk.interfaces.back().numEndpoints) {
      return Fail(ParseError::EndpointCountMismatch, offset, "endpoints of the previous interface");
    }
    return true;
  }

  std::span<const uint8_t> m_bytes;
  size_t m_total = 0;
  ConfigurationWalk m_walk;
  std::set<uint8_t> m_numbers;
  size_t m_endpointsSeen = 0;
  size_t m_clockSources = 0;
};

}  // namespace

const char *ParseErrorName(ParseError error) {
  switch (error) {
    case ParseError::None: return "none";
    case ParseError::BadDeviceDescriptor: return "bad device descriptor";
    case ParseError::BadConfigurationHeader: return "bad configuration header";
    case ParseError::TotalLengthExceedsData: return "wTotalLength exceeds the data";
    case ParseError::ZeroLength: return "zero bLength";
    case ParseError::BadLength: return "bad bLength";
    case ParseError::Truncated: return "truncated descriptor";
    case ParseError::BadSubtype: return "bad descriptor subtype";
    case ParseError::DescriptorOutsideInterface: return "descriptor outside an interface";
    case ParseError::EndpointCountMismatch: return "endpoint count mismatch";
    case ParseError::TooManyInterfaces: return "too many interfaces";
    case ParseError::TooManyClocks: return "too many clock sources";
    case ParseError::CountOutOfRange: return "count out of range";
    case ParseError::NotAudioClass2: return "not USB Audio Class 2.0";
    case ParseError::NoAudioFunction: return "no audio function";
    case ParseError::BadString: return "bad string descriptor";
  }
  return "unknown";
}

ConfigurationWalk WalkConfiguration(std::span<const uint8_t> bytes) { return Walker(bytes).Run(); }

}  // namespace winsim::devices
