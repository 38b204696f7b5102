// Requests on the default pipe through a function driver's stack: descriptor
// reads, class requests, raw control transfers, the URB header checks, and
// cancellation of a request the device never finishes.
#include <cstring>

#include "usb_stack_fixture.h"
#include "winsim/usb/usb_bus.h"
#include "winsim/usb/usb_host.h"

using namespace usbtest;

namespace {

TEST_F(UsbStackTest, DeviceDescriptorReadThroughTheStackIsTheDevicesOwn) {
  USB_DEVICE_DESCRIPTOR descriptor{};
  UrbBuffer urb = GetDescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, sizeof descriptor);
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, sizeof descriptor);
  EXPECT_EQ(std::memcmp(&descriptor, device->Definition().descriptors.device.data(), sizeof descriptor), 0);
}

TEST_F(UsbStackTest, ControlReadShorterThanItsBufferSucceedsWithTheBytesReceived) {
  const std::vector<uint8_t> &expected = device->Definition().descriptors.configuration;
  std::vector<uint8_t> buffer(4096);
  UrbBuffer urb = GetDescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 4096);
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  ASSERT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
}

struct ClassCase {
  const char *name;
  bool in;
  uint8_t expectedRequestType;
};

class ClassRequests : public UsbStackTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ClassRequests, ReachTheDeviceWithTheSetupPacketDriversExpect) {
  uint8_t data[4] = {0x80, 0xBB, 0x00, 0x00};  // 48000 little-endian for a SET CUR
  UrbBuffer urb = ClassInterfaceUrb(GetParam().in, 0x01, 0x0100, 0x2900, data, sizeof data);
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  SetupPacket seen = device->Requests().back();
  EXPECT_EQ(seen.bmRequestType, GetParam().expectedRequestType);
  EXPECT_EQ(seen.bRequest, 0x01);
  EXPECT_EQ(seen.wValue, 0x0100);
  EXPECT_EQ(seen.wIndex, 0x2900);
  EXPECT_EQ(seen.wLength, 4);
  EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 4u);
  if (GetParam().in) {
    EXPECT_EQ(data[0], 0xA0);  // the device's answer
    EXPECT_EQ(data[3], 0xA3);
  } else {
    EXPECT_EQ(device->LastOutData(), (std::vector<uint8_t>{0x80, 0xBB, 0x00, 0x00}));
  }
}

INSTANTIATE_TEST_SUITE_P(Directions, ClassRequests,
                         ::testing::Values(ClassCase{"GetCur", true, 0xA1}, ClassCase{"SetCur", false, 0x21}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbStackTest, StalledRequestFailsUnsuccessfulWithTheStallStatus) {
  device->Stall(0xA1, 0x02);
  uint8_t range[194];
  UrbBuffer urb = ClassInterfaceUrb(true, 0x02, 0x0100, 0x2900, range, sizeof range);
  EXPECT_EQ(stack->SubmitUrb(urb.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 0u);
}

TEST_F(UsbStackTest, ControlTransferOnTheDefaultPipeSendsItsSetupWithWLengthFromTheBuffer) {
  uint8_t data[14];
  UrbBuffer urb(sizeof(struct _URB_CONTROL_TRANSFER));
  urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
  auto &r = urb->UrbControlTransfer;
  r.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER | USBD_TRANSFER_DIRECTION_IN;
  r.TransferBuffer = data;
  r.TransferBufferLength = sizeof data;
  const UCHAR setup[8] = {0xA1, 0x02, 0x00, 0x01, 0x00, 0x29, 0xFF, 0xFF};
  std::memcpy(r.SetupPacket, setup, sizeof setup);
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  SetupPacket seen = device->Requests().back();
  EXPECT_EQ(seen.bmRequestType, 0xA1);
  EXPECT_EQ(seen.wIndex, 0x2900);
  EXPECT_EQ(seen.wLength, sizeof data);  // never more than the buffer holds
  EXPECT_EQ(r.TransferBufferLength, sizeof data);
}

struct HeaderCase {
  const char *name;
  USHORT function;
  USHORT length;
  USBD_STATUS expected;
};

class UrbHeaders : public UsbStackTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(UrbHeaders, AreCheckedBeforeAnythingReachesTheBus) {
  size_t transactions = device->TransactionCount();
  UrbBuffer urb(512);
  urb->UrbHeader.Function = GetParam().function;
  urb->UrbHeader.Length = GetParam().length;
  EXPECT_EQ(stack->SubmitUrb(urb.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, GetParam().expected);
  EXPECT_EQ(device->TransactionCount(), transactions);
}

// 80, 72 and 96 are sizes these URBs have in a 32-bit build; a 64-bit stack
// refuses them.
INSTANTIATE_TEST_SUITE_P(
    Lengths, UrbHeaders,
    ::testing::Values(
        HeaderCase{"DescriptorRequestOfA32BitBuild", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 80, USBD_STATUS_INVALID_PARAMETER},
        HeaderCase{"ClassRequestOneByteLong", URB_FUNCTION_CLASS_INTERFACE, 137, USBD_STATUS_INVALID_PARAMETER},
        HeaderCase{"BulkTransferOfA32BitBuild", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 72, USBD_STATUS_INVALID_PARAMETER},
        HeaderCase{"PipeRequestHeaderOnly", URB_FUNCTION_ABORT_PIPE, 24, USBD_STATUS_INVALID_PARAMETER},
        HeaderCase{"IsochWithoutPackets", URB_FUNCTION_ISOCH_TRANSFER, 96, USBD_STATUS_INVALID_PARAMETER},
        HeaderCase{"SelectConfigurationHeaderOnly", URB_FUNCTION_SELECT_CONFIGURATION, 24, USBD_STATUS_INVALID_PARAMETER},
        HeaderCase{"UnknownFunction", 0x0099, 136, USBD_STATUS_INVALID_URB_FUNCTION}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbStackTest, RequestTheDeviceNeverFinishesIsCancelledAfterTheDriversTimeout) {
  device->Hang(0xA1, 0x01);
  uint8_t rate[4];
  UrbBuffer urb = ClassInterfaceUrb(true, 0x01, 0x0100, 0x2900, rate, sizeof rate);
  VTime sent = machine.Now();
  EXPECT_EQ(stack->SubmitUrb(urb.get(), 1000), STATUS_TIMEOUT);
  EXPECT_EQ(machine.Now() - sent, 1000 * winsim::kTicksPerMillisecond);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
  // The default pipe is free again for the next request.
  USB_DEVICE_DESCRIPTOR descriptor;
  UrbBuffer next = GetDescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, sizeof descriptor);
  EXPECT_EQ(stack->SubmitUrb(next.get()), STATUS_SUCCESS);
}

TEST_F(UsbStackTest, TransfersCompleteOnTheCompletionContextAtDispatchLevel) {
  USB_DEVICE_DESCRIPTOR descriptor;
  UrbBuffer urb = GetDescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, sizeof descriptor);
  AsyncUrb request(stack->Top(), urb.get());
  VTime sent = machine.Now();
  ASSERT_EQ(request.Send(), STATUS_PENDING);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(request));
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Irql(), DISPATCH_LEVEL);
  EXPECT_GT(request.CompletedAt(), sent);
}

TEST_F(UsbStackTest, UrbsMayBeSubmittedAtDispatchLevel) {
  USB_DEVICE_DESCRIPTOR descriptor;
  UrbBuffer urb = GetDescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, sizeof descriptor);
  AsyncUrb request(stack->Top(), urb.get());
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  NTSTATUS sent = request.Send();
  KeLowerIrql(irql);
  EXPECT_EQ(sent, STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(request));
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
}

TEST_F(UsbStackTest, CurrentFrameNumberIsTheBusFrameCounter) {
  machine.RunFor(7 * winsim::kTicksPerMillisecond + 3000);
  UrbBuffer urb(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
  urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  urb->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  ULONG expected = winsim::usb::BusFrameBase(1) + static_cast<ULONG>(machine.Now() / winsim::kTicksPerMillisecond);
  EXPECT_EQ(urb->UrbGetCurrentFrameNumber.FrameNumber, expected);
}

}  // namespace
