// The ramp checker's break count, which the streaming figures report as
// glitches: each place the played ramp does not follow counts once, and the
// ramp's own period does not count.
#include <gtest/gtest.h>

#include <vector>

#include "test_pin.h"

namespace sttest {
namespace {

constexpr uint32_t kChannels = 2;

struct Piece {
  uint64_t first;  // ramp frame; 0: silence
  uint64_t frames;
};

struct BreakCase {
  const char *name;
  std::vector<Piece> pieces;
  uint64_t glitches;
};

std::vector<int32_t> Render(const std::vector<Piece> &pieces) {
  std::vector<int32_t> samples;
  for (const Piece &piece : pieces) {
    for (uint64_t i = 0; i < piece.frames; ++i) {
      for (uint32_t c = 0; c < kChannels; ++c) samples.push_back(piece.first == 0 ? 0 : RampSample(piece.first + i, c));
    }
  }
  return samples;
}

TEST(RampCheckerBreaks, CountOncePerPlaceTheRampDoesNotFollow) {
  constexpr uint64_t kPeriod = uint64_t{1} << 19;  // frame x 32 << 8 wraps a 32-bit sample
  const BreakCase cases[] = {
      {"silence, the ramp across its period, silence", {{0, 10}, {1, 2 * kPeriod + 100}, {0, 10}}, 0},
      {"48 frames skipped", {{1, 1000}, {1049, 1000}}, 1},
      {"a block repeated", {{1, 1000}, {953, 1000}}, 1},
      {"a stale block inside", {{1, 3000}, {3001 - 1440, 48}, {3049, 1000}}, 2},
      {"a gap of silence", {{1, 1000}, {0, 48}, {1049, 1000}}, 1},
      {"a gap of silence that hides nothing", {{1, 1000}, {0, 48}, {1001, 1000}}, 1},
      {"one frame from elsewhere in the ramp", {{1, 1000}, {kPeriod / 2 + 7, 1}, {1002, 1000}}, 2},
  };
  for (const BreakCase &c : cases) {
    SCOPED_TRACE(c.name);
    RampChecker checker(kChannels);
    const std::vector<int32_t> samples = Render(c.pieces);
    checker.Feed(samples.data(), samples.size() / kChannels);
    EXPECT_EQ(checker.Glitches(), c.glitches);
  }
}

}  // namespace
}  // namespace sttest
