// CDeviceList against QavAudio on a Machine: both interface classes the
// deliverables enumerate, with the friendly name and its fallback, repeated
// enumeration, paths in another case, removal order and WM_DEVICECHANGE.
#include <windows.h>
#include <dbt.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "enum_machine.h"
#include "uac2common/directks/device_list.h"
#include "uac2common/uac2private.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/user/window.h"

namespace {

using enumtest::ClientInterface;

constexpr char kImagePath[] = "\\SystemRoot\\System32\\drivers\\QavAudio.sys";

std::string Upper(std::string text) {
  for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// SetupAPI's order of the present interfaces of a class.
std::vector<std::string> SetupApiOrder(const GUID &interfaceClass) {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; i < 16 && SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data); ++i) {
    BYTE buffer[600];
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, nullptr)) {
      paths.push_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

struct ClassCase {
  const char *name;
  const GUID *interfaceClass;
  // Friendly names of Maple and Rowan; empty: the device description.
  const char *mapleName;
  const char *rowanName;
};

void PrintTo(const ClassCase &c, std::ostream *os) { *os << c.name; }

class DeviceListClassTest : public ::testing::TestWithParam<ClassCase> {
 protected:
  enumtest::EnumMachine machine{{"Maple", "Rowan", "Alder"}};
};

TEST_P(DeviceListClassTest, ListsEachPresentInterfaceOnceInSetupApiOrder) {
  const ClassCase &c = GetParam();
  PDEVICE_OBJECT maple = machine.Plug("Maple", ClientInterface{u"Studio Maple", std::nullopt});
  PDEVICE_OBJECT rowan = machine.Plug("Rowan");
  CDeviceList list(*c.interfaceClass);
  list.EnumerateDevices();

  const std::vector<std::string> order = SetupApiOrder(*c.interfaceClass);
  ASSERT_EQ(order.size(), 2u);
  ASSERT_EQ(list.GetDeviceCount(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const DeviceEntry *entry = list.GetDevice(i);
    EXPECT_EQ(std::string(entry->DevicePath), order[i]);
    EXPECT_STREQ(entry->ImagePath, kImagePath);
    const bool isMaple = order[i] == machine.Path(maple, *c.interfaceClass);
    PDEVICE_OBJECT pdo = isMaple ? maple : rowan;
    const char *expected = isMaple ? c.mapleName : c.rowanName;
    EXPECT_EQ(std::string(entry->FriendlyName), *expected != '\0' ? expected : machine.Description(pdo))
        << (isMaple ? "Maple" : "Rowan");
  }
  EXPECT_EQ(list.GetDevice(2), nullptr);

  // Enumerating again, or naming a listed path in another case, adds nothing.
  const DeviceEntry *first = list.GetDevice(0);
  list.EnumerateDevices();
  list.AddDevice(Upper(order[1]).c_str());
  EXPECT_EQ(list.GetDeviceCount(), 2u);
  EXPECT_EQ(list.GetDevice(0), first);

  // A device plugged later is added behind the others.
  PDEVICE_OBJECT alder = machine.Plug("Alder");
  list.EnumerateDevices();
  ASSERT_EQ(list.GetDeviceCount(), 3u);
  EXPECT_EQ(std::string(list.GetDevice(2)->DevicePath), machine.Path(alder, *c.interfaceClass));
}

INSTANTIATE_TEST_SUITE_P(
    Classes, DeviceListClassTest,
    ::testing::Values(
        // The driver names its filter only through its first category's key.
        ClassCase{"PrivateCategory", &KSCATEGORY_UacPrivate, "", ""},
        ClassCase{"AudioCategory", &KSCATEGORY_AUDIO, "Tessarin Maple", "Tessarin Rowan"},
        // The installation's interface, named where its key holds a name.
        ClassCase{"ClientInterface", &GUID_DEVINTERFACE_UacClient, "Studio Maple", ""}),
    [](const ::testing::TestParamInfo<ClassCase> &info) { return std::string(info.param.name); });

// What the registry holds about a device, changed before it is listed.
struct EntryCase {
  const char *name;
  std::function<void(enumtest::EnumMachine &, PDEVICE_OBJECT)> change;
  std::function<std::string(enumtest::EnumMachine &, PDEVICE_OBJECT)> friendlyName;
  const char *imagePath;
};

void DeleteValue(const std::u16string &keyPath, const char16_t *name) {
  winsim::RegKeyRef key;
  ASSERT_EQ(winsim::SystemRegistry().OpenKey(nullptr, keyPath, &key), STATUS_SUCCESS);
  ASSERT_EQ(winsim::SystemRegistry().DeleteValue(key, name), STATUS_SUCCESS);
}

void SetValue(enumtest::EnumMachine &m, PDEVICE_OBJECT pdo, winsim::RegValue value) {
  ASSERT_EQ(winsim::SystemRegistry().WriteValue(m.ClientKey(pdo), u"FriendlyName", value), STATUS_SUCCESS);
}

std::string Description(enumtest::EnumMachine &m, PDEVICE_OBJECT pdo) { return m.Description(pdo); }

void PrintTo(const EntryCase &c, std::ostream *os) { *os << c.name; }

class DeviceEntryTest : public ::testing::TestWithParam<EntryCase> {
 protected:
  enumtest::EnumMachine machine{{"Maple"}};
};

TEST_P(DeviceEntryTest, EntryHoldsWhatTheRegistryGives) {
  const EntryCase &c = GetParam();
  PDEVICE_OBJECT pdo = machine.Plug("Maple");
  c.change(machine, pdo);
  CDeviceList list(GUID_DEVINTERFACE_UacClient);
  list.EnumerateDevices();
  ASSERT_EQ(list.GetDeviceCount(), 1u);
  EXPECT_EQ(std::string(list.GetDevice(0)->FriendlyName), c.friendlyName(machine, pdo));
  EXPECT_STREQ(list.GetDevice(0)->ImagePath, c.imagePath);
  EXPECT_EQ(std::string(list.GetDevice(0)->DevicePath), machine.Path(pdo, GUID_DEVINTERFACE_UacClient));
}

INSTANTIATE_TEST_SUITE_P(
    Registry, DeviceEntryTest,
    ::testing::Values(
        EntryCase{"LongNameIsCut",
                  [](enumtest::EnumMachine &m, PDEVICE_OBJECT pdo) {
                    SetValue(m, pdo, winsim::RegValue::String(std::u16string(300, u'n')));
                  },
                  [](enumtest::EnumMachine &, PDEVICE_OBJECT) { return std::string(259, 'n'); }, kImagePath},
        EntryCase{"UnterminatedNameEndsWithItsBytes",
                  [](enumtest::EnumMachine &m, PDEVICE_OBJECT pdo) {
                    SetValue(m, pdo, winsim::RegValue::Binary({'S', 0, 't', 0, 'u', 0}, REG_SZ));
                  },
                  [](enumtest::EnumMachine &, PDEVICE_OBJECT) { return std::string("Stu"); }, kImagePath},
        EntryCase{"NameOfAnotherTypeFallsBackToTheDescription",
                  [](enumtest::EnumMachine &m, PDEVICE_OBJECT pdo) { SetValue(m, pdo, winsim::RegValue::Dword(7)); },
                  Description, kImagePath},
        EntryCase{"NoNameAndNoDescriptionLeavesItEmpty",
                  [](enumtest::EnumMachine &m, PDEVICE_OBJECT pdo) {
                    DeleteValue(m.machine.Pnp().Device(pdo)->enumKey, u"DeviceDesc");
                  },
                  [](enumtest::EnumMachine &, PDEVICE_OBJECT) { return std::string(); }, kImagePath},
        EntryCase{"NoImagePathLeavesItEmpty",
                  [](enumtest::EnumMachine &, PDEVICE_OBJECT) {
                    DeleteValue(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\QavAudio", u"ImagePath");
                  },
                  Description, ""}),
    [](const ::testing::TestParamInfo<EntryCase> &info) { return std::string(info.param.name); });

class DeviceListTest : public ::testing::Test {
 protected:
  enumtest::EnumMachine machine{{"Maple", "Rowan", "Alder"}};
};

TEST_F(DeviceListTest, RemovingAnEntryKeepsTheOthersInOrder) {
  machine.Plug("Maple");
  machine.Plug("Rowan");
  machine.Plug("Alder");
  CDeviceList list(GUID_DEVINTERFACE_UacClient);
  list.EnumerateDevices();
  ASSERT_EQ(list.GetDeviceCount(), 3u);
  const DeviceEntry *second = list.GetDevice(1);
  const DeviceEntry *third = list.GetDevice(2);
  list.RemoveDevice(Upper(list.GetDevice(0)->DevicePath).c_str());
  ASSERT_EQ(list.GetDeviceCount(), 2u);
  EXPECT_EQ(list.GetDevice(0), second);
  EXPECT_EQ(list.GetDevice(1), third);
  EXPECT_EQ(list.GetDevice(2), nullptr);
  list.RemoveDevice("\\\\?\\not-listed");
  EXPECT_EQ(list.GetDeviceCount(), 2u);
}

TEST_F(DeviceListTest, TheTableHoldsThirtyTwoDevices) {
  CDeviceList list(GUID_DEVINTERFACE_UacClient);
  for (int i = 0; i < 40; ++i) {
    const std::string path = "\\\\?\\gone#" + std::to_string(i);
    list.AddDevice(path.c_str());
  }
  EXPECT_EQ(list.GetDeviceCount(), CDeviceList::kMaxDevices);
  EXPECT_STREQ(list.GetDevice(31)->DevicePath, "\\\\?\\gone#31");
  EXPECT_STREQ(list.GetDevice(31)->FriendlyName, "") << "nothing is known of a path no interface has";
}

DEV_BROADCAST_DEVICEINTERFACE_A Broadcast(DWORD type, const GUID &interfaceClass) {
  DEV_BROADCAST_DEVICEINTERFACE_A broadcast{};
  broadcast.dbcc_size = sizeof broadcast;
  broadcast.dbcc_devicetype = type;
  broadcast.dbcc_classguid = interfaceClass;
  return broadcast;
}

TEST_F(DeviceListTest, BroadcastsForOtherClassesOrTypesAreNotHandled) {
  CDeviceList list(GUID_DEVINTERFACE_UacClient);
  struct Case {
    const char *what;
    UINT message;
    DEV_BROADCAST_DEVICEINTERFACE_A broadcast;
    bool null;
  };
  const Case cases[] = {
      {"another class", WM_DEVICECHANGE, Broadcast(DBT_DEVTYP_DEVICEINTERFACE, KSCATEGORY_UacPrivate), false},
      {"another device type", WM_DEVICECHANGE, Broadcast(DBT_DEVTYP_HANDLE, GUID_DEVINTERFACE_UacClient), false},
      {"another message", WM_APP, Broadcast(DBT_DEVTYP_DEVICEINTERFACE, GUID_DEVINTERFACE_UacClient), false},
      {"no broadcast", WM_DEVICECHANGE, {}, true},
  };
  for (const Case &c : cases) {
    BOOL handled = TRUE;
    EXPECT_EQ(list.OnDeviceChange(c.message, DBT_DEVICEARRIVAL, c.null ? 0 : reinterpret_cast<LPARAM>(&c.broadcast),
                                  &handled),
              FALSE)
        << c.what;
    EXPECT_EQ(handled, FALSE) << c.what;
  }
  EXPECT_EQ(list.GetDeviceCount(), 0u);
  // For this list, any other event is handled and changes nothing.
  DEV_BROADCAST_DEVICEINTERFACE_A mine = Broadcast(DBT_DEVTYP_DEVICEINTERFACE, GUID_DEVINTERFACE_UacClient);
  BOOL handled = FALSE;
  EXPECT_EQ(list.OnDeviceChange(WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, reinterpret_cast<LPARAM>(&mine), &handled),
            TRUE);
  EXPECT_EQ(handled, TRUE);
  EXPECT_EQ(list.GetDeviceCount(), 0u);
}

CDeviceList *g_windowList = nullptr;

LRESULT CALLBACK ListWindow(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  BOOL handled = FALSE;
  return g_windowList != nullptr ? g_windowList->OnDeviceChange(message, wParam, lParam, &handled) : 0;
}

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

TEST_F(DeviceListTest, FollowsPlugAndUnplugThroughDeviceBroadcasts) {
  HWND window = winsim::CreateMessageWindow(ListWindow);
  HDEVNOTIFY notify = nullptr;
  {
    CDeviceList list(GUID_DEVINTERFACE_UacClient);
    g_windowList = &list;
    list.EnumerateDevices();
    notify = list.RegisterForNotifications(window);
    ASSERT_NE(notify, nullptr);

    PDEVICE_OBJECT maple = machine.Plug("Maple");
    PDEVICE_OBJECT rowan = machine.Plug("Rowan");
    Pump();
    ASSERT_EQ(list.GetDeviceCount(), 2u);
    // The broadcast's path differs in case from SetupAPI's, so enumerating
    // again must recognise both as listed.
    EXPECT_NE(std::string(list.GetDevice(0)->DevicePath), machine.Path(maple, GUID_DEVINTERFACE_UacClient));
    list.EnumerateDevices();
    EXPECT_EQ(list.GetDeviceCount(), 2u);
    EXPECT_STREQ(list.GetDevice(1)->ImagePath, kImagePath);

    machine.Unplug(maple, true);
    Pump();
    ASSERT_EQ(list.GetDeviceCount(), 1u);
    EXPECT_EQ(Upper(list.GetDevice(0)->DevicePath), Upper(machine.Path(rowan, GUID_DEVINTERFACE_UacClient)));
    g_windowList = nullptr;
  }
  EXPECT_FALSE(UnregisterDeviceNotification(notify)) << "the list's destructor unregistered it";
  DestroyWindow(window);
}

}  // namespace
