// Object bags free what a minidriver put in them when the device goes, and
// the device mutex serialises its holders; leaks and unbalanced mutex use
// stop the machine as Driver Verifier would.
#include <gtest/gtest.h>

#include "ks_test_support.h"
#include "winsim/kernel/pool.h"
#include "winsim/ks/ks_objects.h"

using namespace kstest;

namespace {

constexpr ULONG kItemTag = MAKEFOURCC_TAG('Q', 'a', 'v', 'I');

// A pool item whose destructor records its number before freeing it.
struct Item {
  int number;
};

std::mutex g_freedLock;
std::vector<int> g_freed;

void FreeItem(PVOID data) {
  auto *item = static_cast<Item *>(data);
  {
    std::lock_guard<std::mutex> guard(g_freedLock);
    g_freed.push_back(item->number);
  }
  MiniDriver::Instance().Record("free " + std::to_string(item->number));
  ExFreePoolWithTag(item, kItemTag);
}

Item *NewItem(int number) {
  auto *item = static_cast<Item *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Item), kItemTag));
  item->number = number;
  return item;
}

std::vector<int> Freed() {
  std::lock_guard<std::mutex> guard(g_freedLock);
  return g_freed;
}

class ObjectBag : public KsTest {
 protected:
  void SetUp() override {
    KsTest::SetUp();
    std::lock_guard<std::mutex> guard(g_freedLock);
    g_freed.clear();
  }
};

TEST_F(ObjectBag, ItemsAreFreedAfterRemoveLastAddedFirst) {
  Driver().script.add = [](PKSDEVICE device) {
    for (int number = 1; number <= 3; ++number) {
      NTSTATUS status = KsAddItemToObjectBag(device->Bag, NewItem(number), FreeItem);
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT pdo = PlugDevice();
  EXPECT_TRUE(Freed().empty());
  bus.Unplug(pdo, true);
  EXPECT_EQ(Freed(), (std::vector<int>{3, 2, 1}));
  std::vector<std::string> names = Driver().Names();
  auto remove = std::find(names.begin(), names.end(), "Remove");
  auto firstFree = std::find(names.begin(), names.end(), "free 3");
  EXPECT_LT(remove, firstFree) << "the bag goes after the minidriver's Remove";
  EXPECT_EQ(winsim::Pool::Instance().OutstandingBlocks(kItemTag), 0u);
}

TEST_F(ObjectBag, DiscardFreesAtOnceAndRemovingWithoutFreeHandsTheItemBack) {
  PlugDevice();
  PKSDEVICE device = Driver().LastDevice();
  Item *discarded = NewItem(1);
  Item *kept = NewItem(2);
  ASSERT_EQ(KsAddItemToObjectBag(device->Bag, discarded, FreeItem), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(device->Bag, kept, FreeItem), STATUS_SUCCESS);
  EXPECT_EQ(KsDiscard(device, discarded), 0u);
  EXPECT_EQ(Freed(), std::vector<int>{1});
  EXPECT_EQ(KsRemoveItemFromObjectBag(device->Bag, kept, FALSE), 0u);
  EXPECT_EQ(Freed(), std::vector<int>{1});
  ExFreePoolWithTag(kept, kItemTag);
}

TEST_F(ObjectBag, AnItemInTwoBagsIsFreedWhenTheLastLetsGo) {
  PlugDevice();
  PKSDEVICE device = Driver().LastDevice();
  KSOBJECT_BAG extra = nullptr;
  ASSERT_EQ(KsAllocateObjectBag(device, &extra), STATUS_SUCCESS);
  Item *shared = NewItem(7);
  ASSERT_EQ(KsAddItemToObjectBag(device->Bag, shared, FreeItem), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(extra, shared, FreeItem), STATUS_SUCCESS);
  EXPECT_EQ(KsRemoveItemFromObjectBag(device->Bag, shared, TRUE), 1u);
  EXPECT_TRUE(Freed().empty());
  KsFreeObjectBag(extra);
  EXPECT_EQ(Freed(), std::vector<int>{7});
}

TEST_F(ObjectBag, ABagRefusesAnItemWhenPoolRunsOut) {
  PlugDevice();
  Item *item = NewItem(1);
  winsim::Pool::Instance().FailAllocations(winsim::ks::kBagEntryTag, 1);
  EXPECT_EQ(KsAddItemToObjectBag(Driver().LastDevice()->Bag, item, FreeItem), STATUS_INSUFFICIENT_RESOURCES);
  ExFreePoolWithTag(item, kItemTag);
}

using DeviceMutex = KsTest;

TEST_F(DeviceMutex, ASecondThreadWaitsUntilTheHolderReleasesIt) {
  PlugDevice();
  PKSDEVICE device = Driver().LastDevice();
  KsAcquireDevice(device);
  std::atomic<winsim::VTime> acquiredAt{-1};
  auto other = machine.Threads().Spawn("contender", winsim::ThreadKind::SystemWorker, winsim::kSystemProcessId,
                                       [&] {
                                         KsAcquireDevice(device);
                                         acquiredAt = machine.Now();
                                         KsReleaseDevice(device);
                                       });
  machine.RunFor(10 * winsim::kTicksPerMillisecond);
  EXPECT_EQ(acquiredAt.load(), -1) << "still held";
  KsReleaseDevice(device);
  ASSERT_TRUE(machine.RunUntil([&] { return acquiredAt.load() >= 0; }, winsim::kTicksPerSecond));
  EXPECT_EQ(acquiredAt.load(), 10 * winsim::kTicksPerMillisecond);
  KeWaitForSingleObject(other->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

struct BrokenRule {
  const char *name;
  const char *expected;
  std::function<void(winsim::Machine &, TestBus &)> breakRule;
};

void PlugWithScript(winsim::Machine &machine, TestBus &bus, Script script, bool unplug) {
  MiniDriver::Instance().Reset();
  MiniDriver::Instance().script = std::move(script);
  machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
  PDEVICE_OBJECT pdo = bus.Plug();
  if (unplug) bus.Unplug(pdo, true);
}

class KsRules : public ::testing::TestWithParam<BrokenRule> {};

TEST_P(KsRules, BreakingTheRuleStopsTheMachineNamingWhatWasLeft) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        GetParam().breakRule(machine, bus);
      },
      GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, KsRules,
    ::testing::Values(
        BrokenRule{"PoolNotBaggedIsALeakAtUnload",
                   "pool still allocated when driver '\\\\Driver\\\\QavKsTest' unloaded:\n.*tag 'QavI': 1 block",
                   [](winsim::Machine &machine, TestBus &bus) {
                     PlugWithScript(machine, bus, Script{.add = [](PKSDEVICE) {
                                                           NewItem(1);
                                                           return STATUS_SUCCESS;
                                                         }},
                                    true);
                   }},
        BrokenRule{"MutexHeldAtRemoval",
                   "work item routine returned .* holding 1 lock\\(s\\) more than it was called with: KS device "
                   "mutex .* acquired at .*ks_objectbag_test.cpp:[0-9]+",
                   [](winsim::Machine &machine, TestBus &bus) {
                     PlugWithScript(machine, bus, Script{.postStart = [](PKSDEVICE device) {
                                                           KsAcquireDevice(device);
                                                           return STATUS_SUCCESS;
                                                         }},
                                    true);
                   }},
        BrokenRule{"AcquiredTwiceByItsHolder",
                   "KsAcquireDevice of .* by the thread that already holds it \\(acquired at "
                   ".*ks_objectbag_test.cpp:[0-9]+\\): the device mutex is not recursive",
                   [](winsim::Machine &machine, TestBus &bus) {
                     PlugWithScript(machine, bus, Script{}, false);
                     KsAcquireDevice(MiniDriver::Instance().LastDevice());
                     KsAcquireDevice(MiniDriver::Instance().LastDevice());
                   }},
        BrokenRule{"ReleaseWithoutAcquire",
                   "KsReleaseDevice of .* by a thread that does not hold its mutex\n.*ks_objectbag_test.cpp",
                   [](winsim::Machine &machine, TestBus &bus) {
                     PlugWithScript(machine, bus, Script{}, false);
                     KsReleaseDevice(MiniDriver::Instance().LastDevice());
                   }},
        BrokenRule{"BagUsedAtDispatchLevel", "KsAddItemToObjectBag called at IRQL 2",
                   [](winsim::Machine &machine, TestBus &bus) {
                     PlugWithScript(machine, bus, Script{}, false);
                     KIRQL irql;
                     KeRaiseIrql(DISPATCH_LEVEL, &irql);
                     KsAddItemToObjectBag(MiniDriver::Instance().LastDevice()->Bag, NewItem(1), FreeItem);
                   }}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
