// What the render path delivers when the host controller reads OUT data
// before the bus sends it. The driver fills each render region 2 ms before
// its packets go out, into URBs submitted long before: a controller that
// fetches a frame ahead must still get every sample; one that copies at
// submission (bounce buffers) sends what the buffer held then.
#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::usb::OutFetch;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

struct FetchCase {
  const char *name;
  OutFetch mode;
  ULONG urbSize;
  bool everySampleArrives;
};

TEST_F(StreamTest, RenderDataUnderEachOutFetchMode) {
  const FetchCase cases[] = {
      {"a frame ahead, UrbSize 1", OutFetch::Ahead, 1, true},
      {"a frame ahead, UrbSize 5", OutFetch::Ahead, 5, true},
      {"at the microframe", OutFetch::AtMicroframe, 3, true},
      {"at submission", OutFetch::AtSubmission, 3, false},
  };
  for (const FetchCase &c : cases) {
    SCOPED_TRACE(c.name);
    Plug("Larch");
    winsim::usb::HostController &controller = machine.Bus(1)->Controller();
    controller.SetOutFetch(c.mode);
    UsbAudioDeviceSetUrbSize(&Ctx(), c.urbSize);
    WatchPlayedOutput();
    auto [render, capture] = RunBoth();
    machine.RunFor(1500 * kMs);
    Leave(render);
    Leave(capture);
    const winsim::usb::OutFetchCounts counts = controller.OutFetchStats(handle.port, 0x01);
    const RampChecker played = Played();
    EXPECT_GT(counts.packets, 10000u);
    if (c.everySampleArrives) {
      EXPECT_EQ(counts.writtenAfterFetch, 0u);
      EXPECT_EQ(played.Errors(), 0u) << "first at " << played.FirstErrorAt();
      EXPECT_GT(played.RampFrames(), 60000u);
    } else {
      // Nearly every packet went out with what the buffer held when its URB
      // was submitted: the previous round's audio, cut to this round's
      // packet sizes. Next to nothing plays as the ramp.
      EXPECT_GT(counts.writtenAfterFetch * 10, counts.packets * 8);
      EXPECT_GT(played.Errors(), 1000u);
      EXPECT_LT(played.RampFrames(), 5000u);
    }
    controller.SetOutFetch(OutFetch::Ahead);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
