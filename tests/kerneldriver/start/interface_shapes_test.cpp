// The driver on configurations shaped as real interfaces ship them: the
// class 2.0 function behind a vendor-specific interface, or beside a class
// 1.0 header-only AudioControl interface holding the MIDI interface (before
// or after the function). The driver builds its AudioControl object from
// the AudioControl interface that an AudioStreaming interface follows, and
// addresses its class requests to that interface's own number.
#include "devices/config_reshape.h"
#include "driver_harness.h"

namespace dstest {
namespace {

struct ShapeCase {
  const char *name;
  reshape::Shape shape;
  uint8_t controlInterface;  // bInterfaceNumber of the class 2.0 AudioControl interface
};

bool IsClassRequestToInterface(const SetupPacket &setup) {
  return (setup.bmRequestType & 0x7F) == 0x21;  // class, recipient interface, either direction
}

using InterfaceShapesTest = DriverStartTest;

TEST_F(InterfaceShapesTest, TheFunctionStartsWhereverItsAudioControlInterfaceSits) {
  const ShapeCase cases[] = {{"vendor interface first", reshape::Shape::VendorFirst, 1},
                             {"class 1.0 MIDI before", reshape::Shape::ClassOneMidiBefore, 2},
                             {"class 1.0 MIDI after", reshape::Shape::ClassOneMidiAfter, 0}};
  for (const ShapeCase &c : cases) {
    SCOPED_TRACE(c.name);
    const auto parsed = reshape::ReshapedDevice(Model("Larch"), c.shape);
    ASSERT_TRUE(parsed.Ok()) << parsed.detail;
    Plug(parsed.definition);
    EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
    UsbAudioDevice &context = Ctx();
    ASSERT_NE(context.audioControl, nullptr);
    EXPECT_EQ(context.audioControl->controlInterface->interfaceNumber, c.controlInterface);
    EXPECT_EQ(context.audioControl->clockCount, Model("Larch").clocks.size());
    EXPECT_EQ(context.sampleRate, device->ActiveRate());
    EXPECT_NE(context.renderStream, nullptr);
    EXPECT_NE(context.captureStream, nullptr);
    EXPECT_EQ(context.filterDescriptor->filter.PinDescriptorsCount, 12u);  // audio, then two MIDI cables
    size_t classRequests = 0;
    for (const RecordedRequest &r : bus->Requests()) {
      if (!IsClassRequestToInterface(r.setup)) continue;
      ++classRequests;
      EXPECT_EQ(r.setup.wIndex & 0xFF, c.controlInterface) << "request 0x" << std::hex << int{r.setup.bRequest};
    }
    EXPECT_GT(classRequests, 4u);
    const uint32_t rate = context.sampleRate == 96000 ? 44100 : 96000;
    EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), rate), STATUS_SUCCESS);
    EXPECT_EQ(device->ActiveRate(), rate);
    Unplug();
  }
}

}  // namespace
}  // namespace dstest
