// The table's CSV and SVG forms: well-formed, one record per row, the chart
// drawing what was measured at the chosen rate.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/qav/loopback_report.h"

namespace {

qav::LoopbackRow Row(uint32_t rate, uint32_t urbSize, uint32_t buffer, bool found, const char *problem = "") {
  qav::LoopbackRow row;
  row.rate = rate;
  row.urbSize = urbSize;
  row.buffer = buffer;
  row.found = found;
  row.problem = problem;
  row.measured = found ? 2 * buffer + 500 : 0;
  row.reportedInput = row.reportedOutput = buffer + 240;
  row.design = 2 * buffer + 400;
  return row;
}

const std::vector<qav::LoopbackRow> kRows = {
    Row(48000, 1, 64, true),  Row(48000, 1, 256, true), Row(48000, 3, 64, true),
    Row(48000, 3, 256, true), Row(96000, 3, 64, true),  Row(48000, 5, 64, false, "only 2 of 9 impulses, came back"),
};

// Splits a CSV record at commas outside quotes.
std::vector<std::string> Fields(const std::string &line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    else if (c == ',' && !quoted) fields.emplace_back();
    else fields.back() += c;
  }
  return fields;
}

// Every element opened is closed, in order; returns the element names seen.
std::vector<std::string> CheckBalanced(const std::string &svg) {
  std::vector<std::string> open, seen;
  for (size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
    const size_t end = svg.find('>', at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated tag at " << at;
      break;
    }
    const std::string tag = svg.substr(at + 1, end - at - 1);
    if (tag[0] == '?') continue;
    if (tag[0] == '/') {
      EXPECT_FALSE(open.empty()) << tag;
      if (open.empty()) break;
      EXPECT_EQ(open.back(), tag.substr(1));
      open.pop_back();
      continue;
    }
    const std::string name = tag.substr(0, tag.find_first_of(" />"));
    seen.push_back(name);
    if (tag.back() != '/') open.push_back(name);
  }
  EXPECT_TRUE(open.empty());
  return seen;
}

size_t Count(const std::vector<std::string> &names, const std::string &name) {
  size_t count = 0;
  for (const std::string &n : names) count += n == name ? 1 : 0;
  return count;
}

TEST(LoopbackReport, CsvHasOneRecordPerRowWithTheHeadersFields) {
  std::istringstream csv(qav::LoopbackCsv(kRows));
  std::string line;
  ASSERT_TRUE(std::getline(csv, line));
  const size_t columns = Fields(line).size();
  EXPECT_EQ(Fields(line)[5], "measured_samples");
  size_t records = 0;
  while (std::getline(csv, line)) {
    const std::vector<std::string> fields = Fields(line);
    EXPECT_EQ(fields.size(), columns) << line;
    ++records;
  }
  EXPECT_EQ(records, kRows.size());
  const std::vector<std::string> lost = Fields(qav::LoopbackCsv({kRows.back()}).substr(qav::LoopbackCsv({}).size()));
  EXPECT_EQ(lost[4], "no");
  EXPECT_EQ(lost[5], "") << "no measurement, no figure";
  EXPECT_EQ(lost.back(), "only 2 of 9 impulses, came back\n");
}

TEST(LoopbackReport, SvgIsWellFormedWithTwoSeriesPerModeAtTheRate) {
  const std::string svg = qav::LoopbackSvg(kRows, 48000);
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  const std::vector<std::string> names = CheckBalanced(svg);
  EXPECT_EQ(Count(names, "svg"), 1u);
  // Modes 1 and 3 measured at 48 kHz; mode 5's row found nothing; 96 kHz is another chart.
  EXPECT_EQ(Count(names, "polyline"), 4u);
  EXPECT_EQ(Count(names, "circle"), 4u);
  EXPECT_NE(svg.find("buffer size (samples)"), std::string::npos);
  EXPECT_NE(svg.find("latency (ms)"), std::string::npos);
  EXPECT_NE(svg.find(">recording<"), std::string::npos);
  EXPECT_EQ(svg.find(">mixing<"), std::string::npos);

  const std::string empty = qav::LoopbackSvg(kRows, 44100);
  CheckBalanced(empty);
  EXPECT_NE(empty.find("no measurement at 44100 Hz"), std::string::npos);
}

TEST(LoopbackReport, TableMarksRowsWithoutMeasurement) {
  const std::vector<std::string> table = qav::LoopbackTable(kRows);
  ASSERT_EQ(table.size(), kRows.size() + 1);
  EXPECT_NE(table[1].find(" 628 "), std::string::npos) << table[1];  // 2 * 64 + 500
  EXPECT_NE(table.back().find("only 2 of 9"), std::string::npos);
}

}  // namespace
