// A complete USB Audio Class 1.0 function (AudioControl protocol 0 with its
// own AudioStreaming interfaces, one per direction, each with a class 1.0
// PCM format) beside the class 2.0 function, before or after it: the driver
// builds its AudioControl object and its streams from the class 2.0 function
// only, passes over (and traces) each class 1.0 interface, and sends nothing
// to the class 1.0 interfaces or endpoints.
#include "devices/config_reshape.h"
#include "driver_harness.h"
#include "winsim/devices/raw_model.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/trace_logger_decode.h"

#include <algorithm>

namespace dstest {
namespace {

using reshape::Bytes;

constexpr uint8_t kClassOneOut = 0x05;
constexpr uint8_t kClassOneIn = 0x85;

// An AudioStreaming interface of class 1.0: an idle setting 0 and a setting
// 1 of 2 channels, 16 bits at 48 kHz on an isochronous endpoint.
std::vector<Bytes> ClassOneStreaming(uint8_t number, uint8_t endpoint, uint8_t terminal) {
  return {{9, 0x04, number, 0, 0, 0x01, 0x02, 0x00, 0},
          {9, 0x04, number, 1, 1, 0x01, 0x02, 0x00, 0},
          {7, 0x24, 0x01, terminal, 1, 0x01, 0x00},                   // AS general: PCM
          {11, 0x24, 0x02, 0x01, 2, 2, 16, 1, 0x80, 0xBB, 0x00},      // format type I, one rate
          {9, 0x05, endpoint, 0x09, 0xC0, 0x00, 4, 0, 0},             // iso, adaptive, 192 bytes
          {7, 0x25, 0x01, 0x01, 0, 0, 0}};                            // CS endpoint: rate control
}

// AudioControl (protocol 0) with a playback and a recording path, and its
// two AudioStreaming interfaces, numbered from `first`.
std::vector<Bytes> ClassOneFunction(uint8_t first) {
  const uint8_t out = static_cast<uint8_t>(first + 1), in = static_cast<uint8_t>(first + 2);
  std::vector<Bytes> function = {
      {9, 0x04, first, 0, 0, 0x01, 0x01, 0x00, 0},
      {10, 0x24, 0x01, 0x00, 0x01, 0, 0, 2, out, in},                  // header, wTotalLength below
      {12, 0x24, 0x02, 1, 0x01, 0x01, 0, 2, 0x03, 0x00, 0, 0},         // USB streaming in
      {9, 0x24, 0x03, 2, 0x01, 0x03, 0, 1, 0},                         // speaker
      {12, 0x24, 0x02, 3, 0x01, 0x02, 0, 2, 0x03, 0x00, 0, 0},         // microphone
      {9, 0x24, 0x03, 4, 0x01, 0x01, 0, 3, 0}};                        // USB streaming out
  size_t classSpecific = 0;
  for (size_t i = 1; i < function.size(); ++i) classSpecific += function[i].size();
  function[1][5] = static_cast<uint8_t>(classSpecific);
  for (auto &d : ClassOneStreaming(out, kClassOneOut, 1)) function.push_back(d);
  for (auto &d : ClassOneStreaming(in, kClassOneIn, 4)) function.push_back(d);
  return function;
}

struct Placement {
  const char *name;
  bool before;
  uint8_t classTwoControl;  // interface numbers in the resulting configuration
  uint8_t classOneFirst;
};

winsim::devices::RawParseResult LarchBeside(const Placement &p) {
  const DeviceModel &larch = Model("Larch");
  const winsim::devices::BuildResult built = winsim::devices::BuildDevice(larch);
  const winsim::devices::DescriptorSet &set = built.definition.descriptors;
  std::vector<Bytes> classTwo = reshape::Split(set.configuration);
  std::vector<Bytes> classOne = ClassOneFunction(p.classOneFirst);
  std::vector<Bytes> all;
  if (p.before) {
    reshape::Shift(classTwo, 3);
    all = classOne;
    all.insert(all.end(), classTwo.begin(), classTwo.end());
  } else {
    all = classTwo;
    all.insert(all.end(), classOne.begin(), classOne.end());
  }
  return winsim::devices::ParseRawDevice(
      winsim::devices::RawDescriptors{set.device, reshape::Join(set.configuration, all), set.strings},
      {larch.name, larch.clocks.front().rates});
}

bool NamesClassOne(const SetupPacket &setup, uint8_t first) {
  const uint8_t recipient = setup.bmRequestType & 0x1F;
  const uint8_t index = setup.wIndex & 0xFF;
  if (recipient == 1) return index >= first && index <= first + 2;            // interface
  if (recipient == 2) return index == kClassOneOut || index == kClassOneIn;   // endpoint
  return false;
}

using ClassOneFunctionTest = DriverStartTest;

TEST_F(ClassOneFunctionTest, OnlyTheClassTwoFunctionIsBuiltWhereverTheClassOneOneSits) {
  const Placement placements[] = {{"class 1.0 function before", true, 3, 0},
                                  {"class 1.0 function after", false, 0, 4}};
  const DeviceModel &larch = Model("Larch");
  for (const Placement &p : placements) {
    SCOPED_TRACE(p.name);
    const auto parsed = LarchBeside(p);
    ASSERT_TRUE(parsed.Ok()) << parsed.detail;
    machine.TraceLog()->Clear();
    Plug(parsed.definition);
    const auto traces = winsim::LoggerTexts(*machine.TraceLog());
    EXPECT_EQ(std::count_if(traces.begin(), traces.end(),
                            [](const std::string &text) {
                              return text.find("not of audio class 2.0: passed over") != std::string::npos;
                            }),
              3);
    ASSERT_EQ(Node().postStartStatus, STATUS_SUCCESS);
    UsbAudioDevice &context = Ctx();
    ASSERT_NE(context.audioControl, nullptr);
    EXPECT_EQ(context.audioControl->controlInterface->interfaceNumber, p.classTwoControl);
    EXPECT_EQ(context.audioControl->clockCount, larch.clocks.size());
    ASSERT_NE(context.renderStream, nullptr);
    ASSERT_NE(context.captureStream, nullptr);
    EXPECT_EQ(context.renderStream->usbInterface->interfaceNumber, p.classTwoControl + 1);
    EXPECT_EQ(context.captureStream->usbInterface->interfaceNumber, p.classTwoControl + 2);
    EXPECT_EQ(context.renderStream->dataEndpoint, larch.streams[0].endpoint);
    EXPECT_EQ(context.captureStream->dataEndpoint, larch.streams[1].endpoint);
    EXPECT_EQ(context.renderStream->channels, larch.streams[0].channels);
    EXPECT_EQ(context.captureStream->channels, larch.streams[1].channels);
    EXPECT_EQ(context.filterDescriptor->filter.PinDescriptorsCount, 12u);  // audio, then two MIDI cables

    const uint32_t rate = context.sampleRate == 96000 ? 44100 : 96000;
    EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), rate), STATUS_SUCCESS);
    EXPECT_EQ(device->ActiveRate(), rate);
    size_t toClassTwoControl = 0;
    for (const RecordedRequest &r : bus->Requests()) {
      EXPECT_FALSE(NamesClassOne(r.setup, p.classOneFirst))
          << "request 0x" << std::hex << int{r.setup.bRequest} << " to 0x" << r.setup.wIndex;
      if ((r.setup.bmRequestType & 0x7F) == 0x21 && (r.setup.wIndex & 0xFF) == p.classTwoControl) ++toClassTwoControl;
    }
    EXPECT_GT(toClassTwoControl, 4u);
    Unplug();
  }
}

}  // namespace
}  // namespace dstest
