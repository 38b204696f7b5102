// A Ks* call handed an object that is gone (a closed filter, a deleted
// factory, a freed bag, the device after its removal) stops the machine
// naming the object and the line that freed it, instead of reading freed
// memory or answering NULL. An address a new object reuses is that object's.
#include <gtest/gtest.h>

#include <functional>

#include "ks_test_support.h"
#include "winsim/ks/ks_filter.h"
#include "winsim/ks/ks_freed_objects.h"

using namespace kstest;

namespace {

using winsim::ks::FreedObjects;

// A started device with the test factory, and objects freed by this file's
// lines: a second factory deleted, a filter closed, a bag freed. With
// removeDevice the device is then removed, which frees it and its factory.
struct Scene {
  PKSDEVICE device = nullptr;
  PKSFILTERFACTORY factory = nullptr;
  PKSFILTERFACTORY deletedFactory = nullptr;
  PKSFILTER closedFilter = nullptr;
  KSOBJECT_BAG closedFilterBag = nullptr;
  KSOBJECT_BAG freedBag = nullptr;
};

Scene BuildScene(winsim::Machine &machine, TestBus &bus, bool removeDevice) {
  Scene scene;
  scene.factory = StartWithFactory(machine, bus);
  scene.device = MiniDriver::Instance().LastDevice();
  KsAcquireDevice(scene.device);
  CreateTestFactory(scene.device, &scene.deletedFactory, u"DELETED");
  KsDeleteFilterFactory(scene.deletedFactory);
  KsReleaseDevice(scene.device);
  winsim::ks::OpenFilter(scene.factory, &scene.closedFilter);
  scene.closedFilterBag = scene.closedFilter->Bag;
  winsim::ks::CloseFilter(scene.closedFilter);
  KsAllocateObjectBag(scene.device, &scene.freedBag);
  KsFreeObjectBag(scene.freedBag);
  if (removeDevice) {
    bus.Unplug(scene.device->PhysicalDeviceObject, false);
    machine.Pnp().WaitIdle();
  }
  return scene;
}

// Deliberately wrong routines: each keeps a pointer past the object's end.
struct StaleUse {
  const char *name;
  bool removeDevice;
  std::function<void(const Scene &)> use;
  const char *expected;
};

class StaleObjects : public ::testing::TestWithParam<StaleUse> {};

TEST_P(StaleObjects, StopTheMachineNamingWhereTheObjectWasFreed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        Scene scene = BuildScene(machine, bus, GetParam().removeDevice);
        GetParam().use(scene);
      },
      GetParam().expected);
}

#define FREED_HERE ", which was freed at .*ks_stale_objects_test.cpp:[0-9]+ .*: the caller kept a stale pointer\n"
#define FREED_WITH_DEVICE \
  ", which was freed at .*ks_device.cpp:[0-9]+ .*DestroyDevice.*: the caller kept a stale pointer\n"
#define CALLED_HERE ".*at .*ks_stale_objects_test.cpp"

// Walks the way a minidriver must, under the device mutex.
template <class Walk>
void UnderDeviceMutex(const Scene &scene, Walk walk) {
  KsAcquireDevice(scene.device);
  walk();
  KsReleaseDevice(scene.device);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, StaleObjects,
    ::testing::Values(
        // The object tree.
        StaleUse{"NextSiblingOfAClosedFilter", false,
                 [](const Scene &s) { UnderDeviceMutex(s, [&] { KsFilterGetNextSiblingFilter(s.closedFilter); }); },
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*KsGetNextSibling on filter \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"FiltersOfADeletedFactory", false,
                 [](const Scene &s) {
                   UnderDeviceMutex(s, [&] { KsFilterFactoryGetFirstChildFilter(s.deletedFactory); });
                 },
                 "KsGetFirstChild on filter factory \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"NextFactoryAfterADeletedOne", false,
                 [](const Scene &s) {
                   UnderDeviceMutex(s, [&] { KsFilterFactoryGetNextSiblingFilterFactory(s.deletedFactory); });
                 },
                 "KsGetNextSibling on filter factory \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"ParentOfAClosedFilter", false,
                 [](const Scene &s) { KsFilterGetParentFilterFactory(s.closedFilter); },
                 "KsGetParent on filter \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"DeviceOfAClosedFilter", false, [](const Scene &s) { KsFilterGetDevice(s.closedFilter); },
                 "KsGetDevice on filter \\S+" FREED_HERE CALLED_HERE},
        // Filter factories.
        StaleUse{"SymbolicLinkOfADeletedFactory", false,
                 [](const Scene &s) { KsFilterFactoryGetSymbolicLink(s.deletedFactory); },
                 "KsFilterFactoryGetSymbolicLink on filter factory \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"InterfaceStateOfADeletedFactory", false,
                 [](const Scene &s) { KsFilterFactorySetDeviceClassesState(s.deletedFactory, TRUE); },
                 "KsFilterFactorySetDeviceClassesState on filter factory \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"CacheDataOfADeletedFactory", false,
                 [](const Scene &s) { KsFilterFactoryUpdateCacheData(s.deletedFactory, nullptr); },
                 "KsFilterFactoryUpdateCacheData on filter factory \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"DeletingAFactoryTwice", false,
                 [](const Scene &s) {
                   UnderDeviceMutex(s, [&] {
                     auto header = *static_cast<KSDEVICE_HEADER *>(s.device->FunctionalDeviceObject->DeviceExtension);
                     KsFreeObjectCreateItemsByContext(header, s.deletedFactory);
                   });
                 },
                 "KsFreeObjectCreateItemsByContext on filter factory \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"OpeningAFilterOfADeletedFactory", false,
                 [](const Scene &s) {
                   PKSFILTER filter = nullptr;
                   winsim::ks::OpenFilter(s.deletedFactory, &filter);
                 },
                 "opening a filter on filter factory \\S+" FREED_HERE CALLED_HERE},
        // Events.
        StaleUse{"EventsOfAClosedFilter", false,
                 [](const Scene &s) {
                   static const GUID set = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
                   KsFilterGenerateEvents(s.closedFilter, &set, 0, 0, nullptr, nullptr, nullptr);
                 },
                 "KsGenerateEvents on filter \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"EventAddedToAClosedFilter", false,
                 [](const Scene &s) {
                   KSEVENT_ENTRY entry{};
                   KsFilterAddEvent(s.closedFilter, &entry);
                 },
                 "KsAddEvent on filter \\S+" FREED_HERE CALLED_HERE},
        // Object bags.
        StaleUse{"ItemAddedToAClosedFiltersBag", false,
                 [](const Scene &s) {
                   PVOID item = ExAllocatePoolWithTag(NonPagedPoolNx, 16, MAKEFOURCC_TAG('Q', 'a', 'v', 'I'));
                   KsAddItemToObjectBag(s.closedFilterBag, item, nullptr);
                 },
                 "KsAddItemToObjectBag on object bag \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"ItemRemovedFromAFreedBag", false,
                 [](const Scene &s) { KsRemoveItemFromObjectBag(s.freedBag, s.device, FALSE); },
                 "KsRemoveItemFromObjectBag on object bag \\S+" FREED_HERE CALLED_HERE},
        StaleUse{"BagFreedTwice", false, [](const Scene &s) { KsFreeObjectBag(s.freedBag); },
                 "KsFreeObjectBag on object bag \\S+" FREED_HERE CALLED_HERE},
        // The device after its removal, and what went with it.
        StaleUse{"AcquiringARemovedDevice", true, [](const Scene &s) { KsAcquireDevice(s.device); },
                 "KsAcquireDevice on device \\S+" FREED_WITH_DEVICE CALLED_HERE},
        StaleUse{"ReleasingARemovedDevice", true, [](const Scene &s) { KsReleaseDevice(s.device); },
                 "KsReleaseDevice on device \\S+" FREED_WITH_DEVICE CALLED_HERE},
        StaleUse{"BagOfARemovedDevice", true,
                 [](const Scene &s) {
                   KSOBJECT_BAG bag = nullptr;
                   KsAllocateObjectBag(s.device, &bag);
                 },
                 "KsAllocateObjectBag on device \\S+" FREED_WITH_DEVICE CALLED_HERE},
        StaleUse{"FactoriesOfARemovedDevice", true,
                 [](const Scene &s) { KsDeviceGetFirstChildFilterFactory(s.device); },
                 "KsGetFirstChild on device \\S+" FREED_WITH_DEVICE CALLED_HERE},
        StaleUse{"FactoryOfARemovedDevice", true, [](const Scene &s) { KsFilterFactoryGetDevice(s.factory); },
                 "KsGetDevice on filter factory \\S+" FREED_WITH_DEVICE CALLED_HERE}),
    [](const auto &info) { return std::string(info.param.name); });

// A filter opened after another closed may take its memory: the new one is
// live in every call, and the old record does not stand in its way.
using ReusedAddresses = KsTest;

TEST_F(ReusedAddresses, BelongToTheNewObject) {
  static PKSFILTERFACTORY factory;
  factory = nullptr;
  Driver().script.postStart = [](PKSDEVICE device) {
    KsAcquireDevice(device);
    NTSTATUS status = CreateTestFactory(device, &factory);
    KsReleaseDevice(device);
    return status;
  };
  PlugDevice();
  PKSDEVICE device = Driver().LastDevice();
  for (int round = 0; round < 4; ++round) {
    PKSFILTER filter = nullptr;
    ASSERT_EQ(winsim::ks::OpenFilter(factory, &filter), STATUS_SUCCESS);
    EXPECT_FALSE(FreedObjects::Instance().Find(filter).has_value());
    EXPECT_EQ(KsFilterGetDevice(filter), device);
    EXPECT_EQ(KsFilterGetParentFilterFactory(filter), factory);
    PVOID item = ExAllocatePoolWithTag(NonPagedPoolNx, 16, MAKEFOURCC_TAG('Q', 'a', 'v', 'I'));
    EXPECT_EQ(KsAddItemToObjectBag(filter->Bag, item, nullptr), STATUS_SUCCESS);
    winsim::ks::CloseFilter(filter);
    EXPECT_TRUE(FreedObjects::Instance().Find(filter).has_value());
  }
}

// The record itself: bounded, oldest first, and gone once new memory covers it.
TEST(FreedObjectRecords, AreBoundedAndForgottenWhenTheAddressIsReused) {
  FreedObjects freed(3);
  auto at = [](uintptr_t address) { return reinterpret_cast<const void *>(address); };
  for (uintptr_t address : {0x1000, 0x2000, 0x3000, 0x4000}) {
    freed.Remember(at(address), "filter", std::source_location::current());
  }
  EXPECT_FALSE(freed.Find(at(0x1000)).has_value()) << "the oldest goes beyond the capacity";
  EXPECT_EQ(freed.Size(), 3u);

  freed.ForgetRange(at(0x2000), 0x1001);  // covers 0x2000 and 0x3000
  EXPECT_FALSE(freed.Find(at(0x2000)).has_value());
  EXPECT_FALSE(freed.Find(at(0x3000)).has_value());
  ASSERT_TRUE(freed.Find(at(0x4000)).has_value());
  EXPECT_STREQ(freed.Find(at(0x4000))->kind, "filter");

  // Freed again after a reuse: the newer record survives the eviction of the
  // older one's place in line.
  freed.Remember(at(0x2000), "object bag", std::source_location::current());
  freed.Remember(at(0x5000), "filter", std::source_location::current());
  freed.Remember(at(0x6000), "filter", std::source_location::current());
  ASSERT_TRUE(freed.Find(at(0x2000)).has_value());
  EXPECT_STREQ(freed.Find(at(0x2000))->kind, "object bag");
  EXPECT_FALSE(freed.Find(at(0x4000)).has_value());
  EXPECT_LE(freed.Size(), 3u);
}

}  // namespace
