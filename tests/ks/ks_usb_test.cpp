// The PnP manager on the machine's USB buses: a plugged catalog interface is
// bound by hardware id, its factory's interfaces carry the hub's instance id,
// and every way of leaving the bus ends with the driver unloaded.
#include <gtest/gtest.h>

#include "ks_test_support.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/pnp_text.h"

using namespace kstest;

namespace {

class UsbDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    MiniDriver::Instance().Reset();
    MiniDriver::Instance().script.postStart = [](PKSDEVICE device) { return CreateTestFactory(device, nullptr); };
    machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
  }
  void TearDown() override { MiniDriver::Instance().Reset(); }

  winsim::usb::UsbDeviceHandle PlugLarch() {
    const winsim::devices::DeviceModel *model = winsim::devices::FindModel("Larch");
    winsim::devices::BuildResult built = winsim::devices::BuildDevice(*model);
    EXPECT_TRUE(built.Ok()) << built.detail;
    return machine.PlugDevice(std::make_shared<winsim::devices::AudioDevice>(built.definition));
  }

  winsim::DeviceNodeInfo OnlyNode() {
    std::vector<winsim::DeviceNodeInfo> nodes = machine.Pnp().Devices();
    EXPECT_EQ(nodes.size(), 1u);
    return nodes.empty() ? winsim::DeviceNodeInfo{} : nodes[0];
  }

  bool Loaded() { return machine.Pnp().LoadedDriver(kService) != nullptr; }

  winsim::Machine machine;
};

TEST_F(UsbDevices, APluggedInterfaceIsStartedAndPublishesItsFactoryUnderItsInstancePath) {
  PlugLarch();
  winsim::DeviceNodeInfo node = OnlyNode();
  EXPECT_EQ(node.state, winsim::DeviceNodeState::Started);
  EXPECT_EQ(node.deviceId, u"USB\\VID_2B5A&PID_8014");
  std::u16string instance = node.instancePath.substr(node.deviceId.size() + 1);
  std::vector<winsim::DeviceInterfaceInfo> found = machine.Pnp().Interfaces(&kPrivateCategory, true);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].symbolicLink, u"\\??\\USB#VID_2B5A&PID_8014#" + instance + u"#" +
                                       winsim::pnp::GuidText(kPrivateCategory) + u"\\GLOBAL");
  EXPECT_TRUE(OnlyNode().capabilities.SurpriseRemovalOK) << "the hub's answer passed up through ks";
}

struct Departure {
  const char *name;
  bool surprise;
  std::vector<std::string> calls;
};

class UsbDeparture : public UsbDevices, public ::testing::WithParamInterface<Departure> {};

TEST_P(UsbDeparture, EndsWithTheStackRemovedAndTheDriverUnloaded) {
  winsim::usb::UsbDeviceHandle handle = PlugLarch();
  size_t before = MiniDriver::Instance().Calls().size();
  ASSERT_TRUE(machine.UnplugDevice(handle, GetParam().surprise));
  std::vector<std::string> names = MiniDriver::Instance().Names();
  EXPECT_EQ(std::vector<std::string>(names.begin() + static_cast<std::ptrdiff_t>(before), names.end()),
            GetParam().calls);
  EXPECT_TRUE(machine.Pnp().Devices().empty());
  EXPECT_FALSE(Loaded());
  EXPECT_TRUE(machine.Pnp().Interfaces(&kPrivateCategory, true).empty());
}

INSTANTIATE_TEST_SUITE_P(Ways, UsbDeparture,
                         ::testing::Values(Departure{"Orderly", false, {"QueryRemove", "Remove", "Unload"}},
                                           Departure{"Surprise", true, {"SurpriseRemoval", "Remove", "Unload"}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbDevices, ARemovalTheHubInjectsIsCarriedOutFromItsThread) {
  winsim::usb::UsbDeviceHandle handle = PlugLarch();
  winsim::usb::UsbBus *bus = machine.Bus(handle.bus);
  ASSERT_TRUE(bus->SurpriseRemoveAt(handle.port, machine.Now() + 20 * winsim::kTicksPerMillisecond));
  ASSERT_TRUE(machine.RunUntil([] { return MiniDriver::Instance().Find("Unload").has_value(); },
                               winsim::kTicksPerSecond));
  machine.Pnp().WaitIdle();
  EXPECT_FALSE(Loaded());
  EXPECT_TRUE(MiniDriver::Instance().Find("SurpriseRemoval").has_value());
  EXPECT_EQ(MiniDriver::Instance().Find("Remove")->kind, winsim::ThreadKind::SystemWorker);
}

TEST_F(UsbDevices, AReplugGetsTheSameDriverKey) {
  winsim::usb::UsbDeviceHandle handle = PlugLarch();
  std::u16string key = OnlyNode().driverKey;
  machine.UnplugDevice(handle, true);
  handle = PlugLarch();
  EXPECT_EQ(OnlyNode().driverKey, key);
  machine.UnplugDevice(handle, false);
}

}  // namespace
