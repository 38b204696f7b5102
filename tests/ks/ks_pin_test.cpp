// Pins on the test filter: creation checks, instance limits, the state
// machine stepped for the minidriver, close from RUN, and the filter's
// mutexes taken in the documented order.
#include <cstring>

#include "ks_pin_support.h"
#include "winsim/ks/ks_filter.h"
#include "winsim/ks/ks_runtime.h"

using namespace kstest;

namespace {

struct CreateCase {
  const char *name;
  ULONG pinId;
  bool otherFormat;
  bool otherInterface;
  NTSTATUS status;
};

class PinCreation : public PinTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(PinCreation, ChecksTheConnectionAgainstTheDescriptor) {
  const CreateCase &c = GetParam();
  std::vector<UCHAR> request = ConnectRequest(c.pinId, c.otherFormat ? kPinTestSet : kPinTestFormat);
  if (c.otherInterface) reinterpret_cast<KSPIN_CONNECT *>(request.data())->Interface.Id = KSINTERFACE_STANDARD_CONTROL;
  EXPECT_EQ(Create(request).status, c.status);
  bool created = NT_SUCCESS(c.status);
  EXPECT_EQ(PinLog(), created ? (std::vector<std::string>{"Format initial", "Create " + std::to_string(c.pinId) +
                                                                                " locked"})
                              : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Filter, PinCreation,
    ::testing::Values(CreateCase{"AMatchingConnectionCreatesThePin", 0, false, false, STATUS_SUCCESS},
                      CreateCase{"APinIdBeyondTheDescriptorIsRefused", 7, false, false, STATUS_INVALID_PARAMETER},
                      CreateCase{"AFormatOutsideThePinsRangesIsRefused", 0, true, false, STATUS_NO_MATCH},
                      CreateCase{"AnInterfaceThePinDoesNotListIsRefused", 0, false, true, STATUS_NO_MATCH},
                      CreateCase{"APinWithoutInstancesIsRefused", 2, false, false, STATUS_TOO_MANY_OPENED_FILES}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PinTest, AnInstanceBeyondPossibleCountIsRefusedAndCountsAreReported) {
  PKSPIN first = nullptr;
  ASSERT_EQ(Create(ConnectRequest(1), &first).status, STATUS_SUCCESS);
  ASSERT_EQ(Create(ConnectRequest(1)).status, STATUS_SUCCESS);
  EXPECT_EQ(Create(ConnectRequest(1)).status, STATUS_TOO_MANY_OPENED_FILES);
  ULONG pinId[2] = {1, 0};
  KSPIN_CINSTANCES counts{};
  Property(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_TYPE_GET, &counts, sizeof(counts), pinId, 8);
  EXPECT_EQ(counts.PossibleCount, 2u);
  EXPECT_EQ(counts.CurrentCount, 2u);
  winsim::ks::ClosePin(first);
  EXPECT_EQ(Create(ConnectRequest(1)).status, STATUS_SUCCESS);
}

TEST_F(PinTest, StateChangesStepThroughEveryStateAndCloseStopsThePin) {
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(0), &pin).status, STATUS_SUCCESS);
  PinLog().clear();
  EXPECT_EQ(SetState(pin, KSSTATE_RUN).status, STATUS_SUCCESS);
  KSSTATE state = KSSTATE_STOP;
  Property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET, &state, sizeof(state));
  EXPECT_EQ(state, KSSTATE_RUN);
  winsim::ks::ClosePin(pin);
  EXPECT_EQ(PinLog(), (std::vector<std::string>{"State 0->1", "State 1->2", "State 2->3", "State 3->2", "State 2->1",
                                                "State 1->0", "Close 0"}));
}

TEST_F(PinTest, ARefusedStepLeavesThePinInTheLastStateReached) {
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(0), &pin).status, STATUS_SUCCESS);
  Pins().setState = [](PKSPIN, KSSTATE to, KSSTATE) { return to == KSSTATE_RUN ? STATUS_DEVICE_BUSY : STATUS_SUCCESS; };
  EXPECT_EQ(SetState(pin, KSSTATE_RUN).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(pin->DeviceState, KSSTATE_PAUSE);
}

TEST_F(PinTest, TheConnectionFormatIsReadBackAndAFixedRangeIsKept) {
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(1), &pin).status, STATUS_SUCCESS);
  Result size = Property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET, nullptr, 0);
  EXPECT_EQ(size.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size.information, sizeof(KSDATAFORMAT));
  KSDATAFORMAT format{};
  Property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET, &format, sizeof(format));
  EXPECT_EQ(format.SubFormat, kPinTestFormat);
  format.SubFormat = kPinTestSet;
  EXPECT_EQ(Property(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET, &format,
                     sizeof(format))
                .status,
            STATUS_NO_MATCH);
}

// A minidriver that holds the process mutex and then asks for the control
// mutex takes them against the order device -> control -> process.
TEST(PinMutexDeathTest, ControlMutexTakenUnderTheProcessMutexStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        PKSFILTERFACTORY factory = StartWithFactory(machine, bus);
        PKSFILTER filter = nullptr;
        winsim::ks::OpenFilter(factory, &filter);
        KsFilterAcquireProcessingMutex(filter);
        KsFilterAcquireControl(filter);
      },
      "KS filter control mutex");
}

TEST(PinMutexDeathTest, DeviceMutexTakenUnderTheControlMutexStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        PKSFILTERFACTORY factory = StartWithFactory(machine, bus);
        PKSFILTER filter = nullptr;
        winsim::ks::OpenFilter(factory, &filter);
        KsFilterAcquireControl(filter);
        KsAcquireDevice(KsFilterGetDevice(filter));
      },
      "KS device mutex");
}

}  // namespace
