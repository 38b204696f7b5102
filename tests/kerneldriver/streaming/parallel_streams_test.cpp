// Streams on a machine in parallel mode, whatever QAV_PARALLEL_SEED says:
// the capture and render completions of one period run on two threads, as
// on two processors, and arrive in either order.
#include <mutex>
#include <vector>

#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::usb::VTime;

constexpr VTime kMs = 10000;

class ParallelStreamTest : public StreamTest {
 public:
  static void SetUpTestSuite() { dstest::SuiteParallelMode() = winsim::ParallelOptions{.seed = 11}; }
  static void TearDownTestSuite() { dstest::SuiteParallelMode().reset(); }
};

// Microframes in which packets of each direction crossed the bus.
class BusPackets {
 public:
  void Add(uint8_t endpoint, uint64_t microframe) {
    std::lock_guard guard(m_lock);
    ((endpoint & 0x80) != 0 ? m_in : m_out).push_back(microframe);
  }
  void Clear() {
    std::lock_guard guard(m_lock);
    m_in.clear();
    m_out.clear();
  }
  // Microframes missing between the first and the last packet seen.
  uint64_t Gaps(bool in) const {
    std::lock_guard guard(m_lock);
    const std::vector<uint64_t> &seen = in ? m_in : m_out;
    uint64_t gaps = 0;
    for (size_t i = 1; i < seen.size(); ++i) gaps += seen[i] - seen[i - 1] - 1;
    return gaps;
  }

 private:
  mutable std::mutex m_lock;
  std::vector<uint64_t> m_in, m_out;
};

// A render stream started beside a running capture stream joins its frame
// grid; the capture URB that ended as it started has no partner. Whichever
// of the next period's two completions comes first, the streams then pair
// frame for frame and neither skips a period (paired by arrival instead, a
// render URB met the previous period's capture URB, and from then on each
// stream dropped one URB in eleven).
TEST_F(ParallelStreamTest, ARenderStreamRestartedBesideCapturePairsFrameForFrame) {
  Plug("Larch");
  BusPackets packets;
  bus->isoObserver = [&packets](uint8_t endpoint, uint64_t microframe, const uint8_t *, uint32_t) {
    if (endpoint == 0x01 || endpoint == 0x81) packets.Add(endpoint, microframe);
  };
  auto [render, capture] = RunBoth();
  for (int restart = 0; restart < 12; ++restart) {
    SCOPED_TRACE(restart);
    machine.RunFor((30 + restart) * kMs);
    UsbAudioStreamStop(&Render());
    machine.RunFor(4 * kMs);
    ASSERT_EQ(UsbAudioStreamStart(&Render()), STATUS_SUCCESS);
    machine.RunFor(12 * kMs);
    packets.Clear();
    machine.RunFor(70 * kMs);
    EXPECT_EQ(packets.Gaps(false), 0u) << "render periods skipped";
    EXPECT_EQ(packets.Gaps(true), 0u) << "capture periods skipped";
  }
  bus->isoObserver = nullptr;
}

}  // namespace
}  // namespace sttest
