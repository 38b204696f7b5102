// Requests the I/O manager builds for a caller: buffers copied in and out,
// the caller's IO_STATUS_BLOCK and event, and the IRP freed on completion.
#include <gtest/gtest.h>

#include <cstring>

#include "io_test_support.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"

using namespace winsim;
using namespace iotest;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;

struct IoctlCase {
  const char *name;
  ULONG method;
  BOOLEAN internal;
};

// The bottom driver answers an IOCTL 3 ms later from a timer DPC (another
// thread, at DISPATCH_LEVEL): it reverses the input bytes into the output.
struct DelayedResponder {
  KTIMER timer;
  KDPC dpc;
  PIRP irp = nullptr;
  UCHAR seenMajor = 0;
  KIRQL completedAtIrql = 0xFF;
  std::string completedOn;

  static void Respond(PKDPC, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<DelayedResponder *>(context);
    PIRP irp = self->irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    bool buffered = METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_BUFFERED;
    const UCHAR *input = static_cast<const UCHAR *>(buffered ? irp->AssociatedIrp.SystemBuffer
                                                              : stack->Parameters.DeviceIoControl.Type3InputBuffer);
    UCHAR reversed[64];
    for (ULONG i = 0; i < in && i < sizeof reversed; ++i) reversed[i] = input[in - 1 - i];
    std::memcpy(buffered ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer, reversed, std::min(in, out));
    self->completedAtIrql = KeGetCurrentIrql();
    self->completedOn = Scheduler::Current()->Name();
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = std::min(in, out);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  Dispatch Handler() {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, Respond, this);
    return [this](PDEVICE_OBJECT, PIRP irp) {
      seenMajor = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
      this->irp = irp;
      IoMarkIrpPending(irp);
      LARGE_INTEGER due;
      due.QuadPart = -3 * kMs;
      KeSetTimer(&timer, due, &dpc);
      return STATUS_PENDING;
    };
  }
};

class DeviceIoControlRoundTrip : public ::testing::TestWithParam<IoctlCase> {};

TEST_P(DeviceIoControlRoundTrip, OutputArrivesAndTheEventIsSignalledWhenADpcCompletesTheRequest) {
  const IoctlCase &c = GetParam();
  Machine machine;
  DeviceStack stack(2);
  DelayedResponder responder;
  stack.dispatch[0] = responder.Handler();
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, c.method, FILE_ANY_ACCESS);
  UCHAR input[6] = {1, 2, 3, 4, 5, 6};
  UCHAR output[8] = {};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_UNSUCCESSFUL;

  PIRP irp = IoBuildDeviceIoControlRequest(code, stack.Top(), input, sizeof input, output, sizeof output, c.internal,
                                           &done, &iosb);
  ASSERT_NE(irp, nullptr);
  std::memset(input, 0xEE, sizeof input);  // buffered: the driver sees the copy taken at build time
  if (c.method == METHOD_NEITHER) std::memcpy(input, "\1\2\3\4\5\6", sizeof input);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&done), 0);
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

  EXPECT_EQ(machine.Now(), 3 * kMs);
  EXPECT_EQ(responder.seenMajor, c.internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(responder.completedAtIrql, DISPATCH_LEVEL);
  EXPECT_EQ(responder.completedOn, "DPC");
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 6u);
  const UCHAR expected[8] = {6, 5, 4, 3, 2, 1, 0, 0};
  EXPECT_EQ(std::memcmp(output, expected, sizeof output), 0);
  // The IRP and its system buffer are gone before the caller wakes.
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kIrpTag), 0u);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kSystemBufferTag), 0u);
}

INSTANTIATE_TEST_SUITE_P(Methods, DeviceIoControlRoundTrip,
                         ::testing::Values(IoctlCase{"Buffered", METHOD_BUFFERED, FALSE},
                                           IoctlCase{"BufferedInternal", METHOD_BUFFERED, TRUE},
                                           IoctlCase{"Neither", METHOD_NEITHER, FALSE}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(DeviceIoControl, AFailedRequestCopiesNoOutputButReportsItsStatus) {
  Machine machine;
  DeviceStack stack(1);
  stack.dispatch[0] = [](PDEVICE_OBJECT, PIRP irp) {
    std::memset(irp->AssociatedIrp.SystemBuffer, 0x55, 4);
    return CompleteWith(STATUS_INVALID_PARAMETER, 4)(nullptr, irp);
  };
  UCHAR output[4] = {9, 9, 9, 9};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           stack.Top(), nullptr, 0, output, sizeof output, FALSE, &done, &iosb);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(iosb.Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(output[0], 9);
}

TEST(DeviceIoControl, BuildingFailsCleanlyWhenPoolRunsOut) {
  Machine machine;
  DeviceStack stack(1);
  UCHAR buffer[16] = {};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  Pool::Instance().FailAllocations(kSystemBufferTag, 1);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                          stack.Top(), buffer, sizeof buffer, buffer, sizeof buffer, FALSE, &done,
                                          &iosb),
            nullptr);
  EXPECT_EQ(Pool::Instance().OutstandingBlocks(kIrpTag), 0u);
}

TEST(SynchronousFsdRequest, ReadOnABufferedDeviceCopiesTheDataBackAtCompletion) {
  Machine machine;
  DeviceStack stack(1);
  stack.At(0)->Flags |= DO_BUFFERED_IO;
  LONGLONG seenOffset = -1;
  stack.dispatch[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stackLocation = IoGetCurrentIrpStackLocation(irp);
    seenOffset = stackLocation->Parameters.Read.ByteOffset.QuadPart;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "qav", 3);
    return CompleteWith(STATUS_SUCCESS, 3)(nullptr, irp);
  };
  char data[8] = {};
  LARGE_INTEGER offset;
  offset.QuadPart = 512;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, stack.Top(), data, sizeof data, &offset, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  IoCallDriver(stack.Top(), irp);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(seenOffset, 512);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_STREQ(data, "qav");
}

}  // namespace
