// The shipped QavAudio.inf installed on a Machine: what it binds, what a
// bound device's keys and interfaces hold, and that the client interface
// leads to the driver's filter.
#include <gtest/gtest.h>
#include <windows.h>
#include <ksmedia.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "kerneldriver/qavaudio_inf.h"
#include "uac2common/uac2private.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/pnp_keys.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/machine.h"
#include "winsim/user/device_paths.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

using winsim::devices::DeviceModel;

const GUID kProxyClsid = {0x17CCA71B, 0xECD7, 0x11D0, {0xB9, 0x08, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

std::u16string HardwareId(uint16_t vendor, uint16_t product) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
  return winsim::pnp::Widen(text);
}

std::optional<std::u16string> StringValue(const std::u16string &key, const char16_t *name) {
  return winsim::pnp::ReadString(key, name);
}

std::optional<DWORD> DwordValue(const std::u16string &key, const char16_t *name) {
  auto value = winsim::SystemRegistry().ReadValue(key, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  return static_cast<DWORD>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 | value->data[3] << 24);
}

class PackageInstall : public ::testing::Test {
 protected:
  winsim::Machine machine{Options()};

  static winsim::MachineOptions Options() {
    winsim::MachineOptions options;
    options.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;
    return options;
  }

  winsim::setup::PackageResult Install(std::string_view text) {
    return machine.InstallPackage(qav::kQavAudioInfName, text, {{u"QavAudio", DriverEntry}});
  }

  PDEVICE_OBJECT Plug(const char *model) {
    auto built = winsim::devices::BuildDevice(*winsim::devices::FindModel(model));
    EXPECT_TRUE(built.Ok());
    auto handle = machine.PlugDevice(std::make_shared<winsim::devices::AudioDevice>(built.definition));
    machine.Pnp().WaitIdle();
    handles.push_back(handle);
    for (const auto &info : machine.UsbDevices()) {
      if (info.handle == handle) return info.pdo;
    }
    return nullptr;
  }

  // The enabled interface of the class on the device, if there is one.
  std::optional<winsim::DeviceInterfaceInfo> InterfaceOf(PDEVICE_OBJECT pdo, const GUID &classGuid) {
    for (const auto &info : machine.Pnp().Interfaces(&classGuid, true)) {
      if (info.pdo == pdo) return info;
    }
    return std::nullopt;
  }

  void TearDown() override {
    for (auto &handle : handles) machine.UnplugDevice(handle, false);
  }

  std::vector<winsim::usb::UsbDeviceHandle> handles;
};

TEST_F(PackageInstall, TheInfNamesEveryModelOfTheFamilyUnderBothVendorIds) {
  auto result = Install(qav::QavAudioInfText());
  ASSERT_TRUE(result.Ok()) << result.Describe();
  auto listed = [&](const std::u16string &id) {
    for (const auto &have : result.hardwareIds) {
      if (winsim::pnp::EqualNoCase(have, id)) return true;
    }
    return false;
  };
  for (const auto *models : {&winsim::devices::Catalog(), &winsim::devices::Variants()}) {
    for (const DeviceModel &model : *models) {
      SCOPED_TRACE(model.name);
      const bool family = model.vendorId == winsim::devices::kQavVendorId;
      const bool supplier = model.vendorId == winsim::devices::kControllerVendorId;
      EXPECT_EQ(listed(HardwareId(model.vendorId, model.productId)), family || supplier);
      if (family) {
        EXPECT_TRUE(listed(HardwareId(winsim::devices::kControllerVendorId, model.productId)));
      }
    }
  }
}

TEST_F(PackageInstall, ABoundDeviceGetsTheServiceAndTheKeysTheInfGives) {
  ASSERT_TRUE(Install(qav::QavAudioInfText()).Ok());
  PDEVICE_OBJECT pdo = Plug("Larch");
  auto node = machine.Pnp().Device(pdo);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->service, u"QavAudio");
  EXPECT_EQ(node->postStartStatus, STATUS_SUCCESS);
  EXPECT_TRUE(node->classGuid == winsim::kMediaClassGuid);

  EXPECT_EQ(StringValue(node->driverKey, u"EnumPropPages32"), u"QavPropPage.dll,UAC2PropertyPageProvider");
  EXPECT_EQ(StringValue(node->driverKey, u"DriverDesc"), u"Quorvin Tessarin Larch");
  EXPECT_TRUE(winsim::pnp::EqualNoCase(StringValue(node->driverKey, u"MatchingDeviceId").value_or(u""),
                                       u"USB\\VID_2B5A&PID_8014"));
  EXPECT_EQ(StringValue(node->enumKey, u"DeviceDesc"), u"Quorvin Tessarin Larch");
  EXPECT_EQ(StringValue(node->enumKey, u"Mfg"), u"Quorvin");

  const std::u16string service = std::u16string(winsim::pnp::kServicesRoot) + u"\\QavAudio";
  EXPECT_EQ(DwordValue(service, u"Type"), 1u);
  EXPECT_EQ(DwordValue(service, u"Start"), 3u);
  EXPECT_EQ(DwordValue(service, u"ErrorControl"), 1u);
  EXPECT_EQ(StringValue(service, u"ImagePath"),
            u"\\SystemRoot\\System32\\DriverStore\\FileRepository\\qavaudio.inf_amd64\\QavAudio.sys");
  EXPECT_EQ(StringValue(service, u"DisplayName"), u"Quorvin Tessarin USB Audio Driver");
}

TEST_F(PackageInstall, TheFilterInterfacesCarryTheValuesOfTheirInstallSections) {
  ASSERT_TRUE(Install(qav::QavAudioInfText()).Ok());
  PDEVICE_OBJECT pdo = Plug("Larch");
  const struct {
    const char *name;
    GUID classGuid;
    const char16_t *friendlyName;  // null: none
    bool proxy;
  } cases[] = {
      {"audio (named by the driver)", KSCATEGORY_AUDIO, u"Tessarin Larch", true},
      {"render", KSCATEGORY_RENDER, u"Quorvin Tessarin USB Audio", true},
      {"capture", KSCATEGORY_CAPTURE, u"Quorvin Tessarin USB Audio", true},
      {"private", KSCATEGORY_UacPrivate, u"Quorvin Tessarin USB Audio", false},
      {"client (named by the device description)", GUID_DEVINTERFACE_UacClient, nullptr, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto info = InterfaceOf(pdo, c.classGuid);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->referenceString, u"GLOBAL");
    const std::u16string parameters = info->registryKey + u"\\" + winsim::pnp::kDeviceParameters;
    auto friendly = StringValue(parameters, u"FriendlyName");
    EXPECT_EQ(friendly.has_value(), c.friendlyName != nullptr);
    if (c.friendlyName != nullptr) {
      EXPECT_EQ(friendly, c.friendlyName);
    }
    auto clsid = StringValue(parameters, u"CLSID");
    EXPECT_EQ(clsid.has_value(), c.proxy);
    if (c.proxy) {
      EXPECT_TRUE(winsim::pnp::EqualNoCase(*clsid, winsim::pnp::GuidText(kProxyClsid)));
    }
  }
}

// The number of pin types of the filter the path opens, 0 when it does not open.
ULONG PinTypesThrough(const winsim::DeviceInterfaceInfo &info) {
  HANDLE filter = CreateFileA(winsim::UserInterfacePath(info).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (filter == INVALID_HANDLE_VALUE) return 0;
  KSPROPERTY property{};
  property.Set = KSPROPSETID_Pin;
  property.Id = KSPROPERTY_PIN_CTYPES;
  property.Flags = KSPROPERTY_TYPE_GET;
  ULONG pinTypes = 0;
  DWORD bytes = 0;
  if (!DeviceIoControl(filter, IOCTL_KS_PROPERTY, &property, sizeof property, &pinTypes, sizeof pinTypes, &bytes,
                       nullptr)) {
    pinTypes = 0;
  }
  CloseHandle(filter);
  return pinTypes;
}

// Maple renders only: its filter has a streaming and a bridge pin.
TEST_F(PackageInstall, TheClientInterfaceOpensTheDriversFilterUntilTheDeviceGoes) {
  ASSERT_TRUE(Install(qav::QavAudioInfText()).Ok());
  PDEVICE_OBJECT pdo = Plug("Maple");
  auto client = InterfaceOf(pdo, GUID_DEVINTERFACE_UacClient);
  auto audio = InterfaceOf(pdo, KSCATEGORY_AUDIO);
  ASSERT_TRUE(client);
  ASSERT_TRUE(audio);
  EXPECT_EQ(PinTypesThrough(*client), 2u);
  EXPECT_EQ(PinTypesThrough(*audio), 2u);

  machine.UnplugDevice(handles.back(), true);
  handles.pop_back();
  EXPECT_FALSE(InterfaceOf(pdo, GUID_DEVINTERFACE_UacClient));
}

TEST_F(PackageInstall, ACatalogDeviceTheInfDoesNotListGetsNoDriver) {
  ASSERT_TRUE(Install(qav::QavAudioInfText()).Ok());
  PDEVICE_OBJECT pdo = Plug("Ivy");
  auto node = machine.Pnp().Device(pdo);
  ASSERT_TRUE(node);
  EXPECT_TRUE(node->service.empty());
  EXPECT_EQ(node->state, winsim::DeviceNodeState::NoDriver);
  EXPECT_EQ(node->problem, winsim::kProblemFailedInstall);
  EXPECT_TRUE(machine.Pnp().Interfaces(&GUID_DEVINTERFACE_UacClient, false).empty());
}

TEST_F(PackageInstall, ARefusedInfInstallsNothing) {
  std::string damaged(qav::QavAudioInfText());
  damaged.replace(damaged.find("%QavAudio.ServiceDesc%"), 22, "%QavAudio.ServiceDescr%");
  auto result = Install(damaged);
  EXPECT_FALSE(result.Ok());
  EXPECT_NE(result.Describe().find("undefined string %QavAudio.ServiceDescr%"), std::string::npos) << result.Describe();
  EXPECT_FALSE(winsim::SystemRegistry().KeyExists(std::u16string(winsim::pnp::kServicesRoot) + u"\\QavAudio"));
  auto node = machine.Pnp().Device(Plug("Larch"));
  ASSERT_TRUE(node);
  EXPECT_TRUE(node->service.empty());
}

}  // namespace

namespace {

const char kSmallInf[] = R"([Version]
Signature="$Windows NT$"
Class=MEDIA
ClassGuid={4d36e96c-e325-11ce-bfc1-08002be10318}
Provider=%Maker%
DriverVer=01/02/2026,1.2.3.4
[Manufacturer]
%Maker%=Models,NTamd64
[Models.NTamd64]
%Device%=Inst,USB\VID_2B5A&PID_8014
[Inst]
AddReg=Soft
[Inst.HW]
AddReg=Hard
[Inst.Services]
AddService=QavAudio,2,Service
[Service]
ServiceType=1
StartType=3
ErrorControl=1
ServiceBinary=%12%\QavAudio.sys
AddReg=ServiceReg
[Soft]
HKR,,Sz,,"text"
HKR,,Dword,0x00010001,0x2A
HKR,,Multi,0x00010000,a,b
HKR,,Expand,0x00020000,"%%SystemRoot%%\x"
HKR,,Bin,1,de,AD
HKR,Sub,,0x10
HKLM,"SOFTWARE\Qav",Kept,0x2,new
HKLM,"SOFTWARE\Qav",Replaced,,new
[Hard]
HKR,,HwValue,0x00010001,7
[ServiceReg]
HKR,Parameters,Level,0x00010001,3
[Strings]
Maker="Maker"
Device="Device"
)";

TEST_F(PackageInstall, AddRegLinesWriteTheirTypeIntoTheKeyTheirRootNames) {
  const std::u16string qavKey = u"\\Registry\\Machine\\SOFTWARE\\Qav";
  ASSERT_TRUE(NT_SUCCESS(winsim::pnp::WriteString(qavKey, u"Kept", u"old")));
  ASSERT_TRUE(NT_SUCCESS(winsim::pnp::WriteString(qavKey, u"Replaced", u"old")));
  auto result = Install(kSmallInf);
  ASSERT_TRUE(result.Ok()) << result.Describe();
  auto node = machine.Pnp().Device(Plug("Larch"));
  ASSERT_TRUE(node);
  ASSERT_EQ(node->service, u"QavAudio");
  const std::u16string service = std::u16string(winsim::pnp::kServicesRoot) + u"\\QavAudio";
  const struct {
    const char *what;
    std::u16string key;
    const char16_t *name;
    winsim::RegValue value;
  } cases[] = {
      {"string", node->driverKey, u"Sz", winsim::RegValue::String(u"text")},
      {"dword", node->driverKey, u"Dword", winsim::RegValue::Dword(42)},
      {"multi-string", node->driverKey, u"Multi", winsim::RegValue::MultiString({u"a", u"b"})},
      {"expandable string", node->driverKey, u"Expand", winsim::RegValue::String(u"%SystemRoot%\\x", REG_EXPAND_SZ)},
      {"binary", node->driverKey, u"Bin", winsim::RegValue::Binary({0xde, 0xad})},
      {"no clobber keeps", qavKey, u"Kept", winsim::RegValue::String(u"old")},
      {"plain replaces", qavKey, u"Replaced", winsim::RegValue::String(u"new")},
      {"hardware key", node->enumKey + u"\\Device Parameters", u"HwValue", winsim::RegValue::Dword(7)},
      {"service key", service + u"\\Parameters", u"Level", winsim::RegValue::Dword(3)},
      {"service binary", service, u"ImagePath", winsim::RegValue::String(u"\\SystemRoot\\System32\\drivers\\QavAudio.sys")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(winsim::SystemRegistry().ReadValue(c.key, c.name), c.value);
  }
  EXPECT_TRUE(winsim::SystemRegistry().KeyExists(node->driverKey + u"\\Sub"));
  EXPECT_EQ(StringValue(node->driverKey, u"DriverDesc"), u"Device");
}

}  // namespace
