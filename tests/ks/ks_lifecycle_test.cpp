// A device's life as an AVStream minidriver sees it: the PnP manager and
// ks.sys call Add, Start and PostStart at arrival, the removal callbacks at
// departure, and unload the driver once its last device is gone.
#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include "ks_test_support.h"
#include "winsim/ks/ks_device.h"

using namespace kstest;
using winsim::DeviceNodeState;
using winsim::ThreadKind;
using Names = std::vector<std::string>;

namespace {

class Lifecycle : public KsTest {
 protected:
  Names CallsSince(size_t before) {
    Names names = Driver().Names();
    return Names(names.begin() + static_cast<std::ptrdiff_t>(before), names.end());
  }
};

// START_DEVICE completes before PostStart runs: the PnP manager asks for the
// capabilities meanwhile, so the two come in either order.
TEST_F(Lifecycle, ArrivalLoadsTheDriverOnceAndCallsAddStartThenPostStartBesideQueryCapabilities) {
  PlugDevice();
  EXPECT_THAT(Driver().Names(), ::testing::AnyOf(Names{"DriverEntry", "Add", "Start", "PostStart", "QueryCapabilities"},
                                                 Names{"DriverEntry", "Add", "Start", "QueryCapabilities", "PostStart"}));
  for (const Call &call : Driver().Calls()) {
    EXPECT_EQ(call.irql, PASSIVE_LEVEL) << call.name;
    EXPECT_EQ(call.kind, ThreadKind::SystemWorker) << call.name << " ran on " << call.thread;
  }
  EXPECT_EQ(Driver().Find("Start")->detail, "bus started") << "START_DEVICE must reach the bus driver first";
  EXPECT_EQ(Driver().Find("PostStart")->detail, "started");
  EXPECT_EQ(Node(plugged[0]).state, DeviceNodeState::Started);
  EXPECT_EQ(Node(plugged[0]).problem, winsim::kProblemNone);
}

TEST_F(Lifecycle, QueryCapabilitiesSeesTheBusDriversAnswerAndItsChangesReachThePnpManager) {
  Driver().script.queryCapabilities = [](PKSDEVICE, PDEVICE_CAPABILITIES caps) {
    caps->SurpriseRemovalOK = TRUE;
    return STATUS_SUCCESS;
  };
  BusDevice device;
  device.address = 7;
  PDEVICE_OBJECT pdo = PlugDevice(device);
  EXPECT_EQ(Driver().Find("QueryCapabilities")->detail, "address 7, surprise removal not ok");
  EXPECT_TRUE(Node(pdo).capabilities.SurpriseRemovalOK);
  EXPECT_EQ(Node(pdo).capabilities.Address, 7u);
}

TEST_F(Lifecycle, SurpriseRemovalCallsSurpriseRemovalThenRemoveAndUnloadsTheDriver) {
  PDEVICE_OBJECT pdo = PlugDevice();
  size_t before = Driver().Calls().size();
  bus.Unplug(pdo, true);
  EXPECT_EQ(CallsSince(before), (Names{"SurpriseRemoval", "Remove", "Unload"}));
  EXPECT_FALSE(machine.Pnp().Device(pdo).has_value());
  EXPECT_FALSE(DriverLoaded());
}

TEST_F(Lifecycle, OrderlyRemovalQueriesThenRemovesWithoutSurprise) {
  PDEVICE_OBJECT pdo = PlugDevice();
  size_t before = Driver().Calls().size();
  bus.Unplug(pdo, false);
  EXPECT_EQ(CallsSince(before), (Names{"QueryRemove", "Remove", "Unload"}));
  std::vector<UCHAR> seen = bus.PnpSeen(pdo);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_SURPRISE_REMOVAL), 0);
  EXPECT_EQ(seen.back(), IRP_MN_REMOVE_DEVICE) << "REMOVE_DEVICE goes down to the bus driver too";
}

TEST_F(Lifecycle, AVetoedOrderlyRemovalIsCancelledAndTheDepartureBecomesASurprise) {
  Driver().script.queryRemove = [](PKSDEVICE) { return STATUS_DEVICE_BUSY; };
  PDEVICE_OBJECT pdo = PlugDevice();
  size_t before = Driver().Calls().size();
  bus.Unplug(pdo, false);
  EXPECT_EQ(CallsSince(before), (Names{"QueryRemove", "CancelRemove", "SurpriseRemoval", "Remove", "Unload"}));
}

// Resource rebalance: QUERY_STOP and STOP_DEVICE reach the minidriver
// before the bus driver, then START_DEVICE goes down and PostStart runs
// again, with a handle open or not.
TEST_F(Lifecycle, ARebalanceStopsAndStartsTheDeviceWithPostStartAgain) {
  PDEVICE_OBJECT pdo = PlugDevice();
  for (bool handleOpen : {false, true}) {
    SCOPED_TRACE(handleOpen);
    if (handleOpen) machine.Pnp().HandleOpened(pdo);
    size_t before = Driver().Calls().size();
    std::vector<UCHAR> seenBefore = bus.PnpSeen(pdo);
    EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_SUCCESS);
    EXPECT_THAT(CallsSince(before), ::testing::AnyOf(Names{"QueryStop", "Stop", "Start", "PostStart", "QueryCapabilities"},
                                                     Names{"QueryStop", "Stop", "Start", "QueryCapabilities", "PostStart"}));
    EXPECT_EQ(Driver().Calls()[before + 1].detail, "started") << "Stop runs before the device counts as stopped";
    std::vector<UCHAR> seen = bus.PnpSeen(pdo);
    EXPECT_EQ(std::vector<UCHAR>(seen.begin() + static_cast<std::ptrdiff_t>(seenBefore.size()), seen.end()),
              (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                  IRP_MN_QUERY_CAPABILITIES}));
    EXPECT_EQ(Node(pdo).state, DeviceNodeState::Started);
    EXPECT_TRUE(Driver().LastDevice()->Started);
    if (handleOpen) machine.Pnp().HandleClosed(pdo);
  }
}

TEST_F(Lifecycle, AVetoedStopIsCancelledAndTheDeviceRunsOn) {
  Driver().script.queryStop = [](PKSDEVICE) { return STATUS_DEVICE_BUSY; };
  PDEVICE_OBJECT pdo = PlugDevice();
  size_t before = Driver().Calls().size();
  EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_DEVICE_BUSY);
  EXPECT_EQ(CallsSince(before), (Names{"QueryStop", "CancelStop"}));
  EXPECT_TRUE(Driver().LastDevice()->Started);
  EXPECT_EQ(machine.Pnp().Rebalance(nullptr), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(Lifecycle, AnOpenHandleHoldsRemoveDeviceBackUntilItCloses) {
  PDEVICE_OBJECT pdo = PlugDevice();
  machine.Pnp().HandleOpened(pdo);
  bus.Unplug(pdo, true);
  EXPECT_EQ(Driver().Names().back(), "SurpriseRemoval");
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::SurpriseRemoved);
  EXPECT_TRUE(DriverLoaded());
  machine.Pnp().HandleClosed(pdo);
  machine.Pnp().WaitIdle();
  std::vector<std::string> names = Driver().Names();
  EXPECT_EQ(Names(names.end() - 2, names.end()), (Names{"Remove", "Unload"}));
}

TEST_F(Lifecycle, TheDriverStaysLoadedWhileAnotherOfItsDevicesRemains) {
  BusDevice second;
  second.instanceId = u"QAV0002";
  PDEVICE_OBJECT first = PlugDevice();
  PDEVICE_OBJECT other = PlugDevice(second);
  bus.Unplug(first, true);
  EXPECT_TRUE(DriverLoaded());
  bus.Unplug(other, false);
  EXPECT_FALSE(DriverLoaded());
  std::vector<std::string> names = Driver().Names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "DriverEntry"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Add"), 2);
}

// ks.sys reports a failed PostStart (IoInvalidateDeviceState; its answer to
// QUERY_PNP_DEVICE_STATE says PNP_DEVICE_FAILED): the stack is taken down as
// for a departed device, the node stays with problem 43, and the driver is
// unloaded once the device leaves.
TEST_F(Lifecycle, AFailedPostStartTakesTheStackDownWithProblem43) {
  Driver().script.postStart = [](PKSDEVICE) { return STATUS_DEVICE_NOT_READY; };
  PDEVICE_OBJECT pdo = PlugDevice();
  winsim::DeviceNodeInfo node = Node(pdo);
  EXPECT_EQ(node.state, DeviceNodeState::Removed);
  EXPECT_EQ(node.problem, winsim::kProblemFailedPostStart);
  EXPECT_EQ(node.postStartStatus, STATUS_DEVICE_NOT_READY);
  Names names = Driver().Names();
  EXPECT_EQ(Names(names.end() - 3, names.end()), (Names{"PostStart", "SurpriseRemoval", "Remove"}));
  std::vector<UCHAR> seen = bus.PnpSeen(pdo);
  EXPECT_EQ(std::vector<UCHAR>(seen.end() - 3, seen.end()),
            (std::vector<UCHAR>{IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(DriverLoaded()) << "the failed device still holds its node";
  bus.Unplug(pdo, true);
  EXPECT_FALSE(DriverLoaded());
  EXPECT_EQ(Driver().Names().back(), "Unload");
}

// With a handle open the failed stack waits in the surprise-removed state,
// still in the power tree, until the handle closes.
TEST_F(Lifecycle, AFailedPostStartWithAHandleOpenWaitsForItBeforeRemoval) {
  Driver().script.postStart = [this](PKSDEVICE device) {
    machine.Pnp().HandleOpened(device->PhysicalDeviceObject);  // a client that opened the device meanwhile
    return STATUS_DEVICE_NOT_READY;
  };
  PDEVICE_OBJECT pdo = PlugDevice();
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::SurpriseRemoved);
  EXPECT_EQ(Node(pdo).problem, winsim::kProblemFailedPostStart);
  EXPECT_TRUE(machine.Suspend());
  machine.Resume();
  EXPECT_THAT(bus.PowerSeen(pdo), ::testing::Contains("set D3"));
  machine.Pnp().HandleClosed(pdo);
  machine.Pnp().WaitIdle();
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::Removed);
  EXPECT_EQ(Node(pdo).problem, winsim::kProblemFailedPostStart);
  bus.Unplug(pdo, true);
  EXPECT_FALSE(DriverLoaded());
}

struct FailedStep {
  const char *name;
  Script script;
  ULONG problem;
  std::vector<std::string> calls;  // from DriverEntry until the device leaves
};

class FailedArrival : public KsTest, public ::testing::WithParamInterface<FailedStep> {};

TEST_P(FailedArrival, LeavesANodeWithAProblemAndUnloadsTheDriverWhenTheDeviceLeaves) {
  Driver().script = GetParam().script;
  PDEVICE_OBJECT pdo = PlugDevice();
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::Failed);
  EXPECT_EQ(Node(pdo).problem, GetParam().problem);
  bus.Unplug(pdo, true);
  EXPECT_EQ(Driver().Names(), GetParam().calls);
  EXPECT_FALSE(DriverLoaded());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailedArrival,
    ::testing::Values(
        FailedStep{"Add", Script{.add = [](PKSDEVICE) { return STATUS_INSUFFICIENT_RESOURCES; }},
                   winsim::kProblemFailedAdd, {"DriverEntry", "Add", "Unload"}},
        FailedStep{"Start", Script{.start = [](PKSDEVICE) { return STATUS_DEVICE_CONFIGURATION_ERROR; }},
                   winsim::kProblemFailedStart, {"DriverEntry", "Add", "Start", "Remove", "Unload"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PnpManager, ADeviceNoDriverMatchesGetsProblem28AndIsBoundWhenAMatchingDriverIsInstalled) {
  winsim::Machine machine;
  TestBus bus(machine);
  MiniDriver::Instance().Reset();
  PDEVICE_OBJECT pdo = bus.Plug();
  EXPECT_EQ(machine.Pnp().Device(pdo)->state, DeviceNodeState::NoDriver);
  EXPECT_EQ(machine.Pnp().Device(pdo)->problem, winsim::kProblemFailedInstall);
  machine.InstallDriver(kService, MiniDriverEntry, {u"usb\\class_01"});  // a compatible id, in other case
  EXPECT_EQ(machine.Pnp().Device(pdo)->state, DeviceNodeState::Started);
  bus.Unplug(pdo, false);
  EXPECT_EQ(machine.Pnp().LoadedDriver(kService), nullptr);
  bus.Unload();
  MiniDriver::Instance().Reset();
}

}  // namespace
