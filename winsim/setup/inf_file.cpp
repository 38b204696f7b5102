#include "winsim/setup/inf_file.h"

#include <cctype>
#include <cstdio>

namespace winsim::setup {
namespace {

// Bounds that keep a damaged file from costing more than a real one would.
constexpr size_t kMaxLines = 100000;
constexpr size_t kMaxLogicalLineChars = 4096;

struct PhysicalLine {
  uint32_t number;
  std::string text;
};

struct RawLine {
  uint32_t number = 0;
  std::optional<std::string> key;
  std::vector<std::string> fields;
};

std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

InfError Error(uint32_t code, uint32_t line, std::string message) { return InfError{code, line, std::move(message)}; }

// The line without its comment; an unterminated quote is an error.
InfError StripComment(const PhysicalLine &line, std::string *text) {
  bool quoted = false;
  for (size_t i = 0; i < line.text.size(); ++i) {
    char c = line.text[i];
    if (c == '"') quoted = !quoted;
    if (c == ';' && !quoted) {
      *text = line.text.substr(0, i);
      return {};
    }
  }
  if (quoted) return Error(kErrorGeneralSyntax, line.number, "unterminated quoted string");
  *text = line.text;
  return {};
}

std::vector<PhysicalLine> SplitLines(std::string_view text) {
  std::vector<PhysicalLine> lines;
  uint32_t number = 1;
  size_t start = 0;
  while (start <= text.size() && lines.size() <= kMaxLines) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back({number++, std::string(line)});
    start = end + 1;
  }
  return lines;
}

// Joins lines ending in '\' with the next; comments are gone.
InfError LogicalLines(const std::vector<PhysicalLine> &physical, std::vector<PhysicalLine> *logical) {
  std::optional<PhysicalLine> pending;
  for (const PhysicalLine &line : physical) {
    std::string text;
    if (InfError e = StripComment(line, &text); e.Failed()) return e;
    std::string trimmed = Trim(text);
    bool continues = !trimmed.empty() && trimmed.back() == '\\';
    if (continues) trimmed.pop_back();
    if (pending) {
      pending->text += trimmed;
    } else {
      pending = PhysicalLine{line.number, trimmed};
    }
    if (pending->text.size() > kMaxLogicalLineChars) {
      return Error(kErrorGeneralSyntax, pending->number, "line longer than 4096 characters");
    }
    if (!continues) {
      logical->push_back(std::move(*pending));
      pending.reset();
    }
  }
  if (pending) return Error(kErrorGeneralSyntax, pending->number, "the last line continues past the end of the file");
  return {};
}

// Splits at unquoted commas (and the first unquoted '='); quotes go, "" is
// one quote, blanks around unquoted text go.
InfError Tokenize(const PhysicalLine &line, RawLine *raw) {
  raw->number = line.number;
  std::string field;
  bool quoted = false;
  bool hadQuotes = false;
  auto finish = [&] {
    raw->fields.push_back(hadQuotes ? field : Trim(field));
    field.clear();
    hadQuotes = false;
  };
  const std::string &text = line.text;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        if (!quoted && !hadQuotes) field = Trim(field);
        quoted = !quoted;
        hadQuotes = true;
      }
    } else if (!quoted && c == '=' && !raw->key && raw->fields.empty()) {
      raw->key = hadQuotes ? field : Trim(field);
      field.clear();
      hadQuotes = false;
    } else if (!quoted && c == ',') {
      finish();
    } else if (quoted || !hadQuotes || !std::isspace(static_cast<unsigned char>(c))) {
      field += c;
    }
  }
  if (quoted) return Error(kErrorGeneralSyntax, line.number, "unterminated quoted string");
  finish();
  if (raw->fields.size() == 1 && raw->fields[0].empty() && !raw->key) raw->fields.clear();
  return {};
}

InfError SectionHeader(const PhysicalLine &line, std::string *name) {
  size_t close = line.text.find(']');
  if (close == std::string::npos || !Trim(line.text.substr(close + 1)).empty()) {
    return Error(kErrorBadSectionNameLine, line.number, "malformed section header: " + line.text);
  }
  *name = Trim(line.text.substr(1, close - 1));
  if (name->empty()) return Error(kErrorBadSectionNameLine, line.number, "empty section name");
  if (name->size() > kMaxSectionNameChars) {
    return Error(kErrorSectionNameTooLong, line.number, "section name longer than 255 characters");
  }
  return {};
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

using StringTable = std::map<std::string, std::string>;  // lower-case key

std::optional<uint32_t> DecimalId(std::string_view token) {
  if (token.empty() || token.size() > 9) return std::nullopt;
  uint32_t value = 0;
  for (char c : token) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value;
}

InfError Resolve(std::string_view token, const StringTable &strings, uint32_t line, std::string *out) {
  if (token.empty()) {
    *out += '%';
    return {};
  }
  if (auto id = DecimalId(token)) {
    std::optional<std::string> directory = DirectoryOfId(*id);
    if (!directory) return Error(kErrorGeneralSyntax, line, "unknown directory id %" + std::string(token) + "%");
    *out += *directory;
    return {};
  }
  auto it = strings.find(Lower(token));
  if (it == strings.end()) {
    return Error(kErrorGeneralSyntax, line, "undefined string %" + std::string(token) + "% (no such key in [Strings])");
  }
  *out += it->second;
  return {};
}

InfError Substitute(const std::string &text, const StringTable &strings, uint32_t line, std::string *out) {
  out->clear();
  size_t at = 0;
  while (at < text.size()) {
    size_t open = text.find('%', at);
    if (open == std::string::npos) {
      *out += text.substr(at);
      break;
    }
    *out += text.substr(at, open - at);
    size_t close = text.find('%', open + 1);
    if (close == std::string::npos) return Error(kErrorGeneralSyntax, line, "unterminated %token% in: " + text);
    if (InfError e = Resolve(std::string_view(text).substr(open + 1, close - open - 1), strings, line, out);
        e.Failed()) {
      return e;
    }
    at = close + 1;
  }
  return {};
}

InfError SubstituteLine(InfLine *line, const StringTable &strings) {
  if (line->key) {
    std::string key;
    if (InfError e = Substitute(*line->key, strings, line->number, &key); e.Failed()) return e;
    line->key = key;
  }
  for (std::string &field : line->fields) {
    std::string value;
    if (InfError e = Substitute(field, strings, line->number, &value); e.Failed()) return e;
    field = value;
  }
  return {};
}

StringTable StringsOf(const InfFile &file) {
  StringTable strings;
  if (const InfSection *section = file.Section("Strings")) {
    for (const InfLine &line : section->lines) {
      if (line.key) strings.emplace(Lower(*line.key), line.Field(0));
    }
  }
  return strings;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string InfError::Describe(std::string_view fileName) const {
  return std::string(fileName) + ":" + std::to_string(line) + ": " + message;
}

std::optional<std::string> DirectoryOfId(uint32_t id) {
  switch (id) {
    case 10: return std::string("C:\\Windows");
    case 11: return std::string("C:\\Windows\\System32");
    case 12: return std::string("C:\\Windows\\System32\\drivers");
    case 13: return std::string("C:\\Windows\\System32\\DriverStore\\FileRepository\\qavaudio.inf_amd64");
    case 16425: return std::string("C:\\Windows\\SysWOW64");
    default: return std::nullopt;
  }
}

const InfLine *InfSection::Find(std::string_view key) const {
  for (const InfLine &line : lines) {
    if (line.key && EqualNoCase(*line.key, key)) return &line;
  }
  return nullptr;
}

std::vector<const InfLine *> InfSection::FindAll(std::string_view key) const {
  std::vector<const InfLine *> found;
  for (const InfLine &line : lines) {
    if (line.key && EqualNoCase(*line.key, key)) found.push_back(&line);
  }
  return found;
}

const InfSection *InfFile::Section(std::string_view name) const {
  for (const InfSection &section : m_sections) {
    if (EqualNoCase(section.name, name)) return &section;
  }
  return nullptr;
}

InfError InfFile::Parse(std::string_view text, InfFile *file) {
  std::vector<PhysicalLine> physical = SplitLines(text);
  if (physical.size() > kMaxLines) return Error(kErrorGeneralSyntax, kMaxLines, "more than 100000 lines");
  std::vector<PhysicalLine> logical;
  if (InfError e = LogicalLines(physical, &logical); e.Failed()) return e;
  InfFile parsed;
  InfSection *current = nullptr;
  for (const PhysicalLine &line : logical) {
    if (line.text.empty()) continue;
    if (line.text[0] == '[') {
      std::string name;
      if (InfError e = SectionHeader(line, &name); e.Failed()) return e;
      current = const_cast<InfSection *>(parsed.Section(name));
      if (current == nullptr) current = &parsed.m_sections.emplace_back(InfSection{name, line.number, {}});
      continue;
    }
    if (current == nullptr) return Error(kErrorExpectedSectionName, line.number, "a line outside any section");
    RawLine raw;
    if (InfError e = Tokenize(line, &raw); e.Failed()) return e;
    current->lines.push_back(InfLine{raw.number, raw.key, raw.fields});
  }
  StringTable strings = StringsOf(parsed);
  for (InfSection &section : parsed.m_sections) {
    if (EqualNoCase(section.name, "Strings")) continue;
    for (InfLine &line : section.lines) {
      if (InfError e = SubstituteLine(&line, strings); e.Failed()) return e;
    }
  }
  *file = std::move(parsed);
  return {};
}

}  // namespace winsim::setup
