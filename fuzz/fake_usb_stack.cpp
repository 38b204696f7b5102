#include "fuzz/fake_usb_stack.h"

#include <usbbusif.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>

#include "winsim/kernel/io_driver.h"
#include "winsim/usb/descriptor_walk.h"
#include "winsim/usb/urb_handlers.h"
#include "winsim/usb/urb_request.h"

namespace qavfuzz {
namespace {

using winsim::usb::Handshake;
using winsim::usb::SetupPacket;
using winsim::usb::TransferOutcome;

constexpr uint32_t kBusContextMagic = 0x7A46'5542;  // "BUFz"
constexpr USHORT kDescriptorRequestLength = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr USHORT kVendorRequestLength = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
constexpr USHORT kPipeRequestLength = sizeof(struct _URB_PIPE_REQUEST);
constexpr USHORT kBulkLength = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
constexpr USHORT kBusInterfaceSizes[] = {sizeof(USB_BUS_INTERFACE_USBDI_V0), sizeof(USB_BUS_INTERFACE_USBDI_V1),
                                         sizeof(USB_BUS_INTERFACE_USBDI_V2)};
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kSetInterface = 11;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kRecipientDevice = 0x00;
constexpr uint8_t kRecipientInterface = 0x01;

struct Extension {
  FakeUsbStack *stack;
};

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

USBD_STATUS UsbdStatusOf(Handshake handshake, bool in) {
  switch (handshake) {
    case Handshake::Ack: return USBD_STATUS_SUCCESS;
    case Handshake::Stall: return USBD_STATUS_STALL_PID;
    case Handshake::NoReply: return USBD_STATUS_DEV_NOT_RESPONDING;
    case Handshake::Error: return in ? USBD_STATUS_CRC : USBD_STATUS_XACT_ERROR;
    case Handshake::Nak: break;
  }
  return USBD_STATUS_PENDING;
}

size_t InterfaceInfoSize(size_t pipes) {
  return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
}

// Interface information as the stack returns it for a setting it opened.
void FillInterfaceInformation(const winsim::usb::InterfaceSetting &setting, PUSBD_INTERFACE_INFORMATION info) {
  info->Class = setting.interfaceClass;
  info->SubClass = setting.subClass;
  info->Protocol = setting.protocol;
  info->InterfaceHandle = setting.handle;
  info->NumberOfPipes = static_cast<ULONG>(setting.pipes.size());
  for (size_t i = 0; i < setting.pipes.size(); ++i) winsim::usb::FillPipeInformation(setting.pipes[i], &info->Pipes[i]);
}

// The setting an interface information block asks for, when the block has
// room for its pipes inside the URB.
USBD_STATUS ReadRequestedSetting(std::span<const uint8_t> configuration, PUSBD_INTERFACE_INFORMATION info,
                                 size_t room, bool highSpeed, winsim::usb::InterfaceSetting *setting) {
  if (room < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) return USBD_STATUS_INVALID_PARAMETER;
  USBD_STATUS status = winsim::usb::PipeTable::DescribeSetting(configuration, info->InterfaceNumber,
                                                               info->AlternateSetting, highSpeed, setting);
  if (!USBD_SUCCESS(status)) return status;
  if (info->Length < InterfaceInfoSize(setting->pipes.size()) || info->Length > room) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  return USBD_STATUS_SUCCESS;
}

// Reads every byte the driver said its buffer holds, so a buffer smaller
// than its stated length is an AddressSanitizer report here and not a
// silent overrun in the host controller's DMA.
void TouchBuffer(const uint8_t *data, size_t length) {
  volatile uint8_t sink = 0;
  for (size_t i = 0; i < length; ++i) sink = sink ^ data[i];
  (void)sink;
}

// Type and recipient bits of bmRequestType for a class or vendor URB function.
uint8_t RequestTypeOf(USHORT function) {
  switch (function) {
    case URB_FUNCTION_CLASS_DEVICE: return 0x20;
    case URB_FUNCTION_CLASS_INTERFACE: return 0x21;
    case URB_FUNCTION_CLASS_ENDPOINT: return 0x22;
    case URB_FUNCTION_VENDOR_DEVICE: return 0x40;
    case URB_FUNCTION_VENDOR_INTERFACE: return 0x41;
    default: return 0x42;
  }
}

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

}  // namespace

FakeUsbStack::FakeUsbStack() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  m_driver = winsim::LoadDriver(DriverEntry, u"QavFuzzUsb", &status);
  if (m_driver == nullptr) std::abort();
  for (PDRIVER_DISPATCH &dispatch : m_driver->MajorFunction) dispatch = Dispatch;
  for (PDEVICE_OBJECT *device : {&m_lower, &m_function}) {
    if (!NT_SUCCESS(IoCreateDevice(m_driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, device))) {
      std::abort();
    }
    static_cast<Extension *>((*device)->DeviceExtension)->stack = this;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  if (IoAttachDeviceToDeviceStack(m_function, m_lower) != m_lower) std::abort();
  m_busContext = {kBusContextMagic, this};
}

FakeUsbStack::~FakeUsbStack() {
  Unplug();
  IoDetachDevice(m_lower);
  IoDeleteDevice(m_function);
  IoDeleteDevice(m_lower);
  winsim::UnloadDriver(m_driver);
}

void FakeUsbStack::Plug(winsim::usb::UsbFunction *device, StackOptions options) {
  Unplug();
  m_device = device;
  m_options = options;
  m_references = 0;
  m_highestIsoInterval = 0;
}

void FakeUsbStack::Unplug() {
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    held.swap(m_held);
  }
  for (PIRP irp : held) {
    // A cancel routine already running completes its IRP itself.
    if (IoSetCancelRoutine(irp, nullptr) != nullptr) winsim::usb::CompleteUrbNow(irp, UrbOf(irp), USBD_STATUS_CANCELED);
  }
  m_pipes.Deconfigure();
  m_device = nullptr;
}

std::string FakeUsbStack::Leftovers() const {
  std::string text;
  size_t held = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    held = m_held.size();
  }
  if (held != 0) text += std::to_string(held) + " request(s) still pending; ";
  LONG references = m_references.load();
  if (references != 0) text += "bus interface reference count " + std::to_string(references) + "; ";
  return text;
}

NTSTATUS FakeUsbStack::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  FakeUsbStack *stack = static_cast<Extension *>(device->DeviceExtension)->stack;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (device == stack->m_lower && location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      location->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return stack->SubmitUrb(irp, static_cast<PURB>(location->Parameters.Others.Argument1));
  }
  if (device == stack->m_lower && location->MajorFunction == IRP_MJ_PNP) {
    NTSTATUS status = location->MinorFunction == IRP_MN_QUERY_INTERFACE ? stack->QueryInterface(irp)
                                                                         : irp->IoStatus.Status;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS FakeUsbStack::SubmitUrb(PIRP irp, PURB urb) {
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  if (m_device == nullptr) return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_DEVICE_GONE);
  const USHORT function = urb->UrbHeader.Function;
  const USHORT length = urb->UrbHeader.Length;
  auto exact = [&](USHORT expected) { return length == expected; };
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb);
    case URB_FUNCTION_SELECT_INTERFACE: return SelectInterface(irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE: {
      if (!exact(kDescriptorRequestLength)) break;
      auto &r = urb->UrbControlDescriptorRequest;
      uint8_t recipient = function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? kRecipientDevice : kRecipientInterface;
      SetupPacket setup{static_cast<uint8_t>(winsim::usb::kRequestDirectionIn | recipient), kGetDescriptor,
                        static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId, 0};
      return Control(irp, urb, setup, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT: {
      if (!exact(kVendorRequestLength)) break;
      auto &r = urb->UrbControlVendorClassRequest;
      uint8_t direction = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? winsim::usb::kRequestDirectionIn : 0;
      SetupPacket setup{static_cast<uint8_t>(direction | RequestTypeOf(function) | r.RequestTypeReservedBits),
                        r.Request, r.Value, r.Index, 0};
      return Control(irp, urb, setup, r.TransferBuffer, r.TransferBufferMDL, &r.TransferBufferLength);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      if (!exact(kBulkLength)) break;
      return BulkOrInterrupt(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      if (!exact(kPipeRequestLength)) break;
      return PipeRequest(irp, urb);
    default: return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  }
  return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
}

NTSTATUS FakeUsbStack::Control(PIRP irp, PURB urb, const SetupPacket &request, PVOID buffer, PMDL mdl,
                               ULONG *length) {
  uint8_t *data = winsim::usb::UrbTransferData(buffer, mdl);
  if ((*length > 0 && data == nullptr) || *length > UINT16_MAX) {
    return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  SetupPacket setup = request;
  setup.wLength = static_cast<uint16_t>(*length);
  const bool in = (setup.bmRequestType & winsim::usb::kRequestDirectionIn) != 0;
  if (data != nullptr) TouchBuffer(data, setup.wLength);
  std::vector<uint8_t> scratch(setup.wLength);
  if (!in && setup.wLength > 0) std::copy_n(data, setup.wLength, scratch.begin());
  TransferOutcome outcome = m_device->Control(setup, scratch.data(), 0);
  if (outcome.handshake == Handshake::Nak) {
    *length = 0;
    return Hold(irp, urb);
  }
  if (outcome.handshake != Handshake::Ack) {
    *length = 0;
    return Finish(irp, urb, UsbdStatusOf(outcome.handshake, in));
  }
  uint32_t moved = std::min<uint32_t>(outcome.length, setup.wLength);
  if (in && moved > 0) std::copy_n(scratch.begin(), moved, data);
  *length = moved;
  return Finish(irp, urb, USBD_STATUS_SUCCESS);
}

Handshake FakeUsbStack::NoDataRequest(uint8_t recipient, uint8_t request, uint16_t value, uint16_t index) {
  SetupPacket setup{recipient, request, value, index, 0};
  return m_device->Control(setup, nullptr, 0).handshake;
}

NTSTATUS FakeUsbStack::SelectConfiguration(PIRP irp, PURB urb) {
  auto &r = urb->UrbSelectConfiguration;
  const size_t urbLength = urb->UrbHeader.Length;
  if (urbLength < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
    return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  if (r.ConfigurationDescriptor == nullptr) {
    Handshake handshake = NoDataRequest(kRecipientDevice, kSetConfiguration, 0, 0);
    if (handshake == Handshake::Nak) return Hold(irp, urb);
    // The pipes close whatever the device answered.
    m_pipes.Deconfigure();
    r.ConfigurationHandle = nullptr;
    return Finish(irp, urb, UsbdStatusOf(handshake, false));
  }
  const auto *descriptor = reinterpret_cast<const uint8_t *>(r.ConfigurationDescriptor);
  uint16_t total = winsim::usb::ConfigurationTotalLength(descriptor, UINT16_MAX);
  if (total == 0) return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
  std::vector<uint8_t> configuration(descriptor, descriptor + total);
  const uint8_t interfaceCount = r.ConfigurationDescriptor->bNumInterfaces;
  std::vector<winsim::usb::InterfaceSetting> settings(interfaceCount);
  std::vector<PUSBD_INTERFACE_INFORMATION> infos;
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (uint8_t i = 0; i < interfaceCount; ++i) {
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t *>(urb) + offset);
    size_t room = urbLength > offset ? urbLength - offset : 0;
    USBD_STATUS status = ReadRequestedSetting(configuration, info, room, HighSpeed(), &settings[i]);
    if (!USBD_SUCCESS(status)) return winsim::usb::CompleteUrbNow(irp, urb, status);
    infos.push_back(info);
    offset += info->Length;
  }
  const uint8_t value = r.ConfigurationDescriptor->bConfigurationValue;
  Handshake handshake = NoDataRequest(kRecipientDevice, kSetConfiguration, value, 0);
  if (handshake == Handshake::Nak) return Hold(irp, urb);
  if (handshake != Handshake::Ack) return Finish(irp, urb, UsbdStatusOf(handshake, false));
  for (size_t i = 0; i < infos.size(); ++i) FillInterfaceInformation(settings[i], infos[i]);
  NoteIsochronousIntervals(configuration);
  r.ConfigurationHandle = m_pipes.Configure(std::move(configuration), std::move(settings));
  return Finish(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS FakeUsbStack::SelectInterface(PIRP irp, PURB urb) {
  auto &r = urb->UrbSelectInterface;
  const size_t urbLength = urb->UrbHeader.Length;
  constexpr size_t kInterfaceOffset = offsetof(struct _URB_SELECT_INTERFACE, Interface);
  if (urbLength < kInterfaceOffset || r.ConfigurationHandle == nullptr ||
      r.ConfigurationHandle != m_pipes.ConfigurationHandle()) {
    return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  std::vector<uint8_t> configuration(m_pipes.Configuration().begin(), m_pipes.Configuration().end());
  winsim::usb::InterfaceSetting setting;
  USBD_STATUS status =
      ReadRequestedSetting(configuration, &r.Interface, urbLength - kInterfaceOffset, HighSpeed(), &setting);
  if (!USBD_SUCCESS(status)) return winsim::usb::CompleteUrbNow(irp, urb, status);
  Handshake handshake = NoDataRequest(kRecipientInterface, kSetInterface, setting.alternate, setting.number);
  if (handshake == Handshake::Nak) return Hold(irp, urb);
  if (handshake != Handshake::Ack) return Finish(irp, urb, UsbdStatusOf(handshake, false));
  FillInterfaceInformation(setting, &r.Interface);
  if (!m_pipes.SetInterface(std::move(setting))) return Finish(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  return Finish(irp, urb, USBD_STATUS_SUCCESS);
}

// Interrupt and bulk IN transfers stay pending until cancelled: the device
// has nothing to report. OUT data is taken at once.
NTSTATUS FakeUsbStack::BulkOrInterrupt(PIRP irp, PURB urb) {
  auto &r = urb->UrbBulkOrInterruptTransfer;
  std::optional<winsim::usb::PipeInfo> pipe = m_pipes.FindPipe(r.PipeHandle);
  if (!pipe) return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) {
    return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  uint8_t *data = winsim::usb::UrbTransferData(r.TransferBuffer, r.TransferBufferMDL);
  if (r.TransferBufferLength > 0 && data == nullptr) {
    return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  if (data != nullptr) TouchBuffer(data, r.TransferBufferLength);
  if (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) return Hold(irp, urb);
  return Finish(irp, urb, USBD_STATUS_SUCCESS);
}

// Aborting a pipe ends the transfers held on it; resets just succeed.
NTSTATUS FakeUsbStack::PipeRequest(PIRP irp, PURB urb) {
  USBD_PIPE_HANDLE pipe = urb->UrbPipeRequest.PipeHandle;
  if (!PipeOpen(pipe)) return winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
    std::vector<PIRP> aborted;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      auto onPipe = [pipe](PIRP held) {
        PURB heldUrb = UrbOf(held);
        return heldUrb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
               heldUrb->UrbBulkOrInterruptTransfer.PipeHandle == pipe;
      };
      std::copy_if(m_held.begin(), m_held.end(), std::back_inserter(aborted), onPipe);
      m_held.erase(std::remove_if(m_held.begin(), m_held.end(), onPipe), m_held.end());
    }
    for (PIRP held : aborted) {
      if (IoSetCancelRoutine(held, nullptr) != nullptr) {
        winsim::usb::CompleteUrbNow(held, UrbOf(held), USBD_STATUS_CANCELED);
      }
    }
  }
  return Finish(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS FakeUsbStack::Finish(PIRP irp, PURB urb, USBD_STATUS status) {
  if (m_options.completeInline) return winsim::usb::CompleteUrbNow(irp, urb, status);
  IoMarkIrpPending(irp);
  winsim::usb::CompleteUrbNow(irp, urb, status);
  return STATUS_PENDING;
}

NTSTATUS FakeUsbStack::Hold(PIRP irp, PURB urb) {
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  IoMarkIrpPending(irp);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    IoSetCancelRoutine(irp, CancelPending);
    if (!irp->Cancel || IoSetCancelRoutine(irp, nullptr) == nullptr) {
      m_held.push_back(irp);
      return STATUS_PENDING;
    }
  }
  // Cancelled before the routine was set: it will not be called.
  winsim::usb::CompleteUrbNow(irp, urb, USBD_STATUS_CANCELED);
  return STATUS_PENDING;
}

void FakeUsbStack::CancelPending(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  FakeUsbStack *stack = static_cast<Extension *>(device->DeviceExtension)->stack;
  {
    std::lock_guard<std::mutex> guard(stack->m_lock);
    stack->m_held.erase(std::remove(stack->m_held.begin(), stack->m_held.end(), irp), stack->m_held.end());
  }
  winsim::usb::CompleteUrbNow(irp, UrbOf(irp), USBD_STATUS_CANCELED);
}

NTSTATUS FakeUsbStack::QueryInterface(PIRP irp) {
  auto &query = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
  if (query.InterfaceType == nullptr || *query.InterfaceType != USB_BUS_INTERFACE_USBDI_GUID) {
    return irp->IoStatus.Status;
  }
  USHORT version = query.Version;
  if (version > USB_BUSIF_USBDI_VERSION_2 || (m_options.busInterfaceVersions & (1u << version)) == 0) {
    return STATUS_NOT_SUPPORTED;
  }
  if (query.Interface == nullptr || query.Size < kBusInterfaceSizes[version]) return STATUS_INVALID_PARAMETER;
  // Version n is a prefix of version 2: build the whole and hand out n's part.
  USB_BUS_INTERFACE_USBDI_V2 full{};
  full.Size = kBusInterfaceSizes[version];
  full.Version = version;
  full.BusContext = &m_busContext;
  full.InterfaceReference = Reference;
  full.InterfaceDereference = Dereference;
  full.GetUSBDIVersion = [](PVOID, PUSBD_VERSION_INFORMATION information, PULONG capabilities) {
    USBD_GetUSBDIVersion(information);
    if (capabilities != nullptr) *capabilities = 0;
  };
  full.QueryBusTime = [](PVOID, PULONG frame) {
    if (frame != nullptr) *frame = 0;
    return STATUS_SUCCESS;
  };
  full.SubmitIsoOutUrb = [](PVOID, PURB) { return STATUS_NOT_SUPPORTED; };
  full.QueryBusInformation = [](PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; };
  full.IsDeviceHighSpeed = IsHighSpeed;
  full.EnumLogEntry = [](PVOID, ULONG, ULONG, ULONG, ULONG) { return STATUS_SUCCESS; };
  std::memcpy(query.Interface, &full, kBusInterfaceSizes[version]);
  Reference(full.BusContext);
  return STATUS_SUCCESS;
}

FakeUsbStack *FakeUsbStack::FromContext(PVOID context) {
  auto *bus = static_cast<BusContext *>(context);
  if (bus == nullptr || bus->magic != kBusContextMagic) {
    std::fprintf(stderr, "device_model_fuzzer: bus interface called with a foreign context %p\n", context);
    std::abort();
  }
  return bus->stack;
}

VOID FakeUsbStack::Reference(PVOID context) { ++FromContext(context)->m_references; }

VOID FakeUsbStack::Dereference(PVOID context) { --FromContext(context)->m_references; }

BOOLEAN FakeUsbStack::IsHighSpeed(PVOID context) { return FromContext(context)->HighSpeed() ? TRUE : FALSE; }

bool FakeUsbStack::HighSpeed() const {
  return m_device != nullptr && m_device->Speed() == winsim::usb::BusSpeed::High;
}

bool FakeUsbStack::PipeOpen(USBD_PIPE_HANDLE handle) const { return m_pipes.FindPipe(handle).has_value(); }

void FakeUsbStack::NoteIsochronousIntervals(const std::vector<uint8_t> &configuration) {
  winsim::usb::DescriptorWalk walk(configuration.data(), configuration.size());
  for (const USB_COMMON_DESCRIPTOR *d = walk.Next(); d != nullptr; d = walk.Next()) {
    if (d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE || d->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) continue;
    auto *endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(d);
    if ((endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
    m_highestIsoInterval = std::max(m_highestIsoInterval, endpoint->bInterval);
  }
}

}  // namespace qavfuzz
