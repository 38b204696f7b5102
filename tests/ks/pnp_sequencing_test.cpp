// Power and PnP sequencing as Windows produces it: IRPs a driver holds stop
// the machine, START_DEVICE does not wait for PostStart, a vetoed power
// query is cancelled, handle holders hear of an orderly removal, devices are
// disabled and enabled, report themselves failed, leave while the machine
// sleeps, or come back while their old instance still waits for handles.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include "ks_test_support.h"
#include "winsim/kernel/pnp_manager.h"

using namespace kstest;
using winsim::DeviceNodeState;
using Names = std::vector<std::string>;
using ::testing::Contains;
using ::testing::Not;

namespace {

KEVENT g_never;  // a wait the deliberately wrong routines never see end

void WaitForever() {
  KeInitializeEvent(&g_never, NotificationEvent, FALSE);
  KeWaitForSingleObject(&g_never, Executive, KernelMode, FALSE, nullptr);
}

void MachineWithDevice(const Script &script, const std::function<void(winsim::Machine &, TestBus &, PDEVICE_OBJECT)> &then) {
  winsim::Machine machine;
  TestBus bus(machine);
  MiniDriver::Instance().Reset();
  MiniDriver::Instance().script = script;
  machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
  PDEVICE_OBJECT pdo = bus.Plug();
  then(machine, bus, pdo);
}

struct HeldIrp {
  const char *name;
  Script script;
  std::function<void(winsim::Machine &, TestBus &, PDEVICE_OBJECT)> trigger;
  const char *report;  // what the stop names
};

class IrpWatchdog : public ::testing::TestWithParam<HeldIrp> {};

// A routine that never returns holds its IRP: after the limit of virtual
// time the machine stops naming the device, the IRP and where the holding
// thread waits.
TEST_P(IrpWatchdog, AHeldIrpStopsTheMachineWithDriverPowerStateFailure) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(MachineWithDevice(GetParam().script, GetParam().trigger), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Held, IrpWatchdog,
    ::testing::Values(
        HeldIrp{"SetPowerD3",
                Script{.setPower = [](PKSDEVICE, DEVICE_POWER_STATE to) {
                  if (to == PowerDeviceD3) WaitForever();
                }},
                [](winsim::Machine &machine, TestBus &, PDEVICE_OBJECT) { machine.Suspend(); },
                "DRIVER_POWER_STATE_FAILURE.*SET_POWER D3.*USB.VID_2B5A&PID_8014.QAV0001.*has not returned from its "
                "dispatch routine.*waits at .*pnp_sequencing_test.cpp"},
        HeldIrp{"QueryPower",
                Script{.queryPower = [](PKSDEVICE, POWER_ACTION) -> NTSTATUS {
                  WaitForever();
                  return STATUS_SUCCESS;
                }},
                [](winsim::Machine &machine, TestBus &, PDEVICE_OBJECT) { machine.Hibernate(); },
                "DRIVER_POWER_STATE_FAILURE.*QUERY_POWER S4.*waits at .*pnp_sequencing_test.cpp"},
        HeldIrp{"QueryRemove",
                Script{.queryRemove = [](PKSDEVICE) -> NTSTATUS {
                  WaitForever();
                  return STATUS_SUCCESS;
                }},
                [](winsim::Machine &, TestBus &bus, PDEVICE_OBJECT pdo) { bus.Unplug(pdo, false); },
                "DRIVER_POWER_STATE_FAILURE.*PnP IRP .*minor 0x01.*waits at .*pnp_sequencing_test.cpp"}),
    [](const auto &info) { return std::string(info.param.name); });

// The limit is the machine's: a power-down that takes long but ends within
// it is no failure, and a limit of 0 turns the watchdog off.
TEST(IrpWatchdogLimit, ASlowPowerDownWithinTheLimitPasses) {
  winsim::Machine machine;
  TestBus bus(machine);
  MiniDriver::Instance().Reset();
  MiniDriver::Instance().script.setPower = [&machine](PKSDEVICE, DEVICE_POWER_STATE) {
    machine.RunFor(9 * winsim::kTicksPerSecond);
  };
  machine.InstallDriver(kService, MiniDriverEntry, {kHardwareId});
  PDEVICE_OBJECT pdo = bus.Plug();
  EXPECT_TRUE(machine.Suspend());
  machine.Pnp().SetIrpWatchdogLimit(0);
  MiniDriver::Instance().script.setPower = [&machine](PKSDEVICE, DEVICE_POWER_STATE) {
    machine.RunFor(60 * winsim::kTicksPerSecond);
  };
  machine.Resume();
  bus.Unplug(pdo, false);
  MiniDriver::Instance().Reset();
}

class Sequencing : public KsTest {
 protected:
  Names CallsSince(size_t before) {
    Names names = Driver().Names();
    return Names(names.begin() + static_cast<std::ptrdiff_t>(before), names.end());
  }
};

// Two devices; the one enumerated first is asked last and refuses: the other
// agreed, and hears SET_POWER of the working state without having slept.
TEST_F(Sequencing, AVetoAfterAnotherDeviceAgreedCancelsItsQueryWithSetPowerS0) {
  PDEVICE_OBJECT refusing = PlugDevice();
  PKSDEVICE refusingDevice = Driver().LastDevice();
  BusDevice second;
  second.instanceId = u"QAV0002";
  PDEVICE_OBJECT agreeing = PlugDevice(second);
  Driver().script.queryPower = [refusingDevice](PKSDEVICE device, POWER_ACTION) {
    return device == refusingDevice ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  };
  size_t before = Driver().Calls().size();
  EXPECT_FALSE(machine.Hibernate());
  EXPECT_EQ(bus.PowerSeen(agreeing), (std::vector<std::string>{"query S4", "set S0"}));
  EXPECT_EQ(bus.PowerSeen(refusing), std::vector<std::string>{"set S0"}) << "its refusal never went down";
  EXPECT_THAT(CallsSince(before), Not(Contains("SetPower")));
  EXPECT_EQ(Driver().LastDevice()->DevicePowerState, PowerDeviceD0);
}

// START_DEVICE completes before PostStart; power IRPs and PnP queries reach
// the minidriver while PostStart runs, REMOVE_DEVICE waits for its end.
TEST_F(Sequencing, PowerIrpsAndQueriesReachTheMinidriverWhilePostStartRunsAndRemovalWaitsForIt) {
  std::atomic<bool> release{false};
  Driver().script.postStart = [&](PKSDEVICE) {
    for (int i = 0; i < 1000 && !release; ++i) machine.RunFor(winsim::kTicksPerSecond / 100);
    Driver().Record("PostStartEnds");
    return STATUS_SUCCESS;
  };
  Driver().script.queryRemove = [&](PKSDEVICE) {
    release = true;
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT pdo = bus.Plug(BusDevice{}, /*waitForStart=*/false);
  plugged.push_back(pdo);
  EXPECT_TRUE(machine.Suspend());
  machine.Resume();
  bus.Unplug(pdo, false);
  Names names = Driver().Names();
  auto at = [&](const std::string &name) { return std::find(names.begin(), names.end(), name) - names.begin(); };
  EXPECT_LT(at("QueryPower"), at("PostStartEnds"));
  EXPECT_LT(at("SetPower"), at("PostStartEnds"));
  EXPECT_LT(at("QueryRemove"), at("PostStartEnds"));
  EXPECT_LT(at("PostStartEnds"), at("Remove"));
}

// Handle holders registered for target notices hear the query first: a
// veto keeps the stack (the minidriver is not even asked), a holder that
// closes its handle on the query lets the removal go on.
TEST_F(Sequencing, AHandleHolderVetoesAnOrderlyRemovalOrClosesItsHandleOnTheQuery) {
  PDEVICE_OBJECT pdo = PlugDevice();
  std::vector<std::string> heard;
  auto name = [](const GUID &event) {
    if (event == winsim::kTargetDeviceQueryRemove) return "query remove";
    if (event == winsim::kTargetDeviceRemoveCancelled) return "remove cancelled";
    if (event == winsim::kTargetDeviceRemoveComplete) return "remove complete";
    return "?";
  };
  machine.Pnp().HandleOpened(pdo);
  uint64_t vetoing = machine.Pnp().RegisterTargetNotification(pdo, [&](const GUID &event) -> NTSTATUS {
    heard.push_back(std::string("vetoing: ") + name(event));
    return event == winsim::kTargetDeviceQueryRemove ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  });
  uint64_t closing = machine.Pnp().RegisterTargetNotification(pdo, [&](const GUID &event) -> NTSTATUS {
    heard.push_back(std::string("closing: ") + name(event));
    if (event == winsim::kTargetDeviceQueryRemove) machine.Pnp().HandleClosed(pdo);
    if (event == winsim::kTargetDeviceRemoveCancelled) machine.Pnp().HandleOpened(pdo);
    return STATUS_SUCCESS;
  });
  ASSERT_NE(vetoing, 0u);
  size_t before = Driver().Calls().size();
  EXPECT_EQ(machine.Pnp().DisableDevice(pdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(heard, (std::vector<std::string>{"vetoing: query remove", "closing: query remove",
                                             "vetoing: remove cancelled", "closing: remove cancelled"}));
  EXPECT_EQ(CallsSince(before), Names{});
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::Started);
  machine.Pnp().UnregisterTargetNotification(vetoing);
  heard.clear();
  EXPECT_EQ(machine.Pnp().DisableDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(heard, (std::vector<std::string>{"closing: query remove", "closing: remove complete"}));
  EXPECT_EQ(CallsSince(before), (Names{"QueryRemove", "Remove"}));
  EXPECT_EQ(Node(pdo).problem, winsim::kProblemDisabled);
  (void)closing;
}

// Disable removes the stack (the node stays, problem 22); enable builds a
// new one: a new Add, Start and PostStart on the same PDO.
TEST_F(Sequencing, DisableRemovesTheStackAndEnableAddsAndStartsANewOne) {
  PDEVICE_OBJECT pdo = PlugDevice();
  PKSDEVICE first = Driver().LastDevice();
  EXPECT_EQ(machine.Pnp().EnableDevice(pdo), STATUS_INVALID_DEVICE_STATE) << "it is enabled";
  EXPECT_EQ(machine.Pnp().DisableDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::Removed);
  EXPECT_EQ(Node(pdo).problem, winsim::kProblemDisabled);
  EXPECT_EQ(machine.Pnp().DisableDevice(pdo), STATUS_INVALID_DEVICE_STATE);
  size_t before = Driver().Calls().size();
  EXPECT_EQ(machine.Pnp().EnableDevice(pdo), STATUS_SUCCESS);
  Names calls = CallsSince(before);
  EXPECT_EQ(Names(calls.begin(), calls.begin() + 2), (Names{"Add", "Start"}));
  EXPECT_THAT(calls, Contains("PostStart"));
  EXPECT_NE(Driver().LastDevice(), nullptr);
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::Started);
  EXPECT_EQ(Node(pdo).problem, winsim::kProblemNone);
  (void)first;
}

// The bus driver reports the device failed: surprise removal, removal, and
// the node stays with problem 43.
TEST_F(Sequencing, ADeviceReportedFailedIsSurpriseRemovedThenRemovedWithProblem43) {
  PDEVICE_OBJECT pdo = PlugDevice();
  size_t before = Driver().Calls().size();
  bus.ReportFailed(pdo);
  EXPECT_EQ(CallsSince(before), (Names{"SurpriseRemoval", "Remove"}));
  EXPECT_EQ(Node(pdo).state, DeviceNodeState::Removed);
  EXPECT_EQ(Node(pdo).problem, winsim::kProblemFailedPostStart);
}

// Asleep, a device pulled is not noticed; at wake it gets its D0 first, and
// then the surprise removal.
TEST_F(Sequencing, ADeviceUnpluggedWhileAsleepIsSurpriseRemovedAfterItsD0) {
  PDEVICE_OBJECT pdo = PlugDevice();
  EXPECT_TRUE(machine.Suspend());
  size_t before = Driver().Calls().size();
  bus.Unplug(pdo, true);
  EXPECT_EQ(CallsSince(before), Names{}) << "nobody looks while the machine sleeps";
  machine.Resume();
  machine.Pnp().WaitIdle();
  Names calls = CallsSince(before);
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0], "SetPower");
  EXPECT_EQ(Driver().Calls()[before].detail, "D0<-D3");
  EXPECT_EQ(Names(calls.end() - 3, calls.end()), (Names{"SurpriseRemoval", "Remove", "Unload"}));
}

// One node per instance path: the same device plugged again while its old
// stack waits for a handle starts only once that stack is gone.
TEST_F(Sequencing, AReplugWaitsUntilTheOldInstanceIsRemoved) {
  PDEVICE_OBJECT old = PlugDevice();
  machine.Pnp().HandleOpened(old);
  bus.Unplug(old, true);
  EXPECT_EQ(Node(old).state, DeviceNodeState::SurpriseRemoved);
  size_t before = Driver().Calls().size();
  PDEVICE_OBJECT fresh = PlugDevice();
  EXPECT_EQ(CallsSince(before), Names{});
  EXPECT_FALSE(machine.Pnp().Device(fresh).has_value());
  machine.Pnp().HandleClosed(old);
  machine.Pnp().WaitIdle();
  Names calls = CallsSince(before);
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(Names(calls.begin(), calls.begin() + 3), (Names{"Remove", "Add", "Start"}));
  EXPECT_EQ(Node(fresh).state, DeviceNodeState::Started);
  EXPECT_FALSE(machine.Pnp().Device(old).has_value());
}

}  // namespace
