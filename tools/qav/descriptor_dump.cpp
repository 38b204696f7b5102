#include "tools/qav/descriptor_dump.h"

#include <cstdarg>
#include <cstdio>

namespace qav {
namespace {

constexpr uint8_t kTypeDevice = 0x01;
constexpr uint8_t kTypeConfiguration = 0x02;
constexpr uint8_t kTypeInterface = 0x04;
constexpr uint8_t kTypeEndpoint = 0x05;
constexpr uint8_t kTypeAssociation = 0x0B;
constexpr uint8_t kTypeCsInterface = 0x24;
constexpr uint8_t kTypeCsEndpoint = 0x25;
constexpr uint8_t kClassAudio = 0x01;
constexpr uint8_t kSubclassControl = 0x01;
constexpr uint8_t kSubclassStreaming = 0x02;
constexpr uint8_t kSubclassMidi = 0x03;

// One descriptor, already checked to lie inside the buffer.
class Descriptor {
 public:
  Descriptor(std::span<const uint8_t> bytes, size_t offset) : m_bytes(bytes), m_offset(offset) {}
  size_t Length() const { return m_bytes.size(); }
  size_t Offset() const { return m_offset; }
  uint8_t U8(size_t at) const { return at < m_bytes.size() ? m_bytes[at] : 0; }
  uint16_t U16(size_t at) const { return static_cast<uint16_t>(U8(at) | U8(at + 1) << 8); }
  uint32_t U32(size_t at) const {
    return static_cast<uint32_t>(U16(at)) | static_cast<uint32_t>(U16(at + 2)) << 16;
  }

 private:
  std::span<const uint8_t> m_bytes;
  size_t m_offset;
};

std::string Format(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Format(const char *format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string Quoted(const StringLookup &strings, uint8_t index) {
  if (index == 0) return "";
  std::optional<std::string> text = strings ? strings(index) : std::nullopt;
  return text ? " \"" + *text + "\"" : Format(" (string %u missing)", index);
}

struct WalkState {
  uint8_t interfaceClass = 0;
  uint8_t interfaceSubclass = 0;
  bool inInterface = false;
  std::string out;
  bool failed = false;

  void Line(int depth, const std::string &text) { out += std::string(2 * depth, ' ') + text + "\n"; }
  void Malformed(size_t offset, const std::string &what) {
    out += Format("malformed at offset %zu: ", offset) + what + "\n";
    failed = true;
  }
};

// The fixed part each known descriptor needs before its fields can be read.
bool NeedLength(WalkState &state, const Descriptor &d, size_t need, const char *kind) {
  if (d.Length() >= need) return true;
  state.Malformed(d.Offset(), Format("%s has bLength %zu, needs at least %zu", kind, d.Length(), need));
  return false;
}

// Descriptors of a fixed size: any other bLength means the walk has lost
// its place (or the device lies), so nothing after it can be trusted.
bool NeedExact(WalkState &state, const Descriptor &d, size_t need, const char *kind) {
  if (d.Length() == need) return true;
  state.Malformed(d.Offset(), Format("%s has bLength %zu, must be %zu", kind, d.Length(), need));
  return false;
}

const char *TransferType(uint8_t attributes) {
  static const char *const kNames[] = {"control", "isochronous", "bulk", "interrupt"};
  return kNames[attributes & 3];
}

const char *SyncType(uint8_t attributes) {
  static const char *const kNames[] = {"", " no-sync", " asynchronous", " adaptive", " synchronous"};
  if ((attributes & 3) != 1) return kNames[0];
  return kNames[1 + ((attributes >> 2) & 3)];
}

const char *Usage(uint8_t attributes) {
  if ((attributes & 3) != 1) return "";
  switch ((attributes >> 4) & 3) {
    case 1: return " feedback";
    case 2: return " implicit-feedback data";
    default: return "";
  }
}

void DumpEndpoint(WalkState &state, const Descriptor &d) {
  if (d.Length() != 7 && d.Length() != 9) {
    return state.Malformed(d.Offset(), Format("endpoint has bLength %zu, must be 7 or 9", d.Length()));
  }
  uint8_t address = d.U8(2);
  uint8_t attributes = d.U8(3);
  uint16_t maxPacket = d.U16(4);
  uint32_t transactions = 1 + ((maxPacket >> 11) & 3);
  std::string size = transactions > 1 ? Format("%u x %u bytes", maxPacket & 0x7FF, transactions)
                                      : Format("%u bytes", maxPacket & 0x7FF);
  state.Line(2, Format("Endpoint 0x%02X %s %s%s%s, %s, interval %u", address, (address & 0x80) ? "IN" : "OUT",
                       TransferType(attributes), SyncType(attributes), Usage(attributes), size.c_str(), d.U8(6)));
}

const char *ClockKind(uint8_t attributes) {
  static const char *const kNames[] = {"external", "internal fixed", "internal variable", "internal programmable"};
  return kNames[attributes & 3];
}

void DumpAudioControl(WalkState &state, const Descriptor &d, const StringLookup &strings) {
  switch (d.U8(2)) {
    case 0x01:
      if (!NeedExact(state, d, 9, "AC header")) return;
      state.Line(2, Format("AC Header: ADC %x.%02x, category 0x%02X, class-specific length %u", d.U16(3) >> 8,
                           d.U16(3) & 0xFF, d.U8(5), d.U16(6)));
      return;
    case 0x02:
      if (!NeedExact(state, d, 17, "input terminal")) return;
      state.Line(2, Format("Input Terminal 0x%02X: type 0x%04X, clock 0x%02X, %u channels", d.U8(3), d.U16(4),
                           d.U8(7), d.U8(8)) + Quoted(strings, d.U8(16)));
      return;
    case 0x03:
      if (!NeedExact(state, d, 12, "output terminal")) return;
      state.Line(2, Format("Output Terminal 0x%02X: type 0x%04X, source 0x%02X, clock 0x%02X", d.U8(3), d.U16(4),
                           d.U8(7), d.U8(8)) + Quoted(strings, d.U8(11)));
      return;
    case 0x06:
      if (!NeedLength(state, d, 6, "feature unit")) return;
      state.Line(2, Format("Feature Unit 0x%02X: source 0x%02X, %zu channels", d.U8(3), d.U8(4),
                           d.Length() >= 10 ? (d.Length() - 6) / 4 - 1 : 0));
      return;
    case 0x0A:
      if (!NeedExact(state, d, 8, "clock source")) return;
      state.Line(2, Format("Clock Source 0x%02X: %s", d.U8(3), ClockKind(d.U8(4))) + Quoted(strings, d.U8(7)));
      return;
    case 0x0B: {
      if (!NeedLength(state, d, 5, "clock selector")) return;
      size_t inputs = d.U8(4);
      if (!NeedExact(state, d, 7 + inputs, "clock selector")) return;
      std::string list;
      for (size_t i = 0; i < inputs; ++i) list += Format(" 0x%02X", d.U8(5 + i));
      state.Line(2, Format("Clock Selector 0x%02X: inputs", d.U8(3)) + list + Quoted(strings, d.U8(6 + inputs)));
      return;
    }
    default:
      state.Line(2, Format("AC descriptor subtype 0x%02X, %zu bytes", d.U8(2), d.Length()));
  }
}

void DumpAudioStreaming(WalkState &state, const Descriptor &d, const StringLookup &strings) {
  switch (d.U8(2)) {
    case 0x01:
      if (!NeedExact(state, d, 16, "AS general")) return;
      state.Line(2, Format("AS General: terminal 0x%02X, formats 0x%08X, %u channels, config 0x%08X", d.U8(3),
                           d.U32(6), d.U8(10), d.U32(11)) +
                        (d.U8(15) ? Format(", channel names from string %u", d.U8(15)) : std::string()));
      (void)strings;
      return;
    case 0x02:
      if (!NeedLength(state, d, 6, "format type")) return;
      state.Line(2, Format("Format Type %u: subslot %u bytes, %u bits", d.U8(3), d.U8(4), d.U8(5)) +
                        (d.Length() >= 10 ? Format(", up to %u Hz", d.U32(6)) : std::string()));
      return;
    default:
      state.Line(2, Format("AS descriptor subtype 0x%02X, %zu bytes", d.U8(2), d.Length()));
  }
}

void DumpMidi(WalkState &state, const Descriptor &d) {
  static const char *const kKinds[] = {"?", "MS Header", "MIDI IN Jack", "MIDI OUT Jack", "Element"};
  uint8_t subtype = d.U8(2);
  const char *kind = subtype < 5 ? kKinds[subtype] : "MS descriptor";
  if (subtype == 2 || subtype == 3) {
    if (!NeedLength(state, d, 5, kind)) return;
    state.Line(2, Format("%s 0x%02X: %s", kind, d.U8(4), d.U8(3) == 1 ? "embedded" : "external"));
    return;
  }
  state.Line(2, Format("%s, %zu bytes", kind, d.Length()));
}

void DumpClassEndpoint(WalkState &state, const Descriptor &d) {
  if (state.interfaceSubclass == kSubclassMidi) {
    if (!NeedLength(state, d, 4, "MS endpoint")) return;
    size_t jacks = d.U8(3);
    if (!NeedLength(state, d, 4 + jacks, "MS endpoint")) return;
    std::string list;
    for (size_t i = 0; i < jacks; ++i) list += Format(" 0x%02X", d.U8(4 + i));
    state.Line(3, "MS Endpoint: jacks" + list);
    return;
  }
  if (!NeedLength(state, d, 8, "AS iso endpoint")) return;
  state.Line(3, Format("AS Iso Endpoint: attributes 0x%02X, controls 0x%02X", d.U8(3), d.U8(4)));
}

const char *InterfaceKind(uint8_t cls, uint8_t subclass) {
  if (cls == kClassAudio && subclass == kSubclassControl) return "Audio Control";
  if (cls == kClassAudio && subclass == kSubclassStreaming) return "Audio Streaming";
  if (cls == kClassAudio && subclass == kSubclassMidi) return "MIDI Streaming";
  if (cls == 0xFE && subclass == 0x01) return "Device Firmware Upgrade";
  return "interface";
}

void DumpOne(WalkState &state, const Descriptor &d, const StringLookup &strings) {
  switch (d.U8(1)) {
    case kTypeInterface:
      if (!NeedExact(state, d, 9, "interface")) return;
      state.interfaceClass = d.U8(5);
      state.interfaceSubclass = d.U8(6);
      state.inInterface = true;
      state.Line(1, Format("Interface %u alt %u: %s (%02X/%02X/%02X), %u endpoints", d.U8(2), d.U8(3),
                           InterfaceKind(d.U8(5), d.U8(6)), d.U8(5), d.U8(6), d.U8(7), d.U8(4)) +
                        Quoted(strings, d.U8(8)));
      return;
    case kTypeEndpoint:
      if (!state.inInterface) return state.Malformed(d.Offset(), "endpoint before any interface");
      return DumpEndpoint(state, d);
    case kTypeAssociation:
      if (!NeedExact(state, d, 8, "interface association")) return;
      state.Line(1, Format("Interface Association: interfaces %u-%u, class %02X/%02X/%02X", d.U8(2),
                           d.U8(2) + d.U8(3) - 1, d.U8(4), d.U8(5), d.U8(6)) + Quoted(strings, d.U8(7)));
      return;
    case kTypeCsInterface:
      if (!NeedLength(state, d, 3, "class-specific interface")) return;
      if (state.interfaceClass != kClassAudio) break;
      if (state.interfaceSubclass == kSubclassControl) return DumpAudioControl(state, d, strings);
      if (state.interfaceSubclass == kSubclassStreaming) return DumpAudioStreaming(state, d, strings);
      if (state.interfaceSubclass == kSubclassMidi) return DumpMidi(state, d);
      break;
    case kTypeCsEndpoint:
      if (!NeedLength(state, d, 3, "class-specific endpoint")) return;
      return DumpClassEndpoint(state, d);
    default:
      break;
  }
  state.Line(2, Format("descriptor type 0x%02X, %zu bytes", d.U8(1), d.Length()));
}

}  // namespace

std::optional<std::string> DecodeStringDescriptor(std::span<const uint8_t> descriptor) {
  if (descriptor.size() < 2 || descriptor[1] != 0x03 || descriptor[0] > descriptor.size() || descriptor[0] % 2 != 0) {
    return std::nullopt;
  }
  std::string text;
  for (size_t i = 2; i + 1 < descriptor[0]; i += 2) {
    uint32_t unit = static_cast<uint32_t>(descriptor[i] | descriptor[i + 1] << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < descriptor[0]) {
      uint32_t low = static_cast<uint32_t>(descriptor[i + 2] | descriptor[i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (unit < 0x80) {
      text += static_cast<char>(unit);
    } else if (unit < 0x800) {
      text += static_cast<char>(0xC0 | unit >> 6);
      text += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      text += static_cast<char>(0xE0 | unit >> 12);
      text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | unit >> 18);
      text += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return text;
}

std::string DumpDeviceDescriptor(std::span<const uint8_t> device, const StringLookup &strings) {
  if (device.size() < 18 || device[0] != 18 || device[1] != kTypeDevice) {
    return Format("malformed device descriptor (%zu bytes)\n", device.size());
  }
  Descriptor d(device.first(18), 0);
  return Format("Device: USB %x.%02x, class %02X/%02X/%02X, VID %04X PID %04X rev %x.%02x, max packet %u, "
                "%u configuration(s)\n",
                d.U16(2) >> 8, d.U16(2) & 0xFF, d.U8(4), d.U8(5), d.U8(6), d.U16(8), d.U16(10), d.U16(12) >> 8,
                d.U16(12) & 0xFF, d.U8(7), d.U8(17)) +
         "  manufacturer" + Quoted(strings, d.U8(14)) + ", product" + Quoted(strings, d.U8(15)) + ", serial" +
         Quoted(strings, d.U8(16)) + "\n";
}

std::string DumpConfiguration(std::span<const uint8_t> configuration, const StringLookup &strings) {
  WalkState state;
  if (configuration.size() < 9 || configuration[0] != 9 || configuration[1] != kTypeConfiguration) {
    state.Malformed(0, "not a configuration descriptor");
    return state.out;
  }
  Descriptor header(configuration.first(9), 0);
  size_t total = header.U16(2);
  state.Line(0, Format("Configuration %u: %u interface(s), wTotalLength %zu, attributes 0x%02X, %u mA", header.U8(5),
                       header.U8(4), total, header.U8(7), header.U8(8) * 2u) +
                    Quoted(strings, header.U8(6)));
  if (total > configuration.size()) {
    state.Malformed(2, Format("wTotalLength %zu exceeds the %zu bytes read", total, configuration.size()));
    return state.out;
  }
  size_t offset = 9;
  while (offset < total && !state.failed) {
    size_t length = configuration[offset];
    if (length < 2) {
      state.Malformed(offset, Format("bLength %zu", length));
      break;
    }
    if (offset + length > total) {
      state.Malformed(offset, Format("bLength %zu runs past wTotalLength %zu", length, total));
      break;
    }
    DumpOne(state, Descriptor(configuration.subspan(offset, length), offset), strings);
    offset += length;
  }
  return state.out;
}

}  // namespace qav
