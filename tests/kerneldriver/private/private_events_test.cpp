// The private events from user mode: every filter instance's event handle
// hears them, the second set accepts enabling and stays silent, and a
// surprise removal reaches every open filter before the driver goes.
#include "private_client.h"

namespace privtest {
namespace {

using PrivateEvents = PrivateTest;

TEST_F(PrivateEvents, TheSecondSetAcceptsEveryEventAndIsNeverRaised) {
  Plug("Birch");
  auto client = Connect();
  ASSERT_TRUE(client);
  std::vector<HANDLE> silent;
  for (ULONG id = 0; id < KSEVENT_UAC_COUNT; ++id) {
    DWORD error = 0;
    HANDLE event = client->EnableEvent(KSEVENTSETID_UacPrivate2, id, &error);
    ASSERT_NE(event, nullptr) << id << " " << error;
    silent.push_back(event);
  }
  HANDLE rate = client->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_SAMPLE_RATE_CHANGED);
  HANDLE urbSize = client->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_URB_SIZE_CHANGED);
  ASSERT_TRUE(rate && urbSize);
  DWORD error = 0;
  EXPECT_EQ(client->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_COUNT, &error), nullptr) << "no such event";
  EXPECT_EQ(client->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_URB_SIZE_CHANGED, &error, 8), nullptr)
      << "event data too short";

  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_SAMPLE_RATE, 96000).ok);
  const uint32_t urb = client->GetU32(KSPROPERTY_UAC_URB_SIZE).U32() == 5 ? 4 : 5;
  ASSERT_TRUE(client->SetU32(KSPROPERTY_UAC_URB_SIZE, urb).ok);
  EXPECT_TRUE(CPrivateClient::Signalled(rate));
  EXPECT_TRUE(CPrivateClient::Signalled(urbSize));
  for (HANDLE event : silent) EXPECT_FALSE(CPrivateClient::Signalled(event));
}

TEST_F(PrivateEvents, SurpriseRemovalReachesEveryOpenFilterAndTheDriverLeavesNothingBehind) {
  Plug("Larch");
  auto first = Connect();
  auto second = Connect();
  ASSERT_TRUE(first && second);
  HANDLE firstRemoved = first->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_DEVICE_REMOVED);
  HANDLE secondRemoved = second->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_DEVICE_REMOVED);
  ASSERT_TRUE(firstRemoved && secondRemoved);
  EXPECT_FALSE(CPrivateClient::Signalled(firstRemoved));

  Unplug(/*surprise=*/true);
  EXPECT_TRUE(CPrivateClient::Signalled(firstRemoved));
  EXPECT_TRUE(CPrivateClient::Signalled(secondRemoved));
  EXPECT_NE(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "the handles still hold the device";
  EXPECT_FALSE(first->GetU32(KSPROPERTY_UAC_URB_SIZE).ok);
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);

  first->Close();
  second->Close();
  machine.Pnp().WaitIdle();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "unloaded, its pool checked empty";
}

}  // namespace
}  // namespace privtest
