// Filter factories publish a device interface per category under the
// device's PDO, with the reference string as the link's last part; the
// object tree leads from devices to factories and back.
#include <gtest/gtest.h>

#include "ks_test_support.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/registry_store.h"

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
  ASSERT_EQ(CreateTestFactory(device, &second, u"SECOND"), STATUS_SUCCESS);
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

}  // namespace
