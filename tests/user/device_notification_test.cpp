// WM_DEVICECHANGE broadcasts to windows registered with
// RegisterDeviceNotificationA, as QavAudio's interfaces come and go with
// catalog devices; and the registrations Windows refuses.
#include <windows.h>
#include <dbt.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "driver_machine.h"
#include "uac2common/uac2private.h"
#include "winsim/user/window.h"

namespace {

struct Received {
  HWND window;
  WPARAM event;
  DWORD size;
  GUID classGuid;
  std::string name;
};

std::vector<Received> g_received;

LRESULT CALLBACK RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE || lParam == 0) return 0;
  const auto *broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A *>(lParam);
  if (broadcast->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return 0;
  g_received.push_back({window, wParam, broadcast->dbcc_size, broadcast->dbcc_classguid, broadcast->dbcc_name});
  return TRUE;
}

void Pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

DEV_BROADCAST_DEVICEINTERFACE_A Filter(const GUID &interfaceClass) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = interfaceClass;
  return filter;
}

bool SamePathIgnoringCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

class DeviceNotificationTest : public ::testing::Test {
 protected:
  void SetUp() override { g_received.clear(); }

  usertest::DriverMachine machine{{"Maple"}};
};

TEST_F(DeviceNotificationTest, RegisteredWindowsHearOfTheirClassArrivingAndLeaving) {
  HWND window = winsim::CreateMessageWindow(RecordingProcedure);
  HWND other = winsim::CreateMessageWindow(RecordingProcedure);
  DEV_BROADCAST_DEVICEINTERFACE_A filter = Filter(KSCATEGORY_UacPrivate);
  HDEVNOTIFY notify = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(notify, nullptr);
  // A class no device of the machine registers.
  const GUID kUnrelatedClass = {0x6b1f0e3a, 0x52c4, 0x4d7e, {0x9a, 0x10, 0x3c, 0x2e, 0x71, 0x55, 0x08, 0xd4}};
  DEV_BROADCAST_DEVICEINTERFACE_A client = Filter(kUnrelatedClass);
  HDEVNOTIFY unrelated = RegisterDeviceNotificationA(other, &client, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(unrelated, nullptr);

  PDEVICE_OBJECT pdo = machine.Plug("Maple");
  EXPECT_TRUE(g_received.empty()) << "sent messages wait until the window's thread pumps";
  Pump();
  ASSERT_EQ(g_received.size(), 1u) << "only the registered class, once";
  const Received arrival = g_received[0];
  EXPECT_EQ(arrival.window, window);
  EXPECT_EQ(arrival.event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
  EXPECT_EQ(arrival.classGuid, KSCATEGORY_UacPrivate);
  EXPECT_EQ(arrival.size, offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + arrival.name.size() + 1);

  // The broadcast names the interface SetupAPI lists, in another case.
  HDEVINFO set = SetupDiGetClassDevsA(&KSCATEGORY_UacPrivate, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_UacPrivate, 0, &data));
  BYTE buffer[600];
  auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, nullptr));
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_TRUE(SamePathIgnoringCase(arrival.name, detail->DevicePath)) << arrival.name << " / " << detail->DevicePath;
  EXPECT_NE(arrival.name, std::string(detail->DevicePath));

  g_received.clear();
  machine.Unplug(pdo, true);
  Pump();
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
  EXPECT_EQ(g_received[0].name, arrival.name);

  // Unregistered, the window hears nothing more.
  EXPECT_TRUE(UnregisterDeviceNotification(notify));
  EXPECT_FALSE(UnregisterDeviceNotification(notify));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  g_received.clear();
  pdo = machine.Plug("Maple");
  Pump();
  EXPECT_TRUE(g_received.empty());
  UnregisterDeviceNotification(unrelated);
  DestroyWindow(window);
  DestroyWindow(other);
}

TEST_F(DeviceNotificationTest, AllInterfaceClassesHearsEveryCategoryOfTheFilter) {
  HWND window = winsim::CreateMessageWindow(RecordingProcedure);
  DEV_BROADCAST_DEVICEINTERFACE_A filter = Filter(GUID{});
  HDEVNOTIFY notify =
      RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
  ASSERT_NE(notify, nullptr);
  machine.Plug("Maple");
  Pump();
  std::vector<GUID> classes;
  for (const Received &received : g_received) classes.push_back(received.classGuid);
  for (const GUID &category : {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_CAPTURE, KSCATEGORY_UacPrivate}) {
    EXPECT_NE(std::find(classes.begin(), classes.end(), category), classes.end());
  }
  UnregisterDeviceNotification(notify);
}

struct BadRegistration {
  const char *what;
  DWORD size;
  DWORD deviceType;
  DWORD flags;
  bool window;
  DWORD error;
};

TEST_F(DeviceNotificationTest, MalformedRegistrationsAreRefused) {
  HWND window = winsim::CreateMessageWindow(RecordingProcedure);
  const BadRegistration cases[] = {
      {"filter size of the header only", sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_DEVICEINTERFACE, 0, true,
       ERROR_INVALID_DATA},
      {"filter size zero", 0, DBT_DEVTYP_DEVICEINTERFACE, 0, true, ERROR_INVALID_DATA},
      {"a volume filter", sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), DBT_DEVTYP_VOLUME, 0, true, ERROR_INVALID_DATA},
      {"an unknown flag", sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), DBT_DEVTYP_DEVICEINTERFACE, 0x10, true,
       ERROR_INVALID_PARAMETER},
      {"no window", sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), DBT_DEVTYP_DEVICEINTERFACE, 0, false,
       ERROR_INVALID_WINDOW_HANDLE},
  };
  for (const BadRegistration &bad : cases) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter = Filter(KSCATEGORY_UacPrivate);
    filter.dbcc_size = bad.size;
    filter.dbcc_devicetype = bad.deviceType;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(RegisterDeviceNotificationA(bad.window ? window : reinterpret_cast<HWND>(0x1234), &filter, bad.flags),
              nullptr)
        << bad.what;
    EXPECT_EQ(GetLastError(), bad.error) << bad.what;
  }
  EXPECT_EQ(RegisterDeviceNotificationA(window, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
  DestroyWindow(window);
}

TEST_F(DeviceNotificationTest, WindowsBelongToTheirThread) {
  static std::vector<UINT> seen;
  seen.clear();
  HWND window = winsim::CreateMessageWindow([](HWND, UINT message, WPARAM, LPARAM) -> LRESULT {
    seen.push_back(message);
    return 0;
  });
  EXPECT_TRUE(PostMessageA(window, WM_APP + 1, 0, 0));
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP + 1));
  ASSERT_TRUE(PeekMessageA(&msg, window, WM_APP, WM_APP + 2, PM_REMOVE));
  EXPECT_EQ(DispatchMessageA(&msg), 0);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(seen, std::vector<UINT>{WM_APP + 1});

  // Another thread may post, but not destroy the window.
  BOOL destroyedElsewhere = TRUE;
  DWORD error = 0;
  DWORD dispatchError = 0;
  auto thread = machine.machine.Threads().Spawn("other", winsim::ThreadKind::User, 1000, [&] {
    destroyedElsewhere = DestroyWindow(window);
    error = GetLastError();
    MSG foreign{};
    foreign.hwnd = window;
    foreign.message = WM_APP + 3;
    DispatchMessageA(&foreign);
    dispatchError = GetLastError();
    PostMessageA(window, WM_APP + 2, 0, 0);
  });
  machine.machine.RunUntil([&] { return thread->Exited(); }, winsim::kTicksPerSecond);
  EXPECT_FALSE(destroyedElsewhere);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_EQ(dispatchError, ERROR_WINDOW_OF_OTHER_THREAD);
  EXPECT_EQ(seen, std::vector<UINT>{WM_APP + 1}) << "only the owner's thread runs the procedure";
  EXPECT_TRUE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE));
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(PostMessageA(window, WM_APP, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

}  // namespace
