// The private properties while pins stream: the render clients are the
// running render stream's pins in table order, and a performance-mode change
// from user mode restarts the streams under them without losing the ramp.
#include "kerneldriver/streaming/stream_harness.h"
#include "private_client.h"

namespace privtest {
namespace {

constexpr winsim::usb::VTime kMs = 10000;

class StreamingClients : public sttest::StreamTest {};

TEST_F(StreamingClients, RenderClientsAreTheRunningRenderPinsAndAnUrbSizeChangeKeepsThemStreaming) {
  Plug("Larch");
  auto client = ConnectTo(machine, pdo);
  ASSERT_TRUE(client);
  HANDLE changed = client->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_URB_SIZE_CHANGED);
  ASSERT_NE(changed, nullptr);
  WatchPlayedOutput();
  auto [render, capture] = RunBoth();
  machine.RunFor(100 * kMs);

  CReply clients = client->Property(KSPROPERTY_UAC_RENDER_CLIENTS, KSPROPERTY_TYPE_GET, std::vector<uint8_t>(16));
  ASSERT_TRUE(clients.ok) << clients.error;
  ASSERT_EQ(clients.bytes, 4u);
  EXPECT_EQ(clients.U32(), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&render)));

  const uint32_t urbSize = Ctx().urbSize == 5 ? 4 : 5;
  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_URB_SIZE, urbSize).ok);
  EXPECT_TRUE(CPrivateClient::Signalled(changed));
  WatchPlayedOutput();
  capture.ResetChecker();
  machine.RunFor(300 * kMs);
  EXPECT_EQ(Render().framesPerUrb, urbSize);
  EXPECT_EQ(Played().Errors(), 0u);
  EXPECT_GT(Played().RampFrames(), 10000u);
  EXPECT_EQ(capture.Checker().Errors(), 0u);
  EXPECT_GT(capture.Checker().RampFrames(), 10000u);

  Leave(render);
  Leave(capture);
  clients = client->Property(KSPROPERTY_UAC_RENDER_CLIENTS, KSPROPERTY_TYPE_GET, std::vector<uint8_t>(16));
  ASSERT_TRUE(clients.ok);
  EXPECT_EQ(clients.bytes, 0u) << "no render stream runs";
}

}  // namespace
}  // namespace privtest
