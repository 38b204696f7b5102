// Bulk transfers and the pipe requests: short-transfer rules, ABORT_PIPE,
// the reset-pipe family, IoCancelIrp of pending URBs, unknown pipe handles.
#include "usb_stack_fixture.h"

using namespace usbtest;
using winsim::kTicksPerMillisecond;

namespace {

constexpr uint8_t kMidiOut = 0x02;
constexpr uint8_t kMidiIn = 0x82;

class PipeTest : public UsbStackTest {
 protected:
  void SetUp() override {
    UsbStackTest::SetUp();
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  }
};

TEST_F(PipeTest, BulkOutDeliversTheBytesToTheEndpoint) {
  uint8_t packet[4] = {0x09, 0x90, 0x3C, 0x64};
  UrbBuffer urb = BulkUrb(Pipe(kMidiOut), false, packet, sizeof packet);
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
  ASSERT_EQ(device->BulkOut(kMidiOut).size(), 1u);
  EXPECT_EQ(device->BulkOut(kMidiOut)[0], (std::vector<uint8_t>{0x09, 0x90, 0x3C, 0x64}));
}

struct ShortCase {
  const char *name;
  ULONG flags;
  size_t deviceBytes;
  NTSTATUS expectedIrp;
  USBD_STATUS expectedUrb;
};

class ShortTransfers : public PipeTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortTransfers, InTransfersEndingShortFailUnlessTheDriverAllowsIt) {
  device->QueueBulkIn(kMidiIn, std::vector<uint8_t>(GetParam().deviceBytes, 0x5A));
  uint8_t buffer[16] = {};
  UrbBuffer urb = BulkUrb(Pipe(kMidiIn), true, buffer, sizeof buffer, GetParam().flags);
  EXPECT_EQ(stack->SubmitUrb(urb.get()), GetParam().expectedIrp);
  EXPECT_EQ(urb->UrbHeader.Status, GetParam().expectedUrb);
  EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, GetParam().deviceBytes);  // what arrived, either way
  EXPECT_EQ(buffer[0], 0x5A);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ShortTransfers,
    ::testing::Values(ShortCase{"ShortAllowed", USBD_SHORT_TRANSFER_OK, 4, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
                      ShortCase{"ShortNotAllowed", 0, 4, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER},
                      ShortCase{"FullBufferNeedsNoFlag", 0, 16, STATUS_SUCCESS, USBD_STATUS_SUCCESS}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PipeTest, BulkReadWaitsUntilTheDeviceHasData) {
  uint8_t buffer[64];
  UrbBuffer urb = BulkUrb(Pipe(kMidiIn), true, buffer, sizeof buffer, USBD_SHORT_TRANSFER_OK);
  AsyncUrb read(stack->Top(), urb.get());
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  machine.RunFor(50 * kTicksPerMillisecond);
  EXPECT_FALSE(read.Done());
  device->QueueBulkIn(kMidiIn, {0x19, 0x90, 0x3C, 0x64});
  ASSERT_TRUE(RunUntilDone(read));
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
  EXPECT_EQ(buffer[0], 0x19);
}

TEST_F(PipeTest, AbortPipeCancelsThePipesPendingUrbsAndCompletesAfterThem) {
  uint8_t first[64], second[64];
  UrbBuffer urb1 = BulkUrb(Pipe(kMidiIn), true, first, sizeof first, USBD_SHORT_TRANSFER_OK);
  UrbBuffer urb2 = BulkUrb(Pipe(kMidiIn), true, second, sizeof second, USBD_SHORT_TRANSFER_OK);
  AsyncUrb read1(stack->Top(), urb1.get()), read2(stack->Top(), urb2.get());
  ASSERT_EQ(read1.Send(), STATUS_PENDING);
  ASSERT_EQ(read2.Send(), STATUS_PENDING);
  UrbBuffer abortUrb = PipeUrb(URB_FUNCTION_ABORT_PIPE, Pipe(kMidiIn));
  AsyncUrb abort(stack->Top(), abortUrb.get());
  ASSERT_EQ(abort.Send(), STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(abort));
  EXPECT_EQ(abort.Status(), STATUS_SUCCESS);
  ASSERT_TRUE(read1.Done() && read2.Done()) << "the abort completes only after the URBs it cancelled";
  for (UrbBuffer *urb : {&urb1, &urb2}) EXPECT_EQ((*urb)->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(read1.Status(), STATUS_CANCELLED);
  EXPECT_EQ(read2.Status(), STATUS_CANCELLED);
}

struct ResetCase {
  const char *name;
  USHORT function;
  bool clearsHalt;
};

class ResetPipes : public PipeTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetPipes, SendClearFeatureEndpointHaltOnlyWhenAskedToClearTheStall) {
  size_t requests = device->Requests().size();
  UrbBuffer urb = PipeUrb(GetParam().function, Pipe(kMidiIn));
  ASSERT_EQ(stack->SubmitUrb(urb.get()), STATUS_SUCCESS);
  std::vector<SetupPacket> seen = device->Requests();
  ASSERT_EQ(seen.size(), requests + (GetParam().clearsHalt ? 1 : 0));
  if (GetParam().clearsHalt) {
    EXPECT_EQ(seen.back().bmRequestType, 0x02);
    EXPECT_EQ(seen.back().bRequest, USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(seen.back().wValue, USB_FEATURE_ENDPOINT_STALL);
    EXPECT_EQ(seen.back().wIndex, kMidiIn);
  }
}

INSTANTIATE_TEST_SUITE_P(Family, ResetPipes,
                         ::testing::Values(ResetCase{"ResetAndClearStall", URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, true},
                                           ResetCase{"ClearStall", URB_FUNCTION_SYNC_CLEAR_STALL, true},
                                           ResetCase{"ResetOnly", URB_FUNCTION_SYNC_RESET_PIPE, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PipeTest, ResetOfAPipeWithATransferPendingIsRefusedAsBusy) {
  uint8_t buffer[64];
  UrbBuffer readUrb = BulkUrb(Pipe(kMidiIn), true, buffer, sizeof buffer, USBD_SHORT_TRANSFER_OK);
  AsyncUrb read(stack->Top(), readUrb.get());
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  UrbBuffer reset = PipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kMidiIn));
  EXPECT_EQ(stack->SubmitUrb(reset.get()), STATUS_DEVICE_BUSY);
  EXPECT_EQ(reset->UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
  IoCancelIrp(read.Irp());
  ASSERT_TRUE(RunUntilDone(read));
}

TEST_F(PipeTest, IoCancelIrpCompletesAPendingUrbCancelledAtDispatchLevel) {
  uint8_t buffer[64];
  UrbBuffer urb = BulkUrb(Pipe(kMidiIn), true, buffer, sizeof buffer, USBD_SHORT_TRANSFER_OK);
  AsyncUrb read(stack->Top(), urb.get());
  ASSERT_EQ(read.Send(), STATUS_PENDING);
  machine.RunFor(5 * kTicksPerMillisecond);
  EXPECT_TRUE(IoCancelIrp(read.Irp()));
  ASSERT_TRUE(RunUntilDone(read));
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(read.Irql(), DISPATCH_LEVEL);
  // Data the device produces later is not lost to the cancelled read.
  device->QueueBulkIn(kMidiIn, {0x01});
  UrbBuffer next = BulkUrb(Pipe(kMidiIn), true, buffer, sizeof buffer, USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(stack->SubmitUrb(next.get()), STATUS_SUCCESS);
}

TEST_F(PipeTest, IrpCancelledBeforeItReachedTheHubCompletesCancelledOnceSent) {
  uint8_t buffer[64];
  UrbBuffer urb = BulkUrb(Pipe(kMidiIn), true, buffer, sizeof buffer, USBD_SHORT_TRANSFER_OK);
  AsyncUrb read(stack->Top(), urb.get());
  EXPECT_FALSE(IoCancelIrp(read.Irp()));  // nobody holds it yet: only the Cancel flag is set
  EXPECT_EQ(read.Send(), STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(read));
  EXPECT_EQ(read.Status(), STATUS_CANCELLED);
}

struct UnknownPipeCase {
  const char *name;
  USHORT function;
};

class UnknownPipes : public PipeTest, public ::testing::WithParamInterface<UnknownPipeCase> {};

TEST_P(UnknownPipes, AreRefusedAsInvalidPipeHandles) {
  auto bogus = reinterpret_cast<USBD_PIPE_HANDLE>(0xDEADBEE0);
  uint8_t buffer[8 * 64];
  UrbBuffer urb = GetParam().function == URB_FUNCTION_ISOCH_TRANSFER ? IsochUrb(bogus, true, buffer, 1, 64, std::nullopt)
                  : GetParam().function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? BulkUrb(bogus, true, buffer, 64)
                                                                                   : PipeUrb(GetParam().function, bogus);
  EXPECT_EQ(stack->SubmitUrb(urb.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(Functions, UnknownPipes,
                         ::testing::Values(UnknownPipeCase{"Isoch", URB_FUNCTION_ISOCH_TRANSFER},
                                           UnknownPipeCase{"Bulk", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER},
                                           UnknownPipeCase{"Abort", URB_FUNCTION_ABORT_PIPE},
                                           UnknownPipeCase{"Reset", URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
