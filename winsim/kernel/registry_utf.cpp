#include "registry_utf.h"

namespace winsim {
namespace {

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(std::string *out, char32_t c) {
  if (c < 0x80) {
    out->push_back(char(c));
  } else if (c < 0x800) {
    out->push_back(char(0xC0 | (c >> 6)));
    out->push_back(char(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(char(0xE0 | (c >> 12)));
    out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(char(0x80 | (c & 0x3F)));
  } else {
    out->push_back(char(0xF0 | (c >> 18)));
    out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(char(0x80 | (c & 0x3F)));
  }
}

// Decodes one sequence at s[*i]; advances *i past it. Returns false when malformed.
bool DecodeUtf8(std::string_view s, size_t *i, char32_t *c) {
  const unsigned char lead = static_cast<unsigned char>(s[*i]);
  size_t extra;
  char32_t min;
  if (lead < 0x80) {
    *c = lead;
    ++*i;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, min = 0x80, *c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, min = 0x800, *c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, min = 0x10000, *c = lead & 0x07;
  } else {
    return false;
  }
  if (s.size() - *i <= extra) return false;
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[*i + k]);
    if ((b & 0xC0) != 0x80) return false;
    *c = (*c << 6) | (b & 0x3F);
  }
  if (*c < min || *c > 0x10FFFF || IsHighSurrogate(*c) || IsLowSurrogate(*c)) return false;
  *i += extra + 1;
  return true;
}

}  // namespace

bool Utf16ToUtf8(std::u16string_view s, std::string *out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (IsHighSurrogate(c)) {
      if (i + 1 >= s.size() || !IsLowSurrogate(s[i + 1])) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(s[++i]) - 0xDC00);
    } else if (IsLowSurrogate(c)) {
      return false;
    }
    AppendUtf8(out, c);
  }
  return true;
}

bool Utf8ToUtf16(std::string_view s, std::u16string *out, size_t *badOffset) {
  out->clear();
  size_t i = 0;
  while (i < s.size()) {
    char32_t c;
    if (!DecodeUtf8(s, &i, &c)) {
      if (badOffset != nullptr) *badOffset = i;
      return false;
    }
    if (c < 0x10000) {
      out->push_back(char16_t(c));
    } else {
      out->push_back(char16_t(0xD800 + ((c - 0x10000) >> 10)));
      out->push_back(char16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return true;
}

}  // namespace winsim
