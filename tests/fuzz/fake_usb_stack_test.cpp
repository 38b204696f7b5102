// The fake USB stack under the fast fuzz target refuses what the Windows USB
// stack refuses, and reports what a driver leaves behind. Each case sends a
// deliberately wrong request (or forgets to undo one) through the driver's
// own transport.
#include <gtest/gtest.h>

#include <usbdlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <memory>
#include <vector>

#include "fuzz/device_script.h"
#include "fuzz/fake_usb_stack.h"
#include "kerneldriver/usb/usb_transport.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/machine.h"

namespace {

using qavfuzz::DeviceScript;
using qavfuzz::FakeUsbStack;
using qavfuzz::ScriptRecord;
using qavfuzz::StackOptions;
using winsim::usb::Handshake;

// What SELECT_CONFIGURATION gave back: the handle and, per interface, the
// interface handle and its pipes.
struct Selected {
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  std::vector<USBD_PIPE_INFORMATION> pipes;
};

class FakeUsbStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto built = winsim::devices::BuildDevice(*winsim::devices::FindModel("Larch"));
    ASSERT_TRUE(built.Ok());
    script.configuration = built.definition.descriptors.configuration;
  }
  void TearDown() override { stack.Unplug(); }

  void Plug(StackOptions options = {}) {
    device = std::make_unique<qavfuzz::ScriptedDevice>(script);
    stack.Plug(device.get(), options);
    config.lowerDevice = stack.LowerDevice();
  }

  NTSTATUS Submit(PURB urb) { return UsbSubmitUrb(&config, urb, kUsbTimeoutMs); }

  PUSB_CONFIGURATION_DESCRIPTOR Configuration() {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(script.configuration.data());
  }

  // Every interface at alternate setting 0; `shrink` bytes taken off the
  // first interface's information Length.
  NTSTATUS SelectConfiguration(Selected *selected, USHORT shrink = 0) {
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (UCHAR i = 0; i < Configuration()->bNumInterfaces; ++i) {
      PUSB_INTERFACE_DESCRIPTOR found =
          USBD_ParseConfigurationDescriptorEx(Configuration(), Configuration(), i, 0, -1, -1, -1);
      list.push_back({found, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(Configuration(), list.data());
    list[0].Interface->Length = static_cast<USHORT>(list[0].Interface->Length - shrink);
    NTSTATUS status = Submit(urb);
    if (NT_SUCCESS(status) && selected != nullptr) {
      selected->configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
      for (size_t i = 0; i + 1 < list.size(); ++i) {
        const USBD_INTERFACE_INFORMATION *info = list[i].Interface;
        selected->pipes.insert(selected->pipes.end(), info->Pipes, info->Pipes + info->NumberOfPipes);
      }
    }
    lastUrbStatus = urb->UrbHeader.Status;
    ExFreePool(urb);
    return status;
  }

  // A pipe of the selected configuration of this type and direction.
  static const USBD_PIPE_INFORMATION *FindPipe(const Selected &selected, USBD_PIPE_TYPE type, bool in) {
    for (const USBD_PIPE_INFORMATION &pipe : selected.pipes) {
      if (pipe.PipeType == type && ((pipe.EndpointAddress & 0x80) != 0) == in) return &pipe;
    }
    return nullptr;
  }

  winsim::Machine machine;
  FakeUsbStack stack;
  DeviceScript script;
  std::unique_ptr<qavfuzz::ScriptedDevice> device;
  UsbDeviceConfig config{};
  USBD_STATUS lastUrbStatus = 0;
};

TEST_F(FakeUsbStackTest, RefusesMalformedRequestsWithTheUsbdStatusOfTheRealStack) {
  Plug();
  Selected selected;
  ASSERT_EQ(SelectConfiguration(&selected), STATUS_SUCCESS);
  UCHAR buffer[16];

  struct Case {
    const char *what;
    std::function<void(URB &)> build;
    USBD_STATUS expected;
  };
  const Case cases[] = {
      {"class request with the wrong header length",
       [&](URB &urb) {
         UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                               USBD_TRANSFER_DIRECTION_IN, 0, 1, 0x0100, 0x2800, buffer, nullptr, 4, nullptr);
         urb.UrbHeader.Length -= 8;
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"descriptor request with a length but no buffer",
       [&](URB &urb) {
         UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0, nullptr, nullptr,
                                      18, nullptr);
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"interrupt transfer on a pipe handle never issued",
       [&](URB &urb) {
         UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), buffer, nullptr,
                                                sizeof buffer, USBD_TRANSFER_DIRECTION_IN, nullptr);
       },
       USBD_STATUS_INVALID_PIPE_HANDLE},
      {"SELECT_INTERFACE with a configuration handle never issued",
       [&](URB &urb) {
         UsbBuildSelectInterfaceRequest(&urb, GET_SELECT_INTERFACE_REQUEST_SIZE(0),
                                        reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x5678), 1, 0);
         urb.UrbSelectInterface.Interface.Length = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
       },
       USBD_STATUS_INVALID_PARAMETER},
      {"an URB function the stack does not have",
       [&](URB &urb) {
         urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
         urb.UrbHeader.Function = 0x7FFF;
       },
       USBD_STATUS_INVALID_URB_FUNCTION},
  };
  for (const Case &c : cases) {
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    c.build(urb);
    EXPECT_FALSE(NT_SUCCESS(Submit(&urb))) << c.what;
    EXPECT_EQ(urb.UrbHeader.Status, c.expected) << c.what;
  }
  EXPECT_EQ(stack.Leftovers(), "");
}

TEST_F(FakeUsbStackTest, RefusesAConfigurationWhoseInterfaceInformationHasNoRoomForItsPipes) {
  Plug();
  EXPECT_FALSE(NT_SUCCESS(SelectConfiguration(nullptr, sizeof(USBD_PIPE_INFORMATION))));
  EXPECT_EQ(lastUrbStatus, USBD_STATUS_INVALID_PARAMETER);
  Selected selected;
  EXPECT_EQ(SelectConfiguration(&selected), STATUS_SUCCESS);
}

TEST_F(FakeUsbStackTest, ReportsATransferLeftPendingAndCompletesItCancelledAtUnplug) {
  Plug();
  Selected selected;
  ASSERT_EQ(SelectConfiguration(&selected), STATUS_SUCCESS);
  const USBD_PIPE_INFORMATION *interrupt = FindPipe(selected, UsbdPipeTypeInterrupt, true);
  ASSERT_NE(interrupt, nullptr) << "Larch has a status interrupt endpoint";
  UCHAR buffer[16];
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), interrupt->PipeHandle,
                                         buffer, nullptr, sizeof buffer, USBD_TRANSFER_DIRECTION_IN, nullptr);
  // Sent and forgotten, as a driver that never cancels its status interrupt would.
  PIRP irp = IoAllocateIrp(stack.LowerDevice()->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
      TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.LowerDevice(), irp), STATUS_PENDING);
  EXPECT_EQ(stack.Leftovers(), "1 request(s) still pending; ");
  stack.Unplug();
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(stack.Leftovers(), "");
  IoFreeIrp(irp);
}

TEST_F(FakeUsbStackTest, ReportsABusInterfaceReferenceNotGivenBack) {
  Plug();
  ASSERT_EQ(UsbQueryBusInterface(&config, sizeof(USB_BUS_INTERFACE_USBDI_V2), USB_BUSIF_USBDI_VERSION_2),
            STATUS_SUCCESS);
  USB_BUS_INTERFACE_USBDI_V2 &bus = config.busInterface;
  EXPECT_TRUE(bus.IsDeviceHighSpeed(bus.BusContext));
  // The query referenced it once; this second reference is never released.
  bus.InterfaceReference(bus.BusContext);
  bus.InterfaceDereference(bus.BusContext);
  EXPECT_EQ(stack.Leftovers(), "bus interface reference count 1; ");
  bus.InterfaceDereference(bus.BusContext);
  EXPECT_EQ(stack.Leftovers(), "");
}

TEST_F(FakeUsbStackTest, GrantsOnlyTheBusInterfaceVersionsItIsToldTo) {
  Plug(StackOptions{.busInterfaceVersions = 0x1});
  EXPECT_EQ(UsbQueryBusInterface(&config, sizeof(USB_BUS_INTERFACE_USBDI_V2), USB_BUSIF_USBDI_VERSION_2),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(UsbQueryBusInterface(&config, sizeof(USB_BUS_INTERFACE_USBDI_V0), USB_BUSIF_USBDI_VERSION_0),
            STATUS_SUCCESS);
  config.busInterface.InterfaceDereference(config.busInterface.BusContext);
}

struct HandshakeCase {
  const char *what;
  Handshake handshake;
  bool completeInline;
  NTSTATUS expected;
};

class FakeUsbStackHandshakes : public FakeUsbStackTest, public ::testing::WithParamInterface<HandshakeCase> {};

// A request the device never answers stays pending until the driver's
// time-out cancels it; the others end at once, pending first or not.
TEST_P(FakeUsbStackHandshakes, EndRequestsAsTheDeviceAnswered) {
  script.records.push_back(ScriptRecord{0xA1, 0x01, 0x0100, 0x2800, GetParam().handshake, {0x80, 0xBB, 0x00, 0x00}});
  Plug(StackOptions{.completeInline = GetParam().completeInline});
  UCHAR value[4] = {};
  ULONG transferred = 0;
  UsbInterface control{};
  control.owner = &config;  // interface 0, as the record's wIndex says
  NTSTATUS status = UsbClassRequest(&control, ClassRequest{true, 1, 1, 0, 0x28}, value, sizeof value, kUsbTimeoutMs,
                                    &transferred);
  EXPECT_EQ(status, GetParam().expected);
  EXPECT_EQ(transferred, NT_SUCCESS(GetParam().expected) ? 4u : 0u);
  EXPECT_EQ(stack.Leftovers(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FakeUsbStackHandshakes,
    ::testing::Values(HandshakeCase{"ack", Handshake::Ack, false, STATUS_SUCCESS},
                      HandshakeCase{"ack inline", Handshake::Ack, true, STATUS_SUCCESS},
                      HandshakeCase{"stall", Handshake::Stall, false, static_cast<NTSTATUS>(USBD_STATUS_STALL_PID)},
                      HandshakeCase{"stall inline", Handshake::Stall, true, STATUS_UNSUCCESSFUL},
                      HandshakeCase{"no reply", Handshake::NoReply, false,
                                    static_cast<NTSTATUS>(USBD_STATUS_DEV_NOT_RESPONDING)},
                      HandshakeCase{"never answered", Handshake::Nak, false, STATUS_IO_TIMEOUT}),
    [](const ::testing::TestParamInfo<HandshakeCase> &info) {
      std::string name = info.param.what;
      for (char &c : name) c = c == ' ' ? '_' : c;
      return name;
    });

}  // namespace
