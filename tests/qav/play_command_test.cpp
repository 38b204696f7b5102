// `qav play` end to end: the driver on a simulated machine, reached from
// user mode through the KS client library, plays the test signal into the
// device's loopback and gets it back exact on the default interface; an
// interface that cannot loop it back is refused with one clear line.
#include <gtest/gtest.h>

#include "tools/qav/host_commands.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"

namespace {

winsim::devices::DeviceDefinition Definition(std::string_view name) {
  const winsim::devices::DeviceModel *model = winsim::devices::FindModel(name);
  EXPECT_NE(model, nullptr) << name;
  if (model == nullptr) return {};
  winsim::devices::BuildResult built = winsim::devices::BuildDevice(*model);
  EXPECT_TRUE(built.Ok()) << built.detail;
  return built.definition;
}

TEST(PlayCommandTest, TheSignalComesBackExactOnTheDefaultInterface) {
  constexpr uint32_t kMilliseconds = 300;
  const qav::PlayReport report = qav::PlayDevice(Definition(winsim::devices::DefaultModelName()), kMilliseconds);
  ASSERT_TRUE(report.ok) << report.error;
  EXPECT_TRUE(report.Exact());
  EXPECT_EQ(report.format.containerBits, 32u) << "the default interface streams 4-byte samples";
  EXPECT_EQ(report.format.validBits, 24u);
  EXPECT_EQ(report.format.channels, 18u) << "as many channels as the capture side has";
  EXPECT_EQ(report.format.rate, 48000u);
  EXPECT_EQ(report.framesSent, 48000u * kMilliseconds / 1000);
  EXPECT_GT(report.comparison.framesReceived, report.framesSent);
  EXPECT_GT(report.comparison.delayFrames, 0u);
  EXPECT_LT(report.comparison.delayFrames, 48000u / 20) << "well inside the capture's tail";
  EXPECT_EQ(report.comparison.samplesCompared, report.framesSent * 18);
  EXPECT_NE(report.renderPin, report.capturePin);
  EXPECT_GT(report.framingFrames, 0u);
  const std::vector<std::string> lines = qav::DescribePlay(report, kMilliseconds);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("exact: all 259200 samples came back unaltered", 0), 0u) << lines.back();
}

// Alder and Rowan stream 3-byte subslots: the 24 valid bits of the signal
// travel whole and must come back so. Hazel carries 16 bits in 2-byte
// subslots, so play sends 16-bit samples, which it carries whole.
TEST(PlayCommandTest, TheSignalComesBackExactThroughNarrowSubslots) {
  const struct {
    const char *model;
    uint32_t containerBits;
    uint32_t validBits;
  } cases[] = {{"Alder", 32, 24}, {"Rowan", 32, 24}, {"Hazel", 16, 16}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.model);
    const qav::PlayReport report = qav::PlayDevice(Definition(c.model), 100);
    ASSERT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.format.containerBits, c.containerBits);
    EXPECT_EQ(report.format.validBits, c.validBits);
    EXPECT_TRUE(report.Exact()) << qav::DescribePlay(report, 100).back();
    EXPECT_EQ(report.comparison.samplesCompared, report.framesSent * report.format.channels);
  }
}

struct RefusalCase {
  const char *model;
  const char *verdict;  // the whole last line
};

TEST(PlayCommandTest, InterfacesThatCannotLoopTheSignalBackFailWithOneLine) {
  const RefusalCase cases[] = {
      {"Maple", "FAILED: the interface has no capture pin: play listens to the device's loopback through one"},
      {"Cedar", "FAILED: the interface has no render pin to play the signal through"},
      {"Ivy", "FAILED: the driver did not start on the interface (`qav start` says why)"},
  };
  for (const RefusalCase &c : cases) {
    SCOPED_TRACE(c.model);
    const qav::PlayReport report = qav::PlayDevice(Definition(c.model), 100);
    EXPECT_FALSE(report.ok);
    EXPECT_FALSE(report.Exact());
    EXPECT_EQ(qav::DescribePlay(report, 100), std::vector<std::string>{c.verdict});
  }
}

TEST(PlayCommandTest, TheExitStatusSaysWhetherTheSignalCameBackExact) {
  testing::internal::CaptureStdout();
  const int exact = qav::RunPlay(qav::SimSource{"Larch", false}, 1);
  const int refused = qav::RunPlay(qav::SimSource{"Maple", false}, 1);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(exact, 0);
  EXPECT_EQ(refused, 1);
  EXPECT_NE(output.find("round trip:"), std::string::npos) << output;
  testing::internal::CaptureStderr();
  EXPECT_EQ(qav::RunPlay(qav::SimSource{"NoSuchModel", false}, 1), 2);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("qav: "), std::string::npos);
}

}  // namespace
