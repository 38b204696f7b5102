// The driver on interfaces shaped as shipping hardware is: a clock listing
// seventeen rate subranges with a continuous one among them, settings that
// carry fewer channels at higher rates (20/16/12, an ADAT port's 8/4/2, in
// either descriptor order), and interfaces beside the audio function that
// it must leave alone.
#include <set>

#include "driver_harness.h"

namespace dstest {
namespace {

using winsim::devices::BuildDevice;
using winsim::devices::StreamDirection;

using DeviceShapesTest = DriverStartTest;

std::vector<uint32_t> Rates(const UsbAudioControl &control) {
  std::vector<uint32_t> rates;
  for (ULONG rate : control.rates) {
    if (rate == 0) break;
    rates.push_back(rate);
  }
  return rates;
}

const KSDATARANGE_AUDIO *StreamingRange(const KSFILTER_DESCRIPTOR &filter, bool render) {
  for (ULONG id = 0; id < filter.PinDescriptorsCount; ++id) {
    const KSPIN_DESCRIPTOR &pin = filter.PinDescriptors[id].PinDescriptor;
    if (pin.Communication != KSPIN_COMMUNICATION_SINK || (pin.DataFlow == KSPIN_DATAFLOW_IN) != render) continue;
    if (pin.DataRangesCount == 0) return nullptr;
    return reinterpret_cast<const KSDATARANGE_AUDIO *>(pin.DataRanges[0]);
  }
  return nullptr;
}

// Every rate the clock lists reaches the driver's table, the continuous
// subrange as its standard rates, the rates it lists twice once; the data
// ranges span them all and a rate from inside the continuous subrange is set.
TEST_F(DeviceShapesTest, SeventeenSubrangesWithAContinuousOneGiveEveryRateTheClockRuns) {
  Plug("Willow");
  ASSERT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  ASSERT_NE(Ctx().audioControl, nullptr);
  const std::vector<uint32_t> expected = {44100, 48000, 8000,   11025,  12000,  16000,  22050,  24000,
                                          32000, 64000, 88200, 96000, 176400, 192000, 352800, 384000};
  EXPECT_EQ(Rates(*Ctx().audioControl), expected);
  const KSFILTER_DESCRIPTOR &filter = *Ctx().filterFactory->FilterDescriptor;
  for (bool render : {true, false}) {
    const KSDATARANGE_AUDIO *range = StreamingRange(filter, render);
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->MinimumSampleFrequency, 8000u);
    EXPECT_EQ(range->MaximumSampleFrequency, 384000u);
  }
  for (uint32_t rate : {11025u, 384000u}) {
    EXPECT_TRUE(AudioControlRateSupported(Ctx().audioControl, rate)) << rate;
    EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), rate), STATUS_SUCCESS) << rate;
    EXPECT_EQ(device->ActiveRate(), rate);
  }
  Unplug();
}

struct SettingCase {
  uint32_t rate;
  UCHAR renderSetting;
  ULONG renderChannels;
  UCHAR captureSetting;
  ULONG captureChannels;
};

struct ShapeCase {
  const char *what;
  DeviceModel model;
  ULONG renderRangeChannels;
  ULONG captureRangeChannels;
  std::vector<SettingCase> rates;
};

// The same settings listed narrowest first: the widest that carries a rate
// must still be chosen.
DeviceModel Reversed(const char *name, uint16_t productId) {
  DeviceModel model = Model(name);
  model.productId = productId;
  model.serial += "R";
  for (auto &stream : model.streams) std::reverse(stream.formats.begin(), stream.formats.end());
  return model;
}

// The setting SET_INTERFACE last selected on an interface other than 0.
int LastSetting(const std::vector<RecordedRequest> &requests, uint16_t interfaceNumber) {
  int setting = -1;
  for (const RecordedRequest &r : requests) {
    if (IsSetInterface(r.setup) && r.setup.wIndex == interfaceNumber && r.setup.wValue != 0) setting = r.setup.wValue;
  }
  return setting;
}

TEST_F(DeviceShapesTest, EachRateGetsTheWidestSettingThatCarriesItAndThePinsOfferTheWidest) {
  const std::vector<ShapeCase> cases = {
      {"Linden, 20/16/12 and 18/14/10",
       Model("Linden"),
       20,
       18,
       {{44100, 1, 20, 1, 18}, {48000, 1, 20, 1, 18}, {96000, 2, 16, 2, 14}, {192000, 3, 12, 3, 10}}},
      {"Linden listed narrowest first",
       Reversed("Linden", 0x80F0),
       20,
       18,
       {{48000, 3, 20, 3, 18}, {88200, 2, 16, 2, 14}, {176400, 1, 12, 1, 10}}},
      {"Poplar, an ADAT port",
       Model("Poplar"),
       8,
       8,
       {{48000, 1, 8, 1, 8}, {96000, 2, 4, 2, 4}, {192000, 3, 2, 3, 2}}},
  };
  for (const ShapeCase &c : cases) {
    SCOPED_TRACE(c.what);
    auto built = BuildDevice(c.model);
    ASSERT_TRUE(built.Ok()) << built.detail;
    Plug(built.definition);
    installed = false;  // the next model has other hardware ids
    ASSERT_EQ(Node().postStartStatus, STATUS_SUCCESS);
    ASSERT_NE(Ctx().renderStream, nullptr);
    ASSERT_NE(Ctx().captureStream, nullptr);
    const KSFILTER_DESCRIPTOR &filter = *Ctx().filterFactory->FilterDescriptor;
    ASSERT_NE(StreamingRange(filter, true), nullptr);
    ASSERT_NE(StreamingRange(filter, false), nullptr);
    EXPECT_EQ(StreamingRange(filter, true)->MaximumChannels, c.renderRangeChannels);
    EXPECT_EQ(StreamingRange(filter, false)->MaximumChannels, c.captureRangeChannels);
    for (const SettingCase &r : c.rates) {
      SCOPED_TRACE(r.rate);
      ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), r.rate), STATUS_SUCCESS);
      const UsbAudioStream &render = *Ctx().renderStream;
      const UsbAudioStream &capture = *Ctx().captureStream;
      EXPECT_EQ(render.altSetting, r.renderSetting);
      EXPECT_EQ(render.channels, r.renderChannels);
      EXPECT_EQ(render.bytesPerFrame, r.renderChannels * render.subslot);
      EXPECT_EQ(capture.altSetting, r.captureSetting);
      EXPECT_EQ(capture.channels, r.captureChannels);
      const auto requests = bus->Requests();
      EXPECT_EQ(LastSetting(requests, render.usbInterface->interfaceNumber), r.renderSetting);
      EXPECT_EQ(LastSetting(requests, capture.usbInterface->interfaceNumber), r.captureSetting);
    }
    Unplug();
  }
}

// A vendor interface and a run-time DFU interface after the audio function:
// configured at setting 0 with the rest, never addressed again, and the
// device is no firmware-update device for having a DFU interface.
TEST_F(DeviceShapesTest, InterfacesOutsideTheAudioFunctionAreLeftAlone) {
  Plug("Holly");
  ASSERT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_EQ(Ctx().config.interfaceCount, 6u);
  ASSERT_NE(Ctx().audioControl, nullptr);
  EXPECT_NE(Ctx().renderStream, nullptr);
  EXPECT_NE(Ctx().captureStream, nullptr);
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  const std::set<uint16_t> extras = {4, 5};
  for (const RecordedRequest &r : bus->Requests()) {
    const bool toInterface = (r.setup.bmRequestType & 0x1F) == 0x01;
    if (toInterface) {
      EXPECT_EQ(extras.count(r.setup.wIndex & 0xFF), 0u) << "request 0x" << std::hex << int{r.setup.bRequest};
    }
  }
  Unplug();
}

}  // namespace
}  // namespace dstest
