// The USB performance mode from user mode: a set to the current UrbSize and
// one outside what the machine sustains change nothing and announce
// nothing; a valid one reaches every open filter's event handle and is
// stored.
#include "private_client.h"

namespace privtest {
namespace {

struct UrbSizeCase {
  const char *name;
  // The value to set, from the current and the minimum UrbSize.
  uint32_t (*value)(uint32_t current, uint32_t minimum);
  NTSTATUS status;
  bool changes;
};

const UrbSizeCase kUrbSizeCases[] = {
    {"same value", [](uint32_t current, uint32_t) { return current; }, STATUS_SUCCESS, false},
    {"below the minimum", [](uint32_t, uint32_t minimum) { return minimum - 1; }, STATUS_INVALID_PARAMETER, false},
    {"beyond what a URB carries", [](uint32_t, uint32_t) { return kMaxUrbSize + 1; }, STATUS_INVALID_PARAMETER, false},
    {"a valid change", [](uint32_t current, uint32_t) { return current == 5 ? 4u : 5u; }, STATUS_SUCCESS, true},
};

class UrbSizePropertyTest : public PrivateTest, public ::testing::WithParamInterface<UrbSizeCase> {};

TEST_P(UrbSizePropertyTest, ReachesEveryFilterOnlyWhenItChanges) {
  const UrbSizeCase &c = GetParam();
  Plug("Alder");
  auto first = Connect();
  auto second = Connect();
  ASSERT_TRUE(first && second);
  HANDLE firstEvent = first->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_URB_SIZE_CHANGED);
  HANDLE secondEvent = second->EnableEvent(KSEVENTSETID_UacPrivate, KSEVENT_UAC_URB_SIZE_CHANGED);
  ASSERT_NE(firstEvent, nullptr);
  ASSERT_NE(secondEvent, nullptr);

  const uint32_t current = first->GetU32(KSPROPERTY_UAC_URB_SIZE).U32();
  const uint32_t minimum = first->GetU32(KSPROPERTY_UAC_MIN_URB_SIZE).U32();
  ASSERT_GE(minimum, 1u);
  ASSERT_LE(minimum, 10u);
  ASSERT_GE(current, minimum);
  const std::optional<uint32_t> storedBefore = ReadDriverDword(u"UrbSize");
  const uint32_t value = c.value(current, minimum);

  EXPECT_TRUE(Ended(first->SetU32(KSPROPERTY_UAC_URB_SIZE, value), c.status)) << c.name;
  EXPECT_EQ(CPrivateClient::Signalled(firstEvent), c.changes);
  EXPECT_EQ(CPrivateClient::Signalled(secondEvent), c.changes);
  EXPECT_EQ(second->GetU32(KSPROPERTY_UAC_URB_SIZE).U32(), c.changes ? value : current);
  EXPECT_EQ(ReadDriverDword(u"UrbSize"), c.changes ? std::optional<uint32_t>(value) : storedBefore);
}

INSTANTIATE_TEST_SUITE_P(Sets, UrbSizePropertyTest, ::testing::ValuesIn(kUrbSizeCases),
                         [](const ::testing::TestParamInfo<UrbSizeCase> &info) {
                           std::string name;
                           for (const char *p = info.param.name; *p != '\0'; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name;
                         });

}  // namespace
}  // namespace privtest
