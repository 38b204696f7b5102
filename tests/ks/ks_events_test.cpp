// Events enabled on a filter: generation signals the entries that match the
// set, id and callback, buffers data for buffered entries and fires one-shots
// once. Events belong to filters and pins only: generating or adding one on
// a device, a filter factory or a pointer that is no AVStream object stops
// the machine.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ks_test_support.h"
#include "winsim/ks/ks_events.h"
#include "winsim/ks/ks_filter.h"

using namespace kstest;

namespace {

const GUID kEventSet = {0x7a3f0c11, 0x51d2, 0x4be8, {0x8a, 0x44, 0x10, 0x6e, 0x2b, 0x90, 0x5c, 0x01}};
const GUID kOtherSet = {0x7a3f0c12, 0x51d2, 0x4be8, {0x8a, 0x44, 0x10, 0x6e, 0x2b, 0x90, 0x5c, 0x01}};
const KSEVENT_ITEM kEventItems[] = {{0, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr},
                                    {1, sizeof(KSEVENTDATA), 0, nullptr, nullptr, nullptr}};
const KSEVENT_SET kEventSets[] = {{&kEventSet, 2, kEventItems}, {&kOtherSet, 2, kEventItems}};

// An enabled event entry signalling a kernel event, as the enabling code
// will build it.
struct EnabledEvent {
  EnabledEvent(const KSEVENT_SET &set, ULONG id, ULONG flags = 0) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    data.NotificationType = KSEVENTF_EVENT_OBJECT;
    data.EventObject.Event = &event;
    entry.EventData = &data;
    entry.NotificationType = KSEVENTF_EVENT_OBJECT;
    entry.Object = &event;
    entry.EventSet = &set;
    entry.EventItem = &set.EventItem[id];
    entry.Flags = flags;
    KeInitializeSpinLock(&buffer.DpcItem.AccessLock);
    InitializeListHead(&buffer.BufferList);
    entry.BufferItem = &buffer;
  }
  bool Signalled() { return KeReadStateEvent(&event) != 0; }
  void Clear() { KeClearEvent(&event); }

  KEVENT event;
  KSEVENTDATA data{};
  KSBUFFER_ITEM buffer{};
  KSEVENT_ENTRY entry{};
};

// A started device with the test factory and one filter open on it.
class FilterEvents : public KsTest {
 protected:
  PKSFILTER OpenOne() {
    static PKSFILTERFACTORY created;
    created = nullptr;
    Driver().script.postStart = [](PKSDEVICE device) {
      KsAcquireDevice(device);
      NTSTATUS status = CreateTestFactory(device, &created);
      KsReleaseDevice(device);
      return status;
    };
    PlugDevice();
    PKSFILTER filter = nullptr;
    EXPECT_EQ(winsim::ks::OpenFilter(created, &filter), STATUS_SUCCESS);
    return filter;
  }
};

struct Generation {
  const char *name;
  const GUID *set;  // what KsGenerateEvents asks for
  ULONG id;
  bool accept;  // what the callback answers
  bool signalled;
};

class Events : public FilterEvents, public ::testing::WithParamInterface<Generation> {};

BOOLEAN Answer(PVOID context, PKSEVENT_ENTRY) { return *static_cast<bool *>(context) ? TRUE : FALSE; }

TEST_P(Events, OnlyMatchingEntriesTheCallbackAcceptsAreSignalled) {
  PKSFILTER filter = OpenOne();
  EnabledEvent enabled(kEventSets[0], 1);
  KsFilterAddEvent(filter, &enabled.entry);
  bool accept = GetParam().accept;
  KsFilterGenerateEvents(filter, GetParam().set, GetParam().id, 0, nullptr, Answer, &accept);
  EXPECT_EQ(enabled.Signalled(), GetParam().signalled);
  winsim::ks::CloseFilter(filter);
}

INSTANTIATE_TEST_SUITE_P(Cases, Events,
                         ::testing::Values(Generation{"SetAndId", &kEventSet, 1, true, true},
                                           Generation{"AnySet", nullptr, 1, true, true},
                                           Generation{"OtherId", &kEventSet, 0, true, false},
                                           Generation{"OtherSet", &kOtherSet, 1, true, false},
                                           Generation{"CallbackRefuses", &kEventSet, 1, false, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(FilterEvents, BufferedEntriesKeepTheDataOfEachGenerationAndOneShotsFireOnce) {
  PKSFILTER filter = OpenOne();
  EnabledEvent buffered(kEventSets[0], 0, KSEVENT_ENTRY_BUFFERED);
  EnabledEvent oneShot(kEventSets[0], 0, KSEVENT_ENTRY_ONESHOT);
  KsFilterAddEvent(filter, &buffered.entry);
  KsFilterAddEvent(filter, &oneShot.entry);
  for (ULONG rate : {44100u, 48000u}) KsGenerateEvents(filter, &kEventSet, 0, sizeof rate, &rate, nullptr, nullptr);
  std::vector<UCHAR> data;
  ULONG rate = 0;
  ASSERT_TRUE(winsim::ks::TakeBufferedData(&buffered.entry, &data));
  std::memcpy(&rate, data.data(), sizeof rate);
  EXPECT_EQ(rate, 44100u);
  ASSERT_TRUE(winsim::ks::TakeBufferedData(&buffered.entry, &data));
  std::memcpy(&rate, data.data(), sizeof rate);
  EXPECT_EQ(rate, 48000u);
  EXPECT_FALSE(winsim::ks::TakeBufferedData(&buffered.entry, &data));

  EXPECT_TRUE(oneShot.Signalled());
  oneShot.Clear();
  KsGenerateEvents(filter, &kEventSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_FALSE(oneShot.Signalled());
  winsim::ks::DiscardBufferedData(&buffered.entry);
  winsim::ks::CloseFilter(filter);
}

// Deliberately wrong routines: each raises or enables an event on something
// that carries none.
struct WrongTarget {
  const char *name;
  std::function<void(PKSDEVICE, PKSFILTERFACTORY)> call;
  const char *expected;
};

class EventsOnWrongObjects : public ::testing::TestWithParam<WrongTarget> {};

TEST_P(EventsOnWrongObjects, StopTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        PKSFILTERFACTORY factory = StartWithFactory(machine, bus);
        GetParam().call(MiniDriver::Instance().LastDevice(), factory);
      },
      GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, EventsOnWrongObjects,
    ::testing::Values(
        WrongTarget{"GenerateOnADevice",
                    [](PKSDEVICE device, PKSFILTERFACTORY) {
                      KsGenerateEvents(device, &kEventSet, 0, 0, nullptr, nullptr, nullptr);
                    },
                    "DRIVER_VERIFIER_DETECTED_VIOLATION.*\n.*KsGenerateEvents on device \\S+: events belong to "
                    "filters and pins only\n.*at .*ks_events_test.cpp"},
        WrongTarget{"GenerateOnAFilterFactory",
                    [](PKSDEVICE, PKSFILTERFACTORY factory) {
                      KsGenerateEvents(factory, &kEventSet, 0, 0, nullptr, nullptr, nullptr);
                    },
                    "KsGenerateEvents on filter factory \\S+: events belong to filters and pins only"},
        WrongTarget{"GenerateOnAPointerThatIsNoObject",
                    [](PKSDEVICE, PKSFILTERFACTORY) {
                      KSFILTER lookalike{};
                      KsFilterGenerateEvents(&lookalike, &kEventSet, 0, 0, nullptr, nullptr, nullptr);
                    },
                    "KsGenerateEvents on \\S+, which is not an AVStream object\n.*at .*ks_events_test.cpp"},
        WrongTarget{"AddToADevice",
                    [](PKSDEVICE device, PKSFILTERFACTORY) {
                      EnabledEvent enabled(kEventSets[0], 0);
                      KsAddEvent(device, &enabled.entry);
                    },
                    "KsAddEvent on device \\S+: events belong to filters and pins only"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
