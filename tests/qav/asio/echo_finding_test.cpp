// Finding a played impulse train again in what an input heard.
#include <gtest/gtest.h>

#include <functional>

#include "tools/qav/asio_loopback.h"

namespace {

using qav::CImpulseTrain;

struct EchoCase {
  const char *what;
  // Changes to a clean loopback of the train delayed by 300 frames.
  std::function<void(std::vector<int32_t> &heard, const CImpulseTrain &train)> spoil;
  bool clean;
  uint32_t found;
  const char *problem;  // the start of it
};

const EchoCase kCases[] = {
    {"clean loopback", nullptr, true, 6, ""},
    {"silence", [](std::vector<int32_t> &heard, const CImpulseTrain &) { heard.assign(heard.size(), 0); }, false, 0,
     "signal not found"},
    {"an impulse lost",
     [](std::vector<int32_t> &heard, const CImpulseTrain &train) { heard[train.Frame(2) + 300] = 0; }, false, 5,
     "only 5 of 6"},
    {"one echo a frame late",
     [](std::vector<int32_t> &heard, const CImpulseTrain &train) {
       heard[train.Frame(4) + 301] = heard[train.Frame(4) + 300];
       heard[train.Frame(4) + 300] = 0;
     },
     false, 6, "round trips differ: 300 to 301"},
    {"a stray sample", [](std::vector<int32_t> &heard, const CImpulseTrain &) { heard[5] = 0x1234; }, false, 6,
     "1 stray"},
    {"an echo heard twice",
     [](std::vector<int32_t> &heard, const CImpulseTrain &train) { heard[train.Frame(1) + 900] = CImpulseTrain::Amplitude(1); },
     false, 6, "1 stray"},
    {"an impulse before it was played",
     [](std::vector<int32_t> &heard, const CImpulseTrain &train) {
       heard[train.Frame(3) + 300] = 0;
       heard[train.Frame(3) - 10] = CImpulseTrain::Amplitude(3);
     },
     false, 5, "only 5 of 6"},
};

TEST(EchoFinding, MatchesEveryEchoToItsImpulse) {
  const CImpulseTrain train(100, 1000, 6);
  for (const EchoCase &c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<int32_t> heard(7000, 0);
    for (uint64_t t = 300; t < heard.size(); ++t) heard[t] = train.Sample(t - 300);
    if (c.spoil) c.spoil(heard, train);
    const qav::EchoFinding finding = qav::FindEchoes(train, heard, 1000, 3);
    EXPECT_EQ(finding.problem.empty(), c.clean) << finding.problem;
    EXPECT_EQ(finding.found, c.found);
    EXPECT_EQ(finding.problem.rfind(c.problem, 0), 0u) << finding.problem;
    if (c.clean) {
      EXPECT_EQ(finding.delay, 300);
    }
  }
}

TEST(EchoFinding, ImpulsesWhoseEchoCannotHaveArrivedAreNotMissed) {
  const CImpulseTrain train(100, 1000, 6);
  // The last impulse, at 5100, would return after the end.
  std::vector<int32_t> heard(5200, 0);
  for (uint64_t t = 300; t < heard.size(); ++t) heard[t] = train.Sample(t - 300);
  const qav::EchoFinding finding = qav::FindEchoes(train, heard, 1000, 3);
  EXPECT_EQ(finding.problem, "");
  EXPECT_EQ(finding.found, 5u);
}

TEST(EchoFinding, AmplitudesSurviveA16BitConverterAndStayApart) {
  const CImpulseTrain train(0, 1, CImpulseTrain::kMaxImpulses);
  EXPECT_EQ(train.Count(), CImpulseTrain::kMaxImpulses);
  for (uint32_t k : {0u, 1u, 1000u, CImpulseTrain::kMaxImpulses - 1}) {
    const int32_t amplitude = train.Sample(k);
    EXPECT_GT(amplitude, 0) << k;
    EXPECT_EQ(amplitude & 0xFFFF, 0) << k;
    EXPECT_EQ(static_cast<uint32_t>(amplitude) >> 20, k + 1) << k;
  }
  EXPECT_EQ(train.Sample(CImpulseTrain::kMaxImpulses), 0);
}

}  // namespace
