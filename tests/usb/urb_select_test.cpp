// SELECT_CONFIGURATION and SELECT_INTERFACE: handles and pipe information
// from the descriptors (the driver's copy of them), the standard requests
// the device sees, and what happens to the old setting's pipes.
#include <cstring>

#include "usb_stack_fixture.h"

using namespace usbtest;

namespace {

// Offset of the endpoint descriptor with this address in the alternate
// setting that follows the interface descriptor (number, alternate).
size_t EndpointOffset(const std::vector<uint8_t> &configuration, uint8_t number, uint8_t alternate, uint8_t address) {
  bool inSetting = false;
  for (size_t i = 0; i + 1 < configuration.size() && configuration[i] >= 2; i += configuration[i]) {
    if (configuration[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      inSetting = configuration[i + 2] == number && configuration[i + 3] == alternate;
    }
    if (inSetting && configuration[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && configuration[i + 2] == address) return i;
  }
  ADD_FAILURE() << "no endpoint " << int(address);
  return 0;
}

TEST_F(UsbStackTest, SelectConfigurationSetsTheConfigurationAndDescribesEveryPipe) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  EXPECT_NE(configuration, nullptr);
  EXPECT_EQ(device->Configuration(), device->Definition().descriptors.configuration[5]);  // bConfigurationValue
  ASSERT_EQ(pipes.size(), 3u);  // status interrupt and the two MIDI bulk endpoints; streaming is at alternate 0
  EXPECT_EQ(pipes[0x83].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(pipes[0x83].MaximumPacketSize, 6);
  EXPECT_EQ(pipes[0x83].Interval, 4);
  EXPECT_EQ(pipes[0x02].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(pipes[0x02].MaximumPacketSize, 512);
  EXPECT_NE(pipes[0x02].PipeHandle, pipes[0x82].PipeHandle);
}

struct SettingCase {
  const char *name;
  uint8_t number, alternate, endpoint;
  USHORT maximumPacketSize;  // wMaxPacketSize bits 0-10 times (1 + bits 11-12)
};

class StreamingSettings : public UsbStackTest, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(StreamingSettings, HighBandwidthEndpointsReportEveryTransactionOfAMicroframe) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  ASSERT_EQ(SelectInterface(GetParam().number, GetParam().alternate), STATUS_SUCCESS);
  EXPECT_EQ(device->AlternateSetting(GetParam().number), GetParam().alternate);
  const USBD_PIPE_INFORMATION &pipe = pipes.at(GetParam().endpoint);
  EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(pipe.MaximumPacketSize, GetParam().maximumPacketSize);
  EXPECT_EQ(pipe.Interval, 1);
  EXPECT_NE(pipe.PipeHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Larch, StreamingSettings,
                         ::testing::Values(SettingCase{"RenderWide", 1, 1, 0x01, 2 * 1000},
                                           SettingCase{"RenderNarrow", 1, 2, 0x01, 2 * 750},
                                           SettingCase{"CaptureWide", 2, 1, 0x81, 2 * 900},
                                           SettingCase{"CaptureNarrow", 2, 2, 0x81, 2 * 675}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbStackTest, PipesFollowTheDescriptorCopyTheDriverSelectedWith) {
  std::vector<uint8_t> edited = device->Definition().descriptors.configuration;
  edited[EndpointOffset(edited, 0, 0, 0x83) + 6] = 1;  // the driver lowered these bInterval values
  edited[EndpointOffset(edited, 1, 1, 0x01) + 6] = 3;
  ASSERT_EQ(SelectConfiguration(edited), STATUS_SUCCESS);
  EXPECT_EQ(pipes[0x83].Interval, 1);
  ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
  EXPECT_EQ(pipes[0x01].Interval, 3);
}

TEST_F(UsbStackTest, ConfigurationWithoutADescriptorDeconfiguresAndClosesThePipes) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  UrbBuffer urb(sizeof(struct _URB_SELECT_CONFIGURATION));
  UsbBuildSelectConfigurationRequest(urb.get(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  EXPECT_EQ(device->Configuration(), 0);
  uint8_t data[4];
  UrbBuffer read = BulkUrb(Pipe(0x82), true, data, sizeof data, USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(stack->SubmitUrb(read.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbStackTest, NewSettingRetiresTheOldSettingsPipeHandles) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
  USBD_PIPE_HANDLE old = Pipe(0x01);
  ASSERT_EQ(SelectInterface(1, 2), STATUS_SUCCESS);
  EXPECT_NE(Pipe(0x01), old);
  UrbBuffer reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, old);
  EXPECT_EQ(stack->SubmitUrb(reset.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(reset->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbStackTest, StalledSetInterfaceFailsTheSelectionAndTheOldSettingStays) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
  device->RefuseSetInterface(1);
  UrbBuffer urb(0);
  EXPECT_EQ(SelectInterface(1, 2, &urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(device->AlternateSetting(1), 1);
  // The second attempt goes through, as a driver retrying would see.
  EXPECT_EQ(SelectInterface(1, 2), STATUS_SUCCESS);
  EXPECT_EQ(device->AlternateSetting(1), 2);
}

TEST_F(UsbStackTest, SelectingASettingAbortsWhatIsPendingOnTheOldOne) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  uint8_t data[64];
  UrbBuffer read = BulkUrb(Pipe(0x82), true, data, sizeof data, USBD_SHORT_TRANSFER_OK);
  AsyncUrb pending(stack->Top(), read.get());
  ASSERT_EQ(pending.Send(), STATUS_PENDING);
  ASSERT_EQ(SelectInterface(3, 0), STATUS_SUCCESS);
  ASSERT_TRUE(RunUntilDone(pending));
  EXPECT_EQ(pending.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_CANCELED);
}

struct BadSelectCase {
  const char *name;
  bool staleConfiguration;
  uint8_t alternate;
  uint8_t endpointsRoom;  // pipes the URB has room for
  USBD_STATUS expected;
};

class BadSelections : public UsbStackTest, public ::testing::WithParamInterface<BadSelectCase> {};

TEST_P(BadSelections, AreRefusedWithoutTouchingTheDevice) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  size_t requests = device->Requests().size();
  USBD_CONFIGURATION_HANDLE handle =
      GetParam().staleConfiguration ? reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1234) : configuration;
  UrbBuffer urb = SelectInterfaceUrb(handle, 1, GetParam().alternate, GetParam().endpointsRoom);
  EXPECT_EQ(stack->SubmitUrb(urb.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, GetParam().expected);
  EXPECT_EQ(device->Requests().size(), requests);
}

INSTANTIATE_TEST_SUITE_P(
    Interface1, BadSelections,
    ::testing::Values(BadSelectCase{"ForeignConfigurationHandle", true, 1, 1, USBD_STATUS_INVALID_PARAMETER},
                      BadSelectCase{"AlternateSettingTheDeviceLacks", false, 7, 1, USBD_STATUS_INTERFACE_NOT_FOUND},
                      BadSelectCase{"NoRoomForThePipes", false, 1, 0, USBD_STATUS_INVALID_PARAMETER}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
