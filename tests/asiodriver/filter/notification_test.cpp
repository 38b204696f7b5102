// The URB-size notification the streaming thread waits on.
#include "filter_machine.h"

namespace asiofiltertest {
namespace {

class Notification : public FilterMachineTest {
 protected:
  void SetUp() override {
    device = Plug("Larch");
    ASSERT_NE(device, nullptr);
    lists.push_back(Enumerate());
    lists.push_back(Enumerate());
    listener = FilterOf(*lists[0], *device);
    panel = FilterOf(*lists[1], *device);
    ASSERT_TRUE(listener != nullptr && panel != nullptr);
    event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
  }
  void TearDown() override {
    if (event != nullptr) CloseHandle(event);
    FilterMachineTest::TearDown();
  }
  bool Signalled() { return WaitForSingleObject(event, 2000) == WAIT_OBJECT_0; }

  PluggedDevice *device = nullptr;
  CQZAudioFilter *listener = nullptr;  // the streaming side
  CQZAudioFilter *panel = nullptr;     // another client changing the mode
  HANDLE event = nullptr;
};

TEST_F(Notification, AnotherClientsModeChangeSignalsUntilDisabled) {
  ASSERT_EQ(listener->EnableNotification(event), S_OK);
  ASSERT_EQ(panel->SetUrbSize(UAC_URB_SIZE_MIXING), S_OK);
  EXPECT_TRUE(Signalled());
  ASSERT_EQ(panel->SetUrbSize(UAC_URB_SIZE_BALANCED), S_OK);
  EXPECT_TRUE(Signalled()) << "every change";

  ASSERT_EQ(listener->DisableNotifications(), S_OK);
  ASSERT_EQ(panel->SetUrbSize(UAC_URB_SIZE_MIXING), S_OK);
  EXPECT_FALSE(Signalled()) << "disabled";
  EXPECT_EQ(listener->GetUrbSize(), UAC_URB_SIZE_MIXING);
}

TEST_F(Notification, AnInvalidEventHandleIsRefused) {
  EXPECT_EQ(listener->EnableNotification(nullptr), E_INVALIDARG);
  EXPECT_EQ(listener->EnableNotification(INVALID_HANDLE_VALUE), E_INVALIDARG);
}

}  // namespace
}  // namespace asiofiltertest
