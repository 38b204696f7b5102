// An interface that carries fewer channels at higher rates (20/16/12 out,
// 18/14/10 in): a client format wider than the setting for its rate is
// refused, before it can move the device's rate, and a running wide pin
// keeps the device at its rate, so no packet is read or written past the
// channels it carries.
#include "kerneldriver/device/sample_rate.h"
#include "pin_fixture.h"
#include "ramp_checks.h"

namespace pintest {
namespace {

using ChannelLimitTest = PinTest;

struct Opening {
  bool capture;
  uint16_t channels;
  uint32_t rate;
  DWORD expected;
};

TEST_F(ChannelLimitTest, AFormatWiderThanTheSettingForItsRateIsRefused) {
  PlugLoopback("Linden");
  const Opening openings[] = {
      {false, 20, 192000, ERROR_NO_MATCH}, {false, 13, 192000, ERROR_NO_MATCH}, {false, 12, 192000, ERROR_SUCCESS},
      {false, 20, 96000, ERROR_NO_MATCH},  {false, 16, 96000, ERROR_SUCCESS},   {false, 20, 48000, ERROR_SUCCESS},
      {true, 12, 192000, ERROR_NO_MATCH},  {true, 10, 192000, ERROR_SUCCESS},   {true, 18, 44100, ERROR_SUCCESS},
  };
  for (const Opening &o : openings) {
    SCOPED_TRACE(testing::Message() << (o.capture ? "capture " : "render ") << o.channels << " at " << o.rate);
    const ULONG rateBefore = Ctx().sampleRate;
    CPinClient &client = NewClient();
    EXPECT_EQ(client.CreatePin(StreamingPinId(o.capture), WaveShape{o.channels, o.rate, 16, 16, false}), o.expected);
    if (o.expected != ERROR_SUCCESS) {
      EXPECT_EQ(Ctx().sampleRate, rateBefore) << "a refused pin leaves the rate alone";
      EXPECT_EQ(Ctx().openAudioPins, 0);
    }
    client.ClosePin();
  }
}

TEST_F(ChannelLimitTest, ANarrowPinCannotWidenPastItsSettingByAFormatChange) {
  PlugLoopback("Linden");
  CPinClient &render = OpenClient(false, WaveShape{12, 192000, 16, 16, false});
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  EXPECT_EQ(ChangeFormat(Ctx(), WaveShape{20, 192000, 16, 16, false}), STATUS_NO_MATCH);
  EXPECT_EQ(ChangeFormat(Ctx(), WaveShape{12, 192000, 32, 24, true}), STATUS_SUCCESS);
  EXPECT_EQ(Ctx().renderStream->channels, 12u);
}

TEST_F(ChannelLimitTest, ARunningWidePinKeepsTheRateAndEveryChannel) {
  PlugLoopback("Linden");
  RecordPlayed();
  const WaveShape wide{20, 48000, 16, 16, false};
  CPinClient &render = OpenClient(false, wide);
  CPinClient &capture = OpenClient(true, WaveShape{18, 48000, 16, 16, false});
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  Flow play{&render, false, RampWriter(wide)};
  Flow record{&capture, true, {}};
  uint32_t round = 0;
  Pump({&play, &record}, 300, 10, 6, [&](uint32_t r) {
    round = r;
    if (r != 10) return;
    EXPECT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), 192000), kStatusAudioPinsOpen);
    CPinClient &late = NewClient();
    EXPECT_EQ(late.CreatePin(StreamingPinId(false), WaveShape{12, 192000, 16, 16, false}),
              DWORD(ERROR_NO_SYSTEM_RESOURCES));
  });
  EXPECT_GE(round, 10u);
  EXPECT_FALSE(play.failed);
  EXPECT_FALSE(record.failed);
  EXPECT_EQ(Ctx().sampleRate, 48000u);
  EXPECT_EQ(Ctx().renderStream->channels, 20u);
  EXPECT_EQ(Ctx().captureStream->channels, 18u);
  uint32_t channels = 0;
  const std::vector<int32_t> played = Played(&channels);
  ASSERT_EQ(channels, 20u);
  ExpectPlayedRamp(played, channels, wide, play.framesSent);
}

}  // namespace
}  // namespace pintest
