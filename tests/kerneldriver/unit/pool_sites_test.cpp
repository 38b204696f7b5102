// Pool the driver takes through its helpers (QavAllocateNonPaged,
// QavAllocateZeroed, QavFree) is charged to the driver line that called the
// helper: leak reports, double-free reports and allocation-fault plans name
// that file, not the helper's header.
#include <gtest/gtest.h>

#include <functional>

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/ks/filter_descriptor.h"
#include "winsim/kernel/pool.h"
#include "winsim/machine.h"

namespace {

struct SiteCase {
  const char *name;
  std::function<void()> misuse;
  const char *expected;
};

class PoolSites : public ::testing::TestWithParam<SiteCase> {};

TEST_P(PoolSites, ReportsNameTheDriverLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        GetParam().misuse();
      },
      GetParam().expected);
}

void LeakAt(const std::source_location &site = std::source_location::current()) {
  winsim::Pool::Instance().CheckNoLeaks("when the driver unloaded", site);
}

INSTANTIATE_TEST_SUITE_P(
    Helpers, PoolSites,
    ::testing::Values(
        SiteCase{"LeakedDriverObject",
                 [] {
                   FilterDescriptorCreate();
                   LeakAt();
                 },
                 "tag 'KCNw': 1 block\\(s\\), [0-9]+ bytes, first allocated at "
                 "[^\n]*kerneldriver/ks/filter_descriptor.cpp"},
        SiteCase{"LeakedZeroedPagedBlock",
                 [] {
                   QavAllocateZeroed(PagedPool, 24, kTagBuffer);
                   LeakAt();
                 },
                 "tag 'Wbrk': 1 block\\(s\\), 24 bytes, first allocated at [^\n]*pool_sites_test.cpp"},
        SiteCase{"FreedTwice",
                 [] {
                   PVOID block = QavAllocateNonPaged(16, kTagBuffer);
                   QavFree(block, kTagBuffer);
                   QavFree(block, kTagBuffer);
                 },
                 "BAD_POOL_CALLER.*\n.*pool block freed twice\n +at [^\n]*pool_sites_test.cpp"}),
    [](const auto &info) { return std::string(info.param.name); });

// A fault plan that names a driver file fails that file's allocations.
TEST(PoolSites, AFaultPlanNamingADriverFileFailsItsAllocations) {
  winsim::Machine machine;
  machine.ArmAllocationFaults({.sites = {"kerneldriver/ks/filter_descriptor.cpp"}, .failNth = 1});
  EXPECT_EQ(FilterDescriptorCreate(), nullptr);
  DynamicFilterDescriptor *second = FilterDescriptorCreate();
  EXPECT_NE(second, nullptr);
  FilterDescriptorFree(second);
}

}  // namespace
