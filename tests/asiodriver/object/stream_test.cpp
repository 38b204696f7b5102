// Streaming through the kernel driver's pins: buffer switches, a sample-exact
// loopback from the ASIO output buffers back to the input buffers, rate
// changes and overloads while running, and a device that goes away.
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "asio_machine.h"
#include "uac2common/asiodriver/filter/qzaudiofilter_list.h"
#include "host_recorder.h"

namespace asiotest {
namespace {

class AsioStream : public AsioMachineTest {
 protected:
  // init and buffers for every channel of both directions.
  void Prepare(LONG bufferSize) {
    NewDriver();
    ASSERT_EQ(asio->init(nullptr), ASIOTrue);
    LONG inputs = 0, outputs = 0;
    ASSERT_EQ(asio->getChannels(&inputs, &outputs), ASE_OK);
    infos.clear();
    for (LONG c = 0; c < inputs; ++c) infos.push_back({ASIOTrue, c, {nullptr, nullptr}});
    for (LONG c = 0; c < outputs; ++c) infos.push_back({ASIOFalse, c, {nullptr, nullptr}});
    ASSERT_EQ(asio->createBuffers(infos.data(), static_cast<LONG>(infos.size()), bufferSize, host.Callbacks()),
              ASE_OK);
    frames = static_cast<uint32_t>(bufferSize);
    inputCount = static_cast<uint32_t>(inputs);
    outputCount = static_cast<uint32_t>(outputs);
  }

  int32_t *Half0(bool input, uint32_t channel) {
    return static_cast<int32_t *>(infos[input ? channel : inputCount + channel].buffers[0]);
  }

  HostRecorder host;
  std::vector<ASIOBufferInfo> infos;
  uint32_t frames = 0;
  uint32_t inputCount = 0;
  uint32_t outputCount = 0;
};

// A value a 24-bit converter keeps whole, never 0, telling frame and channel.
int32_t Ramp(uint64_t frame, uint32_t channel) { return static_cast<int32_t>(((frame * 4 + channel + 1) & 0x3FFFFF) << 8); }

TEST_F(AsioStream, OutputComesBackSampleExactThroughTheInputs) {
  PlugOptions loopback;
  loopback.loopback = true;
  loopback.edit = [](winsim::devices::DeviceDefinition &d) { d.model.behaviour.clockDriftPpm = 0; };
  Plug("Alder", loopback);
  ASSERT_NO_FATAL_FAILURE(Prepare(128));

  // Host side, on the streaming thread: every switch writes the next block
  // of the ramp and keeps what the inputs hold.
  std::vector<std::vector<int32_t>> heard(inputCount);
  host.onSwitch = [&](uint32_t number) {
    for (uint32_t c = 0; c < outputCount; ++c) {
      int32_t *out = Half0(false, c);
      for (uint32_t j = 0; j < frames; ++j) out[j] = Ramp(uint64_t{number} * frames + j, c);
    }
    for (uint32_t c = 0; c < inputCount; ++c) heard[c].insert(heard[c].end(), Half0(true, c), Half0(true, c) + frames);
  };
  ASSERT_EQ(asio->start(), ASE_OK);
  Sleep(400);
  ASSERT_EQ(asio->stop(), ASE_OK);
  EXPECT_EQ(host.NonZeroIndexes(), 0u) << "the double-buffer index is always 0";
  EXPECT_EQ(host.Messages(kAsioOverload), 0u);

  // The ramp's first frame appears after the round trip; from there on every
  // sample of every channel must be the ramp, delayed by that same amount.
  const std::vector<int32_t> &first = heard[0];
  size_t start = 0;
  while (start < first.size() && first[start] == 0) ++start;
  ASSERT_LT(start + 2000, first.size()) << "too little came back";
  const uint64_t delay = start - static_cast<uint64_t>((first[start] >> 8) - 1) / 4;
  for (uint32_t c = 0; c < inputCount; ++c) {
    size_t mismatches = 0;
    for (size_t t = start; t < heard[c].size(); ++t) {
      if (heard[c][t] != Ramp(t - delay, c) && mismatches++ < 3) {
        ADD_FAILURE() << "channel " << c << " frame " << t << ": " << heard[c][t] << " != " << Ramp(t - delay, c);
      }
    }
    EXPECT_EQ(mismatches, 0u) << "channel " << c;
  }
}

TEST_F(AsioStream, RateChangeWhileStreamingRestartsThePass) {
  Plug("Alder");
  host.timeInfoAnswer = 1;
  ASSERT_NO_FATAL_FAILURE(Prepare(256));
  ASSERT_EQ(asio->setSampleRate(48000), ASE_OK);
  ASSERT_EQ(asio->start(), ASE_OK);
  ASSERT_TRUE(host.WaitForSwitches(20, 2000));
  const size_t before = host.Positions().size();

  EXPECT_EQ(asio->setSampleRate(96000), ASE_OK);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(asio->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 96000.0);
  EXPECT_EQ(host.RateChanges(), std::vector<double>{96000.0});
  const uint32_t switches = host.Switches();
  EXPECT_TRUE(host.WaitForSwitches(switches + 20, 2000)) << "streaming goes on at the new rate";
  ASSERT_EQ(asio->stop(), ASE_OK);

  const std::vector<uint64_t> positions = host.Positions();
  ASSERT_GT(positions.size(), before);
  EXPECT_EQ(positions[before], 0u) << "the new pass starts at sample 0";
  for (size_t i = before + 1; i < positions.size(); ++i) EXPECT_EQ(positions[i], positions[i - 1] + 256) << i;
  EXPECT_EQ(host.Messages(kAsioResetRequest), 0u);

  // An unsupported rate changes nothing.
  EXPECT_EQ(asio->setSampleRate(192000), ASE_NoClock);
  EXPECT_EQ(host.RateChanges().size(), 1u);
}

// Another program (the control panel, `qav mode`) changes the USB mode
// while the host streams: the pass starts over with the new transfer size,
// and the host hears that the latencies it compensates for changed.
TEST_F(AsioStream, ModeChangeFromAnotherProgramRestartsThePassAndReportsTheNewLatency) {
  Plug("Alder");
  host.timeInfoAnswer = 1;
  ASSERT_NO_FATAL_FAILURE(Prepare(128));
  CQZAudioFilterList other;
  other.EnumerateDevices();
  ASSERT_EQ(other.GetFilterCount(), 1u);
  CQZAudioFilter *panel = other.GetFilter(0);
  ASSERT_EQ(panel->SetUrbSize(1), S_OK);
  LONG inputBefore = 0, outputBefore = 0;
  ASSERT_EQ(asio->getLatencies(&inputBefore, &outputBefore), ASE_OK);
  ASSERT_EQ(asio->start(), ASE_OK);
  ASSERT_TRUE(host.WaitForSwitches(30, 2000));
  const size_t before = host.Positions().size();

  ASSERT_EQ(panel->SetUrbSize(5), S_OK);
  const uint32_t switches = host.Switches();
  EXPECT_TRUE(host.WaitForSwitches(switches + 30, 2000)) << "streaming goes on in the new mode";
  ASSERT_EQ(asio->stop(), ASE_OK);

  const std::vector<uint64_t> positions = host.Positions();
  size_t restarts = 0;
  for (size_t i = before; i < positions.size(); ++i) restarts += positions[i] == 0 ? 1 : 0;
  EXPECT_EQ(restarts, 1u) << "one new pass, from sample 0";
  EXPECT_EQ(host.Messages(kAsioLatenciesChanged), 1u);
  EXPECT_EQ(host.Messages(kAsioResetRequest), 0u);
  LONG inputAfter = 0, outputAfter = 0;
  ASSERT_EQ(asio->getLatencies(&inputAfter, &outputAfter), ASE_OK);
  EXPECT_GT(inputAfter, inputBefore);
  EXPECT_GT(outputAfter, outputBefore);
}

struct OverloadCase {
  std::vector<const char *> models;
};

// A host that holds one buffer switch far past its time lets the devices' capture
// data run over; the next set's reads say so, each device's, and the host
// hears of it once for that set. Devices on separate clocks that start a few
// milliseconds apart may also lose a block once at start, so only what
// follows the held switch is counted.
TEST_F(AsioStream, OverloadIsReportedOncePerSet) {
  const OverloadCase cases[] = {{{"Alder"}}, {{"Alder", "Rowan"}}};
  for (const OverloadCase &c : cases) {
    SCOPED_TRACE(c.models.size());
    host.Reset();
    for (const char *model : c.models) Plug(model);
    ASSERT_NO_FATAL_FAILURE(Prepare(256));
    std::atomic<uint32_t> overloadsBefore{0};
    std::atomic<uint32_t> messagesBefore{0};
    host.onSwitch = [&](uint32_t number) {
      if (number != 30) return;
      overloadsBefore = asio->OverloadCount();
      messagesBefore = host.Messages(kAsioOverload);
      Sleep(300);
    };
    ASSERT_EQ(asio->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(80, 3000));
    ASSERT_EQ(asio->stop(), ASE_OK);
    EXPECT_EQ(asio->OverloadCount() - overloadsBefore, 1u);
    EXPECT_EQ(host.Messages(kAsioOverload) - messagesBefore, 1u);
    host.onSwitch = nullptr;
    ReleaseDriver();
    while (!c.models.empty() && Plugged() > 0) Unplug(0, false);
  }
}

TEST_F(AsioStream, DeviceWithoutCaptureStreamsItsOutputs) {
  Plug("Maple");
  ASSERT_NO_FATAL_FAILURE(Prepare(128));
  EXPECT_EQ(inputCount, 0u);
  ASSERT_EQ(asio->start(), ASE_OK);
  EXPECT_TRUE(host.WaitForSwitches(50, 2000));
  ASSERT_EQ(asio->stop(), ASE_OK);
}

TEST_F(AsioStream, SurpriseRemovalEndsStreamingAndAsksForAReset) {
  Plug("Alder");
  ASSERT_NO_FATAL_FAILURE(Prepare(128));
  ASSERT_EQ(asio->start(), ASE_OK);
  ASSERT_TRUE(host.WaitForSwitches(20, 2000));
  Unplug(0, true);
  Sleep(3000);
  const uint32_t switches = host.Switches();
  Sleep(500);
  EXPECT_EQ(host.Switches(), switches) << "no buffer switches without the device";
  EXPECT_EQ(host.Messages(kAsioResetRequest), 1u);
  EXPECT_EQ(asio->stop(), ASE_OK);
  EXPECT_EQ(asio->disposeBuffers(), ASE_OK);
  ReleaseDriver();
}

// A rate change after streaming ended without the host's stop (the driver
// gave up on a stalled device and asked for a reset, or the host stopped
// from its own switch) reopens the pins but starts nothing behind the
// host's back; the host's next start streams at the new rate.
TEST_F(AsioStream, RateChangeAfterStreamingEndedStartsNothing) {
  struct Case {
    const char *how;
    bool stall;  // else the host stops from its switch
    uint32_t resetRequests;
  };
  const Case cases[] = {{"the driver ended a stalled stream", true, 1}, {"the host stopped from its switch", false, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.how);
    host.Reset();
    Plug("Alder");
    ASSERT_NO_FATAL_FAILURE(Prepare(128));
    ASSERT_EQ(asio->setSampleRate(48000), ASE_OK);
    host.onSwitch = [&](uint32_t number) {
      if (!c.stall && number == 20) asio->stop();
    };
    ASSERT_EQ(asio->start(), ASE_OK);
    ASSERT_TRUE(host.WaitForSwitches(20, 2000));
    // Every transfer the controller takes from here on is held until it is
    // cancelled: no request set completes any more.
    winsim::usb::HostController &controller = machine.Bus(1)->Controller();
    if (c.stall) controller.HoldIsochronous(UINT32_MAX, winsim::kInfinite);
    Sleep(3000);
    ASSERT_EQ(host.Messages(kAsioResetRequest), c.resetRequests);
    controller.HoldIsochronous(0, winsim::kInfinite);

    const uint32_t ended = host.Switches();
    EXPECT_EQ(asio->setSampleRate(96000), ASE_OK);
    Sleep(500);
    EXPECT_EQ(host.Switches(), ended) << "no switches after the rate change";
    EXPECT_FALSE(asio->IsStreaming());

    host.onSwitch = nullptr;
    ASSERT_EQ(asio->start(), ASE_OK);
    EXPECT_TRUE(host.WaitForSwitches(ended + 20, 2000)) << "the host's own start streams";
    ASIOSampleRate rate = 0;
    EXPECT_EQ(asio->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(asio->stop(), ASE_OK);
    EXPECT_EQ(host.Messages(kAsioResetRequest), c.resetRequests);
    EXPECT_EQ(asio->disposeBuffers(), ASE_OK);
    ReleaseDriver();
    Unplug(0, false);
  }
}

// A rate change that cannot reopen the pins leaves them closed; a later
// start must not stream over closed pins, where nothing paces the sets (the
// host would be called without end while no time passes). It is refused as
// a stalled stream is: no switches, one reset request.
TEST_F(AsioStream, StartWithThePinsClosedByAFailedRateChangeAsksForAReset) {
  Plug("Alder");
  ASSERT_NO_FATAL_FAILURE(Prepare(128));
  ASSERT_EQ(asio->start(), ASE_OK);
  ASSERT_TRUE(host.WaitForSwitches(20, 2000));
  ASSERT_EQ(asio->stop(), ASE_OK);
  Unplug(0, true);
  EXPECT_EQ(asio->setSampleRate(96000), ASE_InvalidMode) << "the device is gone";

  host.Reset();
  // A stream that runs away is stopped from its own switch, so this test
  // fails instead of hanging.
  host.onSwitch = [this](uint32_t number) {
    if (number == 1000) asio->stop();
  };
  ASSERT_EQ(asio->start(), ASE_OK);
  Sleep(3000);
  EXPECT_EQ(host.Switches(), 0u);
  EXPECT_EQ(host.Messages(kAsioResetRequest), 1u);
  EXPECT_EQ(asio->stop(), ASE_OK);
  EXPECT_EQ(asio->disposeBuffers(), ASE_OK);
  ReleaseDriver();
}

}  // namespace
}  // namespace asiotest
