// The lists the deliverables build: TKsFilterList of the library's
// CKsAudFilter against QavAudio, for both interface classes they enumerate.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "enum_machine.h"
#include "uac2common/directks/audfilter.h"
#include "uac2common/directks/filter_list.h"
#include "uac2common/uac2private.h"
#include "winsim/user/handles.h"

namespace {

using enumtest::ClientInterface;

struct ListCase {
  const char *name;
  const GUID *interfaceClass;
};

void PrintTo(const ListCase &c, std::ostream *os) { *os << c.name; }

class AudioFilterListTest : public ::testing::TestWithParam<ListCase> {
 protected:
  enumtest::EnumMachine machine{{"Maple", "Rowan"}};
};

TEST_P(AudioFilterListTest, EveryDeviceIsOpenedWithItsAudioPins) {
  machine.Plug("Maple", ClientInterface{u"Studio Maple", std::nullopt});
  machine.Plug("Rowan");
  const size_t handles = winsim::HandleTable::Instance().OpenHandles();
  {
    TKsFilterList<CKsAudFilter> list(*GetParam().interfaceClass);
    list.EnumerateDevices();
    ASSERT_EQ(list.GetDeviceCount(), 2u);
    ASSERT_EQ(list.GetFilterCount(), 2u);
    std::set<std::string> names;
    for (size_t i = 0; i < list.GetDeviceCount(); ++i) names.insert(list.GetDevice(i)->FriendlyName);
    for (size_t i = 0; i < list.GetFilterCount(); ++i) {
      CKsAudFilter *filter = list.GetFilter(i);
      EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->GetHandle()));
      EXPECT_FALSE(filter->GetInSinkPins().IsEmpty() && filter->GetOutSinkPins().IsEmpty())
          << filter->GetFilterName() << ": the driver's filter has audio pins";
      EXPECT_EQ(names.count(filter->GetFriendlyName()), 1u) << "the entry's name was handed to the filter";
    }
    EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles + 2) << "one filter handle per device";
  }
  EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), handles) << "the list closed its filters";
}

INSTANTIATE_TEST_SUITE_P(Classes, AudioFilterListTest,
                         ::testing::Values(ListCase{"PropertyPage", &KSCATEGORY_UacPrivate},
                                           ListCase{"PanelAndAsio", &GUID_DEVINTERFACE_UacClient}),
                         [](const ::testing::TestParamInfo<ListCase> &info) { return std::string(info.param.name); });

}  // namespace
