// SetupAPI over the machine's device interfaces, with QavAudio's filter
// registered for catalog interfaces: enumeration, the detail size protocol
// and its structure-size checks, opening interfaces by path, interface keys
// and device properties.
#include <windows.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver_machine.h"
#include "uac2common/uac2private.h"

namespace {

constexpr DWORD kFixedDetail = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

class SetupApiTest : public ::testing::Test {
 protected:
  HDEVINFO PresentInterfaces(const GUID &interfaceClass) {
    HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    return set;
  }

  SP_DEVICE_INTERFACE_DATA Member(HDEVINFO set, const GUID &interfaceClass, DWORD index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data));
    return data;
  }

  std::string Path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *data, SP_DEVINFO_DATA *device = nullptr) {
    std::vector<BYTE> buffer(1024);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, data, detail, static_cast<DWORD>(buffer.size()), nullptr, device));
    return detail->DevicePath;
  }

  usertest::DriverMachine machine{{"Maple", "Rowan"}};
};

TEST_F(SetupApiTest, PresentInterfacesOfAClassAreListedOncePerDevice) {
  PDEVICE_OBJECT maple = machine.Plug("Maple");
  machine.Plug("Rowan");
  HDEVINFO set = PresentInterfaces(KSCATEGORY_UacPrivate);
  std::vector<std::string> paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_UacPrivate, index, &data); ++index) {
    EXPECT_EQ(data.InterfaceClassGuid, KSCATEGORY_UacPrivate);
    EXPECT_EQ(data.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    paths.push_back(Path(set, &data));
    ASSERT_LT(index, 8u);
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(paths.size(), 2u);
  for (const std::string &path : paths) {
    EXPECT_EQ(path.rfind("\\\\?\\usb#vid_", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 7), "\\global") << "the reference string names the filter";
    HANDLE filter = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(filter, INVALID_HANDLE_VALUE) << "the path opens the driver's filter: " << path;
    CloseHandle(filter);
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

  machine.Unplug(maple);
  set = PresentInterfaces(KSCATEGORY_UacPrivate);
  SP_DEVICE_INTERFACE_DATA left = Member(set, KSCATEGORY_UacPrivate, 0);
  const std::string remaining = Path(set, &left);
  EXPECT_TRUE(remaining == paths[0] || remaining == paths[1]) << remaining;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_UacPrivate, 1, &data));
  SetupDiDestroyDeviceInfoList(set);
  // Without DIGCF_PRESENT the interface the departed device registered is still known.
  set = SetupDiGetClassDevsA(&KSCATEGORY_UacPrivate, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_UacPrivate, 1, &data));
  EXPECT_EQ(data.Flags, 0u);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, DetailSizeQueryGivesTheRequiredSizeAndTheDevice) {
  PDEVICE_OBJECT pdo = machine.Plug("Maple");
  HDEVINFO set = PresentInterfaces(KSCATEGORY_UacPrivate);
  SP_DEVICE_INTERFACE_DATA data = Member(set, KSCATEGORY_UacPrivate, 0);
  const std::string path = Path(set, &data);

  DWORD required = 0;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, &device));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, kFixedDetail + path.size() + 1);
  EXPECT_NE(device.DevInst, 0u) << "the device's data comes with the size query";
  EXPECT_EQ(device.ClassGuid, winsim::kMediaClassGuid);

  std::vector<BYTE> buffer(required);
  auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::string(detail->DevicePath), path);
  EXPECT_EQ(detail->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) << "cbSize stays the fixed part's";
  (void)pdo;
  SetupDiDestroyDeviceInfoList(set);
}

// Routines that get the structure sizes wrong, each refused as Windows refuses it.
struct DetailMistake {
  const char *what;
  DWORD detailCbSize;   // 0: no detail buffer
  DWORD bufferSize;
  DWORD interfaceCbSize;
  DWORD deviceCbSize;   // 0: no device data
  DWORD error;
};

TEST_F(SetupApiTest, DetailRefusesWrongStructureSizes) {
  machine.Plug("Maple");
  HDEVINFO set = PresentInterfaces(KSCATEGORY_UacPrivate);
  SP_DEVICE_INTERFACE_DATA member = Member(set, KSCATEGORY_UacPrivate, 0);
  const DWORD detailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  const DetailMistake mistakes[] = {
      {"32-bit detail size on 64-bit", 5, 512, sizeof member, 0, ERROR_INVALID_USER_BUFFER},
      {"detail size counting the buffer", 512, 512, sizeof member, 0, ERROR_INVALID_USER_BUFFER},
      {"detail cbSize left zero", 0xFFFFFFFF, 512, sizeof member, 0, ERROR_INVALID_USER_BUFFER},
      {"size without a buffer", 0, 512, sizeof member, 0, ERROR_INVALID_USER_BUFFER},
      {"buffer below the fixed part and a terminator", detailSize, kFixedDetail, sizeof member, 0,
       ERROR_INVALID_USER_BUFFER},
      {"interface data of the wrong size", detailSize, 512, sizeof member - 8, 0, ERROR_INVALID_USER_BUFFER},
      {"device data of the wrong size", detailSize, 512, sizeof member, 28, ERROR_INVALID_USER_BUFFER},
  };
  for (const DetailMistake &mistake : mistakes) {
    std::vector<BYTE> buffer(512);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = mistake.detailCbSize == 0xFFFFFFFF ? 0 : mistake.detailCbSize;
    SP_DEVICE_INTERFACE_DATA data = member;
    data.cbSize = mistake.interfaceCbSize;
    SP_DEVINFO_DATA device{};
    device.cbSize = mistake.deviceCbSize;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, mistake.detailCbSize == 0 ? nullptr : detail,
                                                  mistake.bufferSize, nullptr,
                                                  mistake.deviceCbSize == 0 ? nullptr : &device))
        << mistake.what;
    EXPECT_EQ(GetLastError(), mistake.error) << mistake.what;
  }
  SP_DEVICE_INTERFACE_DATA wrong{};
  wrong.cbSize = 24;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_UacPrivate, 0, &wrong));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  SP_DEVICE_INTERFACE_DATA foreign = member;
  foreign.Reserved = 77;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &foreign, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "data that is not the set's";
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_UacPrivate, 0, &member));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApiTest, InterfacesOpenByPathWhateverTheCase) {
  machine.Plug("Maple");
  HDEVINFO all = PresentInterfaces(KSCATEGORY_AUDIO);
  SP_DEVICE_INTERFACE_DATA member = Member(all, KSCATEGORY_AUDIO, 0);
  std::string path = Path(all, &member);
  SetupDiDestroyDeviceInfoList(all);
  for (char &c : path) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiOpenDeviceInterfaceA(set, path.c_str(), 0, &data));
  EXPECT_EQ(data.InterfaceClassGuid, KSCATEGORY_AUDIO);
  // The driver writes the product name into its filter's interface key.
  HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &data, 0, KEY_READ);
  ASSERT_NE(key, INVALID_HANDLE_VALUE);
  char name[64] = {};
  DWORD size = sizeof name;
  EXPECT_EQ(RegQueryValueExA(key, "FriendlyName", nullptr, nullptr, reinterpret_cast<BYTE *>(name), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Tessarin Maple");
  RegCloseKey(key);

  EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(set, "\\\\?\\usb#vid_0000&pid_0000#x#{00000000-0000-0000-0000-000000000000}",
                                           0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE));
  EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(set, path.c_str(), 0x8, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  SetupDiDestroyDeviceInfoList(set);

  // A set of another setup class does not take the media device.
  const GUID ports = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
  set = SetupDiCreateDeviceInfoList(&ports, nullptr);
  EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(set, path.c_str(), 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, DevicePropertiesComeFromTheDevicesEnumKey) {
  PDEVICE_OBJECT pdo = machine.Plug("Rowan");
  HDEVINFO set = PresentInterfaces(KSCATEGORY_UacPrivate);
  SP_DEVICE_INTERFACE_DATA data = Member(set, KSCATEGORY_UacPrivate, 0);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  Path(set, &data, &device);

  struct Expected {
    DWORD property;
    std::string text;
  };
  for (const Expected &expected : {Expected{SPDRP_DEVICEDESC, machine.Description(pdo)},
                                   Expected{SPDRP_SERVICE, "QavAudio"}, Expected{SPDRP_CLASS, "MEDIA"}}) {
    DWORD type = REG_NONE;
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, expected.property, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, expected.text.size() + 1);
    std::vector<char> buffer(required);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, expected.property, &type,
                                                  reinterpret_cast<BYTE *>(buffer.data()), required, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(buffer.data()), expected.text);
  }
  char buffer[64];
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                 reinterpret_cast<BYTE *>(buffer), sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << "an unset property";
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, 0x3, nullptr, reinterpret_cast<BYTE *>(buffer),
                                                 sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  device.cbSize = 28;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_SERVICE, nullptr,
                                                 reinterpret_cast<BYTE *>(buffer), sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(SetupApiTest, ClassDevsRefusesFlagsAndClassesItCannotTake) {
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetupDiGetClassDevsA(&KSCATEGORY_UacPrivate, nullptr, nullptr, 0x100), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  HDEVINFO empty = PresentInterfaces(GUID_DEVINTERFACE_UacClient);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(empty, nullptr, &GUID_DEVINTERFACE_UacClient, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  SetupDiDestroyDeviceInfoList(empty);
}

}  // namespace
