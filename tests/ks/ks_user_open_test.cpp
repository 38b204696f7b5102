// Filters opened from user mode: CreateFileA on the interface path SetupAPI
// hands out (lower case) reaches the factory's create item through the I/O
// manager, CloseHandle closes the filter, and a device unplugged under an
// open handle fails its requests, waits for the close, then goes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include "tests/ks/ks_test_support.h"
#include "winsim/user/device_paths.h"

using namespace kstest;

namespace {

HANDLE OpenPath(const std::string &path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

using KsCreatePinFn = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

class UserOpen : public KsTest {
 protected:
  PDEVICE_OBJECT PlugWithFactory() {
    Driver().script.postStart = [](PKSDEVICE device) {
      PKSFILTERFACTORY factory = nullptr;
      KsAcquireDevice(device);
      NTSTATUS status = CreateTestFactory(device, &factory);
      KsReleaseDevice(device);
      return status;
    };
    return PlugDevice();
  }

  std::string FilterPath() {
    std::vector<winsim::DeviceInterfaceInfo> found = machine.Pnp().Interfaces(&kFactoryCategories[0], true);
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? std::string() : winsim::UserInterfacePath(found[0]);
  }

  DWORD Ioctl(HANDLE file) {
    KSPROPERTY property{};
    ULONG value = 0;
    DWORD bytes = 0;
    if (DeviceIoControl(file, IOCTL_KS_PROPERTY, &property, sizeof property, &value, sizeof value, &bytes, nullptr)) {
      return ERROR_SUCCESS;
    }
    return GetLastError();
  }
};

TEST_F(UserOpen, TheLowerCaseInterfacePathOpensAFilterAndCloseHandleClosesIt) {
  PlugWithFactory();
  std::string path = FilterPath();
  EXPECT_THAT(path, ::testing::StartsWith("\\\\?\\usb#vid_2b5a&pid_8014#qav0001#{"));
  EXPECT_THAT(path, ::testing::EndsWith("}\\global"));
  HANDLE filter = OpenPath(path);
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Driver().Names().back(), "FilterCreate");
  EXPECT_EQ(Node(Driver().LastDevice()->PhysicalDeviceObject).openHandles, 1u);
  EXPECT_EQ(Ioctl(filter), ERROR_NOT_FOUND) << "a property set the filter does not have";
  KSPROPERTY ctypes{};
  ctypes.Set = KSPROPSETID_Pin;
  ctypes.Id = KSPROPERTY_PIN_CTYPES;
  ctypes.Flags = KSPROPERTY_TYPE_GET;
  ULONG pins = 99;
  DWORD bytes = 0;
  EXPECT_TRUE(DeviceIoControl(filter, IOCTL_KS_PROPERTY, &ctypes, sizeof ctypes, &pins, sizeof pins, &bytes, nullptr))
      << "answered from the filter's descriptor through the user-mode boundary";
  EXPECT_EQ(bytes, sizeof(ULONG));
  EXPECT_NE(pins, 99u);
  HMODULE ksuser = LoadLibraryA("ksuser.dll");
  auto createPin = reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void *>(GetProcAddress(ksuser, "KsCreatePin")));
  struct {
    KSPIN_CONNECT connect;
    KSDATAFORMAT format;
  } request{};
  request.format.FormatSize = sizeof(KSDATAFORMAT);
  HANDLE pin = nullptr;
  request.connect.PinId = 77;
  EXPECT_EQ(createPin(filter, &request.connect, GENERIC_READ | GENERIC_WRITE, &pin), ERROR_INVALID_PARAMETER)
      << "the pin create item refuses a pin the filter does not have";
  EXPECT_TRUE(CloseHandle(filter));
  EXPECT_EQ(Driver().Names().back(), "FilterClose");
  EXPECT_EQ(Node(Driver().LastDevice()->PhysicalDeviceObject).openHandles, 0u);
}

TEST_F(UserOpen, AReferenceStringNoFactoryHasIsNotFound) {
  PlugWithFactory();
  std::string path = FilterPath();
  path.replace(path.size() - 6, 6, "globa");
  EXPECT_EQ(OpenPath(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  path.resize(path.rfind('\\'));
  EXPECT_EQ(OpenPath(path + "x\\global"), INVALID_HANDLE_VALUE) << "the link must match whole";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

constexpr GUID kReferenceGuid = {0x5a1e0c7e, 0x1b2d, 0x4c3f, {0x8a, 0x90, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
const KSFILTER_DESCRIPTOR kGuidNamed = {nullptr, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, &kReferenceGuid,
                                        0,       sizeof(KSPIN_DESCRIPTOR_EX), nullptr, 1, &kPrivateCategory,
                                        0,       sizeof(KSNODE_DESCRIPTOR), nullptr, 0, nullptr, nullptr};

TEST_F(UserOpen, AFactoryWithoutReferenceStringIsNamedByItsGuidAndTwoCannotShareAName) {
  static NTSTATUS second;
  Driver().script.postStart = [](PKSDEVICE device) {
    PKSFILTERFACTORY factory = nullptr;
    KsAcquireDevice(device);
    NTSTATUS status = KsCreateFilterFactory(device->FunctionalDeviceObject, &kGuidNamed, nullptr, nullptr, 0,
                                            nullptr, nullptr, &factory);
    second = KsCreateFilterFactory(device->FunctionalDeviceObject, &kGuidNamed,
                                   const_cast<PWSTR>(u"{5A1E0C7E-1B2D-4C3F-8A90-112233445566}"), nullptr, 0, nullptr,
                                   nullptr, &factory);
    KsReleaseDevice(device);
    return status;
  };
  PlugDevice();
  EXPECT_EQ(second, STATUS_OBJECT_NAME_COLLISION);
  std::vector<winsim::DeviceInterfaceInfo> found = machine.Pnp().Interfaces(&kPrivateCategory, true);
  ASSERT_EQ(found.size(), 1u);
  std::string path = winsim::UserInterfacePath(found[0]);
  EXPECT_THAT(path, ::testing::EndsWith("\\{5a1e0c7e-1b2d-4c3f-8a90-112233445566}"));
  HANDLE filter = OpenPath(path);
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(filter));
}

TEST_F(UserOpen, AnUnpluggedDeviceFailsRequestsOnOpenHandlesAndGoesAtTheLastClose) {
  PDEVICE_OBJECT pdo = PlugWithFactory();
  const std::string path = FilterPath();
  HANDLE filter = OpenPath(path);
  ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  bus.Unplug(pdo, true);
  EXPECT_EQ(Node(pdo).state, winsim::DeviceNodeState::SurpriseRemoved);
  EXPECT_TRUE(DriverLoaded()) << "REMOVE_DEVICE waits for the open handle";
  EXPECT_EQ(Ioctl(filter), ERROR_DEVICE_REMOVED);
  EXPECT_EQ(OpenPath(path), INVALID_HANDLE_VALUE) << "the interface went with the device";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(CloseHandle(filter));
  EXPECT_TRUE(Driver().Find("FilterClose").has_value());
  machine.Pnp().WaitIdle();
  EXPECT_FALSE(DriverLoaded());
}

}  // namespace
