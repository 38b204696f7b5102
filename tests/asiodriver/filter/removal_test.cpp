// A device unplugged under an open filter: every operation fails with a status
// or reads 0, nothing crashes, and the filter and list still close cleanly.
#include "filter_machine.h"
#include "winsim/user/handles.h"

namespace asiofiltertest {
namespace {

using Removal = FilterMachineTest;

void ExpectEveryOperationFails(CQZAudioFilter *filter) {
  EXPECT_EQ(filter->GetUrbSize(), 0u);
  EXPECT_TRUE(FAILED(filter->SetUrbSize(UAC_URB_SIZE_MIXING)));
  EXPECT_EQ(filter->GetActiveSampleRate(), 0u);
  EXPECT_EQ(filter->GetDeviceSampleRate(), 0u);
  ULONG rates[UAC_MAX_SAMPLE_RATES];
  ULONG written = 99;
  EXPECT_TRUE(FAILED(filter->GetSampleRates(rates, UAC_MAX_SAMPLE_RATES, &written)));
  EXPECT_EQ(written, 0u);
  ClockSourceInfo info;
  EXPECT_TRUE(FAILED(filter->GetClockSourceInfo(0, &info)));
  EXPECT_EQ(filter->GetClockSource(), 0u);
  EXPECT_TRUE(FAILED(filter->SetClockSource(0)));
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  EXPECT_TRUE(FAILED(filter->EnableNotification(event)));
  CloseHandle(event);
  EXPECT_EQ(filter->ReadDeviceIds(), 1u);
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  EXPECT_FALSE(filter->GetChannelNames(inputs, outputs));
  EXPECT_EQ(filter->GetFramesPerPacket(), 0u);
}

TEST_F(Removal, EveryOperationFailsOnceTheDeviceIsGone) {
  PluggedDevice *alder = Plug("Alder");
  ASSERT_NE(alder, nullptr);
  const size_t handles = winsim::HandleTable::Instance().OpenHandles();
  {
    auto list = Enumerate();
    CQZAudioFilter *filter = FilterOf(*list, *alder);
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(filter->ReadDeviceIds(), 0u);
    const USHORT product = filter->GetProductId();
    ASSERT_TRUE(filter->OpenPins(48000));
    ASSERT_EQ(filter->SetPinsState(KSSTATE_RUN), S_OK);
    machine.RunFor(20 * winsim::kTicksPerMillisecond);

    Unplug(alder, true);
    ExpectEveryOperationFails(filter);
    EXPECT_EQ(filter->GetProductId(), product) << "the ids read before stay";
    EXPECT_TRUE(FAILED(filter->SetPinsState(KSSTATE_STOP)));
    EXPECT_EQ(filter->CancelPinIo(), S_OK);
    filter->ClosePins();
    EXPECT_FALSE(filter->PinsAreOpen());
    EXPECT_FALSE(filter->OpenPins(48000));
    EXPECT_FALSE(filter->PinsAreOpen()) << "nothing half open";
  }
  EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles) << "the list closed the dead filter";
  EXPECT_EQ(Enumerate()->GetFilterCount(), 0u);
}

}  // namespace
}  // namespace asiofiltertest
