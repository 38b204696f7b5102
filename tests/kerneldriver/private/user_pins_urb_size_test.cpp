// A performance-mode change from one user-mode client while two others
// stream through real pins (render and capture, opened with KsCreatePin):
// their frames keep completing, the ramp they move breaks at most once where
// the streams restarted, and the new UrbSize shows in every answer.
#include <cstring>

#include "../pin/pin_fixture.h"
#include "../pin/ramp_checks.h"
#include "private_client.h"

namespace privtest {
namespace {

using pintest::CPinClient;
using pintest::Flow;
using pintest::WaveShape;

constexpr WaveShape kPcm16{2, 48000, 16, 16, false};

// The frame (modulo the ramp's period) a left-channel sample of a stereo
// Ramp16 stands for.
uint32_t RampFrame(int16_t sample) {
  const int32_t x = sample > 0 ? sample - 1 + 32500 : sample + 32500;
  return static_cast<uint32_t>(x) / 2;
}

// Places where the left channel's ramp does not go on from the frame
// before, silence skipped.
uint32_t RampBreaks(const std::vector<int16_t> &left) {
  uint32_t breaks = 0;
  bool started = false;
  uint32_t previous = 0;
  for (int16_t sample : left) {
    if (sample == 0) continue;
    const uint32_t frame = RampFrame(sample);
    if (started && frame != (previous + 1) % 32500) ++breaks;
    started = true;
    previous = frame;
  }
  return breaks;
}

class UserPinsUrbSizeTest : public pintest::PinTest {};

TEST_F(UserPinsUrbSizeTest, StreamsKeepRunningThroughAPerformanceModeChange) {
  PlugLoopback("Birch");
  RecordPlayed();
  CPinClient &render = OpenClient(false, kPcm16);
  CPinClient &capture = OpenClient(true, kPcm16);
  ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
  ASSERT_TRUE(render.SetState(KSSTATE_RUN));
  auto panel = ConnectTo(machine, pdo);
  ASSERT_TRUE(panel);
  HANDLE changed = panel->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_URB_SIZE_CHANGED);
  ASSERT_NE(changed, nullptr);
  const uint32_t urbSize = Ctx().urbSize == 5 ? 4 : 5;

  Flow play{&render, false, pintest::RampWriter(kPcm16)};
  Flow record{&capture, true, {}};
  CReply set;
  Pump({&play, &record}, 600, 10, 6, [&](uint32_t round) {
    if (round == 20) set = panel->SetU32(KSPROPERTY_UAC_URB_SIZE, urbSize);
  });
  ASSERT_TRUE(set.ok) << set.error;
  EXPECT_TRUE(CPrivateClient::Signalled(changed));
  EXPECT_FALSE(play.failed);
  EXPECT_FALSE(record.failed);

  EXPECT_EQ(panel->GetU32(KSPROPERTY_UAC_URB_SIZE).U32(), urbSize);
  EXPECT_EQ(Ctx().renderStream->framesPerUrb, urbSize);
  EXPECT_EQ(Ctx().captureStream->framesPerUrb, urbSize);
  KSPROPERTY framingRequest{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_TYPE_GET};
  KSALLOCATOR_FRAMING framing{};
  DWORD returned = 0;
  ASSERT_TRUE(render.PinProperty(&framingRequest, sizeof framingRequest, &framing, sizeof framing, &returned));
  EXPECT_EQ(framing.FrameSize, urbSize * 48u * 4u);
  CReply clients = panel->Property(KSPROPERTY_UAC_RENDER_CLIENTS, KSPROPERTY_TYPE_GET, std::vector<uint8_t>(16));
  ASSERT_TRUE(clients.ok) << clients.error;
  EXPECT_EQ(clients.bytes, 4u) << "the render pin is attached again";

  uint32_t channels = 0;
  const std::vector<int32_t> played = Played(&channels);
  ASSERT_GE(channels, 2u);
  std::vector<int16_t> playedLeft;
  for (size_t i = 0; i < played.size(); i += channels) playedLeft.push_back(static_cast<int16_t>(played[i] >> 16));
  std::vector<int16_t> capturedLeft;
  for (size_t i = 0; i + 4 <= record.captured.size(); i += 4) {
    int16_t sample = 0;
    std::memcpy(&sample, record.captured.data() + i, sizeof sample);
    capturedLeft.push_back(sample);
  }
  EXPECT_LT(pintest::FirstSound(playedLeft, 1), playedLeft.size()) << "the ramp was played";
  EXPECT_GT(capturedLeft.size(), 48000u * 500 / 1000) << "capture went on";
  EXPECT_LE(RampBreaks(playedLeft), 1u) << "the render ramp breaks only where the streams restarted";
  EXPECT_LE(RampBreaks(capturedLeft), 1u) << "so does what comes back";
  size_t discontinuities = 0;
  for (ULONG flags : record.flags) discontinuities += (flags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
  EXPECT_LE(discontinuities, 1u);
}

}  // namespace
}  // namespace privtest
