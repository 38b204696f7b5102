// The driver's streams against a device that behaves like the hardware: a
// DAC that starts at about 1 ms of data and counts every microframe it
// cannot fill from then on, capture packets that carry samples already
// taken (the first of a run empty, a few more on some devices) at a phase
// drawn per start, and clocks whose lock and drift change under a running
// stream.
#include "stream_harness.h"
#include "kerneldriver/control/audio_control.h"

namespace sttest {
namespace {

using dstest::Build;
using dstest::Model;
using winsim::devices::DeviceModel;
using winsim::devices::FullSpeedVariant;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

struct StartCase {
  const char *name;
  const char *model;
  bool fullSpeed;
  uint32_t rate;
};

class FirstMicroframe : public StreamTest, public ::testing::WithParamInterface<StartCase> {};

// From the first microframe the DAC plays, no microframe lacks data.
TEST_P(FirstMicroframe, TheDacNeverRunsDryOnceStarted) {
  DeviceModel model = Model(GetParam().model);
  model.behaviour.initialRate = GetParam().rate;
  Plug(Build(GetParam().fullSpeed ? FullSpeedVariant(model) : model));
  TestPin &render = RenderPin();
  if (Ctx().captureStream != nullptr) Run(CapturePin());
  Run(render);
  machine.RunFor(3000 * kMs);
  const auto stats = device->Render();
  for (NTSTATUS status : startStatuses) EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(stats.playing);
  EXPECT_EQ(stats.startThreshold, (device->ActiveRate() + 999) / 1000);
  EXPECT_EQ(stats.underrunMicroframes, 0u) << stats.underrunEvents << " underruns, lowest level " << stats.minLevel;
  EXPECT_EQ(stats.overrunEvents, 0u);
}

INSTANTIATE_TEST_SUITE_P(Models, FirstMicroframe,
                         ::testing::Values(StartCase{"Larch", "Larch", false, 48000},
                                           StartCase{"Larch44k1", "Larch", false, 44100},
                                           StartCase{"Larch192k", "Larch", false, 192000},
                                           StartCase{"Alder", "Alder", false, 48000},
                                           StartCase{"Birch", "Birch", false, 48000},
                                           StartCase{"Maple", "Maple", false, 44100},
                                           StartCase{"Rowan", "Rowan", false, 96000},
                                           StartCase{"Hazel", "Hazel", false, 48000}),
                         [](const auto &info) { return std::string(info.param.name); });

struct LoopbackCase {
  const char *name;
  uint32_t rate;
  uint32_t emptyAtStart;
  uint32_t seed;
};

class LoopbackStart : public StreamTest, public ::testing::WithParamInterface<LoopbackCase> {};

// The ramp played comes back without a lost or repeated frame however the
// capture run starts: empty packets first, and the packet-size pattern
// entered at any phase. Twice, since a second start finds the buffers of
// the first.
TEST_P(LoopbackStart, TheRampComesBackWhole) {
  DeviceModel model = Model("Larch");
  model.behaviour.initialRate = GetParam().rate;
  model.behaviour.emptyCapturePacketsAtStart = GetParam().emptyAtStart;
  model.behaviour.clockPhaseSeed = GetParam().seed;
  Plug(Build(model));
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    auto [render, capture] = RunBoth();
    machine.RunFor(1000 * kMs);
    Leave(render);
    Leave(capture);
    const RampChecker captured = capture.Checker();
    EXPECT_EQ(captured.Errors(), 0u) << "first at " << captured.FirstErrorAt() << " (" << captured.LeadingSilence()
                                     << " silent, ramp to " << captured.NextFrame() << "): " << captured.FirstErrorValue();
    EXPECT_GT(captured.RampFrames(), GetParam().rate / 2);
    EXPECT_EQ(captured.FirstRampFrame(), 1u);
  }
  EXPECT_EQ(device->Render().underrunMicroframes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Starts, LoopbackStart,
                         ::testing::Values(LoopbackCase{"At48k", 48000, 0, 1}, LoopbackCase{"At44k1", 44100, 0, 2},
                                           LoopbackCase{"At44k1OtherPhase", 44100, 0, 5},
                                           LoopbackCase{"ThreeEmptyPackets", 48000, 3, 1},
                                           LoopbackCase{"ThreeEmptyPacketsAt44k1", 44100, 3, 3}),
                         [](const auto &info) { return std::string(info.param.name); });

// Larch streaming from S/PDIF, whose sender runs 300 ppm fast: the lock
// goes, the device runs free on its crystal and says so; the driver hears
// the status interrupt and reads the clock invalid, and the streams follow
// the device's new rate without a glitch (their packets follow the capture
// stream's), as they do when the lock comes back.
TEST_F(StreamTest, AnExternalClockLosingLockIsHeardAndTheStreamsFollowTheFreeRunningRate) {
  DeviceModel model = Model("Larch");
  model.clocks[1].driftPpm = 300;
  Plug(Build(model));
  UsbAudioControl *control = Ctx().audioControl;
  ASSERT_EQ(AudioControlSelectClockInput(control, 2), STATUS_SUCCESS);
  const uint8_t spdif = model.clocks[1].id;
  ASSERT_EQ(device->ActiveClock(), spdif);
  // The controller reads OUT data at its microframe: what is under test is
  // how the streams follow the lock, not how late a completion the render
  // lead absorbs (a 1 ms late completion on a machine in parallel mode
  // already meets a frame fetched ahead; the figures measure that).
  machine.Bus(1)->Controller().SetOutFetch(winsim::usb::OutFetch::AtMicroframe);
  WatchPlayedOutput();
  auto [render, capture] = RunBoth();
  machine.RunFor(1000 * kMs);
  double perSecond[2] = {};
  for (bool locked : {false, true}) {
    SCOPED_TRACE(locked);
    device->SetClockValid(spdif, locked);
    auto heard = [&] { return ((control->clocks[1].Attributes & UAC_CLOCK_VALID) != 0) == locked; };
    EXPECT_TRUE(machine.RunUntil(heard, winsim::kTicksPerSecond));
    machine.RunFor(500 * kMs);
    const uint64_t before = device->Capture().frames;
    machine.RunFor(2000 * kMs);
    perSecond[locked] = static_cast<double>(device->Capture().frames - before) / 2.0;
  }
  EXPECT_LT(perSecond[0], perSecond[1]) << "the crystal runs slower than the sender";
  Leave(render);
  Leave(capture);
  const auto stats = device->Render();
  EXPECT_EQ(stats.underrunMicroframes, 0u);
  EXPECT_EQ(stats.overrunEvents, 0u);
  EXPECT_EQ(capture.Checker().Errors(), 0u);
  EXPECT_EQ(Played().Errors(), 0u);
}

}  // namespace
}  // namespace sttest
