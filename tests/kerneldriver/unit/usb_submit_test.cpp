// What a synchronous URB reports when the request comes back: a stub USB
// stack below the driver completes it with chosen IRP and URB statuses,
// pending or at once. A failed IRP is a failure whatever the URB says.
#include <gtest/gtest.h>

#include "kerneldriver/usb/usb_transport.h"
#include "winsim/kernel/io_driver.h"
#include "winsim/machine.h"

namespace {

struct Reply {
  const char *what;
  NTSTATUS irpStatus;
  USBD_STATUS urbStatus;  // 0xFFFFFFFF: the stack left it as the driver preset it
  bool pending;
  NTSTATUS expected;
};

const Reply *g_reply = nullptr;
constexpr USBD_STATUS kUnset = static_cast<USBD_STATUS>(0xFFFFFFFF);

NTSTATUS StubDispatch(PDEVICE_OBJECT, PIRP irp) {
  auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (g_reply->urbStatus != kUnset) urb->UrbHeader.Status = g_reply->urbStatus;
  irp->IoStatus.Status = g_reply->irpStatus;
  if (g_reply->pending) IoMarkIrpPending(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return g_reply->pending ? STATUS_PENDING : g_reply->irpStatus;
}

NTSTATUS StubEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = StubDispatch;
  return STATUS_SUCCESS;
}

TEST(UsbSubmit, AFailedRequestStaysAFailureWhateverTheUrbStatusSays) {
  winsim::Machine machine;
  PDRIVER_OBJECT stub = winsim::LoadDriver(StubEntry, u"QavUsbStub");
  ASSERT_NE(stub, nullptr);
  PDEVICE_OBJECT lower = nullptr;
  ASSERT_EQ(IoCreateDevice(stub, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower), STATUS_SUCCESS);
  const NTSTATUS failed = STATUS_DEVICE_NOT_CONNECTED;
  const Reply replies[] = {
      {"pending, URB left successful", failed, USBD_STATUS_SUCCESS, true, failed},
      {"pending, URB status never set", failed, kUnset, true, failed},
      {"pending, URB error", failed, USBD_STATUS_STALL_PID, true, static_cast<NTSTATUS>(USBD_STATUS_STALL_PID)},
      {"pending, success", STATUS_SUCCESS, USBD_STATUS_SUCCESS, true, STATUS_SUCCESS},
      {"failed at once", failed, USBD_STATUS_SUCCESS, false, failed},
  };
  UsbDeviceConfig config{};
  config.lowerDevice = lower;
  for (const Reply &reply : replies) {
    SCOPED_TRACE(reply.what);
    g_reply = &reply;
    USB_DEVICE_DESCRIPTOR descriptor{};
    ULONG received = 0;
    EXPECT_EQ(UsbGetDescriptor(&config, 1, 0, 0, &descriptor, sizeof descriptor, &received), reply.expected);
    if (!NT_SUCCESS(reply.expected)) {
      EXPECT_EQ(received, 0u);
    }
  }
  IoDeleteDevice(lower);
  winsim::UnloadDriver(stub);
}

}  // namespace
