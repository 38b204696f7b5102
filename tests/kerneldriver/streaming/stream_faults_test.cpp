// Streams against a misbehaving stack or device: a URB the stack holds past
// its frames, a failure whose recovery has not run yet, a partner stream
// that ended, capture packets that arrive damaged.
#include <atomic>
#include <vector>

#include "stream_harness.h"
#include "winsim/kernel/io_workers.h"

namespace sttest {
namespace {

using winsim::devices::FaultKnobs;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

// Keeps every system worker thread busy for `duration` of virtual time, so
// a work item queued meanwhile (the streams' recovery) runs only after it.
class BusyWorkers {
 public:
  explicit BusyWorkers(VTime duration)
      : m_duration(duration), m_items(winsim::SystemWorkers::Instance().Capacity()) {
    for (WORK_QUEUE_ITEM &item : m_items) {
      ExInitializeWorkItem(&item, Sleep, this);
      ExQueueWorkItem(&item, DelayedWorkQueue);
    }
  }
  ~BusyWorkers() {
    while (m_done.load() != m_items.size()) winsim::Machine::Current()->RunFor(kMs);
  }

 private:
  static void Sleep(PVOID context) {
    auto *self = static_cast<BusyWorkers *>(context);
    LARGE_INTEGER interval;
    interval.QuadPart = -self->m_duration;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    self->m_done++;
  }

  const VTime m_duration;
  std::vector<WORK_QUEUE_ITEM> m_items;
  std::atomic<size_t> m_done{0};
};

// The controller misses the service intervals of two URBs' worth of the
// endpoint's packets: one whole URB fails. (An OUT packet the device loses
// would look sent.)
void FailOneUrb(winsim::Machine &machine, uint8_t endpoint, ULONG framesPerUrb) {
  machine.Bus(1)->Controller().MissServiceIntervals(8 * 2 * framesPerUrb, endpoint);
}

// The stack keeps one render URB past its frames (until 10 s from now). The
// pins leaving RUN, or the machine going to sleep, must not wait for it: a
// few URB periods after the last URB's end the pipe is aborted, which hands
// it back at once.
TEST_F(StreamTest, StopAndPowerDownReturnPromptlyWhenTheStackHoldsAUrb) {
  struct Case {
    const char *how;
    bool powerDown;
  };
  for (const Case &c : {Case{"the pins leave RUN", false}, Case{"the machine sleeps", true}}) {
    SCOPED_TRACE(c.how);
    Plug("Larch");
    auto [render, capture] = RunBoth();
    machine.RunFor(100 * kMs);
    auto &controller = machine.Bus(1)->Controller();
    const uint64_t heldBefore = controller.HeldIsochronous();
    controller.HoldIsochronous(1, machine.Now() + 10000 * kMs, 0x01);
    machine.RunFor(100 * kMs);
    ASSERT_EQ(controller.HeldIsochronous(), heldBefore + 1);
    const VTime before = machine.Now();
    if (c.powerDown) {
      EXPECT_TRUE(machine.Suspend());
    } else {
      Leave(render);
      Leave(capture);
    }
    EXPECT_LT(machine.Now() - before, 250 * kMs);
    EXPECT_TRUE(LogHas(machine, "not back 100 ms after stop; aborting"));
    EXPECT_EQ(Render().outstanding, 0);
    EXPECT_FALSE(Running(&Render()));
    if (c.powerDown) {
      machine.Resume();
      machine.RunFor(100 * kMs);
      EXPECT_TRUE(Running(&Render()));
      EXPECT_TRUE(Running(&Capture()));
      Leave(render);
      Leave(capture);
    }
    Unplug();
  }
}

// A render URB fails; its recovery (abort, reset, stop) is still queued
// behind busy workers when the stream is started again. Starting first and
// recovering after would abort and stop the new run: the start waits.
TEST_F(StreamTest, AStartWaitsForTheRecoveryOfAnEarlierFailure) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(100 * kMs);
  {
    BusyWorkers busy(100 * kMs);
    FailOneUrb(machine, 0x01, Render().framesPerUrb);
    ASSERT_TRUE(machine.RunUntil([&] { return Render().recoveryQueued != 0 && Render().outstanding == 0; }, 80 * kMs));
    const VTime before = machine.Now();
    EXPECT_EQ(UsbAudioStreamStart(&Render()), STATUS_SUCCESS);
    EXPECT_GE(machine.Now() - before, 20 * kMs) << "the start went ahead of the recovery";
  }
  EXPECT_EQ(Render().recoveryQueued, 0);
  const uint64_t received = device->Render().framesReceived;
  machine.RunFor(200 * kMs);
  EXPECT_TRUE(Running(&Render()));
  EXPECT_GT(device->Render().framesReceived, received + 9000);
}

// With implicit feedback each render URB waits for its capture partner. A
// failed capture URB ends the capture stream; until its recovery runs (held
// up here by busy workers) the render stream must go on alone at once, not
// keep each URB back for a partner that will not come: held back, render
// regions are filled after their URB has gone out, and the device plays
// stale audio.
TEST_F(StreamTest, ARenderStreamGoesOnAloneTheMomentItsCapturePartnerEnds) {
  Plug("Larch");
  WatchPlayedOutput();
  auto [render, capture] = RunBoth();
  machine.RunFor(300 * kMs);
  {
    BusyWorkers busy(150 * kMs);
    FailOneUrb(machine, 0x81, Capture().framesPerUrb);
    machine.RunFor(100 * kMs);
    EXPECT_FALSE(Running(&Capture()));
    EXPECT_NE(Capture().recoveryQueued, 0);
  }
  machine.RunFor(200 * kMs);
  EXPECT_TRUE(Running(&Render()));
  const RampChecker played = Played();
  EXPECT_EQ(played.Errors(), 0u) << "first at " << played.FirstErrorAt() << ": " << played.FirstErrorValue();
  EXPECT_GT(played.RampFrames(), 24000u);
  EXPECT_EQ(device->Render().underrunEvents, 0u);
}

// Every 50th capture packet arrives with a CRC error and a full packet of
// garbage. None of it reaches a capture pin; with implicit feedback (Larch)
// the render packet keeps its previous size instead of taking the garbage's
// length, so the device FIFO neither overflows nor drains.
TEST_F(StreamTest, DamagedCapturePacketsAreNeitherAudioNorFeedback) {
  for (const char *model : {"Larch", "Cedar"}) {
    SCOPED_TRACE(model);
    Plug(model, [](FaultKnobs &knobs) { knobs.garbleIsoInEvery = 50; });
    installed = false;  // the next model has other hardware ids
    const bool paired = Ctx().renderStream != nullptr;
    if (paired) WatchPlayedOutput();
    TestPin &capture = CapturePin();
    TestPin *render = paired ? &RenderPin() : nullptr;
    Run(capture);
    if (render != nullptr) Run(*render);
    machine.RunFor(1000 * kMs);
    EXPECT_GT(device->Faults().isoGarbled, 100u);
    EXPECT_EQ(capture.Checker().Foreign(), 0u);
    EXPECT_GT(capture.FramesMoved(), 40000u);
    if (paired) {
      const auto stats = device->Render();
      EXPECT_EQ(stats.overrunEvents, 0u);
      EXPECT_EQ(stats.underrunEvents, 0u);
      EXPECT_EQ(Played().Errors(), 0u);
      EXPECT_GT(Played().RampFrames(), 40000u);
    }
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
