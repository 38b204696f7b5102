// The INF reader on small texts: how lines split into keys and fields, and
// the syntax it refuses with the line at fault.
#include <gtest/gtest.h>

#include "winsim/setup/inf_addreg.h"
#include "winsim/setup/inf_file.h"

namespace {

using winsim::setup::InfError;
using winsim::setup::InfFile;
using winsim::setup::InfLine;

struct LineCase {
  const char *what;
  const char *text;  // one line of [S], with [Strings] appended
  const char *key;   // null: no key
  std::vector<std::string> fields;
};

TEST(InfFile, SplitsLinesIntoKeysAndFields) {
  const LineCase cases[] = {
      {"key and fields", "a = b, c ,d", "a", {"b", "c", "d"}},
      {"no key", "HKR,,Name,,value", nullptr, {"HKR", "", "Name", "", "value"}},
      {"comment", "a = b ; c, d", "a", {"b"}},
      {"quoted comma, equals and semicolon", "k = \"x,y=z;w\", v", "k", {"x,y=z;w", "v"}},
      {"doubled quote", "k = \"say \"\"hi\"\"\"", "k", {"say \"hi\""}},
      {"quoted blanks kept", "k = \"  padded  \"", "k", {"  padded  "}},
      {"string token", "k = %Name%\\file", "k", {"Some Name\\file"}},
      {"token case", "k = %name%", "k", {"Some Name"}},
      {"literal percent", "k = 100%%", "k", {"100%"}},
      {"directory id", "k = %12%\\x.sys", "k", {"C:\\Windows\\System32\\drivers\\x.sys"}},
      {"token in a key", "%Name% = v", "Some Name", {"v"}},
      {"continued line", "k = a, \\\n    b", "k", {"a", "b"}},
      {"empty key value", "k =", "k", {""}},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.what);
    InfFile inf;
    std::string text = std::string("[S]\n") + c.text + "\n[Strings]\nName = \"Some Name\"\n";
    InfError error = InfFile::Parse(text, &inf);
    ASSERT_FALSE(error.Failed()) << error.Describe("t.inf");
    const winsim::setup::InfSection *section = inf.Section("s");
    ASSERT_NE(section, nullptr);
    ASSERT_EQ(section->lines.size(), 1u);
    const InfLine &line = section->lines[0];
    EXPECT_EQ(line.number, 2u);
    EXPECT_EQ(line.key.has_value(), c.key != nullptr);
    if (c.key != nullptr && line.key) {
      EXPECT_EQ(*line.key, c.key);
    }
    EXPECT_EQ(line.fields, c.fields);
  }
}

TEST(InfFile, SectionsOfOneNameAreMergedAndFoundInAnyCase) {
  InfFile inf;
  ASSERT_FALSE(InfFile::Parse("[A]\nx=1\n[B]\ny=2\n[a]\nz=3\r\n", &inf).Failed());
  ASSERT_EQ(inf.Sections().size(), 2u);
  const auto *a = inf.Section("A");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->lines.size(), 2u);
  EXPECT_EQ(a->lines[1].number, 6u);
  EXPECT_NE(a->Find("Z"), nullptr);
}

struct ErrorCase {
  const char *what;
  const char *text;
  uint32_t code;
  uint32_t line;
};

TEST(InfFile, RefusesMalformedTextWithTheLineAtFault) {
  using namespace winsim::setup;
  const ErrorCase cases[] = {
      {"line before any section", "; comment\nx = 1\n[A]\n", kErrorExpectedSectionName, 2},
      {"unclosed header", "[A]\n[B\n", kErrorBadSectionNameLine, 2},
      {"text after header", "[A] x\n", kErrorBadSectionNameLine, 1},
      {"empty header", "[A]\n\n[ ]\n", kErrorBadSectionNameLine, 3},
      {"unterminated quote", "[A]\nk = \"abc\n", kErrorGeneralSyntax, 2},
      {"unterminated quote hides the comment", "[A]\nk = \"a;b\n", kErrorGeneralSyntax, 2},
      {"undefined string", "[A]\nk = %Nope%\n[Strings]\nYes = 1\n", kErrorGeneralSyntax, 2},
      {"unterminated token", "[A]\nx = 1\nk = %Yes\n[Strings]\nYes = 1\n", kErrorGeneralSyntax, 3},
      {"unknown directory id", "[A]\nk = %77%\\x\n", kErrorGeneralSyntax, 2},
      {"continuation past the end", "[A]\nk = a, \\", kErrorGeneralSyntax, 2},
      {"continued line reports its first line", "[A]\nk = a, \\\n b, %Nope%\n", kErrorGeneralSyntax, 2},
  };
  for (const ErrorCase &c : cases) {
    SCOPED_TRACE(c.what);
    InfFile inf;
    InfError error = InfFile::Parse(c.text, &inf);
    EXPECT_EQ(error.code, c.code) << error.message;
    EXPECT_EQ(error.line, c.line) << error.message;
  }
}

TEST(InfFile, ASectionNameLongerThanWindowsAllowsIsRefused) {
  InfFile inf;
  std::string text = "[A]\n[" + std::string(256, 'n') + "]\n";
  InfError error = InfFile::Parse(text, &inf);
  EXPECT_EQ(error.code, winsim::setup::kErrorSectionNameTooLong);
  EXPECT_EQ(error.line, 2u);
  EXPECT_EQ(error.Describe("x.inf").rfind("x.inf:2: ", 0), 0u);
}

TEST(InfNumbers, DecimalAndHexadecimalWithinThirtyTwoBits) {
  const struct {
    const char *text;
    bool ok;
    uint32_t value;
  } cases[] = {{"3", true, 3},          {"0x00010001", true, 0x10001}, {"0XfF", true, 255},
               {"4294967295", true, 0xFFFFFFFF}, {"4294967296", false, 0}, {"0x", false, 0},
               {"", false, 0},          {"1a", false, 0},              {"0x123456789", false, 0}};
  for (const auto &c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(winsim::setup::ParseNumber(c.text, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

}  // namespace
