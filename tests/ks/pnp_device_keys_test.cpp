// What the PnP manager keeps for a device: its Enum key, a driver key of its
// own that survives unplugging and a machine restart, and the properties a
// driver reads with IoGetDeviceProperty's size-then-read protocol.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "ks_test_support.h"
#include "winsim/kernel/registry_store.h"

using namespace kstest;

namespace {

constexpr char16_t kEnumKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2B5A&PID_8014\\";
constexpr char16_t kMediaClass[] = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";

std::optional<DWORD> QueryDword(HANDLE key, const char16_t *valueName) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(DWORD)];
  ULONG length = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  if (!NT_SUCCESS(status) || info->Type != REG_DWORD || info->DataLength != sizeof(DWORD)) return std::nullopt;
  DWORD value;
  std::memcpy(&value, info->Data, sizeof value);
  return value;
}

// The driver's Add: read "UrbSize" from the driver key, store 5 when missing.
NTSTATUS ReadOrStoreUrbSize(PKSDEVICE device) {
  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(device->PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                            KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::optional<DWORD> urbSize = QueryDword(key, u"UrbSize");
  MiniDriver::Instance().Record("UrbSize", urbSize ? std::to_string(*urbSize) : "missing");
  if (!urbSize) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"UrbSize");
    DWORD value = 5;
    ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value);
  }
  ZwClose(key);
  return STATUS_SUCCESS;
}

std::string UrbSizeSeen() {
  std::vector<Call> calls = MiniDriver::Instance().Calls();
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (it->name == "UrbSize") return it->detail;
  }
  return "not read";
}

using DeviceKeys = KsTest;

TEST_F(DeviceKeys, TheEnumKeyNamesTheDeviceItsServiceAndItsDriverKey) {
  PlugDevice();
  winsim::Registry &registry = winsim::SystemRegistry();
  std::u16string enumKey = std::u16string(kEnumKey) + u"QAV0001";
  EXPECT_EQ(registry.ReadValue(enumKey, u"HardwareID"),
            winsim::RegValue::MultiString({u"USB\\VID_2B5A&PID_8014&REV_0100", u"USB\\VID_2B5A&PID_8014"}));
  EXPECT_EQ(registry.ReadValue(enumKey, u"Service"), winsim::RegValue::String(kService));
  EXPECT_EQ(registry.ReadValue(enumKey, u"Driver"), winsim::RegValue::String(std::u16string(kMediaClass) + u"\\0000"));
  EXPECT_EQ(registry.ReadValue(enumKey, u"ClassGUID"), winsim::RegValue::String(kMediaClass));
  EXPECT_TRUE(registry.ReadValue(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\QavKsTest", u"ImagePath"));
}

TEST_F(DeviceKeys, EachDeviceGetsADriverKeyOfItsOwnAndFindsItAgainWhenReplugged) {
  Driver().script.add = ReadOrStoreUrbSize;
  BusDevice second;
  second.instanceId = u"QAV0002";
  PDEVICE_OBJECT a = PlugDevice();
  PDEVICE_OBJECT b = PlugDevice(second);
  EXPECT_EQ(Node(a).driverKeyName, std::u16string(kMediaClass) + u"\\0000");
  EXPECT_EQ(Node(b).driverKeyName, std::u16string(kMediaClass) + u"\\0001");
  bus.Unplug(a, true);
  bus.Unplug(b, false);
  PDEVICE_OBJECT again = PlugDevice(second);
  EXPECT_EQ(Node(again).driverKeyName, std::u16string(kMediaClass) + u"\\0001");
  EXPECT_EQ(UrbSizeSeen(), "5") << "the value the device stored before it left";
}

TEST_F(DeviceKeys, TheDeviceKeyIsTheEnumKeysDeviceParameters) {
  PDEVICE_OBJECT pdo = PlugDevice();
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Marker");
  DWORD value = 42;
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_EQ(winsim::SystemRegistry().ReadValue(std::u16string(kEnumKey) + u"QAV0001\\Device Parameters", u"Marker"),
            winsim::RegValue::Dword(42));
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, 3, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

TEST(DeviceKeyPersistence, TheDriverKeyComesBackAfterAMachineRestartWithTheSameStateFolder) {
  std::string folder = ::testing::TempDir() + "ks_driver_key_state";
  std::filesystem::remove_all(folder);
  for (const char *expected : {"missing", "5"}) {
    winsim::MachineOptions options;
    options.stateFolder = folder;
    winsim::Machine machine(options);
    TestBus bus(machine);
    MiniDriver::Instance().Reset();
    MiniDriver::Instance().script.add = ReadOrStoreUrbSize;
    machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
    PDEVICE_OBJECT pdo = bus.Plug();
    EXPECT_EQ(UrbSizeSeen(), expected);
    bus.Unplug(pdo, true);
    bus.Unload();
  }
  MiniDriver::Instance().Reset();
  std::filesystem::remove_all(folder);
}

std::vector<UCHAR> Bytes(const std::u16string &text) {
  const auto *bytes = reinterpret_cast<const UCHAR *>(text.c_str());
  return std::vector<UCHAR>(bytes, bytes + (text.size() + 1) * sizeof(WCHAR));
}

struct Property {
  const char *name;
  DEVICE_REGISTRY_PROPERTY id;
  std::vector<UCHAR> expected;
};

class DeviceProperty : public KsTest, public ::testing::WithParamInterface<Property> {};

TEST_P(DeviceProperty, ASizeQueryAndAShortBufferReportTheSizeThenTheExactBufferReceivesIt) {
  PDEVICE_OBJECT pdo = PlugDevice();
  const Property &p = GetParam();
  ULONG size = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo, p.id, 0, nullptr, &size), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(size, p.expected.size());
  std::vector<UCHAR> buffer(size + 2, 0xCC);
  ULONG again = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo, p.id, size - 1, buffer.data(), &again), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(again, size);
  EXPECT_EQ(buffer[0], 0xCC) << "nothing is copied into a short buffer";
  EXPECT_EQ(IoGetDeviceProperty(pdo, p.id, size, buffer.data(), &again), STATUS_SUCCESS);
  EXPECT_EQ(again, size);
  EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + size), p.expected);
  EXPECT_EQ(buffer[size], 0xCC);
}

std::vector<UCHAR> Ulong(ULONG value) {
  std::vector<UCHAR> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Properties, DeviceProperty,
    ::testing::Values(
        Property{"HardwareID", DevicePropertyHardwareID,
                 Bytes(std::u16string(u"USB\\VID_2B5A&PID_8014&REV_0100") + u'\0' + u"USB\\VID_2B5A&PID_8014" + u'\0')},
        Property{"DriverKeyName", DevicePropertyDriverKeyName, Bytes(std::u16string(kMediaClass) + u"\\0000")},
        Property{"DeviceDescription", DevicePropertyDeviceDescription, Bytes(u"Tessarin Larch")},
        Property{"ClassName", DevicePropertyClassName, Bytes(u"MEDIA")},
        Property{"EnumeratorName", DevicePropertyEnumeratorName, Bytes(u"USB")},
        Property{"LocationInformation", DevicePropertyLocationInformation, Bytes(u"Port_#0003.Hub_#0001")},
        Property{"Address", DevicePropertyAddress, Ulong(3)}),
    [](const auto &info) { return std::string(info.param.name); });

using DevicePropertyErrors = KsTest;

TEST_F(DevicePropertyErrors, AMissingPropertyIsNotFoundAndAnUnkeptOneAnInvalidParameter) {
  PDEVICE_OBJECT pdo = PlugDevice();
  ULONG size = 1;
  WCHAR buffer[64];
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof buffer, buffer, &size),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBootConfiguration, sizeof buffer, buffer, &size),
            STATUS_INVALID_PARAMETER_2);
}

TEST(DevicePropertyRules, AskingAFunctionalDeviceObjectIsAFatalPnpError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        MiniDriver::Instance().Reset();
        machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
        bus.Plug();
        ULONG size = 0;
        IoGetDeviceProperty(MiniDriver::Instance().LastDevice()->FunctionalDeviceObject, DevicePropertyHardwareID, 0,
                            nullptr, &size);
      },
      "0x000000CA.*\n.*PNP_DETECTED_FATAL_ERROR: IoGetDeviceProperty of device object .*, which is not a PDO");
}

}  // namespace
