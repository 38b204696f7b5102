// Filter instances as clients open and close them: children of their
// factory, made and destroyed under the device mutex, an open handle on the
// device's stack while open. Walking a device's factories or a factory's
// filters without the device mutex stops the machine, as the list may change
// under the walk on Windows.
#include <gtest/gtest.h>

#include <atomic>

#include "ks_test_support.h"
#include "winsim/ks/ks_filter.h"

using namespace kstest;

namespace {

class Filters : public KsTest {
 protected:
  PKSFILTERFACTORY PlugWithFactory() {
    static PKSFILTERFACTORY created;
    created = nullptr;
    Driver().script.postStart = [](PKSDEVICE device) {
      KsAcquireDevice(device);
      NTSTATUS status = CreateTestFactory(device, &created);
      KsReleaseDevice(device);
      return status;
    };
    pdo = PlugDevice();
    return created;
  }

  // The factory's filters, walked as a minidriver must: under the device mutex.
  std::vector<PKSFILTER> Children(PKSFILTERFACTORY factory) {
    PKSDEVICE device = KsFilterFactoryGetDevice(factory);
    std::vector<PKSFILTER> filters;
    KsAcquireDevice(device);
    for (PKSFILTER f = KsFilterFactoryGetFirstChildFilter(factory); f != nullptr; f = KsFilterGetNextSiblingFilter(f)) {
      filters.push_back(f);
    }
    KsReleaseDevice(device);
    return filters;
  }

  PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(Filters, AnOpenFilterIsAChildOfItsFactoryAndAHandleOnTheStack) {
  PKSFILTERFACTORY factory = PlugWithFactory();
  PKSFILTER first = nullptr, second = nullptr;
  ASSERT_EQ(winsim::ks::OpenFilter(factory, &first), STATUS_SUCCESS);
  ASSERT_EQ(winsim::ks::OpenFilter(factory, &second), STATUS_SUCCESS);
  EXPECT_EQ(Children(factory), (std::vector<PKSFILTER>{first, second}));
  EXPECT_EQ(KsFilterGetParentFilterFactory(first), factory);
  EXPECT_EQ(first->Descriptor, factory->FilterDescriptor);
  EXPECT_NE(first->Bag, nullptr);
  EXPECT_EQ(Node(pdo).openHandles, 2u);
  EXPECT_EQ(Driver().Find("FilterCreate")->detail, "create");

  winsim::ks::CloseFilter(first);
  EXPECT_EQ(Children(factory), (std::vector<PKSFILTER>{second}));
  EXPECT_EQ(Driver().Find("FilterClose")->detail, "close");
  winsim::ks::CloseFilter(second);
  EXPECT_TRUE(Children(factory).empty());
  EXPECT_EQ(Node(pdo).openHandles, 0u);
}

TEST_F(Filters, ACreateDispatchThatFailsLeavesNoFilter) {
  Driver().script.filterCreate = [](PKSFILTER) { return STATUS_INSUFFICIENT_RESOURCES; };
  PKSFILTERFACTORY factory = PlugWithFactory();
  PKSFILTER filter = nullptr;
  EXPECT_EQ(winsim::ks::OpenFilter(factory, &filter), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(filter, nullptr);
  EXPECT_TRUE(Children(factory).empty());
  EXPECT_EQ(Node(pdo).openHandles, 0u);
}

// After surprise removal nothing opens; a filter still open holds
// REMOVE_DEVICE back until it closes.
TEST_F(Filters, AFilterOpenAcrossSurpriseRemovalKeepsTheDeviceUntilItCloses) {
  PKSFILTERFACTORY factory = PlugWithFactory();
  PKSFILTER filter = nullptr;
  ASSERT_EQ(winsim::ks::OpenFilter(factory, &filter), STATUS_SUCCESS);
  bus.Unplug(pdo, true);
  EXPECT_EQ(Driver().Find("Remove"), std::nullopt);
  PKSFILTER late = nullptr;
  EXPECT_EQ(winsim::ks::OpenFilter(factory, &late), STATUS_INVALID_DEVICE_STATE);
  winsim::ks::CloseFilter(filter);
  machine.Pnp().WaitIdle();
  EXPECT_NE(Driver().Find("Remove"), std::nullopt);
}

TEST_F(Filters, GeneratedEventsReachAFiltersEntries) {
  PKSFILTERFACTORY factory = PlugWithFactory();
  PKSFILTER filter = nullptr;
  ASSERT_EQ(winsim::ks::OpenFilter(factory, &filter), STATUS_SUCCESS);
  KEVENT signalled;
  KeInitializeEvent(&signalled, NotificationEvent, FALSE);
  static const GUID set = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  static const KSEVENT_ITEM item = {7, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr};
  static const KSEVENT_SET eventSet = {&set, 1, &item};
  KSEVENT_ENTRY entry{};
  entry.NotificationType = KSEVENTF_EVENT_OBJECT;
  entry.Object = &signalled;
  entry.EventSet = &eventSet;
  entry.EventItem = &item;
  KsFilterAddEvent(filter, &entry);
  KsFilterGenerateEvents(filter, &set, 7, 0, nullptr, nullptr, nullptr);
  EXPECT_NE(KeReadStateEvent(&signalled), 0);
  winsim::ks::CloseFilter(filter);  // detaches the entry
}

// Deliberately wrong routines: each walks a list the device mutex guards
// without holding it.
struct BadWalk {
  const char *name;
  std::function<void(PKSDEVICE, PKSFILTERFACTORY, PKSFILTER)> walk;
};

class UnguardedWalks : public ::testing::TestWithParam<BadWalk> {};

TEST_P(UnguardedWalks, StopTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        PKSFILTERFACTORY factory = StartWithFactory(machine, bus);
        PKSDEVICE device = MiniDriver::Instance().LastDevice();
        PKSFILTER filter = nullptr;
        winsim::ks::OpenFilter(factory, &filter);
        GetParam().walk(device, factory, filter);
      },
      "walks the filter factories and filters of a device by a thread that does not hold its device mutex");
}

INSTANTIATE_TEST_SUITE_P(
    Walks, UnguardedWalks,
    ::testing::Values(BadWalk{"FirstFactory", [](PKSDEVICE device, PKSFILTERFACTORY, PKSFILTER) {
                                KsDeviceGetFirstChildFilterFactory(device);
                              }},
                      BadWalk{"NextFactory", [](PKSDEVICE, PKSFILTERFACTORY factory, PKSFILTER) {
                                KsFilterFactoryGetNextSiblingFilterFactory(factory);
                              }},
                      BadWalk{"FirstFilter", [](PKSDEVICE, PKSFILTERFACTORY factory, PKSFILTER) {
                                KsFilterFactoryGetFirstChildFilter(factory);
                              }},
                      BadWalk{"NextFilter", [](PKSDEVICE, PKSFILTERFACTORY, PKSFILTER filter) {
                                KsFilterGetNextSiblingFilter(filter);
                              }},
                      // Held, but by another thread.
                      BadWalk{"WhileAnotherThreadHoldsIt",
                              [](PKSDEVICE device, PKSFILTERFACTORY factory, PKSFILTER) {
                                std::atomic<bool> held{false};
                                winsim::Machine &machine = *winsim::Machine::Current();
                                machine.Threads().Spawn("holder", winsim::ThreadKind::SystemWorker,
                                                        winsim::kSystemProcessId, [&] {
                                                          KsAcquireDevice(device);
                                                          held = true;
                                                          machine.RunFor(winsim::kTicksPerSecond);
                                                          KsReleaseDevice(device);
                                                        });
                                machine.RunUntil([&] { return held.load(); }, winsim::kTicksPerSecond);
                                KsFilterFactoryGetFirstChildFilter(factory);
                              }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FilterRules, ClosingAFilterTwiceStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        PKSFILTERFACTORY factory = StartWithFactory(machine, bus);
        PKSFILTER filter = nullptr;
        winsim::ks::OpenFilter(factory, &filter);
        winsim::ks::CloseFilter(filter);
        winsim::ks::CloseFilter(filter);
      },
      "closing a filter on filter \\S+, which was freed at .*ks_filter_test.cpp:[0-9]+ .*: the caller kept a "
      "stale pointer\n.*at .*ks_filter_test.cpp");
}

}  // namespace
