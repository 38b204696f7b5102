// TKsFilterList against QavAudio on a Machine: every accepted device opened
// as a filter, in map order; devices whose filter does not open, or is not
// acceptable, left out; filters let go with their entries.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "enum_machine.h"
#include "test_filter.h"
#include "uac2common/directks/filter_list.h"
#include "uac2common/uac2private.h"
#include "winsim/user/handles.h"

namespace {

using enumtest::ClientInterface;
using enumtest::TestFilter;

class FilterListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestFilter::liveCount = 0;
    TestFilter::pinResult = S_OK;
    TestFilter::pinEnumerations = 0;
  }
  void TearDown() override { EXPECT_EQ(TestFilter::liveCount, 0) << "every filter was let go"; }

  enumtest::EnumMachine machine{{"Maple", "Rowan"}};
};

TEST_F(FilterListTest, EveryDeviceIsOpenedAsAFilterHeldInDeviceOrder) {
  machine.Plug("Maple", ClientInterface{u"Studio Maple", std::nullopt});
  machine.Plug("Rowan");
  TKsFilterList<TestFilter> list(GUID_DEVINTERFACE_UacClient);
  list.EnumerateDevices();
  ASSERT_EQ(list.GetDeviceCount(), 2u);
  ASSERT_EQ(list.GetFilterCount(), 2u);
  EXPECT_EQ(TestFilter::liveCount, 2);
  EXPECT_EQ(TestFilter::pinEnumerations, 2);

  // The device list's order, whatever the order of the entries' addresses.
  const DeviceEntry *first = list.GetDevice(0);
  const DeviceEntry *second = list.GetDevice(1);
  EXPECT_EQ(list.GetFilter(0)->Path(), std::string(first->DevicePath));
  EXPECT_EQ(list.GetFilter(1)->Path(), std::string(second->DevicePath));
  EXPECT_EQ(list.GetFilter(2), nullptr);
  for (size_t i = 0; i < 2; ++i) {
    TestFilter *filter = list.GetFilter(i);
    EXPECT_NE(filter->Handle(), INVALID_HANDLE_VALUE) << "the filter is open";
    EXPECT_EQ(filter->References(), 1) << "the map holds the only reference";
    const DeviceEntry *entry = i == 0 ? first : second;
    EXPECT_EQ(filter->FriendlyName(), std::string(entry->FriendlyName));
  }

  list.EnumerateDevices();
  EXPECT_EQ(list.GetFilterCount(), 2u) << "nothing is opened twice";
  EXPECT_EQ(TestFilter::liveCount, 2);

  // Removing an entry lets its filter go and closes its handle.
  const size_t handles = winsim::HandleTable::Instance().OpenHandles();
  const std::string removed = list.GetDevice(0)->DevicePath;
  list.RemoveDevice(removed.c_str());
  EXPECT_EQ(list.GetFilterCount(), 1u);
  EXPECT_EQ(TestFilter::liveCount, 1);
  EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles - 1);
  EXPECT_NE(list.GetFilter(0)->Path(), removed);
}

TEST_F(FilterListTest, AnInterfaceWhoseFilterDoesNotOpenIsNotListed) {
  machine.Plug("Maple");
  // Rowan gets a second client interface that leads to no filter.
  machine.Plug("Rowan", ClientInterface{std::nullopt, u"NOFILTER"});
  const size_t offered = machine.machine.Pnp().Interfaces(&GUID_DEVINTERFACE_UacClient, true).size();
  ASSERT_EQ(offered, 3u);
  TKsFilterList<TestFilter> list(GUID_DEVINTERFACE_UacClient);
  list.EnumerateDevices();
  ASSERT_EQ(list.GetDeviceCount(), offered - 1);
  ASSERT_EQ(list.GetFilterCount(), offered - 1);
  EXPECT_EQ(TestFilter::liveCount, static_cast<int>(offered - 1)) << "the filter that failed was destroyed";
  for (size_t i = 0; i < list.GetDeviceCount(); ++i) {
    EXPECT_EQ(std::string(list.GetDevice(i)->DevicePath).find("nofilter"), std::string::npos);
    EXPECT_NE(list.GetFilter(i)->Handle(), INVALID_HANDLE_VALUE);
  }
}

TEST_F(FilterListTest, AFilterWhosePinsCannotBeEnumeratedIsStillListed) {
  machine.Plug("Maple");
  TestFilter::pinResult = E_FAIL;
  TKsFilterList<TestFilter> list(GUID_DEVINTERFACE_UacClient);
  list.EnumerateDevices();
  EXPECT_EQ(list.GetFilterCount(), 1u);
  EXPECT_EQ(list.GetDeviceCount(), 1u);
}

class PickyList : public TKsFilterList<TestFilter> {
 public:
  explicit PickyList(std::string refused) : TKsFilterList(KSCATEGORY_UacPrivate), m_refused(std::move(refused)) {}

 protected:
  bool IsFilterAcceptable(TestFilter *filter) override { return filter->Path() != m_refused; }

 private:
  std::string m_refused;
};

TEST_F(FilterListTest, AFilterTheListDoesNotAcceptLeavesNoEntry) {
  PDEVICE_OBJECT maple = machine.Plug("Maple");
  machine.Plug("Rowan");
  PickyList list(machine.Path(maple, KSCATEGORY_UacPrivate));
  list.EnumerateDevices();
  ASSERT_EQ(list.GetDeviceCount(), 1u);
  ASSERT_EQ(list.GetFilterCount(), 1u);
  EXPECT_NE(std::string(list.GetDevice(0)->DevicePath), machine.Path(maple, KSCATEGORY_UacPrivate));
  EXPECT_EQ(TestFilter::liveCount, 1);
}

TEST_F(FilterListTest, DestroyingTheListLetsEveryFilterGo) {
  machine.Plug("Maple");
  machine.Plug("Rowan");
  const size_t handles = winsim::HandleTable::Instance().OpenHandles();
  {
    TKsFilterList<TestFilter> list(KSCATEGORY_UacPrivate);
    list.EnumerateDevices();
    EXPECT_EQ(TestFilter::liveCount, 2);
    EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles + 2);
  }
  EXPECT_EQ(TestFilter::liveCount, 0);
  EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles);
}

}  // namespace
