#include "winsim/devices/lsusb_text.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <set>

#include "winsim/devices/string_descriptors.h"

namespace winsim::devices {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr size_t kMaxDescriptorLength = 255;
constexpr size_t kMaxConfigurationLength = 65535;
constexpr size_t kQuotedChars = 60;
constexpr uint16_t kLanguageEnglishUs = 0x0409;
constexpr uint16_t kBcdUsb3 = 0x0300;

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Quote(std::string_view s) {
  return "\"" + std::string(s.substr(0, kQuotedChars)) + (s.size() > kQuotedChars ? "...\"" : "\"");
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::vector<std::string_view> Tokens(std::string_view s) {
  std::vector<std::string_view> tokens;
  size_t pos = 0;
  while (pos < s.size()) {
    while (pos < s.size() && Blank(s[pos])) ++pos;
    const size_t start = pos;
    while (pos < s.size() && !Blank(s[pos])) ++pos;
    if (pos > start) tokens.push_back(s.substr(start, pos - start));
  }
  return tokens;
}

// Bytes printed as two hex digits each, blank-separated; nothing otherwise.
std::optional<std::vector<uint8_t>> HexDump(std::string_view s) {
  std::vector<uint8_t> bytes;
  for (std::string_view token : Tokens(s)) {
    uint8_t byte = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), byte, 16);
    if (token.size() != 2 || error != std::errc() || end != token.data() + token.size()) return std::nullopt;
    bytes.push_back(byte);
  }
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

template <typename T>
bool Number(std::string_view token, int base, T &value) {
  if (token.empty()) return false;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value, base);
  return error == std::errc() && end == token.data() + token.size();
}

// One "name  value  decoration" line. A name may carry an index:
// "baSourceID( 0)", "bmaControls(1)", "tSamFreq[ 0]".
struct Field {
  std::string_view name;
  std::string_view value;
  std::string_view rest;  // what follows the value (a string's text, a decoded meaning)
};

std::optional<Field> SplitField(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (std::isalnum(static_cast<unsigned char>(text[pos])) || text[pos] == '_')) ++pos;
  if (pos == 0) return std::nullopt;
  Field field;
  field.name = text.substr(0, pos);
  if (pos < text.size() && (text[pos] == '(' || text[pos] == '[')) {
    const size_t close = text.find(text[pos] == '(' ? ')' : ']', pos);
    if (close == std::string_view::npos) return std::nullopt;
    pos = close + 1;
  }
  if (pos >= text.size() || !Blank(text[pos])) return std::nullopt;
  const std::string_view rest = Trim(text.substr(pos));
  const size_t valueEnd = std::min(rest.find_first_of(" \t"), rest.size());
  field.value = rest.substr(0, valueEnd);
  field.rest = Trim(rest.substr(valueEnd));
  if (field.value.empty()) return std::nullopt;
  return field;
}

// The width a field's name gives it; 0 when the name follows no known
// prefix. Bitmaps (bm, bma) are as wide as the hex digits lsusb printed.
size_t FieldWidth(std::string_view name, std::string_view value) {
  struct Prefix {
    std::string_view text;
    int width;  // -1: from the digits
  };
  static constexpr Prefix kPrefixes[] = {{"bcd", 2}, {"bma", -1}, {"bm", -1}, {"ba", 1}, {"dw", 4}, {"id", 2},
                                         {"b", 1},   {"w", 2},    {"i", 1},   {"t", 3}};
  for (const Prefix &prefix : kPrefixes) {
    if (name.size() <= prefix.text.size()) continue;
    if (std::tolower(static_cast<unsigned char>(name[0])) != prefix.text[0]) continue;
    if (name.substr(1, prefix.text.size() - 1) != prefix.text.substr(1)) continue;
    if (!std::isupper(static_cast<unsigned char>(name[prefix.text.size()]))) continue;
    if (prefix.width > 0) return static_cast<size_t>(prefix.width);
    if (!StartsWith(value, "0x")) return 1;
    return (value.size() - 2 + 1) / 2;
  }
  return 0;
}

// "0x1f" hex, "2.00" binary-coded decimal as lsusb prints it (major and
// minor in hex), else decimal.
std::optional<uint64_t> FieldValue(std::string_view value) {
  uint64_t number = 0;
  if (StartsWith(value, "0x")) {
    const std::string_view digits = value.substr(2);
    if (digits.size() > 8 || !Number(digits, 16, number)) return std::nullopt;
    return number;
  }
  const size_t dot = value.find('.');
  if (dot != std::string_view::npos) {
    uint64_t major = 0, minor = 0;
    if (dot > 2 || value.size() - dot - 1 != 2 || !Number(value.substr(0, dot), 16, major) ||
        !Number(value.substr(dot + 1), 16, minor)) {
      return std::nullopt;
    }
    return major << 8 | minor;
  }
  if (value.size() > 10 || !Number(value, 10, number)) return std::nullopt;
  return number;
}

struct Block {
  size_t line = 0;
  size_t indent = 0;
  size_t fieldIndent = kNone;
  std::string name;
  std::vector<uint8_t> bytes;
  bool device = false;
};

class LsusbParser {
 public:
  LsusbTextResult Run(std::string_view text) {
    size_t number = 0;
    size_t pos = 0;
    while (pos < text.size() && m_result.error.empty() && !m_done) {
      const size_t end = std::min(text.find('\n', pos), text.size());
      ++number;
      Line(number, text.substr(pos, end - pos));
      pos = end + 1;
    }
    if (m_result.error.empty()) Finish(number);
    m_result.ok = m_result.error.empty();
    if (!m_result.ok) m_result.raw = {};
    return std::move(m_result);
  }

 private:
  bool Fail(size_t line, const std::string &what) {
    if (m_result.error.empty()) m_result.error = "line " + std::to_string(line) + ": " + what;
    return false;
  }

  void Note(const std::string &what) { m_result.notes.push_back(what); }

  void Line(size_t number, std::string_view raw) {
    size_t indent = 0;
    while (indent < raw.size() && Blank(raw[indent])) ++indent;
    const std::string_view text = Trim(raw);
    if (text.empty()) return;
    if (StartsWith(text, "Couldn't open device")) m_unopened = true;
    if (text == "Device Descriptor:") {
      if (m_seenDevice) return void(Fail(number, "a second device: the file must describe one device"));
      m_seenDevice = true;
      return Open(number, indent, text, true);
    }
    if (!m_seenDevice) return;  // the "Bus ... Device ...: ID" line and anything before
    if (indent == 0) return Tail(number, text);
    if (m_block && m_block->fieldIndent != kNone && indent > m_block->fieldIndent) return Decoration(text);
    if (text.find("UNRECOGNIZED:") != std::string_view::npos) return Unrecognised(number, indent, text);
    if (StartsWith(text, "Report Descriptor")) return;  // HID: what follows says whether lsusb could read it
    if (text.back() == ':') {
      if (text == "Configuration Descriptor:" && m_configurationLine != 0) {
        Note("line " + std::to_string(number) +
             ": a further configuration, not served: the simulated device offers its first configuration only");
        m_done = true;
        return;
      }
      return Open(number, indent, text, false);
    }
    if (m_block && indent > m_block->indent && Explanation(text)) return;
    FieldLine(number, indent, text);
  }

  // lsusb's remarks at a descriptor's field level: warnings carry no bytes,
  // "Invalid desc subtype: 01 02 ..." and the like carry the bytes it could
  // not decode.
  bool Explanation(std::string_view text) {
    if (StartsWith(text, "Warning:")) return true;
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    auto bytes = HexDump(text.substr(colon + 1));
    if (!bytes) return false;
    m_block->bytes.insert(m_block->bytes.end(), bytes->begin(), bytes->end());
    return true;
  }

  // Lines lsusb indents below a field explain it; only hex dumps carry bytes
  // (of a descriptor it could not decode, or the part it did not).
  void Decoration(std::string_view text) {
    if (text == "** UNAVAILABLE **") m_unavailableReport = true;
    const size_t colon = text.rfind(':');
    auto bytes = HexDump(colon == std::string_view::npos ? text : text.substr(colon + 1));
    if (!bytes) return;
    m_block->bytes.insert(m_block->bytes.end(), bytes->begin(), bytes->end());
  }

  // What lsusb prints after the configuration: the device status (not a
  // descriptor), and descriptors the simulated device does not serve.
  void Tail(size_t number, std::string_view text) {
    if (!Close()) return;
    m_done = true;
    if (StartsWith(text, "Device Status:")) return;
    Note("line " + std::to_string(number) + ": " + Quote(text) +
         " and what follows are not part of the device's descriptors: not served");
  }

  void Open(size_t number, size_t indent, std::string_view text, bool device) {
    if (!Close()) return;
    if (!device && m_configurationLine == 0 && text != "Configuration Descriptor:") {
      return void(Fail(number, Quote(text) + " before the configuration descriptor"));
    }
    if (text == "Configuration Descriptor:") m_configurationLine = number;
    m_block = Block{number, indent, kNone, std::string(text.substr(0, text.size() - 1)), {}, device};
  }

  void Unrecognised(size_t number, size_t indent, std::string_view text) {
    if (!Close()) return;
    auto bytes = HexDump(text.substr(text.find("UNRECOGNIZED:") + 13));
    if (!bytes) return void(Fail(number, "unrecognised descriptor without its bytes in hexadecimal"));
    if (m_configurationLine == 0) return void(Fail(number, "unrecognised descriptor before the configuration"));
    m_block = Block{number, indent, indent, "unrecognised descriptor", std::move(*bytes), false};
    Close();
  }

  void FieldLine(size_t number, size_t indent, std::string_view text) {
    if (!m_block || indent <= m_block->indent) return void(Fail(number, "not inside a descriptor: " + Quote(text)));
    if (m_block->fieldIndent == kNone) m_block->fieldIndent = indent;
    if (indent != m_block->fieldIndent) return void(Fail(number, "indented unlike its descriptor's fields"));
    auto field = SplitField(text);
    if (!field) return void(Fail(number, "not a descriptor field lsusb prints: " + Quote(text)));
    if (field->name == "MaxPower") return MaxPower(number, *field);
    const size_t width = FieldWidth(field->name, field->value);
    if (width == 0 || width > 4) return void(Fail(number, "not a descriptor field lsusb prints: " + Quote(text)));
    auto value = FieldValue(field->value);
    if (!value || (width < 8 && *value >> (8 * width) != 0)) {
      return void(Fail(number, "value " + Quote(field->value) + " does not fit " + std::string(field->name)));
    }
    for (size_t i = 0; i < width; ++i) m_block->bytes.push_back(static_cast<uint8_t>(*value >> (8 * i)));
    if (m_block->bytes.size() > kMaxDescriptorLength) return void(Fail(number, "descriptor longer than 255 bytes"));
    if (field->name[0] == 'i' && width == 1) StringText(number, static_cast<uint8_t>(*value), field->rest);
  }

  // lsusb prints bMaxPower times the unit of the device's speed.
  void MaxPower(size_t number, const Field &field) {
    const std::string_view value = field.value;
    uint32_t milliamps = 0;
    if (value.size() < 3 || value.substr(value.size() - 2) != "mA" ||
        !Number(value.substr(0, value.size() - 2), 10, milliamps)) {
      return void(Fail(number, "MaxPower is not in mA: " + Quote(value)));
    }
    const uint32_t unit = m_bcdUsb >= kBcdUsb3 ? 8 : 2;
    if (milliamps % unit != 0 || milliamps / unit > 255) {
      return void(Fail(number, "MaxPower " + Quote(value) + " is no multiple of " + std::to_string(unit) +
                                   " mA up to 255 of them"));
    }
    m_block->bytes.push_back(static_cast<uint8_t>(milliamps / unit));
  }

  void StringText(size_t number, uint8_t index, std::string_view text) {
    if (index == 0 || m_result.raw.strings.count(index)) return;
    if (text.empty()) {
      m_missingStrings.insert(index);
      return;
    }
    auto descriptor = MakeStringDescriptor(std::string(text));
    if (!descriptor) return void(Fail(number, "string text longer than a string descriptor holds"));
    m_result.raw.strings[index] = std::move(*descriptor);
    m_missingStrings.erase(index);
  }

  // Ends the open descriptor: it must be exactly as long as it says.
  bool Close() {
    if (!m_block || !m_result.error.empty()) return m_result.error.empty();
    Block block = std::move(*m_block);
    m_block.reset();
    const std::string where = block.name + " (bLength " + (block.bytes.empty() ? "missing" : std::to_string(block.bytes[0])) + ")";
    if (block.bytes.size() < 2) return Fail(block.line, block.name + " has no bLength and bDescriptorType");
    if (block.bytes.size() < block.bytes[0]) {
      return Fail(block.line, where + " is cut short: its fields give " + std::to_string(block.bytes.size()) + " bytes");
    }
    if (block.bytes.size() > block.bytes[0]) {
      return Fail(block.line, where + " has " + std::to_string(block.bytes.size()) + " bytes in its fields");
    }
    if (block.device) {
      m_result.raw.device = std::move(block.bytes);
      if (m_result.raw.device.size() >= 4) m_bcdUsb = static_cast<uint16_t>(m_result.raw.device[2] | m_result.raw.device[3] << 8);
      return true;
    }
    std::vector<uint8_t> &configuration = m_result.raw.configuration;
    if (configuration.size() + block.bytes.size() > kMaxConfigurationLength) {
      return Fail(block.line, "configuration longer than 65535 bytes");
    }
    configuration.insert(configuration.end(), block.bytes.begin(), block.bytes.end());
    return true;
  }

  void Finish(size_t lastLine) {
    if (!m_seenDevice) return void(Fail(1, "no \"Device Descriptor:\" line: not the output of lsusb -v"));
    if (!Close()) return;
    if (m_configurationLine == 0) return void(Fail(lastLine, "no \"Configuration Descriptor:\" in the dump"));
    const std::vector<uint8_t> &configuration = m_result.raw.configuration;
    const size_t total = configuration.size() >= 4 ? static_cast<size_t>(configuration[2] | configuration[3] << 8) : 0;
    if (total != configuration.size()) {
      return void(Fail(m_configurationLine, "the configuration's descriptors add up to " +
                                                std::to_string(configuration.size()) + " bytes, wTotalLength says " +
                                                std::to_string(total)));
    }
    Notes();
  }

  void Notes() {
    if (!m_missingStrings.empty()) {
      std::string list;
      for (uint8_t index : m_missingStrings) list += (list.empty() ? "" : ", ") + std::to_string(index);
      Note("strings " + list + " not shown by lsusb" + (m_unopened ? " (it could not open the device; run it as root)" : "") +
           ": the simulated device has no strings with those indices");
    }
    if (!m_result.raw.strings.empty()) {
      const uint16_t languages[] = {kLanguageEnglishUs};
      m_result.raw.strings[0] = MakeLanguageDescriptor(languages);
      Note("string 0 (the language list) is not shown by lsusb: English (US) only is served");
    }
    if (m_unavailableReport) {
      Note("a HID report descriptor lsusb marks unavailable is not served (the driver does not read it)");
    }
  }

  LsusbTextResult m_result;
  std::optional<Block> m_block;
  bool m_seenDevice = false;
  bool m_done = false;
  bool m_unopened = false;
  bool m_unavailableReport = false;
  size_t m_configurationLine = 0;
  uint16_t m_bcdUsb = 0;
  std::set<uint8_t> m_missingStrings;
};

}  // namespace

LsusbTextResult ParseLsusbText(std::string_view text) { return LsusbParser().Run(text); }

bool LooksLikeLsusbText(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    if (Trim(text.substr(pos, end - pos)) == "Device Descriptor:") return true;
    pos = end + 1;
  }
  return false;
}

}  // namespace winsim::devices
