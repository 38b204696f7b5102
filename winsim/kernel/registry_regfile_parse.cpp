// .reg text parser: decodes the file, then turns each section and value line
// into a RegEdit. It never touches a registry; the caller applies the edits.
#include <nt/rtl.h>

#include <algorithm>
#include <optional>

#include "registry_regfile.h"
#include "registry_utf.h"

namespace winsim {
namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";

struct RootMapping {
  std::u16string_view regFile;
  std::u16string_view kernel;
};
constexpr RootMapping kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", u"\\Registry\\Machine"},
    {u"HKEY_USERS", u"\\Registry\\User"},
    {u"HKEY_CLASSES_ROOT", u"\\Registry\\Machine\\SOFTWARE\\Classes"},
};

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return RtlUpcaseUnicodeChar(x) == RtlUpcaseUnicodeChar(y);
         });
}

bool StartsWithIgnoringCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoringCase(s.substr(0, prefix.size()), prefix);
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// 1 to maxDigits hex digits and nothing else.
bool ParseHex(std::u16string_view s, size_t maxDigits, ULONG *value) {
  if (s.empty() || s.size() > maxDigits) return false;
  *value = 0;
  for (char16_t c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    *value = (*value << 4) | ULONG(d);
  }
  return true;
}

// Offending text for a message, shortened.
std::string Excerpt(std::u16string_view s) {
  std::string utf8;
  if (!Utf16ToUtf8(s.substr(0, 40), &utf8)) utf8 = "?";
  return "'" + utf8 + (s.size() > 40 ? "...'" : "'");
}

// Whole-file decoding: UTF-16LE when it starts with a BOM, UTF-8 otherwise.
NTSTATUS Decode(std::string_view bytes, std::u16string *text, RegFileError *error) {
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) {
      *error = RegFileError{0, "UTF-16 file with an odd number of bytes"};
      return STATUS_DATA_ERROR;
    }
    text->clear();
    for (size_t i = 2; i < bytes.size(); i += 2)
      text->push_back(char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
    return STATUS_SUCCESS;
  }
  if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFE && uint8_t(bytes[1]) == 0xFF) {
    *error = RegFileError{0, "UTF-16 big-endian files are not supported"};
    return STATUS_DATA_ERROR;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  size_t bad = 0;
  if (!Utf8ToUtf16(bytes, text, &bad)) {
    const ULONG line = ULONG(1 + std::count(bytes.begin(), bytes.begin() + ptrdiff_t(bad), '\n'));
    *error = RegFileError{line, "invalid UTF-8"};
    return STATUS_DATA_ERROR;
  }
  return STATUS_SUCCESS;
}

std::vector<std::u16string_view> SplitLines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  while (!text.empty()) {
    size_t end = text.find(u'\n');
    std::u16string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::u16string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Hex byte lists may continue over lines ending in a backslash; the joined text
// remembers where each physical line starts so errors name the right line.
struct JoinedText {
  std::u16string text;
  std::vector<std::pair<size_t, ULONG>> lineStarts;  // offset in text, line number

  ULONG LineAt(size_t offset) const {
    ULONG line = lineStarts.front().second;
    for (const auto &[start, number] : lineStarts)
      if (start <= offset) line = number;
    return line;
  }
};

class Parser {
 public:
  Parser(std::vector<std::u16string_view> lines, std::vector<RegEdit> *edits, RegFileError *error)
      : lines_(std::move(lines)), edits_(edits), error_(error) {}

  NTSTATUS Run() {
    if (!ParseHeader()) return STATUS_DATA_ERROR;
    for (; next_ < lines_.size(); ++next_) {
      const ULONG line = ULONG(next_ + 1);
      const std::u16string_view text = Trim(lines_[next_]);
      if (text.empty() || text.front() == u';') continue;
      bool ok;
      if (text.front() == u'[')
        ok = ParseKeyLine(text, line);
      else if (text.front() == u'"' || text.front() == u'@')
        ok = ParseValueLine(text, line);
      else
        ok = Fail(line, "expected [key], \"name\"=value or @=value, found " + Excerpt(text));
      if (!ok) return STATUS_DATA_ERROR;
    }
    return STATUS_SUCCESS;
  }

 private:
  bool Fail(ULONG line, std::string message) {
    *error_ = RegFileError{line, std::move(message)};
    return false;
  }

  bool ParseHeader() {
    for (; next_ < lines_.size(); ++next_) {
      const std::u16string_view text = Trim(lines_[next_]);
      if (text.empty()) continue;
      if (text == kHeader) {
        ++next_;
        return true;
      }
      const char *hint = text == u"REGEDIT4" ? " (REGEDIT4 files are not supported)" : "";
      return Fail(ULONG(next_ + 1), "expected the header \"Windows Registry Editor Version 5.00\"" + std::string(hint) +
                                        ", found " + Excerpt(text));
    }
    return Fail(ULONG(lines_.size() + 1), "missing the header \"Windows Registry Editor Version 5.00\"");
  }

  // [ROOT\a\b] or [-ROOT\a\b]; the root name maps to the kernel path.
  bool ParseKeyLine(std::u16string_view text, ULONG line) {
    if (text.back() != u']') return Fail(line, "key line does not end with ']'");
    std::u16string_view inner = text.substr(1, text.size() - 2);
    const bool deleting = !inner.empty() && inner.front() == u'-';
    if (deleting) inner.remove_prefix(1);
    const size_t slash = inner.find(u'\\');
    const std::u16string_view rootName = inner.substr(0, slash);
    const RootMapping *root = nullptr;
    for (const RootMapping &r : kRoots)
      if (EqualsIgnoringCase(rootName, r.regFile)) root = &r;
    if (root == nullptr)
      return Fail(line, "unknown root key " + Excerpt(rootName) +
                            " (expected HKEY_LOCAL_MACHINE, HKEY_USERS or HKEY_CLASSES_ROOT)");
    RegName path(root->kernel);
    for (size_t start = slash; start != std::u16string_view::npos;) {
      const size_t end = inner.find(u'\\', start + 1);
      const std::u16string_view part = inner.substr(start + 1, end == inner.npos ? end : end - start - 1);
      if (part.empty()) return Fail(line, "empty key name in " + Excerpt(inner));
      if (part.size() > kRegMaxKeyNameChars) return Fail(line, "key name longer than 255 characters");
      path += u'\\';
      path += part;
      start = end;
    }
    RegEdit edit;
    edit.kind = deleting ? RegEdit::Kind::DeleteTree : RegEdit::Kind::CreateKey;
    edit.keyPath = path;
    edit.sourceLine = line;
    edits_->push_back(std::move(edit));
    currentKey_ = deleting ? std::nullopt : std::optional<RegName>(path);
    return true;
  }

  // "..." with \\ and \" escapes, starting at text[*pos] == '"'; leaves *pos
  // after the closing quote.
  bool ParseQuoted(std::u16string_view text, size_t *pos, ULONG line, std::u16string *out) {
    out->clear();
    for (size_t i = *pos + 1; i < text.size(); ++i) {
      if (text[i] == u'"') {
        *pos = i + 1;
        return true;
      }
      if (text[i] == u'\\') {
        if (i + 1 >= text.size()) break;
        if (text[i + 1] != u'\\' && text[i + 1] != u'"')
          return Fail(line, "unknown escape " + Excerpt(text.substr(i, 2)) + " (only \\\\ and \\\" are allowed)");
        ++i;
      }
      out->push_back(text[i]);
    }
    return Fail(line, "missing closing quote");
  }

  bool ParseValueLine(std::u16string_view text, ULONG line) {
    if (!currentKey_) return Fail(line, "value outside a [key] section");
    RegEdit edit;
    edit.keyPath = *currentKey_;
    edit.sourceLine = line;
    size_t pos = 1;  // past '@', the default value
    if (text.front() == u'"') {
      pos = 0;
      if (!ParseQuoted(text, &pos, line, &edit.valueName)) return false;
    }
    if (edit.valueName.size() > kRegMaxValueNameChars) return Fail(line, "value name longer than 16383 characters");
    const std::u16string_view rest = Trim(text.substr(pos));
    if (rest.empty() || rest.front() != u'=') return Fail(line, "expected '=' after the value name");
    if (!ParseData(Trim(rest.substr(1)), line, &edit)) return false;
    edits_->push_back(std::move(edit));
    return true;
  }

  bool ParseData(std::u16string_view data, ULONG line, RegEdit *edit) {
    edit->kind = RegEdit::Kind::SetValue;
    if (data == u"-") {
      edit->kind = RegEdit::Kind::DeleteValue;
      return true;
    }
    if (!data.empty() && data.front() == u'"') {
      size_t pos = 0;
      std::u16string s;
      if (!ParseQuoted(data, &pos, line, &s)) return false;
      if (pos != data.size())
        return Fail(line, "unexpected text after the closing quote: " + Excerpt(data.substr(pos)));
      edit->value = RegValue::String(s);
      return true;
    }
    if (StartsWithIgnoringCase(data, u"dword:")) {
      ULONG v;
      if (!ParseHex(data.substr(6), 8, &v)) return Fail(line, "dword: needs 1 to 8 hex digits, found " + Excerpt(data));
      edit->value = RegValue::Dword(v);
      return true;
    }
    ULONG type = REG_BINARY;
    size_t bytesStart;
    if (StartsWithIgnoringCase(data, u"hex:")) {
      bytesStart = 4;
    } else if (StartsWithIgnoringCase(data, u"hex(")) {
      const size_t close = data.find(u"):");
      if (close == data.npos || !ParseHex(data.substr(4, close - 4), 8, &type))
        return Fail(line, "expected hex(type): with a hex type, found " + Excerpt(data));
      bytesStart = close + 2;
    } else {
      return Fail(line, "unrecognised value data " + Excerpt(data) + " (expected \"text\", dword:, hex: or hex(n):)");
    }
    edit->value.type = type;
    JoinedText joined;
    if (!JoinContinuations(data.substr(bytesStart), line, &joined)) return false;
    return ParseHexBytes(joined, &edit->value.data);
  }

  // Appends following lines while the text ends with a backslash.
  bool JoinContinuations(std::u16string_view first, ULONG line, JoinedText *joined) {
    joined->lineStarts.push_back({0, line});
    std::u16string_view piece = Trim(first);
    while (!piece.empty() && piece.back() == u'\\') {
      joined->text += piece.substr(0, piece.size() - 1);
      if (next_ + 1 >= lines_.size()) return Fail(ULONG(next_ + 1), "line continuation at the end of the file");
      ++next_;
      joined->lineStarts.push_back({joined->text.size(), ULONG(next_ + 1)});
      piece = Trim(lines_[next_]);
    }
    joined->text += piece;
    return true;
  }

  bool ParseHexBytes(const JoinedText &joined, std::vector<UCHAR> *bytes) {
    const std::u16string_view text = joined.text;
    if (Trim(text).empty()) return true;
    for (size_t start = 0;;) {
      const size_t comma = text.find(u',', start);
      const std::u16string_view token = Trim(text.substr(start, comma == text.npos ? comma : comma - start));
      ULONG byte;
      if (!ParseHex(token, 2, &byte)) return Fail(joined.LineAt(start), "expected a hex byte, found " + Excerpt(token));
      bytes->push_back(UCHAR(byte));
      if (comma == text.npos) return true;
      start = comma + 1;
    }
  }

  std::vector<std::u16string_view> lines_;
  size_t next_ = 0;
  std::vector<RegEdit> *edits_;
  RegFileError *error_;
  std::optional<RegName> currentKey_;
};

}  // namespace

NTSTATUS ParseRegFile(std::string_view bytes, std::vector<RegEdit> *edits, RegFileError *error) {
  RegFileError scratch;
  if (error == nullptr) error = &scratch;
  std::u16string text;
  const NTSTATUS status = Decode(bytes, &text, error);
  if (!NT_SUCCESS(status)) return status;
  std::vector<RegEdit> parsed;
  Parser parser(SplitLines(text), &parsed, error);
  if (!NT_SUCCESS(parser.Run())) return STATUS_DATA_ERROR;
  *edits = std::move(parsed);
  return STATUS_SUCCESS;
}

}  // namespace winsim
