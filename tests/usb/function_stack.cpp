#include "function_stack.h"

#include <gtest/gtest.h>
#include <usbioctl.h>

#include "winsim/kernel/io_driver.h"
#include "winsim/sched/scheduler.h"

namespace usbtest {

namespace {

struct FunctionExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(static_cast<FunctionExtension *>(device->DeviceExtension)->lower, irp);
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = PassDown;
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

PDRIVER_OBJECT LoadFunctionDriver() { return winsim::LoadDriver(TestDriverEntry, u"QavUsbTest"); }

FunctionStack::FunctionStack(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) : m_pdo(pdo) {
  EXPECT_EQ(IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_fdo),
            STATUS_SUCCESS);
  m_lower = IoAttachDeviceToDeviceStack(m_fdo, pdo);
  static_cast<FunctionExtension *>(m_fdo->DeviceExtension)->lower = m_lower;
  m_fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_EQ(Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
}

FunctionStack::~FunctionStack() {
  if (!Removed()) Remove();
}

NTSTATUS FunctionStack::SubmitUrb(PURB urb, LONGLONG timeoutMs) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, m_fdo, nullptr, 0, nullptr, 0, TRUE, &done,
                                           &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(m_fdo, irp);
  if (status != STATUS_PENDING) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -timeoutMs * winsim::kTicksPerMillisecond;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED) << "a cancelled URB comes back as STATUS_CANCELLED";
    return STATUS_TIMEOUT;
  }
  return iosb.Status;
}

NTSTATUS FunctionStack::Pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
                            ULONG_PTR *information) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, m_fdo, nullptr, 0, nullptr, &done, &iosb);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = minor;
  if (setup) setup(next);
  if (IoCallDriver(m_fdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  if (information != nullptr) *information = iosb.Information;
  return iosb.Status;
}

NTSTATUS FunctionStack::Power(UCHAR minor) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(m_fdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = PowerDeviceD0;
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(m_fdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

void FunctionStack::Remove() {
  EXPECT_EQ(Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  IoDetachDevice(m_lower);
  IoDeleteDevice(m_fdo);
  m_fdo = nullptr;
}

AsyncUrb::AsyncUrb(PDEVICE_OBJECT top, PURB urb) : m_top(top), m_urb(urb), m_irp(IoAllocateIrp(top->StackSize, FALSE)) {}

AsyncUrb::~AsyncUrb() {
  if (m_done.load()) IoFreeIrp(m_irp);
}

NTSTATUS AsyncUrb::Send() {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(m_irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = m_urb;
  IoSetCompletionRoutine(m_irp, OnComplete, this, TRUE, TRUE, TRUE);
  return IoCallDriver(m_top, m_irp);
}

NTSTATUS AsyncUrb::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *self = static_cast<AsyncUrb *>(context);
  self->m_status = irp->IoStatus.Status;
  self->m_irql = KeGetCurrentIrql();
  self->m_completedAt = winsim::Scheduler::Active()->Now();
  self->m_done.store(true);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace usbtest
