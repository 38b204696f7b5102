// Layouts and values of the USB definitions the kernel driver relies on
// (descriptors, URBs, USBD helpers, internal IOCTLs, the bus interface),
// checked at compile time against winsim's headers on the host and MinGW-w64's
// DDK headers in the kernel probe. 64-bit layouts only: the kernel driver is
// built for x64 alone.
//
// Include after <usb.h>, <usbdlib.h>, <usbioctl.h> and <usbbusif.h> (on
// Windows inside extern "C", as MinGW's DDK headers require).
#pragma once
#include "toolchain/ks_layouts.h"

static_assert(sizeof(void *) == 8, "USB layouts are checked for x64 only");

// Descriptors, byte-packed as on the bus.
static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2 && sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && QAV_OFFSET(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2 &&
              QAV_OFFSET(USB_DEVICE_DESCRIPTOR, idVendor) == 8 && QAV_OFFSET(USB_DEVICE_DESCRIPTOR, idProduct) == 10 &&
              QAV_OFFSET(USB_DEVICE_DESCRIPTOR, iProduct) == 15);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9 &&
              QAV_OFFSET(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9 && sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7 && QAV_OFFSET(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4 &&
              QAV_OFFSET(USB_ENDPOINT_DESCRIPTOR, bInterval) == 6);
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4 && QAV_OFFSET(USB_STRING_DESCRIPTOR, bString) == 2);
static_assert(USB_CONFIGURATION_DESCRIPTOR_TYPE == 2 && USB_STRING_DESCRIPTOR_TYPE == 3 &&
              USB_INTERFACE_DESCRIPTOR_TYPE == 4 && USB_ENDPOINT_DESCRIPTOR_TYPE == 5 &&
              USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE == 0x0b);

// Pipe and interface information.
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24 && QAV_OFFSET(USBD_PIPE_INFORMATION, PipeType) == 4 &&
              QAV_OFFSET(USBD_PIPE_INFORMATION, PipeHandle) == 8 &&
              QAV_OFFSET(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16 &&
              QAV_OFFSET(USBD_PIPE_INFORMATION, PipeFlags) == 20);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48 &&
              QAV_OFFSET(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 8 &&
              QAV_OFFSET(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16 &&
              QAV_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) == 24);
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16 && sizeof(USBD_VERSION_INFORMATION) == 8);

// URBs.
static_assert(sizeof(struct _URB_HEADER) == 24 && QAV_OFFSET(struct _URB_HEADER, Status) == 4 &&
              QAV_OFFSET(struct _URB_HEADER, UsbdDeviceHandle) == 8 && QAV_OFFSET(struct _URB_HEADER, UsbdFlags) == 16);
static_assert(sizeof(struct _URB_HCD_AREA) == 64);
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80 && QAV_OFFSET(struct _URB_SELECT_INTERFACE, Interface) == 32);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88 &&
              QAV_OFFSET(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle) == 32 &&
              QAV_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) == 40);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40 && sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER) == 32 &&
              QAV_OFFSET(struct _URB_GET_CURRENT_FRAME_NUMBER, FrameNumber) == 24);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136 &&
              QAV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36 &&
              QAV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 40 &&
              QAV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink) == 56 &&
              QAV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, hca) == 64 &&
              QAV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130 &&
              QAV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131 &&
              QAV_OFFSET(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136 &&
              QAV_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32 &&
              QAV_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128 &&
              QAV_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129 &&
              QAV_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130 &&
              QAV_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132);
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136 &&
              sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 136);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 136 &&
              QAV_OFFSET(struct _URB_CONTROL_TRANSFER, PipeHandle) == 24 &&
              QAV_OFFSET(struct _URB_CONTROL_TRANSFER, TransferFlags) == 32 &&
              QAV_OFFSET(struct _URB_CONTROL_TRANSFER, TransferBufferLength) == 36 &&
              QAV_OFFSET(struct _URB_CONTROL_TRANSFER, TransferBuffer) == 40 &&
              QAV_OFFSET(struct _URB_CONTROL_TRANSFER, TransferBufferMDL) == 48 &&
              QAV_OFFSET(struct _URB_CONTROL_TRANSFER, SetupPacket) == 128);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER_EX) == 136 &&
              QAV_OFFSET(struct _URB_CONTROL_TRANSFER_EX, Timeout) == 56);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152 && QAV_OFFSET(struct _URB_ISOCH_TRANSFER, StartFrame) == 128 &&
              QAV_OFFSET(struct _URB_ISOCH_TRANSFER, NumberOfPackets) == 132 &&
              QAV_OFFSET(struct _URB_ISOCH_TRANSFER, ErrorCount) == 136 &&
              QAV_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140);
static_assert(sizeof(URB) == 152, "the URB union is as large as its isochronous member");

static_assert(GET_ISO_URB_SIZE(8) == 152 + 8 * 12);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(2) == 80 + 24);
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 5) == 88 + 2 * 48 + 2 * 24);

static_assert(URB_FUNCTION_SELECT_CONFIGURATION == 0 && URB_FUNCTION_SELECT_INTERFACE == 1 &&
              URB_FUNCTION_ABORT_PIPE == 2 && URB_FUNCTION_GET_CURRENT_FRAME_NUMBER == 7 &&
              URB_FUNCTION_CONTROL_TRANSFER == 8 && URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER == 9 &&
              URB_FUNCTION_ISOCH_TRANSFER == 0x0a && URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE == 0x0b &&
              URB_FUNCTION_CLASS_INTERFACE == 0x1b && URB_FUNCTION_CLASS_ENDPOINT == 0x1c &&
              URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL == 0x1e && URB_FUNCTION_SYNC_RESET_PIPE == 0x30);
static_assert(USBD_TRANSFER_DIRECTION_IN == 1 && USBD_SHORT_TRANSFER_OK == 2 && USBD_START_ISO_TRANSFER_ASAP == 4 &&
              USBD_DEFAULT_PIPE_TRANSFER == 8);
static_assert(USBD_STATUS_STALL_PID == (USBD_STATUS)0xc0000004 && USBD_STATUS_CANCELED == (USBD_STATUS)0xc0010000 &&
              USBD_STATUS_DEVICE_GONE == (USBD_STATUS)0xc0007000 &&
              USBD_STATUS_ISO_NOT_ACCESSED_LATE == (USBD_STATUS)0xc0050000 &&
              USBD_STATUS_BAD_START_FRAME == (USBD_STATUS)0xc0000a00);
static_assert(UsbdPipeTypeIsochronous == 1 && UsbdPipeTypeInterrupt == 3);

// Internal IOCTLs.
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003 && IOCTL_INTERNAL_USB_RESET_PORT == 0x220007 &&
              IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013 && IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F);
static_assert(USBD_PORT_ENABLED == 1 && USBD_PORT_CONNECTED == 2);

// Bus interface.
static_assert(sizeof(INTERFACE) == 32 && QAV_OFFSET(INTERFACE, Context) == 8 &&
              QAV_OFFSET(INTERFACE, InterfaceDereference) == 24);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64 && sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72 &&
              sizeof(USB_BUS_INTERFACE_USBDI_V2) == 80);
static_assert(QAV_OFFSET(USB_BUS_INTERFACE_USBDI_V2, BusContext) == 8 &&
              QAV_OFFSET(USB_BUS_INTERFACE_USBDI_V2, QueryBusTime) == 40 &&
              QAV_OFFSET(USB_BUS_INTERFACE_USBDI_V2, IsDeviceHighSpeed) == 64);
static_assert(USB_BUSIF_USBDI_VERSION_1 == 1 && USB_BUSIF_USBDI_VERSION_2 == 2);

// The private interface's transfer flags are the USBD ones.
static_assert(UAC_TRANSFER_DIRECTION_IN == USBD_TRANSFER_DIRECTION_IN &&
              UAC_TRANSFER_DEFAULT_PIPE == USBD_DEFAULT_PIPE_TRANSFER);
static_assert(sizeof(KSM_UAC_CONTROL_TRANSFER{}.SetupPacket) == sizeof(USB_DEFAULT_PIPE_SETUP_PACKET));
