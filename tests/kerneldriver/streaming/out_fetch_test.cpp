// What the render path delivers when the host controller reads OUT data
// before the bus sends it. The driver fills each render region 2 ms before
// its packets go out, into URBs submitted well before: a controller that
// fetches a frame ahead must still get every sample; one that copies at
// submission (bounce buffers) sends what the buffer held then.
#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::usb::OutFetch;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

// What reaches the DAC: every sample, or the audio each URB held when it was
// submitted: the previous round's, cut to this round's packet sizes. That
// reads as the ramp a whole round late, broken wherever the round's packet
// sizes differ from the last one's.
enum class Delivery { Exact, Stale };

struct FetchCase {
  const char *name;
  const char *model;
  OutFetch mode;
  ULONG urbSize;
  Delivery delivery;
};

void ExpectDelivered(const FetchCase &c, const winsim::usb::OutFetchCounts &counts, const RampChecker &played,
                     uint64_t framesBeforeStop) {
  EXPECT_GT(counts.packets, 10000u);
  switch (c.delivery) {
    case Delivery::Exact:
      EXPECT_EQ(counts.writtenAfterFetch, 0u);
      EXPECT_EQ(played.Errors(), 0u) << "first at " << played.FirstErrorAt();
      EXPECT_GT(played.RampFrames(), 60000u);
      break;
    case Delivery::Stale:
      EXPECT_GT(counts.writtenAfterFetch * 10, counts.packets * 8);
      EXPECT_GT(played.Errors(), 1000u);
      EXPECT_LT(played.FirstErrorAt(), framesBeforeStop);
      break;
  }
}

// The render pin alone, 1.5 s. The driver writes each region into a URB
// submitted a round earlier, so a controller that copies at submission sends
// none of it in time.
TEST_F(StreamTest, RenderDataUnderEachOutFetchMode) {
  const FetchCase cases[] = {
      {"a frame ahead, UrbSize 1", "Larch", OutFetch::Ahead, 1, Delivery::Exact},
      {"a frame ahead, UrbSize 5", "Larch", OutFetch::Ahead, 5, Delivery::Exact},
      {"a frame ahead, Maple", "Maple", OutFetch::Ahead, 3, Delivery::Exact},
      {"at the microframe", "Larch", OutFetch::AtMicroframe, 3, Delivery::Exact},
      {"at submission, Larch", "Larch", OutFetch::AtSubmission, 3, Delivery::Stale},
      {"at submission, Maple", "Maple", OutFetch::AtSubmission, 3, Delivery::Stale},
  };
  for (const FetchCase &c : cases) {
    SCOPED_TRACE(c.name);
    Plug(c.model);
    installed = false;  // the models have different hardware ids
    winsim::usb::HostController &controller = machine.Bus(1)->Controller();
    controller.SetOutFetch(c.mode);
    UsbAudioDeviceSetUrbSize(&Ctx(), c.urbSize);
    WatchPlayedOutput();
    TestPin &render = RenderPin();
    Run(render);
    machine.RunFor(1500 * kMs);
    const uint64_t framesBeforeStop = PlayedFrames();
    Leave(render);
    machine.RunFor(100 * kMs);
    ExpectDelivered(c, controller.OutFetchStats(handle.port, Render().dataEndpoint), Played(), framesBeforeStop);
    controller.SetOutFetch(OutFetch::Ahead);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
