#include "winsim/kernel/pnp_text.h"

#include <cstdio>

namespace winsim::pnp {

std::u16string Upcase(std::u16string_view text) {
  std::u16string upper(text);
  for (char16_t &c : upper) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return upper;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) { return a.size() == b.size() && Upcase(a) == Upcase(b); }

std::u16string GuidText(const GUID &guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return Widen(text);
}

std::u16string Widen(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

std::u16string JoinMultiSz(const std::vector<std::u16string> &strings) {
  std::u16string joined;
  for (const std::u16string &text : strings) {
    joined += text;
    joined.push_back(u'\0');
  }
  joined.push_back(u'\0');
  return joined;
}

std::vector<std::u16string> SplitMultiSz(const WCHAR *text, size_t maxChars) {
  std::vector<std::u16string> strings;
  if (text == nullptr) return strings;
  std::u16string current;
  for (size_t i = 0; i < maxChars; ++i) {
    if (text[i] != u'\0') {
      current.push_back(text[i]);
      continue;
    }
    if (current.empty()) break;
    strings.push_back(current);
    current.clear();
  }
  return strings;
}

std::u16string TerminatedString(const WCHAR *text, size_t maxChars) {
  std::u16string result;
  if (text == nullptr) return result;
  for (size_t i = 0; i < maxChars && text[i] != u'\0'; ++i) result.push_back(text[i]);
  return result;
}

std::u16string FromUnicodeString(const UNICODE_STRING *text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return std::u16string(text->Buffer, text->Buffer + text->Length / sizeof(WCHAR));
}

}  // namespace winsim::pnp
