#include "winsim/devices/string_descriptors.h"

#include <algorithm>

#include "winsim/devices/usb_constants.h"

namespace winsim::devices {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `pos`, advancing it; malformed input yields
// U+FFFD and consumes one byte.
char32_t NextCodePoint(const std::string &text, size_t &pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(pos);
  size_t extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + extra >= text.size()) {
    ++pos;
    return kReplacement;
  }
  for (size_t i = 1; i <= extra; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  pos += extra + 1;
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

void AppendUtf8(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string &text) {
  std::u16string out;
  size_t pos = 0;
  while (pos < text.size()) {
    const char32_t cp = NextCodePoint(text, pos);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    const bool high = cp >= 0xD800 && cp <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::optional<std::vector<uint8_t>> MakeStringDescriptor(const std::string &text) {
  const std::u16string units = Utf8ToUtf16(text);
  if (units.size() > kMaxStringUnits) return std::nullopt;
  std::vector<uint8_t> descriptor;
  descriptor.reserve(2 + units.size() * 2);
  descriptor.push_back(static_cast<uint8_t>(2 + units.size() * 2));
  descriptor.push_back(usb_const::kString);
  for (char16_t unit : units) {
    descriptor.push_back(static_cast<uint8_t>(unit));
    descriptor.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return descriptor;
}

std::vector<uint8_t> MakeLanguageDescriptor(std::span<const uint16_t> languages) {
  const size_t count = std::min(languages.size(), kMaxStringUnits);
  std::vector<uint8_t> descriptor;
  descriptor.push_back(static_cast<uint8_t>(2 + count * 2));
  descriptor.push_back(usb_const::kString);
  for (size_t i = 0; i < count; ++i) {
    descriptor.push_back(static_cast<uint8_t>(languages[i]));
    descriptor.push_back(static_cast<uint8_t>(languages[i] >> 8));
  }
  return descriptor;
}

std::optional<std::u16string> DecodeStringDescriptor(std::span<const uint8_t> descriptor) {
  if (descriptor.size() < 2) return std::nullopt;
  const size_t length = descriptor[0];
  if (length < 2 || length > descriptor.size() || descriptor[1] != usb_const::kString) return std::nullopt;
  std::u16string text;
  for (size_t i = 2; i + 1 < length; i += 2) {
    text.push_back(static_cast<char16_t>(descriptor[i] | (descriptor[i + 1] << 8)));
  }
  return text;
}

uint8_t StringTable::Add(const std::string &text) {
  if (text.empty()) return 0;
  auto found = m_single.find(text);
  if (found != m_single.end()) return found->second;
  const uint8_t index = Append(text);
  if (index != 0) m_single.emplace(text, index);
  return index;
}

uint8_t StringTable::AddRun(const std::vector<std::string> &names) {
  if (names.empty()) return 0;
  auto found = m_runs.find(names);
  if (found != m_runs.end()) return found->second;
  const uint8_t first = Append(names.front());
  for (size_t i = 1; i < names.size() && first != 0; ++i) {
    if (Append(names[i]) == 0) return 0;
  }
  if (first != 0) m_runs.emplace(names, first);
  return first;
}

uint8_t StringTable::Append(const std::string &text) {
  if (m_failed) return 0;
  if (m_texts.size() >= 255 || Utf8ToUtf16(text).size() > kMaxStringUnits) {
    m_failed = true;
    m_failedText = text;
    return 0;
  }
  m_texts.push_back(text);
  return static_cast<uint8_t>(m_texts.size());
}

std::map<uint8_t, std::vector<uint8_t>> StringTable::Descriptors() const {
  std::map<uint8_t, std::vector<uint8_t>> out;
  const uint16_t english = usb_const::kLangEnglishUs;
  out.emplace(0, MakeLanguageDescriptor(std::span<const uint16_t>(&english, 1)));
  for (size_t i = 0; i < m_texts.size(); ++i) {
    if (auto descriptor = MakeStringDescriptor(m_texts[i])) out.emplace(static_cast<uint8_t>(i + 1), *descriptor);
  }
  return out;
}

}  // namespace winsim::devices
