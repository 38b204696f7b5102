// The list of devices the ASIO driver builds: every present QavAudio device,
// opened with its pins enumerated and its friendly name, in a stable order.
#include <set>

#include "filter_machine.h"
#include "winsim/devices/catalog.h"
#include "winsim/user/handles.h"

namespace asiofiltertest {
namespace {

using EnumerationTest = FilterMachineTest;

TEST_F(EnumerationTest, NoDeviceGivesAnEmptyList) {
  auto list = Enumerate();
  EXPECT_EQ(list->GetFilterCount(), 0u);
  EXPECT_EQ(list->GetFilter(0), nullptr);
}

TEST_F(EnumerationTest, OneDeviceIsOpenedWithItsPinsAndName) {
  PluggedDevice *alder = Plug("Alder");
  ASSERT_NE(alder, nullptr);
  auto list = Enumerate();
  ASSERT_EQ(list->GetFilterCount(), 1u);
  CQZAudioFilter *filter = list->GetFilter(0);
  EXPECT_TRUE(SamePath(filter->GetFilterName(), ClientPath(*alder)));
  EXPECT_STRNE(filter->GetFriendlyName(), "");
  EXPECT_STREQ(filter->GetFriendlyName(), list->GetDevice(0)->FriendlyName);
  EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->GetHandle()));
  EXPECT_EQ(filter->GetRenderPinCount(), 1);
  EXPECT_EQ(filter->GetCapturePinCount(), 1);
  EXPECT_EQ(filter->GetVendorId(), 0) << "ids are read on request only";
  EXPECT_FALSE(filter->PinsAreOpen());
}

TEST_F(EnumerationTest, TwoDevicesEachGetTheirOwnFilterAndTheOrderIsStable) {
  PluggedDevice *larch = Plug("Larch");
  PluggedDevice *maple = Plug("Maple");
  ASSERT_TRUE(larch != nullptr && maple != nullptr);
  const size_t handles = winsim::HandleTable::Instance().OpenHandles();
  {
    auto list = Enumerate();
    ASSERT_EQ(list->GetFilterCount(), 2u);
    CQZAudioFilter *larchFilter = FilterOf(*list, *larch);
    CQZAudioFilter *mapleFilter = FilterOf(*list, *maple);
    ASSERT_TRUE(larchFilter != nullptr && mapleFilter != nullptr);
    EXPECT_NE(larchFilter, mapleFilter);
    EXPECT_EQ(larchFilter->GetCapturePinCount(), 1);
    EXPECT_EQ(mapleFilter->GetCapturePinCount(), 0) << "Maple is render-only";
    ASSERT_EQ(larchFilter->ReadDeviceIds(), 0u);
    ASSERT_EQ(mapleFilter->ReadDeviceIds(), 0u);
    EXPECT_EQ(larchFilter->GetProductId(), winsim::devices::FindModel("Larch")->productId);
    EXPECT_EQ(mapleFilter->GetProductId(), winsim::devices::FindModel("Maple")->productId);
    EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles + 2) << "one filter handle per device";

    auto again = Enumerate();
    ASSERT_EQ(again->GetFilterCount(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_TRUE(SamePath(again->GetFilter(i)->GetFilterName(), list->GetFilter(i)->GetFilterName()))
          << "a second enumeration sees the devices in the same order";
    }
  }
  EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles) << "the lists closed their filters";
}

}  // namespace
}  // namespace asiofiltertest
