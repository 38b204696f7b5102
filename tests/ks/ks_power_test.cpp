// System power transitions as a started AVStream device sees them: the
// query carries the power action, ks.sys maps the system state to a device
// state through the stack's capabilities and calls SetPower around it.
#include <gtest/gtest.h>

#include "ks_test_support.h"

using namespace kstest;

namespace {

struct Transition {
  const char *name;
  SYSTEM_POWER_STATE state;
  POWER_ACTION action;
  const char *query;  // what QueryPower saw
};

class SystemPower : public KsTest, public ::testing::WithParamInterface<Transition> {};

TEST_P(SystemPower, QueryPowerSeesTheActionThenTheDeviceGoesToD3AndBackToD0) {
  const Transition &t = GetParam();
  PlugDevice();
  PKSDEVICE device = Driver().LastDevice();
  ASSERT_TRUE(machine.Pnp().SetSystemPower(t.state, t.action));
  EXPECT_EQ(Driver().Find("QueryPower")->detail, t.query);
  EXPECT_EQ(Driver().Find("SetPower")->detail, "D3<-D0");
  EXPECT_EQ(Driver().Find("SetPowerAction")->detail, std::to_string(t.action))
      << "the device IRP carries the system transition's action";
  EXPECT_EQ(device->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(device->SystemPowerState, t.state);

  machine.Resume();
  std::vector<Call> calls = Driver().Calls();
  ASSERT_GE(calls.size(), 2u);
  const Call &up = calls[calls.size() - 2];
  EXPECT_EQ(up.name, "SetPower");
  EXPECT_EQ(up.detail, "D0<-D3");
  EXPECT_EQ(up.irql, PASSIVE_LEVEL);
  EXPECT_EQ(calls.back().detail, "0") << "waking carries no action";
  EXPECT_EQ(device->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(device->SystemPowerState, PowerSystemWorking);
}

INSTANTIATE_TEST_SUITE_P(
    Actions, SystemPower,
    ::testing::Values(Transition{"Sleep", PowerSystemSleeping3, PowerActionSleep, "D3<-D0 S3<-S0 action 2"},
                      Transition{"Hibernate", PowerSystemHibernate, PowerActionHibernate, "D3<-D0 S4<-S0 action 3"},
                      Transition{"Shutdown", PowerSystemShutdown, PowerActionShutdown, "D3<-D0 S5<-S0 action 4"},
                      Transition{"ShutdownReset", PowerSystemShutdown, PowerActionShutdownReset,
                                 "D3<-D0 S5<-S0 action 5"},
                      Transition{"ShutdownOff", PowerSystemShutdown, PowerActionShutdownOff, "D3<-D0 S5<-S0 action 6"},
                      Transition{"WarmEject", PowerSystemSleeping1, PowerActionWarmEject, "D3<-D0 S1<-S0 action 7"}),
    [](const auto &info) { return std::string(info.param.name); });

using Power = KsTest;

TEST_F(Power, MachineSuspendAndHibernateCarryTheirActions) {
  PlugDevice();
  ASSERT_TRUE(machine.Suspend());
  machine.Resume();
  ASSERT_TRUE(machine.Hibernate());
  machine.Resume();
  std::vector<std::string> queries;
  for (const Call &call : Driver().Calls()) {
    if (call.name == "QueryPower") queries.push_back(call.detail);
  }
  EXPECT_EQ(queries, (std::vector<std::string>{"D3<-D0 S3<-S0 action 2", "D3<-D0 S4<-S0 action 3"}));
}

TEST_F(Power, ARefusedQueryCancelsTheTransitionForEveryDevice) {
  Driver().script.queryPower = [](PKSDEVICE, POWER_ACTION action) {
    return action == PowerActionHibernate ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  };
  PlugDevice();
  EXPECT_FALSE(machine.Hibernate());
  EXPECT_FALSE(Driver().Find("SetPower").has_value());
  EXPECT_EQ(Driver().LastDevice()->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(machine.Pnp().SystemState(), PowerSystemWorking);
}

// The refusal comes from the device asked second (enumerated first): the one
// asked first hears the query cancelled by SET_POWER of the working state
// and never powers down.
TEST_F(Power, ARefusalCancelsTheQueryOfTheDevicesAlreadyAsked) {
  BusDevice second;
  second.instanceId = u"QAV0002";
  PDEVICE_OBJECT refusing = PlugDevice();
  PKSDEVICE refusingDevice = Driver().LastDevice();
  PDEVICE_OBJECT accepting = PlugDevice(second);
  Driver().script.queryPower = [refusingDevice](PKSDEVICE device, POWER_ACTION) {
    return device == refusingDevice ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  };
  EXPECT_FALSE(machine.Hibernate());
  EXPECT_EQ(bus.PowerSeen(accepting), (std::vector<std::string>{"query S4", "set S0"}));
  EXPECT_EQ(bus.PowerSeen(refusing), (std::vector<std::string>{"set S0"}))
      << "the refusing device's query never reached its bus driver";
  EXPECT_FALSE(Driver().Find("SetPower").has_value()) << "no device changed its power state";
  EXPECT_EQ(machine.Pnp().SystemState(), PowerSystemWorking);
}

TEST_F(Power, ACriticalHibernateAsksNoDeviceAndStillCarriesItsAction) {
  PlugDevice();
  EXPECT_TRUE(machine.Hibernate(/*critical=*/true));
  EXPECT_FALSE(Driver().Find("QueryPower").has_value());
  EXPECT_EQ(Driver().Find("SetPower")->detail, "D3<-D0");
  EXPECT_EQ(Driver().Find("SetPowerAction")->detail, std::to_string(PowerActionHibernate));
  machine.Resume();
}

TEST_F(Power, TheDeviceStateFollowsTheCapabilitiesTheStackReported) {
  BusDevice device;
  device.sleepState = PowerDeviceD2;
  PlugDevice(device);
  ASSERT_TRUE(machine.Suspend());
  EXPECT_EQ(Driver().Find("QueryPower")->detail, "D2<-D0 S3<-S0 action 2");
  EXPECT_EQ(Driver().Find("SetPower")->detail, "D2<-D0");
  machine.Resume();
}

TEST_F(Power, EveryStartedDeviceGoesDownAndComesBack) {
  BusDevice second;
  second.instanceId = u"QAV0002";
  PlugDevice();
  PKSDEVICE first = Driver().LastDevice();
  PlugDevice(second);
  PKSDEVICE other = Driver().LastDevice();
  ASSERT_TRUE(machine.Suspend());
  EXPECT_EQ(first->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(other->DevicePowerState, PowerDeviceD3);
  machine.Resume();
  EXPECT_EQ(first->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(other->DevicePowerState, PowerDeviceD0);
}

}  // namespace
