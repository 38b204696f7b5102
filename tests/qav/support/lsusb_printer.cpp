#include "tests/qav/support/lsusb_printer.h"

#include <cstddef>
#include <cstdarg>
#include <cstdio>

namespace qav::test {
namespace {

enum class Style { Decimal, Hex, Bcd, Text, Power, DecimalBitmap };

struct FieldSpec {
  std::string name;
  size_t width;
  Style style;
};

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char *format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

FieldSpec B(const std::string &name) { return {name, 1, Style::Decimal}; }
FieldSpec W(const std::string &name) { return {name, 2, Style::Decimal}; }
FieldSpec WHex(const std::string &name) { return {name, 2, Style::Hex}; }
FieldSpec Bm(const std::string &name, size_t width) { return {name, width, Style::Hex}; }
FieldSpec I(const std::string &name) { return {name, 1, Style::Text}; }
FieldSpec Bcd(const std::string &name) { return {name, 2, Style::Bcd}; }
std::string Indexed(const std::string &name, size_t i) { return Format("%s(%2zu)", name.c_str(), i); }

using Layout = std::vector<FieldSpec>;

Layout Head() { return {B("bLength"), B("bDescriptorType")}; }
Layout CsHead() { return {B("bLength"), B("bDescriptorType"), B("bDescriptorSubtype")}; }

Layout Then(Layout layout, const Layout &more) {
  layout.insert(layout.end(), more.begin(), more.end());
  return layout;
}

struct Context {
  uint8_t cls = 0, subclass = 0, protocol = 0;
};

// Layout of a class-specific interface descriptor; empty when not known.
Layout AudioControlLayout(const std::vector<uint8_t> &d) {
  const size_t n = d.size();
  switch (d[2]) {
    case 0x01: return Then(CsHead(), {Bcd("bcdADC"), B("bCategory"), WHex("wTotalLength"), Bm("bmControls", 1)});
    case 0x0A:
      return Then(CsHead(), {B("bClockID"), {"bmAttributes", 1, Style::DecimalBitmap}, Bm("bmControls", 1),
                             B("bAssocTerminal"), I("iClockSource")});
    case 0x0B: {
      Layout l = Then(CsHead(), {B("bClockID"), B("bNrInPins")});
      for (size_t i = 0; n > 7 && i < n - 7; ++i) l.push_back(B(Indexed("baCSourceID", i)));
      return Then(l, {Bm("bmControls", 1), I("iClockSelector")});
    }
    case 0x02:
      return Then(CsHead(), {B("bTerminalID"), WHex("wTerminalType"), B("bAssocTerminal"), B("bCSourceID"),
                             B("bNrChannels"), Bm("bmChannelConfig", 4), I("iChannelNames"), Bm("bmControls", 2),
                             I("iTerminal")});
    case 0x03:
      return Then(CsHead(), {B("bTerminalID"), WHex("wTerminalType"), B("bAssocTerminal"), B("bSourceID"),
                             B("bCSourceID"), Bm("bmControls", 2), I("iTerminal")});
    case 0x06: {
      Layout l = Then(CsHead(), {B("bUnitID"), B("bSourceID")});
      for (size_t i = 0; n > 6 && i < (n - 6) / 4; ++i) l.push_back(Bm(Indexed("bmaControls", i), 4));
      return Then(l, {I("iFeature")});
    }
    default: return {};
  }
}

Layout StreamingLayout(const std::vector<uint8_t> &d) {
  switch (d[2]) {
    case 0x01:
      return Then(CsHead(), {B("bTerminalLink"), Bm("bmControls", 1), B("bFormatType"), Bm("bmFormats", 4),
                             B("bNrChannels"), Bm("bmChannelConfig", 4), I("iChannelNames")});
    case 0x02: return Then(CsHead(), {B("bFormatType"), B("bSubslotSize"), B("bBitResolution")});
    default: return {};
  }
}

Layout MidiLayout(const std::vector<uint8_t> &d) {
  const size_t n = d.size();
  switch (d[2]) {
    case 0x01: return Then(CsHead(), {Bcd("bcdADC"), WHex("wTotalLength")});
    case 0x02: return Then(CsHead(), {B("bJackType"), B("bJackID"), I("iJack")});
    case 0x03: {
      Layout l = Then(CsHead(), {B("bJackType"), B("bJackID"), B("bNrInputPins")});
      for (size_t i = 0; n > 7 && i < (n - 7) / 2; ++i) {
        l.push_back(B(Indexed("baSourceID", i)));
        l.push_back(B(Indexed("BaSourcePin", i)));
      }
      return Then(l, {I("iJack")});
    }
    default: return {};
  }
}

Layout EndpointExtraLayout(const std::vector<uint8_t> &d, const Context &c) {
  if (d[1] != 0x25 || d[2] != 0x01 || c.cls != 1) return {};
  if (c.subclass == 2) {
    return Then(CsHead(), {Bm("bmAttributes", 1), Bm("bmControls", 1), B("bLockDelayUnits"), W("wLockDelay")});
  }
  if (c.subclass == 3) {
    Layout l = Then(CsHead(), {B("bNumEmbMIDIJack")});
    for (size_t i = 0; d.size() > 4 && i < d.size() - 4; ++i) l.push_back(B(Indexed("baAssocJackID", i)));
    return l;
  }
  return {};
}

class Printer {
 public:
  explicit Printer(const StringText &strings) : m_strings(strings) {}

  void Descriptor(size_t indent, const std::string &title, const std::vector<uint8_t> &d, const Layout &layout) {
    size_t need = 0;
    for (const FieldSpec &f : layout) need += f.width;
    if (layout.empty() || need > d.size()) return Unrecognised(indent, d);
    Line(indent, title + ":");
    size_t at = 0;
    for (const FieldSpec &f : layout) {
      uint32_t value = 0;
      for (size_t i = 0; i < f.width; ++i) value |= static_cast<uint32_t>(d[at + i]) << (8 * i);
      at += f.width;
      Field(indent + 2, f, value);
    }
    if (at < d.size()) {
      Line(indent + 4, Format("Warning: Junk at end of descriptor (%zu bytes):", d.size() - at));
      Line(indent + 6, Hex(d, at));
    }
  }

  void Unrecognised(size_t indent, const std::vector<uint8_t> &d) { Line(indent, "** UNRECOGNIZED:  " + Hex(d, 0)); }

  std::string Take() { return std::move(m_out); }

 private:
  static std::string Hex(const std::vector<uint8_t> &d, size_t from) {
    std::string text;
    for (size_t i = from; i < d.size(); ++i) text += Format("%s%02x", i == from ? "" : " ", d[i]);
    return text;
  }

  void Line(size_t indent, const std::string &text) { m_out += std::string(indent, ' ') + text + "\n"; }

  void Field(size_t indent, const FieldSpec &f, uint32_t value) {
    const int pad = static_cast<int>(f.name.size() < 22 ? 22 - f.name.size() : 1);
    std::string shown;
    switch (f.style) {
      case Style::Decimal: shown = Format("%*u", pad, value); break;
      case Style::DecimalBitmap: shown = Format("%*u", pad, value) + " Some clock"; break;
      case Style::Hex: shown = Format("%*s0x%0*x", pad - 2 - static_cast<int>(2 * f.width) > 0 ? pad - 2 - static_cast<int>(2 * f.width) : 1, "", static_cast<int>(2 * f.width), value); break;
      case Style::Bcd: shown = Format("%*x.%02x", pad - 3, value >> 8, value & 0xFF); break;
      case Style::Power: shown = Format("%*umA", pad - 2, value * 2); break;
      case Style::Text: {
        shown = Format("%*u ", pad, value);
        if (value != 0 && m_strings) shown += m_strings(static_cast<uint8_t>(value)).value_or("");
        break;
      }
    }
    Line(indent, f.name + shown);
    if (f.style == Style::Hex && f.name.rfind("bm", 0) == 0 && value != 0) Line(indent + 2, "(some meaning)");
  }

  StringText m_strings;
  std::string m_out;
};

}  // namespace

std::string PrintLsusb(const std::vector<uint8_t> &device, const std::vector<uint8_t> &configuration,
                       const StringText &strings) {
  Printer p(strings);
  std::string head = "Bus 001 Device 004: ID 0000:0000 Simulated\n";
  p.Descriptor(0, "Device Descriptor", device,
               Then(Head(), {Bcd("bcdUSB"), B("bDeviceClass"), B("bDeviceSubClass"), B("bDeviceProtocol"),
                             B("bMaxPacketSize0"), WHex("idVendor"), WHex("idProduct"), Bcd("bcdDevice"),
                             I("iManufacturer"), I("iProduct"), I("iSerial"), B("bNumConfigurations")}));
  Context c;
  bool afterEndpoint = false;
  size_t at = 0;
  while (at + 2 <= configuration.size() && configuration[at] >= 2 && at + configuration[at] <= configuration.size()) {
    const std::vector<uint8_t> d(configuration.begin() + static_cast<std::ptrdiff_t>(at),
                                 configuration.begin() + static_cast<std::ptrdiff_t>(at + configuration[at]));
    at += d.size();
    switch (d[1]) {
      case 0x02:
        p.Descriptor(2, "Configuration Descriptor", d,
                     Then(Head(), {WHex("wTotalLength"), B("bNumInterfaces"), B("bConfigurationValue"),
                                   I("iConfiguration"), Bm("bmAttributes", 1), {"MaxPower", 1, Style::Power}}));
        continue;
      case 0x0B:
        p.Descriptor(4, "Interface Association", d,
                     Then(Head(), {B("bFirstInterface"), B("bInterfaceCount"), B("bFunctionClass"),
                                   B("bFunctionSubClass"), B("bFunctionProtocol"), I("iFunction")}));
        continue;
      case 0x04:
        if (d.size() >= 9) c = Context{d[5], d[6], d[7]};
        afterEndpoint = false;
        p.Descriptor(4, "Interface Descriptor", d,
                     Then(Head(), {B("bInterfaceNumber"), B("bAlternateSetting"), B("bNumEndpoints"),
                                   B("bInterfaceClass"), B("bInterfaceSubClass"), B("bInterfaceProtocol"),
                                   I("iInterface")}));
        continue;
      case 0x05: {
        afterEndpoint = true;
        Layout l = Then(Head(), {Bm("bEndpointAddress", 1), {"bmAttributes", 1, Style::DecimalBitmap},
                                 WHex("wMaxPacketSize"), B("bInterval")});
        if (d.size() == 9) l = Then(l, {B("bRefresh"), B("bSynchAddress")});
        p.Descriptor(6, "Endpoint Descriptor", d, l);
        continue;
      }
      default: break;
    }
    if (afterEndpoint) {
      p.Descriptor(8, c.subclass == 3 ? "MIDIStreaming Endpoint Descriptor" : "AudioStreaming Endpoint Descriptor", d,
                   d.size() >= 3 ? EndpointExtraLayout(d, c) : Layout{});
    } else if (d[1] == 0x24 && d.size() >= 3 && c.cls == 1 && c.protocol == 0x20 && c.subclass == 1) {
      p.Descriptor(6, "AudioControl Interface Descriptor", d, AudioControlLayout(d));
    } else if (d[1] == 0x24 && d.size() >= 3 && c.cls == 1 && c.protocol == 0x20 && c.subclass == 2) {
      p.Descriptor(6, "AudioStreaming Interface Descriptor", d, StreamingLayout(d));
    } else if (d[1] == 0x24 && d.size() >= 3 && c.cls == 1 && c.subclass == 3) {
      p.Descriptor(6, "MIDIStreaming Interface Descriptor", d, MidiLayout(d));
    } else if (d[1] == 0x21 && c.cls == 0xFE && c.subclass == 1) {
      p.Descriptor(6, "Device Firmware Upgrade Interface Descriptor", d,
                   Then(Head(), {Bm("bmAttributes", 1), W("wDetachTimeout"), W("wTransferSize"),
                                 Bcd("bcdDFUVersion")}));
    } else {
      p.Unrecognised(6, d);
    }
  }
  return head + p.Take() + "Device Status:     0x0000\n  (Bus Powered)\n";
}

}  // namespace qav::test
