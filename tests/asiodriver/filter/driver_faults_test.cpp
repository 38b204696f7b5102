// Answers the filter must not trust: short records, counts larger than the
// buffer, unreadable or odd descriptors, strings the device refuses.
#include <cstring>

#include "driver_interposer.h"
#include "filter_machine.h"
#include "uac2common/asiodriver/filter/channel_names.h"
#include "winsim/devices/catalog.h"

namespace asiofiltertest {
namespace {

bool IsDescriptorRequest(const InterposedCall &call, UCHAR type) {
  if (!RequestIs(call, IOCTL_KS_METHOD, KSMETHODSETID_UacUsb, KSMETHOD_UAC_GET_DESCRIPTOR)) return false;
  KSM_UAC_DESCRIPTOR request;
  if (call.inputSize < sizeof request) return false;
  std::memcpy(&request, call.input, sizeof request);
  return request.DescriptorType == type;
}

void Fail(InterposedCall &call) {
  call.result = FALSE;
  call.bytes = 0;
  call.error = ERROR_GEN_FAILURE;
}

class DriverFaults : public FilterMachineTest {
 protected:
  void SetUp() override {
    alder = Plug("Alder");
    ASSERT_NE(alder, nullptr);
    lists.push_back(Enumerate());
    filter = FilterOf(*lists.back(), *alder);
    ASSERT_NE(filter, nullptr);
  }
  PluggedDevice *alder = nullptr;
  CQZAudioFilter *filter = nullptr;
};

TEST_F(DriverFaults, AShortClockSourceRecordIsRefused) {
  DriverInterposer interposer([](InterposedCall &call) {
    if (RequestIs(call, IOCTL_KS_PROPERTY, KSPROPSETID_UacPrivate, KSPROPERTY_UAC_CLOCK_SOURCE_INFO)) call.bytes = 40;
  });
  ClockSourceInfo info;
  EXPECT_TRUE(FAILED(filter->GetClockSourceInfo(0, &info)));
  const ClockSourceInfo zero = {};
  EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0) << "half a record is not handed on";
  EXPECT_EQ(interposer.calls, 1);
}

TEST_F(DriverFaults, ARateCountIsTakenFromTheBytesReturnedAndBoundedByTheBuffer) {
  struct Case {
    const char *name;
    DWORD bytes;  // what the driver claims to have written
    ULONG written;
  };
  const Case cases[] = {{"more than the buffer", 8 * 4 + 64, 8},
                        {"a partial entry", 6, 1},
                        {"nothing", 0, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DriverInterposer interposer([&](InterposedCall &call) {
      if (RequestIs(call, IOCTL_KS_PROPERTY, KSPROPSETID_UacPrivate, KSPROPERTY_UAC_SAMPLE_RATES)) call.bytes = c.bytes;
    });
    ULONG rates[8];
    ULONG written = 99;
    ASSERT_EQ(filter->GetSampleRates(rates, 8, &written), S_OK);
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(interposer.calls, 1);
  }
  ULONG rates[UAC_MAX_SAMPLE_RATES];
  ULONG written = 99;
  EXPECT_EQ(filter->GetSampleRates(nullptr, 4, &written), E_INVALIDARG);
  EXPECT_EQ(filter->GetSampleRates(rates, 0, &written), E_INVALIDARG);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(FAILED(filter->GetSampleRates(rates, 2, &written))) << "Alder has more rates than two";
  EXPECT_EQ(written, 0u);
}

TEST_F(DriverFaults, DeviceIdsStayWhenTheDescriptorIsUnreadableOrFromFirmwareUpdateMode) {
  ASSERT_EQ(filter->ReadDeviceIds(), 0u);
  const USHORT vendor = filter->GetVendorId();
  const USHORT product = filter->GetProductId();
  ASSERT_NE(vendor, 0);
  struct Case {
    const char *name;
    std::function<void(InterposedCall &)> change;
    ULONG result;
  };
  const Case cases[] = {
      {"request fails", Fail, 1},
      {"short answer", [](InterposedCall &call) { call.bytes = 8; }, 1},
      {"DFU mode",
       [](InterposedCall &call) {
         auto *bytes = static_cast<UCHAR *>(call.output);
         bytes[4] = 0xFE;
         bytes[5] = 0x01;
         bytes[8] = 0x34;
         bytes[10] = 0x12;
       },
       2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DriverInterposer interposer([&](InterposedCall &call) {
      if (IsDescriptorRequest(call, 1)) c.change(call);
    });
    EXPECT_EQ(filter->ReadDeviceIds(), c.result);
    EXPECT_EQ(filter->GetVendorId(), vendor);
    EXPECT_EQ(filter->GetProductId(), product);
  }
}

TEST_F(DriverFaults, NoNamesWithoutAConfigurationDescriptor) {
  DriverInterposer interposer([](InterposedCall &call) {
    if (IsDescriptorRequest(call, 2)) Fail(call);
  });
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  EXPECT_FALSE(filter->GetChannelNames(inputs, outputs));
  EXPECT_TRUE(inputs.empty() && outputs.empty());
}

TEST_F(DriverFaults, OnlyTheBytesReturnedOfTheConfigurationAreWalked) {
  int stringRequests = 0;
  DriverInterposer interposer([&](InterposedCall &call) {
    if (IsDescriptorRequest(call, 2)) call.bytes = 9;  // the configuration descriptor alone
    if (IsDescriptorRequest(call, 3)) ++stringRequests;
  });
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  EXPECT_TRUE(filter->GetChannelNames(inputs, outputs));
  EXPECT_TRUE(inputs.empty() && outputs.empty());
  EXPECT_EQ(stringRequests, 0) << "no interface was seen, so no string is asked for";
}

TEST_F(DriverFaults, AChannelWhoseStringTheDeviceRefusesIsLeftOut) {
  UCHAR config[4096] = {};
  ULONG length = sizeof config;
  ASSERT_EQ(filter->GetUsbDescriptor(2, 1, 0, config, &length), S_OK);
  const ChannelNameIndexes indexes = FindChannelNameIndexes(config, length);
  ASSERT_NE(indexes.render, 0);
  const uint16_t refused = static_cast<uint16_t>(0x0300 | (indexes.render + 1));  // "Out 2"
  alder->device->EditFaults([refused](winsim::devices::FaultKnobs &knobs) {
    knobs.stallWhen = [refused](const winsim::usb::SetupPacket &setup) {
      return setup.bRequest == 6 && setup.wValue == refused;
    };
  });
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  EXPECT_TRUE(filter->GetChannelNames(inputs, outputs));
  EXPECT_EQ(outputs, (std::vector<std::string>{"Out 1"}));
  EXPECT_EQ(inputs, (std::vector<std::string>{"In 1", "In 2"}));
  EXPECT_GE(alder->device->Faults().stalled, 1u);
}

TEST_F(DriverFaults, DescriptorArgumentsAreChecked) {
  UCHAR buffer[18];
  ULONG length = sizeof buffer;
  EXPECT_EQ(filter->GetUsbDescriptor(1, 0, 0, buffer, nullptr), E_POINTER);
  EXPECT_EQ(filter->GetUsbDescriptor(1, 0, 0, nullptr, &length), E_POINTER);
  EXPECT_EQ(length, 0u);
  length = sizeof buffer;
  ASSERT_EQ(filter->GetUsbDescriptor(1, 0, 0, buffer, &length), S_OK);
  EXPECT_EQ(length, sizeof buffer);
  EXPECT_EQ(buffer[0], 18);
  EXPECT_EQ(buffer[1], 1);
}

}  // namespace
}  // namespace asiofiltertest
