// An INF file as Windows' setup reads it: sections of lines, each line an
// optional key before the first unquoted '=' and a list of comma-separated
// fields. Comments start at an unquoted ';', a '\' ending a line joins the
// next one, "..." quotes a field ("" inside is one quote), %token% is
// replaced from [Strings] (%% is one '%', a number is a directory id).
//
// Everything malformed is refused with the line at fault, as SetupAPI's
// SetupOpenInfFile reports it (ERROR_* codes of <setupapi.h>).
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::setup {

// SetupAPI error codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n).
inline constexpr uint32_t kErrorExpectedSectionName = 0xE0000000;
inline constexpr uint32_t kErrorBadSectionNameLine = 0xE0000001;
inline constexpr uint32_t kErrorSectionNameTooLong = 0xE0000002;
inline constexpr uint32_t kErrorGeneralSyntax = 0xE0000003;
inline constexpr uint32_t kErrorWrongInfStyle = 0xE0000100;
inline constexpr uint32_t kErrorSectionNotFound = 0xE0000101;
inline constexpr uint32_t kErrorLineNotFound = 0xE0000102;
inline constexpr uint32_t kErrorNoAssociatedService = 0xE0000219;
inline constexpr uint32_t kErrorNoCompatDrivers = 0xE0000228;

// Longest section name Windows accepts, in characters.
inline constexpr size_t kMaxSectionNameChars = 255;

struct InfError {
  uint32_t code = 0;  // 0: no error
  uint32_t line = 0;  // 1-based line of the file at fault
  std::string message;

  bool Failed() const { return code != 0; }
  // "QavAudio.inf:12: <message>"
  std::string Describe(std::string_view fileName) const;
};

struct InfLine {
  uint32_t number = 0;  // first physical line of a continued line
  std::optional<std::string> key;
  std::vector<std::string> fields;  // substituted, quotes removed

  // The field at index, or empty.
  std::string Field(size_t index) const { return index < fields.size() ? fields[index] : std::string(); }
};

struct InfSection {
  std::string name;
  uint32_t number = 0;  // line of its (first) header
  std::vector<InfLine> lines;

  // The first line whose key is `key` (case-insensitive), or null.
  const InfLine *Find(std::string_view key) const;
  std::vector<const InfLine *> FindAll(std::string_view key) const;
};

class InfFile {
 public:
  // Parses the text; sections of the same name are merged, as Windows does.
  static InfError Parse(std::string_view text, InfFile *file);

  // Case-insensitive; null when absent.
  const InfSection *Section(std::string_view name) const;
  const std::vector<InfSection> &Sections() const { return m_sections; }

 private:
  std::vector<InfSection> m_sections;
};

// Directory ids INF text may name as %n%, as they resolve on a 64-bit Windows
// installed in C:\Windows; null for an id winsim does not know.
std::optional<std::string> DirectoryOfId(uint32_t id);

bool EqualNoCase(std::string_view a, std::string_view b);

}  // namespace winsim::setup
