// Audio pins reached the way the user-mode components reach them: the
// filter opened by its interface path, pins created with KsCreatePin, state
// set through IOCTL_KS_PROPERTY, frames moved by overlapped stream requests.
// What reaches the simulated device and what comes back is compared sample
// by sample.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kerneldriver/device/sample_rate.h"
#include "pin_fixture.h"
#include "ramp_checks.h"
#include "winsim/kernel/pool.h"

namespace pintest {
namespace {

constexpr WaveShape kPcm16{2, 48000, 16, 16, false};
constexpr WaveShape kExtensible24In32{2, 48000, 32, 24, true};

// Minutes of soak for a figure run (QAV_PIN_SOAK_SECONDS); a second otherwise.
uint32_t SoakMilliseconds() {
  const char *seconds = std::getenv("QAV_PIN_SOAK_SECONDS");
  return seconds != nullptr ? static_cast<uint32_t>(std::atoi(seconds)) * 1000u : 1000u;
}

struct Exactness {
  WaveShape shape;
  ULONG urbSize;
};

class UserStreamExactness : public PinTest, public ::testing::WithParamInterface<Exactness> {};

TEST_P(UserStreamExactness, ARampWrittenReachesTheDeviceAndItsLoopbackComesBackUnaltered) {
  PlugLoopback("Birch");
  ASSERT_EQ(UsbAudioDeviceSetUrbSize(&Ctx(), GetParam().urbSize), STATUS_SUCCESS);
  RecordPlayed();
  const WaveShape shape = GetParam().shape;
  CPinClient &render = OpenClient(false, shape);
  CPinClient &capture = OpenClient(true, shape);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Flow play{&render, false, RampWriter(shape)};
  Flow record{&capture, true, {}};
  const uint32_t milliseconds = SoakMilliseconds();
  Pump({&play, &record}, milliseconds);
  ASSERT_TRUE(render.SetState(KSSTATE_STOP));
  ASSERT_TRUE(capture.SetState(KSSTATE_STOP));
  uint32_t channels = 0;
  std::vector<int32_t> played = Played(&channels);
  ExpectPlayedRamp(played, channels, shape, play.framesSent);
  ExpectCapturedRamp(record.captured, shape, static_cast<uint64_t>(shape.rate) * milliseconds / 1000 / 2);
  for (ULONG flags : record.flags) EXPECT_EQ(flags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
  EXPECT_FALSE(play.failed);
  EXPECT_FALSE(record.failed);
}

INSTANTIATE_TEST_SUITE_P(Formats, UserStreamExactness,
                         ::testing::Values(Exactness{kPcm16, 1}, Exactness{kPcm16, 3}, Exactness{kPcm16, 5},
                                           Exactness{kExtensible24In32, 1}, Exactness{kExtensible24In32, 3},
                                           Exactness{kExtensible24In32, 5},
                                           Exactness{WaveShape{2, 44100, 16, 16, false}, 3},
                                           Exactness{WaveShape{2, 96000, 32, 24, true}, 1}));

struct NarrowSubslot {
  const char *model;
  uint32_t subslot;  // of the model's render and capture settings
  WaveShape shape;
};

class UserStreamNarrowSubslot : public PinTest, public ::testing::WithParamInterface<NarrowSubslot> {};

// The device side carries the top bits of the client's samples in its own
// subslot size; a 16-bit subslot is the device's resolution for a 24-bit client.
TEST_P(UserStreamNarrowSubslot, ARampArrivesAtTheDeviceResolutionAndComesBack) {
  const NarrowSubslot &p = GetParam();
  PlugLoopback(p.model);
  ASSERT_EQ(Ctx().renderStream->subslot, p.subslot);
  ASSERT_EQ(Ctx().captureStream->subslot, p.subslot);
  RecordPlayed();
  CPinClient &render = OpenClient(false, p.shape);
  CPinClient &capture = OpenClient(true, p.shape);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Flow play{&render, false, RampWriter(p.shape)};
  Flow record{&capture, true, {}};
  Pump({&play, &record}, 500);
  ASSERT_TRUE(render.SetState(KSSTATE_STOP));
  ASSERT_TRUE(capture.SetState(KSSTATE_STOP));
  uint32_t channels = 0;
  uint32_t subslot = 0;
  std::vector<int32_t> played = Played(&channels, &subslot);
  ExpectPlayedRamp(played, channels, p.shape, play.framesSent, subslot);
  ExpectCapturedRamp(record.captured, p.shape, p.shape.rate / 4, p.subslot);
  EXPECT_FALSE(play.failed);
  EXPECT_FALSE(record.failed);
}

INSTANTIATE_TEST_SUITE_P(Models, UserStreamNarrowSubslot,
                         ::testing::Values(NarrowSubslot{"Alder", 3, kPcm16}, NarrowSubslot{"Alder", 3, kExtensible24In32},
                                           NarrowSubslot{"Hazel", 2, kPcm16},
                                           NarrowSubslot{"Hazel", 2, kExtensible24In32}));

using UserStreamTest = PinTest;

std::function<void(uint64_t, uint8_t *)> ConstantWriter(int16_t left, int16_t right) {
  return [left, right](uint64_t, uint8_t *out) {
    std::memcpy(out, &left, 2);
    std::memcpy(out + 2, &right, 2);
  };
}

TEST_F(UserStreamTest, TwoRenderClientsMixWithSaturationAtFullScale) {
  PlugLoopback("Birch");
  RecordPlayed();
  CPinClient &first = OpenClient(false, kPcm16);
  CPinClient &second = OpenClient(false, kPcm16);
  ASSERT_TRUE(first.SetState(KSSTATE_RUN));
  ASSERT_TRUE(second.SetState(KSSTATE_RUN));
  Flow a{&first, false, ConstantWriter(32767, -32768)};
  Flow b{&second, false, ConstantWriter(32767, -32768)};
  Pump({&a, &b}, 300);
  uint32_t channels = 0;
  const std::vector<int32_t> played = Played(&channels);
  ASSERT_GE(channels, 2u);
  uint64_t clipped = 0;
  for (size_t f = 0; (f + 1) * channels <= played.size(); ++f) {
    const int32_t left = played[f * channels];
    const int32_t right = played[f * channels + 1];
    if (left == 2147483647 && right == -2147483647) ++clipped;
    EXPECT_NE(right, INT32_MIN) << "the clamp is symmetric";
  }
  EXPECT_GE(clipped, 48000u * 250 / 1000) << "both clients' frames clip together";
}

TEST_F(UserStreamTest, TwoCaptureClientsEachGetEverySample) {
  PlugLoopback("Birch");
  CPinClient &render = OpenClient(false, kPcm16);
  CPinClient &first = OpenClient(true, kPcm16);
  CPinClient &second = OpenClient(true, kPcm16);
  ASSERT_TRUE(first.SetState(KSSTATE_RUN));
  ASSERT_TRUE(second.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Flow play{&render, false, RampWriter(kPcm16)};
  Flow a{&first, true, {}};
  Flow b{&second, true, {}};
  Pump({&play, &a, &b}, 500);
  ExpectCapturedRamp(a.captured, kPcm16, 48000 / 4);
  ExpectCapturedRamp(b.captured, kPcm16, 48000 / 4);
}

// A second client streaming while the first enters and leaves RUN over and
// over: the pins table changes under running completions and the first
// client's ramp goes on unbroken.
TEST_F(UserStreamTest, PinsAttachAndDetachWhileAnotherStreams) {
  PlugLoopback("Birch");
  RecordPlayed();
  CPinClient &steady = OpenClient(false, kPcm16);
  CPinClient &churn = OpenClient(true, kPcm16);
  ASSERT_TRUE(steady.SetState(KSSTATE_RUN));
  Flow play{&steady, false, RampWriter(kPcm16)};
  Pump({&play}, 600, 10, 6, [&](uint32_t round) {
    EXPECT_TRUE(churn.SetState(round % 2 == 0 ? KSSTATE_RUN : KSSTATE_PAUSE));
  });
  EXPECT_FALSE(play.failed);
  uint32_t channels = 0;
  const std::vector<int32_t> played = Played(&channels);
  ExpectPlayedRamp(played, channels, kPcm16, play.framesSent);
}

TEST_F(UserStreamTest, ACaptureClientThatFellBehindIsToldOnItsNextFrame) {
  PlugLoopback("Birch");
  CPinClient &capture = OpenClient(true, kPcm16);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  Flow record{&capture, true, {}};
  Pump({&record}, 100);
  for (ULONG flags : record.flags) EXPECT_EQ(flags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
  Sleep(50);  // no frame queued: regions are dropped unread
  Flow resumed{&capture, true, {}};
  Pump({&resumed}, 50);
  ASSERT_FALSE(resumed.flags.empty());
  EXPECT_NE(resumed.flags[0] & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
  for (size_t i = 1; i < resumed.flags.size(); ++i) {
    EXPECT_EQ(resumed.flags[i] & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u) << i;
  }
}

TEST_F(UserStreamTest, FramesCarryTimeStampsThatFollowThePosition) {
  PlugLoopback("Birch");
  CPinClient &capture = OpenClient(true, kPcm16);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  for (int i = 0; i < 4; ++i) capture.Read(480 * 4);
  for (int i = 0; i < 4; ++i) {
    CStreamRequest done;
    ASSERT_TRUE(capture.WaitOldest(1000, &done));
    const ULONG both = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    EXPECT_EQ(done.header.OptionsFlags & both, both);
    EXPECT_EQ(done.header.PresentationTime.Time, i * 100000) << "10 ms per frame, in 100 ns";
    EXPECT_EQ(done.header.Duration, 100000);
  }
  KSPROPERTY property{KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET};
  KSAUDIO_POSITION position{};
  DWORD returned = 0;
  ASSERT_TRUE(capture.PinProperty(&property, sizeof property, &position, sizeof position, &returned));
  EXPECT_EQ(returned, sizeof position);
  EXPECT_EQ(position.PlayOffset, 4u * 480 * 4);
  EXPECT_EQ(position.WriteOffset, 4u * 480 * 4);
}

TEST_F(UserStreamTest, TheFirstPinSetsTheRateAndLaterPinsMustUseIt) {
  PlugLoopback("Birch");
  CPinClient &first = OpenClient(false, WaveShape{2, 44100, 16, 16, false});
  EXPECT_EQ(Ctx().sampleRate, 44100u);
  EXPECT_EQ(device->ActiveRate(), 44100u);
  CPinClient &refused = NewClient();
  EXPECT_EQ(refused.CreatePin(StreamingPinId(true), kPcm16), DWORD(ERROR_NO_SYSTEM_RESOURCES));
  CPinClient &same = NewClient();
  EXPECT_EQ(same.CreatePin(StreamingPinId(true), WaveShape{2, 44100, 16, 16, false}), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(Ctx().openAudioPins, 2);
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), 48000), kStatusAudioPinsOpen);
  first.ClosePin();
  same.ClosePin();
  EXPECT_EQ(Ctx().openAudioPins, 0);
  EXPECT_EQ(refused.CreatePin(StreamingPinId(true), kPcm16), DWORD(ERROR_SUCCESS)) << "an idle device takes a new rate";
  EXPECT_EQ(Ctx().sampleRate, 48000u);
}

TEST_F(UserStreamTest, SurpriseRemovalCompletesQueuedFramesAndTheDriverUnloadsClean) {
  PlugLoopback("Birch");
  CPinClient &render = OpenClient(false, kPcm16);
  CPinClient &capture = OpenClient(true, kPcm16);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Flow play{&render, false, RampWriter(kPcm16)};
  Flow record{&capture, true, {}};
  Pump({&play, &record}, 100);
  for (int i = 0; i < 20; ++i) {
    render.Write(std::vector<uint8_t>(4800 * 4));
    capture.Read(4800 * 4);
  }
  Unplug(/*surprise=*/true);
  for (CPinClient *client : {&render, &capture}) {
    while (client->InFlight() > 0) {
      CStreamRequest done;
      ASSERT_TRUE(client->WaitOldest(1000, &done)) << "a queued frame came back";
    }
  }
  EXPECT_NE(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "REMOVE_DEVICE waits for the handles";
  clients.clear();
  // The removal the last close lets go on is queued from the closing thread.
  for (int i = 0; i < 100 && machine.Pnp().LoadedDriver(u"QavAudio") != nullptr; ++i) {
    Sleep(10);
    machine.Pnp().WaitIdle();
  }
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "unloaded, its pool checked";
}

// A client holding frames on a pin outside RUN is not processed, so its
// frames would wait for a close that the client may only make after it
// hears of the removal from them.
TEST_F(UserStreamTest, SurpriseRemovalGivesBackFramesQueuedOnPausedPins) {
  PlugLoopback("Birch");
  CPinClient &render = OpenClient(false, kPcm16);
  CPinClient &capture = OpenClient(true, kPcm16);
  CPinClient &running = OpenClient(false, kPcm16);
  ASSERT_TRUE(render.SetState(KSSTATE_PAUSE));
  ASSERT_TRUE(capture.SetState(KSSTATE_PAUSE));
  ASSERT_TRUE(running.SetState(KSSTATE_RUN));
  std::vector<HANDLE> events;
  for (int i = 0; i < 3; ++i) {
    for (CStreamRequest *request : {&render.Write(std::vector<uint8_t>(4800, 1)), &capture.Read(4800)}) {
      ASSERT_TRUE(request->pending);
      events.push_back(request->overlapped.hEvent);
    }
  }
  EXPECT_EQ(WaitForSingleObject(events.front(), 50), DWORD(WAIT_TIMEOUT)) << "paused pins hold their frames";
  Unplug(/*surprise=*/true);
  for (HANDLE event : events) EXPECT_EQ(WaitForSingleObject(event, 1000), DWORD(WAIT_OBJECT_0));
}

TEST_F(UserStreamTest, AClosedPinGivesItsQueuedFramesBack) {
  PlugLoopback("Birch");
  CPinClient &capture = OpenClient(true, kPcm16);
  ASSERT_TRUE(capture.SetState(KSSTATE_PAUSE));
  CStreamRequest &queued = capture.Read(4800);
  ASSERT_TRUE(queued.pending);
  HANDLE event = queued.overlapped.hEvent;
  CloseHandle(capture.Pin());
  EXPECT_EQ(WaitForSingleObject(event, 1000), DWORD(WAIT_OBJECT_0));
}

// Between RUN and STOP, with frames queued ahead, the data path allocates
// nothing: neither the streams' completions nor the pins' processing.
TEST_F(UserStreamTest, StreamingAllocatesNothing) {
  PlugLoopback("Birch");
  CPinClient &render = OpenClient(false, kPcm16);
  CPinClient &capture = OpenClient(true, kPcm16);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  for (int i = 0; i < 30; ++i) {
    render.Write(std::vector<uint8_t>(480 * 4, 1));
    capture.Read(480 * 4);
  }
  CStreamRequest done;
  ASSERT_TRUE(capture.WaitOldest(1000, &done));
  const uint64_t before = winsim::Pool::Instance().AllocationCount();
  Sleep(150);
  const uint64_t after = winsim::Pool::Instance().AllocationCount();
  EXPECT_EQ(after, before);
  ASSERT_TRUE(capture.WaitOldest(1000, &done));
  EXPECT_EQ(done.header.DataUsed, 480u * 4) << "frames moved in the window";
}


KSP_UAC_INDEX ChannelNameRequest(ULONG channel) {
  KSP_UAC_INDEX request{};
  request.Property.Set = KSPROPSETID_UacPrivate;
  request.Property.Id = KSPROPERTY_UAC_CHANNEL_NAME;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.Index = channel;
  return request;
}

TEST_F(UserStreamTest, PinPropertiesAnswerFromTheStreamAndTheFormat) {
  PlugLoopback("Birch");
  CPinClient &render = OpenClient(false, kExtensible24In32);
  DWORD returned = 0;
  DWORD error = 0;
  KSPROPERTY framingRequest{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_TYPE_GET};
  KSALLOCATOR_FRAMING framing{};
  ASSERT_TRUE(render.PinProperty(&framingRequest, sizeof framingRequest, &framing, sizeof framing, &returned));
  EXPECT_EQ(framing.Frames, 8u);
  EXPECT_EQ(framing.FrameSize, Ctx().urbSize * 48u * 8u);
  EXPECT_EQ(framing.OptionsFlags, ULONG(KSALLOCATOR_OPTIONF_SYSTEM_MEMORY));

  KSNODEPROPERTY configRequest{{KSPROPSETID_Audio, KSPROPERTY_AUDIO_CHANNEL_CONFIG, KSPROPERTY_TYPE_SET}, 0, 0};
  LONG config = 0x33;
  ASSERT_TRUE(render.PinProperty(&configRequest, sizeof configRequest, &config, sizeof config, &returned));
  configRequest.Property.Flags = KSPROPERTY_TYPE_GET;
  config = 0;
  ASSERT_TRUE(render.PinProperty(&configRequest, sizeof configRequest, &config, sizeof config, &returned));
  EXPECT_EQ(config, 0x33);

  const ULONG channels = Ctx().renderStream->channels;
  char16_t name[64] = {};
  KSP_UAC_INDEX nameRequest = ChannelNameRequest(0);
  ASSERT_TRUE(render.PinProperty(&nameRequest, sizeof nameRequest, name, sizeof name, &returned));
  EXPECT_EQ(std::u16string(name), u"Line Out 1");
  nameRequest = ChannelNameRequest(channels);
  EXPECT_FALSE(render.PinProperty(&nameRequest, sizeof nameRequest, name, sizeof name, &returned, &error));
  EXPECT_EQ(error, DWORD(ERROR_INVALID_PARAMETER));

  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Sleep(100);
  ASSERT_TRUE(render.SetState(KSSTATE_STOP));
  KSPROPERTY timingRequest{KSPROPSETID_UacPrivate, KSPROPERTY_UAC_URB_TIMING, KSPROPERTY_TYPE_GET};
  UrbTimingInfo timing{};
  ASSERT_TRUE(render.PinProperty(&timingRequest, sizeof timingRequest, &timing, sizeof timing, &returned));
  EXPECT_EQ(returned, sizeof timing);
  EXPECT_GT(timing.Count, 20u) << "a run of 100 ms";
  ULONG total = 0;
  for (ULONG bucket : timing.Lateness) total += bucket;
  EXPECT_EQ(total, timing.Count);
}

TEST_F(UserStreamTest, ChannelNamesAreNotSupportedWithoutStrings) {
  winsim::devices::DeviceModel model = dstest::Model("Birch");
  for (auto &stream : model.streams) stream.channelNames.clear();
  PlugLoopback(dstest::Build(model));
  CPinClient &render = OpenClient(false, kPcm16);
  char16_t name[64] = {};
  KSP_UAC_INDEX request = ChannelNameRequest(0);
  DWORD returned = 0;
  DWORD error = 0;
  EXPECT_FALSE(render.PinProperty(&request, sizeof request, name, sizeof name, &returned, &error));
  EXPECT_EQ(error, DWORD(ERROR_NOT_SUPPORTED));
}


// Names past the 128-byte value: the client gets the part that fits, with a
// terminator, and is told that more was there.
TEST_F(UserStreamTest, AChannelNameLongerThanTheValueComesBackCutAndOverflowing) {
  winsim::devices::DeviceModel model = dstest::Model("Birch");
  const std::string longName(100, 'n');
  for (auto &stream : model.streams) stream.channelNames[1] = longName;
  PlugLoopback(dstest::Build(model));
  CPinClient &render = OpenClient(false, kPcm16);
  struct Case {
    ULONG channel;
    DWORD error;
    std::u16string name;
  };
  const Case cases[] = {
      {0, ERROR_SUCCESS, u"Line Out 1"},
      {1, ERROR_MORE_DATA, std::u16string(63, u'n')},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.channel);
    char16_t name[64];
    std::fill(std::begin(name), std::end(name), u'?');
    KSP_UAC_INDEX request = ChannelNameRequest(c.channel);
    DWORD returned = 0;
    DWORD error = ERROR_SUCCESS;
    EXPECT_EQ(render.PinProperty(&request, sizeof request, name, sizeof name, &returned, &error),
              c.error == ERROR_SUCCESS);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(returned, DWORD(sizeof name));
    EXPECT_EQ(name[63], u'\0') << "terminated";
    EXPECT_EQ(std::u16string(name), c.name);
  }
}

TEST_F(UserStreamTest, AFormatChangeOnARunningPinRestartsItsStreamOrIsRefused) {
  PlugLoopback("Birch");
  CPinClient &render = OpenClient(false, kPcm16);
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Sleep(200);
  EXPECT_EQ(ChangeFormat(Ctx(), WaveShape{2, 44100, 16, 16, false}), STATUS_NO_MATCH) << "the device keeps one rate";
  EXPECT_EQ(ChangeFormat(Ctx(), WaveShape{2, 48000, 24, 24, false}), STATUS_NO_MATCH) << "packed 24-bit";
  const uint32_t before = Ctx().renderStream->timing.Count;
  EXPECT_EQ(ChangeFormat(Ctx(), kExtensible24In32), STATUS_SUCCESS);
  Sleep(20);
  EXPECT_LT(Ctx().renderStream->timing.Count, before) << "the stream started again";
  EXPECT_GT(Ctx().renderStream->timing.Count, 0u);
  EXPECT_NE(InterlockedCompareExchange(&Ctx().renderStream->running, 0, 0), 0);
}

}  // namespace
}  // namespace pintest
