#include <gtest/gtest.h>

#include "winsim/kernel/pool.h"
#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr ULONG kTagA = MAKEFOURCC_TAG('Q', 'a', 'v', 'A');
constexpr ULONG kTagB = MAKEFOURCC_TAG('Q', 'a', 'v', 'B');

TEST(Pool, OutstandingBlocksAreCountedPerTagWithTheirAllocationSite) {
  Machine machine;
  PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA);
  PVOID a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 28, kTagA);
  PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTagB);
  std::vector<PoolTagUsage> usage = Pool::Instance().Outstanding();
  ASSERT_EQ(usage.size(), 2u);
  EXPECT_EQ(Pool::TagText(usage[0].tag) + Pool::TagText(usage[1].tag), "QavAQavB");
  EXPECT_EQ(usage[0].blocks, 2u);
  EXPECT_EQ(usage[0].bytes, 128u);
  EXPECT_NE(usage[0].firstSite.find("pool_test.cpp"), std::string::npos);
  ExFreePoolWithTag(a1, kTagA);
  ExFreePoolWithTag(a2, kTagA);
  ExFreePool(b);
  EXPECT_TRUE(Pool::Instance().Outstanding().empty());
}

TEST(Pool, InjectedFailuresHitOnlyTheChosenTagAndOnlyAsOftenAsAsked) {
  Machine machine;
  Pool::Instance().FailAllocations(kTagB, 2);
  PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB), nullptr);
  PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
  EXPECT_NE(b, nullptr);
  ExFreePoolWithTag(a, kTagA);
  ExFreePoolWithTag(b, kTagB);
}

TEST(Pool, AllocationCountProvesAPathAllocatesNothing) {
  Machine machine;
  uint64_t before = Pool::Instance().AllocationCount();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(Pool::Instance().AllocationCount(), before);
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_EQ(Pool::Instance().AllocationCount(), before + 1);
  ExFreePoolWithTag(block, kTagA);
}

TEST(Lookaside, BlocksAreRecycledUpToTheDepthAndTheRestGoBackToPool) {
  Machine machine;
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 64, kTagA, 2);
  PVOID blocks[3];
  for (PVOID &block : blocks) block = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kTagA), 3u);
  for (PVOID block : blocks) ExFreeToNPagedLookasideList(&list, block);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kTagA), 2u);  // two cached, one freed
  PVOID again = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_TRUE(again == blocks[0] || again == blocks[1] || again == blocks[2]);
  EXPECT_EQ(Pool::Instance().AllocationCount(), 3u);
  ExFreeToNPagedLookasideList(&list, again);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kTagA), 0u);
}

}  // namespace
