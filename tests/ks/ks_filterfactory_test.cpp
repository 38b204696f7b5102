// Filter factories publish a device interface per category under the
// device's PDO, with the reference string as the link's last part; the
// object tree and event generation walk devices and factories.
#include <gtest/gtest.h>

#include <cstring>

#include "ks_test_support.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/ks/ks_events.h"

using namespace kstest;

namespace {

std::u16string LinkFor(const GUID &category) {
  return u"\\??\\USB#VID_2B5A&PID_8014#QAV0001#" + winsim::pnp::GuidText(category) + u"\\GLOBAL";
}

std::u16string InterfaceKey(const GUID &category) {
  std::u16string guid = winsim::pnp::GuidText(category);
  return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + guid +
         u"\\##?#USB#VID_2B5A&PID_8014#QAV0001#" + guid + u"\\#GLOBAL";
}

class FilterFactory : public KsTest {
 protected:
  // Plugs a device whose PostStart creates the test factory with the
  // device acquired, as the driver does.
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

  PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(FilterFactory, EachCategoryGetsAnEnabledInterfaceWithTheGlobalReferenceString) {
  PKSFILTERFACTORY factory = PlugWithFactory();
  ASSERT_NE(factory, nullptr);
  for (const GUID &category : kFactoryCategories) {
    std::vector<winsim::DeviceInterfaceInfo> found = machine.Pnp().Interfaces(&category, true);
    ASSERT_EQ(found.size(), 1u) << Narrow(winsim::pnp::GuidText(category));
    EXPECT_EQ(found[0].symbolicLink, LinkFor(category));
    EXPECT_EQ(found[0].pdo, pdo);
    winsim::Registry &registry = winsim::SystemRegistry();
    std::optional<winsim::RegValue> link = registry.ReadValue(InterfaceKey(category), u"SymbolicLink");
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(Text(reinterpret_cast<const WCHAR *>(link->data.data())),
              u"\\\\?\\USB#VID_2B5A&PID_8014#QAV0001#" + winsim::pnp::GuidText(category) + u"\\GLOBAL");
    EXPECT_EQ(registry.ReadValue(InterfaceKey(category) + u"\\Control", u"Linked"), winsim::RegValue::Dword(1));
  }
  PUNICODE_STRING first = KsFilterFactoryGetSymbolicLink(factory);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(winsim::pnp::FromUnicodeString(first), LinkFor(KSCATEGORY_AUDIO));
}

TEST_F(FilterFactory, TheInterfaceKeyOpensAndTakesTheFriendlyName) {
  PKSFILTERFACTORY factory = PlugWithFactory();
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(KsFilterFactoryGetSymbolicLink(factory), KEY_ALL_ACCESS, &key),
            STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"FriendlyName");
  const char16_t product[] = u"Tessarin Larch";
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t *>(product), sizeof product), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(winsim::SystemRegistry().ReadValue(InterfaceKey(KSCATEGORY_AUDIO) + u"\\Device Parameters",
                                               u"FriendlyName"),
            winsim::RegValue::String(u"Tessarin Larch"));
}

TEST_F(FilterFactory, InterfacesFollowTheFactoryStateAndGoDownWithTheDevice) {
  PKSFILTERFACTORY factory = PlugWithFactory();
  EXPECT_EQ(KsFilterFactorySetDeviceClassesState(factory, FALSE), STATUS_SUCCESS);
  EXPECT_TRUE(machine.Pnp().Interfaces(&kPrivateCategory, true).empty());
  EXPECT_EQ(KsFilterFactorySetDeviceClassesState(factory, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(machine.Pnp().Interfaces(&kPrivateCategory, true).size(), 1u);
  bus.Unplug(pdo, true);
  std::vector<winsim::DeviceInterfaceInfo> left = machine.Pnp().Interfaces(&kPrivateCategory, false);
  ASSERT_EQ(left.size(), 1u) << "a registered interface stays known, disabled";
  EXPECT_FALSE(left[0].enabled);
  EXPECT_EQ(left[0].pdo, nullptr);
}

TEST_F(FilterFactory, TheTreeLeadsFromTheDeviceToItsFactoriesAndBack) {
  PKSFILTERFACTORY first = PlugWithFactory();
  PKSDEVICE device = Driver().LastDevice();
  PKSFILTERFACTORY second = nullptr;
  KsAcquireDevice(device);
  ASSERT_EQ(CreateTestFactory(device, &second), STATUS_SUCCESS);
  EXPECT_EQ(KsDeviceGetFirstChildFilterFactory(device), first);
  EXPECT_EQ(KsFilterFactoryGetNextSiblingFilterFactory(first), second);
  EXPECT_EQ(KsFilterFactoryGetNextSiblingFilterFactory(second), nullptr);
  EXPECT_EQ(KsFilterFactoryGetFirstChildFilter(first), nullptr) << "no filter is open";
  KsReleaseDevice(device);
  EXPECT_EQ(KsFilterFactoryGetParentDevice(second), device);
  EXPECT_EQ(KsFilterFactoryGetDevice(second), device);
  EXPECT_EQ(KsGetDeviceForDeviceObject(device->FunctionalDeviceObject), device);
  EXPECT_EQ(KsGetDeviceForDeviceObject(pdo), nullptr);
  EXPECT_EQ(KsGetParent(device), nullptr);

  KsAcquireDevice(device);
  EXPECT_EQ(KsDeleteFilterFactory(second), STATUS_SUCCESS);
  EXPECT_EQ(KsFilterFactoryGetNextSiblingFilterFactory(first), nullptr);
  KsReleaseDevice(device);
}

// ---------------------------------------------------------------------------
// Events

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

struct Generation {
  const char *name;
  const GUID *set;  // what KsGenerateEvents asks for
  ULONG id;
  bool accept;  // what the callback answers
  bool signalled;
};

class Events : public KsTest, public ::testing::WithParamInterface<Generation> {};

BOOLEAN Answer(PVOID context, PKSEVENT_ENTRY) { return *static_cast<bool *>(context) ? TRUE : FALSE; }

TEST_P(Events, OnlyMatchingEntriesTheCallbackAcceptsAreSignalled) {
  PlugDevice();
  PKSDEVICE device = Driver().LastDevice();
  EnabledEvent enabled(kEventSets[0], 1);
  KsAddEvent(device, &enabled.entry);
  bool accept = GetParam().accept;
  KsGenerateEvents(device, GetParam().set, GetParam().id, 0, nullptr, Answer, &accept);
  EXPECT_EQ(enabled.Signalled(), GetParam().signalled);
  RemoveEntryList(&enabled.entry.ListEntry);
}

INSTANTIATE_TEST_SUITE_P(Cases, Events,
                         ::testing::Values(Generation{"SetAndId", &kEventSet, 1, true, true},
                                           Generation{"AnySet", nullptr, 1, true, true},
                                           Generation{"OtherId", &kEventSet, 0, true, false},
                                           Generation{"OtherSet", &kOtherSet, 1, true, false},
                                           Generation{"CallbackRefuses", &kEventSet, 1, false, false}),
                         [](const auto &info) { return std::string(info.param.name); });

using EventEntries = KsTest;

TEST_F(EventEntries, BufferedEntriesKeepTheDataOfEachGenerationAndOneShotsFireOnce) {
  PlugDevice();
  PKSDEVICE device = Driver().LastDevice();
  EnabledEvent buffered(kEventSets[0], 0, KSEVENT_ENTRY_BUFFERED);
  EnabledEvent oneShot(kEventSets[0], 0, KSEVENT_ENTRY_ONESHOT);
  KsAddEvent(device, &buffered.entry);
  KsAddEvent(device, &oneShot.entry);
  for (ULONG rate : {44100u, 48000u}) KsGenerateEvents(device, &kEventSet, 0, sizeof rate, &rate, nullptr, nullptr);
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
  KsGenerateEvents(device, &kEventSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_FALSE(oneShot.Signalled());
  winsim::ks::DiscardBufferedData(&buffered.entry);
  RemoveEntryList(&buffered.entry.ListEntry);
  RemoveEntryList(&oneShot.entry.ListEntry);
}

}  // namespace
