// The message catalogue the driver and the tools share, and the decoder's
// text conversions.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "uac2common/tracelog/trace_text.h"

namespace {

TEST(TraceCatalog, EveryTextParsesAndTakesAtMostEightArguments) {
  std::set<std::string> names;
  for (const TraceCatalogEntry &entry : kTraceCatalog) {
    SCOPED_TRACE(entry.name);
    const int arguments = tracetext::ArgumentCount(entry.text);
    EXPECT_GE(arguments, 0) << entry.text;
    EXPECT_LE(arguments, 8) << entry.text;
    EXPECT_TRUE(names.insert(entry.name).second);
    EXPECT_EQ(FindTraceMessage(entry.id), &entry);
  }
  EXPECT_EQ(FindTraceMessage(0), nullptr);
}

TEST(TraceText, ConversionsPutTheArgumentsIn) {
  struct Case {
    const char *text;
    std::vector<unsigned int> arguments;
    const char *expected;
  } cases[] = {
      {"plain", {}, "plain"},
      {"%u and %d", {7, 0xFFFFFFFFu}, "7 and -1"},
      {"%08x %02X %4u", {0xC0000001u, 0xab, 5}, "c0000001 AB    5"},
      {"%lld / %llu", {0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}, "-2 / 4294967296"},
      {"pin %{STOP|ACQUIRE|PAUSE|RUN}", {3}, "pin RUN"},
      {"pin %{STOP|RUN}", {5}, "pin 5"},
      {"%u%%", {50}, "50%"},
      {"missing %u %u", {1}, "missing 1 0"},
      {"broken %q", {1}, "broken %q"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(tracetext::Format(c.text, c.arguments.data(), static_cast<unsigned>(c.arguments.size())), c.expected);
  }
  EXPECT_EQ(tracetext::ArgumentCount("%{a|b} %llx %%"), 3);
  EXPECT_EQ(tracetext::ArgumentCount("%{a|b"), -1);
}

TEST(TraceText, LevelsAndAreasHaveNames) {
  EXPECT_STREQ(tracetext::LevelName(0x2040), "fail");
  EXPECT_EQ(tracetext::AreaNames(0x2130), "device+stream+render");
  EXPECT_EQ(tracetext::LevelBit("detail"), 0x200u);
  EXPECT_EQ(tracetext::AreaBit("clock"), 0x400u);
  EXPECT_EQ(tracetext::AreaBit("nothing"), 0u);
}

}  // namespace
