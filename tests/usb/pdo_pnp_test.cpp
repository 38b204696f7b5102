// The PDO's plug-and-play answers (identifiers, capabilities, texts,
// relations, power) and what the Machine tells a PnP manager about devices.
#include <cstdio>

#include "usb_stack_fixture.h"
#include "winsim/usb/usb_bus.h"

using namespace usbtest;
using winsim::usb::UsbDeviceEvent;
using winsim::usb::UsbDeviceEventKind;

namespace {

// Reads a MULTI_SZ, or one string, that the PDO returned and frees it as the
// PnP manager does.
std::vector<std::u16string> TakeStrings(ULONG_PTR information, bool multi = false) {
  std::vector<std::u16string> strings;
  auto *text = reinterpret_cast<const char16_t *>(information);
  while (text != nullptr && *text != u'\0') {
    strings.emplace_back(text);
    text += strings.back().size() + 1;
    if (!multi) break;
  }
  if (information != 0) ExFreePool(reinterpret_cast<PVOID>(information));
  return strings;
}

std::u16string U16(const char *text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

std::u16string HexId(const char *format, unsigned a, unsigned b, unsigned c = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b, c);
  return U16(text);
}

struct IdCase {
  const char *name;
  BUS_QUERY_ID_TYPE type;
  bool multi;
};

class QueryIds : public UsbStackTest, public ::testing::WithParamInterface<IdCase> {
 protected:
  std::vector<std::u16string> Expected() {
    const auto &d = *reinterpret_cast<const USB_DEVICE_DESCRIPTOR *>(device->Definition().descriptors.device.data());
    std::u16string deviceId = HexId("USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
    switch (GetParam().type) {
      case BusQueryDeviceID: return {deviceId};
      case BusQueryHardwareIDs:
        return {HexId("USB\\VID_%04X&PID_%04X&REV_%04X", d.idVendor, d.idProduct, d.bcdDevice), deviceId};
      case BusQueryCompatibleIDs: return {u"USB\\Class_01&SubClass_00&Prot_20", u"USB\\Class_01&SubClass_00", u"USB\\Class_01"};
      case BusQueryInstanceID: return {U16(device->Definition().model.serial.c_str())};
      default: return {};
    }
  }
};

TEST_P(QueryIds, AnswerWithTheDevicesIdentifiersInPoolTheCallerFrees) {
  ULONG_PTR information = 0;
  ASSERT_EQ(stack->Pnp(IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION next) { next->Parameters.QueryId.IdType = GetParam().type; },
                       &information),
            STATUS_SUCCESS);
  EXPECT_EQ(TakeStrings(information, GetParam().multi), Expected());
}

INSTANTIATE_TEST_SUITE_P(Larch, QueryIds,
                         ::testing::Values(IdCase{"DeviceId", BusQueryDeviceID, false},
                                           IdCase{"HardwareIds", BusQueryHardwareIDs, true},
                                           IdCase{"CompatibleIds", BusQueryCompatibleIDs, true},
                                           IdCase{"InstanceId", BusQueryInstanceID, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbStackTest, DeviceWithoutSerialNumberGetsAPortBasedInstanceId) {
  winsim::usb::UsbDeviceHandle hazel;
  extraStacks.push_back(PlugWithStack(std::make_shared<FakeDevice>(BuildModel("Hazel")), 2, &hazel));
  extraDevices.push_back(hazel);
  ULONG_PTR information = 0;
  ASSERT_EQ(extraStacks[0]->Pnp(IRP_MN_QUERY_ID,
                                [](PIO_STACK_LOCATION next) { next->Parameters.QueryId.IdType = BusQueryInstanceID; },
                                &information),
            STATUS_SUCCESS);
  std::vector<std::u16string> instance = TakeStrings(information);
  ASSERT_EQ(instance.size(), 1u);
  EXPECT_EQ(instance[0].substr(instance[0].size() - 2), u"&" + U16(std::to_string(hazel.port).c_str()));
  EXPECT_EQ(machine.UsbDevices().size(), 2u);
}

TEST_F(UsbStackTest, DeviceThatFailsEnumerationIsReportedUnderTheDescriptorFailureId) {
  auto mute = std::make_shared<FakeDevice>(BuildModel("Hazel"));
  mute->Stall(0x80, USB_REQUEST_GET_DESCRIPTOR);
  winsim::usb::UsbDeviceHandle plugged = machine.PlugDevice(mute, 2);
  ASSERT_TRUE(plugged.Valid());
  extraDevices.push_back(plugged);
  const winsim::usb::UsbDeviceIds &ids = machine.Bus(2)->Pdo(plugged.port)->Ids();
  EXPECT_EQ(ids.hardwareIds, std::vector<std::u16string>{u"USB\\DEVICE_DESCRIPTOR_FAILURE"});
  EXPECT_TRUE(ids.compatibleIds.empty());
}

TEST_F(UsbStackTest, CapabilitiesDescribeARemovableUsbDevice) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  ASSERT_EQ(stack->Pnp(IRP_MN_QUERY_CAPABILITIES,
                       [&](PIO_STACK_LOCATION next) { next->Parameters.DeviceCapabilities.Capabilities = &caps; }),
            STATUS_SUCCESS);
  EXPECT_TRUE(caps.Removable);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_TRUE(caps.UniqueID);  // Larch has a serial number
  EXPECT_FALSE(caps.EjectSupported);
  EXPECT_EQ(caps.Address, static_cast<ULONG>(handle.port));
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
  EXPECT_EQ(caps.Size, sizeof caps);
  EXPECT_EQ(caps.Version, 1);
}

TEST_F(UsbStackTest, DeviceTextAndTargetRelationComeFromThePdo) {
  ULONG_PTR information = 0;
  ASSERT_EQ(stack->Pnp(IRP_MN_QUERY_DEVICE_TEXT,
                       [](PIO_STACK_LOCATION next) {
                         next->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
                       },
                       &information),
            STATUS_SUCCESS);
  EXPECT_EQ(TakeStrings(information), std::vector<std::u16string>{U16(device->Definition().model.product.c_str())});
  ASSERT_EQ(stack->Pnp(IRP_MN_QUERY_DEVICE_RELATIONS,
                       [](PIO_STACK_LOCATION next) { next->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
                       &information),
            STATUS_SUCCESS);
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  ASSERT_EQ(relations->Count, 1u);
  EXPECT_EQ(relations->Objects[0], stack->Pdo());
  ObDereferenceObject(relations->Objects[0]);
  ExFreePool(relations);
}

TEST_F(UsbStackTest, PowerIrpsSucceedExceptWaitWake) {
  EXPECT_EQ(stack->Power(IRP_MN_QUERY_POWER), STATUS_SUCCESS);
  EXPECT_EQ(stack->Power(IRP_MN_SET_POWER), STATUS_SUCCESS);
  EXPECT_EQ(stack->Power(IRP_MN_WAIT_WAKE), STATUS_NOT_SUPPORTED);
}

TEST_F(UsbStackTest, MachineBootsWithSeveralBusesEachWithItsOwnFrameCounter) {
  std::vector<winsim::usb::UsbBus *> buses = machine.Buses();
  ASSERT_GE(buses.size(), 2u);
  EXPECT_EQ(machine.Bus(0), nullptr);
  EXPECT_EQ(machine.Bus(static_cast<uint32_t>(buses.size()) + 1), nullptr);
  EXPECT_NE(buses[0]->Controller().CurrentFrame(), buses[1]->Controller().CurrentFrame());
  std::vector<winsim::usb::UsbDeviceInfo> devices = machine.UsbDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].pdo, stack->Pdo());
  EXPECT_EQ(devices[0].handle, handle);
  EXPECT_EQ(devices[0].ids.hardwareIds.size(), 2u);
}

class PnpManagerEvents : public UsbStackTest {
 protected:
  void SetUp() override {
    UsbStackTest::SetUp();
    machine.SetUsbDeviceListener([this](const UsbDeviceEvent &event) {
      std::lock_guard<std::mutex> guard(lock);
      events.push_back(event);
    });
  }
  void TearDown() override {
    machine.SetUsbDeviceListener(nullptr);
    UsbStackTest::TearDown();
  }
  std::vector<UsbDeviceEvent> Events() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
  }

  std::mutex lock;
  std::vector<UsbDeviceEvent> events;
};

TEST_F(PnpManagerEvents, ListenerHearsArrivalThenAnOrderlyDepartureInTwoSteps) {
  winsim::usb::UsbDeviceHandle rowan = machine.PlugDevice(std::make_shared<FakeDevice>(BuildModel("Rowan")), 2);
  ASSERT_TRUE(rowan.Valid());
  winsim::usb::UsbPdo *pdo = machine.Bus(2)->Pdo(rowan.port);
  ASSERT_TRUE(machine.UnplugDevice(rowan, false));
  std::vector<UsbDeviceEvent> seen = Events();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].kind, UsbDeviceEventKind::Arrived);
  EXPECT_EQ(seen[0].device.ids.deviceId, u"USB\\VID_2B5A&PID_8002");
  EXPECT_EQ(seen[1].kind, UsbDeviceEventKind::Leaving);
  EXPECT_EQ(seen[2].kind, UsbDeviceEventKind::Gone);
  EXPECT_FALSE(seen[2].surprise);
  EXPECT_TRUE(pdo->Deleted()) << "no driver stack sat on it";
  EXPECT_FALSE(machine.UnplugDevice(rowan, false));
}

}  // namespace
