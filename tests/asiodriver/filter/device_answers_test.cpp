// What the filter reports of each catalog device, checked against what the
// simulated device really has: ids, channel names, rates, clock sources and
// the USB performance mode.
#include <algorithm>
#include <cstring>

#include "filter_machine.h"
#include "winsim/devices/catalog.h"

namespace asiofiltertest {
namespace {

using winsim::devices::DeviceModel;
using winsim::devices::StreamDirection;

std::vector<std::string> ModelNames(const DeviceModel &model, StreamDirection direction) {
  for (const auto &stream : model.streams) {
    if (stream.direction == direction) return stream.channelNames;
  }
  return {};
}

std::string Narrow(const UINT16 *name) {
  std::string text;
  for (ULONG i = 0; i < UAC_CLOCK_NAME_CHARS && name[i] != 0; ++i) text.push_back(static_cast<char>(name[i]));
  return text;
}

class DeviceAnswers : public FilterMachineTest, public ::testing::WithParamInterface<const char *> {
 protected:
  const DeviceModel &Model() { return *winsim::devices::FindModel(GetParam()); }
};

TEST_P(DeviceAnswers, IdsAreTheDevicesOwn) {
  CQZAudioFilter *filter = PlugAndOpen(GetParam());
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->ReadDeviceIds(), 0u);
  EXPECT_EQ(filter->GetVendorId(), Model().vendorId);
  EXPECT_EQ(filter->GetProductId(), Model().productId);
}

TEST_P(DeviceAnswers, ChannelNamesAreTheStreamingInterfacesNames) {
  CQZAudioFilter *filter = PlugAndOpen(GetParam());
  ASSERT_NE(filter, nullptr);
  std::vector<std::string> inputs = {"kept"};
  std::vector<std::string> outputs;
  ASSERT_TRUE(filter->GetChannelNames(inputs, outputs));
  std::vector<std::string> expectedInputs = {"kept"};
  for (const std::string &name : ModelNames(Model(), StreamDirection::Capture)) expectedInputs.push_back(name);
  EXPECT_EQ(inputs, expectedInputs) << "capture names are appended";
  EXPECT_EQ(outputs, ModelNames(Model(), StreamDirection::Render));
}

TEST_P(DeviceAnswers, RatesAreThoseOfTheRunningClock) {
  PluggedDevice *device = Plug(GetParam());
  ASSERT_NE(device, nullptr);
  lists.push_back(Enumerate());
  CQZAudioFilter *filter = FilterOf(*lists.back(), *device);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->GetDeviceSampleRate(), device->device->ActiveRate());
  EXPECT_EQ(filter->GetActiveSampleRate(), 0u) << "no pin is open";

  const auto &clocks = Model().clocks;
  const auto active = std::find_if(clocks.begin(), clocks.end(),
                                   [&](const auto &clock) { return clock.id == device->device->ActiveClock(); });
  ASSERT_NE(active, clocks.end());
  ULONG rates[UAC_MAX_SAMPLE_RATES];
  ULONG written = 0;
  ASSERT_EQ(filter->GetSampleRates(rates, UAC_MAX_SAMPLE_RATES, &written), S_OK);
  ASSERT_EQ(written, active->rates.size());
  EXPECT_TRUE(std::equal(active->rates.begin(), active->rates.end(), rates));
  EXPECT_TRUE(std::all_of(rates + written, rates + UAC_MAX_SAMPLE_RATES, [](ULONG r) { return r == 0; }))
      << "entries the driver did not write are zero";
}

TEST_P(DeviceAnswers, ClockSourcesAreListedInDescriptorOrder) {
  CQZAudioFilter *filter = PlugAndOpen(GetParam());
  ASSERT_NE(filter, nullptr);
  const auto &clocks = Model().clocks;
  for (ULONG i = 0; i < clocks.size(); ++i) {
    SCOPED_TRACE(i);
    ClockSourceInfo info;
    ASSERT_EQ(filter->GetClockSourceInfo(i, &info), S_OK);
    EXPECT_EQ(info.Number, i);
    EXPECT_EQ(info.ClockId, clocks[i].id);
    if (!clocks[i].name.empty()) {
      EXPECT_EQ(Narrow(info.Name), clocks[i].name);
    }
  }
  ClockSourceInfo past;
  std::memset(&past, 0xAB, sizeof past);
  EXPECT_TRUE(FAILED(filter->GetClockSourceInfo(static_cast<ULONG>(clocks.size()), &past)));
  EXPECT_EQ(past.Number, 0u) << "a failed read leaves no stale record";
  // The driver reads a selector's input; without a selector there is none.
  EXPECT_EQ(filter->GetClockSource(), Model().selector ? 0u : 0xFFFFFFFFu);
}

TEST_P(DeviceAnswers, PerformanceModesAreSetAndReadBack) {
  CQZAudioFilter *filter = PlugAndOpen(GetParam());
  ASSERT_NE(filter, nullptr);
  EXPECT_GE(filter->GetUrbSize(), 1u);
  for (ULONG mode : {UAC_URB_SIZE_MIXING, UAC_URB_SIZE_BALANCED, UAC_URB_SIZE_MIXING}) {
    EXPECT_EQ(filter->SetUrbSize(mode), S_OK) << mode;
    EXPECT_EQ(filter->GetUrbSize(), mode);
  }
  EXPECT_TRUE(FAILED(filter->SetUrbSize(0))) << "below the measured minimum";
  EXPECT_EQ(filter->GetUrbSize(), UAC_URB_SIZE_MIXING) << "a refused mode changes nothing";
}

INSTANTIATE_TEST_SUITE_P(Catalog, DeviceAnswers,
                         ::testing::Values("Alder", "Birch", "Cedar", "Larch", "Maple", "Rowan", "Hazel"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

using ClockSelection = FilterMachineTest;

TEST_F(ClockSelection, SelectingASourceSwitchesTheDevicesSelector) {
  PluggedDevice *larch = Plug("Larch");
  ASSERT_NE(larch, nullptr);
  lists.push_back(Enumerate());
  CQZAudioFilter *filter = FilterOf(*lists.back(), *larch);
  ASSERT_NE(filter, nullptr);
  for (ULONG index : {1u, 2u, 0u}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(filter->SetClockSource(index), S_OK);
    EXPECT_EQ(filter->GetClockSource(), index);
    EXPECT_EQ(larch->device->SelectorInput(), index + 1);
  }
}

}  // namespace
}  // namespace asiofiltertest
